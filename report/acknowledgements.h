// Acknowledged rows: a planner who has ordered the disks wants the row quiet until they
// arrive. An acknowledgements file (CSV, the thresholds file's form) names series by shell
// patterns with the day the acknowledgement runs to, who gave it and why:
//
//   host,probe,arg,until,owner,note
//   db01,fsusedpct,/var,2027-01-31,ops-storage,"disks ordered, PO 4471"
//
// host, probe and until are required; an empty arg is every argument. A series that an
// acknowledgement in force names (the report's last day on or before `until`) and whose
// forecast has a capacity status (exceeded, warning, ok, never) gets the status
// acknowledged, with the owner and the note; its figures stay. Where several lines name a
// series, the one running longest wins. An acknowledgement that has run out is reported
// once, as the flag "ack expired": on the first recorded run after it (the series' latest
// recorded run was acknowledged), or where no run of the series is recorded, in the week
// after its day.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "history.h"
#include "report_types.h"
#include "result_store.h"

namespace host {

struct Acknowledgement {
  std::string host, probe, arg;  // shell patterns; arg empty: every argument
  trend::Date until;
  std::string owner, note;
  size_t line = 0;
};

class Acknowledgements {
 public:
  // Reads the file; a malformed one is a usage error naming the file, the line and the
  // fault. No file: no acknowledgements.
  explicit Acknowledgements(const std::string& path = {});
  // The line naming the series that runs longest, or none.
  const Acknowledgement* For(const SeriesKey& key) const;
  bool empty() const { return entries_.empty(); }

 private:
  std::vector<Acknowledgement> entries_;
};

// Gives the results the acknowledgements of the run (its options' file): the status of
// those in force before the results are sorted, the owner, note and day as they are read
// back, and "ack expired" once where one has run out (`prior`: the latest recorded run of
// each series). Apply after CompareWithHistory, which compares the forecast's own status.
void Acknowledge(ResultStore& results, const ReportRun& run, const PriorCrossings& prior);

}  // namespace host
