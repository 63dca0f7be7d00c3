#include "dates.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "error.h"

namespace trend {
namespace {

constexpr int64_t kSecondsPerDay = 86400;

int64_t DaysFromCivil(int year, int month, int day) {
  using namespace std::chrono;
  auto ymd = std::chrono::year{year} / std::chrono::month{static_cast<unsigned>(month)} /
             std::chrono::day{static_cast<unsigned>(day)};
  return sys_days{ymd}.time_since_epoch().count();
}

struct Civil {
  int year, month, day, hour, minute, second;
};

int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

Civil ToCivil(Date d) {
  using namespace std::chrono;
  int64_t days = FloorDiv(d.seconds, kSecondsPerDay);
  int64_t rest = d.seconds - days * kSecondsPerDay;
  year_month_day ymd{sys_days{std::chrono::days{days}}};
  return {static_cast<int>(ymd.year()),
          static_cast<int>(static_cast<unsigned>(ymd.month())),
          static_cast<int>(static_cast<unsigned>(ymd.day())),
          static_cast<int>(rest / 3600),
          static_cast<int>(rest / 60 % 60),
          static_cast<int>(rest % 60)};
}

const Date kMinDate{DaysFromCivil(100, 1, 1) * kSecondsPerDay};
const Date kMaxDate{DaysFromCivil(9999, 12, 31) * kSecondsPerDay + kSecondsPerDay - 1};

Date InRange(int64_t seconds) {
  Date d{seconds};
  if (d < kMinDate || d > kMaxDate) RaisePlatformError(kInvalidCall);
  return d;
}

bool ValidParts(int year, int month, int day, int hour, int minute, int second) {
  if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) return false;
  using namespace std::chrono;
  auto last = year_month_day_last{std::chrono::year{year},
                                  month_day_last{std::chrono::month{static_cast<unsigned>(month)}}};
  return static_cast<unsigned>(day) <= static_cast<unsigned>(last.day());
}

// A small cursor over the text for the parser.
struct Scanner {
  std::string_view s;
  size_t i = 0;
  bool AtEnd() const { return i >= s.size(); }
  bool Take(char c) {
    if (i < s.size() && s[i] == c) return ++i, true;
    return false;
  }
  // Reads between `min` and `max` digits; -1 when fewer than `min`.
  int Digits(size_t min, size_t max) {
    size_t start = i;
    int v = 0;
    while (i < s.size() && i - start < max && s[i] >= '0' && s[i] <= '9')
      v = v * 10 + (s[i++] - '0');
    return i - start < min ? -1 : v;
  }
  size_t SkipBlanks() {
    size_t start = i;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    return i - start;
  }
};

[[noreturn]] void Mismatch() {
  RaisePlatformError(kTypeMismatch);
}

}  // namespace

Date MakeDate(int year, int month, int day, int hour, int minute, int second) {
  if (!ValidParts(year, month, day, hour, minute, second)) RaisePlatformError(kInvalidCall);
  return Date{DaysFromCivil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 +
              second};
}

Date ParseDate(std::string_view text) {
  Scanner sc{text};
  sc.SkipBlanks();
  int year = -1, month = -1, day = -1;
  size_t mark = sc.i;
  int first = sc.Digits(1, 4);
  if (first < 0) Mismatch();
  if (sc.i - mark == 4) {  // yyyy-mm-dd or yyyy/mm/dd
    year = first;
    char sep = sc.i < text.size() ? text[sc.i] : '\0';
    if (sep != '-' && sep != '/') Mismatch();
    ++sc.i;
    month = sc.Digits(1, 2);
    if (!sc.Take(sep)) Mismatch();
    day = sc.Digits(1, 2);
  } else {  // m/d/yyyy
    if (sc.i - mark > 2) Mismatch();
    month = first;
    if (!sc.Take('/')) Mismatch();
    day = sc.Digits(1, 2);
    if (!sc.Take('/')) Mismatch();
    size_t y0 = sc.i;
    year = sc.Digits(4, 4);
    if (sc.i - y0 != 4) Mismatch();
  }
  if (month < 0 || day < 0) Mismatch();
  int hour = 0, minute = 0, second = 0;
  if (sc.SkipBlanks() > 0 && !sc.AtEnd()) {
    hour = sc.Digits(1, 2);
    if (hour < 0 || !sc.Take(':')) Mismatch();
    minute = sc.Digits(2, 2);
    if (minute < 0) Mismatch();
    if (sc.Take(':')) {
      second = sc.Digits(2, 2);
      if (second < 0) Mismatch();
    }
    sc.SkipBlanks();
  }
  if (!sc.AtEnd()) Mismatch();
  if (!ValidParts(year, month, day, hour, minute, second)) Mismatch();
  return MakeDate(year, month, day, hour, minute, second);
}

std::string FormatDate(Date d, DateFormat format) {
  Civil c = ToCivil(d);
  char buf[32];
  switch (format) {
    case DateFormat::kIsoDay:
      std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", c.year, c.month, c.day);
      break;
    case DateFormat::kCompactDay:
      std::snprintf(buf, sizeof buf, "%04d%02d%02d", c.year, c.month, c.day);
      break;
    case DateFormat::kSlashHour:
      std::snprintf(buf, sizeof buf, "%04d/%02d/%02d %02d:00", c.year, c.month, c.day, c.hour);
      break;
    case DateFormat::kHour:
      std::snprintf(buf, sizeof buf, "%02d:00", c.hour);
      break;
  }
  return buf;
}

std::string DateText(Date d) {
  Civil c = ToCivil(d);
  char buf[32];
  if (c.hour == 0 && c.minute == 0 && c.second == 0)
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", c.year, c.month, c.day);
  else
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", c.year, c.month, c.day, c.hour,
                  c.minute, c.second);
  return buf;
}

Date AddDays(Date d, int64_t days) {
  if (days > 4000000 || days < -4000000) RaisePlatformError(kInvalidCall);
  return InRange(d.seconds + days * kSecondsPerDay);
}

Date AddHours(Date d, int64_t hours) {
  if (hours > 100000000 || hours < -100000000) RaisePlatformError(kInvalidCall);
  return InRange(d.seconds + hours * 3600);
}

double DaysBetween(Date a, Date b) {
  return static_cast<double>(a.seconds - b.seconds) / static_cast<double>(kSecondsPerDay);
}

int64_t CalendarDaysBetween(Date from, Date to) {
  return FloorDiv(to.seconds, kSecondsPerDay) - FloorDiv(from.seconds, kSecondsPerDay);
}

namespace {
const int64_t kSerialEpochDays = DaysFromCivil(1899, 12, 30);
}

double DateToSerial(Date d) {
  return static_cast<double>(d.seconds - kSerialEpochDays * kSecondsPerDay) /
         static_cast<double>(kSecondsPerDay);
}

Date SerialToDate(double serial) {
  if (!std::isfinite(serial)) RaisePlatformError(kOverflow);
  double seconds = std::round(serial * static_cast<double>(kSecondsPerDay));
  if (std::fabs(seconds) > 1e15) RaisePlatformError(kOverflow);
  return InRange(static_cast<int64_t>(seconds) + kSerialEpochDays * kSecondsPerDay);
}

}  // namespace trend
