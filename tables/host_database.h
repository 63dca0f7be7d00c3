// The series of a metric table and their history, read by the host itself over ODBC (the
// report's own statements; every forecast comes from the classes).
#pragma once

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "command.h"
#include "dates.h"
#include "odbc.h"

namespace host {

struct SeriesKey {
  std::string host, probe, arg;
  auto operator<=>(const SeriesKey&) const = default;
};

struct Series {
  SeriesKey key;
  int days = 0;                   // days with a row in the range
  int fitDays = 0;                // of those, the days within the model's 182-day window
  trend::Date firstDay, lastDay;  // the first and last of them
  // A stored name longer than the driver describes its column: the key holds its start
  // only, and the series cannot be read (it becomes an error row).
  bool nameCut = false;
};

// Empty, or the qualifier followed by "."; a qualifier that is not dotted plain names is a
// usage error.
std::string TablePrefix(const std::string& qualifier);

inline constexpr int kWindowDays = 182;  // the days the class's model reads
// Of those, the days with rows a full forecast takes (fewer: a short-history forecast), and
// the fewest for any forecast (fewer: insufficient data).
inline constexpr int kMinimumDays = 14;
inline constexpr int kShortestDays = 3;

// One series' hourly averages over a window, days back 0 (the last day) to 181; a missing
// hour is nullopt (no row, or the missing mark: an average of -1 or less with the minimum
// 1000000000).
struct HourlyWindow {
  std::array<std::array<std::optional<double>, 24>, kWindowDays> hours{};
  // Each day's lowest stored hourly minimum where the rows hold minima (the class's rows
  // always do; the host's own query reads them for a `trough` series only); nullopt else.
  std::array<std::optional<double>, kWindowDays> lowest{};
};

// One day's figures from its valid hours: their mean, the busiest and the quietest (NaN
// for a day without a valid hour). The quietest is the lowest stored minimum where the
// day has one, else the lowest hourly average.
struct DayFigures {
  double mean, peak, trough;
};
// The daily values a series is forecast on: the mean of the day's hours, its busiest hour,
// or its quietest.
enum class Target { kMean, kPeak, kTrough };
// A day's figure for `target`.
inline double Figure(const DayFigures& day, Target target) {
  return target == Target::kMean ? day.mean : target == Target::kPeak ? day.peak : day.trough;
}

// The figures of a day of hourly values (nullopt: no valid value that hour) and, where
// known, the day's lowest stored minimum.
DayFigures FiguresOf(const std::array<std::optional<double>, 24>& hours,
                     std::optional<double> lowest = std::nullopt);
// The lowest of a day's stored minima, over its valid hours: a minimum above its hour's
// average (a loader that stores none) does not count.
std::optional<double> LowestMinimum(const std::array<std::optional<double>, 24>& hours,
                                    const std::array<std::optional<double>, 24>& minima);

// The window of the hourly averages and minima a class's fit read (`days` rows of 24, the
// last day first; the missing mark as above).
HourlyWindow WindowOfRows(const double* average, const double* minimum, size_t days);

// Today's date on this machine's clock and time zone.
trend::Date Today();

// The ODBC layer's login of a command's login.
inline trend::db::Login OdbcLogin(const DatabaseLogin& l) {
  return {l.dsn, l.user, l.password};
}

// A connection of the host's own, for its statements.
class HostDatabase {
 public:
  explicit HostDatabase(const DatabaseLogin& login)
      : HostDatabase(OdbcLogin(login), login.qualifier) {}
  HostDatabase(const trend::db::Login& login, const std::string& qualifier);
  // The latest COLLECTION_DATE of HX_METRICS; when the table is empty, a usage error that
  // says there is nothing to `purpose`.
  trend::Date LatestDay(const std::string& purpose = "report (load samples with trendhost load)");
  // The latest day up to `notAfter` and the latest of all, by one query; with no rows up to
  // `notAfter`, LatestDay's error (saying "up to today" when later rows exist).
  std::pair<trend::Date, trend::Date> LatestDays(const std::string& purpose, trend::Date notAfter);
  // Every (HOSTNAME, PROBE, PROBE_ARG) of HX_METRICS with rows in [first, last], by one
  // grouped query, in key order.
  std::vector<Series> AllSeries(trend::Date first, trend::Date last);
  // The hourly averages of one series in the 182 days up to `last` (and not before
  // `first`), as the class reads them; with `minima`, also each day's lowest minimum.
  HourlyWindow Window(const SeriesKey& key, trend::Date first, trend::Date last,
                      bool minima = false);
  // Each day's figure for `target` from `first` to `last` of one series, oldest first, NaN
  // for a day without a row: the days older than the class's window, which the report's
  // own models read as daily values. The mean and the busiest hour are the stored
  // AVG_DAILY_VALUE and MAX_HOURLY_AVG (which every loader computes from the valid hours);
  // the quietest comes from the hours and their minima.
  std::vector<double> Days(const SeriesKey& key, trend::Date first, trend::Date last,
                           Target target);

  trend::db::Connection& connection() { return connection_; }
  const std::string& prefix() const { return prefix_; }

 private:
  // The statement reading one series' rows over a range of days (its parameters: the
  // first and last day, host, probe and argument): COLLECTION_DATE, then the 24 hourly
  // averages, NULL for an hour marked missing, then with `minima` the 24 hourly minima
  // (NULL alike).
  std::string HoursStatement(bool minima);
  // The same rows' COLLECTION_DATE and the daily `column`.
  std::string DailyStatement(const std::string& column);
  // One row of HoursStatement's result: its hours and, with `minima`, the day's lowest.
  static std::pair<std::array<std::optional<double>, 24>, std::optional<double>> HoursOf(
      trend::db::ResultSet& rs, bool minima);

  std::string prefix_;  // checked before the connection opens
  trend::db::Environment env_;
  trend::db::Connection connection_;
};

}  // namespace host
