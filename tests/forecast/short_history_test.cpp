#include "short_history.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

using forecast::Domain;
using forecast::kMissing;
using forecast::ShortHistoryForecast;

TEST(ShortHistory, TheMedianSlopeShrugsOffAnOddDay) {
  // A week rising 2 a day with one day far off: the line is the other days' line.
  std::vector<double> y = {100, 102, 104, 400, 108, 110, 112};
  const auto r = ShortHistoryForecast(y, 30, Domain{});
  EXPECT_EQ(r.method, "short-history trend");
  EXPECT_NEAR(r.path[0], 112, 1e-9);
  EXPECT_NEAR(r.path[30], 172, 1e-9);
  EXPECT_FALSE(r.mase);
  EXPECT_EQ(r.errors.size(), 30u);
  // A missing day is skipped, not read as zero.
  y = {100, kMissing, 104, 106, 108};
  EXPECT_NEAR(ShortHistoryForecast(y, 5, Domain{}).path[5], 118, 1e-9);
}

TEST(ShortHistory, TheBandIsWideNeverZeroAndWidensWithTheLead) {
  // A perfectly straight week still gets a band: 5 % of its level at the least.
  const std::vector<double> y = {50, 50, 50, 50, 50, 50, 50};
  const auto r = ShortHistoryForecast(y, 90, Domain{});
  EXPECT_GT(r.upper[1] - r.lower[1], 2 * 1.4 * 2.5 * 0.99);
  for (size_t h = 1; h < r.path.size(); ++h) {
    EXPECT_GE(r.upper[h], r.upper[h - 1]);
    EXPECT_LE(r.lower[h], r.lower[h - 1]);
  }
  EXPECT_GT(r.upper[90] - r.lower[90], 10 * (r.upper[1] - r.lower[1]));
  // Three days are the least; their band is wider than a week's.
  const auto three = ShortHistoryForecast(std::vector<double>{50, 50, 50}, 90, Domain{});
  EXPECT_GT(three.upper[30] - three.lower[30], r.upper[30] - r.lower[30]);
  EXPECT_THROW(ShortHistoryForecast(std::vector<double>{50, kMissing, 50}, 5, Domain{}),
               std::invalid_argument);
}

TEST(ShortHistory, TheForecastAndBandStayInTheDomain) {
  const std::vector<double> y = {90, 93, 96, 99};
  const auto r = ShortHistoryForecast(y, 30, forecast::DomainOf(y, true));
  for (size_t h = 0; h < r.path.size(); ++h) {
    EXPECT_LE(r.upper[h], 100);
    EXPECT_LE(r.path[h], 100);
    EXPECT_GE(r.lower[h], 0);
  }
  EXPECT_DOUBLE_EQ(r.path[30], 100);
}

}  // namespace
