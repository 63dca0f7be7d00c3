// Exponential smoothing with an additive weekday season: its parameters, starting states
// and form estimated on the series.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "daily.h"
#include "methods.h"
#include "optimize.h"

namespace forecast {

namespace {

constexpr double kOutlier = 4;          // an error beyond 4 running mean errors is limited
constexpr double kSpreadWeight = 0.05;  // the running error's memory: about 20 days
constexpr int kEvaluations = 30;        // the estimation's budget per parameter

double Logistic(double u) {
  return 1 / (1 + std::exp(-u));
}
double Logit(double p) {
  return std::log(p / (1 - p));
}

// Starting states of the recursion from the first weeks: the level of the first week, the
// change from the first week to the second a day, the weekday effects of the first five.
struct Start {
  double level = 0, slope = 0;
  std::vector<double> season = std::vector<double>(kWeek, 0.0);
};

Start StartOf(std::span<const double> y) {
  Start s;
  auto weekMean = [&](size_t from) -> std::optional<double> {
    double sum = 0;
    int n = 0;
    for (size_t t = from; t < std::min(y.size(), from + kWeek); ++t)
      if (Present(y[t])) sum += y[t], ++n;
    return n >= 3 ? std::optional<double>(sum / n) : std::nullopt;
  };
  const auto first = weekMean(0), second = weekMean(kWeek);
  if (first) {
    s.level = *first;
  } else {
    for (double v : y)
      if (Present(v)) {
        s.level = v;
        break;
      }
  }
  if (first && second) s.slope = (*second - *first) / kWeek;
  s.season = WeekdayEffects(y.subspan(0, std::min<size_t>(y.size(), 5 * kWeek)));
  // The level before day 0, so that day 0's forecast is the first week's level.
  s.level -= s.slope * (kWeek - 1) / 2.0;
  return s;
}

EtsParameters FromVector(const std::vector<double>& u, TrendForm form) {
  EtsParameters p;
  p.form = form;
  p.alpha = 0.0001 + 0.9998 * Logistic(u[0]);
  p.gamma = (1 - p.alpha) * 0.9999 * Logistic(u[1]);
  p.beta = form == TrendForm::kNone ? 0 : p.alpha * 0.9999 * Logistic(u[2]);
  p.phi = form == TrendForm::kDamped   ? 0.8 + 0.2 * Logistic(u[3])
          : form == TrendForm::kLinear ? 1.0
                                       : 0.0;
  return p;
}

// The additive recursion over `y` from `start`. An error beyond kOutlier times the running
// mean absolute error moves the states as that much would: a day's spike or outage bends
// neither level nor slope. A second such day in a row on the same side is a lasting move:
// its whole error moves the level, and counts. The sum of squared errors so taken.
double Pass(std::span<const double> y, const Start& start, const EtsParameters& p, int h,
            std::vector<double>* path) {
  double level = start.level, slope = p.form == TrendForm::kNone ? 0 : start.slope;
  std::array<double, kWeek> season;
  std::copy(start.season.begin(), start.season.end(), season.begin());
  const double phi = p.form == TrendForm::kDamped ? p.phi : 1.0;
  double sse = 0, spread = -1;
  double outlier = 0;  // yesterday's error where it was beyond the limit, else 0
  for (size_t t = 0; t < y.size(); ++t) {
    double& s = season[t % kWeek];
    const double expected = level + phi * slope + s;
    if (Present(y[t])) {
      const double e = y[t] - expected;
      const double size = std::fabs(e);
      double limited = e, moved = e;  // the error the slope and season see, and the level
      if (spread < 0) {
        spread = size;
      } else if (t < 2 * kWeek) {
        spread += 0.2 * (size - spread);  // the first weeks set the running error
      } else {
        // (A series without noise still has its limit: a hundredth of its level.)
        const double limit = kOutlier * std::max(spread, 0.01 * std::fabs(expected));
        limited = std::clamp(e, -limit, limit);
        // A second day beyond the limit on the same side is no outlier: the series has
        // moved, and the whole error moves the level alone (a move of level is no change
        // of rate, nor of the weekdays).
        const bool lasting = size > limit && outlier * e > 0;
        outlier = size > limit ? e : 0;
        moved = lasting ? e : limited;
        if (lasting) limited = 0;
        spread += kSpreadWeight * (std::min(size, limit) - spread);
      }
      sse += moved * moved;
      level = level + phi * slope + p.alpha * moved;
      slope = phi * slope + p.beta * limited;
      s += p.gamma * limited;
    } else {
      level += phi * slope;
      slope *= phi;
    }
  }
  if (path) {
    path->assign(static_cast<size_t>(h) + 1, 0.0);
    const size_t last = y.empty() ? 0 : y.size() - 1;
    (*path)[0] = level + season[last % kWeek];
    double carried = 0, power = 1;
    for (int k = 1; k <= h; ++k) {
      power *= phi;
      carried += power;
      (*path)[static_cast<size_t>(k)] =
          level + carried * slope + season[(last + static_cast<size_t>(k)) % kWeek];
    }
  }
  return sse;
}

class Ets : public Method {
 public:
  std::string Name() const override {
    return std::string("ets(A,") +
           (p_.form == TrendForm::kNone     ? "N"
            : p_.form == TrendForm::kLinear ? "A"
                                            : "Ad") +
           ",A)";
  }
  void Estimate(std::span<const double> y) override {
    double best = std::numeric_limits<double>::infinity();
    for (TrendForm form : {TrendForm::kNone, TrendForm::kLinear, TrendForm::kDamped}) {
      const auto [p, aicc] = EstimateEts(y, form);
      if (aicc < best) best = aicc, p_ = p;
    }
  }
  std::vector<double> Forecast(std::span<const double> y, int h) const override {
    std::vector<double> path;
    Pass(y, StartOf(y), p_, h, &path);
    return path;
  }

 private:
  EtsParameters p_;
};

}  // namespace

double EtsPass(std::span<const double> y, const EtsParameters& p, int h,
               std::vector<double>* path) {
  return Pass(y, StartOf(y), p, h, path);
}

std::pair<EtsParameters, double> EstimateEts(std::span<const double> y, TrendForm form) {
  const size_t parameters = form == TrendForm::kNone ? 2 : form == TrendForm::kLinear ? 3 : 4;
  std::vector<double> start = {Logit(0.3), Logit(0.1), Logit(0.1), Logit(0.75)};
  start.resize(parameters);
  const Start states = StartOf(y);
  const auto best = Minimize(
      [&](const std::vector<double>& u) {
        return Pass(y, states, FromVector(u, form), 0, nullptr);
      },
      start, 1.0, kEvaluations * static_cast<int>(parameters));
  const EtsParameters p = FromVector(best, form);
  const double n = PresentDays(y);
  // Parameters and starting states: level, slope where there is one, six weekday effects.
  const double k =
      static_cast<double>(parameters + 1 + (form == TrendForm::kNone ? 0 : 1) + (kWeek - 1));
  const double sse = std::max(Pass(y, states, p, 0, nullptr), 1e-300);
  double aicc = n * std::log(sse / n) + 2 * (k + 1);
  aicc +=
      n - k - 2 > 0 ? 2 * (k + 1) * (k + 2) / (n - k - 2) : std::numeric_limits<double>::infinity();
  return {p, aicc};
}

std::unique_ptr<Method> MakeEts() {
  return std::make_unique<Ets>();
}

}  // namespace forecast
