// The real trendhost binary against the real libraries and the test database.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "testbed.h"

namespace {

struct HostRun {
  int status;
  std::string out, err;
};

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class Trendhost : public testbed::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    dir_ =
        std::filesystem::temp_directory_path() / ("trendhost-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    ASSERT_EQ(Host({"register", TREND_LIB_DIR "/Orrery.so", TREND_LIB_DIR "/Vantor.so",
                    TREND_LIB_DIR "/Lanyard.so", TREND_LIB_DIR "/Tessel.so"})
                  .status,
              0);
    for (const char* table : {"HX_METRICS", "DOMINO_METRICS"}) {
      Row(table, "web01", "avgcpubusy", "2001-06-30", 9.5);
      Row(table, "web01", "avgcpubusy", "2001-06-29", 8.5);
    }
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void Row(const std::string& table, const std::string& host, const std::string& probe,
           const std::string& day, double v) {
    testbed::HourlyRow r{host, probe, "", day};
    r.avg.assign(24, v);
    r.min.assign(24, v);
    r.daily = r.maxHourly = r.maxDaily = v;
    Exec(testbed::InsertHourly(table, r));
  }

  // Runs trendhost with the arguments; the registry lives in the test's own folder.
  HostRun Host(const std::vector<std::string>& args) {
    // The driver manager unloads its ini library with cached data still allocated;
    // preloading it keeps it (and the sanitizer's leak report) quiet.
    std::string cmd =
        "TREND_REGISTRY=" + Quote((dir_ / "registry").string()) +
        " LD_PRELOAD=libodbcinst.so.2 ASAN_OPTIONS=verify_asan_link_order=0 " TREND_HOST;
    for (const auto& a : args) cmd += " " + Quote(a);
    std::string err = (dir_ / "stderr").string();
    cmd += " 2>" + Quote(err);
    HostRun r{};
    FILE* p = popen(cmd.c_str(), "r");
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
    int s = pclose(p);
    r.status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
    r.err = Slurp(err);
    return r;
  }
  std::vector<std::string> Login() {
    const auto& b = testbed::CurrentBackend();
    return {"call", "--dsn", b.dsn, "--user", b.user, "--password", b.password};
  }
  HostRun Call(std::vector<std::string> words) {
    auto args = Login();
    args.insert(args.end(), words.begin(), words.end());
    return Host(args);
  }
  std::filesystem::path dir_;
};

const std::vector<std::string> kKey = {"web01", "avgcpubusy", "", "2001-06-01", "2001-06-30"};
std::vector<std::string> With(std::vector<std::string> head, std::vector<std::string> tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

TEST_F(Trendhost, ClassesAndMethods) {
  HostRun c = Host({"classes"});
  EXPECT_EQ(c.status, 0);
  for (const char* id : {"OrreryFunctions.OrreryClass", "VantorFunctions.VantorClass",
                         "LanyardFunctions.LanyardClass", "TesselFunctions.TesselClass"})
    EXPECT_NE(c.out.find(id), std::string::npos) << c.out;
  EXPECT_NE(c.out.find("Vantor.so  1.0.0.1"), std::string::npos);
  HostRun m = Host({"methods", "LanyardFunctions.LanyardClass"});
  EXPECT_EQ(m.status, 0);
  EXPECT_NE(m.out.find("0x60030000 TrendValue(sHostname As String"), std::string::npos) << m.out;
  EXPECT_NE(m.out.find("[iCounterFlag As Integer = 0]) As Double"), std::string::npos) << m.out;
  EXPECT_NE(Host({"methods", "VantorFunctions.VantorClass"})
                .out.find("HourlyQuery(ByVal DataSource As Object) As Integer"),
            std::string::npos);
  EXPECT_EQ(Host({"call", "--help"}).status, 0);
}

TEST_F(Trendhost, ACallSequenceOnOneInstance) {
  std::string csv = (dir_ / "f.csv").string();
  HostRun r = Call(With(With({"OrreryFunctions.OrreryClass", "TrendValue"}, kKey),
                        {"30", "0", "2", "--", "TrendValue"}));
  EXPECT_EQ(r.status, 2) << "TrendValue without its arguments is a usage error, and nothing runs";
  EXPECT_EQ(r.out, "");
  // clang-format off
  const std::vector<std::string> sequence = With(
      With(With({"OrreryFunctions.OrreryClass", "TrendValue"}, kKey), {"30", "0", "2", "--", "DaysToValue"}),
      With(kKey, {"100", "0", "-1", "--", "InitializeFile", csv, "--",
                  "PrintForecast", "web01", "web01", "avgcpubusy", "", "2001-06-01", "2001-06-30", "0", "CPU", "0", "1",
                  "--", "UpdateSystemSummary", "2001-06-01", "2001-06-30", "--", "StandardDeviation"}));
  // clang-format on
  r = Call(sequence);
  EXPECT_EQ(r.status, 2);  // StandardDeviation lacks its five key texts: nothing runs
  EXPECT_EQ(r.out, "");
  r = Call(With(sequence, kKey));
  EXPECT_EQ(r.status, 0) << r.err;
  // 70; style -1 gives 0; two lines without a result; an empty variant; the spread 1.
  EXPECT_EQ(r.out, "70\n0\n\n\n\n1\n");
  std::string file = Slurp(csv);
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 1 + 24 + 24);
  // Ranks need GetRanges on the same instance.
  Exec("INSERT INTO HX_METRIC_SUMMARY VALUES ('avgcpubusy', 1, 5, 20)");
  Exec("INSERT INTO HX_METRIC_SUMMARY VALUES ('runqjobs', 1, 5, 20)");
  r = Call({"OrreryFunctions.OrreryClass", "CalculateRank", "web01", "CPU", "--", "GetRanges", "--",
            "CalculateRank", "web01", "CPU"});
  EXPECT_EQ(r.status, 0) << r.err;
  // Bands 1, 3, 5, 12.5, 20: the summary's 9 lies in band 3; no run-queue row: (3 + 0) / 2.
  EXPECT_EQ(r.out, "0\n\n1.5\n");
}

TEST_F(Trendhost, ArgumentsConvertAndOptionalOnesMayBeLeftOut) {
  HostRun r = Call(With(With({"LanyardFunctions.LanyardClass", "TrendValue"}, kKey),
                        {"30.0", "3e2", "2", "--", "TrendValue", "web01", "avgcpubusy", "",
                         "2001-06-01", "2001-06-30", "30", "0", "2", "1"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "73\n70\n");  // accelerator 300 adds 0.1 a day; the flag is no part of the request
  r = Call(With(With({"LanyardFunctions.LanyardClass", "TrendValue"}, kKey),
                {"30", "0", "2", "1", "7"}));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("takes 8 to 9 arguments, 10 given"), std::string::npos) << r.err;
}

TEST_F(Trendhost, RaisedErrorsAndUsageErrors) {
  HostRun r = Call(With({"OrreryFunctions.OrreryClass", "TrendValue", "web01", "avgcpubusy", "",
                         "2001-06-01", "2001-02-30"},
                        {"30", "0", "2"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "error 13: OrreryFunctions.OrreryClass.CalculateRegression:Orrery\n"
            "Error calculating HX Trends:\nType mismatch\nType mismatch\n");
  struct Case {
    std::vector<std::string> words;
    std::string message;
  } usage[] = {
      {{"Nope.Class", "TrendValue"}, "unknown class Nope.Class"},
      {{"OrreryFunctions.OrreryClass", "Trend"}, "unknown method Trend"},
      {{"OrreryFunctions.OrreryClass", "TrendValue", "web01"}, "takes 8 arguments, 1 given"},
      {With(With({"OrreryFunctions.OrreryClass", "TrendValue"}, kKey), {"soon", "0", "2"}),
       "\"soon\" is not a Single"},
      {{"OrreryFunctions.OrreryClass", "GetRanges", "--"}, "must be followed by a method"},
  };
  for (const auto& u : usage) {
    HostRun x = Call(u.words);
    EXPECT_EQ(x.status, 2) << u.message;
    EXPECT_EQ(x.out, "");
    EXPECT_NE(x.err.find(u.message), std::string::npos) << x.err;
  }
  EXPECT_EQ(Host({"frobnicate"}).status, 2);
}

TEST_F(Trendhost, ThePasswordNeverShows) {
  const std::string secret = "s3cr3t-Pw";
  auto args = Login();
  args[6] = secret;
  for (auto words :
       {With(With({"OrreryFunctions.OrreryClass", "TrendValue"}, kKey), {secret, "0", "2"}),
        With(With({"OrreryFunctions.OrreryClass", "TrendValue"}, kKey), {"30", "0", "2"}),
        std::vector<std::string>{"OrreryFunctions.OrreryClass", "CalculateRank", secret, "cpu"}}) {
    auto all = args;
    all.insert(all.end(), words.begin(), words.end());
    HostRun r = Host(all);
    EXPECT_EQ(r.out.find(secret), std::string::npos);
    EXPECT_EQ(r.err.find(secret), std::string::npos) << r.err;
  }
}

TEST_F(Trendhost, LibraryOptionNeedsNoRegistry) {
  std::filesystem::remove_all(dir_ / "registry");
  auto args = Login();
  args.insert(args.end(),
              {"--library", TREND_LIB_DIR "/Tessel.so", "TesselFunctions.TesselClass", "TrendValue",
               "nobody", "p", "", "2001-06-01", "2001-06-30", "30", "3000", "1"});
  HostRun r = Host(args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "30\n");
}

}  // namespace
