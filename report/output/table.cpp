// The table a terminal shows: the columns a person reads first, aligned.
#include <algorithm>
#include <string>
#include <vector>

#include "command.h"
#include "summary.h"
#include "writers.h"

namespace host {

namespace {

// Rows aligned under their header: texts left, numbers right.
void Aligned(std::ostream& out, const SummaryView& v,
             const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> width(v.header.size());
  for (size_t c = 0; c < v.header.size(); ++c) width[c] = v.header[c].size();
  for (const auto& row : rows)
    for (size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
  auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (size_t c = 0; c < cells.size(); ++c) {
      const std::string pad(width[c] - cells[c].size(), ' ');
      text += v.numeric[c] ? pad + cells[c] : cells[c] + pad;
      if (c + 1 < cells.size()) text += "  ";
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out << text << "\n";
  };
  line(v.header);
  for (const auto& row : rows) line(row);
}

}  // namespace

// The services first (with --groups), then the series: a pass over the results for the
// columns' widths, a second for the rows.
void WriteTable(std::ostream& out, const ResultStore& results, const ReportRun& run) {
  if (!run.groupsFile.empty()) {
    std::vector<std::vector<std::string>> rows;
    for (const auto& g : results.groups()) {
      rows.push_back(GroupSummaryRow(g, run));
      for (auto& cell : rows.back()) cell = Visible(cell);
    }
    out << "SERVICES\n";
    Aligned(out, GroupSummary(run), rows);
  }
  if (!run.scenarioFile.empty()) {
    auto rows = WhatIfRows(results, run);
    for (auto& row : rows)
      for (auto& cell : row) cell = Visible(cell);
    out << (run.groupsFile.empty() ? "" : "\n") << "WHAT-IF\n";
    Aligned(out, WhatIfSummary(run), rows);
  }
  if (!run.groupsFile.empty() || !run.scenarioFile.empty()) out << "\nSERIES\n";
  const SummaryView v = Summary(run);
  std::vector<size_t> width(v.header.size());
  for (size_t c = 0; c < v.header.size(); ++c) width[c] = v.header[c].size();
  // Every cell as a terminal may show it (an error's text comes from a server).
  auto shown = [&](const SeriesResult& r) {
    auto row = SummaryRow(r, run);
    for (auto& cell : row) cell = Visible(cell);
    return row;
  };
  for (const auto& r : results) {
    const auto row = shown(r);
    for (size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
  }
  auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (size_t c = 0; c < cells.size(); ++c) {
      // Texts left, numbers right.
      const std::string pad(width[c] - cells[c].size(), ' ');
      text += v.numeric[c] ? pad + cells[c] : cells[c] + pad;
      if (c + 1 < cells.size()) text += "  ";
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out << text << "\n";
  };
  line(v.header);
  for (const auto& r : results) line(shown(r));
}

}  // namespace host
