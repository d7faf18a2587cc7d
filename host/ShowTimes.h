// The one way the status page, its API and vidractl write times: station-local ISO 8601 with
// the offset for instants, seconds for lengths in the API, timecode and countdowns in text.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "common/Clock.h"
#include "common/FileTime.h"

namespace vidra {

inline double Seconds(std::int64_t ticks) {
  return static_cast<double>(ticks) / static_cast<double>(kTicksPerSecond);
}
inline double Seconds(std::uint64_t ticks) {
  return static_cast<double>(ticks) / static_cast<double>(kTicksPerSecond);
}
std::uint64_t SecondsToTicks(double seconds);

// One reading of the clock, for a whole view.
struct ShowTimes {
  FileTime local = 0;
  FileTime utc = 0;
  std::int64_t offset = 0;  // of local from UTC, in seconds
  double rate = 25.0;       // frames per second, for timecode

  static ShowTimes Now(const Clock& clock, double frameRate);
  // An instant of station-local time as ISO 8601 with the offset; null for 0.
  nlohmann::json At(FileTime localTime) const;
  // A UTC instant as At gives it.
  nlohmann::json FromUtc(FileTime utcTime) const;
  // "hh:mm:ss" of a station-local time, for sentences.
  std::string Clock(FileTime localTime) const;
};

// A running order's planned length from roEdDur: "hh:mm:ss" (or "mm:ss") with an optional
// fraction of a second, or "hh:mm:ss:ff" in frames at rate; none when it is not one.
std::optional<std::uint64_t> ParseEdDur(std::string_view text, double rate);

}  // namespace vidra
