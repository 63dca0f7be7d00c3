// trendhost load --prometheus against a real, throwaway Prometheus server on every backend:
// its data made by promtool from an OpenMetrics file the test writes, so that every
// expected row follows from the construction; the rows are those the same samples give
// as CSV.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "host_test.h"

namespace {

using testbed::HostRun;
using Rows = std::vector<std::vector<std::string>>;

constexpr int64_t kStart = 991353600;  // 2001-06-01 00:00:00 UTC
constexpr int kDays = 30, kStep = 300;

class Prometheus : public testbed::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    Exec("DELETE FROM HX_METRICS");
    // Two hosts' load average, an interface counter per device, and a series without the
    // host label; every 5 minutes for 30 days, values that follow from the time.
    std::ofstream om(dir_ / "data.om");
    std::ofstream csv(dir_ / "same.csv");
    csv << "time,host,probe,arg,value\n";
    om << "# TYPE node_load1 gauge\n";
    for (const char* host : {"web01", "db01"})
      for (int64_t t = kStart; t < kStart + kDays * 86400; t += kStep) {
        const double v = Value(host, t);
        om << "node_load1{instance=\"" << host << ":9100\",job=\"node\"} " << v << " " << t << "\n";
        csv << t << "," << host << ",ldavg1,," << v << "\n";
      }
    om << "# TYPE node_rx gauge\n";
    for (const char* device : {"eth0", "lo"})
      for (int64_t t = kStart; t < kStart + kDays * 86400; t += kStep) {
        const double v = Value(device, t) * 10;
        om << "node_rx{instance=\"web01:9100\",device=\"" << device << "\"} " << v << " " << t
           << "\n";
        csv << t << ",web01,netinrate," << device << "," << v << "\n";
      }
    for (int64_t t = kStart; t < kStart + kDays * 86400; t += kStep)
      om << "node_rx{device=\"orphan\"} 1 " << t << "\n";
    om << "# EOF\n";
    om.close();
    csv.close();
    const std::string data = (dir_ / "tsdb").string();
    ASSERT_EQ(
        std::system(("promtool tsdb create-blocks-from openmetrics --max-block-duration=720h " +
                     testbed::ShellQuote((dir_ / "data.om").string()) + " " +
                     testbed::ShellQuote(data) + " >/dev/null 2>&1")
                        .c_str()),
        0);
    std::ofstream(dir_ / "prometheus.yml")
        << "global:\n  scrape_interval: 1h\nscrape_configs: []\n";
    port_ = testbed::FreePort();
    url_ = "http://127.0.0.1:" + std::to_string(port_);
    prometheus_ = std::make_unique<testbed::BackgroundProgram>(
        "prometheus --config.file=" + testbed::ShellQuote((dir_ / "prometheus.yml").string()) +
            " --storage.tsdb.path=" + testbed::ShellQuote(data) +
            " --storage.tsdb.retention.time=100y --web.listen-address=127.0.0.1:" +
            std::to_string(port_),
        dir_ / "prometheus.log");
    ASSERT_TRUE(testbed::Answers(url_ + "/-/ready"))
        << testbed::Slurp((dir_ / "prometheus.log").string());
  }
  void TearDown() override {
    prometheus_.reset();
    HostTest::TearDown();
  }
  static double Value(const std::string& name, int64_t t) {
    const double hours = static_cast<double>(t - kStart) / 3600;
    return std::round(
               (static_cast<double>(name.size()) + std::fmod(hours, 24.0) / 4 + hours / 240) *
               100) /
           100;
  }
  HostRun Load(const std::vector<std::string>& args) { return Command("load", args); }
  Rows All() {
    return Query(
        "SELECT HOSTNAME, PROBE, PROBE_ARG, COLLECTION_DATE, AVG_VALUE_00, MIN_VALUE_00, "
        "AVG_VALUE_13, MIN_VALUE_13, AVG_VALUE_23, AVG_DAILY_VALUE, MAX_HOURLY_AVG FROM "
        "HX_METRICS ORDER BY HOSTNAME, PROBE, PROBE_ARG, COLLECTION_DATE");
  }
  int port_ = 0;
  std::string url_;
  std::unique_ptr<testbed::BackgroundProgram> prometheus_;
};

TEST_F(Prometheus, LoadsTheRowsTheSameSamplesGiveAsCsv) {
  HostRun r = Load({(dir_ / "same.csv").string()});
  ASSERT_EQ(r.status, 0) << r.err;
  const Rows expected = All();
  ASSERT_EQ(expected.size(), 4u * kDays);
  Exec("DELETE FROM HX_METRICS");
  // Two queries in one run and one transaction, in chunks of 2000 points (seven a series).
  r = Load({"--prometheus", url_, "--query", "node_load1", "--probe", "ldavg1", "--query",
            "node_rx", "--probe", "netinrate", "--arg-label", "device", "--start", "2001-06-01",
            "--end", "2001-06-30", "--points-per-query", "2000"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("1 series without the label instance skipped"), std::string::npos) << r.out;
  EXPECT_EQ(All(), expected);
  // The probe mapping from a file gives the same rows again.
  Exec("DELETE FROM HX_METRICS");
  std::ofstream(dir_ / "map.csv") << "probe,query,arg_label\nldavg1,node_load1,\n"
                                  << "netinrate,\"node_rx{device=~\"\"eth0|lo\"\"}\",device\n";
  r = Load({"--prometheus", url_ + "/", "--prometheus-map", (dir_ / "map.csv").string(), "--start",
            "2001-06-01", "--end", "2001-06-30"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(All(), expected);
}

TEST_F(Prometheus, ErrorsNameTheStatusAndTheServersText) {
  HostRun r = Load({"--prometheus", url_, "--query", "node_load1{", "--probe", "x", "--start",
                    "2001-06-01", "--end", "2001-06-02"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("answered HTTP 400 to the query node_load1{: bad_data: "), std::string::npos)
      << r.err;
  // Nobody listens: a clear error, nothing written.
  r = Load({"--prometheus", "http://127.0.0.1:" + std::to_string(testbed::FreePort()), "--query",
            "up", "--probe", "x", "--start", "2001-06-01", "--end", "2001-06-02"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot read http://127.0.0.1:"), std::string::npos) << r.err;
  // A server that accepts and never answers: the time-out.
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(s, 4), 0);
  socklen_t n = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  r = Load({"--prometheus", "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)), "--query",
            "up", "--probe", "x", "--timeout", "1", "--start", "2001-06-01", "--end",
            "2001-06-02"});
  ::close(s);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("timed out"), std::string::npos) << r.err;
  EXPECT_EQ(Query("SELECT COUNT(*) FROM HX_METRICS")[0][0], "0");
  // A misspelled metric matches nothing: an error that names the query, nothing written,
  // unless --allow-empty (then the other queries' rows are written).
  r = Load({"--prometheus", url_, "--query", "node_load1", "--probe", "ldavg1", "--query",
            "node_laod5", "--probe", "ldavg5", "--start", "2001-06-01", "--end", "2001-06-30"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the query node_laod5 (probe ldavg5) matched no series"), std::string::npos)
      << r.err;
  EXPECT_EQ(Query("SELECT COUNT(*) FROM HX_METRICS")[0][0], "0");
  r = Load({"--prometheus", url_, "--query", "node_load1", "--probe", "ldavg1", "--query",
            "node_laod5", "--probe", "ldavg5", "--start", "2001-06-01", "--end", "2001-06-30",
            "--allow-empty"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(Query("SELECT COUNT(*) FROM HX_METRICS")[0][0], "0");
  EXPECT_EQ(Load({"--prometheus", url_, "--query", "up"}).status, 2);  // no --probe
  EXPECT_EQ(Load({"--prometheus", url_, "--query", "up", "--probe", "x", "f.csv"}).status, 2);
}

}  // namespace
