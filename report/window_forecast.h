// The report's forecasts of a series' daily values (the mean of each day's hours, or its
// busiest hour), from the rows the class's fit read:
//
//   auto, ets, theta, recent-rate, trend, seasonal-naive, mean7
//                   the forecasting engine's methods (forecast/engine.h): estimated on the
//                   series, judged by its own rolling-origin backtest, with the 80 % band
//                   from that backtest's errors at each lead
//   line            the class's line (its hourly model, refitted at every other cut-off of
//                   the same kind of backtest for its band): the class's own numbers
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine.h"
#include "host_database.h"

namespace host {

// The models, simplest first.
enum class Model { kMean7, kSeasonalNaive, kLine, kTrend, kTheta, kRecentRate, kEts };
inline constexpr Model kAllModels[] = {Model::kMean7, Model::kSeasonalNaive, Model::kLine,
                                       Model::kTrend, Model::kTheta,         Model::kRecentRate,
                                       Model::kEts};
const char* ModelName(Model m);
// Every model's name, simplest first, joined by ", " ("mean7, seasonal-naive, ...").
std::string ModelNames();
// "auto" is nullopt; an unknown name is nullopt in `known`.
std::optional<Model> ModelFromName(const std::string& name, bool& known);

// A forecast of days 0..horizon (forecast::Result: the method's name, the path, the band,
// the backtest's figures and errors), and the model asked for (kEts for auto).
struct ModelForecast : forecast::Result {
  Model model = Model::kEts;
};
// The name of what a forecast used ("ets(A,Ad,A)+theta", "line").
std::string ModelName(const ModelForecast& f);

// The forecasts of a series up to `horizon` days ahead by `choice` (nullopt: auto), judged
// on backtests with leads up to `longestLead` (the report's longest horizon); a `percent`
// series stays within 0..100. `older` holds the days before the window, oldest first (the
// day before the window's first last): the engine's yearly cycle reads them.
ModelForecast ForecastWindow(const HourlyWindow& window, Target target, std::optional<Model> choice,
                             int horizon, int longestLead, bool percent = false,
                             std::span<const double> older = {});

// Where a series' figures may lie (forecast::DomainOf), from the window's busiest days.
forecast::Domain WindowDomain(const HourlyWindow& window, bool percent);

// The short-history forecast of a series of kShortestDays to kMinimumDays days with data
// (forecast/short_history.h), as far as `horizon`.
ModelForecast ShortHistoryWindow(const HourlyWindow& window, Target target, int horizon,
                                 bool percent);

// A forecast hour by hour: the daily forecast of `f` plus the series' own hour-of-day and
// weekday effect (the mean of an hour's distance from its day's value over the last eight
// weeks, by weekday and hour where it has two or more, by hour else), its band widened by
// the 10 % and 90 % quantiles of the hours' distance from that profile.
struct HourlyPath {
  std::vector<double> value, lower, upper;  // from day 1 ahead at 00:00, hour by hour
};
HourlyPath HourlyForecast(const HourlyWindow& window, Target target, const ModelForecast& f,
                          int days);

// ---- Reading a forecast's path (day 0 the last day) ----

// The week around day `h` (days h-3..h+3, from day 0), as `target` sums a week up: the
// mean, the largest or the smallest day.
std::optional<double> WeekAround(const std::vector<double>& path, int h, Target target);
// The highest value from day 0 to `days`.
double HighestUpTo(const std::vector<double>& v, int days);
// What would last `ahead` days: the band's far edge at its worst up to that day (the
// upper's highest; the lower's lowest for a resource that runs out `falling`); none past
// the path.
std::optional<double> NeededUntil(const std::vector<double>& lower,
                                  const std::vector<double>& upper, int64_t ahead, bool falling);
// The days a path and its band's near and far edges first reach a threshold in its
// direction (at or below it for `below`); `threshold` is one value a day, its last value
// holding on (a single value: the same every day).
struct PathCrossing {
  std::optional<int> day, earliest, latest;
};
PathCrossing CrossingOf(const std::vector<double>& path, const std::vector<double>& lower,
                        const std::vector<double>& upper, std::span<const double> threshold,
                        bool below);
// The day `days` after `last`; none beyond the calendar's last year.
std::optional<trend::Date> DayAfter(trend::Date last, int days);

// ---- The arithmetic, for the tests ----

// The q-quantile (0..1) of `values` by linear interpolation between order statistics.
double Quantile(std::vector<double> values, double q);
// The same, `values` reordered on the way (a selection, not a sort).
double SelectQuantile(std::vector<double>& values, double q);

// Days back from the window's last day to the first day of the run of days, up to the
// last day with data, whose figure for `target` lies at or beyond `threshold` (below it
// for `below`); days without data neither end nor extend the run. Nullopt when the last
// day with data does not reach it.
std::optional<int> DaysAtOrBeyond(const HourlyWindow& window, Target target, double threshold,
                                  bool below);

}  // namespace host
