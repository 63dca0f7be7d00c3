// Services: groups of hosts whose load is planned together, with N+k headroom. A groups
// file (CSV, the thresholds file's form) names each group's members and their capacity:
//
//   group,host,probe,arg,aggregate,capacity,spare,unit,label,direction
//   web,web*,requests,,sum,100,2,req/s,web tier,above
//
// group, host and probe are required; several lines of one group add members (host and
// arg are shell patterns, an empty arg is every argument); the other columns, given on
// any of its lines, must agree. aggregate: sum (demand: requests, cores in use, bytes),
// mean (utilisation) or max; capacity: per member, in the probe's unit (for mean and max,
// the threshold a member must stay under); spare: members held in reserve (N+k), 0 by
// default; direction: above only (a group's load runs out its capacity rising).
//
// A group's series is the aggregate of its members' hourly values hour by hour (a member
// is a host: its own matching series aggregated alike). A member-hour missing between the
// member's first and last day with data is filled from the member's own hour-of-week
// profile and counted; a stale member is named and left out. Usable capacity: sum,
// capacity x (n - spare); mean and max, capacity x (n - spare) / n (the survivors carry
// the lost members' share). The group is forecast by the report's engine against that.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "report_types.h"

namespace host {

enum class Aggregate { kSum, kMean, kMax };
const char* AggregateName(Aggregate a);

struct GroupDefinition {
  struct Members {
    std::string host, arg;  // shell patterns
    size_t line = 0;
  };
  std::string name, probe;
  std::vector<Members> members;
  Aggregate aggregate = Aggregate::kSum;
  double capacity = 0;
  int spare = 0;
  std::string unit, label;
  size_t line = 0;  // its first line
};

// Reads a groups file; a malformed one is a usage error naming the file, the line and the
// fault. No file: no groups.
std::vector<GroupDefinition> ReadGroups(const std::string& path);

// One group's answer: its forecast as a series row (threshold = the usable capacity), and
// what only a group has.
struct GroupResult {
  GroupDefinition definition;
  SeriesResult forecast;
  std::vector<std::string> members;     // the hosts counted (n)
  std::vector<std::string> stale;       // members left out, silent too long
  std::vector<std::string> imbalanced;  // members far from the others' level or growth
  int64_t filledHours = 0;
  std::optional<double> usable, headroom;
  // The members the group needs so that the forecast's upper band stays within the usable
  // capacity through the longest horizon (never fewer than today's), and through --until.
  std::optional<int> membersNeeded, membersNeededUntil;
};

// The members' hourly values aggregated and the group forecast, for each group, from the
// run's series (the members must be among them) read again on a connection of its own.
std::vector<GroupResult> ForecastGroups(const std::vector<GroupDefinition>& groups,
                                        const std::vector<Series>& series, const ReportRun& run);

// ---- The arithmetic, for the tests ----

// The members `spare` members must leave to carry `load` (the upper band's highest value)
// with `capacity` each: sum, load <= capacity x (m - spare); mean and max (the load a
// member carries, today with n members), load x n <= capacity x (m - spare). Never fewer
// than n.
int MembersNeeded(Aggregate a, double load, double capacity, int spare, int n);

}  // namespace host
