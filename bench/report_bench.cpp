// Side-by-side measurements of the fleet report's costs on one data source:
//   1. a refit of TrendValue through the frame's C interface (the report's own code path)
//      against a bare ODBC fetch of the same statement's rows (bound columns, nothing
//      else), series by series;
//   2. trendhost report with one job, per series, against the bare fetch of every series the
//      report reads (the same series and rows, in the same rounds), and against its first
//      pass on a new connection (as a worker reads them: a new connection's first pass is
//      the slower on the servers), and the report's fixed cost (logins, the series list)
//      from a run that selects no series;
//   3. trendhost report with two jobs against one job.
// Each figure is the best of several interleaved rounds, so both sides of a ratio see the
// same machine. It prints the figures and ratios and asserts nothing.
//
//   report_bench --dsn NAME [--user U] [--password P] --trendhost PATH [--rounds R]
//                [--figures FILE]
//   (TREND_REGISTRY names a registry holding Orrery; --figures writes the ratios to FILE as
//   "refit REPORT speedup REPORT-TO-FIRST-PASS SERIES-ALONE", for run_bench.sh's table; the
//   last is the report less its start-up, against the bare fetch)
#include <sql.h>
#include <sqlext.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "series_pipeline.h"
#include "host_database.h"
#include "module1.h"
#include "orrery_class.h"
#include "report.h"

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The bare fetch: execute, bind every column, fetch every row.
size_t BareFetch(SQLHDBC dbc, const std::string& sql) {
  SQLHSTMT st = SQL_NULL_HSTMT;
  SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st);
  std::vector<SQLCHAR> text(sql.begin(), sql.end());
  text.push_back(0);
  if (!SQL_SUCCEEDED(SQLExecDirect(st, text.data(), SQL_NTS))) {
    std::fprintf(stderr, "report_bench: the bare statement failed\n");
    std::exit(1);
  }
  SQLSMALLINT columns = 0;
  SQLNumResultCols(st, &columns);
  std::vector<double> values(static_cast<size_t>(columns));
  std::vector<SQLLEN> indicators(static_cast<size_t>(columns));
  SQL_TIMESTAMP_STRUCT day{};
  SQLLEN dayIndicator = 0;
  SQLBindCol(st, 1, SQL_C_TYPE_TIMESTAMP, &day, sizeof day, &dayIndicator);
  for (SQLUSMALLINT c = 2; c <= static_cast<SQLUSMALLINT>(columns); ++c)
    SQLBindCol(st, c, SQL_C_DOUBLE, &values[c - 1], sizeof(double), &indicators[c - 1]);
  size_t rows = 0;
  while (SQL_SUCCEEDED(SQLFetch(st))) ++rows;
  SQLCloseCursor(st);
  SQLFreeHandle(SQL_HANDLE_STMT, st);
  return rows;
}

// Wall time of one trendhost report run.
double ReportSeconds(const std::string& trendhost, const std::vector<std::string>& args) {
  const auto start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(trendhost.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(trendhost.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 3)) {
    std::fprintf(stderr, "report_bench: trendhost report failed\n");
    std::exit(1);
  }
  return Since(start);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"report_bench: the fleet report's costs, side by side"};
  std::string dsn, user, password, trendhost;
  int rounds = 5;
  size_t sample = 100;
  bool callsOnly = false;
  std::string figures;
  app.add_option("--dsn", dsn)->required();
  app.add_option("--figures", figures, "write the ratios to FILE");
  app.add_option("--user", user);
  app.add_option("--password", password);
  app.add_option("--trendhost", trendhost)->required();
  app.add_option("--rounds", rounds);
  app.add_option("--sample", sample, "series of the refit comparison");
  app.add_flag("--calls-only", callsOnly,
               "print only the microseconds of a remembered call and the milliseconds of a refit");
  CLI11_PARSE(app, argc, argv);
  const trend::db::Login login{dsn, user, password};

  std::vector<host::Series> series;
  std::string first, last;
  {
    host::HostDatabase db(login, "");
    const trend::Date lastDay = db.LatestDay();
    first = trend::FormatDate(trend::AddDays(lastDay, -181), trend::DateFormat::kIsoDay);
    last = trend::FormatDate(lastDay, trend::DateFormat::kIsoDay);
    series = db.AllSeries(trend::ParseDate(first), lastDay);
  }
  const size_t n = std::min(sample, series.size());
  std::printf("%s: %zu series, %s to %s\n", dsn.c_str(), series.size(), first.c_str(),
              last.c_str());

  // The class's statement of each series, as it builds it.
  trend::db::Environment env;
  auto connection = trend::db::Connection::Open(env, login);
  auto literal = [&](const std::string& day) {
    return trend::Module1::GetNativeSQLVB(connection.nativeHandle(), "{d '" + day + "'}");
  };
  std::vector<std::string> every;  // the statement of each series, the first n the sample's
  for (const auto& s : series)
    every.push_back(orrery::MetricsStatement("", literal(first), literal(last), s.key.host,
                                             s.key.probe, s.key.arg));
  const std::span<const std::string> sampled(every.data(), n);
  auto fetchAll = [&](std::span<const std::string> list, SQLHDBC dbc) {
    size_t rows = 0;
    for (const auto& sql : list) rows += BareFetch(dbc, sql);
    return rows;
  };
  // Two texts of the same first day: alternating them makes every call a refit of the
  // same statement.
  const std::string firstAgain = std::to_string(std::stoi(first.substr(0, 4))) + "-" +
                                 std::to_string(std::stoi(first.substr(5, 2))) + "-" +
                                 std::to_string(std::stoi(first.substr(8, 2)));
  host::Forecaster forecaster(
      "", host::DatabaseLogin{login.dataSource, login.user, login.password, ""});

  if (callsOnly) {
    const auto& k = series.front().key;
    const host::Forecaster::Key key{k.host, k.probe, k.arg, first, last};
    forecaster.TrendValue(key, 30, 2);
    double remembered = 1e300, refits = 1e300;
    for (int r = 0; r < rounds; ++r) {
      auto start = Clock::now();
      for (int i = 0; i < 100000; ++i) forecaster.TrendValue(key, static_cast<float>(i % 90), 2);
      remembered = std::min(remembered, Since(start) / 100000);
      start = Clock::now();
      for (int i = 0; i < 50; ++i)
        forecaster.TrendValue({k.host, k.probe, k.arg, i % 2 ? first : firstAgain, last}, 30, 2);
      refits = std::min(refits, Since(start) / 50);
    }
    std::printf("%.4f %.4f\n", 1e6 * remembered, 1e3 * refits);
    return 0;
  }
  double bare = 1e300, refit = 1e300;
  size_t rows = 0;
  for (int r = 0; r < rounds; ++r) {
    auto start = Clock::now();
    rows = fetchAll(sampled, connection.nativeHandle());
    bare = std::min(bare, Since(start));
    start = Clock::now();
    for (size_t i = 0; i < n; ++i) {
      const auto& k = series[i].key;
      forecaster.TrendValue({k.host, k.probe, k.arg, r % 2 ? first : firstAgain, last}, 30, 2);
    }
    refit = std::min(refit, Since(start));
  }
  std::printf("  bare fetch of one series (%zu rows): %8.3f ms\n", rows / std::max<size_t>(n, 1),
              1e3 * bare / static_cast<double>(n));
  std::printf("  refit through the C interface:      %8.3f ms   ratio %.3fx (goal <= 1.03x)\n",
              1e3 * refit / static_cast<double>(n), refit / bare);

  std::vector<std::string> args = {"report",   "--dsn",     dsn,       "--format", "csv",
                                   "--output", "/dev/null", "--quiet", "--last",   last};
  if (!user.empty()) args.insert(args.end(), {"--user", user});
  if (!password.empty()) args.insert(args.end(), {"--password", password});
  double one = 1e300, two = 1e300, fleet = 1e300, fresh = 1e300, none = 1e300;
  const int reportRounds = std::max(2, rounds / 2);
  for (int r = 0; r < reportRounds; ++r) {
    auto withJobs = [&](const char* jobs) {
      auto a = args;
      a.insert(a.end(), {"--jobs", jobs});
      return ReportSeconds(trendhost, a);
    };
    auto start = Clock::now();
    fetchAll(every, connection.nativeHandle());
    fleet = std::min(fleet, Since(start));
    {
      // As a report's worker reads them: one pass, on a connection of its own (opened
      // before the clock starts).
      auto own = trend::db::Connection::Open(env, login);
      start = Clock::now();
      fetchAll(every, own.nativeHandle());
      fresh = std::min(fresh, Since(start));
    }
    one = std::min(one, withJobs("1"));
    two = std::min(two, withJobs("2"));
    auto a = args;
    a.insert(a.end(), {"--jobs", "1", "--host", "-no such host-"});
    none = std::min(none, ReportSeconds(trendhost, a));
  }
  const double perSeries = one / static_cast<double>(series.size());
  const double barePerSeries = fleet / static_cast<double>(series.size());
  const double freshPerSeries = fresh / static_cast<double>(series.size());
  std::printf("  bare fetch of every series:  %7.3f s, %8.3f ms a series\n", fleet,
              1e3 * barePerSeries);
  std::printf("    its first pass on a new connection: %7.3f s, %8.3f ms a series\n", fresh,
              1e3 * freshPerSeries);
  std::printf(
      "  report, 1 job:  %7.3f s, %8.3f ms a series   ratio to the bare fetch %.3fx (goal <= "
      "1.10x)\n",
      one, 1e3 * perSeries, perSeries / barePerSeries);
  std::printf("    of which start-up (logins, the series list; a run that selects none): %.3f s\n",
              none);
  std::printf("    ratio to the first pass on a new connection %.3fx\n",
              perSeries / freshPerSeries);
  // What the report spends on its series, less the fixed cost of a run.
  const double alonePerSeries = std::max(0.0, one - none) / static_cast<double>(series.size());
  std::printf("    less its start-up: %8.3f ms a series, ratio to the bare fetch %.3fx\n",
              1e3 * alonePerSeries, alonePerSeries / barePerSeries);
  std::printf("  report, 2 jobs: %7.3f s                      speed-up %.2fx (goal >= 1.7x)\n", two,
              one / two);
  if (!figures.empty())
    std::ofstream(figures) << refit / bare << " " << perSeries / barePerSeries << " " << one / two
                           << " " << perSeries / freshPerSeries << " "
                           << alonePerSeries / barePerSeries << "\n";
  return 0;
}
