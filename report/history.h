// The report's history between runs: `--record` keeps a run's results in
// HX_FORECAST_HISTORY, every run compares its crossings with the latest recorded ones
// (previous_crossing, crossing_shift_days), and `trendhost history` lists a series' record.
#pragma once

#include <string>
#include <vector>

#include "forecast_history.h"
#include "report_types.h"
#include "result_store.h"

namespace host {

inline constexpr int kHistoryDays = 400;    // how far back the comparison looks for a run
inline constexpr int kLargeShiftDays = 14;  // a crossing moved this much stands out

// The latest recorded run of every series and threshold, as the comparison takes them.
std::vector<RecordedRow> PriorRuns(HostDatabase& db);

// Sets each result's previous crossing and its shift from the latest recorded run of the
// same series with the same threshold (value, direction and basis) among `prior`, then
// with --record records the run's results in one transaction (on a connection opened for
// it).
void TrackHistory(ResultStore& results, const ReportRun& run, const ReportOptions& o,
                  std::vector<RecordedRow> prior);
// The same on one connection, reading the prior runs first.
void TrackHistory(ResultStore& results, const ReportRun& run, const ReportOptions& o);

struct HistoryOptions {
  DatabaseLogin login;
  SeriesKey key;
};
// A series' recorded runs as CSV, oldest first: run_time, the range, the status, the level,
// the crossing and the forecasts.
int PrintHistory(const HistoryOptions& o);

}  // namespace host
