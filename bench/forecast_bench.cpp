// forecast_bench: the forecasting engine on real public hourly series (the folder of CSV
// files time,value given as the argument), by the rolling-origin protocol their README
// sets: daily means of days with 20 hours or more; a cut-off every 91 days from 182 days
// after the first, the last leaving 90 scored days; each method given the 182 days up to
// its cut-off; MASE at 7, 30 and 90 days (the mean absolute error of days 1..h over the
// in-sample mean absolute week-over-week change); the share of actual days inside the
// 80 % band at 1-7, 8-30 and 31-90 days; the time per series.
//
// The series are split in two fixed halves by name, alternating within each family: the
// engine's constants are tuned on the "tuning" half only, and the "held out" half is
// reported beside it. Figures are geometric means over series of each series' median over
// its cut-offs.
//
//   forecast_bench DATA_DIR
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "daily.h"
#include "engine.h"

namespace {

namespace fs = std::filesystem;

struct Series {
  std::string name, family;
  std::vector<double> days;  // daily means, NaN for a day with fewer than 20 hours
};

int DayNumber(int y, int m, int d) {  // days since 1970-01-01 (civil calendar)
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

Series Read(const fs::path& file) {
  Series s;
  s.name = file.stem().string();
  s.family = s.name.substr(0, s.name.find('_'));
  if (s.family == "bike" || s.family == "bikeshare" || s.family == "road" || s.family == "ped")
    s.family = "transport";
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  std::map<int, std::pair<double, int>> byDay;
  while (std::getline(in, line)) {
    int y, m, d, h;
    double v;
    if (std::sscanf(line.c_str(), "%d-%d-%dT%d:%*d:%*d,%lf", &y, &m, &d, &h, &v) != 5) continue;
    auto& [sum, n] = byDay[DayNumber(y, m, d)];
    sum += v, ++n;
  }
  if (byDay.empty()) return s;
  const int first = byDay.begin()->first, last = byDay.rbegin()->first;
  s.days.assign(static_cast<size_t>(last - first + 1), forecast::kMissing);
  for (const auto& [day, sn] : byDay)
    if (sn.second >= 20) s.days[static_cast<size_t>(day - first)] = sn.first / sn.second;
  return s;
}

double Median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct Score {
  std::vector<double> mase[3];  // per series: the median over its cut-offs at 7, 30, 90
  std::vector<double> cuts[3];  // every cut-off's, for the plain mean
  int inside[3] = {0, 0, 0}, total[3] = {0, 0, 0};
  double seconds = 0;
  int fits = 0;
};

constexpr int kLeads[3] = {7, 30, 90};

// `given` days before each cut-off (730: as many as there are, up to 730, from 400 on).
void Run(const Series& s, const std::string& method, Score& score, int given = 182,
         bool yearly = true) {
  std::vector<double> perCut[3];
  const int first = given == 182 ? 181 : 399;
  for (int cut = first; cut + 90 < static_cast<int>(s.days.size()); cut += 91) {
    const int days = std::min(cut + 1, given);
    const std::span<const double> window(s.days.data() + cut - days + 1, static_cast<size_t>(days));
    const auto scale = forecast::WeeklyScale(window);
    if (!scale) continue;
    forecast::Options o;
    o.method = method;
    o.horizon = 90;
    o.yearly = yearly;
    o.domain = forecast::DomainOf(window, false);
    const auto start = std::chrono::steady_clock::now();
    const auto r = forecast::Forecast(window, o);
    score.seconds +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ++score.fits;
    for (int k = 0; k < 3; ++k) {
      double sum = 0;
      int n = 0;
      for (int h = 1; h <= kLeads[k]; ++h) {
        const double actual = s.days[static_cast<size_t>(cut + h)];
        if (!forecast::Present(actual)) continue;
        sum += std::fabs(actual - r.path[static_cast<size_t>(h)]), ++n;
      }
      if (n) perCut[k].push_back(sum / n / *scale);
    }
    for (int h = 1; h <= 90; ++h) {
      const double actual = s.days[static_cast<size_t>(cut + h)];
      if (!forecast::Present(actual)) continue;
      const int band = h <= 7 ? 0 : h <= 30 ? 1 : 2;
      score.inside[band] +=
          actual >= r.lower[static_cast<size_t>(h)] && actual <= r.upper[static_cast<size_t>(h)];
      ++score.total[band];
    }
  }
  for (int k = 0; k < 3; ++k) {
    if (!perCut[k].empty()) score.mase[k].push_back(Median(perCut[k]));
    score.cuts[k].insert(score.cuts[k].end(), perCut[k].begin(), perCut[k].end());
  }
}

// ---- Capacity scenarios: series built so that the day they cross their threshold is known ----

struct Scenario {
  std::string name;
  int days;                          // history given
  std::function<double(int)> truth;  // the noiseless daily value, day 0 the first
  double threshold;
  bool below;    // the resource runs out downward
  double noise;  // relative noise of a day
};

uint64_t gState = 12345;
double Noise() {  // a fixed generator: the figures repeat
  gState = gState * 6364136223846793005ULL + 1442695040888963407ULL;
  const double u1 = (static_cast<double>(gState >> 11) + 1.0) / 9007199254740993.0;
  gState = gState * 6364136223846793005ULL + 1442695040888963407ULL;
  const double u2 = static_cast<double>(gState >> 11) / 9007199254740992.0;
  return std::sqrt(-2 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

std::vector<Scenario> Scenarios() {
  std::vector<Scenario> out;
  for (int k = 0; k < 3; ++k) {
    const double rate = 0.8 + 0.4 * k;
    // A disk filling steadily: free space falls `rate` a day toward 40.
    out.push_back({"disk filling", 182, [=](int t) { return 500 - rate * t; },
                   500 - rate * (181 + 20 + 30 * k), true, 0.01});
    // The fill rate tripled two weeks ago.
    out.push_back({"rate changed", 182,
                   [=](int t) { return 900 - rate * t - (t > 167 ? 2 * rate * (t - 167) : 0); },
                   900 - rate * 167 - 3 * rate * (181 - 167 + 25 + 20 * k), true, 0.005});
    // A leak restarted every 28 days: its peaks never reach the threshold.
    out.push_back({"leak, restarts", 182, [=](int t) { return 40 + rate * (t % 28); },
                   40 + rate * 40, false, 0.02});
    // A leak without restarts.
    out.push_back({"leak", 182, [=](int t) { return 40 + 0.3 * rate * t; },
                   40 + 0.3 * rate * (181 + 45 + 40 * k), false, 0.02});
    // Saturation toward a ceiling under the threshold.
    out.push_back({"saturation", 182,
                   [=](int t) { return 80 - 40 * std::exp(-t / (40.0 + 10 * k)); }, 85, false,
                   0.01});
    // A lasting level shift three weeks ago, flat since, the threshold above it.
    out.push_back(
        {"level shift", 182, [=](int t) { return t < 161 ? 50 : 65 + 3 * k; }, 75, false, 0.02});
    // A young series: five weeks, growing.
    out.push_back({"young", 35, [=](int t) { return 20 + rate * t; },
                   20 + rate * (34 + 30 + 25 * k), false, 0.02});
    // Steady growth in noise.
    out.push_back({"steady growth", 182, [=](int t) { return 100 + 0.2 * rate * t; },
                   100 + 0.2 * rate * (181 + 60 + 50 * k), false, 0.04});
  }
  return out;
}

// The first day ahead (1..180) on which `path` reaches the threshold, or 181 (not within 180
// days).
int Crossing(const std::vector<double>& path, double threshold, bool below) {
  for (size_t h = 1; h < path.size() && h <= 180; ++h)
    if (below ? path[h] <= threshold : path[h] >= threshold) return static_cast<int>(h);
  return 181;
}

void CapacityScenarios() {
  std::map<std::string, std::pair<double, int>> kinds;  // auto's mean error and right decisions
  std::printf("\n[capacity scenarios] %zu series with known crossing days (181: none within 180)\n",
              Scenarios().size() * 4);
  std::printf("%-16s %12s %12s %9s %9s %9s %12s\n", "method", "mean error", "median err",
              "90d right", "missed", "false", "in range");
  for (const std::string method :
       {"auto", "ets", "theta", "recent-rate", "trend", "seasonal-naive"}) {
    std::vector<double> errors;
    int right = 0, missed = 0, falseAlarm = 0, inRange = 0, crossing = 0, total = 0;
    gState = 12345;
    for (const auto& sc : Scenarios())
      for (int seed = 0; seed < 4; ++seed) {
        std::vector<double> y(static_cast<size_t>(sc.days));
        // The truth crosses with its weekdays: a quiet Saturday may cross first.
        const double weekly[7] = {1.0, 1.02, 1.02, 1.01, 1.0, 0.97, 0.98};
        for (int t = 0; t < sc.days; ++t)
          y[static_cast<size_t>(t)] = sc.truth(t) * weekly[t % 7] * (1 + sc.noise * Noise());
        int truth = 181;
        for (int h = 1; h <= 180; ++h) {
          const int t = sc.days - 1 + h;
          const double v = sc.truth(t) * weekly[t % 7];
          if (sc.below ? v <= sc.threshold : v >= sc.threshold) {
            truth = h;
            break;
          }
        }
        forecast::Options o;
        o.method = method;
        o.horizon = 180;
        o.domain = forecast::DomainOf(y, false);
        const auto r = forecast::Forecast(y, o);
        const int predicted = Crossing(r.path, sc.threshold, sc.below);
        errors.push_back(std::abs(predicted - truth));
        if (method == "auto") {
          auto& k = kinds[sc.name];
          k.first += std::abs(predicted - truth) / 12.0;
          k.second += (truth <= 90) == (predicted <= 90);
        }
        const bool soon = truth <= 90, said = predicted <= 90;
        right += soon == said;
        missed += soon && !said;
        falseAlarm += !soon && said;
        ++total;
        if (truth <= 180) {
          // The near bound reaches it first, the far one last (none: not within 180).
          const int early = Crossing(sc.below ? r.lower : r.upper, sc.threshold, sc.below);
          const int late = Crossing(sc.below ? r.upper : r.lower, sc.threshold, sc.below);
          inRange += early <= truth && truth <= late;
          ++crossing;
        }
      }
    double mean = 0;
    for (double e : errors) mean += e / static_cast<double>(errors.size());
    std::printf("%-16s %12.1f %12.1f %8.0f%% %8.0f%% %8.0f%% %11.0f%%\n", method.c_str(), mean,
                Median(errors), 100.0 * right / total, 100.0 * missed / total,
                100.0 * falseAlarm / total, 100.0 * inRange / std::max(1, crossing));
  }
  std::printf("\nauto by kind     mean error  90d right\n");
  for (const auto& [name, k] : kinds)
    std::printf("%-16s %10.1f %9.0f%%\n", name.c_str(), k.first, 100.0 * k.second / 12);
}

// ---- Generated regimes: the band's calibration is fitted on these, never on the real series ----

// A series of 182 + 90 days: a level, a weekly pattern, a trend that may change its rate,
// autocorrelated noise with occasional heavy tails, a slow cycle, level shifts and
// holiday-like days, each drawn at random (a fixed generator: the figures repeat).
std::vector<double> Regime() {
  auto uniform = [] { return 0.5 + 0.5 * std::erf(Noise() / std::sqrt(2.0)); };
  const int days = 182 + 90;
  const double level = 100 * (0.5 + 1.5 * uniform());
  double pattern[7];
  const double amplitude = 0.3 * uniform() * level;
  for (double& p : pattern) p = amplitude * Noise() / 2;
  double slope = 0.002 * level * Noise();
  const int change = uniform() < 0.3 ? static_cast<int>(uniform() * days) : days;
  const double newSlope = 0.004 * level * Noise();
  const double ar = 0.8 * uniform(), sd = (0.02 + 0.08 * uniform()) * level;
  const bool heavy = uniform() < 0.2;
  const double period = 90 + 640 * uniform(), cycle = 0.3 * uniform() * level,
               phase = 6.28 * uniform();
  const int shiftDay = uniform() < 0.2 ? static_cast<int>(uniform() * days) : days;
  const double shift = 0.1 * level * Noise();
  std::vector<double> y(static_cast<size_t>(days));
  double noise = 0, trend = 0;
  for (int t = 0; t < days; ++t) {
    trend += t < change ? slope : newSlope;
    double e = Noise();
    if (heavy && uniform() < 0.05) e *= 4;
    noise = ar * noise + std::sqrt(1 - ar * ar) * sd * e;
    double v = level + trend + pattern[t % 7] + noise +
               cycle * std::sin(6.283 * t / period + phase) + (t >= shiftDay ? shift : 0);
    if (uniform() < 0.015) v -= 0.3 * level;  // a holiday
    y[static_cast<size_t>(t)] = v;
  }
  return y;
}

// The share of width at each lead range that makes the auto band hold 80 % of the
// generated regimes' days: the calibration the engine's band carries.
void Calibrate() {
  constexpr int kSeries = 600;
  std::vector<double> ratio[3];  // per day: |actual - path| over the band's half on its side
  gState = 777;
  for (int i = 0; i < kSeries; ++i) {
    const auto y = Regime();
    const std::span<const double> window(y.data(), 182);
    forecast::Options o;
    o.horizon = 90;
    o.calibratedBand = false;
    const auto r = forecast::Forecast(window, o);
    for (int h = 1; h <= 90; ++h) {
      const size_t k = static_cast<size_t>(h);
      const double actual = y[static_cast<size_t>(181 + h)];
      const double half = actual >= r.path[k] ? r.upper[k] - r.path[k] : r.path[k] - r.lower[k];
      if (half > 0)
        ratio[h <= 7 ? 0 : h <= 30 ? 1 : 2].push_back(std::fabs(actual - r.path[k]) / half);
    }
  }
  // A band scaled by c holds the days whose ratio is c or less: c is the ratios' 80th percentile.
  std::printf("calibration (the band's share at leads 1-7, 8-30, 31-90 for 80 %% on %d regimes):",
              kSeries);
  for (auto& v : ratio) {
    std::sort(v.begin(), v.end());
    std::printf(" %.3f", v[static_cast<size_t>(0.8 * static_cast<double>(v.size()))]);
  }
  std::printf("\n");
}

double Mean(const std::vector<double>& v) {
  double s = 0;
  for (double x : v) s += x;
  return v.empty() ? NAN : s / static_cast<double>(v.size());
}

double GeometricMean(const std::vector<double>& v) {
  double s = 0;
  for (double x : v) s += std::log(std::max(x, 1e-9));
  return v.empty() ? NAN : std::exp(s / static_cast<double>(v.size()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--calibrate") {
    Calibrate();
    return 0;
  }
  if (argc != 2) {
    std::fprintf(
        stderr,
        "usage: forecast_bench DATA_DIR (the hourly series' CSV files)\n"
        "       forecast_bench --calibrate (the band's calibration on generated regimes)\n");
    return 2;
  }
  std::vector<fs::path> files;
  for (const auto& f : fs::directory_iterator(argv[1]))
    if (f.path().extension() == ".csv") files.push_back(f.path());
  std::sort(files.begin(), files.end());
  std::vector<Series> series;
  for (const auto& f : files) series.push_back(Read(f));
  // Alternate within each family, in name order: even places tune, odd ones are held out.
  std::map<std::string, int> seen;
  std::vector<bool> heldOut;
  for (const auto& s : series) heldOut.push_back(seen[s.family]++ % 2 == 1);
  std::printf("series (held out marked *):");
  for (size_t i = 0; i < series.size(); ++i)
    std::printf(" %s%s", series[i].name.c_str(), heldOut[i] ? "*" : "");
  std::printf("\n\n%-16s %-9s %7s %7s %7s   %6s %6s %6s   %8s   %s\n", "method", "half", "MASE7",
              "MASE30", "MASE90", "cov7", "cov30", "cov90", "ms/fit", "mean over cut-offs 7/30/90");
  for (const std::string method :
       {"auto", "ets", "theta", "recent-rate", "trend", "seasonal-naive", "mean7"}) {
    for (const bool held : {false, true}) {
      Score score;
      for (size_t i = 0; i < series.size(); ++i)
        if (heldOut[i] == held) Run(series[i], method, score);
      std::printf(
          "%-16s %-9s %7.3f %7.3f %7.3f   %5.1f%% %5.1f%% %5.1f%%   %8.3f   %.3f %.3f %.3f\n",
          method.c_str(), held ? "held out" : "tuning", GeometricMean(score.mase[0]),
          GeometricMean(score.mase[1]), GeometricMean(score.mase[2]),
          100.0 * score.inside[0] / std::max(1, score.total[0]),
          100.0 * score.inside[1] / std::max(1, score.total[1]),
          100.0 * score.inside[2] / std::max(1, score.total[2]),
          1000 * score.seconds / std::max(1, score.fits), Mean(score.cuts[0]), Mean(score.cuts[1]),
          Mean(score.cuts[2]));
    }
  }
  // auto by family, every series of it (both halves): its error and the band's coverage.
  std::printf("\n%-16s %7s %7s %7s   %6s %6s %6s\n", "auto by family", "MASE7", "MASE30", "MASE90",
              "cov7", "cov30", "cov90");
  std::map<std::string, std::vector<size_t>> families;
  for (size_t i = 0; i < series.size(); ++i) families[series[i].family].push_back(i);
  for (const auto& [name, members] : families) {
    Score score;
    for (size_t i : members) Run(series[i], "auto", score);
    std::printf("%-16s %7.3f %7.3f %7.3f   %5.1f%% %5.1f%% %5.1f%%\n", name.c_str(),
                GeometricMean(score.mase[0]), GeometricMean(score.mase[1]),
                GeometricMean(score.mase[2]), 100.0 * score.inside[0] / std::max(1, score.total[0]),
                100.0 * score.inside[1] / std::max(1, score.total[1]),
                100.0 * score.inside[2] / std::max(1, score.total[2]));
  }
  // Long histories: every cut-off with 400 days or more before it, given up to 730.
  std::printf("\n%-24s %7s %7s %7s   %6s %6s %6s   %8s   %s\n", "with 400+ days (730 given)",
              "MASE7", "MASE30", "MASE90", "cov7", "cov30", "cov90", "ms/fit",
              "mean over cut-offs 7/30/90");
  for (const auto& [label, method, yearly] :
       {std::tuple<const char*, const char*, bool>{"auto", "auto", true},
        {"auto without the year", "auto", false},
        {"seasonal-naive", "seasonal-naive", false}}) {
    for (const bool held : {false, true}) {
      Score score;
      for (size_t i = 0; i < series.size(); ++i)
        if (heldOut[i] == held) Run(series[i], method, score, 730, yearly);
      std::printf(
          "%-24s %7.3f %7.3f %7.3f   %5.1f%% %5.1f%% %5.1f%%   %8.3f   %.3f %.3f %.3f  %s\n", label,
          GeometricMean(score.mase[0]), GeometricMean(score.mase[1]), GeometricMean(score.mase[2]),
          100.0 * score.inside[0] / std::max(1, score.total[0]),
          100.0 * score.inside[1] / std::max(1, score.total[1]),
          100.0 * score.inside[2] / std::max(1, score.total[2]),
          1000 * score.seconds / std::max(1, score.fits), Mean(score.cuts[0]), Mean(score.cuts[1]),
          Mean(score.cuts[2]), held ? "held out" : "tuning");
    }
  }
  CapacityScenarios();
  return 0;
}
