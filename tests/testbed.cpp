#include "testbed.h"

#include <dlfcn.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "module1.h"
#include "numeric.h"

namespace testbed {
namespace {

// The SQLite driver loads unixODBC's ini library for each connection and the driver
// manager unloads it again, leaving its cached ini data behind as a leak report. Keeping
// the library loaded for the life of the test process lets it clean up at exit.
[[maybe_unused]] const bool kIniLibraryPinned =
    dlopen("libodbcinst.so.2", RTLD_NOW | RTLD_NODELETE) != nullptr;

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::vector<std::string> SchemaStatements() {
  std::ifstream in(TREND_SCHEMA_FILE);
  std::stringstream all;
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("--", 0) != 0) all << line << "\n";
  std::vector<std::string> out;
  std::string text = all.str(), current;
  for (char c : text) {
    if (c == ';') {
      out.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  return out;
}

std::string TableName(const std::string& create) {
  auto p = create.find("CREATE TABLE ");
  auto s = p + 13;
  return create.substr(s, create.find(' ', s) - s);
}

}  // namespace

std::vector<std::pair<std::string, std::string>> SchemaTables() {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& create : SchemaStatements())
    if (create.find("CREATE TABLE") != std::string::npos)
      out.emplace_back(TableName(create), create);
  return out;
}

const Backend& CurrentBackend() {
  static const Backend backend = [] {
    std::string name = Env("TREND_TEST_BACKEND");
    if (name == "postgres")
      return Backend{name, Env("TREND_PG_DSN"), Env("TREND_PG_USER"), Env("TREND_PG_PASSWORD")};
    if (name == "mariadb")
      return Backend{name, Env("TREND_MARIA_DSN"), Env("TREND_MARIA_USER"),
                     Env("TREND_MARIA_PASSWORD")};
    if (name == "sqlite") return Backend{name, Env("TREND_SQLITE_DSN"), "", ""};
    return Backend{};
  }();
  return backend;
}

bool IsPostgres() {
  return CurrentBackend().name == "postgres";
}

bool IsMariaDB() {
  return CurrentBackend().name == "mariadb";
}

bool HasLogins() {
  return CurrentBackend().name != "sqlite";
}

std::shared_ptr<trend::PlainDataSource> MakeDataSource(const std::string& qualifier) {
  const Backend& b = CurrentBackend();
  return std::make_shared<trend::PlainDataSource>(b.dsn, b.user, b.password, qualifier);
}

void TestDbScript(const std::string& command, const std::string& server) {
  std::string cmd = "\"" + Env("TREND_TESTDB_SCRIPT") + "\" " + command + " \"" +
                    Env("TREND_TESTDB_DIR") + "\" " + server;
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

void DbTest::SetUp() {
  const Backend& b = CurrentBackend();
  ASSERT_FALSE(b.dsn.empty())
      << "TREND_TEST_BACKEND and the DSN variables must be set (run ./run test)";
  env_ = std::make_unique<trend::db::Environment>();
  admin_ = std::make_unique<trend::db::Connection>(
      trend::db::Connection::Open(*env_, trend::db::Login{b.dsn, b.user, b.password}));
  for (const auto& [name, create] : SchemaTables()) {
    Exec("DROP TABLE IF EXISTS " + name);  // and its indexes
    Exec(create);
  }
  for (const auto& statement : SchemaStatements())
    if (statement.find("CREATE INDEX") != std::string::npos ||
        statement.find("CREATE UNIQUE INDEX") != std::string::npos) Exec(statement);
  ds_ = MakeDataSource();
}

void DbTest::ReopenAdmin() {
  const Backend& b = CurrentBackend();
  admin_ = std::make_unique<trend::db::Connection>(
      trend::db::Connection::Open(*env_, trend::db::Login{b.dsn, b.user, b.password}));
}

void DbTest::Exec(const std::string& sql) {
  admin_->Execute(sql);
}

std::vector<std::vector<std::string>> DbTest::Query(const std::string& sql) {
  std::vector<std::vector<std::string>> rows;
  auto rs = admin_->OpenResultSet(sql);
  while (!rs.AtEnd()) {
    std::vector<std::string> row;
    for (int i = 0; i < rs.columnCount(); ++i) {
      auto v = rs.Value(i);
      row.push_back(v.IsNull() ? "NULL" : v.ToText());
    }
    rows.push_back(row);
    rs.MoveNext();
  }
  return rows;
}

bool DbTest::TableExists(const std::string& table) {
  try {
    admin_->OpenResultSet("SELECT COUNT(*) FROM " + table).Close();
    return true;
  } catch (const trend::Error&) {
    if (!admin_->autoCommit()) admin_->Rollback();
    return false;
  }
}

void DbTest::ServerEscapesBackslashes() {
  if (!IsPostgres()) return;
  Exec("ALTER DATABASE trend SET standard_conforming_strings = off");
  resetBackslashes_ = true;
}

void DbTest::TearDown() {
  if (resetBackslashes_) Exec("ALTER DATABASE trend RESET standard_conforming_strings");
}

std::string Number(double v) {
  return trend::Variant(v).ToText();
}

std::string InsertHourly(const std::string& table, const HourlyRow& r) {
  auto q = [](const std::string& s) { return "'" + trend::Module1::QuoteSQL(s) + "'"; };
  std::string cols = "HOSTNAME, PROBE, PROBE_ARG, COLLECTION_DATE";
  std::string vals = q(r.host) + ", " + q(r.probe) + ", " + q(r.arg) + ", " + q(r.day);
  char hh[8];
  for (int h = 0; h < 24; ++h) {
    std::snprintf(hh, sizeof hh, "%02d", h);
    cols += std::string(", AVG_VALUE_") + hh + ", MIN_VALUE_" + hh;
    vals += ", " + trend::FormatDouble(r.avg[h]) + ", " + trend::FormatDouble(r.min[h]);
  }
  cols += ", AVG_DAILY_VALUE, MAX_HOURLY_AVG";
  vals += ", " + trend::FormatDouble(r.daily) + ", " + trend::FormatDouble(r.maxHourly);
  if (table != "HX_METRICS") {
    cols += ", MAX_DAILY_VALUE";
    vals += ", " + trend::FormatDouble(r.maxDaily);
  }
  return "INSERT INTO " + table + " (" + cols + ") VALUES (" + vals + ")";
}

}  // namespace testbed
