// Both loaders' file-system probes against df on this machine's root file system, on every
// backend: sysstat's collector read through sadf, and node_exporter scraped by a real
// Prometheus and read through the map the README documents. Free space is what users may
// write (df's Avail, the root's reserve left out); the share used is df's Use%.
#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "host_test.h"

namespace {

using testbed::HostRun;

struct DfRoot {
  std::string type;
  double sizeMb = 0, availMb = 0, usePercent = 0;
};

DfRoot Df(const std::filesystem::path& dir) {
  const std::string out = (dir / "df.txt").string();
  DfRoot d;
  if (std::system(
          ("df -BM --output=fstype,size,avail,pcent / >" + testbed::ShellQuote(out)).c_str()) != 0)
    return d;
  std::istringstream in(testbed::Slurp(out));
  std::string header, size, avail, percent;
  std::getline(in, header);
  in >> d.type >> size >> avail >> percent;
  d.sizeMb = std::atof(size.c_str());  // "258020M"
  d.availMb = std::atof(avail.c_str());
  d.usePercent = std::atof(percent.c_str());  // "21%"
  return d;
}

class FreeSpace : public testbed::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    Exec("DELETE FROM HX_METRICS");
  }
  HostRun Load(const std::vector<std::string>& args) { return Command("load", args); }
  // The day's value of the root's probe, as loaded.
  double Root(const std::string& probe) {
    const auto rows = Query("SELECT AVG_DAILY_VALUE FROM HX_METRICS WHERE PROBE = '" + probe +
                            "' AND PROBE_ARG = '/' ORDER BY COLLECTION_DATE DESC");
    return rows.empty() ? NAN : std::stod(rows[0][0]);
  }
  // Free space moves while the tests run beside this one: within half a percent of the
  // size (a root's reserve is five percent or more), df's Use% rounded up.
  void ExpectDf(const DfRoot& df, const std::string& source) {
    EXPECT_NEAR(Root("fsfreemb"), df.availMb, 0.005 * df.sizeMb + 64) << source;
    const double used = Root("fsusedpct");
    EXPECT_LE(used, df.usePercent + 0.5) << source;
    EXPECT_GT(used, df.usePercent - 1.5) << source;
  }
};

TEST_F(FreeSpace, BothLoadersGiveWhatDfSaysOfTheRootFileSystem) {
  const DfRoot df = Df(dir_);
  ASSERT_GT(df.sizeMb, 0);

  // sysstat: a few seconds of this machine's collector, file systems included.
  const std::string sa = (dir_ / "sa01").string();
  ASSERT_EQ(std::system(("/usr/lib/sysstat/sadc -S XALL 1 2 " + testbed::ShellQuote(sa)).c_str()),
            0);
  HostRun r = Load({"--quiet", "--format", "sa", sa});
  ASSERT_EQ(r.status, 0) << r.err;
  ExpectDf(Df(dir_), "sysstat");

  // node_exporter scraped each second by Prometheus, read through the README's map (the
  // file the package installs, word for word).
  const std::string map = testbed::Slurp(TREND_SOURCE_DIR "/docs/node-exporter-map.csv");
  std::string indented;
  for (size_t start = 0, end; (end = map.find('\n', start)) != std::string::npos; start = end + 1)
    indented += "    " + map.substr(start, end - start) + "\n";
  EXPECT_NE(testbed::Slurp(TREND_SOURCE_DIR "/README.md").find(indented), std::string::npos);
  if (df.type == "tmpfs" || df.type == "overlay")
    GTEST_SKIP() << "the map leaves out a root of type " << df.type;
  Exec("DELETE FROM HX_METRICS");
  const int exporterPort = testbed::FreePort();
  testbed::BackgroundProgram exporter(
      "prometheus-node-exporter --collector.disable-defaults --collector.filesystem "
      "--web.listen-address=127.0.0.1:" +
          std::to_string(exporterPort),
      dir_ / "exporter.log");
  ASSERT_TRUE(testbed::Answers("http://127.0.0.1:" + std::to_string(exporterPort) + "/metrics"))
      << testbed::Slurp((dir_ / "exporter.log").string());
  std::ofstream(dir_ / "prometheus.yml")
      << "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: node\n"
         "    static_configs:\n      - targets: ['127.0.0.1:"
      << exporterPort << "']\n";
  const int port = testbed::FreePort();
  const std::string url = "http://127.0.0.1:" + std::to_string(port);
  testbed::BackgroundProgram prometheus(
      "prometheus --config.file=" + testbed::ShellQuote((dir_ / "prometheus.yml").string()) +
          " --storage.tsdb.path=" + testbed::ShellQuote((dir_ / "tsdb").string()) +
          " --web.listen-address=127.0.0.1:" + std::to_string(port),
      dir_ / "prometheus.log");
  // Ready once two scrapes of the root are stored.
  ASSERT_TRUE(testbed::Answers(url + "/-/ready"))
      << testbed::Slurp((dir_ / "prometheus.log").string());
  const std::string answer = (dir_ / "answer.json").string();
  bool scraped = false;
  for (int i = 0; i < 300 && !scraped; ++i) {
    std::system(("curl -s -o " + testbed::ShellQuote(answer) + " " + url +
                 "/api/v1/query?query=count_over_time%28node_filesystem_avail_bytes%7Bmountpoint"
                 "%3D%22%2F%22%7D%5B1m%5D%29%3E1")
                    .c_str());
    scraped = testbed::Slurp(answer).find("\"value\"") != std::string::npos;
    if (!scraped) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(scraped) << testbed::Slurp(answer)
                       << testbed::Slurp((dir_ / "prometheus.log").string());
  char today[16];
  const std::time_t now = std::time(nullptr);
  std::strftime(today, sizeof today, "%Y-%m-%d", std::gmtime(&now));
  r = Load({"--quiet", "--prometheus", url, "--prometheus-map",
            TREND_SOURCE_DIR "/docs/node-exporter-map.csv", "--allow-empty", "--timezone", "UTC",
            "--start", today, "--end", today, "--step", "15s"});
  ASSERT_EQ(r.status, 0) << r.err;
  ExpectDf(Df(dir_), "node_exporter");
}

}  // namespace
