// The loader's speed: parsing and aggregating samples from a file in the page cache (one
// core), and writing day rows through trendhost load into each data source named on the
// command line (parameter arrays, one transaction). Prints figures; asserts nothing.
//
//   load_bench --trendhost PATH [--dsn NAME[:USER:PASSWORD]]...
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "samples.h"

std::string_view trend::ApplicationTitle() {
  return "load_bench";
}

namespace {

using Clock = std::chrono::steady_clock;

// `series` series of `days` days with `perDay` samples a day, ending 2026-11-30.
void WriteSamples(const std::string& path, int series, int days, int perDay) {
  std::ofstream out(path);
  out << "time,host,probe,arg,value\n";
  const int64_t last = 1764460800;  // 2026-11-30T00:00:00Z
  char line[128];
  for (int s = 0; s < series; ++s)
    for (int d = 0; d < days; ++d)
      for (int k = 0; k < perDay; ++k) {
        const int64_t t = last - static_cast<int64_t>(days - 1 - d) * 86400 + k * (86400 / perDay);
        std::snprintf(line, sizeof line, "%lld,host%04d,probe%d,,%d.%d\n",
                      static_cast<long long>(t), s / 5, s % 5, (s * 7 + d * 3 + k) % 100, k % 10);
        out << line;
      }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"load_bench: the loader's speed"};
  std::string trendhost;
  std::vector<std::string> dsns;
  app.add_option("--trendhost", trendhost)->required();
  app.add_option("--dsn", dsns, "NAME or NAME:USER:PASSWORD");
  CLI11_PARSE(app, argc, argv);
  const auto dir =
      std::filesystem::temp_directory_path() / ("load-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);

  const std::string big = (dir / "samples.csv").string();
  WriteSamples(big, 1000, 100, 24);  // 2.4 million samples
  double best = 1e300;
  size_t count = 0;
  for (int round = 0; round < 3; ++round) {
    std::ifstream in(big, std::ios::binary);
    host::TimeZone utc("UTC");
    host::Aggregator samples(utc);
    const auto start = Clock::now();
    host::ReadSamples(in, big, utc, samples);
    auto rows = samples.Rows();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    count = samples.samples();
  }
  std::printf("parse and aggregate: %zu samples in %.3f s, %.2f million samples/s (goal >= 2)\n",
              count, best, static_cast<double>(count) / best / 1e6);

  const std::string rowsFile = (dir / "rows.csv").string();
  WriteSamples(rowsFile, 500, 60, 1);  // 30,000 day rows of one sample each
  for (const auto& spec : dsns) {
    std::vector<std::string> args = {trendhost, "load", "--quiet", "--dsn",
                                     spec.substr(0, spec.find(':'))};
    if (auto c = spec.find(':'); c != std::string::npos) {
      auto c2 = spec.find(':', c + 1);
      args.insert(args.end(),
                  {"--user", spec.substr(c + 1, c2 - c - 1), "--password", spec.substr(c2 + 1)});
    }
    args.push_back(rowsFile);
    double seconds = 1e300;
    for (int round = 0; round < 2; ++round) {  // the second run replaces the first's rows
      const auto start = Clock::now();
      std::fflush(stdout);
      pid_t pid = fork();
      if (pid == 0) {
        std::vector<char*> argv2;
        for (auto& a : args) argv2.push_back(a.data());
        argv2.push_back(nullptr);
        freopen("/dev/null", "w", stdout);
        execv(trendhost.c_str(), argv2.data());
        _exit(127);
      }
      int status = 0;
      waitpid(pid, &status, 0);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "load_bench: trendhost load failed on %s\n", args[4].c_str());
        return 1;
      }
      seconds = std::min(seconds, std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::printf("write %s: 30000 day rows in %.3f s, %.0f rows/s (goal >= 20000)\n",
                args[4].c_str(), seconds, 30000 / seconds);
  }
  std::filesystem::remove_all(dir);
  return 0;
}
