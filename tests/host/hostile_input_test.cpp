// Hostile texts through the real host and libraries, on every backend: a login text that
// tries to add connection attributes, literals that try to end their quotes with a
// backslash, and a qualifier that tries to carry a statement. None may have any effect.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "host_test.h"

namespace {

using testbed::HostRun;

const std::vector<std::string> kRange = {"2001-06-01", "2001-06-30"};

class HostileInput : public testbed::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    marker_ = (dir_ / "marker").string();
  }
  // TrendValue 30 days ahead (style 2) of a series, through trendhost with the backend's
  // login and `options` in front of the class.
  HostRun Forecast(const std::string& progId, const std::string& host, const std::string& probe,
                   const std::string& arg, std::vector<std::string> options = {}) {
    auto args = Login();
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(),
                {progId, "TrendValue", host, probe, arg, kRange[0], kRange[1], "30", "0", "2"});
    return Host(args, {"TREND_MARKER_FILE=" + marker_});
  }
  std::string marker_;
};

// The marker extension works: loaded by anything, it leaves its file. Without this the
// tests below could not tell a refused attack from a harmless one.
TEST_F(HostileInput, TheMarkerExtensionLeavesItsFileWhenLoaded) {
  pid_t child = fork();
  if (child == 0) {
    setenv("TREND_MARKER_FILE", marker_.c_str(), 1);
    _exit(dlopen(TREND_MARKER_EXTENSION, RTLD_NOW) ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(std::filesystem::exists(marker_));
}

TEST_F(HostileInput, LoginTextsAddNoConnectionAttribute) {
  const auto& b = testbed::CurrentBackend();
  const std::string other = (dir_ / "other.db").string();
  const std::string loadExt = "x;LoadExt=" + std::string(TREND_MARKER_EXTENSION) + ";";
  struct Attack {
    std::string user, password;
  } attacks[] = {
      {b.user, loadExt},
      {b.user, "{x};LoadExt=" + std::string(TREND_MARKER_EXTENSION) + ";"},
      {"x;Database=" + other, b.password},
      {b.user + ";Database=" + other, b.password},
  };
  for (const auto& a : attacks) {
    HostRun r = Host({"call", "--dsn", b.dsn, "--user", a.user, "--password", a.password,
                      "OrreryFunctions.OrreryClass", "StandardDeviation", "web01", "avgcpubusy", "",
                      kRange[0], kRange[1]},
                     {"TREND_MARKER_FILE=" + marker_});
    // SQLite has no logins: the texts are ignored and the call answers from the right file.
    // A server refuses the login.
    if (testbed::HasLogins())
      EXPECT_EQ(r.status, 1) << r.out << r.err;
    else
      EXPECT_EQ(r.out, "1\n") << r.err;
    EXPECT_FALSE(std::filesystem::exists(marker_)) << a.user << " / " << a.password;
    EXPECT_FALSE(std::filesystem::exists(other)) << a.user;
  }
}

TEST_F(HostileInput, ANameThatIsNoDataSourceNameIsRefused) {
  const auto& b = testbed::CurrentBackend();
  HostRun r = Host({"call", "--dsn", b.dsn + ";LoadExt=" + TREND_MARKER_EXTENSION, "--user", b.user,
                    "--password", b.password, "OrreryFunctions.OrreryClass", "StandardDeviation",
                    "web01", "avgcpubusy", "", kRange[0], kRange[1]},
                   {"TREND_MARKER_FILE=" + marker_});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("is not a valid data source name"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(marker_));
}

TEST_F(HostileInput, BackslashesAreOrdinaryCharactersInEveryLiteral) {
  Exec("DROP TABLE IF EXISTS pwn2");
  ServerEscapesBackslashes();
  // Stored names with backslashes and apostrophes are matched exactly.
  // Their series rises faster than web01's, so that a fit over the wrong rows shows.
  const std::string odd = "back\\slash'x\\";
  for (const std::string& host : {odd, std::string("plain")}) {
    Row("HX_METRICS", host, "avgcpubusy", "2001-06-30", 20);
    Row("HX_METRICS", host, "avgcpubusy", "2001-06-29", 10);
    Row("DOMINO_METRICS", "web01", host, "2001-06-30", 20);
    Row("DOMINO_METRICS", "web01", host, "2001-06-29", 10);
  }
  const std::string expected =
      Forecast("OrreryFunctions.OrreryClass", "plain", "avgcpubusy", "").out;
  EXPECT_NE(expected, "0\n");
  HostRun r = Forecast("OrreryFunctions.OrreryClass", odd, "avgcpubusy", "");
  EXPECT_EQ(r.out, expected) << r.err;
  r = Forecast("OrreryFunctions.OrreryClass", "back\\\\slash'x\\", "avgcpubusy", "");
  EXPECT_EQ(r.out, "0\n") << r.err;  // another name: no rows
  r = Forecast("LanyardFunctions.LanyardClass", "web01", odd, "");
  EXPECT_EQ(r.out, expected) << r.err;

  // A backslash before the doubled apostrophe would end the literal where backslashes
  // escape: the rest would run as SQL. Every text of every statement builder.
  const std::string create = "\\'; CREATE TABLE pwn2 (x int); --";
  const std::string widen = "x\\' OR 1=1 -- ";
  for (const auto& text : {create, widen}) {
    for (const char* progId : {"OrreryFunctions.OrreryClass", "LanyardFunctions.LanyardClass",
                               "TesselFunctions.TesselClass"}) {
      for (int position = 0; position < 3; ++position) {
        std::vector<std::string> key = {"web01", "avgcpubusy", ""};
        key[position] = text;
        r = Forecast(progId, key[0], key[1], key[2]);
        EXPECT_EQ(r.out, "0\n") << progId << " " << position << ": " << r.err;
      }
    }
    r = Call({"OrreryFunctions.OrreryClass", "GetRanges", "--", "CalculateRank", text, "CPU"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "\n0\n") << r.err;
  }
  EXPECT_FALSE(TableExists("pwn2"));
  EXPECT_EQ(Query("SELECT COUNT(*) FROM HX_METRICS")[0][0], "6");
}

TEST_F(HostileInput, AQualifierCarriesNoStatement) {
  Exec("DROP TABLE IF EXISTS pwnq");
  Exec("INSERT INTO HX_SYSTEM_SUMMARY VALUES ('web01', 'avgcpubusy', 9)");
  const std::string qualifier = testbed::IsPostgres() ? "public" : "trend";
  for (const std::string& bad :
       {qualifier + ".HX_METRICS; CREATE TABLE pwnq (x int); --", qualifier + " --",
        std::string("x.HX_SYSTEM_SUMMARY --"), std::string("1x"), std::string("a..b")}) {
    HostRun r =
        Forecast("OrreryFunctions.OrreryClass", "web01", "avgcpubusy", "", {"--qualifier", bad});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("error 5: OrreryFunctions.OrreryClass.CalculateRegression:Orrery\n", 0),
              0u)
        << r.err;
    EXPECT_NE(r.err.find("is not a table qualifier"), std::string::npos) << r.err;
    auto args = Login();
    args.insert(args.end(), {"--qualifier", bad, "OrreryFunctions.OrreryClass",
                             "UpdateSystemSummary", kRange[0], kRange[1]});
    r = Host(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("error 5: OrreryFunctions.OrreryClass.UpdateSystemSummary:Orrery\n", 0),
              0u)
        << r.err;
  }
  EXPECT_FALSE(TableExists("pwnq"));
  EXPECT_EQ(Query("SELECT COUNT(*) FROM HX_SYSTEM_SUMMARY")[0][0], "1");
  EXPECT_EQ(Query("SELECT COUNT(*) FROM HX_METRICS")[0][0], "2");
  // A plain dotted qualifier still works where the backend has one.
  if (testbed::HasLogins()) {
    HostRun r = Forecast("OrreryFunctions.OrreryClass", "web01", "avgcpubusy", "",
                         {"--qualifier", qualifier});
    EXPECT_EQ(r.out, "70\n") << r.err;
  }
}

}  // namespace
