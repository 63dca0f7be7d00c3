// The loader's speed: parsing and aggregating samples from a file in the page cache (one
// core), and writing day rows through trendhost load into each data source named on the
// command line, side by side with a bare write of as many rows through the ODBC layer (one
// prepared INSERT with parameter arrays, one transaction). Prints figures; asserts nothing.
//
//   load_bench --trendhost PATH [--dsn NAME[:USER:PASSWORD]]... [--figures FILE]
//   (--figures writes each data source's rows a second to FILE, one "NAME ROWS" line each)
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dates.h"
#include "hour_columns.h"
#include "odbc.h"
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

// Seconds to write `rows` day rows of distinct keys through one prepared INSERT with
// parameter arrays in one transaction, then removes them again (not timed).
double BareInsert(const trend::db::Login& login, size_t rows) {
  trend::db::Environment env;
  auto c = trend::db::Connection::Open(env, login);
  const std::string columns =
      "HOSTNAME, PROBE, PROBE_ARG, COLLECTION_DATE" + trend::HourColumns("AVG_VALUE_", ", ", "") +
      trend::HourColumns("MIN_VALUE_", ", ", "") + ", AVG_DAILY_VALUE, MAX_HOURLY_AVG";
  std::string marks = "?";
  for (int i = 1; i < 54; ++i) marks += ", ?";
  std::vector<std::string> hosts(rows), probes(rows, "bare"), args(rows);
  std::vector<trend::Date> days(rows);
  std::vector<std::vector<double>> values(50, std::vector<double>(rows, -1));
  for (size_t i = 0; i < rows; ++i) {
    hosts[i] = "bare" + std::to_string(i / 60);
    days[i] = trend::AddDays(trend::MakeDate(2026, 11, 30), -static_cast<int>(i % 60));
    values[0][i] = values[24][i] = values[48][i] = values[49][i] = static_cast<double>(i % 100);
    for (int h = 25; h < 48; ++h) values[h][i] = 1e9;
  }
  std::vector<trend::db::ParameterColumn> all = {hosts, probes, args, days};
  for (auto& v : values) all.emplace_back(std::move(v));
  const auto start = Clock::now();
  c.SetAutoCommit(false);
  trend::db::PreparedBatch insert(
      c, "INSERT INTO HX_METRICS (" + columns + ") VALUES (" + marks + ")");
  insert.Execute(all, rows);
  c.Commit();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  c.Execute("DELETE FROM HX_METRICS WHERE PROBE = 'bare'");
  c.Commit();
  c.SetAutoCommit(true);
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"load_bench: the loader's speed"};
  std::string trendhost;
  std::vector<std::string> dsns;
  app.add_option("--trendhost", trendhost)->required();
  app.add_option("--dsn", dsns, "NAME or NAME:USER:PASSWORD");
  std::string figures;
  app.add_option("--figures", figures, "write the rows a second to FILE");
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

  std::ofstream figuresOut;
  if (!figures.empty()) figuresOut.open(figures);
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
    trend::db::Login login{args[4], "", ""};
    if (args.size() > 7) login.user = args[6], login.password = args[8];
    const double bare = std::min(BareInsert(login, 30000), BareInsert(login, 30000));
    std::printf(
        "write %s: trendhost load replaced 30000 day rows in %.3f s, %.0f rows/s (goal >= "
        "40000); a bare parameter-array INSERT of 30000 new rows %.3f s, %.0f rows/s; load / "
        "bare %.2f\n",
        args[4].c_str(), seconds, 30000 / seconds, bare, 30000 / bare, seconds / bare);
    if (figuresOut) figuresOut << args[4] << " " << 30000 / seconds << "\n";
  }
  std::filesystem::remove_all(dir);
  return 0;
}
