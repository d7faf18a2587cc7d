// The media library on real files: the FFmpeg probe, the probe cache, object IDs, and the
// catalogue with its inotify watcher on a folder that tests write, rename, link and remove.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "common/Log.h"
#include "common/Text.h"
#include "media/MediaLibrary.h"
#include "tests/support/FakeProbe.h"
#include "tests/support/TestSupport.h"

namespace vidra {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string Wav(double seconds) {
  return test::WavBytes(seconds);
}

TEST(FfmpegProbe, KnowsSoundsAndRefusesWhatIsNoMedia) {
  const test::TempDir folder;
  const auto probe = CreateFfmpegProbe();
  const ProbeResult sound = probe->Probe(folder.Write("two.wav", Wav(2.0)), 5000ms);
  EXPECT_TRUE(sound.media);
  EXPECT_TRUE(sound.playable);
  EXPECT_EQ(sound.kind, MediaKind::Audio);
  EXPECT_NEAR(sound.seconds, 2.0, 1e-3);
  EXPECT_EQ(FramesAt(sound, 25.0), 50);
  EXPECT_EQ(FramesAt(sound, 29.97), 60) << "rounded to the nearest frame";
  EXPECT_EQ(FramesAt(sound, 0.0), 0);

  fs::create_directory(folder.Path() + "/folder.mxf");
  for (const std::string& path :
       {folder.Write("empty.mxf", ""), folder.Write("noise.mxf", std::string(5000, 'x')),
        folder.Path() + "/folder.mxf", folder.Path() + "/missing.mxf", std::string()}) {
    const ProbeResult none = probe->Probe(path, 5000ms);
    EXPECT_FALSE(none.media) << path;
    EXPECT_FALSE(none.playable) << path;
    EXPECT_EQ(FramesAt(none, 25.0), 0) << path;
  }
}

// A probe that takes its time, so that lookups of one file overlap.
class SlowProbe final : public MediaProbe {
 public:
  ProbeResult Probe(const std::string& path, std::chrono::milliseconds limit) override {
    std::this_thread::sleep_for(50ms);
    return inner.Probe(path, limit);
  }
  test::FakeProbe inner;
};

TEST(ProbeCache, ProbesAFileOnceUntilItChanges) {
  const test::TempDir folder;
  SlowProbe probe;
  ProbeCache cache(probe, 5000ms);
  const std::string clip = folder.Write("clip.mxf", "clip 10");
  std::vector<std::thread> lookers;
  std::atomic<int> playable{0};
  for (int k = 0; k < 8; ++k) {
    lookers.emplace_back([&] { playable += cache.Lookup(clip).playable ? 1 : 0; });
  }
  for (std::thread& t : lookers) {
    t.join();
  }
  EXPECT_EQ(playable, 8);
  EXPECT_EQ(probe.inner.Count(clip), 1) << "eight lookups at once, one probe";
  EXPECT_DOUBLE_EQ(cache.Lookup(clip).seconds, 10.0);
  EXPECT_EQ(cache.Probes(), 1u);

  FileCondition condition = FileCondition::Missing;
  ASSERT_TRUE(cache.Peek(clip, condition).has_value());
  EXPECT_EQ(condition, FileCondition::Playable);

  // Rewritten with another length (and another size): a new identity, probed again.
  folder.Write("clip.mxf", "clip 12.5");
  EXPECT_FALSE(cache.Peek(clip, condition).has_value()) << "not probed in its new form";
  EXPECT_DOUBLE_EQ(cache.Lookup(clip).seconds, 12.5);
  EXPECT_EQ(probe.inner.Count(clip), 2);

  // A missing file is no media and costs no probe; neither does a folder.
  EXPECT_FALSE(cache.Lookup(folder.Path() + "/gone.mxf").media);
  EXPECT_FALSE(cache.Lookup(folder.Path()).media);
  cache.Peek(folder.Path() + "/gone.mxf", condition);
  EXPECT_EQ(condition, FileCondition::Missing);
  folder.Write("text.mxf", "hello");
  EXPECT_FALSE(cache.Lookup(folder.Path() + "/text.mxf").media);
  cache.Peek(folder.Path() + "/text.mxf", condition);
  EXPECT_EQ(condition, FileCondition::Unplayable);
  EXPECT_EQ(cache.Probes(), 3u);
}

TEST(ObjectIds, ShortPathsAreTheirOwnIdLongOnesAreCutAndDigested) {
  EXPECT_EQ(ObjectIdOf("news/fire at the mill.mxf"), "news/fire at the mill.mxf");
  const std::string folder(120, 'f');
  const std::string a = ObjectIdOf(folder + "/clip-a.mxf");
  const std::string b = ObjectIdOf(folder + "/clip-b.mxf");
  EXPECT_LE(a.size(), kMaxObjIdBytes);
  EXPECT_NE(a, b) << "the same start, another file";
  EXPECT_EQ(a, ObjectIdOf(folder + "/clip-a.mxf")) << "the same file, the same ID, every time";
  EXPECT_EQ(a.substr(0, 100), folder.substr(0, 100));
  // Two-byte characters are never cut in half.
  std::string accents;
  for (int k = 0; k < 80; ++k) {
    accents += "\xc3\xa9";
  }
  const std::string cut = ObjectIdOf(accents + ".mxf");
  EXPECT_LE(cut.size(), kMaxObjIdBytes);
  EXPECT_TRUE(IsValidUtf8(cut));
  EXPECT_EQ(NormalPath("/srv/media//news/../clip.mxf/"), "/srv/media/clip.mxf");
}

// Records every change the catalogue tells.
class Recorder final : public CatalogueListener {
 public:
  void CatalogueChanged(const CatalogueEvent& event) override {
    std::lock_guard guard(lock_);
    for (const ObjectDelta& delta : event.objects) {
      deltas_.emplace_back(delta.change, delta.object.objID, event.firstScan);
    }
  }
  std::vector<std::tuple<ObjectChange, std::string, bool>> Deltas() const {
    std::lock_guard guard(lock_);
    return deltas_;
  }
  bool Saw(ObjectChange change, const std::string& objID) const {
    for (const auto& [c, id, first] : Deltas()) {
      if (c == change && id == objID && !first) {
        return true;
      }
    }
    return false;
  }

 private:
  mutable std::mutex lock_;
  std::vector<std::tuple<ObjectChange, std::string, bool>> deltas_;
};

class Catalogue : public ::testing::Test {
 protected:
  ~Catalogue() override { library.Stop(); }
  void Start() {
    library.Catalogue().AddListener(&recorder);
    library.Start();
    ASSERT_TRUE(test::WaitUntil([&] { return library.Catalogue().Progress().complete; }));
  }
  bool Has(const std::string& objID) { return library.Catalogue().Find(objID).has_value(); }

  LogCapture quiet;
  test::TempDir root;
  test::TempDir outside;
  std::string folder = root.Path() + "/media";
  test::FakeProbe* probe = new test::FakeProbe;
  ManualClock clock{kUnixEpochFileTime, ManualClock::Mode::AutoAdvance};
  MediaLibrary library{std::unique_ptr<MediaProbe>(probe), folder, clock, 20ms};
  Recorder recorder;
};

TEST_F(Catalogue, TheFirstScanListsMediaInEveryFolderAndLeavesTheRestOut) {
  root.Write("media/top.mxf", "clip 10");
  root.Write("media/news/2026/fire \"at\" the mill.mxf", "clip 4");
  root.Write("media/news/été.wav", "sound 2");
  root.Write("media/stills/map.png", "still");
  root.Write("media/readme.txt", "not media");
  root.Write("media/empty.mxf", "");
  const std::string away = outside.Write("secret.mxf", "clip 9");
  fs::create_symlink(away, folder + "/leaves.mxf");
  fs::create_symlink(folder + "/top.mxf", folder + "/news/alias.mxf");
  fs::create_symlink(outside.Path(), folder + "/linked folder");
  const std::string control = folder + "/bad\x01name.mxf";
  std::ofstream(control) << "clip 1";
  const std::string latin1 = folder + "/caf\xe9.mxf";
  std::ofstream(latin1) << "clip 1";
  Start();

  const auto list = library.Catalogue().List();
  std::vector<std::string> ids;
  for (const MediaObject& object : list) {
    ids.push_back(object.objID);
  }
  EXPECT_EQ(ids, (std::vector<std::string>{"news/2026/fire \"at\" the mill.mxf", "news/alias.mxf",
                                           "news/été.wav", "stills/map.png", "top.mxf"}));
  const auto top = library.Catalogue().Find("top.mxf");
  ASSERT_TRUE(top);
  EXPECT_EQ(top->path, NormalPath(folder) + "/top.mxf");
  EXPECT_EQ(top->media.kind, MediaKind::Video);
  EXPECT_DOUBLE_EQ(top->media.seconds, 10.0);
  EXPECT_NE(top->created, 0u);
  EXPECT_EQ(library.Catalogue().Find("stills/map.png")->media.kind, MediaKind::Still);
  EXPECT_FALSE(library.Catalogue().Find("stills/map.png")->media.playable);
  EXPECT_EQ(library.Catalogue().PathOf("news/alias.mxf"), NormalPath(folder) + "/news/alias.mxf");
  EXPECT_EQ(library.Catalogue().PathOf(std::string(10'000, 'x')), "");
  for (const auto& [change, id, first] : recorder.Deltas()) {
    EXPECT_TRUE(first) << id << ": the first scan is no news";
  }
  EXPECT_EQ(library.Catalogue().Progress().found, 7u);
}

TEST_F(Catalogue, TheWatcherFollowsFilesAndFolders) {
  root.Write("media/keep.mxf", "clip 3");
  Start();
  EXPECT_TRUE(Has("keep.mxf"));

  // Written in place: taken when closed, not before.
  {
    std::ofstream writing(folder + "/late.mxf");
    writing << "clip 6" << std::flush;
    std::this_thread::sleep_for(150ms);
    EXPECT_FALSE(Has("late.mxf")) << "still being written";
  }
  ASSERT_TRUE(test::WaitUntil([&] { return recorder.Saw(ObjectChange::Added, "late.mxf"); }));

  // Renamed in from elsewhere on the same file system, as ingest systems deliver.
  const std::string staged = root.Write("staging/ingest.mxf", "clip 7");
  fs::rename(staged, folder + "/ingest.mxf");
  ASSERT_TRUE(test::WaitUntil([&] { return Has("ingest.mxf"); }));

  // Replaced by something else: changed; by what is no media: gone.
  root.Write("media/ingest.mxf", "clip 8");
  ASSERT_TRUE(test::WaitUntil([&] { return recorder.Saw(ObjectChange::Changed, "ingest.mxf"); }));
  EXPECT_DOUBLE_EQ(library.Catalogue().Find("ingest.mxf")->media.seconds, 8.0);
  EXPECT_EQ(library.Catalogue().Find("ingest.mxf")->revision, 2u);
  root.Write("media/ingest.mxf", "garbage");
  ASSERT_TRUE(test::WaitUntil([&] { return !Has("ingest.mxf"); }));

  // A new folder with files already in it, then renamed, then removed.
  fs::create_directories(root.Path() + "/staging/show/a");
  root.Write("staging/show/a/one.mxf", "clip 1");
  root.Write("staging/show/two.mxf", "clip 2");
  fs::rename(root.Path() + "/staging/show", folder + "/show");
  ASSERT_TRUE(test::WaitUntil([&] { return Has("show/a/one.mxf") && Has("show/two.mxf"); }));
  root.Write("media/show/a/three.mxf", "clip 3");
  ASSERT_TRUE(test::WaitUntil([&] { return Has("show/a/three.mxf"); }))
      << "the new folder is watched";
  fs::rename(folder + "/show", folder + "/renamed");
  ASSERT_TRUE(test::WaitUntil([&] { return !Has("show/two.mxf") && Has("renamed/two.mxf"); }));
  root.Write("media/renamed/a/four.mxf", "clip 4");
  ASSERT_TRUE(test::WaitUntil([&] { return Has("renamed/a/four.mxf"); }));
  fs::remove_all(folder + "/renamed");
  ASSERT_TRUE(test::WaitUntil([&] { return !Has("renamed/a/one.mxf"); }));

  fs::remove(folder + "/keep.mxf");
  ASSERT_TRUE(test::WaitUntil([&] { return recorder.Saw(ObjectChange::Removed, "keep.mxf"); }));
}

TEST_F(Catalogue, AFolderThatVanishesEmptiesTheCatalogueUntilItIsBack) {
  root.Write("media/a.mxf", "clip 3");
  Start();
  ASSERT_TRUE(Has("a.mxf"));
  fs::rename(folder, root.Path() + "/away");
  ASSERT_TRUE(test::WaitUntil([&] { return library.Catalogue().Count() == 0; }));
  EXPECT_FALSE(library.Catalogue().Progress().folderPresent);
  fs::rename(root.Path() + "/away", folder);
  ASSERT_TRUE(test::WaitUntil([&] { return Has("a.mxf"); }));
  root.Write("media/b.mxf", "clip 3");
  ASSERT_TRUE(test::WaitUntil([&] { return Has("b.mxf"); })) << "watched again";
}

TEST_F(Catalogue, AFolderThatIsNotThereAtTheStartIsTakenWhenItComes) {
  Start();
  EXPECT_EQ(library.Catalogue().Count(), 0u);
  EXPECT_FALSE(library.Catalogue().Progress().folderPresent);
  root.Write("media/sub/c.mxf", "clip 3");
  ASSERT_TRUE(test::WaitUntil([&] { return Has("sub/c.mxf"); }));
}

TEST_F(Catalogue, AThousandFilesInNestedFoldersAreAllFound) {
  for (int k = 0; k < 1000; ++k) {
    root.Write("media/d" + std::to_string(k % 10) + "/e" + std::to_string(k % 7) + "/f" +
                   std::to_string(k) + ".mxf",
               "clip 1");
  }
  Start();
  EXPECT_EQ(library.Catalogue().Count(), 1000u);
  EXPECT_EQ(probe->Total(), 1000);
  root.Write("media/d3/e4/new.mxf", "clip 2");
  ASSERT_TRUE(test::WaitUntil([&] { return Has("d3/e4/new.mxf"); }));
}

}  // namespace
}  // namespace vidra
