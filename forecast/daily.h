// A series of daily values as the forecasting engine takes it: oldest first, the last
// value today's, NaN for a day without data; and what every method shares about it: the
// weekday effects, the mean absolute week-over-week change that scales errors, and the
// physical domain a forecast must stay in.
#pragma once

#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <vector>

namespace forecast {

inline constexpr int kWeek = 7;
inline const double kMissing = std::numeric_limits<double>::quiet_NaN();

inline bool Present(double v) {
  return !std::isnan(v);
}

// The days with a value.
int PresentDays(std::span<const double> y);

// The mean absolute change from a day to the same weekday a week before, over the days
// that have both; nullopt where no such pair exists or every change is 0.
std::optional<double> WeeklyScale(std::span<const double> y);

// The spread a band falls back on where a backtest measured nothing: a tenth of the level,
// or a hundredth on a series that never changed from a day to the same weekday a week
// before (a steady series is not an unknown one).
double LastResortSpread(std::span<const double> y, double level);

// Additive weekday effects: for each position t % 7 (t counted from the first day), the
// mean of its days' distance from their centred week's mean, the seven summing to 0;
// zeros where the series holds fewer than two weeks.
std::vector<double> WeekdayEffects(std::span<const double> y);

// The values less their weekday effect (missing days stay missing).
std::vector<double> Adjusted(std::span<const double> y, std::span<const double> effects);

// Where a forecast may lie: a percentage stays within 0..100, and a quantity that never
// went below zero stays at zero or above.
struct Domain {
  double lowest = -std::numeric_limits<double>::infinity();
  double highest = std::numeric_limits<double>::infinity();
  double Clip(double v) const { return v < lowest ? lowest : v > highest ? highest : v; }
};
// The domain of a series: its unit "%" bounds it by 0..100 (or by its own range where
// the history leaves that), and a history without a negative value floors it at 0.
Domain DomainOf(std::span<const double> y, bool percent);

}  // namespace forecast
