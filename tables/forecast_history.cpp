#include "forecast_history.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "grouped_statement.h"
#include "module1.h"

namespace host {

namespace {

constexpr const char* kColumns =
    "RUN_TIME, FIRST_DAY, LAST_DAY, MODEL, THRESHOLDS_FILE, HOSTNAME, PROBE, PROBE_ARG, "
    "THRESHOLD, DIRECTION, BASIS, STATUS, SERIES_MODEL, LEVEL_VALUE, FORECASTS, CROSSING_DATE, "
    "DAYS_TO_THRESHOLD";
constexpr size_t kColumnCount = 17;

std::optional<double> MaybeNumber(const trend::Variant& v) {
  return v.IsNull() ? std::nullopt : std::optional<double>(v.ToDouble());
}

// A time as RUN_TIME text.
std::string RunTime(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(millis));
  return text;
}

}  // namespace

std::string RunTimeNow() {
  return RunTime(std::chrono::system_clock::now());
}

void ForecastHistory::Append(size_t count, const std::function<RecordedRow(size_t)>& row) {
  if (count == 0) return;
  constexpr size_t kBatch = 1000;
  std::string tuple = "(";
  for (size_t c = 0; c < kColumnCount; ++c) tuple += c ? ", ?" : "?";
  tuple += ")";
  trend::db::Transaction transaction(db_.connection());
  GroupedStatement insert(
      db_.connection(),
      "INSERT INTO " + db_.prefix() + "HX_FORECAST_HISTORY (" + kColumns + ") VALUES ", tuple, ", ",
      50);
  for (size_t from = 0; from < count; from += kBatch) {
    std::vector<std::string> runTime, model, thresholdsFile, hosts, probes, args, direction, basis,
        status, seriesModel, forecasts;
    std::vector<trend::Date> first, last;
    std::vector<std::optional<double>> threshold, level, days;
    std::vector<std::optional<trend::Date>> crossing;
    const size_t n = std::min(kBatch, count - from);
    for (size_t i = from; i < from + n; ++i) {
      const RecordedRow r = row(i);
      runTime.push_back(r.runTime);
      first.push_back(r.firstDay);
      last.push_back(r.lastDay);
      model.push_back(r.model);
      thresholdsFile.push_back(r.thresholdsFile);
      hosts.push_back(r.key.host);
      probes.push_back(r.key.probe);
      args.push_back(r.key.arg);
      threshold.push_back(r.threshold);
      direction.push_back(r.direction);
      basis.push_back(r.basis);
      status.push_back(r.status);
      seriesModel.push_back(r.seriesModel);
      level.push_back(r.level);
      forecasts.push_back(r.forecasts);
      crossing.push_back(r.crossingDate);
      days.push_back(r.daysToThreshold);
    }
    const std::vector<trend::db::ParameterColumn> columns = {
        runTime,   first, last,   model,       thresholdsFile, hosts,     probes,   args, threshold,
        direction, basis, status, seriesModel, level,          forecasts, crossing, days};
    insert.Execute(columns, n);
  }
  transaction.Commit();
}

std::vector<RecordedRow> ForecastHistory::Read(const std::string& where,
                                               const std::vector<trend::db::Parameter>& values) {
  std::vector<RecordedRow> out;
  auto rs = db_.connection().OpenResultSet(std::string("SELECT ") + kColumns + " FROM " +
                                               db_.prefix() + "HX_FORECAST_HISTORY WHERE " + where +
                                               " ORDER BY RUN_TIME",
                                           values);
  for (; !rs.AtEnd(); rs.MoveNext()) {
    RecordedRow r;
    r.runTime = rs.Value(0).ToText();
    r.firstDay = rs.Value(1).ToDate();
    r.lastDay = rs.Value(2).ToDate();
    r.model = rs.Value(3).ToText();
    r.thresholdsFile = rs.Value(4).ToText();
    r.key = {rs.Value(5).ToText(), rs.Value(6).ToText(), rs.Value(7).ToText()};
    r.threshold = MaybeNumber(rs.Value(8));
    r.direction = rs.Value(9).ToText();
    r.basis = rs.Value(10).ToText();
    r.status = rs.Value(11).ToText();
    r.seriesModel = rs.Value(12).ToText();
    r.level = MaybeNumber(rs.Value(13));
    r.forecasts = rs.Value(14).IsNull() ? std::string() : rs.Value(14).ToText();
    if (!rs.Value(15).IsNull()) r.crossingDate = rs.Value(15).ToDate();
    r.daysToThreshold = MaybeNumber(rs.Value(16));
    out.push_back(std::move(r));
  }
  return out;
}

bool IsMissingTable(const trend::Error& e) {
  return trend::DescribesMissingTable(e.description());
}

size_t ForecastHistory::Crossings(const std::string& before, int days,
                                  const std::vector<std::string>& hosts,
                                  const std::function<void(const RecordedCrossing&)>& each) {
  const std::string from =
      RunTime(std::chrono::system_clock::now() - std::chrono::hours(24) * days);
  std::string which = "RUN_TIME >= ? AND RUN_TIME < ?";
  std::vector<trend::db::Parameter> values = {from, before};
  if (!hosts.empty()) {
    which += " AND HOSTNAME IN (";
    for (size_t i = 0; i < hosts.size(); ++i) {
      which += i ? ", ?" : "?";
      values.push_back(hosts[i]);
    }
    which += ")";
  }
  // Only the latest run of each series and threshold leaves the server.
  auto rs = db_.connection().OpenResultSet(
      "SELECT HOSTNAME, PROBE, PROBE_ARG, THRESHOLD, DIRECTION, BASIS, CROSSING_DATE, STATUS FROM "
      "(SELECT HOSTNAME, PROBE, PROBE_ARG, THRESHOLD, DIRECTION, BASIS, CROSSING_DATE, STATUS, "
      "ROW_NUMBER() OVER "
      "(PARTITION BY HOSTNAME, PROBE, PROBE_ARG, THRESHOLD, DIRECTION, BASIS ORDER BY RUN_TIME "
      "DESC) AS NEWEST FROM " +
          db_.prefix() + "HX_FORECAST_HISTORY WHERE " + which + ") LATEST WHERE NEWEST = 1",
      values);
  RecordedCrossing c;
  size_t unreadable = 0;
  for (; !rs.AtEnd(); rs.MoveNext()) {
    try {
      c.key = {rs.Value(0).ToText(), rs.Value(1).ToText(), rs.Value(2).ToText()};
      c.threshold = MaybeNumber(rs.Value(3));
      c.direction = rs.Value(4).ToText();
      c.basis = rs.Value(5).ToText();
      c.crossingDate.reset();
      if (!rs.Value(6).IsNull()) c.crossingDate = rs.Value(6).ToDate();
      c.status = rs.Value(7).IsNull() ? std::string() : rs.Value(7).ToText();
    } catch (const trend::Error&) {
      ++unreadable;  // a row written by something else (NULL names, a broken date)
      continue;
    }
    each(c);
  }
  return unreadable;
}

std::vector<RecordedRow> ForecastHistory::Of(const SeriesKey& key) {
  return Read("HOSTNAME = ? AND PROBE = ? AND PROBE_ARG = ?", {key.host, key.probe, key.arg});
}

std::vector<ForecastHistory::Argument> ForecastHistory::Arguments(const std::string& host,
                                                                  const std::string& probe) {
  std::vector<Argument> out;
  auto rs = db_.connection().OpenResultSet(
      "SELECT PROBE_ARG, COUNT(*), MAX(RUN_TIME) FROM " + db_.prefix() +
          "HX_FORECAST_HISTORY WHERE HOSTNAME = ? AND PROBE = ? GROUP BY PROBE_ARG ORDER BY "
          "PROBE_ARG",
      {host, probe});
  for (; !rs.AtEnd(); rs.MoveNext())
    out.push_back(
        {rs.Value(0).ToText(), static_cast<int64_t>(rs.Value(1).ToDouble()), rs.Value(2).ToText()});
  return out;
}

}  // namespace host
