#include "common/FileTime.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace vidra {
namespace {

CalendarTime Date(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  CalendarTime c;
  c.year = static_cast<std::uint16_t>(y);
  c.month = static_cast<std::uint16_t>(mo);
  c.day = static_cast<std::uint16_t>(d);
  c.hour = static_cast<std::uint16_t>(h);
  c.minute = static_cast<std::uint16_t>(mi);
  c.second = static_cast<std::uint16_t>(s);
  c.milliseconds = static_cast<std::uint16_t>(ms);
  return c;
}

TEST(FileTime, CalendarFormMatchesKnownInstants) {
  FileTime t = 0;
  ASSERT_TRUE(FromCalendar(Date(1970, 1, 1), t));
  EXPECT_EQ(t, kUnixEpochFileTime);
  ASSERT_TRUE(FromCalendar(Date(1601, 1, 1), t));
  EXPECT_EQ(t, 0u);

  CalendarTime c;
  ASSERT_TRUE(ToCalendar(0, c));
  EXPECT_EQ(c.dayOfWeek, 1) << "1601-01-01 was a Monday";
  // 2026-12-06 19:22:29.123 UTC was a Sunday.
  ASSERT_TRUE(FromCalendar(Date(2026, 12, 6, 19, 22, 29, 123), t));
  EXPECT_EQ((t - kUnixEpochFileTime) / kTicksPerMillisecond, 1796584949123ull);
  ASSERT_TRUE(ToCalendar(t + 4567, c));  // sub-millisecond ticks are dropped
  CalendarTime expected = Date(2026, 12, 6, 19, 22, 29, 123);
  expected.dayOfWeek = 0;
  EXPECT_EQ(c, expected);
}

TEST(FileTime, RoundTripsAcrossLeapDaysAndCenturies) {
  for (const auto& date : {Date(1600 + 1, 12, 31, 23, 59, 59, 999), Date(1900, 2, 28),
                           Date(2000, 2, 29, 12), Date(2024, 2, 29, 23, 59, 59),
                           Date(2038, 1, 19, 3, 14, 8), Date(2100, 3, 1), Date(30827, 12, 31)}) {
    FileTime t = 0;
    ASSERT_TRUE(FromCalendar(date, t)) << date.year;
    CalendarTime back;
    ASSERT_TRUE(ToCalendar(t, back));
    back.dayOfWeek = date.dayOfWeek;
    EXPECT_EQ(back, date) << date.year << "-" << date.month << "-" << date.day;
  }
}

TEST(FileTime, RejectsImpossibleDates) {
  FileTime t = 0;
  EXPECT_FALSE(FromCalendar(Date(2023, 2, 29), t));
  EXPECT_FALSE(FromCalendar(Date(1900, 2, 29), t));
  EXPECT_FALSE(FromCalendar(Date(2024, 4, 31), t));
  EXPECT_FALSE(FromCalendar(Date(2024, 13, 1), t));
  EXPECT_FALSE(FromCalendar(Date(2024, 0, 1), t));
  EXPECT_FALSE(FromCalendar(Date(2024, 1, 1, 24), t));
  EXPECT_FALSE(FromCalendar(Date(1600, 12, 31), t));
  EXPECT_FALSE(FromCalendar(Date(2024, 1, 1, 0, 0, 0, 1000), t));
  CalendarTime c;
  EXPECT_FALSE(ToCalendar(0x8000000000000000ull, c));
}

TEST(FileTime, SystemClockConversionIsExact) {
  const auto now =
      std::chrono::system_clock::time_point(std::chrono::microseconds(1'700'000'000'123'456));
  const FileTime t = FileTimeFromSystem(now);
  EXPECT_EQ(t, kUnixEpochFileTime + 17'000'000'001'234'560ull);
  EXPECT_EQ(SystemFromFileTime(t), now);
}

TEST(FileTime, LocalConversionFollowsDaylightSaving) {
  test::ScopedTimeZone berlin("CET-1CEST,M3.5.0,M10.5.0/3");
  FileTime winter = 0;
  FileTime summer = 0;
  ASSERT_TRUE(FromCalendar(Date(2026, 1, 15, 12), winter));
  ASSERT_TRUE(FromCalendar(Date(2026, 7, 15, 12), summer));
  EXPECT_EQ(UtcToLocal(winter) - winter, 3600 * kTicksPerSecond);
  EXPECT_EQ(UtcToLocal(summer) - summer, 7200 * kTicksPerSecond);
  EXPECT_EQ(LocalToUtc(UtcToLocal(winter)), winter);
  EXPECT_EQ(LocalToUtc(UtcToLocal(summer)), summer);
  // Just after the spring change (01:00 UTC on 29 March 2026) local time is 03:00 CEST.
  FileTime afterChange = 0;
  ASSERT_TRUE(FromCalendar(Date(2026, 3, 29, 1, 30), afterChange));
  CalendarTime local;
  ASSERT_TRUE(ToCalendar(UtcToLocal(afterChange), local));
  EXPECT_EQ(local.hour, 3);
  EXPECT_EQ(local.minute, 30);
  EXPECT_EQ(LocalToUtc(UtcToLocal(afterChange)), afterChange);
}

}  // namespace
}  // namespace vidra
