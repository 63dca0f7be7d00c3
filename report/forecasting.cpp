#include "forecasting.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <span>
#include <tuple>

#include "hourly_fit.h"

namespace host {

namespace {

constexpr double kDamping = 0.98;     // the weighted models' slope, per day ahead
constexpr int kMinTraining = 56;      // days a backtest's model is given at least
constexpr int kCutStep = 7;           // days between the backtest's cut-offs
constexpr double kTieMargin = 0.02;   // a model this much worse than the best still ties
constexpr double kPairMargin = 0.15;  // a runner-up this close may join the best
// ets, which fits its smoothing to each series, stays the choice unless another model's
// backtest error is a third lower (its score at most 1 / 1.5 of ets's): over a handful of
// cut-offs a smaller lead is mostly noise.
constexpr double kEtsMargin = 0.5;
constexpr double kRecentHalfLife = 14;  // days: the weight of older cut-offs in the choice
constexpr double kLowQ = 0.10, kHighQ = 0.90;
// auto's first week follows the model that did best over it where that is another; from
// there the forecast passes linearly to the chosen model's by kHandOver days ahead.
constexpr int kFirstWeek = 7, kHandOver = 30;
// Backtest errors come from fewer cut-offs than the future holds surprises, the fewer the
// longer the lead (beyond two months a handful of cut-offs): their quantiles widened by this
// much, growing with the lead and faster beyond 60 days, and floored by the level's drift,
// cover 75-85 % at 7, 30 and 90 days on the benchmark's public series and on its generated
// regimes.
double Widening(int lead) {
  return std::min(4.0, 1.08 + 0.0076 * lead + 0.065 * std::max(0, lead - 60));
}

using Daily = std::vector<std::optional<double>>;  // by days back from an origin
// Days of a Daily from some day back on, re-indexed from there: a cut-off's training days
// are a view of the window's, never a copy.
using DaysView = std::span<const std::optional<double>>;

// Holt-Winters' smoothing of the level, the trend and the weekday season.
struct Smoothing {
  double alpha, beta, gamma;
};
constexpr Smoothing kSteadySmoothing[] = {{0.3, 0.05, 0.2}};
constexpr Smoothing kFastSmoothing[] = {{0.5, 0.05, 0.3}};
// ets's bound on a day's surprise, in running mean surprises, and that mean's rate.
constexpr double kClip = 3, kScaleRate = 0.1;
// The ets model's candidates, every combination of these: the one whose errors one day and
// one week ahead over the training days had the least sum of squares is taken.
const std::vector<Smoothing>& FittedGrid() {
  static const std::vector<Smoothing> grid = [] {
    std::vector<Smoothing> out;
    for (double alpha : {0.1, 0.25, 0.45, 0.7})
      for (double beta : {0.0, 0.02, 0.05, 0.15, 0.3})
        for (double gamma : {0.05, 0.25}) out.push_back({alpha, beta, gamma});
    return out;
  }();
  return grid;
}

// The models the combined one averages, its Holt-Winters first.
constexpr Model kCombinedParts[] = {Model::kHoltWinters, Model::kWeighted14, Model::kSeasonalNaive};

// A Holt-Winters model's smoothing candidates, and whether it bounds each day's surprise
// (ets); no candidates for the other models.
struct HoltWinters {
  std::span<const Smoothing> grid;
  bool robust = false;
};
HoltWinters HoltWintersOf(Model m) {
  switch (m) {
    case Model::kHoltWinters:
      return {kSteadySmoothing};
    case Model::kHoltWintersFast:
      return {kFastSmoothing};
    case Model::kEts:
      return {FittedGrid(), true};
    default:
      return {};
  }
}

// The 10 % and 90 % quantiles of `values`.
std::pair<double, double> Band(std::vector<double> values) {
  const double low = SelectQuantile(values, kLowQ);
  return {low, SelectQuantile(values, kHighQ)};
}

// The daily values of the window: the mean of the valid hours, or the busiest one.
Daily DailyValues(const HourlyWindow& w, Target target) {
  Daily out(kWindowDays);
  for (int d = 0; d < kWindowDays; ++d) {
    double sum = 0, most = -std::numeric_limits<double>::infinity();
    int n = 0;
    for (const auto& v : w.hours[d])
      if (v) sum += *v, most = std::max(most, *v), ++n;
    if (n) out[d] = target == Target::kMean ? sum / n : most;
  }
  return out;
}

// The mean of the first seven days with data, from t = 0 back.
std::optional<double> RecentMean(DaysView y) {
  double sum = 0;
  int n = 0;
  for (size_t t = 0; t < y.size() && n < 7; ++t)
    if (y[t]) sum += *y[t], ++n;
  if (!n) return std::nullopt;
  return sum / n;
}

// Days back from the origin of the day h ahead's weekday in the last week: 0 for h = 7.
int SameWeekday(int h) {
  return ((-h) % 7 + 7) % 7;
}

// The days of `y` oldest first, NaN for a day without data.
std::vector<double> OldestFirst(DaysView y) {
  std::vector<double> days(y.size());
  for (size_t i = 0; i < y.size(); ++i) {
    const auto& v = y[y.size() - 1 - i];
    days[i] = v ? *v : std::numeric_limits<double>::quiet_NaN();
  }
  return days;
}

// A Holt-Winters state after a day: level, trend and the weekday season (by the day's
// place, oldest first, modulo 7); not fitted where too few days came before.
struct Smoothed {
  bool fitted = false;
  double level = 0, trend = 0;
  std::array<double, 7> season{};
  size_t lastIndex = 0;
};

// Level, damped trend and an additive weekday season smoothed over `days` (oldest first,
// NaN for a day without data, which takes its forecast) by each (alpha, beta, gamma) of
// `hw`'s grid; after the first ends[j] days (ascending), the candidate whose errors one day and
// one week ahead so far had the least sum of squares (the week's errors keep out a trend
// that chases the noise of a few days). One pass serves every end: the training days of a
// backtest's cut-offs are the window's days up to each, so their fits are the states of
// the same pass on the way. A robust model bounds each day's surprise (below).
std::vector<Smoothed> SmoothDays(const std::vector<double>& days, const HoltWinters& hw,
                                 std::span<const size_t> ends) {
  const std::span<const Smoothing> grid = hw.grid;
  const bool robust = hw.robust;
  std::vector<Smoothed> out(ends.size());
  size_t first = 0;
  while (first < days.size() && std::isnan(days[first])) ++first;
  size_t next = 0;  // the first end still to reach
  while (next < ends.size() && first + 14 > ends[next]) ++next;
  if (next == ends.size()) return out;
  double start = 0;
  int n = 0;
  for (size_t i = first; i < first + 7; ++i)
    if (!std::isnan(days[i])) start += days[i], ++n;
  start /= std::max(1, n);
  // Every candidate in step, a day at a time: their sums are independent, so the
  // processor overlaps them (and computes several at once: no branch inside).
  const size_t g = grid.size();
  std::vector<double> alpha(g), beta(g), gamma(g);
  for (size_t k = 0; k < g; ++k)
    alpha[k] = grid[k].alpha, beta[k] = grid[k].beta, gamma[k] = grid[k].gamma;
  std::vector<double> level(g, start), trend(g, 0.0), sse(g, 0.0), season(7 * g, 0.0);
  // Robust: a day's surprise counts at most kClip times the candidate's running mean
  // surprise (from the mean week-over-week change of the first five weeks), so that a
  // holiday or an outage bends neither level, trend nor season, while a lasting shift,
  // which keeps the surprises large, widens the bound within days.
  const size_t last = ends.back();
  double weekly = 0;
  if (robust) {
    int m = 0;
    for (size_t i = first; i + 7 < last && i < first + 35; ++i)
      if (!std::isnan(days[i]) && !std::isnan(days[i + 7]))
        weekly += std::fabs(days[i + 7] - days[i]), ++m;
    weekly = m ? weekly / m : 0;
  }
  const double clip = weekly > 0 ? kClip : std::numeric_limits<double>::infinity();
  std::vector<double> scale(g, weekly > 0 ? weekly : 1.0);
  const double cleaned = robust ? 1.0 : 0.0;
  for (size_t i = first; i < first + 7; ++i)
    for (size_t k = 0; k < g; ++k)
      season[(i % 7) * g + k] = std::isnan(days[i]) ? 0 : days[i] - start;
  // Each candidate's forecast of the day a week on, kept by weekday until that day comes.
  std::vector<double> weekAhead(7 * g, 0.0);
  std::array<bool, 7> weekKept{};
  const double week = DampedDays(kDamping, 7);
  size_t slot = (first + 7) % 7;
  for (size_t i = first + 7; i < last; ++i, slot = slot == 6 ? 0 : slot + 1) {
    const bool missing = std::isnan(days[i]);
    const double judged = !missing && i >= first + 14 ? 1.0 : 0.0;
    const double weekJudged = !missing && weekKept[slot] ? 1.0 : 0.0;
    // A day without data takes each candidate's forecast: its errors are zero.
    const double present = missing ? 0.0 : 1.0, value = missing ? 0.0 : days[i];
    double* s = &season[slot * g];
    double* w = &weekAhead[slot * g];
    for (size_t k = 0; k < g; ++k) {
      const double ahead = level[k] + kDamping * trend[k] + s[k];
      const double raw = present * value + (1 - present) * ahead;
      const double bound = clip * scale[k];
      const double e = std::min(std::max(raw - ahead, -bound), bound);
      const double v = raw + cleaned * (ahead + e - raw);  // exactly raw when not robust
      sse[k] += judged * e * e + weekJudged * (v - w[k]) * (v - w[k]);
      scale[k] += present * kScaleRate * (std::fabs(e) - scale[k]);
      const double previous = level[k];
      level[k] = alpha[k] * (v - s[k]) + (1 - alpha[k]) * (previous + kDamping * trend[k]);
      trend[k] = beta[k] * (level[k] - previous) + (1 - beta[k]) * kDamping * trend[k];
      s[k] = gamma[k] * (v - level[k]) + (1 - gamma[k]) * s[k];
      w[k] = level[k] + week * trend[k] + s[k];
    }
    weekKept[slot] = true;
    for (; next < ends.size() && ends[next] == i + 1; ++next) {
      size_t best = 0;
      for (size_t k = 1; k < g; ++k)
        if (sse[k] < sse[best]) best = k;
      Smoothed& o = out[next];
      o.fitted = true;
      o.level = level[best], o.trend = trend[best], o.lastIndex = i;
      for (size_t d = 0; d < 7; ++d) o.season[d] = season[d * g + best];
    }
  }
  return out;
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

// exp2(-t / halfLife) for the days t of a window: the weighted models' weights, worked out
// once for each of their half-lives.
std::span<const double> DayWeights(double halfLife) {
  using Table = std::array<double, kWindowDays>;
  auto weights = [](double h) {
    Table t;
    for (size_t d = 0; d < t.size(); ++d) t[d] = std::exp2(-static_cast<double>(d) / h);
    return t;
  };
  static const Table month = weights(30), fortnight = weights(14);
  if (halfLife == 30) return month;
  if (halfLife == 14) return fortnight;
  thread_local Table other;
  other = weights(halfLife);
  return other;
}

// A model fitted on the training days (y, t = 0 the last) and the hourly grid shifted to
// the same origin; its forecast of day h ahead.
class Fitted {
 public:
  // `smoothed`, when given, is the Holt-Winters state after the training days (of the
  // model, or of the combined model's Holt-Winters part) from a pass done beforehand;
  // `line`, the window's rows for the line's fits.
  Fitted(Model m, DaysView y, const HourlyWindow& w, int cut, Target target,
         const Smoothed* smoothed = nullptr, const LineRows* line = nullptr)
      : model_(m), y_(y) {
    const auto mean = RecentMean(y);
    base_ = mean.value_or(0);
    switch (m) {
      case Model::kMean7:
        break;
      case Model::kSeasonalNaive:
        for (int s = 0; s < 7; ++s) {
          season_[s] = base_;
          for (size_t t = static_cast<size_t>(s); t < y.size(); t += 7)
            if (y[t]) {
              season_[s] = *y[t];
              break;
            }
        }
        break;
      case Model::kLine:
        FitLine(line ? *line : LineRows(w), cut, target);
        break;
      case Model::kWeighted:
      case Model::kWeighted14:
        FitWeighted(m == Model::kWeighted ? 30.0 : 14.0);
        break;
      case Model::kHoltWinters:
      case Model::kHoltWintersFast:
      case Model::kEts:
        if (smoothed)
          Take(*smoothed);
        else
          FitHoltWinters(HoltWintersOf(m));
        break;
      case Model::kCombined:
        parts_.reserve(std::size(kCombinedParts));
        for (Model part : kCombinedParts) parts_.emplace_back(part, y, w, cut, target, smoothed);
        break;
    }
  }

  double At(int h) const {
    double v = 0;
    switch (model_) {
      case Model::kMean7:
        v = base_;
        break;
      case Model::kSeasonalNaive:
        v = season_[SameWeekday(h)];
        break;
      case Model::kLine:
        v = intercept_ + slope_ * h;
        break;
      case Model::kWeighted:
      case Model::kWeighted14:
        v = intercept_ + slope_ * DampedDays(kDamping, h) + season_[SameWeekday(h)];
        break;
      case Model::kHoltWinters:
      case Model::kHoltWintersFast:
      case Model::kEts:
        v = intercept_ + slope_ * DampedDays(kDamping, h) + season_[(lastIndex_ + h) % 7];
        break;
      case Model::kCombined:
        for (const Fitted& part : parts_) v += part.At(h);
        v /= static_cast<double>(parts_.size());
        break;
    }
    return v < 0 ? 0 : v;
  }

 private:
  // The class's own model on the rows before the cut-off: its line (style 2), or with
  // the peak effects on top (style 3) for the busiest hour.
  void FitLine(const LineRows& rows, int cut, Target target) {
    trend::CellMask cells;
    std::copy_n(rows.valid.begin() + cut, trend::kFitDays, cells.begin());
    try {
      const trend::HourlyFit fit =
          trend::FitHourlyModel(trend::FitGrid(rows.average.data() + cut, trend::kFitDays), cells);
      slope_ = fit.slope;
      intercept_ = fit.intercept;
      if (target == Target::kPeak) intercept_ += fit.peakDayEffect + fit.peakHourEffect;
    } catch (const std::exception&) {
      slope_ = 0, intercept_ = base_;
    }
  }

  // Weekday effects from the training days, then a line through the adjusted values with
  // weights halving every `halfLife` days.
  void FitWeighted(double halfLife) {
    double all = 0;
    int n = 0;
    for (const auto& v : y_)
      if (v) all += *v, ++n;
    if (!n) return;
    all /= n;
    std::array<double, 7> sum{}, count{};
    for (size_t t = 0; t < y_.size(); ++t)
      if (y_[t]) sum[t % 7] += *y_[t] - all, count[t % 7] += 1;
    for (int s = 0; s < 7; ++s) season_[s] = count[s] > 0 ? sum[s] / count[s] : 0;
    // A window's days at most: on the stack, and the weights from a table.
    std::array<double, kWindowDays> x, z, weight;
    const std::span<const double> weights = DayWeights(halfLife);
    size_t k = 0;
    for (size_t t = 0; t < y_.size(); ++t)
      if (y_[t]) {
        x[k] = -static_cast<double>(t);
        z[k] = *y_[t] - season_[t % 7];
        weight[k] = weights[t];
        ++k;
      }
    std::tie(slope_, intercept_) = WeightedLine({x.data(), k}, {z.data(), k}, {weight.data(), k});
  }

  // Holt-Winters over the training days (SmoothDays).
  void FitHoltWinters(const HoltWinters& hw) {
    const size_t end = y_.size();
    Take(SmoothDays(OldestFirst(y_), hw, {&end, 1}).front());
  }
  void Take(const Smoothed& s) {
    if (!s.fitted) {  // too few days to start from: the recent mean
      intercept_ = base_;
      return;
    }
    intercept_ = s.level, slope_ = s.trend, season_ = s.season, lastIndex_ = s.lastIndex;
  }

  Model model_;
  DaysView y_;
  size_t lastIndex_ = 0;
  double base_ = 0, slope_ = 0, intercept_ = 0;
  std::array<double, 7> season_{};
  std::vector<Fitted> parts_;  // of the combined model
};

// The training days of a cut-off: the window's days from `cut` back, re-indexed.
DaysView Training(const Daily& all, int cut) {
  return DaysView(all).subspan(static_cast<size_t>(cut));
}

struct Backtest {
  // errors[lead] = actual - forecast at that lead, over the cut-offs
  std::vector<std::vector<double>> errors;
  // absolute errors per cut-off and lead, for MASE by horizon
  std::vector<std::vector<std::optional<double>>> absolute;  // [cut index][lead]
  std::vector<int> cuts;
  int maxLead = 0;
};

Backtest RunBacktest(Model m, const Daily& y, const HourlyWindow& w, Target target, int longest) {
  Backtest b;
  int days = 0;  // the window's days up to the oldest with data
  for (int d = 0; d < kWindowDays; ++d)
    if (y[d]) days = d + 1;
  b.maxLead = std::min(longest, std::max(0, days - kMinTraining));
  b.errors.assign(static_cast<size_t>(b.maxLead) + 1, {});
  // The class's line refits its hourly model at each cut-off, the dearest fit by far: it is
  // judged at every other cut-off (the latest among them), the others at every one.
  const int step = m == Model::kLine ? 2 * kCutStep : kCutStep;
  std::vector<int> cuts;
  for (int cut = kCutStep; cut + kMinTraining <= days; cut += step) {
    int present = 0;
    for (int t = cut; t < cut + 28 && t < static_cast<int>(y.size()); ++t) present += y[t] ? 1 : 0;
    if (present >= 7) cuts.push_back(cut);  // else a gap: nothing to judge a model by
  }
  // The Holt-Winters models' fits at every cut-off come from one pass over the window.
  const HoltWinters hw = HoltWintersOf(m == Model::kCombined ? kCombinedParts[0] : m);
  std::vector<Smoothed> states;
  if (!hw.grid.empty()) {
    std::vector<size_t> ends;  // training days of each cut-off, ascending
    for (auto c = cuts.rbegin(); c != cuts.rend(); ++c) ends.push_back(y.size() - *c);
    states = SmoothDays(OldestFirst(y), hw, ends);
    std::reverse(states.begin(), states.end());
  }
  std::optional<LineRows> line;
  if (m == Model::kLine) line.emplace(w);
  for (auto& errors : b.errors) errors.reserve(cuts.size());
  b.absolute.reserve(cuts.size());
  for (size_t c = 0; c < cuts.size(); ++c) {
    const int cut = cuts[c];
    const DaysView train = Training(y, cut);
    const Fitted f(m, train, w, cut, target, states.empty() ? nullptr : &states[c],
                   line ? &*line : nullptr);
    std::vector<std::optional<double>> abs(static_cast<size_t>(b.maxLead) + 1);
    for (int h = 1; h <= std::min(cut, b.maxLead); ++h) {
      if (!y[cut - h]) continue;
      const double e = *y[cut - h] - f.At(h);
      b.errors[h].push_back(e);
      abs[h] = std::fabs(e);
    }
    b.cuts.push_back(cut);
    b.absolute.push_back(std::move(abs));
  }
  return b;
}

// The backtest of the mean of two models' forecasts, from their backtests on the same
// cut-offs: each error is the mean of the two.
Backtest Averaged(const Backtest& a, const Backtest& b) {
  Backtest out;
  out.cuts = a.cuts;
  out.maxLead = a.maxLead;
  out.errors.assign(a.errors.size(), {});
  std::vector<size_t> next(a.errors.size(), 0);
  for (size_t k = 0; k < a.cuts.size(); ++k) {
    std::vector<std::optional<double>> abs(a.absolute[k].size());
    for (size_t h = 1; h < abs.size(); ++h) {
      if (!a.absolute[k][h]) continue;
      const double e = (a.errors[h][next[h]] + b.errors[h][next[h]]) / 2;
      ++next[h];
      out.errors[h].push_back(e);
      abs[h] = std::fabs(e);
    }
    out.absolute.push_back(std::move(abs));
  }
  return out;
}

// The mean absolute change of a day from the same weekday a week before.
double WeeklyScale(const Daily& y) {
  double sum = 0;
  int n = 0;
  for (size_t t = 0; t + 7 < y.size(); ++t)
    if (y[t] && y[t + 7]) sum += std::fabs(*y[t] - *y[t + 7]), ++n;
  return n ? sum / n : 0;
}

// MASE at horizon h: over the cut-offs that reach it, the mean absolute error of days
// 1..h, averaged, over the scale.
// With a `halfLife`, a cut-off counts the less the older the days it is judged on (halving
// every halfLife days): how a model did lately says more about the next weeks.
std::optional<double> Mase(const Backtest& b, int h, double scale, double halfLife = 0) {
  double total = 0, cuts = 0;
  for (size_t k = 0; k < b.cuts.size(); ++k) {
    if (b.cuts[k] < h) continue;
    double sum = 0;
    int n = 0;
    for (int l = 1; l <= h; ++l)
      if (b.absolute[k][l]) sum += *b.absolute[k][l], ++n;
    const double weight = halfLife > 0 ? std::exp2(-(b.cuts[k] - h) / halfLife) : 1.0;
    if (n) total += weight * sum / n, cuts += weight;
  }
  if (cuts <= 0) return std::nullopt;
  const double mae = total / cuts;
  if (scale <= 0) return mae <= 0 ? 0.0 : mae / 1e-12;
  return mae / scale;
}

// The leads a backtest judges a model at: 7, 30 and 90 days and the report's longest, as
// far as the window allows.
std::vector<int> JudgedLeads(const Backtest& b, int longest) {
  std::vector<int> leads;
  for (int h : {7, 30, 90, longest})
    if (h >= 1 && h <= b.maxLead && std::find(leads.begin(), leads.end(), h) == leads.end())
      leads.push_back(h);
  if (leads.empty() && b.maxLead >= 1) leads.push_back(b.maxLead);
  return leads;
}

// The 80 % interval's offsets at lead h from the errors near it; beyond the backtest's
// longest lead, its offsets widened as the square root of the lead.
std::pair<double, double> Offsets(const Backtest& b, int h) {
  if (b.maxLead < 1) return {0, 0};
  const int lead = std::min(h, b.maxLead);
  const int reach = std::max(1, lead / 5);
  std::vector<double> near;
  for (int l = std::max(1, lead - reach); l <= std::min(b.maxLead, lead + reach); ++l)
    near.insert(near.end(), b.errors[l].begin(), b.errors[l].end());
  if (near.size() < 3) return {0, 0};
  const auto [lowQ, highQ] = Band(std::move(near));
  double low = Widening(lead) * lowQ, high = Widening(lead) * highQ;
  if (h > lead) {
    const double widen = std::sqrt(static_cast<double>(h) / lead);
    low *= widen, high *= widen;
  }
  return {std::min(low, 0.0), std::max(high, 0.0)};
}

// The mean of each seven days from t back (nullopt with fewer than four days of data).
Daily WeekMeans(const Daily& y) {
  Daily out(y.size());
  for (size_t t = 0; t + 7 <= y.size(); ++t) {
    double sum = 0;
    int n = 0;
    for (size_t d = t; d < t + 7; ++d)
      if (y[d]) sum += *y[d], ++n;
    if (n >= 4) out[t] = sum / n;
  }
  return out;
}

// How far the level itself wandered over h days inside the window: the 10 % and 90 %
// quantiles of the change from a week's mean to the week's mean h days later, less the
// mean change (the trend a model follows), times kDriftShare. Seasons longer than the
// window, shifts and swings that a short backtest has not met show here: a floor for the
// interval.
std::pair<double, double> LevelDrift(const Daily& weeks, int h) {
  constexpr double kDriftShare = 0.9;
  std::vector<double> changes;
  const auto lead = static_cast<size_t>(h);
  for (size_t t = 0; t + lead < weeks.size(); ++t)
    if (weeks[t] && weeks[t + lead]) changes.push_back(*weeks[t] - *weeks[t + lead]);
  if (changes.size() < 14) return {0, 0};
  double mean = 0;
  for (double c : changes) mean += c;
  mean /= static_cast<double>(changes.size());
  const auto [low, high] = Band(std::move(changes));
  return {kDriftShare * std::min(0.0, low - mean), kDriftShare * std::max(0.0, high - mean)};
}

// A choice among the models by their backtest: a model, and the runner-up whose mean with it
// did at least as well.
struct Choice {
  size_t pick = 0;  // into kAllModels
  std::optional<size_t> partner;
  Backtest backtest;  // the pick's, or the mean's of the pair
};

// The choice among `runs` (every model of kAllModels, on the same cut-offs) by their errors
// at `leads`. Each lead counts alike: a model's error there over the best model's; the best
// mean of these wins, the simplest among those within the margin of it, and ets wherever it
// is within kEtsMargin of the best. The runner-up, when it came nearly as close, joins it
// where the mean of the two, judged by the same backtest, does at least as well.
Choice Choose(const std::vector<Backtest>& runs, const std::vector<int>& leads, double scale) {
  std::vector<std::vector<std::optional<double>>> errors;  // [model][lead]
  std::vector<double> least(leads.size(), std::numeric_limits<double>::infinity());
  for (const Backtest& run : runs) {
    errors.emplace_back();
    for (size_t k = 0; k < leads.size(); ++k) {
      errors.back().push_back(Mase(run, leads[k], scale, kRecentHalfLife));
      if (errors.back().back()) least[k] = std::min(least[k], *errors.back().back());
    }
  }
  std::vector<double> scores;
  for (size_t i = 0; i < runs.size(); ++i) {
    double sum = 0;
    int n = 0;
    for (size_t k = 0; k < leads.size(); ++k)
      if (errors[i][k]) sum += (*errors[i][k] + 1e-9) / (least[k] + 1e-9), ++n;
    scores.push_back(n ? sum / n : std::numeric_limits<double>::infinity());
  }
  const double best = *std::min_element(scores.begin(), scores.end());
  Choice c;
  c.pick = 2;  // the class's line when nothing can be judged
  if (std::isfinite(best))
    for (size_t i = 0; i < scores.size(); ++i)
      if (scores[i] <= best * (1 + kTieMargin) + 1e-12) {
        c.pick = i;
        break;
      }
  if (std::isfinite(best))
    for (size_t i = 0; i < scores.size(); ++i)
      if (kAllModels[i] == Model::kEts && scores[i] <= best * (1 + kEtsMargin) + 1e-12) c.pick = i;
  std::optional<size_t> second;
  if (std::isfinite(best) && kAllModels[c.pick] != Model::kLine)
    for (size_t i = 0; i < scores.size(); ++i)
      if (i != c.pick && kAllModels[i] != Model::kLine && runs[i].cuts == runs[c.pick].cuts &&
          scores[i] <= best * (1 + kPairMargin) && (!second || scores[i] < scores[*second]))
        second = i;
  if (second) {
    Backtest pair = Averaged(runs[c.pick], runs[*second]);
    double pairScore = 0, pickScore = 0;
    for (int h : leads)
      if (auto p = Mase(pair, h, scale, kRecentHalfLife))
        if (auto q = Mase(runs[c.pick], h, scale, kRecentHalfLife))
          pairScore += *p, pickScore += *q;
    if (pairScore <= pickScore) {
      c.partner = second;
      c.backtest = std::move(pair);
      return c;
    }
  }
  c.backtest = runs[c.pick];
  return c;
}

// A model, or the mean of a pair, fitted on the whole window.
class FittedChoice {
 public:
  FittedChoice(Model m, std::optional<Model> partner, const Daily& y, const HourlyWindow& w,
               Target target)
      : model_(m, y, w, 0, target) {
    if (partner) partner_.emplace(*partner, y, w, 0, target);
  }
  double At(int h) const { return partner_ ? (model_.At(h) + partner_->At(h)) / 2 : model_.At(h); }

 private:
  Fitted model_;
  std::optional<Fitted> partner_;
};

// The level's drift over each lead, worked out once for every backtest that asks.
class Drifts {
 public:
  explicit Drifts(const Daily& y) : weeks_(WeekMeans(y)) {}
  std::pair<double, double> At(int lead) {
    auto [it, added] = known_.try_emplace(lead);
    if (added) it->second = LevelDrift(weeks_, lead);
    return it->second;
  }

 private:
  Daily weeks_;
  std::map<int, std::pair<double, double>> known_;
};

// The 80 % interval's offsets from the forecast for days 0..horizon ahead: the backtest's,
// no narrower than the level's own drift over the lead, at a few leads and linear between
// them (the quantiles are not sorted per day); beyond the last, the longest lead's widened
// as the square root of the lead.
std::vector<std::pair<double, double>> IntervalOffsets(const Backtest& b, Drifts& drifts,
                                                       int horizon) {
  static constexpr int kKnots[] = {1, 2, 3, 5, 7, 10, 14, 21, 30, 45, 60, 90, 126};
  auto floored = [&](int lead) {
    const auto o = Offsets(b, lead);
    const auto drift = drifts.At(lead);
    return std::pair<double, double>{std::min(o.first, drift.first),
                                     std::max(o.second, drift.second)};
  };
  std::vector<std::pair<double, double>> at;
  for (int k : kKnots) at.push_back(floored(k));
  const int edgeLead = std::max(1, b.maxLead);
  const std::pair<double, double> edge = floored(edgeLead);
  std::vector<std::pair<double, double>> out(static_cast<size_t>(horizon) + 1, {0.0, 0.0});
  for (int h = 1; h <= horizon; ++h) {
    if (h >= std::end(kKnots)[-1]) {
      const double widen = h > edgeLead ? std::sqrt(static_cast<double>(h) / edgeLead) : 1;
      out[h] = {edge.first * widen, edge.second * widen};
      continue;
    }
    size_t k = 0;
    while (kKnots[k + 1] < h) ++k;
    const double share = static_cast<double>(h - kKnots[k]) / (kKnots[k + 1] - kKnots[k]);
    out[h] = {at[k].first + share * (at[k + 1].first - at[k].first),
              at[k].second + share * (at[k + 1].second - at[k].second)};
  }
  return out;
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
    case Model::kWeighted:
      return "weighted";
    case Model::kWeighted14:
      return "weighted-14";
    case Model::kHoltWinters:
      return "holt-winters";
    case Model::kHoltWintersFast:
      return "holt-winters-fast";
    case Model::kEts:
      return "ets";
    case Model::kCombined:
      return "combined";
  }
  return "line";
}

std::string ModelNames() {
  std::string names;
  for (Model m : kAllModels) names += std::string(names.empty() ? "" : ", ") + ModelName(m);
  return names;
}

std::string ModelName(const ModelForecast& f) {
  std::string name = ModelName(f.model);
  if (f.partner) name += std::string("+") + ModelName(*f.partner);
  return name;
}

std::optional<Model> ModelFromName(const std::string& name, bool& known) {
  known = true;
  if (name == "auto") return std::nullopt;
  for (Model m : kAllModels)
    if (name == ModelName(m)) return m;
  known = false;
  return std::nullopt;
}

std::pair<double, double> WeightedLine(std::span<const double> x, std::span<const double> y,
                                       std::span<const double> w) {
  double sw = 0, sx = 0, sy = 0;
  for (size_t i = 0; i < x.size(); ++i) sw += w[i], sx += w[i] * x[i], sy += w[i] * y[i];
  if (sw <= 0) return {0, 0};
  const double mx = sx / sw, my = sy / sw;
  double sxx = 0, sxy = 0;
  for (size_t i = 0; i < x.size(); ++i)
    sxx += w[i] * (x[i] - mx) * (x[i] - mx), sxy += w[i] * (x[i] - mx) * (y[i] - my);
  const double slope = sxx > 0 ? sxy / sxx : 0;
  return {slope, my - slope * mx};
}

double DampedDays(double phi, int h) {
  if (h <= 0) return 0;
  if (phi == 1) return h;
  // The models' own damping over ten years ahead, computed once (the same expression).
  constexpr int kTabled = 3700;
  static const std::vector<double> tabled = [] {
    std::vector<double> t(kTabled);
    for (int d = 1; d < kTabled; ++d)
      t[d] = kDamping * (1 - std::pow(kDamping, d)) / (1 - kDamping);
    return t;
  }();
  if (phi == kDamping && h < kTabled) return tabled[static_cast<size_t>(h)];
  return phi * (1 - std::pow(phi, h)) / (1 - phi);
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
                             int horizon, int longestLead) {
  const Daily y = DailyValues(window, target);
  const double scale = WeeklyScale(y);
  ModelForecast out;
  std::optional<Choice> chosen, early;
  if (choice) {
    chosen = Choice{};
    chosen->backtest = RunBacktest(*choice, y, window, target, longestLead);
    out.model = *choice;
  } else {
    // Every model on the same cut-offs, chosen over every judged lead; where another did
    // best over the first week alone, it leads the first weeks of the forecast.
    std::vector<Backtest> runs;
    for (Model m : kAllModels) runs.push_back(RunBacktest(m, y, window, target, longestLead));
    const std::vector<int> leads = JudgedLeads(runs.front(), longestLead);
    chosen = Choose(runs, leads, scale);
    // (Not where the class's line was chosen: its numbers stay the class's own.)
    if (leads.size() >= 2 && leads.front() == kFirstWeek &&
        kAllModels[chosen->pick] != Model::kLine) {
      Choice first = Choose(runs, {kFirstWeek}, scale);
      if (first.pick != chosen->pick || first.partner != chosen->partner) {
        out.firstWeek = kAllModels[first.pick];
        if (first.partner) out.firstWeekPartner = kAllModels[*first.partner];
        early = std::move(first);
      }
    }
    out.model = kAllModels[chosen->pick];
    if (chosen->partner) out.partner = kAllModels[*chosen->partner];
  }
  out.backtestLead = std::min(30, chosen->backtest.maxLead);
  if (out.backtestLead >= 1) out.mase = Mase(chosen->backtest, out.backtestLead, scale);

  Drifts drifts(y);
  const FittedChoice f(out.model, out.partner, y, window, target);
  const std::vector<std::pair<double, double>> offsets =
      IntervalOffsets(chosen->backtest, drifts, horizon);
  std::optional<FittedChoice> first;
  std::vector<std::pair<double, double>> firstOffsets;
  if (early) {
    first.emplace(*out.firstWeek, out.firstWeekPartner, y, window, target);
    firstOffsets = IntervalOffsets(early->backtest, drifts, std::min(horizon, kHandOver));
  }
  out.path.resize(static_cast<size_t>(horizon) + 1);
  out.lower.resize(out.path.size());
  out.upper.resize(out.path.size());
  for (int h = 0; h <= horizon; ++h) {
    double v = f.At(h);
    std::pair<double, double> o = offsets[h];
    if (first && h < kHandOver) {
      // The first week's model, then a linear passage to the chosen one by kHandOver.
      const double share =
          h <= kFirstWeek ? 1.0 : static_cast<double>(kHandOver - h) / (kHandOver - kFirstWeek);
      v = share * first->At(h) + (1 - share) * v;
      o = {share * firstOffsets[h].first + (1 - share) * o.first,
           share * firstOffsets[h].second + (1 - share) * o.second};
    }
    out.path[h] = v;
    out.lower[h] = std::max(0.0, v + o.first);
    out.upper[h] = v + o.second;
  }
  return out;
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

}  // namespace host
