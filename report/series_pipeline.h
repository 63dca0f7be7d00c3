// One series' forecasts through Orrery's class, called through the frame's C interface,
// so that the report's figures are the class's figures, bit for bit.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "data_source.h"
#include "invoke.h"
#include "odbc.h"
#include "registry.h"
#include "report_types.h"
#include "window_forecast.h"

namespace host {

// A series as the class forecast it, with the rows its fit read: all that its model,
// status and chart need, without another call on the class.
struct MeasuredSeries {
  SeriesResult result;    // an error already, when a call on the class failed
  bool measured = false;  // every call on the class answered
  HourlyWindow window;
  std::vector<double> older;  // the range's days before the window, oldest first (NaN: none)
  Target target = Target::kMean;
  std::vector<std::pair<int, double>> fitted;  // the class's line weekly (charts only)
};

// One series' forecasts through Orrery's class: one instance, so that the requests of a
// series share its remembered fit and each series costs one query (the report's own
// models take the rows that fit read from the instance).
class Forecaster {
 public:
  static constexpr const char* kOrrery = "OrreryFunctions.OrreryClass";
  Forecaster(const std::string& library, const DatabaseLogin& login);
  // The series' forecast: Measure, then FinishForecast.
  SeriesResult Forecast(const Series& series, const std::optional<Threshold>& threshold,
                        const ReportRun& run);
  // Everything the series asks of the class (its query, its line, the crossings and
  // figures the class reports) and the rows its fit read.
  MeasuredSeries Measure(const Series& series, const std::optional<Threshold>& threshold,
                         const ReportRun& run);
  struct Key {
    std::string host, probe, arg, first, last;
  };
  double TrendValue(const Key& key, float days, int16_t style);

 private:
  int32_t DaysDownTo(const Key& key, double level, double t, int16_t style);
  // The series' hourly window: the rows the class's fit of `key` read, or (from a library
  // that does not hand them out) the same rows read again; with `minima`, each day's
  // lowest stored minimum too.
  HourlyWindow Window(const Key& key, const Series& series, const ReportRun& run, bool minima);
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

// The run's model on a measured series, then its status and chart (and the model's path
// and band in `kept`, when given). It calls nothing on the class, so it may run on any
// thread.
SeriesResult FinishForecast(MeasuredSeries m, const ReportRun& run, ModelForecast* kept = nullptr);

// The run's model applied to a series forecast by the class (see window_forecast.h); the
// model's forecast, as far as the crossings look.
ModelForecast ApplyModel(SeriesResult& r, const HourlyWindow& window, const ReportRun& run,
                         Target target, std::span<const double> older = {});

// A forecast series' status: stale; for fewer than kShortestDays days with data,
// exceeded where the days as measured reach the threshold (`measuredBeyond`: the last day
// with data at or beyond it), insufficient data else; no threshold; then the threshold
// reached (in its direction, or by a recent busy hour on the peak basis), never, warning
// or ok.
Status StatusOf(const SeriesResult& r, const ReportRun& run, bool measuredBeyond);

}  // namespace host
