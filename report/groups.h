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
// counts as one series: a host with two matching series brings both, and n counts hosts).
// A member-hour missing between the series' first and last day with data is filled from
// its own hour-of-week profile and counted; a stale member is named and left out. Usable capacity:
// sum, capacity x (n - spare); mean and max, capacity x (n - spare) / n (the survivors carry the
// lost members' share). The group is forecast by the report's engine against that.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "report_types.h"
#include "window_forecast.h"

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
  std::vector<std::string> imbalanced;  // members far from the others' (of three or more)
  int64_t filledHours = 0;
  std::optional<double> usable, headroom;
  // The members the group needs so that the forecast's upper band stays within the usable
  // capacity through the longest horizon (never fewer than today's), and through --until.
  std::optional<int> membersNeeded, membersNeededUntil;
  // Right-sizing on the usable capacity, as for a series; for an oversized group, the
  // members it could give up and still carry the upper band with its spare ones lost.
  std::string rightSizing;
  std::optional<int> membersRemovable;
  // The forecast's path and band (for the scenarios), and with --scenario: "baseline" or
  // the scenario's name, the members it adds (or takes), and the scenarios' rows.
  std::shared_ptr<const ModelForecast> path;
  std::string scenario;
  int memberChange = 0;
  std::vector<GroupResult> scenarios;
};

// Host names as a group's rows list them: separated by spaces.
std::string HostList(const std::vector<std::string>& hosts);

// A group's row, then its scenarios' rows.
std::vector<const GroupResult*> GroupRows(const GroupResult& g);

// Which of the run's series each group holds: its member series (of hosts not stale), the
// hosts counted and those left out. Made once, from the series list alone.
struct GroupPlan {
  std::vector<GroupDefinition> groups;
  std::vector<std::vector<uint32_t>> members;  // per group: series indexes
  std::vector<std::vector<std::string>> hosts, stale;
  std::vector<std::vector<uint32_t>> groupsOf;  // per series: the groups it is a member of
};
GroupPlan PlanGroups(std::vector<GroupDefinition> groups, const std::vector<Series>& series,
                     const ReportRun& run);

// A share of a group's members' hours aggregated (a worker's members, then all of them):
// per hour of the window their sum, count and largest value, and each member series'
// figures for the balance. Shares add up in any order.
struct GroupShare {
  GroupShare();
  struct Member {
    uint32_t index;
    int64_t filled;
    double level, slope, error;  // the last four weeks' mean; the last eight weeks' line
  };
  std::vector<double> sum, largest;
  std::vector<int32_t> count;
  std::vector<Member> members;
  // Adds a member series' hours, the hours missing between its first and last day with
  // data filled from its own hour-of-week profile.
  void Add(uint32_t index, const HourlyWindow& window);
  void Merge(const GroupShare& other);
  // As a line of text a worker sends ("#group INDEX " and JSON), and back.
  std::string Line(size_t group) const;
  static bool IsLine(const std::string& line);
  static std::pair<size_t, GroupShare> FromLine(const std::string& line);
};

// The group forecast from all its members' share.
GroupResult ForecastGroup(const GroupPlan& plan, size_t group, const GroupShare& share,
                          const std::vector<Series>& series, const ReportRun& run);

// Every group, its members' hours read again on a connection of its own (where no worker
// gathered them: the report's C interface).
std::vector<GroupResult> ForecastGroups(const GroupPlan& plan, const std::vector<Series>& series,
                                        const ReportRun& run);

// ---- The arithmetic, for the tests ----

// The members `spare` members must leave to carry `load` (the upper band's highest value)
// with `capacity` each: sum, load <= capacity x (m - spare); mean and max (the load a
// member carries, today with n members), load x n <= capacity x (m - spare). Never fewer
// than n.
int MembersNeeded(Aggregate a, double load, double capacity, int spare, int n);
// The same without the floor of today's members.
int MembersCarrying(Aggregate a, double load, double capacity, int spare, int n);

}  // namespace host
