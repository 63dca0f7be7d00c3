// The columns a person reads first, as the table and Markdown forms show them.
#pragma once

#include <string>
#include <vector>

#include "report_types.h"

namespace host {

struct SummaryView {
  std::vector<std::string> header;
  std::vector<bool> numeric;  // right-aligned
};
SummaryView Summary(const ReportRun& run);

// A result's row of the table and Markdown forms.
std::vector<std::string> SummaryRow(const SeriesResult& r, const ReportRun& run);

}  // namespace host
