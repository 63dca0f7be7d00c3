// A database server restarting, going away or freezing under a cached connection, on
// PostgreSQL and on MariaDB. Each case stops or restarts the server: they run alone.
#include <chrono>
#include <thread>

#include "module1.h"
#include "orrery_class.h"
#include "testbed.h"

using namespace trend;
using namespace trend::Module1;

namespace {

class ServerOutage : public testbed::DbTest {
 protected:
  void TearDown() override {
    if (testbed::IsPostgres()) testbed::TestDbScript("thaw");
    Server("start");  // whatever the test did
    DbTest::TearDown();
  }
  // The test database script's command for this backend's server only.
  static void Server(const std::string& command) {
    testbed::TestDbScript(command, testbed::IsPostgres() ? "pg" : "maria");
  }
  int SessionId(CachedConnection& c) {
    auto rs = c.OpenResultSet(testbed::IsPostgres() ? "SELECT pg_backend_pid() AS PID"
                                                    : "SELECT CONNECTION_ID() AS PID");
    return rs.Value("PID").ToInt32();
  }
};

TEST_F(ServerOutage, RestartBetweenTwoCallsCostsNoFailedCall) {
  int before = SessionId(*ObtainConnection(*ds_));
  Server("restart");
  // The cached connection is dead; the statement runs again on a fresh one.
  auto conn = ObtainConnection(*ds_);
  int after = 0;
  EXPECT_NO_THROW(after = SessionId(*conn));
  if (testbed::IsPostgres()) {
    EXPECT_NE(after, before);  // MariaDB counts sessions from 1 again
  }
  EXPECT_EQ(CachedConnectionCount(), 1u);
  EXPECT_EQ(ObtainConnection(*ds_).get(), conn.get());
}

TEST_F(ServerOutage, SummaryRefreshAfterARestart) {
  testbed::HourlyRow r{"web01", "avgcpubusy", "", "2001-06-30"};
  r.daily = 7;
  Exec(testbed::InsertHourly("HX_METRICS", r));
  orrery::OrreryClass c;
  c.UpdateSystemSummary("2001-06-01", "2001-06-30", *ds_);
  Exec("INSERT INTO HX_SYSTEM_SUMMARY VALUES ('stale', 'avgcpubusy', 1)");
  Server("restart");
  ReopenAdmin();
  // Nothing had run in the refresh's transaction when the loss showed: it starts again on a
  // fresh connection.
  EXPECT_NO_THROW(c.UpdateSystemSummary("2001-06-01", "2001-06-30", *ds_));
  EXPECT_EQ(Query("SELECT HOSTNAME, AVERAGE_VALUE FROM HX_SYSTEM_SUMMARY"),
            (std::vector<std::vector<std::string>>{{"web01", "7"}}));
}

TEST_F(ServerOutage, ALossAfterAStatementOfATransactionFailsTheCall) {
  auto conn = ObtainConnection(*ds_);
  conn->BeginTransaction();
  conn->Execute("DELETE FROM HX_SYSTEM_SUMMARY");
  Server("restart");
  EXPECT_THROW(conn->Execute("DELETE FROM HX_SYSTEM_SUMMARY"), db::DatabaseError);
  try {
    conn->EndTransaction();  // on a dead connection: may fail, as the refresh's cleanup allows
  } catch (const db::DatabaseError&) {
  }
  EXPECT_EQ(CachedConnectionCount(), 0u);  // the dead connection left the cache
  EXPECT_NO_THROW(SessionId(*ObtainConnection(*ds_)));
}

TEST_F(ServerOutage, ServerDownForGoodThenBack) {
  SessionId(*ObtainConnection(*ds_));
  Server("stop");
  auto conn = ObtainConnection(*ds_);  // still cached: nobody knows yet
  try {
    Handled("Lib.Class.Method:", "Error testing", [&] { SessionId(*conn); });
    FAIL() << "the server is down";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kDatabaseError);
    EXPECT_EQ(e.source(), "Lib.Class.Method:ODBC");
    EXPECT_EQ(e.description().rfind("Error testing:\r\n", 0), 0u);
    EXPECT_NE(e.description().find("Error Number: "), std::string::npos) << e.description();
  }
  EXPECT_EQ(CachedConnectionCount(), 0u);                   // the dead connection left the cache
  EXPECT_THROW(ObtainConnection(*ds_), db::DatabaseError);  // opening fails while down
  Server("start");
  EXPECT_NO_THROW(SessionId(*ObtainConnection(*ds_)));
}

TEST_F(ServerOutage, AFrozenServerTimesTheLoginOut) {
  if (!testbed::IsPostgres()) GTEST_SKIP() << "the frozen-server case uses PostgreSQL";
  // The quick data source sets LoginTimeout=2; the server takes the connection but never
  // answers.
  PlainDataSource quick(std::getenv("TREND_PG_QUICK_DSN"), testbed::CurrentBackend().user,
                        testbed::CurrentBackend().password);
  EXPECT_NO_THROW(ObtainConnection(quick));
  testbed::TestDbScript("freeze");
  const auto start = std::chrono::steady_clock::now();
  std::thread fresh([&] {  // a thread of its own: an empty cache, so a new login
    try {
      ObtainConnection(quick);
      ADD_FAILURE() << "a frozen server cannot log anybody in";
    } catch (const db::DatabaseError& e) {
      EXPECT_NE(e.description().find("timeout"), std::string::npos) << e.description();
    }
  });
  fresh.join();
  const auto waited = std::chrono::steady_clock::now() - start;
  testbed::TestDbScript("thaw");
  EXPECT_LT(waited, std::chrono::seconds(20));  // bounded, not the default 30 s or forever
}

}  // namespace
