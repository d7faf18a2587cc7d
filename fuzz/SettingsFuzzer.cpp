// The settings file: the INI reader and the readers of every section, on a file the input
// becomes (an in-memory file, so nothing touches the disk).
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/Log.h"
#include "common/Settings.h"
#include "playout/ChannelSettings.h"
#include "transport/TransportSettings.h"

namespace {

class QuietLog final : public vidra::LogSink {
 public:
  void Write(std::string_view) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vidra;
  static QuietLog quiet;
  static ScopedLogSink sink(quiet);
  const int fd = ::memfd_create("settings", MFD_CLOEXEC);
  if (fd < 0 || ::write(fd, data, size) != static_cast<ssize_t>(size)) {
    if (fd >= 0) {
      ::close(fd);
    }
    return 0;
  }
  std::string error;
  const auto settings = IniSettings::Load("/proc/self/fd/" + std::to_string(fd), error);
  ::close(fd);
  if (settings == nullptr) {
    return 0;
  }
  TransportSettings network;
  static_cast<void>(ReadTransportSettings(*settings, network, error));
  ChannelSettings channels;
  static_cast<void>(LoadSettings(*settings, channels));
  return 0;
}
