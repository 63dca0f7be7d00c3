// The commands against hostile names and faulty surroundings, through the real binary on
// every backend: names never become gnuplot or shell commands, output files are written
// whole with their mode kept, loads never lose or duplicate rows, a failed summary keeps
// the old one, and a failure to write is never reported as success.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "host_test.h"
#include "numeric.h"

namespace {

using testbed::HostRun;
namespace fs = std::filesystem;

class CommandSafety : public testbed::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    Exec("DELETE FROM HX_METRICS");
    marker_ = (dir_ / "pwned").string();
  }
  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  HostRun Run(const std::string& command, std::vector<std::string> args,
              const std::vector<std::string>& env = {}) {
    const auto& b = testbed::CurrentBackend();
    std::vector<std::string> all = {command, "--dsn",      b.dsn,     "--user",
                                    b.user,  "--password", b.password};
    all.insert(all.end(), args.begin(), args.end());
    return Host(all, env);
  }
  // 30 days of a flat series at `v`.
  void Flat(const std::string& host, const std::string& probe, const std::string& arg, double v) {
    for (int d = 0; d < 30; ++d) {
      testbed::HourlyRow r{host, probe, arg,
                           trend::FormatDate(trend::AddDays(trend::MakeDate(2001, 6, 30), -d),
                                             trend::DateFormat::kIsoDay)};
      r.avg.assign(24, v);
      r.min.assign(24, v);
      r.daily = r.maxHourly = v;
      Exec(testbed::InsertHourly("HX_METRICS", r));
    }
  }
  std::string marker_;
};

TEST_F(CommandSafety, NamesAndLabelsNeverReachGnuplotAsCommands) {
  // Every character class gnuplot treats specially: backticks (command substitution),
  // both quotes, "@" (macros), enhanced-text marks, a newline followed by system(), and
  // the shell's own.
  const std::string touch = "touch " + marker_;
  const std::vector<std::string> hosts = {
      "web`" + touch + "`", "db\"; system('" + touch + "'); \"", "x'; system('" + touch + "') #",
      "line\nsystem('" + touch + "')", "@m_^{}&~ $(" + touch + ")"};
  for (const auto& h : hosts) Flat(h, "cpu", "a`" + touch + "`", 90);
  const std::string thresholds =
      Write("t.csv", "probe,threshold,unit,label\ncpu,80,\"%`" + touch + "`\",\"`" + touch +
                         "` \"\"; system('" + touch + "')\"\n");
  const std::string charts = (dir_ / "charts").string();
  HostRun r = Run("report", {"--thresholds", thresholds, "--format", "html", "--charts", charts,
                             "--last", "2001-06-30", "--output", (dir_ / "r.html").string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(fs::exists(marker_));
  const std::string html = testbed::Slurp((dir_ / "r.html").string());
  // Each exceeded series has two charts (by day, and hour by hour), each titled with its
  // name as text (the newline dropped).
  size_t svgs = 0;
  for (size_t p = 0; (p = html.find("<svg", p)) != std::string::npos; ++p) ++svgs;
  EXPECT_EQ(svgs, 2 * hosts.size()) << r.err;
  EXPECT_NE(html.find("web`touch"), std::string::npos);
  EXPECT_NE(html.find("linesystem("), std::string::npos);
  size_t pngs = 0;
  for (const auto& f : fs::directory_iterator(charts)) pngs += f.path().extension() == ".png";
  EXPECT_EQ(pngs, 2 * hosts.size());
  // The Python fleet report draws through the same code; and no chart folder is left.
  for (const auto& f : fs::directory_iterator(fs::temp_directory_path()))
    EXPECT_EQ(
        f.path().filename().string().rfind("trendhost-charts-" + std::to_string(::getpid()), 0),
        std::string::npos);
}

TEST_F(CommandSafety, AnUnwritableChartFolderIsAnError) {
  Flat("web01", "avgcpubusy", "", 99);
  const std::string file = Write("charts", "a file, not a folder");
  HostRun r = Run("report", {"--charts", file + "/sub", "--last", "2001-06-30"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.err.find("cannot write the charts into"), std::string::npos) << r.err;
}

TEST_F(CommandSafety, OutputIsWrittenWholeAndKeepsItsMode) {
  Flat("web01", "avgcpubusy", "", 50);
  const std::string out = Write("report.csv", "old");
  ASSERT_EQ(::chmod(out.c_str(), 0640), 0);
  HostRun r = Run("report", {"--format", "csv", "--output", out, "--last", "2001-06-30"});
  ASSERT_EQ(r.status, 0) << r.err;
  struct stat st {};
  ASSERT_EQ(::stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(testbed::Slurp(out).rfind("host,probe", 0), 0u);
  // The group stays too (a metrics file read by a collector of another group), where the
  // owner may give it: as root, any group.
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(out.c_str(), static_cast<uid_t>(-1), 65534), 0);
    r = Run("report", {"--format", "csv", "--output", out, "--last", "2001-06-30"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
  }
  // Nothing beside it but the files the test made.
  size_t files = 0;
  for (const auto& f : fs::directory_iterator(dir_))
    files += f.is_regular_file() && f.path().filename() != "stderr";
  EXPECT_EQ(files, 1u);
  // A folder that does not exist: an error, and no temporary file anywhere.
  r = Run("report", {"--output", (dir_ / "none" / "r.csv").string(), "--last", "2001-06-30"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;
}

TEST_F(CommandSafety, ChartsReplaceWhatIsPlantedInTheirFolderWithoutOpeningIt) {
  Flat("web01", "avgcpubusy", "", 99);  // exceeded: a daily and an hourly chart
  const fs::path charts = dir_ / "charts";
  fs::create_directories(charts);
  const std::string victim = Write("victim", "precious");
  fs::create_symlink(victim, charts / "web01-avgcpubusy.png");
  ASSERT_EQ(::mkfifo((charts / "web01-avgcpubusy-hourly.png").c_str(), 0644), 0);
  HostRun r =
      Run("report", {"--charts", charts.string(), "--last", "2001-06-30", "--format", "csv"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testbed::Slurp(victim), "precious");
  for (const char* name : {"web01-avgcpubusy.png", "web01-avgcpubusy-hourly.png"}) {
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(charts / name))) << name;
    EXPECT_EQ(testbed::Slurp((charts / name).string()).substr(1, 3), "PNG") << name;
  }
}

TEST_F(CommandSafety, ASignalLeavesNoTemporaryFileBehind) {
  Flat("web01", "avgcpubusy", "", 99);
  // A gnuplot that takes its time holds the report while the page's temporary file and
  // the charts' folder exist.
  const fs::path bin = dir_ / "bin", tmp = dir_ / "tmp", out = dir_ / "out";
  for (const auto& folder : {bin, tmp, out}) fs::create_directories(folder);
  std::ofstream(bin / "gnuplot") << "#!/bin/sh\nexec sleep 31\n";
  fs::permissions(bin / "gnuplot", fs::perms::owner_all);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    const auto& b = testbed::CurrentBackend();
    const std::string pidFile = (dir_ / "pid").string();
    const std::string line =
        "PATH=" + testbed::ShellQuote(bin.string()) +
        ":$PATH TMPDIR=" + testbed::ShellQuote(tmp.string()) +
        " TREND_REGISTRY=" + testbed::ShellQuote((dir_ / "registry").string()) +
        " LD_PRELOAD=libodbcinst.so.2 ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 " +
        // A command the shell starts in the background ignores SIGINT unless told.
        "env --default-signal=INT " + TREND_HOST + " report --dsn " + testbed::ShellQuote(b.dsn) +
        " --user " + testbed::ShellQuote(b.user) + " --password " +
        testbed::ShellQuote(b.password) + " --last 2001-06-30 --format html --output " +
        testbed::ShellQuote((out / "r.html").string()) + " >/dev/null 2>&1 & echo $! >" + pidFile;
    ASSERT_EQ(std::system(line.c_str()), 0);
    const int pid = std::stoi(testbed::Slurp(pidFile));
    // Until the chart's folder and the page's temporary file are there.
    for (int i = 0; i < 100 && (fs::is_empty(tmp) || fs::is_empty(out)); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_FALSE(fs::is_empty(tmp));
    ASSERT_FALSE(fs::is_empty(out));
    ::kill(pid, signal);
    for (int i = 0; i < 100 && ::kill(pid, 0) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::system("pkill -f 'sleep 31' 2>/dev/null");
    EXPECT_TRUE(fs::is_empty(tmp)) << signal;
    EXPECT_TRUE(fs::is_empty(out)) << signal;
  }
}

TEST_F(CommandSafety, CellsThatAConsumerWouldRunAreDefused) {
  Flat("=HYPERLINK(\"x\")", "cpu", "@SUM(1)", 50);
  Flat("<img src=x onerror=alert(1)> [a](javascript:x)", "cpu", "", 50);
  Flat("term\x1b]0;title\x07", "cpu", "", 50);
  HostRun r = Run("report", {"--format", "csv", "--last", "2001-06-30"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"'=HYPERLINK(\"\"x\"\")\",cpu,'@SUM(1)"), std::string::npos) << r.out;
  r = Run("report", {"--format", "csv", "--csv-raw", "--last", "2001-06-30"});
  EXPECT_NE(r.out.find("\"=HYPERLINK(\"\"x\"\")\",cpu,@SUM(1)"), std::string::npos) << r.out;
  r = Run("report", {"--format", "markdown", "--last", "2001-06-30"});
  EXPECT_EQ(r.out.find("<img"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("&lt;img"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\\[a\\]\\(javascript:x\\)"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
  r = Run("report", {"--last", "2001-06-30"});
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(r.out.find('\x07'), std::string::npos);
  EXPECT_NE(r.out.find("term\\x1b]0;title\\x07"), std::string::npos) << r.out;
}

TEST_F(CommandSafety, MetricsOfHostileNamesPassPromtool) {
  Flat("web\"01\\x", "cpu", "a\nb", 90);
  Flat("wé}b{02", "avgcpubusy", "", 50);
  Flat("term\x1b[31m", "avgcpubusy", "", 10);
  // Names that a lossy escape would merge: a newline and its escape's text, invalid bytes
  // and the replacement character.
  Flat("lf\n", "cpu", "", 50);
  Flat("lf\\x0a", "cpu", "", 50);
  Flat("web\xef\xbf\xbd", "cpu", "", 50);
  // Only SQLite stores bytes that are not UTF-8.
  const bool bytes = testbed::CurrentBackend().name == "sqlite";
  if (bytes) Flat("web\xff", "cpu", "", 50), Flat("web\xfe", "cpu", "", 50);
  const std::string thresholds = Write("t.csv", "probe,threshold\ncpu,80\n");
  const std::string out = (dir_ / "trend.prom").string();
  HostRun r = Run("report", {"--format", "openmetrics", "--thresholds", thresholds, "--last",
                             "2001-06-30", "--output", out, "--horizon", "30,30,90,30"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string text = testbed::Slurp(out);
  // The name's own backslash doubled, then the format's escapes.
  EXPECT_NE(text.find("trend_status{host=\"web\\\"01\\\\\\\\x\",probe=\"cpu\",arg=\"a\\\\x0ab\","
                      "status=\"exceeded\"} 1"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("trend_seconds_to_threshold{host=\"web\\\"01"), std::string::npos);
  EXPECT_NE(text.find("# EOF\n"), std::string::npos);
  // Every sample's name and labels once: no two series share a label set, no horizon twice.
  std::set<std::string> seen;
  size_t forecasts = 0;
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    const std::string line = text.substr(start, end - start);
    if (line.empty() || line[0] == '#') continue;
    forecasts += line.rfind("trend_forecast{", 0) == 0;
    EXPECT_TRUE(seen.insert(line.substr(0, line.rfind(' '))).second) << line;
  }
  EXPECT_EQ(forecasts, (bytes ? 8u : 6u) * 2) << text;  // each series at 30 and 90 days
  const int status = std::system(("promtool check metrics < " + testbed::ShellQuote(out) + " > " +
                                  testbed::ShellQuote((dir_ / "lint").string()) + " 2>&1")
                                     .c_str());
  EXPECT_EQ(WEXITSTATUS(status), 0) << testbed::Slurp((dir_ / "lint").string());
}

TEST_F(CommandSafety, AlertMetricsLeaveOutWhatCannotCrossAndTheReadmesRulesPass) {
  // A host silent since early June is stale: it publishes its status and when it was last
  // seen, but no time to its threshold, so the README's rule cannot fire for it.
  Flat("busy", "cpu", "", 90);
  for (int d = 20; d < 50; ++d) {
    testbed::HourlyRow row{"silent", "cpu", "",
                           trend::FormatDate(trend::AddDays(trend::MakeDate(2001, 6, 30), -d),
                                             trend::DateFormat::kIsoDay)};
    row.avg.assign(24, 50);
    row.min = row.avg;
    row.daily = row.maxHourly = 50;
    Exec(testbed::InsertHourly("HX_METRICS", row));
  }
  const std::string thresholds = Write("t.csv", "probe,threshold\ncpu,80\n");
  const std::string out = (dir_ / "trend.prom").string();
  const auto before = std::time(nullptr);
  HostRun r = Run("report", {"--format", "openmetrics", "--thresholds", thresholds, "--last",
                             "2001-06-30", "--output", out});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string text = testbed::Slurp(out);
  EXPECT_NE(text.find("trend_status{host=\"silent\",probe=\"cpu\",arg=\"\",status=\"stale\"} 1"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("trend_seconds_to_threshold{host=\"silent\""), std::string::npos) << text;
  // The last day with data, 2001-06-10, ends at 2001-06-11 00:00 UTC.
  EXPECT_NE(text.find("trend_last_seen_timestamp_seconds{host=\"silent\",probe=\"cpu\",arg=\"\"} "
                      "992217600"),
            std::string::npos)
      << text;
  // Exceeded: reached, 0 seconds; the run's time is published.
  EXPECT_NE(text.find("trend_seconds_to_threshold{host=\"busy\",probe=\"cpu\",arg=\"\"} 0\n"),
            std::string::npos)
      << text;
  const size_t at = text.find("\ntrend_report_timestamp_seconds ");
  ASSERT_NE(at, std::string::npos) << text;
  const long long ran = std::stoll(text.substr(at + 32));
  EXPECT_GE(ran, static_cast<long long>(before));
  EXPECT_LE(ran, static_cast<long long>(std::time(nullptr)));
  auto promtool = [&](const std::string& args) {
    const std::string log = (dir_ / "promtool.log").string();
    const int status =
        std::system(("cd " + testbed::ShellQuote(TREND_SOURCE_DIR "/tests/fixtures") +
                     " && promtool " + args + " > " + testbed::ShellQuote(log) + " 2>&1")
                        .c_str());
    return std::make_pair(WEXITSTATUS(status), testbed::Slurp(log));
  };
  auto [status, log] = promtool("check metrics < " + testbed::ShellQuote(out));
  EXPECT_EQ(status, 0) << log;
  // The README's rules are docs/capacity-rules.yml, word for word, and they pass promtool's
  // own check and the unit test of their alerts.
  const std::string rules = testbed::Slurp(TREND_SOURCE_DIR "/docs/capacity-rules.yml");
  std::string indented;
  for (size_t start = 0, end; (end = rules.find('\n', start)) != std::string::npos; start = end + 1)
    indented += "    " + rules.substr(start, end - start) + "\n";
  EXPECT_NE(testbed::Slurp(TREND_SOURCE_DIR "/README.md").find(indented), std::string::npos);
  std::tie(status, log) = promtool("check rules ../../docs/capacity-rules.yml");
  EXPECT_EQ(status, 0) << log;
  std::tie(status, log) = promtool("test rules capacity_rules_test.yml");
  EXPECT_EQ(status, 0) << log;
}

TEST_F(CommandSafety, AFullStandardOutputIsAFailure) {
  Flat("web01", "avgcpubusy", "", 50);
  const auto& b = testbed::CurrentBackend();
  for (const std::string& command :
       {std::string("report --last 2001-06-30"), std::string("classes"),
        std::string("call OrreryFunctions.OrreryClass TrendValue web01 avgcpubusy '' 2001-01-01 "
                    "2001-06-30 0 0 2"),
        std::string("load --dry-run ") + Write("s.csv", "time,host,probe,arg,value\n0,h,p,,1\n")}) {
    const std::string login = command.rfind("classes", 0) == 0
                                  ? ""
                                  : " --dsn " + b.dsn + " --user " + testbed::ShellQuote(b.user) +
                                        " --password " + testbed::ShellQuote(b.password);
    const std::string verb = command.substr(0, command.find(' '));
    const std::string rest =
        command.find(' ') == std::string::npos ? "" : command.substr(command.find(' '));
    const std::string words = verb == "call"      ? "call" + login + rest
                              : verb == "classes" ? command
                                                  : verb + login + rest;
    const std::string line = "TREND_REGISTRY=" + testbed::ShellQuote((dir_ / "registry").string()) +
                             " " + TREND_HOST + " " + words + " >/dev/full 2>" +
                             (dir_ / "err").string();
    const int status = std::system(line.c_str());
    EXPECT_EQ(WEXITSTATUS(status), 1) << line;
    EXPECT_NE(testbed::Slurp((dir_ / "err").string()).find("cannot write the standard output"),
              std::string::npos)
        << line;
  }
}

TEST_F(CommandSafety, ThePasswordIsGoneFromTheArgumentsOnceRead) {
  // The thresholds file is a FIFO: the report waits on it after parsing its arguments,
  // while its command line can be read.
  const std::string fifo = (dir_ / "t.fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string pidFile = (dir_ / "pid").string();
  const std::string line = std::string(TREND_HOST) +
                           " report --dsn nowhere --password s3cret-word --thresholds " + fifo +
                           " >/dev/null 2>&1 & echo $! >" + pidFile;
  ASSERT_EQ(std::system(line.c_str()), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::string pid = testbed::Slurp(pidFile).substr(0, testbed::Slurp(pidFile).find('\n'));
  // Right after exec the command line is as typed; on a loaded machine the program may not
  // have reached its arguments yet. It has at most ten seconds to wipe the password.
  std::string cmdline;
  for (int i = 0; i < 100; ++i) {
    cmdline = testbed::Slurp("/proc/" + pid + "/cmdline");
    if (cmdline.find("--thresholds") != std::string::npos &&
        cmdline.find("s3cret-word") == std::string::npos)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_NE(cmdline.find("--password"), std::string::npos);
  EXPECT_EQ(cmdline.find("s3cret-word"), std::string::npos);
  std::ofstream(fifo) << "probe,threshold\n";  // lets it go on and fail on the DSN
}

TEST_F(CommandSafety, ARegistryIsNeverTakenFromTheWorkingFolder) {
  // With neither HOME nor XDG_DATA_HOME, a folder holding .local/share/trend-registry must
  // not offer its classes.
  const fs::path planted = dir_ / "cwd" / ".local/share/trend-registry";
  fs::create_directories(planted);
  std::ofstream(planted / "Evil.Class") << "ProgID=Evil.Class\nLibrary=/nonexistent.so\n";
  cwd_ = (dir_ / "cwd").string();
  HostRun r = Host({"classes"}, {"HOME=", "XDG_DATA_HOME=", "TREND_REGISTRY="});
  EXPECT_EQ(r.out.find("Evil.Class"), std::string::npos) << r.out;
  cwd_.clear();
}

TEST_F(CommandSafety, LoadsMatchKeysExactlyAndNeverDuplicateADay) {
  int files = 0;
  auto samples = [&](const std::string& host, double v) {
    return Write("s" + std::to_string(++files) + ".csv",
                 "time,host,probe,arg,value\n2001-06-30T10:00:00Z," + host + ",cpu,," +
                     trend::FormatDouble(v) + "\n");
  };
  ASSERT_EQ(Run("load", {samples("web01", 1)}).status, 0);
  for (const char* other : {"WEB01", "\"web01 \"", "wéb01"})
    EXPECT_EQ(Run("load", {samples(other, 2)}).status, 0) << other;
  const auto rows = Query("SELECT HOSTNAME, AVG_VALUE_10 FROM HX_METRICS ORDER BY AVG_VALUE_10");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"web01", testbed::Number(1)}));
  // Two loads of the same keys at once: one row per key and day afterwards.
  std::string many = "time,host,probe,arg,value\n";
  for (int h = 0; h < 400; ++h) many += "2001-06-29T05:00:00Z,h" + std::to_string(h) + ",mem,,1\n";
  const std::string file = Write("many.csv", many);
  HostRun a, b;
  std::thread first([&] { a = Run("load", {"--quiet", file}); });
  std::thread second([&] { b = Run("load", {"--quiet", file}); });
  first.join();
  second.join();
  EXPECT_EQ(a.status, 0) << a.err;  // both take turns
  EXPECT_EQ(b.status, 0) << b.err;
  EXPECT_EQ(Query("SELECT COUNT(*) FROM HX_METRICS WHERE PROBE = 'mem'")[0][0], "400");
  // A duplicate of a key is refused by the schema itself.
  EXPECT_ANY_THROW(
      Exec("INSERT INTO HX_METRICS (HOSTNAME, PROBE, PROBE_ARG, COLLECTION_DATE) "
           "SELECT HOSTNAME, PROBE, PROBE_ARG, COLLECTION_DATE FROM HX_METRICS "
           "WHERE HOSTNAME = 'web01'"));
}

TEST_F(CommandSafety, NamesLongerThanTheColumnsAreRefusedOrReportedAlone) {
  // 128 characters fit (multi-byte ones count once); 129 do not, on every backend.
  std::string fits;
  for (int i = 0; i < 64; ++i) fits += "h\xc3\xa9";  // h, e-acute
  HostRun r =
      Run("load", {Write("fits.csv", "time,host,probe,arg,value\n0," + fits + ",cpu,,1\n")});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string longer = std::string(129, 'h');
  r = Run("load", {Write("long.csv", "time,host,probe,arg,value\n0," + longer + ",cpu,,1\n")});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("long.csv:2: the host is 129 characters long; the tables hold 128"),
            std::string::npos)
      << r.err;
  if (testbed::CurrentBackend().name != "sqlite") return;
  // SQLite stores any length: a name put there by other means is one error row, and the
  // others are reported.
  Flat("web01", "avgcpubusy", "", 50);
  Exec("UPDATE HX_METRICS SET HOSTNAME = '" + std::string(9000, 'x') + "' WHERE HOSTNAME = '" +
       fits + "'");
  r = Run("report", {"--format", "csv", "--last", "2001-06-30", "--first", "1970-01-01"});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.out.find("\nweb01,avgcpubusy,,never,"), std::string::npos) << r.out.substr(0, 600);
  EXPECT_NE(r.out.find("longer than its column is described"), std::string::npos);
}

TEST_F(CommandSafety, ALoadWaitsForAnotherWriterLongerThanTheDriversBusyTime) {
  if (testbed::CurrentBackend().name != "sqlite") GTEST_SKIP() << "SQLite's one writer";
  // The database file of the data source, from the test's own odbc.ini.
  std::string database;
  {
    std::ifstream ini(std::getenv("ODBCINI"));
    bool section = false;
    for (std::string line; std::getline(ini, line);) {
      if (!line.empty() && line[0] == '[')
        section = line == "[" + testbed::CurrentBackend().dsn + "]";
      if (section && line.rfind("Database=", 0) == 0) database = line.substr(9);
    }
  }
  ASSERT_FALSE(database.empty());
  // Another writer holds the database for twelve seconds, past the DSN's five (which the
  // driver may spend on more than one step).
  const std::string holder = "sqlite3 " + testbed::ShellQuote(database) +
                             " '.timeout 30000' 'BEGIN IMMEDIATE;' "
                             "'DELETE FROM HX_METRIC_SUMMARY;' '.shell sleep 12' 'COMMIT;' &";
  ASSERT_EQ(std::system(holder.c_str()), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto start = std::chrono::steady_clock::now();
  HostRun r = Run("load", {Write("one.csv",
                                 "time,host,probe,arg,value\n2001-06-29T05:00:00Z,"
                                 "late,mem,,1\n")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("another load is writing the database; waiting for it"), std::string::npos)
      << r.err;
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(Query("SELECT COUNT(*) FROM HX_METRICS WHERE HOSTNAME = 'late'")[0][0], "1");
}

TEST_F(CommandSafety, LoadRefusesNamesAndValuesItCannotStoreFaithfully) {
  const std::string nul =
      Write("nul.csv", std::string("time,host,probe,arg,value\n0,web01\0a,cpu,,1\n",
                                   sizeof "time,host,probe,arg,value\n0,web01\0a,cpu,,1\n" - 1));
  HostRun r = Run("load", {nul});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("nul.csv:2: the host holds the control character 0x00"), std::string::npos)
      << r.err;
  r = Run("load", {Write("tab.csv", "time,host,probe,arg,value\n0,web01,cpu,\"e\tth0\",1\n")});
  EXPECT_NE(r.err.find(":2: the arg holds the control character 0x09"), std::string::npos) << r.err;
  r = Run("load", {Write("big.csv", "time,host,probe,arg,value\n0,h,p,,1e308\n1,h,p,,1e308\n")});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("big.csv:3: the value 1e308 is not finite or makes its hour's sum overflow"),
            std::string::npos)
      << r.err;
  r = Run("load", {"--timezone", "zone.tab", Write("z.csv", "time,host,probe,arg,value\n")});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("unknown time zone zone.tab"), std::string::npos) << r.err;
  r = Run("load", {"--format", "sadf",
                   Write("s.txt",
                         "# hostname;interval;timestamp;CPU;%idle\n;60;2001-06-30 "
                         "10:00:00 UTC;-1;50\n")});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("s.txt:2: the host name is empty"), std::string::npos) << r.err;
  EXPECT_EQ(Query("SELECT COUNT(*) FROM HX_METRICS")[0][0], "0");
}

TEST_F(CommandSafety, ASummaryOfNothingKeepsTheOldOne) {
  Flat("web01", "avgcpubusy", "", 50);
  ASSERT_EQ(Run("summarize", {"--last", "2001-06-30"}).status, 0);
  HostRun r = Run("summarize", {"--first", "1990-01-01", "--last", "1990-01-31"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("nothing to summarize"), std::string::npos) << r.err;
  EXPECT_EQ(Query("SELECT COUNT(*) FROM HX_METRIC_SUMMARY")[0][0], "1");
}

TEST_F(CommandSafety, OneBadRowSpoilsOnlyItself) {
  Flat("web01", "avgcpubusy", "", 50);
  Flat("future", "avgcpubusy", "", 50);
  Exec(
      "UPDATE HX_METRICS SET COLLECTION_DATE = '9999-12-31' WHERE HOSTNAME = 'future' AND "
      "COLLECTION_DATE = '2001-06-30'");
  const bool sqlite = testbed::CurrentBackend().name == "sqlite";
  if (sqlite) {  // SQLite keeps any bytes, and names longer than their column
    Flat("bad\xff\xfeutf8", "avgcpubusy", "", 50);
    Flat(std::string(600, 'h'), "avgcpubusy", "", 50);
  }
  HostRun r = Run("report", {"--format", "json", "--jobs", "1"});
  ASSERT_FALSE(r.out.empty()) << r.err;
  const auto doc = nlohmann::json::parse(r.out);
  EXPECT_EQ(doc["parameters"]["last_day"], "2001-06-30") << r.err;
  EXPECT_NE(r.err.find("rows dated after today (up to 9999-12-31)"), std::string::npos) << r.err;
  std::map<std::string, std::string> status;
  for (const auto& s : doc["series"])
    status[s["host"].get<std::string>().substr(0, 4)] = s["status"];
  EXPECT_EQ(status["web0"], "never");
  if (sqlite) {
    EXPECT_EQ(status["hhhh"], "never");
    EXPECT_EQ(status["bad\xef"], "never");  // its invalid bytes replaced in the JSON
    EXPECT_EQ(doc["series"].size(), 4u);
  }
  // Nothing up to today: the report has nothing to do, and says so; nothing at all, too.
  Exec("DELETE FROM HX_METRICS WHERE COLLECTION_DATE < '9999-12-31'");
  r = Run("report", {"--jobs", "1"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("HX_METRICS holds no rows up to today: nothing to report"),
            std::string::npos)
      << r.err;
  Exec("DELETE FROM HX_METRICS");
  r = Run("report", {"--jobs", "1"});
  EXPECT_NE(r.err.find("HX_METRICS holds no rows: nothing to report"), std::string::npos) << r.err;
}

}  // namespace
