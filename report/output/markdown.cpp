// The Markdown form: the counts, then the table's columns, every cell escaped.
#include <string>

#include "summary.h"
#include "text.h"
#include "writers.h"

namespace host {

void WriteMarkdown(std::ostream& out, const ResultStore& results, const ReportRun& run) {
  const SummaryView v = Summary(run);
  out << "Fleet report " << DayText(run.firstDay) << " to " << DayText(run.lastDay) << " ("
      << run.login.dsn << "): ";
  bool firstCount = true;
  for (auto [status, n] : Counts(results)) {
    if (!n) continue;
    out << (firstCount ? "" : ", ") << n << " " << StatusName(status);
    firstCount = false;
  }
  out << "\n\n";
  if (!run.groupsFile.empty()) {
    const SummaryView g = GroupSummary(run);
    out << "## Services\n\n|";
    for (const auto& h : g.header) out << " " << MarkdownCell(h) << " |";
    out << "\n|";
    for (size_t c = 0; c < g.header.size(); ++c) out << (g.numeric[c] ? " ---: |" : " --- |");
    out << "\n";
    for (const auto& group : results.groups()) {
      out << "|";
      for (const auto& c : GroupSummaryRow(group, run)) out << " " << MarkdownCell(c) << " |";
      out << "\n";
    }
  }
  if (!run.scenarioFile.empty()) {
    const SummaryView w = WhatIfSummary(run);
    out << (run.groupsFile.empty() ? "" : "\n") << "## What-if\n\n|";
    for (const auto& h : w.header) out << " " << MarkdownCell(h) << " |";
    out << "\n|";
    for (size_t c = 0; c < w.header.size(); ++c) out << (w.numeric[c] ? " ---: |" : " --- |");
    out << "\n";
    for (const auto& row : WhatIfRows(results, run)) {
      out << "|";
      for (const auto& c : row) out << " " << MarkdownCell(c) << " |";
      out << "\n";
    }
  }
  if (!run.groupsFile.empty() || !run.scenarioFile.empty()) out << "\n## Series\n\n";
  out << "|";
  for (const auto& h : v.header) out << " " << MarkdownCell(h) << " |";
  out << "\n|";
  for (size_t c = 0; c < v.header.size(); ++c) out << (v.numeric[c] ? " ---: |" : " --- |");
  out << "\n";
  for (const auto& r : results) {
    out << "|";
    for (const auto& c : SummaryRow(r, run)) out << " " << MarkdownCell(c) << " |";
    out << "\n";
  }
}

}  // namespace host
