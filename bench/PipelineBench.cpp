// One message from wire bytes to answer bytes without the socket: each receive framed
// and decoded once, XML load, dispatch into the store, the answer's
// document and its conversion back to the sender's byte order.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>

#include "bench/RunningOrder.h"
#include "common/Log.h"
#include "common/Text.h"
#include "mos/MosXml.h"
#include "transport/Encoding.h"
#include "transport/Pipeline.h"

namespace vidra {
namespace {

class Quiet final : public LogSink {
 public:
  void Write(std::string_view) override {}
};

std::string HighByteFirst(const std::u16string& text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (const char16_t unit : text) {
    bytes += static_cast<char>(unit >> 8);
    bytes += static_cast<char>(unit & 0xFF);
  }
  return bytes;
}

std::u16string RoCreate(int stories, int items) {
  return Utf8ToUtf16(
      "<mos><mosID>VIDRA.NEWS</mosID><ncsID>NCS</ncsID><messageID>7</messageID><roCreate>" +
      bench::RunningOrder("RO-BENCH", stories, items) + "</roCreate></mos>");
}

void WireToAnswer(benchmark::State& state, const std::u16string& message) {
  Quiet quiet;
  ScopedLogSink sink(quiet);
  ManualClock clock(kUnixEpochFileTime);
  PlayoutManager manager(std::make_shared<ManualClock>(kUnixEpochFileTime));
  MOSXMLParser parser(clock);
  if (parser.Initialize() != HResult::S_OK) {
    state.SkipWithError("the parser did not start");
    return;
  }
  const std::string wire = HighByteFirst(message);
  MessagePipeline pipeline;
  std::u16string framed;
  std::size_t answerBytes = 0;
  for (auto _ : state) {
    for (std::size_t at = 0; at < wire.size(); at += MessagePipeline::kReceiveBytes) {
      const std::size_t n = std::min(MessagePipeline::kReceiveBytes, wire.size() - at);
      std::memcpy(pipeline.ReceiveSpace(), wire.data() + at, n);
      pipeline.Commit(n);
    }
    if (pipeline.Next(framed) != FrameResult::Complete || !parser.LoadMessage(framed)) {
      state.SkipWithError("message did not load");
      return;
    }
    std::u16string answer;
    bool answered = false;
    if (parser.HandleMessage(manager, MosPort::Upper, answer, answered) != HResult::S_OK ||
        !answered) {
      state.SkipWithError("the message was not answered");
      return;
    }
    const std::string bytes = ConvertAnswer(EncodingType::HighByteFirst, answer);
    answerBytes = bytes.size();
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * wire.size()));
  state.counters["answerBytes"] = static_cast<double>(answerBytes);
}

void Heartbeat(benchmark::State& state) {
  WireToAnswer(state,
               u"<mos><mosID>VIDRA</mosID><ncsID>NCS</ncsID><messageID>42</messageID>"
               u"<heartbeat/></mos>");
}
BENCHMARK(Heartbeat);

void RoCreate100x5(benchmark::State& state) {
  WireToAnswer(state, RoCreate(100, 5));
}
BENCHMARK(RoCreate100x5)->Unit(benchmark::kMicrosecond);

// The load alone: the text converted for the XML parser and parsed.
void Load100x5(benchmark::State& state) {
  ManualClock clock(kUnixEpochFileTime);
  MOSXMLParser parser(clock);
  const std::u16string message = RoCreate(100, 5);
  if (parser.Initialize() != HResult::S_OK || !parser.LoadMessage(message)) {
    state.SkipWithError("the message did not load");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(parser.LoadMessage(message));
  }
}
BENCHMARK(Load100x5)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vidra

BENCHMARK_MAIN();
