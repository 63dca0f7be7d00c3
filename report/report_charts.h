// Charts of the fleet report, drawn by gnuplot: the measured daily means and peaks over the
// window, the class's fitted trend over it, the forecast of the row's model to the last
// horizon with its 80 % interval, and the threshold.
#pragma once

#include <string>
#include <vector>

#include "report_types.h"
#include "result_store.h"

namespace host {

struct Chart {
  std::string id;    // "host-probe-arg" ("...-hourly" for the hourly one), safe as a file name
  std::string host;  // the series' host: the page shows a host's charts in its section
  std::string svg;   // inline SVG
};

// Whether a forecast series may get a chart: one in "exceeded" or "warning", or a growing
// one whose line means something. Its forecast keeps the chart's data for it.
bool ChartCandidate(const SeriesResult& r);

// The charts for the series that need them: every one in "exceeded" or "warning", and the
// fastest-growing others, up to a limit, each drawn from the data its forecast kept; an
// exceeded or warning series also gets its hourly forecast for the next weeks. Written
// as PNG files into `pngFolder` as well, when one is named. Without gnuplot there are no
// charts (a note on standard error).
std::vector<Chart> DrawCharts(const ResultStore& results, const ReportRun& run,
                              const std::string& pngFolder);

}  // namespace host
