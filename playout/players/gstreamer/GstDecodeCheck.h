// Whether a GStreamer channel can play a file: the container probe first (a file that is
// not media, has no length or is a still goes no further), then GStreamer itself discovers
// the file with the demuxers and decoders its clips will use (uridecodebin, decoding up to
// the first frame). A file it cannot open, a stream it has no decoder for, or a file without
// a picture is not playable, with the reason ("no decoder for H.265 (Main Profile)").
// Wrapped in a ProbeCache, so each file is discovered once per identity. Any thread.
#pragma once

#include "media/MediaProbe.h"
#include "media/ProbeCache.h"

namespace vidra {

class GstDecodeCheck final : public MediaProbe {
 public:
  // container: the server's container probe, whose results are taken as they are cached.
  explicit GstDecodeCheck(ProbeCache& container) : container_(container) {}

  ProbeResult Probe(const std::string& path, std::chrono::milliseconds limit) override;

 private:
  ProbeCache& container_;
};

}  // namespace vidra
