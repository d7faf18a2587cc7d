// Times as the protocol and the journal keep them: unsigned 64-bit counts of 100-ns units
// since 1601-01-01, and their calendar form. Pure value helpers; any thread may use them.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace vidra {

using FileTime = std::uint64_t;

constexpr FileTime kTicksPerMillisecond = 10'000;
constexpr FileTime kTicksPerSecond = 10'000'000;
// 1970-01-01 00:00:00 as a FileTime.
constexpr FileTime kUnixEpochFileTime = 116'444'736'000'000'000ull;

// Calendar form, fields in the order stations' tools know from the broken-down system time.
struct CalendarTime {
  std::uint16_t year = 1601;
  std::uint16_t month = 1;      // 1..12
  std::uint16_t dayOfWeek = 1;  // 0 = Sunday
  std::uint16_t day = 1;        // 1..31
  std::uint16_t hour = 0;
  std::uint16_t minute = 0;
  std::uint16_t second = 0;
  std::uint16_t milliseconds = 0;

  friend bool operator==(const CalendarTime&, const CalendarTime&) = default;
};

FileTime FileTimeFromSystem(std::chrono::system_clock::time_point t);
std::chrono::system_clock::time_point SystemFromFileTime(FileTime t);

// False for times the calendar form cannot hold (top bit set, as the system never makes them).
bool ToCalendar(FileTime t, CalendarTime& out);
// False for a field out of range (month 13, 31 April, hour 24, year before 1601 or after 30827).
// dayOfWeek is ignored on input.
bool FromCalendar(const CalendarTime& c, FileTime& out);

// "2027-01-15T08:00:00.000", with a "Z" after it when utc; the number itself for a time the
// calendar form cannot hold.
std::string FormatFileTime(FileTime t, bool utc);

// "2026-12-10T12:00:00.000+01:00": a station-local time with the offset of local time from
// UTC; the number itself for a time the calendar form cannot hold.
std::string FormatStationTime(FileTime local, std::int64_t offsetSeconds);
// "+01:00", "-05:30", "+00:00".
std::string FormatOffset(std::int64_t offsetSeconds);
// The offset of the clock's local time from its UTC, to the minute.
std::int64_t OffsetSeconds(FileTime local, FileTime utc);
// A length as "hh:mm:ss:ff" at rate frames per second (25 when rate is not above 0), whole
// frames down; "-" before a negative one.
std::string FormatTimecode(std::int64_t ticks, double rate);
// A countdown as "m:ss" (or "h:mm:ss" from an hour), to the whole second up, so that 0:00
// is shown only once the time has come; "-" before a time past.
std::string FormatCountdown(std::int64_t ticks);

// Conversions through the machine's time zone (TZ), daylight saving included.
FileTime UtcToLocal(FileTime utc);
FileTime LocalToUtc(FileTime local);

}  // namespace vidra
