// A series' result on its way from a worker to the writers: the JSON line a worker sends
// (trendhost's forked workers and trendreport.so's chunks alike), and the compact binary
// record the result store keeps, which the writers read back typed without parsing text.
// Both derive from the run's columns.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "columns.h"
#include "report_types.h"

namespace host {

class ResultCodec {
 public:
  explicit ResultCodec(const ReportRun& run);
  const std::vector<Column>& columns() const { return columns_; }

  // A result as one line of JSON (no line break), for the pipe from a worker.
  std::string Line(size_t index, const SeriesResult& r) const;
  // The series' index and its result from a line; the series and threshold come from the
  // run's lists (a result of an index beyond them has neither).
  std::pair<size_t, SeriesResult> Parse(const std::string& line, const std::vector<Series>& series,
                                        const SeriesThresholds& limits) const;

  // A result without its chart as a binary record, and its chart's data as another.
  std::string Record(const SeriesResult& r) const;
  static std::string ChartRecord(const ChartData& c);
  // The result of a record (and its chart's, when given) for its series and threshold.
  SeriesResult FromRecord(std::string_view record, std::string_view chart, const Series& series,
                          const std::optional<Threshold>& threshold) const;

 private:
  std::vector<Column> columns_;
  std::vector<const Column*> read_;  // the columns read back, in order
};

}  // namespace host
