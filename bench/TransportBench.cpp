// Costs on every message's path: a receive framed and decoded, its text made UTF-8,
// and the journal append (with its age and size bounds) under load.
#include <benchmark/benchmark.h>

#include "bench/HeapInUse.h"
#include "common/Clock.h"
#include "common/Text.h"
#include "transport/MessageQueue.h"
#include "transport/Pipeline.h"

namespace vidra {
namespace {

std::string HighByteFirst(std::u16string_view text) {
  std::string bytes;
  for (const char16_t unit : text) {
    bytes += static_cast<char>(unit >> 8);
    bytes += static_cast<char>(unit & 0xFF);
  }
  return bytes;
}

std::u16string SampleMessage(std::size_t units) {
  std::u16string text = u"<mos><mosID>VIDRA</mosID><ncsID>NRCS</ncsID><roCreate>";
  while (text.size() + 20 < units) {
    text += u"<item><itemID>42</itemID></item>";
  }
  text += u"</roCreate></mos>";
  return text;
}

void ReceiveToText(benchmark::State& state) {
  const std::string wire = HighByteFirst(SampleMessage(static_cast<std::size_t>(state.range(0))));
  MessagePipeline pipeline;
  std::u16string message;
  for (auto _ : state) {
    pipeline.Append(wire);
    if (pipeline.Next(message) != FrameResult::Complete) {
      state.SkipWithError("the message was not framed");
      break;
    }
    std::string text = Utf16ToUtf8(message);
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * wire.size()));
}
BENCHMARK(ReceiveToText)->Arg(64)->Arg(1024)->Arg(8192);

void JournalAppend(benchmark::State& state) {
  SystemClock clock;
  MessageQueue journal(clock);
  journal.Init(static_cast<std::size_t>(state.range(1)));
  const std::string text(static_cast<std::size_t>(state.range(0)), 'x');
  for (auto _ : state) {
    MessageRecord record;
    record.text = text;
    record.time = clock.UtcNow();
    journal.Append(std::move(record));
  }
  state.counters["entries"] = static_cast<double>(journal.Count());
  state.counters["textMiB"] = static_cast<double>(journal.TextBytes()) / (1 << 20);
}
// Below the cap, and at the cap where every append drops the oldest entry.
BENCHMARK(JournalAppend)->Args({100, 64 << 20})->Args({4096, 64 << 20})->Args({4096, 4 << 20});

// Memory of a journal of 20,000 entries of the given text size; the target is at most 1.5
// times the text plus 100 bytes per entry, so `ratioToTarget` must stay at or below 1.
void JournalMemory(benchmark::State& state) {
  SystemClock clock;
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  constexpr std::size_t kEntries = 20000;
  double heap = 0;
  double text = 0;
  for (auto _ : state) {
    const std::size_t before = HeapInUse();
    MessageQueue journal(clock);
    journal.Init();
    for (std::size_t i = 0; i < kEntries; ++i) {
      MessageRecord record;
      record.text = std::string(size, 'x');
      record.time = clock.UtcNow();
      journal.Append(std::move(record));
    }
    heap = static_cast<double>(HeapInUse() - before);
    text = static_cast<double>(journal.TextBytes());
  }
  state.counters["bytesPerEntryBeyondText"] = (heap - text) / kEntries;
  state.counters["ratioToTarget"] = heap / (1.5 * text + 100.0 * kEntries);
}
BENCHMARK(JournalMemory)
    ->Arg(60)
    ->Arg(300)
    ->Arg(4096)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace
}  // namespace vidra

BENCHMARK_MAIN();
