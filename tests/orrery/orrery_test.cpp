// OrreryClass answers from a model it already holds: forecasts, counts and the forecast
// file, without a database.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "error.h"
#include "orrery_peer.h"

using namespace trend;
using orrery::OrreryClass;
using orrery::OrreryTestPeer;

namespace {

// A DataSource that no database knows: any query would fail, so an answer proves the
// remembered model was used.
const PlainDataSource kNoDatabase("no_such_dsn", "", "");
const std::string H = "web01", P = "avgcpubusy", A = "", F = "2001-01-01", L = "2001-05-17";

class OrreryModel : public ::testing::Test {
 protected:
  void SetUp() override { peer_.Remember(H, P, A, F, L); }
  double Trend(float days, float acc, int16_t style) {
    return c_.TrendValue(H, P, A, F, L, days, acc, style, kNoDatabase);
  }
  int32_t Days(float threshold, float acc, int16_t style) {
    return c_.DaysToValue(H, P, A, F, L, threshold, acc, style, kNoDatabase);
  }
  OrreryClass c_;
  OrreryTestPeer peer_{c_};
};

TEST(OrreryStatement, FullTextFromTheFragments) {
  std::string expected =
      "SELECT COLLECTION_DATE, "
      "AVG_VALUE_00, AVG_VALUE_01, AVG_VALUE_02, AVG_VALUE_03, AVG_VALUE_04, AVG_VALUE_05, "
      "AVG_VALUE_06, AVG_VALUE_07, AVG_VALUE_08, AVG_VALUE_09, AVG_VALUE_10, AVG_VALUE_11, "
      "AVG_VALUE_12, AVG_VALUE_13, AVG_VALUE_14, AVG_VALUE_15, AVG_VALUE_16, AVG_VALUE_17, "
      "AVG_VALUE_18, AVG_VALUE_19, AVG_VALUE_20, AVG_VALUE_21, AVG_VALUE_22, AVG_VALUE_23, "
      "MIN_VALUE_00, MIN_VALUE_01, MIN_VALUE_02, MIN_VALUE_03, MIN_VALUE_04, MIN_VALUE_05, "
      "MIN_VALUE_06, MIN_VALUE_07, MIN_VALUE_08, MIN_VALUE_09, MIN_VALUE_10, MIN_VALUE_11, "
      "MIN_VALUE_12, MIN_VALUE_13, MIN_VALUE_14, MIN_VALUE_15, MIN_VALUE_16, MIN_VALUE_17, "
      "MIN_VALUE_18, MIN_VALUE_19, MIN_VALUE_20, MIN_VALUE_21, MIN_VALUE_22, MIN_VALUE_23, "
      "AVG_DAILY_VALUE, MAX_HOURLY_AVG FROM perf.HX_METRICS "
      "WHERE COLLECTION_DATE BETWEEN {d '2001-01-01'} AND {d '2001-06-30'}AND HOSTNAME = "
      "'O''Neil''s' "
      "AND PROBE = 'avgcpubusy' AND PROBE_ARG = 'c''0' ";
  EXPECT_EQ(orrery::MetricsStatement("perf.", "{d '2001-01-01'}", "{d '2001-06-30'}", "O'Neil's",
                                     "avgcpubusy", "c'0"),
            expected);
}

TEST(OrreryStatement, RangesRankAndSummaryTexts) {
  EXPECT_EQ(orrery::RangesStatement("q."),
            "SELECT PROBE, LOWEST_AVERAGE, (LOWEST_AVERAGE + MIDDLE_AVERAGE) / 2 AS LOW_MIDDLE, "
            "MIDDLE_AVERAGE, "
            "(HIGHEST_AVERAGE + MIDDLE_AVERAGE) / 2 AS HIGH_MIDDLE, HIGHEST_AVERAGE FROM "
            "q.HX_METRIC_SUMMARY "
            "WHERE PROBE IN ('avgcpubusy', 'runqjobs', 'pageoutrate','pagescanrate', 'netinrate', "
            "'netoutrate', "
            "'peakdiskxfer', 'peakdiskrate','PrcTotCpuTime', 'CpuQueLen', 'PagesOutputPerSec', "
            "'PktsRcvPerSec', "
            "'PktsSentPerSec', 'DskBytesPerSec','DskTranPerSec')");
  EXPECT_EQ(orrery::RankStatement("", "CPU", "web01"),
            "SELECT PROBE, AVERAGE_VALUE FROM HX_SYSTEM_SUMMARY WHERE PROBE IN ('avgcpubusy', "
            "'runqjobs', "
            "'PrcTotCpuTime', 'CpuQueLen')AND HOSTNAME = 'web01'");
  EXPECT_EQ(orrery::RankStatement("q.", "Memory", "O'Neil"),
            "SELECT PROBE, AVERAGE_VALUE FROM q.HX_SYSTEM_SUMMARY WHERE PROBE IN ('pageoutrate', "
            "'pagescanrate', "
            "'PagesOutputPerSec')AND HOSTNAME = 'O''Neil'");
  EXPECT_EQ(orrery::RankStatement("", "IO", "h"),
            "SELECT PROBE, AVERAGE_VALUE FROM HX_SYSTEM_SUMMARY WHERE PROBE IN ('peakdiskxfer', "
            "'peakdiskrate', "
            "'DskTranPerSec', 'DskBytesPerSec')AND HOSTNAME = 'h'");
  EXPECT_EQ(orrery::RankStatement("", "Network", "h"),
            "SELECT PROBE, AVERAGE_VALUE FROM HX_SYSTEM_SUMMARY WHERE PROBE IN ('netinrate', "
            "'netoutrate', "
            "'PktsRcvPerSec', 'PktsSentPerSec')AND HOSTNAME = 'h'");
  EXPECT_EQ(orrery::RankStatement("", "cpu", "h"),
            "SELECT PROBE, AVERAGE_VALUE FROM HX_SYSTEM_SUMMARY WHERE PROBE IN AND HOSTNAME = 'h'");
  EXPECT_EQ(orrery::SummaryDeleteStatement("q."), "DELETE FROM q.HX_SYSTEM_SUMMARY ");
  EXPECT_EQ(
      orrery::SummaryInsertStatement("q.", "{d '2001-01-01'}", "{d '2001-06-30'}"),
      "INSERT INTO q.HX_SYSTEM_SUMMARY SELECT HOSTNAME, PROBE, AVG(AVG_DAILY_VALUE)FROM "
      "q.HX_METRICS "
      "WHERE COLLECTION_DATE BETWEEN {d '2001-01-01'} AND {d '2001-06-30'}AND PROBE IN "
      "('avgcpubusy','avgcpusys','avgcpuusr','runqjobs','pageinrate','pageoutrate','pagescanrate',"
      "'netinrate','netinerrate','netoutrate','netouterrate','netcollirate','peakdiskxfer','"
      "totalfree',"
      "'totalprocs','swapavail', 'peakdiskrate','PrcTotCpuTime', 'CpuQueLen', 'PagesOutputPerSec',"
      "'PktsRcvPerSec', 'PktsSentPerSec', 'DskBytesPerSec','DskTranPerSec','Processes', "
      "'PrcTotUsrTime', "
      "'PrcTotPrivTime', 'PagesInputPerSec','PktsRcvErrors', 'PktsOutErrors')GROUP BY PROBE, "
      "HOSTNAME");
}

TEST_F(OrreryModel, TrendValueStyles) {
  peer_.SetModel(0.5, 10, 0);
  peer_.SetPeaks(2, 3);
  struct Case {
    float days, acc;
    int16_t style;
    double expected;
  } cases[] = {
      {30, 0, 0, 0},      // the style-0 line gives -1, clamped
      {30, 0, 1, 0},      //
      {30, 3000, 1, 30},  // one unit a day from the accelerator
      {30, 0, 2, 25},     //
      {30, 300, 2, 28},   // slope 0.5 + 0.1
      {30, 0, 3, 30},     // 25 + peak day 2 + peak hour 3
      {-30, 0, 2, 0},     // negative, clamped
      {30, 0, 4, 0},      // unknown styles
      {30, 0, -1, 0},
  };
  for (const auto& t : cases)
    EXPECT_DOUBLE_EQ(Trend(t.days, t.acc, t.style), t.expected)
        << t.days << " " << t.acc << " " << t.style;
}

TEST_F(OrreryModel, DaysToValue) {
  peer_.SetModel(0.5, 10, 0);
  EXPECT_EQ(Days(25, 0, 2), 30);
  EXPECT_EQ(Days(25, 0, 0), 999999);  // style-0 and style-1 slopes are 0
  EXPECT_EQ(Days(25, 0, 1), 999999);
  EXPECT_EQ(Days(5, 0, 2), 0);  // already above the threshold
  EXPECT_EQ(Days(25, 0, 4), 0);
  EXPECT_EQ(Days(25, 0, -1), 0);
  EXPECT_EQ(Days(11.25f, 0, 2), 2);      // 2.5 days: halves to even
  EXPECT_EQ(Days(11.75f, 0, 2), 4);      // 3.5 days
  EXPECT_EQ(Days(3e38f, 0, 2), 999999);  // beyond a Long: overflow answers "never"
  peer_.SetModel(-1, 10, 0);
  EXPECT_EQ(Days(25, 0, 2), 999999);
  // A positive slope that the accelerator cancels: the line stays at its last-day value.
  peer_.SetModel(1, 10, 0);
  EXPECT_EQ(Days(25, -3000, 2), 999999);
  EXPECT_EQ(Days(5, -3000, 2), 0);
  EXPECT_EQ(Days(25, -6000, 2), 999999);
  peer_.SetPeaks(10, 10);
  EXPECT_EQ(Days(25, -3000, 3), 0);  // 10 + 10 + 10 already reaches 25
}

TEST_F(OrreryModel, DaysToAThresholdAlreadyPassedIsZeroWhateverTheDistance) {
  peer_.SetModel(0.5, 10, 0);
  EXPECT_EQ(Days(-1e9f, 0, 2), 0);  // the quotient lies far below the 32-bit range
  EXPECT_EQ(Days(-1e8f, 0, 2), 0);
  EXPECT_EQ(Days(-3e38f, 0, 2), 0);
  EXPECT_EQ(Days(-std::numeric_limits<float>::infinity(), 0, 2), 0);
  EXPECT_EQ(Days(std::numeric_limits<float>::infinity(), 0, 2), 999999);
  EXPECT_EQ(Days(std::numeric_limits<float>::quiet_NaN(), 0, 2), 0);  // no number: a failure
  peer_.SetModel(1e-30, 10, 0);  // a tiny slope: the quotient of a passed threshold overflows
  EXPECT_EQ(Days(-3e38f, 0, 2), 0);
  EXPECT_EQ(Days(3e38f, 0, 2), 999999);
  peer_.SetPeaks(1e30, 0);
  EXPECT_EQ(Days(25, 0, 3), 0);  // the peak effects put the threshold behind the line
}

TEST_F(OrreryModel, DaysToValueReportsAFailedRefresh) {
  try {
    c_.DaysToValue("other-host", P, A, F, L, 25.0f, 0.0f, int16_t{2}, kNoDatabase);
    FAIL() << "a database outage is not an answer";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kDatabaseError);
    EXPECT_EQ(e.source(), "ODBC");  // the open's failure, unchanged
  }
}

TEST_F(OrreryModel, SinglesAndCounts) {
  peer_.SetModel(-0.5, 10, 1.25);
  peer_.SetPeaks(2, 3);
  EXPECT_FLOAT_EQ(c_.BestThreshold(H, P, A, F, L, kNoDatabase), 16.25f);
  EXPECT_FLOAT_EQ(c_.StandardDeviation(H, P, A, F, L, kNoDatabase), 1.25f);
  EXPECT_FLOAT_EQ(c_.GrowthRate(H, P, A, F, L, int16_t{10}, kNoDatabase), -0.5f);
  EXPECT_FLOAT_EQ(c_.GrowthRate(H, P, A, F, L, int16_t{0}, kNoDatabase), 0.0f);
  peer_.SetModel(1, 0, 0);
  EXPECT_FLOAT_EQ(c_.GrowthRate(H, P, A, F, L, int16_t{10}, kNoDatabase), 0.0f);
  // Every cell reads -1: counted only for a threshold below -1, and only days 0 to 90.
  EXPECT_EQ(c_.TimesExceeded(H, P, A, F, L, -0.5f, kNoDatabase), 0);
  EXPECT_EQ(c_.TimesExceeded(H, P, A, F, L, -2.0f, kNoDatabase), 91 * 24);
  peer_.SetCell(91, 0, 100, 100);
  peer_.SetCell(90, 0, 100, 100);
  EXPECT_EQ(c_.TimesExceeded(H, P, A, F, L, 50.0f, kNoDatabase), 1);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t p; (p = text.find("\r\n", start)) != std::string::npos; start = p + 2)
    out.push_back(text.substr(start, p - start));
  EXPECT_EQ(start, text.size()) << "every line ends in CR LF";
  return out;
}

class OrreryFile : public OrreryModel {
 protected:
  void SetUp() override {
    OrreryModel::SetUp();
    path_ = (std::filesystem::temp_directory_path() /
             ("orrery_" + std::to_string(::getpid()) + "_" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".csv"))
                .string();
    c_.InitializeFile(path_);
  }
  void TearDown() override { std::filesystem::remove(path_); }
  void Print(const std::string& hostA, const std::string& probeName, float acc, int16_t back,
             int16_t fwd) {
    c_.PrintForecast(H, hostA, P, A, F, L, acc, probeName, back, fwd, kNoDatabase);
  }
  std::string path_;
};

TEST_F(OrreryFile, HeaderPastAndFutureRows) {
  peer_.SetModel(1, 50, 10);
  peer_.SetCell(2, 0, 47, 40);
  peer_.SetCell(1, 13, -1, 0);    // average -1 with an ordinary minimum is a row
  peer_.SetCell(1, 14, -1, 1e9);  // a missing cell is not
  Print("web01", "CPU", 0, 2, 3);
  auto lines = Lines(ReadFile(path_));
  ASSERT_EQ(lines.size(), 1u + 2 + 3 * 24);
  EXPECT_EQ(lines[0],
            "HOSTNAME,PROBE,PROBE_ARG,PROBE_DATE,PROBE_HOUR,LOW_FORECAST,HOURLY_AVG,HIGH_FORECAST");
  EXPECT_EQ(lines[1], "web01,CPU,,20010515,2001/05/15 00:00,28,47,68");  // d = 2: F = 48
  EXPECT_EQ(lines[2], "web01,CPU,,20010516,2001/05/16 13:00,29,-1,69");  // d = 1, h = 13
  EXPECT_EQ(lines[3], "web01,CPU,,20010518,2001/05/18 00:00,31,51,71");  // first future day
  EXPECT_EQ(lines[3 + 2 * 24 + 5], "web01,CPU,,20010520,2001/05/20 05:00,33,53,73");  // d = 3
  EXPECT_EQ(lines.back(), "web01,CPU,,20010520,2001/05/20 23:00,33,53,73");
}

TEST_F(OrreryFile, LowBandClampedAndAcceleratorOnlyAhead) {
  peer_.SetModel(1, 50, 30);
  peer_.SetCell(2, 0, 47, 40);
  Print("web01", "CPU", 300, 2, 3);
  auto lines = Lines(ReadFile(path_));
  EXPECT_EQ(lines[1], "web01,CPU,,20010515,2001/05/15 00:00,0,47,108");  // past: slope 1
  EXPECT_EQ(lines[2], "web01,CPU,,20010518,2001/05/18 00:00,0,51.1,111.1");
  EXPECT_EQ(lines[2 + 2 * 24], "web01,CPU,,20010520,2001/05/20 00:00,0,53.3,113.3");
}

TEST_F(OrreryFile, FieldsThatNeedQuotingAreQuoted) {
  peer_.SetModel(0, 5, 0);
  peer_.SetCell(0, 7, 5, 5);
  Print("web,01", "say \"hi\"", 0, 0, 0);
  Print("plain", "CPU", 0, 0, 0);  // appends; no second header
  EXPECT_EQ(
      ReadFile(path_),
      "HOSTNAME,PROBE,PROBE_ARG,PROBE_DATE,PROBE_HOUR,LOW_FORECAST,HOURLY_AVG,HIGH_FORECAST\r\n"
      "\"web,01\",\"say \"\"hi\"\"\",,20010517,2001/05/17 07:00,5,5,5\r\n"
      "plain,CPU,,20010517,2001/05/17 07:00,5,5,5\r\n");
}

TEST_F(OrreryFile, FailuresInsideTheLoops) {
  peer_.SetModel(0, 5, 0);
  peer_.SetCell(0, 0, 5, 5);
  const std::string before = ReadFile(path_);
  try {
    Print("h", "p", 0, 182, 0);  // past the last grid day: before any row
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kSubscriptOutOfRange);
    EXPECT_EQ(e.source(), "Orrery");
  }
  EXPECT_EQ(ReadFile(path_), before);
  try {
    Print("h", "p", 0, -1, 1365);  // the hour offset 24 * 1365 + 8 overflows
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kOverflow);
  }
  // The rows before the failure stay, and the file was closed: it can be truncated again.
  EXPECT_EQ(Lines(ReadFile(path_)).size(), 1u + 1364 * 24 + 8);
  c_.InitializeFile(path_);
  EXPECT_EQ(Lines(ReadFile(path_)).size(), 1u);
}

TEST_F(OrreryFile, FileErrors) {
  OrreryClass fresh;
  OrreryTestPeer(fresh).Remember(H, P, A, F, L);
  try {
    fresh.PrintForecast(H, H, P, A, F, L, 0.0f, P, int16_t{0}, int16_t{1}, kNoDatabase);
    FAIL() << "no InitializeFile";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kBadFileName);
  }
  try {
    fresh.InitializeFile("/no/such/folder/f.csv");
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kPathNotFound);
  }
}

}  // namespace
