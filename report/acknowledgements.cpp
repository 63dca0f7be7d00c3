#include "acknowledgements.h"

#include <memory>

#include "command.h"
#include "csv_table.h"
#include "dates.h"
#include "error.h"

namespace host {

namespace {

constexpr int kExpiredNoticeDays = 7;  // without a recorded run: the week after the day

}  // namespace

Acknowledgements::Acknowledgements(const std::string& path) {
  if (path.empty()) return;
  const CsvTableForm form{"acknowledgements file",
                          {"host", "probe", "arg", "until", "owner", "note"},
                          {"host", "probe", "until"},
                          10000};
  ReadCsvTable(path, form, [&](const CsvTableLine& line) {
    Acknowledgement a;
    a.host = line["host"];
    a.probe = line["probe"];
    a.arg = line["arg"];
    a.owner = line["owner"];
    a.note = line["note"];
    a.line = line.number();
    if (a.host.empty()) line.Fail("the host is empty (a pattern: * is every host)");
    if (a.probe.empty()) line.Fail("the probe is empty (a pattern: * is every probe)");
    const std::string& until = line["until"];
    const auto day = IsoDay(until);
    if (!day) line.Fail("until \"" + Visible(until) + "\" is not a day: give it as yyyy-mm-dd");
    a.until = *day;
    entries_.push_back(std::move(a));
  });
}

const Acknowledgement* Acknowledgements::For(const SeriesKey& key) const {
  const Acknowledgement* best = nullptr;
  for (const auto& a : entries_)
    if (MatchesPattern(a.host, key.host) && MatchesPattern(a.probe, key.probe) &&
        (a.arg.empty() || MatchesPattern(a.arg, key.arg)) && (!best || a.until > best->until))
      best = &a;
  return best;
}

void Acknowledge(ResultStore& results, const ReportRun& run, const PriorCrossings& prior) {
  const std::vector<Series>& series = results.series();
  auto acks = std::make_shared<const Acknowledgements>(run.ackFile);
  if (acks->empty()) return;
  // Per series: the line that acknowledges it now, or the one whose end it reports.
  struct Found {
    const Acknowledgement* inForce = nullptr;
    const Acknowledgement* expired = nullptr;
  };
  auto found = std::make_shared<std::vector<Found>>(series.size());
  for (size_t i = 0; i < series.size(); ++i) {
    if (!results.Answered(i)) continue;
    const Acknowledgement* a = acks->For(series[i].key);
    if (!a) continue;
    if (run.lastDay <= a->until) {
      if (!IsCapacityStatus(results.AnsweredStatus(i))) continue;
      (*found)[i].inForce = a;
      results.SetStatus(i, Status::kAcknowledged);
      continue;
    }
    const auto& before = i < prior.size() ? prior[i] : std::nullopt;
    const bool once = before
                          ? before->acknowledged
                          : trend::CalendarDaysBetween(a->until, run.lastDay) <= kExpiredNoticeDays;
    if (once) (*found)[i].expired = a;
  }
  results.Adjust([acks, found](size_t index, SeriesResult& r) {
    const Found& f = (*found)[index];
    if (const Acknowledgement* a = f.inForce ? f.inForce : f.expired) {
      r.ackUntil = a->until;
      r.ackOwner = a->owner;
      r.ackNote = a->note;
    }
    if (f.inForce) r.status = Status::kAcknowledged;
    if (f.expired) r.flags.push_back("ack expired");
  });
}

}  // namespace host
