// The report's forecasting models, fitted on the rows the class reads (the hourly grid of
// one series over the report's window), each checked against the series' own history by a
// rolling-origin backtest:
//
//   line            the class's line (its hourly model, refitted at every cut-off)
//   weighted        the daily values fitted by least squares with weights halving every
//                   30 days, the slope damped by 0.98 per day ahead (weighted-14: every 14)
//   seasonal-naive  the last seven days repeated
//   holt-winters    exponential smoothing of level, damped trend and weekday season
//   holt-winters-fast  the same, quicker to follow a change
//   ets             the same, its smoothing chosen per series (at each cut-off too) from a
//                   grid by the training days' errors one day and one week ahead, each
//                   day's surprise bounded (a holiday bends nothing)
//   mean7           the mean of the last seven days with data
//   combined        the mean of the holt-winters, weighted-14 and seasonal-naive forecasts
//                   (their errors partly cancel: steadier than each on its own)
//   auto            per series, the model with the smallest backtest error (ties: the
//                   simpler model; ets unless the best did a third better), averaged with a
//                   runner-up that came close where the mean of the two did at least as well on the
//                   same backtest; where another model (or pair) did best over the first week
//                   alone, the forecast's first week follows it, passing to the chosen one by day
//                   30
//
// The error is MASE: the mean absolute error of the daily values over days 1..h ahead,
// divided by the window's mean absolute change from a day to the same weekday a week
// before. The 80 % interval at each horizon comes from the quantiles of the backtest's own
// errors at that lead (widening with it), not from a fixed multiple of a spread, and is no
// narrower than the level's own drift over as many days inside the window.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host_database.h"

namespace host {

// The daily values a model forecasts: the mean of the day's hours, or its busiest hour.
enum class Target { kMean, kPeak };

// The models, simplest first (ties of the backtest go to the earlier one).
enum class Model {
  kMean7,
  kSeasonalNaive,
  kLine,
  kWeighted,
  kWeighted14,
  kHoltWinters,
  kHoltWintersFast,
  kEts,
  kCombined
};
inline constexpr Model kAllModels[] = {
    Model::kMean7,           Model::kSeasonalNaive, Model::kLine,
    Model::kWeighted,        Model::kWeighted14,    Model::kHoltWinters,
    Model::kHoltWintersFast, Model::kEts,           Model::kCombined};
const char* ModelName(Model m);
// Every model's name, simplest first, joined by ", " ("mean7, seasonal-naive, ...").
std::string ModelNames();
// The name of what a forecast used: its model, or both of a pair joined by "+".
std::string ModelName(const struct ModelForecast& f);
// "auto" is nullopt; an unknown name is nullopt in `known`.
std::optional<Model> ModelFromName(const std::string& name, bool& known);

struct ModelForecast {
  Model model = Model::kLine;
  // With auto, a second model whose backtest came as close: the forecast is the mean of
  // both ("holt-winters+seasonal-naive").
  std::optional<Model> partner;
  // With auto, where another model (or pair) did best on the backtest's first week alone:
  // days 1-7 follow it, days 8-29 pass from it to the chosen model's forecast.
  std::optional<Model> firstWeek, firstWeekPartner;
  std::vector<double> path;          // the forecast of day h ahead, h = 0..horizon (0: level)
  std::vector<double> lower, upper;  // the 80 % interval of each day, same indexes
  std::optional<double> mase;        // backtest error at 30 days or the longest lead it had
  int backtestLead = 0;              // that lead
};

// The forecasts of a series up to `horizon` days ahead by `choice` (nullopt: auto), judged
// on backtests with leads up to `longestLead` (the report's longest horizon).
ModelForecast ForecastWindow(const HourlyWindow& window, Target target, std::optional<Model> choice,
                             int horizon, int longestLead);

// A forecast hour by hour: the daily forecast of `f` plus the series' own hour-of-day and
// weekday effect (the mean of an hour's distance from its day's value over the last eight
// weeks, by weekday and hour where it has two or more, by hour else), its band widened by
// the 10 % and 90 % quantiles of the hours' distance from that profile.
struct HourlyPath {
  std::vector<double> value, lower, upper;  // from day 1 ahead at 00:00, hour by hour
};
HourlyPath HourlyForecast(const HourlyWindow& window, Target target, const ModelForecast& f,
                          int days);

// ---- The arithmetic, for the tests ----

// Weighted least squares of y on x with weights w: (slope, intercept at x = 0).
std::pair<double, double> WeightedLine(std::span<const double> x, std::span<const double> y,
                                       std::span<const double> w);
// The sum of phi^1 .. phi^h: how far a damped slope carries in h days.
double DampedDays(double phi, int h);
// The q-quantile (0..1) of `values` by linear interpolation between order statistics.
double Quantile(std::vector<double> values, double q);
// The same, `values` reordered on the way (a selection, not a sort).
double SelectQuantile(std::vector<double>& values, double q);

}  // namespace host
