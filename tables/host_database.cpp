#include "host_database.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <deque>
#include <iterator>
#include <limits>
#include <tuple>

#include "command.h"
#include "error.h"
#include "hour_columns.h"
#include "hourly_fit.h"
#include "module1.h"

namespace host {

namespace {

// The rows of one series over a range of days; its parameters are SeriesDays'.
constexpr const char* kOneSeries =
    "HX_METRICS WHERE COLLECTION_DATE BETWEEN ? AND ? AND HOSTNAME = ? AND PROBE = ? AND "
    "PROBE_ARG = ?";

std::vector<trend::db::Parameter> SeriesDays(const SeriesKey& key, trend::Date first,
                                             trend::Date last) {
  return {first, last, key.host, key.probe, key.arg};
}

}  // namespace

std::string TablePrefix(const std::string& qualifier) {
  if (qualifier.empty()) return {};
  if (!trend::Module1::ValidQualifier(qualifier))
    throw UsageError("the qualifier \"" + qualifier +
                     "\" is not a table qualifier (one or more names of letters, digits, _ "
                     "and $, not starting with a digit, joined by dots)");
  return qualifier + ".";
}

HostDatabase::HostDatabase(const trend::db::Login& login, const std::string& qualifier)
    : prefix_(TablePrefix(qualifier)), connection_(trend::db::Connection::Open(env_, login)) {}

trend::Date HostDatabase::LatestDay(const std::string& purpose) {
  auto rs = connection_.OpenResultSet("SELECT MAX(COLLECTION_DATE) AS LAST_DAY FROM " + prefix_ +
                                      "HX_METRICS");
  if (rs.AtEnd() || rs.Value(0).IsNull())
    throw UsageError(prefix_ + "HX_METRICS holds no rows: nothing to " + purpose);
  return rs.Value(0).ToDate();
}

std::pair<trend::Date, trend::Date> HostDatabase::LatestDays(const std::string& purpose,
                                                             trend::Date notAfter) {
  auto rs = connection_.OpenResultSet(
      "SELECT MAX(CASE WHEN COLLECTION_DATE <= ? THEN COLLECTION_DATE END) AS LAST_DAY, "
      "MAX(COLLECTION_DATE) AS LATEST_DAY FROM " +
          prefix_ + "HX_METRICS",
      {notAfter});
  if (rs.AtEnd() || rs.Value(0).IsNull())
    throw UsageError(prefix_ + "HX_METRICS holds no rows" +
                     (rs.AtEnd() || rs.Value(1).IsNull() ? std::string() : " up to today") +
                     ": nothing to " + purpose);
  return {rs.Value(0).ToDate(), rs.Value(1).ToDate()};
}

trend::Date Today() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return trend::MakeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

std::vector<Series> HostDatabase::AllSeries(trend::Date first, trend::Date last) {
  const trend::Date fitStart = trend::AddDays(last, -181);
  // A range of the model's 182 days or fewer lies wholly in its window: its days are the
  // window's days, and the second distinct count (the dearer half of the statement on some
  // servers) is left out.
  const bool windowOnly = first >= fitStart;
  const std::string sql =
      "SELECT HOSTNAME, PROBE, PROBE_ARG, COUNT(DISTINCT COLLECTION_DATE) AS DAYS, " +
      (windowOnly ? std::string()
                  : "COUNT(DISTINCT CASE WHEN COLLECTION_DATE >= ? THEN COLLECTION_DATE END) AS "
                    "FIT_DAYS, ") +
      "MIN(COLLECTION_DATE) AS FIRST_DAY, MAX(COLLECTION_DATE) AS LAST_DAY FROM " + prefix_ +
      "HX_METRICS WHERE COLLECTION_DATE BETWEEN ? AND ? GROUP BY HOSTNAME, PROBE, PROBE_ARG "
      "ORDER BY HOSTNAME, PROBE, PROBE_ARG";
  std::vector<trend::db::Parameter> days = {first, last};
  if (!windowOnly) days.insert(days.begin(), fitStart);
  const int dayColumns = windowOnly ? 4 : 5;
  // Read into a deque and moved into a vector of the exact size: a fleet's list is never
  // held twice while it grows, nor beside the driver's copy of the result.
  std::deque<Series> read;
  auto rs = connection_.OpenResultSet(sql, days);
  for (; !rs.AtEnd(); rs.MoveNext()) {
    Series s;
    bool whole[3];
    s.key = {rs.TextPrefix(0, whole[0]), rs.TextPrefix(1, whole[1]), rs.TextPrefix(2, whole[2])};
    s.nameCut = !whole[0] || !whole[1] || !whole[2];
    s.days = rs.Value(3).ToInt32();
    s.fitDays = windowOnly ? s.days : rs.Value(4).ToInt32();
    s.firstDay = rs.Value(dayColumns).ToDate();
    s.lastDay = rs.Value(dayColumns + 1).ToDate();
    read.push_back(std::move(s));
  }
  rs.Close();
  std::vector<Series> out(std::make_move_iterator(read.begin()),
                          std::make_move_iterator(read.end()));
  std::deque<Series>().swap(read);
  // The database's collation may differ from byte order: sort here, so that every backend
  // and every run lists the series alike.
  std::sort(out.begin(), out.end(), [](const Series& a, const Series& b) { return a.key < b.key; });
  return out;
}

HourlyWindow WindowOfRows(const double* average, const double* minimum, size_t days) {
  HourlyWindow w;
  for (size_t d = 0; d < std::min<size_t>(days, kWindowDays); ++d) {
    std::array<std::optional<double>, 24> minima;
    for (size_t h = 0; h < 24; ++h) {
      const size_t i = d * 24 + h;
      if (trend::IsMissingCell(average[i], minimum[i])) continue;
      w.hours[d][h] = average[i];
      minima[h] = minimum[i];
    }
    w.lowest[d] = LowestMinimum(w.hours[d], minima);
  }
  return w;
}

std::string HostDatabase::HoursStatement(bool minima) {
  // An hour marked missing (an average of -1 or less with the minimum 1e9) comes back as
  // NULL: the server compares, and without minima half the columns travel.
  std::string hours;
  for (const char* column : {"AVG_VALUE_", "MIN_VALUE_"}) {
    for (int h = 0; h < 24; ++h) {
      const std::string avg = trend::HourColumn("AVG_VALUE_", h);
      hours += ", CASE WHEN " + avg + " <= -1 AND " + trend::HourColumn("MIN_VALUE_", h) +
               " = 1000000000 THEN NULL ELSE " + trend::HourColumn(column, h) + " END";
    }
    if (!minima) break;
  }
  return "SELECT COLLECTION_DATE" + hours + " FROM " + prefix_ + kOneSeries;
}

std::pair<std::array<std::optional<double>, 24>, std::optional<double>> HostDatabase::HoursOf(
    trend::db::ResultSet& rs, bool minima) {
  std::array<std::optional<double>, 24> hours, least;
  for (int h = 0; h < 24; ++h) {
    hours[static_cast<size_t>(h)] = rs.OptionalDouble(1 + h);
    if (minima) least[static_cast<size_t>(h)] = rs.OptionalDouble(25 + h);
  }
  return {hours, minima ? LowestMinimum(hours, least) : std::nullopt};
}

HourlyWindow HostDatabase::Window(const SeriesKey& key, trend::Date first, trend::Date last,
                                  bool minima) {
  const trend::Date start = std::max(first, trend::AddDays(last, -(kWindowDays - 1)));
  HourlyWindow w;
  auto rs = connection_.OpenResultSet(HoursStatement(minima), SeriesDays(key, start, last));
  for (; !rs.AtEnd(); rs.MoveNext()) {
    const int64_t back = trend::CalendarDaysBetween(rs.Value(0).ToDate(), last);
    if (back < 0 || back >= kWindowDays) continue;
    const size_t at = static_cast<size_t>(back);
    std::tie(w.hours[at], w.lowest[at]) = HoursOf(rs, minima);
  }
  rs.Close();
  return w;
}

std::vector<double> HostDatabase::Days(const SeriesKey& key, trend::Date first, trend::Date last,
                                       Target target) {
  if (first > last) return {};
  std::vector<double> out(static_cast<size_t>(trend::CalendarDaysBetween(first, last) + 1),
                          std::numeric_limits<double>::quiet_NaN());
  // The day's mean and busiest hour are its stored daily columns (a fifth of the cost of
  // the server adding up the hours); the quietest comes from the hours and their minima.
  const bool daily = target != Target::kTrough;
  auto rs = connection_.OpenResultSet(
      daily ? DailyStatement(target == Target::kMean ? "AVG_DAILY_VALUE" : "MAX_HOURLY_AVG")
            : HoursStatement(true),
      SeriesDays(key, first, last));
  for (; !rs.AtEnd(); rs.MoveNext()) {
    const int64_t at = trend::CalendarDaysBetween(first, rs.Value(0).ToDate());
    if (at < 0 || at >= static_cast<int64_t>(out.size())) continue;
    if (daily) {
      if (const auto v = rs.OptionalDouble(1)) out[static_cast<size_t>(at)] = *v;
      continue;
    }
    const auto [hours, lowest] = HoursOf(rs, true);
    out[static_cast<size_t>(at)] = Figure(FiguresOf(hours, lowest), target);
  }
  rs.Close();
  return out;
}

std::string HostDatabase::DailyStatement(const std::string& column) {
  return "SELECT COLLECTION_DATE, " + column + " FROM " + prefix_ + kOneSeries;
}

DayFigures FiguresOf(const std::array<std::optional<double>, 24>& hours,
                     std::optional<double> lowest) {
  const double none = std::numeric_limits<double>::quiet_NaN();
  double sum = 0, most = -std::numeric_limits<double>::infinity(), least = -most;
  int n = 0;
  for (const auto& v : hours)
    if (v) sum += *v, most = std::max(most, *v), least = std::min(least, *v), ++n;
  return n ? DayFigures{sum / n, most, lowest ? std::min(least, *lowest) : least}
           : DayFigures{none, none, none};
}

std::optional<double> LowestMinimum(const std::array<std::optional<double>, 24>& hours,
                                    const std::array<std::optional<double>, 24>& minima) {
  std::optional<double> lowest;
  for (size_t h = 0; h < 24; ++h)
    if (hours[h] && minima[h] && std::isfinite(*minima[h]) && *minima[h] <= *hours[h])
      lowest = lowest ? std::min(*lowest, *minima[h]) : *minima[h];
  return lowest;
}

}  // namespace host
