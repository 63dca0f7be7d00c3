// A run's results between the workers and the writers. Each result line is parsed once as
// it arrives and kept as a binary record in an unlinked temporary file; memory holds only
// what the report's order needs (the status and the crossing day) and where the record
// lies, 40 bytes a series, so that a fleet of any size fits. The writers read the results
// back typed, one at a time, in the report's order, as often as they pass over them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "groups.h"
#include "report_types.h"
#include "result_line.h"

namespace host {

class ResultStore {
 public:
  // The run's series and their thresholds (one each): they outlive the store.
  ResultStore(const std::vector<Series>& series, const SeriesThresholds& thresholds,
              const ReportRun& run);
  ~ResultStore();
  ResultStore(const ResultStore&) = delete;
  ResultStore& operator=(const ResultStore&) = delete;

  const std::vector<Series>& series() const { return series_; }
  // The services' answers (groups.h), which every form writes before the series.
  void SetGroups(std::vector<GroupResult> groups) { groups_ = std::move(groups); }
  const std::vector<GroupResult>& groups() const { return groups_; }
  std::vector<GroupResult>& groups() { return groups_; }
  // The what-if rows of a series (--scenario), written beside its own.
  void AddScenarioRow(size_t index, SeriesResult r) {
    scenarioRows_[index].push_back(std::move(r));
  }
  const std::vector<SeriesResult>& ScenarioRowsAt(size_t rank) const {
    static const std::vector<SeriesResult> kNone;
    const auto it = scenarioRows_.find(order_[rank]);
    return it == scenarioRows_.end() ? kNone : it->second;
  }
  // The columns of the run's rows, as every writer reads them.
  const std::vector<Column>& columns() const { return codec_.columns(); }
  // The form the workers send their results in.
  const ResultCodec& codec() const { return codec_; }

  // Keeps a result line as the workers send it; false (and nothing kept) when its series
  // is unknown or already answered.
  bool Add(const std::string& line);
  // Keeps a result made here (a series whose worker was lost).
  void Add(size_t index, const SeriesResult& r);
  bool Answered(size_t index) const { return entries_[index].length > 0; }

  // Puts the results in the report's order: status, then crossing date (earliest first,
  // none last), then key. Every series must be answered.
  void Sort();
  // Applied to each result, with its series' index, as it is read back (the comparison
  // with the recorded runs, the acknowledgements), in the order they were added.
  void Adjust(std::function<void(size_t, SeriesResult&)> adjust) {
    adjust_.push_back(std::move(adjust));
  }
  // The status a series' result answered (its worker's), and the one the report sorts and
  // counts it by: set before Sort, with an adjustment that sets it in the result read back.
  Status AnsweredStatus(size_t index) const { return entries_[index].status; }
  void SetStatus(size_t index, Status s) { entries_[index].status = s; }

  // In the report's order, once sorted.
  size_t size() const { return order_.size(); }
  bool empty() const { return order_.empty(); }
  // Without its chart's data (the charts read those of the few they draw).
  SeriesResult At(size_t rank) const { return Read(rank, false); }
  SeriesResult WithChart(size_t rank) const { return Read(rank, true); }
  bool HasChart(size_t rank) const { return entries_[order_[rank]].chartLength > 0; }
  Status StatusAt(size_t rank) const { return entries_[order_[rank]].status; }
  const Series& SeriesAt(size_t rank) const { return series_[order_[rank]]; }
  bool AnyFailed() const;

  // Each result in the report's order, read as the loop reaches it.
  class Iterator {
   public:
    Iterator(const ResultStore* store, size_t rank) : store_(store), rank_(rank) {}
    SeriesResult operator*() const { return store_->At(rank_); }
    Iterator& operator++() {
      ++rank_;
      return *this;
    }
    bool operator==(const Iterator& o) const { return rank_ == o.rank_; }

   private:
    const ResultStore* store_;
    size_t rank_;
  };
  Iterator begin() const { return {this, 0}; }
  Iterator end() const { return {this, size()}; }

 private:
  // A result's record, then its chart's data right after it (most reads want none).
  struct Entry {
    uint64_t offset = 0;
    uint32_t length = 0;       // 0: not answered yet
    uint32_t chartLength = 0;  // the chart's record, 0 for none
    Status status = Status::kError;
    std::optional<trend::Date> crossing;
  };
  void Keep(size_t index, const SeriesResult& r);
  SeriesResult Read(size_t rank, bool withChart) const;
  void Flush();

  const std::vector<Series>& series_;
  const SeriesThresholds& thresholds_;
  ResultCodec codec_;
  std::vector<Entry> entries_;   // by series index
  std::vector<uint32_t> order_;  // series indexes, most urgent first
  std::vector<GroupResult> groups_;
  std::map<size_t, std::vector<SeriesResult>> scenarioRows_;
  std::vector<std::function<void(size_t, SeriesResult&)>> adjust_;
  int fd_ = -1;
  std::string folder_;    // where the file lies, for the messages
  std::string buffer_;    // lines not yet written to the file
  uint64_t written_ = 0;  // bytes in the file
};

}  // namespace host
