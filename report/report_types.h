// The fleet report's types: its options, the resolved run, the statuses and one series'
// result. Everything else in report/ reads and writes these.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host_database.h"
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

}  // namespace host
