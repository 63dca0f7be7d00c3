// The yearly cycle of a long series: Fourier terms of the year (three harmonics) fitted by
// least squares beside a straight line, on the weekday-adjusted daily values.
#pragma once

#include <optional>
#include <span>
#include <vector>

namespace forecast {

// The days of a year, and the fewest days with data a yearly cycle is fitted on.
inline constexpr double kYear = 365.25;
inline constexpr int kYearlyLeast = 365;

// The yearly effect of each day 0..y.size() + horizon - 1 (y's days, then the days ahead),
// averaging 0 over a year; nullopt where `y` holds fewer than kYearlyLeast days with data.
std::optional<std::vector<double>> YearlyEffect(std::span<const double> y, int horizon);

}  // namespace forecast
