// VantorClass against OSTRAL tables that the test writes, on SQLite and on PostgreSQL.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "dates.h"
#include "error.h"
#include "module1.h"
#include "numeric.h"
#include "testbed.h"
#include "vantor_class.h"

using namespace trend;
using vantor::VantorClass;

namespace vantor {
class VantorTestPeer {
 public:
  explicit VantorTestPeer(VantorClass& c) : c_(c) {}
  double slope() const { return c_.dSlope; }
  double intercept() const { return c_.dIntercept; }
  double sigma() const { return c_.dSigma; }
  double hourly(int d, int h) const { return c_.dHourly[d][h]; }

 private:
  VantorClass& c_;
};
}  // namespace vantor

namespace {

const std::string kFirst = "2001-06-01", kLast = "2001-06-30";
using Lines = std::vector<std::string>;

class VantorDb : public testbed::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    Exec("INSERT INTO HOSTS VALUES (1, 'host1')");
    Exec("INSERT INTO USERS VALUES (1, 'user1')");
    Exec("INSERT INTO APPLICATIONS VALUES (1, 'app1')");
    Exec("INSERT INTO TRANSACTIONS VALUES (1, 'tx1')");
    Exec("INSERT INTO ID_INFO VALUES (10, 1, 1, 1, 1)");
    path_ = ::testing::TempDir() + "vantor_" + testbed::CurrentBackend().name + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".csv";
    c_.InitializeFile(path_, "ID,DATE,HOUR,VALUE");
  }
  void TearDown() override {
    std::filesystem::remove(path_);
    DbTest::TearDown();
  }

  static std::string Day(int daysBack) {
    return FormatDate(AddDays(ParseDate(kLast), -daysBack), DateFormat::kIsoDay);
  }
  void Metric(int id, int daysBack, int type, const std::string& name = "resp") {
    Exec("INSERT INTO METRICDATA VALUES (" + std::to_string(id) + ", '" + Day(daysBack) +
         "', 10, '" + trend::Module1::QuoteSQL(name) + "', " + std::to_string(type) + ")");
  }
  // A value row whose hour h holds first + h * step (hours listed in `absent` hold -1).
  void Values(const std::string& table, int id, double first, double step,
              std::vector<int> absent = {}, const std::string& bucket = "") {
    std::string sql = "INSERT INTO " + table + " VALUES (" + std::to_string(id) +
                      (bucket.empty() ? "" : ", " + bucket);
    for (int h = 0; h < 24; ++h) {
      bool none = std::find(absent.begin(), absent.end(), h) != absent.end();
      sql += ", " + FormatDouble(none ? -1 : first + h * step);
    }
    Exec(sql + ")");
  }
  Lines File() {
    std::ifstream in(path_, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), {}), line;
    Lines out;
    size_t start = 0;
    for (size_t p; (p = all.find("\r\n", start)) != std::string::npos; start = p + 2)
      out.push_back(all.substr(start, p - start));
    EXPECT_EQ(start, all.size());
    return out;
  }
  VantorClass c_;
  vantor::VantorTestPeer peer_{c_};
  std::string path_;
};

TEST_F(VantorDb, HourlyRowsOfType0CarryTheBucketRange) {
  Metric(100, 0, 0);
  Values("DATA32", 100, 1, 1, {5});
  EXPECT_EQ(c_.PrintHourlyFile("100", "7", kFirst, kLast, *ds_), Variant(int16_t{0}));
  Lines lines = File();
  ASSERT_EQ(lines.size(), 1u + 23);
  EXPECT_EQ(lines[0], "ID,DATE,HOUR,VALUE");
  EXPECT_EQ(lines[1], "100,20010630,00:00,7,1");
  EXPECT_EQ(lines[5], "100,20010630,04:00,7,5");
  EXPECT_EQ(lines[6], "100,20010630,06:00,7,7");
  // A repeat writes the same rows again without a query.
  Exec("DELETE FROM DATA32");
  c_.PrintHourlyFile("100", "7", kFirst, kLast, *ds_);
  EXPECT_EQ(File().size(), 1u + 2 * 23);
}

TEST_F(VantorDb, MetricTypesChooseTheValueTable) {
  Metric(101, 0, 1);
  Metric(107, 0, 7);
  Values("DATA32", 101, 32, 0);
  Values("DATA64", 101, 64, 0);
  Values("DATA32", 107, 32, 0);
  Values("DATA64", 107, 64, 0);
  c_.PrintHourlyFile("101", "", kFirst, kLast, *ds_);
  c_.PrintHourlyFile("107", "", kFirst, kLast, *ds_);
  Lines lines = File();
  ASSERT_EQ(lines.size(), 1u + 48);
  EXPECT_EQ(lines[1], "101,20010630,00:00,64");   // type 1: DATA64, no bucket field
  EXPECT_EQ(lines[25], "107,20010630,00:00,32");  // type 7 reads DATA32 like type 0
}

TEST_F(VantorDb, BucketLabelsAcrossASequenceOfBuckets) {
  Metric(200, 0, 2);
  const std::pair<int, const char*> buckets[] = {
      {1, "250"}, {2, "500"}, {3, "5000"}, {4, "2147483647"}};
  for (auto [range, ulb] : buckets)
    Values("DATABUCKETS", 200, range, 0, {}, std::to_string(range) + ", " + ulb);
  for (auto [range, ulb] : buckets)
    c_.PrintHourlyFile("200", std::to_string(range), kFirst, kLast, *ds_);
  Lines lines = File();
  ASSERT_EQ(lines.size(), 1u + 4 * 24);
  EXPECT_EQ(lines[1], "200,20010630,00:00,1,(0 - 250),1");
  EXPECT_EQ(lines[25], "200,20010630,00:00,2,(250 - 500),2");
  EXPECT_EQ(lines[49], "200,20010630,00:00,3,(500 - 5000),3");
  EXPECT_EQ(lines[73], "200,20010630,00:00,4,(5000 +),4");

  VantorClass fresh;  // the first bucket printed is not bucket 1: no lower bound yet
  fresh.InitializeFile(path_, "H");
  fresh.PrintHourlyFile("200", "2", kFirst, kLast, *ds_);
  EXPECT_EQ(File()[1], "200,20010630,00:00,2,( - 500),2");
}

TEST_F(VantorDb, TrendRowsHistoryAndForecast) {
  // History of one series: day 7 back at 30, the last day at 10 (one day slot): the line
  // falls 20/7 a day and passes both exactly.
  Metric(300, 0, 0);
  Metric(307, 7, 0);
  Values("DATA32", 300, 10, 0);
  Values("DATA32", 307, 30, 0);
  c_.PrintTrendFile("300", "9", kFirst, kLast, int16_t{2}, *ds_);
  EXPECT_NEAR(peer_.slope(), -20.0 / 7, 1e-12);
  Lines lines = File();
  ASSERT_EQ(lines.size(), 1u + 24 + 2 * 24);
  EXPECT_EQ(lines[1], "300,20010630,00:00,10,10,10");  // no bucket field for type 0
  // Forecast: slot 6 had no data, its effect is -20; the negative trend is written as 0,
  // the upper bound keeps the unclipped value.
  EXPECT_EQ(lines[25], "300,20010701,00:00,0,0," + FormatDouble(-20.0 / 7 + 10 - 20));
  EXPECT_EQ(lines[49], "300,20010702,00:00,0,0," + FormatDouble(2 * (-20.0 / 7) + 10 - 20));

  // A data identifier whose day is not the last day: history rows only.
  c_.InitializeFile(path_, "H");
  c_.PrintTrendFile("307", "9", kFirst, kLast, int16_t{2}, *ds_);
  lines = File();
  ASSERT_EQ(lines.size(), 1u + 24);
  EXPECT_EQ(lines[1], "307,20010623,00:00,30,30,30");
}

TEST_F(VantorDb, AMetricNameReadBackIsOneLiteralWhateverItHolds) {
  Exec("DROP TABLE IF EXISTS pwn2");
  ServerEscapesBackslashes();
  // The history query puts the stored metric name between apostrophes. A name that ends
  // a literal with a backslash must neither run as SQL nor widen the selection.
  Metric(300, 0, 0, "resp\\");
  Metric(307, 7, 0, "resp\\");
  Values("DATA32", 300, 10, 0);
  Values("DATA32", 307, 30, 0);
  Metric(500, 0, 0, "x\\' OR 1=1 -- ");
  Values("DATA32", 500, 10, 0);
  Metric(600, 0, 0, "\\'; CREATE TABLE pwn2 (x int); --");
  Values("DATA32", 600, 10, 0);
  c_.PrintTrendFile("300", "", kFirst, kLast, int16_t{2}, *ds_);
  EXPECT_NEAR(peer_.slope(), -20.0 / 7, 1e-12);  // both days of its own name, matched exactly
  c_.PrintTrendFile("500", "", kFirst, kLast, int16_t{2}, *ds_);
  EXPECT_DOUBLE_EQ(peer_.slope(), 0.0);  // one day only: not every series of the class
  EXPECT_DOUBLE_EQ(peer_.intercept(), 10.0);
  c_.PrintTrendFile("600", "", kFirst, kLast, int16_t{2}, *ds_);
  EXPECT_FALSE(TableExists("pwn2"));
}

TEST_F(VantorDb, OneDayIsAFlatLineThroughIt) {
  Metric(400, 3, 0);
  Values("DATA32", 400, 5, 0);
  c_.PrintTrendFile("400", "", kFirst, kLast, int16_t{0}, *ds_);
  EXPECT_DOUBLE_EQ(peer_.slope(), 0.0);
  EXPECT_DOUBLE_EQ(peer_.intercept(), 5);
}

TEST_F(VantorDb, AnIdentifierWithoutValuesDoesNotKeepTheLastFit) {
  Metric(300, 0, 0);
  Metric(307, 7, 0);
  Values("DATA32", 300, 10, 0);
  Values("DATA32", 307, 30, 0);
  c_.PrintTrendFile("300", "", kFirst, kLast, int16_t{0}, *ds_);
  EXPECT_NEAR(peer_.slope(), -20.0 / 7, 1e-12);
  Metric(900, 0, 0, "idle");
  c_.PrintTrendFile("900", "", kFirst, kLast, int16_t{0}, *ds_);
  EXPECT_DOUBLE_EQ(peer_.slope(), 0.0);
  EXPECT_DOUBLE_EQ(peer_.intercept(), 0.0);
  EXPECT_DOUBLE_EQ(peer_.sigma(), 0.0);
}

TEST_F(VantorDb, EachPrintLoadsWhatItNeeds) {
  Metric(300, 0, 0);
  Metric(307, 7, 0);
  Values("DATA32", 300, 10, 0);
  Values("DATA32", 307, 30, 0);
  c_.PrintHourlyFile("300", "", kFirst, kLast, *ds_);  // fills one grid row, no fit
  c_.PrintTrendFile("300", "", kFirst, kLast, int16_t{0}, *ds_);
  EXPECT_NEAR(peer_.slope(), -20.0 / 7, 1e-12);  // the trend print fitted for itself
  EXPECT_EQ(File().back(), "300,20010630,23:00,10,10,10");
  c_.PrintHourlyFile("300", "", kFirst, kLast, *ds_);
  EXPECT_EQ(File().back(), "300,20010630,23:00,,10");
}

TEST_F(VantorDb, AFailedLoadLoadsAgain) {
  Metric(100, 0, 0);
  Values("DATA32", 100, 1, 0);
  Exec("DROP TABLE DATA32");
  EXPECT_THROW(c_.PrintHourlyFile("100", "", kFirst, kLast, *ds_), Error);
  for (const auto& t : testbed::SchemaTables())
    if (t.first == "DATA32") Exec(t.second);
  Values("DATA32", 100, 1, 0);
  c_.PrintHourlyFile("100", "", kFirst, kLast, *ds_);
  EXPECT_EQ(File().size(), 1u + 24);
}

TEST_F(VantorDb, UnquotedValuesMustBeIntegers) {
  Metric(200, 0, 2);
  Values("DATABUCKETS", 200, 1, 0, {}, "1, 250");
  Exec("DROP TABLE METRICDATA");  // any statement sent would fail with a database error
  struct Case {
    std::function<void()> call;
    std::string source;
  } cases[] = {
      {[&] { c_.PrintHourlyFile("1 OR 1=1", "", kFirst, kLast, *ds_); },
       "QuillFunctions.QuillClass.HourlyQuery:Vantor"},
      {[&] { c_.PrintTrendFile("1; DROP TABLE HOSTS", "", kFirst, kLast, int16_t{1}, *ds_); },
       "VantorFunctions.VantorClass.IDQuery:Vantor"},
      {[&] { c_.PrintHourlyFile("", "", kFirst, kLast, *ds_); },
       "QuillFunctions.QuillClass.HourlyQuery:Vantor"},
  };
  for (const auto& t : cases) {
    try {
      t.call();
      FAIL() << t.source;
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), kTypeMismatch);
      EXPECT_EQ(e.source(), t.source);
      EXPECT_EQ(e.description().find("Error Number"), std::string::npos) << "no statement was sent";
    }
  }
  // A bucket range is checked where it enters a statement.
  for (const auto& t : testbed::SchemaTables())
    if (t.first == "METRICDATA") Exec(t.second);
  Metric(200, 0, 2);
  try {
    c_.PrintHourlyFile("200", "1 OR 1=1", kFirst, kLast, *ds_);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kTypeMismatch);
    EXPECT_EQ(e.description(),
              "Error selecting OSTRAL tables:\r\nType mismatch\r\nType mismatch\r");
  }
}

TEST_F(VantorDb, GridRowsBeyondTheLoadHoldNothing) {
  Metric(100, 0, 0);
  Values("DATA32", 100, 1, 0);
  const std::string first = FormatDate(AddDays(ParseDate(kLast), -183), DateFormat::kIsoDay);
  EXPECT_EQ(c_.PrintHourlyFile("100", "", first, kLast, *ds_),
            Variant(int16_t{0}));  // slot 183: nothing stored
  EXPECT_EQ(File().size(), 1u);    // rows 182 to 184 are not rows of zeros
  const std::string tooEarly = FormatDate(AddDays(ParseDate(kLast), -185), DateFormat::kIsoDay);
  try {
    c_.PrintHourlyFile("100", "", tooEarly, kLast, *ds_);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kSubscriptOutOfRange);
  }
}

TEST_F(VantorDb, FirstAndLastDay) {
  Metric(1, 10, 0);
  Metric(2, 3, 0);
  EXPECT_EQ(c_.FirstDay(Day(10), Day(10), *ds_), Day(10));
  EXPECT_EQ(c_.LastDay(Day(10), Day(10), *ds_), Day(10));
  EXPECT_EQ(c_.FirstDay(kFirst, kLast, *ds_), Day(10));
  EXPECT_EQ(c_.LastDay(kFirst, kLast, *ds_), Day(3));
  Metric(3, 15, 0);
  EXPECT_EQ(c_.FirstDay(kFirst, kLast, *ds_), Day(15));  // the query runs again
  // The answer is a date text that the class takes back as a day.
  EXPECT_EQ(c_.LastDay(c_.FirstDay(kFirst, kLast, *ds_), c_.LastDay(kFirst, kLast, *ds_), *ds_),
            Day(3));
  for (auto [first, last] : {std::pair{kLast, kFirst},
                             std::pair{std::string("2002-01-01"), std::string("2002-02-01")}}) {
    try {
      c_.LastDay(first, last, *ds_);
      FAIL();
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), kInvalidUseOfNull);
      EXPECT_EQ(e.source(), "VantorFunctions.VantorClass.LastDay:Vantor");
      EXPECT_EQ(e.description(),
                "Error selecting LastDay in VANTOR tables:\r\nInvalid use of Null\r\nInvalid use "
                "of Null\r");
    }
  }
}

}  // namespace

namespace {

TEST_F(VantorDb, ARequestThroughAnotherDataSourceLoadsFromIt) {
  Metric(300, 0, 0);
  Values("DATA32", 300, 10, 0);
  c_.PrintTrendFile("300", "", kFirst, kLast, int16_t{0}, *ds_);
  // The same texts through another source read that source (here: none), never the fit
  // of the first.
  const PlainDataSource elsewhere("no_such_source", "", "");
  EXPECT_THROW(c_.PrintTrendFile("300", "", kFirst, kLast, int16_t{0}, elsewhere), Error);
  // A repeat through the first source loads again and answers; the one after it answers
  // from what it loaded, without a query.
  c_.PrintTrendFile("300", "", kFirst, kLast, int16_t{0}, *ds_);
  Exec("DELETE FROM DATA32");
  c_.InitializeFile(path_, "H");
  c_.PrintTrendFile("300", "", kFirst, kLast, int16_t{0}, *ds_);
  EXPECT_EQ(File()[1], "300,20010630,00:00,10,10,10");
}

}  // namespace
