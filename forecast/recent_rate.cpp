// The recent rate: a robust line through the last weeks of weekday-adjusted values.
#include <algorithm>
#include <cmath>
#include <limits>

#include "daily.h"
#include "methods.h"

namespace forecast {

namespace {

// The median of `v` (reordered on the way).
double Median(std::vector<double>& v) {
  const size_t m = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(m), v.end());
  const double upper = v[m];
  if (v.size() % 2) return upper;
  const double lower = *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(m));
  return (lower + upper) / 2;
}

// Today's value `end` and days 1..h along `slope`, the weekday effects of `y` added back.
std::vector<double> LinePath(double end, double slope, const std::vector<double>& effects,
                             size_t last, int h) {
  std::vector<double> path(static_cast<size_t>(h) + 1);
  for (int k = 0; k <= h; ++k)
    path[static_cast<size_t>(k)] =
        end + slope * k + effects[(last + static_cast<size_t>(k)) % kWeek];
  return path;
}

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
    return LinePath(end, slope, effects, y.size() - 1, h);
  }

 private:
  int days_;
};

// The window's trend: the Theil-Sen slope of the weekday-adjusted weeks of the window (a
// spike or an outage moves it little), through where the last two weeks lie (the median
// of their values less the slope's way to today): a steady fill keeps its rate.
class WindowTrend : public Method {
 public:
  std::string Name() const override { return "trend"; }
  void Estimate(std::span<const double>) override {}
  std::vector<double> Forecast(std::span<const double> y, int h) const override {
    const auto effects = WeekdayEffects(y);
    const auto adjusted = Adjusted(y, effects);
    // The slope of the weeks' means (seven days counted back from today, four of them at
    // least with data): as robust, and its cost stays small however long the window.
    std::vector<double> weeks;
    for (size_t end = adjusted.size(); end >= kWeek; end -= kWeek) {
      double sum = 0;
      int n = 0;
      for (size_t t = end - kWeek; t < end; ++t)
        if (Present(adjusted[t])) sum += adjusted[t], ++n;
      weeks.push_back(n >= 4 ? sum / n : kMissing);
    }
    std::reverse(weeks.begin(), weeks.end());
    const double slope = TheilSen(weeks).first / kWeek;
    std::vector<double> anchors;
    const size_t last = y.size() - 1;
    for (size_t t = adjusted.size() > 14 ? adjusted.size() - 14 : 0; t < adjusted.size(); ++t)
      if (Present(adjusted[t]))
        anchors.push_back(adjusted[t] + slope * static_cast<double>(last - t));
    return LinePath(anchors.empty() ? 0 : Median(anchors), slope, effects, last, h);
  }
};

}  // namespace

std::unique_ptr<Method> MakeWindowTrend() {
  return std::make_unique<WindowTrend>();
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
  const double slope = Median(slopes);
  std::vector<double> ends;
  const double last = static_cast<double>(y.size() - 1);
  for (size_t t = 0; t < y.size(); ++t)
    if (Present(y[t])) ends.push_back(y[t] + slope * (last - static_cast<double>(t)));
  return {slope, Median(ends)};
}

std::unique_ptr<Method> MakeRecentRate(int days) {
  return std::make_unique<RecentRate>(days);
}

}  // namespace forecast
