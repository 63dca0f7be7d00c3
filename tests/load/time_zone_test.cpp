// Time zones of the loader: named zones come from the system's database without changing
// the process's own zone (the loader runs inside other programs' processes too).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "samples.h"

namespace host {
namespace {

TEST(TimeZone, NamedZonesLeaveTheProcessZoneAlone) {
  ::setenv("TZ", "Asia/Tokyo", 1);
  const TimeZone berlin("Europe/Berlin");
  EXPECT_STREQ(std::getenv("TZ"), "Asia/Tokyo");
  // 2026-03-29 01:00 UTC is when Berlin moves from +01:00 to +02:00.
  const int64_t change = 1774746000;
  EXPECT_EQ(berlin.OffsetAt(change - 1), 3600);
  EXPECT_EQ(berlin.OffsetAt(change), 7200);
  // Midnight of a summer day, and a local time in the spring gap (02:30 does not exist):
  // the earlier offset's reading.
  int64_t utc = 0;
  ASSERT_TRUE(ParseTime("2026-06-30T00:30", berlin, utc));
  EXPECT_EQ(utc, 1782772200);  // 2026-06-29T22:30Z
  ASSERT_TRUE(ParseTime("2026-03-29 02:30", berlin, utc));
  EXPECT_EQ(utc, change + 1800);  // 02:30 read at +01:00
  ::unsetenv("TZ");
}

TEST(TimeZone, OffsetsDaysThatDoNotExistAndUnknownNames) {
  const TimeZone plus("+05:30");
  EXPECT_EQ(plus.OffsetAt(0), 19800);
  int64_t utc = 0;
  EXPECT_FALSE(ParseTime("2026-06-31", plus, utc));
  EXPECT_FALSE(ParseTime("2025-02-29", plus, utc));
  EXPECT_TRUE(ParseTime("2024-02-29", plus, utc));
  EXPECT_THROW(TimeZone("Mars/Olympus"), std::invalid_argument);
  EXPECT_THROW(TimeZone("../etc/passwd"), std::invalid_argument);
  EXPECT_THROW(TimeZone("/etc/localtime"), std::invalid_argument);
}

}  // namespace
}  // namespace host
