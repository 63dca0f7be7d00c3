#include "engine.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "methods.h"
#include "yearly.h"

namespace forecast {

namespace {

constexpr int kMethodDays = 182;  // the latest days the methods are estimated and judged on
constexpr int kCutOffStep = kWeek;
constexpr int kFirstCutOff = 4 * kWeek;  // a method is judged on four weeks of history at least
constexpr int kMostCutOffs = 26;
constexpr double kWithin = 1.20;     // auto: the trend joins within 20 % of the best
constexpr double kBand = 0.9;        // the 80 % band: the 10 % and 90 % quantiles
constexpr double kZ = 1.2815515655;  // the normal's 90 % quantile, for the fallback
constexpr double kFallbackWidening = 1.25;
// The band's width at leads 1-7, 8-30 and 31 on, as a share of the rule's: the rule's band
// holds more than 80 % of later days, its errors coming partly from cut-offs with less
// history than the forecast has. Fitted so that the band holds 80 % of the days of the
// generated regimes (forecast_bench --calibrate).
constexpr double kCalibration[3] = {0.725, 0.680, 0.736};

struct Candidate {
  std::unique_ptr<Method> method;
  std::vector<std::vector<double>> backtest;  // a forecast per cut-off (index 0: level)
  std::optional<double> mase;
};

}  // namespace

std::optional<std::pair<double, double>> FiniteSampleBand(const std::vector<double>& sorted,
                                                          double q) {
  const size_t n = sorted.size();
  const auto high = static_cast<size_t>(std::ceil((static_cast<double>(n) + 1) * q));
  if (n == 0 || high > n || high < 1) return std::nullopt;
  const size_t low = n + 1 - high;  // the mirror rank
  return std::make_pair(sorted[low - 1], sorted[high - 1]);
}

double BandCalibration(int lead) {
  return lead <= 7 ? kCalibration[0] : lead <= 30 ? kCalibration[1] : kCalibration[2];
}

Offsets BandOffsets(const std::vector<std::vector<double>>& errors, int reach,
                    std::optional<double> scale, double lastResort, bool calibrated) {
  const int horizon = static_cast<int>(errors.size());
  Offsets out;
  out.low.assign(static_cast<size_t>(horizon) + 1, 0.0);
  out.high.assign(static_cast<size_t>(horizon) + 1, 0.0);
  // The fallback's spread: the one-day errors', else the week-over-week change's, else the
  // caller's last resort (a share of the level).
  double sigma = 0;
  if (!errors.empty() && errors[0].size() >= 2) {
    for (double e : errors[0]) sigma += e * e;
    sigma = std::sqrt(sigma / static_cast<double>(errors[0].size()));
  }
  if (sigma <= 0) sigma = scale ? *scale : lastResort;
  double low = 0, high = 0;
  int measured = 0;  // the last lead with a finite-sample band
  std::pair<double, double> last{0, 0};
  for (int h = 1; h <= horizon; ++h) {
    const auto band =
        h <= reach ? FiniteSampleBand(errors[static_cast<size_t>(h - 1)], kBand) : std::nullopt;
    double lo, hi;
    if (band) {
      lo = band->first, hi = band->second;
      measured = h, last = *band;
    } else if (measured > 0 && h > reach) {
      const double widen = std::sqrt(static_cast<double>(h) / measured);
      lo = last.first * widen, hi = last.second * widen;
    } else {
      const double half = kZ * kFallbackWidening * sigma * std::sqrt(static_cast<double>(h));
      lo = -half, hi = half;
    }
    if (calibrated) lo *= BandCalibration(h), hi *= BandCalibration(h);
    // Never narrower than a day before, never of no width: at least a twentieth of the
    // weekly change, or where there is none, the last resort.
    low = std::min(low, lo), high = std::max(high, hi);
    const double least = scale ? 0.05 * *scale : lastResort;
    out.low[static_cast<size_t>(h)] = std::min(low, -least / 2);
    out.high[static_cast<size_t>(h)] = std::max(high, least / 2);
  }
  return out;
}

double Result::ProbabilityOfReaching(double threshold, bool below, int days) const {
  double most = 0;
  for (int h = 1; h <= days && h < static_cast<int>(path.size()); ++h) {
    const auto& e = errors[static_cast<size_t>(h - 1)];
    const double centre = path[static_cast<size_t>(h)];
    double p;
    if (!e.empty()) {
      size_t n = 0;
      for (double x : e) n += below ? centre + x <= threshold : centre + x >= threshold;
      p = static_cast<double>(n) / static_cast<double>(e.size());
    } else {
      // Past the backtest's reach: the band's edges as the 10 % and 90 % points of a normal.
      const double sigma = std::max(
          1e-300, (upper[static_cast<size_t>(h)] - lower[static_cast<size_t>(h)]) / (2 * kZ));
      const double z = (threshold - centre) / sigma;
      // P(value <= threshold) below, P(value >= threshold) above.
      p = below ? 0.5 * std::erfc(-z / std::sqrt(2.0)) : 0.5 * std::erfc(z / std::sqrt(2.0));
    }
    most = std::max(most, p);
  }
  return most;
}

namespace {

// The forecast of `y` by the methods, their backtest and choice, and the band.
Result Core(std::span<const double> y, const Options& o) {
  Result r;
  const int horizon = std::max(0, o.horizon);
  const int n = static_cast<int>(y.size());
  // The candidates.
  std::vector<Candidate> all;
  auto add = [&](std::unique_ptr<Method> m) { all.push_back({std::move(m), {}, {}}); };
  const bool any = o.method == "auto";
  if (any || o.method == "ets") add(MakeEts());
  if (o.method == "theta") add(MakeTheta());
  if (o.method == "recent-rate")
    for (int days : {14, 21, 28}) add(MakeRecentRate(days));
  if (any || o.method == "trend") add(MakeWindowTrend());
  add(MakeSeasonalNaive());  // asked for, or the reference of skill
  if (any || o.method == "mean7") add(MakeMean7());
  for (auto& c : all) c.method->Estimate(y);

  // The backtest: cut-offs a week apart, the latest first.
  std::vector<int> cutOffs;
  for (int c = n - 2; c >= kFirstCutOff - 1 && static_cast<int>(cutOffs.size()) < kMostCutOffs;
       c -= kCutOffStep)
    cutOffs.push_back(c);
  const int reach = std::min(horizon, std::max(0, n - 1 - (cutOffs.empty() ? n : cutOffs.back())));
  for (auto& c : all)
    for (int cut : cutOffs)
      c.backtest.push_back(c.method->Forecast(y.subspan(0, static_cast<size_t>(cut) + 1), reach));
  const std::optional<double> scale = WeeklyScale(y);
  const int choiceLead = std::max(1, std::min(o.choiceLead, reach));
  auto maseOf = [&](const std::vector<std::vector<double>>& forecasts,
                    int lead) -> std::optional<double> {
    if (!scale || lead < 1) return std::nullopt;
    double sum = 0;
    int count = 0;
    for (size_t i = 0; i < cutOffs.size(); ++i)
      for (int h = 1; h <= lead && cutOffs[i] + h < n; ++h) {
        const double actual = y[static_cast<size_t>(cutOffs[i] + h)];
        if (!Present(actual)) continue;
        sum += std::fabs(actual - forecasts[i][static_cast<size_t>(h)]);
        ++count;
      }
    if (count == 0) return std::nullopt;
    return sum / count / *scale;
  };
  for (auto& c : all) c.mase = maseOf(c.backtest, choiceLead);

  // The chosen methods: the one asked for, or auto's; the recent rate by its best length.
  std::vector<const Candidate*> pool;
  const Candidate* bestRecent = nullptr;
  const Candidate* naive = nullptr;
  for (const auto& c : all) {
    const std::string name = c.method->Name();
    if (name == "seasonal-naive") naive = &c;
    if (name.rfind("recent-rate", 0) == 0) {
      if (!bestRecent || (c.mase && (!bestRecent->mase || *c.mase < *bestRecent->mase)))
        bestRecent = &c;
      continue;
    }
    if (any || name.rfind(o.method, 0) == 0) pool.push_back(&c);
  }
  if (bestRecent) pool.push_back(bestRecent);
  std::vector<const Candidate*> chosen;
  if (!any) {
    chosen = {pool.front()};
  } else {
    // ETS always, joined by the window's trend where its backtest came within 20 % of the
    // best method's: the two err on opposite sides often enough that their mean errs less.
    std::optional<double> best;
    for (const auto* c : pool)
      if (c->mase && (!best || *c->mase < *best)) best = c->mase;
    for (const auto* c : pool) {
      const std::string name = c->method->Name();
      if (name.rfind("ets", 0) == 0 ||
          (name == "trend" && best && c->mase && *c->mase <= *best * kWithin))
        chosen.push_back(c);
    }
    if (chosen.empty()) chosen = {pool.front()};
  }
  for (size_t i = 0; i < chosen.size(); ++i) r.method += (i ? "+" : "") + chosen[i]->method->Name();

  // The forecast: the mean of the chosen methods', and so their backtest.
  r.path.assign(static_cast<size_t>(horizon) + 1, 0.0);
  for (const auto* c : chosen) {
    const auto path = c->method->Forecast(y, horizon);
    for (size_t h = 0; h < r.path.size(); ++h)
      r.path[h] += path[h] / static_cast<double>(chosen.size());
  }
  std::vector<std::vector<double>> backtest(
      cutOffs.size(), std::vector<double>(static_cast<size_t>(reach) + 1, 0.0));
  for (const auto* c : chosen)
    for (size_t i = 0; i < cutOffs.size(); ++i)
      for (size_t h = 0; h <= static_cast<size_t>(reach); ++h)
        backtest[i][h] += c->backtest[i][h] / static_cast<double>(chosen.size());
  r.backtestLead = choiceLead;
  r.mase = maseOf(backtest, choiceLead);
  if (r.mase && naive && naive->mase && *naive->mase > 0) r.skill = 1 - *r.mase / *naive->mase;

  // The errors at each lead, and the band.
  r.errors.assign(static_cast<size_t>(horizon), {});
  for (size_t i = 0; i < cutOffs.size(); ++i)
    for (int h = 1; h <= reach && cutOffs[i] + h < n; ++h) {
      const double actual = y[static_cast<size_t>(cutOffs[i] + h)];
      if (Present(actual))
        r.errors[static_cast<size_t>(h - 1)].push_back(actual -
                                                       backtest[i][static_cast<size_t>(h)]);
    }
  for (auto& e : r.errors) std::sort(e.begin(), e.end());
  const Offsets band =
      BandOffsets(r.errors, reach, scale, LastResortSpread(y, r.path[0]), o.calibratedBand);
  r.lower.assign(r.path.size(), 0.0);
  r.upper.assign(r.path.size(), 0.0);
  for (size_t h = 1; h < r.path.size(); ++h) {
    r.lower[h] = r.path[h] + band.low[h];
    r.upper[h] = r.path[h] + band.high[h];
  }
  r.lower[0] = r.upper[0] = r.path[0];
  for (size_t h = 0; h < r.path.size(); ++h) {
    r.path[h] = o.domain.Clip(r.path[h]);
    r.lower[h] = o.domain.Clip(r.lower[h]);
    r.upper[h] = o.domain.Clip(r.upper[h]);
  }
  // The coverage of the band on the backtest's own actuals.
  int inside = 0, total = 0;
  for (size_t i = 0; i < cutOffs.size(); ++i)
    for (int h = 1; h <= reach && cutOffs[i] + h < n; ++h) {
      const double actual = y[static_cast<size_t>(cutOffs[i] + h)];
      if (!Present(actual)) continue;
      const double f = backtest[i][static_cast<size_t>(h)];
      const double lo = r.lower[static_cast<size_t>(h)] - r.path[static_cast<size_t>(h)] + f;
      const double hi = r.upper[static_cast<size_t>(h)] - r.path[static_cast<size_t>(h)] + f;
      inside += actual >= lo && actual <= hi;
      ++total;
    }
  if (total) r.coverage = static_cast<double>(inside) / total;
  return r;
}

}  // namespace

Result Forecast(std::span<const double> y, const Options& o) {
  const size_t keep = std::min(y.size(), static_cast<size_t>(kMethodDays));
  const auto recent = y.subspan(y.size() - keep);
  Result plain = Core(recent, o);
  if (!o.yearly || !plain.mase) return plain;
  const auto effect = YearlyEffect(y, o.horizon);
  if (!effect) return plain;
  // The same on the values less their yearly effect, the effect added back to the forecast;
  // kept where its backtest errs less than the plain one's.
  const size_t from = y.size() - keep;
  std::vector<double> less(recent.begin(), recent.end());
  for (size_t t = 0; t < less.size(); ++t)
    if (Present(less[t])) less[t] -= (*effect)[from + t];
  Options free = o;
  free.domain = Domain{};
  Result r = Core(less, free);
  const auto scale = WeeklyScale(recent), lessScale = WeeklyScale(less);
  if (!r.mase || !scale || !lessScale) return plain;
  const double mase = *r.mase * *lessScale / *scale;  // on the series' own scale
  if (mase >= *plain.mase) return plain;
  r.mase = mase;
  // The skill against the same seasonal naive as the plain forecast's.
  if (plain.skill && *plain.skill < 1) r.skill = 1 - mase * (1 - *plain.skill) / *plain.mase;
  r.method += "+yearly";
  for (size_t h = 0; h < r.path.size(); ++h) {
    const double e = (*effect)[y.size() - 1 + h];
    r.path[h] = o.domain.Clip(r.path[h] + e);
    r.lower[h] = o.domain.Clip(r.lower[h] + e);
    r.upper[h] = o.domain.Clip(r.upper[h] + e);
  }
  return r;
}

}  // namespace forecast
