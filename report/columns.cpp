#include "columns.h"

#include <algorithm>
#include <charconv>
#include <string>

#include "invoke.h"

namespace host {

namespace {

Column Named(std::string name, CellType type, std::string help) {
  Column c;
  c.name = std::move(name);
  c.type = type;
  c.help = std::move(help);
  return c;
}

template <class T>
Cell Number(const std::optional<T>& v) {
  return v ? Cell(static_cast<double>(*v)) : Cell();
}
Cell Single(const std::optional<float>& v) {
  return v ? Cell(SingleAsDouble(*v)) : Cell();
}
template <class T>
Cell Whole(const std::optional<T>& v) {
  return v ? Cell(static_cast<int64_t>(*v)) : Cell();
}
Cell Text(const std::string& s) {
  return s.empty() ? Cell() : Cell(s);
}
Cell Day(const std::optional<trend::Date>& d) {
  return Text(DayText(d));
}

// Readers of a cell into a result's member.
std::optional<double> AsNumber(const Cell& c) {
  if (const double* d = std::get_if<double>(&c)) return *d;
  if (const int64_t* i = std::get_if<int64_t>(&c)) return static_cast<double>(*i);
  return std::nullopt;
}
template <class T>
std::optional<T> AsWhole(const Cell& c) {
  if (const int64_t* i = std::get_if<int64_t>(&c)) return static_cast<T>(*i);
  if (const double* d = std::get_if<double>(&c)) return static_cast<T>(*d);
  return std::nullopt;
}
std::optional<float> AsSingle(const Cell& c) {
  const auto v = AsNumber(c);
  return v ? std::optional<float>(static_cast<float>(*v)) : std::nullopt;
}
std::string AsText(const Cell& c) {
  const std::string* s = std::get_if<std::string>(&c);
  return s ? *s : std::string();
}

// A column whose cell is one optional member.
template <class T>
Column Member(std::string name, CellType type, std::string help,
              std::optional<T> SeriesResult::*m) {
  Column c = Named(std::move(name), type, std::move(help));
  if constexpr (std::is_same_v<T, float>) {
    c.get = [m](const SeriesResult& r) { return Single(r.*m); };
    c.set = [m](SeriesResult& r, const Cell& v) { r.*m = AsSingle(v); };
  } else if constexpr (std::is_same_v<T, trend::Date>) {
    c.get = [m](const SeriesResult& r) { return Day(r.*m); };
    c.set = [m](SeriesResult& r, const Cell& v) { r.*m = DayFromText(AsText(v)); };
  } else if constexpr (std::is_integral_v<T>) {
    c.get = [m](const SeriesResult& r) { return Whole(r.*m); };
    c.set = [m](SeriesResult& r, const Cell& v) { r.*m = AsWhole<T>(v); };
  } else {
    c.get = [m](const SeriesResult& r) { return Number(r.*m); };
    c.set = [m](SeriesResult& r, const Cell& v) { r.*m = AsNumber(v); };
  }
  return c;
}

Column TextMember(std::string name, std::string help, std::string SeriesResult::*m) {
  Column c = Named(std::move(name), CellType::kText, std::move(help));
  c.get = [m](const SeriesResult& r) { return Text(r.*m); };
  c.set = [m](SeriesResult& r, const Cell& v) { r.*m = AsText(v); };
  return c;
}

// A column that follows from the series or its threshold: not read back.
Column Derived(std::string name, CellType type, std::string help,
               std::function<Cell(const SeriesResult&)> get) {
  Column c = Named(std::move(name), type, std::move(help));
  c.get = std::move(get);
  return c;
}

// The i-th value of one of the per-horizon members.
Column Horizon(std::string name, std::string help,
               std::vector<std::optional<double>> SeriesResult::*m, size_t i) {
  Column c = Named(std::move(name), CellType::kNumber, std::move(help));
  c.get = [m, i](const SeriesResult& r) { return i < (r.*m).size() ? Number((r.*m)[i]) : Cell(); };
  c.set = [m, i](SeriesResult& r, const Cell& v) {
    if ((r.*m).size() <= i) (r.*m).resize(i + 1);
    (r.*m)[i] = AsNumber(v);
  };
  return c;
}

Column& Ranked(Column& c, int rank, CellStyle style = CellStyle::kPlain) {
  c.pageRank = rank;
  c.style = style;
  return c;
}

}  // namespace

nlohmann::ordered_json CellJson(const Cell& c) {
  if (const auto* s = std::get_if<std::string>(&c)) return *s;
  if (const auto* d = std::get_if<double>(&c)) return *d;
  if (const auto* i = std::get_if<int64_t>(&c)) return *i;
  return nullptr;
}

std::string CellText(const Cell& c) {
  if (const auto* s = std::get_if<std::string>(&c)) return *s;
  if (const auto* i = std::get_if<int64_t>(&c)) return std::to_string(*i);
  if (const auto* d = std::get_if<double>(&c)) {
    char buf[32];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, *d).ptr);
  }
  return {};
}

const char* CellTypeName(CellType t) {
  switch (t) {
    case CellType::kText:
      return "text";
    case CellType::kNumber:
      return "number";
    case CellType::kInteger:
      return "integer";
    case CellType::kDay:
      return "day";
  }
  return "text";
}

std::vector<Column> ResultColumns(const std::vector<int>& horizons) {
  using R = SeriesResult;
  std::vector<Column> c;
  c.push_back(Derived("host", CellType::kText, "the host the series comes from",
                      [](const R& r) { return Cell(r.series.key.host); }));
  Ranked(c.back(), 0, CellStyle::kHost);
  c.push_back(Derived("probe", CellType::kText, "the metric",
                      [](const R& r) { return Cell(r.series.key.probe); }));
  Ranked(c.back(), 1);
  c.push_back(Derived("arg", CellType::kText,
                      "the metric's argument (a disk, an interface), empty for none",
                      [](const R& r) { return Cell(r.series.key.arg); }));
  Ranked(c.back(), 2);
  {
    Column s =
        Named("status", CellType::kText,
              "exceeded, warning (crossing within the warning days), ok, never, acknowledged "
              "(held quiet until its day: report --ack), no threshold, insufficient data, stale "
              "or error");
    s.get = [](const R& r) { return Cell(std::string(StatusName(r.status))); };
    s.set = [](R& r, const Cell& v) {
      const std::string name = AsText(v);
      for (Status st : kAllStatuses)
        if (name == StatusName(st)) r.status = st;
    };
    c.push_back(std::move(s));
    Ranked(c.back(), 3, CellStyle::kStatus);
  }
  c.push_back(Derived("label", CellType::kText, "the threshold's label",
                      [](const R& r) { return r.threshold ? Cell(r.threshold->label) : Cell(); }));
  c.push_back(Derived("unit", CellType::kText,
                      "the unit of the threshold and of every value of the row",
                      [](const R& r) { return r.threshold ? Cell(r.threshold->unit) : Cell(); }));
  c.push_back(Derived("threshold", CellType::kNumber,
                      "the value at which the resource runs out (in its direction)",
                      [](const R& r) { return r.threshold ? Cell(r.threshold->value) : Cell(); }));
  c.push_back(Derived("days", CellType::kInteger, "days with data in the range",
                      [](const R& r) { return Cell(int64_t{r.series.days}); }));
  c.back().heading = "days with data";
  c.push_back(Derived("fit_days", CellType::kInteger,
                      "of those, the days within the model's 182-day window",
                      [](const R& r) { return Cell(int64_t{r.series.fitDays}); }));
  c.push_back(Derived("first_day", CellType::kDay, "the first day with data",
                      [](const R& r) { return Cell(DayText(r.series.firstDay)); }));
  c.push_back(Derived("last_day", CellType::kDay, "the last day with data",
                      [](const R& r) { return Cell(DayText(r.series.lastDay)); }));
  c.push_back(Member("level", CellType::kNumber,
                     "the forecast line's value on the report's last day", &R::level));
  Ranked(c.back(), 8);
  for (size_t i = 0; i < horizons.size(); ++i) {
    const std::string h = std::to_string(horizons[i]);
    c.push_back(Horizon("forecast_" + h + "d",
                        "the forecast, days ahead of the last day: " + h + "d", &R::forecast, i));
  }
  c.push_back(Member("peak_" + std::to_string(horizons.front()) + "d", CellType::kNumber,
                     "the busy-hour line, days ahead: " + std::to_string(horizons.front()) + "d",
                     &R::peak));
  {
    // "never" travels apart in the result line (here it is no number).
    Column d =
        Named("days_to_threshold", CellType::kInteger,
              "days from the last day until the forecast reaches the threshold (empty: never)");
    d.get = [](const R& r) {
      return r.daysToThreshold && *r.daysToThreshold != kNeverDays ? Whole(r.daysToThreshold)
                                                                   : Cell();
    };
    d.set = [](R& r, const Cell& v) { r.daysToThreshold = AsWhole<int32_t>(v); };
    c.push_back(std::move(d));
    Ranked(c.back(), 5);
  }
  c.push_back(Member("crossing_date", CellType::kDay, "the day the forecast reaches the threshold",
                     &R::crossingDate));
  Ranked(c.back(), 4, CellStyle::kCrossing);
  c.push_back(Member("growth_30d", CellType::kNumber,
                     "growth of the class's line over 30 days, in percent", &R::growth30));
  c.back().style = CellStyle::kGrowth;
  c.push_back(Member("best_threshold", CellType::kNumber,
                     "the class's suggested threshold for this series", &R::bestThreshold));
  c.push_back(Member("std_dev", CellType::kNumber,
                     "standard deviation of the hourly values around the class's model, in the "
                     "unit",
                     &R::stdDev));
  c.push_back(Member("times_exceeded", CellType::kInteger,
                     "hours of the last 91 days above the threshold", &R::timesExceeded));
  c.push_back(Member("error_number", CellType::kInteger,
                     "the error's number, for a series that failed", &R::errorNumber));
  c.push_back(TextMember("error_source", "where the error came from", &R::errorSource));
  c.push_back(TextMember("error_description", "what went wrong", &R::errorDescription));
  c.push_back(Derived(
      "direction", CellType::kText,
      "above: runs out when rising to the threshold; below: when falling to it", [](const R& r) {
        return r.threshold ? Cell(std::string(DirectionName(r.threshold->direction))) : Cell();
      }));
  c.push_back(Derived("basis", CellType::kText,
                      "mean: the daily-mean line; peak: the busy-hour line", [](const R& r) {
                        return r.threshold ? Cell(std::string(BasisName(r.threshold->basis)))
                                           : Cell();
                      }));
  c.push_back(Member("recent_peak", CellType::kNumber,
                     "the largest hourly average of the last 14 days with data", &R::recentPeak));
  c.push_back(Derived("last_seen", CellType::kDay, "the last day with data",
                      [](const R& r) { return Day(r.series.lastDay); }));
  c.push_back(TextMember("model", "the forecasting model the row's numbers come from", &R::model));
  Ranked(c.back(), 7);
  c.push_back(Member("backtest_mase", CellType::kNumber,
                     "the model's error on the series' own past (MASE at 30 days): below 1 "
                     "beats \"same as last week\", the higher the less to trust the row",
                     &R::backtestMase));
  c.push_back(Member("crossing_earliest", CellType::kDay,
                     "the day the 80 % interval's near bound reaches the threshold",
                     &R::crossingEarliest));
  c.push_back(
      Member("crossing_latest", CellType::kDay, "the day its far bound does", &R::crossingLatest));
  // Filled from the recorded runs as the results are read back: not in the line.
  c.push_back(Derived("previous_crossing", CellType::kDay,
                      "the crossing of the latest recorded run (report --record)",
                      [](const R& r) { return Day(r.previousCrossing); }));
  c.push_back(Derived("crossing_shift_days", CellType::kInteger,
                      "days this crossing lies after the previous one (negative: earlier)",
                      [](const R& r) { return Whole(r.crossingShiftDays); }));
  c.back().style = CellStyle::kShift;
  for (size_t i = 0; i < horizons.size(); ++i) {
    const std::string h = std::to_string(horizons[i]);
    c.push_back(Horizon("lower_" + h + "d",
                        "lower bound of the 80 % interval, days ahead: " + h + "d", &R::lower, i));
    c.push_back(Horizon("upper_" + h + "d",
                        "upper bound of the 80 % interval, days ahead: " + h + "d", &R::upper, i));
  }
  // The trust columns come last, so that earlier ones keep their places.
  c.push_back(Member("backtest_lead", CellType::kInteger,
                     "the days ahead the backtest judged the model over", &R::backtestLead));
  c.push_back(Member("skill", CellType::kNumber,
                     "1 less the model's backtest error over seasonal naive's on the same backtest",
                     &R::skill));
  c.push_back(Member("coverage", CellType::kNumber,
                     "the share of the backtest's actual days inside the 80 % band", &R::coverage));
  c.push_back(TextMember("trust", "high, medium or low: how far the backtest says to trust the row",
                         &R::trust));
  Ranked(c.back(), 6, CellStyle::kTrust);
  c.push_back(Member("p_cross_30d", CellType::kNumber,
                     "the probability of reaching the threshold within 30 days", &R::pCross30));
  c.push_back(Member("p_cross_90d", CellType::kNumber,
                     "the probability of reaching the threshold within 90 days", &R::pCross90));
  c.push_back(Member("p_cross_180d", CellType::kNumber,
                     "the probability of reaching the threshold within 180 days", &R::pCross180));
  c.push_back(Member("exceeded_since", CellType::kDay,
                     "for an exceeded series, the first day of its current run of days at or "
                     "beyond the threshold",
                     &R::exceededSince));
  c.push_back(Derived("crossing_shift", CellType::kText,
                      "\"now never\" where the previous recorded run crossed and this one never "
                      "does, \"new\" the other way round",
                      [](const R& r) { return Text(r.crossingShift); }));
  c.back().style = CellStyle::kShiftNote;
  for (size_t i = 0; i < horizons.size(); ++i) {
    const std::string h = std::to_string(horizons[i]);
    c.push_back(Horizon("week_" + h + "d",
                        "the week around day " + h + " ahead: the mean of days " + h + "-3.." + h +
                            "+3 (on the peak basis their largest, on trough their smallest)",
                        &R::week, i));
    Ranked(c.back(), 9);
    c.back().heading = "+" + h + "d (week)";
  }
  {
    Column f = Named("flags", CellType::kText,
                     "what to know beside the status: \"short history\" (a forecast from fewer "
                     "days than a full fit takes: read it as a rough guide), \"ack expired\" "
                     "(its acknowledgement ran out since the last run)");
    f.get = [](const R& r) {
      std::string text;
      for (const auto& flag : r.flags) text += (text.empty() ? "" : ", ") + flag;
      return Text(text);
    };
    f.set = [](R& r, const Cell& v) {
      r.flags.clear();
      const std::string text = AsText(v);
      for (size_t from = 0; from < text.size();) {
        const size_t comma = std::min(text.find(", ", from), text.size());
        r.flags.push_back(text.substr(from, comma - from));
        from = comma + 2;
      }
    };
    c.push_back(std::move(f));
    Ranked(c.back(), 10);
  }
  // From the acknowledgements file, as the results are read back: not in the line.
  c.push_back(Derived("ack_until", CellType::kDay,
                      "the day the row's acknowledgement runs to (report --ack)",
                      [](const R& r) { return Day(r.ackUntil); }));
  c.push_back(Derived("ack_owner", CellType::kText, "who acknowledged the row",
                      [](const R& r) { return Text(r.ackOwner); }));
  Ranked(c.back(), 11);
  c.push_back(Derived("ack_note", CellType::kText, "why (the acknowledgement's note)",
                      [](const R& r) { return Text(r.ackNote); }));
  Ranked(c.back(), 12);
  c.push_back(Member("needed_until", CellType::kNumber,
                     "with --until: the threshold that would last until that day (the 80 % "
                     "band's far edge at its worst up to it)",
                     &R::neededUntil));
  c.push_back(TextMember("right_sizing",
                         "oversized (the busy hour's upper band stays under --oversized-below of "
                         "the threshold through the longest horizon), undersized (it crosses "
                         "within it), or no recommendation: too little history (under four "
                         "weeks)",
                         &R::rightSizing));
  Ranked(c.back(), 13);
  c.push_back(Member("reclaimable", CellType::kNumber,
                     "for an oversized series, the threshold less the busy hour's highest upper "
                     "bound, in the unit",
                     &R::reclaimable));
  c.push_back(Member("reclaimable_share", CellType::kNumber,
                     "the same, as a share of the threshold", &R::reclaimableShare));
  // Set as the results are read back (--scenario): not in the line.
  c.push_back(Derived("scenario", CellType::kText,
                      "with --scenario: baseline, or the what-if scenario the row's figures come "
                      "from",
                      [](const R& r) { return Text(r.scenario); }));
  return c;
}

std::vector<GroupColumn> GroupColumns(const std::vector<int>& horizons) {
  using G = GroupResult;
  std::vector<GroupColumn> c;
  auto add = [&](std::string name, CellType type, std::string help,
                 std::function<Cell(const G&)> get) {
    c.push_back({std::move(name), type, std::move(help), std::move(get)});
  };
  add("group", CellType::kText, "the service's name",
      [](const G& g) { return Cell(g.definition.name); });
  add("probe", CellType::kText, "its members' metric",
      [](const G& g) { return Cell(g.definition.probe); });
  add("aggregate", CellType::kText, "sum, mean or max of the members' hourly values",
      [](const G& g) { return Cell(std::string(AggregateName(g.definition.aggregate))); });
  add("members", CellType::kInteger,
      "the members counted (hosts with data, not stale; in a scenario, as it plans them)",
      [](const G& g) { return Cell(static_cast<int64_t>(g.members.size()) + g.memberChange); });
  add("member_hosts", CellType::kText, "their names, space-separated",
      [](const G& g) { return Text(HostList(g.members)); });
  add("stale_members", CellType::kText, "members left out: silent longer than --stale-days",
      [](const G& g) { return Text(HostList(g.stale)); });
  add("imbalanced", CellType::kText,
      "members whose level lies beyond twice the others' median or under half of it, or "
      "whose growth differs from the group's: a balancing or placement fault",
      [](const G& g) { return Text(HostList(g.imbalanced)); });
  add("filled_hours", CellType::kInteger,
      "member-hours missing while the member was present, filled from its hour-of-week profile",
      [](const G& g) { return Cell(g.filledHours); });
  add("capacity", CellType::kNumber, "each member's capacity",
      [](const G& g) { return Cell(g.definition.capacity); });
  add("spare", CellType::kInteger, "members held in reserve (N+k)",
      [](const G& g) { return Cell(static_cast<int64_t>(g.definition.spare)); });
  add("threshold", CellType::kNumber,
      "the usable capacity: what the group carries with its spare members lost",
      [](const G& g) { return Number(g.usable); });
  add("headroom", CellType::kNumber, "1 less the level over the usable capacity",
      [](const G& g) { return Number(g.headroom); });
  add("members_needed", CellType::kInteger,
      "the members the group needs so that the forecast's upper band stays within the usable "
      "capacity through the longest horizon (never fewer than today's)",
      [](const G& g) { return Whole(g.membersNeeded); });
  add("members_needed_until", CellType::kInteger, "the same, through the --until day",
      [](const G& g) { return Whole(g.membersNeededUntil); });
  add("right_sizing", CellType::kText,
      "oversized (the upper band stays under --oversized-below of the usable capacity), "
      "undersized (it crosses within the longest horizon), or no recommendation",
      [](const G& g) { return Text(g.rightSizing); });
  add("members_removable", CellType::kInteger,
      "for an oversized group, the members it could give up and still carry its upper band "
      "with its spare members lost",
      [](const G& g) { return Whole(g.membersRemovable); });
  // The series columns that mean the same for a group.
  static const char* const kShared[] = {"status",
                                        "unit",
                                        "label",
                                        "level",
                                        "days_to_threshold",
                                        "crossing_date",
                                        "crossing_earliest",
                                        "crossing_latest",
                                        "exceeded_since",
                                        "model",
                                        "backtest_mase",
                                        "trust",
                                        "p_cross_30d",
                                        "p_cross_90d",
                                        "p_cross_180d",
                                        "flags",
                                        "first_day",
                                        "last_day",
                                        "days",
                                        "error_source",
                                        "error_description",
                                        "scenario",
                                        "previous_crossing",
                                        "crossing_shift_days",
                                        "crossing_shift"};
  for (const Column& col : ResultColumns(horizons)) {
    const bool perHorizon = col.name.rfind("forecast_", 0) == 0 ||
                            col.name.rfind("lower_", 0) == 0 || col.name.rfind("upper_", 0) == 0 ||
                            col.name.rfind("week_", 0) == 0;
    const bool shared = perHorizon || std::find(std::begin(kShared), std::end(kShared), col.name) !=
                                          std::end(kShared);
    if (!shared) continue;
    auto get = col.get;
    c.push_back({col.name, col.type, col.help, [get](const G& g) { return get(g.forecast); }});
  }
  return c;
}

}  // namespace host
