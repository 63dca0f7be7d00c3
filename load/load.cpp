#include "load.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <ext/stdio_filebuf.h>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>
#include <variant>

#include "array_statement.h"
#include "command.h"
#include "error.h"
#include "grouped_statement.h"
#include "host_database.h"
#include "hour_columns.h"
#include "hourly_fit.h"
#include "module1.h"
#include "odbc.h"
#include "program.h"
#include "prometheus.h"
#include "samples.h"

namespace host {

namespace {

constexpr size_t kBatchRows = 1000;
constexpr std::chrono::seconds kBusyWait{300};
// Keys in one statement (measured: larger groups gain nothing on MariaDB).
constexpr size_t kGroupRows = 20;
// Parameters in one statement: the least limit of the backends (SQLite's default).
constexpr size_t kParameters = 999;

std::string Day(trend::Date d) {
  return trend::FormatDate(d, trend::DateFormat::kIsoDay);
}

// A load replaces the hours it has samples for and keeps the other hours of a stored row
// (an hourly run of the same day keeps the hours before it); the daily columns are then
// recomputed from the merged hours. In the mail tables the day's largest sample is the
// larger of the run's and the stored row's while any stored hour stays.
// The stored rows are read a group of series at a time, each over the run's days of that
// series, so the series index finds them however large the table is.
void MergeStoredHours(HostDatabase& db, const std::string& table, bool mail,
                      std::vector<DayRow>& rows) {
  struct Days {
    trend::Date first, last;
    std::map<trend::Date, size_t> rows;
  };
  std::map<SeriesKey, Days> bySeries;
  for (size_t i = 0; i < rows.size(); ++i) {
    // A day the run has every hour of keeps nothing of the stored row.
    bool whole = true;
    for (int h = 0; h < 24; ++h)
      whole = whole && !trend::IsMissingCell(rows[i].avg[h], rows[i].min[h]);
    if (whole) continue;
    auto [it, added] = bySeries.try_emplace(rows[i].key, Days{rows[i].day, rows[i].day, {}});
    it->second.first = std::min(it->second.first, rows[i].day);
    it->second.last = std::max(it->second.last, rows[i].day);
    it->second.rows[rows[i].day] = i;
  }
  const std::string columns =
      "HOSTNAME, PROBE, PROBE_ARG, COLLECTION_DATE" + trend::HourColumns("AVG_VALUE_", ", ", "") +
      trend::HourColumns("MIN_VALUE_", ", ", "") + (mail ? ", MAX_DAILY_VALUE" : "");
  for (auto group = bySeries.begin(); group != bySeries.end();) {
    std::string where;
    std::vector<trend::db::Parameter> values;
    for (size_t n = 0; n < kGroupRows && group != bySeries.end(); ++n, ++group) {
      const auto& [key, days] = *group;
      where += std::string(n ? " OR " : "") +
               "(HOSTNAME = ? AND PROBE = ? AND PROBE_ARG = ? AND COLLECTION_DATE BETWEEN ? AND ?)";
      values.insert(values.end(), {key.host, key.probe, key.arg, days.first, days.last});
    }
    auto rs = db.connection().OpenResultSet(
        "SELECT " + columns + " FROM " + table + " WHERE " + where, values);
    for (; !rs.AtEnd(); rs.MoveNext()) {
      // Keys match exactly, byte for byte, whatever the table's collation.
      const auto series = bySeries.find(
          SeriesKey{rs.Value(0).ToText(), rs.Value(1).ToText(), rs.Value(2).ToText()});
      if (series == bySeries.end()) continue;
      const auto day = series->second.rows.find(rs.Value(3).ToDate());
      if (day == series->second.rows.end()) continue;
      DayRow& r = rows[day->second];
      bool kept = false;
      for (int h = 0; h < 24; ++h) {
        if (!trend::IsMissingCell(r.avg[h], r.min[h])) continue;  // the run's hour
        const auto avg = rs.OptionalDouble(4 + h), min = rs.OptionalDouble(28 + h);
        if (!avg || !min) continue;
        r.avg[h] = *avg;
        r.min[h] = *min;
        kept = kept || !trend::IsMissingCell(r.avg[h], r.min[h]);
      }
      if (mail && kept)
        if (const auto largest = rs.OptionalDouble(52))
          r.maxSample = std::max(r.maxSample, *largest);
      SetDailyColumns(r);
    }
    rs.Close();
  }
}

// Unix seconds of local midnight of a day in the zone.
int64_t LocalMidnight(const std::string& day, const char* option, const TimeZone& zone) {
  const trend::Date d = DayOption(day, option);
  const int64_t days = trend::CalendarDaysBetween(trend::MakeDate(1970, 1, 1), d);
  return zone.FromLocal(days * 86400);
}

// The samples of --prometheus: each --query with its --probe (or the lines of
// --prometheus-map), from --start to the end of --end (default: the last seven days).
PrometheusCounts FromPrometheus(const LoadOptions& o, const TimeZone& zone, Aggregator& out) {
  const auto& p = o.prometheus;
  PrometheusSource s;
  s.url = p.url;
  if (p.url.rfind("http://", 0) != 0 && p.url.rfind("https://", 0) != 0)
    throw UsageError("--prometheus " + Shown(p.url) + " is not an http:// or https:// address");
  if (!p.map.empty()) s.queries = ReadPrometheusMap(p.map);
  if (p.queries.size() != p.probes.size())
    throw UsageError("each --query needs its --probe (" + std::to_string(p.queries.size()) +
                     " queries, " + std::to_string(p.probes.size()) + " probes)");
  for (size_t i = 0; i < p.queries.size(); ++i) {
    if (const auto fault = NameFault(p.probes[i]))
      throw UsageError("--probe " + Visible(p.probes[i]) + " " + *fault);
    s.queries.push_back({p.queries[i], p.probes[i], p.argLabel});
  }
  if (s.queries.empty())
    throw UsageError("--prometheus needs --query and --probe, or --prometheus-map");
  s.hostLabel = p.hostLabel;
  s.step = ParseStep(p.step);
  if (s.step <= 0)
    throw UsageError("--step " + Visible(p.step) +
                     " is not a duration from 1s to 24h (30s, 5m, 1h)");
  s.headers = p.headers;
  for (const auto& h : s.headers) {
    const size_t colon = h.find(':');
    if (colon == std::string::npos || colon == 0 ||
        h.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
      throw UsageError("a header is not Name: value (its value is not shown)");
  }
  if (p.timeout < 1) throw UsageError("--timeout must be at least 1 second");
  s.timeoutSeconds = p.timeout;
  if (p.pointsPerQuery < 1 || p.pointsPerQuery > kMaxPointsPerQuery)
    throw UsageError("--points-per-query must lie between 1 and " +
                     std::to_string(kMaxPointsPerQuery));
  s.pointsPerQuery = p.pointsPerQuery;
  if (p.maxAnswerMb < 1 || p.maxAnswerMb > 65536)
    throw UsageError("--max-answer-mb must lie between 1 and 65536");
  s.maxBodyBytes = p.maxAnswerMb << 20;
  s.allowEmpty = p.allowEmpty;
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  s.end = p.end.empty() ? now : LocalMidnight(p.end, "--end", zone) + 86400 - s.step;
  s.start = p.start.empty() ? s.end - 7 * 86400 + s.step : LocalMidnight(p.start, "--start", zone);
  if (s.start > s.end) throw UsageError("--start lies after --end");
  s.start = (s.start + s.step - 1) / s.step * s.step;  // on the step's grid, as stored samples are
  return ReadPrometheus(s, out);
}

// How long sadf may take for one daily file (a day of one-second samples takes a few
// seconds), and how much of what it says on standard error a message quotes.
constexpr int kSadfSeconds = 600;
constexpr size_t kSadfMessageBytes = 4096;

// The text `sadf -d` makes of a daily file, run without a shell, in an unlinked temporary
// file that the reader streams; a file it cannot read (another sysstat version, not an sa
// file) is an error naming the file and what sadf said.
std::unique_ptr<FILE, decltype(&std::fclose)> SadfOutput(const std::string& file) {
  if (file == "-")
    throw UsageError(
        "--format sa reads sysstat's daily files by name; \"-\" (standard input) "
        "is not one: save it to a file, or pipe sadf -d output with --format sadf");
  if (file.find_first_not_of(" \t") == std::string::npos)
    throw UsageError("a file name is empty or blank");
  std::unique_ptr<FILE, decltype(&std::fclose)> out(std::tmpfile(), std::fclose);
  if (!out)
    throw CallFailed("cannot create a temporary file: " + std::string(std::strerror(errno)));
  // sadf reads a word that starts with "-" as an option and a number as an interval:
  // a relative name goes as ./NAME, so that it is always a file.
  const std::string path = file[0] == '/' ? file : "./" + file;
  ProgramRun run = RunProgram(SadfCommand(path), {out.get(), kSadfMessageBytes, kSadfSeconds});
  if (run.startError)
    throw UsageError("cannot run sadf for " + Visible(file) +
                     " (install sysstat): " + std::strerror(run.startError));
  if (run.timedOut)
    throw UsageError(Visible(file) + ": sadf did not finish within " +
                     std::to_string(kSadfSeconds) + " s");
  if (run.status != 0) {
    std::string& message = run.err;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
      message.pop_back();
    throw UsageError(
        Visible(file) + ": sadf cannot read it: " +
        (message.empty() ? "exit status " + std::to_string(run.status) : Visible(message)));
  }
  std::rewind(out.get());
  return out;
}

// The rows written in one transaction: the stored hours merged in (unless the days are
// replaced), each batch's keys removed and its rows inserted.
void WriteRows(trend::db::Connection& connection, const std::string& table, bool postgres,
               bool sqlite, bool mail, const LoadOptions& o, HostDatabase& db,
               std::unique_ptr<RowsStatement>& remove, std::unique_ptr<RowsStatement>& insert,
               size_t parameters, std::vector<DayRow>& rows) {
  Progress progress("rows written", rows.size(), !o.quiet);
  {
    trend::db::Transaction transaction(connection);
    // Two loads at once take turns on PostgreSQL, whose deletes do not wait for another
    // load's uncommitted rows (InnoDB's key locks and SQLite's one writer already serialise
    // them); the schema's unique key stops a duplicate day row on every backend.
    if (postgres) connection.Execute("LOCK TABLE " + table + " IN SHARE ROW EXCLUSIVE MODE");
    // On SQLite the write lock is taken first, by a statement that changes nothing: a load
    // that read first and then waited to write would hold off the writer it waits for.
    if (sqlite) connection.Execute("DELETE FROM " + table + " WHERE 1 = 0");
    if (!o.replaceDays) MergeStoredHours(db, table, mail, rows);
    for (size_t first = 0; first < rows.size(); first += kBatchRows) {
      const size_t n = std::min(kBatchRows, rows.size() - first);
      std::vector<std::string> hosts(n), probes(n), args(n);
      std::vector<trend::Date> dates(n);
      std::vector<std::vector<double>> values(parameters - 4, std::vector<double>(n));
      for (size_t i = 0; i < n; ++i) {
        const DayRow& r = rows[first + i];
        hosts[i] = r.key.host, probes[i] = r.key.probe, args[i] = r.key.arg, dates[i] = r.day;
        for (size_t h = 0; h < 24; ++h) values[h][i] = r.avg[h], values[24 + h][i] = r.min[h];
        values[48][i] = r.daily;
        values[49][i] = r.maxHourly;
        if (mail) values[50][i] = r.maxSample;
      }
      std::vector<trend::db::ParameterColumn> key = {hosts, probes, args, dates};
      remove->Execute(key, n);
      std::vector<trend::db::ParameterColumn> all = std::move(key);
      for (auto& v : values) all.emplace_back(std::move(v));
      insert->Execute(all, n);
      progress.Done(first + n);
    }
    transaction.Commit();
  }
}

}  // namespace

namespace {

// Reads the files (or the Prometheus range) into `samples`; what a file holds wrongly is a
// usage error naming it.
void ReadInput(const LoadOptions& o, const TimeZone& zone, Aggregator& samples,
               PrometheusCounts& fetched) {
  if (!o.prometheus.url.empty()) fetched = FromPrometheus(o, zone, samples);
  Progress reading("files read", o.files.size(),
                   !o.quiet && o.format == "sa" && o.files.size() > 1);
  size_t done = 0;
  for (const auto& file : o.files) {
    if (o.format == "sa") {
      // sysstat's binary daily file, through sysstat's own reader.
      const auto output = SadfOutput(file);
      __gnu_cxx::stdio_filebuf<char> buffer(output.get(), std::ios::in);
      std::istream text(&buffer);
      try {
        ReadSadf(text, Visible(file) + " (sadf -d)", zone, samples);
      } catch (const InputError& e) {
        throw UsageError(e.what());
      }
      reading.Done(++done);
      continue;
    }
    std::ifstream stream;
    std::istream* in = &std::cin;
    if (file != "-") {
      stream.open(file, std::ios::binary);
      if (!stream) throw UsageError("cannot read " + file);
      in = &stream;
    }
    const std::string name = file == "-" ? "standard input" : file;
    try {
      if (o.format == "sadf")
        ReadSadf(*in, name, zone, samples);
      else
        ReadSamples(*in, name, zone, samples);
    } catch (const InputError& e) {
      throw UsageError(e.what());
    }
  }
}

// The line that says what a load wrote (or would write): rows, series, days, samples and
// what was skipped.
void PrintSummary(const char* verb, const LoadOptions& o, const std::string& table,
                  const std::vector<DayRow>& rows, const Aggregator& samples,
                  const PrometheusCounts& fetched) {
  std::set<SeriesKey> series;
  std::set<trend::Date> days;
  for (const auto& r : rows) series.insert(r.key), days.insert(r.day);
  std::cout << verb << " " << rows.size() << " rows into " << table << ": " << series.size()
            << " series, " << days.size() << " days";
  if (!days.empty())
    std::cout << " (" << Day(*days.begin()) << " to " << Day(*days.rbegin()) << ")";
  std::cout << ", from " << samples.samples() << " samples";
  const bool fromPrometheus = !o.prometheus.url.empty();
  if (fromPrometheus && fetched.withoutHost)
    std::cout << "; " << fetched.withoutHost << " series without the label "
              << Visible(o.prometheus.hostLabel) << " skipped";
  if (fromPrometheus && fetched.notFinite)
    std::cout << "; " << fetched.notFinite << " points without a finite value (NaN, Inf) skipped";
  if (fromPrometheus && fetched.outside)
    std::cout << "; " << fetched.outside << " points outside the range asked for dropped";
  if (o.format == "sadf" || o.format == "sa")
    for (const auto& missing : MissingActivities(samples.activities)) std::cout << "; " << missing;
  std::cout << "\n";
}

// A note when the hosts of a load hold fewer days than a full forecast takes, from the
// days of each host (`stored`: in the table, or the load's own for a dry run).
void ShortHistoryNote(const LoadOptions& o, const std::map<std::string, int64_t>& stored) {
  std::map<std::string, int64_t> few;
  for (const auto& [host, days] : stored)
    if (days < kMinimumDays) few[host] = days;
  if (few.empty() || o.quiet) return;
  std::cerr << "trendhost: note: " << few.size() << " of " << stored.size() << " host"
            << (stored.size() == 1 ? "" : "s") << " hold" << (few.size() == 1 ? "s" : "")
            << " fewer than " << kMinimumDays << " days of rows (";
  size_t shown = 0;
  for (const auto& [host, days] : few) {
    if (shown++ == 5) {
      std::cerr << ", ...";
      break;
    }
    std::cerr << (shown > 1 ? ", " : "") << Visible(host) << ": " << days;
  }
  std::cerr << "): the report forecasts from " << kMinimumDays << " days, roughly from "
            << kShortestDays << " (flagged short history)";
  if (o.format == "sadf" || o.format == "sa")
    std::cerr << "; sysstat keeps 7 days by default: HISTORY=28 in /etc/sysstat/sysstat "
                 "keeps four weeks";
  std::cerr << "\n";
}

// The days of each host of `rows` with rows of `table` in the model's window up to the
// load's last day.
std::map<std::string, int64_t> StoredDays(trend::db::Connection& connection,
                                          const std::string& table,
                                          const std::vector<DayRow>& rows) {
  std::map<std::string, int64_t> days;
  if (rows.empty()) return days;
  trend::Date last = rows.front().day;
  for (const auto& r : rows) {
    last = std::max(last, r.day);
    days.emplace(r.key.host, 0);
  }
  auto rs =
      connection.OpenResultSet("SELECT HOSTNAME, COUNT(DISTINCT COLLECTION_DATE) FROM " + table +
                                   " WHERE COLLECTION_DATE BETWEEN ? AND ? GROUP BY HOSTNAME",
                               {trend::AddDays(last, -(trend::kFitDays - 1)), last});
  for (; !rs.AtEnd(); rs.MoveNext())
    if (auto it = days.find(rs.Value(0).ToText()); it != days.end())
      it->second = static_cast<int64_t>(rs.Value(1).ToDouble());
  return days;
}

// The days of each host in `rows` alone.
std::map<std::string, int64_t> LoadedDays(const std::vector<DayRow>& rows) {
  std::map<std::string, std::set<trend::Date>> days;
  for (const auto& r : rows) days[r.key.host].insert(r.day);
  std::map<std::string, int64_t> out;
  for (const auto& [host, d] : days) out[host] = static_cast<int64_t>(d.size());
  return out;
}

// The statements that replace a batch of day rows: the removal of their keys and the
// insertion of the rows, with the number of parameters a row takes.
struct RowStatements {
  std::unique_ptr<RowsStatement> remove, insert;
  size_t parameters = 0;
};

RowStatements MakeRowStatements(trend::db::Connection& connection, const std::string& table,
                                bool mail, bool postgres, bool mysql) {
  RowStatements s;
  const std::string columns =
      "HOSTNAME, PROBE, PROBE_ARG, COLLECTION_DATE" + trend::HourColumns("AVG_VALUE_", ", ", "") +
      trend::HourColumns("MIN_VALUE_", ", ", "") + ", AVG_DAILY_VALUE, MAX_HOURLY_AVG" +
      (mail ? ", MAX_DAILY_VALUE" : "");
  s.parameters = 4 + 48 + 2 + (mail ? 1 : 0);
  if (postgres) {
    // A batch's keys and rows as arrays, one execution each.
    std::string numbers;
    for (size_t i = 4; i < s.parameters; ++i) numbers += ", ?::float8[]";
    s.remove = std::make_unique<ArrayStatement>(
        connection, "DELETE FROM " + table +
                        " USING unnest(?::text[], ?::text[], ?::text[], ?::date[]) AS "
                        "k(KEY_HOST, KEY_PROBE, KEY_ARG, KEY_DAY) WHERE HOSTNAME = KEY_HOST "
                        "AND PROBE = KEY_PROBE AND PROBE_ARG = KEY_ARG AND COLLECTION_DATE = "
                        "KEY_DAY");
    s.insert = std::make_unique<ArrayStatement>(
        connection, "INSERT INTO " + table + " (" + columns +
                        ") SELECT * FROM unnest(?::text[], ?::text[], ?::text[], ?::date[]" +
                        numbers + ")");
    return s;
  }
  // Keys match exactly, byte for byte, on every backend: a MariaDB table whose collation
  // ignores case, accents or trailing blanks must not let "WEB01" replace web01's rows.
  // The value side is the binary one, so that the series index still finds the rows.
  const std::string exact = mysql ? "BINARY ?" : "?";
  s.remove = std::make_unique<GroupedStatement>(connection, "DELETE FROM " + table + " WHERE ",
                                                "(HOSTNAME = " + exact + " AND PROBE = " + exact +
                                                    " AND PROBE_ARG = " + exact +
                                                    " AND COLLECTION_DATE = ?)",
                                                " OR ", kGroupRows);
  std::string marks = "?";
  for (size_t i = 1; i < s.parameters; ++i) marks += ", ?";
  s.insert = std::make_unique<GroupedStatement>(
      connection, "INSERT INTO " + table + " (" + columns + ") VALUES ", "(" + marks + ")", ", ",
      kParameters / s.parameters);
  return s;
}

}  // namespace

int Load(const LoadOptions& o) {
  if (o.login.dsn.empty() && !o.dryRun)
    throw UsageError("load writes the database: name its data source with --dsn NAME");
  const bool fromPrometheus = !o.prometheus.url.empty();
  if (fromPrometheus && !o.files.empty())
    throw UsageError("load reads either --prometheus or FILEs, not both");
  if (!fromPrometheus && o.files.empty())
    throw UsageError("load needs at least one FILE (\"-\" for standard input) or --prometheus URL");
  const bool mail = o.table != "HX_METRICS";
  TimeZone zone = [&] {
    try {
      return TimeZone(o.timezone);
    } catch (const std::invalid_argument& e) {
      throw UsageError(e.what());
    }
  }();
  const std::string table = TablePrefix(o.login.qualifier) + o.table;

  // Everything is read and checked before anything is written.
  Aggregator samples(zone);
  samples.ExcludeArguments(o.excludeArgs);
  PrometheusCounts fetched;
  ReadInput(o, zone, samples, fetched);
  std::vector<DayRow> rows = samples.Rows();
  if (o.dryRun) {
    PrintSummary("would write", o, table, rows, samples, fetched);
    ShortHistoryNote(o, LoadedDays(rows));
    return kExitOk;
  }

  HostDatabase db(o.login);
  trend::db::Connection& connection = db.connection();
  const std::string dbms = connection.DbmsName();
  const bool mysql =
      dbms.find("mysql") != std::string::npos || dbms.find("mariadb") != std::string::npos;
  const bool postgres = dbms.find("postgres") != std::string::npos;
  RowStatements statements = MakeRowStatements(connection, table, mail, postgres, mysql);
  // SQLite has one writer at a time: a load that finds another one writing waits past the
  // driver's busy time, taking turns as the other backends' locks make loads do, and
  // starts its transaction again (from the rows as read) until kBusyWait has passed.
  const bool sqlite = dbms.find("sqlite") != std::string::npos;
  const std::vector<DayRow> asRead = sqlite ? rows : std::vector<DayRow>();
  const auto waitUntil = std::chrono::steady_clock::now() + kBusyWait;
  for (int attempt = 0;; ++attempt) {
    try {
      if (attempt > 0) rows = asRead;
      WriteRows(connection, table, postgres, sqlite, mail, o, db, statements.remove,
                statements.insert, statements.parameters, rows);
      break;
    } catch (const trend::Error& e) {
      const std::string& d = e.description();
      const bool busy = d.find("database is locked") != std::string::npos ||
                        d.find("database table is locked") != std::string::npos ||
                        d.find("busy") != std::string::npos;
      if (!sqlite || !busy) throw;
      if (std::chrono::steady_clock::now() >= waitUntil)
        throw CallFailed("the database stayed locked by another writer for " +
                         std::to_string(kBusyWait.count()) + " s; nothing was written");
      if (attempt == 0 && !o.quiet)
        std::cerr << "trendhost: another load is writing the database; waiting for it\n";
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  }
  if (!o.quiet) {
    PrintSummary("wrote", o, table, rows, samples, fetched);
    // A load of its own a fortnight or more needs no look at what was stored before.
    const auto loaded = LoadedDays(rows);
    const bool fewLoaded = std::any_of(loaded.begin(), loaded.end(),
                                       [](const auto& host) { return host.second < kMinimumDays; });
    if (fewLoaded) ShortHistoryNote(o, StoredDays(connection, table, rows));
  }
  return kExitOk;
}

int Summarize(const SummarizeOptions& o) {
  if (o.login.dsn.empty())
    throw UsageError("summarize writes the database: name its data source with --dsn NAME");
  // The days are checked before the database is asked anything.
  const std::optional<trend::Date> givenLast =
      o.last.empty() ? std::nullopt : std::optional(DayOption(o.last, "--last"));
  const std::optional<trend::Date> givenFirst =
      o.first.empty() ? std::nullopt : std::optional(DayOption(o.first, "--first"));
  HostDatabase db(o.login);
  trend::db::Connection& connection = db.connection();
  const std::string& prefix = db.prefix();
  const trend::Date last = givenLast ? *givenLast : db.LatestDay("summarize");
  const trend::Date first = givenFirst ? *givenFirst : trend::AddDays(last, -29);
  if (first > last) throw UsageError("--first lies after --last");

  // Per probe, every host's mean daily average in the range.
  std::map<std::string, std::vector<double>> means;
  {
    auto rs = connection.OpenResultSet(
        "SELECT PROBE, HOSTNAME, AVG(AVG_DAILY_VALUE) AS MEAN_VALUE FROM " + prefix +
            "HX_METRICS WHERE COLLECTION_DATE BETWEEN ? AND ? AND AVG_DAILY_VALUE IS NOT NULL "
            "GROUP BY PROBE, HOSTNAME",
        {first, last});
    for (; !rs.AtEnd(); rs.MoveNext())
      means[rs.Value(0).ToText()].push_back(rs.Value(2).ToDouble());
  }
  if (means.empty())
    throw UsageError("HX_METRICS holds no daily values between " + Day(first) + " and " +
                     Day(last) + ": nothing to summarize (" + prefix +
                     "HX_METRIC_SUMMARY is left as it was)");
  std::vector<std::string> probes;
  std::vector<double> lowest, middle, highest;
  for (auto& [probe, values] : means) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    probes.push_back(probe);
    lowest.push_back(values.front());
    middle.push_back(n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2);
    highest.push_back(values.back());
  }
  {
    trend::db::Transaction transaction(connection);
    connection.Execute("DELETE FROM " + prefix + "HX_METRIC_SUMMARY");
    trend::db::PreparedBatch insert(connection,
                                    "INSERT INTO " + prefix +
                                        "HX_METRIC_SUMMARY (PROBE, LOWEST_AVERAGE, "
                                        "MIDDLE_AVERAGE, HIGHEST_AVERAGE) VALUES (?, ?, ?, ?)");
    insert.Execute({probes, lowest, middle, highest}, probes.size());
    transaction.Commit();
  }
  std::cout << "summarized " << probes.size() << " probes into " << prefix
            << "HX_METRIC_SUMMARY from " << Day(first) << " to " << Day(last) << "\n";
  return kExitOk;
}

}  // namespace host
