// The theta method on the weekday-adjusted daily values.
#include <algorithm>
#include <cmath>
#include <limits>

#include "daily.h"
#include "methods.h"

namespace forecast {

namespace {

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

}  // namespace

std::unique_ptr<Method> MakeTheta() {
  return std::make_unique<Theta>();
}

}  // namespace forecast
