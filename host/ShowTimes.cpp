#include "host/ShowTimes.h"

#include <charconv>
#include <cmath>
#include <vector>

namespace vidra {

std::uint64_t SecondsToTicks(double seconds) {
  return seconds > 0 && std::isfinite(seconds)
             ? static_cast<std::uint64_t>(
                   std::llround(seconds * static_cast<double>(kTicksPerSecond)))
             : 0;
}

ShowTimes ShowTimes::Now(const vidra::Clock& clock, double frameRate) {
  ShowTimes times;
  times.utc = clock.UtcNow();
  times.local = clock.LocalNow();
  times.offset = OffsetSeconds(times.local, times.utc);
  times.rate = frameRate > 0 ? frameRate : 25.0;
  return times;
}

nlohmann::json ShowTimes::At(FileTime localTime) const {
  return localTime == 0 ? nlohmann::json(nullptr)
                        : nlohmann::json(FormatStationTime(localTime, offset));
}

nlohmann::json ShowTimes::FromUtc(FileTime utcTime) const {
  if (utcTime == 0) {
    return nullptr;
  }
  return At(static_cast<FileTime>(static_cast<std::int64_t>(utcTime) +
                                  offset * static_cast<std::int64_t>(kTicksPerSecond)));
}

std::string ShowTimes::Clock(FileTime localTime) const {
  const std::string full = FormatFileTime(localTime, false);
  return full.size() >= 19 ? full.substr(11, 8) : full;
}

std::optional<std::uint64_t> ParseEdDur(std::string_view text, double rate) {
  std::vector<std::uint64_t> fields;
  std::uint64_t fraction = 0;  // ticks
  std::size_t at = 0;
  while (at <= text.size() && fields.size() < 4) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data() + at, text.data() + text.size(), value);
    if (error != std::errc() || value > 1'000'000) {
      return std::nullopt;
    }
    fields.push_back(value);
    at = static_cast<std::size_t>(end - text.data());
    if (at == text.size()) {
      break;
    }
    if (text[at] == '.' && fields.size() >= 2) {
      std::uint64_t scale = kTicksPerSecond / 10;
      for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        fraction += static_cast<std::uint64_t>(text[at] - '0') * scale;
        scale /= 10;
      }
      if (at != text.size()) {
        return std::nullopt;
      }
      break;
    }
    if (text[at] != ':') {
      return std::nullopt;
    }
    ++at;
  }
  if (fields.size() < 2 || at != text.size() || (fields.size() == 4 && fraction != 0)) {
    return std::nullopt;
  }
  const bool withFrames = fields.size() == 4;
  const std::uint64_t hours = fields.size() >= 3 ? fields[0] : 0;
  const std::uint64_t minutes = fields[fields.size() >= 3 ? 1 : 0];
  const std::uint64_t seconds = fields[fields.size() >= 3 ? 2 : 1];
  if (minutes > 59 && fields.size() >= 3) {
    return std::nullopt;
  }
  if (seconds > 59) {
    return std::nullopt;
  }
  std::uint64_t ticks = ((hours * 60 + minutes) * 60 + seconds) * kTicksPerSecond + fraction;
  if (withFrames) {
    const double fps = rate > 0 ? rate : 25.0;
    if (static_cast<double>(fields[3]) >= fps) {
      return std::nullopt;
    }
    ticks += SecondsToTicks(static_cast<double>(fields[3]) / fps);
  }
  return ticks;
}

}  // namespace vidra
