// The PostgreSQL server restarting or going away under a cached connection.
#include "module1.h"
#include "testbed.h"

using namespace trend;
using namespace trend::Module1;

namespace {

class PgOutage : public testbed::DbTest {
 protected:
  void TearDown() override { testbed::TestDbScript("start"); }  // whatever the test did

  int BackendPid(CachedConnection& c) {
    auto rs = c.OpenResultSet("SELECT pg_backend_pid() AS PID");
    return rs.Value("PID").ToInt32();
  }
};

TEST_F(PgOutage, RestartBetweenTwoCallsCostsNoFailedCall) {
  int before = BackendPid(*ObtainConnection(*ds_));
  testbed::TestDbScript("restart");
  // The cached connection is dead; the statement runs again on a fresh one.
  auto conn = ObtainConnection(*ds_);
  int after = 0;
  EXPECT_NO_THROW(after = BackendPid(*conn));
  EXPECT_NE(after, before);
  EXPECT_EQ(CachedConnectionCount(), 1u);
  EXPECT_EQ(ObtainConnection(*ds_).get(), conn.get());
}

TEST_F(PgOutage, ServerDownForGoodThenBack) {
  BackendPid(*ObtainConnection(*ds_));
  testbed::TestDbScript("stop");
  auto conn = ObtainConnection(*ds_);  // still cached: nobody knows yet
  try {
    Handled("Lib.Class.Method:", "Error testing", [&] { BackendPid(*conn); });
    FAIL() << "the server is down";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kDatabaseError);
    EXPECT_EQ(e.source(), "Lib.Class.Method:ODBC");
    EXPECT_EQ(e.description().rfind("Error testing:\r\n", 0), 0u);
    EXPECT_NE(e.description().find("Error Number: "), std::string::npos) << e.description();
  }
  EXPECT_EQ(CachedConnectionCount(), 0u);                   // the dead connection left the cache
  EXPECT_THROW(ObtainConnection(*ds_), db::DatabaseError);  // opening fails while down
  testbed::TestDbScript("start");
  EXPECT_NO_THROW(BackendPid(*ObtainConnection(*ds_)));
}

}  // namespace
