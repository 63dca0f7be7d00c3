// Thresholds of the fleet report: a probe, optionally with its argument, mapped to a
// threshold, a unit and a label. Built-in defaults cover the probes the summary and the
// ranks use; a thresholds file (CSV) replaces or adds entries.
//
// The file: a header line naming its columns in any order ("probe,arg,threshold,unit,label"
// and, optionally, "direction", "basis" and "host"; probe and threshold are required), then
// one line per entry (RFC 4180 quoting; blank lines and lines starting with "#" are
// skipped). An empty arg matches every argument of the probe; an empty host (or "*") every
// host, and a host is a shell pattern (web*, db0[1-4]).
//
// The most specific entry wins: first by host (a name over a pattern, a pattern fixing more
// characters over one fixing fewer, "*" last), then an entry with the argument over one
// without, then the earlier line. A file's entry for every host replaces the built-in one.
//
// direction: "above" (the default: the resource runs out when the value rises to the
// threshold, as CPU busy) or "below" (it runs out when the value falls to it, as free
// memory). basis: "mean" (the default: the daily-mean line), "peak" (the busy-hour
// line, and a recent busy hour at the threshold counts as exceeded; with "above" only) or
// "trough" (the day's quietest hour forecast as a series of its own; with "below" only).
//
// The built-in entries judge file systems by the share used (fsusedpct): an absolute
// amount of free space means one thing on a 20 GB disk and another on a 2 TB one.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace host {

enum class Direction { kAbove, kBelow };
enum class Basis { kMean, kPeak, kTrough };
const char* DirectionName(Direction d);
const char* BasisName(Basis b);

struct Threshold {
  double value = 0;
  std::string unit, label;
  Direction direction = Direction::kAbove;
  Basis basis = Basis::kMean;
  bool operator==(const Threshold&) const = default;
};

// The thresholds of a run's series, one a series, each distinct one held once however
// many series share it (a fleet has thousands of series and a few dozen thresholds).
class SeriesThresholds {
 public:
  void push_back(const std::optional<Threshold>& t);
  const std::optional<Threshold>& operator[](size_t i) const { return distinct_[which_[i]]; }
  size_t size() const { return which_.size(); }
  bool empty() const { return which_.empty(); }

 private:
  std::vector<std::optional<Threshold>> distinct_;
  std::vector<uint32_t> which_;  // each series' index into distinct_
};

class Thresholds {
 public:
  // One entry: the series it applies to, its threshold, and the file's line that gave it
  // (0: built in).
  struct Entry {
    std::string host, probe, arg;  // host a shell pattern, "*" for every host
    Threshold threshold;
    size_t line = 0;
  };
  // The built-in defaults.
  Thresholds();
  // Reads a thresholds file over the defaults; a malformed file is a usage error naming
  // the file, the line and what is wrong.
  void Load(const std::string& path);
  // The entry in force for a series, or none.
  const Entry* Find(const std::string& host, const std::string& probe,
                    const std::string& arg) const;
  std::optional<Threshold> For(const std::string& host, const std::string& probe,
                               const std::string& arg) const;
  // Every entry, by probe, the most specific of a probe's first.
  std::vector<const Entry*> entries() const;

 private:
  std::map<std::string, std::vector<Entry>> byProbe_;  // each in the order entries win
};

}  // namespace host
