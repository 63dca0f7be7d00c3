// The forecasting engine: every method estimated on the series, each judged by a rolling-
// origin backtest on the series' own history (a cut-off every week, as far back as four
// weeks from its start), the forecast chosen by one rule, and its 80 % band taken from the
// backtest's own errors at each lead.
//
// auto: the mean of ETS and the window's trend where the trend's backtest error (MASE over
// leads 1..30, or as far as the backtest reaches) lies within 20 % of the best method's.
//
// The band at a lead: of the n backtest errors at that lead, the ceil((n + 1) * 0.1)-th
// and ceil((n + 1) * 0.9)-th smallest, where n >= 9; with fewer errors, the one-day errors'
// spread widened as the square root of the lead and by a quarter; past the leads the
// backtest reaches, the last measured band widened as the square root of the lead. Its width
// is then calibrated, a share for leads 1-7, 8-30 and 31 on fitted on generated regimes (the
// rule's band is too wide: many of its errors come from cut-offs with less history than the
// forecast has). The band's edges never move inward as the lead grows, and the forecast and
// band stay in the series' domain. Where the backtest measured no spread at all, it falls
// back on a share of the level (forecast::LastResortSpread): a steady series gets a narrow
// band, never one of no width.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "daily.h"

namespace forecast {

struct Options {
  int horizon = 90;             // days ahead
  std::string method = "auto";  // or ets, theta, recent-rate, trend, seasonal-naive, mean7
  Domain domain;
  int choiceLead = 30;         // the backtest's leads that choose the methods
  bool calibratedBand = true;  // false: the finite-sample rule's band as it comes
  bool yearly = true;          // false: no yearly cycle, however long the series
};

struct Result {
  std::string method;                // "ets(A,Ad,A)", or "ets(A,Ad,A)+theta" for a mean
  std::vector<double> path;          // today's smoothed value, then days 1..horizon
  std::vector<double> lower, upper;  // the 80 % band of each day, same indexes
  std::optional<double> mase;        // the backtest's MASE over leads 1..backtestLead
  int backtestLead = 0;
  std::optional<double> skill;     // 1 - mase / seasonal naive's on the same backtest
  std::optional<double> coverage;  // the share of backtest actuals inside the band
  // The probability that the series reaches `threshold` (at or above it, or at or below
  // with `below`) within `days` days, from the backtest's errors at each lead.
  double ProbabilityOfReaching(double threshold, bool below, int days) const;

  // Per lead (1..horizon): the backtest's sorted errors the band came from (empty past
  // what it reached).
  std::vector<std::vector<double>> errors;
};

// The forecast of `y` (oldest first, the last value today's, NaN for a missing day). The
// methods are estimated and judged on the latest 182 days; where `y` holds a year of days
// or more, the same is done on those days less their yearly effect (forecast/yearly.h),
// the effect added back, and kept where its backtest errs less (the method's name then
// ends in "+yearly").
Result Forecast(std::span<const double> y, const Options& options);

// The band's offsets from a forecast for days 0..errors.size() by the rule above, from the
// sorted backtest errors of each lead 1..errors.size(), the backtest reaching `reach`.
struct Offsets {
  std::vector<double> low, high;
};
Offsets BandOffsets(const std::vector<std::vector<double>>& errors, int reach,
                    std::optional<double> scale, double lastResort, bool calibrated = true);
// The calibration's share of the rule's width at a lead.
double BandCalibration(int lead);

// ---- The arithmetic, for the tests ----

// The finite-sample band of sorted errors: the ceil((n + 1) q)-th smallest for the upper
// quantile q, and its mirror for 1 - q; nullopt where n is too small for q.
std::optional<std::pair<double, double>> FiniteSampleBand(const std::vector<double>& sorted,
                                                          double q);

}  // namespace forecast
