#include "short_history.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

namespace forecast {

namespace {

double Median(std::vector<double> v) {
  const size_t mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + static_cast<long>(mid), v.end());
  const double upper = v[mid];
  if (v.size() % 2) return upper;
  return (*std::max_element(v.begin(), v.begin() + static_cast<long>(mid)) + upper) / 2;
}

// Student's t at 0.9 with `dof` degrees of freedom (the 80 % interval's edge).
double StudentT90(int dof) {
  static constexpr double kT[] = {3.078, 1.886, 1.638, 1.533, 1.476, 1.440, 1.415,
                                  1.397, 1.383, 1.372, 1.363, 1.356, 1.350, 1.345};
  constexpr int kKnown = static_cast<int>(std::size(kT));
  return dof < 1 ? kT[0] : dof <= kKnown ? kT[dof - 1] : 1.2816;
}

}  // namespace

Result ShortHistoryForecast(std::span<const double> y, int horizon, const Domain& domain) {
  // The days with data, at their distance from today (0, -1, ...).
  std::vector<double> x, v;
  const int last = static_cast<int>(y.size()) - 1;
  for (int i = 0; i <= last; ++i)
    if (Present(y[static_cast<size_t>(i)]))
      x.push_back(i - last), v.push_back(y[static_cast<size_t>(i)]);
  const size_t n = x.size();
  if (n < static_cast<size_t>(kShortHistoryLeastDays))
    throw std::invalid_argument("a short-history forecast takes three days with data");
  std::vector<double> slopes;
  for (size_t i = 0; i < n; ++i)
    for (size_t j = i + 1; j < n; ++j) slopes.push_back((v[j] - v[i]) / (x[j] - x[i]));
  const double slope = Median(slopes);
  std::vector<double> offsets(n);
  for (size_t i = 0; i < n; ++i) offsets[i] = v[i] - slope * x[i];
  const double level = Median(offsets);

  double meanX = 0, meanAbs = 0;
  for (size_t i = 0; i < n; ++i) meanX += x[i], meanAbs += std::fabs(v[i]);
  meanX /= static_cast<double>(n);
  meanAbs /= static_cast<double>(n);
  double sxx = 0, squares = 0;
  for (size_t i = 0; i < n; ++i) {
    sxx += (x[i] - meanX) * (x[i] - meanX);
    const double residual = v[i] - (level + slope * x[i]);
    squares += residual * residual;
  }
  const int dof = static_cast<int>(n) - 2;
  const double spread = std::max({std::sqrt(squares / std::max(1, dof)), 0.05 * meanAbs, 1e-9});
  const double t = StudentT90(dof);

  Result r;
  r.method = kShortHistoryMethod;
  const int days = std::max(0, horizon);
  r.errors.assign(static_cast<size_t>(days), {});
  for (int h = 0; h <= days; ++h) {
    const double centre = level + slope * h;
    const double width =
        t * spread * std::sqrt(1 + 1.0 / static_cast<double>(n) + (h - meanX) * (h - meanX) / sxx);
    r.path.push_back(domain.Clip(centre));
    r.lower.push_back(domain.Clip(centre - width));
    r.upper.push_back(domain.Clip(centre + width));
  }
  return r;
}

}  // namespace forecast
