#include "csv_table.h"

#include <algorithm>
#include <fstream>

#include "command.h"
#include "csv.h"

namespace host {

namespace {

std::string Listed(const std::vector<std::string>& names, const char* last) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i)
    out += (i == 0 ? "" : i + 1 == names.size() ? last : ", ") + names[i];
  return out;
}

}  // namespace

const std::string& CsvTableLine::operator[](const std::string& column) const {
  static const std::string kNone;
  const auto it = column_->find(column);
  return it == column_->end() ? kNone : (*fields_)[it->second];
}

void CsvTableLine::Fail(const std::string& what) const {
  throw UsageError(shownPath_ + ":" + std::to_string(number_) + ": " + what);
}

void ReadCsvTable(const std::string& path, const CsvTableForm& form,
                  const std::function<void(const CsvTableLine&)>& entry) {
  std::ifstream in(path, std::ios::binary);
  const std::string shown = Visible(path);
  if (!in) throw UsageError("cannot read the " + form.what + " " + shown);
  auto fail = [&](size_t line, const std::string& what) {
    throw UsageError(shown + ":" + std::to_string(line) + ": " + what);
  };
  std::map<std::string, size_t> column;  // name -> field index
  std::vector<std::string> fields;
  CsvTableLine current;
  current.column_ = &column;
  current.fields_ = &fields;
  current.shownPath_ = shown;
  size_t number = 0;
  for (std::string line; ReadLimitedLine(in, line, path, number + 1);) {
    if (++number > form.mostLines)
      fail(number, "more than " + std::to_string(form.mostLines) + " lines: not a " + form.what);
    if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);  // a UTF-8 BOM
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') continue;
    auto split = CsvFields(line);
    if (!split) fail(number, "a quoted field is not closed");
    fields = std::move(*split);
    if (column.empty()) {
      for (size_t i = 0; i < fields.size(); ++i) {
        const std::string& name = fields[i];
        if (std::find(form.known.begin(), form.known.end(), name) == form.known.end()) {
          // A word that could be a column's name is quoted; anything else (the first line
          // of some other file) is not repeated.
          const bool word = !name.empty() && name.size() <= 32 &&
                            name.find_first_not_of(
                                "abcdefghijklmnopqrstuvwxyz"
                                "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_- ") == std::string::npos;
          fail(number, (word ? "unknown column \"" + name + "\" in the header"
                             : "the first line is not a header of a " + form.what) +
                           " (known columns: " + Listed(form.known, ", ") + ")");
        }
        if (!column.emplace(name, i).second) fail(number, "the column " + name + " is named twice");
      }
      for (const auto& name : form.required)
        if (!column.count(name))
          fail(number, "the header must name at least the column" +
                           std::string(form.required.size() == 1 ? " " : "s ") +
                           Listed(form.required, " and "));
      continue;
    }
    if (fields.size() != column.size())
      fail(number, "expected " + std::to_string(column.size()) + " fields, found " +
                       std::to_string(fields.size()));
    current.number_ = number;
    entry(current);
  }
  if (column.empty()) {
    std::string header;
    for (const auto& name : form.known) header += (header.empty() ? "" : ",") + name;
    fail(number, "the file has no header line (" + header + ")");
  }
}

}  // namespace host
