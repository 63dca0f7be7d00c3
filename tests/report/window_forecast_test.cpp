// The report's forecasts of a window's daily values: the engine's methods and the class's
// line on series whose right answer follows from their construction, and the arithmetic of
// the hourly path.
#include "window_forecast.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

namespace {

using namespace host;

TEST(Forecasting, Quantiles) {
  // Linear between order statistics: of 1..5, 10 % is 1.4 and 90 % is 4.6.
  EXPECT_NEAR(Quantile({5, 1, 4, 2, 3}, 0.1), 1.4, 1e-12);
  EXPECT_NEAR(Quantile({5, 1, 4, 2, 3}, 0.9), 4.6, 1e-12);
  EXPECT_DOUBLE_EQ(Quantile({7}, 0.9), 7);
  // By selection, as by the sorted order statistics, ties and all.
  std::vector<double> values;
  for (int i = 0; i < 257; ++i) values.push_back(static_cast<double>((i * 7919) % 61) / 4);
  std::vector<double> sorted = values;
  std::sort(sorted.begin(), sorted.end());
  for (double q : {0.0, 0.1, 0.37, 0.9, 1.0}) {
    const double pos = q * 256;
    const size_t below = static_cast<size_t>(pos);
    const double expected =
        sorted[below] + (pos - static_cast<double>(below)) *
                            (sorted[std::min<size_t>(256, below + 1)] - sorted[below]);
    EXPECT_DOUBLE_EQ(Quantile(values, q), expected) << q;
  }
}

HourlyWindow Series(const std::function<double(int)>& daily) {
  HourlyWindow w;
  for (int d = 0; d < kWindowDays; ++d)
    for (int h = 0; h < 24; ++h) w.hours[d][h] = daily(d);
  return w;
}

TEST(Forecasting, AFlatSeriesIsForecastFlat) {
  const ModelForecast f =
      ForecastWindow(Series([](int) { return 40.0; }), Target::kMean, std::nullopt, 90, 90);
  EXPECT_EQ(f.model, Model::kEts);
  EXPECT_EQ(ModelName(f).rfind("ets(A,", 0), 0u) << ModelName(f);
  for (int h : {0, 7, 30, 90}) {
    EXPECT_NEAR(f.path[h], 40, 1e-6);
    EXPECT_LE(f.lower[h], 40 + 1e-6);
    EXPECT_GE(f.upper[h], 40 - 1e-6);
  }
}

TEST(Forecasting, APathsCrossingIsItsFirstDayOnTheThresholdLessTheFitsRounding) {
  // 500 growing by a slope a fit left at 9.999995 for 10: it reaches 800 on day 30, not 31.
  std::vector<double> path, lower, upper;
  for (int h = 0; h <= 90; ++h) {
    path.push_back(500 + 9.999995 * h);
    lower.push_back(path.back() - 2 * h);
    upper.push_back(path.back() + 2 * h);
  }
  const double t = 800;
  PathCrossing c = CrossingOf(path, lower, upper, std::span(&t, 1), false);
  EXPECT_EQ(c.day, 30);
  EXPECT_EQ(c.earliest, 25);  // 500 + 12 h reaches 800 on day 25
  EXPECT_EQ(c.latest, 38);    // 500 + 8 h on day 37.5
  // A threshold raised from 700 to 900 on day 10 (an upgrade) holds on after its last day.
  std::vector<double> raised(10, 700.0);
  raised.push_back(900);
  c = CrossingOf(path, lower, upper, raised, false);
  EXPECT_EQ(c.day, 40);
  // At or under a threshold below it: the path already is.
  EXPECT_EQ(CrossingOf(path, lower, upper, std::span(&t, 1), true).day, 0);
  // A hair above is not on it.
  const double above = 800.01;
  EXPECT_EQ(CrossingOf(path, lower, upper, std::span(&above, 1), false).day, 31);
}

TEST(Forecasting, ALevelShiftIsFollowedWhereTheLineLags) {
  // 20 for months, then 60 for the last 40 days (days back 0..39), with a weekly pattern
  // and noise: the half-year line is dragged down and tilted up; the engine holds 60.
  auto value = [](int d) {
    const double level = d < 40 ? 60.0 : 20.0;
    return level * (d % 7 == 2 ? 0.8 : 1.0) + ((d * 37) % 11 - 5) * 0.2;
  };
  const HourlyWindow w = Series(value);
  const ModelForecast line = ForecastWindow(w, Target::kMean, Model::kLine, 90, 90);
  const ModelForecast chosen = ForecastWindow(w, Target::kMean, std::nullopt, 90, 90);
  EXPECT_EQ(ModelName(line), "line");
  ASSERT_TRUE(chosen.mase && line.mase);
  EXPECT_LT(*chosen.mase, *line.mase);
  EXPECT_NEAR(chosen.path[30], 60, 8);
  // The band widens with the lead and holds the forecast.
  EXPECT_LE(chosen.upper[7] - chosen.lower[7], chosen.upper[90] - chosen.lower[90] + 1e-9);
  for (int h : {7, 30, 90}) {
    EXPECT_LE(chosen.lower[h], chosen.path[h]);
    EXPECT_GE(chosen.upper[h], chosen.path[h]);
  }
  EXPECT_LE(line.upper[7] - line.lower[7], line.upper[90] - line.lower[90] + 1e-9);
}

TEST(Forecasting, TheWeekdayOfTheSeriesIsLearnt) {
  // 50, and 70 on every seventh day counted back from the last: 7, 14, ... days ahead are
  // such days again.
  const HourlyWindow w = Series([](int d) { return d % 7 == 0 ? 70.0 : 50.0; });
  for (Model m : {Model::kEts, Model::kSeasonalNaive}) {
    const ModelForecast f = ForecastWindow(w, Target::kMean, m, 30, 30);
    for (int h : {7, 14, 28}) EXPECT_NEAR(f.path[h], 70, 1) << ModelName(m) << " " << h;
    for (int h : {1, 3, 13}) EXPECT_NEAR(f.path[h], 50, 1) << ModelName(m) << " " << h;
  }
}

TEST(Forecasting, SteadyGrowthIsFollowedToTheLine) {
  // 100 + 0.5 a day toward the last day: day 30 ahead is 115 on the series' own line.
  const HourlyWindow w = Series([](int d) { return 100 - 0.5 * d; });
  const ModelForecast f = ForecastWindow(w, Target::kMean, std::nullopt, 90, 90);
  EXPECT_NEAR(f.path[0], 100, 1.5);
  EXPECT_NEAR(f.path[30], 115, 2);
  EXPECT_NEAR(f.path[90], 145, 6);  // the trend persists
  bool known = false;
  EXPECT_FALSE(ModelFromName("auto", known));
  EXPECT_TRUE(known);
  EXPECT_EQ(ModelFromName("seasonal-naive", known), Model::kSeasonalNaive);
  EXPECT_EQ(ModelFromName("theta", known), Model::kTheta);
  ModelFromName("holt-winters", known);
  EXPECT_FALSE(known);
}

TEST(Forecasting, APercentageStaysWithinItsRange) {
  const HourlyWindow w = Series([](int d) { return std::max(1.0, 95 - 0.4 * d); });
  const ModelForecast f = ForecastWindow(w, Target::kMean, std::nullopt, 90, 90, true);
  for (size_t h = 0; h < f.path.size(); ++h) {
    EXPECT_LE(f.path[h], 100);
    EXPECT_LE(f.upper[h], 100);
  }
  EXPECT_NEAR(f.path[90], 100, 1e-9);
}

TEST(Forecasting, HourlyForecastAddsTheSeriesOwnDayShapeToTheDailyForecast) {
  // Hours 10 + h on weekdays, twice that on the window's last day's weekday; a forecast
  // of 100 every day. Each hour ahead is 100 plus its hour's and weekday's distance from the
  // day's mean, exactly, with a band around it that holds it.
  HourlyWindow w;
  for (int d = 0; d < kWindowDays; ++d)
    for (int h = 0; h < 24; ++h) w.hours[d][h] = (d % 7 == 0 ? 2.0 : 1.0) * (10 + h);
  ModelForecast f;
  f.path.assign(30, 100.0);
  f.lower.assign(30, 90.0);
  f.upper.assign(30, 110.0);
  const HourlyPath p = HourlyForecast(w, Target::kMean, f, 21);
  ASSERT_EQ(p.value.size(), 21u * 24);
  for (int day = 1; day <= 21; ++day)
    for (int h = 0; h < 24; ++h) {
      const size_t i = static_cast<size_t>((day - 1) * 24 + h);
      const double scale = day % 7 == 0 ? 2.0 : 1.0;  // the last day's weekday again
      EXPECT_NEAR(p.value[i], 100 + scale * (h - 11.5), 1e-9) << day << " " << h;
      EXPECT_NEAR(p.lower[i], 90 + scale * (h - 11.5), 1e-9);  // no spread left
      EXPECT_NEAR(p.upper[i], 110 + scale * (h - 11.5), 1e-9);
    }
  // On the busy-hour basis the shape is the distance from the day's busiest hour; a window
  // with few days falls back to the hour of day; the forecast stops where the path does.
  HourlyWindow sparse;
  for (int h = 0; h < 24; ++h) sparse.hours[3][h] = 5.0 + h;
  const HourlyPath peak = HourlyForecast(sparse, Target::kPeak, f, 40);
  ASSERT_EQ(peak.value.size(), 29u * 24);
  EXPECT_DOUBLE_EQ(peak.value[23], 100);
  EXPECT_DOUBLE_EQ(peak.value[24 * 5], 100 - 23);
}

}  // namespace
