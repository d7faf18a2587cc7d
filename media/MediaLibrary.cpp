#include "media/MediaLibrary.h"

namespace vidra {

MediaLibrary::MediaLibrary(std::unique_ptr<MediaProbe> probe, const std::string& folder,
                           Clock& clock, std::chrono::milliseconds checkEvery)
    : probe_(probe ? std::move(probe) : CreateFfmpegProbe()),
      cache_(*probe_, kProbeLimit),
      catalogue_(folder, cache_, clock),
      watcher_(catalogue_, checkEvery) {}

MediaLibrary::~MediaLibrary() {
  Stop();
}

void MediaLibrary::Start() {
  if (HasFolder()) {
    watcher_.Start();
  }
}

void MediaLibrary::Stop() {
  watcher_.Stop();
}

}  // namespace vidra
