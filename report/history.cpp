#include "history.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <tuple>

#include "csv.h"
#include "forecast_history.h"
#include "numeric.h"

namespace host {

namespace {

using Match = std::tuple<SeriesKey, std::optional<double>, std::string, std::string>;

Match MatchOf(const SeriesKey& key, const std::optional<Threshold>& t) {
  if (!t) return {key, std::nullopt, "above", "mean"};
  return {key, t->value, DirectionName(t->direction), BasisName(t->basis)};
}

// What a recorded row keeps of a result's forecasts (RecordedRow::forecasts).
nlohmann::ordered_json ForecastsJson(const SeriesResult& r, const std::vector<int>& horizons) {
  using json = nlohmann::ordered_json;
  json j = json::object(), lower = json::object(), upper = json::object(), week = json::object();
  auto put = [&](json& into, const std::vector<std::optional<double>>& values) {
    for (size_t i = 0; i < horizons.size() && i < values.size(); ++i)
      if (values[i]) into[std::to_string(horizons[i])] = *values[i];
  };
  put(j, r.forecast);
  put(lower, r.lower);
  put(upper, r.upper);
  put(week, r.week);
  if (!lower.empty()) j["lower"] = std::move(lower);
  if (!upper.empty()) j["upper"] = std::move(upper);
  if (!week.empty()) j["week"] = std::move(week);
  if (!r.trust.empty()) j["trust"] = r.trust;
  if (r.backtestMase) j["backtest_mase"] = *r.backtestMase;
  if (r.crossingEarliest) j["crossing_earliest"] = DayText(r.crossingEarliest);
  if (r.crossingLatest) j["crossing_latest"] = DayText(r.crossingLatest);
  return j;
}

void Record(const ResultStore& results, const ReportRun& run, ForecastHistory& history) {
  const std::string now = RunTimeNow();
  const auto& groups = results.groups();
  auto made = [&](size_t rank) {
    // The series, then the groups under their history's name.
    SeriesResult r =
        rank < results.size() ? results.At(rank) : groups[rank - results.size()].forecast;
    if (rank >= results.size())
      r.series.key.host = GroupHistoryHost(groups[rank - results.size()].definition.name);
    RecordedRow row;
    row.runTime = now;
    row.firstDay = run.firstDay;
    row.lastDay = run.lastDay;
    row.model = run.model;
    row.thresholdsFile = run.thresholdsFile;
    row.key = r.series.key;
    const auto [key, threshold, direction, basis] = MatchOf(r.series.key, r.threshold);
    row.threshold = threshold;
    row.direction = direction;
    row.basis = basis;
    row.status = StatusName(r.status);
    row.seriesModel = r.model;
    row.level = r.level;
    row.forecasts = ForecastsJson(r, run.horizons).dump();
    row.crossingDate = r.crossingDate;
    if (r.daysToThreshold && *r.daysToThreshold != kNeverDays)
      row.daysToThreshold = *r.daysToThreshold;
    return row;
  };
  history.Append(results.size() + groups.size(), made);
}

// Whether a recorded threshold is the run's: equal but for the last digits, which some
// drivers drop when they pass a double as text (SQLite's keeps 15 significant digits).
bool SameThreshold(const std::optional<double>& a, const std::optional<double>& b) {
  if (!a || !b) return !a && !b;
  return std::fabs(*a - *b) <= 1e-13 * std::max(std::fabs(*a), std::fabs(*b));
}

// Hosts few enough to name in the statement that reads the recorded runs.
constexpr size_t kNamedHosts = 200;

}  // namespace

namespace {

// A result against the crossing its latest recorded run had.
void CompareWithPrior(SeriesResult& r, const std::optional<PriorCrossing>& previous) {
  if (!previous) return;
  r.previousCrossing = previous->day;
  if (r.status == Status::kExceeded) return;
  const bool never = r.status == Status::kNever;
  if (previous->day && r.crossingDate)
    r.crossingShiftDays =
        static_cast<int>(trend::CalendarDaysBetween(*previous->day, *r.crossingDate));
  else if (previous->day && never)
    r.crossingShift = "now never";
  else if (previous->never && r.crossingDate)
    r.crossingShift = "new";
}

}  // namespace

std::string GroupHistoryHost(const std::string& group) {
  return "group:" + group;
}

void CompareWithHistory(ResultStore& results, const PriorCrossings& prior) {
  if (prior.empty()) return;
  results.Adjust([prior = std::make_shared<const PriorCrossings>(prior)](
                     size_t index, SeriesResult& r) { CompareWithPrior(r, (*prior)[index]); });
}

void CompareGroupsWithHistory(std::vector<GroupResult>& groups, const ReportRun& run) {
  if (groups.empty()) return;
  std::vector<Series> keys;
  SeriesThresholds limits;
  for (const auto& g : groups) {
    Series s;
    s.key = {GroupHistoryHost(g.definition.name), g.definition.probe, ""};
    keys.push_back(s);
    limits.push_back(g.forecast.threshold);
  }
  HostDatabase db(run.login);
  const PriorCrossings prior = ReadPriorCrossings(db, keys, limits, run.quiet);
  if (prior.empty()) return;
  for (size_t i = 0; i < groups.size(); ++i) CompareWithPrior(groups[i].forecast, prior[i]);
}

PriorCrossings ReadPriorCrossings(HostDatabase& db, const std::vector<Series>& series,
                                  const SeriesThresholds& thresholds, bool quiet) {
  // The series by key, each row's found by a binary search: only one date a series is kept.
  std::vector<uint32_t> byKey(series.size());
  for (size_t i = 0; i < byKey.size(); ++i) byKey[i] = static_cast<uint32_t>(i);
  std::stable_sort(byKey.begin(), byKey.end(),
                   [&](uint32_t a, uint32_t b) { return series[a].key < series[b].key; });
  // A report of a few hosts reads only their runs.
  std::vector<std::string> hosts;
  for (const uint32_t i : byKey)
    if (hosts.empty() || hosts.back() != series[i].key.host) hosts.push_back(series[i].key.host);
  if (hosts.size() > kNamedHosts || series.empty()) hosts.clear();
  PriorCrossings prior;
  if (series.empty()) return prior;
  size_t unreadable = 0;
  try {
    unreadable = ForecastHistory(db).Crossings(
        RunTimeNow() + "~", kHistoryDays, hosts, [&](const RecordedCrossing& c) {
          auto it =
              std::lower_bound(byKey.begin(), byKey.end(), c.key,
                               [&](uint32_t i, const SeriesKey& k) { return series[i].key < k; });
          for (; it != byKey.end() && series[*it].key == c.key; ++it) {
            const auto [key, threshold, direction, basis] =
                MatchOf(series[*it].key, thresholds[*it]);
            if (!SameThreshold(threshold, c.threshold) || direction != c.direction ||
                basis != c.basis)
              continue;
            if (prior.empty()) prior.resize(series.size());
            prior[*it] = PriorCrossing{c.crossingDate, c.status == StatusName(Status::kNever),
                                       c.status == StatusName(Status::kAcknowledged)};
          }
        });
  } catch (const trend::Error& e) {
    if (IsMissingTable(e)) return {};  // nothing recorded yet
    if (!quiet)
      std::cerr << "trendhost: cannot read the recorded runs in " << db.prefix()
                << "HX_FORECAST_HISTORY, so crossings are not compared: "
                << Visible(Masked(Lines(e.description()))) << "\n";
    return {};
  }
  if (unreadable && !quiet)
    std::cerr << "trendhost: " << unreadable << " recorded row" << (unreadable == 1 ? "" : "s")
              << " of " << db.prefix() << "HX_FORECAST_HISTORY cannot be read (NULL names?) "
              << "and " << (unreadable == 1 ? "was" : "were") << " skipped\n";
  return prior;
}

std::optional<std::string> RecordRun(const ResultStore& results, const ReportRun& run,
                                     const DatabaseLogin& login) {
  std::string table = "HX_FORECAST_HISTORY";
  try {
    HostDatabase db(login);
    table = db.prefix() + table;
    ForecastHistory history(db);
    Record(results, run, history);
    return std::nullopt;
  } catch (const trend::Error& e) {
    if (IsMissingTable(e)) return table + " does not exist: create it from schema/tables.sql";
    return "cannot record the run in " + table + ": " + Lines(e.description());
  } catch (const std::exception& e) {
    return "cannot record the run in " + table + ": " + std::string(e.what());
  }
}

namespace {

// A recorded row's forecasts as read back: by horizon, the forecast, its interval and its
// week; then the texts and numbers beside them. Rows of earlier runs hold the forecasts
// alone.
struct RecordedForecasts {
  std::map<int, double> forecast, lower, upper, week;
  std::string trust, earliest, latest;
  std::optional<double> mase;
};

RecordedForecasts ParseForecasts(const std::string& recorded) {
  RecordedForecasts f;
  const auto j = nlohmann::json::parse(recorded, nullptr, false);
  if (!j.is_object()) return f;
  auto horizon = [](const std::string& key) -> std::optional<int> {
    int days = 0;
    const auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), days);
    if (error != std::errc() || end != key.data() + key.size()) return std::nullopt;
    return days;
  };
  auto numbers = [&](const nlohmann::json& object, std::map<int, double>& into) {
    if (!object.is_object()) return;
    for (const auto& [key, value] : object.items())
      if (const auto days = horizon(key); days && value.is_number()) into[*days] = value;
  };
  numbers(j, f.forecast);
  if (j.contains("lower")) numbers(j["lower"], f.lower);
  if (j.contains("upper")) numbers(j["upper"], f.upper);
  if (j.contains("week")) numbers(j["week"], f.week);
  auto text = [&](const char* key) {
    const auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  f.trust = text("trust");
  f.earliest = text("crossing_earliest");
  f.latest = text("crossing_latest");
  if (const auto it = j.find("backtest_mase"); it != j.end() && it->is_number())
    f.mase = it->get<double>();
  return f;
}

// Without --arg, a probe recorded only with arguments: the arguments, so that the next
// command names one.
int PrintArguments(ForecastHistory& history, const SeriesKey& key) {
  const auto arguments = history.Arguments(key.host, key.probe);
  if (arguments.empty()) return -1;
  std::cout << "arg,rows,latest_run\r\n";
  for (const auto& a : arguments)
    std::cout << CsvField(a.arg) << "," << a.rows << "," << a.latestRun << "\r\n";
  std::cerr << "trendhost: " << Visible(key.host) << " " << Visible(key.probe)
            << " is recorded by argument: give one with --arg\n";
  return kExitOk;
}

}  // namespace

int PrintHistory(const HistoryOptions& o) {
  if (o.login.dsn.empty())
    throw UsageError("history reads the database: name its data source with --dsn NAME");
  if (o.key.host.empty() || o.key.probe.empty())
    throw UsageError("history needs a series: --host NAME --probe NAME [--arg ARG]");
  HostDatabase db(o.login);
  ForecastHistory history(db);
  const auto rows = history.Of(o.key);
  if (rows.empty() && o.key.arg.empty())
    if (const int status = PrintArguments(history, o.key); status >= 0) return status;
  auto number = [](const std::optional<double>& v) {
    return v ? trend::FormatDouble(*v) : std::string();
  };
  std::vector<RecordedForecasts> forecasts;
  std::set<int> horizons;
  for (const auto& r : rows) {
    forecasts.push_back(ParseForecasts(r.forecasts));
    for (const auto& [days, value] : forecasts.back().forecast) horizons.insert(days);
  }
  // One column per horizon any run recorded; a run without it leaves it empty.
  std::cout << "run_time,first_day,last_day,model,threshold,direction,basis,status,series_model,"
               "level,crossing_date,days_to_threshold";
  for (int h : horizons) std::cout << ",forecast_" << h << "d";
  for (int h : horizons) std::cout << ",lower_" << h << "d,upper_" << h << "d";
  for (int h : horizons) std::cout << ",week_" << h << "d";
  std::cout << ",crossing_earliest,crossing_latest,trust,backtest_mase\r\n";
  auto at = [&](const std::map<int, double>& m, int h) {
    const auto it = m.find(h);
    return it == m.end() ? std::string() : trend::FormatDouble(it->second);
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const RecordedRow& r = rows[i];
    const RecordedForecasts& f = forecasts[i];
    std::cout << r.runTime << "," << DayText(r.firstDay) << "," << DayText(r.lastDay) << ","
              << CsvField(r.model) << "," << number(r.threshold) << "," << r.direction << ","
              << r.basis << "," << CsvField(r.status) << "," << CsvField(r.seriesModel) << ","
              << number(r.level) << "," << DayText(r.crossingDate) << ","
              << number(r.daysToThreshold);
    for (int h : horizons) std::cout << "," << at(f.forecast, h);
    for (int h : horizons) std::cout << "," << at(f.lower, h) << "," << at(f.upper, h);
    for (int h : horizons) std::cout << "," << at(f.week, h);
    std::cout << "," << CsvField(f.earliest) << "," << CsvField(f.latest) << ","
              << CsvField(f.trust) << "," << number(f.mase) << "\r\n";
  }
  if (rows.empty())
    std::cerr << "trendhost: nothing recorded for " << Visible(o.key.host) << " "
              << Visible(o.key.probe) << (o.key.arg.empty() ? "" : " " + Visible(o.key.arg))
              << " (trendhost report --record keeps the runs)\n";
  return rows.empty() ? kExitFailed : kExitOk;
}

}  // namespace host
