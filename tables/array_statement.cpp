#include "array_statement.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <variant>

#include "dates.h"

namespace host {

namespace {

constexpr size_t kArrayRows = 1000;  // rows an execution carries

void Append(std::string& out, const std::string& text) {
  out += '"';
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
}

void Append(std::string& out, double value) {
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  out.append(buffer, end);
}

void Append(std::string& out, trend::Date day) {
  out += trend::FormatDate(day, trend::DateFormat::kIsoDay);
}

template <typename T>
void Append(std::string& out, const std::optional<T>& value) {
  if (value)
    Append(out, *value);
  else
    out += "NULL";
}

}  // namespace

std::string ArrayText(const trend::db::ParameterColumn& column, size_t first, size_t count) {
  return std::visit(
      [&](const auto& values) {
        std::string out = "{";
        for (size_t i = first; i < first + count; ++i) {
          if (i > first) out += ',';
          Append(out, values[i]);
        }
        return out + "}";
      },
      column);
}

void ArrayStatement::Execute(const std::vector<trend::db::ParameterColumn>& columns, size_t rows) {
  for (size_t first = 0; first < rows; first += kArrayRows) {
    const size_t count = std::min(kArrayRows, rows - first);
    std::vector<trend::db::ParameterColumn> arrays;
    arrays.reserve(columns.size());
    for (const auto& column : columns)
      arrays.emplace_back(std::vector<std::string>{ArrayText(column, first, count)});
    batch_.Execute(arrays, 1);
  }
}

}  // namespace host
