// The columns a person reads first, as the table and Markdown forms show them.
#pragma once

#include <string>
#include <vector>

#include "groups.h"
#include "report_types.h"
#include "result_store.h"

namespace host {

struct SummaryView {
  std::vector<std::string> header;
  std::vector<bool> numeric;  // right-aligned
};
SummaryView Summary(const ReportRun& run);

// A result's row of the table and Markdown forms.
std::vector<std::string> SummaryRow(const SeriesResult& r, const ReportRun& run);

// The services' section of those forms (with --groups), before the series.
SummaryView GroupSummary(const ReportRun& run);
std::vector<std::string> GroupSummaryRow(const GroupResult& g, const ReportRun& run);

// The what-if section (--scenario): each scenario's row beside its baseline's crossing.
SummaryView WhatIfSummary(const ReportRun& run);
std::vector<std::vector<std::string>> WhatIfRows(const ResultStore& results, const ReportRun& run);

}  // namespace host
