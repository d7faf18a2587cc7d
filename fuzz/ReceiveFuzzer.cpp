// The receive path of a connection: the input is cut into receives at points the input
// itself chooses, and each goes through classification, conversion, framing, the document,
// the dispatcher and the answer's conversion, on a fresh manager with a virtual channel.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/Clock.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "mos/MosXml.h"
#include "playout/PlayoutManager.h"
#include "transport/Encoding.h"
#include "transport/Framer.h"
#include "transport/Receive.h"

namespace {

using namespace vidra;

class QuietLog final : public LogSink {
 public:
  void Write(std::string_view) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static QuietLog quiet;
  static ScopedLogSink sink(quiet);
  auto clock =
      std::make_shared<ManualClock>(kUnixEpochFileTime + 1'800'000'000ull * kTicksPerSecond);
  PlayoutManager manager(clock);
  const MapSettings settings({{"VIDRAServer", "ChannelCount", "2"},
                              {"VIDRAServer", "CHANNEL_NAME1", "NEWS"},
                              {"VIDRAServer", "CHANNEL_PLAYER1", "out1"},
                              {"VIDRAServer", "CHANNEL_NAME2", "SPORT"},
                              {"VIDRAServer", "CHANNEL_PLAYER2", "out1"},
                              {"Devices", "out1", "virtual 25"}},
                             "fuzz");
  static_cast<void>(manager.InitPlayout(settings));
  MOSXMLParser parser(*clock);
  static_cast<void>(parser.Initialize());
  ReceiveState state;
  Framer framer(1 << 20);
  std::size_t at = 0;
  while (at < size) {
    // Each receive takes its length from one input byte: 1 to 256 bytes, or all the rest.
    const std::size_t want = data[at] == 0 ? size : static_cast<std::size_t>(data[at]) + 1;
    ++at;
    const std::size_t length = std::min({want, size - at, TextArea::kReceiveBytes});
    std::memcpy(ReceiveTarget(state), data + at, length);
    at += length;
    DecodeReceived(state, static_cast<ssize_t>(length));
    framer.Append(state.area.Text());
    for (;;) {
      std::u16string message;
      const FrameResult framed = framer.Next(message);
      if (framed == FrameResult::NeedMore) {
        break;
      }
      if (framed == FrameResult::Overflow || !parser.LoadMessage(message)) {
        continue;
      }
      std::int32_t acked = 0;
      if (parser.IsRoAck(acked)) {
        continue;
      }
      std::u16string answer;
      bool answered = false;
      if (parser.HandleMessage(manager, MosPort::Upper, answer, answered) == HResult::S_OK &&
          answered) {
        static_cast<void>(ConvertAnswer(state.area.previousType, answer));
      }
    }
  }
  return 0;
}
