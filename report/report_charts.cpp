#include "report_charts.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <tuple>

#include "cleanup.h"
#include "command.h"
#include "numeric.h"
#include "output_file.h"
#include "program.h"

namespace host {

namespace {

constexpr size_t kMostCharts = 40;
constexpr size_t kRiskCharts = 5;  // of the series neither exceeded nor warning

std::string FileId(const SeriesKey& k) {
  std::string id = k.host + "-" + k.probe + (k.arg.empty() ? "" : "-" + k.arg);
  for (char& c : id)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') c = '_';
  return id;
}

// A text as a gnuplot string expression that holds no character of the text itself: each
// byte becomes a number of sprintf("%c", ...), in pieces joined by ".", so that nothing a
// name holds (quotes, backticks, "@", a newline and system(...)) is ever read as gnuplot
// command text. Control characters are dropped; pair with "noenhanced" where the text is
// shown.
std::string GnuplotString(const std::string& text, size_t most = 512) {
  std::string bytes;
  for (unsigned char c : text)
    if (c >= 0x20 && c != 0x7f && bytes.size() < most) bytes += static_cast<char>(c);
  if (bytes.empty()) return "\"\"";
  constexpr size_t kPiece = 16;  // gnuplot's stack holds only so many arguments
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += kPiece) {
    const size_t n = std::min(kPiece, bytes.size() - i);
    std::string format, args;
    for (size_t k = 0; k < n; ++k) {
      format += "%c";
      args += "," + std::to_string(static_cast<unsigned char>(bytes[i + k]));
    }
    out += (i ? "." : "") + std::string("sprintf(\"") + format + "\"" + args + ")";
  }
  return out;
}

// Runs gnuplot on `script` (without a shell); false when it cannot run or fails.
bool RunGnuplot(const std::filesystem::path& script) {
  const ProgramRun run = RunProgram({"gnuplot", script.string()});
  return run.startError == 0 && run.status == 0;
}

bool HaveGnuplot() {
  const char* path = std::getenv("PATH");
  const std::string folders = path ? path : "/usr/bin:/bin";
  for (size_t start = 0;;) {
    const size_t colon = folders.find(':', start);
    const std::string folder = folders.substr(start, colon - start);
    if (!folder.empty() && ::access((folder + "/gnuplot").c_str(), X_OK) == 0) return true;
    if (colon == std::string::npos) return false;
    start = colon + 1;
  }
}

// A private folder for the charts' files, made by mkdtemp in $TMPDIR (or /tmp), removed
// with everything in it when the charts are done or fail.
class WorkFolder {
 public:
  WorkFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "trendhost-charts-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
      throw CallFailed("cannot create a temporary folder for the charts: " +
                       std::string(std::strerror(errno)));
    path_ = pattern;
    removed_ = std::make_unique<RemovedOnSignal>(path_.string(), true);
  }
  ~WorkFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::unique_ptr<RemovedOnSignal> removed_;
};

std::string Day(trend::Date d) {
  return trend::FormatDate(d, trend::DateFormat::kIsoDay);
}

std::string Slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

bool ChartCandidate(const SeriesResult& r) {
  if (r.status == Status::kError || !r.level) return false;
  if (r.status == Status::kExceeded || r.status == Status::kWarning) return true;
  // No slot for a series whose line means little.
  return r.growth30 && r.status != Status::kInsufficientData && r.status != Status::kStale;
}

namespace {

// Where a series stands among those neither exceeded nor warning, the most at risk first:
// a crossing in either direction (the nearest first), then a crossing moved since the last
// recorded run (the largest move first), then the largest growth in either direction.
struct Risk {
  int tier;
  double order;  // within the tier, smaller first
  size_t rank;
  bool operator<(const Risk& o) const {
    return std::tie(tier, order, rank) < std::tie(o.tier, o.order, o.rank);
  }
};
Risk RiskOf(const SeriesResult& r, size_t rank) {
  if (r.daysToThreshold && *r.daysToThreshold != kNeverDays)
    return {0, static_cast<double>(*r.daysToThreshold), rank};
  if (r.crossingShiftDays && *r.crossingShiftDays != 0)
    return {1, -std::abs(static_cast<double>(*r.crossingShiftDays)), rank};
  return {2, -std::abs(static_cast<double>(r.growth30.value_or(0))), rank};
}

// The ranks of the series drawn: the exceeded and warning ones in the report's order, then
// the kRiskCharts others most at risk, kMostCharts at most.
std::vector<size_t> ChooseCharts(const ResultStore& results) {
  std::vector<size_t> chosen;
  std::vector<Risk> others;  // the most at risk so far, in order
  for (size_t rank = 0; rank < results.size(); ++rank) {
    // A result holds a chart's data only when it is a candidate (FinishForecast).
    if (!results.HasChart(rank)) continue;
    const Status status = results.StatusAt(rank);
    if (status == Status::kExceeded || status == Status::kWarning) {
      if (chosen.size() < kMostCharts) chosen.push_back(rank);
      continue;
    }
    const SeriesResult r = results.At(rank);
    if (!ChartCandidate(r)) continue;
    const Risk risk = RiskOf(r, rank);
    others.insert(std::upper_bound(others.begin(), others.end(), risk), risk);
    if (others.size() > kRiskCharts) others.pop_back();
  }
  for (const Risk& r : others) chosen.push_back(r.rank);
  if (chosen.size() > kMostCharts) chosen.resize(kMostCharts);
  return chosen;
}

// The threshold as a line of a plot, when the series has one.
std::string ThresholdLine(const SeriesResult& r) {
  if (!r.threshold) return std::string();
  return ", " + trend::FormatDouble(r.threshold->value) +
         " with lines dt 2 lw 2 lc rgb '#c62828' title 'threshold " +
         (r.threshold->direction == Direction::kBelow ? "(below) " : "") +
         trend::FormatDouble(r.threshold->value) + "' noenhanced";
}

const char* const kCommonSettings =
    "set xtics rotate by -30 font ',10'\nset key top left font ',10'\nset grid\n"
    "set title font ',13'\nset yrange [0:*]\n";

// Draws a run's charts in a private folder: each one's data files and script, run by
// gnuplot, its SVG read back (and its PNG put in the charts' folder, when one is named).
class ChartDrawer {
 public:
  ChartDrawer(trend::Date last, std::string pngFolder)
      : last_(last), pngFolder_(std::move(pngFolder)) {}

  // The daily chart of a series: its daily means and peaks, the class's fitted line, the
  // forecast with its 80 % interval and the threshold.
  // `lines`: further levels drawn across it, each with its title (a group's capacity with
  // every member).
  std::optional<Chart> Daily(
      const SeriesResult& r, const std::string& id,
      const std::vector<std::pair<double, std::string>>& lines = {},
      const std::vector<std::pair<std::string, std::vector<double>>>& scenarios = {}) const;
  // The hourly chart: the last two weeks as measured, then the next weeks hour by hour.
  std::optional<Chart> Hourly(const SeriesResult& r, const std::string& id) const;

 private:
  // Writes the chart's script (the terminal, then `plot`) and runs it; the SVG, or nothing
  // when gnuplot fails.
  std::optional<std::string> Draw(const std::string& id, const std::string& plot) const;
  std::string Path(const std::string& file) const { return (work_.path() / file).string(); }
  // The series' name and status, and the axis' label, as the charts' titles show them.
  static std::string Title(const SeriesResult& r);
  static std::string Label(const SeriesResult& r);

  const trend::Date last_;
  const std::string pngFolder_;
  const WorkFolder work_;
};

std::string ChartDrawer::Title(const SeriesResult& r) {
  const SeriesKey& k = r.series.key;
  return k.host + "  " + k.probe + (k.arg.empty() ? "" : " " + k.arg) + "  (" +
         StatusName(r.status) + ")";
}

std::string ChartDrawer::Label(const SeriesResult& r) {
  const std::string unit = r.threshold ? r.threshold->unit : "";
  return unit.empty() ? r.series.key.probe : r.series.key.probe + " (" + unit + ")";
}

std::optional<std::string> ChartDrawer::Draw(const std::string& id, const std::string& plot) const {
  const std::string svgFile = Path(id + ".svg");
  const std::string scriptFile = Path(id + ".gp");
  {
    std::ofstream script(scriptFile);
    script << "set terminal svg size 760,400 font 'sans,12' background '#ffffff'\n"
           << "set output " << GnuplotString(svgFile, 8192) << "\n"
           << plot;
    // The PNG is drawn in the private folder, then put in place by a rename, so that
    // nothing another user plants in the charts' folder is written through or opened.
    if (!pngFolder_.empty())
      script << "set terminal pngcairo size 960,500 font 'sans,11'\nset output "
             << GnuplotString(Path(id + ".png"), 8192) << "\nreplot\n";
    if (!script.flush())
      throw CallFailed("cannot write the chart script in " + work_.path().string());
  }
  if (!RunGnuplot(scriptFile)) {
    std::cerr << "trendhost: gnuplot could not draw the chart of " << id << "\n";
    return std::nullopt;
  }
  if (!pngFolder_.empty()) {
    const std::string png = Slurp(Path(id + ".png"));
    WriteFileWhole((std::filesystem::path(pngFolder_) / (id + ".png")).string(),
                   [&](std::ostream& out) { out << png; });
  }
  std::string svg = Slurp(svgFile);
  if (auto start = svg.find("<svg"); start != std::string::npos) svg.erase(0, start);
  return svg;
}

std::optional<Chart> ChartDrawer::Daily(
    const SeriesResult& r, const std::string& id,
    const std::vector<std::pair<double, std::string>>& lines,
    const std::vector<std::pair<std::string, std::vector<double>>>& scenarios) const {
  const ChartData& c = *r.chart;
  {
    std::ofstream data(Path(id + ".days"));
    for (const auto& d : c.days)
      data << Day(trend::AddDays(last_, d.offset)) << " " << d.mean << " " << d.peak << "\n";
  }
  {
    // The class's fitted line (of the threshold's basis) over the window, weekly; then, day
    // by day to the last horizon, the forecast of the row's model with its 80 % interval.
    std::ofstream data(Path(id + ".trend"));
    for (const auto& [x, v] : c.fitted)
      data << Day(trend::AddDays(last_, x)) << " " << v << " " << v << " " << v << "\n";
    for (size_t x = 0; x < c.path.size(); ++x)
      data << Day(trend::AddDays(last_, static_cast<int>(x))) << " " << c.path[x] << " "
           << c.lower[x] << " " << c.upper[x] << "\n";
  }
  // The chart starts at the first day with data.
  const int from = c.days.empty() ? -181 : std::max(-181, c.days.front().offset);
  const int to = std::max(1, static_cast<int>(c.path.size()) - 1);
  std::ostringstream plot;
  // Every text and path below reaches gnuplot as a string expression of numbers only.
  plot << "trend_file = " << GnuplotString(Path(id + ".trend"), 8192) << "\n"
       << "days_file = " << GnuplotString(Path(id + ".days"), 8192) << "\n"
       << "set xdata time\nset timefmt '%Y-%m-%d'\nset format x '%Y-%m-%d'\n"
       << kCommonSettings << "set title " << GnuplotString(Title(r)) << " noenhanced\n"
       << "set ylabel " << GnuplotString(Label(r)) << " noenhanced\n"
       << "set xrange ['" << Day(trend::AddDays(last_, from)) << "':'"
       << Day(trend::AddDays(last_, to)) << "']\n"
       << "plot trend_file using 1:3:4 with filledcurves lc rgb '#d0e4f5' "
       << "title '80 % interval', "
       << "'' using 1:2 with lines lw 2 lc rgb '#1565c0' title "
       << GnuplotString("fitted trend, then forecast (" +
                        (r.model.empty() ? std::string("line") : r.model) + ")")
       << " noenhanced, "
       << "days_file using 1:2 with lines lc rgb '#555555' title 'daily mean', "
       << "'' using 1:3 with points pt 7 ps 0.3 lc rgb '#ef6c00' title 'daily peak'"
       << ThresholdLine(r);
  for (const auto& [level, title] : lines)
    plot << ", " << trend::FormatDouble(level) << " with lines dt 3 lw 2 lc rgb '#6d4c41' title "
         << GnuplotString(title) << " noenhanced";
  // Each what-if's forecast beside the baseline's, from day 0.
  for (size_t k = 0; k < scenarios.size(); ++k) {
    const std::string file = Path(id + ".scenario" + std::to_string(k));
    {
      std::ofstream data(file);
      const auto& path = scenarios[k].second;
      for (size_t x = 0; x < path.size() && x < c.path.size(); ++x)
        data << Day(trend::AddDays(last_, static_cast<int>(x))) << " " << path[x] << "\n";
    }
    plot << ", " << GnuplotString(file, 8192) << " using 1:2 with lines lw 2 dt 4 title "
         << GnuplotString("what-if: " + scenarios[k].first) << " noenhanced";
  }
  plot << "\n";
  auto svg = Draw(id, plot.str());
  if (!svg) return std::nullopt;
  return Chart{id, r.series.key.host, std::move(*svg)};
}

std::optional<Chart> ChartDrawer::Hourly(const SeriesResult& r, const std::string& id) const {
  const ChartData& c = *r.chart;
  auto hourText = [&](int day, int hour) {
    char text[8];
    std::snprintf(text, sizeof text, "T%02d:00", hour);
    return Day(trend::AddDays(last_, day)) + text;
  };
  {
    std::ofstream data(Path(id + ".hours"));
    bool gap = false;
    for (size_t i = 0; i < c.recentHours.size(); ++i) {
      const int day = static_cast<int>(i / 24) - (kHourlyShownDays - 1);
      if (!c.recentHours[i]) {
        if (!gap) data << "\n";  // a missing hour breaks the line
        gap = true;
        continue;
      }
      gap = false;
      data << hourText(day, static_cast<int>(i % 24)) << " " << *c.recentHours[i] << "\n";
    }
  }
  {
    std::ofstream data(Path(id + ".ahead"));
    for (size_t i = 0; i < c.hourly.size(); ++i)
      data << hourText(static_cast<int>(i / 24) + 1, static_cast<int>(i % 24)) << " " << c.hourly[i]
           << " " << c.hourlyLower[i] << " " << c.hourlyUpper[i] << "\n";
  }
  std::ostringstream plot;
  plot << "hours_file = " << GnuplotString(Path(id + ".hours"), 8192) << "\n"
       << "ahead_file = " << GnuplotString(Path(id + ".ahead"), 8192) << "\n"
       << "set xdata time\nset timefmt '%Y-%m-%dT%H:%M'\nset format x '%m-%d'\n"
       << kCommonSettings << "set title " << GnuplotString(Title(r) + ", hour by hour")
       << " noenhanced\n"
       << "set ylabel " << GnuplotString(Label(r)) << " noenhanced\n"
       << "plot ahead_file using 1:3:4 with filledcurves lc rgb '#f6d2c4' "
       << "title '80 % band', "
       << "'' using 1:2 with lines lw 1.5 lc rgb '#c0392b' title 'hourly forecast', "
       << "hours_file using 1:2 with lines lc rgb '#1f4e99' title 'measured hourly'"
       << ThresholdLine(r) << "\n";
  auto svg = Draw(id, plot.str());
  if (!svg) return std::nullopt;
  return Chart{id, r.series.key.host, std::move(*svg)};
}

}  // namespace

std::vector<Chart> DrawCharts(const ResultStore& results, const ReportRun& run,
                              const std::string& pngFolder) {
  const std::vector<size_t> chosen = ChooseCharts(results);
  if (chosen.empty()) return {};
  if (!HaveGnuplot()) {
    std::cerr << "trendhost: gnuplot not found: the report has no charts\n";
    return {};
  }
  if (!pngFolder.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(pngFolder, ec);
    if (ec || ::access(pngFolder.c_str(), W_OK | X_OK) != 0)
      throw CallFailed("cannot write the charts into " + pngFolder + ": " +
                       (ec ? ec.message() : std::string(std::strerror(errno))));
  }
  const ChartDrawer drawer(run.lastDay, pngFolder);
  std::vector<Chart> charts;
  std::set<std::string> ids;
  for (const size_t rank : chosen) {
    const SeriesResult r = results.WithChart(rank);
    // Names that differ only in characters a file name cannot hold get ids of their own.
    const SeriesKey& k = r.series.key;
    std::string id = FileId(k);
    for (int n = 2; !ids.insert(id).second || ids.count(id + "-hourly"); ++n)
      id = FileId(k) + "-" + std::to_string(n);
    std::vector<std::pair<std::string, std::vector<double>>> whatIf;
    for (const auto& s : results.ScenarioRowsAt(rank))
      if (s.chart) whatIf.emplace_back(s.scenario, s.chart->path);
    if (auto chart = drawer.Daily(r, id, {}, whatIf)) charts.push_back(std::move(*chart));
    if (r.chart->hourly.empty()) continue;
    ids.insert(id + "-hourly");
    if (auto chart = drawer.Hourly(r, id + "-hourly")) charts.push_back(std::move(*chart));
  }
  // Each group's aggregate, against its usable capacity and its capacity with every member.
  const auto& groups = results.groups();
  for (size_t g = 0; g < groups.size(); ++g) {
    const GroupResult& group = groups[g];
    if (!group.forecast.chart) continue;
    const GroupDefinition& d = group.definition;
    const double every = d.aggregate == Aggregate::kSum
                             ? d.capacity * static_cast<double>(group.members.size())
                             : d.capacity;
    std::vector<std::pair<std::string, std::vector<double>>> whatIf;
    for (const auto& s : group.scenarios)
      if (s.path) whatIf.emplace_back(s.scenario, s.path->path);
    auto chart = drawer.Daily(group.forecast, "group-" + std::to_string(g + 1),
                              {{every, "capacity, all " + std::to_string(group.members.size()) +
                                           " members " + trend::FormatDouble(every)}},
                              whatIf);
    if (chart) {
      chart->host.clear();
      charts.push_back(std::move(*chart));
    }
  }
  return charts;
}

}  // namespace host
