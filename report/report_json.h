// The report's types as JSON, mapped once: the options (as trendlib.fleet sends them), the
// run record (the "parameters" of the JSON form, and with jobs and seconds the record
// trendreport.so hands back and forth), a series and a threshold.
#pragma once

#include <nlohmann/json.hpp>

#include "report_types.h"

namespace host {

NLOHMANN_JSON_SERIALIZE_ENUM(Direction,
                             {{Direction::kAbove, "above"}, {Direction::kBelow, "below"}})
NLOHMANN_JSON_SERIALIZE_ENUM(Basis, {{Basis::kMean, "mean"},
                                     {Basis::kPeak, "peak"},
                                     {Basis::kTrough, "trough"}})

void to_json(nlohmann::ordered_json& j, const ReportOptions& o);
void from_json(const nlohmann::ordered_json& j, ReportOptions& o);
// The run's parameters; `withWork` adds the jobs and the seconds the forecasts took.
nlohmann::ordered_json RunJson(const ReportRun& r, bool withWork);
// The run of a caller of the C interface: its options, and what the plan's resolving
// added (RunJson's days, horizons, workers, charts and seconds).
ReportRun RunOf(const nlohmann::ordered_json& options, const nlohmann::ordered_json& run);
void to_json(nlohmann::ordered_json& j, const Series& s);
void from_json(const nlohmann::ordered_json& j, Series& s);
void to_json(nlohmann::ordered_json& j, const Threshold& t);
void from_json(const nlohmann::ordered_json& j, Threshold& t);

}  // namespace host
