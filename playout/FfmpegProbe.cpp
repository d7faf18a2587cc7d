// libavformat opens the container and reads its stream information; the duration it reports
// times the channel frame rate is the item's length in frames.
#include <sys/stat.h>

#include <cmath>

#include "playout/MediaProbe.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

namespace vidra {

namespace {

class FfmpegProbe final : public MediaProbe {
 public:
  FfmpegProbe() { av_log_set_level(AV_LOG_QUIET); }

  bool FrameCount(const std::string& path, double frameRate, std::int32_t& frames) override {
    frames = 0;
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size == 0) {
      return false;
    }
    AVFormatContext* context = nullptr;
    if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) != 0) {
      return false;
    }
    const std::unique_ptr<AVFormatContext*, void (*)(AVFormatContext**)> closer(
        &context, [](AVFormatContext** c) { avformat_close_input(c); });
    if (avformat_find_stream_info(context, nullptr) < 0 || context->duration <= 0 ||
        context->duration == AV_NOPTS_VALUE) {
      return false;
    }
    bool playable = false;
    for (unsigned i = 0; i < context->nb_streams; ++i) {
      const AVMediaType type = context->streams[i]->codecpar->codec_type;
      playable = playable || type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_VIDEO;
    }
    if (!playable) {
      return false;
    }
    const double seconds = static_cast<double>(context->duration) / AV_TIME_BASE;
    const double count = std::floor(seconds * frameRate + 0.5);
    frames = count >= INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(count);
    return frames > 0;
  }
};

}  // namespace

std::unique_ptr<MediaProbe> CreateFfmpegProbe() {
  return std::make_unique<FfmpegProbe>();
}

}  // namespace vidra
