// The report's history between runs: `--record` keeps a run's results in
// HX_FORECAST_HISTORY, every run compares its crossings with the latest recorded ones
// (previous_crossing, crossing_shift_days), and `trendhost history` lists a series' record.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "forecast_history.h"
#include "report_types.h"
#include "result_store.h"

namespace host {

inline constexpr int kHistoryDays = 400;    // how far back the comparison looks for a run
inline constexpr int kLargeShiftDays = 14;  // a crossing moved this much stands out

// The crossing of the latest recorded run of each series with the same threshold (value,
// direction and basis), one per series (none for a series no run matched); empty when
// nothing is recorded. Only the latest runs are read, chosen on the server. A missing
// table is nothing recorded; other failures, and recorded rows that cannot be read, are
// noted on standard error (unless `quiet`) and leave the comparison out for them.
struct PriorCrossing {
  std::optional<trend::Date> day;  // none: that run's forecast crossed no day
  bool never = false;              // that run's status was never
  bool acknowledged = false;       // that run's status was acknowledged
};
using PriorCrossings = std::vector<std::optional<PriorCrossing>>;
PriorCrossings ReadPriorCrossings(HostDatabase& db, const std::vector<Series>& series,
                                  const SeriesThresholds& thresholds, bool quiet = false);

// Gives each result its previous crossing and the shift from it: in days between two
// crossing days; "now never" where the previous run crossed and this one never does, "new"
// the other way round. An exceeded series has no shift (its crossing is the report's day).
void CompareWithHistory(ResultStore& results, const PriorCrossings& prior);
// The same for the groups, against their recorded rows (read on a connection of its own).
void CompareGroupsWithHistory(std::vector<GroupResult>& groups, const ReportRun& run);
// The host name a group's rows are recorded under: "group:NAME".
std::string GroupHistoryHost(const std::string& group);

// Records the run's results in HX_FORECAST_HISTORY in one transaction, on a connection
// opened for it: nothing when it worked, else what went wrong (nothing was recorded).
std::optional<std::string> RecordRun(const ResultStore& results, const ReportRun& run,
                                     const DatabaseLogin& login);

struct HistoryOptions {
  DatabaseLogin login;
  SeriesKey key;
};
// A series' recorded runs as CSV, oldest first: run_time, the range, the status, the level,
// the crossing and the forecasts.
int PrintHistory(const HistoryOptions& o);

}  // namespace host
