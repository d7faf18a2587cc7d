// The store operations an NRCS drives hardest: a large roReplace (AddRo of 1,000 stories x
// 10 items replacing the previous one), a MOVE of 100 stories in it, and the roAck of it all.
#include <benchmark/benchmark.h>

#include "bench/HeapInUse.h"
#include "common/Log.h"
#include "rundown/RoStore.h"

namespace vidra {
namespace {

class Quiet final : public LogSink {
 public:
  void Write(std::string_view) override {}
};

std::unique_ptr<ro> LargeRo(int stories, int items) {
  auto r = std::make_unique<ro>();
  r->roID = "BIG";
  for (int s = 0; s < stories; ++s) {
    story st;
    st.storyID = "S" + std::to_string(s);
    st.storySlug = "story slug " + std::to_string(s);
    for (int i = 0; i < items; ++i) {
      item it;
      it.itemID = std::to_string(i);
      it.objID = "OBJ-" + std::to_string(s) + "-" + std::to_string(i);
      it.mosID = "VIDRA";
      it.paths.objPath = "/srv/vidra/media/clip" + std::to_string(i) + ".mxf";
      st.items.push_back(std::move(it));
    }
    r->stories.push_back(std::move(st));
  }
  return r;
}

void AddRoLarge(benchmark::State& state) {
  Quiet quiet;
  ScopedLogSink sink(quiet);
  RoStore store;
  for (auto _ : state) {
    state.PauseTiming();
    auto r = LargeRo(1000, 10);
    state.ResumeTiming();
    RoAckInfo ack;
    benchmark::DoNotOptimize(store.AddRo(std::move(r), ack));
  }
}
BENCHMARK(AddRoLarge)->Unit(benchmark::kMillisecond);

void Move100Stories(benchmark::State& state) {
  Quiet quiet;
  ScopedLogSink sink(quiet);
  RoStore store;
  RoAckInfo ack;
  static_cast<void>(store.AddRo(LargeRo(1000, 10), ack));
  ElementAction move;
  move.op = ElementOp::MOVE;
  move.roID = "BIG";
  move.targets.push_back(ElementRef{"S500", ""});
  for (int s = 0; s < 1000; s += 10) {
    move.sources.push_back(ElementRef{"S" + std::to_string(s), ""});
  }
  for (auto _ : state) {
    RoAckInfo moved;
    benchmark::DoNotOptimize(store.ApplyElementAction(move, moved, false));
  }
}
BENCHMARK(Move100Stories)->Unit(benchmark::kMicrosecond);

void FillRoAckAll(benchmark::State& state) {
  Quiet quiet;
  ScopedLogSink sink(quiet);
  const auto r = LargeRo(1000, 10);
  for (auto _ : state) {
    RoAckInfo ack;
    r->FillRoAck(ack, MosText(), MosText());
    benchmark::DoNotOptimize(ack);
  }
}
BENCHMARK(FillRoAckAll)->Unit(benchmark::kMicrosecond);

// Memory of a stored 1,000 x 10 running order (the target is under 8 MiB).
void StoreMemory1000x10(benchmark::State& state) {
  Quiet quiet;
  ScopedLogSink sink(quiet);
  double bytes = 0;
  for (auto _ : state) {
    const std::size_t before = HeapInUse();
    RoStore store;
    RoAckInfo ack;
    static_cast<void>(store.AddRo(LargeRo(1000, 10), ack));
    ack = RoAckInfo();
    bytes = static_cast<double>(HeapInUse() - before);
  }
  state.counters["storeMiB"] = bytes / (1 << 20);
}
BENCHMARK(StoreMemory1000x10)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace vidra
