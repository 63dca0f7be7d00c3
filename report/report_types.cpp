#include "report_types.h"

namespace host {

const char* StatusName(Status s) {
  switch (s) {
    case Status::kExceeded:
      return "exceeded";
    case Status::kWarning:
      return "warning";
    case Status::kOk:
      return "ok";
    case Status::kNever:
      return "never";
    case Status::kAcknowledged:
      return "acknowledged";
    case Status::kNoThreshold:
      return "no threshold";
    case Status::kInsufficientData:
      return "insufficient data";
    case Status::kStale:
      return "stale";
    case Status::kError:
      return "error";
  }
  return "error";
}

std::string DayText(std::optional<trend::Date> day) {
  return day ? trend::FormatDate(*day, trend::DateFormat::kIsoDay) : std::string();
}

std::optional<trend::Date> DayFromText(const std::string& text) {
  if (text.empty()) return std::nullopt;
  return trend::ParseDate(text);
}

}  // namespace host
