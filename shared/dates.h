// Date services of the platform: a date value with a time of day, parsed from a day
// text, formatted in the system's fixed formats, and moved by days and hours.
//
// A Date is a count of seconds from 1970-01-01 00:00:00 on the proleptic Gregorian
// calendar, without time zones, so that day and hour arithmetic is exact. The valid range
// is the years 100 to 9999; arithmetic that leaves it is error 5.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

namespace trend {

struct Date {
  int64_t seconds = 0;
  auto operator<=>(const Date&) const = default;
};

enum class DateFormat {
  kIsoDay,      // "yyyy-mm-dd"
  kCompactDay,  // "yyyymmdd"
  kSlashHour,   // "yyyy/mm/dd hh:00"
  kHour,        // "hh:00"
};

// Builds a date from its parts; parts out of range are error 5.
Date MakeDate(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

// Parses a day text: "yyyy-mm-dd", "yyyy/mm/dd" or "m/d/yyyy" (months and days with one or
// two digits), each optionally followed by blanks and a time "hh:mm" or "hh:mm:ss".
// Leading and trailing blanks are ignored. Anything else is error 13.
Date ParseDate(std::string_view text);

std::string FormatDate(Date d, DateFormat format);

// The text form of a date value: "yyyy-mm-dd", followed by " hh:mm:ss" only when the time
// is not midnight. ParseDate reads it back to the same value.
std::string DateText(Date d);

Date AddDays(Date d, int64_t days);
Date AddHours(Date d, int64_t hours);

// a - b in days, with the fraction of a day (0.5 for twelve hours).
double DaysBetween(Date a, Date b);
// The number of calendar-day boundaries from `from` to `to` (negative when `to` is
// earlier); the time of day does not count.
int64_t CalendarDaysBetween(Date from, Date to);

// The date as days since 1899-12-30 with the time as fraction (the platform's numeric
// form of a date), and back.
double DateToSerial(Date d);
Date SerialToDate(double serial);

}  // namespace trend
