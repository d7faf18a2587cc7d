// Opens media files to learn their length, for the media check. The FFmpeg probe reads the
// container only (no decoding); tests may put their own probe in its place. Used by the
// single media check thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vidra {

class MediaProbe {
 public:
  virtual ~MediaProbe() = default;
  // True, with the length in frames at frameRate, for a file that opens as media with a
  // known, positive duration; false for anything else (missing, empty, a folder, not media).
  virtual bool FrameCount(const std::string& path, double frameRate, std::int32_t& frames) = 0;
};

std::unique_ptr<MediaProbe> CreateFfmpegProbe();

}  // namespace vidra
