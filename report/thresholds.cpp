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
      {"fsfreemb", 1024, "MB", "free file-system space", kDown, kMean},
  };
  for (const auto& d : defaults)
    entries_[{d.probe, ""}] = {d.value, d.unit, d.label, d.direction, d.basis};
}

void Thresholds::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string shown = Visible(path);
  if (!in) throw UsageError("cannot read the thresholds file " + shown);
  auto fail = [&](size_t line, const std::string& what) {
    throw UsageError(shown + ":" + std::to_string(line) + ": " + what);
  };
  std::map<std::pair<std::string, std::string>, size_t> given;  // (probe, arg) -> its line
  static const std::vector<std::string> kKnown = {"probe", "arg",       "threshold", "unit",
                                                  "label", "direction", "basis"};
  std::map<std::string, size_t> column;  // name -> field index
  constexpr size_t kMostLines = 100000;
  size_t number = 0;
  for (std::string line; ReadLimitedLine(in, line, path, number + 1);) {
    if (++number > kMostLines) fail(number, "more than 100000 lines: not a thresholds file");
    if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);  // a UTF-8 BOM
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') continue;
    auto fields = CsvFields(line);
    if (!fields) fail(number, "a quoted field is not closed");
    if (column.empty()) {
      for (size_t i = 0; i < fields->size(); ++i) {
        const std::string& name = (*fields)[i];
        if (std::find(kKnown.begin(), kKnown.end(), name) == kKnown.end()) {
          // A word that could be a column's name is quoted; anything else (the first line
          // of some other file) is not repeated.
          const bool word = !name.empty() && name.size() <= 32 &&
                            name.find_first_not_of(
                                "abcdefghijklmnopqrstuvwxyz"
                                "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_- ") == std::string::npos;
          fail(number, (word ? "unknown column \"" + name + "\" in the header"
                             : std::string("the first line is not a header of a thresholds file")) +
                           " (known columns: probe, arg, threshold, unit, label, direction, "
                           "basis)");
        }
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
    // One line a probe and argument: a second one would win silently.
    if (const auto [it, added] = given.emplace(std::make_pair(probe, field("arg")), number); !added)
      fail(number,
           "the probe " + Visible(probe) +
               (field("arg").empty() ? std::string() : " with the arg " + Visible(field("arg"))) +
               " already has its threshold on line " + std::to_string(it->second));
    Threshold t;
    const std::string value = field("threshold");
    try {
      t.value = trend::ParseNumber(value);
    } catch (const trend::Error&) {
      fail(number, "the threshold \"" + Visible(value) + "\" is not a number");
    }
    if (!std::isfinite(t.value))
      fail(number, "the threshold \"" + Visible(value) + "\" is not finite");
    t.unit = field("unit");
    t.label = field("label");
    const std::string direction = field("direction"), basis = field("basis");
    if (direction == "below")
      t.direction = Direction::kBelow;
    else if (!direction.empty() && direction != "above")
      fail(number, "the direction \"" + Visible(direction) + "\" is neither above nor below");
    if (basis == "peak")
      t.basis = Basis::kPeak;
    else if (basis == "trough")
      t.basis = Basis::kTrough;
    else if (!basis.empty() && basis != "mean")
      fail(number, "the basis \"" + Visible(basis) + "\" is neither mean, peak nor trough");
    if (t.basis == Basis::kPeak && t.direction == Direction::kBelow)
      fail(number, "the basis peak goes with the direction above only");
    if (t.basis == Basis::kTrough && t.direction == Direction::kAbove)
      fail(number, "the basis trough goes with the direction below only");
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
