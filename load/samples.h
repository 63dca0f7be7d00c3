// Raw metric samples and their day rows: the readers of trendhost load (a CSV of samples,
// sysstat's `sadf -d` output) and the aggregation into the shape the classes read, one row
// per host, probe, argument and day with 24 hourly averages and minima.
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dates.h"
#include "host_database.h"

namespace date {
class time_zone;
}

namespace host {

// A malformed input line: the file, the line number and what is wrong.
struct InputError : std::runtime_error {
  InputError(const std::string& file, size_t line, const std::string& what)
      : std::runtime_error(file + ":" + std::to_string(line) + ": " + what) {}
};

// The zone in which naive times are read and in which samples fall on days and hours:
// "UTC", a fixed offset ("+02:00"), or a name of the system's zone database
// ("Europe/Berlin").
class TimeZone {
 public:
  explicit TimeZone(const std::string& name);
  // Seconds east of UTC at the UTC instant.
  int64_t OffsetAt(int64_t utc) const;
  // The UTC instant of a local time in this zone.
  int64_t FromLocal(int64_t localSeconds) const;
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  enum class Kind { kUtc, kFixed, kNamed } kind_ = Kind::kUtc;
  int64_t fixed_ = 0;
  const date::time_zone* zone_ = nullptr;               // a named zone
  mutable std::unordered_map<int64_t, int64_t> cache_;  // quarter hour -> offset
};

// A time text: ISO 8601 with or without a zone offset ("2026-11-30T13:05:00Z",
// "2026-11-30 13:05:00+01:00", "2026-11-30T13:05"; naive ones in `zone`), a trailing " UTC"
// as sadf writes it, or Unix seconds ("1764507900"). The UTC instant, or false.
bool ParseTime(std::string_view text, const TimeZone& zone, int64_t& utc);

// Longest host, probe and argument the metric tables hold (VARCHAR(128), in characters).
inline constexpr size_t kMaxNameCharacters = 128;
// What is wrong with a host, probe or argument name, or nothing: a control character (a
// NUL would cut it short on some drivers, so that it replaces another series' rows), or
// more characters than the tables hold.
std::optional<std::string> NameFault(std::string_view name);

// One row of a metric table.
struct DayRow {
  SeriesKey key;
  trend::Date day;
  std::array<double, 24> avg, min;  // -1 and 1.0E9 for an hour without samples
  double daily = 0;                 // AVG_DAILY_VALUE: the mean of the hours with samples
  double maxHourly = 0;             // MAX_HOURLY_AVG: the largest hourly average
  double maxSample = 0;             // MAX_DAILY_VALUE (mail tables): the largest sample
};

// AVG_DAILY_VALUE (the mean of the hours with samples) and MAX_HOURLY_AVG (the largest
// hourly average) of a row, from its hours.
void SetDailyColumns(DayRow& r);

// Samples gathered per host, probe, argument, day and hour of the zone.
class Aggregator {
 public:
  explicit Aggregator(const TimeZone& zone) : zone_(zone) {}
  // False when the value is not finite or its hour's sum would overflow.
  bool Add(std::string_view host, std::string_view probe, std::string_view arg, int64_t utc,
           double value);
  // The day rows, by key and day.
  std::vector<DayRow> Rows() const;
  size_t samples() const { return samples_; }
  // Arguments matching one of these shell patterns (lo, docker*) are skipped.
  void ExcludeArguments(std::vector<std::string> patterns) { excluded_ = std::move(patterns); }
  bool Excluded(std::string_view arg) const;
  // The sadf activities ("-u", "-F MOUNT") whose headers the input held.
  std::set<std::string> activities;

 private:
  struct Hours {
    std::array<double, 24> sum{}, min{};
    std::array<uint32_t, 24> count{};
    double maxSample = 0;
  };
  uint32_t SeriesId(std::string_view host, std::string_view probe, std::string_view arg);
  const TimeZone& zone_;
  std::vector<SeriesKey> series_;
  std::unordered_map<std::string, uint32_t> ids_;
  uint32_t lastId_ = UINT32_MAX;
  std::unordered_map<uint64_t, uint32_t> dayIndex_;  // series << 32 | day -> days_
  std::vector<std::pair<uint64_t, Hours>> days_;
  size_t samples_ = 0;
  std::vector<std::string> excluded_;
};

// Reads a CSV of samples (RFC 4180; a header naming the columns time, host, probe, arg and
// value, in any order) into the aggregator. `file` names the input in errors.
void ReadSamples(std::istream& in, const std::string& file, const TimeZone& zone, Aggregator& out);

// The sadf activities and columns that become probes, in one place.
struct SadfMetric {
  const char* activity;   // the sadf option that reports it ("-u", "-F MOUNT")
  const char* column;     // the sadf column read ("a|b": whichever the header has)
  const char* keyColumn;  // the column that names the device ("" for none; "a|b" as above)
  const char* keyValue;   // only lines whose key column holds this ("-1": all CPUs); null:
                          // every line, the key column's value becoming the probe argument
  const char* probe;
  bool complement;   // the probe is 100 minus the column
  double scale = 1;  // the probe is the column times this (kB to MB: 1/1024)
  // A probe computed from several columns: the further ones ("a,b"), and the value from
  // the column's and theirs, in that order. Without them, the column (times scale).
  const char* further = nullptr;
  double (*compute)(const double* values) = nullptr;
};
extern const std::vector<SadfMetric> kSadfMetrics;

// The activities of kSadfMetrics that `seen` lacks, each with what to do about it.
std::vector<std::string> MissingActivities(const std::set<std::string>& seen);
// The sadf command line --format sa runs for a daily file.
std::vector<std::string> SadfCommand(const std::string& file);

// Reads the output of `sadf -d` for the activities of kSadfMetrics.
void ReadSadf(std::istream& in, const std::string& file, const TimeZone& zone, Aggregator& out);

}  // namespace host
