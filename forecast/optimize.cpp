#include "optimize.h"

#include <algorithm>
#include <numeric>

namespace forecast {

std::vector<double> Minimize(const std::function<double(const std::vector<double>&)>& f,
                             std::vector<double> start, double step, int evaluations) {
  const size_t n = start.size();
  std::vector<std::vector<double>> x(n + 1, start);
  std::vector<double> value(n + 1);
  for (size_t i = 0; i < n; ++i) x[i + 1][i] += step;
  int used = 0;
  for (size_t i = 0; i <= n; ++i) value[i] = f(x[i]), ++used;
  std::vector<size_t> order(n + 1);
  while (used < evaluations) {
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return value[a] < value[b]; });
    const size_t best = order.front(), worst = order.back(), second = order[n - 1];
    if (value[worst] - value[best] <= 1e-10 * (1 + std::abs(value[best]))) break;
    std::vector<double> centre(n, 0.0);
    for (size_t i = 0; i <= n; ++i)
      if (i != worst)
        for (size_t k = 0; k < n; ++k) centre[k] += x[i][k] / static_cast<double>(n);
    auto along = [&](double t) {
      std::vector<double> p(n);
      for (size_t k = 0; k < n; ++k) p[k] = centre[k] + t * (x[worst][k] - centre[k]);
      return p;
    };
    const auto reflected = along(-1);
    const double r = f(reflected);
    ++used;
    if (r < value[best]) {
      const auto expanded = along(-2);
      const double e = f(expanded);
      ++used;
      if (e < r)
        x[worst] = expanded, value[worst] = e;
      else
        x[worst] = reflected, value[worst] = r;
    } else if (r < value[second]) {
      x[worst] = reflected, value[worst] = r;
    } else {
      const auto contracted = along(r < value[worst] ? -0.5 : 0.5);
      const double c = f(contracted);
      ++used;
      if (c < std::min(r, value[worst])) {
        x[worst] = contracted, value[worst] = c;
      } else {
        // Shrink toward the best point.
        for (size_t i = 0; i <= n; ++i) {
          if (i == best) continue;
          for (size_t k = 0; k < n; ++k) x[i][k] = x[best][k] + 0.5 * (x[i][k] - x[best][k]);
          value[i] = f(x[i]);
          ++used;
        }
      }
    }
  }
  return x[static_cast<size_t>(std::min_element(value.begin(), value.end()) - value.begin())];
}

}  // namespace forecast
