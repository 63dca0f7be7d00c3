// A statement that takes whole columns of rows as PostgreSQL arrays, for bulk writes.
#pragma once

#include <string>
#include <vector>

#include "grouped_statement.h"
#include "odbc.h"

namespace host {

// The server's text form of one column's values [first, first + count) as a
// one-dimensional array: "{"a","b\"c"}", "{1.5,NULL}", "{2026-11-30}". Texts are quoted and
// escaped, numbers written to round-trip exactly, missing values NULL.
std::string ArrayText(const trend::db::ParameterColumn& column, size_t first, size_t count);

// Each "?" of the statement receives one column of a batch as an array
// (unnest(?::text[], ?::float8[]) AS k(...)), so a batch of rows is one execution the
// server plans once, where psqlODBC would send a statement of literals per row. The values
// remain parameters: the server's array reader parses them, its SQL parser never does.
class ArrayStatement : public RowsStatement {
 public:
  ArrayStatement(trend::db::Connection& c, const std::string& sql) : batch_(c, sql) {}
  void Execute(const std::vector<trend::db::ParameterColumn>& columns, size_t rows) override;

 private:
  trend::db::PreparedBatch batch_;
};

}  // namespace host
