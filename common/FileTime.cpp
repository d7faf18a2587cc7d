// Calendar arithmetic on the proleptic Gregorian calendar, so times before 1970 and far
// after 2038 convert exactly without relying on the C library's range.
#include "common/FileTime.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace vidra {

namespace {

constexpr std::int64_t kSecondsPerDay = 86'400;
// Days from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kDaysFrom1601To1970 = 134'774;

// Days since 1970-01-01 of a civil date (H. Hinnant's days_from_civil).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146'097 + static_cast<std::int64_t>(doe) - 719'468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719'468;
  const std::int64_t era = (z >= 0 ? z : z - 146'096) / 146'097;
  const auto doe = static_cast<unsigned>(z - era * 146'097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36'524 - doe / 146'096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0);
}

bool IsLeap(std::int64_t y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned DaysInMonth(std::int64_t y, unsigned m) {
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Offset of local time from UTC, in seconds, at the given UTC second.
std::int64_t LocalOffsetAt(std::int64_t unixSeconds) {
  const auto t = static_cast<std::time_t>(unixSeconds);
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr) {
    return 0;
  }
  return local.tm_gmtoff;
}

std::int64_t UnixSecondsOf(FileTime t) {
  return static_cast<std::int64_t>(t / kTicksPerSecond) - kDaysFrom1601To1970 * kSecondsPerDay;
}

}  // namespace

FileTime FileTimeFromSystem(std::chrono::system_clock::time_point t) {
  const auto ticks =
      std::chrono::duration_cast<std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>>(
          t.time_since_epoch())
          .count();
  return kUnixEpochFileTime + static_cast<FileTime>(ticks);
}

std::chrono::system_clock::time_point SystemFromFileTime(FileTime t) {
  const auto ticks = static_cast<std::int64_t>(t - kUnixEpochFileTime);
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>(ticks)));
}

bool ToCalendar(FileTime t, CalendarTime& out) {
  if ((t >> 63) != 0) {
    return false;
  }
  const auto totalSeconds = static_cast<std::int64_t>(t / kTicksPerSecond);
  const std::int64_t days = totalSeconds / kSecondsPerDay;
  const std::int64_t secondOfDay = totalSeconds % kSecondsPerDay;
  std::int64_t year = 0;
  unsigned month = 0;
  unsigned day = 0;
  CivilFromDays(days - kDaysFrom1601To1970, year, month, day);
  out.year = static_cast<std::uint16_t>(year);
  out.month = static_cast<std::uint16_t>(month);
  // 1601-01-01 was a Monday.
  out.dayOfWeek = static_cast<std::uint16_t>((days + 1) % 7);
  out.day = static_cast<std::uint16_t>(day);
  out.hour = static_cast<std::uint16_t>(secondOfDay / 3600);
  out.minute = static_cast<std::uint16_t>(secondOfDay / 60 % 60);
  out.second = static_cast<std::uint16_t>(secondOfDay % 60);
  out.milliseconds = static_cast<std::uint16_t>(t % kTicksPerSecond / kTicksPerMillisecond);
  return true;
}

bool FromCalendar(const CalendarTime& c, FileTime& out) {
  if (c.year < 1601 || c.year > 30827 || c.month < 1 || c.month > 12 || c.day < 1 ||
      c.day > DaysInMonth(c.year, c.month) || c.hour > 23 || c.minute > 59 || c.second > 59 ||
      c.milliseconds > 999) {
    return false;
  }
  const std::int64_t days = DaysFromCivil(c.year, c.month, c.day) + kDaysFrom1601To1970;
  const std::int64_t seconds =
      days * kSecondsPerDay + std::int64_t{c.hour} * 3600 + std::int64_t{c.minute} * 60 + c.second;
  out = static_cast<FileTime>(seconds) * kTicksPerSecond + c.milliseconds * kTicksPerMillisecond;
  return true;
}

FileTime UtcToLocal(FileTime utc) {
  const std::int64_t offset = LocalOffsetAt(UnixSecondsOf(utc));
  return utc + static_cast<FileTime>(offset * static_cast<std::int64_t>(kTicksPerSecond));
}

FileTime LocalToUtc(FileTime local) {
  // The offset at the local time read as UTC, corrected once: right on both sides of a
  // daylight-saving change except inside the skipped or repeated hour itself.
  const std::int64_t guess = UnixSecondsOf(local);
  std::int64_t offset = LocalOffsetAt(guess);
  offset = LocalOffsetAt(guess - offset);
  return local - static_cast<FileTime>(offset * static_cast<std::int64_t>(kTicksPerSecond));
}

std::string FormatFileTime(FileTime t, bool utc) {
  CalendarTime c;
  if (!ToCalendar(t, c)) {
    return std::to_string(t);
  }
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03u%s", c.year, c.month, c.day,
                c.hour, c.minute, c.second, c.milliseconds, utc ? "Z" : "");
  return text;
}

std::string FormatOffset(std::int64_t offsetSeconds) {
  const std::int64_t minutes = (offsetSeconds < 0 ? -offsetSeconds : offsetSeconds) / 60;
  char text[16];
  std::snprintf(text, sizeof text, "%c%02lld:%02lld", offsetSeconds < 0 ? '-' : '+',
                static_cast<long long>(minutes / 60), static_cast<long long>(minutes % 60));
  return text;
}

std::string FormatStationTime(FileTime local, std::int64_t offsetSeconds) {
  CalendarTime c;
  if (!ToCalendar(local, c)) {
    return std::to_string(local);
  }
  return FormatFileTime(local, false) + FormatOffset(offsetSeconds);
}

std::int64_t OffsetSeconds(FileTime local, FileTime utc) {
  const auto difference = static_cast<std::int64_t>(local - utc);
  const auto perMinute = static_cast<std::int64_t>(60 * kTicksPerSecond);
  // Two reads of a running clock differ by a little: the offset is whole minutes.
  const std::int64_t minutes =
      (difference + (difference < 0 ? -perMinute / 2 : perMinute / 2)) / perMinute;
  return minutes * 60;
}

std::string FormatTimecode(std::int64_t ticks, double rate) {
  const std::int64_t whole = ticks < 0 ? -ticks : ticks;
  const double fps = rate > 0 ? rate : 25.0;
  const auto perSecond = static_cast<std::int64_t>(std::llround(fps));
  const std::int64_t seconds = whole / static_cast<std::int64_t>(kTicksPerSecond);
  const auto frame = static_cast<std::int64_t>(
      static_cast<double>(whole % static_cast<std::int64_t>(kTicksPerSecond)) * fps /
      static_cast<double>(kTicksPerSecond));
  char text[48];
  std::snprintf(text, sizeof text, "%s%02lld:%02lld:%02lld:%02lld", ticks < 0 ? "-" : "",
                static_cast<long long>(seconds / 3600), static_cast<long long>(seconds / 60 % 60),
                static_cast<long long>(seconds % 60),
                static_cast<long long>(frame < perSecond ? frame : perSecond - 1));
  return text;
}

std::string FormatCountdown(std::int64_t ticks) {
  const std::int64_t whole = ticks < 0 ? -ticks : ticks;
  const auto perSecond = static_cast<std::int64_t>(kTicksPerSecond);
  const std::int64_t seconds = (whole + perSecond - 1) / perSecond;
  char text[48];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%s%lld:%02lld:%02lld", ticks < 0 ? "-" : "",
                  static_cast<long long>(seconds / 3600), static_cast<long long>(seconds / 60 % 60),
                  static_cast<long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%s%lld:%02lld", ticks < 0 ? "-" : "",
                  static_cast<long long>(seconds / 60), static_cast<long long>(seconds % 60));
  }
  return text;
}

}  // namespace vidra
