// Benchmarks of the hot paths: the hourly fit, the general text form of numbers, and
// reading a metric result set (50 columns a row) through the ODBC layer from SQLite.
//
//   build/bench/bin/trend_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "error.h"
#include "hourly_fit.h"
#include "numeric.h"
#include "odbc.h"

std::string_view trend::ApplicationTitle() {
  return "trend_bench";
}

namespace {

std::array<trend::DayHours, trend::kFitDays> Grid() {
  std::array<trend::DayHours, trend::kFitDays> g{};
  for (int d = 0; d < trend::kFitDays; ++d)
    for (int h = 0; h < trend::kHours; ++h)
      g[d][h] = 200 - 0.5 * d + (h >= 9 && h <= 17 ? 20 : 0) + (d % 7 < 2 ? -15 : 0);
  return g;
}

void BM_FitHourlyModel(benchmark::State& state) {
  const auto grid = Grid();
  const auto cells = trend::PresentCells(grid);
  for (auto _ : state) {
    auto fit = trend::FitHourlyModel(grid, cells);
    benchmark::DoNotOptimize(trend::ResidualSpread(grid, cells, fit, fit.slope, fit.intercept));
  }
}
BENCHMARK(BM_FitHourlyModel);

void BM_FormatDouble(benchmark::State& state) {
  double v = 1.0 / 3;
  for (auto _ : state) {
    benchmark::DoNotOptimize(trend::FormatDouble(v));
    v += 1.25;
  }
}
BENCHMARK(BM_FormatDouble);

// Rows of 50 numeric columns, as the regression reads them, from an SQLite file.
void BM_ReadMetricRows(benchmark::State& state) {
  const std::string driver = "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";
  const auto folder = std::filesystem::temp_directory_path() / "trend_bench";
  std::filesystem::create_directories(folder);
  const std::string file = (folder / "trend_bench.db").string();
  // A data source of its own: the machine's ODBC configuration is never read.
  std::ofstream((folder / "odbcinst.ini").string()) << "";
  std::ofstream((folder / "odbc.ini").string())
      << "[trend_bench]\nDriver=" << driver << "\nDatabase=" << file << "\n";
  setenv("ODBCSYSINI", folder.c_str(), 1);
  setenv("ODBCINI", (folder / "odbc.ini").c_str(), 1);
  trend::db::Environment env;
  auto conn = trend::db::Connection::Open(env, {"trend_bench", "", ""});
  std::string cols = "D DATE", values = "'2001-06-30'";
  for (int c = 0; c < 49; ++c)
    cols += ", V" + std::to_string(c) + " DOUBLE", values += ", " + std::to_string(c) + ".5";
  conn.Execute("DROP TABLE IF EXISTS B");
  conn.Execute("CREATE TABLE B (" + cols + ")");
  conn.SetAutoCommit(false);
  for (int64_t r = 0; r < state.range(0); ++r)
    conn.Execute("INSERT INTO B VALUES (" + values + ")");
  conn.Commit();
  conn.SetAutoCommit(true);
  for (auto _ : state) {
    auto rs = conn.OpenResultSet("SELECT * FROM B");
    std::array<int, 50> column{};
    for (int c = 0; c < 50; ++c) column[c] = c;
    double sum = 0;
    for (; !rs.AtEnd(); rs.MoveNext())
      for (int c = 1; c < 50; ++c) sum += rs.Value(column[c]).ToDouble();
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_ReadMetricRows)->Arg(182)->Arg(2000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
