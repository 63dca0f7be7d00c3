#include "report_json.h"

#include <ctime>
#include <limits>

namespace host {

using json = nlohmann::ordered_json;

void to_json(json& j, const ReportOptions& o) {
  j = {{"dsn", o.login.dsn},
       {"user", o.login.user},
       {"password", o.login.password},
       {"qualifier", o.login.qualifier},
       {"library", o.library},
       {"first", o.first},
       {"last", o.last},
       {"host_patterns", o.hostPatterns},
       {"probe_patterns", o.probePatterns},
       {"thresholds", o.thresholdsFile},
       {"ack", o.ackFile},
       {"groups", o.groupsFile},
       {"scenario", o.scenarioFile},
       {"until", o.untilDay},
       {"groups_only", o.groupsOnly},
       {"oversized_below", o.oversizedBelow},
       {"horizons", o.horizons},
       {"warn_days", o.warnDays},
       {"stale_days", o.staleDays},
       {"model", o.model},
       {"format", o.format},
       {"output", o.output},
       {"charts", o.charts},
       {"quiet", o.quiet},
       {"record", o.record}};
}

namespace {

// The options of a request are checked as the command line checks its own: a text holds
// no NUL (a driver would cut it there), a number is a whole number in its range, and a
// value of another type is refused, never converted.
[[noreturn]] void BadOption(const std::string& key, const std::string& what) {
  throw UsageError("the option " + key + " must be " + what);
}

std::string TextOption(const json& j, const char* key, const std::string& fallback) {
  const auto it = j.find(key);
  if (it == j.end() || it->is_null()) return fallback;
  if (!it->is_string()) BadOption(key, "a text");
  std::string text = it->get<std::string>();
  if (text.find('\0') != std::string::npos) BadOption(key, "a text without NUL characters");
  return text;
}

std::vector<std::string> TextsOption(const json& j, const char* key) {
  const auto it = j.find(key);
  if (it == j.end() || it->is_null()) return {};
  if (!it->is_array()) BadOption(key, "a list of texts");
  std::vector<std::string> out;
  for (const auto& v : *it) {
    if (!v.is_string()) BadOption(key, "a list of texts");
    out.push_back(v.get<std::string>());
    if (out.back().find('\0') != std::string::npos)
      BadOption(key, "a list of texts without NUL characters");
  }
  return out;
}

int64_t WholeNumber(const json& v, const char* key, int64_t least, int64_t most) {
  if (!v.is_number_integer())
    BadOption(key, "a whole number from " + std::to_string(least) + " to " + std::to_string(most));
  const bool negative = v.is_number_integer() && !v.is_number_unsigned() && v.get<int64_t>() < 0;
  if (!negative && v.is_number_unsigned() &&
      v.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
    BadOption(key, "a whole number from " + std::to_string(least) + " to " + std::to_string(most));
  const int64_t n = v.get<int64_t>();
  if (n < least || n > most)
    BadOption(key, "a whole number from " + std::to_string(least) + " to " + std::to_string(most));
  return n;
}

int IntOption(const json& j, const char* key, int fallback, int least, int most) {
  const auto it = j.find(key);
  if (it == j.end() || it->is_null()) return fallback;
  return static_cast<int>(WholeNumber(*it, key, least, most));
}

bool BoolOption(const json& j, const char* key, bool fallback) {
  const auto it = j.find(key);
  if (it == j.end() || it->is_null()) return fallback;
  if (!it->is_boolean()) BadOption(key, "true or false");
  return it->get<bool>();
}

}  // namespace

void from_json(const json& j, ReportOptions& o) {
  const ReportOptions d;
  if (!j.is_object()) throw UsageError("the options must be an object");
  o.login.dsn = TextOption(j, "dsn", d.login.dsn);
  o.login.user = TextOption(j, "user", d.login.user);
  o.login.password = TextOption(j, "password", d.login.password);
  o.login.qualifier = TextOption(j, "qualifier", d.login.qualifier);
  o.library = TextOption(j, "library", d.library);
  o.first = TextOption(j, "first", d.first);
  o.last = TextOption(j, "last", d.last);
  o.hostPatterns = TextsOption(j, "host_patterns");
  o.probePatterns = TextsOption(j, "probe_patterns");
  o.thresholdsFile = TextOption(j, "thresholds", d.thresholdsFile);
  o.ackFile = TextOption(j, "ack", d.ackFile);
  o.groupsFile = TextOption(j, "groups", d.groupsFile);
  o.scenarioFile = TextOption(j, "scenario", d.scenarioFile);
  o.untilDay = TextOption(j, "until", d.untilDay);
  o.groupsOnly = BoolOption(j, "groups_only", d.groupsOnly);
  if (const auto it = j.find("oversized_below"); it != j.end() && !it->is_null()) {
    if (!it->is_number() || it->get<double>() <= 0 || it->get<double>() > 100)
      BadOption("oversized_below", "a percentage above 0, at most 100");
    o.oversizedBelow = it->get<double>();
  }
  if (const auto it = j.find("horizons"); it != j.end() && !it->is_null()) {
    if (!it->is_array()) BadOption("horizons", "a list of whole numbers of days");
    o.horizons.clear();
    for (const auto& h : *it)
      o.horizons.push_back(static_cast<int>(WholeNumber(h, "horizons", 0, 3650)));
  }
  o.warnDays = IntOption(j, "warn_days", d.warnDays, 0, 3650);
  o.staleDays = IntOption(j, "stale_days", d.staleDays, 0, 3650);
  o.model = TextOption(j, "model", d.model);
  o.format = TextOption(j, "format", d.format);
  o.output = TextOption(j, "output", d.output);
  o.charts = TextOption(j, "charts", d.charts);
  o.quiet = BoolOption(j, "quiet", d.quiet);
  o.record = BoolOption(j, "record", d.record);
  o.jobs = 1;  // a caller of the C interface runs its own workers
}

json RunJson(const ReportRun& r, bool withWork) {
  json j = {{"dsn", r.login.dsn},
            {"qualifier", r.login.qualifier},
            {"first_day", DayText(r.firstDay)},
            {"last_day", DayText(r.lastDay)},
            {"horizons", r.horizons},
            {"warn_days", r.warnDays},
            {"stale_days", r.staleDays},
            {"model", r.model},
            {"thresholds_file", r.thresholdsFile},
            {"ack_file", r.ackFile},
            {"groups_file", r.groupsFile},
            {"scenario_file", r.scenarioFile},
            {"until", DayText(r.until)},
            {"host_patterns", r.hostPatterns},
            {"probe_patterns", r.probePatterns}};
  if (withWork) {
    j["jobs"] = r.jobs;
    j["charts"] = r.drawsCharts;
    j["seconds"] = r.seconds;
    j["run_time"] = r.runTime;
  }
  return j;
}

ReportRun RunOf(const json& options, const json& run) {
  ReportRun r;
  static_cast<ReportOptions&>(r) = options.get<ReportOptions>();
  // What resolving added; the rest are the options'.
  r.firstDay = *DayFromText(run.at("first_day"));
  r.lastDay = *DayFromText(run.at("last_day"));
  r.horizons = run.at("horizons").get<std::vector<int>>();
  r.jobs = run.value("jobs", 1);
  r.drawsCharts = run.value("charts", false);
  r.seconds = run.value("seconds", 0.0);
  r.runTime = run.value("run_time", static_cast<int64_t>(std::time(nullptr)));
  if (const auto it = run.find("until"); it != run.end() && it->is_string())
    r.until = DayFromText(it->get<std::string>());
  return r;
}

void to_json(json& j, const Series& s) {
  j = {{"host", s.key.host},
       {"probe", s.key.probe},
       {"arg", s.key.arg},
       {"days", s.days},
       {"fit_days", s.fitDays},
       {"first_day", DayText(s.firstDay)},
       {"last_day", DayText(s.lastDay)}};
  if (s.nameCut) j["name_cut"] = true;
}

void from_json(const json& j, Series& s) {
  s.key = {j.at("host"), j.at("probe"), j.at("arg")};
  s.days = j.at("days");
  s.fitDays = j.at("fit_days");
  s.firstDay = *DayFromText(j.at("first_day"));
  s.lastDay = *DayFromText(j.at("last_day"));
  s.nameCut = j.value("name_cut", false);
}

void to_json(json& j, const Threshold& t) {
  j = {{"value", t.value},
       {"unit", t.unit},
       {"label", t.label},
       {"direction", t.direction},
       {"basis", t.basis}};
}

void from_json(const json& j, Threshold& t) {
  t.value = j.at("value");
  t.unit = j.at("unit");
  t.label = j.at("label");
  t.direction = j.value("direction", Direction::kAbove);
  t.basis = j.value("basis", Basis::kMean);
}

}  // namespace host
