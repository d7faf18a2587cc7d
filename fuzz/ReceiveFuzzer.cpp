// The receive path of a connection: the input is cut into receives at points the input
// itself chooses and goes through the pipeline, the document, the dispatcher and the
// answer's conversion, on a fresh manager with a virtual channel. Beside not crashing, the
// pipeline must keep its promises: the same input in one piece gives the same messages
// (every whole message framed exactly once, wherever the receives were cut), each message
// runs from its start tag to its end tag, and what waits stays within its bound.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "common/Clock.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "common/Text.h"
#include "mos/MosXml.h"
#include "playout/PlayoutManager.h"
#include "transport/Encoding.h"
#include "transport/Pipeline.h"

namespace {

using namespace vidra;

class QuietLog final : public LogSink {
 public:
  void Write(std::string_view) override {}
};

constexpr std::size_t kLimit = 1 << 16;

bool Tagged(const std::u16string& message) {
  const auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? c + 32 : c; };
  std::u16string start = message.substr(0, 5);
  std::u16string end = message.size() >= 6 ? message.substr(message.size() - 6) : u"";
  std::transform(start.begin(), start.end(), start.begin(), lower);
  std::transform(end.begin(), end.end(), end.begin(), lower);
  return start == u"<mos>" && end == u"</mos>";
}

// Every message the pipeline gives; overflowed tells whether one passed the bound.
void Drain(MessagePipeline& pipeline, std::vector<std::u16string>& out, bool& overflowed) {
  for (;;) {
    std::u16string message;
    const FrameResult framed = pipeline.Next(message);
    if (framed == FrameResult::NeedMore) {
      return;
    }
    if (framed == FrameResult::Overflow) {
      overflowed = true;
      continue;
    }
    out.push_back(std::move(message));
  }
}

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

  MessagePipeline pipeline(kLimit);
  MessagePipeline whole(kLimit);
  std::vector<std::u16string> messages;
  std::vector<std::u16string> inOnePiece;
  std::string stream;
  bool overflowed = false;
  std::size_t at = 0;
  while (at < size) {
    // Each receive takes its length from one input byte: 1 to 256 bytes, or all the rest.
    const std::size_t want = data[at] == 0 ? size : static_cast<std::size_t>(data[at]) + 1;
    ++at;
    const std::size_t length = std::min({want, size - at, MessagePipeline::kReceiveBytes});
    const std::string_view received(reinterpret_cast<const char*>(data + at), length);
    stream.append(received);
    at += length;
    pipeline.Append(received);
    const std::size_t before = messages.size();
    Drain(pipeline, messages, overflowed);
    if (pipeline.Pending() > kLimit * 2 + MessagePipeline::kReceiveBytes) {
      std::abort();  // the bound is not kept
    }
    for (std::size_t k = before; k < messages.size(); ++k) {
      if (!Tagged(messages[k])) {
        std::abort();  // a message that does not run from its start tag to its end tag
      }
      if (!parser.LoadMessage(messages[k])) {
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
        static_cast<void>(ConvertAnswer(pipeline.Order(), answer));
      }
    }
  }
  pipeline.Finish();
  whole.Append(stream);
  Drain(whole, inOnePiece, overflowed);
  if (!overflowed && inOnePiece != messages) {
    std::abort();  // where the receives were cut changed what was framed
  }
  return 0;
}
