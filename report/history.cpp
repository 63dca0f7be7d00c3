#include "history.h"

#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <tuple>

#include "csv.h"
#include "forecast_history.h"
#include "numeric.h"

namespace host {

namespace {

using Match = std::tuple<SeriesKey, std::optional<double>, std::string, std::string>;

Match MatchOf(const SeriesResult& r) {
  if (!r.threshold) return {r.series.key, std::nullopt, "above", "mean"};
  return {r.series.key, r.threshold->value, DirectionName(r.threshold->direction),
          BasisName(r.threshold->basis)};
}

// Sets each result's previous crossing and its shift, as the store reads it, from the
// latest recorded run of the same series with the same threshold.
void CompareWithHistory(ResultStore& results, std::vector<RecordedRow> prior) {
  auto latest = std::make_shared<std::map<Match, RecordedRow>>();
  for (auto& row : prior)
    (*latest)[{row.key, row.threshold, row.direction, row.basis}] = std::move(row);
  if (latest->empty()) return;
  results.Adjust([latest](SeriesResult& r) {
    auto it = latest->find(MatchOf(r));
    if (it == latest->end() || !it->second.crossingDate) return;
    r.previousCrossing = it->second.crossingDate;
    if (r.crossingDate)
      r.crossingShiftDays =
          static_cast<int>(trend::CalendarDaysBetween(*it->second.crossingDate, *r.crossingDate));
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
    const auto [key, threshold, direction, basis] = MatchOf(r);
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

std::vector<RecordedRow> PriorRuns(HostDatabase& db) {
  return ForecastHistory(db).Latest(RunTimeNow() + "~", kHistoryDays);
}

void TrackHistory(ResultStore& results, const ReportRun& run, const ReportOptions& o,
                  std::vector<RecordedRow> prior) {
  CompareWithHistory(results, std::move(prior));
  if (!o.record) return;
  HostDatabase db(o.login);
  ForecastHistory history(db);
  RecordRun(results, run, history, db.prefix());
}

void TrackHistory(ResultStore& results, const ReportRun& run, const ReportOptions& o) {
  HostDatabase db(o.login);
  CompareWithHistory(results, PriorRuns(db));
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
