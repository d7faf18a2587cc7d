// The media check with a fake probe over real files and a real watcher: running orders are
// checked in their order with each file probed once, a running order sent again costs no
// probe, files that come, go or are still being written, items that carry only an objID,
// the check of a roCtrl, and a media folder that vanishes and comes back.
#include "playout/MediaCheck.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/Log.h"
#include "tests/support/FakeProbe.h"
#include "tests/support/TestSupport.h"

namespace vidra {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class Check : public ::testing::Test {
 protected:
  ~Check() override {
    library.Stop();  // no more news from the folder before the check goes
    check.Stop();
  }

  void Start(std::size_t workers) {
    store.SetEditListener(&check, 0);
    library.Catalogue().AddListener(&check);
    library.Start();
    ASSERT_TRUE(test::WaitUntil([&] { return library.Catalogue().Progress().complete; }));
    check.Start(workers);
  }

  std::shared_ptr<ro> Add(const std::string& roID, std::vector<item> items,
                          std::size_t perStory = 1000) {
    auto r = std::make_unique<ro>();
    r->roID = roID;
    r->mosID = "VIDRA.NEWS";
    for (std::size_t k = 0; k < items.size(); k += perStory) {
      story s;
      s.storyID = "S" + std::to_string(k / perStory);
      for (std::size_t j = k; j < std::min(items.size(), k + perStory); ++j) {
        s.items.push_back(items[j]);
      }
      r->stories.push_back(std::move(s));
    }
    RoAckInfo ack;
    EXPECT_EQ(store.AddRo(std::move(r), ack), EditResult::Ok);
    return store.GetRo(roID);
  }

  static item Item(const std::string& itemID, const std::string& path) {
    item i;
    i.itemID = itemID;
    i.paths.objPath = path;
    return i;
  }

  bool Checked(const std::shared_ptr<ro>& r) {
    return test::WaitUntil([&] { return r->GetCheckState() == CheckState::Checked; });
  }

  std::vector<StatusNotice> Notices() {
    std::lock_guard guard(noticeLock);
    return notices;
  }

  LogCapture quiet;
  test::TempDir media;
  test::TempDir elsewhere;                       // files no watcher sees
  test::FakeProbe* probe = new test::FakeProbe;  // owned by the library
  ManualClock clock{kUnixEpochFileTime, ManualClock::Mode::AutoAdvance};
  std::array<RoStore, 1> stores;
  RoStore& store = stores[0];
  double frameRate = 25.0;
  std::mutex noticeLock;
  std::vector<StatusNotice> notices;
  MediaLibrary library{std::unique_ptr<MediaProbe>(probe), media.Path(), clock, 20ms};
  MediaCheck check{
      stores.data(), {&library.Cache()}, library, clock, frameRate, [this](StatusNotice n) {
        std::lock_guard guard(noticeLock);
        notices.push_back(std::move(n));
      }};
};

TEST_F(Check, ARunningOrderIsCheckedInItsOrderAndEachFileIsProbedOnce) {
  std::vector<std::string> files;
  for (int k = 0; k < 50; ++k) {
    files.push_back(
        elsewhere.Write("clip" + std::to_string(k) + ".mxf", "clip " + std::to_string(1 + k % 7)));
  }
  std::vector<item> items;
  for (int k = 0; k < 500; ++k) {
    // Files in an order of their own, each named by ten items.
    items.push_back(Item("I" + std::to_string(k), files[(k * 7) % 50]));
  }
  items.push_back(Item("missing", elsewhere.Path() + "/none.mxf"));
  Start(1);  // one worker: the probes come in running-order order
  const auto r = Add("R", items, 5);
  ASSERT_TRUE(Checked(r));

  std::vector<std::string> firstUses;
  for (const item& i : items) {
    if (std::find(firstUses.begin(), firstUses.end(), i.paths.objPath.Str()) == firstUses.end() &&
        fs::exists(i.paths.objPath.Str())) {
      firstUses.emplace_back(i.paths.objPath.Str());
    }
  }
  EXPECT_EQ(probe->Order(), firstUses) << "each file once, in the order items name them";
  for (const story& s : r->stories) {
    for (const item& i : s.items) {
      if (i.itemID == "missing") {
        EXPECT_EQ(i.state, NOT_READY);
        continue;
      }
      ASSERT_EQ(i.state, READY) << i.itemID.Str();
      const int k = std::stoi(std::string(i.itemID.Str().substr(1)));
      EXPECT_DOUBLE_EQ(*i.playDuration, 1 + ((k * 7) % 50) % 7) << i.itemID.Str();
    }
  }
  EXPECT_NE(r->stories[1].startTime, 0u) << "the schedule is computed once it is checked";

  // Sent again unchanged (as many NRCS send every edit): checked again, probed never.
  const int probes = probe->Total();
  const auto again = Add("R", items, 5);
  ASSERT_NE(again, r);
  ASSERT_TRUE(Checked(again));
  EXPECT_EQ(again->stories[99].items[4].state, READY);
  EXPECT_EQ(probe->Total(), probes);

  // The NRCS hears every first verdict, each item once per check, in running-order order.
  // The last verdict's notice may follow the running order's Checked by a moment.
  ASSERT_TRUE(test::WaitUntil([&] { return Notices().size() >= 2 * items.size(); }));
  const std::vector<StatusNotice> told = Notices();
  ASSERT_EQ(told.size(), 2 * items.size());
  for (std::size_t k = 0; k < told.size(); ++k) {
    const item& expected = items[k % items.size()];
    EXPECT_EQ(told[k].itemID, expected.itemID) << k;
    EXPECT_EQ(told[k].storyID.Str(), "S" + std::to_string((k % items.size()) / 5)) << k;
    EXPECT_EQ(told[k].status.Str(), expected.itemID == "missing" ? "NOT READY" : "READY") << k;
  }
}

TEST_F(Check, FilesThatComeAndGoChangeTheirItemsAndTellTheNrcsOnce) {
  Start(2);
  const std::string late = media.Path() + "/late clip.mxf";
  const auto r = Add("R", {Item("A", late), Item("B", elsewhere.Path() + "/other.mxf")});
  ASSERT_TRUE(Checked(r));
  item& a = r->stories[0].items[0];
  EXPECT_EQ(a.state, NOT_READY);

  // Written in place: nothing happens until the writer closes the file.
  {
    std::ofstream writing(late);
    writing << "clip 8" << std::flush;
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(a.state, NOT_READY) << "a file still being written is not taken";
  }
  ASSERT_TRUE(test::WaitUntil([&] { return a.state == READY; }));
  // Timing is read under the running order's lock: a later check may write it.
  const auto duration = [&] {
    std::lock_guard guard(r->lock);
    return a.playDuration.value_or(0.0);
  };
  EXPECT_DOUBLE_EQ(duration(), 8.0);
  // Both first verdicts (NOT READY), then A's change.
  ASSERT_TRUE(test::WaitUntil([&] { return Notices().size() == 3; }));
  EXPECT_EQ(Notices()[0].status.Str(), "NOT READY");
  EXPECT_EQ(Notices()[1].status.Str(), "NOT READY");
  EXPECT_EQ(Notices()[2].status.Str(), "READY");
  EXPECT_EQ(Notices()[2].roID.Str(), "R");
  EXPECT_EQ(Notices()[2].storyID.Str(), "S0");
  EXPECT_EQ(Notices()[2].itemID.Str(), "A");
  EXPECT_TRUE(test::WaitUntil([&] {
    std::lock_guard guard(r->lock);
    return r->totalDuration == 80'000'000u;
  })) << "the schedule follows";

  // Replaced by a longer clip, renamed in as ingest systems do: READY still, new length,
  // no news for the NRCS.
  const std::string staged = elsewhere.Write("staged.mxf", "clip 12");
  fs::rename(staged, late);
  ASSERT_TRUE(test::WaitUntil([&] { return duration() == 12.0; }));
  EXPECT_EQ(Notices().size(), 3u);

  fs::remove(late);
  ASSERT_TRUE(test::WaitUntil([&] { return a.state == NOT_READY; }));
  ASSERT_TRUE(test::WaitUntil([&] { return Notices().size() == 4; }));
  EXPECT_EQ(Notices()[3].status.Str(), "NOT READY");
  EXPECT_EQ(r->stories[0].items[1].state, NOT_READY) << "an item of another file is left alone";
}

TEST_F(Check, AnItemWithOnlyAnObjIdPlaysItsObjectsFile) {
  media.Write("sport/goal one.mxf", "clip 4");
  Start(2);
  item dragged;
  dragged.itemID = "D";
  dragged.objID = "sport/goal one.mxf";
  item windows = dragged;
  windows.itemID = "W";
  windows.paths.objPath = "\\\\OLDSERVER\\media\\goal one.mxf";
  item unknown = dragged;
  unknown.itemID = "U";
  unknown.objID = "sport/none.mxf";
  const auto r = Add("R", {dragged, windows, unknown});
  ASSERT_TRUE(Checked(r));
  EXPECT_EQ(r->stories[0].items[0].state, READY);
  EXPECT_DOUBLE_EQ(*r->stories[0].items[0].playDuration, 4.0);
  EXPECT_EQ(r->stories[0].items[1].state, READY) << "a Windows path is no path here";
  EXPECT_EQ(check.MediaPathOf(r->stories[0].items[1]), media.Path() + "/sport/goal one.mxf");
  EXPECT_EQ(r->stories[0].items[2].state, NOT_READY);

  // The object that was not there arrives: its item becomes READY.
  media.Write("sport/none.mxf", "clip 3");
  ASSERT_TRUE(test::WaitUntil([&] { return r->stories[0].items[2].state == READY; }));
}

TEST_F(Check, ARoCtrlChecksANewItemOnTheSpot) {
  const std::string clip = elsewhere.Write("clip.mxf", "clip 5");
  store.SetEditListener(&check, 0);  // no workers: only the roCtrl's own check runs
  const auto r = Add("R", {Item("A", clip)});
  EXPECT_EQ(r->stories[0].items[0].state, NEW);
  check.CheckNow(0, "R", "S0", "A", 2000ms);
  EXPECT_EQ(r->stories[0].items[0].state, READY);
  EXPECT_DOUBLE_EQ(*r->stories[0].items[0].playDuration, 5.0);
  check.CheckNow(0, "R", "S0", "nope", 2000ms);  // an unknown item is left to the roCtrl
  EXPECT_EQ(probe->Total(), 1);
}

TEST_F(Check, AMediaFolderThatVanishesMakesItsItemsNotReadyUntilItReturns) {
  const std::string clip = media.Write("a.mxf", "clip 6");
  Start(2);
  const auto r = Add("R", {Item("A", clip), Item("B", clip)});
  ASSERT_TRUE(Checked(r));
  ASSERT_EQ(r->stories[0].items[1].state, READY);

  const std::string away = elsewhere.Path() + "/unmounted";
  fs::rename(media.Path(), away);
  ASSERT_TRUE(test::WaitUntil([&] {
    return r->stories[0].items[0].state == NOT_READY && r->stories[0].items[1].state == NOT_READY;
  }));
  const auto records = quiet.Records();
  EXPECT_EQ(std::count_if(records.begin(), records.end(),
                          [](const std::string& line) {
                            return line.find("are NOT READY until it is back") != std::string::npos;
                          }),
            1)
      << "one line says why";
  fs::rename(away, media.Path());
  ASSERT_TRUE(test::WaitUntil([&] {
    return r->stories[0].items[0].state == READY && r->stories[0].items[1].state == READY;
  }));
  // Two first verdicts, then each item NOT READY and READY again.
  ASSERT_TRUE(test::WaitUntil([&] { return Notices().size() == 6; }));
}

TEST_F(Check, TheQueueThreadKeepsItsLogLines) {
  check.Start(1);
  check.Stop();
  EXPECT_TRUE(quiet.HasInOrder({"CheckFile thread was started", "CheckFile thread was finished",
                                "CheckFile event was setted"}));
}

}  // namespace
}  // namespace vidra
