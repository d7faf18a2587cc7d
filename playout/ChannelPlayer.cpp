// The backends a [Devices] entry can name.
#include "playout/ChannelPlayer.h"

#include <cstdlib>

#include "playout/players/virtual/VirtualPlayer.h"
#ifdef VIDRA_HAVE_GSTREAMER
#include "playout/players/gstreamer/GstDecodeCheck.h"
#include "playout/players/gstreamer/GstPlayer.h"
#endif

namespace vidra {

const std::vector<std::string>& PlayerBackends() {
#ifdef VIDRA_HAVE_GSTREAMER
  static const std::vector<std::string> backends{"virtual", "gstreamer"};
#else
  static const std::vector<std::string> backends{"virtual"};
#endif
  return backends;
}

HResult CreateChannelPlayer(const std::string& backend, const std::string& parameter,
                            std::shared_ptr<Clock> clock, std::unique_ptr<ChannelPlayer>& player,
                            std::string& error) {
  if (backend == "virtual") {
    double rate = 25.0;
    if (!parameter.empty()) {
      char* end = nullptr;
      rate = std::strtod(parameter.c_str(), &end);
      if (end == parameter.c_str() || *end != '\0' || !(rate > 0 && rate <= 1000)) {
        error =
            "the virtual player takes a frame rate above 0 and up to 1000, not '" + parameter + "'";
        return HResult::E_INVALIDARG;
      }
    }
    player = std::make_unique<VirtualPlayer>(std::move(clock), rate);
    return HResult::S_OK;
  }
  if (backend == "gstreamer") {
#ifdef VIDRA_HAVE_GSTREAMER
    // Real output runs on the pipeline's own clock, not on the injected one.
    return GstPlayer::Create(parameter, player, error);
#else
    error = "this server was built without GStreamer, so there is no player backend 'gstreamer'";
    return HResult::E_INVALIDARG;
#endif
  }
  error = "there is no player backend '" + backend + "'";
  return HResult::E_INVALIDARG;
}

std::unique_ptr<MediaProbe> CreateDecodeCheck([[maybe_unused]] const std::string& backend,
                                              [[maybe_unused]] ProbeCache& container) {
#ifdef VIDRA_HAVE_GSTREAMER
  if (backend == "gstreamer") {
    return std::make_unique<GstDecodeCheck>(container);
  }
#endif
  return nullptr;
}

}  // namespace vidra
