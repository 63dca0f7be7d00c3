// libFuzzer target: the day-text and number parsers, and the round trips the system relies
// on (a date's text reads back to the same date, a number's general text to a finite
// number within 15 significant digits). Any other exception, a crash or a sanitizer report
// is a finding.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "dates.h"
#include "error.h"
#include "numeric.h"
#include "variant.h"

std::string_view trend::ApplicationTitle() {
  return "TrendFuzz";
}

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

void Date(const std::string& text) {
  trend::Date d;
  try {
    d = trend::ParseDate(text);
  } catch (const trend::Error& e) {
    Check(e.number() == trend::kTypeMismatch || e.number() == trend::kInvalidCall);
    return;
  }
  Check(trend::ParseDate(trend::DateText(d)) == d);
  // The day alone reads back as that day's midnight.
  const int64_t midnight = d.seconds - (((d.seconds % 86400) + 86400) % 86400);
  Check(trend::ParseDate(trend::FormatDate(d, trend::DateFormat::kIsoDay)).seconds == midnight);
  Check(trend::SerialToDate(trend::DateToSerial(d)) == d);
}

void Number(const std::string& text) {
  double v;
  try {
    v = trend::ParseNumber(text);
  } catch (const trend::Error& e) {
    Check(e.number() == trend::kTypeMismatch || e.number() == trend::kOverflow);
    return;
  }
  Check(std::isfinite(v));
  const std::string general = trend::FormatDouble(v);
  const double back = trend::ParseNumber(general);  // must not throw
  Check(std::isfinite(back));
  Check(v == 0 ? back == 0 : std::fabs(back / v - 1) < 1e-14);
  try {
    trend::Variant(text).ToSingle();
    trend::Variant(text).ToInt16();
    trend::Variant(text).ToInt32();
  } catch (const trend::Error& e) {
    Check(e.number() == trend::kOverflow);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Date(text);
  Number(text);
  return 0;
}
