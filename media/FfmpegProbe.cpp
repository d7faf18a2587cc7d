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
    if (path.empty() || ::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
      return result;
    }
    if (info.st_size == 0) {
      result.problem = "the file is empty";
      return result;
    }
    Steady::time_point deadline = Steady::now() + limit;
    AVFormatContext* context = avformat_alloc_context();
    if (context == nullptr) {
      result.problem = "no memory to open it";
      return result;
    }
    context->interrupt_callback.callback = PastDeadline;
    context->interrupt_callback.opaque = &deadline;
    // On failure avformat_open_input frees the context itself.
    if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) != 0) {
      result.problem = Steady::now() > deadline ? "not read within the time limit"
                                                : "not a media file FFmpeg knows";
      return result;
    }
    const std::unique_ptr<AVFormatContext*, void (*)(AVFormatContext**)> closer(
        &context, [](AVFormatContext** c) { avformat_close_input(c); });
    if (avformat_find_stream_info(context, nullptr) < 0) {
      result.problem = "its streams cannot be read";
      return result;
    }
    const AVStream* picture = nullptr;
    bool audio = false;
    for (unsigned i = 0; i < context->nb_streams; ++i) {
      const AVStream* stream = context->streams[i];
      const AVMediaType type = stream->codecpar->codec_type;
      if (type == AVMEDIA_TYPE_VIDEO && picture == nullptr &&
          (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0) {
        picture = stream;
      }
      audio = audio || type == AVMEDIA_TYPE_AUDIO;
    }
    if (picture == nullptr && !audio) {
      result.problem = "it has neither picture nor sound";
      return result;
    }
    result.media = true;
    result.kind = picture != nullptr ? (IsStill(*context) ? MediaKind::Still : MediaKind::Video)
                                     : MediaKind::Audio;
    if (result.kind == MediaKind::Still) {
      result.problem = "a still picture, which has no length";
      return result;
    }
    // A clip lasts as long as its picture: the container's length also counts a sound track
    // that runs on (a transport stream's is often a frame longer), which would plan frames
    // the file does not have.
    if (picture != nullptr && picture->duration > 0 && picture->duration != AV_NOPTS_VALUE) {
      result.seconds = static_cast<double>(picture->duration) * av_q2d(picture->time_base);
    } else if (context->duration > 0 && context->duration != AV_NOPTS_VALUE) {
      result.seconds = static_cast<double>(context->duration) / AV_TIME_BASE;
    }
    result.playable = result.seconds > 0.0;
    if (!result.playable) {
      result.problem = "its length is not known";
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
