#include "thresholds.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <vector>

#include "command.h"
#include "csv.h"
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
  return b == Basis::kPeak ? "peak" : "mean";
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
      {"fsfreemb", 1024, "MB", "free file-system space", kDown, kMean},
  };
  for (const auto& d : defaults)
    entries_[{d.probe, ""}] = {d.value, d.unit, d.label, d.direction, d.basis};
}

void Thresholds::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError("cannot read the thresholds file " + path);
  auto fail = [&](size_t line, const std::string& what) {
    throw UsageError(path + ":" + std::to_string(line) + ": " + what);
  };
  static const std::vector<std::string> kKnown = {"probe", "arg",       "threshold", "unit",
                                                  "label", "direction", "basis"};
  std::map<std::string, size_t> column;  // name -> field index
  constexpr size_t kMostLines = 100000;
  size_t number = 0;
  for (std::string line; ReadLimitedLine(in, line, path, number + 1);) {
    if (++number > kMostLines) fail(number, "more than 100000 lines: not a thresholds file");
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') continue;
    auto fields = CsvFields(line);
    if (!fields) fail(number, "a quoted field is not closed");
    if (column.empty()) {
      for (size_t i = 0; i < fields->size(); ++i) {
        const std::string& name = (*fields)[i];
        if (std::find(kKnown.begin(), kKnown.end(), name) == kKnown.end())
          fail(number, "unknown column \"" + name +
                           "\" in the header (known: probe, arg, threshold, unit, label, "
                           "direction, basis)");
        if (!column.emplace(name, i).second) fail(number, "the column " + name + " is named twice");
      }
      if (!column.count("probe") || !column.count("threshold"))
        fail(number, "the header must name at least the columns probe and threshold");
      continue;
    }
    if (fields->size() != column.size())
      fail(number, "expected " + std::to_string(column.size()) + " fields, found " +
                       std::to_string(fields->size()));
    auto field = [&](const char* name) {
      auto it = column.find(name);
      return it == column.end() ? std::string() : (*fields)[it->second];
    };
    const std::string probe = field("probe");
    if (probe.empty()) fail(number, "the probe is empty");
    Threshold t;
    const std::string value = field("threshold");
    try {
      t.value = trend::ParseNumber(value);
    } catch (const trend::Error&) {
      fail(number, "the threshold \"" + value + "\" is not a number");
    }
    if (!std::isfinite(t.value)) fail(number, "the threshold \"" + value + "\" is not finite");
    t.unit = field("unit");
    t.label = field("label");
    const std::string direction = field("direction"), basis = field("basis");
    if (direction == "below")
      t.direction = Direction::kBelow;
    else if (!direction.empty() && direction != "above")
      fail(number, "the direction \"" + direction + "\" is neither above nor below");
    if (basis == "peak")
      t.basis = Basis::kPeak;
    else if (!basis.empty() && basis != "mean")
      fail(number, "the basis \"" + basis + "\" is neither mean nor peak");
    if (t.basis == Basis::kPeak && t.direction == Direction::kBelow)
      fail(number, "the basis peak goes with the direction above only");
    entries_[{probe, field("arg")}] = t;
    fromFile_.insert({probe, field("arg")});
  }
  if (column.empty()) fail(number, "the file has no header line (probe,arg,threshold,unit,label)");
}

std::optional<Threshold> Thresholds::For(const std::string& probe, const std::string& arg) const {
  if (auto it = entries_.find({probe, arg}); it != entries_.end()) return it->second;
  if (auto it = entries_.find({probe, ""}); it != entries_.end()) return it->second;
  return std::nullopt;
}

}  // namespace host
