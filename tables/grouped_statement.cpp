#include "grouped_statement.h"

#include <variant>

namespace host {

void GroupedStatement::Execute(const std::vector<trend::db::ParameterColumn>& columns,
                               size_t rows) {
  const size_t whole = rows / group_ * group_;
  if (whole) Run(columns, 0, whole, group_);
  if (whole < rows) Run(columns, whole, rows - whole, rows - whole);
}

void GroupedStatement::Run(const std::vector<trend::db::ParameterColumn>& columns, size_t first,
                           size_t count, size_t size) {
  auto it = statements_.find(size);
  if (it == statements_.end()) {
    std::string sql = head_;
    for (size_t t = 0; t < size; ++t) sql += (t ? joiner_ : "") + tuple_;
    it = statements_.emplace(size, trend::db::PreparedBatch(c_, sql)).first;
  }
  const size_t sets = count / size;
  std::vector<trend::db::ParameterColumn> flat;
  flat.reserve(size * columns.size());
  for (size_t t = 0; t < size; ++t)
    for (const auto& column : columns)
      flat.push_back(std::visit(
          [&](const auto& values) -> trend::db::ParameterColumn {
            std::decay_t<decltype(values)> out(sets);
            for (size_t i = 0; i < sets; ++i) out[i] = values[first + i * size + t];
            return out;
          },
          column));
  it->second.Execute(flat, sets);
}

}  // namespace host
