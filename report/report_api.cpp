// trendreport.so: the fleet report's own steps as a plain C interface, so that a host in
// another language (trendlib.fleet, which spreads the series over a Dask cluster) runs the
// very code of trendhost report: the plan (the grouped query and the thresholds), the
// forecast of a chunk of series through the classes, and the written report. The
// statuses and crossing dates exist once, here.
//
// Every function takes and returns JSON text; the caller frees what it gets with
// trend_report_free. A failure is returned as {"error": {"usage": bool, "message": ...}}.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "error.h"
#include "command.h"
#include "data_source.h"
#include "invoke.h"
#include "registry.h"
#include "forecaster.h"
#include "report.h"
#include "report_output.h"

std::string_view trend::ApplicationTitle() {
  return "trendreport";
}

namespace {

using json = nlohmann::ordered_json;
using namespace host;

ReportOptions Options(const json& j) {
  ReportOptions o;
  o.dsn = j.value("dsn", "");
  o.user = j.value("user", "");
  o.password = j.value("password", "");
  o.qualifier = j.value("qualifier", "");
  o.library = j.value("library", "");
  o.first = j.value("first", "");
  o.last = j.value("last", "");
  o.hostPatterns = j.value("host_patterns", std::vector<std::string>{});
  o.probePatterns = j.value("probe_patterns", std::vector<std::string>{});
  o.thresholdsFile = j.value("thresholds", "");
  o.horizons = j.value("horizons", std::vector<int>{30, 90});
  o.warnDays = j.value("warn_days", 30);
  o.jobs = 1;
  o.format = j.value("format", "table");
  o.output = j.value("output", "");
  o.charts = j.value("charts", "");
  o.quiet = j.value("quiet", false);
  return o;
}

json RunJson(const ReportRun& r) {
  return {{"dsn", r.dsn},
          {"qualifier", r.qualifier},
          {"first", r.first},
          {"last", r.last},
          {"thresholds", r.thresholdsFile},
          {"horizons", r.horizons},
          {"warn_days", r.warnDays},
          {"jobs", r.jobs},
          {"host_patterns", r.hostPatterns},
          {"probe_patterns", r.probePatterns},
          {"seconds", r.seconds}};
}

ReportRun Run(const json& j) {
  ReportRun r;
  r.dsn = j.at("dsn");
  r.qualifier = j.at("qualifier");
  r.first = j.at("first");
  r.last = j.at("last");
  r.thresholdsFile = j.at("thresholds");
  r.horizons = j.at("horizons").get<std::vector<int>>();
  r.warnDays = j.at("warn_days");
  r.jobs = j.at("jobs");
  r.hostPatterns = j.at("host_patterns").get<std::vector<std::string>>();
  r.probePatterns = j.at("probe_patterns").get<std::vector<std::string>>();
  r.seconds = j.value("seconds", 0.0);
  return r;
}

json SeriesJson(const Series& s) {
  return {{"host", s.key.host},   {"probe", s.key.probe},  {"arg", s.key.arg},
          {"days", s.days},       {"fit_days", s.fitDays}, {"first_day", s.firstDay},
          {"last_day", s.lastDay}};
}

Series SeriesOf(const json& j) {
  Series s;
  s.key = {j.at("host"), j.at("probe"), j.at("arg")};
  s.days = j.at("days");
  s.fitDays = j.at("fit_days");
  s.firstDay = j.at("first_day");
  s.lastDay = j.at("last_day");
  return s;
}

json ThresholdJson(const std::optional<Threshold>& t) {
  if (!t) return nullptr;
  return {{"value", t->value}, {"unit", t->unit}, {"label", t->label}};
}

std::optional<Threshold> ThresholdOf(const json& j) {
  if (j.is_null()) return std::nullopt;
  return Threshold{j.at("value"), j.at("unit"), j.at("label")};
}

char* Copy(const std::string& s) {
  char* p = static_cast<char*>(std::malloc(s.size() + 1));
  if (p) std::memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

template <class F>
char* Guarded(const char* request, F&& body) noexcept {
  try {
    return Copy(body(json::parse(request ? request : "{}")).dump());
  } catch (const UsageError& e) {
    return Copy(json{{"error", {{"usage", true}, {"message", Masked(e.what())}}}}.dump());
  } catch (const std::exception& e) {
    return Copy(json{{"error", {{"usage", false}, {"message", Masked(e.what())}}}}.dump());
  } catch (...) {
    return Copy(R"({"error": {"usage": false, "message": "unknown failure"}})");
  }
}

// One set of instances and one connection per thread and login (the apartment rule).
Forecaster& ThreadForecaster(const ReportOptions& o) {
  thread_local std::map<std::string, std::unique_ptr<Forecaster>> forecasters;
  const std::string key =
      o.library + '\0' + o.dsn + '\0' + o.user + '\0' + o.password + '\0' + o.qualifier;
  auto& f = forecasters[key];
  if (!f)
    f = std::make_unique<Forecaster>(o.library, trend::db::Login{o.dsn, o.user, o.password},
                                     o.qualifier);
  return *f;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void trend_report_free(char* text) {
  std::free(text);
}

// {"options": {...}} -> {"run": {...}, "series": [...], "thresholds": [...]}
__attribute__((visibility("default"))) char* trend_report_plan(const char* request) {
  return Guarded(request, [](const json& j) {
    const ReportOptions o = Options(j.at("options"));
    SetPassword(o.password);
    const ReportPlan plan = PlanReport(o);
    json series = json::array(), thresholds = json::array();
    for (size_t i = 0; i < plan.series.size(); ++i) {
      series.push_back(SeriesJson(plan.series[i]));
      thresholds.push_back(ThresholdJson(plan.thresholds[i]));
    }
    return json{{"run", RunJson(plan.run)}, {"series", series}, {"thresholds", thresholds}};
  });
}

// {"options", "run", "items": [{"index", "series", "threshold"}]} -> {"lines": [...]}: one
// result line per item, as trendhost's own workers send them.
__attribute__((visibility("default"))) char* trend_report_chunk(const char* request) {
  return Guarded(request, [](const json& j) {
    const ReportOptions o = Options(j.at("options"));
    SetPassword(o.password);
    const ReportRun run = Run(j.at("run"));
    Forecaster& f = ThreadForecaster(o);
    json lines = json::array();
    for (const auto& item : j.at("items"))
      lines.push_back(ResultLine(
          item.at("index").get<size_t>(),
          f.Forecast(SeriesOf(item.at("series")), ThresholdOf(item.at("threshold")), run), run));
    return json{{"lines", lines}};
  });
}

// {"options", "run", "series", "thresholds", "lines"} -> {"status", "text"}: the report,
// sorted and rendered; written to the options' output when one is named (text empty).
__attribute__((visibility("default"))) char* trend_report_write(const char* request) {
  return Guarded(request, [](const json& j) {
    const ReportOptions o = Options(j.at("options"));
    SetPassword(o.password);
    const ReportRun run = Run(j.at("run"));
    std::vector<Series> series;
    std::vector<std::optional<Threshold>> limits;
    for (const auto& s : j.at("series")) series.push_back(SeriesOf(s));
    for (const auto& t : j.at("thresholds")) limits.push_back(ThresholdOf(t));
    std::vector<std::optional<SeriesResult>> byIndex(series.size());
    for (const auto& line : j.at("lines")) {
      auto [index, result] = ParseResultLine(line.get<std::string>(), series, limits, run);
      if (index < byIndex.size()) byIndex[index] = std::move(result);
    }
    std::vector<SeriesResult> results;
    for (size_t i = 0; i < series.size(); ++i) {
      if (!byIndex[i])
        throw CallFailed("no result for the series " + series[i].key.host + " " +
                         series[i].key.probe);
      results.push_back(std::move(*byIndex[i]));
    }
    std::stable_sort(results.begin(), results.end(), MoreUrgent);
    const bool failed = std::any_of(results.begin(), results.end(), [](const SeriesResult& r) {
      return r.status == Status::kError;
    });
    std::string text;
    if (o.output.empty() || o.output == "-")
      text = RenderReport(results, run, o);
    else
      WriteReport(results, run, o);
    return json{{"status", failed ? kExitSomeSeriesFailed : kExitOk}, {"text", text}};
  });
}

}  // extern "C"
