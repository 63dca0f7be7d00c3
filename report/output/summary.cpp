#include "summary.h"

#include <algorithm>

#include "command.h"
#include "text.h"

namespace host {

SummaryView Summary(const ReportRun& run) {
  SummaryView v;
  v.header = {"HOST", "PROBE", "ARG", "STATUS", "LEVEL"};
  for (int h : run.horizons) v.header.push_back("+" + std::to_string(h) + "d (week)");
  v.header.insert(v.header.end(), {"PEAK +" + std::to_string(run.horizons.front()) + "d",
                                   "RECENT PEAK", "THRESHOLD", "UNIT", "CROSSES", "GROWTH/30d",
                                   "DAYS WITH DATA", "LAST SEEN", "MODEL", "TRUST", "NOTE"});
  for (const auto& h : v.header)
    v.numeric.push_back(!(h == "HOST" || h == "PROBE" || h == "ARG" || h == "STATUS" ||
                          h == "UNIT" || h == "CROSSES" || h == "LAST SEEN" || h == "MODEL" ||
                          h == "TRUST" || h == "NOTE"));
  return v;
}

std::vector<std::string> SummaryRow(const SeriesResult& r, const ReportRun& run) {
  std::vector<std::string> row = {Visible(r.series.key.host), Visible(r.series.key.probe),
                                  Visible(r.series.key.arg), StatusName(r.status), Fixed(r.level)};
  for (size_t i = 0; i < run.horizons.size(); ++i)
    row.push_back(i < r.week.size() ? Fixed(r.week[i]) : "");
  row.push_back(Fixed(r.peak));
  row.push_back(Fixed(r.recentPeak));
  row.push_back(
      r.threshold ? Fixed(r.threshold->value,
                          r.threshold->value == static_cast<long long>(r.threshold->value) ? 0 : 2)
                  : "");
  row.push_back(r.threshold ? Visible(r.threshold->unit) : "");
  row.push_back(r.status == Status::kError ? "error " + std::to_string(r.errorNumber.value_or(0))
                                           : CrossingText(r));
  row.push_back(Percent(r.growth30));
  row.push_back(std::to_string(r.series.fitDays));
  row.push_back(DayText(r.series.lastDay));
  row.push_back(r.model);
  row.push_back(r.trust);
  row.push_back(Visible(NoteText(r)));
  return row;
}

namespace {

// Members needed as a planner reads them: "none" where today's suffice, else "16 (+6)".
std::string Needed(const std::optional<int>& needed, size_t today) {
  if (!needed) return "";
  const int more = *needed - static_cast<int>(today);
  return more <= 0 ? "none" : std::to_string(*needed) + " (+" + std::to_string(more) + ")";
}

}  // namespace

SummaryView GroupSummary(const ReportRun& run) {
  SummaryView v;
  v.header = {"GROUP", "PROBE", "MEMBERS", "STATUS", "LEVEL", "USABLE", "HEADROOM"};
  for (int h : run.horizons) v.header.push_back("+" + std::to_string(h) + "d (week)");
  v.header.push_back("CROSSES");
  const int longest = *std::max_element(run.horizons.begin(), run.horizons.end());
  v.header.push_back("NEEDED +" + std::to_string(longest) + "d");
  if (run.until) v.header.push_back("NEEDED " + DayText(run.until));
  v.header.push_back("NOTE");
  for (const auto& h : v.header)
    v.numeric.push_back(!(h == "GROUP" || h == "PROBE" || h == "STATUS" || h == "CROSSES" ||
                          h.rfind("NEEDED", 0) == 0 || h == "NOTE"));
  return v;
}

std::vector<std::string> GroupSummaryRow(const GroupResult& g, const ReportRun& run) {
  const SeriesResult& r = g.forecast;
  std::vector<std::string> row = {
      Visible(g.definition.name),
      Visible(g.definition.probe),
      std::to_string(g.members.size()) +
          (g.definition.spare ? " (" + std::to_string(g.definition.spare) + " spare)" : ""),
      StatusName(r.status),
      Fixed(r.level),
      Fixed(g.usable),
      g.headroom ? Fixed(100 * *g.headroom, 1) + "%" : ""};
  for (size_t i = 0; i < run.horizons.size(); ++i)
    row.push_back(i < r.week.size() ? Fixed(r.week[i]) : "");
  row.push_back(r.status == Status::kError ? "error" : CrossingText(r));
  row.push_back(Needed(g.membersNeeded, g.members.size()));
  if (run.until) row.push_back(Needed(g.membersNeededUntil, g.members.size()));
  std::string note;
  auto add = [&](const std::string& text) { note += (note.empty() ? "" : "; ") + text; };
  if (!g.stale.empty()) add("stale, left out: " + HostList(g.stale));
  if (!g.imbalanced.empty()) add("imbalanced: " + HostList(g.imbalanced));
  if (g.filledHours)
    add(std::to_string(g.filledHours) + " member-hour" + (g.filledHours == 1 ? "" : "s") +
        " filled");
  if (!g.rightSizing.empty())
    add(g.rightSizing + (g.membersRemovable
                             ? ", " + std::to_string(*g.membersRemovable) + " member" +
                                   (*g.membersRemovable == 1 ? "" : "s") + " removable"
                             : std::string()));
  for (const auto& flag : r.flags) add(flag);
  if (r.status == Status::kError) add(r.errorDescription);
  row.push_back(Visible(note));
  return row;
}

SummaryView WhatIfSummary(const ReportRun& run) {
  SummaryView v;
  v.header = {"SCENARIO", "TARGET", "STATUS", "LEVEL"};
  for (int h : run.horizons) v.header.push_back("+" + std::to_string(h) + "d (week)");
  v.header.insert(v.header.end(), {"BASELINE CROSSES", "CROSSES", "HEADROOM", "NEEDED"});
  for (const auto& h : v.header)
    v.numeric.push_back(h == "LEVEL" || h == "HEADROOM" || h.find("(week)") != std::string::npos);
  return v;
}

std::vector<std::vector<std::string>> WhatIfRows(const ResultStore& results, const ReportRun& run) {
  std::vector<std::vector<std::string>> rows;
  auto add = [&](const std::string& target, const SeriesResult& base, const SeriesResult& r,
                 const std::string& headroom, const std::string& needed) {
    std::vector<std::string> row = {Visible(r.scenario), Visible(target), StatusName(r.status),
                                    Fixed(r.level)};
    for (size_t i = 0; i < run.horizons.size(); ++i)
      row.push_back(i < r.week.size() ? Fixed(r.week[i]) : "");
    row.insert(row.end(), {CrossingText(base), CrossingText(r), headroom, needed});
    rows.push_back(std::move(row));
  };
  for (const auto& g : results.groups())
    for (const auto& s : g.scenarios)
      add("group " + g.definition.name, g.forecast, s.forecast,
          s.headroom ? Fixed(100 * *s.headroom, 1) + "%" : "",
          Needed(s.membersNeeded,
                 g.members.size() + static_cast<size_t>(std::max(0, s.memberChange))));
  for (size_t rank = 0; rank < results.size(); ++rank) {
    const auto& scenarios = results.ScenarioRowsAt(rank);
    if (scenarios.empty()) continue;
    const SeriesResult base = results.At(rank);
    const SeriesKey& k = base.series.key;
    for (const auto& s : scenarios)
      add(k.host + "/" + k.probe + (k.arg.empty() ? "" : "/" + k.arg), base, s, "", "");
  }
  return rows;
}

}  // namespace host
