// The JSON form: every column, one document written a series at a time.
#include <nlohmann/json.hpp>
#include <string>

#include "report_json.h"
#include "text.h"
#include "writers.h"

namespace host {

namespace {

using json = nlohmann::ordered_json;

// `v` as dump(2) writes it inside a document, `depth` levels down: each line after the
// first indented by two spaces a level (a JSON text holds no raw line break but these).
std::string NestedJson(const json& v, int depth) {
  const std::string text = v.dump(2, ' ', false, json::error_handler_t::replace);
  const std::string indent(static_cast<size_t>(2 * depth), ' ');
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    out += c;
    if (c == '\n') out += indent;
  }
  return out;
}

}  // namespace

// One document, written a series at a time: {"parameters", "groups" (with --groups),
// "series", "counts",
// "elapsed_seconds"}, as dump(2) would write it whole. A name that is not valid UTF-8 is
// written with replacement characters, not lost.
void WriteJson(std::ostream& out, const ResultStore& results, const ReportRun& run) {
  const auto& columns = results.columns();
  json counts = json::object();
  for (auto [status, n] : Counts(results)) counts[StatusName(status)] = n;
  out << "{\n  \"parameters\": " << NestedJson(RunJson(run, false), 1);
  if (!run.groupsFile.empty()) {
    // The services first, as every form shows them.
    const auto groupColumns = GroupColumns(run.horizons);
    json groups = json::array();
    for (const auto& g : results.groups()) {
      for (const GroupResult* row : GroupRows(g)) {  // the group, then its scenarios' rows
        json o = json::object();
        for (const auto& c : groupColumns) o[c.name] = CellJson(c.get(*row));
        groups.push_back(std::move(o));
      }
    }
    out << ",\n  \"groups\": " << NestedJson(groups, 1);
  }
  out << ",\n  \"series\": ";
  if (results.empty()) out << "[]";
  size_t i = 0;
  auto row = [&](const SeriesResult& r) {
    json o = json::object();
    for (const auto& c : columns) o[c.name] = CellJson(c.get(r));
    out << (i++ ? ",\n    " : "[\n    ") << NestedJson(o, 2);
  };
  for (size_t rank = 0; rank < results.size(); ++rank) {
    row(results.At(rank));
    for (const auto& s : results.ScenarioRowsAt(rank)) row(s);  // beside the baseline
  }
  if (!results.empty()) out << "\n  ]";
  out << ",\n  \"counts\": " << NestedJson(counts, 1)
      << ",\n  \"elapsed_seconds\": " << json(run.seconds).dump() << "\n}\n";
}

}  // namespace host
