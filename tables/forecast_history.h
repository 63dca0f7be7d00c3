// HX_FORECAST_HISTORY, the fleet report's results kept between runs: one row per series
// and recorded run. The host's own statements on it; values travel as parameters.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host_database.h"

namespace host {

struct RecordedRow {
  std::string runTime;  // UTC, "yyyy-mm-ddThh:mm:ss.mmmZ"
  trend::Date firstDay, lastDay;
  std::string model, thresholdsFile;
  SeriesKey key;
  std::optional<double> threshold;
  std::string direction, basis, status, seriesModel;
  std::optional<double> level;
  // JSON text: the forecast of each horizon by its days ({"30": 61.2, ...}), then, as later
  // runs record them, "lower", "upper" and "week" (objects of the same form), "trust",
  // "backtest_mase", "crossing_earliest" and "crossing_latest".
  std::string forecasts;
  std::optional<trend::Date> crossingDate;
  std::optional<double> daysToThreshold;
};

// What the comparison with the recorded runs reads of a row.
struct RecordedCrossing {
  SeriesKey key;
  std::optional<double> threshold;
  std::string direction, basis;
  std::optional<trend::Date> crossingDate;
  std::string status;  // the run's status of the series
};

class ForecastHistory {
 public:
  explicit ForecastHistory(HostDatabase& db) : db_(db) {}
  // Appends the `count` rows of one run in one transaction, all of them or none; `row(i)`
  // makes each as it is written (a batch at a time), so that a run of any size fits.
  void Append(size_t count, const std::function<RecordedRow(size_t)>& row);
  // The crossing of the latest recorded run before `before` of each series and threshold,
  // from runs of the last `days` days (of `hosts` only, when it is not empty), chosen on
  // the server. A row that cannot be read (NULL names) is skipped and counted: the count
  // is returned. A missing table is a trend::Error (IsMissingTable tells it).
  size_t Crossings(const std::string& before, int days, const std::vector<std::string>& hosts,
                   const std::function<void(const RecordedCrossing&)>& each);
  // Every recorded row of one series, oldest run first.
  std::vector<RecordedRow> Of(const SeriesKey& key);
  // The arguments recorded for a host's probe: each with its rows and its latest run.
  struct Argument {
    std::string arg;
    int64_t rows = 0;
    std::string latestRun;
  };
  std::vector<Argument> Arguments(const std::string& host, const std::string& probe);

 private:
  std::vector<RecordedRow> Read(const std::string& where,
                                const std::vector<trend::db::Parameter>& values);
  HostDatabase& db_;
};

// Whether a failed statement failed because its table does not exist.
bool IsMissingTable(const trend::Error& e);

// The current UTC time as RUN_TIME text.
std::string RunTimeNow();

}  // namespace host
