// libavformat opens the container and reads its stream information; its duration is the
// media's length. An interrupt callback ends a probe that outlives its limit.
#include <sys/stat.h>

#include <cmath>
#include <cstdint>

#include "media/MediaProbe.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

namespace vidra {

namespace {

using Steady = std::chrono::steady_clock;

int PastDeadline(void* opaque) {
  return Steady::now() > *static_cast<const Steady::time_point*>(opaque) ? 1 : 0;
}

// Formats whose one video stream is a picture, not a clip.
bool IsStill(const AVFormatContext& context) {
  const std::string_view format = context.iformat->name;
  return format.find("image2") != std::string_view::npos ||
         format.find("_pipe") != std::string_view::npos;
}

class FfmpegProbe final : public MediaProbe {
 public:
  FfmpegProbe() { av_log_set_level(AV_LOG_QUIET); }

  ProbeResult Probe(const std::string& path, std::chrono::milliseconds limit) override {
    ProbeResult result;
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size == 0) {
      return result;
    }
    Steady::time_point deadline = Steady::now() + limit;
    AVFormatContext* context = avformat_alloc_context();
    if (context == nullptr) {
      return result;
    }
    context->interrupt_callback.callback = PastDeadline;
    context->interrupt_callback.opaque = &deadline;
    // On failure avformat_open_input frees the context itself.
    if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) != 0) {
      return result;
    }
    const std::unique_ptr<AVFormatContext*, void (*)(AVFormatContext**)> closer(
        &context, [](AVFormatContext** c) { avformat_close_input(c); });
    if (avformat_find_stream_info(context, nullptr) < 0) {
      return result;
    }
    bool video = false;
    bool audio = false;
    for (unsigned i = 0; i < context->nb_streams; ++i) {
      const AVMediaType type = context->streams[i]->codecpar->codec_type;
      video = video || type == AVMEDIA_TYPE_VIDEO;
      audio = audio || type == AVMEDIA_TYPE_AUDIO;
    }
    if (!video && !audio) {
      return result;
    }
    result.media = true;
    result.kind =
        video ? (IsStill(*context) ? MediaKind::Still : MediaKind::Video) : MediaKind::Audio;
    if (result.kind != MediaKind::Still && context->duration > 0 &&
        context->duration != AV_NOPTS_VALUE) {
      result.seconds = static_cast<double>(context->duration) / AV_TIME_BASE;
      result.playable = result.seconds > 0.0;
    }
    return result;
  }
};

}  // namespace

std::int32_t FramesAt(const ProbeResult& result, double frameRate) {
  if (!result.playable || !(frameRate > 0)) {
    return 0;
  }
  const double count = std::floor(result.seconds * frameRate + 0.5);
  return count >= INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(count);
}

std::unique_ptr<MediaProbe> CreateFfmpegProbe() {
  return std::make_unique<FfmpegProbe>();
}

}  // namespace vidra
