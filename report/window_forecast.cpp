#include "window_forecast.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>

#include "hourly_fit.h"
#include "short_history.h"

namespace host {

namespace {

constexpr double kLowQ = 0.10, kHighQ = 0.90;
constexpr int kLineCutStep = 14;   // the line's fit is the dearest: a cut-off every two weeks
constexpr int kLineTraining = 56;  // days the line is fitted on at least

using Daily = std::vector<std::optional<double>>;  // by days back from the window's last day

// The 10 % and 90 % quantiles of `values`.
std::pair<double, double> Band(std::vector<double> values) {
  if (values.empty()) return {0, 0};
  const double low = SelectQuantile(values, kLowQ);
  return {low, SelectQuantile(values, kHighQ)};
}

// The daily values of the window: the mean of the valid hours, the busiest one, or the
// quietest (the lowest stored minimum where the window holds minima).
Daily DailyValues(const HourlyWindow& w, Target target) {
  Daily out(kWindowDays);
  for (size_t d = 0; d < kWindowDays; ++d) {
    const double v = Figure(FiguresOf(w.hours[d], w.lowest[d]), target);
    if (!std::isnan(v)) out[d] = v;
  }
  return out;
}

// The days before the window (oldest first), then the window's, from the first day with
// data on, NaN for a day without: the engine's series.
std::vector<double> EngineSeries(const Daily& y, std::span<const double> older = {}) {
  std::vector<double> days(older.begin(), older.end());
  for (size_t d = y.size(); d-- > 0;) days.push_back(y[d] ? *y[d] : forecast::kMissing);
  days.erase(days.begin(), std::find_if(days.begin(), days.end(), forecast::Present));
  return days;
}

// Days back from the origin of the day h ahead's weekday in the last week: 0 for h = 7.
int SameWeekday(int h) {
  return ((-h) % 7 + 7) % 7;
}

// The window's hours as the class's fit reads them (a missing hour is average -1 with the
// missing minimum), followed by as many missing days: the fit of any cut-off reads the
// kFitDays from the cut-off on, with no copy of its own.
struct LineRows {
  explicit LineRows(const HourlyWindow& w)
      : average(2 * trend::kFitDays), valid(2 * trend::kFitDays) {
    for (size_t d = 0; d < average.size(); ++d)
      for (int h = 0; h < trend::kHours; ++h) {
        const std::optional<double> v = d < kWindowDays ? w.hours[d][h] : std::optional<double>();
        average[d][h] = v ? *v : -1;
        valid[d][h] = !trend::IsMissingCell(average[d][h], v ? 0 : trend::kMissingMinimum);
      }
  }
  std::vector<trend::DayHours> average;
  std::vector<std::array<bool, trend::kHours>> valid;
};

// The class's own line fitted on the rows from `cut` days back: (slope, intercept at the
// cut-off), with the peak effects on top for the busiest hour; nullopt where it cannot fit.
std::optional<std::pair<double, double>> FitLine(const LineRows& rows, int cut, Target target) {
  trend::CellMask cells;
  std::copy_n(rows.valid.begin() + cut, trend::kFitDays, cells.begin());
  try {
    const trend::HourlyFit fit =
        trend::FitHourlyModel(trend::FitGrid(rows.average.data() + cut, trend::kFitDays), cells);
    double intercept = fit.intercept;
    if (target == Target::kPeak) intercept += fit.peakDayEffect + fit.peakHourEffect;
    return std::make_pair(fit.slope, intercept);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// The class's line with the engine's band from the line's own backtest.
ModelForecast LineForecast(const HourlyWindow& w, Target target, int horizon, int longestLead) {
  ModelForecast f;
  f.model = Model::kLine;
  f.method = "line";
  const Daily y = DailyValues(w, target);
  const LineRows rows(w);
  const auto line = FitLine(rows, 0, target).value_or(std::make_pair(0.0, 0.0));
  f.path.resize(static_cast<size_t>(horizon) + 1);
  for (int h = 0; h <= horizon; ++h) f.path[static_cast<size_t>(h)] = line.second + line.first * h;
  int days = 0;  // the window's days up to the oldest with data
  for (int d = 0; d < kWindowDays; ++d)
    if (y[d]) days = d + 1;
  const int reach = std::min(horizon, std::max(0, std::min(longestLead, days - kLineTraining)));
  f.errors.assign(static_cast<size_t>(horizon), {});
  std::vector<std::pair<int, std::pair<double, double>>> fits;  // cut-off, line
  for (int cut = kLineCutStep; cut + kLineTraining <= days; cut += kLineCutStep)
    if (const auto fit = FitLine(rows, cut, target)) fits.emplace_back(cut, *fit);
  double absolute = 0;
  int counted = 0;
  const int judged = std::min(30, reach);
  for (const auto& [cut, fit] : fits)
    for (int h = 1; h <= std::min(cut, reach); ++h) {
      if (!y[cut - h]) continue;
      const double e = *y[cut - h] - (fit.second + fit.first * h);
      f.errors[static_cast<size_t>(h - 1)].push_back(e);
      if (h <= judged) absolute += std::fabs(e), ++counted;
    }
  for (auto& e : f.errors) std::sort(e.begin(), e.end());
  const auto series = EngineSeries(y);
  const auto scale = forecast::WeeklyScale(series);
  if (counted && scale) {
    f.mase = absolute / counted / *scale;
    f.backtestLead = judged;
  }
  const auto band =
      forecast::BandOffsets(f.errors, reach, scale, forecast::LastResortSpread(series, f.path[0]));
  f.lower = f.upper = f.path;
  for (size_t h = 1; h < f.path.size(); ++h) {
    f.lower[h] = std::max(0.0, f.path[h] + band.low[h]);
    f.upper[h] = f.path[h] + band.high[h];
  }
  return f;
}

}  // namespace

const char* ModelName(Model m) {
  switch (m) {
    case Model::kMean7:
      return "mean7";
    case Model::kSeasonalNaive:
      return "seasonal-naive";
    case Model::kLine:
      return "line";
    case Model::kTrend:
      return "trend";
    case Model::kTheta:
      return "theta";
    case Model::kRecentRate:
      return "recent-rate";
    case Model::kEts:
      return "ets";
  }
  return "line";
}

std::string ModelNames() {
  std::string names;
  for (Model m : kAllModels) names += std::string(names.empty() ? "" : ", ") + ModelName(m);
  return names;
}

std::string ModelName(const ModelForecast& f) {
  return f.method.empty() ? std::string(ModelName(f.model)) : f.method;
}

std::optional<Model> ModelFromName(const std::string& name, bool& known) {
  known = true;
  if (name == "auto") return std::nullopt;
  for (Model m : kAllModels)
    if (name == ModelName(m)) return m;
  known = false;
  return std::nullopt;
}

double SelectQuantile(std::vector<double>& values, double q) {
  if (values.empty()) return 0;
  const double pos = q * static_cast<double>(values.size() - 1);
  const size_t below = static_cast<size_t>(std::floor(pos));
  // The two order statistics around pos, without sorting the rest: after nth_element every
  // value past `below` is at least values[below], the least of them the next in order.
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(below),
                   values.end());
  const double low = values[below];
  if (below + 1 >= values.size()) return low;
  const double high =
      *std::min_element(values.begin() + static_cast<std::ptrdiff_t>(below) + 1, values.end());
  return low + (pos - static_cast<double>(below)) * (high - low);
}

double Quantile(std::vector<double> values, double q) {
  return SelectQuantile(values, q);
}

ModelForecast ForecastWindow(const HourlyWindow& window, Target target, std::optional<Model> choice,
                             int horizon, int longestLead, bool percent,
                             std::span<const double> older) {
  if (choice == Model::kLine) return LineForecast(window, target, horizon, longestLead);
  const std::vector<double> series = EngineSeries(DailyValues(window, target), older);
  ModelForecast f;
  f.model = choice.value_or(Model::kEts);
  forecast::Options o;
  o.horizon = horizon;
  o.method = choice ? ModelName(*choice) : "auto";
  o.choiceLead = std::max(1, std::min(30, longestLead));
  o.domain = forecast::DomainOf(series, percent);
  if (series.empty()) {
    f.method = o.method == "auto" ? "ets" : o.method;
    f.path = f.lower = f.upper = std::vector<double>(static_cast<size_t>(horizon) + 1, 0.0);
    f.errors.assign(static_cast<size_t>(horizon), {});
    return f;
  }
  static_cast<forecast::Result&>(f) = forecast::Forecast(series, o);
  return f;
}

forecast::Domain WindowDomain(const HourlyWindow& window, bool percent) {
  return forecast::DomainOf(EngineSeries(DailyValues(window, Target::kPeak)), percent);
}

ModelForecast ShortHistoryWindow(const HourlyWindow& window, Target target, int horizon,
                                 bool percent) {
  const std::vector<double> series = EngineSeries(DailyValues(window, target));
  ModelForecast f;
  static_cast<forecast::Result&>(f) =
      forecast::ShortHistoryForecast(series, horizon, forecast::DomainOf(series, percent));
  return f;
}

HourlyPath HourlyForecast(const HourlyWindow& window, Target target, const ModelForecast& f,
                          int days) {
  constexpr int kProfileDays = 56;
  const Daily y = DailyValues(window, target);
  std::array<std::array<double, 24>, 7> slotSum{}, slotCount{};
  std::array<double, 24> hourSum{}, hourCount{};
  for (int d = 0; d < kProfileDays; ++d) {
    if (!y[d]) continue;
    for (int h = 0; h < 24; ++h)
      if (const auto& v = window.hours[d][h]) {
        slotSum[d % 7][h] += *v - *y[d], ++slotCount[d % 7][h];
        hourSum[h] += *v - *y[d], ++hourCount[h];
      }
  }
  auto effect = [&](int slot, int h) {
    if (slotCount[slot][h] >= 2) return slotSum[slot][h] / slotCount[slot][h];
    return hourCount[h] ? hourSum[h] / hourCount[h] : 0.0;
  };
  std::vector<double> spread;
  for (int d = 0; d < kProfileDays; ++d)
    if (y[d])
      for (int h = 0; h < 24; ++h)
        if (const auto& v = window.hours[d][h]) spread.push_back(*v - *y[d] - effect(d % 7, h));
  const auto [low, high] = Band(std::move(spread));
  HourlyPath out;
  const int reach = std::min(days, static_cast<int>(f.path.size()) - 1);
  for (int d = 1; d <= reach; ++d)
    for (int h = 0; h < 24; ++h) {
      const double e = effect(SameWeekday(d), h);
      out.value.push_back(f.path[d] + e);
      out.lower.push_back(std::max(0.0, f.lower[d] + e + low));
      out.upper.push_back(f.upper[d] + e + high);
    }
  return out;
}

std::optional<int> DaysAtOrBeyond(const HourlyWindow& window, Target target, double threshold,
                                  bool below) {
  const Daily y = DailyValues(window, target);
  std::optional<int> first;
  for (size_t d = 0; d < y.size(); ++d) {
    if (!y[d]) continue;
    if (below ? *y[d] > threshold : *y[d] < threshold) break;
    first = static_cast<int>(d);
  }
  return first;
}

std::optional<double> WeekAround(const std::vector<double>& path, int h, Target target) {
  const size_t from = static_cast<size_t>(std::max(0, h - 3));
  const size_t to = std::min(path.size(), static_cast<size_t>(h) + 4);
  if (from >= to) return std::nullopt;
  const auto first = path.begin() + static_cast<long>(from),
             last = path.begin() + static_cast<long>(to);
  if (target == Target::kPeak) return *std::max_element(first, last);
  if (target == Target::kTrough) return *std::min_element(first, last);
  return std::accumulate(first, last, 0.0) / static_cast<double>(to - from);
}

double HighestUpTo(const std::vector<double>& v, int days) {
  double most = v.empty() ? 0 : v[0];
  for (int h = 0; h <= days && h < static_cast<int>(v.size()); ++h)
    most = std::max(most, v[static_cast<size_t>(h)]);
  return most;
}

std::optional<double> NeededUntil(const std::vector<double>& lower,
                                  const std::vector<double>& upper, int64_t ahead, bool falling) {
  const auto& edge = falling ? lower : upper;
  if (ahead < 0 || ahead >= static_cast<int64_t>(edge.size())) return std::nullopt;
  const auto end = edge.begin() + ahead + 1;
  return falling ? *std::min_element(edge.begin(), end) : *std::max_element(edge.begin(), end);
}

PathCrossing CrossingOf(const std::vector<double>& path, const std::vector<double>& lower,
                        const std::vector<double>& upper, std::span<const double> threshold,
                        bool below) {
  auto reaches = [&](const std::vector<double>& v) -> std::optional<int> {
    for (size_t h = 0; h < v.size(); ++h) {
      const double t = threshold[std::min(h, threshold.size() - 1)];
      // Within a millionth of the threshold is on it: a fit's rounding (a slope of
      // 9.999995 for 10) must not put a crossing a day late.
      const double hair = 1e-6 * std::max(1.0, std::fabs(t));
      if (below ? v[h] <= t + hair : v[h] >= t - hair) return static_cast<int>(h);
    }
    return std::nullopt;
  };
  // The edge nearer the threshold reaches it first.
  return {reaches(path), reaches(below ? lower : upper), reaches(below ? upper : lower)};
}

std::optional<trend::Date> DayAfter(trend::Date last, int days) {
  try {
    return trend::AddDays(last, days);
  } catch (const trend::Error&) {
    return std::nullopt;  // beyond the calendar's last year
  }
}

}  // namespace host
