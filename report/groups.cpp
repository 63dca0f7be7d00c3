#include "groups.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
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

int MembersNeeded(Aggregate a, double load, double capacity, int spare, int n) {
  const double carried = a == Aggregate::kSum ? load : load * n;
  // A hair of rounding does not cost a member.
  const double members = std::ceil(carried / capacity - 1e-9) + spare;
  return std::max(n, static_cast<int>(std::min(members, 1e6)));
}

namespace {

using Hours = std::array<std::optional<double>, 24>;

// Values of one hour aggregated: their sum, mean or largest.
std::optional<double> Combine(Aggregate a, const std::vector<double>& values) {
  if (values.empty()) return std::nullopt;
  if (a == Aggregate::kMax) return *std::max_element(values.begin(), values.end());
  double sum = 0;
  for (double v : values) sum += v;
  return a == Aggregate::kSum ? sum : sum / static_cast<double>(values.size());
}

// A member's hourly values: its own series aggregated alike, the hours missing between its
// first and last day with data filled from its hour-of-week profile (counted in `filled`).
HourlyWindow MemberWindow(const std::vector<HourlyWindow>& own, Aggregate a, int64_t& filled) {
  HourlyWindow w;
  int first = -1, last = -1;  // days back of its oldest and latest day with data
  std::array<std::array<double, 24>, 7> slotSum{}, slotCount{};
  std::array<double, 24> hourSum{}, hourCount{};
  for (int d = 0; d < kWindowDays; ++d)
    for (int h = 0; h < 24; ++h) {
      std::vector<double> values;
      for (const auto& s : own)
        if (const auto& v = s.hours[static_cast<size_t>(d)][static_cast<size_t>(h)])
          values.push_back(*v);
      const auto v = Combine(a, values);
      w.hours[static_cast<size_t>(d)][static_cast<size_t>(h)] = v;
      if (!v) continue;
      if (last < 0) last = d;
      first = d;
      slotSum[static_cast<size_t>(d % 7)][static_cast<size_t>(h)] += *v;
      ++slotCount[static_cast<size_t>(d % 7)][static_cast<size_t>(h)];
      hourSum[static_cast<size_t>(h)] += *v;
      ++hourCount[static_cast<size_t>(h)];
    }
  for (int d = std::max(last, 0); last >= 0 && d <= first; ++d)
    for (int h = 0; h < 24; ++h) {
      auto& v = w.hours[static_cast<size_t>(d)][static_cast<size_t>(h)];
      if (v) continue;
      const size_t slot = static_cast<size_t>(d % 7), hour = static_cast<size_t>(h);
      if (slotCount[slot][hour] > 0)
        v = slotSum[slot][hour] / slotCount[slot][hour];
      else if (hourCount[hour] > 0)
        v = hourSum[hour] / hourCount[hour];
      if (v) ++filled;
    }
  return w;
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

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The highest upper bound of the forecast's band from day 0 to `days`.
double HighestUpper(const std::vector<double>& upper, int days) {
  double most = upper.empty() ? 0 : upper[0];
  for (int h = 0; h <= days && h < static_cast<int>(upper.size()); ++h)
    most = std::max(most, upper[static_cast<size_t>(h)]);
  return most;
}

void Fail(GroupResult& out, const std::string& why) {
  out.forecast.status = Status::kError;
  out.forecast.errorSource = "trendhost";
  out.forecast.errorDescription = why;
}

GroupResult ForecastGroup(const GroupDefinition& g, const std::vector<Series>& series,
                          const ReportRun& run, HostDatabase& db) {
  GroupResult out;
  out.definition = g;
  SeriesResult& r = out.forecast;
  r.series.key = {g.name, g.probe, ""};
  // The members: hosts with a series the group's lines name.
  std::map<std::string, std::vector<const Series*>> byHost;
  for (const auto& s : series) {
    if (!MatchesPattern(g.probe, s.key.probe)) continue;
    const bool named = std::any_of(g.members.begin(), g.members.end(), [&](const auto& m) {
      return MatchesPattern(m.host, s.key.host) &&
             (m.arg.empty() || MatchesPattern(m.arg, s.key.arg));
    });
    if (named) byHost[s.key.host].push_back(&s);
  }
  if (byHost.empty()) {
    Fail(out, "no series of the report's selection is a member (probe " + g.probe + ")");
    return out;
  }
  std::vector<HourlyWindow> members;
  std::vector<std::string> hosts;
  for (const auto& [host, own] : byHost) {
    trend::Date last = own.front()->lastDay, first = own.front()->firstDay;
    for (const Series* s : own)
      last = std::max(last, s->lastDay), first = std::min(first, s->firstDay);
    if (trend::CalendarDaysBetween(last, run.lastDay) > run.staleDays) {
      out.stale.push_back(host);
      continue;
    }
    std::vector<HourlyWindow> windows;
    for (const Series* s : own) windows.push_back(db.Window(s->key, run.firstDay, run.lastDay));
    members.push_back(MemberWindow(windows, g.aggregate, out.filledHours));
    hosts.push_back(host);
    r.series.firstDay = r.series.days ? std::min(r.series.firstDay, first) : first;
    r.series.lastDay = r.series.days ? std::max(r.series.lastDay, last) : last;
    r.series.days = 1;  // set below
  }
  out.members = hosts;
  const int n = static_cast<int>(hosts.size());
  if (n == 0) {
    r.series.firstDay = r.series.lastDay = run.lastDay;
    Fail(out, "every member is stale: " + std::to_string(out.stale.size()) + " silent more than " +
                  std::to_string(run.staleDays) + " days");
    return out;
  }
  // The group's hours, aggregated across the members present.
  HourlyWindow agg;
  int days = 0;
  for (size_t d = 0; d < kWindowDays; ++d) {
    bool any = false;
    for (size_t h = 0; h < 24; ++h) {
      std::vector<double> values;
      for (const auto& m : members)
        if (const auto& v = m.hours[d][h]) values.push_back(*v);
      agg.hours[d][h] = Combine(g.aggregate, values);
      any = any || agg.hours[d][h].has_value();
    }
    days += any;
  }
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
  const int longest = *std::max_element(run.horizons.begin(), run.horizons.end());
  out.membersNeeded =
      MembersNeeded(g.aggregate, HighestUpper(f.upper, longest), g.capacity, g.spare, n);
  if (run.until) {
    const int64_t ahead = trend::CalendarDaysBetween(run.lastDay, *run.until);
    if (ahead >= 0 && ahead < static_cast<int64_t>(f.upper.size()))
      out.membersNeededUntil = MembersNeeded(
          g.aggregate, HighestUpper(f.upper, static_cast<int>(ahead)), g.capacity, g.spare, n);
  }
  // Members far from the others: a level beyond twice the median or under half of it, or a
  // growth the group's own does not fall within the member's interval of.
  std::vector<double> levels;
  for (const auto& m : members) levels.push_back(MeanOf(DailyMeans(m, kLevelDays)));
  std::vector<double> known;
  for (double v : levels)
    if (!std::isnan(v)) known.push_back(v);
  const double median = known.empty() ? NAN : Median(known);
  const double groupSlope = Slope(DailyMeans(agg, kGrowthDays)).first;
  const double expected = g.aggregate == Aggregate::kSum ? groupSlope / n : groupSlope;
  for (size_t i = 0; i < members.size(); ++i) {
    bool odd =
        !std::isnan(levels[i]) && median > 0 && (levels[i] > 2 * median || levels[i] < median / 2);
    const auto [slope, error] = Slope(DailyMeans(members[i], kGrowthDays));
    if (!odd && !std::isnan(slope) && !std::isnan(expected)) {
      const double allowed =
          std::max({kGrowthZ * error, 0.25 * std::fabs(expected), 1e-6 * std::fabs(levels[i])});
      odd = std::fabs(slope - expected) > allowed;
    }
    if (odd) out.imbalanced.push_back(hosts[i]);
  }
  return out;
}

}  // namespace

std::vector<GroupResult> ForecastGroups(const std::vector<GroupDefinition>& groups,
                                        const std::vector<Series>& series, const ReportRun& run) {
  std::vector<GroupResult> out;
  if (groups.empty()) return out;
  HostDatabase db(run.login);
  for (const auto& g : groups) {
    try {
      out.push_back(ForecastGroup(g, series, run, db));
    } catch (const trend::Error& e) {
      GroupResult failed;
      failed.definition = g;
      failed.forecast.series.key = {g.name, g.probe, ""};
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
