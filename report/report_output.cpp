#include "report_output.h"

#include <filesystem>
#include <fstream>
#include <iostream>

#include "command.h"
#include "output/writers.h"
#include "output_file.h"
#include "report_charts.h"

namespace host {

void RenderReport(std::ostream& text, const ResultStore& results, const ReportRun& run) {
  std::vector<Chart> charts;
  if (run.format == "html" || !run.charts.empty()) charts = DrawCharts(results, run, run.charts);
  if (run.format == "table")
    WriteTable(text, results, run);
  else if (run.format == "markdown")
    WriteMarkdown(text, results, run);
  else if (run.format == "csv")
    WriteCsv(text, results, run);
  else if (run.format == "openmetrics")
    WriteOpenMetrics(text, results, run);
  else if (run.format == "json")
    WriteJson(text, results, run);
  else
    WriteHtml(text, results, run, charts);
}

void WriteReport(const ResultStore& results, const ReportRun& run) {
  if (run.output.empty() || run.output == "-") {
    RenderReport(std::cout, results, run);
    std::cout << std::flush;
    return;
  }
  std::error_code ec;
  const auto kind = std::filesystem::status(run.output, ec).type();
  if (kind != std::filesystem::file_type::regular &&
      kind != std::filesystem::file_type::not_found) {
    // A device or a pipe (/dev/null, /dev/stdout, a FIFO): written to as it is.
    std::ofstream file(run.output, std::ios::binary);
    RenderReport(file, results, run);
    if (!file.flush()) throw CallFailed("cannot write " + run.output);
    return;
  }
  WriteFileWhole(run.output, [&](std::ostream& out) { RenderReport(out, results, run); });
}

}  // namespace host
