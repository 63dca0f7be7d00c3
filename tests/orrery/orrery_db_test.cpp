// OrreryClass fitting its model from HX_METRICS rows that the test writes, on SQLite and
// on PostgreSQL.
#include <algorithm>
#include <cmath>
#include <fstream>

#include "dates.h"
#include "module1.h"
#include "orrery_peer.h"
#include "testbed.h"

using namespace trend;
using orrery::OrreryClass;
using orrery::OrreryTestPeer;

namespace {

const std::string kFirst = "2001-01-01", kLast = "2001-06-30";

class OrreryDb : public testbed::DbTest {
 protected:
  // A row for `daysBack` days before the last day with every hour set to `value`.
  void Day(int daysBack, double value, const std::string& host = "web01", double min = -12345) {
    testbed::HourlyRow r{host, "avgcpubusy", "", Day(daysBack)};
    r.avg.assign(24, value);
    r.min.assign(24, min == -12345 ? value : min);
    r.daily = value;
    r.maxHourly = value;
    Exec(testbed::InsertHourly("HX_METRICS", r));
  }
  static std::string Day(int daysBack) {
    return FormatDate(AddDays(ParseDate(kLast), -daysBack), DateFormat::kIsoDay);
  }
  double Trend(float days, const std::string& host = "web01", const DataSource* ds = nullptr) {
    return c_.TrendValue(host, "avgcpubusy", "", kFirst, kLast, days, 0.0f, int16_t{2},
                         ds ? *ds : *ds_);
  }
  OrreryClass c_;
  OrreryTestPeer peer_{c_};
};

TEST_F(OrreryDb, TwoQualifyingDays) {
  // Daily values 9.5 and 8.5 become y = 10 and y = 8 once the day-slot effects (+-0.5) are
  // added: slope 2, intercept 10, and every residual is 1. The 180 days without a row are
  // missing cells and do not drag the figures toward -1.
  Day(0, 9.5);
  Day(1, 8.5);
  EXPECT_DOUBLE_EQ(Trend(0), 10);
  EXPECT_DOUBLE_EQ(peer_.slope(), 2);
  EXPECT_DOUBLE_EQ(peer_.intercept(), 10);
  EXPECT_DOUBLE_EQ(peer_.sigma(), 1);
  EXPECT_DOUBLE_EQ(Trend(5), 20);
}

TEST_F(OrreryDb, OneQualifyingDayIsAFlatLineThroughIt) {
  Day(3, 5);  // y = 5 at three days back: no slope can be told from one day
  EXPECT_DOUBLE_EQ(Trend(0), 5);
  EXPECT_DOUBLE_EQ(Trend(90), 5);
  EXPECT_DOUBLE_EQ(peer_.slope(), 0);
  EXPECT_DOUBLE_EQ(peer_.intercept(), 5);
}

TEST_F(OrreryDb, AnAnswerNeverCarriesAnotherSeriesFit) {
  // A growing series first, then one of zeros, then one with no rows at all: each answers
  // as a new instance would.
  Day(0, 9.5);
  Day(1, 8.5);
  for (int d = 0; d < 20; ++d) {
    testbed::HourlyRow r{"web01", "pageoutrate", "", Day(d)};
    r.avg.assign(24, 0.0);
    r.min.assign(24, 0.0);
    Exec(testbed::InsertHourly("HX_METRICS", r));
  }
  EXPECT_DOUBLE_EQ(Trend(30), 70);
  const auto zero = [&](const char* probe) {
    return c_.TrendValue("web01", probe, "", kFirst, kLast, 30.0f, 0.0f, int16_t{2}, *ds_);
  };
  EXPECT_DOUBLE_EQ(zero("pageoutrate"), 0);
  EXPECT_DOUBLE_EQ(peer_.slope(), 0);
  EXPECT_DOUBLE_EQ(peer_.intercept(), 0);
  EXPECT_DOUBLE_EQ(peer_.sigma(), 0);
  EXPECT_DOUBLE_EQ(Trend(30), 70);
  EXPECT_DOUBLE_EQ(zero("no_such_probe"), 0);
  EXPECT_DOUBLE_EQ(peer_.sigma(), 0);  // no valid cell
  OrreryClass fresh;
  EXPECT_DOUBLE_EQ(
      fresh.TrendValue("web01", "pageoutrate", "", kFirst, kLast, 30.0f, 0.0f, int16_t{2}, *ds_),
      0);
}

TEST_F(OrreryDb, SyntheticSeriesRecoversTheTrend) {
  // 182 days: 200 - 0.5 per day back, +20 in business hours, -15 on two days of each week.
  for (int d = 0; d < 182; ++d) {
    testbed::HourlyRow r{"web01", "avgcpubusy", "", Day(d)};
    for (int h = 0; h < 24; ++h) {
      r.avg[h] = 200.0 - 0.5 * d + (h >= 9 && h <= 17 ? 20.0 : 0.0) +
                 (d % 7 == 1 || d % 7 == 2 ? -15.0 : 0.0);
      r.min[h] = r.avg[h] - 1;
    }
    Exec(testbed::InsertHourly("HX_METRICS", r));
  }
  c_.TrendValue("web01", "avgcpubusy", "", "2000-12-01", kLast, 0.0f, 0.0f, int16_t{2}, *ds_);
  // Reference values from an independent rendering of the same steps.
  EXPECT_NEAR(peer_.slope(), 0.49606660887340814, 1e-12);
  EXPECT_NEAR(peer_.intercept(), 202.8583138173288, 1e-10);
  EXPECT_NEAR(peer_.sigma(), 1.013396183567014, 1e-10);
  EXPECT_NEAR(peer_.peakHour(), 12.5, 1e-10);
  EXPECT_NEAR(peer_.peakDay(), 5.785714285714278, 1e-10);
  EXPECT_NEAR(peer_.slope(), 0.5, 0.01);  // close to the true daily growth
  EXPECT_FLOAT_EQ(c_.StandardDeviation("web01", "avgcpubusy", "", "2000-12-01", kLast, *ds_),
                  1.013396183567014f);
}

TEST_F(OrreryDb, MissingCellRules) {
  // One day, every hour 10 but hour 5.
  struct Case {
    double avg, min, sigma, trend;
  } cases[] = {
      {-1, 1e9, 0, 10},                 // missing: the day is flat at 10
      {-1, 0, 0.9166666666666666, 10},  // a valid -1, which the day-slot effect ignores
      {-0.5, 1e9, 0, 9.5625},           // above -1: valid whatever the minimum, in every step
  };
  for (const auto& t : cases) {
    Exec("DELETE FROM HX_METRICS");
    testbed::HourlyRow r{"web01", "avgcpubusy", "", Day(0)};
    r.avg.assign(24, 10);
    r.min.assign(24, 10);
    r.avg[5] = t.avg;
    r.min[5] = t.min;
    Exec(testbed::InsertHourly("HX_METRICS", r));
    OrreryClass c;
    EXPECT_NEAR(c.StandardDeviation("web01", "avgcpubusy", "", kFirst, kLast, *ds_), t.sigma, 1e-6)
        << t.avg << " " << t.min;
    EXPECT_DOUBLE_EQ(
        c.TrendValue("web01", "avgcpubusy", "", kFirst, kLast, 0.0f, 0.0f, int16_t{2}, *ds_),
        t.trend);
  }
}

TEST_F(OrreryDb, RowsOlderThan181DaysAreNotStored) {
  Day(0, 10);
  Day(181, 10);
  Exec(
      "INSERT INTO HX_METRICS (HOSTNAME, PROBE, PROBE_ARG, COLLECTION_DATE, AVG_DAILY_VALUE, "
      "MAX_HOURLY_AVG) "
      "VALUES ('web01', 'avgcpubusy', '', '" +
      Day(182) + "', 1, 1)");  // hourly columns NULL
  OrreryClass c;
  EXPECT_DOUBLE_EQ(
      c.TrendValue("web01", "avgcpubusy", "", "2000-01-01", kLast, 0.0f, 0.0f, int16_t{2}, *ds_),
      10);
  EXPECT_DOUBLE_EQ(OrreryTestPeer(c).hourly(181, 0), 10);
}

TEST_F(OrreryDb, NullInANearRowFailsWithTheComposedText) {
  Day(0, 10);
  Exec("UPDATE HX_METRICS SET AVG_VALUE_07 = NULL");
  try {
    Trend(0);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kInvalidUseOfNull);
    EXPECT_EQ(e.source(), "OrreryFunctions.OrreryClass.CalculateRegression:Orrery");
    EXPECT_EQ(e.description(),
              "Error calculating HX Trends:\r\nInvalid use of Null\r\nInvalid use of Null\r");
  }
}

TEST_F(OrreryDb, RejectedStatementCarriesTheDriverDiagnostics) {
  Exec("DROP TABLE HX_METRICS");
  try {
    Trend(0);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kDatabaseError);
    EXPECT_EQ(e.source(), "OrreryFunctions.OrreryClass.CalculateRegression:ODBC");
    EXPECT_EQ(e.description().rfind("Error calculating HX Trends:\r\n", 0), 0u);
    EXPECT_NE(e.description().find("Error Number: "), std::string::npos);
  }
}

TEST_F(OrreryDb, DayTextThatDoesNotParse) {
  try {
    c_.TrendValue("web01", "avgcpubusy", "", kFirst, "2001-02-30", 0.0f, 0.0f, int16_t{2}, *ds_);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kTypeMismatch);
    EXPECT_EQ(e.source(), "OrreryFunctions.OrreryClass.CalculateRegression:Orrery");
  }
}

TEST_F(OrreryDb, ConnectionThatCannotBeOpenedReachesTheCallerUnchanged) {
  PlainDataSource nowhere("no_such_dsn", "", "");
  try {
    Trend(0, "web01", &nowhere);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kDatabaseError);
    EXPECT_EQ(e.source(), "ODBC");
    EXPECT_EQ(e.description().find("Error calculating"), std::string::npos);
  }
}

TEST_F(OrreryDb, RememberedRequest) {
  Day(0, 9.5);
  Day(1, 8.5);
  EXPECT_DOUBLE_EQ(Trend(0), 10);
  Exec("DELETE FROM HX_METRICS");
  // Same five texts through the same source: no query.
  EXPECT_DOUBLE_EQ(Trend(0), 10);
  EXPECT_EQ(c_.TimesExceeded("web01", "avgcpubusy", "", kFirst, kLast, 9.0f, *ds_), 24);
  // Through another source, one that could not even connect: that source is read.
  PlainDataSource nowhere("no_such_dsn", "", "");
  EXPECT_THROW(Trend(0, "web01", &nowhere), Error);
  // Letter case counts: a refit, which now finds no rows: the line of no data.
  EXPECT_DOUBLE_EQ(Trend(0, "WEB01"), 0);
  EXPECT_DOUBLE_EQ(peer_.hourly(0, 0), -1);
}

TEST_F(OrreryDb, AFailedFitIsRetriedWithTheSameTexts) {
  Day(0, 9.5);
  Day(1, 8.5);
  Exec("UPDATE HX_METRICS SET MAX_HOURLY_AVG = NULL");
  EXPECT_THROW(Trend(0), Error);
  Exec("UPDATE HX_METRICS SET MAX_HOURLY_AVG = 1");
  EXPECT_DOUBLE_EQ(Trend(0), 10);  // fitted again, not answered from the half-done state
}

TEST_F(OrreryDb, TimesExceededLooksAtTheLast91Days) {
  Day(0, 50);
  Day(90, 50);
  Day(91, 50);
  Day(150, 50);
  EXPECT_EQ(c_.TimesExceeded("web01", "avgcpubusy", "", kFirst, kLast, 40.0f, *ds_), 48);
}

TEST_F(OrreryDb, QuotedHostAndDateForms) {
  Day(0, 7, "O'Neil");
  Day(0, 99, "ONeil");
  EXPECT_DOUBLE_EQ(c_.TrendValue("O'Neil", "avgcpubusy", "", "1/1/2001", "2001/06/30", 0.0f, 0.0f,
                                 int16_t{2}, *ds_),
                   7);
}

TEST_F(OrreryDb, PrintForecastFromTheDatabase) {
  Day(0, 9.5);
  Day(1, 8.5);
  std::string path = ::testing::TempDir() + "orrery_db_" + testbed::CurrentBackend().name + ".csv";
  c_.InitializeFile(path);
  c_.PrintForecast("web01", "web01", "avgcpubusy", "", kFirst, kLast, 0.0f, "CPU", int16_t{1},
                   int16_t{1}, *ds_);
  std::ifstream in(path, std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), {});
  // Past: 48 rows of days 1 and 0 (F = 8 + -0.5 and 10 + 0.5); future: 24 rows.
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 1 + 48 + 24);
  EXPECT_NE(all.find("\r\nweb01,CPU,,20010629,2001/06/29 00:00,5.5,8.5,9.5\r\n"), std::string::npos)
      << all.substr(0, 300);
  EXPECT_NE(all.find("\r\nweb01,CPU,,20010630,2001/06/30 23:00,8.5,9.5,12.5\r\n"),
            std::string::npos);
  // A fit that fails leaves the file exactly as it was.
  Exec("DROP TABLE HX_METRICS");
  EXPECT_THROW(c_.PrintForecast("web02", "web02", "avgcpubusy", "", kFirst, kLast, 0.0f, "CPU",
                                int16_t{1}, int16_t{1}, *ds_),
               Error);
  std::ifstream again(path, std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(again)), {}), all);
  std::remove(path.c_str());
}

}  // namespace

namespace {

TEST_F(OrreryDb, ARequestThroughAnotherDataSourceFitsFromIt) {
  Day(0, 9.5);
  Day(1, 8.5);
  EXPECT_DOUBLE_EQ(Trend(0), 10);
  // The same texts through another source (its Name, UserName or Qualifier) read that
  // source, never the first one's fit: here a source that does not exist fails.
  for (const auto& other : {PlainDataSource("no_such_source", "", ""),
                            PlainDataSource(testbed::CurrentBackend().dsn, "", "", "nowhere")}) {
    EXPECT_THROW(Trend(0, "web01", &other), Error);
  }
  // Through the first source again it fits again; a repeat answers without a query.
  EXPECT_DOUBLE_EQ(Trend(0), 10);
  Exec("DELETE FROM HX_METRICS");
  EXPECT_DOUBLE_EQ(Trend(5), 20);
}

}  // namespace
