// trendhost load and trendhost summarize through the real binary on every backend:
// samples into day rows, replacement of the days a load covers, nothing written by a
// failed run, real sysstat output, the population summary, and the whole path to a
// forecast and a rank.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "dates.h"
#include "host_test.h"

namespace {

using testbed::HostRun;
using Rows = std::vector<std::vector<std::string>>;

class Load : public testbed::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    Exec("DELETE FROM HX_METRICS");
    Exec("DELETE FROM DOMINO_METRICS");
  }
  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  HostRun Run(const std::string& command, const std::vector<std::string>& args,
              const std::vector<std::string>& env = {}) {
    return Command(command, args, env);
  }
  Rows Table(const std::string& columns, const std::string& table = "HX_METRICS") {
    return Query("SELECT " + columns + " FROM " + table +
                 " ORDER BY HOSTNAME, PROBE, PROBE_ARG, COLLECTION_DATE");
  }
  static constexpr const char* kHours =
      "HOSTNAME, PROBE, PROBE_ARG, COLLECTION_DATE, AVG_VALUE_00, MIN_VALUE_00, AVG_VALUE_01, "
      "MIN_VALUE_01, AVG_VALUE_23, MIN_VALUE_23, AVG_DAILY_VALUE, MAX_HOURLY_AVG";
};

// Numbers as the fixture's reader writes them: compare through a double.
std::string N(double v) {
  return testbed::Number(v);
}

TEST_F(Load, SamplesBecomeDayRowsWithTheMissingMarks) {
  const std::string file = Write("s.csv",
                                 "time,host,probe,arg,value\r\n"
                                 "2001-06-30T00:10:00Z,web01,avgcpubusy,,10\r\n"
                                 "2001-06-30T00:50:00Z,web01,avgcpubusy,,30\r\n"
                                 "2001-06-30 23:59:59Z,web01,avgcpubusy,,40\r\n"
                                 // an offset: 00:30 at +02:00 is 22:30 UTC the day before
                                 "2001-07-01T00:30:00+02:00,web01,avgcpubusy,,5\r\n"
                                 // Unix seconds: 2001-06-30 01:00:00 UTC
                                 "993862800,\"we,b\",\"p\"\"x\",eth0,7\r\n");
  HostRun dry = Run("load", {"--dry-run", file});
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_EQ(dry.out,
            "would write 2 rows into HX_METRICS: 2 series, 1 days (2001-06-30 to 2001-06-30), from "
            "5 samples\n");
  EXPECT_EQ(Query("SELECT COUNT(*) FROM HX_METRICS")[0][0], "0");
  HostRun r = Run("load", {file});
  EXPECT_EQ(r.status, 0) << r.err;
  const Rows rows = Table(kHours);
  ASSERT_EQ(rows.size(), 2u);
  // Hour 0: the mean and the least of 10 and 30; hour 1 without samples; hour 23: 40.
  EXPECT_EQ(rows[0], (std::vector<std::string>{"we,b", "p\"x", "eth0", "2001-06-30", N(-1), N(1e9),
                                               N(7), N(7), N(-1), N(1e9), N(7), N(7)}));
  EXPECT_EQ(rows[1],
            (std::vector<std::string>{"web01", "avgcpubusy", "", "2001-06-30", N(20), N(10), N(-1),
                                      N(1e9), N(40), N(40), N((20 + 5 + 40) / 3.0), N(40)}));
  EXPECT_EQ(Query("SELECT AVG_VALUE_22 FROM HX_METRICS WHERE HOSTNAME = 'web01'")[0][0], N(5));
}

TEST_F(Load, NaiveTimesInTheZoneGivenAndMailTablesKeepTheLargestSample) {
  const std::string file =
      Write("s.csv",
            "host,time,value,probe,arg\n"
            "mail01,2001-06-30 00:30,4,Mail.Delivered,\n"  // 22:30 UTC the day before
            "mail01,2001-06-30 00:40,9,Mail.Delivered,\n");
  HostRun r = Run("load", {"--table", "DOMINO_METRICS", "--timezone", "Europe/Berlin", file});
  EXPECT_EQ(r.status, 0) << r.err;
  // Days and hours are those of the zone: 00:30 Berlin is hour 0 of 30 June.
  EXPECT_EQ(Table("COLLECTION_DATE, AVG_VALUE_00, MIN_VALUE_00, MAX_HOURLY_AVG, MAX_DAILY_VALUE",
                  "DOMINO_METRICS"),
            (Rows{{"2001-06-30", N(6.5), N(4), N(6.5), N(9)}}));
  EXPECT_EQ(Run("load", {"--timezone", "Mars/Olympus", file}).status, 2);
}

TEST_F(Load, ASecondLoadMergesOnlyTheDaysItCovers) {
  Run("load", {Write("a.csv",
                     "time,host,probe,arg,value\n"
                     "2001-06-29T10:00:00Z,h,p,,1\n2001-06-30T10:00:00Z,h,p,,2\n"
                     "2001-06-30T10:00:00Z,other,p,,3\n")});
  HostRun r =
      Run("load", {Write("b.csv", "time,host,probe,arg,value\n2001-06-30T11:00:00Z,h,p,,9\n")});
  EXPECT_EQ(r.status, 0) << r.err;
  // Hour 10 of 30 June stays, hour 11 joins it: the daily mean is of both.
  EXPECT_EQ(
      Table("HOSTNAME, COLLECTION_DATE, AVG_DAILY_VALUE"),
      (Rows{
          {"h", "2001-06-29", N(1)}, {"h", "2001-06-30", N(5.5)}, {"other", "2001-06-30", N(3)}}));
  r = Run("load", {"--replace-days",
                   Write("b.csv", "time,host,probe,arg,value\n2001-06-30T11:00:00Z,h,p,,9\n")});
  EXPECT_EQ(
      Table("HOSTNAME, COLLECTION_DATE, AVG_DAILY_VALUE"),
      (Rows{{"h", "2001-06-29", N(1)}, {"h", "2001-06-30", N(9)}, {"other", "2001-06-30", N(3)}}));
  // A run with every hour of a day replaces the whole stored day; the next day's partial
  // run still merges with what is stored.
  std::string whole = "time,host,probe,arg,value\n";
  for (int h = 0; h < 24; ++h)
    whole +=
        "2001-06-29T" + std::string(h < 10 ? "0" : "") + std::to_string(h) + ":30:00Z,h,p,,4\n";
  whole += "2001-06-30T12:00:00Z,h,p,,3\n";
  r = Run("load", {Write("c.csv", whole)});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(
      Table("HOSTNAME, COLLECTION_DATE, AVG_DAILY_VALUE"),
      (Rows{{"h", "2001-06-29", N(4)}, {"h", "2001-06-30", N(6)}, {"other", "2001-06-30", N(3)}}));
}

TEST_F(Load, AFailedRunLeavesTheTableAsItWas) {
  Run("load", {Write("a.csv", "time,host,probe,arg,value\n2001-06-30T10:00:00Z,h,p,,1\n")});
  const Rows before = Table(kHours);
  HostRun r = Run("load", {Write("bad.csv",
                                 "time,host,probe,arg,value\n2001-06-30T11:00:00Z,h,p,,5\n"
                                 "2001-06-31T11:00:00Z,h,p,,5\n")});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("bad.csv:3: \"2001-06-31T11:00:00Z\" is not a time"), std::string::npos)
      << r.err;
  r = Run("load",
          {Write("bad2.csv", "time,host,probe,arg,value\n2001-06-30T11:00:00Z,h,p,,five\n")});
  EXPECT_NE(r.err.find("bad2.csv:2: \"five\" is not a number"), std::string::npos) << r.err;
  r = Run("load", {Write("bad3.csv", "when,host,probe,arg,value\n")});
  EXPECT_NE(r.err.find("bad3.csv:1: the header must name the columns"), std::string::npos) << r.err;
  EXPECT_EQ(Table(kHours), before);
  // A row the database rejects, in the second batch of a run that first replaced a day:
  // the whole run is rolled back.
  Exec("DROP TABLE HX_METRICS");
  std::string create;
  for (const auto& [name, statement] : testbed::SchemaTables())
    if (name == "HX_METRICS") create = statement;
  create.insert(create.rfind(')'), ", CHECK (AVG_DAILY_VALUE < 1000)");
  Exec(create);
  Run("load", {Write("a.csv", "time,host,probe,arg,value\n2001-06-30T10:00:00Z,h,p,,1\n")});
  const Rows kept = Table(kHours);
  std::string many = "time,host,probe,arg,value\n2001-06-30T12:00:00Z,h,p,,2\n";
  for (int i = 0; i < 1100; ++i)
    many += "2001-06-30T12:00:00Z,host" + std::to_string(1000 + i) + ",p,,1\n";
  many += "2001-06-30T12:00:00Z,zz,p,,5000\n";
  r = Run("load", {Write("rejected.csv", many)});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Table(kHours), kept);
}

TEST_F(Load, HourlyLoadsOfOneDayKeepEveryHour) {
  // An hourly cron job: three runs, each with the samples of one hour of the same day.
  for (int h : {9, 10, 11}) {
    char line[96];
    std::snprintf(line, sizeof line, "2001-06-30T%02d:15:00Z,web01,cpu,,%d\n", h, 10 * h);
    HostRun r =
        Run("load", {"--quiet", Write("h.csv", std::string("time,host,probe,arg,value\n") + line)});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");  // --quiet: nothing on success
  }
  EXPECT_EQ(Table("AVG_VALUE_09, AVG_VALUE_10, AVG_VALUE_11, AVG_VALUE_12, MIN_VALUE_12, "
                  "AVG_DAILY_VALUE, MAX_HOURLY_AVG"),
            (Rows{{N(90), N(100), N(110), N(-1), N(1e9), N(100), N(110)}}));
  // A run with a new value for hour 10 replaces that hour only.
  ASSERT_EQ(Run("load",
                {Write("h.csv", "time,host,probe,arg,value\n2001-06-30T10:40:00Z,web01,cpu,,40\n")})
                .status,
            0);
  EXPECT_EQ(Table("AVG_VALUE_09, AVG_VALUE_10, AVG_VALUE_11, AVG_DAILY_VALUE, MAX_HOURLY_AVG"),
            (Rows{{N(90), N(40), N(110), N(80), N(110)}}));
  // --replace-days: the run's day as the run has it.
  ASSERT_EQ(Run("load",
                {"--replace-days",
                 Write("h.csv", "time,host,probe,arg,value\n2001-06-30T12:00:00Z,web01,cpu,,5\n")})
                .status,
            0);
  EXPECT_EQ(Table("AVG_VALUE_09, AVG_VALUE_12, AVG_DAILY_VALUE"), (Rows{{N(-1), N(5), N(5)}}));
}

TEST_F(Load, AShortLoadSaysHowFewDaysItsHostsHold) {
  auto days = [](const std::string& host, int first, int count) {
    std::string text = "time,host,probe,arg,value\n";
    for (int d = first; d < first + count; ++d)
      text += trend::FormatDate(trend::AddDays(trend::ParseDate("2001-06-01"), d),
                                trend::DateFormat::kIsoDay) +
              "T10:00:00Z," + host + ",cpu,,5\n";
    return text;
  };
  // Twenty days of one host, then one day more: enough stored, nothing said.
  HostRun r = Run("load", {Write("a.csv", days("old01", 0, 20))});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("fewer than 14 days"), std::string::npos) << r.err;
  r = Run("load", {Write("b.csv", days("old01", 20, 1) + days("new01", 15, 6).substr(26))});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("note: 1 of 2 hosts holds fewer than 14 days of rows (new01: 6): the "
                       "report forecasts from 14 days, roughly from 3"),
            std::string::npos)
      << r.err;
  // A dry run counts its own days; --quiet says nothing.
  r = Run("load", {"--dry-run", Write("c.csv", days("x", 0, 2))});
  EXPECT_NE(r.err.find("(x: 2)"), std::string::npos) << r.err;
  r = Run("load", {"--quiet", Write("c.csv", days("x", 0, 2))});
  EXPECT_EQ(r.err, "");
}

TEST_F(Load, TextsReachTheTableUnchanged) {
  ServerEscapesBackslashes();
  const std::string host = "back\\slash'quote\\";
  HostRun r = Run("load", {Write("odd.csv", "time,host,probe,arg,value\n2001-06-30T10:00:00Z,\"" +
                                                host + "\",\"p;x\",\"a\"\"b\",3\n")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Table("HOSTNAME, PROBE, PROBE_ARG"), (Rows{{host, "p;x", "a\"b"}}));
  r = Call({"OrreryFunctions.OrreryClass", "TrendValue", host, "p;x", "a\"b", "2001-06-01",
            "2001-06-30", "0", "0", "2"});
  EXPECT_EQ(r.out, "3\n") << r.err;
}

TEST_F(Load, NamesAndNumbersOfEveryShapeSurviveABulkWriteAndItsReplacement) {
  // Texts that mean something to an array, a list or a literal, and numbers that need all
  // their digits; written twice, so that the second run's delete must find every key.
  const std::vector<std::string> hosts = {
      "{a,b}",  "NULL",   "q\"uote", "back\\slash", " lead",
      "trail ", "comma,", "ünï",     "}",           "'; DROP TABLE x; --"};
  const std::vector<std::string> values = {"0.30000000000000004", "1e-300", "-0.1",
                                           "123456789.12345678", "1e15"};
  std::string csv = "time,host,probe,arg,value\n";
  for (size_t i = 0; i < hosts.size(); ++i) {
    std::string quoted = "\"";
    for (char c : hosts[i]) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    csv += "2001-06-30T10:00:00Z," + quoted + "\",p,{x}," + values[i % values.size()] + "\n";
  }
  const std::string file = Write("shapes.csv", csv);
  for (int run = 0; run < 2; ++run) {
    HostRun r = Run("load", {"--quiet", file});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  Rows expected;
  for (size_t i = 0; i < hosts.size(); ++i)
    expected.push_back({hosts[i], "{x}", N(std::stod(values[i % values.size()]))});
  std::sort(expected.begin(), expected.end());
  Rows stored = Table("HOSTNAME, PROBE_ARG, AVG_VALUE_10");
  std::sort(stored.begin(), stored.end());
  EXPECT_EQ(stored, expected);
}

TEST_F(Load, SysstatOutputLoadsAndAForecastFollows) {
  // The fixture's root: 239,358 MB free of 258,019 with the root's reserve, 69.79 % used as
  // users see it: 77,947 MB they may write, 19.3 % used as df counts.
  const double kUserFree = (239358.0 + 18661.0) * (1 - 69.79 / 100);
  const double kUsedPct = 18661.0 / (18661.0 + kUserFree) * 100;
  HostRun r =
      Run("load",
          {"--format", "sadf",
           (std::filesystem::path(TREND_SOURCE_DIR) / "tests/fixtures/sadf_known.txt").string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Table("PROBE, PROBE_ARG, AVG_VALUE_10, MIN_VALUE_10, AVG_VALUE_11"),
            (Rows{{"avgcpubusy", "", N(40), N(30), N(-1)},  // 100 - %idle of all CPUs, hour 10
                  {"avgcpusys", "", N(7.5), N(5), N(-1)},
                  {"avgcpuusr", "", N(25), N(20), N(-1)},
                  {"avgcpuwait", "", N(0), N(0), N(-1)},
                  {"blockinkb", "", N(4), N(4), N(-1)},  // -B: kB/s of block I/O
                  {"blockoutkb", "", N(12.5), N(12.5), N(-1)},
                  // Per mount point, as df shows it: what users may write (the size
                  // less the share used as they see it), used over used and available.
                  {"fsfreemb", "/", N(kUserFree), N(kUserFree), N(-1)},
                  {"fsusedpct", "/", N(kUsedPct), N(kUsedPct), N(-1)},
                  {"ldavg1", "", N(1.27), N(1.27), N(1.27)},
                  {"ldavg15", "", N(0.73), N(0.73), N(0.73)},
                  {"ldavg5", "", N(1.12), N(1.12), N(1.12)},
                  {"memusedpct", "", N(61.5), N(61.5), N(-1)},
                  {"netinrate", "eth0", N(100), N(100), N(-1)},
                  {"netinrate", "lo", N(1), N(1), N(-1)},
                  {"netoutrate", "eth0", N(80), N(80), N(-1)},
                  {"netoutrate", "lo", N(1), N(1), N(-1)},
                  {"pageinrate", "", N(2), N(2), N(-1)},  // -W: pages swapped per second
                  {"pageoutrate", "", N(3), N(3), N(-1)},
                  {"peakdiskxfer", "vda", N(42), N(42), N(-1)},
                  {"runqjobs", "", N(3), N(3), N(5)},
                  {"swapusedpct", "", N(12.25), N(12.25), N(-1)},
                  {"totalfree", "", N(2000), N(2000), N(-1)}}));  // kbavail in MB
  // Real output of this machine's collector, a few seconds of it.
  const std::string sa = (dir_ / "sa.bin").string();
  const std::string sadf = (dir_ / "sa.txt").string();
  ASSERT_EQ(
      std::system(("/usr/lib/sysstat/sadc -S XALL 1 3 " + testbed::ShellQuote(sa) + " && sadf -d " +
                   testbed::ShellQuote(sa) + " -- -u ALL -q -B -W -r -S -F MOUNT -n DEV -d > " +
                   testbed::ShellQuote(sadf))
                      .c_str()),
      0);
  Exec("DELETE FROM HX_METRICS");
  r = Run("load", {"--format", "sadf", sadf});
  EXPECT_EQ(r.status, 0) << r.err;
  const Rows series =
      Query("SELECT HOSTNAME, COLLECTION_DATE FROM HX_METRICS WHERE PROBE = 'avgcpubusy'");
  ASSERT_GE(series.size(), 1u);
  const std::string day = series.back()[1];
  HostRun f = Call({"OrreryFunctions.OrreryClass", "TrendValue", series.back()[0], "avgcpubusy", "",
                    day, day, "0", "0", "2"});
  EXPECT_EQ(f.status, 0) << f.err;
  const double level = std::stod(f.out);
  EXPECT_GE(level, 0);
  EXPECT_LE(level, 100);
  // The collector's memory, swap, file systems, load average, CPU wait and block I/O.
  const Rows probes = Query("SELECT DISTINCT PROBE FROM HX_METRICS ORDER BY PROBE");
  for (const char* probe : {"avgcpuusr", "avgcpusys", "avgcpuwait", "blockinkb", "blockoutkb",
                            "fsfreemb", "fsusedpct", "ldavg1", "ldavg5", "ldavg15", "memusedpct",
                            "pageinrate", "pageoutrate", "swapusedpct", "totalfree"})
    EXPECT_NE(std::find(probes.begin(), probes.end(), std::vector<std::string>{probe}),
              probes.end())
        << probe;
  const Rows root = Query("SELECT PROBE_ARG FROM HX_METRICS WHERE PROBE = 'fsusedpct'");
  EXPECT_NE(std::find(root.begin(), root.end(), std::vector<std::string>{"/"}), root.end());
}

TEST_F(Load, TheOwnDatabaseGuidesSadfLineGivesMemoryDisksAndFileSystems) {
  // The guide's line, as a reader copies it, on a file of this machine's collector.
  const std::string guide = testbed::Slurp(TREND_SOURCE_DIR "/docs/own-database.md");
  const size_t at = guide.find("    sadf -d ");
  ASSERT_NE(at, std::string::npos);
  std::string line = guide.substr(at + 4, guide.find('\n', at) - at - 4);
  const std::string documented = "/var/log/sysstat/sa08", out = "> sa08.txt";
  const std::string sa = (dir_ / "sa08").string(), text = (dir_ / "sa08.txt").string();
  ASSERT_NE(line.find(documented), std::string::npos) << line;
  ASSERT_NE(line.find(out), std::string::npos) << line;
  line.replace(line.find(documented), documented.size(), testbed::ShellQuote(sa));
  line.replace(line.find(out), out.size(), "> " + testbed::ShellQuote(text));
  ASSERT_EQ(std::system(("/usr/lib/sysstat/sadc -S XALL 1 2 " + testbed::ShellQuote(sa)).c_str()),
            0);
  ASSERT_EQ(std::system(line.c_str()), 0) << line;
  HostRun r = Run("load", {"--format", "sadf", text});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("no "), std::string::npos) << r.out;  // no activity missing
  const Rows probes = Query("SELECT DISTINCT PROBE FROM HX_METRICS ORDER BY PROBE");
  for (const char* probe : {"avgcpubusy", "memusedpct", "totalfree", "swapusedpct", "fsusedpct",
                            "fsfreemb", "peakdiskxfer", "netinrate", "pageoutrate", "runqjobs"})
    EXPECT_NE(std::find(probes.begin(), probes.end(), std::vector<std::string>{probe}),
              probes.end())
        << probe;
}

TEST_F(Load, DailySaFilesThroughSadfWithWhatIsMissing) {
  const std::string sa = (dir_ / "sa01").string(), disks = (dir_ / "sa02").string();
  ASSERT_EQ(std::system(("/usr/lib/sysstat/sadc 1 2 " + testbed::ShellQuote(sa) +
                         " && /usr/lib/sysstat/sadc -S XALL 1 2 " + testbed::ShellQuote(disks))
                            .c_str()),
            0);
  // Without -S DISK the collector has no disks and no file systems: the summary says so.
  HostRun r = Run("load", {"--format", "sa", "--exclude-arg", "l?", sa});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("no disk activity (-d): sadc collects disks only with -S DISK"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(Query("SELECT COUNT(*) FROM HX_METRICS WHERE PROBE_ARG = 'lo'")[0][0], "0");
  EXPECT_NE(Query("SELECT COUNT(*) FROM HX_METRICS WHERE PROBE = 'memusedpct'")[0][0], "0");
  // Two files in one run and one transaction; the second has disks and file systems.
  r = Run("load", {"--format", "sa", sa, disks});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("no disk activity"), std::string::npos) << r.out;
  EXPECT_NE(Query("SELECT COUNT(*) FROM HX_METRICS WHERE PROBE = 'fsfreemb'")[0][0], "0");
  // A file sadf cannot read is named, with sadf's own words; nothing is written.
  const std::string before = Query("SELECT COUNT(*) FROM HX_METRICS")[0][0];
  const std::string bad = Write("sa03", "not a daily file\n");
  r = Run("load", {"--format", "sa", sa, bad});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find(bad + ": sadf cannot read it: "), std::string::npos) << r.err;
  EXPECT_EQ(Query("SELECT COUNT(*) FROM HX_METRICS")[0][0], before);
  // sadf output given as samples, and sadf -j output, are recognised.
  r = Run("load", {Write("d.txt",
                         "# hostname;interval;timestamp;CPU;%idle\nh;60;2001-06-30 "
                         "10:00:00 UTC;-1;5\n")});
  EXPECT_NE(r.err.find("looks like the output of sadf -d: load it with --format sadf"),
            std::string::npos)
      << r.err;
  r = Run("load", {"--format", "sadf", Write("j.txt", "{\"sysstat\": {}}\n")});
  EXPECT_NE(r.err.find("looks like the output of sadf -j"), std::string::npos) << r.err;
  // The daily file itself, given as samples or as sadf output, is recognised too.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{sa}, std::vector<std::string>{"--format", "sadf", sa}}) {
    r = Run("load", args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("looks like a sysstat daily file (binary): load it with --format sa"),
              std::string::npos)
        << r.err;
  }
}

TEST_F(Load, SaFileNamesAreAlwaysFilesAndSadfIsBounded) {
  // Names sadf would take for options or an interval are files all the same; standard
  // input is no daily file.
  const std::string sa = (dir_ / "sa01").string();
  ASSERT_EQ(std::system(("/usr/lib/sysstat/sadc 1 2 " + testbed::ShellQuote(sa)).c_str()), 0);
  HostRun r = Run("load", {"--dry-run", "--format", "sa", sa});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string expected = r.out;
  cwd_ = dir_.string();
  for (const std::string name : {"--", "-0", "-1", "07", "5"}) {
    std::filesystem::copy_file(sa, dir_ / name);
    r = Run("load", {"--dry-run", "--format", "sa", "--", name});
    EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    EXPECT_EQ(r.out, expected) << name;
  }
  r = Run("load", {"--dry-run", "--format", "sa", "-"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("standard input"), std::string::npos) << r.err;
  // A sadf that says too much on standard error is quoted in part.
  const std::filesystem::path bin = dir_ / "bin";
  std::filesystem::create_directories(bin);
  std::ofstream(bin / "sadf") << "#!/bin/sh\nhead -c 3000000 /dev/zero | tr '\\0' e >&2\nexit 3\n";
  std::filesystem::permissions(bin / "sadf", std::filesystem::perms::owner_all);
  r = Run("load", {"--dry-run", "--format", "sa", sa},
          {"PATH=" + bin.string() + ":" + std::getenv("PATH")});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("sadf cannot read it: eeee"), std::string::npos) << r.err.substr(0, 200);
  EXPECT_LT(r.err.size(), 10000u);
  // Host names: blanks around them go, a blank or #-led one is refused.
  r = Run("load", {"--dry-run", "--format", "sadf",
                   Write("t.txt",
                         "# hostname;interval;timestamp;CPU;%idle\n web01 ;60;2001-06-30 "
                         "10:00:00 UTC;-1;5\n")});
  EXPECT_EQ(r.status, 0) << r.err;
  for (const std::string host : {"  ", "#web"}) {
    r = Run("load", {"--dry-run", "--format", "sadf",
                     Write("h.txt", "# hostname;interval;timestamp;CPU;%idle\n" + host +
                                        ";60;2001-06-30 10:00:00 UTC;-1;5\n")});
    EXPECT_EQ(r.status, 2) << host;
    EXPECT_NE(r.err.find("h.txt:2: "), std::string::npos) << r.err;
  }
}

TEST_F(Load, TextsFromInputReachTheTerminalAsVisibleEscapes) {
  // A time that retitles the terminal, and a name that reorders what follows it.
  HostRun r =
      Run("load", {Write("esc.csv", "time,host,probe,arg,value\n\x1b]0;owned\x07,h,p,,1\n")});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\\x1b]0;owned\\x07"), std::string::npos) << r.err;
  r = Run("load", {Write("rlo.csv",
                         "time,host,probe,arg,value\n2001-06-30T00:00:00Z,"
                         "web\xe2\x80\xae"
                         "10bew,cpu,,1\n")});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Run("report", {"--format", "table", "--last", "2001-06-30", "--host", "web*"});
  EXPECT_EQ(r.out.find("\xe2\x80\xae"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("web\\u202e10bew"), std::string::npos) << r.out;
}

TEST_F(Load, SummarizeBuildsThePopulationBandsAndTheWholePathAnswers) {
  // Three hosts' mean daily CPU over the range: 10, 20 and 60.
  std::string samples = "time,host,probe,arg,value\n";
  for (int d = 1; d <= 30; ++d) {
    char day[16];
    std::snprintf(day, sizeof day, "2001-06-%02d", d);
    for (auto [host, v] : std::vector<std::pair<std::string, int>>{{"a", 10}, {"b", 20}, {"c", 60}})
      for (int h = 0; h < 24; h += 6)
        samples += std::string(day) + "T" + (h < 10 ? "0" : "") + std::to_string(h) + ":00:00Z," +
                   host + ",avgcpubusy,," + std::to_string(v) + "\n" + day + "T" +
                   (h < 10 ? "0" : "") + std::to_string(h) + ":00:00Z," + host + ",runqjobs,," +
                   std::to_string(v / 10) + "\n";
  }
  ASSERT_EQ(Run("load", {Write("fleet.csv", samples)}).status, 0);
  HostRun r = Run("summarize", {});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "summarized 2 probes into HX_METRIC_SUMMARY from 2001-06-01 to 2001-06-30\n");
  EXPECT_EQ(Query("SELECT PROBE, LOWEST_AVERAGE, MIDDLE_AVERAGE, HIGHEST_AVERAGE FROM "
                  "HX_METRIC_SUMMARY ORDER BY PROBE"),
            (Rows{{"avgcpubusy", N(10), N(20), N(60)}, {"runqjobs", N(1), N(2), N(6)}}));
  // Forecast and rank from what was loaded.
  r = Call({"OrreryFunctions.OrreryClass",
            "TrendValue",
            "c",
            "avgcpubusy",
            "",
            "2001-06-01",
            "2001-06-30",
            "30",
            "0",
            "2",
            "--",
            "GetRanges",
            "--",
            "UpdateSystemSummary",
            "2001-06-01",
            "2001-06-30",
            "--",
            "CalculateRank",
            "c",
            "CPU",
            "--",
            "CalculateRank",
            "a",
            "CPU"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "60\n\n\n4\n0\n") << "c at the top band, a at the bottom one";

  // A failed rebuild keeps the old summary.
  Exec("DROP TABLE HX_METRIC_SUMMARY");
  Exec(
      "CREATE TABLE HX_METRIC_SUMMARY (PROBE VARCHAR(128) NOT NULL, LOWEST_AVERAGE DOUBLE "
      "PRECISION, "
      "MIDDLE_AVERAGE DOUBLE PRECISION, HIGHEST_AVERAGE DOUBLE PRECISION CHECK (HIGHEST_AVERAGE < "
      "50))");
  Exec("INSERT INTO HX_METRIC_SUMMARY VALUES ('avgcpubusy', 1, 2, 3)");
  r = Run("summarize", {"--first", "2001-06-01", "--last", "2001-06-30"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Query("SELECT PROBE, LOWEST_AVERAGE, HIGHEST_AVERAGE FROM HX_METRIC_SUMMARY"),
            (Rows{{"avgcpubusy", N(1), N(3)}}));
}

}  // namespace
