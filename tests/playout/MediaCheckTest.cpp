// The media check on small media files the test writes: visit counts, READY and NOT READY,
// timing from the file's length, and the schedule once a running order is checked.
#include "playout/MediaCheck.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/Log.h"
#include "tests/support/TestSupport.h"

namespace vidra {
namespace {

// A PCM WAV file of the given length: 8 kHz, mono, 16 bit.
void WriteWav(const std::string& path, double seconds) {
  const auto samples = static_cast<std::uint32_t>(seconds * 8000);
  const std::uint32_t dataBytes = samples * 2;
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  out << "RIFF";
  u32(36 + dataBytes);
  out << "WAVEfmt ";
  u32(16);
  u16(1);
  u16(1);
  u32(8000);
  u32(16000);
  u16(2);
  u16(16);
  out << "data";
  u32(dataBytes);
  out << std::string(dataBytes, '\0');
}

class Check : public ::testing::Test {
 protected:
  Check() : folder_(std::filesystem::path(placeholder_.Path()).parent_path().string() + "/") {
    WriteWav(folder_ + "one.wav", 1.0);
    WriteWav(folder_ + "two.wav", 2.0);
    WriteWav(folder_ + "four.wav", 4.0);
    std::ofstream(folder_ + "empty.mxf");
    std::ofstream(folder_ + "noise.mxf") << std::string(5000, 'x');
    std::filesystem::create_directory(folder_ + "folder.mxf");
  }
  item Item(const std::string& file) {
    item i;
    i.itemID = file;
    i.paths.objPath = folder_ + file;
    return i;
  }
  // One pass over the single channel: a visit, the move to the next channel, the wrap.
  void Pass() {
    for (int turn = 0; turn < 3; ++turn) {
      check.Turn();
    }
  }

  LogCapture quiet;
  test::TempFile placeholder_{"", "placeholder"};
  std::string folder_;
  ManualClock clock{kUnixEpochFileTime, ManualClock::Mode::AutoAdvance};
  RoStore store;
  std::unique_ptr<MediaProbe> probe = CreateFfmpegProbe();
  double frameRate = 25.0;
  std::atomic<bool> running{true};
  MediaCheck check{&store, 1, *probe, clock, frameRate, running};
};

TEST_F(Check, OneItemPerVisitThenTheScheduleOnTheNext) {
  auto r = std::make_unique<ro>();
  r->roID = "R";
  r->startTime = 1'000'000'000;
  story s;
  s.items = {Item("one.wav"), Item("two.wav"), Item("four.wav")};
  r->stories = {s};
  RoAckInfo ack;
  ASSERT_EQ(store.AddRo(std::move(r), ack), EditResult::Ok);
  const auto stored = store.GetRo("R");
  auto& items = stored->stories[0].items;

  Pass();
  EXPECT_EQ(items[0].state, READY);
  EXPECT_EQ(items[1].state, NEW);
  EXPECT_DOUBLE_EQ(*items[0].playDuration, 1.0);
  Pass();
  Pass();
  EXPECT_EQ(items[2].state, READY);
  EXPECT_DOUBLE_EQ(*items[2].playDuration, 4.0);
  EXPECT_EQ(stored->checkState, CheckState::Unchecked) << "the fourth visit completes it";
  Pass();
  EXPECT_EQ(stored->checkState, CheckState::Checked);
  EXPECT_EQ(items[1].startTime, 1'000'000'000u + 10'000'000u);
  EXPECT_EQ(items[2].startTime, 1'000'000'000u + 30'000'000u);
  EXPECT_EQ(stored->totalDuration, 70'000'000u);

  // An edit sends every item through the check again.
  RoAckInfo edit;
  ElementAction move;
  move.op = ElementOp::MOVE;
  move.roID = "R";
  move.sources.push_back(ElementRef{"", "four.wav"});
  ASSERT_EQ(store.ApplyElementAction(move, edit, false), EditResult::Ok);
  EXPECT_EQ(stored->checkState, CheckState::Unchecked);
  for (int pass = 0; pass < 4; ++pass) {
    Pass();
  }
  EXPECT_EQ(stored->checkState, CheckState::Checked);
  EXPECT_EQ(items[0].state, READY);
}

TEST_F(Check, FilesThatAreNoMediaAreNotReady) {
  auto r = std::make_unique<ro>();
  r->roID = "R";
  story s;
  s.items = {Item("missing.mxf"), Item("empty.mxf"), Item("noise.mxf"), Item("folder.mxf"), item{}};
  r->stories = {s};
  RoAckInfo ack;
  ASSERT_EQ(store.AddRo(std::move(r), ack), EditResult::Ok);
  for (int pass = 0; pass < 6; ++pass) {
    Pass();
  }
  const auto stored = store.GetRo("R");
  for (const auto& i : stored->stories[0].items) {
    EXPECT_EQ(i.state, NOT_READY) << i.itemID.Str();
    EXPECT_EQ(i.playDurationTicks, 0u);
  }
  EXPECT_EQ(stored->checkState, CheckState::Checked) << "checked although nothing can play";
}

TEST_F(Check, TheThreadEndsWhenRunningIsCleared) {
  running = false;
  check.Run();
  EXPECT_TRUE(quiet.HasInOrder({"CheckFile thread was started", "CheckFile thread was finished",
                                "CheckFile event was setted"}));
}

}  // namespace
}  // namespace vidra
