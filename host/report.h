// trendhost report: the fleet capacity report. Every series of HX_METRICS in the range is
// forecast through the frame's C interface by Orrery's class (so its figures are the
// class's figures, bit for bit), given a status against its threshold, and written as a
// table, CSV, JSON, Markdown or a self-contained HTML page.
//
// Workers are processes, each with its own instance and its own connection (the
// apartment rule): inside one process the SQLite ODBC stack serialises threads, while
// processes scale with the cores on every backend.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host.h"
#include "series.h"
#include "thresholds.h"

namespace host {

inline constexpr int kExitSomeSeriesFailed = 3;
inline constexpr int kNeverDays = 999999;  // DaysToValue's "no growth toward it"
inline constexpr int kMinimumDays = 14;    // fewer days with rows: insufficient data

struct ReportOptions {
  std::string dsn, user, password, qualifier, library;
  std::string first, last;  // empty: the latest day of the table and 181 days before it
  std::vector<std::string> hostPatterns, probePatterns;
  std::string thresholdsFile;
  std::vector<int> horizons = {30, 90};
  int warnDays = 30;
  int jobs = 0;  // 0: one per core
  std::string format = "table";
  std::string output, charts;
  bool quiet = false;
};

// The statuses, in the order of urgency the report is sorted by.
enum class Status { kExceeded, kWarning, kOk, kNever, kNoThreshold, kInsufficientData, kError };
const char* StatusName(Status s);
inline constexpr Status kAllStatuses[] = {
    Status::kExceeded,    Status::kWarning,          Status::kOk,   Status::kNever,
    Status::kNoThreshold, Status::kInsufficientData, Status::kError};

struct SeriesResult {
  Series series;
  std::optional<Threshold> threshold;
  Status status = Status::kError;
  std::optional<double> level;                  // TrendValue at day 0, style 2
  std::vector<std::optional<double>> forecast;  // TrendValue at each horizon, style 2
  std::optional<double> peak;                   // TrendValue at the first horizon, style 3
  std::optional<int32_t> daysToThreshold;       // DaysToValue, style 2
  std::string crossingDate;                     // last day + daysToThreshold ("" for never)
  std::optional<float> growth30, bestThreshold, stdDev;
  std::optional<int32_t> timesExceeded;
  std::optional<int32_t> errorNumber;
  std::string errorSource, errorDescription;
};

// The run's parameters, as resolved.
struct ReportRun {
  std::string dsn, qualifier, first, last, thresholdsFile;
  std::vector<int> horizons;
  int warnDays = 0, jobs = 0;
  std::vector<std::string> hostPatterns, probePatterns;
  double seconds = 0;  // how long the forecasts took
};

// One series' forecasts through Orrery's class: one instance, so that the requests of a
// series share its remembered fit and each series costs one query.
class Forecaster {
 public:
  static constexpr const char* kOrrery = "OrreryFunctions.OrreryClass";
  Forecaster(const std::string& library, const trend::db::Login& login,
             const std::string& qualifier);
  SeriesResult Forecast(const Series& series, const std::optional<Threshold>& threshold,
                        const ReportRun& run);
  struct Key {
    std::string host, probe, arg, first, last;
  };
  double TrendValue(const Key& key, float days, int16_t style);

 private:
  TF_VARIANT Call(const TF_MethodInfo& m, const Key& key, std::vector<TF_VARIANT> extra);
  std::unique_ptr<LoadedClass> class_;
  Instance instance_;
  DataSourceObject dataSource_;
  const TF_MethodInfo *trendValue_, *daysToValue_, *growthRate_, *bestThreshold_,
      *standardDeviation_, *timesExceeded_;
};

// The report's order: status, then crossing date (earliest first, none last), then key.
bool MoreUrgent(const SeriesResult& a, const SeriesResult& b);

// The run's parameters resolved, and the series with their thresholds, from one grouped
// query; the connection is closed again.
struct ReportPlan {
  ReportRun run;
  std::vector<Series> series;
  std::vector<std::optional<Threshold>> thresholds;  // one per series
};
ReportPlan PlanReport(const ReportOptions& options);

// Sorts the results by urgency and writes them; the exit status (3 when a series failed).
int FinishReport(std::vector<SeriesResult> results, const ReportRun& run,
                 const ReportOptions& options);

int Report(const ReportOptions& options);

}  // namespace host
