// The references every forecast is measured against: the last week repeated, and the mean
// of the last seven days with data.
#include <algorithm>
#include <cmath>
#include <limits>

#include "daily.h"
#include "methods.h"

namespace forecast {

namespace {

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

std::unique_ptr<Method> MakeSeasonalNaive() {
  return std::make_unique<SeasonalNaive>();
}
std::unique_ptr<Method> MakeMean7() {
  return std::make_unique<Mean7>();
}

}  // namespace forecast
