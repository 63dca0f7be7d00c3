// The real trendhost binary against the real libraries and the test database.
#include <algorithm>
#include <filesystem>

#include "host_test.h"

namespace {

using testbed::HostRun;
using Trendhost = testbed::HostTest;
using testbed::Slurp;

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
  // Accelerator 300 adds 0.1 a day. The counter flag is part of the request: the second
  // call reads the rows again as increases, as a call of its own does (a flat series: 0).
  const HostRun own = Call(
      With(With({"LanyardFunctions.LanyardClass", "TrendValue"}, kKey), {"30", "0", "2", "1"}));
  EXPECT_EQ(own.out, "0\n") << own.err;
  EXPECT_EQ(r.out, "73\n" + own.out);
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

TEST_F(Trendhost, AShortPasswordIsMaskedOnlyWhereItStandsAsAValue) {
  // "e" appears in nearly every word of the driver manager's message; it must stay readable.
  HostRun r =
      Host({"call", "--dsn", "no_such_source", "--password", "e", "OrreryFunctions.OrreryClass",
            "StandardDeviation", "web01", "p", "", "2001-06-01", "2001-06-30"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Driver Manager"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Data source name not found"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("********"), std::string::npos) << r.err;
  // As a value in an echoed text it is masked; a longer password wherever it appears.
  r = Host({"call", "--dsn", "no_such_source", "--password", "pw1", "OrreryFunctions.OrreryClass",
            "TrendValue", "web01", "p", "", "2001-06-01", "2001-06-30", "PWD=pw1;", "0", "2"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("\"PWD=********;\" is not a Single"), std::string::npos) << r.err;
  r = Host({"call", "--dsn", "no_such_source", "--password", "s3cret",
            "OrreryFunctions.OrreryClass", "TrendValue", "web01", "p", "", "2001-06-01",
            "2001-06-30", "xs3crety", "0", "2"});
  EXPECT_NE(r.err.find("\"x********y\""), std::string::npos) << r.err;
}

TEST_F(Trendhost, StoredCredentialsOfTheDataSourceStayInForce) {
  if (!testbed::IsPostgres())
    GTEST_SKIP() << "the data source with stored credentials is PostgreSQL";
  // The data source stores Username and Password; --dsn alone logs in with them.
  HostRun r =
      Host({"call", "--dsn", std::getenv("TREND_PG_STORED_DSN"), "OrreryFunctions.OrreryClass",
            "StandardDeviation", "web01", "avgcpubusy", "", "2001-06-01", "2001-06-30"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "1\n");
  // A password given explicitly still takes precedence over the stored one.
  r = Host({"call", "--dsn", std::getenv("TREND_PG_STORED_DSN"), "--password", "wrong",
            "OrreryFunctions.OrreryClass", "StandardDeviation", "web01", "avgcpubusy", "",
            "2001-06-01", "2001-06-30"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("password authentication failed"), std::string::npos) << r.err;
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
