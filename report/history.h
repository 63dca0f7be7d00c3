// The report's history between runs: `--record` keeps a run's results in
// HX_FORECAST_HISTORY, every run compares its crossings with the latest recorded ones
// (previous_crossing, crossing_shift_days), and `trendhost history` lists a series' record.
#pragma once

#include <string>
#include <vector>

#include "report_types.h"

namespace host {

inline constexpr int kHistoryDays = 400;    // how far back the comparison looks for a run
inline constexpr int kLargeShiftDays = 14;  // a crossing moved this much stands out

// On one connection: sets each result's previous crossing and its shift from the latest
// recorded run of the same series with the same threshold (value, direction and basis),
// then with --record records the run's results, all in one transaction.
void TrackHistory(std::vector<SeriesResult>& results, const ReportRun& run, const ReportOptions& o);

struct HistoryOptions {
  DatabaseLogin login;
  SeriesKey key;
};
// A series' recorded runs as CSV, oldest first: run_time, the range, the status, the level,
// the crossing and the forecasts.
int PrintHistory(const HistoryOptions& o);

}  // namespace host
