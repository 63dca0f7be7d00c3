// The table and Markdown forms: the columns a person reads first.
#include <algorithm>
#include <string>
#include <vector>

#include "command.h"
#include "text.h"
#include "writers.h"

namespace host {

namespace {

struct View {
  std::vector<std::string> header;
  std::vector<bool> numeric;  // right-aligned
};

View Summary(const ReportRun& run) {
  View v;
  v.header = {"HOST", "PROBE", "ARG", "STATUS", "LEVEL"};
  for (int h : run.horizons) v.header.push_back("+" + std::to_string(h) + "d");
  v.header.insert(v.header.end(), {"PEAK", "RECENT PEAK", "THRESHOLD", "UNIT", "CROSSES",
                                   "GROWTH/30d", "DAYS WITH DATA", "LAST SEEN", "MODEL", "TRUST"});
  for (const auto& h : v.header)
    v.numeric.push_back(!(h == "HOST" || h == "PROBE" || h == "ARG" || h == "STATUS" ||
                          h == "UNIT" || h == "CROSSES" || h == "LAST SEEN" || h == "MODEL" ||
                          h == "TRUST"));
  return v;
}

// A result's row of the table and Markdown forms.
std::vector<std::string> SummaryRow(const SeriesResult& r, const ReportRun& run) {
  std::vector<std::string> row = {Visible(r.series.key.host), Visible(r.series.key.probe),
                                  Visible(r.series.key.arg), StatusName(r.status), Fixed(r.level)};
  for (size_t i = 0; i < run.horizons.size(); ++i)
    row.push_back(i < r.forecast.size() ? Fixed(r.forecast[i]) : "");
  row.push_back(Fixed(r.peak));
  row.push_back(Fixed(r.recentPeak));
  row.push_back(
      r.threshold ? Fixed(r.threshold->value,
                          r.threshold->value == static_cast<long long>(r.threshold->value) ? 0 : 2)
                  : "");
  row.push_back(r.threshold ? Visible(r.threshold->unit) : "");
  row.push_back(r.status == Status::kError ? "error " + std::to_string(r.errorNumber.value_or(0))
                                           : CrossingText(r));
  row.push_back(Percent(r.growth30));
  row.push_back(std::to_string(r.series.fitDays));
  row.push_back(DayText(r.series.lastDay));
  row.push_back(r.model);
  row.push_back(r.trust);
  return row;
}

}  // namespace

// A pass over the results for the columns' widths, a second for the rows.
void WriteTable(std::ostream& out, const ResultStore& results, const ReportRun& run) {
  const View v = Summary(run);
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

void WriteMarkdown(std::ostream& out, const ResultStore& results, const ReportRun& run) {
  const View v = Summary(run);
  out << "Fleet report " << DayText(run.firstDay) << " to " << DayText(run.lastDay) << " ("
      << run.login.dsn << "): ";
  bool firstCount = true;
  for (auto [status, n] : Counts(results)) {
    if (!n) continue;
    out << (firstCount ? "" : ", ") << n << " " << StatusName(status);
    firstCount = false;
  }
  out << "\n\n|";
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
