// trendreport.so: the fleet report's own steps as a plain C interface, so that a host in
// another language (trendlib.fleet, which spreads the series over a Dask cluster) runs the
// very code of trendhost report: the plan (the grouped query and the thresholds), the
// forecast of a chunk of series through the classes, and the written report. The
// statuses and crossing dates exist once, here.
//
// Every function takes and returns JSON text; the caller frees what it gets with
// trend_report_free. A failure is returned as {"error": {"usage": bool, "message": ...}}.
// trendreport.map is the list of what the library exports (everything else stays local).
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>

#include "command.h"
#include "data_source.h"
#include "error.h"
#include "history.h"
#include "invoke.h"
#include "registry.h"
#include "report.h"
#include "report_json.h"
#include "report_output.h"
#include "result_line.h"
#include "scenarios.h"
#include "series_pipeline.h"

std::string_view trend::ApplicationTitle() {
  return "trendreport";
}

namespace {

using json = nlohmann::ordered_json;
using namespace host;

std::atomic<bool> gCancelled{false};

char* Copy(const std::string& s) {
  char* p = static_cast<char*>(std::malloc(s.size() + 1));
  if (p) std::memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

std::optional<Threshold> ThresholdOf(const json& j) {
  if (j.is_null()) return std::nullopt;
  return j.get<Threshold>();
}

// Runs a call with its own login's password for masking (its thread's, for the call only:
// a worker with several threads masks each call's own), errors as {"error": ...}.
template <class F>
char* Guarded(const char* request, F&& body) noexcept {
  std::optional<PasswordScope> masking;
  try {
    const json j = json::parse(request ? request : "{}");
    if (j.contains("options") && j["options"].contains("password") &&
        j["options"]["password"].is_string())
      masking.emplace(j["options"]["password"].get<std::string>());
    return Copy(body(j).dump(-1, ' ', false, json::error_handler_t::replace));
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
  const std::string key = o.library + '\0' + o.login.dsn + '\0' + o.login.user + '\0' +
                          o.login.password + '\0' + o.login.qualifier;
  auto& f = forecasters[key];
  if (!f) f = std::make_unique<Forecaster>(o.library, o.login);
  return *f;
}

}  // namespace

extern "C" {

// The interface's version: a caller built for another refuses to use it. Raised when a
// function's request or answer changes incompatibly; the version script's node matches.
int trend_report_abi_version(void) {
  return 1;
}

void trend_report_free(char* text) {
  std::free(text);
}

// Asks every chunk under way in this process to stop before its next series (an
// interrupted caller): they answer {"error": ...}. The next plan clears the request.
void trend_report_cancel(void) {
  gCancelled.store(true);
}

// {"options": {...}} -> {"run": {...}, "series": [...], "thresholds": [...]}
char* trend_report_plan(const char* request) {
  gCancelled.store(false);
  return Guarded(request, [](const json& j) {
    const ReportOptions o = j.at("options").get<ReportOptions>();
    const ReportPlan plan = PlanReport(o);
    json series = json::array(), thresholds = json::array();
    for (size_t i = 0; i < plan.series.size(); ++i) {
      series.push_back(plan.series[i]);
      thresholds.push_back(plan.thresholds[i] ? json(*plan.thresholds[i]) : json(nullptr));
    }
    return json{{"run", RunJson(plan.run, true)}, {"series", series}, {"thresholds", thresholds}};
  });
}

// {"options", "run", "items": [{"index", "series", "threshold"}]} -> {"lines": [...]}: one
// result line per item, as trendhost's own workers send them.
char* trend_report_chunk(const char* request) {
  return Guarded(request, [](const json& j) {
    const ReportRun run = RunOf(j.at("options"), j.at("run"));
    Forecaster& f = ThreadForecaster(run);
    const ResultCodec codec(run);
    json lines = json::array();
    for (const auto& item : j.at("items")) {
      if (gCancelled.load()) throw CallFailed("the report was cancelled");
      lines.push_back(codec.Line(
          item.at("index").get<size_t>(),
          f.Forecast(item.at("series").get<Series>(), ThresholdOf(item.at("threshold")), run)));
    }
    return json{{"lines", lines}};
  });
}

// {"options", "run", "series", "thresholds", "lines"} -> {"status", "text", "columns"}: the report,
// sorted and rendered; written to the options' output when one is named (text empty).
char* trend_report_write(const char* request) {
  return Guarded(request, [](const json& j) {
    ReportRun run = RunOf(j.at("options"), j.at("run"));
    std::vector<Series> series;
    SeriesThresholds limits;
    for (const auto& s : j.at("series")) series.push_back(s.get<Series>());
    for (const auto& t : j.at("thresholds")) limits.push_back(ThresholdOf(t));
    if (limits.size() != series.size())
      throw UsageError("the request names " + std::to_string(series.size()) + " series and " +
                       std::to_string(limits.size()) + " thresholds");
    ResultStore results(series, limits, run);
    for (const auto& line : j.at("lines")) results.Add(line.get<std::string>());
    const std::vector<GroupDefinition> groups = ReadGroups(run.groupsFile);
    if (!groups.empty()) {
      results.SetGroups(ForecastGroups(PlanGroups(groups, series, run), series, run));
      CompareGroupsWithHistory(results.groups(), run);
    }
    if (!run.scenarioFile.empty()) {
      auto scenarios = ReadScenarios(run.scenarioFile);
      ResolveScenarios(scenarios, run.scenarioFile, groups, series);
      run.scenarios = std::make_shared<const std::vector<ScenarioTarget>>(std::move(scenarios));
      ApplyScenarios(results, limits, run);
    }
    {
      HostDatabase db(run.login);
      SettleResults(results, run, ReadPriorCrossings(db, series, limits, run.quiet));
    }
    const bool failed = results.AnyFailed();
    std::string text;
    if (run.output.empty() || run.output == "-") {
      std::ostringstream out;
      RenderReport(out, results, run);
      text = std::move(out).str();
    } else {
      WriteReport(results, run);
    }
    // The report first: a run that cannot be recorded still has its report.
    // The rows' columns and their types, for a caller that converts the rows (days to
    // dates, whole numbers to integers).
    json columns = json::array();
    for (const auto& c : results.columns())
      columns.push_back({{"name", c.name}, {"type", CellTypeName(c.type)}});
    json answer{{"status", failed ? kExitSomeSeriesFailed : kExitOk},
                {"text", text},
                {"columns", std::move(columns)}};
    if (run.record)
      if (const auto failure = RecordRun(results, run, run.login)) {
        answer["status"] = kExitNotRecorded;
        answer["record_error"] = Masked(*failure);
      }
    return answer;
  });
}

}  // extern "C"
