#include "thresholds.h"

#include <fstream>
#include <vector>

#include "error.h"
#include "command.h"
#include "variant.h"

namespace host {

Thresholds::Thresholds() {
  // The probes of the population summary and the subsystem ranks.
  const struct {
    const char* probe;
    double value;
    const char* unit;
    const char* label;
  } defaults[] = {
      {"avgcpubusy", 85, "%", "CPU busy"},
      {"avgcpusys", 50, "%", "CPU system time"},
      {"avgcpuusr", 75, "%", "CPU user time"},
      {"runqjobs", 8, "jobs", "run queue"},
      {"pageoutrate", 100, "pages/s", "page-out rate"},
      {"pageinrate", 200, "pages/s", "page-in rate"},
      {"netinrate", 10000, "packets/s", "network packets in"},
      {"netoutrate", 10000, "packets/s", "network packets out"},
      {"peakdiskxfer", 500, "transfers/s", "disk transfers"},
  };
  for (const auto& d : defaults) entries_[{d.probe, ""}] = {d.value, d.unit, d.label};
}

std::optional<std::vector<std::string>> CsvFields(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        fields.back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        fields.back() += c;
      }
    } else if (c == '"' && fields.back().empty()) {
      quoted = true;
    } else if (c == ',') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  if (quoted) return std::nullopt;
  return fields;
}

void Thresholds::Load(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw UsageError("cannot read the thresholds file " + path);
  auto fail = [&](size_t line, const std::string& what) {
    throw UsageError(path + ":" + std::to_string(line) + ": " + what);
  };
  const std::vector<std::string> header = {"probe", "arg", "threshold", "unit", "label"};
  bool sawHeader = false;
  size_t number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') continue;
    auto fields = CsvFields(line);
    if (!fields) fail(number, "a quoted field is not closed");
    if (!sawHeader) {
      if (*fields != header)
        fail(number, "the first line must be the header probe,arg,threshold,unit,label");
      sawHeader = true;
      continue;
    }
    if (fields->size() != header.size())
      fail(number, "expected 5 fields (probe,arg,threshold,unit,label), found " +
                       std::to_string(fields->size()));
    const auto& f = *fields;
    if (f[0].empty()) fail(number, "the probe is empty");
    double value = 0;
    try {
      value = trend::ParseNumber(f[2]);
    } catch (const trend::Error&) {
      fail(number, "the threshold \"" + f[2] + "\" is not a number");
    }
    entries_[{f[0], f[1]}] = {value, f[3], f[4]};
  }
  if (!sawHeader) fail(number, "the file has no header line probe,arg,threshold,unit,label");
}

std::optional<Threshold> Thresholds::For(const std::string& probe, const std::string& arg) const {
  if (auto it = entries_.find({probe, arg}); it != entries_.end()) return it->second;
  if (auto it = entries_.find({probe, ""}); it != entries_.end()) return it->second;
  return std::nullopt;
}

}  // namespace host
