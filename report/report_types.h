// The fleet report's types: its options, the resolved run, the statuses and one series'
// result. Everything else in report/ reads and writes these.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host_database.h"
#include "thresholds.h"

namespace host {

inline constexpr int kExitSomeSeriesFailed = 3;
inline constexpr int kExitNotRecorded = 4;     // the report is written; --record failed
inline constexpr int kNeverDays = 999999;      // DaysToValue's "no growth toward it"
inline constexpr int kRecentPeakDays = 14;     // the days with rows that recent_peak looks at
inline constexpr int kFarDays = 3652;          // beyond ten years a crossing is "> 10 years"
inline constexpr int kDefaultRangeDays = 730;  // the range without --first: two years
inline constexpr int kModelReach = 3652;       // the days a model's path is followed for a crossing
inline constexpr int kHourlyShownDays = 14;    // measured days before an hourly forecast chart
inline constexpr int kHourlyAheadDays = 21;    // the days that chart forecasts
inline constexpr int kRightSizingDays = 28;    // days of busy hours before a recommendation

struct ReportOptions {
  DatabaseLogin login;
  std::string library;
  std::string first, last;  // empty: the latest day of the table and 729 days before it
  std::vector<std::string> hostPatterns, probePatterns;
  std::string thresholdsFile;
  std::string ackFile;         // acknowledged series (acknowledgements.h)
  std::string groupsFile;      // services planned together (groups.h)
  std::string scenarioFile;    // what-if scenarios (scenarios.h)
  std::string untilDay;        // --until: what it takes to last until that day (empty: not asked)
  bool groupsOnly = false;     // CSV: the groups' rows alone
  double oversizedBelow = 50;  // percent of the threshold the busy hour's band stays under
  std::vector<int> horizons = {30, 90};
  int warnDays = 30;
  int staleDays = 7;        // a series silent longer before the last day is stale
  int jobs = 0;             // 0: one per core
  int workerTimeout = 600;  // seconds a worker may stay silent before it is stopped
  std::string format = "table";
  std::string output, charts;
  bool quiet = false;
  bool csvRaw = false;         // CSV text cells as they are, formulas and all
  bool record = false;         // keep the run's results in HX_FORECAST_HISTORY
  std::string model = "auto";  // auto, line, ets, theta, recent-rate, trend, seasonal-naive,
                               // mean7
};

// The statuses, in the order of urgency the report is sorted by.
enum class Status {
  kExceeded,
  kWarning,
  kOk,
  kNever,
  kAcknowledged,  // a capacity status held quiet by an acknowledgement in force
  kNoThreshold,
  kInsufficientData,
  kStale,
  kError
};
const char* StatusName(Status s);
// Whether a status answers the capacity question (exceeded, warning, ok, never): the series
// has a threshold and a forecast of recent data.
inline bool IsCapacityStatus(Status s) {
  return s == Status::kExceeded || s == Status::kWarning || s == Status::kOk || s == Status::kNever;
}

// A day as the report writes it, "yyyy-mm-dd"; "" for none.
std::string DayText(std::optional<trend::Date> day);
// A day text of the report's records (JSON, the workers' lines); "" is none.
std::optional<trend::Date> DayFromText(const std::string& text);
inline constexpr Status kAllStatuses[] = {Status::kExceeded,
                                          Status::kWarning,
                                          Status::kOk,
                                          Status::kNever,
                                          Status::kAcknowledged,
                                          Status::kNoThreshold,
                                          Status::kInsufficientData,
                                          Status::kStale,
                                          Status::kError};

// What a series' chart draws, kept from its forecast so that the charts read nothing
// again: the daily means and peaks of the window (days from the last day, oldest first),
// the class's fitted line weekly over it, and the model's path with its 80 % interval from
// day 0 to the last horizon.
struct ChartData {
  struct Day {
    int offset;  // 0: the last day, -1 the day before
    double mean, peak;
  };
  std::vector<Day> days;
  std::vector<std::pair<int, double>> fitted;
  std::vector<double> path, lower, upper;
  // For an exceeded or warning series, hour by hour: the last kHourlyShownDays days as
  // measured (from day 1 - kHourlyShownDays at 00:00), then the hourly forecast with its
  // band for the kHourlyAheadDays days after the last day.
  std::vector<std::optional<double>> recentHours;
  std::vector<double> hourly, hourlyLower, hourlyUpper;
};

struct SeriesResult {
  Series series;
  std::optional<Threshold> threshold;
  Status status = Status::kError;
  // The line the threshold's basis names (the daily mean, style 2, or the busy hour,
  // style 3; style 2 without a threshold) at day 0 and at each horizon.
  std::optional<double> level;
  std::vector<std::optional<double>> forecast;
  std::optional<double> peak;        // TrendValue at the first horizon, style 3
  std::optional<double> recentPeak;  // largest hourly average of the last 14 days with rows
  // Days until the line reaches the threshold in its direction; kNeverDays when it never
  // does (shown as null).
  std::optional<int32_t> daysToThreshold;
  std::optional<trend::Date> crossingDate;  // last day + daysToThreshold (none for never)
  // The model the numbers come from, its backtest error, the 80 % interval at each
  // horizon, and the days its upper and lower bounds reach the threshold.
  std::string model;
  std::optional<double> backtestMase;
  // How far the backtest judged it (days), its skill over seasonal naive on the same
  // backtest (1 - the MASE ratio), the share of the backtest's actual days inside the band,
  // and the trust these add up to (high, medium, low).
  std::optional<int32_t> backtestLead;
  std::optional<double> skill, coverage;
  std::string trust;
  // The probability of reaching the threshold within 30, 90 and 180 days.
  std::optional<double> pCross30, pCross90, pCross180;
  std::vector<std::optional<double>> lower, upper;
  // At each horizon N, the week around it: days N-3..N+3 of the model's path (from day 0
  // for N < 3), their mean on the mean basis, their largest on the peak basis, their
  // smallest on the trough basis. A single day carries its weekday's effect.
  std::vector<std::optional<double>> week;
  std::optional<trend::Date> crossingEarliest, crossingLatest;
  // The crossing of the latest recorded run with the same threshold, and how many days
  // this run's crossing lies after it (negative: earlier).
  std::optional<trend::Date> previousCrossing;
  std::optional<int> crossingShiftDays;
  // "now never" where the recorded run crossed and this one never does, "new" the other way.
  std::string crossingShift;
  // For an exceeded series, the first day of the current run of days at or beyond the
  // threshold (the report's last day when only the forecast's level reaches it).
  std::optional<trend::Date> exceededSince;
  // The acknowledgement in force (or the one that ran out, flagged "ack expired").
  std::optional<trend::Date> ackUntil;
  std::string ackOwner, ackNote;
  // What the row's reader should know beside its status: "short history" (a forecast
  // from fewer days than a full fit takes), "ack expired".
  std::vector<std::string> flags;
  // With --until: the threshold that would last until that day (the band's far edge at
  // its highest, or lowest for a falling resource, up to it, on the row's basis).
  std::optional<double> neededUntil;
  // Right-sizing, for a series with a ceiling: "oversized" (the busy hour's upper band stays
  // under --oversized-below of the threshold through the longest horizon), "undersized"
  // (it crosses within it), "no recommendation: too little history", or nothing; for an
  // oversized one, what could be reclaimed (the threshold less that band's highest value)
  // and its share of the threshold.
  std::string rightSizing;
  std::optional<double> reclaimable, reclaimableShare;
  // With --scenario: "baseline", or the what-if scenario the row's figures come from.
  std::string scenario;
  std::optional<float> growth30, bestThreshold, stdDev;
  std::optional<int32_t> timesExceeded;
  std::optional<int32_t> errorNumber;
  std::string errorSource, errorDescription;
  // For a series the charts may show, when they are drawn (held apart: most results carry
  // none, and a fleet's results are held together until the report is sorted).
  std::shared_ptr<const ChartData> chart;
};

// A run: its options, resolved (each horizon once, the number of workers), and what
// resolving adds.
struct GroupPlan;       // groups.h
struct ScenarioTarget;  // scenarios.h

struct ReportRun : ReportOptions {
  trend::Date firstDay, lastDay;     // the range of days
  bool drawsCharts = false;          // the output draws charts: the workers keep what they show
  double seconds = 0;                // how long the forecasts took
  int64_t runTime = 0;               // when the run was planned, Unix seconds
  std::optional<trend::Date> until;  // --until, resolved
  // The groups and their member series, where the run has any: the workers gather the
  // members' hours as they read them.
  std::shared_ptr<const GroupPlan> groups;
  // The what-if scenarios (--scenario), resolved against the groups and the series.
  std::shared_ptr<const std::vector<ScenarioTarget>> scenarios;
};

}  // namespace host
