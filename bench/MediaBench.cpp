// media_bench: what the media library and the media check cost on this machine, with the
// real FFmpeg probe on real files. Prints one line per figure:
// - a running order of 100 stories x 5 items over 50 distinct files, from its store to the
//   last item checked, with the files unknown (probed) and known (cached), and the same
//   running order stored again (a roReplace of an unchanged running order);
// - a file renamed into the media folder, until the item that names it is READY;
// - the first catalogue of 10,000 small files in 100 folders: its time, the heap it takes,
//   and the size of the mosListAll that lists it;
// - mosReqObjList over those 10,000 objects: read, searched and its mosObjList written, for a
//   word of one folder, a word of no object, and a search field, median and slowest of 200.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "bench/HeapInUse.h"
#include "common/Log.h"
#include "common/Text.h"
#include "mos/MosXml.h"
#include "playout/MediaCheck.h"
#include "tests/support/Wav.h"

namespace {

using namespace vidra;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

std::size_t benchmarkSink = 0;  // keeps the answers written from being left out

std::string Wav(double seconds) {
  return test::WavBytes(seconds);
}

void Write(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

double Ms(Steady::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// Waits (polling each 0.2 ms) until done holds; the time it took in ms, or -1 after 120 s.
template <typename Done>
double Until(Steady::time_point t0, Done done) {
  while (!done()) {
    if (Steady::now() - t0 > 120s) {
      return -1;
    }
    std::this_thread::sleep_for(200us);
  }
  return Ms(Steady::now() - t0);
}

std::unique_ptr<ro> RunningOrder(const std::vector<std::string>& files) {
  auto r = std::make_unique<ro>();
  r->roID = "BENCH";
  for (int s = 0; s < 100; ++s) {
    story st;
    st.storyID = "S" + std::to_string(s);
    for (int i = 0; i < 5; ++i) {
      item it;
      it.itemID = "I" + std::to_string(i);
      it.paths.objPath = files[static_cast<std::size_t>((s * 5 + i) % 50)];
      st.items.push_back(it);
    }
    r->stories.push_back(std::move(st));
  }
  return r;
}

// The library's log lines are not what this program measures.
class Quiet final : public LogSink {
 public:
  void Write(std::string_view) override {}
};

}  // namespace

int main() {
  Quiet quiet;
  const ScopedLogSink silence(quiet);
  const fs::path root =
      fs::temp_directory_path() / ("vidra-media-bench-" + std::to_string(::getpid()));
  fs::remove_all(root);
  const fs::path media = root / "media";
  const fs::path elsewhere = root / "elsewhere";
  fs::create_directories(media);
  std::vector<std::string> cold;
  for (int k = 0; k < 50; ++k) {
    const fs::path file = elsewhere / ("clip" + std::to_string(k) + ".wav");
    Write(file, Wav(0.5 + k % 5 * 0.5));
    cold.push_back(file.string());
  }

  ManualClock clock(kUnixEpochFileTime, ManualClock::Mode::AutoAdvance);
  std::array<RoStore, 1> stores;
  double rate = 25.0;
  {
    MediaLibrary library(nullptr, media.string(), clock);
    MediaCheck check(stores.data(), {&library.Cache()}, library, clock, rate, {});
    stores[0].SetEditListener(&check, 0);
    library.Catalogue().AddListener(&check);
    library.Start();
    check.Start(2);
    Until(Steady::now(), [&] { return library.Catalogue().Progress().complete; });

    RoAckInfo ack;
    auto t0 = Steady::now();
    stores[0].AddRo(RunningOrder(cold), ack);
    auto stored = stores[0].GetRo("BENCH");
    const double first = Until(t0, [&] { return stored->GetCheckState() == CheckState::Checked; });
    std::printf("100x5 over 50 unknown files, stored to all checked: %.1f ms (%llu probes)\n",
                first, static_cast<unsigned long long>(library.Cache().Probes()));
    t0 = Steady::now();
    stores[0].AddRo(RunningOrder(cold), ack);
    stored = stores[0].GetRo("BENCH");
    const double again = Until(t0, [&] { return stored->GetCheckState() == CheckState::Checked; });
    std::printf(
        "the same running order stored again (roReplace), all checked: %.2f ms (%llu probes)\n",
        again, static_cast<unsigned long long>(library.Cache().Probes()));

    // A file that lands in the media folder by a rename, as ingest systems deliver.
    std::vector<std::string> late(50, (media / "late.wav").string());
    stores[0].AddRo(RunningOrder(late), ack);
    stored = stores[0].GetRo("BENCH");
    Until(Steady::now(), [&] { return stored->GetCheckState() == CheckState::Checked; });
    Write(elsewhere / "staged.wav", Wav(2.0));
    t0 = Steady::now();
    fs::rename(elsewhere / "staged.wav", media / "late.wav");
    const double renamed = Until(t0, [&] {
      return stored->stories[99].items[4].state == READY &&
             stored->stories[0].items[0].state == READY;
    });
    std::printf("a file renamed into the media folder, until its 500 items are READY: %.1f ms\n",
                renamed);
    library.Stop();
    check.Stop();
  }

  // The first catalogue of 10,000 small files in 100 folders.
  const fs::path big = root / "big";
  const std::string small = Wav(0.2);
  for (int k = 0; k < 10'000; ++k) {
    Write(big / ("folder" + std::to_string(k / 100)) / ("clip " + std::to_string(k) + ".wav"),
          small);
  }
  const std::size_t heapBefore = HeapInUse();
  {
    MediaLibrary library(nullptr, big.string(), clock);
    auto t0 = Steady::now();
    library.Start();
    const double scan = Until(t0, [&] { return library.Catalogue().Progress().complete; });
    const std::size_t heap = HeapInUse() - heapBefore;
    std::printf(
        "first catalogue of 10,000 files in 100 folders: %.0f ms, %zu objects, "
        "heap %.1f MiB (%.0f B per object with the probe cache)\n",
        scan, library.Catalogue().Count(), heap / 1048576.0, static_cast<double>(heap) / 10'000);
    MOSXMLWriter writer(clock);
    t0 = Steady::now();
    writer.BuildMosListAll(MosText("VIDRA.NEWS"), MosText("NCS"), MosText("1"),
                           library.Catalogue().List(), ObjectWording{"", 25.0, "VIDRA"});
    const std::u16string list = writer.GetAnswer();
    std::printf("mosListAll of 10,000 objects: %.1f MiB on the wire (16-bit), built in %.0f ms\n",
                list.size() * 2 / 1048576.0, Ms(Steady::now() - t0));
    for (const auto& [what, inside] : std::initializer_list<std::pair<const char*, std::string>>{
             {"a word of 100 objects, first page", "<generalSearch>folder42</generalSearch>"},
             {"a word of no object", "<generalSearch>nowhere</generalSearch>"},
             {"a search field",
              "<mosSchema>" + std::string(kSearchSchema) +
                  "</mosSchema><searchGroup><searchField XPath=\"/objSlug[contains(., 'clip "
                  "99')]\"/></searchGroup>"}}) {
      pugi::xml_document request;
      request.load_string(
          ("<mosReqObjList username=\"b\"><queryID>1</queryID>" + inside + "</mosReqObjList>")
              .c_str());
      std::vector<double> times;
      std::uint64_t total = 0;
      for (int k = 0; k < 200; ++k) {
        const auto started = Steady::now();
        ObjectQuery query;
        std::string error;
        ReadObjectQuery(request.first_child(), query, error);
        const ObjectPage page = RunObjectQuery(library.Catalogue(), query);
        writer.BuildMosObjList(MosText("VIDRA.NEWS"), MosText("NCS"), MosText("1"), query, page,
                               ObjectWording{"", 25.0, "VIDRA"});
        benchmarkSink += writer.GetAnswer().size();
        times.push_back(Ms(Steady::now() - started));
        total = page.total;
      }
      std::sort(times.begin(), times.end());
      std::printf(
          "mosReqObjList over 10,000 objects, %s (%llu found): %.2f ms median, %.2f ms "
          "slowest\n",
          what, static_cast<unsigned long long>(total), times[times.size() / 2], times.back());
    }
    library.Stop();
  }
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  std::printf("peak RSS of this program: %.1f MiB\n", usage.ru_maxrss / 1024.0);
  fs::remove_all(root);
  return 0;
}
