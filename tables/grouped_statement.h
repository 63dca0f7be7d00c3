// A statement that writes or deletes many rows of a metric table in few round trips.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "odbc.h"

namespace host {

// A statement run for many rows at once, each column holding one value a row.
class RowsStatement {
 public:
  virtual ~RowsStatement() = default;
  virtual void Execute(const std::vector<trend::db::ParameterColumn>& columns, size_t rows) = 0;
};

// A statement that carries several rows at once: `head`, then `tuple` (the "?" of one
// row) repeated for each row of a group, joined by `joiner`. Every execution sends an
// array of such groups, so a batch of rows costs a few round trips, not one per row.
class GroupedStatement : public RowsStatement {
 public:
  GroupedStatement(trend::db::Connection& c, std::string head, std::string tuple,
                   std::string joiner, size_t group)
      : c_(c),
        head_(std::move(head)),
        tuple_(std::move(tuple)),
        joiner_(std::move(joiner)),
        group_(group) {}

  // Runs the statement for `rows` rows of `columns` (one value per row in each).
  void Execute(const std::vector<trend::db::ParameterColumn>& columns, size_t rows) override;

 private:
  // Rows [first, first + count) in groups of `size` rows.
  void Run(const std::vector<trend::db::ParameterColumn>& columns, size_t first, size_t count,
           size_t size);

  trend::db::Connection& c_;
  std::string head_, tuple_, joiner_;
  size_t group_;
  std::map<size_t, trend::db::PreparedBatch> statements_;
};

}  // namespace host
