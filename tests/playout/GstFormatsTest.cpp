// Every format a station airs, on a real GStreamer output in real time: a clip written by
// FFmpeg is played as three chained items (its thirds, by mark-in), the first started from
// black, and the output is read frame by frame and sample by sample.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "common/Log.h"

#include "playout/players/gstreamer/GstPlayer.h"
#include "tests/playout/GstTaps.h"
#include "tests/support/TestSupport.h"

namespace vidra {
namespace {

using namespace std::chrono_literals;
using test::Frame;

constexpr double kFrame = 0.04;  // 25 fps
constexpr int kFrames = 60;      // each test clip: 2.4 s

struct Format {
  const char* name;  // the clip script's format
  const char* file;
};

const Format kFormats[] = {
    {"xdcam-hd422", "xdcam-hd422.mxf"},
    {"avc-intra", "avc-intra.mxf"},
    {"dnxhr", "dnxhr.mxf"},
    {"dnxhd", "dnxhd.mxf"},
    {"prores", "prores.mov"},
    {"h264-mov", "h264.mov"},
    {"h264-mp4", "h264.mp4"},
    {"h264-ts", "h264.ts"},
    {"mpeg2-ts", "mpeg2.ts"},
    {"mpeg4-mkv", "mpeg4.mkv"},
    {"ffv1-mkv", "ffv1.mkv"},
};

class GstFormats : public ::testing::TestWithParam<Format> {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    ASSERT_TRUE(GstPlayer::Initialise(error)) << error;
    folder_ =
        std::filesystem::temp_directory_path() / ("vidra-formats-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder_);
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(folder_); }

  void SetUp() override {
    std::string error;
    ASSERT_EQ(CreateChannelPlayer("gstreamer",
                                  "320x180@25 videoconvert ! video/x-raw,format=I420 ! "
                                  "appsink name=tap sync=true max-buffers=300 drop=true "
                                  "appsink name=sound sync=true max-buffers=300 drop=true",
                                  nullptr, player_, error),
              HResult::S_OK)
        << error;
    gst_ = dynamic_cast<GstPlayer*>(player_.get());
    ASSERT_NE(gst_, nullptr);
    frames_ = std::make_unique<test::FrameTap>(gst_->OutputElement("tap"));
    sound_ = std::make_unique<test::SoundTap>(gst_->OutputElement("sound"));
  }
  void TearDown() override {
    frames_.reset();
    sound_.reset();
    player_.reset();
  }

  double Clock() { return test::ClockOf(*player_); }
  void WaitForClock(double time) { test::WaitForClock(*player_, time); }
  std::int32_t Prepare(const std::string& file, double in, double out) {
    return test::PrepareAndWait(*player_, file, in, out);
  }

  static inline std::string folder_;
  std::unique_ptr<ChannelPlayer> player_;
  GstPlayer* gst_ = nullptr;
  std::unique_ptr<test::FrameTap> frames_;
  std::unique_ptr<test::SoundTap> sound_;
};

TEST_P(GstFormats, ThreeChainedItemsShowEveryFrameOnceWithTheirSound) {
  const Format& format = GetParam();
  const std::string file = folder_ + "/" + format.file;
  ASSERT_TRUE(test::MakeClip(format.name, file)) << format.name;

  // Item 1 from black, then items 2 and 3, each prepared as soon as the one before has its
  // start and started at its end once that one is on air, as the channel's playback does.
  // Starts fall on the output's frames.
  ASSERT_EQ(Prepare(file, 0.0, 0.8), kPlayerPrepared) << format.name;
  const double first = gst_->FrameStartNearest(Clock() + 0.3);
  ASSERT_EQ(player_->Play(first, 0.0), HResult::S_OK);
  for (int item = 1; item < 3; ++item) {
    double duration = 0;
    ASSERT_EQ(player_->Prepare(file, 0.8 * item, 0.8 * (item + 1), 10, duration), HResult::S_OK);
    WaitForClock(first + 0.8 * (item - 1) + 0.05);
    std::int32_t state = kPlayerLoading;
    ASSERT_TRUE(test::WaitUntil(
        [&] { return player_->GetState(state) == HResult::S_OK && state != kPlayerLoading; }));
    ASSERT_EQ(state, kPlayerPrepared) << item;
    ASSERT_EQ(player_->Play(first + 0.8 * item, 0.0), HResult::S_OK);
  }
  WaitForClock(first + 2.4 + 0.3);

  const std::vector<Frame> frames = frames_->Shown(first - 0.25, first + 2.65);
  ASSERT_EQ(frames.size(), static_cast<std::size_t>(kFrames)) << "N in, N out";
  EXPECT_NEAR(frames.front().time, first, 1e-6) << "the first frame on the frame of its time";
  int wrong = 0;
  for (int i = 0; i < kFrames; ++i) {
    const Frame& frame = frames[static_cast<std::size_t>(i)];
    if (frame.index != i || frame.part != i / 20 ||
        std::abs(frame.time - (first + i * kFrame)) > 1e-6) {
      ADD_FAILURE_AT(__FILE__, __LINE__)
          << "output frame " << i << " is frame " << frame.index << " of third " << frame.part
          << " at " << frame.time - first << " s" << (wrong++ > 0 ? "" : " (first wrong)");
      if (wrong > 3) {
        break;
      }
    }
  }
  for (const Frame& frame : frames_->Between(first - 0.2, first)) {
    EXPECT_EQ(frame.part, -1) << "black before, at " << frame.time - first;
  }
  const std::vector<Frame> after = frames_->Between(first + 2.4, first + 2.65);
  ASSERT_FALSE(after.empty()) << "the output runs on";
  for (const Frame& frame : after) {
    EXPECT_EQ(frame.part, -1) << "black after, at " << frame.time - first;
  }

  // Sound starts with the first frame and ends with the last, within a frame, without a gap
  // at the joins; the first two tracks (or channels) are left and right.
  const double soundStart = sound_->FirstLoud(first - 0.2, first + 0.5) - first;
  const double soundEnd = sound_->LastLoud(first + 2.0, first + 2.65) - (first + 2.4);
  // Within half a frame: what is left is the codec's own (AAC and MPEG audio end a little
  // early in their files); a clip whose sound slid against its pictures is off by more.
  EXPECT_LT(std::abs(soundStart), kFrame / 2) << "sound starts " << soundStart << " s off";
  EXPECT_LT(std::abs(soundEnd), kFrame / 2) << "sound ends " << soundEnd << " s off";
  EXPECT_LT(sound_->LongestQuiet(first + 0.05, first + 2.35), 0.002) << "no gap in the sound";
  const double left = sound_->Rms(0, first + 0.1, first + 2.3);
  const double right = sound_->Rms(1, first + 0.1, first + 2.3);
  EXPECT_NEAR(left, 0.5 / std::sqrt(2.0), 0.05);
  EXPECT_NEAR(right, 0.125 / std::sqrt(2.0), 0.02);
  std::printf(
      "[ figures  ] %-12s frames %d in, %zu out, first frame %+.1f ms, sound %+.1f ms "
      "at the start, %+.1f ms at the end\n",
      format.name, kFrames, frames.size(), (frames.front().time - first) * 1000, soundStart * 1000,
      soundEnd * 1000);
}

// Files that are not what the channel airs, chained on one output: each either converted
// or cut short with black until its planned end, and never holding up the next item.
using GstBadInput = GstFormats;

TEST_F(GstBadInput, OtherFormatsShortCutDeletedAndVariableRateClipsKeepTheChainOnTime) {
  const std::string other = folder_ + "/other.mp4";  // 640x360 at 50 frames a second
  const std::string shorter = folder_ + "/short.mkv";
  const std::string cut = folder_ + "/cut.mkv";
  const std::string deleted = folder_ + "/deleted.mkv";
  const std::string variable = folder_ + "/variable.mkv";
  const std::string next = folder_ + "/next.ts";
  ASSERT_TRUE(test::MakeClip("h264-mp4", other, "--size 640x360 --rate 50 --frames 60"));
  ASSERT_TRUE(test::MakeClip("mpeg4-mkv", shorter, "--frames 20"));
  ASSERT_TRUE(test::MakeClip("ffv1-mkv", cut, "--frames 60"));
  std::filesystem::resize_file(cut, std::filesystem::file_size(cut) / 4);
  ASSERT_TRUE(test::MakeClip("mpeg4-mkv", deleted, "--frames 60"));
  ASSERT_TRUE(test::MakeClip("h264-ts", next, "--frames 30"));
  // Frames 0-9 a frame apart, frames 10-29 half a frame apart.
  const std::string vfr = "ffmpeg -v error -y -i '" + deleted +
                          "' -an -vf \"setpts='if(lt(N,10),2*N,N+10)/50/TB'\" -fps_mode vfr "
                          "-enc_time_base 1:50 -c:v mpeg4 -q:v 2 -frames:v 30 '" +
                          variable + "'";
  ASSERT_EQ(std::system(vfr.c_str()), 0) << vfr;

  LogCapture log;
  struct Item {
    std::string file;
    double length;  // planned, seconds
  };
  const std::vector<Item> items = {{other, 1.2},   {shorter, 1.2},  {cut, 1.2},
                                   {deleted, 1.2}, {variable, 0.8}, {next, 0.4}};
  double start = 0;
  std::vector<double> starts;
  for (const Item& item : items) {
    ASSERT_EQ(Prepare(item.file, 0.0, item.length), kPlayerPrepared) << item.file;
    if (item.file == deleted) {
      std::filesystem::remove(deleted);  // a prepared clip keeps its open file
    }
    start = starts.empty() ? gst_->FrameStartNearest(Clock() + 0.3) : start;
    ASSERT_EQ(player_->Play(start, 0.0), HResult::S_OK);
    starts.push_back(start);
    WaitForClock(start + 0.1);
    start += item.length;
  }
  WaitForClock(start + 0.2);

  const auto frames = [&](std::size_t k) {
    return frames_->Between(starts[k] - 1e-3, starts[k] + items[k].length - 1e-3);
  };
  // Scaled with borders and its rate halved: every other frame.
  std::vector<Frame> seen = frames(0);
  ASSERT_EQ(seen.size(), 30u);
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].index, static_cast<int>(2 * i)) << "converted frame " << i;
  }
  // 20 frames where 30 were planned, then black.
  seen = frames(1);
  ASSERT_EQ(seen.size(), 30u);
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].index, i < 20 ? static_cast<int>(i) : 0) << "short clip, frame " << i;
    EXPECT_EQ(seen[i].part < 0, i >= 20) << "short clip, frame " << i;
  }
  // A file cut at a quarter plays the frames it has, then black.
  seen = frames(2);
  ASSERT_EQ(seen.size(), 30u);
  std::size_t had = 0;
  while (had < seen.size() && seen[had].part >= 0) {
    EXPECT_EQ(seen[had].index, static_cast<int>(had));
    ++had;
  }
  EXPECT_GT(had, 0u);
  EXPECT_LT(had, 30u);
  for (std::size_t i = had; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].part, -1) << "after the cut, frame " << i;
  }
  // Deleted after it was prepared: the open file plays to its end.
  seen = frames(3);
  ASSERT_EQ(seen.size(), 30u);
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].index, static_cast<int>(i)) << "deleted clip, frame " << i;
  }
  // A variable rate is sampled on the output's frames: picture throughout, in order.
  seen = frames(4);
  ASSERT_EQ(seen.size(), 20u);
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_GE(seen[i].part, 0) << "variable rate, frame " << i;
    if (i > 0) {
      EXPECT_GE(seen[i].index, seen[i - 1].index) << "variable rate, frame " << i;
    }
  }
  EXPECT_EQ(seen[9].index, 9);
  EXPECT_GE(seen.back().index, 27);
  // The last item still starts on its frame.
  seen = frames(5);
  ASSERT_EQ(seen.size(), 10u);
  EXPECT_NEAR(seen.front().time, starts[5], 1e-6);
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].index, static_cast<int>(i)) << "the next item, frame " << i;
  }
  EXPECT_TRUE(test::WaitUntil([&] {
    const std::vector<std::string> records = log.Records();
    return std::any_of(records.begin(), records.end(), [](const std::string& line) {
      return line.find("short.mkv ended 10 frames before its out point") != std::string::npos;
    });
  })) << "the short clip is logged";
}

INSTANTIATE_TEST_SUITE_P(Broadcast, GstFormats, ::testing::ValuesIn(kFormats),
                         [](const ::testing::TestParamInfo<Format>& param) {
                           std::string name = param.param.name;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

}  // namespace
}  // namespace vidra
