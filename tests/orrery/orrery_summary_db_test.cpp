// System summary refresh, metric ranges and subsystem rank on both backends.
#include <algorithm>

#include "dates.h"
#include "module1.h"
#include "numeric.h"
#include "orrery_peer.h"
#include "testbed.h"

using namespace trend;
using orrery::OrreryClass;
using orrery::OrreryTestPeer;

namespace {

class OrrerySummaryDb : public testbed::DbTest {
 protected:
  void Metric(const std::string& host, const std::string& probe, const std::string& day,
              double daily, const std::string& arg = "") {
    testbed::HourlyRow r{host, probe, arg, day};
    r.avg.assign(24, daily);
    r.min.assign(24, daily);
    r.daily = daily;
    r.maxHourly = daily;
    Exec(testbed::InsertHourly("HX_METRICS", r));
  }
  void Range(const std::string& probe, double low, double mid, double high) {
    Exec("INSERT INTO HX_METRIC_SUMMARY VALUES ('" + probe + "', " + FormatDouble(low) + ", " +
         FormatDouble(mid) + ", " + FormatDouble(high) + ")");
  }
  void Summary(const std::string& host, const std::string& probe, double v) {
    Exec("INSERT INTO HX_SYSTEM_SUMMARY VALUES ('" + Module1::QuoteSQL(host) + "', '" + probe +
         "', " + FormatDouble(v) + ")");
  }
  std::vector<std::vector<std::string>> SummaryRows() {
    return Query(
        "SELECT HOSTNAME, PROBE, AVERAGE_VALUE FROM HX_SYSTEM_SUMMARY ORDER BY HOSTNAME, PROBE");
  }
  OrreryClass c_;
  OrreryTestPeer peer_{c_};
};

using Rows = std::vector<std::vector<std::string>>;

TEST_F(OrrerySummaryDb, RefreshStoresMeansOfTheThirtyProbes) {
  Metric("web01", "avgcpubusy", "2001-06-01", 10);
  Metric("web01", "avgcpubusy", "2001-06-03", 20, "cpu1");  // all probe arguments count
  Metric("web01", "avgcpubusy", "2001-07-01", 99);          // outside the range
  Metric("web01", "runqjobs", "2001-06-30", 3);
  Metric("web02", "PktsOutErrors", "2001-06-15", 7);
  Metric("web02", "diskfree", "2001-06-15", 5);  // not one of the thirty
  Summary("stale", "avgcpubusy", 1);
  EXPECT_TRUE(c_.UpdateSystemSummary("2001-06-01", "2001-06-30", *ds_).IsEmpty());
  EXPECT_EQ(SummaryRows(), (Rows{{"web01", "avgcpubusy", "15"},
                                 {"web01", "runqjobs", "3"},
                                 {"web02", "PktsOutErrors", "7"}}));
  // A repeat rebuilds; reversed bounds select nothing and empty the table.
  Metric("web03", "totalfree", "2001-06-10", 4);
  c_.UpdateSystemSummary("2001-06-01", "2001-06-30", *ds_);
  EXPECT_EQ(SummaryRows().size(), 4u);
  c_.UpdateSystemSummary("2001-06-30", "2001-06-01", *ds_);
  EXPECT_TRUE(SummaryRows().empty());
}

TEST_F(OrrerySummaryDb, FailedRefreshLosesNoRows) {
  Metric("web01", "avgcpubusy", "2001-06-01", 10);
  c_.UpdateSystemSummary("2001-06-01", "2001-06-30", *ds_);
  const Rows before = SummaryRows();
  ASSERT_EQ(before.size(), 1u);

  // A day text that does not parse.
  try {
    c_.UpdateSystemSummary("2001-06-01", "2001-13-40", *ds_);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kTypeMismatch);
    EXPECT_EQ(e.source(), "OrreryFunctions.OrreryClass.UpdateSystemSummary:Orrery");
    EXPECT_EQ(e.description(),
              "Error updating HX_SYSTEM_SUMMARY table:\r\nType mismatch\r\nType mismatch\r");
  }
  EXPECT_EQ(SummaryRows(), before);

  // An insert the database rejects, after the delete ran.
  Exec("DROP TABLE HX_METRICS");
  try {
    c_.UpdateSystemSummary("2001-06-01", "2001-06-29", *ds_);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kDatabaseError);
    EXPECT_EQ(e.source(), "OrreryFunctions.OrreryClass.UpdateSystemSummary:ODBC");
    EXPECT_EQ(e.description().rfind("Error updating HX_SYSTEM_SUMMARY table:\r\n", 0), 0u);
    std::string lower = e.description();
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char ch) { return std::tolower(ch); });
    EXPECT_NE(lower.find("hx_metrics"), std::string::npos)
        << e.description();  // the insert's diagnostics
  }
  EXPECT_EQ(SummaryRows(), before);

  // The cached connection is back in auto-commit: a forecast and a refresh work, and
  // their effects are visible to other connections at once.
  for (const auto& s : testbed::SchemaTables())
    if (s.first == "HX_METRICS") Exec(s.second);
  Metric("web01", "avgcpubusy", "2001-06-02", 30);
  EXPECT_DOUBLE_EQ(c_.TrendValue("web01", "avgcpubusy", "", "2001-06-01", "2001-06-02", 0.0f, 0.0f,
                                 int16_t{2}, *ds_),
                   30);
  c_.UpdateSystemSummary("2001-06-01", "2001-06-30", *ds_);
  EXPECT_EQ(SummaryRows(), (Rows{{"web01", "avgcpubusy", "30"}}));
}

TEST_F(OrrerySummaryDb, RefreshMarksTheForecastModelStale) {
  Metric("web01", "avgcpubusy", "2001-06-30", 10);
  const std::string first = "2001-06-01", last = "2001-06-30";
  EXPECT_DOUBLE_EQ(
      c_.TrendValue("web01", "avgcpubusy", "", "2001-05-01", last, 0.0f, 0.0f, int16_t{2}, *ds_),
      10);
  c_.UpdateSystemSummary(first, last, *ds_);
  EXPECT_EQ(peer_.keyFirstDay(), first);
  Exec("UPDATE HX_METRICS SET AVG_VALUE_00 = 34, MIN_VALUE_00 = 34");
  // The same host, probe and argument with the refresh's days: fitted again, not
  // answered from the model of 2001-05-01.
  EXPECT_DOUBLE_EQ(
      c_.TrendValue("web01", "avgcpubusy", "", first, last, 0.0f, 0.0f, int16_t{2}, *ds_), 11);
}

TEST_F(OrrerySummaryDb, GetRangesFillsTheBands) {
  OrreryClass empty;
  empty.GetRanges(*ds_);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(OrreryTestPeer(empty).ranges(i), (std::array<double, 5>{}));

  Range("avgcpubusy", 10, 20, 40);
  Range("PagesOutputPerSec", 1, 2, 3);
  Range("AVGCPUBUSY", 7, 7, 7);   // letter case differs: matches nothing
  Range("netoutrate ", 7, 7, 7);  // trailing blank
  c_.GetRanges(*ds_);
  EXPECT_EQ(peer_.ranges(0), (std::array<double, 5>{10, 15, 20, 30, 40}));
  EXPECT_EQ(peer_.ranges(2), (std::array<double, 5>{1, 1.5, 2, 2.5, 3}));
  EXPECT_EQ(peer_.ranges(7), (std::array<double, 5>{}));
}

TEST_F(OrrerySummaryDb, NullInALaterRowFailsAfterEarlierRowsWereStored) {
  Range("avgcpubusy", 10, 20, 40);
  Exec("INSERT INTO HX_METRIC_SUMMARY VALUES ('runqjobs', NULL, 1, 2)");
  try {
    c_.GetRanges(*ds_);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kInvalidUseOfNull);
    EXPECT_EQ(e.source(), "OrreryFunctions.OrreryClass.GetRanges:Orrery");
    EXPECT_EQ(e.description(),
              "Error calculating HX Trends:\r\nInvalid use of Null\r\nInvalid use of Null\r");
  }
  EXPECT_EQ(peer_.ranges(0), (std::array<double, 5>{10, 15, 20, 30, 40}));
}

TEST_F(OrrerySummaryDb, Ranks) {
  Range("avgcpubusy", 10, 20, 40);
  Range("runqjobs", 10, 20, 40);
  Range("PagesOutputPerSec", 10, 20, 40);
  Summary("web01", "avgcpubusy", 15);
  Summary("web01", "runqjobs", 31);
  Summary("web02", "avgcpubusy", 15);
  Summary("web02", "runqjobs", 41);  // above every boundary: its score stays 0
  Summary("web03", "PagesOutputPerSec", 25);
  Summary("O'Neil", "avgcpubusy", 40);
  OrreryClass fresh;
  EXPECT_FLOAT_EQ(fresh.CalculateRank("web01", "CPU", *ds_), 0.0f);  // no GetRanges: zero bands
  c_.GetRanges(*ds_);
  EXPECT_FLOAT_EQ(c_.CalculateRank("web01", "CPU", *ds_), 2.5f);
  EXPECT_FLOAT_EQ(c_.CalculateRank("web02", "CPU", *ds_), 0.5f);
  EXPECT_FLOAT_EQ(c_.CalculateRank("web03", "Memory", *ds_), 3.0f);  // band 3, doubled, halved
  EXPECT_FLOAT_EQ(c_.CalculateRank("O'Neil", "CPU", *ds_), 2.0f);
  EXPECT_FLOAT_EQ(c_.CalculateRank("nobody", "Network", *ds_), 0.0f);
  try {
    c_.CalculateRank("web01", "cpu", *ds_);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kDatabaseError);
    EXPECT_EQ(e.source(), "OrreryFunctions.OrreryClass.CalculateRank:ODBC");
    EXPECT_EQ(e.description().rfind("Error calculating HX Trends:\r\n", 0), 0u);
    EXPECT_NE(e.description().find("Error Number: "), std::string::npos);
  }
}

}  // namespace
