// The mail-server class of one build (compiled once per build) against the database.
#include <cmath>

#include "dates.h"
#include "mail_trend_class.h"
#include "module1.h"
#include "testbed.h"

using namespace trend;
using TrendClass = mailtrend::MAILTREND_CLASS;
using mailtrend::kBuild;

namespace mailtrend {
class MailTrendTestPeer {
 public:
  explicit MailTrendTestPeer(TrendClass& c) : c_(c) {}
  double hourly(int d, int h) const { return c_.dHourly[d][h]; }
  double slope() const { return c_.dSlope; }
  double intercept() const { return c_.dIntercept; }
  void SetLine(double slope, double intercept) { c_.dSlope = slope, c_.dIntercept = intercept; }
  void Remember(const std::string& h) {
    c_.key = {h, "p", "", "2001-01-01", "2001-06-30", {}, true};
  }

 private:
  TrendClass& c_;
};
}  // namespace mailtrend

namespace {

const std::string kFirst = "2001-01-01", kLast = "2001-06-30";
const std::string kTable =
    std::string(kBuild.tableFragment.substr(0, kBuild.tableFragment.size() - 1));

class MailDb : public testbed::DbTest {
 protected:
  static std::string Day(int daysBack) {
    return FormatDate(AddDays(ParseDate(kLast), -daysBack), DateFormat::kIsoDay);
  }
  void Row(int daysBack, std::vector<double> avg, std::vector<double> min,
           const std::string& host = "mail01", const std::string& probe = "Mail.Delivered",
           const std::string& arg = "") {
    testbed::HourlyRow r{host, probe, arg, Day(daysBack)};
    r.avg = std::move(avg);
    r.min = std::move(min);
    Exec(testbed::InsertHourly(kTable, r));
  }
  void Flat(int daysBack, double value, const std::string& host = "mail01") {
    Row(daysBack, std::vector<double>(24, value), std::vector<double>(24, value), host);
  }
  double Trend(float days, int16_t flag, const std::string& host = "mail01",
               const DataSource* ds = nullptr) {
    return c_.TrendValue(host, "Mail.Delivered", "", kFirst, kLast, days, 0.0f, int16_t{2},
                         ds ? *ds : *ds_, flag);
  }
  TrendClass c_;
  mailtrend::MailTrendTestPeer peer_{c_};
};

TEST_F(MailDb, TwoQualifyingDaysAndMissingDays) {
  Flat(0, 9.5);
  Flat(1, 8.5);
  EXPECT_DOUBLE_EQ(
      c_.TrendValue("mail01", "Mail.Delivered", "", kFirst, kLast, 0.0f, 0.0f, int16_t{2}, *ds_),
      10);
  EXPECT_DOUBLE_EQ(peer_.slope(), 2);
}

TEST_F(MailDb, EachSeriesAnswersAsANewInstanceWould) {
  Flat(0, 9.5);
  Flat(1, 8.5);
  EXPECT_DOUBLE_EQ(Trend(0, 0), 10);
  Flat(2, 0, "idle01");  // only zeros: no qualifying day
  Flat(3, 0, "idle01");
  EXPECT_DOUBLE_EQ(Trend(30, 0, "idle01"), 0);
  EXPECT_DOUBLE_EQ(peer_.slope(), 0);
  EXPECT_DOUBLE_EQ(peer_.intercept(), 0);
  Flat(4, 6, "one01");  // one qualifying day: a flat line through it
  EXPECT_DOUBLE_EQ(Trend(30, 0, "one01"), 6);
  EXPECT_DOUBLE_EQ(peer_.slope(), 0);
}

TEST_F(MailDb, MegabyteScalingKeepsTheMissingMark) {
  std::vector<double> avg(24, 2097152), min(24, 5);
  avg[3] = -1;
  min[3] = 1e9;
  Row(0, avg, min);
  Trend(0, kBuild.megabyteFlag);
  EXPECT_DOUBLE_EQ(peer_.hourly(0, 0), 2.0);
  EXPECT_DOUBLE_EQ(peer_.hourly(0, 3), -1.0);  // still missing, not a value near 0
  EXPECT_DOUBLE_EQ(peer_.intercept(), 2.0);    // one day, every valid hour 2
}

TEST_F(MailDb, IndicatorModeOrItsAbsence) {
  std::vector<double> avg(24, 0.0), min(24, 5);
  avg[1] = 2.5;
  avg[2] = -1;
  min[3] = 1e9;  // an hour without samples, whatever its average
  Row(0, avg, min);
  Trend(0, 2);
  if (kBuild.indicatorMode) {
    EXPECT_DOUBLE_EQ(peer_.hourly(0, 0), 100);
    EXPECT_DOUBLE_EQ(peer_.hourly(0, 1), 0);
    EXPECT_DOUBLE_EQ(peer_.hourly(0, 2), 0);
    EXPECT_DOUBLE_EQ(peer_.hourly(0, 3), 0);
  } else {  // flag 2 is the megabyte form here
    EXPECT_DOUBLE_EQ(peer_.hourly(0, 0), 0);
    // The SQLite driver hands computed columns over as text of 15 significant digits.
    EXPECT_NEAR(peer_.hourly(0, 1), 2.5 / 1048576, 1e-14 * 2.5 / 1048576);
    EXPECT_NEAR(peer_.hourly(0, 2), -1.0 / 1048576, 1e-14 / 1048576);
  }
}

TEST_F(MailDb, CounterModeWithAReset) {
  std::vector<double> avg = {100, 150, 210, 260, 20, 35, 35, 40}, min(24, 1);
  for (int h = 8; h < 24; ++h) avg.push_back(40 + 10 * (h - 7));
  Row(0, avg, min);
  Trend(0, 1);
  const double expected[] = {0, 50, 60, 50, 20, 15, 0, 5, 10};
  for (int h = 0; h < 9; ++h) EXPECT_DOUBLE_EQ(peer_.hourly(0, h), expected[h]) << h;
}

TEST_F(MailDb, CounterModeTheHourAfterAGapIsUnknown) {
  // A cumulative counter near 5,000,000 rising about 50 an hour, hours 5 and 6 missing.
  std::vector<double> avg(24), min(24, 1);
  for (int h = 0; h < 24; ++h) avg[h] = 5000000 + 50 * h;
  for (int h : {5, 6}) avg[h] = -1, min[h] = 1e9;
  Row(0, avg, min);
  Trend(0, 1);
  for (int h = 1; h < 24; ++h) {
    if (h >= 5 && h <= 7)
      EXPECT_DOUBLE_EQ(peer_.hourly(0, h), -1) << h;  // missing, and the hour after them
    else
      EXPECT_DOUBLE_EQ(peer_.hourly(0, h), 50) << h;
  }
  EXPECT_DOUBLE_EQ(peer_.hourly(0, 0), 0);
  // Only increases reach the fit: no absolute reading leaks into the day's mean.
  EXPECT_NEAR(peer_.intercept(), 50.0 * 20 / 21, 1e-9);
  // A missing hour 0 makes hour 1 unknown; hour 0 itself becomes 0.0 as always.
  avg[0] = -1, min[0] = 1e9;
  Row(1, avg, min);
  c_.TrendValue("mail01", "Mail.Delivered", "", kFirst, Day(1), 0.0f, 0.0f, int16_t{2}, *ds_,
                int16_t{1});
  EXPECT_DOUBLE_EQ(peer_.hourly(0, 0), 0);
  EXPECT_DOUBLE_EQ(peer_.hourly(0, 1), -1);
  EXPECT_DOUBLE_EQ(peer_.hourly(0, 2), 50);
}

TEST_F(MailDb, NullsFarBackAreNotReadNearOnesFail) {
  Flat(0, 10);
  Exec("INSERT INTO " + kTable +
       " (HOSTNAME, PROBE, PROBE_ARG, COLLECTION_DATE, AVG_DAILY_VALUE, MAX_DAILY_VALUE, "
       "MAX_HOURLY_AVG) "
       "VALUES ('mail01', 'Mail.Delivered', '', '" +
       Day(182) + "', 1, 1, 1)");
  EXPECT_DOUBLE_EQ(c_.TrendValue("mail01", "Mail.Delivered", "", "2000-06-01", kLast, 0.0f, 0.0f,
                                 int16_t{2}, *ds_),
                   10);
  Exec("UPDATE " + kTable + " SET MIN_VALUE_04 = NULL WHERE COLLECTION_DATE = '" + Day(0) + "'");
  try {
    c_.TrendValue("mail01", "Mail.Delivered", "", "2000-06-02", kLast, 0.0f, 0.0f, int16_t{2},
                  *ds_);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kInvalidUseOfNull);
    EXPECT_EQ(e.source(),
              std::string(kBuild.regressionSource) + std::string(kBuild.applicationTitle));
    EXPECT_EQ(e.description(), std::string(kBuild.regressionMessage) +
                                   ":\r\nInvalid use of Null\r\nInvalid use of Null\r");
  }
}

TEST_F(MailDb, WorkedTrendValues) {
  peer_.Remember("h");
  PlainDataSource nowhere("no_such_dsn", "", "");
  auto value = [&](float days, float acc, int16_t style) {
    return c_.TrendValue("h", "p", "", kFirst, kLast, days, acc, style, nowhere);
  };
  peer_.SetLine(0.5, 10);
  EXPECT_DOUBLE_EQ(value(30, 0, 2), 25.0);
  EXPECT_DOUBLE_EQ(value(30, 300, 2), 28.0);
  EXPECT_DOUBLE_EQ(value(30, 0, 4), 0.0);
  EXPECT_DOUBLE_EQ(value(30, 0, -1), 0.0);
  EXPECT_DOUBLE_EQ(value(30, 300, 0), 3.0);  // styles 0 and 1 start at 0 here
  EXPECT_DOUBLE_EQ(value(30, 300, 1), 3.0);
  peer_.SetLine(-1, 10);
  EXPECT_DOUBLE_EQ(value(30, 0, 2), 0.0);
}

TEST_F(MailDb, RememberedRequestIncludesFlagAndDataSource) {
  Flat(0, 9.5);
  Flat(1, 8.5);
  EXPECT_DOUBLE_EQ(Trend(0, 0), 10);
  Exec("DELETE FROM " + kTable);
  EXPECT_DOUBLE_EQ(Trend(5, 0), 20);  // the same request: no query
  PlainDataSource nowhere("no_such_dsn", "", "");
  EXPECT_THROW(Trend(0, 0, "mail01", &nowhere), Error);  // another source is read
  EXPECT_THROW(Trend(0, 0, "MAIL01", &nowhere), Error);  // letter case: a refit
  EXPECT_THROW(Trend(0, 0, "MAIL01", &nowhere), Error);  // a failed fit is tried again
}

TEST_F(MailDb, OmittedCounterFlagIsZero) {
  std::vector<double> avg = {100, 150, 210}, min(24, 1);
  avg.resize(24, 300);
  Row(0, avg, min);
  c_.TrendValue("mail01", "Mail.Delivered", "", kFirst, kLast, 0.0f, 0.0f, int16_t{2}, *ds_);
  EXPECT_DOUBLE_EQ(peer_.hourly(0, 1), 150);  // no differencing
}

TEST_F(MailDb, ApostrophesInHostProbeAndArgument) {
  Row(0, std::vector<double>(24, 7), std::vector<double>(24, 7), "O'Neil", "Mail's", "it's");
  Row(0, std::vector<double>(24, 99), std::vector<double>(24, 99), "ONeil", "Mails", "its");
  EXPECT_DOUBLE_EQ(
      c_.TrendValue("O'Neil", "Mail's", "it's", kFirst, kLast, 0.0f, 0.0f, int16_t{2}, *ds_), 7);
}

}  // namespace

namespace {

TEST_F(MailDb, TheCounterFlagAndTheSourceArePartOfTheRequest) {
  // A rising counter: each flag reads it otherwise (raw, differenced, in megabytes).
  for (int d = 0; d < 20; ++d) {
    std::vector<double> v(24);
    for (int h = 0; h < 24; ++h) v[h] = 1000.0 * (20 - d) + 40.0 * h * (1 + d % 3);
    Row(d, v, v);
  }
  const std::vector<int16_t> flags = {0, 1, kBuild.megabyteFlag};
  bool differ = false;
  for (int16_t first : flags)
    for (int16_t second : flags) {
      TrendClass fresh;
      const double expected = fresh.TrendValue("mail01", "Mail.Delivered", "", kFirst, kLast, 30,
                                               0.0f, int16_t{2}, *ds_, second);
      TrendClass asked;
      const double before = asked.TrendValue("mail01", "Mail.Delivered", "", kFirst, kLast, 30,
                                             0.0f, int16_t{2}, *ds_, first);
      differ = differ || before != expected;
      EXPECT_EQ(asked.TrendValue("mail01", "Mail.Delivered", "", kFirst, kLast, 30, 0.0f,
                                 int16_t{2}, *ds_, second),
                expected)
          << first << " then " << second;
    }
  EXPECT_TRUE(differ);
  // Another source is read, not the first one's fit.
  const PlainDataSource elsewhere("no_such_source", "", "");
  EXPECT_THROW(Trend(30, 0, "mail01", &elsewhere), Error);
}

}  // namespace
