// The report as metrics for node_exporter's textfile collector (the text exposition format,
// which OpenMetrics parsers read too): a gauge family per figure, labelled by host, probe
// and arg; "never" is +Inf; a status is 1 for the series' own, 0 else. One pass over the
// results fills every family.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <sstream>
#include <string>
#include <string_view>

#include "command.h"
#include "writers.h"

namespace host {

namespace {

// The length of the valid UTF-8 sequence at `i`, or 0.
size_t Utf8Length(const std::string& s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  const size_t n = c < 0x80           ? 1
                   : (c >> 5) == 0x6  ? 2
                   : (c >> 4) == 0xE  ? 3
                   : (c >> 3) == 0x1E ? 4
                                      : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  const unsigned code =
      n == 2   ? ((c & 0x1Fu) << 6) | (byte(i + 1) & 0x3Fu)
      : n == 3 ? ((c & 0x0Fu) << 12) | ((byte(i + 1) & 0x3Fu) << 6) | (byte(i + 2) & 0x3Fu)
      : n == 4 ? ((c & 0x07u) << 18) | ((byte(i + 1) & 0x3Fu) << 12) |
                     ((byte(i + 2) & 0x3Fu) << 6) | (byte(i + 3) & 0x3Fu)
               : c;
  // Overlong forms, surrogates and code points past U+10FFFF are not valid.
  if ((n == 2 && code < 0x80) || (n == 3 && code < 0x800) || (n == 4 && code < 0x10000) ||
      (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
    return 0;
  return n;
}

// A label value of the exposition format, one for each name: the name's backslashes
// doubled, its control and reordering characters (\x1b, \u202e) and the bytes of invalid
// UTF-8 (\xff) as escapes, so that no two names give the same label; then backslash and
// quote escaped as the format asks.
std::string LabelValue(const std::string& text) {
  std::string shown;
  for (size_t i = 0; i < text.size();) {
    const size_t n = Utf8Length(text, i);
    if (n == 0) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", static_cast<unsigned char>(text[i]));
      shown += esc;
      ++i;
      continue;
    }
    if (text[i] == '\\') shown += '\\';
    shown.append(text, i, n);
    i += n;
  }
  std::string out;
  for (char c : Visible(shown)) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

std::string MetricNumber(double v) {
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  char buf[32];
  return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

// A gauge family: its heading, then its samples as the pass over the results adds them.
struct Family {
  const char* name;
  const char* help;
  std::ostringstream samples;

  // A sample of the labels `labels` (without braces).
  void Add(const std::string& labels, std::string_view value) {
    samples << name << "{" << labels << "} " << value << "\n";
  }
  void Add(const std::string& labels, double value) { Add(labels, MetricNumber(value)); }
  void Add(const std::string& labels, int64_t value) { Add(labels, std::to_string(value)); }
  // 1 for the status `now`, 0 for every other, each named in `statusNames`.
  void AddStatuses(const std::string& labels, Status now, const std::string* statusNames) {
    for (size_t s = 0; s < std::size(kAllStatuses); ++s)
      Add(labels + ",status=\"" + statusNames[s] + "\"", int64_t{now == kAllStatuses[s] ? 1 : 0});
  }
};

// The families, each under its heading.
void WriteFamilies(std::ostream& out, std::initializer_list<const Family*> families) {
  for (const Family* f : families)
    out << "# HELP " << f->name << " " << f->help << "\n# TYPE " << f->name << " gauge\n"
        << f->samples.view();
}

// A day as the Unix seconds of its start (UTC).
int64_t DaySeconds(trend::Date d) {
  return trend::CalendarDaysBetween(trend::MakeDate(1970, 1, 1), d) * 86400;
}

// The time from the run until the crossing, as the gauge shows it: "0" when reached,
// "+Inf" for never.
std::string SecondsToCrossing(const SeriesResult& r, const ReportRun& run) {
  if (r.status == Status::kExceeded) return "0";
  if (!r.crossingDate) return "+Inf";
  return std::to_string(std::max<int64_t>(0, DaySeconds(*r.crossingDate) - run.runTime));
}

// Whether a series' crossing means something to an alert: it has a threshold and a
// forecast of recent data (not stale, not too short, not failed).
bool CanCross(const SeriesResult& r) {
  return r.threshold && r.daysToThreshold && IsCapacityStatus(r.status);
}

// The services' gauges, labelled by group and probe.
void WriteGroupMetrics(std::ostream& out, const std::vector<GroupResult>& groups,
                       const ReportRun& run, const std::string* statusNames) {
  Family level{"trend_group_level", "The group's aggregate forecast on the report's last day.", {}};
  Family usable{"trend_group_usable_capacity",
                "What the group carries with its spare members lost (N+k).",
                {}};
  Family headroom{"trend_group_headroom_ratio", "1 less the level over the usable capacity.", {}};
  Family members{"trend_group_members", "The members counted (hosts with data, not stale).", {}};
  Family needed{"trend_group_members_needed",
                "The members the group needs through the report's longest horizon.",
                {}};
  Family seconds{"trend_group_seconds_to_threshold",
                 "Time from the report's run until the group's forecast reaches its usable "
                 "capacity, in seconds (0: reached; +Inf: never).",
                 {}};
  Family status{"trend_group_status", "1 for the group's status, 0 for the others.", {}};
  for (const auto& g : groups) {
    const SeriesResult& r = g.forecast;
    const std::string labels = "group=\"" + LabelValue(g.definition.name) + "\",probe=\"" +
                               LabelValue(g.definition.probe) + "\"";
    if (r.level) level.Add(labels, *r.level);
    if (g.usable) usable.Add(labels, *g.usable);
    if (g.headroom) headroom.Add(labels, *g.headroom);
    members.Add(labels, static_cast<int64_t>(g.members.size()));
    if (g.membersNeeded) needed.Add(labels, int64_t{*g.membersNeeded});
    if (CanCross(r)) seconds.Add(labels, SecondsToCrossing(r, run));
    status.AddStatuses(labels, r.status, statusNames);
  }
  WriteFamilies(out, {&level, &usable, &headroom, &members, &needed, &seconds, &status});
}

}  // namespace

void WriteOpenMetrics(std::ostream& out, const ResultStore& results, const ReportRun& run) {
  Family level{"trend_level", "The forecast's value on the report's last day.", {}};
  Family forecast{"trend_forecast",
                  "The forecast for the week around a horizon after the report's last day (the "
                  "mean of its days; the largest on the peak basis, the smallest on trough).",
                  {}};
  Family threshold{"trend_threshold", "The series' threshold.", {}};
  // In the base unit the exposition format's conventions (and promtool) ask for.
  Family seconds{"trend_seconds_to_threshold",
                 "Time from the report's run until the forecast reaches the threshold, in "
                 "seconds (to the start of the crossing day, UTC; 0: reached; +Inf: never). "
                 "Only series with a threshold and a current forecast have it.",
                 {}};
  Family earliest{"trend_crossing_earliest_seconds",
                  "When the 80 % interval's near bound reaches the threshold (Unix seconds, the "
                  "start of the day, UTC).",
                  {}};
  Family latest{"trend_crossing_latest_seconds",
                "When the 80 % interval's far bound reaches the threshold (Unix seconds, the "
                "start of the day, UTC).",
                {}};
  Family probability{"trend_crossing_probability",
                     "The probability of reaching the threshold within the days named.",
                     {}};
  Family reclaimable{"trend_reclaimable_ratio",
                     "For an oversized series (right-sizing), the share of its threshold that "
                     "could be reclaimed.",
                     {}};
  Family mase{"trend_backtest_mase",
              "The model's error on the series' own past (MASE): below 1 beats the same "
              "days of the last week.",
              {}};
  Family lastSeen{"trend_last_seen_timestamp_seconds",
                  "The end of the series' last day with data (Unix seconds, UTC midnight after "
                  "it): alert on its age for silent hosts.",
                  {}};
  Family status{"trend_status", "1 for the series' status, 0 for the others.", {}};
  std::string statusNames[std::size(kAllStatuses)];
  for (size_t s = 0; s < std::size(kAllStatuses); ++s) {
    statusNames[s] = StatusName(kAllStatuses[s]);
    for (char& c : statusNames[s]) c = c == ' ' ? '_' : c;
  }
  for (const auto& r : results) {
    const std::string labels = "host=\"" + LabelValue(r.series.key.host) + "\",probe=\"" +
                               LabelValue(r.series.key.probe) + "\",arg=\"" +
                               LabelValue(r.series.key.arg) + "\"";
    if (r.level) level.Add(labels, *r.level);
    for (size_t i = 0; i < run.horizons.size() && i < r.week.size(); ++i)
      if (r.week[i])
        forecast.Add(labels + ",horizon=\"" + std::to_string(run.horizons[i]) + "d\"", *r.week[i]);
    if (r.threshold) threshold.Add(labels, r.threshold->value);
    if (CanCross(r)) {
      seconds.Add(labels, SecondsToCrossing(r, run));
      if (r.crossingEarliest) earliest.Add(labels, DaySeconds(*r.crossingEarliest));
      if (r.crossingLatest) latest.Add(labels, DaySeconds(*r.crossingLatest));
      for (const auto& [days, p] :
           {std::pair{30, r.pCross30}, std::pair{90, r.pCross90}, std::pair{180, r.pCross180}})
        if (p) probability.Add(labels + ",within=\"" + std::to_string(days) + "d\"", *p);
    }
    if (r.backtestMase) mase.Add(labels, *r.backtestMase);
    if (r.reclaimableShare) reclaimable.Add(labels, *r.reclaimableShare);
    lastSeen.Add(labels, DaySeconds(r.series.lastDay) + 86400);
    status.AddStatuses(labels, r.status, statusNames);
  }
  out << "# HELP trend_report_timestamp_seconds When the report ran (Unix seconds).\n"
      << "# TYPE trend_report_timestamp_seconds gauge\ntrend_report_timestamp_seconds "
      << run.runTime << "\n";
  WriteFamilies(out, {&level, &forecast, &threshold, &seconds, &earliest, &latest, &probability,
                      &reclaimable, &mase, &lastSeen, &status});
  if (!run.groupsFile.empty()) WriteGroupMetrics(out, results.groups(), run, statusNames);
  out << "# EOF\n";
}

}  // namespace host
