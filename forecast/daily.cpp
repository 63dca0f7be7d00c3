#include "daily.h"

#include <algorithm>

namespace forecast {

int PresentDays(std::span<const double> y) {
  return static_cast<int>(std::count_if(y.begin(), y.end(), Present));
}

std::optional<double> WeeklyScale(std::span<const double> y) {
  double sum = 0;
  int n = 0;
  for (size_t t = kWeek; t < y.size(); ++t)
    if (Present(y[t]) && Present(y[t - kWeek])) sum += std::fabs(y[t] - y[t - kWeek]), ++n;
  if (n == 0 || sum <= 0) return std::nullopt;
  return sum / n;
}

double LastResortSpread(std::span<const double> y, double level) {
  bool paired = false, changed = false;
  for (size_t t = kWeek; t < y.size() && !changed; ++t)
    if (Present(y[t]) && Present(y[t - kWeek])) paired = true, changed = y[t] != y[t - kWeek];
  return (paired && !changed ? 0.01 : 0.1) * std::fabs(level);
}

std::vector<double> WeekdayEffects(std::span<const double> y) {
  std::vector<double> effect(kWeek, 0.0);
  if (y.size() < 2 * kWeek) return effect;
  std::vector<double> sum(kWeek, 0.0);
  std::vector<int> count(kWeek, 0);
  // Each day against the mean of the seven days centred on it: a trend does not leak into
  // the effects.
  for (size_t t = 3; t + 3 < y.size(); ++t) {
    if (!Present(y[t])) continue;
    double week = 0;
    int days = 0;
    for (size_t k = t - 3; k <= t + 3; ++k)
      if (Present(y[k])) week += y[k], ++days;
    if (days < 5) continue;
    sum[t % kWeek] += y[t] - week / days;
    ++count[t % kWeek];
  }
  double mean = 0;
  for (int d = 0; d < kWeek; ++d) {
    effect[d] = count[d] ? sum[d] / count[d] : 0;
    mean += effect[d] / kWeek;
  }
  for (double& e : effect) e -= mean;
  return effect;
}

std::vector<double> Adjusted(std::span<const double> y, std::span<const double> effects) {
  std::vector<double> out(y.begin(), y.end());
  for (size_t t = 0; t < out.size(); ++t)
    if (Present(out[t])) out[t] -= effects[t % kWeek];
  return out;
}

Domain DomainOf(std::span<const double> y, bool percent) {
  Domain d;
  double least = std::numeric_limits<double>::infinity(), most = -least;
  for (double v : y)
    if (Present(v)) least = std::min(least, v), most = std::max(most, v);
  if (least >= 0) d.lowest = 0;
  if (percent && least >= 0 && most <= 100) d.highest = 100;
  return d;
}

}  // namespace forecast
