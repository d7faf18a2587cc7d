// The control protocol's line reader: every line of the input is a request to a fresh
// control object whose server, if a line starts it, listens on free loopback ports only.
#include <sys/mman.h>
#include <unistd.h>
#include <cstddef>
#include <cstdint>

#include <algorithm>
#include <string>
#include <string_view>

#include "common/Log.h"
#include "host/ControlObject.h"
#include "host/ControlProtocol.h"

namespace {

class QuietLog final : public vidra::LogSink {
 public:
  void Write(std::string_view) override {}
};

// An in-memory settings file that lives as long as the process.
const std::string& SettingsFile() {
  static const std::string path = [] {
    const std::string text =
        "[VIDRAServer]\nChannelCount = 1\nCHANNEL_NAME1 = NEWS\nCHANNEL_PLAYER1 = out1\n"
        "[Devices]\nout1 = virtual 25\n[Network]\nListenAddress = 127.0.0.1\nLowerPort = 0\n"
        "UpperPort = 0\nNrcsUpperPort = 1\n";
    const int fd = ::memfd_create("settings", MFD_CLOEXEC);
    static_cast<void>(::write(fd, text.data(), text.size()));
    return "/proc/self/fd/" + std::to_string(fd);
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vidra;
  static QuietLog quiet;
  static ScopedLogSink sink(quiet);
  ControlOptions options;
  options.configPath = SettingsFile();
  CMOS_SRV_STNDRT control(options);
  std::string_view input(reinterpret_cast<const char*>(data), size);
  while (!input.empty()) {
    const std::size_t end = std::min(input.find('\n'), input.size());
    const std::string answer = HandleControlLine(control, input.substr(0, end));
    if (answer.empty() || answer.front() != '{' || answer.find('\n') != std::string::npos) {
      __builtin_trap();  // every line gets one JSON object on one line
    }
    input.remove_prefix(std::min(end + 1, input.size()));
  }
  return 0;
}
