// The data-access module against a real database through the real ODBC stack. Every case
// runs once on each backend: SQLite, PostgreSQL and MariaDB.
#include <sys/stat.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <thread>

#include "dates.h"
#include "module1.h"
#include "testbed.h"

using namespace trend;
using namespace trend::Module1;
using testbed::DbTest;

namespace {

class Module1Db : public DbTest {};

TEST_F(Module1Db, DateLiteralsSelectTheRange) {
  Exec("INSERT INTO HX_SYSTEM_SUMMARY VALUES ('h', 'p', 1)");
  Exec("INSERT INTO HX_METRIC_SUMMARY (PROBE, LOWEST_AVERAGE) VALUES ('x', 1)");
  testbed::HourlyRow r{"web01", "avgcpubusy", "", "2001-06-07"};
  Exec(testbed::InsertHourly("HX_METRICS", r));
  r.day = "2001-06-09";
  Exec(testbed::InsertHourly("HX_METRICS", r));
  auto conn = ObtainConnection(*ds_);
  std::string first = DateLiteral(*conn, "6/7/2001");
  std::string last = DateLiteral(*conn, "2001/06/08 10:30");
  // Both drivers hand the escape back unchanged and translate it when the statement runs.
  EXPECT_EQ(first, "{d '2001-06-07'}");
  EXPECT_EQ(last, "{d '2001-06-08'}");
  auto rs =
      conn->OpenResultSet("SELECT COLLECTION_DATE FROM HX_METRICS WHERE COLLECTION_DATE BETWEEN " +
                          first + " AND " + last);
  ASSERT_FALSE(rs.AtEnd());
  Variant d = rs.Value("collection_date");
  ASSERT_EQ(d.type(), Variant::Type::kDate);
  EXPECT_EQ(d.ToDate(), MakeDate(2001, 6, 7));
  rs.MoveNext();
  EXPECT_TRUE(rs.AtEnd());
}

TEST_F(Module1Db, BoundQueryParametersSelectExactlyAndStayData) {
  // A name with an apostrophe, a backslash and statement text matches only itself; days
  // bound as dates select the range; a failure keeps the server's diagnostics.
  const std::string hostile = "o'neil\\'; DELETE FROM HX_METRICS; --";
  for (const char* day : {"2001-06-07", "2001-06-08", "2001-06-09"}) {
    testbed::HourlyRow r{hostile, "avgcpubusy", "", day};
    Exec(testbed::InsertHourly("HX_METRICS", r));
  }
  testbed::HourlyRow other{"o'neil", "avgcpubusy", "", "2001-06-08"};
  Exec(testbed::InsertHourly("HX_METRICS", other));
  const auto& b = testbed::CurrentBackend();
  db::Environment env;
  auto conn = std::make_unique<db::Connection>(
      db::Connection::Open(env, db::Login{b.dsn, b.user, b.password}));
  auto rs = conn->OpenResultSet(
      "SELECT HOSTNAME, COLLECTION_DATE FROM HX_METRICS WHERE HOSTNAME = ? AND COLLECTION_DATE "
      "BETWEEN ? AND ? ORDER BY COLLECTION_DATE",
      {hostile, MakeDate(2001, 6, 8), MakeDate(2001, 6, 9)});
  std::vector<Date> days;
  for (; !rs.AtEnd(); rs.MoveNext()) {
    EXPECT_EQ(rs.Value(0).ToText(), hostile);
    days.push_back(rs.Value(1).ToDate());
  }
  EXPECT_EQ(days, (std::vector<Date>{MakeDate(2001, 6, 8), MakeDate(2001, 6, 9)}));
  auto count = conn->OpenResultSet("SELECT COUNT(*) FROM HX_METRICS");
  EXPECT_EQ(count.Value(0).ToInt32(), 4);
  try {
    conn->OpenResultSet("SELECT NO_SUCH_COLUMN FROM HX_METRICS WHERE HOSTNAME = ?", {hostile});
    ADD_FAILURE() << "a bad statement ran";
  } catch (const db::DatabaseError& e) {
    EXPECT_FALSE(e.diagnostics().empty()) << e.description();
  }
}

TEST_F(Module1Db, DateLiteralOfABadDayIsTypeMismatch) {
  auto conn = ObtainConnection(*ds_);
  try {
    DateLiteral(*conn, "2001-02-30");
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kTypeMismatch);
  }
}

TEST_F(Module1Db, NativeSqlLeavesTextAndCallerBufferIntact) {
  auto conn = ObtainConnection(*ds_);
  std::string sql = "SELECT 1 FROM HX_METRICS WHERE COLLECTION_DATE = {d '2001-06-07'}";
  std::string copy = sql;
  EXPECT_EQ(GetNativeSQLVB(conn->nativeHandle(), sql), sql);
  EXPECT_EQ(sql, copy);
  std::string longText(300, 'x');  // longer than the buffer: cut, never overrun
  EXPECT_LE(GetNativeSQLVB(conn->nativeHandle(), longText).size(), 255u);
}

TEST_F(Module1Db, ColumnsByDescribedTypeAndName) {
  Exec("INSERT INTO HX_SYSTEM_SUMMARY VALUES ('web01', '2001-06-07', 2.5)");
  Exec("INSERT INTO HX_SYSTEM_SUMMARY (HOSTNAME, PROBE) VALUES ('web02', NULL)");
  Exec("INSERT INTO METRICDATA VALUES (7, '2001-06-07', 3, 'resp', 2)");
  auto conn = ObtainConnection(*ds_);
  auto rs = conn->OpenResultSet(
      "SELECT HOSTNAME, PROBE, AVERAGE_VALUE FROM HX_SYSTEM_SUMMARY ORDER BY HOSTNAME");
  int probe = rs.ColumnIndex("Probe");
  int value = rs.ColumnIndex("AVERAGE_VALUE");
  ASSERT_FALSE(rs.AtEnd());
  // A text column holding a date text stays text.
  EXPECT_EQ(rs.Value(probe).type(), Variant::Type::kText);
  EXPECT_EQ(rs.Value(probe).ToText(), "2001-06-07");
  EXPECT_EQ(rs.Value(value).ToDouble(), 2.5);
  rs.MoveNext();
  EXPECT_TRUE(rs.Value(probe).IsNull());
  EXPECT_TRUE(rs.Value(value).IsNull());
  try {
    rs.Value(value).ToDouble();
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kInvalidUseOfNull);
  }
  EXPECT_THROW(rs.ColumnIndex("NO_SUCH_COLUMN"), Error);
  rs.MoveNext();
  EXPECT_TRUE(rs.AtEnd());
  EXPECT_THROW(rs.Value(value), Error);  // no current row
  rs.Close();

  auto md = conn->OpenResultSet("SELECT DATA_ID, COLLECTION_DATE, METRIC_TYPE FROM METRICDATA");
  EXPECT_EQ(md.Value("DATA_ID").ToText(), "7");
  EXPECT_EQ(md.Value("METRIC_TYPE").ToInt16(), 2);
  EXPECT_EQ(md.Value("COLLECTION_DATE").ToText(), "2001-06-07");
}

// Floating-point columns come back exactly as the server holds them, whichever way the
// driver hands them over (as text on SQLite and PostgreSQL, as doubles on MariaDB), and a
// cell that holds no number reads as missing.
TEST_F(Module1Db, FloatingPointCellsReadExactly) {
  const std::vector<std::pair<std::string, double>> numbers = {
      {"0.1", 0.1},
      {"123456.789", 123456.789},
      {"-2.5e-300", -2.5e-300},
      {"1.5e308", 1.5e308},
      {"3", 3.0},
      {"-4.75", -4.75},
      {"1e-310", 1e-310},
      {"0", 0.0},
      {"98765432109876.5", 98765432109876.5}};
  for (size_t i = 0; i < numbers.size(); ++i)
    Exec("INSERT INTO HX_SYSTEM_SUMMARY VALUES ('h" + std::to_string(10 + i) + "', 'p', " +
         numbers[i].first + ")");
  if (!testbed::IsPostgres() && !testbed::IsMariaDB()) {
    // SQLite keeps a text a REAL column is given.
    Exec("INSERT INTO HX_SYSTEM_SUMMARY VALUES ('x1', 'p', 'abc')");
    Exec("INSERT INTO HX_SYSTEM_SUMMARY VALUES ('x2', 'p', '')");
    Exec("INSERT INTO HX_SYSTEM_SUMMARY VALUES ('x3', 'p', '12abc')");
  }
  auto conn = ObtainConnection(*ds_);
  auto rs = conn->OpenResultSet(
      "SELECT HOSTNAME, AVERAGE_VALUE FROM HX_SYSTEM_SUMMARY ORDER BY HOSTNAME");
  const int value = rs.ColumnIndex("AVERAGE_VALUE");
  size_t n = 0;
  for (; !rs.AtEnd(); rs.MoveNext(), ++n) {
    const std::string host = rs.Value(0).ToText();
    if (host[0] == 'x') {
      EXPECT_TRUE(rs.Value(value).IsNull()) << host;
      EXPECT_FALSE(rs.OptionalDouble(value).has_value()) << host;
      EXPECT_THROW(rs.DoubleValue(value), Error) << host;
      double cell = 0;
      EXPECT_THROW(rs.DoubleValues(std::array{value}, &cell), Error) << host;
      continue;
    }
    const auto& [text, expected] = numbers[n];
    EXPECT_EQ(rs.DoubleValue(value), expected) << text;
    std::array<double, 2> cells{};
    rs.DoubleValues(std::array{value, value}, cells.data());
    EXPECT_EQ(cells[0], expected) << text;
    EXPECT_EQ(cells[1], expected) << text;
    EXPECT_EQ(rs.OptionalDouble(value), expected) << text;
    EXPECT_EQ(rs.Value(value).ToDouble(), expected) << text;
  }
  EXPECT_EQ(n, numbers.size() + (testbed::IsPostgres() || testbed::IsMariaDB() ? 0 : 3));
  rs.Close();
  if (testbed::IsPostgres()) {
    auto special = conn->OpenResultSet(
        "SELECT CAST('NaN' AS DOUBLE PRECISION), CAST('-Infinity' AS DOUBLE PRECISION), "
        "CAST(1.25 AS REAL)");
    EXPECT_TRUE(std::isnan(special.DoubleValue(0)));
    EXPECT_EQ(special.DoubleValue(1), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(special.DoubleValue(2), 1.25);
  }
}

// Two columns of one name: the first is the one a name finds, in any letter case.
TEST_F(Module1Db, ANameFindsItsFirstColumn) {
  Exec("INSERT INTO HX_SYSTEM_SUMMARY VALUES ('web01', 'p', 2.5)");
  auto conn = ObtainConnection(*ds_);
  auto rs = conn->OpenResultSet(
      "SELECT PROBE AS V, AVERAGE_VALUE AS V, HOSTNAME AS w FROM HX_SYSTEM_SUMMARY");
  EXPECT_EQ(rs.ColumnIndex("v"), 0);
  EXPECT_EQ(rs.ColumnIndex("W"), 2);
  EXPECT_EQ(rs.Value("V").ToText(), "p");
  EXPECT_THROW(rs.ColumnIndex("V "), Error);
}

TEST_F(Module1Db, ReadsManyRowsInOrderAcrossFetchBlocks) {
  auto conn = ObtainConnection(*ds_);
  for (int i = 0; i < 300; ++i)
    conn->Execute("INSERT INTO HX_SYSTEM_SUMMARY VALUES ('h" + std::to_string(1000 + i) +
                  "', 'p', " + std::to_string(i) + ".25)");
  auto rs = conn->OpenResultSet(
      "SELECT HOSTNAME, AVERAGE_VALUE FROM HX_SYSTEM_SUMMARY ORDER BY HOSTNAME");
  int host = rs.ColumnIndex("HOSTNAME"), value = rs.ColumnIndex("AVERAGE_VALUE");
  int n = 0;
  for (; !rs.AtEnd(); rs.MoveNext(), ++n) {
    ASSERT_EQ(rs.Value(host).ToText(), "h" + std::to_string(1000 + n));
    ASSERT_EQ(rs.Value(value).ToDouble(), n + 0.25);
  }
  EXPECT_EQ(n, 300);
  auto empty = conn->OpenResultSet("SELECT HOSTNAME FROM HX_SYSTEM_SUMMARY WHERE 1 = 0");
  EXPECT_TRUE(empty.AtEnd());
}

TEST_F(Module1Db, LongTextColumnsAreReadWhole) {
  auto conn = ObtainConnection(*ds_);
  std::string big(5000, 'z');
  Exec("CREATE TABLE LONGTEXT_TEST (T TEXT)");
  Exec("INSERT INTO LONGTEXT_TEST VALUES ('" + big + "')");
  auto rs = conn->OpenResultSet("SELECT T FROM LONGTEXT_TEST");
  EXPECT_EQ(rs.Value("T").ToText(), big);
  rs.Close();
  Exec("DROP TABLE LONGTEXT_TEST");
}

TEST_F(Module1Db, FailedStatementFillsTheErrorList) {
  auto conn = ObtainConnection(*ds_);
  try {
    Handled("Lib.Class.Method:", "Error testing",
            [&] { conn->OpenResultSet("SELECT NOPE FROM NO_SUCH_TABLE"); });
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kDatabaseError);
    EXPECT_EQ(e.source(), "Lib.Class.Method:ODBC");
    EXPECT_EQ(e.description().rfind("Error testing:\r\n", 0), 0u) << e.description();
    EXPECT_NE(e.description().find("\r\nError Number: "), std::string::npos) << e.description();
    std::string lower = e.description();
    for (auto& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_NE(lower.find("no_such_table"), std::string::npos) << e.description();
  }
  EXPECT_TRUE(ThreadEnvironment().errors().empty());
}

TEST_F(Module1Db, NamesInOtherLetterCaseShareAConnection) {
  auto a = ObtainConnection(*ds_);
  auto upper = testbed::MakeDataSource();
  std::string name = testbed::CurrentBackend().dsn;
  for (auto& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  upper->Set("Name", name);
  size_t before = CachedConnectionCount();
  auto b = ObtainConnection(*upper);
  EXPECT_EQ(a.get(), b.get());
  EXPECT_EQ(CachedConnectionCount(), before);
}

TEST_F(Module1Db, AnotherThreadOpensItsOwn) {
  auto here = ObtainConnection(*ds_);
  const CachedConnection* there = nullptr;
  size_t thereCount = 0;
  std::thread t([&] {
    auto c = ObtainConnection(*ds_);
    there = c.get();
    thereCount = CachedConnectionCount();
    c->OpenResultSet("SELECT HOSTNAME FROM HX_SYSTEM_SUMMARY").Close();
  });
  t.join();
  EXPECT_NE(there, here.get());
  EXPECT_EQ(thereCount, 1u);
}

TEST_F(Module1Db, MissingPropertyReachesTheCallerUnchanged) {
  trend::PlainDataSource noName("x", "u", "p");
  noName.Remove("Name");
  try {
    ObtainConnection(noName);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kMemberNotFound);
    EXPECT_EQ(e.source(), "TrendTest");
  }
}

TEST_F(Module1Db, FailedOpenIsRetriedOnTheNextCall) {
  size_t before = CachedConnectionCount();
  if (testbed::HasLogins()) {
    auto wrong = testbed::MakeDataSource();
    wrong->Set("Password", "wrong-password");
    try {
      ObtainConnection(*wrong);
      FAIL();
    } catch (const db::DatabaseError& e) {
      EXPECT_EQ(e.source(), "ODBC");
      EXPECT_FALSE(ThreadEnvironment().errors().empty());
    }
    EXPECT_EQ(CachedConnectionCount(), before);
    auto right = testbed::MakeDataSource();
    EXPECT_NO_THROW(ObtainConnection(*right));
  } else {
    // The late DSN's database lies in a folder that does not exist yet.
    std::string dir = std::getenv("TREND_SQLITE_LATE_DIR");
    std::system(("rm -rf '" + dir + "'").c_str());
    trend::PlainDataSource late(std::getenv("TREND_SQLITE_LATE_DSN"), "", "");
    EXPECT_THROW(ObtainConnection(late), db::DatabaseError);
    EXPECT_EQ(CachedConnectionCount(), before);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    auto c = ObtainConnection(late);
    EXPECT_EQ(CachedConnectionCount(), before + 1);
    c->Execute("CREATE TABLE IF NOT EXISTS T (X INTEGER)");
  }
}

TEST_F(Module1Db, AnotherLoginNeverRidesOnACachedConnection) {
  auto a = ObtainConnection(*ds_);
  if (testbed::HasLogins()) {
    auto wrong = testbed::MakeDataSource();
    wrong->Set("Password", "not-the-password");
    EXPECT_THROW(ObtainConnection(*wrong), db::DatabaseError);
  } else {
    auto other = testbed::MakeDataSource();
    other->Set("Password", "another");
    auto b = ObtainConnection(*other);
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(ObtainConnection(*other).get(), b.get());
  }
  EXPECT_EQ(ObtainConnection(*ds_).get(), a.get());
}

TEST_F(Module1Db, CredentialsWithSpecialCharactersLogIn) {
  if (!testbed::HasLogins()) GTEST_SKIP() << "SQLite has no logins";
  // Neither value can add a connection attribute, and both reach the server unchanged.
  const std::string password = " p;w}{+%x y=1;UID=postgres ";
  const std::string user = "trend;{u} x ";
  auto quoted = [](const std::string& s, char q) {
    std::string out(1, q);
    for (char c : s) out += c == q ? std::string(2, q) : std::string(1, c);
    return out + q;
  };
  if (testbed::IsPostgres()) {
    Exec("DROP ROLE IF EXISTS " + quoted(user, '"'));
    Exec("CREATE ROLE " + quoted(user, '"') + " LOGIN PASSWORD " + quoted(password, '\''));
  } else {
    Exec("DROP USER IF EXISTS " + quoted(user, '\'') + "@'127.0.0.1'");
    Exec("CREATE USER " + quoted(user, '\'') + "@'127.0.0.1' IDENTIFIED BY " +
         quoted(password, '\''));
    Exec("GRANT SELECT ON trend.* TO " + quoted(user, '\'') + "@'127.0.0.1'");
  }
  trend::PlainDataSource special(testbed::CurrentBackend().dsn, user, password);
  auto c = ObtainConnection(special);
  auto rs = c->OpenResultSet(testbed::IsPostgres() ? "SELECT CURRENT_USER AS U"
                                                   : "SELECT SUBSTRING_INDEX(CURRENT_USER(), "
                                                     "'@', 1) AS U");
  EXPECT_EQ(rs.Value("U").ToText(), user);
  rs.Close();
  trend::PlainDataSource wrong(testbed::CurrentBackend().dsn, user, "p");
  EXPECT_THROW(ObtainConnection(wrong), db::DatabaseError);
}

TEST_F(Module1Db, ANameThatIsNoDataSourceNameIsRefused) {
  const std::string dsn = testbed::CurrentBackend().dsn;
  for (const std::string& name :
       {dsn + ";Database=/tmp/trend-other.db", dsn + "}", "{" + dsn + "}", dsn + "@x"}) {
    trend::PlainDataSource bad(name, testbed::CurrentBackend().user,
                               testbed::CurrentBackend().password);
    try {
      ObtainConnection(bad);
      FAIL() << name;
    } catch (const db::DatabaseError& e) {
      EXPECT_EQ(e.source(), "ODBC");
      EXPECT_NE(e.description().find("is not a valid data source name"), std::string::npos)
          << e.description();
    }
  }
  EXPECT_FALSE(std::filesystem::exists("/tmp/trend-other.db"));
}

TEST_F(Module1Db, QualifierNamesTheSchema) {
  if (!testbed::HasLogins()) GTEST_SKIP() << "SQLite has no schemas";
  // A schema on PostgreSQL, a database on MariaDB.
  const char* kind = testbed::IsPostgres() ? "SCHEMA" : "DATABASE";
  Exec(std::string("DROP ") + kind + " IF EXISTS perf" + (testbed::IsPostgres() ? " CASCADE" : ""));
  Exec(std::string("CREATE ") + kind + " perf");
  Exec(
      "CREATE TABLE perf.HX_SYSTEM_SUMMARY (HOSTNAME VARCHAR(128), PROBE VARCHAR(128), "
      "AVERAGE_VALUE DOUBLE PRECISION)");
  Exec("INSERT INTO perf.HX_SYSTEM_SUMMARY VALUES ('q', 'p', 1)");
  auto ds = testbed::MakeDataSource("perf");
  auto c = ObtainConnection(*ds);
  auto rs = c->OpenResultSet("SELECT HOSTNAME FROM " + QualifierPrefix(*ds) + "HX_SYSTEM_SUMMARY");
  EXPECT_EQ(rs.Value("HOSTNAME").ToText(), "q");
  rs.Close();
  Exec(std::string("DROP ") + kind + " perf" + (testbed::IsPostgres() ? " CASCADE" : ""));
}

}  // namespace
