// The report's forecasting arithmetic against values worked out by hand, and the models'
// choices on series whose right answer follows from their construction.
#include "forecasting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

using namespace host;

TEST(Forecasting, WeightedLeastSquaresByHand) {
  // Points (0, 1), (1, 3), (2, 4) with weights 1, 1, 2: weighted means x 1.25, y 3;
  // Sxx = 1.5625 + 0.0625 + 1.125 = 2.75, Sxy = 2.5 + 0 + 1.5 = 4: slope 16/11.
  using V = std::vector<double>;
  const auto [slope, intercept] = WeightedLine(V{0, 1, 2}, V{1, 3, 4}, V{1, 1, 2});
  EXPECT_NEAR(slope, 16.0 / 11, 1e-12);
  EXPECT_NEAR(intercept, 3 - 16.0 / 11 * 1.25, 1e-12);
  // Equal weights are ordinary least squares; no weight, no line.
  const auto plain = WeightedLine(V{0, 1, 2}, V{0, 2, 4}, V{1, 1, 1});
  EXPECT_NEAR(plain.first, 2, 1e-12);
  EXPECT_NEAR(plain.second, 0, 1e-12);
  EXPECT_EQ(WeightedLine(V{0, 1}, V{1, 2}, V{0, 0}), std::make_pair(0.0, 0.0));
}

TEST(Forecasting, DampingAndQuantiles) {
  EXPECT_DOUBLE_EQ(DampedDays(0.98, 0), 0);
  EXPECT_NEAR(DampedDays(0.98, 1), 0.98, 1e-12);
  EXPECT_NEAR(DampedDays(0.98, 2), 0.98 + 0.9604, 1e-12);
  EXPECT_NEAR(DampedDays(0.98, 100000), 49, 1e-9);  // the slope carries 49 days at most
  EXPECT_DOUBLE_EQ(DampedDays(1, 30), 30);
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

TEST(Forecasting, AFlatSeriesIsForecastFlatWithANarrowBand) {
  const ModelForecast f =
      ForecastWindow(Series([](int) { return 40.0; }), Target::kMean, std::nullopt, 90, 90);
  EXPECT_EQ(f.model, Model::kEts);  // every model is exact: ets, the default, stays
  for (int h : {0, 7, 30, 90}) {
    EXPECT_NEAR(f.path[h], 40, 1e-9);
    EXPECT_NEAR(f.lower[h], 40, 1e-9);
    EXPECT_NEAR(f.upper[h], 40, 1e-9);
  }
  ASSERT_TRUE(f.mase);
  EXPECT_EQ(*f.mase, 0);
  EXPECT_EQ(f.backtestLead, 30);
}

TEST(Forecasting, ALevelShiftMakesAutoLeaveTheLine) {
  // 20 for months, then 60 for the last 40 days (days back 0..39), with a weekly pattern
  // and noise: the half-year line is dragged down and tilted up; the recent models hold 60.
  auto value = [](int d) {
    const double level = d < 40 ? 60.0 : 20.0;
    return level * (d % 7 == 2 ? 0.8 : 1.0) + ((d * 37) % 11 - 5) * 0.2;
  };
  const HourlyWindow w = Series(value);
  const ModelForecast line = ForecastWindow(w, Target::kMean, Model::kLine, 90, 90);
  const ModelForecast chosen = ForecastWindow(w, Target::kMean, std::nullopt, 90, 90);
  EXPECT_NE(chosen.model, Model::kLine);
  ASSERT_TRUE(chosen.mase && line.mase);
  EXPECT_LT(*chosen.mase, *line.mase);
  EXPECT_NEAR(chosen.path[30], 60, 8);
  // The interval widens with the lead and holds the forecast.
  EXPECT_LE(chosen.upper[7] - chosen.lower[7], chosen.upper[90] - chosen.lower[90] + 1e-9);
  for (int h : {7, 30, 90}) {
    EXPECT_LE(chosen.lower[h], chosen.path[h]);
    EXPECT_GE(chosen.upper[h], chosen.path[h]);
  }
}

TEST(Forecasting, HoltWintersLearnsTheWeekdayOfTheSeries) {
  // 50, and 70 on every seventh day counted back from the last: 7, 14, ... days ahead are
  // such days again.
  const HourlyWindow w = Series([](int d) { return d % 7 == 0 ? 70.0 : 50.0; });
  const ModelForecast f = ForecastWindow(w, Target::kMean, Model::kHoltWinters, 30, 30);
  for (int h : {7, 14, 28}) EXPECT_NEAR(f.path[h], 70, 0.5) << h;
  for (int h : {1, 3, 13}) EXPECT_NEAR(f.path[h], 50, 0.5) << h;
  EXPECT_EQ(std::string(ModelName(Model::kHoltWinters)), "holt-winters");
}

TEST(Forecasting, SteadyGrowthIsFollowed) {
  // 100 + 0.5 a day toward the last day: day 30 ahead is 115 on the series' own line.
  const HourlyWindow w = Series([](int d) { return 100 - 0.5 * d; });
  const ModelForecast f = ForecastWindow(w, Target::kMean, std::nullopt, 90, 90);
  EXPECT_NEAR(f.path[0], 100, 1.5);
  EXPECT_GT(f.path[30], 105);  // growth carried forward (damped or not)
  EXPECT_LE(f.path[30], 116);  // and not beyond the line
  bool known = false;
  EXPECT_FALSE(ModelFromName("auto", known));
  EXPECT_TRUE(known);
  EXPECT_EQ(ModelFromName("seasonal-naive", known), Model::kSeasonalNaive);
  ModelFromName("holt", known);
  EXPECT_FALSE(known);
}

TEST(Forecasting, CombinedIsTheMeanOfItsThreeParts) {
  auto value = [](int d) { return 30 + 0.2 * (181 - d) + (d % 7 == 3 ? 6.0 : 0.0) + (d * 13 % 5); };
  const HourlyWindow w = Series(value);
  const auto path = [&](Model m) { return ForecastWindow(w, Target::kMean, m, 60, 60).path; };
  const auto hw = path(Model::kHoltWinters), weighted = path(Model::kWeighted14),
             naive = path(Model::kSeasonalNaive), combined = path(Model::kCombined);
  for (int h : {0, 1, 6, 30, 60})
    EXPECT_NEAR(combined[h], (hw[h] + weighted[h] + naive[h]) / 3, 1e-9) << h;
  bool known = false;
  EXPECT_EQ(ModelFromName("combined", known), Model::kCombined);
}

TEST(Forecasting, APairIsTheMeanOfTwoModelsNeverOfTheLine) {
  // Noisy weekly series: among a few of them, auto averages a runner-up into its pick; the
  // pair's forecast is then exactly the mean of the two models' own, and its name says so.
  int pairs = 0;
  for (uint64_t seed = 1; seed <= 12; ++seed) {
    auto value = [seed](int d) {
      const uint64_t z = (static_cast<uint64_t>(d) + 1) * 0x9e3779b97f4a7c15ULL * seed;
      return 50 + (d % 7 < 2 ? -8.0 : 3.0) + static_cast<double>(z >> 60) - 7.5;
    };
    const HourlyWindow w = Series(value);
    const ModelForecast f = ForecastWindow(w, Target::kMean, std::nullopt, 60, 60);
    if (!f.partner) continue;
    ++pairs;
    EXPECT_NE(f.model, Model::kLine);
    EXPECT_NE(*f.partner, Model::kLine);
    EXPECT_EQ(ModelName(f), std::string(ModelName(f.model)) + "+" + ModelName(*f.partner));
    const auto one = ForecastWindow(w, Target::kMean, f.model, 60, 60).path;
    const auto other = ForecastWindow(w, Target::kMean, *f.partner, 60, 60).path;
    // (The first weeks may follow another model: see the next test.)
    for (int h : {0, 1, 7, 30, 60})
      if (h >= 30 || !f.firstWeek) {
        EXPECT_NEAR(f.path[h], (one[h] + other[h]) / 2, 1e-9) << h;
      }
    EXPECT_LE(f.lower[30], f.path[30]);
    EXPECT_GE(f.upper[30], f.path[30]);
  }
  EXPECT_GT(pairs, 0);
}

TEST(Forecasting, TheFirstWeekFollowsTheModelBestOverItAndPassesToTheChosenOneByDay30) {
  // Weekly series with a level that wanders: on some of them the best model a week ahead is
  // not the best over all leads. Days 1-7 are then the first-week model's forecast (or its
  // pair's mean), days 30 on the chosen one's, and the days between pass linearly.
  int found = 0;
  for (uint64_t seed = 1; seed <= 16; ++seed) {
    auto value = [seed](int d) {
      const uint64_t z = (static_cast<uint64_t>(d) + 1) * 0x9e3779b97f4a7c15ULL * seed;
      const double wander = 6 * std::sin(d / (5.0 + static_cast<double>(seed)));
      return 50 + wander + (d % 7 < 2 ? -8.0 : 3.0) + static_cast<double>(z >> 61);
    };
    const HourlyWindow w = Series(value);
    const ModelForecast f = ForecastWindow(w, Target::kMean, std::nullopt, 60, 60);
    if (!f.firstWeek) continue;
    ++found;
    auto path = [&](Model m, std::optional<Model> partner) {
      auto p = ForecastWindow(w, Target::kMean, m, 60, 60).path;
      if (partner) {
        const auto q = ForecastWindow(w, Target::kMean, *partner, 60, 60).path;
        for (size_t h = 0; h < p.size(); ++h) p[h] = (p[h] + q[h]) / 2;
      }
      return p;
    };
    const auto first = path(*f.firstWeek, f.firstWeekPartner);
    const auto chosen = path(f.model, f.partner);
    EXPECT_TRUE(*f.firstWeek != f.model || f.firstWeekPartner != f.partner);
    for (int h : {0, 1, 4, 7}) EXPECT_NEAR(f.path[h], first[h], 1e-9) << h;
    for (int h : {30, 45, 60}) EXPECT_NEAR(f.path[h], chosen[h], 1e-9) << h;
    const double share = (30.0 - 18) / (30 - 7);
    EXPECT_NEAR(f.path[18], share * first[18] + (1 - share) * chosen[18], 1e-9);
    // The name stays the chosen one's: the longer horizons and the crossing follow it.
    EXPECT_EQ(ModelName(f).rfind(ModelName(f.model), 0), 0u);
    for (int h : {1, 7, 18, 30, 60}) {
      EXPECT_LE(f.lower[h], f.path[h]);
      EXPECT_GE(f.upper[h], f.path[h]);
    }
  }
  EXPECT_GT(found, 0);
}

TEST(Forecasting, EtsChoosesItsSmoothingForEachSeries) {
  // A level that wanders as a random walk wants quick smoothing; steady noise around a flat
  // level wants slow smoothing. The fixed models each suit one; ets, choosing per series,
  // is judged at least as well as the fixed one that does not suit on most of the series:
  // a day ahead on the walks, over a month on the noise.
  int wanderWins = 0, noiseWins = 0;
  for (uint64_t seed = 1; seed <= 6; ++seed) {
    std::vector<double> walk(kWindowDays), noise(kWindowDays);
    double level = 50;
    for (int d = kWindowDays - 1; d >= 0; --d) {  // oldest first
      const uint64_t z = (static_cast<uint64_t>(d) + 7) * 0x9e3779b97f4a7c15ULL * (seed * 2 + 1);
      const double u = static_cast<double>(z >> 11) / 9007199254740992.0 - 0.5;
      level += 6 * u;
      walk[d] = level + (d % 7 == 5 ? -5.0 : 0.0);
      noise[d] = 50 + 20 * u + (d % 7 == 5 ? -5.0 : 0.0);
    }
    // The backtest's error a day ahead (lead 1) or over a month (lead 30).
    auto mase = [](const std::vector<double>& v, Model m, int lead) {
      const std::function<double(int)> day = [&](int d) { return v[static_cast<size_t>(d)]; };
      return *ForecastWindow(Series(day), Target::kMean, m, lead, lead).mase;
    };
    wanderWins += mase(walk, Model::kEts, 1) <= mase(walk, Model::kHoltWinters, 1);
    noiseWins += mase(noise, Model::kEts, 30) <= mase(noise, Model::kHoltWintersFast, 30);
  }
  EXPECT_GE(wanderWins, 4);
  EXPECT_GE(noiseWins, 5);
  bool known = false;
  EXPECT_EQ(ModelFromName("ets", known), Model::kEts);
  EXPECT_TRUE(known);
}

TEST(Forecasting, EtsIsNotBentByAHolidayButFollowsALastingShift) {
  // 100 with a weekday pattern and a little noise; a holiday at 10 three days back bends the
  // plain Holt-Winters level, not ets's, whose forecast stays near 100. A level that rose
  // to 150 four weeks ago keeps ets's surprises large until it has followed.
  auto noise = [](int d) { return ((d * 37) % 11 - 5) * 0.3; };
  auto weekday = [](int d) { return d % 7 == 2 ? -10.0 : 0.0; };
  const HourlyWindow holiday =
      Series([&](int d) { return d == 3 ? 10.0 : 100 + weekday(d) + noise(d); });
  const ModelForecast ets = ForecastWindow(holiday, Target::kMean, Model::kEts, 30, 30);
  const ModelForecast plain = ForecastWindow(holiday, Target::kMean, Model::kHoltWinters, 30, 30);
  // Day 7 ahead is the weekday of day 0 back: no weekday effect.
  EXPECT_NEAR(ets.path[7], 100, 3);
  EXPECT_LT(std::fabs(ets.path[7] - 100), std::fabs(plain.path[7] - 100));
  const HourlyWindow shift =
      Series([&](int d) { return (d < 28 ? 150 : 100) + weekday(d) + noise(d); });
  EXPECT_NEAR(ForecastWindow(shift, Target::kMean, Model::kEts, 30, 30).path[7], 150, 5);
}

TEST(Forecasting, ADriftTheBacktestNeverMetStillWidensTheBand) {
  // Flat for the last 20 weeks, 20 lower before: every backtest cut-off is judged on the
  // flat days and forecasts from them, so its errors are tiny; the level's own drift over
  // 90 days in the window is not, and the 90-day band keeps room for it.
  auto noise = [](int d) { return ((d * 37) % 11 - 5) * 0.05; };
  const HourlyWindow flat = Series([&](int d) { return 60 + noise(d); });
  const HourlyWindow shifted = Series([&](int d) { return (d < 140 ? 60 : 40) + noise(d); });
  const ModelForecast calm = ForecastWindow(flat, Target::kMean, Model::kMean7, 90, 90);
  const ModelForecast wary = ForecastWindow(shifted, Target::kMean, Model::kMean7, 90, 90);
  EXPECT_NEAR(calm.path[90], wary.path[90], 1e-9);
  EXPECT_LT(calm.upper[90] - calm.lower[90], 2);
  EXPECT_GT(wary.upper[90] - wary.lower[90], 10);
  // The band still widens with the lead.
  EXPECT_LE(wary.upper[30] - wary.lower[30], wary.upper[90] - wary.lower[90]);
}

TEST(Forecasting, AutoJudgesByHowTheModelsDidLately) {
  // Growth for five months, then flat at its level for the last 35 days: over the whole
  // window a trend model did best, lately the flat ones do; the choice follows lately and
  // the forecast stays near the level rather than climbing on.
  auto value = [](int d) {
    const double level = d < 35 ? 80.0 : 80.0 - 0.4 * (d - 35);
    return level + ((d * 29) % 7 - 3) * 0.3;
  };
  const ModelForecast f = ForecastWindow(Series(value), Target::kMean, std::nullopt, 90, 90);
  EXPECT_NE(f.model, Model::kLine);
  EXPECT_NEAR(f.path[30], 80, 4) << ModelName(f.model);
  EXPECT_NEAR(f.path[90], 80, 6) << ModelName(f.model);
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
