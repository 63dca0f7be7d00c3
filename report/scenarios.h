// What-if scenarios: named lists of dated events applied to the baseline forecast of the
// groups or series they name. A scenario file (CSV, the thresholds file's form):
//
//   scenario,target,event,value,from
//   season,web,growth,+20%,2027-01-01       the forecast's increase after that day, scaled
//   season,web,capacity,+2,2027-03-01       members added to a group (or -1: taken away)
//   bigcustomer,db01/avgcpubusy,step,+5,2027-02-01   a level added (or -30%: a share)
//   upgrade,db01/runqjobs,threshold,16,2027-02-01    a single host's new threshold
//
// A target is a group's name, or host/probe/arg shell patterns (the arg optional, and
// everything after the second "/": a mount point keeps its slashes). Each scenario's
// rows (its crossing, level, forecasts, headroom and members needed) come beside the
// baseline's, with the column `scenario` naming them ("baseline" for the report's own).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "groups.h"
#include "report_types.h"
#include "window_forecast.h"

namespace host {

struct ScenarioEvent {
  enum class Kind { kGrowth, kStep, kCapacity, kThreshold };
  Kind kind = Kind::kStep;
  double value = 0;
  bool percent = false;
  trend::Date from;
  size_t line = 0;
};

// One scenario's events on one target.
struct ScenarioTarget {
  std::string scenario, target;
  std::vector<ScenarioEvent> events;
  size_t line = 0;  // its first line
  // Resolved against the run: the group it names, or the series.
  std::optional<size_t> group;
  std::vector<uint32_t> series;
};

// Reads a scenario file; a malformed one is a usage error naming the file, the line and
// the fault. No file: no scenarios.
std::vector<ScenarioTarget> ReadScenarios(const std::string& path);

// Resolves each target against the groups and the run's series; a target that names
// nothing, or an event its kind of target cannot take, is a usage error naming the line.
void ResolveScenarios(std::vector<ScenarioTarget>& targets, const std::string& path,
                      const std::vector<GroupDefinition>& groups,
                      const std::vector<Series>& series);

// The baseline forecast of a series or group with its path, and a scenario's row from it.
SeriesResult ScenarioRow(const SeriesResult& baseline, const ModelForecast& path,
                         const ScenarioTarget& target, const ReportRun& run);
GroupResult ScenarioGroup(const GroupResult& baseline, const ModelForecast& path,
                          const ScenarioTarget& target, const ReportRun& run);

}  // namespace host
