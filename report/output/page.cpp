// The page: the run's parameters and counts, the series table (leading columns first, a
// filter by text, status and host), the legend of its columns, then a section per host
// with its series and charts.
#include <algorithm>
#include <climits>
#include <cmath>
#include <map>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "history.h"
#include "report_page.h"
#include "summary.h"
#include "text.h"
#include "writers.h"

namespace host {

namespace {

// The page's columns: the leading ones, then the rest in their usual order; without the
// columns no row has a value in, and without the first and last day when every row has the
// same ones (the parameters show them once).
std::vector<const Column*> PageColumns(const ResultStore& results, bool sameDays) {
  const auto& columns = results.columns();
  // One pass over the results: which columns hold a value somewhere.
  std::vector<bool> held(columns.size(), false);
  size_t unseen = columns.size();
  for (auto it = results.begin(); unseen > 0 && it != results.end(); ++it) {
    const SeriesResult r = *it;
    for (size_t c = 0; c < columns.size(); ++c)
      if (!held[c] && !IsNone(columns[c].get(r))) held[c] = true, --unseen;
  }
  std::vector<const Column*> out;
  for (size_t i = 0; i < columns.size(); ++i) {
    const Column& c = columns[i];
    if (sameDays && (c.name == "first_day" || c.name == "last_day" || c.name == "last_seen"))
      continue;
    if (!held[i] && c.name != "host" && c.name != "status") continue;
    out.push_back(&c);
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const Column* a, const Column* b) { return a->pageRank < b->pageRank; });
  return out;
}

std::string StatusClass(Status s) {
  std::string cls = StatusName(s);
  for (char& c : cls) c = c == ' ' ? '-' : c;
  return "status s-" + cls;
}

// A column's heading, its meaning shown on hovering.
void WriteHeader(std::ostream& out, const Column& c) {
  out << "<th title=\"" << HtmlEscape(c.help) << "\">"
      << HtmlEscape(c.heading.empty() ? c.name : c.heading) << "</th>";
}

// A cell: numbers to two decimals (the exact figure sorts and shows on hovering), the rest
// as the column's style asks.
void WriteCell(std::ostream& out, const Column& c, const SeriesResult& r,
               const std::map<std::string, std::string>& hostIds) {
  const Cell v = c.get(r);
  const std::string text = CellText(v);
  const bool number = std::holds_alternative<double>(v) || std::holds_alternative<int64_t>(v);
  switch (c.style) {
    case CellStyle::kHost:
      out << "<td><a href=\"#" << hostIds.at(r.series.key.host) << "\" title=\"this host's "
          << "series and charts\">" << HtmlEscape(text) << "</a></td>";
      return;
    case CellStyle::kCrossing:
      if (r.daysToThreshold && *r.daysToThreshold > kFarDays) {
        out << "<td data-sort=\"" << HtmlEscape(text) << "\" title=\"" << HtmlEscape(text) << "\">"
            << HtmlEscape(CrossingText(r)) << "</td>";
        return;
      }
      break;
    case CellStyle::kGrowth:
      if (number) {
        out << "<td class=\"num\" data-sort=\"" << text << "\" title=\"" << text << "\">"
            << HtmlEscape(Percent(r.growth30)) << "</td>";
        return;
      }
      break;
    case CellStyle::kShift:
      if (const auto* days = std::get_if<int64_t>(&v)) {
        // A crossing that moved by weeks since the last recorded run stands out.
        const bool large = std::llabs(*days) >= kLargeShiftDays;
        out << "<td class=\"num" << (large ? " shift-large" : "") << "\" data-sort=\"" << text
            << "\" title=\"" << (*days < 0 ? "earlier" : "later")
            << " than the previous recorded run\">" << text << "</td>";
        return;
      }
      break;
    case CellStyle::kStatus: {
      // An acknowledged row says by whom, until when and why on hovering.
      const std::string about = AckText(r);
      out << "<td data-sort=\"" << static_cast<int>(r.status) << "\"><span class=\""
          << StatusClass(r.status) << "\""
          << (about.empty() ? std::string() : " title=\"" + HtmlEscape(about) + "\"") << ">"
          << HtmlEscape(text) << "</span></td>";
      return;
    }
    case CellStyle::kTrust:
      if (!text.empty()) {
        // A badge: a low-trust row's answer is read with its backtest in mind.
        const int rank = text == "low" ? 0 : text == "medium" ? 1 : 2;
        out << "<td data-sort=\"" << rank << "\"><span class=\"trust t-" << HtmlEscape(text)
            << "\" title=\"" << HtmlEscape(c.help) << "\">" << HtmlEscape(text) << "</span></td>";
        return;
      }
      break;
    case CellStyle::kShiftNote:
      if (!text.empty()) {
        out << "<td><span class=\"shift-note\">" << HtmlEscape(text) << "</span></td>";
        return;
      }
      break;
    case CellStyle::kPlain:
      break;
  }
  if (number) {
    const std::string shown =
        std::holds_alternative<int64_t>(v) ? text : Fixed(std::get<double>(v));
    out << "<td class=\"num\" data-sort=\"" << text << "\" title=\"" << text << "\">"
        << HtmlEscape(shown) << "</td>";
  } else {
    out << "<td>" << HtmlEscape(text) << "</td>";
  }
}

// The title, the run's parameters and the counts of each status.
void WriteHead(std::ostream& out, const ResultStore& results, const ReportRun& run, bool sameDays) {
  out << R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Fleet capacity report )"
      << HtmlEscape(DayText(run.firstDay) + " to " + DayText(run.lastDay)) << R"(</title>
<style>
)" << kReportCss
      << R"(</style></head><body>
<h1>Fleet capacity report</h1>
<dl>)";
  auto item = [&](const std::string& k, const std::string& v) {
    out << "<dt>" << HtmlEscape(k) << "</dt><dd>" << HtmlEscape(v) << "</dd>\n";
  };
  item("data source",
       run.login.dsn +
           (run.login.qualifier.empty() ? "" : " (qualifier " + run.login.qualifier + ")"));
  item("range", DayText(run.firstDay) + " to " + DayText(run.lastDay));
  // Days with data: once here when every series has the same, else per row.
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
  out << "</p>\n";
}

// The services (--groups): a row each, as the table shows them, and the chart of each
// group's aggregate against its capacity.
void WriteServices(std::ostream& out, const ResultStore& results, const ReportRun& run,
                   const std::vector<Chart>& charts) {
  const SummaryView v = GroupSummary(run);
  out << "<h2 id=\"services\">Services</h2>\n<div class=\"table-box\"><table "
         "id=\"services-table\"><thead><tr>";
  for (const auto& h : v.header) out << "<th>" << HtmlEscape(h) << "</th>";
  out << "</tr></thead>\n<tbody>\n";
  for (const auto& g : results.groups()) {
    const auto row = GroupSummaryRow(g, run);
    out << "<tr>";
    for (size_t c = 0; c < row.size(); ++c) {
      if (v.header[c] == "STATUS")
        out << "<td><span class=\"" << StatusClass(g.forecast.status) << "\">" << HtmlEscape(row[c])
            << "</span></td>";
      else
        out << "<td" << (v.numeric[c] ? " class=\"num\"" : "") << ">" << HtmlEscape(row[c])
            << "</td>";
    }
    out << "</tr>\n";
  }
  out << "</tbody></table></div>\n";
  for (const auto& c : charts)
    if (c.id.rfind("group-", 0) == 0)
      out << "<div class=\"chart\" id=\"chart-" << HtmlEscape(c.id) << "\">" << c.svg << "</div>\n";
}

// Right-sizing: the series and groups found oversized or undersized, with what could be
// reclaimed.
void WriteRightSizing(std::ostream& out, const ResultStore& results,
                      const std::map<std::string, std::string>& hostIds) {
  std::ostringstream rows;
  size_t n = 0;
  for (const auto& g : results.groups())
    if (g.rightSizing == "oversized" || g.rightSizing == "undersized") {
      ++n;
      rows << "<tr><td>group " << HtmlEscape(g.definition.name) << "</td><td>"
           << HtmlEscape(g.definition.probe) << "</td><td></td><td>" << HtmlEscape(g.rightSizing)
           << "</td><td class=\"num\">" << Fixed(g.usable) << "</td><td>"
           << HtmlEscape(g.definition.unit) << "</td><td>"
           << (g.membersRemovable ? std::to_string(*g.membersRemovable) + " members" : "")
           << "</td></tr>\n";
    }
  for (const auto& r : results) {
    if (r.rightSizing != "oversized" && r.rightSizing != "undersized") continue;
    ++n;
    const SeriesKey& k = r.series.key;
    rows << "<tr><td><a href=\"#" << hostIds.at(k.host) << "\">" << HtmlEscape(k.host)
         << "</a></td><td>" << HtmlEscape(k.probe) << "</td><td>" << HtmlEscape(k.arg)
         << "</td><td>" << HtmlEscape(r.rightSizing) << "</td><td class=\"num\">"
         << Fixed(r.threshold ? std::optional(r.threshold->value) : std::nullopt) << "</td><td>"
         << HtmlEscape(r.threshold ? r.threshold->unit : "") << "</td><td>"
         << (r.reclaimable
                 ? Fixed(r.reclaimable) + " (" + Fixed(100 * *r.reclaimableShare, 0) + "%)"
                 : "")
         << "</td></tr>\n";
  }
  if (!n) return;
  out << "<h2 id=\"right-sizing\">Right-sizing</h2>\n<div class=\"table-box\"><table "
         "id=\"right-sizing-table\"><thead><tr><th>host</th><th>probe</th><th>arg</th>"
         "<th>judgement</th><th>threshold</th><th>unit</th><th>reclaimable</th></tr></thead>"
         "<tbody>\n"
      << rows.str() << "</tbody></table></div>\n";
}

// The series table with its filters, and the legend of its columns.
void WriteSeriesTable(std::ostream& out, const ResultStore& results,
                      const std::vector<const Column*>& shown,
                      const std::map<std::string, std::string>& hostIds) {
  out << "<h2 id=\"series-table\">Series</h2>\n<p class=\"filters\"><input "
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
  for (const Column* c : shown) WriteHeader(out, *c);
  out << "</tr></thead>\n<tbody>\n";
  for (const auto& r : results) {
    out << "<tr data-status=\"" << StatusName(r.status) << "\" data-host=\""
        << HtmlEscape(r.series.key.host) << "\">";
    for (const Column* c : shown) WriteCell(out, *c, r, hostIds);
    out << "</tr>\n";
  }
  out << "</tbody></table></div>\n<details class=\"legend\"><summary>What the columns "
         "mean</summary>\n<dl>";
  for (const Column* c : shown)
    if (!c->help.empty())
      out << "<dt>" << HtmlEscape(c->name) << "</dt><dd>" << HtmlEscape(c->help) << "</dd>\n";
  out << "</dl></details>\n";
}

// Per host: its series (the leading columns but the host, and the unit) and its charts.
// `byHost` holds the ranks host by host, each host's in the report's order.
void WriteHostSections(std::ostream& out, const ResultStore& results,
                       const std::vector<const Column*>& shown, const std::vector<size_t>& byHost,
                       const std::map<std::string, std::string>& hostIds,
                       const std::vector<Chart>& charts) {
  out << "<h2>Hosts</h2>\n";
  std::vector<const Column*> brief;
  for (const Column* c : shown)
    if (c->name != "host" && (c->pageRank != INT_MAX || c->name == "unit")) brief.push_back(c);
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
      for (const Column* c : brief) WriteCell(out, *c, r, hostIds);
      out << "</tr>\n";
    }
    out << "</tbody></table></div>\n";
    for (const auto& c : charts)
      if (c.host == host)
        out << "<div class=\"chart\" id=\"chart-" << HtmlEscape(c.id) << "\">" << c.svg
            << "</div>\n";
    out << "<p class=\"back\"><a href=\"#series-table\">back to the table</a></p></section>\n";
  }
}

}  // namespace

void WriteHtml(std::ostream& out, const ResultStore& results, const ReportRun& run,
               const std::vector<Chart>& charts) {
  bool sameDays = !results.empty();
  for (size_t rank = 1; sameDays && rank < results.size(); ++rank)
    sameDays = results.SeriesAt(rank).firstDay == results.SeriesAt(0).firstDay &&
               results.SeriesAt(rank).lastDay == results.SeriesAt(0).lastDay;
  WriteHead(out, results, run, sameDays);
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
  const std::vector<const Column*> shown = PageColumns(results, sameDays);
  if (!run.groupsFile.empty()) WriteServices(out, results, run, charts);
  if (!run.scenarioFile.empty()) {
    // The what-if rows beside their baselines' crossings.
    const SummaryView w = WhatIfSummary(run);
    out << "<h2 id=\"what-if\">What-if</h2>\n<div class=\"table-box\"><table "
           "id=\"what-if-table\"><thead><tr>";
    for (const auto& h : w.header) out << "<th>" << HtmlEscape(h) << "</th>";
    out << "</tr></thead>\n<tbody>\n";
    for (const auto& row : WhatIfRows(results, run)) {
      out << "<tr>";
      for (size_t c = 0; c < row.size(); ++c)
        out << "<td" << (w.numeric[c] ? " class=\"num\"" : "") << ">" << HtmlEscape(row[c])
            << "</td>";
      out << "</tr>\n";
    }
    out << "</tbody></table></div>\n";
  }
  WriteRightSizing(out, results, hostIds);
  WriteSeriesTable(out, results, shown, hostIds);
  WriteHostSections(out, results, shown, byHost, hostIds, charts);
  out << R"(<script>
)" << kReportScript
      << R"(</script>
</body></html>
)";
}

}  // namespace host
