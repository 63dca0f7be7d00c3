// The fleet report's outputs: the columns every format shares, the worker's result lines,
// and the writers of the table, CSV, JSON, Markdown and HTML forms.
#pragma once

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "report_types.h"
#include "result_store.h"

namespace host {

// A result as one line for the pipe from a worker, and back.
std::string ResultLine(size_t index, const SeriesResult& r, const ReportRun& run);
std::pair<size_t, SeriesResult> ParseResultLine(const std::string& line,
                                                const std::vector<Series>& series,
                                                const SeriesThresholds& limits,
                                                const ReportRun& run);

// The report in the chosen format (the charts drawn as it needs them), written to `out` as
// it is made.
void RenderReport(std::ostream& out, const ResultStore& results, const ReportRun& run,
                  const ReportOptions& options);

// Writes the report in the chosen format to --output or standard output, and the charts.
void WriteReport(const ResultStore& results, const ReportRun& run, const ReportOptions& options);

}  // namespace host
