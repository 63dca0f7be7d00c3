// backtest_bench: the report's forecasting models against what happened next, on generated
// hourly series of the regimes real metrics show (steady growth, a level shift, saturation
// toward a ceiling, an annual cycle cut at a turning point, accelerating growth, noise of
// several sizes, gaps). Rolling origin: at each cut-off a model is given only the 182 days
// before it, as the report gives it the report's window.
//
// Printed per model: MASE at 7, 30 and 90 days (mean absolute error of the daily means over
// days 1..h, over the window's mean absolute week-over-week change), the share of actual
// daily means inside the 80 % interval at days 7, 30 and 90, and the time per series of fit,
// backtest and intervals. Every series is made by a fixed generator: the figures repeat.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "dates.h"
#include "error.h"
#include "window_forecast.h"

namespace {

struct Random {
  uint64_t state;
  double Uniform() {
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return static_cast<double>((z ^ (z >> 31)) >> 11) / 9007199254740992.0;
  }
  double Normal() {
    const double u = std::max(1e-12, Uniform()), v = Uniform();
    return std::sqrt(-2 * std::log(u)) * std::cos(6.283185307179586 * v);
  }
};

constexpr int kDays = 182 + 90 + 36 * 7;  // the window, the longest horizon, 36 cut-offs

// A regime: the level of day t (0 = first day) before the daily and weekly shape.
struct Regime {
  std::string name;
  std::function<double(int)> level;
  double noise;     // relative noise per hour
  double gapShare;  // share of days without rows
  // Day by day: a relative wander of the whole day (weather, campaigns) that persists from
  // one day to the next by `persistence`, and holidays, days at 45 % of the level.
  double dayNoise = 0, persistence = 0, holidayShare = 0;
};

using Hours = std::vector<std::array<std::optional<double>, 24>>;

Hours Generate(const Regime& g, uint64_t seed) {
  Random rnd{seed};
  Hours out(kDays);
  double wander = 0;
  for (int t = 0; t < kDays; ++t) {
    const bool gap = rnd.Uniform() < g.gapShare;
    const bool weekend = t % 7 == 5 || t % 7 == 6;
    double day = 1;
    if (g.dayNoise > 0) {
      wander = g.persistence * wander +
               g.dayNoise * std::sqrt(1 - g.persistence * g.persistence) * rnd.Normal();
      day = std::exp(wander);
    }
    if (g.holidayShare > 0 && rnd.Uniform() < g.holidayShare) day *= 0.45;
    for (int h = 0; h < 24; ++h) {
      const double shape = (h >= 8 && h <= 18 ? 1.4 : 0.8) * (weekend ? 0.7 : 1.0) * day;
      const double v = std::max(0.0, g.level(t) * shape * (1 + g.noise * rnd.Normal()));
      if (!gap) out[t][h] = v;
    }
  }
  return out;
}

std::optional<double> DailyMean(const std::array<std::optional<double>, 24>& day) {
  double sum = 0;
  int n = 0;
  for (const auto& v : day)
    if (v) sum += *v, ++n;
  if (!n) return std::nullopt;
  return sum / n;
}

struct Score {
  double mase[3] = {0, 0, 0};
  int cases[3] = {0, 0, 0};
  int inside[3] = {0, 0, 0}, covered[3] = {0, 0, 0};
  double seconds = 0;
  int series = 0;
};

constexpr int kLeads[3] = {7, 30, 90};

// Rolling origin every `step` days from the first full window to the last that 90 days
// follow.
void Evaluate(const Hours& hours, std::optional<host::Model> model, Score& s, int step = 7) {
  const int days = static_cast<int>(hours.size());
  for (int cut = 182; cut + 90 <= days; cut += step) {
    host::HourlyWindow w;
    for (int back = 0; back < host::kWindowDays; ++back) w.hours[back] = hours[cut - 1 - back];
    const auto start = std::chrono::steady_clock::now();
    const host::ModelForecast f = host::ForecastWindow(w, host::Target::kMean, model, 90, 90);
    s.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ++s.series;
    // The scale: the window's mean absolute week-over-week change of daily means.
    double scale = 0;
    int pairs = 0;
    for (int back = 0; back + 7 < host::kWindowDays; ++back) {
      const auto a = DailyMean(w.hours[back]), b = DailyMean(w.hours[back + 7]);
      if (a && b) scale += std::fabs(*a - *b), ++pairs;
    }
    if (!pairs || scale <= 0) continue;
    scale /= pairs;
    for (int k = 0; k < 3; ++k) {
      double sum = 0;
      int n = 0;
      for (int h = 1; h <= kLeads[k]; ++h)
        if (auto actual = DailyMean(hours[cut - 1 + h])) sum += std::fabs(*actual - f.path[h]), ++n;
      if (n) s.mase[k] += sum / n / scale, ++s.cases[k];
      if (auto actual = DailyMean(hours[cut - 1 + kLeads[k]])) {
        ++s.covered[k];
        s.inside[k] += *actual >= f.lower[kLeads[k]] && *actual <= f.upper[kLeads[k]];
      }
    }
  }
}

// A file of public_series.py, its days from the first to the last (a day without lines
// is a gap).
Hours ReadPublic(const std::string& path) {
  std::ifstream in(path);
  std::map<trend::Date, std::array<std::optional<double>, 24>> days;
  std::string line;
  while (std::getline(in, line)) {
    std::stringstream fields(line);
    std::string day, hour, value;
    std::getline(fields, day, ',');
    std::getline(fields, hour, ',');
    std::getline(fields, value);
    const trend::Date d = trend::MakeDate(std::stoi(day.substr(0, 4)), std::stoi(day.substr(5, 2)),
                                          std::stoi(day.substr(8, 2)));
    auto& cells = days[d];
    if (hour.empty())
      cells.fill(std::stod(value));
    else
      cells[static_cast<size_t>(std::stoi(hour))] = std::stod(value);
  }
  Hours out;
  if (days.empty()) return out;
  for (trend::Date d = days.begin()->first; d <= days.rbegin()->first; d = trend::AddDays(d, 1)) {
    const auto it = days.find(d);
    out.push_back(it == days.end() ? std::array<std::optional<double>, 24>{} : it->second);
  }
  return out;
}

void PrintRow(const std::string& name, const Score& s) {
  std::printf("%-15s", name.c_str());
  for (int k = 0; k < 3; ++k) std::printf(" %9.3f", s.cases[k] ? s.mase[k] / s.cases[k] : 0.0);
  for (int k = 0; k < 3; ++k)
    std::printf(" %7.1f%%", s.covered[k] ? 100.0 * s.inside[k] / s.covered[k] : 0.0);
  std::printf(" %12.3f\n", 1000 * s.seconds / std::max(1, s.series));
}

// Per public series, auto and the baselines; then every model over all of them, each series
// counting alike (its mean MASE), coverage over every cut-off.
void PublicSeries(const std::vector<std::string>& files,
                  const std::vector<std::pair<std::string, std::optional<host::Model>>>& models) {
  std::vector<std::pair<std::string, Hours>> series;
  for (const auto& f : files) {
    Hours h = ReadPublic(f);
    if (h.size() < 182 + 90) continue;
    std::string name = f.substr(f.find_last_of('/') + 1);
    series.emplace_back(name.substr(0, name.rfind('.')), std::move(h));
  }
  if (series.empty()) return;
  std::printf("\n[bench] public series (bench/public_series.py names the sources)\n");
  std::printf("%-28s %6s %9s %9s %9s %9s %9s %9s %8s %8s\n", "series", "days", "auto 7d",
              "auto 30d", "auto 90d", "ets 30d", "mean7 30d", "snaive 30d", "cov 30d", "cov 90d");
  std::vector<Score> totals(models.size());
  for (const auto& [name, hours] : series) {
    // About 60 cut-offs a series, a week apart at least.
    const int step = std::max(7, (static_cast<int>(hours.size()) - 272) / 60 / 7 * 7);
    std::vector<Score> scores(models.size());
    for (size_t m = 0; m < models.size(); ++m) {
      Evaluate(hours, models[m].second, scores[m], step);
      Score& t = totals[m];
      for (int k = 0; k < 3; ++k) {
        if (scores[m].cases[k]) t.mase[k] += scores[m].mase[k] / scores[m].cases[k], ++t.cases[k];
        t.inside[k] += scores[m].inside[k], t.covered[k] += scores[m].covered[k];
      }
      t.seconds += scores[m].seconds, t.series += scores[m].series;
    }
    auto mase = [&](const std::string& model, int k) {
      for (size_t m = 0; m < models.size(); ++m)
        if (models[m].first == model && scores[m].cases[k])
          return scores[m].mase[k] / scores[m].cases[k];
      return 0.0;
    };
    const Score& a = scores.front();  // auto
    auto coverage = [&](int k) { return a.covered[k] ? 100.0 * a.inside[k] / a.covered[k] : 0.0; };
    std::printf("%-28s %6zu %9.3f %9.3f %9.3f %9.3f %9.3f %9.3f %7.1f%% %7.1f%%\n", name.c_str(),
                hours.size(), mase("auto", 0), mase("auto", 1), mase("auto", 2), mase("ets", 1),
                mase("mean7", 1), mase("seasonal-naive", 1), coverage(1), coverage(2));
  }
  std::printf("\nover the %zu public series (each alike)\n", series.size());
  std::printf("%-15s %9s %9s %9s %8s %8s %8s %12s\n", "model", "MASE 7d", "MASE 30d", "MASE 90d",
              "cov 7d", "cov 30d", "cov 90d", "ms/series");
  for (size_t m = 0; m < models.size(); ++m) PrintRow(models[m].first, totals[m]);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<Regime> regimes = {
      {"steady growth", [](int t) { return 40 + 0.05 * t; }, 0.10, 0.0},
      {"level shift", [](int t) { return t < 300 ? 40.0 : 65.0; }, 0.10, 0.0},
      {"saturation", [](int t) { return 90 - 60 * std::exp(-t / 150.0); }, 0.08, 0.0},
      {"annual cycle", [](int t) { return 50 + 20 * std::sin(6.283185307179586 * t / 365.0); },
       0.10, 0.0},
      {"accelerating", [](int t) { return 20 + 0.0004 * t * t; }, 0.10, 0.0},
      {"flat, quiet", [](int) { return 50.0; }, 0.03, 0.0},
      {"flat, noisy", [](int) { return 50.0; }, 0.40, 0.0},
      {"growth with gaps", [](int t) { return 30 + 0.08 * t; }, 0.15, 0.15},
      // Days that wander as real ones do: persistent day-level noise, holidays.
      {"wandering level", [](int) { return 50.0; }, 0.10, 0.0, 0.08, 0.85},
      {"growth, holidays", [](int t) { return 40 + 0.05 * t; }, 0.10, 0.0, 0.03, 0.3, 0.02},
      {"summer season", [](int t) { return 50 + 25 * std::sin(6.283185307179586 * t / 365.0); },
       0.15, 0.0, 0.15, 0.5},
      {"shifts, wander",
       [](int t) {
         return 50.0 * (t < 200 ? 1.0 : t < 330 ? 1.25 : t < 450 ? 1.1 : 1.4);
       },
       0.10, 0.0, 0.05, 0.8},
  };
  std::vector<std::pair<std::string, std::optional<host::Model>>> models = {{"auto", std::nullopt}};
  for (host::Model m : host::kAllModels) models.emplace_back(host::ModelName(m), m);
  std::printf("[bench] backtest: %zu regimes x 3 seeds x %d cut-offs, 182-day windows\n",
              regimes.size(), (kDays - 182 - 90) / 7 + 1);
  std::printf("%-15s %9s %9s %9s %8s %8s %8s %12s\n", "model", "MASE 7d", "MASE 30d", "MASE 90d",
              "cov 7d", "cov 30d", "cov 90d", "ms/series");
  for (const auto& [name, model] : models) {
    Score s;
    for (size_t r = 0; r < regimes.size(); ++r)
      for (uint64_t seed = 1; seed <= 3; ++seed)
        Evaluate(Generate(regimes[r], seed * 7919 + r), model, s);
    PrintRow(name, s);
  }
  // Per regime, auto against the estimated exponential smoothing alone and the mean of the
  // last week.
  std::printf("\n%-18s %10s %10s %10s %10s %10s %10s\n", "regime", "auto 30d", "ets 30d",
              "mean7 30d", "auto 90d", "ets 90d", "mean7 90d");
  for (size_t r = 0; r < regimes.size(); ++r) {
    Score a, hw, m;
    for (uint64_t seed = 1; seed <= 3; ++seed) {
      const Hours h = Generate(regimes[r], seed * 7919 + r);
      Evaluate(h, std::nullopt, a);
      Evaluate(h, host::Model::kEts, hw);
      Evaluate(h, host::Model::kMean7, m);
    }
    auto mase = [](const Score& s, int k) { return s.mase[k] / std::max(1, s.cases[k]); };
    std::printf("%-18s %10.3f %10.3f %10.3f %10.3f %10.3f %10.3f\n", regimes[r].name.c_str(),
                mase(a, 1), mase(hw, 1), mase(m, 1), mase(a, 2), mase(hw, 2), mase(m, 2));
  }
  PublicSeries(std::vector<std::string>(argv + 1, argv + argc), models);
  return 0;
}

std::string_view trend::ApplicationTitle() {
  return "backtest_bench";
}
