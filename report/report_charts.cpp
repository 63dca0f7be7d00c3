#include "report_charts.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "forecaster.h"
#include "numeric.h"

namespace host {

namespace {

constexpr size_t kMostCharts = 40;
constexpr size_t kGrowthCharts = 5;  // of the series neither exceeded nor warning

std::string FileId(const SeriesKey& k) {
  std::string id = k.host + "-" + k.probe + (k.arg.empty() ? "" : "-" + k.arg);
  for (char& c : id)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') c = '_';
  return id;
}

std::string GnuplotText(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '_' || c == '^' || c == '{' || c == '}' || c == '@' || c == '&' || c == '~')
      out += "\\\\";  // literal in enhanced text mode
    out += c;
  }
  return out;
}

// A path between gnuplot's single quotes.
std::string Quoted(const std::filesystem::path& p) {
  std::string out = "'";
  for (char c : p.string()) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

std::string Day(trend::Date d) {
  return trend::FormatDate(d, trend::DateFormat::kIsoDay);
}

bool HaveGnuplot() {
  return std::system("command -v gnuplot >/dev/null 2>&1") == 0;
}

std::string Slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

std::vector<Chart> DrawCharts(const std::vector<SeriesResult>& results, const ReportRun& run,
                              const ReportOptions& o) {
  std::vector<const SeriesResult*> chosen;
  std::vector<const SeriesResult*> others;
  for (const auto& r : results) {
    if (r.status == Status::kError || !r.level) continue;
    if (r.status == Status::kExceeded || r.status == Status::kWarning)
      chosen.push_back(&r);
    else if (r.growth30)
      others.push_back(&r);
  }
  std::stable_sort(others.begin(), others.end(), [](const SeriesResult* a, const SeriesResult* b) {
    return *a->growth30 > *b->growth30;
  });
  for (size_t i = 0; i < others.size() && i < kGrowthCharts; ++i) chosen.push_back(others[i]);
  if (chosen.size() > kMostCharts) chosen.resize(kMostCharts);
  if (chosen.empty()) return {};
  if (!HaveGnuplot()) {
    std::cerr << "trendhost: gnuplot not found: the report has no charts\n";
    return {};
  }
  const auto work =
      std::filesystem::temp_directory_path() / ("trendhost-charts-" + std::to_string(::getpid()));
  std::filesystem::create_directories(work);
  if (!o.charts.empty()) std::filesystem::create_directories(o.charts);

  HostDatabase db({o.dsn, o.user, o.password}, o.qualifier);
  Forecaster forecaster(o.library, {o.dsn, o.user, o.password}, o.qualifier);
  const trend::Date first = trend::ParseDate(run.first), last = trend::ParseDate(run.last);
  const int lastHorizon = *std::max_element(run.horizons.begin(), run.horizons.end());
  std::vector<Chart> charts;
  for (const SeriesResult* r : chosen) {
    const SeriesKey& k = r->series.key;
    const std::string id = FileId(k);
    {
      std::ofstream data(work / (id + ".days"));
      for (const auto& d : db.History(k, first, last))
        data << Day(d.day) << " " << d.mean << " " << d.peak << "\n";
    }
    {
      // The fitted line as the class answers it, weekly from the window's start to the last
      // horizon, with its band.
      std::ofstream data(work / (id + ".trend"));
      const double band = 2.0 * r->stdDev.value_or(0);
      const Forecaster::Key key{k.host, k.probe, k.arg, run.first, run.last};
      const int start =
          -static_cast<int>(std::min<int64_t>(181, trend::CalendarDaysBetween(first, last)));
      for (int x = start;; x = std::min(x + 7, lastHorizon)) {
        const double v = forecaster.TrendValue(key, static_cast<float>(x), 2);
        data << Day(trend::AddDays(last, x)) << " " << v << " " << std::max(0.0, v - band) << " "
             << v + band << "\n";
        if (x == lastHorizon) break;
      }
    }
    const std::string unit = r->threshold ? r->threshold->unit : "";
    std::string title = k.host + "  " + k.probe + (k.arg.empty() ? "" : " " + k.arg) + "  (" +
                        StatusName(r->status) + ")";
    std::ostringstream plot;
    plot << "set xdata time\nset timefmt '%Y-%m-%d'\nset format x '%Y-%m-%d'\n"
         << "set xtics rotate by -30 font ',8'\nset key top left font ',8'\nset grid\n"
         << "set title \"" << GnuplotText(title) << "\"\n"
         << "set ylabel \"" << GnuplotText(unit.empty() ? k.probe : k.probe + " (" + unit + ")")
         << "\"\n"
         << "set xrange ['" << Day(trend::AddDays(last, -181)) << "':'"
         << Day(trend::AddDays(last, lastHorizon)) << "']\n"
         << "set yrange [0:*]\n"
         << "plot " << Quoted(work / (id + ".trend"))
         << " using 1:3:4 with filledcurves lc rgb '#d0e4f5' title 'trend band (2 sd)', "
         << "'' using 1:2 with lines lw 2 lc rgb '#1565c0' title 'fitted trend', "
         << Quoted(work / (id + ".days"))
         << " using 1:2 with lines lc rgb '#555555' title 'daily mean', "
         << "'' using 1:3 with points pt 7 ps 0.3 lc rgb '#ef6c00' title 'daily peak'";
    if (r->threshold)
      plot << ", " << r->threshold->value
           << " with lines dt 2 lw 2 lc rgb '#c62828' title 'threshold "
           << GnuplotText(trend::FormatDouble(r->threshold->value)) << "'";
    plot << "\n";
    const auto svgFile = work / (id + ".svg");
    {
      std::ofstream script(work / (id + ".gp"));
      script << "set terminal svg size 760,380 font 'sans,10' background '#ffffff'\n"
             << "set output " << Quoted(svgFile) << "\n"
             << plot.str();
      if (!o.charts.empty())
        script << "set terminal pngcairo size 960,480 font 'sans,10'\nset output "
               << Quoted(std::filesystem::path(o.charts) / (id + ".png")) << "\nreplot\n";
    }
    const std::string cmd = "gnuplot " + Quoted(work / (id + ".gp")) + " 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) {
      std::cerr << "trendhost: gnuplot could not draw the chart of " << id << "\n";
      continue;
    }
    std::string svg = Slurp(svgFile);
    if (auto start = svg.find("<svg"); start != std::string::npos) svg.erase(0, start);
    charts.push_back({id, svg});
  }
  std::filesystem::remove_all(work);
  return charts;
}

}  // namespace host
