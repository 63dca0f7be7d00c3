// The table a terminal shows: the columns a person reads first, aligned.
#include <algorithm>
#include <string>
#include <vector>

#include "command.h"
#include "summary.h"
#include "writers.h"

namespace host {

// A pass over the results for the columns' widths, a second for the rows.
void WriteTable(std::ostream& out, const ResultStore& results, const ReportRun& run) {
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
