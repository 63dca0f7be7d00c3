// trendhost report: the fleet capacity report. Every series of HX_METRICS in the range is
// forecast through the frame's C interface by Orrery's class (so its figures are the
// class's figures, bit for bit), given a status against its threshold, and written as a
// table, CSV, JSON, Markdown or a self-contained HTML page.
//
// Workers are processes, each with its own instance and its own connection (the
// apartment rule): inside one process the SQLite ODBC stack serialises threads, while
// processes scale with the cores on every backend. With a core to spare, a worker's
// second thread runs the models, which touch neither the class nor the database.
#pragma once

#include <optional>
#include <vector>

#include "groups.h"
#include "history.h"
#include "report_types.h"
#include "result_store.h"

namespace host {

// The run's parameters resolved, and the series with their thresholds, from one grouped
// query; the connection is closed again. With `withPriorRuns`, the crossings of the latest
// recorded runs the results are compared with are read on the same connection.
struct ReportPlan {
  ReportRun run;
  std::vector<Series> series;
  SeriesThresholds thresholds;  // one per series
  PriorCrossings priorCrossings;
};
ReportPlan PlanReport(const ReportOptions& options, bool withPriorRuns = false);

// The results made ready to write: compared with the prior runs, acknowledged, sorted by
// urgency.
void SettleResults(ResultStore& results, const ReportRun& run, const PriorCrossings& prior);

// The what-if scenarios of the run on its results: each group's from its kept path, each
// series' forecast again here (a scenario names a few).
void ApplyScenarios(ResultStore& results, const SeriesThresholds& thresholds, const ReportRun& run);

// Settles the results and writes them; the exit status (3 when a series failed).
int FinishReport(ResultStore& results, const ReportRun& run, const PriorCrossings& prior);

int Report(const ReportOptions& options);

}  // namespace host
