#include "methods.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "daily.h"
#include "optimize.h"

namespace forecast {

namespace {

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
    EtsPass(y, p_, h, &path);
    return path;
  }

 private:
  EtsParameters p_;
};

class Theta : public Method {
 public:
  std::string Name() const override { return "theta"; }
  void Estimate(std::span<const double> y) override {
    const auto adjusted = Adjusted(y, WeekdayEffects(y));
    // The smoothing that makes the one-step errors least, by a golden-section search.
    double a = 0.01, b = 0.99;
    const double g = (std::sqrt(5.0) - 1) / 2;
    double c = b - g * (b - a), d = a + g * (b - a);
    double fc = Sse(adjusted, c), fd = Sse(adjusted, d);
    for (int i = 0; i < 30; ++i) {
      if (fc < fd)
        b = d, d = c, fd = fc, c = b - g * (b - a), fc = Sse(adjusted, c);
      else
        a = c, c = d, fc = fd, d = a + g * (b - a), fd = Sse(adjusted, d);
    }
    alpha_ = (a + b) / 2;
  }
  std::vector<double> Forecast(std::span<const double> y, int h) const override {
    const auto effects = WeekdayEffects(y);
    const auto adjusted = Adjusted(y, effects);
    // The least-squares slope of the adjusted values.
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    int n = 0;
    for (size_t t = 0; t < adjusted.size(); ++t)
      if (Present(adjusted[t])) {
        const double x = static_cast<double>(t);
        sx += x, sy += adjusted[t], sxx += x * x, sxy += x * adjusted[t], ++n;
      }
    const double den = n * sxx - sx * sx;
    const double slope = n > 1 && den > 0 ? (n * sxy - sx * sy) / den : 0;
    double level = kMissing;
    for (double v : adjusted) {
      if (!Present(v)) continue;
      level = Present(level) ? level + alpha_ * (v - level) : v;
    }
    if (!Present(level)) level = 0;
    const size_t last = y.size() - 1;
    std::vector<double> path(static_cast<size_t>(h) + 1);
    path[0] = level + effects[last % kWeek];
    const double tail = (1 / alpha_) - std::pow(1 - alpha_, n) / alpha_;
    for (int k = 1; k <= h; ++k)
      path[static_cast<size_t>(k)] =
          level + slope / 2 * (k - 1 + tail) + effects[(last + static_cast<size_t>(k)) % kWeek];
    return path;
  }

 private:
  static double Sse(const std::vector<double>& y, double alpha) {
    double level = kMissing, sse = 0;
    for (double v : y) {
      if (!Present(v)) continue;
      if (Present(level)) {
        sse += (v - level) * (v - level);
        level += alpha * (v - level);
      } else {
        level = v;
      }
    }
    return sse;
  }
  double alpha_ = 0.3;
};

class RecentRate : public Method {
 public:
  explicit RecentRate(int days) : days_(days) {}
  std::string Name() const override { return "recent-rate-" + std::to_string(days_); }
  void Estimate(std::span<const double>) override {}
  std::vector<double> Forecast(std::span<const double> y, int h) const override {
    const auto effects = WeekdayEffects(y);
    const auto adjusted = Adjusted(y, effects);
    const size_t from = adjusted.size() > static_cast<size_t>(days_) ? adjusted.size() - days_ : 0;
    const auto [slope, end] = TheilSen(std::span<const double>(adjusted).subspan(from));
    const size_t last = y.size() - 1;
    std::vector<double> path(static_cast<size_t>(h) + 1);
    for (int k = 0; k <= h; ++k)
      path[static_cast<size_t>(k)] =
          end + slope * k + effects[(last + static_cast<size_t>(k)) % kWeek];
    return path;
  }

 private:
  int days_;
};

class SeasonalNaive : public Method {
 public:
  std::string Name() const override { return "seasonal-naive"; }
  void Estimate(std::span<const double>) override {}
  std::vector<double> Forecast(std::span<const double> y, int h) const override {
    // Each day of the last week, or the same weekday a week or more before it.
    const size_t n = y.size();
    std::vector<double> week(kWeek, kMissing);
    double fallback = kMissing;
    for (size_t t = n; t-- > 0 && !Present(fallback);) fallback = Present(y[t]) ? y[t] : fallback;
    if (!Present(fallback)) fallback = 0;
    for (int d = 0; d < kWeek; ++d) {
      for (size_t t = n - kWeek + d; t < n; t -= kWeek) {
        if (Present(y[t])) {
          week[d] = y[t];
          break;
        }
        if (t < kWeek) break;
      }
      if (!Present(week[d])) week[d] = fallback;
    }
    std::vector<double> path(static_cast<size_t>(h) + 1);
    path[0] = Present(y[n - 1]) ? y[n - 1] : fallback;
    for (int k = 1; k <= h; ++k) path[static_cast<size_t>(k)] = week[(k - 1) % kWeek];
    return path;
  }
};

class Mean7 : public Method {
 public:
  std::string Name() const override { return "mean7"; }
  void Estimate(std::span<const double>) override {}
  std::vector<double> Forecast(std::span<const double> y, int h) const override {
    double sum = 0;
    int n = 0;
    for (size_t t = y.size(); t-- > 0 && n < kWeek;)
      if (Present(y[t])) sum += y[t], ++n;
    return std::vector<double>(static_cast<size_t>(h) + 1, n ? sum / n : 0);
  }
};

}  // namespace

double EtsPass(std::span<const double> y, const EtsParameters& p, int h,
               std::vector<double>* path) {
  const Start start = StartOf(y);
  double level = start.level, slope = p.form == TrendForm::kNone ? 0 : start.slope;
  std::vector<double> season = start.season;
  const double phi = p.form == TrendForm::kDamped ? p.phi : 1.0;
  double sse = 0;
  for (size_t t = 0; t < y.size(); ++t) {
    double& s = season[t % kWeek];
    const double expected = level + phi * slope + s;
    if (Present(y[t])) {
      const double e = y[t] - expected;
      sse += e * e;
      level = level + phi * slope + p.alpha * e;
      slope = phi * slope + p.beta * e;
      s += p.gamma * e;
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

std::pair<EtsParameters, double> EstimateEts(std::span<const double> y, TrendForm form) {
  const size_t parameters = form == TrendForm::kNone ? 2 : form == TrendForm::kLinear ? 3 : 4;
  std::vector<double> start = {Logit(0.3), Logit(0.1), Logit(0.1), Logit(0.75)};
  start.resize(parameters);
  const auto best =
      Minimize([&](const std::vector<double>& u) { return EtsPass(y, FromVector(u, form)); }, start,
               1.0, 60 * static_cast<int>(parameters));
  const EtsParameters p = FromVector(best, form);
  const double n = PresentDays(y);
  // Parameters and starting states: level, slope where there is one, six weekday effects.
  const double k =
      static_cast<double>(parameters + 1 + (form == TrendForm::kNone ? 0 : 1) + (kWeek - 1));
  const double sse = std::max(EtsPass(y, p), 1e-300);
  double aicc = n * std::log(sse / n) + 2 * (k + 1);
  aicc +=
      n - k - 2 > 0 ? 2 * (k + 1) * (k + 2) / (n - k - 2) : std::numeric_limits<double>::infinity();
  return {p, aicc};
}

std::pair<double, double> TheilSen(std::span<const double> y) {
  std::vector<double> slopes;
  for (size_t i = 0; i < y.size(); ++i)
    for (size_t j = i + 1; j < y.size(); ++j)
      if (Present(y[i]) && Present(y[j]))
        slopes.push_back((y[j] - y[i]) / static_cast<double>(j - i));
  if (slopes.empty()) {
    for (size_t t = y.size(); t-- > 0;)
      if (Present(y[t])) return {0, y[t]};
    return {0, 0};
  }
  auto median = [](std::vector<double>& v) {
    const size_t m = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(m), v.end());
    double upper = v[m];
    if (v.size() % 2) return upper;
    const double lower = *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(m));
    return (lower + upper) / 2;
  };
  const double slope = median(slopes);
  std::vector<double> ends;
  const double last = static_cast<double>(y.size() - 1);
  for (size_t t = 0; t < y.size(); ++t)
    if (Present(y[t])) ends.push_back(y[t] + slope * (last - static_cast<double>(t)));
  return {slope, median(ends)};
}

std::unique_ptr<Method> MakeEts() {
  return std::make_unique<Ets>();
}
std::unique_ptr<Method> MakeTheta() {
  return std::make_unique<Theta>();
}
std::unique_ptr<Method> MakeRecentRate(int days) {
  return std::make_unique<RecentRate>(days);
}
std::unique_ptr<Method> MakeSeasonalNaive() {
  return std::make_unique<SeasonalNaive>();
}
std::unique_ptr<Method> MakeMean7() {
  return std::make_unique<Mean7>();
}

}  // namespace forecast
