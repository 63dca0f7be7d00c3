// The names of the hourly columns every metric table carries: the stem followed by the
// two-digit hour, AVG_VALUE_00 to AVG_VALUE_23.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace trend {

inline constexpr int kHoursPerDay = 24;

inline std::string HourColumn(std::string_view stem, int hour) {
  char digits[4];
  std::snprintf(digits, sizeof digits, "%02d", hour);
  return std::string(stem) + digits;
}

// The 24 columns of `stem`, each between `before` and `after`.
inline std::string HourColumns(std::string_view stem, std::string_view before,
                               std::string_view after) {
  std::string out;
  for (int h = 0; h < kHoursPerDay; ++h) {
    out += before;
    out += HourColumn(stem, h);
    out += after;
  }
  return out;
}

}  // namespace trend
