#include "history.h"

#include <algorithm>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
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

void CompareWithHistory(ResultStore& results, PriorCrossings prior) {
  if (prior.empty()) return;
  results.Adjust([prior = std::make_shared<const PriorCrossings>(std::move(prior))](
                     size_t index, SeriesResult& r) {
    const auto& previous = (*prior)[index];
    if (!previous) return;
    r.previousCrossing = previous;
    if (r.crossingDate)
      r.crossingShiftDays =
          static_cast<int>(trend::CalendarDaysBetween(*previous, *r.crossingDate));
  });
}

void RecordRun(const ResultStore& results, const ReportRun& run, ForecastHistory& history,
               const std::string& prefix) {
  const std::string now = RunTimeNow();
  auto made = [&](size_t rank) {
    const SeriesResult r = results.At(rank);
    RecordedRow row;
    row.runTime = now;
    row.firstDay = run.first;
    row.lastDay = run.last;
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
    nlohmann::ordered_json forecasts = nlohmann::ordered_json::object();
    for (size_t i = 0; i < run.horizons.size() && i < r.forecast.size(); ++i)
      if (r.forecast[i]) forecasts[std::to_string(run.horizons[i])] = *r.forecast[i];
    row.forecasts = forecasts.dump();
    row.crossingDate = r.crossingDate;
    if (r.daysToThreshold && *r.daysToThreshold != kNeverDays)
      row.daysToThreshold = *r.daysToThreshold;
    return row;
  };
  try {
    history.Append(results.size(), made);
  } catch (const trend::Error& e) {
    throw CallFailed(
        "cannot record the run in " + prefix +
        "HX_FORECAST_HISTORY (create it from schema/tables.sql): " + Lines(e.description()));
  }
}

}  // namespace

PriorCrossings ReadPriorCrossings(HostDatabase& db, const std::vector<Series>& series,
                                  const SeriesThresholds& thresholds) {
  // The series by key, each row's found by a binary search: a fleet's history is read
  // row by row, and only one date a series is kept.
  std::vector<uint32_t> byKey(series.size());
  for (size_t i = 0; i < byKey.size(); ++i) byKey[i] = static_cast<uint32_t>(i);
  std::stable_sort(byKey.begin(), byKey.end(),
                   [&](uint32_t a, uint32_t b) { return series[a].key < series[b].key; });
  PriorCrossings prior;
  ForecastHistory(db).Crossings(RunTimeNow() + "~", kHistoryDays, [&](const RecordedCrossing& c) {
    auto it = std::lower_bound(byKey.begin(), byKey.end(), c.key,
                               [&](uint32_t i, const SeriesKey& k) { return series[i].key < k; });
    for (; it != byKey.end() && series[*it].key == c.key; ++it) {
      const auto [key, threshold, direction, basis] = MatchOf(series[*it].key, thresholds[*it]);
      if (threshold != c.threshold || direction != c.direction || basis != c.basis) continue;
      if (prior.empty()) prior.resize(series.size());
      prior[*it] = c.crossingDate;  // a later run's supersedes
    }
  });
  return prior;
}

void TrackHistory(ResultStore& results, const ReportRun& run, const ReportOptions& o,
                  PriorCrossings prior) {
  CompareWithHistory(results, std::move(prior));
  if (!o.record) return;
  HostDatabase db(o.login);
  ForecastHistory history(db);
  RecordRun(results, run, history, db.prefix());
}

void TrackHistory(ResultStore& results, const ReportRun& run, const ReportOptions& o,
                  const std::vector<Series>& series, const SeriesThresholds& thresholds) {
  HostDatabase db(o.login);
  CompareWithHistory(results, ReadPriorCrossings(db, series, thresholds));
  if (o.record) {
    ForecastHistory history(db);
    RecordRun(results, run, history, db.prefix());
  }
}

int PrintHistory(const HistoryOptions& o) {
  if (o.login.dsn.empty())
    throw UsageError("history reads the database: name its data source with --dsn NAME");
  if (o.key.host.empty() || o.key.probe.empty())
    throw UsageError("history needs a series: --host NAME --probe NAME [--arg ARG]");
  HostDatabase db(o.login);
  const auto rows = ForecastHistory(db).Of(o.key);
  auto number = [](const std::optional<double>& v) {
    return v ? trend::FormatDouble(*v) : std::string();
  };
  std::cout << "run_time,first_day,last_day,model,threshold,direction,basis,status,series_model,"
               "level,crossing_date,days_to_threshold,forecasts\r\n";
  for (const auto& r : rows)
    std::cout << r.runTime << "," << DayText(r.firstDay) << "," << DayText(r.lastDay) << ","
              << CsvField(r.model) << "," << number(r.threshold) << "," << r.direction << ","
              << r.basis << "," << CsvField(r.status) << "," << CsvField(r.seriesModel) << ","
              << number(r.level) << "," << DayText(r.crossingDate) << ","
              << number(r.daysToThreshold) << "," << CsvField(r.forecasts) << "\r\n";
  if (rows.empty())
    std::cerr << "trendhost: nothing recorded for " << Visible(o.key.host) << " "
              << Visible(o.key.probe) << (o.key.arg.empty() ? "" : " " + Visible(o.key.arg))
              << " (trendhost report --record keeps the runs)\n";
  return rows.empty() ? kExitFailed : kExitOk;
}

}  // namespace host
