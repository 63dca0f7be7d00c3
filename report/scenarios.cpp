#include "scenarios.h"

#include <algorithm>
#include <cmath>

#include "command.h"
#include "csv_table.h"
#include "dates.h"
#include "error.h"
#include "numeric.h"
#include "variant.h"

namespace host {

namespace {

// "+20%", "-30%", "+500", "120": the number and whether it is a share.
std::optional<std::pair<double, bool>> ParseValue(std::string text) {
  bool percent = false;
  if (!text.empty() && text.back() == '%') percent = true, text.pop_back();
  if (!text.empty() && text.front() == '+') text.erase(0, 1);
  if (text.empty() || text.front() == '+') return std::nullopt;
  try {
    const double v = trend::ParseNumber(text);
    if (!std::isfinite(v)) return std::nullopt;
    return std::make_pair(percent ? v / 100 : v, percent);
  } catch (const trend::Error&) {
    return std::nullopt;
  }
}

// A target "host/probe/arg": its patterns (the arg everything after the second "/").
struct Patterns {
  std::string host, probe, arg;
  bool anyArg = true;
};
std::optional<Patterns> SplitTarget(const std::string& target) {
  const size_t first = target.find('/');
  if (first == std::string::npos) return std::nullopt;
  Patterns p;
  p.host = target.substr(0, first);
  const size_t second = target.find('/', first + 1);
  p.probe = target.substr(first + 1,
                          second == std::string::npos ? std::string::npos : second - first - 1);
  if (second != std::string::npos) p.arg = target.substr(second + 1), p.anyArg = false;
  if (p.host.empty() || p.probe.empty()) return std::nullopt;
  return p;
}

// The paths of a scenario: the forecast and its band day by day, the threshold (or
// usable capacity) and, for a group, its members, each from day 0.
struct Paths {
  std::vector<double> path, lower, upper, threshold;
  std::vector<int> members;
};

int StartDay(trend::Date last, trend::Date from) {
  return static_cast<int>(std::max<int64_t>(0, trend::CalendarDaysBetween(last, from)));
}

// The events applied in the order of their days (a file's order within a day).
std::vector<ScenarioEvent> InOrder(std::vector<ScenarioEvent> events) {
  std::stable_sort(events.begin(), events.end(),
                   [](const ScenarioEvent& a, const ScenarioEvent& b) { return a.from < b.from; });
  return events;
}

void ApplyLevelEvents(Paths& p, const std::vector<ScenarioEvent>& events, trend::Date last) {
  const size_t size = p.path.size();
  for (const auto& e : InOrder(events)) {
    const size_t h0 = static_cast<size_t>(StartDay(last, e.from));
    if (h0 >= size) continue;
    if (e.kind == ScenarioEvent::Kind::kGrowth) {
      const double start = p.path[h0];
      for (size_t h = h0; h < size; ++h) {
        const double delta = (p.path[h] - start) * e.value;
        p.path[h] += delta, p.lower[h] += delta, p.upper[h] += delta;
      }
    } else if (e.kind == ScenarioEvent::Kind::kStep) {
      for (size_t h = h0; h < size; ++h) {
        if (e.percent)
          p.path[h] *= 1 + e.value, p.lower[h] *= 1 + e.value, p.upper[h] *= 1 + e.value;
        else
          p.path[h] += e.value, p.lower[h] += e.value, p.upper[h] += e.value;
      }
    } else if (e.kind == ScenarioEvent::Kind::kThreshold) {
      for (size_t h = h0; h < size; ++h) p.threshold[h] = e.value;
    }
  }
}

// A row's figures from the scenario's paths.
void Refigure(SeriesResult& r, const Paths& p, const ReportRun& run, Target target) {
  r.level = p.path[0];
  const bool below = r.threshold && r.threshold->direction == Direction::kBelow;
  for (size_t i = 0; i < run.horizons.size(); ++i) {
    const size_t h = static_cast<size_t>(run.horizons[i]);
    if (h >= p.path.size()) continue;
    if (i < r.forecast.size()) r.forecast[i] = p.path[h];
    if (i < r.lower.size()) r.lower[i] = p.lower[h];
    if (i < r.upper.size()) r.upper[i] = p.upper[h];
    if (i < r.week.size()) r.week[i] = WeekAround(p.path, run.horizons[i], target);
  }
  r.pCross30 = r.pCross90 = r.pCross180 = std::nullopt;
  r.rightSizing.clear();
  r.reclaimable = r.reclaimableShare = std::nullopt;
  if (run.until)
    r.neededUntil =
        NeededUntil(p.lower, p.upper, trend::CalendarDaysBetween(run.lastDay, *run.until), below);
  if (!r.threshold) return;
  const PathCrossing c = CrossingOf(p.path, p.lower, p.upper, p.threshold, below);
  const auto days = c.day;
  r.daysToThreshold = days ? *days : kNeverDays;
  r.crossingDate = days ? DayAfter(run.lastDay, *days) : std::nullopt;
  r.crossingEarliest = c.earliest ? DayAfter(run.lastDay, *c.earliest) : std::nullopt;
  r.crossingLatest = c.latest ? DayAfter(run.lastDay, *c.latest) : std::nullopt;
  if (days && *days == 0)
    r.status = Status::kExceeded;
  else if (!days)
    r.status = Status::kNever;
  else
    r.status = *days <= run.warnDays ? Status::kWarning : Status::kOk;
  if (r.status != Status::kExceeded) r.exceededSince = std::nullopt;
}

// Whether a row has a forecast a scenario can move: a capacity status (acknowledged or
// not), or none for want of a threshold.
bool Movable(Status s) {
  return IsCapacityStatus(s) || s == Status::kAcknowledged || s == Status::kNoThreshold;
}

}  // namespace

std::vector<ScenarioTarget> ReadScenarios(const std::string& path) {
  std::vector<ScenarioTarget> targets;
  if (path.empty()) return targets;
  const CsvTableForm form{"scenario file",
                          {"scenario", "target", "event", "value", "from"},
                          {"scenario", "target", "event", "value", "from"},
                          10000};
  ReadCsvTable(path, form, [&](const CsvTableLine& line) {
    const std::string &name = line["scenario"], &target = line["target"];
    if (name.empty()) line.Fail("the scenario is empty");
    if (target.empty()) line.Fail("the target is empty (a group, or host/probe[/arg])");
    if (name == "baseline")
      line.Fail("\"baseline\" names the report's own rows: give the scenario another name");
    ScenarioEvent e;
    e.line = line.number();
    const std::string& event = line["event"];
    if (event == "growth")
      e.kind = ScenarioEvent::Kind::kGrowth;
    else if (event == "step")
      e.kind = ScenarioEvent::Kind::kStep;
    else if (event == "capacity")
      e.kind = ScenarioEvent::Kind::kCapacity;
    else if (event == "threshold")
      e.kind = ScenarioEvent::Kind::kThreshold;
    else
      line.Fail("the event \"" + Visible(event) +
                "\" is neither growth, step, capacity nor threshold");
    const std::string& text = line["value"];
    const auto value = ParseValue(text);
    if (!value)
      line.Fail("the value \"" + Visible(text) + "\" is not a number (+20%, -30%, +500, 120)");
    std::tie(e.value, e.percent) = *value;
    if (e.kind == ScenarioEvent::Kind::kGrowth && !e.percent)
      line.Fail("a growth is a share: +20% scales the forecast's increase by 1.2");
    if (e.kind == ScenarioEvent::Kind::kCapacity &&
        (e.percent || e.value != std::trunc(e.value) || e.value == 0 || std::fabs(e.value) > 10000))
      line.Fail("a capacity event adds or takes whole members: +2, -1");
    if (e.kind == ScenarioEvent::Kind::kThreshold && e.percent)
      line.Fail("a threshold is a value in the series' unit, not a share");
    const auto day = IsoDay(line["from"]);
    if (!day)
      line.Fail("from \"" + Visible(line["from"]) + "\" is not a day: give it as yyyy-mm-dd");
    e.from = *day;
    auto it = std::find_if(targets.begin(), targets.end(), [&](const ScenarioTarget& t) {
      return t.scenario == name && t.target == target;
    });
    if (it == targets.end()) {
      targets.push_back({name, target, {}, line.number(), std::nullopt, {}});
      it = targets.end() - 1;
    }
    it->events.push_back(e);
  });
  return targets;
}

void ResolveScenarios(std::vector<ScenarioTarget>& targets, const std::string& path,
                      const std::vector<GroupDefinition>& groups,
                      const std::vector<Series>& series) {
  for (auto& t : targets) {
    auto fail = [&](size_t line, const std::string& what) {
      throw UsageError(Visible(path) + ":" + std::to_string(line) + ": " + what);
    };
    for (size_t g = 0; g < groups.size(); ++g)
      if (groups[g].name == t.target) t.group = g;
    if (!t.group) {
      const auto p = SplitTarget(t.target);
      if (p)
        for (size_t i = 0; i < series.size(); ++i) {
          const SeriesKey& k = series[i].key;
          if (MatchesPattern(p->host, k.host) && MatchesPattern(p->probe, k.probe) &&
              (p->anyArg || MatchesPattern(p->arg, k.arg)))
            t.series.push_back(static_cast<uint32_t>(i));
        }
      if (t.series.empty())
        fail(t.line, "the scenario " + Visible(t.scenario) + "'s target " + Visible(t.target) +
                         " names no group and no series of the report (a group's name, or "
                         "host/probe[/arg] patterns)");
    }
    for (const auto& e : t.events) {
      if (t.group && e.kind == ScenarioEvent::Kind::kThreshold)
        fail(e.line, "a group's capacity changes with capacity events (+2, -1), not a threshold");
      if (!t.group && e.kind == ScenarioEvent::Kind::kCapacity)
        fail(e.line, "capacity events add members to a group; " + Visible(t.target) +
                         " is a series (a threshold event changes its threshold)");
    }
  }
}

SeriesResult ScenarioRow(const SeriesResult& baseline, const ModelForecast& f,
                         const ScenarioTarget& target, const ReportRun& run) {
  SeriesResult r = baseline;
  r.scenario = target.scenario;
  r.chart.reset();
  if (!Movable(baseline.status) || f.path.empty()) return r;
  Paths p{f.path, f.lower, f.upper, {}, {}};
  p.threshold.assign(p.path.size(), r.threshold ? r.threshold->value : 0.0);
  ApplyLevelEvents(p, target.events, run.lastDay);
  const Target basis = !r.threshold                           ? Target::kMean
                       : r.threshold->basis == Basis::kPeak   ? Target::kPeak
                       : r.threshold->basis == Basis::kTrough ? Target::kTrough
                                                              : Target::kMean;
  const Status before = r.status;
  Refigure(r, p, run, basis);
  if (before == Status::kAcknowledged) r.status = Status::kAcknowledged;
  // Its path, for the baseline's chart.
  ChartData c;
  const size_t shown =
      static_cast<size_t>(*std::max_element(run.horizons.begin(), run.horizons.end()) + 1);
  c.path.assign(p.path.begin(), p.path.begin() + static_cast<long>(std::min(shown, p.path.size())));
  r.chart = std::make_shared<const ChartData>(std::move(c));
  return r;
}

GroupResult ScenarioGroup(const GroupResult& baseline, const ModelForecast& f,
                          const ScenarioTarget& target, const ReportRun& run) {
  GroupResult g = baseline;
  g.scenario = target.scenario;
  g.scenarios.clear();
  g.forecast.scenario = target.scenario;
  g.forecast.chart.reset();
  if (!Movable(baseline.forecast.status) || f.path.empty() || !baseline.usable) return g;
  const GroupDefinition& d = g.definition;
  const int n = static_cast<int>(g.members.size());
  Paths p{f.path, f.lower, f.upper, {}, std::vector<int>(f.path.size(), n)};
  ApplyLevelEvents(p, target.events, run.lastDay);
  for (const auto& e : InOrder(target.events))
    if (e.kind == ScenarioEvent::Kind::kCapacity)
      for (size_t h = static_cast<size_t>(StartDay(run.lastDay, e.from)); h < p.members.size(); ++h)
        p.members[h] = std::max(0, p.members[h] + static_cast<int>(e.value));
  p.threshold.resize(p.path.size());
  for (size_t h = 0; h < p.path.size(); ++h) {
    const int m = p.members[h];
    if (d.aggregate == Aggregate::kSum) {
      p.threshold[h] = d.capacity * (m - d.spare);
    } else {
      // The load a member carries spreads over the members there are.
      const double share = m > 0 ? static_cast<double>(n) / m : 1;
      p.path[h] *= share, p.lower[h] *= share, p.upper[h] *= share;
      p.threshold[h] = m > 0 ? d.capacity * static_cast<double>(m - d.spare) / m : 0;
    }
  }
  Refigure(g.forecast, p, run, Target::kMean);
  {
    auto kept = std::make_shared<ModelForecast>();
    kept->path = p.path, kept->lower = p.lower, kept->upper = p.upper;
    g.path = std::move(kept);  // the page draws it beside the baseline's
  }
  const int longest = *std::max_element(run.horizons.begin(), run.horizons.end());
  const size_t end = std::min(p.members.size() - 1, static_cast<size_t>(longest));
  g.memberChange = p.members[end] - n;
  g.usable = p.threshold[end];
  if (g.forecast.level && p.threshold[0] > 0) g.headroom = 1 - *g.forecast.level / p.threshold[0];
  const double highest = HighestUpTo(p.upper, static_cast<int>(end));
  // The members needed, counted as the planned group would carry its upper band.
  const int planned = p.members[end];
  g.membersNeeded = MembersNeeded(d.aggregate, highest, d.capacity, d.spare, planned);
  g.membersNeededUntil.reset();
  g.rightSizing.clear();
  g.membersRemovable.reset();
  return g;
}

}  // namespace host
