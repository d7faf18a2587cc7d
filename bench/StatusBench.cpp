// What one refresh of the status page costs the server with 8 channels of 20 running orders
// of 100 stories of 5 items (80,000 items): the on-air view, the state, the journal and the
// running orders when unchanged (what the page asks for every second), and the running
// orders in full (what it asks for when they changed), each built and written as JSON.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "common/Log.h"
#include "host/ControlObject.h"
#include "host/OnAirView.h"
#include "host/StatusView.h"

namespace vidra {
namespace {

class Quiet final : public LogSink {
 public:
  void Write(std::string_view) override {}
};

constexpr int kChannels = 8;

std::unique_ptr<ro> RunningOrder(int number, FileTime now) {
  auto r = std::make_unique<ro>();
  r->roID = "RO" + std::to_string(number);
  r->roSlug = "running order " + std::to_string(number);
  r->roEdDur = "00:30:00";
  for (int s = 0; s < 100; ++s) {
    story st;
    st.storyID = "S" + std::to_string(s);
    st.storySlug = "story slug " + std::to_string(s);
    for (int i = 0; i < 5; ++i) {
      item it;
      it.itemID = std::to_string(i);
      it.itemSlug = "item slug " + std::to_string(i);
      it.objID = "OBJ-" + std::to_string(s) + "-" + std::to_string(i);
      it.paths.objPath = "/srv/vidra/media/clip" + std::to_string(i) + ".mxf";
      it.playDurationTicks = 10 * kTicksPerSecond;
      it.state = READY;
      st.items.push_back(std::move(it));
    }
    r->stories.push_back(std::move(st));
  }
  if (number == 0) {  // the first running order of each channel is on air
    r->stories[0].items[0].state = PLAY;
    r->stories[0].items[0].stateTime = now;
  }
  r->checkState = CheckState::Checked;
  return r;
}

// One server with the running orders, made once for every benchmark.
CMOS_SRV_STNDRT& Server() {
  static Quiet quiet;
  static ScopedLogSink sink(quiet);
  static const std::string path = [] {
    std::string name = "/tmp/vidra-status-bench-" + std::to_string(::getpid()) + ".ini";
    std::ofstream out(name);
    out << "[VIDRAServer]\nChannelCount = " << kChannels << "\n";
    for (int k = 1; k <= kChannels; ++k) {
      out << "CHANNEL_NAME" << k << " = CH" << k << "\nCHANNEL_PLAYER" << k << " = out" << k
          << "\n";
    }
    out << "[Devices]\n";
    for (int k = 1; k <= kChannels; ++k) {
      out << "out" << k << " = virtual 25\n";
    }
    out << "[Network]\nListenAddress = 127.0.0.1\nLowerPort = 0\nUpperPort = 0\nQueryPort = 0\n";
    return name;
  }();
  static CMOS_SRV_STNDRT* server = [] {
    ControlOptions options;
    options.configPath = path;
    static CMOS_SRV_STNDRT control(options);
    if (control.InitMOSSrv() != HResult::S_OK) {
      std::fprintf(stderr, "the bench server does not start\n");
      std::exit(1);
    }
    std::remove(path.c_str());
    PlayoutManager& player = *control.Playout();
    const FileTime now = player.GetClock().LocalNow();
    for (int k = 0; k < kChannels; ++k) {
      for (int r = 0; r < 20; ++r) {
        RoAckInfo ack;
        if (player.Store(k).AddRo(RunningOrder(r, now), ack) != EditResult::Ok) {
          std::fprintf(stderr, "running order %d of channel %d is refused\n", r, k);
          std::exit(1);
        }
      }
    }
    return &control;
  }();
  return *server;
}

void OnAir(benchmark::State& state) {
  CMOS_SRV_STNDRT& server = Server();
  for (auto _ : state) {
    benchmark::DoNotOptimize(OnAirView(server).dump());
  }
}
BENCHMARK(OnAir)->Unit(benchmark::kMillisecond);

void ChannelsUnchanged(benchmark::State& state) {
  CMOS_SRV_STNDRT& server = Server();
  const std::string version = ChannelsView(server)["version"];
  for (auto _ : state) {
    benchmark::DoNotOptimize(ChannelsView(server, version).dump());
  }
}
BENCHMARK(ChannelsUnchanged)->Unit(benchmark::kMillisecond);

void ChannelsFull(benchmark::State& state) {
  CMOS_SRV_STNDRT& server = Server();
  for (auto _ : state) {
    benchmark::DoNotOptimize(ChannelsView(server).dump());
  }
}
BENCHMARK(ChannelsFull)->Unit(benchmark::kMillisecond);

// What the page asks for when an item changed state: the outline, and the one running order.
void ChangedOutlineAndOneRunningOrder(benchmark::State& state) {
  CMOS_SRV_STNDRT& server = Server();
  for (auto _ : state) {
    benchmark::DoNotOptimize(ChannelsView(server, "", true).dump());
    benchmark::DoNotOptimize(RunningOrderView(server, 0, "RO0")->dump());
  }
}
BENCHMARK(ChangedOutlineAndOneRunningOrder)->Unit(benchmark::kMillisecond);

// Everything one refresh of the page asks for when only the clock moved.
void PageRefresh(benchmark::State& state) {
  CMOS_SRV_STNDRT& server = Server();
  const std::string version = ChannelsView(server)["version"];
  for (auto _ : state) {
    benchmark::DoNotOptimize(OnAirView(server).dump());
    benchmark::DoNotOptimize(StateView(server).dump());
    benchmark::DoNotOptimize(ChannelsView(server, version, true).dump());
    benchmark::DoNotOptimize(JournalView(server, -1, 50).dump());
  }
}
BENCHMARK(PageRefresh)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vidra
