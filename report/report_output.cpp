#include "report_output.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <numeric>
#include <set>
#include <sstream>

#include "command.h"
#include "csv.h"
#include "history.h"
#include "invoke.h"
#include "output_file.h"
#include "report_charts.h"
#include "report_json.h"
#include "report_page.h"

namespace host {

using json = nlohmann::ordered_json;

namespace {

template <class T>
json Maybe(const std::optional<T>& v) {
  return v ? json(*v) : json(nullptr);
}
json MaybeSingle(const std::optional<float>& v) {
  return v ? json(SingleAsDouble(*v)) : json(nullptr);
}
json MaybeText(const std::string& s) {
  return s.empty() ? json(nullptr) : json(s);
}

struct Column {
  std::string name;
  std::function<json(const SeriesResult&)> value;
};

// The columns of the CSV, JSON, Markdown and HTML forms, in order. Names never change
// meaning; new ones are added at the end.
std::vector<Column> Columns(const ReportRun& run) {
  std::vector<Column> c = {
      {"host", [](const SeriesResult& r) { return json(r.series.key.host); }},
      {"probe", [](const SeriesResult& r) { return json(r.series.key.probe); }},
      {"arg", [](const SeriesResult& r) { return json(r.series.key.arg); }},
      {"status", [](const SeriesResult& r) { return json(StatusName(r.status)); }},
      {"label",
       [](const SeriesResult& r) {
         return r.threshold ? json(r.threshold->label) : json(nullptr);
       }},
      {"unit",
       [](const SeriesResult& r) { return r.threshold ? json(r.threshold->unit) : json(nullptr); }},
      {"threshold",
       [](const SeriesResult& r) {
         return r.threshold ? json(r.threshold->value) : json(nullptr);
       }},
      {"days", [](const SeriesResult& r) { return json(r.series.days); }},
      {"fit_days", [](const SeriesResult& r) { return json(r.series.fitDays); }},
      {"first_day", [](const SeriesResult& r) { return json(DayText(r.series.firstDay)); }},
      {"last_day", [](const SeriesResult& r) { return json(DayText(r.series.lastDay)); }},
      {"level", [](const SeriesResult& r) { return Maybe(r.level); }},
  };
  for (size_t i = 0; i < run.horizons.size(); ++i)
    c.push_back({"forecast_" + std::to_string(run.horizons[i]) + "d", [i](const SeriesResult& r) {
                   return i < r.forecast.size() ? Maybe(r.forecast[i]) : json(nullptr);
                 }});
  std::vector<Column> rest = {
      {"peak_" + std::to_string(run.horizons.front()) + "d",
       [](const SeriesResult& r) { return Maybe(r.peak); }},
      {"days_to_threshold",
       [](const SeriesResult& r) {
         return r.daysToThreshold && *r.daysToThreshold != kNeverDays ? json(*r.daysToThreshold)
                                                                      : json(nullptr);
       }},
      {"crossing_date", [](const SeriesResult& r) { return MaybeText(DayText(r.crossingDate)); }},
      {"growth_30d", [](const SeriesResult& r) { return MaybeSingle(r.growth30); }},
      {"best_threshold", [](const SeriesResult& r) { return MaybeSingle(r.bestThreshold); }},
      {"std_dev", [](const SeriesResult& r) { return MaybeSingle(r.stdDev); }},
      {"times_exceeded", [](const SeriesResult& r) { return Maybe(r.timesExceeded); }},
      {"error_number", [](const SeriesResult& r) { return Maybe(r.errorNumber); }},
      {"error_source", [](const SeriesResult& r) { return MaybeText(r.errorSource); }},
      {"error_description", [](const SeriesResult& r) { return MaybeText(r.errorDescription); }},
      {"direction",
       [](const SeriesResult& r) {
         return r.threshold ? json(DirectionName(r.threshold->direction)) : json(nullptr);
       }},
      {"basis",
       [](const SeriesResult& r) {
         return r.threshold ? json(BasisName(r.threshold->basis)) : json(nullptr);
       }},
      {"recent_peak", [](const SeriesResult& r) { return Maybe(r.recentPeak); }},
      {"last_seen", [](const SeriesResult& r) { return MaybeText(DayText(r.series.lastDay)); }},
      {"model", [](const SeriesResult& r) { return MaybeText(r.model); }},
      {"backtest_mase", [](const SeriesResult& r) { return Maybe(r.backtestMase); }},
      {"crossing_earliest",
       [](const SeriesResult& r) { return MaybeText(DayText(r.crossingEarliest)); }},
      {"crossing_latest",
       [](const SeriesResult& r) { return MaybeText(DayText(r.crossingLatest)); }},
      {"previous_crossing",
       [](const SeriesResult& r) { return MaybeText(DayText(r.previousCrossing)); }},
      {"crossing_shift_days", [](const SeriesResult& r) { return Maybe(r.crossingShiftDays); }},
  };
  for (size_t i = 0; i < run.horizons.size(); ++i) {
    const std::string h = std::to_string(run.horizons[i]) + "d";
    rest.push_back({"lower_" + h, [i](const SeriesResult& r) {
                      return i < r.lower.size() ? Maybe(r.lower[i]) : json(nullptr);
                    }});
    rest.push_back({"upper_" + h, [i](const SeriesResult& r) {
                      return i < r.upper.size() ? Maybe(r.upper[i]) : json(nullptr);
                    }});
  }
  // The trust columns come last, so that earlier ones keep their places.
  const std::vector<Column> trust = {
      {"backtest_lead", [](const SeriesResult& r) { return Maybe(r.backtestLead); }},
      {"skill", [](const SeriesResult& r) { return Maybe(r.skill); }},
      {"coverage", [](const SeriesResult& r) { return Maybe(r.coverage); }},
      {"trust", [](const SeriesResult& r) { return MaybeText(r.trust); }},
      {"p_cross_30d", [](const SeriesResult& r) { return Maybe(r.pCross30); }},
      {"p_cross_90d", [](const SeriesResult& r) { return Maybe(r.pCross90); }},
      {"p_cross_180d", [](const SeriesResult& r) { return Maybe(r.pCross180); }},
  };
  rest.insert(rest.end(), trust.begin(), trust.end());
  c.insert(c.end(), rest.begin(), rest.end());
  return c;
}

json SeriesObject(const SeriesResult& r, const std::vector<Column>& columns) {
  json o = json::object();
  for (const auto& c : columns) o[c.name] = c.value(r);
  return o;
}

// A value as CSV or table text: numbers in their shortest exact form.
std::string Plain(const json& v) {
  if (v.is_null()) return "";
  if (v.is_string()) return v.get<std::string>();
  if (v.is_number_integer()) return std::to_string(v.get<int64_t>());
  if (v.is_number()) {
    char buf[32];
    auto end = std::to_chars(buf, buf + sizeof buf, v.get<double>()).ptr;
    return std::string(buf, end);
  }
  return v.dump();
}

// A text cell a spreadsheet would run as a formula ("=...", "+...", "-...", "@...") gets a
// leading apostrophe; numbers stay as they are. --csv-raw turns this off.
std::string Defused(const json& v, const std::string& text, bool raw) {
  if (raw || !v.is_string() || text.empty()) return text;
  return std::strchr("=+-@", text[0]) ? "'" + text : text;
}

// A Markdown cell: HTML, link and emphasis syntax escaped, so that a name renders as text.
std::string MarkdownCell(const std::string& s) {
  std::string out;
  for (char c : Visible(s)) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '|':
      case '[':
      case ']':
      case '(':
      case ')':
      case '*':
      case '_':
      case '`':
      case '\\':
      case '!':
      case '#':
        out += '\\';
        out += c;
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string HtmlEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::map<Status, size_t> Counts(const ResultStore& results) {
  std::map<Status, size_t> counts;
  for (Status s : kAllStatuses) counts[s] = 0;
  for (size_t rank = 0; rank < results.size(); ++rank) ++counts[results.StatusAt(rank)];
  return counts;
}

json Parameters(const ReportRun& run) {
  return RunJson(run, false);
}

std::string Fixed(const std::optional<double>& v, int decimals = 2) {
  if (!v) return "";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, *v);
  return buf;
}

// The crossing as a person reads it: "never", "> 10 years" beyond ten years, else the day.
std::string Crossing(const SeriesResult& r) {
  if (!r.daysToThreshold) return "";
  if (*r.daysToThreshold == kNeverDays) return "never";
  if (*r.daysToThreshold > kFarDays) return "> 10 years";
  return DayText(r.crossingDate);
}

// A growth rate as a person reads it: "+4.2%".
std::string Percent(const std::optional<float>& growth) {
  if (!growth) return "";
  char text[32];
  std::snprintf(text, sizeof text, "%+.1f%%", 100.0 * *growth);
  return text;
}

// The columns a person reads first: the table and Markdown forms.
struct View {
  std::vector<std::string> header;
  std::vector<bool> numeric;  // right-aligned
};
View Summary(const ReportRun& run) {
  View v;
  v.header = {"HOST", "PROBE", "ARG", "STATUS", "LEVEL"};
  for (int h : run.horizons) v.header.push_back("+" + std::to_string(h) + "d");
  v.header.insert(v.header.end(), {"PEAK", "RECENT PEAK", "THRESHOLD", "UNIT", "CROSSES",
                                   "GROWTH/30d", "DAYS WITH DATA", "LAST SEEN", "MODEL", "TRUST"});
  for (const auto& h : v.header)
    v.numeric.push_back(!(h == "HOST" || h == "PROBE" || h == "ARG" || h == "STATUS" ||
                          h == "UNIT" || h == "CROSSES" || h == "LAST SEEN" || h == "MODEL" ||
                          h == "TRUST"));
  return v;
}

// A result's row of the table and Markdown forms.
std::vector<std::string> SummaryRow(const SeriesResult& r, const ReportRun& run) {
  std::vector<std::string> row = {Visible(r.series.key.host), Visible(r.series.key.probe),
                                  Visible(r.series.key.arg), StatusName(r.status), Fixed(r.level)};
  for (size_t i = 0; i < run.horizons.size(); ++i)
    row.push_back(i < r.forecast.size() ? Fixed(r.forecast[i]) : "");
  row.push_back(Fixed(r.peak));
  row.push_back(Fixed(r.recentPeak));
  row.push_back(
      r.threshold ? Fixed(r.threshold->value,
                          r.threshold->value == static_cast<long long>(r.threshold->value) ? 0 : 2)
                  : "");
  row.push_back(r.threshold ? Visible(r.threshold->unit) : "");
  row.push_back(r.status == Status::kError ? "error " + std::to_string(r.errorNumber.value_or(0))
                                           : Crossing(r));
  row.push_back(Percent(r.growth30));
  row.push_back(std::to_string(r.series.fitDays));
  row.push_back(DayText(r.series.lastDay));
  row.push_back(r.model);
  row.push_back(r.trust);
  return row;
}

// The table: a pass over the results for the columns' widths, a second for the rows.
void WriteTable(std::ostream& out, const ResultStore& results, const ReportRun& run) {
  const View v = Summary(run);
  std::vector<size_t> width(v.header.size());
  for (size_t c = 0; c < v.header.size(); ++c) width[c] = v.header[c].size();
  // Every cell as a terminal may show it (an error's text comes from a server).
  auto shown = [&](const SeriesResult& r) {
    auto row = SummaryRow(r, run);
    for (auto& cell : row) cell = Visible(cell);
    return row;
  };
  for (const auto& r : results) {
    const auto row = shown(r);
    for (size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
  }
  auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (size_t c = 0; c < cells.size(); ++c) {
      // Texts left, numbers right.
      const std::string pad(width[c] - cells[c].size(), ' ');
      text += v.numeric[c] ? pad + cells[c] : cells[c] + pad;
      if (c + 1 < cells.size()) text += "  ";
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out << text << "\n";
  };
  line(v.header);
  for (const auto& r : results) line(shown(r));
}

void WriteMarkdown(std::ostream& out, const ResultStore& results, const ReportRun& run) {
  const View v = Summary(run);
  out << "Fleet report " << DayText(run.first) << " to " << DayText(run.last) << " (" << run.dsn
      << "): ";
  bool firstCount = true;
  for (auto [status, n] : Counts(results)) {
    if (!n) continue;
    out << (firstCount ? "" : ", ") << n << " " << StatusName(status);
    firstCount = false;
  }
  out << "\n\n";
  auto cell = [](const std::string& s) { return MarkdownCell(s); };
  out << "|";
  for (const auto& h : v.header) out << " " << cell(h) << " |";
  out << "\n|";
  for (size_t c = 0; c < v.header.size(); ++c) out << (v.numeric[c] ? " ---: |" : " --- |");
  out << "\n";
  for (const auto& r : results) {
    out << "|";
    for (const auto& c : SummaryRow(r, run)) out << " " << cell(c) << " |";
    out << "\n";
  }
}

// What a column of the page means, shown on hovering its header and in the legend.
std::string ColumnHelp(const std::string& name) {
  static const std::map<std::string, std::string> kHelp = {
      {"host", "the host the series comes from"},
      {"probe", "the metric"},
      {"arg", "the metric's argument (a disk, an interface), empty for none"},
      {"status",
       "exceeded, warning (crossing within the warning days), ok, never, no "
       "threshold, insufficient data, stale or error"},
      {"label", "the threshold's label"},
      {"unit", "the unit of the threshold and of every value of the row"},
      {"threshold", "the value at which the resource runs out (in its direction)"},
      {"days", "days with data in the range"},
      {"fit_days", "of those, the days within the model's 182-day window"},
      {"first_day", "the first day with data"},
      {"last_day", "the last day with data"},
      {"level", "the forecast line's value on the report's last day"},
      {"days_to_threshold",
       "days from the last day until the forecast reaches the threshold "
       "(empty: never)"},
      {"crossing_date", "the day the forecast reaches the threshold"},
      {"growth_30d", "growth of the class's line over 30 days, in percent"},
      {"best_threshold", "the class's suggested threshold for this series"},
      {"std_dev",
       "standard deviation of the hourly values around the class's model, in the "
       "unit"},
      {"times_exceeded", "hours of the last 91 days above the threshold"},
      {"error_number", "the error's number, for a series that failed"},
      {"error_source", "where the error came from"},
      {"error_description", "what went wrong"},
      {"direction", "above: runs out when rising to the threshold; below: when falling to it"},
      {"basis", "mean: the daily-mean line; peak: the busy-hour line"},
      {"recent_peak", "the largest hourly average of the last 14 days with data"},
      {"last_seen", "the last day with data"},
      {"model", "the forecasting model the row's numbers come from"},
      {"backtest_mase",
       "the model's error on the series' own past (MASE at 30 days): below 1 "
       "beats \"same as last week\", the higher the less to trust the row"},
      {"crossing_earliest", "the day the 80 % interval's near bound reaches the threshold"},
      {"crossing_latest", "the day its far bound does"},
      {"previous_crossing", "the crossing of the latest recorded run (report --record)"},
      {"crossing_shift_days",
       "days this crossing lies after the previous one (negative: "
       "earlier)"},
      {"backtest_lead", "the days ahead the backtest judged the model over"},
      {"skill", "1 less the model's backtest error over seasonal naive's on the same backtest"},
      {"coverage", "the share of the backtest's actual days inside the 80 % band"},
      {"trust", "high, medium or low: how far the backtest says to trust the row"},
      {"p_cross_30d", "the probability of reaching the threshold within 30 days"},
      {"p_cross_90d", "the probability of reaching the threshold within 90 days"},
      {"p_cross_180d", "the probability of reaching the threshold within 180 days"},
  };
  if (auto it = kHelp.find(name); it != kHelp.end()) return it->second;
  for (const auto& [prefix, text] : std::vector<std::pair<std::string, std::string>>{
           {"forecast_", "the forecast, days ahead of the last day: "},
           {"peak_", "the busy-hour line, days ahead: "},
           {"lower_", "lower bound of the 80 % interval, days ahead: "},
           {"upper_", "upper bound of the 80 % interval, days ahead: "}})
    if (name.rfind(prefix, 0) == 0) return text + name.substr(prefix.size());
  return {};
}

// Where a column stands among those a planner reads first (host, probe, arg, status, the
// crossing, how far to trust it and by which model, the level, then the forecasts);
// INT_MAX for the others.
int LeadingRank(const std::string& name) {
  static const std::vector<std::string> kLeading = {"host",   "probe",         "arg",
                                                    "status", "crossing_date", "days_to_threshold",
                                                    "trust",  "model",         "level"};
  for (size_t i = 0; i < kLeading.size(); ++i)
    if (name == kLeading[i]) return static_cast<int>(i);
  return name.rfind("forecast_", 0) == 0 ? static_cast<int>(kLeading.size()) : INT_MAX;
}

// The page's columns: the leading ones, then the rest in their usual order; without the
// columns no row has a value in, and without the first and last day when every row has the
// same ones (the parameters show them once).
std::vector<const Column*> PageColumns(const std::vector<Column>& columns,
                                       const ResultStore& results, bool sameDays) {
  // One pass over the results: which columns hold a value somewhere.
  std::vector<bool> held(columns.size(), false);
  size_t unseen = columns.size();
  for (auto it = results.begin(); unseen > 0 && it != results.end(); ++it) {
    const SeriesResult r = *it;
    for (size_t c = 0; c < columns.size(); ++c)
      if (!held[c] && !columns[c].value(r).is_null()) held[c] = true, --unseen;
  }
  std::vector<const Column*> out;
  for (size_t i = 0; i < columns.size(); ++i) {
    const Column& c = columns[i];
    if (sameDays && (c.name == "first_day" || c.name == "last_day" || c.name == "last_seen"))
      continue;
    if (!held[i] && c.name != "host" && c.name != "status") continue;
    out.push_back(&c);
  }
  std::stable_sort(out.begin(), out.end(), [](const Column* a, const Column* b) {
    return LeadingRank(a->name) < LeadingRank(b->name);
  });
  return out;
}

std::string StatusClass(Status s) {
  std::string cls = StatusName(s);
  for (char& c : cls) c = c == ' ' ? '-' : c;
  return "status s-" + cls;
}

// A column's heading in the page's tables, its meaning shown on hovering.
void WriteHeader(std::ostream& out, const Column& c) {
  out << "<th title=\"" << HtmlEscape(ColumnHelp(c.name)) << "\">"
      << HtmlEscape(c.name == "days" ? std::string("days with data") : c.name) << "</th>";
}

// A cell of the page's tables: numbers to two decimals (the exact figure sorts and shows on
// hovering), the status as a badge, the crossing and growth as a person reads them.
void WriteCell(std::ostream& out, const Column& c, const SeriesResult& r) {
  const json v = c.value(r);
  const std::string text = Plain(v);
  if (c.name == "crossing_date" && r.daysToThreshold && *r.daysToThreshold > kFarDays) {
    out << "<td data-sort=\"" << HtmlEscape(text) << "\" title=\"" << HtmlEscape(text) << "\">"
        << HtmlEscape(Crossing(r)) << "</td>";
  } else if (c.name == "growth_30d" && v.is_number()) {
    out << "<td class=\"num\" data-sort=\"" << text << "\" title=\"" << text << "\">"
        << HtmlEscape(Percent(r.growth30)) << "</td>";
  } else if (c.name == "crossing_shift_days" && v.is_number()) {
    // A crossing that moved by weeks since the last recorded run stands out.
    const bool large = std::abs(v.get<int>()) >= kLargeShiftDays;
    out << "<td class=\"num" << (large ? " shift-large" : "") << "\" data-sort=\"" << text
        << "\" title=\"" << (v.get<int>() < 0 ? "earlier" : "later")
        << " than the previous recorded run\">" << text << "</td>";
  } else if (c.name == "status") {
    out << "<td data-sort=\"" << static_cast<int>(r.status) << "\"><span class=\""
        << StatusClass(r.status) << "\">" << HtmlEscape(text) << "</span></td>";
  } else if (c.name == "trust" && !r.trust.empty()) {
    // A badge: a low-trust row's answer is read with its backtest in mind.
    const int rank = r.trust == "low" ? 0 : r.trust == "medium" ? 1 : 2;
    out << "<td data-sort=\"" << rank << "\"><span class=\"trust t-" << HtmlEscape(r.trust)
        << "\" title=\"" << HtmlEscape(ColumnHelp("trust")) << "\">" << HtmlEscape(text)
        << "</span></td>";
  } else if (v.is_number()) {
    const std::string shown = v.is_number_integer() ? text : Fixed(v.get<double>());
    out << "<td class=\"num\" data-sort=\"" << text << "\" title=\"" << text << "\">"
        << HtmlEscape(shown) << "</td>";
  } else {
    out << "<td>" << HtmlEscape(text) << "</td>";
  }
}

void WriteHtml(std::ostream& out, const ResultStore& results, const ReportRun& run,
               const std::vector<Column>& columns, const std::vector<Chart>& charts) {
  out << R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Fleet capacity report )"
      << HtmlEscape(DayText(run.first) + " to " + DayText(run.last)) << R"(</title>
<style>
)" << kReportCss
      << R"(</style></head><body>
<h1>Fleet capacity report</h1>
<dl>)";
  auto item = [&](const std::string& k, const std::string& v) {
    out << "<dt>" << HtmlEscape(k) << "</dt><dd>" << HtmlEscape(v) << "</dd>\n";
  };
  item("data source",
       run.dsn + (run.qualifier.empty() ? "" : " (qualifier " + run.qualifier + ")"));
  item("range", DayText(run.first) + " to " + DayText(run.last));
  // Days with data: once here when every series has the same, else per row.
  bool sameDays = !results.empty();
  for (size_t rank = 1; sameDays && rank < results.size(); ++rank)
    sameDays = results.SeriesAt(rank).firstDay == results.SeriesAt(0).firstDay &&
               results.SeriesAt(rank).lastDay == results.SeriesAt(0).lastDay;
  if (sameDays)
    item("days with data", DayText(results.SeriesAt(0).firstDay) + " to " +
                               DayText(results.SeriesAt(0).lastDay) + " (every series)");
  std::string horizons;
  for (int h : run.horizons)
    horizons += (horizons.empty() ? "" : ", ") + std::to_string(h) + " days";
  item("horizons", horizons);
  item("warning within", std::to_string(run.warnDays) + " days");
  item("thresholds", run.thresholdsFile.empty() ? "built-in defaults" : run.thresholdsFile);
  item("series", std::to_string(results.size()));
  out << "</dl>\n<p class=\"counts\">";
  for (auto [status, n] : Counts(results))
    out << "<span><span class=\"" << StatusClass(status) << "\">" << StatusName(status)
        << "</span> " << n << "</span>";
  // The hosts, each with a section of its own below the table. The ranks host by host, each
  // host's in the report's order: the sections read each result once.
  std::vector<size_t> byHost(results.size());
  std::iota(byHost.begin(), byHost.end(), size_t{0});
  std::stable_sort(byHost.begin(), byHost.end(), [&](size_t a, size_t b) {
    return results.SeriesAt(a).key.host < results.SeriesAt(b).key.host;
  });
  std::map<std::string, std::string> hostIds;
  for (size_t rank : byHost)
    if (const std::string& host = results.SeriesAt(rank).key.host; !hostIds.count(host))
      hostIds.emplace(host, "host-" + std::to_string(hostIds.size() + 1));

  out << "</p>\n<h2 id=\"series-table\">Series</h2>\n<p class=\"filters\"><input "
         "id=\"filter\" type=\"search\" placeholder=\"filter rows\" aria-label=\"filter "
         "rows\"> <select id=\"status-filter\" aria-label=\"status\"><option value=\"\">every "
         "status</option>";
  for (Status s : kAllStatuses) out << "<option>" << StatusName(s) << "</option>";
  out << "</select> <select id=\"host-filter\" aria-label=\"host\"><option value=\"\">every "
         "host</option>";
  // The value is given: an option's text alone loses leading, trailing and doubled blanks.
  for (const auto& [host, id] : hostIds)
    out << "<option value=\"" << HtmlEscape(host) << "\">" << HtmlEscape(host) << "</option>";
  out << "</select> <span id=\"shown\"></span></p>\n"
         "<div class=\"table-box\"><table id=\"series\"><thead><tr>";
  const std::vector<const Column*> shown = PageColumns(columns, results, sameDays);
  for (const Column* c : shown) WriteHeader(out, *c);
  out << "</tr></thead>\n<tbody>\n";
  for (const auto& r : results) {
    out << "<tr data-status=\"" << StatusName(r.status) << "\" data-host=\""
        << HtmlEscape(r.series.key.host) << "\">";
    for (const Column* c : shown) {
      if (c->name == "host")
        out << "<td><a href=\"#" << hostIds[r.series.key.host] << "\" title=\"this host's "
            << "series and charts\">" << HtmlEscape(r.series.key.host) << "</a></td>";
      else
        WriteCell(out, *c, r);
    }
    out << "</tr>\n";
  }
  out << "</tbody></table></div>\n<details class=\"legend\"><summary>What the columns "
         "mean</summary>\n<dl>";
  for (const Column* c : shown)
    if (const std::string help = ColumnHelp(c->name); !help.empty())
      out << "<dt>" << HtmlEscape(c->name) << "</dt><dd>" << HtmlEscape(help) << "</dd>\n";
  out << "</dl></details>\n<h2>Hosts</h2>\n";

  // Per host: its series (the leading columns but the host, and the unit) and its charts.
  std::vector<const Column*> brief;
  for (const Column* c : shown)
    if (c->name != "host" && (LeadingRank(c->name) != INT_MAX || c->name == "unit"))
      brief.push_back(c);
  auto next = byHost.begin();
  for (const auto& [host, id] : hostIds) {
    out << "<section class=\"host\" id=\"" << id << "\" data-host=\"" << HtmlEscape(host)
        << "\"><h3>" << HtmlEscape(host) << "</h3>\n<div class=\"table-box\"><table "
        << "class=\"host-series\"><thead><tr>";
    for (const Column* c : brief) WriteHeader(out, *c);
    out << "</tr></thead><tbody>\n";
    for (; next != byHost.end() && results.SeriesAt(*next).key.host == host; ++next) {
      const SeriesResult r = results.At(*next);
      out << "<tr>";
      for (const Column* c : brief) WriteCell(out, *c, r);
      out << "</tr>\n";
    }
    out << "</tbody></table></div>\n";
    for (const auto& c : charts)
      if (c.host == host)
        out << "<div class=\"chart\" id=\"chart-" << HtmlEscape(c.id) << "\">" << c.svg
            << "</div>\n";
    out << "<p class=\"back\"><a href=\"#series-table\">back to the table</a></p></section>\n";
  }
  out << R"(<script>
)" << kReportScript
      << R"(</script>
</body></html>
)";
}

// The length of the valid UTF-8 sequence at `i`, or 0.
size_t Utf8Length(const std::string& s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  const size_t n = c < 0x80           ? 1
                   : (c >> 5) == 0x6  ? 2
                   : (c >> 4) == 0xE  ? 3
                   : (c >> 3) == 0x1E ? 4
                                      : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  const unsigned code =
      n == 2   ? ((c & 0x1Fu) << 6) | (byte(i + 1) & 0x3Fu)
      : n == 3 ? ((c & 0x0Fu) << 12) | ((byte(i + 1) & 0x3Fu) << 6) | (byte(i + 2) & 0x3Fu)
      : n == 4 ? ((c & 0x07u) << 18) | ((byte(i + 1) & 0x3Fu) << 12) |
                     ((byte(i + 2) & 0x3Fu) << 6) | (byte(i + 3) & 0x3Fu)
               : c;
  // Overlong forms, surrogates and code points past U+10FFFF are not valid.
  if ((n == 2 && code < 0x80) || (n == 3 && code < 0x800) || (n == 4 && code < 0x10000) ||
      (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
    return 0;
  return n;
}

// A label value of the exposition format, one for each name: the name's backslashes
// doubled, its control and reordering characters (\x1b, \u202e) and the bytes of invalid
// UTF-8 (\xff) as escapes, so that no two names give the same label; then backslash and
// quote escaped as the format asks.
std::string LabelValue(const std::string& text) {
  std::string shown;
  for (size_t i = 0; i < text.size();) {
    const size_t n = Utf8Length(text, i);
    if (n == 0) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", static_cast<unsigned char>(text[i]));
      shown += esc;
      ++i;
      continue;
    }
    if (text[i] == '\\') shown += '\\';
    shown.append(text, i, n);
    i += n;
  }
  std::string out;
  for (char c : Visible(shown)) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

std::string MetricNumber(double v) {
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  char buf[32];
  auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
  return std::string(buf, end);
}

// The report as metrics for node_exporter's textfile collector (the text exposition
// format, which OpenMetrics parsers read too): a gauge family per figure, labelled by
// host, probe and arg; "never" is +Inf; a status is 1 for the series' own, 0 else.
void WriteOpenMetrics(std::ostream& out, const ResultStore& results, const ReportRun& run) {
  auto labels = [](const SeriesResult& r) {
    return "host=\"" + LabelValue(r.series.key.host) + "\",probe=\"" +
           LabelValue(r.series.key.probe) + "\",arg=\"" + LabelValue(r.series.key.arg) + "\"";
  };
  auto family = [&](const char* name, const char* help) {
    out << "# HELP " << name << " " << help << "\n# TYPE " << name << " gauge\n";
  };
  family("trend_level", "The forecast's value on the report's last day.");
  for (const auto& r : results)
    if (r.level) out << "trend_level{" << labels(r) << "} " << MetricNumber(*r.level) << "\n";
  family("trend_forecast", "The forecast at a horizon after the report's last day.");
  for (const auto& r : results)
    for (size_t i = 0; i < run.horizons.size() && i < r.forecast.size(); ++i)
      if (r.forecast[i])
        out << "trend_forecast{" << labels(r) << ",horizon=\"" << run.horizons[i] << "d\"} "
            << MetricNumber(*r.forecast[i]) << "\n";
  family("trend_threshold", "The series' threshold.");
  for (const auto& r : results)
    if (r.threshold)
      out << "trend_threshold{" << labels(r) << "} " << MetricNumber(r.threshold->value) << "\n";
  // In the base unit the exposition format's conventions (and promtool) ask for.
  family("trend_seconds_to_threshold",
         "Time from the report's last day until the forecast reaches the threshold, in seconds "
         "(days times 86400; +Inf: never).");
  for (const auto& r : results)
    if (r.threshold && r.daysToThreshold && r.status != Status::kError)
      out << "trend_seconds_to_threshold{" << labels(r) << "} "
          << (*r.daysToThreshold == kNeverDays
                  ? std::string("+Inf")
                  : std::to_string(static_cast<int64_t>(*r.daysToThreshold) * 86400))
          << "\n";
  family("trend_status", "1 for the series' status, 0 for the others.");
  for (const auto& r : results)
    for (Status s : kAllStatuses) {
      std::string name = StatusName(s);
      for (char& c : name) c = c == ' ' ? '_' : c;
      out << "trend_status{" << labels(r) << ",status=\"" << name << "\"} "
          << (r.status == s ? 1 : 0) << "\n";
    }
  out << "# EOF\n";
}

}  // namespace

std::string ResultLine(size_t index, const SeriesResult& r, const ReportRun& run) {
  json line = {{"index", index},
               {"never", r.daysToThreshold && *r.daysToThreshold == kNeverDays},
               {"series", SeriesObject(r, Columns(run))}};
  if (r.chart) {
    const ChartData& c = *r.chart;
    json days = json::array(), fitted = json::array();
    for (const auto& d : c.days) days.push_back({d.offset, d.mean, d.peak});
    for (const auto& [x, v] : c.fitted) fitted.push_back({x, v});
    json recent = json::array();
    for (const auto& v : c.recentHours) recent.push_back(Maybe(v));
    line["chart"] = {{"days", days},
                     {"fitted", fitted},
                     {"path", c.path},
                     {"lower", c.lower},
                     {"upper", c.upper},
                     {"recent_hours", recent},
                     {"hourly", c.hourly},
                     {"hourly_lower", c.hourlyLower},
                     {"hourly_upper", c.hourlyUpper}};
  }
  return line.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::pair<size_t, SeriesResult> ParseResultLine(const std::string& line,
                                                const std::vector<Series>& series,
                                                const SeriesThresholds& limits,
                                                const ReportRun& run) {
  const json j = json::parse(line);
  const size_t index = j.at("index").get<size_t>();
  const json& o = j.at("series");
  SeriesResult r;
  if (index >= series.size()) return {index, r};
  r.series = series[index];
  r.threshold = limits[index];
  const std::string status = o.at("status").get<std::string>();
  for (Status s : kAllStatuses)
    if (status == StatusName(s)) r.status = s;
  auto number = [&](const char* name) -> std::optional<double> {
    return o.at(name).is_null() ? std::nullopt : std::optional<double>(o.at(name).get<double>());
  };
  auto integer = [&](const char* name) -> std::optional<int32_t> {
    return o.at(name).is_null() ? std::nullopt : std::optional<int32_t>(o.at(name).get<int32_t>());
  };
  auto single = [&](const char* name) -> std::optional<float> {
    return o.at(name).is_null()
               ? std::nullopt
               : std::optional<float>(static_cast<float>(o.at(name).get<double>()));
  };
  auto text = [&](const char* name) {
    return o.at(name).is_null() ? std::string() : o.at(name).get<std::string>();
  };
  r.level = number("level");
  for (int h : run.horizons)
    r.forecast.push_back(number(("forecast_" + std::to_string(h) + "d").c_str()));
  r.peak = number(("peak_" + std::to_string(run.horizons.front()) + "d").c_str());
  r.daysToThreshold = integer("days_to_threshold");
  if (j.value("never", false)) r.daysToThreshold = kNeverDays;
  r.recentPeak = number("recent_peak");
  r.model = text("model");
  r.backtestMase = number("backtest_mase");
  r.backtestLead = integer("backtest_lead");
  r.skill = number("skill");
  r.coverage = number("coverage");
  r.trust = text("trust");
  r.pCross30 = number("p_cross_30d");
  r.pCross90 = number("p_cross_90d");
  r.pCross180 = number("p_cross_180d");
  r.crossingEarliest = DayFromText(text("crossing_earliest"));
  r.crossingLatest = DayFromText(text("crossing_latest"));
  for (int h : run.horizons) {
    r.lower.push_back(number(("lower_" + std::to_string(h) + "d").c_str()));
    r.upper.push_back(number(("upper_" + std::to_string(h) + "d").c_str()));
  }
  r.crossingDate = DayFromText(text("crossing_date"));
  r.growth30 = single("growth_30d");
  r.bestThreshold = single("best_threshold");
  r.stdDev = single("std_dev");
  r.timesExceeded = integer("times_exceeded");
  r.errorNumber = integer("error_number");
  r.errorSource = text("error_source");
  r.errorDescription = text("error_description");
  if (j.contains("chart")) {
    const json& c = j.at("chart");
    ChartData d;
    for (const auto& day : c.at("days"))
      d.days.push_back({day.at(0).get<int>(), day.at(1).get<double>(), day.at(2).get<double>()});
    for (const auto& p : c.at("fitted"))
      d.fitted.emplace_back(p.at(0).get<int>(), p.at(1).get<double>());
    d.path = c.at("path").get<std::vector<double>>();
    d.lower = c.at("lower").get<std::vector<double>>();
    d.upper = c.at("upper").get<std::vector<double>>();
    for (const auto& v : c.at("recent_hours"))
      d.recentHours.push_back(v.is_null() ? std::nullopt : std::optional<double>(v.get<double>()));
    d.hourly = c.at("hourly").get<std::vector<double>>();
    d.hourlyLower = c.at("hourly_lower").get<std::vector<double>>();
    d.hourlyUpper = c.at("hourly_upper").get<std::vector<double>>();
    r.chart = std::make_shared<const ChartData>(std::move(d));
  }
  return {index, std::move(r)};
}

// `v` as dump(2) writes it inside a document, `depth` levels down: each line after the
// first indented by two spaces a level (a JSON text holds no raw line break but these).
std::string NestedJson(const json& v, int depth) {
  const std::string text = v.dump(2, ' ', false, json::error_handler_t::replace);
  const std::string indent(static_cast<size_t>(2 * depth), ' ');
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    out += c;
    if (c == '\n') out += indent;
  }
  return out;
}

void RenderReport(std::ostream& text, const ResultStore& results, const ReportRun& run,
                  const ReportOptions& o) {
  const auto columns = Columns(run);
  std::vector<Chart> charts;
  if (o.format == "html" || !o.charts.empty()) charts = DrawCharts(results, run, o.charts);
  if (o.format == "table") {
    WriteTable(text, results, run);
  } else if (o.format == "markdown") {
    WriteMarkdown(text, results, run);
  } else if (o.format == "csv") {
    for (size_t c = 0; c < columns.size(); ++c) text << (c ? "," : "") << columns[c].name;
    text << "\r\n";
    for (const auto& r : results) {
      for (size_t c = 0; c < columns.size(); ++c) {
        const json v = columns[c].value(r);
        text << (c ? "," : "") << CsvField(Defused(v, Plain(v), o.csvRaw));
      }
      text << "\r\n";
    }
  } else if (o.format == "openmetrics") {
    WriteOpenMetrics(text, results, run);
  } else if (o.format == "json") {
    // One document, written a series at a time: {"parameters", "series", "counts",
    // "elapsed_seconds"}, as dump(2) would write it whole. A name that is not valid UTF-8
    // is written with replacement characters, not lost.
    json counts = json::object();
    for (auto [status, n] : Counts(results)) counts[StatusName(status)] = n;
    text << "{\n  \"parameters\": " << NestedJson(Parameters(run), 1) << ",\n  \"series\": ";
    if (results.empty()) text << "[]";
    for (size_t i = 0; i < results.size(); ++i)
      text << (i ? ",\n    " : "[\n    ") << NestedJson(SeriesObject(results.At(i), columns), 2);
    if (!results.empty()) text << "\n  ]";
    text << ",\n  \"counts\": " << NestedJson(counts, 1)
         << ",\n  \"elapsed_seconds\": " << json(run.seconds).dump() << "\n}\n";
  } else {
    WriteHtml(text, results, run, columns, charts);
  }
}

void WriteReport(const ResultStore& results, const ReportRun& run, const ReportOptions& o) {
  if (o.output.empty() || o.output == "-") {
    RenderReport(std::cout, results, run, o);
    std::cout << std::flush;
    return;
  }
  std::error_code ec;
  const auto kind = std::filesystem::status(o.output, ec).type();
  if (kind != std::filesystem::file_type::regular &&
      kind != std::filesystem::file_type::not_found) {
    // A device or a pipe (/dev/null, /dev/stdout, a FIFO): written to as it is.
    std::ofstream file(o.output, std::ios::binary);
    RenderReport(file, results, run, o);
    if (!file.flush()) throw CallFailed("cannot write " + o.output);
    return;
  }
  WriteFileWhole(o.output, [&](std::ostream& out) { RenderReport(out, results, run, o); });
}

}  // namespace host
