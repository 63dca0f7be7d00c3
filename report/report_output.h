// The fleet report's output: the form the options choose (its writer in output/), to
// standard output or a file written whole.
#pragma once

#include <ostream>
#include <string>

#include "report_types.h"
#include "result_store.h"

namespace host {

// The report in the chosen format (the charts drawn as it needs them), written to `out` as
// it is made.
void RenderReport(std::ostream& out, const ResultStore& results, const ReportRun& run);

// Writes the report in the chosen format to --output or standard output, and the charts.
void WriteReport(const ResultStore& results, const ReportRun& run);

}  // namespace host
