#include "thresholds.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>
#include <vector>

#include "command.h"
#include "csv_table.h"
#include "error.h"
#include "variant.h"

namespace host {

void SeriesThresholds::push_back(const std::optional<Threshold>& t) {
  // A fleet lists a probe's series together: the one before is the likely match.
  size_t i = which_.empty() ? 0 : which_.back();
  if (i >= distinct_.size() || distinct_[i] != t)
    i = static_cast<size_t>(std::find(distinct_.begin(), distinct_.end(), t) - distinct_.begin());
  if (i == distinct_.size()) distinct_.push_back(t);
  which_.push_back(static_cast<uint32_t>(i));
}

const char* DirectionName(Direction d) {
  return d == Direction::kBelow ? "below" : "above";
}
const char* BasisName(Basis b) {
  return b == Basis::kPeak ? "peak" : b == Basis::kTrough ? "trough" : "mean";
}

Thresholds::Thresholds() {
  // The probes of the population summary and the subsystem ranks, and the resources that
  // run out downward. CPU busy and the run queue are sized for the busy hour: a machine
  // whose mean is fine but whose every weekday peak saturates is already short of CPU.
  constexpr Direction kUp = Direction::kAbove, kDown = Direction::kBelow;
  constexpr Basis kMean = Basis::kMean, kPeak = Basis::kPeak;
  const struct {
    const char* probe;
    double value;
    const char* unit;
    const char* label;
    Direction direction;
    Basis basis;
  } defaults[] = {
      {"avgcpubusy", 85, "%", "CPU busy", kUp, kPeak},
      {"avgcpusys", 50, "%", "CPU system time", kUp, kMean},
      {"avgcpuusr", 75, "%", "CPU user time", kUp, kMean},
      {"runqjobs", 8, "jobs", "run queue", kUp, kPeak},
      {"pageoutrate", 100, "pages/s", "page-out rate", kUp, kMean},
      {"pageinrate", 200, "pages/s", "page-in rate", kUp, kMean},
      {"netinrate", 10000, "packets/s", "network packets in", kUp, kMean},
      {"netoutrate", 10000, "packets/s", "network packets out", kUp, kMean},
      {"peakdiskxfer", 500, "transfers/s", "disk transfers", kUp, kMean},
      {"avgcpuwait", 20, "%", "CPU waiting for I/O", kUp, kMean},
      {"memusedpct", 90, "%", "memory used", kUp, kMean},
      {"swapusedpct", 50, "%", "swap used", kUp, kMean},
      {"fsusedpct", 90, "%", "file-system space used", kUp, kMean},
      {"totalfree", 512, "MB", "free memory", kDown, kMean},
  };
  for (const auto& d : defaults)
    byProbe_[d.probe].push_back(
        {"*", d.probe, "", {d.value, d.unit, d.label, d.direction, d.basis}, 0});
}

namespace {

// Whether `a` wins over `b` where both apply.
bool WinsOver(const Thresholds::Entry& a, const Thresholds::Entry& b) {
  const int ha = PatternSpecificity(a.host), hb = PatternSpecificity(b.host);
  if (ha != hb) return ha > hb;
  if (a.arg.empty() != b.arg.empty()) return !a.arg.empty();
  // A file's line before the built-in entry, an earlier line before a later one.
  if ((a.line == 0) != (b.line == 0)) return a.line != 0;
  return a.line < b.line;
}

}  // namespace

void Thresholds::Load(const std::string& path) {
  const CsvTableForm form{
      "thresholds file",
      {"probe", "arg", "threshold", "unit", "label", "direction", "basis", "host"},
      {"probe", "threshold"}};
  // (host, probe, arg) -> its line: a second line would win silently.
  std::map<std::tuple<std::string, std::string, std::string>, size_t> given;
  ReadCsvTable(path, form, [&](const CsvTableLine& line) {
    const std::string& probe = line["probe"];
    const std::string& arg = line["arg"];
    const std::string host = line["host"].empty() ? "*" : line["host"];
    if (probe.empty()) line.Fail("the probe is empty");
    if (const auto [it, added] = given.emplace(std::make_tuple(host, probe, arg), line.number());
        !added)
      line.Fail("the probe " + Visible(probe) +
                (arg.empty() ? std::string() : " with the arg " + Visible(arg)) +
                (host == "*" ? std::string() : " for the hosts " + Visible(host)) +
                " already has its threshold on line " + std::to_string(it->second));
    Threshold t;
    const std::string& value = line["threshold"];
    try {
      t.value = trend::ParseNumber(value);
    } catch (const trend::Error&) {
      line.Fail("the threshold \"" + Visible(value) + "\" is not a number");
    }
    if (!std::isfinite(t.value))
      line.Fail("the threshold \"" + Visible(value) + "\" is not finite");
    t.unit = line["unit"];
    t.label = line["label"];
    const std::string &direction = line["direction"], &basis = line["basis"];
    if (direction == "below")
      t.direction = Direction::kBelow;
    else if (!direction.empty() && direction != "above")
      line.Fail("the direction \"" + Visible(direction) + "\" is neither above nor below");
    if (basis == "peak")
      t.basis = Basis::kPeak;
    else if (basis == "trough")
      t.basis = Basis::kTrough;
    else if (!basis.empty() && basis != "mean")
      line.Fail("the basis \"" + Visible(basis) + "\" is neither mean, peak nor trough");
    if (t.basis == Basis::kPeak && t.direction == Direction::kBelow)
      line.Fail("the basis peak goes with the direction above only");
    if (t.basis == Basis::kTrough && t.direction == Direction::kAbove)
      line.Fail("the basis trough goes with the direction below only");
    auto& entries = byProbe_[probe];
    // The file's entry for every host replaces the built-in one.
    std::erase_if(entries,
                  [&](const Entry& e) { return e.line == 0 && e.host == host && e.arg == arg; });
    entries.push_back({host, probe, arg, t, line.number()});
  });
  for (auto& [probe, entries] : byProbe_)
    std::stable_sort(entries.begin(), entries.end(), WinsOver);
}

const Thresholds::Entry* Thresholds::Find(const std::string& host, const std::string& probe,
                                          const std::string& arg) const {
  const auto it = byProbe_.find(probe);
  if (it == byProbe_.end()) return nullptr;
  for (const Entry& e : it->second)
    if ((e.arg.empty() || e.arg == arg) && MatchesPattern(e.host, host)) return &e;
  return nullptr;
}

std::optional<Threshold> Thresholds::For(const std::string& host, const std::string& probe,
                                         const std::string& arg) const {
  const Entry* e = Find(host, probe, arg);
  return e ? std::optional(e->threshold) : std::nullopt;
}

std::vector<const Thresholds::Entry*> Thresholds::entries() const {
  std::vector<const Entry*> all;
  for (const auto& [probe, entries] : byProbe_)
    for (const Entry& e : entries) all.push_back(&e);
  return all;
}

}  // namespace host
