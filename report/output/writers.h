// One writer per form of the report, each reading the results in the report's order.
#pragma once

#include <ostream>
#include <vector>

#include "report_charts.h"
#include "report_types.h"
#include "result_store.h"

namespace host {

// The table a terminal shows and its Markdown twin: the columns a person reads first.
void WriteTable(std::ostream& out, const ResultStore& results, const ReportRun& run);
void WriteMarkdown(std::ostream& out, const ResultStore& results, const ReportRun& run);
// Every column: CSV (RFC 4180, CRLF; --csv-raw keeps formula-like texts as they are) and
// one JSON document.
void WriteCsv(std::ostream& out, const ResultStore& results, const ReportRun& run);
void WriteJson(std::ostream& out, const ResultStore& results, const ReportRun& run);
// The page: one file with its style, script and charts.
void WriteHtml(std::ostream& out, const ResultStore& results, const ReportRun& run,
               const std::vector<Chart>& charts);
// Gauges for node_exporter's textfile collector.
void WriteOpenMetrics(std::ostream& out, const ResultStore& results, const ReportRun& run);

}  // namespace host
