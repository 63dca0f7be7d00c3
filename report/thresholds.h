// Thresholds of the fleet report: a probe, optionally with its argument, mapped to a
// threshold, a unit and a label. Built-in defaults cover the probes the summary and the
// ranks use; a thresholds file (CSV) replaces or adds entries.
//
// The file: a header line "probe,arg,threshold,unit,label", then one line per entry (RFC
// 4180 quoting; blank lines and lines starting with "#" are skipped). An empty arg matches
// every argument of the probe; an entry with an argument is preferred over one without.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace host {

struct Threshold {
  double value = 0;
  std::string unit, label;
};

class Thresholds {
 public:
  // The built-in defaults.
  Thresholds();
  // Reads a thresholds file over the defaults; a malformed file is a usage error naming
  // the file, the line and what is wrong.
  void Load(const std::string& path);
  std::optional<Threshold> For(const std::string& probe, const std::string& arg) const;

 private:
  std::map<std::pair<std::string, std::string>, Threshold> entries_;  // (probe, arg)
};

// The fields of one CSV line (RFC 4180); a line with an unterminated quote is nullopt.
std::optional<std::vector<std::string>> CsvFields(const std::string& line);

}  // namespace host
