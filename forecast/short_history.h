// A forecast for a series too short for any method to be judged on its own past (a few
// days to two weeks): the median of the slopes between every two days (one odd day or a
// weekend among the days moves it little), through the median of the days' distance from
// that slope, at the last day. Its 80 % band is the prediction interval of a line fitted on
// so few days (Student's t with n - 2 degrees of freedom; the slope's own uncertainty
// widens it as the square of the distance), from a spread of at least 5 % of the days'
// mean: wide, as a forecast from a week ought to be. It has no backtest (no MASE, no
// errors), and the band is not calibrated.
#pragma once

#include <span>

#include "daily.h"
#include "engine.h"

namespace forecast {

inline constexpr const char* kShortHistoryMethod = "short-history trend";
inline constexpr int kShortHistoryLeastDays = 3;  // fewer days with data: no forecast

// The forecast of `y` (oldest first, the last value today's, NaN for a missing day) for
// days 0..horizon, within `domain`. `y` must hold kShortHistoryLeastDays days with data.
Result ShortHistoryForecast(std::span<const double> y, int horizon, const Domain& domain);

}  // namespace forecast
