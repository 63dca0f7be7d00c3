// The columns of a report's rows, owned here alone: each column's name, type, meaning, place
// on the page, how the page shows it, how it is taken from a result and how it is read
// back. The writers of every format, the worker's result lines, the page's legend and
// trendlib.fleet's column types all derive from this one table. Names never change
// meaning; new columns are added at the end.
#pragma once

#include <climits>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <variant>
#include <vector>

#include "groups.h"
#include "report_types.h"

namespace host {

// A column's type: texts, numbers (doubles), whole numbers, and days ("yyyy-mm-dd" texts).
enum class CellType { kText, kNumber, kInteger, kDay };
const char* CellTypeName(CellType t);

// One cell: none, a text (also a day), a number or a whole number.
using Cell = std::variant<std::monostate, std::string, double, int64_t>;
inline bool IsNone(const Cell& c) {
  return std::holds_alternative<std::monostate>(c);
}

// A cell as JSON (null for none), and as CSV or table text: numbers in their shortest exact
// form, none as nothing.
nlohmann::ordered_json CellJson(const Cell& c);
std::string CellText(const Cell& c);

// How the page shows a cell beyond its type.
enum class CellStyle {
  kPlain,      // numbers to two decimals, the exact figure on hovering; texts as they are
  kHost,       // a link to the host's section
  kStatus,     // a badge in the status's colour
  kCrossing,   // the day, or "> 10 years"
  kGrowth,     // "+4.2%"
  kShift,      // days, large shifts marked
  kTrust,      // a badge: low, medium, high
  kShiftNote,  // a crossing that appeared or went, marked
};

struct Column {
  std::string name;
  CellType type = CellType::kText;
  std::string help;  // what it means, on the page's headings and legend
  // Where it stands among the columns a planner reads first; INT_MAX for the others.
  int pageRank = INT_MAX;
  CellStyle style = CellStyle::kPlain;
  std::string heading;  // the page's heading, when not the name
  std::function<Cell(const SeriesResult&)> get;
  // Reads the cell back into a result (the worker's line); empty for a column that
  // follows from the series, its threshold or the recorded runs.
  std::function<void(SeriesResult&, const Cell&)> set;
};

// The columns of a run with these horizons, in order.
std::vector<Column> ResultColumns(const std::vector<int>& horizons);

// The columns of a group's row (groups.h): the group's own, then the series columns that
// apply to a group, by the same names.
struct GroupColumn {
  std::string name;
  CellType type = CellType::kText;
  std::string help;
  std::function<Cell(const GroupResult&)> get;
};
std::vector<GroupColumn> GroupColumns(const std::vector<int>& horizons);

}  // namespace host
