#include "series_pipeline.h"

#include <algorithm>
#include <cmath>

#include "command.h"
#include "dates.h"
#include "error.h"
#include "report_charts.h"

namespace host {

// ---- One series through the class ----

namespace {

// The largest hourly average of the last kRecentPeakDays days with rows.
std::optional<double> RecentPeak(const HourlyWindow& w) {
  std::optional<double> peak;
  int days = 0;
  for (const auto& day : w.hours) {
    bool any = false;
    for (const auto& v : day)
      if (v) {
        any = true;
        if (!peak || *v > *peak) peak = *v;
      }
    if (any && ++days == kRecentPeakDays) break;
  }
  return peak;
}

// How far a row's forecast may be trusted: high where its backtest judged it over four
// weeks or more, it beat seasonal naive by a tenth or more and its band held 70 to 90 % of
// the backtest's actual days; low where nothing judged it, it judged less than a week or
// it did worse than seasonal naive by a tenth; medium else.
std::string TrustOf(const ModelForecast& f) {
  if (!f.mase || f.backtestLead < 7 || (f.skill && *f.skill < -0.1)) return "low";
  if (f.backtestLead >= 28 && f.skill && *f.skill >= 0.1 && f.coverage && *f.coverage >= 0.7 &&
      *f.coverage <= 0.9)
    return "high";
  return "medium";
}

}  // namespace

// The run's model on the series' own rows: its numbers replace the class's line unless
// the model is the line, and every model gives the interval and the crossing's range.
ModelForecast ApplyModel(SeriesResult& r, const HourlyWindow& window, const ReportRun& run,
                         Target target, std::span<const double> older) {
  bool known = true;
  const std::optional<Model> choice = ModelFromName(run.model, known);
  const int longest = *std::max_element(run.horizons.begin(), run.horizons.end());
  const bool percent = r.threshold && r.threshold->unit == "%";
  // Too few days for any model to be judged on its own past: whatever the model asked
  // for, the short-history forecast, flagged.
  const bool shortHistory = r.series.fitDays >= kShortestDays && r.series.fitDays < kMinimumDays;
  const ModelForecast f =
      shortHistory ? ShortHistoryWindow(window, target, std::max(longest, kModelReach), percent)
                   : ForecastWindow(window, target, choice, std::max(longest, kModelReach),
                                    std::max(1, longest), percent, older);
  if (shortHistory) r.flags.push_back("short history");
  r.model = ModelName(f);
  r.backtestMase = f.mase;
  if (f.mase) r.backtestLead = f.backtestLead;
  r.skill = f.skill;
  r.coverage = f.coverage;
  r.trust = TrustOf(f);
  const bool line = !shortHistory && f.model == Model::kLine;
  if (!line) {
    r.level = f.path[0];
    for (size_t i = 0; i < run.horizons.size(); ++i) r.forecast[i] = f.path[run.horizons[i]];
    // The busy hour at the first horizon is the class's line's, which runs on straight: in
    // the models' rows it stays where their forecasts do (a percentage at 100 at most).
    if (r.peak) r.peak = WindowDomain(window, percent).Clip(*r.peak);
  }
  for (int h : run.horizons) {
    r.lower.push_back(f.lower[h]);
    r.upper.push_back(f.upper[h]);
    r.week.push_back(WeekAround(f.path, h, target));
  }
  if (run.until)
    r.neededUntil =
        NeededUntil(f.lower, f.upper, trend::CalendarDaysBetween(run.lastDay, *run.until),
                    r.threshold && r.threshold->direction == Direction::kBelow);
  if (!r.threshold) return f;
  const Threshold& t = *r.threshold;
  {
    const bool down = t.direction == Direction::kBelow;
    r.pCross30 = f.ProbabilityOfReaching(t.value, down, 30);
    r.pCross90 = f.ProbabilityOfReaching(t.value, down, 90);
    r.pCross180 = f.ProbabilityOfReaching(t.value, down, 180);
  }
  const PathCrossing c = CrossingOf(f.path, f.lower, f.upper, std::span(&t.value, 1),
                                    t.direction == Direction::kBelow);
  if (!line) {  // the line's crossing is the class's own
    r.daysToThreshold = c.day ? *c.day : kNeverDays;
    r.crossingDate = c.day ? DayAfter(run.lastDay, *c.day) : std::nullopt;
  }
  if (c.earliest) r.crossingEarliest = DayAfter(run.lastDay, *c.earliest);
  if (c.latest) r.crossingLatest = DayAfter(run.lastDay, *c.latest);
  return f;
}

Status StatusOf(const SeriesResult& r, const ReportRun& run, bool measuredBeyond) {
  const Series& series = r.series;
  if (trend::CalendarDaysBetween(series.lastDay, run.lastDay) > run.staleDays)
    return Status::kStale;
  // A series measured beyond its threshold has run out, however short its history.
  if (series.fitDays < kShortestDays)
    return measuredBeyond ? Status::kExceeded : Status::kInsufficientData;
  if (!r.threshold) return Status::kNoThreshold;
  const Threshold& t = *r.threshold;
  const bool reached = t.direction == Direction::kBelow
                           ? *r.level <= t.value
                           : *r.level >= t.value || (t.basis == Basis::kPeak && r.recentPeak &&
                                                     *r.recentPeak >= t.value);
  if (reached) return Status::kExceeded;
  if (*r.daysToThreshold == kNeverDays) return Status::kNever;
  if (*r.daysToThreshold <= run.warnDays) return Status::kWarning;
  return Status::kOk;
}

Forecaster::Forecaster(const std::string& library, const DatabaseLogin& login)
    : class_(LoadClass(kOrrery, library)),
      instance_(*class_, kOrrery),
      dataSource_(login.dsn, login.user, login.password, login.qualifier),
      login_(login) {
  trendValue_ = &FindMethod(*class_, instance_.get(), "TrendValue");
  daysToValue_ = &FindMethod(*class_, instance_.get(), "DaysToValue");
  growthRate_ = &FindMethod(*class_, instance_.get(), "GrowthRate");
  bestThreshold_ = &FindMethod(*class_, instance_.get(), "BestThreshold");
  standardDeviation_ = &FindMethod(*class_, instance_.get(), "StandardDeviation");
  timesExceeded_ = &FindMethod(*class_, instance_.get(), "TimesExceeded");
}

HostDatabase& Forecaster::Database() {
  if (!db_) db_ = std::make_unique<HostDatabase>(login_);
  return *db_;
}

namespace {

TF_VARIANT TextValue(const std::string& s) {
  TF_VARIANT v{};
  v.vt = TF_VT_TEXT;
  v.u.text = s.c_str();
  return v;
}
TF_VARIANT SingleValue(float f) {
  TF_VARIANT v{};
  v.vt = TF_VT_R4;
  v.u.r4 = f;
  return v;
}
TF_VARIANT IntegerValue(int16_t i) {
  TF_VARIANT v{};
  v.vt = TF_VT_I2;
  v.u.i2 = i;
  return v;
}
TF_VARIANT ObjectValue(TF_Dispatch* d) {
  TF_VARIANT v{};
  v.vt = TF_VT_DISPATCH;
  v.u.dispatch = d;
  return v;
}

}  // namespace

HourlyWindow Forecaster::Window(const Key& key, const Series& series, const ReportRun& run,
                                bool minima) {
  if (const auto rows =
          FittedGrid(instance_.get(), {key.host, key.probe, key.arg, key.first, key.last}))
    return WindowOfRows(rows->average, rows->minimum, rows->days);
  return Database().Window(series.key, run.firstDay, run.lastDay, minima);
}

TF_VARIANT Forecaster::Call(const TF_MethodInfo& m, const Key& key, std::vector<TF_VARIANT> extra) {
  std::vector<TF_VARIANT> values = {TextValue(key.host), TextValue(key.probe), TextValue(key.arg),
                                    TextValue(key.first), TextValue(key.last)};
  values.insert(values.end(), extra.begin(), extra.end());
  values.push_back(ObjectValue(dataSource_.dispatch()));
  return InvokeMethod(instance_.get(), m, std::move(values));
}

double Forecaster::TrendValue(const Key& key, float days, int16_t style) {
  return Call(*trendValue_, key, {SingleValue(days), SingleValue(0), IntegerValue(style)}).u.r8;
}

// Days until a falling line of `style` reaches `t` from above, from the line as the class
// reports it: its value today and one day ahead (the class's DaysToValue answers upward
// only). Rounded as DaysToValue rounds; kNeverDays when the line does not fall.
int32_t Forecaster::DaysDownTo(const Key& key, double level, double t, int16_t style) {
  if (level <= t) return 0;
  const double slope = TrendValue(key, 1, style) - level;
  if (!(slope < 0)) return kNeverDays;
  const double days = std::nearbyint((t - level) / slope);
  return days >= kNeverDays ? kNeverDays : static_cast<int32_t>(days);
}

namespace {

// Runs one stage of a series' forecast; what fails in it fails that series only, as an
// error result. Whether the stage completed.
template <class Stage>
bool Guarded(SeriesResult& r, Stage stage) {
  try {
    stage();
    return true;
  } catch (const RaisedError& e) {
    r.status = Status::kError;
    r.errorNumber = e.number;
    r.errorSource = e.source;
    r.errorDescription = Lines(e.description);
  } catch (const trend::Error& e) {
    r.status = Status::kError;
    r.errorNumber = e.number();
    r.errorSource = e.source();
    r.errorDescription = Lines(e.description());
  } catch (const std::exception& e) {
    r.status = Status::kError;
    r.errorSource = "trendhost";
    r.errorDescription = Masked(e.what());
  }
  return false;
}

// What the series' chart draws, from the rows and the forecast the series already holds.
ChartData ChartOf(const MeasuredSeries& m, const ModelForecast& f, const ReportRun& run) {
  const SeriesResult& r = m.result;
  const HourlyWindow& window = m.window;
  ChartData c;
  for (int back = kWindowDays - 1; back >= 0; --back) {
    double sum = 0, peak = 0;
    int n = 0;
    for (const auto& v : window.hours[back])
      if (v) {
        sum += *v;
        peak = n++ ? std::max(peak, *v) : *v;
      }
    if (n) c.days.push_back({-back, sum / n, peak});
  }
  c.fitted = m.fitted;
  const size_t shown =
      static_cast<size_t>(*std::max_element(run.horizons.begin(), run.horizons.end())) + 1;
  c.path.assign(f.path.begin(), f.path.begin() + static_cast<long>(std::min(shown, f.path.size())));
  c.lower.assign(f.lower.begin(), f.lower.begin() + static_cast<long>(c.path.size()));
  c.upper.assign(f.upper.begin(), f.upper.begin() + static_cast<long>(c.path.size()));
  if (r.status == Status::kExceeded || r.status == Status::kWarning) {
    for (int back = kHourlyShownDays - 1; back >= 0; --back)
      c.recentHours.insert(c.recentHours.end(), window.hours[back].begin(),
                           window.hours[back].end());
    HourlyPath hourly = HourlyForecast(window, m.target, f, kHourlyAheadDays);
    c.hourly = std::move(hourly.value);
    c.hourlyLower = std::move(hourly.lower);
    c.hourlyUpper = std::move(hourly.upper);
  }
  return c;
}

}  // namespace

MeasuredSeries Forecaster::Measure(const Series& series, const std::optional<Threshold>& threshold,
                                   const ReportRun& run) {
  MeasuredSeries m;
  SeriesResult& r = m.result;
  r.series = series;
  r.threshold = threshold;
  // The class keeps only the 182 days up to the last and reads every row of its range: it
  // is asked for its window alone (the same fit), and the older days are read once, below.
  const trend::Date windowStart = trend::AddDays(run.lastDay, -(kWindowDays - 1));
  const Key key{series.key.host, series.key.probe, series.key.arg,
                DayText(std::max(run.firstDay, windowStart)), DayText(run.lastDay)};
  const bool peakBasis = threshold && threshold->basis == Basis::kPeak;
  const bool below = threshold && threshold->direction == Direction::kBelow;
  const int16_t style = peakBasis ? 3 : 2;
  m.target = style == 3                                        ? Target::kPeak
             : threshold && threshold->basis == Basis::kTrough ? Target::kTrough
                                                               : Target::kMean;
  if (series.nameCut) {
    // Asking for the cut name would read another series, or none.
    r.status = Status::kError;
    r.errorSource = "trendhost";
    r.errorDescription =
        "the stored host, probe or argument name is longer than its column is described "
        "(shown cut short): correct or remove its rows";
    return m;
  }
  m.measured = Guarded(r, [&] {
    // The first call fits the model; the others answer from the remembered request.
    r.level = TrendValue(key, 0, style);
    for (int h : run.horizons) r.forecast.push_back(TrendValue(key, static_cast<float>(h), style));
    r.peak = TrendValue(key, static_cast<float>(run.horizons.front()), 3);
    const bool minima = m.target == Target::kTrough;
    m.window = Window(key, series, run, minima);
    // The range's days before the window, as daily values, for the models (the line reads
    // its window only); none are asked for where the series starts within the window.
    const trend::Date from = std::max(run.firstDay, series.firstDay);
    if (from < windowStart && run.model != "line")
      m.older = Database().Days(series.key, from, trend::AddDays(windowStart, -1), m.target);
    r.recentPeak = RecentPeak(m.window);
    if (threshold) {
      const float t = static_cast<float>(threshold->value);
      if (below) {
        r.daysToThreshold = DaysDownTo(key, *r.level, threshold->value, style);
      } else {
        r.daysToThreshold =
            Call(*daysToValue_, key, {SingleValue(t), SingleValue(0), IntegerValue(style)}).u.i4;
        // Hours above the threshold mean something for a ceiling only.
        r.timesExceeded = Call(*timesExceeded_, key, {SingleValue(t)}).u.i4;
      }
      if (*r.daysToThreshold != kNeverDays)
        r.crossingDate = DayAfter(run.lastDay, *r.daysToThreshold);
    }
    r.growth30 = Call(*growthRate_, key, {IntegerValue(30)}).u.r4;
    r.bestThreshold = Call(*bestThreshold_, key, {}).u.r4;
    r.stdDev = Call(*standardDeviation_, key, {}).u.r4;
    // Whether the series gets a chart is known after its model: its fitted line is read
    // now, while the class holds the series.
    if (run.drawsCharts) {
      const int start = -static_cast<int>(std::min<int64_t>(
          kWindowDays - 1, trend::CalendarDaysBetween(run.firstDay, run.lastDay)));
      for (int x = start; x < 0; x += 7)
        m.fitted.emplace_back(x, TrendValue(key, static_cast<float>(x), style));
    }
  });
  return m;
}

namespace {

// Right-sizing: whether a series with a ceiling is oversized (its busy hour's upper band
// stays under --oversized-below of the threshold through the longest horizon) or
// undersized (it reaches the threshold within it). The busy hour is forecast only where
// the row's own band leaves the answer open: a busy hour never lies under the mean.
void JudgeSize(SeriesResult& r, const MeasuredSeries& m, const ModelForecast& f,
               const ReportRun& run) {
  if (!r.threshold || r.threshold->direction != Direction::kAbove) return;
  const Status s = r.status;
  if (!IsCapacityStatus(s)) return;
  if (r.series.fitDays < kRightSizingDays) {
    r.rightSizing = "no recommendation: too little history";
    return;
  }
  const int longest = *std::max_element(run.horizons.begin(), run.horizons.end());
  const double t = r.threshold->value;
  if (s == Status::kExceeded ||
      (r.daysToThreshold && *r.daysToThreshold != kNeverDays && *r.daysToThreshold <= longest)) {
    r.rightSizing = "undersized";
    return;
  }
  const double limit = t * run.oversizedBelow / 100;
  double highest = HighestUpTo(f.upper, longest);
  if (highest >= limit) return;
  if (m.target != Target::kPeak) {
    bool known = true;
    const auto choice = ModelFromName(run.model, known);
    const ModelForecast peak = ForecastWindow(m.window, Target::kPeak, choice, longest,
                                              std::max(1, longest), r.threshold->unit == "%");
    highest = HighestUpTo(peak.upper, longest);
  }
  if (highest >= limit) return;
  r.rightSizing = "oversized";
  r.reclaimable = t - highest;
  if (t != 0) r.reclaimableShare = (t - highest) / t;
}

}  // namespace

SeriesResult FinishForecast(MeasuredSeries m, const ReportRun& run, ModelForecast* kept) {
  SeriesResult& r = m.result;
  if (!m.measured) return std::move(r);
  Guarded(r, [&] {
    const ModelForecast f = ApplyModel(r, m.window, run, m.target, m.older);
    if (kept) kept->path = f.path, kept->lower = f.lower, kept->upper = f.upper;
    // How long the days as measured have been at or beyond the threshold.
    const std::optional<int> back =
        r.threshold ? DaysAtOrBeyond(m.window, m.target, r.threshold->value,
                                     r.threshold->direction == Direction::kBelow)
                    : std::nullopt;
    r.status = StatusOf(r, run, back.has_value());
    if (r.status == Status::kExceeded)
      r.exceededSince = trend::AddDays(run.lastDay, -back.value_or(0));
    JudgeSize(r, m, f, run);
    if (run.drawsCharts && ChartCandidate(r))
      r.chart = std::make_shared<const ChartData>(ChartOf(m, f, run));
  });
  return std::move(r);
}

SeriesResult Forecaster::Forecast(const Series& series, const std::optional<Threshold>& threshold,
                                  const ReportRun& run) {
  return FinishForecast(Measure(series, threshold, run), run);
}

}  // namespace host
