#include "groups.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <tuple>

#include "command.h"
#include "csv_table.h"
#include "dates.h"
#include "error.h"
#include "numeric.h"
#include "series_pipeline.h"
#include "variant.h"

namespace host {

namespace {

constexpr int kLevelDays = 28;      // a member's level: the mean of its last four weeks
constexpr int kGrowthDays = 56;     // its growth: the line through its last eight weeks
constexpr double kGrowthZ = 2.576;  // a growth beyond its own 99 % interval stands out

}  // namespace

std::string HostList(const std::vector<std::string>& hosts) {
  std::string out;
  for (const auto& h : hosts) out += (out.empty() ? "" : " ") + h;
  return out;
}

std::vector<const GroupResult*> GroupRows(const GroupResult& g) {
  std::vector<const GroupResult*> rows = {&g};
  for (const auto& s : g.scenarios) rows.push_back(&s);
  return rows;
}

const char* AggregateName(Aggregate a) {
  return a == Aggregate::kMean ? "mean" : a == Aggregate::kMax ? "max" : "sum";
}

std::vector<GroupDefinition> ReadGroups(const std::string& path) {
  std::vector<GroupDefinition> groups;
  if (path.empty()) return groups;
  const CsvTableForm form{"groups file",
                          {"group", "host", "probe", "arg", "aggregate", "capacity", "spare",
                           "unit", "label", "direction"},
                          {"group", "host", "probe"},
                          100000};
  std::map<std::string, size_t> byName;  // group -> index
  std::map<std::tuple<std::string, std::string, std::string>, size_t> memberLines;
  // Which line gave each group's setting, for the message when another line differs.
  std::map<std::pair<std::string, std::string>, size_t> settingLine;
  ReadCsvTable(path, form, [&](const CsvTableLine& line) {
    const std::string &name = line["group"], &hostPattern = line["host"];
    if (name.empty()) line.Fail("the group is empty");
    if (hostPattern.empty()) line.Fail("the host is empty (a pattern: * is every host)");
    if (line["probe"].empty()) line.Fail("the probe is empty");
    auto [at, added] = byName.emplace(name, groups.size());
    if (added) {
      groups.emplace_back();
      groups.back().name = name;
      groups.back().line = line.number();
    }
    GroupDefinition& g = groups[at->second];
    if (const auto [it, fresh] =
            memberLines.emplace(std::make_tuple(name, hostPattern, line["arg"]), line.number());
        !fresh)
      line.Fail("the group " + Visible(name) + " already has the hosts " + Visible(hostPattern) +
                (line["arg"].empty() ? std::string() : " with the arg " + Visible(line["arg"])) +
                " on line " + std::to_string(it->second));
    g.members.push_back({hostPattern, line["arg"], line.number()});
    // A setting given on several lines of a group must be the same on each.
    auto setting = [&](const char* column, const std::string& current, bool set) {
      const std::string& value = line[column];
      if (value.empty()) return false;
      if (set && value != current)
        line.Fail("the group " + Visible(name) + " has the " + column + " \"" + Visible(current) +
                  "\" on line " + std::to_string(settingLine[{name, column}]) + ", not \"" +
                  Visible(value) + "\"");
      settingLine.emplace(std::make_pair(name, std::string(column)), line.number());
      return !set;
    };
    auto given = [&](const char* column) { return settingLine.count({name, column}) > 0; };
    if (setting("probe", g.probe, given("probe"))) g.probe = line["probe"];
    {
      const bool had = given("aggregate");
      if (setting("aggregate", AggregateName(g.aggregate), had)) {
        const std::string& a = line["aggregate"];
        if (a == "sum")
          g.aggregate = Aggregate::kSum;
        else if (a == "mean")
          g.aggregate = Aggregate::kMean;
        else if (a == "max")
          g.aggregate = Aggregate::kMax;
        else
          line.Fail("the aggregate \"" + Visible(a) + "\" is neither sum, mean nor max");
      }
    }
    {
      const bool had = given("capacity");
      const std::string& text = line["capacity"];
      if (!text.empty()) {
        double v = 0;
        try {
          v = trend::ParseNumber(text);
        } catch (const trend::Error&) {
          line.Fail("the capacity \"" + Visible(text) + "\" is not a number");
        }
        if (!std::isfinite(v) || v <= 0)
          line.Fail("the capacity \"" + Visible(text) + "\" is not a number above 0");
        if (had && v != g.capacity)
          line.Fail("the group " + Visible(name) + " has the capacity " +
                    trend::FormatDouble(g.capacity) + " on line " +
                    std::to_string(settingLine[{name, "capacity"}]) + ", not " + Visible(text));
        if (!had) settingLine.emplace(std::make_pair(name, std::string("capacity")), line.number());
        g.capacity = v;
      }
    }
    {
      const bool had = given("spare");
      const std::string& text = line["spare"];
      if (!text.empty()) {
        const bool digits =
            text.size() <= 4 && text.find_first_not_of("0123456789") == std::string::npos;
        if (!digits) line.Fail("spare \"" + Visible(text) + "\" is not a number of members");
        const int v = std::stoi(text);
        if (had && v != g.spare)
          line.Fail("the group " + Visible(name) + " has the spare " + std::to_string(g.spare) +
                    " on line " + std::to_string(settingLine[{name, "spare"}]) + ", not " + text);
        if (!had) settingLine.emplace(std::make_pair(name, std::string("spare")), line.number());
        g.spare = v;
      }
    }
    if (setting("unit", g.unit, given("unit"))) g.unit = line["unit"];
    if (setting("label", g.label, given("label"))) g.label = line["label"];
    const std::string& direction = line["direction"];
    if (!direction.empty() && direction != "above")
      line.Fail(direction == "below"
                    ? "a group's direction is above: its load runs out its capacity rising"
                    : "the direction \"" + Visible(direction) + "\" is not above");
  });
  for (const auto& g : groups)
    if (g.capacity <= 0)
      throw UsageError(Visible(path) + ":" + std::to_string(g.line) + ": the group " +
                       Visible(g.name) + " has no capacity (a column capacity, per member)");
  return groups;
}

int MembersCarrying(Aggregate a, double load, double capacity, int spare, int n) {
  const double carried = a == Aggregate::kSum ? load : load * n;
  // A hair of rounding does not cost a member.
  const double members = std::ceil(carried / capacity - 1e-9) + spare;
  return static_cast<int>(std::clamp(members, 0.0, 1e6));
}

int MembersNeeded(Aggregate a, double load, double capacity, int spare, int n) {
  return std::max(n, MembersCarrying(a, load, capacity, spare, n));
}

namespace {

constexpr size_t kCells = static_cast<size_t>(kWindowDays) * 24;

// A series' hours with the hours missing between its first and last day with data filled
// from its own hour-of-week profile (the mean of its hours of the same weekday and hour,
// else of the same hour); how many were filled.
std::pair<HourlyWindow, int64_t> Filled(const HourlyWindow& own) {
  HourlyWindow w = own;
  int first = -1, last = -1;  // days back of its oldest and latest day with data
  std::array<std::array<double, 24>, 7> slotSum{}, slotCount{};
  std::array<double, 24> hourSum{}, hourCount{};
  for (size_t d = 0; d < kWindowDays; ++d)
    for (size_t h = 0; h < 24; ++h)
      if (const auto& v = w.hours[d][h]) {
        if (last < 0) last = static_cast<int>(d);
        first = static_cast<int>(d);
        slotSum[d % 7][h] += *v, ++slotCount[d % 7][h];
        hourSum[h] += *v, ++hourCount[h];
      }
  int64_t filled = 0;
  for (int d = std::max(last, 0); last >= 0 && d <= first; ++d)
    for (size_t h = 0; h < 24; ++h) {
      auto& v = w.hours[static_cast<size_t>(d)][h];
      if (v) continue;
      const size_t slot = static_cast<size_t>(d % 7);
      if (slotCount[slot][h] > 0)
        v = slotSum[slot][h] / slotCount[slot][h];
      else if (hourCount[h] > 0)
        v = hourSum[h] / hourCount[h];
      filled += v.has_value();
    }
  return {w, filled};
}

// The daily means of a window, days back 0..days-1 (NaN for a day without data).
std::vector<double> DailyMeans(const HourlyWindow& w, int days) {
  std::vector<double> out;
  for (int d = 0; d < days && d < kWindowDays; ++d)
    out.push_back(FiguresOf(w.hours[static_cast<size_t>(d)]).mean);
  return out;
}

double MeanOf(const std::vector<double>& v) {
  double sum = 0;
  int n = 0;
  for (double x : v)
    if (!std::isnan(x)) sum += x, ++n;
  return n ? sum / n : NAN;
}

// The least-squares slope a day of daily means (days back) and its standard error.
std::pair<double, double> Slope(const std::vector<double>& back) {
  double sx = 0, sy = 0, n = 0;
  for (size_t d = 0; d < back.size(); ++d)
    if (!std::isnan(back[d])) sx -= static_cast<double>(d), sy += back[d], ++n;
  if (n < 3) return {NAN, NAN};
  const double mx = sx / n, my = sy / n;
  double sxx = 0, sxy = 0;
  for (size_t d = 0; d < back.size(); ++d)
    if (!std::isnan(back[d])) {
      const double x = -static_cast<double>(d) - mx;
      sxx += x * x, sxy += x * (back[d] - my);
    }
  const double b = sxy / sxx;
  double rss = 0;
  for (size_t d = 0; d < back.size(); ++d)
    if (!std::isnan(back[d])) {
      const double e = back[d] - (my + b * (-static_cast<double>(d) - mx));
      rss += e * e;
    }
  return {b, std::sqrt(rss / (n - 2) / sxx)};
}

void Fail(GroupResult& out, const std::string& why) {
  out.forecast.status = Status::kError;
  out.forecast.errorSource = "trendhost";
  out.forecast.errorDescription = why;
}

}  // namespace

GroupPlan PlanGroups(std::vector<GroupDefinition> groups, const std::vector<Series>& series,
                     const ReportRun& run) {
  GroupPlan plan;
  plan.groups = std::move(groups);
  const size_t n = plan.groups.size();
  plan.members.resize(n);
  plan.hosts.resize(n);
  plan.stale.resize(n);
  if (n) plan.groupsOf.resize(series.size());
  // A host is stale by its latest series of the probe.
  for (size_t g = 0; g < n; ++g) {
    const GroupDefinition& def = plan.groups[g];
    std::map<std::string, std::vector<uint32_t>> byHost;
    for (size_t i = 0; i < series.size(); ++i) {
      const SeriesKey& k = series[i].key;
      if (!MatchesPattern(def.probe, k.probe)) continue;
      const bool named = std::any_of(def.members.begin(), def.members.end(), [&](const auto& m) {
        return MatchesPattern(m.host, k.host) && (m.arg.empty() || MatchesPattern(m.arg, k.arg));
      });
      if (named) byHost[k.host].push_back(static_cast<uint32_t>(i));
    }
    for (const auto& [host, own] : byHost) {
      trend::Date last = series[own.front()].lastDay;
      for (uint32_t i : own) last = std::max(last, series[i].lastDay);
      if (trend::CalendarDaysBetween(last, run.lastDay) > run.staleDays) {
        plan.stale[g].push_back(host);
        continue;
      }
      plan.hosts[g].push_back(host);
      for (uint32_t i : own) {
        plan.members[g].push_back(i);
        plan.groupsOf[i].push_back(static_cast<uint32_t>(g));
      }
    }
  }
  return plan;
}

GroupShare::GroupShare() : sum(kCells, 0.0), largest(kCells, -INFINITY), count(kCells, 0) {}

void GroupShare::Add(uint32_t index, const HourlyWindow& window) {
  const auto [w, filled] = Filled(window);
  for (size_t d = 0; d < kWindowDays; ++d)
    for (size_t h = 0; h < 24; ++h)
      if (const auto& v = w.hours[d][h]) {
        const size_t at = d * 24 + h;
        sum[at] += *v;
        largest[at] = std::max(largest[at], *v);
        ++count[at];
      }
  const auto [slope, error] = Slope(DailyMeans(w, kGrowthDays));
  members.push_back({index, filled, MeanOf(DailyMeans(w, kLevelDays)), slope, error});
}

void GroupShare::Merge(const GroupShare& other) {
  for (size_t at = 0; at < kCells; ++at) {
    sum[at] += other.sum[at];
    largest[at] = std::max(largest[at], other.largest[at]);
    count[at] += other.count[at];
  }
  members.insert(members.end(), other.members.begin(), other.members.end());
}

namespace {

constexpr const char* kShareTag = "#group ";

// A number of a share's line: JSON has no NaN or infinity, so those travel as null.
nlohmann::json Finite(double v) {
  return std::isfinite(v) ? nlohmann::json(v) : nlohmann::json(nullptr);
}
double FromFinite(const nlohmann::json& v, double none) {
  return v.is_number() ? v.get<double>() : none;
}

}  // namespace

std::string GroupShare::Line(size_t group) const {
  // Only the hours some member has: a share of a few members stays small.
  nlohmann::json hours = nlohmann::json::array();
  for (size_t at = 0; at < kCells; ++at)
    if (count[at]) hours.push_back({at, sum[at], largest[at], count[at]});
  nlohmann::json list = nlohmann::json::array();
  for (const auto& m : members)
    list.push_back({m.index, m.filled, Finite(m.level), Finite(m.slope), Finite(m.error)});
  return kShareTag + std::to_string(group) + " " +
         nlohmann::json{{"hours", std::move(hours)}, {"members", std::move(list)}}.dump();
}

bool GroupShare::IsLine(const std::string& line) {
  return line.rfind(kShareTag, 0) == 0;
}

std::pair<size_t, GroupShare> GroupShare::FromLine(const std::string& line) {
  const size_t space = line.find(' ', std::strlen(kShareTag));
  const size_t group = std::stoul(line.substr(std::strlen(kShareTag), space));
  const auto j = nlohmann::json::parse(line.substr(space + 1));
  GroupShare s;
  for (const auto& h : j.at("hours")) {
    const size_t at = h.at(0).get<size_t>();
    if (at >= kCells) throw CallFailed("a worker's share of a group is out of range");
    s.sum[at] = h.at(1).get<double>();
    s.largest[at] = h.at(2).get<double>();
    s.count[at] = h.at(3).get<int32_t>();
  }
  for (const auto& m : j.at("members"))
    s.members.push_back({m.at(0).get<uint32_t>(), m.at(1).get<int64_t>(), FromFinite(m.at(2), NAN),
                         FromFinite(m.at(3), NAN), FromFinite(m.at(4), NAN)});
  return {group, std::move(s)};
}

GroupResult ForecastGroup(const GroupPlan& plan, size_t group, const GroupShare& share,
                          const std::vector<Series>& series, const ReportRun& run) {
  const GroupDefinition& g = plan.groups[group];
  GroupResult out;
  out.definition = g;
  out.members = plan.hosts[group];
  out.stale = plan.stale[group];
  SeriesResult& r = out.forecast;
  r.series.key = {g.name, g.probe, ""};
  r.series.firstDay = r.series.lastDay = run.lastDay;
  const int n = static_cast<int>(out.members.size());
  if (n == 0) {
    Fail(out, out.stale.empty()
                  ? "no series of the report's selection is a member (probe " + g.probe + ")"
                  : "every member is stale: " + std::to_string(out.stale.size()) +
                        " silent more than " + std::to_string(run.staleDays) + " days");
    return out;
  }
  bool first = true;
  for (uint32_t i : plan.members[group]) {
    r.series.firstDay =
        first ? series[i].firstDay : std::min(r.series.firstDay, series[i].firstDay);
    r.series.lastDay = first ? series[i].lastDay : std::max(r.series.lastDay, series[i].lastDay);
    first = false;
  }
  // The group's hours, aggregated across the members present.
  HourlyWindow agg;
  int days = 0;
  for (size_t d = 0; d < kWindowDays; ++d) {
    bool any = false;
    for (size_t h = 0; h < 24; ++h) {
      const size_t at = d * 24 + h;
      if (!share.count[at]) continue;
      agg.hours[d][h] = g.aggregate == Aggregate::kSum    ? share.sum[at]
                        : g.aggregate == Aggregate::kMean ? share.sum[at] / share.count[at]
                                                          : share.largest[at];
      any = true;
    }
    days += any;
  }
  for (const auto& m : share.members) out.filledHours += m.filled;
  r.series.days = r.series.fitDays = days;
  out.usable = g.aggregate == Aggregate::kSum
                   ? g.capacity * (n - g.spare)
                   : g.capacity * static_cast<double>(n - g.spare) / static_cast<double>(n);
  r.threshold = Threshold{*out.usable, g.unit, g.label.empty() ? g.name : g.label,
                          Direction::kAbove, Basis::kMean};
  // The class's line answers a stored series only: a group takes the engine's choice.
  ReportRun groupRun = run;
  if (groupRun.model == "line") groupRun.model = "auto";
  r.forecast.assign(run.horizons.size(), std::nullopt);
  const ModelForecast f = ApplyModel(r, agg, groupRun, Target::kMean);
  const auto back = DaysAtOrBeyond(agg, Target::kMean, *out.usable, false);
  r.status = StatusOf(r, groupRun, back.has_value());
  if (r.status == Status::kExceeded)
    r.exceededSince = trend::AddDays(run.lastDay, -back.value_or(0));
  if (r.level && *out.usable > 0) out.headroom = 1 - *r.level / *out.usable;
  {
    auto kept = std::make_shared<ModelForecast>();
    kept->path = f.path, kept->lower = f.lower, kept->upper = f.upper;
    out.path = std::move(kept);
  }
  if (run.drawsCharts) {
    // The page's chart of the aggregate: its days, then the forecast and band.
    ChartData c;
    for (int d = kWindowDays - 1; d >= 0; --d) {
      const DayFigures day = FiguresOf(agg.hours[static_cast<size_t>(d)]);
      if (!std::isnan(day.mean)) c.days.push_back({-d, day.mean, day.peak});
    }
    const size_t shown =
        static_cast<size_t>(*std::max_element(run.horizons.begin(), run.horizons.end()) + 1);
    c.path.assign(f.path.begin(),
                  f.path.begin() + static_cast<long>(std::min(shown, f.path.size())));
    c.lower.assign(f.lower.begin(), f.lower.begin() + static_cast<long>(c.path.size()));
    c.upper.assign(f.upper.begin(), f.upper.begin() + static_cast<long>(c.path.size()));
    r.chart = std::make_shared<const ChartData>(std::move(c));
  }
  const int longest = *std::max_element(run.horizons.begin(), run.horizons.end());
  const double highest = HighestUpTo(f.upper, longest);
  out.membersNeeded = MembersNeeded(g.aggregate, highest, g.capacity, g.spare, n);
  if (IsCapacityStatus(r.status)) {
    if (r.series.fitDays < kRightSizingDays)
      out.rightSizing = "no recommendation: too little history";
    else if (r.status == Status::kExceeded ||
             (r.daysToThreshold && *r.daysToThreshold != kNeverDays &&
              *r.daysToThreshold <= longest))
      out.rightSizing = "undersized";
    else if (highest < *out.usable * run.oversizedBelow / 100) {
      out.rightSizing = "oversized";
      out.membersRemovable = std::max(
          0,
          n - std::max(1 + g.spare, MembersCarrying(g.aggregate, highest, g.capacity, g.spare, n)));
    }
  }
  if (run.until) {
    const int64_t ahead = trend::CalendarDaysBetween(run.lastDay, *run.until);
    if (ahead >= 0 && ahead < static_cast<int64_t>(f.upper.size()))
      out.membersNeededUntil = MembersNeeded(
          g.aggregate, HighestUpTo(f.upper, static_cast<int>(ahead)), g.capacity, g.spare, n);
  }
  // Members far from the others: a level beyond twice the median or under half of it, or a
  // growth the group's own does not fall within the member's interval of.
  std::vector<double> known;
  for (const auto& m : share.members)
    if (!std::isnan(m.level)) known.push_back(m.level);
  const double median = known.empty() ? NAN : Quantile(known, 0.5);
  const double groupSlope = Slope(DailyMeans(agg, kGrowthDays)).first;
  const double expected = g.aggregate == Aggregate::kSum
                              ? groupSlope / static_cast<double>(share.members.size())
                              : groupSlope;
  // Two members cannot say which of them is the odd one.
  for (const auto& m :
       share.members.size() >= 3 ? share.members : std::vector<GroupShare::Member>()) {
    bool odd = !std::isnan(m.level) && median > 0 && (m.level > 2 * median || m.level < median / 2);
    if (!odd && !std::isnan(m.slope) && !std::isnan(expected)) {
      const double allowed =
          std::max({kGrowthZ * m.error, 0.25 * std::fabs(expected), 1e-6 * std::fabs(m.level)});
      odd = std::fabs(m.slope - expected) > allowed;
    }
    const std::string& host = series[m.index].key.host;
    if (odd &&
        std::find(out.imbalanced.begin(), out.imbalanced.end(), host) == out.imbalanced.end())
      out.imbalanced.push_back(host);
  }
  std::sort(out.imbalanced.begin(), out.imbalanced.end());
  return out;
}

std::vector<GroupResult> ForecastGroups(const GroupPlan& plan, const std::vector<Series>& series,
                                        const ReportRun& run) {
  std::vector<GroupResult> out;
  if (plan.groups.empty()) return out;
  HostDatabase db(run.login);
  for (size_t g = 0; g < plan.groups.size(); ++g) {
    try {
      GroupShare share;
      for (uint32_t i : plan.members[g])
        share.Add(i, db.Window(series[i].key, run.firstDay, run.lastDay));
      out.push_back(ForecastGroup(plan, g, share, series, run));
    } catch (const trend::Error& e) {
      GroupResult failed;
      failed.definition = plan.groups[g];
      failed.forecast.series.key = {plan.groups[g].name, plan.groups[g].probe, ""};
      failed.forecast.series.firstDay = failed.forecast.series.lastDay = run.lastDay;
      failed.forecast.status = Status::kError;
      failed.forecast.errorNumber = e.number();
      failed.forecast.errorSource = e.source();
      failed.forecast.errorDescription = Lines(e.description());
      out.push_back(std::move(failed));
    }
  }
  return out;
}

}  // namespace host
