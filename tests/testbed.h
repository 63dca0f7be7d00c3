// Test bed for the database tests: which backend this run targets (TREND_TEST_BACKEND,
// set per ctest entry), DataSources for it, and a fixture that recreates every table from
// the shipped DDL before each test over a connection of its own (not the module's cache).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "datasource.h"
#include "odbc.h"

namespace testbed {

struct Backend {
  std::string name;  // "sqlite" or "postgres"
  std::string dsn;
  std::string user;
  std::string password;
};

// The backend of this run; fails the test when the environment does not name one.
const Backend& CurrentBackend();
bool IsPostgres();

std::shared_ptr<trend::PlainDataSource> MakeDataSource(const std::string& qualifier = {});

// The tables of the shipped DDL: name and CREATE statement.
std::vector<std::pair<std::string, std::string>> SchemaTables();

// Runs shell commands of the test database script (stop, start, restart the server).
void TestDbScript(const std::string& command);

class DbTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Runs a statement on the fixture's own connection.
  void Exec(const std::string& sql);
  // The rows of a query as texts, for checks.
  std::vector<std::vector<std::string>> Query(const std::string& sql);

  std::shared_ptr<trend::PlainDataSource> ds_;

 private:
  std::unique_ptr<trend::db::Environment> env_;
  std::unique_ptr<trend::db::Connection> admin_;
};

// A row of an hourly metric table: 24 averages and 24 minima.
struct HourlyRow {
  std::string host, probe, arg, day;
  std::vector<double> avg = std::vector<double>(24, 0.0);
  std::vector<double> min = std::vector<double>(24, 0.0);
  double daily = 0, maxHourly = 0, maxDaily = 0;
};
// INSERT text for `table` (HX_METRICS, DOMINO_METRICS or EXCHANGE_METRICS).
std::string InsertHourly(const std::string& table, const HourlyRow& row);

}  // namespace testbed
