#include "yearly.h"

#include <array>
#include <cmath>
#include <numbers>

#include "daily.h"

namespace forecast {

namespace {

constexpr int kHarmonics = 3;
constexpr int kTerms = 2 + 2 * kHarmonics;  // the line's two, then a cosine and a sine each

std::array<double, kTerms> Terms(double t) {
  std::array<double, kTerms> x{};
  x[0] = 1;
  x[1] = t / kYear;
  for (int k = 1; k <= kHarmonics; ++k) {
    const double a = 2 * std::numbers::pi * k * t / kYear;
    x[static_cast<size_t>(2 * k)] = std::cos(a);
    x[static_cast<size_t>(2 * k + 1)] = std::sin(a);
  }
  return x;
}

// Solves a x = b (a symmetric, positive definite where the terms are independent) by
// Gaussian elimination with partial pivoting; false where it is singular.
bool Solve(std::array<std::array<double, kTerms>, kTerms>& a, std::array<double, kTerms>& b) {
  for (int c = 0; c < kTerms; ++c) {
    int pivot = c;
    for (int r = c + 1; r < kTerms; ++r)
      if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
    if (std::fabs(a[pivot][c]) < 1e-12 * (1 + std::fabs(a[0][0]))) return false;
    std::swap(a[c], a[pivot]);
    std::swap(b[c], b[pivot]);
    for (int r = c + 1; r < kTerms; ++r) {
      const double f = a[r][c] / a[c][c];
      for (int k = c; k < kTerms; ++k) a[r][k] -= f * a[c][k];
      b[r] -= f * b[c];
    }
  }
  for (int c = kTerms - 1; c >= 0; --c) {
    for (int k = c + 1; k < kTerms; ++k) b[c] -= a[c][k] * b[k];
    b[c] /= a[c][c];
  }
  return true;
}

}  // namespace

std::optional<std::vector<double>> YearlyEffect(std::span<const double> y, int horizon) {
  if (PresentDays(y) < kYearlyLeast) return std::nullopt;
  const auto adjusted = Adjusted(y, WeekdayEffects(y));
  std::array<std::array<double, kTerms>, kTerms> a{};
  std::array<double, kTerms> b{};
  for (size_t t = 0; t < adjusted.size(); ++t) {
    if (!Present(adjusted[t])) continue;
    const auto x = Terms(static_cast<double>(t));
    for (int i = 0; i < kTerms; ++i) {
      b[i] += x[i] * adjusted[t];
      for (int j = 0; j < kTerms; ++j) a[i][j] += x[i] * x[j];
    }
  }
  if (!Solve(a, b)) return std::nullopt;
  std::vector<double> effect(y.size() + static_cast<size_t>(std::max(0, horizon)));
  for (size_t t = 0; t < effect.size(); ++t) {
    const auto x = Terms(static_cast<double>(t));
    double e = 0;
    for (int i = 2; i < kTerms; ++i) e += b[i] * x[i];
    effect[t] = e;
  }
  return effect;
}

}  // namespace forecast
