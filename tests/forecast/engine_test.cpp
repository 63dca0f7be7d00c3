// The forecasting engine on series whose right answers follow from their construction.
#include "engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "daily.h"
#include "methods.h"

namespace {

using forecast::Forecast;
using forecast::Options;

constexpr double kWeekShape[7] = {1.0, 1.1, 1.1, 1.05, 1.0, 0.6, 0.55};

// `days` daily values of level(t) times a weekday shape, with a small deterministic wobble.
std::vector<double> Series(int days, const std::function<double(int)>& level,
                           double wobble = 0.01) {
  std::vector<double> y(static_cast<size_t>(days));
  for (int t = 0; t < days; ++t)
    y[static_cast<size_t>(t)] =
        level(t) * kWeekShape[t % 7] * (1 + wobble * std::sin(t * 2.399963));
  return y;
}

// The mean of the forecast over the week around day h: the weekday shape averages out.
double WeekAround(const forecast::Result& r, int h) {
  double s = 0;
  for (int k = h - 3; k <= h + 3; ++k) s += r.path[static_cast<size_t>(k)];
  return s / 7;
}

TEST(Engine, TheFiniteSampleBandTakesTheRankOfItsRule) {
  std::vector<double> e;
  for (int i = 1; i <= 9; ++i) e.push_back(i);
  // n = 9: ceil(10 * 0.9) = 9th and its mirror, the 1st.
  EXPECT_EQ(forecast::FiniteSampleBand(e, 0.9), std::make_pair(1.0, 9.0));
  e.push_back(10);
  e.push_back(11);  // n = 11: the 11th... ceil(12 * 0.9) = 11
  EXPECT_EQ(forecast::FiniteSampleBand(e, 0.9), std::make_pair(1.0, 11.0));
  for (int i = 12; i <= 19; ++i) e.push_back(i);  // n = 19: the 18th and the 2nd
  EXPECT_EQ(forecast::FiniteSampleBand(e, 0.9), std::make_pair(2.0, 18.0));
  e.resize(8);  // too few for a 90 % rank
  EXPECT_FALSE(forecast::FiniteSampleBand(e, 0.9));
}

TEST(Engine, ASteadyTrendPersistsAndStartsWhereTheDataIs) {
  // 182 days rising 0.5 a day from 100: in 60 days the weekly mean lies near 100 + 0.5 * 241.
  const auto y = Series(182, [](int t) { return 100 + 0.5 * t; });
  Options o;
  o.horizon = 90;
  // (Theta alone carries half the slope by design; auto takes it only where the backtest
  // says so.)
  for (const std::string method : {"auto", "ets"}) {
    o.method = method;
    const auto r = Forecast(y, o);
    const double expected = (100 + 0.5 * (181 + 60)) * 0.9143;  // the shape's mean
    EXPECT_NEAR(WeekAround(r, 60), expected, 0.04 * expected) << method << " " << r.method;
    // Today's value is today's, not the window's mean.
    EXPECT_NEAR(r.path[0], y.back(), 0.05 * y.back()) << method;
  }
}

TEST(Engine, SteadyGrowthInNoiseKeepsItsCrossing) {
  // 3 % a month under day-to-day noise of 2 to 10 %: the line reaches 130 in 118 days. The
  // forecast must carry the growth: a crossing within the year, near enough to the truth.
  uint64_t state = 99;
  auto noise = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    const double u1 = (static_cast<double>(state >> 11) + 1) / 9007199254740993.0;
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    const double u2 = static_cast<double>(state >> 11) / 9007199254740992.0;
    return std::sqrt(-2 * std::log(u1)) * std::cos(6.283185307179586 * u2);
  };
  int never = 0, total = 0;
  for (double size : {0.02, 0.05, 0.1})
    for (int seed = 0; seed < 10; ++seed) {
      std::vector<double> y(182);
      for (int t = 0; t < 182; ++t)
        y[static_cast<size_t>(t)] = (100 + 0.1 * t) * (1 + size * noise());
      Options o;
      o.horizon = 365;
      const auto r = Forecast(y, o);
      bool crosses = false;
      for (int h = 1; h <= 365 && !crosses; ++h) crosses = r.path[static_cast<size_t>(h)] >= 130;
      never += !crosses;
      ++total;
    }
  EXPECT_LE(never, total / 10) << never << " of " << total << " said never";
}

TEST(Engine, AChangeOfRateWeeksAgoIsFollowed) {
  // A disk filling 1 a day for five months, then 4 a day for the last three weeks.
  const auto y = Series(
      182, [](int t) { return 500 + (t < 161 ? t : 161 + 4.0 * (t - 161)); }, 0.002);
  Options o;
  o.horizon = 30;
  const auto r = Forecast(y, o);
  const double now = 500 + 161 + 4.0 * 20;
  const double steep = now + 4 * 27, gentle = now + 27;
  const double shape = 0.9143;
  // Nearer the new rate than the old one.
  EXPECT_GT(WeekAround(r, 27), shape * (gentle + steep) / 2) << r.method;
}

TEST(Engine, OneDaysSpikeBendsNothing) {
  auto y = Series(182, [](int) { return 50.0; });
  y[179] *= 5;  // three days ago
  Options o;
  o.horizon = 30;
  const auto r = Forecast(y, o);
  EXPECT_NEAR(WeekAround(r, 20), 50 * 0.9143, 50 * 0.9143 * 0.08) << r.method;
}

TEST(Engine, AnOutageBendsNothingAndALastingShiftIsFollowedWithinDays) {
  // A day of zeros (a collector down) yesterday: the forecast stays at the level.
  auto y = Series(182, [](int) { return 50.0; });
  y[180] = 0;
  Options o;
  o.horizon = 30;
  auto r = Forecast(y, o);
  EXPECT_NEAR(WeekAround(r, 20), 50 * 0.9143, 50 * 0.9143 * 0.08) << r.method;
  // A move from 50 to 80 ten days ago that held, its weekdays moving with it: the forecast
  // has made two thirds of the move at least, and does not overshoot it.
  y = Series(
      182, [](int t) { return t < 172 ? 50.0 : 80.0; }, 0.04);
  r = Forecast(y, o);
  EXPECT_GT(WeekAround(r, 10), (50 + 2 * 30 / 3.0) * 0.9143) << r.method;
  EXPECT_LT(WeekAround(r, 10), 80 * 0.9143 * 1.05) << r.method;
}

TEST(Engine, TheBandIsTheRulesNarrowedByItsCalibration) {
  const auto y = Series(
      182, [](int t) { return 20 + 0.1 * t; }, 0.05);
  Options o;
  o.horizon = 60;
  const auto calibrated = Forecast(y, o);
  o.calibratedBand = false;
  const auto rule = Forecast(y, o);
  for (size_t h = 1; h <= 60; ++h) {
    EXPECT_LE(calibrated.upper[h] - calibrated.path[h], rule.upper[h] - rule.path[h] + 1e-9) << h;
    EXPECT_LE(calibrated.path[h] - calibrated.lower[h], rule.path[h] - rule.lower[h] + 1e-9) << h;
  }
  // Far out, where the band grows of itself, it is the calibrated share of the rule's.
  EXPECT_NEAR(calibrated.upper[60] - calibrated.lower[60],
              forecast::BandCalibration(60) * (rule.upper[60] - rule.lower[60]),
              0.05 * (rule.upper[60] - rule.lower[60]));
  EXPECT_LT(forecast::BandCalibration(60), 1);
}

TEST(Engine, TwoYearsOfAYearlyCycleForecastItsTurn) {
  // A yearly swing of +-30 around 100, today at its trough's start: the next 90 days fall
  // and then rise as they did a year ago. With the year the forecast follows; on the last
  // 182 days alone it cannot know the turn.
  auto level = [](int t) { return 100 + 30 * std::sin(2 * 3.14159265 * (t + 120) / 365.25); };
  const auto y = Series(730, level, 0.02);
  Options o;
  o.horizon = 90;
  const auto r = Forecast(y, o);
  EXPECT_NE(r.method.find("+yearly"), std::string::npos) << r.method;
  for (const int h : {30, 60, 85}) {
    const double truth = level(729 + h) * 0.9143;
    EXPECT_NEAR(WeekAround(r, h), truth, 0.06 * truth) << h << " " << r.method;
  }
  // Without the year the same history is a plain forecast; a young series never has one.
  o.yearly = false;
  EXPECT_EQ(Forecast(y, o).method.find("+yearly"), std::string::npos);
  o.yearly = true;
  EXPECT_EQ(Forecast(std::span<const double>(y).last(300), o).method.find("+yearly"),
            std::string::npos);
}

TEST(Engine, BandsWidenWithTheLeadAndAlwaysHaveWidth) {
  for (const int days : {14, 21, 40, 60, 90, 182}) {
    const auto y = Series(
        days, [](int t) { return 20 + 0.1 * t; }, 0.05);
    Options o;
    o.horizon = 90;
    const auto r = Forecast(y, o);
    double width = 0;
    for (size_t h = 1; h < r.path.size(); ++h) {
      const double w = r.upper[h] - r.lower[h];
      EXPECT_GT(w, 0) << days << " days, lead " << h;
      EXPECT_GE(w, width - 1e-9) << days << " days, lead " << h;
      EXPECT_LE(r.lower[h], r.path[h]);
      EXPECT_GE(r.upper[h], r.path[h]);
      width = w;
    }
    if (days >= 40) {
      EXPECT_TRUE(r.mase) << days;
    }
  }
}

TEST(Engine, ASeriesThatNeverChangedGetsANarrowBandOfSomeWidth) {
  // With any history, long or short: a constant is not an unknown, and a tenth of its level
  // per day's square root (the band where nothing was measured) would put a host at 20 %
  // of its ceiling near 40 % in three months.
  for (const int days : {21, 60, 182}) {
    const std::vector<double> y(static_cast<size_t>(days), 16.0);
    Options o;
    o.horizon = 90;
    const auto r = Forecast(y, o);
    EXPECT_NEAR(r.path[90], 16, 1e-9) << days;
    EXPECT_GT(r.upper[1] - r.lower[1], 0) << days;
    EXPECT_LT(r.upper[90] - 16, 0.15 * 16) << days;
    EXPECT_GT(16 - r.lower[90], 0) << days;
  }
  // An unknown is still wide: two days, no week to compare.
  EXPECT_EQ(forecast::LastResortSpread(std::vector<double>{16, 16}, 16), 1.6);
  EXPECT_EQ(forecast::LastResortSpread(std::vector<double>(8, 16.0), -16), 0.16);
  std::vector<double> changed(8, 16.0);
  changed[7] = 17;
  EXPECT_EQ(forecast::LastResortSpread(changed, 16), 1.6);
}

TEST(Engine, ForecastsStayInTheSeriesDomain) {
  // A percentage nearing 100, and a free quantity nearing 0.
  const auto full = Series(
      120, [](int t) { return 40 + 0.35 * t; }, 0.0);
  Options o;
  o.horizon = 90;
  o.domain = forecast::DomainOf(full, true);
  auto r = Forecast(full, o);
  for (size_t h = 0; h < r.path.size(); ++h) {
    EXPECT_LE(r.upper[h], 100);
    EXPECT_LE(r.path[h], 100);
  }
  const auto free = Series(
      120, [](int t) { return 100 - 0.8 * t; }, 0.0);
  o.domain = forecast::DomainOf(free, false);
  r = Forecast(free, o);
  for (size_t h = 0; h < r.path.size(); ++h) EXPECT_GE(r.lower[h], 0);
}

TEST(Engine, TheProbabilityOfReachingGrowsWithTheDays) {
  const auto y = Series(
      182, [](int t) { return 50 + 0.2 * t; }, 0.05);
  Options o;
  o.horizon = 180;
  const auto r = Forecast(y, o);
  // The busiest weekday reaches it in about 60 days.
  const double threshold = 1.1 * (50 + 0.2 * (181 + 60));
  const double p30 = r.ProbabilityOfReaching(threshold, false, 30);
  const double p90 = r.ProbabilityOfReaching(threshold, false, 90);
  const double p180 = r.ProbabilityOfReaching(threshold, false, 180);
  EXPECT_LE(p30, p90);
  EXPECT_LE(p90, p180);
  EXPECT_GT(p180, 0.8);
  EXPECT_LT(p30, 0.5);
}

TEST(Engine, ShortAndGappyHistoriesGiveAForecast) {
  std::vector<double> y(30, forecast::kMissing);
  for (int t = 0; t < 30; t += 3) y[static_cast<size_t>(t)] = 10 + t;
  Options o;
  o.horizon = 30;
  const auto r = Forecast(y, o);
  ASSERT_EQ(r.path.size(), 31u);
  for (double v : r.path) EXPECT_TRUE(std::isfinite(v));
  const std::vector<double> three = {5, 6, 7};
  EXPECT_EQ(Forecast(three, o).path.size(), 31u);
}

TEST(Engine, EtsIsNamedForItsEstimatedForm) {
  // No trend at all: the form without one wins; a steady slope: a trend form.
  const auto flat = Series(
      182, [](int) { return 30.0; }, 0.05);
  auto ets = forecast::MakeEts();
  ets->Estimate(flat);
  EXPECT_EQ(ets->Name(), "ets(A,N,A)");
  const auto rising = Series(
      182, [](int t) { return 30 + 0.3 * t; }, 0.02);
  ets->Estimate(rising);
  EXPECT_NE(ets->Name(), "ets(A,N,A)");
  EXPECT_EQ(ets->Name().rfind("ets(A,A", 0), 0u);
}

}  // namespace
