// What the durable store costs, beside memory alone: an edit and a roCreate of a running
// order of 100 stories x 5 items, each answered only once it is committed, with Sync normal
// and full; and the recovery of 8 channels x 20 running orders of 100 x 5 at a start, with
// the size of that database.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "common/Log.h"
#include "rundown/Recovery.h"
#include "rundown/RoStore.h"
#include "state/SqliteState.h"

namespace vidra {
namespace {

class Quiet final : public LogSink {
 public:
  void Write(std::string_view) override {}
};

std::unique_ptr<ro> Rundown(const std::string& roID, int stories, int items) {
  auto r = std::make_unique<ro>();
  r->roID = roID;
  r->roSlug = "Evening news";
  for (int s = 0; s < stories; ++s) {
    story& st = r->stories.emplace_back();
    st.storyID = "S" + std::to_string(s);
    st.storySlug = "Story " + std::to_string(s);
    for (int i = 0; i < items; ++i) {
      item& it = st.items.emplace_back();
      it.itemID = std::to_string(i);
      it.objID = "OBJ-" + std::to_string(s) + "-" + std::to_string(i);
      it.mosID = "VIDRA.NEWS";
      it.itemSlug = "Item " + std::to_string(i);
      it.paths.objPath = "/srv/vidra/media/clip" + std::to_string(i) + ".mxf";
      it.objTB = "25";
      it.itemEdStart = "0";
      it.itemUserTimingDur = "250";
    }
  }
  return r;
}

// A database in a fresh folder, removed afterwards; mode 0 memory, 1 normal, 2 full.
class Store {
 public:
  explicit Store(int mode) : folder_(std::filesystem::temp_directory_path() / "vidra-state-bench") {
    std::filesystem::remove_all(folder_);
    if (mode > 0) {
      std::string error;
      state_ = SqliteState::Open(StateSettings{(folder_ / "vidra.db").string(), mode == 2},
                                 std::make_shared<SystemClock>(), nullptr, error);
    }
    store.Attach(0, state_.get(), &keys_);
  }
  ~Store() {
    state_.reset();
    std::filesystem::remove_all(folder_);
  }
  std::uintmax_t Bytes() const {
    std::uintmax_t bytes = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
      bytes += entry.file_size();
    }
    return bytes;
  }

  RoStore store;

 private:
  std::filesystem::path folder_;
  std::atomic<std::uint64_t> keys_{1};
  std::unique_ptr<SqliteState> state_;
};

const char* ModeName(int mode) {
  return mode == 0 ? "memory" : mode == 1 ? "sqlite-normal" : "sqlite-full";
}

void ElementAction100x5(benchmark::State& state) {
  Quiet quiet;
  ScopedLogSink sink(quiet);
  Store s(static_cast<int>(state.range(0)));
  RoAckInfo ack;
  benchmark::DoNotOptimize(s.store.AddRo(Rundown("R", 100, 5), ack));
  // Moves one story to the bottom and back: an edit that writes the header only.
  ElementAction move;
  move.op = ElementOp::MOVE;
  move.roID = "R";
  move.sources.push_back(ElementRef{"S10", ""});
  for (auto _ : state) {
    RoAckInfo moved;
    benchmark::DoNotOptimize(s.store.ApplyElementAction(move, moved, false));
  }
  state.SetLabel(ModeName(static_cast<int>(state.range(0))));
}
BENCHMARK(ElementAction100x5)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

// A story of 5 items inserted, then deleted again: two edits that write item rows.
void InsertAndDeleteStory100x5(benchmark::State& state) {
  Quiet quiet;
  ScopedLogSink sink(quiet);
  Store s(static_cast<int>(state.range(0)));
  RoAckInfo ack;
  benchmark::DoNotOptimize(s.store.AddRo(Rundown("R", 100, 5), ack));
  int n = 0;
  for (auto _ : state) {
    ElementAction insert;
    insert.op = ElementOp::INSERT;
    insert.roID = "R";
    story& added = insert.stories.emplace_back();
    added.storyID = "N" + std::to_string(n++);
    added.items.resize(5);
    for (int i = 0; i < 5; ++i) {
      added.items[static_cast<std::size_t>(i)].itemID = std::to_string(i);
    }
    RoAckInfo inserted;
    benchmark::DoNotOptimize(s.store.ApplyElementAction(insert, inserted, false));
    ElementAction remove;
    remove.op = ElementOp::DELETE;
    remove.roID = "R";
    remove.sources.push_back(ElementRef{added.storyID, ""});
    RoAckInfo removed;
    benchmark::DoNotOptimize(s.store.ApplyElementAction(remove, removed, false));
  }
  state.SetLabel(ModeName(static_cast<int>(state.range(0))));
}
BENCHMARK(InsertAndDeleteStory100x5)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

void RoCreate100x5(benchmark::State& state) {
  Quiet quiet;
  ScopedLogSink sink(quiet);
  Store s(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    auto r = Rundown("R", 100, 5);
    state.ResumeTiming();
    RoAckInfo ack;
    benchmark::DoNotOptimize(s.store.AddRo(std::move(r), ack));
  }
  state.SetLabel(ModeName(static_cast<int>(state.range(0))));
}
BENCHMARK(RoCreate100x5)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

// 8 channels x 20 running orders x 100 x 5 saved, then read back as at a start.
void Recovery8x20(benchmark::State& state) {
  Quiet quiet;
  ScopedLogSink sink(quiet);
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / "vidra-recovery-bench";
  std::filesystem::remove_all(folder);
  const StateSettings settings{(folder / "vidra.db").string(), false};
  std::atomic<std::uint64_t> keys{1};
  {
    std::string error;
    auto saved = SqliteState::Open(settings, std::make_shared<SystemClock>(), nullptr, error);
    std::array<RoStore, 8> stores;
    for (int k = 0; k < 8; ++k) {
      stores[static_cast<std::size_t>(k)].Attach(k, saved.get(), &keys);
      for (int n = 0; n < 20; ++n) {
        RoAckInfo ack;
        benchmark::DoNotOptimize(stores[static_cast<std::size_t>(k)].AddRo(
            Rundown("R" + std::to_string(n), 100, 5), ack));
      }
    }
  }
  std::uintmax_t bytes = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    bytes += entry.file_size();
  }
  std::size_t restored = 0;
  for (auto _ : state) {
    std::string error;
    auto opened = SqliteState::Open(settings, std::make_shared<SystemClock>(), nullptr, error);
    auto stores = std::make_unique<std::array<RoStore, 8>>();
    std::atomic<std::uint64_t> next{0};
    for (int k = 0; k < 8; ++k) {
      (*stores)[static_cast<std::size_t>(k)].Attach(k, opened.get(), &next);
    }
    benchmark::DoNotOptimize(
        RestoreRunningOrders(*opened, stores->data(), 8, 0, next, restored, error));
  }
  state.counters["runningOrders"] = static_cast<double>(restored);
  state.counters["databaseMiB"] = static_cast<double>(bytes) / (1 << 20);
  std::filesystem::remove_all(folder);
}
BENCHMARK(Recovery8x20)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace vidra

BENCHMARK_MAIN();
