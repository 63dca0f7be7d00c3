// The table a terminal shows: the columns a person reads first, aligned.
#include <algorithm>
#include <string>
#include <vector>

#include "command.h"
#include "summary.h"
#include "writers.h"

namespace host {

namespace {

// The widths of a header's columns: at least the header's own.
std::vector<size_t> HeaderWidths(const SummaryView& v) {
  std::vector<size_t> width;
  for (const auto& h : v.header) width.push_back(h.size());
  return width;
}

void Widen(std::vector<size_t>& width, const std::vector<std::string>& row) {
  for (size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
}

// A row in columns of `width`: texts left, numbers right.
void Line(std::ostream& out, const SummaryView& v, const std::vector<size_t>& width,
          const std::vector<std::string>& cells) {
  std::string text;
  for (size_t c = 0; c < cells.size(); ++c) {
    const std::string pad(width[c] - cells[c].size(), ' ');
    text += v.numeric[c] ? pad + cells[c] : cells[c] + pad;
    if (c + 1 < cells.size()) text += "  ";
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  out << text << "\n";
}

// Rows held together, aligned under their header; every cell as a terminal may show it.
void Aligned(std::ostream& out, const SummaryView& v, std::vector<std::vector<std::string>> rows) {
  std::vector<size_t> width = HeaderWidths(v);
  for (auto& row : rows) {
    for (auto& cell : row) cell = Visible(cell);
    Widen(width, row);
  }
  Line(out, v, width, v.header);
  for (const auto& row : rows) Line(out, v, width, row);
}

}  // namespace

// The services first (with --groups), then the series: a pass over the results for the
// columns' widths, a second for the rows.
void WriteTable(std::ostream& out, const ResultStore& results, const ReportRun& run) {
  if (!run.groupsFile.empty()) {
    std::vector<std::vector<std::string>> rows;
    for (const auto& g : results.groups()) rows.push_back(GroupSummaryRow(g, run));
    out << "SERVICES\n";
    Aligned(out, GroupSummary(run), std::move(rows));
  }
  if (!run.scenarioFile.empty()) {
    out << (run.groupsFile.empty() ? "" : "\n") << "WHAT-IF\n";
    Aligned(out, WhatIfSummary(run), WhatIfRows(results, run));
  }
  if (!run.groupsFile.empty() || !run.scenarioFile.empty()) out << "\nSERIES\n";
  // The series are not held together: a pass for the widths, a second for the rows. Every
  // cell as a terminal may show it (an error's text comes from a server).
  const SummaryView v = Summary(run);
  auto shown = [&](const SeriesResult& r) {
    auto row = SummaryRow(r, run);
    for (auto& cell : row) cell = Visible(cell);
    return row;
  };
  std::vector<size_t> width = HeaderWidths(v);
  for (const auto& r : results) Widen(width, shown(r));
  Line(out, v, width, v.header);
  for (const auto& r : results) Line(out, v, width, shown(r));
}

}  // namespace host
