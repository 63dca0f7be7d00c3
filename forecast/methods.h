// The forecasting methods, each estimated on the series it forecasts:
//
//   ets(A,N,A), ets(A,A,A), ets(A,Ad,A)  exponential smoothing of level, trend (none,
//       linear, damped) and weekday season with additive errors; its smoothing, damping
//       and starting states estimated by least squares (the Gaussian likelihood), its form
//       chosen by the corrected Akaike criterion, as R's ets does
//   theta             simple exponential smoothing of the weekday-adjusted values with half
//                     the slope of their least-squares line added (the theta method)
//   recent-rate       a robust (Theil-Sen) line through the last 14, 21 or 28 weekday-
//                     adjusted days, the length chosen by the series' own backtest: a
//                     change of rate weeks ago is followed
//   trend             the window's robust (Theil-Sen) slope through where the last four
//                     weeks lie: a steady fill keeps its rate
//   seasonal-naive    the last week repeated
//   mean7             the mean of the last seven days with data
//
// A method is estimated once on the whole series; its forecast from any shorter start of
// the series (a backtest's cut-off) runs with those estimates.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

namespace forecast {

class Method {
 public:
  virtual ~Method() = default;
  // The method's name as the report shows it ("ets(A,Ad,A)").
  virtual std::string Name() const = 0;
  // Estimates the parameters on `y` (oldest first, NaN for a missing day).
  virtual void Estimate(std::span<const double> y) = 0;
  // Today's smoothed value and the forecasts of days 1..h after the last day of `y`, with
  // the parameters estimated: h + 1 values.
  virtual std::vector<double> Forecast(std::span<const double> y, int h) const = 0;
};

std::unique_ptr<Method> MakeEts();
std::unique_ptr<Method> MakeTheta();
std::unique_ptr<Method> MakeRecentRate(int days);
std::unique_ptr<Method> MakeWindowTrend();
std::unique_ptr<Method> MakeSeasonalNaive();
std::unique_ptr<Method> MakeMean7();

// ---- The parts, for the tests ----

enum class TrendForm { kNone, kLinear, kDamped };
struct EtsParameters {
  TrendForm form = TrendForm::kDamped;
  double alpha = 0.2, beta = 0.02, gamma = 0.1, phi = 0.98;
};
// One pass of the additive recursion over `y` from starting states taken from its first
// weeks: the sum of squared one-step errors, and (where `path` is given) today's smoothed
// value and the forecasts of days 1..h.
double EtsPass(std::span<const double> y, const EtsParameters& p, int h = 0,
               std::vector<double>* path = nullptr);
// The estimated parameters of one form, and its corrected Akaike criterion.
std::pair<EtsParameters, double> EstimateEts(std::span<const double> y, TrendForm form);

// The Theil-Sen slope of the present values among `y` (the median of the pairwise
// slopes) and the line's value at the last day (the median of value - slope * day).
std::pair<double, double> TheilSen(std::span<const double> y);

}  // namespace forecast
