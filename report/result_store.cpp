#include "result_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "command.h"

namespace host {

namespace {

constexpr size_t kFlushBytes = 1 << 16;

std::string TemporaryFolder() {
  const char* dir = std::getenv("TMPDIR");
  return dir && *dir ? dir : "/tmp";
}

[[noreturn]] void FileFailed(const std::string& what, const std::string& folder) {
  throw CallFailed("cannot " + what + " the report's results in a temporary file in " +
                   Visible(folder) + ": " + std::strerror(errno));
}

}  // namespace

ResultStore::ResultStore(const std::vector<Series>& series, const SeriesThresholds& thresholds,
                         const ReportRun& run)
    : series_(series),
      thresholds_(thresholds),
      codec_(run),
      entries_(series.size()),
      folder_(TemporaryFolder()) {
  // A file without a name: nothing is left behind, however the run ends.
  fd_ = ::open(folder_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    std::string path = folder_ + "/trendhost-results.XXXXXX";
    fd_ = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd_ < 0) FileFailed("keep", folder_);
    ::unlink(path.c_str());
  }
}

ResultStore::~ResultStore() {
  if (fd_ >= 0) ::close(fd_);
}

bool ResultStore::Add(const std::string& line) {
  auto [index, result] = codec_.Parse(line, series_, thresholds_);
  if (index >= entries_.size() || Answered(index)) return false;
  Keep(index, result);
  return true;
}

void ResultStore::Add(size_t index, const SeriesResult& r) {
  Keep(index, r);
}

void ResultStore::Keep(size_t index, const SeriesResult& r) {
  const std::string record = codec_.Record(r);
  const std::string chart = r.chart ? ResultCodec::ChartRecord(*r.chart) : std::string();
  if (record.size() + chart.size() > std::numeric_limits<uint32_t>::max())
    throw CallFailed("a result of " + std::to_string(record.size() + chart.size()) + " bytes");
  Entry& e = entries_[index];
  e.offset = written_ + buffer_.size();
  e.length = static_cast<uint32_t>(record.size());
  e.chartLength = static_cast<uint32_t>(chart.size());
  e.status = r.status;
  e.crossing = r.crossingDate;
  buffer_ += record;
  buffer_ += chart;
  if (buffer_.size() >= kFlushBytes) Flush();
}

void ResultStore::Flush() {
  for (size_t done = 0; done < buffer_.size();) {
    const ssize_t n = ::pwrite(fd_, buffer_.data() + done, buffer_.size() - done,
                               static_cast<off_t>(written_ + done));
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = ENOSPC;
    if (n <= 0) FileFailed("keep", folder_);
    done += static_cast<size_t>(n);
  }
  written_ += buffer_.size();
  buffer_.clear();
}

void ResultStore::Sort() {
  Flush();
  std::string().swap(buffer_);
  order_.resize(entries_.size());
  for (size_t i = 0; i < order_.size(); ++i) {
    if (!Answered(i))
      throw CallFailed("no result for the series " + series_[i].key.host + " " +
                       series_[i].key.probe);
    order_[i] = static_cast<uint32_t>(i);
  }
  std::stable_sort(order_.begin(), order_.end(), [&](uint32_t a, uint32_t b) {
    const Entry &x = entries_[a], &y = entries_[b];
    if (x.status != y.status) return x.status < y.status;
    if (x.crossing.has_value() != y.crossing.has_value()) return x.crossing.has_value();
    if (x.crossing != y.crossing) return x.crossing < y.crossing;
    return series_[a].key < series_[b].key;
  });
}

SeriesResult ResultStore::Read(size_t rank, bool withChart) const {
  const size_t index = order_[rank];
  const Entry& e = entries_[index];
  std::string bytes(e.length + (withChart ? e.chartLength : 0), '\0');
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n =
        ::pread(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(e.offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;  // shorter than it was written
    if (n <= 0) FileFailed("read", folder_);
    done += static_cast<size_t>(n);
  }
  const std::string_view all(bytes);
  SeriesResult r = codec_.FromRecord(all.substr(0, e.length), all.substr(e.length), series_[index],
                                     thresholds_[index]);
  for (const auto& adjust : adjust_) adjust(index, r);
  return r;
}

bool ResultStore::AnyFailed() const {
  return std::any_of(entries_.begin(), entries_.end(),
                     [](const Entry& e) { return e.status == Status::kError; });
}

}  // namespace host
