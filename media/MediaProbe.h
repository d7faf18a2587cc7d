// Opens a file to learn what media it is: its kind, its length and whether a channel can
// play it. The FFmpeg probe reads the container only (no decoding) and gives up after a time
// limit, so a file on a hung share never holds its caller for long; tests put their own
// probe in its place. Any thread may probe; the FFmpeg probe keeps no state between calls.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace vidra {

enum class MediaKind { Video, Audio, Still };

struct ProbeResult {
  bool media = false;     // opens as media at all: a clip, a sound or a still
  bool playable = false;  // a clip or a sound with a known, positive length
  MediaKind kind = MediaKind::Video;
  double seconds = 0.0;
  // Why it cannot play, when it cannot ("not a media file", "no decoder for H.265"); empty
  // for a file that is not there, which says so itself.
  std::string problem;
};

// The length in frames at frameRate, rounded to the nearest frame; 0 for what cannot play.
std::int32_t FramesAt(const ProbeResult& result, double frameRate);

class MediaProbe {
 public:
  virtual ~MediaProbe() = default;
  // What the file at path is; a missing, empty or unreadable file, a folder or anything
  // that is no media gives a result with media false.
  virtual ProbeResult Probe(const std::string& path, std::chrono::milliseconds limit) = 0;
};

std::unique_ptr<MediaProbe> CreateFfmpegProbe();

}  // namespace vidra
