#include "summary.h"

#include "command.h"
#include "text.h"

namespace host {

SummaryView Summary(const ReportRun& run) {
  SummaryView v;
  v.header = {"HOST", "PROBE", "ARG", "STATUS", "LEVEL"};
  for (int h : run.horizons) v.header.push_back("+" + std::to_string(h) + "d (week)");
  v.header.insert(v.header.end(), {"PEAK +" + std::to_string(run.horizons.front()) + "d",
                                   "RECENT PEAK", "THRESHOLD", "UNIT", "CROSSES", "GROWTH/30d",
                                   "DAYS WITH DATA", "LAST SEEN", "MODEL", "TRUST", "NOTE"});
  for (const auto& h : v.header)
    v.numeric.push_back(!(h == "HOST" || h == "PROBE" || h == "ARG" || h == "STATUS" ||
                          h == "UNIT" || h == "CROSSES" || h == "LAST SEEN" || h == "MODEL" ||
                          h == "TRUST" || h == "NOTE"));
  return v;
}

std::vector<std::string> SummaryRow(const SeriesResult& r, const ReportRun& run) {
  std::vector<std::string> row = {Visible(r.series.key.host), Visible(r.series.key.probe),
                                  Visible(r.series.key.arg), StatusName(r.status), Fixed(r.level)};
  for (size_t i = 0; i < run.horizons.size(); ++i)
    row.push_back(i < r.week.size() ? Fixed(r.week[i]) : "");
  row.push_back(Fixed(r.peak));
  row.push_back(Fixed(r.recentPeak));
  row.push_back(
      r.threshold ? Fixed(r.threshold->value,
                          r.threshold->value == static_cast<long long>(r.threshold->value) ? 0 : 2)
                  : "");
  row.push_back(r.threshold ? Visible(r.threshold->unit) : "");
  row.push_back(r.status == Status::kError ? "error " + std::to_string(r.errorNumber.value_or(0))
                                           : CrossingText(r));
  row.push_back(Percent(r.growth30));
  row.push_back(std::to_string(r.series.fitDays));
  row.push_back(DayText(r.series.lastDay));
  row.push_back(r.model);
  row.push_back(r.trust);
  row.push_back(Visible(NoteText(r)));
  return row;
}

}  // namespace host
