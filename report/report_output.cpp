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
  const ReportOptions& o = run;
  std::vector<Chart> charts;
  if (o.format == "html" || !o.charts.empty()) charts = DrawCharts(results, run, o.charts);
  if (o.format == "table")
    WriteTable(text, results, run);
  else if (o.format == "markdown")
    WriteMarkdown(text, results, run);
  else if (o.format == "csv")
    WriteCsv(text, results, o.csvRaw);
  else if (o.format == "openmetrics")
    WriteOpenMetrics(text, results, run);
  else if (o.format == "json")
    WriteJson(text, results, run);
  else
    WriteHtml(text, results, run, charts);
}

void WriteReport(const ResultStore& results, const ReportRun& run) {
  const ReportOptions& o = run;
  if (o.output.empty() || o.output == "-") {
    RenderReport(std::cout, results, run);
    std::cout << std::flush;
    return;
  }
  std::error_code ec;
  const auto kind = std::filesystem::status(o.output, ec).type();
  if (kind != std::filesystem::file_type::regular &&
      kind != std::filesystem::file_type::not_found) {
    // A device or a pipe (/dev/null, /dev/stdout, a FIFO): written to as it is.
    std::ofstream file(o.output, std::ios::binary);
    RenderReport(file, results, run);
    if (!file.flush()) throw CallFailed("cannot write " + o.output);
    return;
  }
  WriteFileWhole(o.output, [&](std::ostream& out) { RenderReport(out, results, run); });
}

}  // namespace host
