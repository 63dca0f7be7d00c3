#include "report_json.h"

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

void from_json(const json& j, ReportOptions& o) {
  const ReportOptions d;
  o.login.dsn = j.value("dsn", d.login.dsn);
  o.login.user = j.value("user", d.login.user);
  o.login.password = j.value("password", d.login.password);
  o.login.qualifier = j.value("qualifier", d.login.qualifier);
  o.library = j.value("library", d.library);
  o.first = j.value("first", d.first);
  o.last = j.value("last", d.last);
  o.hostPatterns = j.value("host_patterns", d.hostPatterns);
  o.probePatterns = j.value("probe_patterns", d.probePatterns);
  o.thresholdsFile = j.value("thresholds", d.thresholdsFile);
  o.horizons = j.value("horizons", d.horizons);
  o.warnDays = j.value("warn_days", d.warnDays);
  o.staleDays = j.value("stale_days", d.staleDays);
  o.model = j.value("model", d.model);
  o.format = j.value("format", d.format);
  o.output = j.value("output", d.output);
  o.charts = j.value("charts", d.charts);
  o.quiet = j.value("quiet", d.quiet);
  o.record = j.value("record", d.record);
  o.jobs = 1;  // a caller of the C interface runs its own workers
}

json RunJson(const ReportRun& r, bool withWork) {
  json j = {{"dsn", r.dsn},
            {"qualifier", r.qualifier},
            {"first_day", DayText(r.first)},
            {"last_day", DayText(r.last)},
            {"horizons", r.horizons},
            {"warn_days", r.warnDays},
            {"stale_days", r.staleDays},
            {"model", r.model},
            {"thresholds_file", r.thresholdsFile},
            {"host_patterns", r.hostPatterns},
            {"probe_patterns", r.probePatterns}};
  if (withWork) {
    j["jobs"] = r.jobs;
    j["charts"] = r.charts;
    j["seconds"] = r.seconds;
  }
  return j;
}

void from_json(const json& j, ReportRun& r) {
  r.dsn = j.at("dsn");
  r.qualifier = j.at("qualifier");
  r.first = *DayFromText(j.at("first_day"));
  r.last = *DayFromText(j.at("last_day"));
  r.horizons = j.at("horizons").get<std::vector<int>>();
  r.warnDays = j.at("warn_days");
  r.staleDays = j.value("stale_days", 7);
  r.model = j.value("model", std::string("auto"));
  r.thresholdsFile = j.at("thresholds_file");
  r.hostPatterns = j.at("host_patterns").get<std::vector<std::string>>();
  r.probePatterns = j.at("probe_patterns").get<std::vector<std::string>>();
  r.jobs = j.value("jobs", 1);
  r.charts = j.value("charts", false);
  r.seconds = j.value("seconds", 0.0);
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
