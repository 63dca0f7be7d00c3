// trendhost report through the real binary on every backend: a fleet built so that each
// status occurs, with the statuses and crossing dates known from its construction.
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "dates.h"
#include "host_test.h"

namespace {

using testbed::HostRun;
const std::string kLast = "2001-06-30";

// An RFC 4180 reader, independent of the host's: rows of fields, quotes doubled,
// CR LF line ends, line breaks inside quotes.
std::vector<std::vector<std::string>> ReadCsv(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> row;
  std::string field;
  bool quoted = false, any = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"')
        field += '"', ++i;
      else if (c == '"')
        quoted = false;
      else
        field += c;
    } else if (c == '"') {
      quoted = true, any = true;
    } else if (c == ',') {
      row.push_back(field), field.clear(), any = true;
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      row.push_back(field), field.clear();
      rows.push_back(row), row.clear();
      ++i, any = false;
    } else {
      field += c, any = true;
    }
  }
  if (any) row.push_back(field), rows.push_back(row);
  return rows;
}

class Report : public testbed::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    Exec("DELETE FROM HX_METRICS");
    // cpu threshold 80: exceeded (flat 90), warning (70 rising 0.5 a day: 20 days), ok (70
    // rising 0.1 a day: 100 days), never (70 falling), insufficient data (2 days), error (a
    // NULL hour on the last day); a probe without a threshold.
    Linear("exceeded", "cpu", 90, 0, 60);
    Linear("warning", "cpu", 70, 0.5, 60);
    Linear("ok", "cpu", 70, 0.1, 60);
    Linear("never", "cpu", 70, -0.1, 60);
    Linear("glacial", "cpu", 70, 0.000001, 60);  // crosses a million days on: after 9999
    Linear("short", "cpu", 70, 0.5, 2);
    Linear("broken", "cpu", 70, 0.5, 60);
    Exec(
        "UPDATE HX_METRICS SET AVG_VALUE_05 = NULL WHERE HOSTNAME = 'broken' AND "
        "COLLECTION_DATE = '" +
        kLast + "'");
    Linear("ok", "custom", 10, 0.1, 60);
    thresholds_ = (dir_ / "thresholds.csv").string();
    std::ofstream(thresholds_)
        << "# test fleet\nprobe,arg,threshold,unit,label\ncpu,,80,%,CPU busy\n";
  }
  // Days back newest..newest+days-1 of a series whose every hour reads
  // `last - slope * daysBack`.
  void Linear(const std::string& host, const std::string& probe, double last, double slope,
              int days, int newest = 0) {
    for (int d = newest; d < newest + days; ++d) {
      testbed::HourlyRow r{host, probe, "", Day(-d)};
      const double v = last - slope * d;
      r.avg.assign(24, v);
      r.min.assign(24, v);
      r.daily = r.maxHourly = v;
      Exec(testbed::InsertHourly("HX_METRICS", r));
    }
  }
  static std::string Day(int offset) {
    return trend::FormatDate(trend::AddDays(trend::ParseDate(kLast), offset),
                             trend::DateFormat::kIsoDay);
  }
  HostRun Run(std::vector<std::string> options, const std::vector<std::string>& env = {}) {
    const auto& b = testbed::CurrentBackend();
    // The class's own line unless a test names a model: its crossings follow from the
    // construction by the line's arithmetic.
    std::vector<std::string> args = {"report",     "--dsn",    b.dsn,          "--user",   b.user,
                                     "--password", b.password, "--thresholds", thresholds_};
    if (std::find(options.begin(), options.end(), "--model") == options.end())
      args.insert(args.end(), {"--model", "line"});
    args.insert(args.end(), options.begin(), options.end());
    return Host(args, env);
  }
  std::string thresholds_;
};

TEST_F(Report, EveryStatusInOrderWithItsCrossingDate) {
  HostRun r = Run({"--format", "csv", "--jobs", "2"});
  EXPECT_EQ(r.status, 3) << r.err;  // one series failed
  auto rows = ReadCsv(r.out);
  ASSERT_EQ(rows.size(), 9u) << r.out;
  const auto& header = rows[0];
  auto column = [&](const std::string& name) {
    return static_cast<size_t>(std::find(header.begin(), header.end(), name) - header.begin());
  };
  ASSERT_LT(column("error_description"), header.size());
  std::vector<std::pair<std::string, std::string>> order;
  for (size_t i = 1; i < rows.size(); ++i) {
    ASSERT_EQ(rows[i].size(), header.size());
    order.emplace_back(rows[i][column("host")] + "/" + rows[i][column("probe")],
                       rows[i][column("status")]);
  }
  EXPECT_EQ(order,
            (std::vector<std::pair<std::string, std::string>>{{"exceeded/cpu", "exceeded"},
                                                              {"warning/cpu", "warning"},
                                                              {"ok/cpu", "ok"},
                                                              {"glacial/cpu", "ok"},
                                                              {"never/cpu", "never"},
                                                              {"ok/custom", "no threshold"},
                                                              {"short/cpu", "insufficient data"},
                                                              {"broken/cpu", "error"}}));
  auto crossing = [&](size_t row) {
    return trend::CalendarDaysBetween(trend::ParseDate(kLast),
                                      trend::ParseDate(rows[row][column("crossing_date")]));
  };
  // The day-slot effects bias a fitted slope slightly: within two days of the construction.
  EXPECT_NEAR(static_cast<double>(crossing(2)), 20, 2);
  EXPECT_NEAR(static_cast<double>(crossing(3)), 100, 2);
  // A crossing beyond the calendar's last year keeps its days and has no date.
  EXPECT_GT(std::stod(rows[4][column("days_to_threshold")]), 3000000);
  EXPECT_EQ(rows[4][column("crossing_date")], "");
  EXPECT_EQ(rows[5][column("days_to_threshold")], "");  // never: no number of days
  EXPECT_EQ(rows[5][column("crossing_date")], "");
  EXPECT_EQ(rows[1][column("level")], "90");
  EXPECT_EQ(rows[6][column("threshold")], "");
  EXPECT_EQ(rows[7][column("fit_days")], "2");
  EXPECT_NE(rows[7][column("level")], "");  // numbers shown, but flagged
  EXPECT_EQ(rows[8][column("error_number")], "94");
  EXPECT_EQ(rows[8][column("error_source")],
            "OrreryFunctions.OrreryClass.CalculateRegression:Orrery");
  EXPECT_EQ(rows[8][column("error_description")],
            "Error calculating HX Trends:\nInvalid use of Null\nInvalid use of Null\n");
  EXPECT_EQ(rows[8][column("level")], "");
}

TEST_F(Report, EveryFormatCarriesTheSameRows) {
  HostRun csv = Run({"--format", "csv"});
  HostRun json = Run({"--format", "json"});
  auto rows = ReadCsv(csv.out);
  auto doc = nlohmann::ordered_json::parse(json.out);
  ASSERT_EQ(doc["series"].size(), rows.size() - 1);
  EXPECT_EQ(doc["parameters"]["last_day"], kLast);
  EXPECT_EQ(doc["parameters"]["first_day"], Day(-729));
  EXPECT_EQ(doc["counts"]["warning"], 1);
  EXPECT_EQ(doc["counts"]["error"], 1);
  for (size_t i = 1; i < rows.size(); ++i) {
    const auto& o = doc["series"][i - 1];
    size_t c = 0;
    for (const auto& [name, value] : o.items()) {
      ASSERT_EQ(name, rows[0][c]) << "the JSON keys follow the CSV columns";
      if (value.is_number())  // the same number, however each form writes it
        EXPECT_EQ(value.get<double>(), std::stod(rows[i][c])) << name;
      else
        EXPECT_EQ(value.is_null() ? "" : value.get<std::string>(), rows[i][c]) << name;
      ++c;
    }
  }
  HostRun table = Run({});
  EXPECT_EQ(table.status, 3);
  EXPECT_EQ(table.out.rfind("HOST", 0), 0u) << table.out;
  EXPECT_NE(table.out.find("insufficient data"), std::string::npos);
  HostRun md = Run({"--format", "markdown"});
  EXPECT_NE(md.out.find("| HOST | PROBE | ARG | STATUS |"), std::string::npos) << md.out;
  EXPECT_NE(
      md.out.find(
          "1 exceeded, 1 warning, 2 ok, 1 never, 1 no threshold, 1 insufficient data, 1 error"),
      std::string::npos)
      << md.out;
  // --output writes the same bytes into a file and nothing to standard output.
  const std::string file = (dir_ / "report.csv").string();
  HostRun out = Run({"--format", "csv", "--output", file});
  EXPECT_EQ(out.out, "");
  EXPECT_EQ(testbed::Slurp(file), csv.out);
}

TEST_F(Report, TheSameBytesWhateverTheNumberOfJobs) {
  HostRun one = Run({"--format", "csv", "--jobs", "1"});
  HostRun four = Run({"--format", "csv", "--jobs", "4"});
  EXPECT_EQ(one.out, four.out);
  EXPECT_EQ(one.status, four.status);
}

TEST_F(Report, ResultsWaitInATemporaryFileThatLeavesNothingBehind) {
  const auto tmp = dir_ / "tmp";
  std::filesystem::create_directory(tmp);
  const HostRun usual = Run({"--format", "table"});
  const HostRun kept = Run({"--format", "table"}, {"TMPDIR=" + tmp.string()});
  EXPECT_EQ(kept.out, usual.out);
  EXPECT_EQ(kept.status, usual.status);
  EXPECT_TRUE(std::filesystem::is_empty(tmp));
  // Nowhere to keep them: the report says so before it forecasts anything.
  const HostRun nowhere = Run({"--format", "table"}, {"TMPDIR=" + (dir_ / "gone").string()});
  EXPECT_EQ(nowhere.status, 1);
  EXPECT_EQ(nowhere.out, "");
  EXPECT_NE(nowhere.err.find("cannot keep the report's results in a temporary file in " +
                             (dir_ / "gone").string() + ": No such file or directory"),
            std::string::npos)
      << nowhere.err;
}

TEST_F(Report, FiltersRangeAndAnEmptySelection) {
  HostRun r = Run({"--format", "csv", "--host", "w*", "--host", "ok", "--probe", "cpu"});
  auto rows = ReadCsv(r.out);
  ASSERT_EQ(rows.size(), 3u) << r.out;
  EXPECT_EQ(rows[1][0], "warning");
  EXPECT_EQ(rows[2][0], "ok");
  EXPECT_EQ(r.status, 0);
  r = Run({"--format", "csv", "--host", "nobody*"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ReadCsv(r.out).size(), 1u);  // the header alone
  EXPECT_NE(r.err.find("no series of HX_METRICS between"), std::string::npos) << r.err;
  // A range of its own: five days back gives every series a short history, two days too
  // little for a forecast.
  r = Run({"--format", "csv", "--first", Day(-4), "--last", kLast, "--probe", "custom"});
  rows = ReadCsv(r.out);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1][3], "no threshold");
  const auto flags = std::find(rows[0].begin(), rows[0].end(), "flags") - rows[0].begin();
  EXPECT_EQ(rows[1][static_cast<size_t>(flags)], "short history") << r.out;
  r = Run({"--format", "csv", "--first", Day(-1), "--last", kLast, "--probe", "custom"});
  rows = ReadCsv(r.out);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1][3], "insufficient data");
}

TEST_F(Report, DaysInTheRangeAndInTheModelsWindow) {
  Linear("long", "cpu", 70, 0.1, 200);
  auto days = [&](std::vector<std::string> range) {
    range.insert(range.end(), {"--format", "csv", "--host", "long", "--last", kLast});
    HostRun r = Run(range);
    auto rows = ReadCsv(r.out);
    EXPECT_EQ(rows.size(), 2u) << r.out << r.err;
    if (rows.size() != 2) return std::string();
    auto at = [&](const std::string& name) {
      return rows[1][static_cast<size_t>(std::find(rows[0].begin(), rows[0].end(), name) -
                                         rows[0].begin())];
    };
    return at("days") + " " + at("fit_days") + " " + at("first_day");
  };
  // A range longer than the model's 182 days counts the days before its window apart.
  EXPECT_EQ(days({"--first", Day(-199)}), "200 182 " + Day(-199));
  EXPECT_EQ(days({}), "200 182 " + Day(-199));  // the default range: two years
  EXPECT_EQ(days({"--first", Day(-29)}), "30 30 " + Day(-29));
}

TEST_F(Report, DirectionsBasesRecentPeaksAndStaleSeries) {
  Exec("DELETE FROM HX_METRICS");
  // Free memory against a floor of 100: falling 2 a day from 300 crosses in 100 days;
  // already at 90 it is exceeded; a rising one never reaches the floor.
  Linear("fall", "mem", 300, -2, 60);
  Linear("low", "mem", 90, 0, 60);
  Linear("rise", "mem", 300, 1, 60);
  // Busy hours: 50 all day but 85 at 14:00, flat. The mean line stays near 51, far from
  // 80; on the peak basis the busy hour is over the threshold.
  for (const char* host : {"peaky", "meanly"})
    for (int d = 0; d < 60; ++d) {
      testbed::HourlyRow r{host, std::string(host) == "peaky" ? "busy" : "calm", "", Day(-d)};
      r.avg.assign(24, 50);
      r.avg[14] = 85;
      r.min = r.avg;
      r.daily = 50 + 35.0 / 24;
      r.maxHourly = 85;
      Exec(testbed::InsertHourly("HX_METRICS", r));
    }
  // A host silent for the last 20 days of the range (its rows end 20 days before).
  Linear("silent", "busy", 95, 0, 60, 20);
  // Columns in an order of their own; the direction and basis have defaults.
  std::ofstream(thresholds_) << "threshold,probe,direction,basis,unit\n100,mem,below,,MB\n"
                             << "80,busy,,peak,%\n80,calm,above,mean,%\n";
  HostRun r = Run({"--format", "json", "--last", kLast});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto doc = nlohmann::json::parse(r.out);
  std::map<std::string, nlohmann::json> by;
  for (const auto& s : doc["series"]) by[s["host"].get<std::string>()] = s;
  ASSERT_EQ(by.size(), 6u) << r.out;
  EXPECT_EQ(by["fall"]["status"], "ok");
  EXPECT_EQ(by["fall"]["direction"], "below");
  EXPECT_NEAR(by["fall"]["days_to_threshold"].get<double>(), 100, 2);
  EXPECT_NEAR(static_cast<double>(trend::CalendarDaysBetween(
                  trend::ParseDate(kLast),
                  trend::ParseDate(by["fall"]["crossing_date"].get<std::string>()))),
              100, 2);
  EXPECT_EQ(by["low"]["status"], "exceeded");
  EXPECT_EQ(by["rise"]["status"], "never");
  EXPECT_TRUE(by["rise"]["days_to_threshold"].is_null());
  EXPECT_TRUE(by["rise"]["times_exceeded"].is_null());  // hours above a floor mean nothing
  EXPECT_EQ(by["peaky"]["status"], "exceeded");
  EXPECT_EQ(by["peaky"]["basis"], "peak");
  EXPECT_DOUBLE_EQ(by["peaky"]["recent_peak"].get<double>(), 85);
  EXPECT_GE(by["peaky"]["level"].get<double>(), 80);  // the busy-hour line
  EXPECT_EQ(by["meanly"]["status"], "never");
  EXPECT_LT(by["meanly"]["level"].get<double>(), 60);
  EXPECT_EQ(by["silent"]["status"], "stale");
  EXPECT_EQ(by["silent"]["last_seen"], Day(-20));
  EXPECT_NE(by["silent"]["level"], nullptr);  // its numbers are still shown
  // Stale sorts after insufficient data, before errors; a wider --stale-days accepts it.
  EXPECT_EQ(doc["series"].back()["host"], "silent");
  r = Run({"--format", "json", "--last", kLast, "--stale-days", "30", "--host", "silent"});
  EXPECT_EQ(nlohmann::json::parse(r.out)["series"][0]["status"], "exceeded") << r.out;
  // The table shows the same in words.
  r = Run({"--last", kLast, "--host", "fall", "--host", "silent"});
  EXPECT_NE(r.out.find("DAYS WITH DATA"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("stale"), std::string::npos) << r.out;
}

TEST_F(Report, FarCrossingsInWordsAndNeverAsNull) {
  HostRun r = Run({"--host", "glacial", "--host", "never"});
  EXPECT_NE(r.out.find("> 10 years"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("never"), std::string::npos) << r.out;
  r = Run({"--format", "markdown", "--host", "glacial"});
  EXPECT_NE(r.out.find("> 10 years"), std::string::npos) << r.out;
  r = Run({"--format", "json", "--host", "never"});
  EXPECT_TRUE(nlohmann::json::parse(r.out)["series"][0]["days_to_threshold"].is_null());
}

TEST_F(Report, AutoChoosesAModelPerSeriesWithItsIntervalAndCrossingRange) {
  Exec("DELETE FROM HX_METRICS");
  // 20 for months, then 70 for the last 40 days: the half-year line is tilted by the
  // shift; a recent model holds the new level, which is over the threshold of 60.
  for (int d = 0; d < 182; ++d) {
    const double v = (d < 40 ? 70.0 : 20.0) + ((d * 37) % 11 - 5) * 0.2;
    testbed::HourlyRow r{"shifted", "cpu", "", Day(-d)};
    r.avg.assign(24, v);
    r.min = r.avg;
    r.daily = r.maxHourly = v;
    Exec(testbed::InsertHourly("HX_METRICS", r));
  }
  Linear("rising", "cpu", 50, 0.2, 182);  // crosses 60 in about 50 days on its line
  std::ofstream(thresholds_) << "probe,threshold\ncpu,60\n";
  HostRun r = Run({"--format", "json", "--model", "auto", "--horizon", "1-90"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto doc = nlohmann::json::parse(r.out);
  std::map<std::string, nlohmann::json> by;
  for (const auto& s : doc["series"]) by[s["host"].get<std::string>()] = s;
  ASSERT_EQ(by.size(), 2u);
  const auto& shifted = by["shifted"];
  EXPECT_NE(shifted["model"], "line");
  EXPECT_TRUE(shifted["backtest_mase"].is_number());
  EXPECT_EQ(shifted["status"], "exceeded");
  // The level is the new one; a month on, the forecast has not wandered far from it.
  EXPECT_NEAR(shifted["level"].get<double>(), 70, 3);
  EXPECT_NEAR(shifted["forecast_30d"].get<double>(), 70, 15);
  for (int h = 1; h <= 90; ++h) {
    const std::string n = std::to_string(h) + "d";
    ASSERT_TRUE(shifted.contains("forecast_" + n) && shifted.contains("lower_" + n) &&
                shifted.contains("upper_" + n))
        << n;
    EXPECT_LE(shifted["lower_" + n].get<double>(), shifted["forecast_" + n].get<double>() + 1e-9);
    EXPECT_GE(shifted["upper_" + n].get<double>(), shifted["forecast_" + n].get<double>() - 1e-9);
  }
  // A rising series: its crossing lies between the days the two bounds reach 60.
  const auto& rising = by["rising"];
  ASSERT_TRUE(rising["crossing_date"].is_string()) << rising;
  EXPECT_LE(rising["crossing_earliest"].get<std::string>(),
            rising["crossing_date"].get<std::string>());
  if (rising["crossing_latest"].is_string()) {
    EXPECT_GE(rising["crossing_latest"].get<std::string>(),
              rising["crossing_date"].get<std::string>());
  }
  // The class's line stays available and gives its own numbers.
  r = Run({"--format", "json", "--model", "line", "--host", "shifted"});
  const auto line = nlohmann::json::parse(r.out)["series"][0];
  EXPECT_EQ(line["model"], "line");
  EXPECT_NE(line["forecast_30d"], shifted["forecast_30d"]);
  EXPECT_EQ(Run({"--model", "holt"}).status, 2);
  // A percentage's busy hour a year on: the line's is over 120 % (50 + 0.2 x 365 = 123),
  // the models' rows say 100 at most, as their forecasts do; the line's rows keep it.
  std::ofstream(thresholds_) << "probe,threshold,unit\ncpu,60,%\n";
  for (const char* model : {"auto", "line"}) {
    r = Run({"--format", "json", "--model", model, "--host", "rising", "--horizon", "365"});
    const auto row = nlohmann::json::parse(r.out)["series"][0];
    if (std::string(model) == "auto") {
      EXPECT_EQ(row["peak_365d"], 100) << row;
      EXPECT_LE(row["forecast_365d"].get<double>(), 100) << row;
    } else {
      EXPECT_GT(row["peak_365d"].get<double>(), 120) << row;
    }
  }
}

TEST_F(Report, UsageErrorsNameTheirCause) {
  std::ofstream(thresholds_) << "probe,arg,threshold,unit,label\ncpu,,eighty,%,CPU\n";
  HostRun r = Run({});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find(thresholds_ + ":2: the threshold \"eighty\" is not a number"),
            std::string::npos)
      << r.err;
  // A device without line ends is refused, not read without end.
  {
    const auto& b = testbed::CurrentBackend();
    r = Host({"report", "--dsn", b.dsn, "--user", b.user, "--password", b.password, "--thresholds",
              "/dev/zero"});
  }
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("/dev/zero:1: a line longer than 1 MiB"), std::string::npos) << r.err;
  std::ofstream(thresholds_) << "probe,limit\n";
  r = Run({});
  EXPECT_NE(r.err.find(":1: unknown column \"limit\""), std::string::npos) << r.err;
  std::ofstream(thresholds_) << "arg,unit\n";
  r = Run({});
  EXPECT_NE(r.err.find(":1: the header must name at least the columns probe and threshold"),
            std::string::npos)
      << r.err;
  std::ofstream(thresholds_) << "probe,threshold,direction\nmem,5,sideways\n";
  r = Run({});
  EXPECT_NE(r.err.find(":2: the direction \"sideways\" is neither above nor below"),
            std::string::npos)
      << r.err;
  std::ofstream(thresholds_) << "probe,threshold,direction,basis\nmem,5,below,peak\n";
  r = Run({});
  EXPECT_NE(r.err.find(":2: the basis peak goes with the direction above only"), std::string::npos)
      << r.err;
  std::ofstream(thresholds_) << "probe,threshold,basis\nmem,5,busiest\n";
  EXPECT_EQ(Run({}).status, 2);
  std::ofstream(thresholds_) << "probe,arg,threshold,unit,label\n\n# note\ncpu,,80,%\n";
  r = Run({});
  EXPECT_NE(r.err.find(":4: expected 5 fields"), std::string::npos) << r.err;
  std::ofstream(thresholds_) << "probe,arg,threshold,unit,label\ncpu,,80,%,\"CPU\n";
  r = Run({});
  EXPECT_NE(r.err.find(":2: a quoted field is not closed"), std::string::npos) << r.err;
  std::ofstream(thresholds_) << "probe,arg,threshold,unit,label\n";
  EXPECT_EQ(Run({"--horizon", "30,x"}).status, 2);
  EXPECT_EQ(Run({"--last", "soon"}).status, 2);
  // Days are yyyy-mm-dd only: a day-first or month-first form is refused, not guessed.
  for (const char* day : {"09/12/2026", "2026/12/09", "9.12.2026", "2026-12-9", "2026-02-30"}) {
    r = Run({"--last", day});
    EXPECT_EQ(r.status, 2) << day;
    EXPECT_NE(r.err.find("is not a day: give it as yyyy-mm-dd"), std::string::npos) << r.err;
  }
  r = Host({"summarize", "--dsn", "x", "--first", "12/01/2026"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--first \"12/01/2026\" is not a day"), std::string::npos) << r.err;
  EXPECT_EQ(Run({"--format", "xml"}).status, 2);
  EXPECT_EQ(Host({"report"}).status, 2);  // no --dsn
  // The connection failing is exit status 1.
  r = Host({"report", "--dsn", "no_such_source"});
  EXPECT_EQ(r.status, 1);
  // A database without the tables: the server's words, then where the schema is.
  Exec("DROP TABLE HX_METRICS");
  r = Run({"--last", kLast});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("hint: the database lacks the trend tables; create them with "
                       "schema/tables.sql"),
            std::string::npos)
      << r.err;
}

TEST_F(Report, AShortHistoryGetsAWideFlaggedForecastAndOneOverItsThresholdIsExceeded) {
  Exec("DELETE FROM HX_METRICS");
  Linear("hour", "cpu", 99.95, 0, 1);       // one day, far over 80: exceeded
  Linear("hour", "runqjobs", 8.33, 0, 1);   // over the built-in 8 (busy hour)
  Linear("twodays", "cpu", 50, 0, 2);       // under it: too little to say more
  Linear("week", "cpu", 70, 0.5, 7);        // 80 in 20 days, from a week
  Linear("fortnight", "cpu", 70, 0.5, 14);  // a full forecast
  for (const char* model : {"line", "auto"}) {
    HostRun r = Run({"--format", "json", "--last", kLast, "--model", model});
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, nlohmann::json> rows;
    const auto doc = nlohmann::json::parse(r.out);
    for (const auto& s : doc.at("series"))
      rows[s.at("host").get<std::string>() + "/" + s.at("probe").get<std::string>()] = s;
    EXPECT_EQ(rows["hour/cpu"].at("status"), "exceeded") << model << rows["hour/cpu"];
    EXPECT_EQ(rows["hour/cpu"].at("exceeded_since"), kLast);
    EXPECT_EQ(rows["hour/runqjobs"].at("status"), "exceeded") << rows["hour/runqjobs"];
    EXPECT_EQ(rows["twodays/cpu"].at("status"), "insufficient data");
    const auto& week = rows["week/cpu"];
    EXPECT_EQ(week.at("status"), "warning") << model << week;
    EXPECT_EQ(week.at("model"), "short-history trend");
    EXPECT_EQ(week.at("flags"), "short history");
    EXPECT_EQ(week.at("trust"), "low");
    EXPECT_NEAR(week.at("days_to_threshold").get<double>(), 20, 1);
    EXPECT_NEAR(week.at("forecast_30d").get<double>(), 85, 0.5);
    // Wide: the band of a week's line 30 days on spans tens of points.
    EXPECT_GT(week.at("upper_30d").get<double>() - week.at("lower_30d").get<double>(), 10);
    EXPECT_LT(week.at("crossing_earliest").get<std::string>(),
              week.at("crossing_date").get<std::string>());
    EXPECT_TRUE(rows["fortnight/cpu"].at("flags").is_null());
    EXPECT_NE(rows["fortnight/cpu"].at("model"), "short-history trend");
  }
}

TEST_F(Report, AGroupIsForecastAgainstItsCapacityWithSpareMembersLost) {
  // Ten web hosts serving 50 requests/s, each growing by 1 a day; capacity 100 each, two
  // spare: usable 800, the group at 500 growing 10 a day crosses in 30 days. A host silent
  // for a month is left out; one hour missing is filled. Of four balanced hosts, one
  // carries three times the others' load.
  for (int i = 1; i <= 10; ++i)
    Linear("web" + std::string(i < 10 ? "0" : "") + std::to_string(i), "requests", 50, 1, 120);
  Linear("web11", "requests", 50, 0, 90, 30);
  Exec(
      "UPDATE HX_METRICS SET AVG_VALUE_05 = -1, MIN_VALUE_05 = 1000000000 WHERE HOSTNAME = "
      "'web03' AND COLLECTION_DATE = '" +
      Day(-3) + "'");
  for (const char* host : {"lb01", "lb02", "lb03"}) Linear(host, "conns", 100, 0.2, 120);
  Linear("lb04", "conns", 300, 0.2, 120);
  const std::string groups = (dir_ / "groups.csv").string();
  std::ofstream(groups)
      << "\xEF\xBB\xBF# services\r\ngroup,host,probe,aggregate,capacity,spare,unit\r\n"
         "web,web0*,requests,sum,100,2,req/s\r\nweb,web1?,requests,,,,\r\n"
         "lb,lb*,conns,sum,1000,1,conns\r\n";
  HostRun r = Run({"--format", "json", "--last", kLast, "--groups", groups, "--until", Day(85)});
  ASSERT_EQ(r.status, 3) << r.err;
  const auto doc = nlohmann::json::parse(r.out);
  ASSERT_EQ(doc.at("groups").size(), 2u) << doc.at("groups");
  const auto& web = doc.at("groups")[0];
  EXPECT_EQ(web.at("group"), "web");
  EXPECT_EQ(web.at("members"), 10);
  EXPECT_EQ(web.at("stale_members"), "web11");
  EXPECT_EQ(web.at("filled_hours"), 1);
  EXPECT_EQ(web.at("threshold"), 800);
  EXPECT_NEAR(web.at("level").get<double>(), 500, 2) << web;
  EXPECT_NEAR(web.at("headroom").get<double>(), 0.375, 0.003);
  EXPECT_EQ(web.at("days_to_threshold"), 30) << web;     // 500 + 10 x 30 = 800
  EXPECT_EQ(web.at("members_needed_until"), 16) << web;  // 1,350 + the band: 14 + 2 spare
  EXPECT_GE(web.at("members_needed").get<int>(), 16);    // 1,400 and more by day 90
  EXPECT_TRUE(web.at("imbalanced").is_null()) << web;
  EXPECT_EQ(doc.at("groups")[1].at("imbalanced"), "lb04");
  EXPECT_EQ(doc.at("groups")[1].at("threshold"), 3000);  // 1,000 x (4 - 1)
  // About 600 against 3,000 usable: oversized; two members carry it with one spare.
  EXPECT_EQ(doc.at("groups")[1].at("right_sizing"), "oversized") << doc.at("groups")[1];
  EXPECT_EQ(doc.at("groups")[1].at("members_removable"), 2);
  EXPECT_EQ(web.at("right_sizing"), "undersized");
  // --until asks each series what would last until then.
  for (const auto& s : doc.at("series"))
    if (s.at("host") == "warning") {
      EXPECT_GT(s.at("needed_until").get<double>(), 110) << s;
    }

  // Every form carries the groups first.
  r = Run({"--format", "csv", "--last", kLast, "--groups", groups});
  auto rows = ReadCsv(r.out);
  ASSERT_GE(rows.size(), 3u);
  EXPECT_EQ(rows[0][0], "kind");
  EXPECT_EQ(rows[1][0], "group");
  EXPECT_EQ(rows.back()[0], "series");
  EXPECT_EQ(rows[1].size(), rows[0].size());
  EXPECT_EQ(rows.back().size(), rows[0].size());
  r = Run({"--format", "csv", "--last", kLast, "--groups", groups, "--groups-only"});
  rows = ReadCsv(r.out);
  ASSERT_EQ(rows.size(), 3u) << r.out;
  EXPECT_EQ(rows[0][0], "group");
  r = Run({"--last", kLast, "--groups", groups, "--until", Day(85)});
  EXPECT_EQ(r.out.rfind("SERVICES\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("16 (+6)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("stale, left out: web11"), std::string::npos) << r.out;
  r = Run({"--format", "markdown", "--last", kLast, "--groups", groups});
  EXPECT_NE(r.out.find("## Services"), std::string::npos);
  // The page opens with the services and each group's chart against its capacity.
  r = Run({"--format", "html", "--last", kLast, "--groups", groups});
  const size_t services = r.out.find("<h2 id=\"services\">Services</h2>");
  ASSERT_NE(services, std::string::npos);
  EXPECT_LT(services, r.out.find("<h2 id=\"series-table\">"));
  EXPECT_NE(r.out.find("id=\"chart-group-1\"><svg"), std::string::npos);
  EXPECT_NE(r.out.find("capacity, all 10 members 1000"), std::string::npos);
  r = Run({"--format", "openmetrics", "--last", kLast, "--groups", groups});
  EXPECT_NE(r.out.find("trend_group_usable_capacity{group=\"web\",probe=\"requests\"} 800\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("trend_group_members{group=\"web\",probe=\"requests\"} 10\n"),
            std::string::npos);

  // What-if: a step of 100 from day 10 brings the crossing 10 days earlier; 20 % more
  // growth brings it to day 25; two members more from day 5 (usable 1,000) to day 50. A
  // series' new threshold and a step on it.
  const std::string scenarios = (dir_ / "scenarios.csv").string();
  std::ofstream(scenarios) << "scenario,target,event,value,from\n"
                           << "newcustomer,web,step,+100," << Day(10) << "\n"
                           << "season,web,growth,+20%," << kLast << "\n"
                           << "expand,web,capacity,+2," << Day(5) << "\n"
                           << "upgrade,warning/cpu,threshold,120," << Day(5) << "\n"
                           << "newcustomer,warning/cpu/,step,+5," << kLast << "\n"
                           << "double,ok/custom,step,+100%," << kLast << "\n";
  r = Run({"--format", "json", "--last", kLast, "--groups", groups, "--scenario", scenarios});
  ASSERT_EQ(r.status, 3) << r.err;
  {
    const auto what = nlohmann::json::parse(r.out);
    std::map<std::string, nlohmann::json> byScenario;
    for (const auto& g : what.at("groups"))
      if (g.at("group") == "web") byScenario[g.at("scenario").get<std::string>()] = g;
    ASSERT_EQ(byScenario.size(), 4u) << what.at("groups");
    const double base = byScenario["baseline"].at("days_to_threshold").get<double>();
    EXPECT_NEAR(byScenario["newcustomer"].at("days_to_threshold").get<double>(), base - 10, 1)
        << byScenario["newcustomer"];
    EXPECT_NEAR(byScenario["season"].at("days_to_threshold").get<double>(), 25, 2)
        << byScenario["season"];
    EXPECT_NEAR(byScenario["expand"].at("days_to_threshold").get<double>(), 50, 2)
        << byScenario["expand"];
    EXPECT_EQ(byScenario["expand"].at("members"), 12);
    EXPECT_EQ(byScenario["expand"].at("threshold"), 1000);
    std::map<std::string, nlohmann::json> warning;
    for (const auto& s : what.at("series"))
      if (s.at("host") == "warning") warning[s.at("scenario").get<std::string>()] = s;
    ASSERT_EQ(warning.size(), 3u);
    EXPECT_NEAR(warning["baseline"].at("days_to_threshold").get<double>(), 20, 2);
    EXPECT_NEAR(warning["upgrade"].at("days_to_threshold").get<double>(), 100, 2);
    EXPECT_NEAR(warning["newcustomer"].at("days_to_threshold").get<double>(), 10, 2);
    // A series without a threshold moves too: its level doubled.
    std::map<std::string, double> custom;
    for (const auto& s : what.at("series"))
      if (s.at("host") == "ok" && s.at("probe") == "custom")
        custom[s.at("scenario").get<std::string>()] = s.at("level").get<double>();
    ASSERT_EQ(custom.size(), 2u);
    EXPECT_NEAR(custom["double"], 2 * custom["baseline"], 1e-9);
  }
  r = Run({"--format", "html", "--last", kLast, "--groups", groups, "--scenario", scenarios});
  EXPECT_NE(r.out.find("<h2 id=\"what-if\">What-if</h2>"), std::string::npos);
  EXPECT_NE(r.out.find("what-if: newcustomer"), std::string::npos);  // on the group's chart
  EXPECT_NE(r.out.find("what-if: upgrade"), std::string::npos);      // and the series'
  EXPECT_NE(r.out.find("what-if: expand"), std::string::npos);
  r = Run({"--last", kLast, "--groups", groups, "--scenario", scenarios});
  EXPECT_NE(r.out.find("\nWHAT-IF\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("group web"), std::string::npos) << r.out;
  auto scenarioRefused = [&](const std::string& text, const std::string& message) {
    std::ofstream(scenarios) << "scenario,target,event,value,from\n" << text;
    HostRun bad = Run({"--groups", groups, "--scenario", scenarios});
    EXPECT_EQ(bad.status, 2) << text;
    EXPECT_NE(bad.err.find(message), std::string::npos) << bad.err;
  };
  scenarioRefused("x,nobody/cpu,step,+1,2001-07-01\n",
                  ":2: the scenario x's target nobody/cpu names no group and no series");
  scenarioRefused("x,warning/cpu,capacity,+1,2001-07-01\n",
                  ":2: capacity events add members to a group");
  scenarioRefused("x,web,growth,20,2001-07-01\n", ":2: a growth is a share");
  scenarioRefused("x,web,step,lots,2001-07-01\n", ":2: the value \"lots\" is not a number");
  scenarioRefused("x,web,step,+1,07/01/2001\n", ":2: from \"07/01/2001\" is not a day");
  // Files of no end or of too many lines are refused, not read on.
  {
    std::ofstream many(scenarios);
    many << "scenario,target,event,value,from\n";
    for (int i = 0; i < 10001; ++i) many << "x,web,step,+1,2001-07-01\n";
  }
  r = Run({"--groups", groups, "--scenario", scenarios});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("more than 10000 lines: not a scenario file"), std::string::npos) << r.err;
  r = Run({"--groups", "/dev/zero"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("/dev/zero:1: a line longer than 1 MiB"), std::string::npos) << r.err;

  // Recorded, a group's crossing is compared with its last run's, and its history kept.
  ASSERT_EQ(Run({"--record", "--format", "csv", "--last", kLast, "--groups", groups}).status, 3);
  r = Run({"--record", "--format", "json", "--last", kLast, "--groups", groups});
  {
    const auto recorded = nlohmann::json::parse(r.out).at("groups")[0];
    EXPECT_EQ(recorded.at("crossing_shift_days"), 0) << recorded;
    EXPECT_EQ(recorded.at("previous_crossing"), recorded.at("crossing_date"));
  }
  {
    const auto& b = testbed::CurrentBackend();
    r = Host({"history", "--dsn", b.dsn, "--user", b.user, "--password", b.password, "--host",
              "group:web", "--probe", "requests"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadCsv(r.out).size(), 3u) << r.out;
  }

  // A file at fault is refused before the database is asked, naming the line.
  auto refused = [&](const std::string& text, const std::string& message) {
    std::ofstream(groups) << text;
    HostRun bad = Run({"--groups", groups});
    EXPECT_EQ(bad.status, 2) << text;
    EXPECT_NE(bad.err.find(message), std::string::npos) << bad.err;
  };
  refused("group,host,probe,capacity,colour\nweb,web*,requests,100,red\n",
          ":1: unknown column \"colour\"");
  refused("group,host,probe\nweb,web*,requests\n", ":2: the group web has no capacity");
  refused("group,host,probe,capacity\nweb,web0*,requests,100\nweb,web1*,requests,200\n",
          ":3: the group web has the capacity 100 on line 2, not 200");
  refused("group,host,probe,capacity\nweb,web*,requests,100\nweb,web*,requests,100\n",
          ":3: the group web already has the hosts web* on line 2");
  refused("group,host,probe,capacity,aggregate\nweb,web*,requests,100,median\n",
          ":2: the aggregate \"median\" is neither sum, mean nor max");
  refused("group,host,probe,capacity,spare\nweb,web*,requests,100,-1\n",
          ":2: spare \"-1\" is not a number of members");
  EXPECT_EQ(Run({"--until", "31/12/2027"}).status, 2);
}

TEST_F(Report, RightSizingFindsTheOversizedAndTheUndersized) {
  // At 20 % of its threshold with a steady busy hour: oversized, 80 % reclaimable. Three
  // weeks of data: too little to say. The fixture's warning crosses within 90 days.
  Linear("idle", "cpu", 16, 0, 60);
  Linear("young", "cpu", 16, 0, 21);
  HostRun r = Run({"--format", "json", "--last", kLast});
  ASSERT_EQ(r.status, 3) << r.err;
  std::map<std::string, nlohmann::json> rows;
  const auto doc = nlohmann::json::parse(r.out);
  for (const auto& s : doc.at("series"))
    rows[s.at("host").get<std::string>() + "/" + s.at("probe").get<std::string>()] = s;
  // What could be reclaimed is the threshold less the busy hour's upper band at its highest
  // (on a flat series, the band's edge at the longest horizon).
  const auto& idle = rows["idle/cpu"];
  EXPECT_EQ(idle.at("right_sizing"), "oversized") << idle;
  EXPECT_NEAR(idle.at("reclaimable").get<double>(), 80 - idle.at("upper_90d").get<double>(), 1e-9)
      << idle;
  EXPECT_NEAR(idle.at("reclaimable_share").get<double>(), idle.at("reclaimable").get<double>() / 80,
              1e-12);
  // A series that never changed has a narrow band: nearly the 80 % its level leaves.
  EXPECT_GT(idle.at("reclaimable_share").get<double>(), 0.75);
  EXPECT_EQ(rows["young/cpu"].at("right_sizing"), "no recommendation: too little history");
  EXPECT_EQ(rows["warning/cpu"].at("right_sizing"), "undersized");
  EXPECT_EQ(rows["exceeded/cpu"].at("right_sizing"), "undersized");
  EXPECT_TRUE(rows["ok/custom"].at("right_sizing").is_null());  // no threshold
  // A lower bar: nothing is oversized under 10 % of its threshold here.
  r = Run({"--format", "json", "--last", kLast, "--oversized-below", "10"});
  EXPECT_EQ(r.out.find("\"oversized\""), std::string::npos);
  r = Run({"--format", "html", "--last", kLast});
  EXPECT_NE(r.out.find("<h2 id=\"right-sizing\">Right-sizing</h2>"), std::string::npos);
  r = Run({"--format", "openmetrics", "--last", kLast});
  EXPECT_NE(r.out.find("trend_reclaimable_ratio{host=\"idle\",probe=\"cpu\",arg=\"\"} 0."),
            std::string::npos)
      << r.out;
  r = Run({"--last", kLast});
  EXPECT_NE(r.out.find("oversized, "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("% reclaimable"), std::string::npos) << r.out;
}

TEST_F(Report, AHostGetsTheNarrowestThresholdLineThatNamesIt) {
  // "ok" (70, rising) under a line of its own at 60 is exceeded, whatever "o*" says; the
  // rest of the fleet keeps 80, "exceeded" (flat at 90) is raised to 95 by its pattern.
  std::ofstream(thresholds_) << "probe,threshold,host\ncpu,80,\ncpu,95,exc*\ncpu,85,o*\n"
                                "cpu,60,ok\n";
  HostRun r = Run({"--format", "csv", "--host", "ok", "--host", "exceeded", "--host", "warning"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto rows = ReadCsv(r.out);
  ASSERT_EQ(rows.size(), 5u) << r.out;
  std::map<std::string, std::pair<std::string, std::string>>
      got;  // host/probe -> status, threshold
  for (size_t i = 1; i < rows.size(); ++i)
    got[rows[i][0] + "/" + rows[i][1]] = {rows[i][3], rows[i][6]};
  EXPECT_EQ(got["ok/cpu"], std::make_pair(std::string("exceeded"), std::string("60")));
  EXPECT_EQ(got["exceeded/cpu"], std::make_pair(std::string("never"), std::string("95")));
  EXPECT_EQ(got["warning/cpu"], std::make_pair(std::string("warning"), std::string("80")));
  EXPECT_EQ(got["ok/custom"].first, "no threshold");
}

TEST_F(Report, AcknowledgedRowsStayQuietUntilTheirDayAndSayOnceThatItPassed) {
  auto series = [](const HostRun& run, const std::string& host, const std::string& probe) {
    const auto doc = nlohmann::json::parse(run.out);
    for (const auto& s : doc.at("series"))
      if (s.at("host") == host && s.at("probe") == probe) return s;
    return nlohmann::json();
  };
  const std::string ack = (dir_ / "ack.csv").string();
  // "exceeded" is acknowledged into the future; "warning"'s acknowledgement ran out three
  // days ago; a row without a capacity status stays as it is.
  std::ofstream(ack) << "\xEF\xBB\xBFhost,probe,arg,until,owner,note\r\n"
                     << "exc*,cpu,," << Day(10) << ",ops-storage,\"disks ordered, PO 4471\"\r\n"
                     << "warning,c?u,," << Day(-3) << ",ops,old\r\nok,custom,," << Day(10)
                     << ",x,y\r\n";
  HostRun r = Run({"--format", "json", "--last", kLast, "--ack", ack});
  ASSERT_EQ(r.status, 3) << r.err;
  auto exceeded = series(r, "exceeded", "cpu");
  EXPECT_EQ(exceeded.at("status"), "acknowledged") << exceeded;
  EXPECT_EQ(exceeded.at("ack_owner"), "ops-storage");
  EXPECT_EQ(exceeded.at("ack_note"), "disks ordered, PO 4471");
  EXPECT_EQ(exceeded.at("ack_until"), Day(10));
  EXPECT_TRUE(exceeded.at("exceeded_since").is_string());  // its figures stay
  auto warning = series(r, "warning", "cpu");
  EXPECT_EQ(warning.at("status"), "warning");
  EXPECT_EQ(warning.at("flags"), "ack expired") << warning;
  EXPECT_EQ(series(r, "ok", "custom").at("status"), "no threshold");
  EXPECT_TRUE(series(r, "ok", "custom").at("ack_owner").is_null());
  // Sorted after never; kept out of the time to the threshold; said in the table's note.
  std::vector<std::string> order;
  const auto doc = nlohmann::json::parse(r.out);
  for (const auto& s : doc.at("series")) order.push_back(s.at("status").get<std::string>());
  EXPECT_EQ(order[3], "never");
  EXPECT_EQ(order[4], "acknowledged");
  r = Run({"--format", "openmetrics", "--last", kLast, "--ack", ack});
  EXPECT_EQ(r.out.find("trend_seconds_to_threshold{host=\"exceeded\""), std::string::npos);
  EXPECT_NE(r.out.find("trend_status{host=\"exceeded\",probe=\"cpu\",arg=\"\","
                       "status=\"acknowledged\"} 1"),
            std::string::npos)
      << r.out;
  r = Run({"--last", kLast, "--ack", ack});
  EXPECT_NE(r.out.find("by ops-storage until " + Day(10) + ": disks ordered, PO 4471"),
            std::string::npos)
      << r.out;

  // With recorded runs, once: the first run after the day says it (however long after),
  // the next one no more.
  std::ofstream(ack) << "host,probe,until,owner\nwarning,cpu," << Day(-20) << ",ops\n";
  ASSERT_EQ(Run({"--record", "--format", "csv", "--last", Day(-25), "--ack", ack}).status, 0);
  r = Run({"--record", "--format", "json", "--last", kLast, "--ack", ack});
  EXPECT_EQ(series(r, "warning", "cpu").at("flags"), "ack expired") << r.out;
  r = Run({"--format", "json", "--last", kLast, "--ack", ack});
  EXPECT_TRUE(series(r, "warning", "cpu").at("flags").is_null()) << r.out;

  // A malformed file is refused before the database is asked anything.
  std::ofstream(ack) << "host,probe,until\ndb01,cpu,31/01/2027\n";
  r = Run({"--ack", ack});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find(ack + ":2: until \"31/01/2027\" is not a day: give it as yyyy-mm-dd"),
            std::string::npos)
      << r.err;
  std::ofstream(ack) << "host,until\ndb01,2027-01-31\n";
  r = Run({"--ack", ack});
  EXPECT_NE(r.err.find(":1: the header must name at least the columns host, probe and until"),
            std::string::npos)
      << r.err;
}

TEST_F(Report, ChartsGoToTheSeriesMostAtRiskInEitherDirection) {
  // Free space falling 50 MB a day to 1,000 MB in 60 days (no warning within 30 days), beside
  // six series growing faster by far but nowhere near their threshold: the falling disk's
  // crossing is the nearest, and it is charted.
  Exec("DELETE FROM HX_METRICS");
  for (int d = 0; d < 120; ++d) {
    testbed::HourlyRow disk{"disk01", "fsfreemb", "/", Day(-d)};
    disk.avg.assign(24, 4000 + 50.0 * d);
    disk.min = disk.avg;
    disk.daily = disk.maxHourly = disk.avg[0];
    Exec(testbed::InsertHourly("HX_METRICS", disk));
    for (int h = 1; h <= 6; ++h) {
      testbed::HourlyRow grow{"grow0" + std::to_string(h), "cpu", "", Day(-d)};
      grow.avg.assign(24, 1000 - 5.0 * h * d / 6);
      grow.min = grow.avg;
      grow.daily = grow.maxHourly = grow.avg[0];
      Exec(testbed::InsertHourly("HX_METRICS", grow));
    }
  }
  std::ofstream(thresholds_) << "probe,threshold,direction\nfsfreemb,1000,below\ncpu,1e9,above\n";
  const std::string page = (dir_ / "risk.html").string();
  HostRun r = Run({"--format", "html", "--output", page, "--last", kLast, "--model", "line"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string html = testbed::Slurp(page);
  EXPECT_NE(html.find("id=\"chart-disk01-fsfreemb-_\"><svg"), std::string::npos);
  size_t charts = 0;
  for (size_t p = 0; (p = html.find("<div class=\"chart\"", p + 1)) != std::string::npos;) ++charts;
  EXPECT_EQ(charts, 5u);
}

TEST_F(Report, AHorizonShowsTheWeekAroundItsDay) {
  // Weekdays at 80, weekends at 10, level for months: a single day ahead carries its
  // weekday's effect (day 90 may be a Sunday), the week around it is the weekly mean, 60.
  Exec("DELETE FROM HX_METRICS");
  for (int d = 0; d < 140; ++d) {
    const auto since = trend::CalendarDaysBetween(trend::MakeDate(2001, 1, 1),  // a Monday
                                                  trend::ParseDate(Day(-d)));
    const int weekday = static_cast<int>((since % 7 + 7) % 7);
    testbed::HourlyRow r{"db01", "cpu", "", Day(-d)};
    r.avg.assign(24, weekday >= 5 ? 10 : 80);
    r.min = r.avg;
    r.daily = r.maxHourly = r.avg[0];
    Exec(testbed::InsertHourly("HX_METRICS", r));
  }
  std::ofstream(thresholds_) << "probe,threshold\ncpu,1000\n";
  HostRun r =
      Run({"--format", "json", "--last", kLast, "--horizon", "30,90,92", "--model", "auto"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto row = nlohmann::json::parse(r.out).at("series").at(0);
  for (const char* h : {"30", "90", "92"})
    EXPECT_NEAR(row.at(std::string("week_") + h + "d").get<double>(), 60, 2) << row;
  // Days 90 and 92 lie two days apart: at least one of them is not where the week is.
  EXPECT_GT(std::abs(row.at("forecast_90d").get<double>() - row.at("forecast_92d").get<double>()) +
                std::abs(row.at("forecast_90d").get<double>() - 60),
            10)
      << row;
  r = Run({"--last", kLast});
  EXPECT_NE(r.out.find("+30d (week)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("PEAK +30d"), std::string::npos) << r.out;
}

TEST_F(Report, HtmlPageIsSelfContainedWithCharts) {
  const std::string page = (dir_ / "report.html").string();
  const std::string charts = (dir_ / "charts").string();
  HostRun r = Run({"--format", "html", "--output", page, "--charts", charts});
  EXPECT_EQ(r.status, 3) << r.err;
  const std::string html = testbed::Slurp(page);
  EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_EQ(html.find("http://"), html.find("http://www.w3.org"));  // no fetch from anywhere
  EXPECT_EQ(html.find("src=\"http"), std::string::npos);
  // Charts for the exceeded and the warning series at least, inline and as PNG files.
  EXPECT_NE(html.find("id=\"chart-exceeded-cpu\"><svg"), std::string::npos);
  EXPECT_NE(html.find("id=\"chart-warning-cpu\"><svg"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(charts + "/warning-cpu.png"));
  size_t rows = 0;
  for (size_t p = html.find("<tbody>");
       (p = html.find("<tr data-status=", p + 1)) != std::string::npos;)
    ++rows;
  EXPECT_EQ(rows, 8u);
  // Each row names its status and host for the page's selectors; hostile names escaped.
  EXPECT_NE(html.find("<tr data-status=\"warning\" data-host=\"warning\">"), std::string::npos);
  EXPECT_NE(html.find("<option>insufficient data</option>"), std::string::npos);

  // The columns a planner reads first lead; the error columns show when a row failed.
  const size_t head = html.find("<table id=\"series\">");
  std::vector<std::string> headers;
  for (size_t p = head; (p = html.find("<th title=", p + 1)) < html.find("</thead>", head);)
    headers.push_back(
        html.substr(html.find('>', p) + 1, html.find("</th>", p) - html.find('>', p) - 1));
  ASSERT_GE(headers.size(), 11u) << html.substr(head, 2000);
  EXPECT_EQ(std::vector<std::string>(headers.begin(), headers.begin() + 11),
            (std::vector<std::string>{"host", "probe", "arg", "status", "crossing_date",
                                      "days_to_threshold", "trust", "model", "level", "+30d (week)",
                                      "+90d (week)"}));
  // Trust is a badge a low row stands out by.
  EXPECT_NE(html.find("<span class=\"trust t-"), std::string::npos);
  EXPECT_NE(std::find(headers.begin(), headers.end(), "error_number"), headers.end());

  // Each host has a section the table links to, holding its series and charts, the hourly
  // forecast among them for the exceeded and warning series.
  const size_t link = html.find("<td><a href=\"#host-", html.find("data-host=\"warning\">"));
  ASSERT_NE(link, std::string::npos);
  const std::string target = html.substr(link + 14, html.find('"', link + 14) - link - 14);
  const size_t section =
      html.find("<section class=\"host\" id=\"" + target + "\" data-host=\"warning\">");
  ASSERT_NE(section, std::string::npos) << target;
  const size_t chart = html.find("id=\"chart-warning-cpu-hourly\"><svg");
  EXPECT_GT(chart, section);
  EXPECT_LT(chart, html.find("</section>", section));
  EXPECT_NE(html.find("id=\"chart-exceeded-cpu-hourly\"><svg"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(charts + "/warning-cpu-hourly.png"));

  // One host, no failures: its days shown once, no empty columns.
  r = Run({"--format", "html", "--host", "warning"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("<dt>days with data</dt><dd>"), std::string::npos);
  EXPECT_EQ(r.out.find(">first_day</th>"), std::string::npos);
  EXPECT_EQ(r.out.find(">error_number</th>"), std::string::npos);
  EXPECT_NE(r.out.find(">model</th>"), std::string::npos);
}

}  // namespace

TEST_F(Report, RecordedRunsGiveEachCrossingItsShift) {
  // Nothing recorded: the columns are there and empty.
  HostRun r = Run({"--format", "json", "--last", kLast});
  auto series = [](const HostRun& run, const std::string& host) {
    const auto doc = nlohmann::json::parse(run.out);
    for (const auto& s : doc.at("series"))
      if (s.at("host") == host) return s;
    return nlohmann::json();
  };
  ASSERT_TRUE(series(r, "warning").contains("previous_crossing")) << r.out;
  EXPECT_TRUE(series(r, "warning").at("crossing_shift_days").is_null());

  // Recorded twice on unchanged data: the second run's shifts are 0.
  ASSERT_EQ(Run({"--record", "--format", "csv", "--last", kLast}).status, 3);
  r = Run({"--record", "--format", "json", "--last", kLast});
  ASSERT_EQ(r.status, 3) << r.err;
  const auto warning = series(r, "warning");
  EXPECT_EQ(warning.at("previous_crossing"), warning.at("crossing_date")) << warning;
  EXPECT_EQ(warning.at("crossing_shift_days"), 0);
  EXPECT_TRUE(series(r, "never").at("previous_crossing").is_null());
  // An exceeded series has no shift (its crossing is the report's day), but the day its
  // run at or beyond the threshold began.
  const auto exceeded = series(r, "exceeded");
  EXPECT_TRUE(exceeded.at("crossing_shift_days").is_null()) << exceeded;
  ASSERT_TRUE(exceeded.at("exceeded_since").is_string()) << exceeded;
  EXPECT_LE(exceeded.at("exceeded_since").get<std::string>(), std::string(kLast)) << exceeded;
  EXPECT_TRUE(warning.at("exceeded_since").is_null()) << warning;

  // Faster growth since: the crossing moves earlier, by the days the line now says.
  Exec("DELETE FROM HX_METRICS WHERE HOSTNAME = 'warning'");
  Linear("warning", "cpu", 77.5, 0.5, 60);  // 80 reached in 5 days instead of 20
  r = Run({"--format", "json", "--last", kLast});
  EXPECT_EQ(series(r, "warning").at("crossing_shift_days"), -15) << series(r, "warning");
  r = Run({"--format", "html", "--last", kLast});  // two weeks or more stand out
  EXPECT_NE(r.out.find("class=\"num shift-large\" data-sort=\"-15\" title=\"earlier"),
            std::string::npos);

  // A later recorded run without a crossing supersedes the earlier ones.
  Exec("DELETE FROM HX_METRICS WHERE HOSTNAME = 'warning'");
  Linear("warning", "cpu", 70, -0.1, 60);
  ASSERT_EQ(Run({"--record", "--format", "csv", "--last", kLast}).status, 3);
  Exec("DELETE FROM HX_METRICS WHERE HOSTNAME = 'warning'");
  Linear("warning", "cpu", 77.5, 0.5, 60);
  r = Run({"--format", "json", "--last", kLast});
  EXPECT_TRUE(series(r, "warning").at("previous_crossing").is_null()) << series(r, "warning");
  EXPECT_EQ(series(r, "warning").at("crossing_shift"), "new") << series(r, "warning");
  EXPECT_EQ(series(r, "ok").at("crossing_shift_days"), 0) << series(r, "ok");
  // A recorded crossing that is gone is a shift too, marked on the page.
  Exec("DELETE FROM HX_METRICS WHERE HOSTNAME = 'ok'");
  Linear("ok", "cpu", 50, -0.1, 60);
  r = Run({"--format", "json", "--last", kLast});
  EXPECT_EQ(series(r, "ok").at("crossing_shift"), "now never") << series(r, "ok");
  EXPECT_TRUE(series(r, "ok").at("crossing_shift_days").is_null()) << series(r, "ok");
  r = Run({"--format", "html", "--last", kLast});
  EXPECT_NE(r.out.find("<span class=\"shift-note\">now never</span>"), std::string::npos);

  // Another threshold is another comparison.
  std::ofstream(thresholds_) << "probe,threshold\ncpu,85\n";
  r = Run({"--format", "json", "--last", kLast});
  EXPECT_TRUE(series(r, "warning").at("previous_crossing").is_null());

  // The history of one series: the three recorded runs, oldest first.
  const auto& b = testbed::CurrentBackend();
  r = Host({"history", "--dsn", b.dsn, "--user", b.user, "--password", b.password, "--host",
            "warning", "--probe", "cpu"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto rows = ReadCsv(r.out);
  ASSERT_EQ(rows.size(), 4u) << r.out;
  auto cell = [&](size_t row, const std::string& name) {
    const auto it = std::find(rows[0].begin(), rows[0].end(), name);
    return it == rows[0].end() ? std::string("(no column ") + name + ")"
                               : rows[row][static_cast<size_t>(it - rows[0].begin())];
  };
  EXPECT_EQ(rows[0][0], "run_time");
  EXPECT_EQ(cell(3, "status"), "never");
  EXPECT_EQ(cell(1, "status"), "warning");
  EXPECT_EQ(cell(1, "days_to_threshold"), "20");
  EXPECT_EQ(cell(2, "crossing_date"), Day(20));
  // A column per horizon, the interval and the trust beside them.
  EXPECT_NEAR(std::stod(cell(2, "forecast_30d")), 85.1, 0.5) << r.out;
  EXPECT_NEAR(std::stod(cell(2, "forecast_90d")), 115.2, 0.5) << r.out;
  EXPECT_LT(std::stod(cell(2, "lower_30d")), std::stod(cell(2, "forecast_30d")));
  EXPECT_GT(std::stod(cell(2, "upper_90d")), std::stod(cell(2, "forecast_90d")));
  EXPECT_NE(cell(2, "week_30d"), "");
  EXPECT_NE(cell(2, "trust"), "");
  EXPECT_NE(cell(2, "crossing_earliest"), "");
  EXPECT_EQ(r.out.find('{'), std::string::npos) << r.out;  // no JSON in a cell
  r = Host({"history", "--dsn", b.dsn, "--user", b.user, "--password", b.password, "--host",
            "nobody", "--probe", "cpu"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("nothing recorded for nobody cpu"), std::string::npos) << r.err;
  // A probe recorded by argument, asked for without one: its arguments. A row of an earlier
  // version (forecasts alone) reads as it did.
  for (const char* arg : {"eth0", "eth1"})
    Exec(std::string("INSERT INTO HX_FORECAST_HISTORY VALUES ('2001-06-30T06:00:00.000Z', "
                     "'2001-01-01', '2001-06-30', 'auto', '', 'web01', 'netinrate', '") +
         arg + "', NULL, 'above', 'mean', 'no threshold', 'ets', 5, '{\"30\": 6}', NULL, NULL)");
  r = Host({"history", "--dsn", b.dsn, "--user", b.user, "--password", b.password, "--host",
            "web01", "--probe", "netinrate"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "arg,rows,latest_run\r\neth0,1,2001-06-30T06:00:00.000Z\r\n"
            "eth1,1,2001-06-30T06:00:00.000Z\r\n");
  EXPECT_NE(r.err.find("give one with --arg"), std::string::npos) << r.err;
  r = Host({"history", "--dsn", b.dsn, "--user", b.user, "--password", b.password, "--host",
            "web01", "--probe", "netinrate", "--arg", "eth1"});
  rows = ReadCsv(r.out);
  ASSERT_EQ(rows.size(), 2u) << r.out;
  EXPECT_EQ(cell(1, "forecast_30d"), "6");
  EXPECT_EQ(cell(1, "lower_30d"), "");
}

namespace {

TEST_F(Report, ARunThatCannotBeRecordedStillHasItsReport) {
  const std::string out = (dir_ / "report.csv").string();
  const int plain = Run({"--format", "csv", "--last", kLast}).status;
  // No history table: the report is written, the failure has its own message and status.
  Exec("DROP TABLE HX_FORECAST_HISTORY");
  HostRun r = Run({"--record", "--format", "csv", "--output", out, "--last", kLast});
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_NE(r.err.find("the report is written, but the run is not recorded: HX_FORECAST_HISTORY "
                       "does not exist: create it from schema/tables.sql"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(ReadCsv(testbed::Slurp(out)).size(), 9u);  // the header and eight series
  // Without --record the missing table is only nothing recorded.
  r = Run({"--format", "csv", "--last", kLast});
  EXPECT_EQ(r.status, plain) << r.err;
  EXPECT_EQ(r.err.find("HX_FORECAST_HISTORY"), std::string::npos) << r.err;

  // A table written by something else, with a row of NULL names: skipped with a note.
  for (const auto& [name, ddl] : testbed::SchemaTables())
    if (name == "HX_FORECAST_HISTORY") {
      std::string loose = ddl;
      for (size_t p; (p = loose.find(" NOT NULL")) != std::string::npos;) loose.erase(p, 9);
      Exec(loose);
    }
  Exec(
      "INSERT INTO HX_FORECAST_HISTORY (RUN_TIME, FIRST_DAY, LAST_DAY, MODEL, THRESHOLDS_FILE, "
      "HOSTNAME, DIRECTION, BASIS, STATUS, SERIES_MODEL, FORECASTS) VALUES "
      "('2026-01-01T00:00:00.000Z', '2001-01-01', '2001-06-30', 'line', '', 'warning', 'above', "
      "'mean', 'ok', 'line', '{}')");
  ASSERT_EQ(Run({"--record", "--format", "csv", "--last", kLast}).status, plain);
  r = Run({"--format", "json", "--last", kLast});
  EXPECT_EQ(r.status, plain) << r.err;
  EXPECT_NE(r.err.find("1 recorded row of HX_FORECAST_HISTORY cannot be read"), std::string::npos)
      << r.err;
  EXPECT_NE(r.out.find("\"crossing_shift_days\": 0"), std::string::npos);

  // Many horizons are recorded whole; a thresholds path longer than the column is refused
  // before anything runs.
  Exec("DELETE FROM HX_FORECAST_HISTORY");
  r = Run({"--record", "--format", "csv", "--horizon", "1-366", "--last", kLast});
  EXPECT_EQ(r.status, plain) << r.err;
  EXPECT_EQ(Query("SELECT COUNT(*) FROM HX_FORECAST_HISTORY")[0][0], "8");
  std::filesystem::path deep = dir_;
  for (int i = 0; i < 130; ++i) deep /= "folder" + std::to_string(i);
  std::filesystem::create_directories(deep);
  std::filesystem::copy_file(thresholds_, deep / "t.csv");
  thresholds_ = (deep / "t.csv").string();
  r = Run(
      {"--record", "--format", "csv", "--output", (dir_ / "none.csv").string(), "--last", kLast});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("at most 1024 bytes"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "none.csv"));
}

TEST_F(Report, ThresholdsOfEveryDigitMatchTheirRecordedRun) {
  // 80 + 1/3 in its shortest exact text: 16 significant digits.
  std::ofstream(thresholds_) << "probe,threshold\ncpu,80.33333333333333\n";
  ASSERT_NE(Run({"--record", "--format", "csv", "--last", kLast}).status, 4);
  EXPECT_EQ(
      Query("SELECT COUNT(*) FROM HX_FORECAST_HISTORY WHERE THRESHOLD = 80.33333333333333")[0][0],
      "7");
  HostRun r = Run({"--format", "json", "--last", kLast});
  const auto doc = nlohmann::json::parse(r.out);
  size_t compared = 0;
  for (const auto& s : doc.at("series")) compared += !s.at("previous_crossing").is_null();
  EXPECT_GT(compared, 0u) << r.out;
  // A loaded value keeps every digit too.
  const std::string samples = (dir_ / "s.csv").string();
  std::ofstream(samples) << "time,host,probe,arg,value\n2001-06-30T00:00:00Z,exact,cpu,,"
                            "33.333333333333336\n";
  const auto& b = testbed::CurrentBackend();
  ASSERT_EQ(
      Host({"load", "--dsn", b.dsn, "--user", b.user, "--password", b.password, samples}).status,
      0);
  EXPECT_EQ(Query("SELECT COUNT(*) FROM HX_METRICS WHERE HOSTNAME = 'exact' AND AVG_VALUE_00 = "
                  "33.333333333333336 AND AVG_VALUE_00 <> 33.3333333333333")[0][0],
            "1");
}

}  // namespace

namespace {

TEST_F(Report, RowsSayHowFarToTrustThemAndHowLikelyACrossingIs) {
  HostRun r = Run({"--model", "auto", "--format", "json", "--last", kLast});
  const auto doc = nlohmann::json::parse(r.out);
  std::map<std::string, nlohmann::json> rows;
  for (const auto& s : doc.at("series"))
    if (s.at("probe") == "cpu") rows[s.at("host").get<std::string>()] = s;
  // Already over the threshold: it is reached at once; falling away from it: hardly ever;
  // the sooner a crossing, the likelier within a month.
  EXPECT_DOUBLE_EQ(rows.at("exceeded").at("p_cross_30d").get<double>(), 1.0);
  EXPECT_LT(rows.at("never").at("p_cross_180d").get<double>(), 0.2);
  EXPECT_GT(rows.at("warning").at("p_cross_30d").get<double>(),
            rows.at("ok").at("p_cross_30d").get<double>());
  for (const auto& [host, row] : rows) {
    if (row.at("status") == "error") continue;
    const std::string trust = row.at("trust").get<std::string>();
    EXPECT_TRUE(trust == "high" || trust == "medium" || trust == "low") << host << " " << trust;
    for (const char* p : {"p_cross_30d", "p_cross_90d", "p_cross_180d"}) {
      EXPECT_GE(row.at(p).get<double>(), 0) << host;
      EXPECT_LE(row.at(p).get<double>(), 1) << host;
    }
    EXPECT_LE(row.at("p_cross_30d").get<double>(), row.at("p_cross_90d").get<double>()) << host;
    EXPECT_LE(row.at("p_cross_90d").get<double>(), row.at("p_cross_180d").get<double>()) << host;
  }
  // The model is named for its estimated form; the table shows it and the trust.
  EXPECT_EQ(rows.at("warning").at("model").get<std::string>().rfind("ets(A,", 0), 0u)
      << rows.at("warning");
  r = Run({"--model", "auto", "--format", "table", "--last", kLast});
  EXPECT_NE(r.out.find("MODEL"), std::string::npos);
  EXPECT_NE(r.out.find("TRUST"), std::string::npos);
}

}  // namespace

namespace {

TEST_F(Report, TwoYearsStoredGiveTheModelsTheirYearlyCycle) {
  // Two years of a yearly swing of +-20 around 50 whose trough starts today: the next 90
  // days fall, then rise, as they did a year ago. The default range reads both years.
  Exec("DELETE FROM HX_METRICS");
  auto level = [](int back) { return 50 + 20 * std::sin(2 * 3.14159265 * (120 - back) / 365.25); };
  for (int d = 0; d < 730; ++d) {
    testbed::HourlyRow r{"site", "load", "", Day(-d)};
    const double v = level(d) * (1 + 0.02 * std::sin(d * 2.399963));
    r.avg.assign(24, v);
    r.min.assign(24, v);
    r.daily = r.maxHourly = v;
    Exec(testbed::InsertHourly("HX_METRICS", r));
  }
  auto row = [&](std::vector<std::string> options) {
    options.insert(options.end(),
                   {"--model", "auto", "--format", "json", "--last", kLast, "--horizon", "60"});
    const HostRun r = Run(options);
    return nlohmann::json::parse(r.out).at("series").at(0);
  };
  const auto both = row({});
  EXPECT_EQ(both.at("first_day"), Day(-729));
  EXPECT_NE(both.at("model").get<std::string>().find("+yearly"), std::string::npos) << both;
  const double truth = level(-60);
  EXPECT_NEAR(both.at("forecast_60d").get<double>(), truth, 0.06 * truth) << both;
  // Half a year gives the models no year to read.
  const auto half = row({"--first", Day(-181)});
  EXPECT_EQ(half.at("model").get<std::string>().find("+yearly"), std::string::npos) << half;
}

TEST_F(Report, TheTroughBasisForecastsTheQuietestHour) {
  // Free memory: its quietest hour (3 a.m.) has fallen 20 MB a day to 2,000 today, the
  // other hours hold 3,000: the quietest hour reaches 1,000 MB in 50 days, the daily mean
  // (falling 20/24 MB a day from 2,958) only after years.
  Exec("DELETE FROM HX_METRICS");
  for (int d = 0; d < 120; ++d) {
    testbed::HourlyRow r{"mem01", "totalfree", "", Day(-d)};
    const double night = 2000 + 20.0 * d;
    r.avg.assign(24, 3000);
    r.avg[3] = night;
    double sum = 0;
    for (double v : r.avg) sum += v;
    r.min = r.avg;
    r.daily = sum / 24;
    r.maxHourly = 3000;
    Exec(testbed::InsertHourly("HX_METRICS", r));
  }
  auto row = [&](const std::string& basis) {
    std::ofstream(thresholds_) << "probe,threshold,direction,basis\ntotalfree,1000,below," << basis
                               << "\n";
    const HostRun r = Run({"--model", "auto", "--format", "json", "--last", kLast});
    return nlohmann::json::parse(r.out).at("series").at(0);
  };
  const auto trough = row("trough");
  EXPECT_EQ(trough.at("basis"), "trough");
  ASSERT_TRUE(trough.at("days_to_threshold").is_number()) << trough;
  EXPECT_NEAR(trough.at("days_to_threshold").get<double>(), 50, 6) << trough;
  EXPECT_NEAR(trough.at("level").get<double>(), 2000, 60) << trough;
  const auto mean = row("mean");
  ASSERT_TRUE(mean.at("days_to_threshold").is_number()) << mean;
  EXPECT_GT(mean.at("days_to_threshold").get<double>(), 1000) << mean;
  // Where the rows hold minima, the quietest figure is the lowest of them: hourly averages
  // that hold 3,000 while one hour's minimum falls as the quietest hour did above give the
  // same crossing, and a minimum above its average (a loader that stores none) counts not.
  Exec("DELETE FROM HX_METRICS");
  for (int d = 0; d < 120; ++d) {
    testbed::HourlyRow r{"mem02", "totalfree", "", Day(-d)};
    r.avg.assign(24, 3000);
    r.min = r.avg;
    r.min[3] = 2000 + 20.0 * d;
    r.min[5] = 1e6;
    r.daily = 3000;
    r.maxHourly = 3000;
    Exec(testbed::InsertHourly("HX_METRICS", r));
  }
  const auto minima = row("trough");
  ASSERT_TRUE(minima.at("days_to_threshold").is_number()) << minima;
  EXPECT_NEAR(minima.at("days_to_threshold").get<double>(), 50, 6) << minima;
  EXPECT_NEAR(minima.at("level").get<double>(), 2000, 60) << minima;
  // The trough goes with below only.
  std::ofstream(thresholds_) << "probe,threshold,basis\ncpu,80,trough\n";
  const HostRun r = Run({"--format", "csv", "--last", kLast});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("the basis trough goes with the direction below only"), std::string::npos)
      << r.err;
}

}  // namespace
