// The CSV form: every column, RFC 4180 with CRLF line ends.
#include "csv.h"

#include <algorithm>

#include "text.h"
#include "writers.h"

namespace host {

// With --groups, a first column `kind` (group or series), the groups' rows first, and the
// group's own columns after the series'; --groups-only writes the groups' columns alone.
void WriteCsv(std::ostream& out, const ResultStore& results, const ReportRun& run) {
  const bool raw = run.csvRaw;
  const auto& columns = results.columns();
  const bool groups = !run.groupsFile.empty();
  const auto groupColumns = groups ? GroupColumns(run.horizons) : std::vector<GroupColumn>();
  if (run.groupsOnly) {
    for (size_t c = 0; c < groupColumns.size(); ++c) out << (c ? "," : "") << groupColumns[c].name;
    out << "\r\n";
    for (const auto& group : results.groups())
      for (const GroupResult* g : GroupRows(group)) {
        for (size_t c = 0; c < groupColumns.size(); ++c)
          out << (c ? "," : "") << CsvField(Defused(groupColumns[c].get(*g), raw));
        out << "\r\n";
      }
    return;
  }
  // Per series column, the group column of its name; then the group's own columns.
  std::vector<const GroupColumn*> sameName;
  std::vector<const GroupColumn*> ownOnly;
  for (const auto& c : columns) {
    const GroupColumn* found = nullptr;
    for (const auto& g : groupColumns)
      if (g.name == c.name) found = &g;
    sameName.push_back(found);
  }
  for (const auto& g : groupColumns)
    if (std::none_of(columns.begin(), columns.end(),
                     [&](const Column& c) { return c.name == g.name; }))
      ownOnly.push_back(&g);
  if (groups) out << "kind,";
  for (size_t c = 0; c < columns.size(); ++c) out << (c ? "," : "") << columns[c].name;
  for (const auto* g : ownOnly) out << "," << g->name;
  out << "\r\n";
  for (const auto& group : results.groups())
    for (const GroupResult* g : GroupRows(group)) {
      out << "group";
      for (const auto* c : sameName) out << "," << (c ? CsvField(Defused(c->get(*g), raw)) : "");
      for (const auto* c : ownOnly) out << "," << CsvField(Defused(c->get(*g), raw));
      out << "\r\n";
    }
  auto row = [&](const SeriesResult& r) {
    if (groups) out << "series,";
    for (size_t c = 0; c < columns.size(); ++c)
      out << (c ? "," : "") << CsvField(Defused(columns[c].get(r), raw));
    out << std::string(ownOnly.size(), ',') << "\r\n";
  };
  for (size_t rank = 0; rank < results.size(); ++rank) {
    row(results.At(rank));
    for (const auto& s : results.ScenarioRowsAt(rank)) row(s);  // beside the baseline
  }
}

}  // namespace host
