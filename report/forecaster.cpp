#include "forecaster.h"

#include <cmath>

#include "command.h"
#include "dates.h"
#include "error.h"

namespace host {

// ---- One series through the class ----

Status StatusOf(const SeriesResult& r, const ReportRun& run) {
  const Series& series = r.series;
  if (!series.lastDay.empty() &&
      trend::CalendarDaysBetween(trend::ParseDate(series.lastDay), trend::ParseDate(run.last)) >
          run.staleDays)
    return Status::kStale;
  if (series.fitDays < kMinimumDays) return Status::kInsufficientData;
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

Forecaster::Forecaster(const std::string& library, const trend::db::Login& login,
                       const std::string& qualifier)
    : class_(LoadClass(kOrrery, library)),
      instance_(*class_, kOrrery),
      dataSource_(login.dataSource, login.user, login.password, qualifier),
      login_(login),
      qualifier_(qualifier) {
  trendValue_ = &FindMethod(*class_, instance_.get(), "TrendValue");
  daysToValue_ = &FindMethod(*class_, instance_.get(), "DaysToValue");
  growthRate_ = &FindMethod(*class_, instance_.get(), "GrowthRate");
  bestThreshold_ = &FindMethod(*class_, instance_.get(), "BestThreshold");
  standardDeviation_ = &FindMethod(*class_, instance_.get(), "StandardDeviation");
  timesExceeded_ = &FindMethod(*class_, instance_.get(), "TimesExceeded");
}

HostDatabase& Forecaster::Database() {
  if (!db_) db_ = std::make_unique<HostDatabase>(login_, qualifier_);
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

SeriesResult Forecaster::Forecast(const Series& series, const std::optional<Threshold>& threshold,
                                  const ReportRun& run) {
  SeriesResult r;
  r.series = series;
  r.threshold = threshold;
  const Key key{series.key.host, series.key.probe, series.key.arg, run.first, run.last};
  const bool peakBasis = threshold && threshold->basis == Basis::kPeak;
  const bool below = threshold && threshold->direction == Direction::kBelow;
  const int16_t style = peakBasis ? 3 : 2;
  try {
    // The first call fits the model; the others answer from the remembered request.
    r.level = TrendValue(key, 0, style);
    for (int h : run.horizons) r.forecast.push_back(TrendValue(key, static_cast<float>(h), style));
    r.peak = TrendValue(key, static_cast<float>(run.horizons.front()), 3);
    r.recentPeak = Database().RecentPeak(series.key, trend::ParseDate(run.first),
                                         trend::ParseDate(run.last), kRecentPeakDays);
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
      if (*r.daysToThreshold != kNeverDays) {
        try {
          r.crossingDate =
              trend::FormatDate(trend::AddDays(trend::ParseDate(run.last), *r.daysToThreshold),
                                trend::DateFormat::kIsoDay);
        } catch (const trend::Error&) {
          // Beyond the calendar's last year, 9999: the days stand without a date.
        }
      }
    }
    r.growth30 = Call(*growthRate_, key, {IntegerValue(30)}).u.r4;
    r.bestThreshold = Call(*bestThreshold_, key, {}).u.r4;
    r.stdDev = Call(*standardDeviation_, key, {}).u.r4;
  } catch (const RaisedError& e) {
    r.status = Status::kError;
    r.errorNumber = e.number;
    r.errorSource = e.source;
    r.errorDescription = Lines(e.description);
    return r;
  } catch (const trend::Error& e) {
    r.status = Status::kError;
    r.errorNumber = e.number();
    r.errorSource = e.source();
    r.errorDescription = Lines(e.description());
    return r;
  } catch (const std::exception& e) {
    // Anything else that fails for one series fails that series only.
    r.status = Status::kError;
    r.errorSource = "trendhost";
    r.errorDescription = Masked(e.what());
    return r;
  }
  r.status = StatusOf(r, run);
  return r;
}

}  // namespace host
