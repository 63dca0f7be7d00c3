// Charts of the fleet report, drawn by gnuplot: the measured daily means and peaks over the
// window, the class's fitted trend over it, the forecast of the row's model to the last
// horizon with its 80 % interval, and the threshold.
#pragma once

#include <string>
#include <vector>

#include "report_types.h"

namespace host {

struct Chart {
  std::string id;   // "host-probe-arg", safe as a file name
  std::string svg;  // inline SVG
};

// The charts for the series that need them: every one in "exceeded" or "warning", and the
// fastest-growing others, up to a limit. Written as PNG files into --charts as well.
// Without gnuplot there are no charts (a note on standard error).
std::vector<Chart> DrawCharts(const std::vector<SeriesResult>& results, const ReportRun& run,
                              const ReportOptions& options);

}  // namespace host
