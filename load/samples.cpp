#include "samples.h"

#include <date/date.h>
#include <date/tz.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "command.h"
#include "csv.h"
#include "hourly_fit.h"

namespace host {

namespace {

// sysstat's binary daily file (sa01...): it starts with the collector's magic number, 0xd596
// in the machine's byte order, and holds NUL bytes no text has.
bool LooksLikeSaFile(const std::string& line) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(line[i]); };
  return (line.size() >= 2 &&
          ((byte(0) == 0x96 && byte(1) == 0xd5) || (byte(0) == 0xd5 && byte(1) == 0x96))) ||
         line.find('\0') != std::string::npos;
}
constexpr const char* kSaFileAdvice =
    "this looks like a sysstat daily file (binary): load it with --format sa";

constexpr int64_t kDay = 86400;

int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

bool Digits(std::string_view s, size_t at, size_t n, int& out) {
  if (at + n > s.size()) return false;
  int v = 0;
  for (size_t i = at; i < at + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  out = v;
  return true;
}

// "+hh:mm", "+hhmm", "+hh" or "Z" at the end of a time; seconds east of UTC.
bool ParseOffset(std::string_view s, int64_t& offset) {
  if (s == "Z" || s == "z" || s == " UTC" || s == "UTC") return offset = 0, true;
  if (s.empty() || (s[0] != '+' && s[0] != '-')) return false;
  int h = 0, m = 0;
  if (!Digits(s, 1, 2, h)) return false;
  if (s.size() == 6 && s[3] == ':') {
    if (!Digits(s, 4, 2, m)) return false;
  } else if (s.size() == 5) {
    if (!Digits(s, 3, 2, m)) return false;
  } else if (s.size() != 3) {
    return false;
  }
  if (h > 23 || m > 59) return false;
  offset = (s[0] == '-' ? -1 : 1) * (h * 3600 + m * 60);
  return true;
}

bool ParseNumber(std::string_view s, double& v) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\r')) s.remove_suffix(1);
  if (s.empty()) return false;
  if (s.front() == '+') s.remove_prefix(1);
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  return ec == std::errc() && end == s.data() + s.size() && std::isfinite(v);
}

}  // namespace

// ---- Time zones ----

TimeZone::TimeZone(const std::string& name) : name_(name) {
  if (name.empty() || name == "UTC" || name == "Z" || name == "GMT") return;
  if (ParseOffset(name, fixed_)) {
    kind_ = Kind::kFixed;
    return;
  }
  // The system's zone database, read by the date library without touching the process's
  // TZ (the loader also runs inside trendreport.so, in other programs' processes).
  try {
    if (name.find("..") == std::string::npos && name[0] != '/') zone_ = date::locate_zone(name);
  } catch (const std::exception&) {
    zone_ = nullptr;
  }
  if (!zone_)
    throw std::invalid_argument(
        "unknown time zone " + name +
        " (UTC, an offset such as +02:00, or a name such as Europe/Berlin)");
  kind_ = Kind::kNamed;
}

int64_t TimeZone::OffsetAt(int64_t utc) const {
  if (kind_ == Kind::kUtc) return 0;
  if (kind_ == Kind::kFixed) return fixed_;
  const int64_t quarter = FloorDiv(utc, 900);
  if (auto it = cache_.find(quarter); it != cache_.end()) return it->second;
  const auto info = zone_->get_info(date::sys_seconds(std::chrono::seconds(quarter * 900)));
  const int64_t offset = info.offset.count();
  cache_.emplace(quarter, offset);
  return offset;
}

int64_t TimeZone::FromLocal(int64_t localSeconds) const {
  if (kind_ == Kind::kUtc) return localSeconds;
  if (kind_ == Kind::kFixed) return localSeconds - fixed_;
  // The offset that holds at the instant: try the offset of the guess, then of the result
  // (a local time in a gap or an overlap takes the earlier offset's reading).
  int64_t utc = localSeconds - OffsetAt(localSeconds);
  utc = localSeconds - OffsetAt(utc);
  return utc;
}

bool ParseTime(std::string_view s, const TimeZone& zone, int64_t& utc) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\r')) s.remove_suffix(1);
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  if (s.empty()) return false;
  if (s.size() < 10 || s[4] != '-') {
    // Unix seconds, possibly with a fraction.
    double v = 0;
    if (!ParseNumber(s, v) || std::fabs(v) > 1e12) return false;
    for (char c : s)
      if (!(c >= '0' && c <= '9') && c != '.' && c != '-') return false;
    utc = static_cast<int64_t>(std::floor(v));
    return true;
  }
  int y, mo, d, h = 0, mi = 0, sec = 0;
  if (!Digits(s, 0, 4, y) || !Digits(s, 5, 2, mo) || s[7] != '-' || !Digits(s, 8, 2, d))
    return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31) return false;
  size_t p = 10;
  if (p < s.size() && (s[p] == 'T' || s[p] == 't' || s[p] == ' ') && p + 1 < s.size() &&
      s[p + 1] >= '0' && s[p + 1] <= '9') {
    if (!Digits(s, p + 1, 2, h) || p + 3 >= s.size() || s[p + 3] != ':' || !Digits(s, p + 4, 2, mi))
      return false;
    p += 6;
    if (p < s.size() && s[p] == ':') {
      if (!Digits(s, p + 1, 2, sec)) return false;
      p += 3;
      if (p < s.size() && (s[p] == '.' || s[p] == ',')) {
        ++p;
        while (p < s.size() && s[p] >= '0' && s[p] <= '9') ++p;
      }
    }
    if (h > 23 || mi > 59 || sec > 60) return false;
  }
  // The day must exist (no 31 June).
  const date::year_month_day civil{date::year(y), date::month(static_cast<unsigned>(mo)),
                                   date::day(static_cast<unsigned>(d))};
  if (!civil.ok()) return false;
  const int64_t days = date::sys_days(civil).time_since_epoch().count();
  const int64_t local = days * kDay + h * 3600 + mi * 60 + std::min(sec, 59);
  if (p == s.size()) {
    utc = zone.FromLocal(local);
    return true;
  }
  int64_t offset = 0;
  if (!ParseOffset(s.substr(p), offset)) return false;
  utc = local - offset;
  return true;
}

// ---- Aggregation ----

uint32_t Aggregator::SeriesId(std::string_view host, std::string_view probe, std::string_view arg) {
  if (lastId_ != UINT32_MAX) {
    const SeriesKey& k = series_[lastId_];
    if (k.host == host && k.probe == probe && k.arg == arg) return lastId_;
  }
  std::string key;
  key.reserve(host.size() + probe.size() + arg.size() + 2);
  key.append(host).push_back('\0');
  key.append(probe).push_back('\0');
  key.append(arg);
  auto [it, added] = ids_.try_emplace(std::move(key), static_cast<uint32_t>(series_.size()));
  if (added) series_.push_back({std::string(host), std::string(probe), std::string(arg)});
  return lastId_ = it->second;
}

bool Aggregator::Excluded(std::string_view arg) const {
  if (excluded_.empty() || arg.empty()) return false;
  return MatchesAny(excluded_, std::string(arg));
}

bool Aggregator::Add(std::string_view host, std::string_view probe, std::string_view arg,
                     int64_t utc, double value) {
  if (Excluded(arg)) return true;
  if (!std::isfinite(value)) return false;
  const int64_t local = utc + zone_.OffsetAt(utc);
  const int64_t day = FloorDiv(local, kDay);
  const auto hour = static_cast<size_t>((local - day * kDay) / 3600);
  const uint64_t key = (static_cast<uint64_t>(SeriesId(host, probe, arg)) << 32) |
                       static_cast<uint32_t>(static_cast<int32_t>(day));
  auto [it, added] = dayIndex_.try_emplace(key, static_cast<uint32_t>(days_.size()));
  if (added) days_.emplace_back(key, Hours{});
  Hours& hours = days_[it->second].second;
  if (hours.count[hour] == 0 || value < hours.min[hour]) hours.min[hour] = value;
  if (added || value > hours.maxSample) hours.maxSample = value;
  const double sum = hours.sum[hour] + value;
  if (!std::isfinite(sum)) return false;  // the hour's sum overflows: refused, not infinity
  hours.sum[hour] = sum;
  ++hours.count[hour];
  ++samples_;
  return true;
}

void SetDailyColumns(DayRow& r) {
  double sum = 0;
  int counted = 0;
  for (size_t h = 0; h < 24; ++h) {
    if (trend::IsMissingCell(r.avg[h], r.min[h])) continue;
    if (!counted || r.avg[h] > r.maxHourly) r.maxHourly = r.avg[h];
    sum += r.avg[h];
    ++counted;
  }
  if (counted) r.daily = sum / counted;
}

std::vector<DayRow> Aggregator::Rows() const {
  const trend::Date epoch = trend::MakeDate(1970, 1, 1);
  std::vector<DayRow> rows;
  rows.reserve(days_.size());
  for (const auto& [key, hours] : days_) {
    DayRow r;
    r.key = series_[key >> 32];
    r.day = trend::AddDays(epoch, static_cast<int32_t>(static_cast<uint32_t>(key & 0xffffffffu)));
    for (size_t h = 0; h < 24; ++h) {
      r.avg[h] = hours.count[h] ? hours.sum[h] / hours.count[h] : -1;
      r.min[h] = hours.count[h] ? hours.min[h] : trend::kMissingMinimum;
    }
    SetDailyColumns(r);
    r.maxSample = hours.maxSample;
    rows.push_back(std::move(r));
  }
  std::sort(rows.begin(), rows.end(), [](const DayRow& a, const DayRow& b) {
    return a.key != b.key ? a.key < b.key : a.day < b.day;
  });
  return rows;
}

// ---- Samples CSV ----

namespace {

// Whether `name` is one of the "|"-separated `names`.
bool OneOf(std::string_view names, std::string_view name) {
  for (size_t start = 0;;) {
    const size_t bar = names.find('|', start);
    if (names.substr(start, bar - start) == name) return true;
    if (bar == std::string_view::npos) return false;
    start = bar + 1;
  }
}

void CheckName(const std::string& file, size_t line, const char* what, std::string_view name) {
  if (const auto fault = NameFault(name))
    throw InputError(file, line, std::string("the ") + what + " " + *fault);
}

}  // namespace

std::optional<std::string> NameFault(std::string_view name) {
  size_t characters = 0;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f) {
      char code[8];
      std::snprintf(code, sizeof code, "0x%02x", c);
      return std::string("holds the control character ") + code;
    }
    characters += (c & 0xC0) != 0x80;  // UTF-8: continuation bytes add no character
  }
  if (characters > kMaxNameCharacters)
    return "is " + std::to_string(characters) + " characters long; the tables hold " +
           std::to_string(kMaxNameCharacters);
  return std::nullopt;
}

void ReadSamples(std::istream& in, const std::string& file, const TimeZone& zone, Aggregator& out) {
  std::string line;
  CsvSplitter splitter;
  const std::vector<std::string_view>& fields = splitter.fields();
  size_t number = 0;
  int time = -1, host = -1, probe = -1, arg = -1, value = -1;
  size_t width = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!splitter.Split(line))
      throw InputError(file, number, "a quoted field is not closed on its line");
    if (time < 0) {
      for (size_t c = 0; c < fields.size(); ++c) {
        const std::string_view f = fields[c];
        int* slot = f == "time"    ? &time
                    : f == "host"  ? &host
                    : f == "probe" ? &probe
                    : f == "arg"   ? &arg
                    : f == "value" ? &value
                                   : nullptr;
        if (slot) *slot = static_cast<int>(c);
      }
      if (time < 0 || host < 0 || probe < 0 || arg < 0 || value < 0) {
        if (LooksLikeSaFile(line)) throw InputError(file, number, kSaFileAdvice);
        if (line.rfind("# hostname;", 0) == 0)
          throw InputError(file, number,
                           "this looks like the output of sadf -d: load it with --format sadf");
        if (!line.empty() && line[0] == '{')
          throw InputError(file, number,
                           "this looks like the output of sadf -j (JSON): write the file with "
                           "sadf -d and load it with --format sadf, or load the daily file with "
                           "--format sa");
        throw InputError(file, number,
                         "the header must name the columns time,host,probe,arg,value");
      }
      width = fields.size();
      continue;
    }
    if (line.empty()) continue;
    if (fields.size() != width)
      throw InputError(
          file, number,
          "expected " + std::to_string(width) + " fields, found " + std::to_string(fields.size()));
    int64_t utc = 0;
    if (!ParseTime(fields[time], zone, utc))
      throw InputError(
          file, number,
          "\"" + std::string(fields[time]) + "\" is not a time (ISO 8601 or Unix seconds)");
    double v = 0;
    if (!ParseNumber(fields[value], v))
      throw InputError(file, number, "\"" + std::string(fields[value]) + "\" is not a number");
    if (fields[host].empty()) throw InputError(file, number, "the host is empty");
    if (fields[probe].empty()) throw InputError(file, number, "the probe is empty");
    CheckName(file, number, "host", fields[host]);
    CheckName(file, number, "probe", fields[probe]);
    CheckName(file, number, "arg", fields[arg]);
    if (!out.Add(fields[host], fields[probe], fields[arg], utc, v))
      throw InputError(file, number,
                       "the value " + std::string(fields[value]) +
                           " is not finite or makes its hour's sum overflow");
  }
  if (time < 0) throw InputError(file, number, "no header line time,host,probe,arg,value");
}

// ---- sadf -d ----

std::vector<std::string> SadfCommand(const std::string& file) {
  return {"sadf", "-d", file, "--", "-u",    "ALL", "-q",  "-B",
          "-W",   "-r", "-S", "-F", "MOUNT", "-n",  "DEV", "-d"};
}

std::vector<std::string> MissingActivities(const std::set<std::string>& seen) {
  static const std::vector<std::pair<std::string, std::string>> kWhat = {
      {"-u", "no CPU activity (-u)"},
      {"-q", "no run queue or load average (-q)"},
      {"-W", "no swapping activity (-W)"},
      {"-B", "no paging and block I/O activity (-B)"},
      {"-r", "no memory activity (-r)"},
      {"-S", "no swap-space activity (-S)"},
      {"-F MOUNT", "no file-system activity (-F): sadc collects file systems only with -S XDISK"},
      {"-n DEV", "no network activity (-n DEV)"},
      {"-d", "no disk activity (-d): sadc collects disks only with -S DISK"},
  };
  std::vector<std::string> out;
  for (const auto& [activity, what] : kWhat)
    if (!seen.count(activity)) out.push_back(what);
  return out;
}

// A file system as df shows it, from sadf's MBfsfree, MBfsused and %ufsused: free space
// is what users may write (the size less the share used as users see it, the root's
// reserve left out), the share used is df's Use% (used over used and available).
double UserFreeMb(const double* v) {
  return (v[0] + v[1]) * (1 - v[2] / 100);
}
double UsedPercentAsDf(const double* v) {
  const double used = v[1], available = UserFreeMb(v);
  return used + available > 0 ? used / (used + available) * 100 : 0;
}

// The mapping of sysstat's activities to the probes the report, the summary and the ranks
// read (the README shows the same table). Per-CPU lines (-P) are skipped: CPU -1 is the
// machine's. Swapping (-W) is the page-out and page-in rate in pages per second; -B counts
// kilobytes of all block I/O and has probes of its own.
const std::vector<SadfMetric> kSadfMetrics = {
    {"-u", "%idle", "CPU", "-1", "avgcpubusy", true},
    {"-u", "%user|%usr", "CPU", "-1", "avgcpuusr", false},
    {"-u", "%system|%sys", "CPU", "-1", "avgcpusys", false},
    {"-u", "%iowait", "CPU", "-1", "avgcpuwait", false},
    {"-q", "runq-sz", "", nullptr, "runqjobs", false},
    {"-q", "ldavg-1", "", nullptr, "ldavg1", false},
    {"-q", "ldavg-5", "", nullptr, "ldavg5", false},
    {"-q", "ldavg-15", "", nullptr, "ldavg15", false},
    {"-W", "pswpout/s", "", nullptr, "pageoutrate", false},
    {"-W", "pswpin/s", "", nullptr, "pageinrate", false},
    {"-B", "pgpgout/s", "", nullptr, "blockoutkb", false},
    {"-B", "pgpgin/s", "", nullptr, "blockinkb", false},
    {"-r", "%memused", "", nullptr, "memusedpct", false},
    {"-r", "kbavail", "", nullptr, "totalfree", false, 1.0 / 1024},
    {"-S", "%swpused", "", nullptr, "swapusedpct", false},
    {"-F MOUNT", "MBfsfree", "MOUNTPOINT|FILESYSTEM", nullptr, "fsusedpct", false, 1,
     "MBfsused,%ufsused", UsedPercentAsDf},
    {"-F MOUNT", "MBfsfree", "MOUNTPOINT|FILESYSTEM", nullptr, "fsfreemb", false, 1,
     "MBfsused,%ufsused", UserFreeMb},
    {"-n DEV", "rxpck/s", "IFACE", nullptr, "netinrate", false},
    {"-n DEV", "txpck/s", "IFACE", nullptr, "netoutrate", false},
    {"-d", "tps", "DEV", nullptr, "peakdiskxfer", false},
};

void ReadSadf(std::istream& in, const std::string& file, const TimeZone& zone, Aggregator& out) {
  struct Use {
    const SadfMetric* metric;
    int column, key;
    std::vector<int> further;  // the further columns' fields
  };
  std::vector<Use> uses;  // of the current section's header
  std::vector<std::string_view> fields;
  std::string line;
  size_t number = 0, width = 0;
  bool header = false;
  auto split = [&](std::string_view s) {
    fields.clear();
    size_t start = 0;
    for (size_t p; (p = s.find(';', start)) != std::string_view::npos; start = p + 1)
      fields.push_back(s.substr(start, p - start));
    fields.push_back(s.substr(start));
  };
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line[0] == '#') {
      std::string_view h(line);
      h.remove_prefix(1);
      while (!h.empty() && h.front() == ' ') h.remove_prefix(1);
      split(h);
      if (fields.size() < 3 || fields[0] != "hostname" || fields[2] != "timestamp")
        throw InputError(file, number,
                         header ? "a data line starts with # (a host name cannot), or a header "
                                  "is not one of sadf -d (# hostname;interval;timestamp;...)"
                                : "not a header of sadf -d (# hostname;interval;timestamp;...)");
      uses.clear();
      for (const auto& m : kSadfMetrics) {
        int column = -1, key = -1;
        for (size_t c = 3; c < fields.size(); ++c) {
          if (OneOf(m.column, fields[c])) column = static_cast<int>(c);
          if (*m.keyColumn && OneOf(m.keyColumn, fields[c])) key = static_cast<int>(c);
        }
        std::vector<int> further;
        for (std::string_view names = m.further ? m.further : ""; !names.empty();) {
          const size_t comma = std::min(names.find(','), names.size());
          const std::string_view name = names.substr(0, comma);
          names.remove_prefix(std::min(names.size(), comma + 1));
          int found = -1;
          for (size_t c = 3; c < fields.size(); ++c)
            if (fields[c] == name) found = static_cast<int>(c);
          further.push_back(found);
        }
        const bool complete = std::find(further.begin(), further.end(), -1) == further.end();
        if (column >= 0 && (!*m.keyColumn || key >= 0) && complete) {
          uses.push_back({&m, column, key, std::move(further)});
          out.activities.insert(m.activity);
        }
      }
      width = fields.size();
      header = true;
      continue;
    }
    if (!header) {
      if (LooksLikeSaFile(line)) throw InputError(file, number, kSaFileAdvice);
      if (line[0] == '{')
        throw InputError(file, number,
                         "this looks like the output of sadf -j (JSON): write it with sadf -d, "
                         "or load the daily file with --format sa");
      throw InputError(file, number, "data before the first header line of sadf -d");
    }
    split(line);
    if (fields.size() != width)
      throw InputError(
          file, number,
          "expected " + std::to_string(width) + " fields, found " + std::to_string(fields.size()));
    if (uses.empty()) continue;  // an activity that maps to no probe
    // The node name as sadf writes it, without surrounding blanks.
    std::string_view node = fields[0];
    while (!node.empty() && (node.front() == ' ' || node.front() == '\t')) node.remove_prefix(1);
    while (!node.empty() && (node.back() == ' ' || node.back() == '\t')) node.remove_suffix(1);
    if (node.empty()) throw InputError(file, number, "the host name is empty or blank");
    CheckName(file, number, "host", node);
    int64_t utc = 0;
    if (!ParseTime(fields[2], zone, utc))
      throw InputError(file, number, "\"" + std::string(fields[2]) + "\" is not a time");
    for (const Use& u : uses) {
      std::string_view arg;
      if (u.key >= 0) {
        if (u.metric->keyValue) {
          if (fields[u.key] != u.metric->keyValue) continue;  // one CPU of several
        } else {
          arg = fields[u.key];
        }
      }
      CheckName(file, number, "argument", arg);
      double v[4] = {};
      for (size_t i = 0; i <= u.further.size(); ++i) {
        const std::string_view text = fields[i == 0 ? u.column : u.further[i - 1]];
        if (!ParseNumber(text, v[i]))
          throw InputError(file, number, "\"" + std::string(text) + "\" is not a number");
      }
      const double value = u.metric->compute
                               ? u.metric->compute(v)
                               : (u.metric->complement ? 100 - v[0] : v[0]) * u.metric->scale;
      if (!out.Add(node, u.metric->probe, arg, utc, value))
        throw InputError(file, number,
                         "the value " + std::string(fields[u.column]) +
                             " is not finite or makes its hour's sum overflow");
    }
  }
}

}  // namespace host
