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
  std::string name;  // "sqlite", "postgres" or "mariadb"
  std::string dsn;
  std::string user;
  std::string password;
};

// The backend of this run; fails the test when the environment does not name one.
const Backend& CurrentBackend();
bool IsPostgres();
bool IsMariaDB();
// The backend checks logins (PostgreSQL, MariaDB; not SQLite).
bool HasLogins();

std::shared_ptr<trend::PlainDataSource> MakeDataSource(const std::string& qualifier = {});

// The tables of the shipped DDL: name and CREATE statement.
std::vector<std::pair<std::string, std::string>> SchemaTables();

// Runs a command of the test database script (stop, start, restart, freeze, thaw), for
// every server or for one ("pg" or "maria").
void TestDbScript(const std::string& command, const std::string& server = {});

class DbTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Runs a statement on the fixture's own connection.
  void Exec(const std::string& sql);
  // The rows of a query as texts, for checks.
  std::vector<std::vector<std::string>> Query(const std::string& sql);
  // Whether the table exists (a query of it succeeds).
  bool TableExists(const std::string& table);
  // From now until the test ends, new sessions treat backslashes in string literals as
  // escapes where the server can be made to (PostgreSQL: standard_conforming_strings off
  // for the database; MariaDB does so by default; SQLite never does).
  void ServerEscapesBackslashes();
  void TearDown() override;
  // A new connection of the fixture's own (after a server restart).
  void ReopenAdmin();

  std::shared_ptr<trend::PlainDataSource> ds_;

 private:
  std::unique_ptr<trend::db::Environment> env_;
  std::unique_ptr<trend::db::Connection> admin_;
  bool resetBackslashes_ = false;
};

// A row of an hourly metric table: 24 averages and 24 minima.
struct HourlyRow {
  std::string host, probe, arg, day;
  std::vector<double> avg = std::vector<double>(24, 0.0);
  std::vector<double> min = std::vector<double>(24, 0.0);
  double daily = 0, maxHourly = 0, maxDaily = 0;
};
// A number as Query gives it back.
std::string Number(double v);

// INSERT text for `table` (HX_METRICS, DOMINO_METRICS or EXCHANGE_METRICS).
std::string InsertHourly(const std::string& table, const HourlyRow& row);

}  // namespace testbed
