// One series' forecasts through Orrery's class, called through the frame's C interface,
// so that the report's figures are the class's figures, bit for bit.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "data_source.h"
#include "forecasting.h"
#include "invoke.h"
#include "odbc.h"
#include "registry.h"
#include "report_types.h"

namespace host {

// One series' forecasts through Orrery's class: one instance, so that the requests of a
// series share its remembered fit and each series costs one query (the report's own
// models take the rows that fit read from the instance).
class Forecaster {
 public:
  static constexpr const char* kOrrery = "OrreryFunctions.OrreryClass";
  Forecaster(const std::string& library, const DatabaseLogin& login);
  SeriesResult Forecast(const Series& series, const std::optional<Threshold>& threshold,
                        const ReportRun& run);
  struct Key {
    std::string host, probe, arg, first, last;
  };
  double TrendValue(const Key& key, float days, int16_t style);

 private:
  // What the series' chart draws, from the rows and the forecast the series already holds.
  ChartData Chart(const Key& key, const SeriesResult& r, const HourlyWindow& window,
                  const ModelForecast& f, Target target, const ReportRun& run);
  int32_t DaysDownTo(const Key& key, double level, double t, int16_t style);
  // The series' hourly window: the rows the class's fit of `key` read, or (from a library
  // that does not hand them out) the same rows read again.
  HourlyWindow Window(const Key& key, const Series& series, const ReportRun& run);
  // The worker's own connection for the host's statements, opened on first use.
  HostDatabase& Database();
  TF_VARIANT Call(const TF_MethodInfo& m, const Key& key, std::vector<TF_VARIANT> extra);
  std::unique_ptr<LoadedClass> class_;
  Instance instance_;
  DataSourceObject dataSource_;
  const TF_MethodInfo *trendValue_, *daysToValue_, *growthRate_, *bestThreshold_,
      *standardDeviation_, *timesExceeded_;
  DatabaseLogin login_;
  std::unique_ptr<HostDatabase> db_;
};

// The run's model applied to a series forecast by the class (see forecasting.h); the
// model's forecast, as far as the crossings look.
ModelForecast ApplyModel(SeriesResult& r, const HourlyWindow& window, const ReportRun& run,
                         Target target);

// A forecast series' status: stale, insufficient data, no threshold, then the threshold
// reached (in its direction, or by a recent busy hour on the peak basis), never, warning
// or ok.
Status StatusOf(const SeriesResult& r, const ReportRun& run);

}  // namespace host
