// The GStreamer player in real time on short clips that the tests write themselves. Every
// frame of a clip is one flat colour: its brightness says the frame's number and its blue
// difference says the clip, so the frames that reach an appsink at the end of the output tell
// exactly what was shown when.
#include "playout/players/gstreamer/GstPlayer.h"

#include <gst/app/gstappsrc.h>
#include <gtest/gtest.h>

#include <unistd.h>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "common/Log.h"
#include "tests/playout/GstTaps.h"
#include "tests/support/TestSupport.h"

namespace vidra {
namespace {

using namespace std::chrono_literals;

bool Logged(const LogCapture& log, const std::string& part) {
  for (const std::string& record : log.Records()) {
    if (record.find(part) != std::string::npos) {
      return true;
    }
  }
  return false;
}

constexpr int kWidth = 160;
constexpr int kHeight = 96;
constexpr double kFrame = 0.04;  // 25 fps
constexpr int kClipA = 64;       // the clips' blue difference; black has 128
constexpr int kClipB = 192;

// Writes `frames` frames of 25 fps lossless video: frame i has brightness 16 + 4 i.
void WriteClip(const std::string& path, int frames, int clip) {
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(
      ("appsrc name=in format=time ! avenc_ffv1 ! matroskamux ! filesink location=" + path).c_str(),
      &error);
  ASSERT_NE(pipeline, nullptr) << (error != nullptr ? error->message : "");
  GstElement* in = gst_bin_get_by_name(GST_BIN(pipeline), "in");
  GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "width",
                                      G_TYPE_INT, kWidth, "height", G_TYPE_INT, kHeight,
                                      "framerate", GST_TYPE_FRACTION, 25, 1, nullptr);
  gst_app_src_set_caps(GST_APP_SRC(in), caps);
  gst_caps_unref(caps);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  const int luma = kWidth * kHeight;
  const int chroma = luma / 4;
  for (int i = 0; i < frames; ++i) {
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, luma + 2 * chroma, nullptr);
    GstMapInfo map;
    gst_buffer_map(buffer, &map, GST_MAP_WRITE);
    std::fill_n(map.data, luma, static_cast<guint8>(16 + 4 * i));
    std::fill_n(map.data + luma, chroma, static_cast<guint8>(clip));
    std::fill_n(map.data + luma + chroma, chroma, static_cast<guint8>(128));
    gst_buffer_unmap(buffer, &map);
    GST_BUFFER_PTS(buffer) = gst_util_uint64_scale(i, GST_SECOND, 25);
    GST_BUFFER_DURATION(buffer) = GST_SECOND / 25;
    ASSERT_EQ(gst_app_src_push_buffer(GST_APP_SRC(in), buffer), GST_FLOW_OK);
  }
  gst_app_src_end_of_stream(GST_APP_SRC(in));
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* done = gst_bus_timed_pop_filtered(
      bus, 10 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  ASSERT_NE(done, nullptr);
  EXPECT_EQ(GST_MESSAGE_TYPE(done), GST_MESSAGE_EOS);
  gst_message_unref(done);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(in);
  gst_object_unref(pipeline);
}

struct Frame {
  double time = 0;  // running time, the player clock
  int clip = 0;     // kClipA, kClipB or 128 for black
  int index = 0;    // the clip's frame number
};

// What the tap saw, in this test's clips.
Frame Told(const test::Frame& seen) {
  Frame frame;
  frame.time = seen.time;
  frame.clip = std::abs(seen.cb - kClipA) < 20   ? kClipA
               : std::abs(seen.cb - kClipB) < 20 ? kClipB
                                                 : 128;
  frame.index = static_cast<int>(std::lround((seen.luma - 16) / 4.0));
  return frame;
}

class Gst : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    ASSERT_TRUE(GstPlayer::Initialise(error)) << error;
    folder_ = std::filesystem::temp_directory_path() / ("vidra-gst-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder_);
    WriteClip(folder_ + "/a.mkv", 50, kClipA);
    WriteClip(folder_ + "/b.mkv", 50, kClipB);
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(folder_); }
  static std::string File(const std::string& name) { return folder_ + "/" + name; }

  void SetUp() override {
    std::string error;
    ASSERT_EQ(CreateChannelPlayer("gstreamer",
                                  "160x96@25 videoconvert ! video/x-raw,format=I420 ! "
                                  "appsink name=tap sync=true max-buffers=100 drop=true",
                                  nullptr, player_, error),
              HResult::S_OK)
        << error;
    gst_ = dynamic_cast<GstPlayer*>(player_.get());
    ASSERT_NE(gst_, nullptr);
    tap_ = std::make_unique<test::FrameTap>(gst_->OutputElement("tap"));
  }
  void TearDown() override {
    tap_.reset();
    player_.reset();
  }

  double Clock() { return test::ClockOf(*player_); }
  void WaitForClock(double time) { test::WaitForClock(*player_, time); }
  std::int32_t State() {
    std::int32_t state = 0;
    EXPECT_EQ(player_->GetState(state), HResult::S_OK);
    return state;
  }
  std::int32_t Prepare(const std::string& file, double in, double out) {
    return test::PrepareAndWait(*player_, file, in, out);
  }
  double Remaining(double* startedAt = nullptr) {
    double started = 0;
    double remaining = 0;
    EXPECT_EQ(player_->GetTimes(started, remaining), HResult::S_OK);
    if (startedAt != nullptr) {
      *startedAt = started;
    }
    return remaining;
  }
  // Every frame in [from, to), in order, each with its time.
  std::vector<Frame> Between(double from, double to) {
    std::vector<Frame> frames;
    for (const test::Frame& seen : tap_->Between(from, to)) {
      frames.push_back(Told(seen));
    }
    return frames;
  }
  // The clip frames in [from, to).
  std::vector<Frame> Shown(double from, double to) {
    std::vector<Frame> frames = Between(from, to);
    std::erase_if(frames, [](const Frame& frame) { return frame.clip == 128; });
    return frames;
  }

  static inline std::string folder_;
  std::unique_ptr<ChannelPlayer> player_;
  GstPlayer* gst_ = nullptr;
  std::unique_ptr<test::FrameTap> tap_;
};

TEST_F(Gst, AClipStartsOnItsFrameFromItsMarkInForItsDurationThenBlack) {
  std::int32_t width = 0;
  std::int32_t height = 0;
  double rate = 0;
  ASSERT_EQ(player_->GetFormat(width, height, rate), HResult::S_OK);
  EXPECT_EQ(width, kWidth);
  EXPECT_EQ(height, kHeight);
  EXPECT_DOUBLE_EQ(rate, 25.0);

  ASSERT_EQ(Prepare(File("a.mkv"), 0.4, 1.2), kPlayerPrepared);
  EXPECT_EQ(player_->Cue(), HResult::S_OK);
  const double target = Clock() + 0.5;
  ASSERT_EQ(player_->Play(target, 0.0), HResult::S_OK);
  EXPECT_EQ(State(), kPlayerStarting);
  WaitForClock(target + 0.1);
  EXPECT_EQ(State(), kPlayerStarted);
  double startedAt = 0;
  const double remaining = Remaining(&startedAt);
  EXPECT_NEAR(startedAt, target, kFrame / 2) << "on the output frame nearest its time";
  EXPECT_NEAR(remaining, 0.7, 0.05);
  WaitForClock(target + 1.2);
  EXPECT_LE(Remaining(), 0.0);

  const std::vector<Frame> before = Shown(target - 0.45, target - kFrame);
  EXPECT_TRUE(before.empty()) << "a clip frame showed " << target - before.front().time
                              << " s early";
  const std::vector<Frame> frames = Shown(target - 0.45, target + 1.1);
  ASSERT_EQ(frames.size(), 20u) << "0.8 s at 25 fps";
  EXPECT_NEAR(frames.front().time, target, kFrame) << "within one frame of its time";
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].clip, kClipA);
    EXPECT_EQ(frames[i].index, 10 + static_cast<int>(i)) << "mark-in 0.4 s is frame 10";
    if (i > 0) {
      EXPECT_NEAR(frames[i].time - frames[i - 1].time, kFrame, 1e-3) << "one frame each";
    }
  }
  const std::vector<Frame> after = Between(frames.back().time + kFrame / 2, target + 1.1);
  ASSERT_FALSE(after.empty()) << "the output keeps running after the clip";
  for (const Frame& frame : after) {
    EXPECT_EQ(frame.clip, 128) << "black, not the last frame held";
    EXPECT_EQ(frame.index, 0);
  }
}

TEST_F(Gst, ChainedClipsJoinWithNoGapAndNoRepeatedFrame) {
  ASSERT_EQ(Prepare(File("a.mkv"), 0.0, 1.0), kPlayerPrepared);
  const double first = Clock() + 0.3;
  ASSERT_EQ(player_->Play(first, 0.0), HResult::S_OK);
  WaitForClock(first + 0.2);
  // The next clip is prepared while the first plays, and takes over at its start time.
  ASSERT_EQ(Prepare(File("b.mkv"), 0.0, 1.0), kPlayerPrepared);
  ASSERT_EQ(player_->Play(first + 1.0, 0.0), HResult::S_OK);
  WaitForClock(first + 2.2);

  const std::vector<Frame> frames = Shown(first - 0.2, first + 2.2);
  ASSERT_EQ(frames.size(), 50u);
  EXPECT_NEAR(frames.front().time, first, kFrame);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].clip, i < 25 ? kClipA : kClipB) << "frame " << i;
    EXPECT_EQ(frames[i].index, static_cast<int>(i % 25)) << "frame " << i;
    if (i > 0) {
      EXPECT_NEAR(frames[i].time - frames[i - 1].time, kFrame, 1e-3) << "no gap at " << i;
    }
  }
}

TEST_F(Gst, AJoinedClipShowsTheFrameItWouldShowHadItStartedOnTime) {
  ASSERT_EQ(Prepare(File("a.mkv"), 0.0, 2.0), kPlayerPrepared);
  WaitForClock(0.5);
  const double started = Clock() - 0.2;  // a start a backup learns of five frames late
  ASSERT_EQ(player_->Join(started), HResult::S_OK);
  WaitForClock(started + 1.0);
  double startedAt = 0;
  EXPECT_NEAR(Remaining(&startedAt), 1.0, 0.05);
  EXPECT_NEAR(startedAt, started, kFrame / 2) << "on air as though it had started then";
  WaitForClock(started + 2.3);
  EXPECT_LE(Remaining(), 0.0) << "it ends when a start on time would have";

  const std::vector<Frame> frames = Shown(started - 0.2, started + 2.3);
  ASSERT_GE(frames.size(), 40u);
  EXPECT_GE(frames.front().index, 5) << "the frames due before the join are not shown";
  for (const Frame& frame : frames) {
    EXPECT_EQ(frame.clip, kClipA);
    EXPECT_EQ(frame.index, static_cast<int>(std::lround((frame.time - started) / kFrame)))
        << "each frame where a start on time puts it";
  }
  EXPECT_EQ(frames.back().index, 49);
}

TEST_F(Gst, PlayEmptyEndsTheClipAtItsTimeAndPauseHoldsTheFrame) {
  ASSERT_EQ(Prepare(File("a.mkv"), 0.0, 2.0), kPlayerPrepared);
  double start = Clock() + 0.3;
  ASSERT_EQ(player_->Play(start, 0.0), HResult::S_OK);
  ASSERT_EQ(player_->PlayEmpty(start + 0.6, 0.0), HResult::S_OK);
  WaitForClock(start + 0.9);
  EXPECT_LE(Remaining(), 0.0);
  std::vector<Frame> frames = Shown(start - 0.2, start + 0.9);
  ASSERT_FALSE(frames.empty());
  EXPECT_NEAR(frames.back().time + kFrame, start + 0.6, kFrame) << "0.6 s of the clip";
  EXPECT_EQ(frames.back().index + 1, static_cast<int>(frames.size()));
  EXPECT_FALSE(Between(start + 0.62, start + 0.9).empty());

  // Paused for 0.4 s: the frame on air stays, then the clip goes on from the next frame and
  // ends that much later.
  ASSERT_EQ(Prepare(File("b.mkv"), 0.0, 1.0), kPlayerPrepared);
  start = Clock() + 0.2;
  ASSERT_EQ(player_->Play(start, 0.0), HResult::S_OK);
  WaitForClock(start + 0.3);
  ASSERT_EQ(player_->Pause(), HResult::S_OK);
  const double pausedAt = Clock();
  const double left = Remaining();
  std::this_thread::sleep_for(400ms);
  EXPECT_NEAR(Remaining(), left, 1e-6) << "no time passes while paused";
  ASSERT_EQ(player_->Resume(), HResult::S_OK);
  const double resumedAt = Clock();
  WaitForClock(start + 1.0 + (resumedAt - pausedAt) + 0.2);
  EXPECT_LE(Remaining(), 0.0);
  frames = Shown(start - 0.1, resumedAt + 1.0);
  ASSERT_FALSE(frames.empty());
  int last = -1;
  for (const Frame& frame : frames) {
    EXPECT_EQ(frame.clip, kClipB);
    EXPECT_TRUE(frame.index == last || frame.index == last + 1)
        << "frame " << frame.index << " after " << last;
    last = frame.index;
  }
  EXPECT_EQ(last, 24) << "every frame still plays";
  // The frames the mixer has already taken still show, so the hold starts a few frames on.
  const std::vector<Frame> held = Shown(pausedAt + 0.2, resumedAt);
  ASSERT_FALSE(held.empty()) << "the held frame stays on air";
  EXPECT_EQ(held.front().index, held.back().index);
}

TEST_F(Gst, FilesThatCannotPlayFailWithGStreamersReasonAndTheNextClipPlays) {
  LogCapture log;
  {
    std::ofstream garbage(File("garbage.mxf"), std::ios::binary);
    for (int i = 0; i < 100000; ++i) {
      garbage.put(static_cast<char>((i * 7919) & 0xFF));
    }
  }
  ASSERT_EQ(Prepare(File("garbage.mxf"), 0.0, 1.0), kPlayerFailed);
  std::string error;
  ASSERT_EQ(player_->GetLastError(error), HResult::S_OK);
  EXPECT_NE(error.find("type"), std::string::npos) << error;
  EXPECT_EQ(player_->Play(Clock() + 0.1, 0.0), HResult::E_UNEXPECTED);

  ASSERT_EQ(Prepare(File("missing.mxf"), 0.0, 1.0), kPlayerFailed);
  ASSERT_EQ(player_->GetLastError(error), HResult::S_OK);
  EXPECT_NE(error.find("missing.mxf"), std::string::npos) << error;

  // A truncated file plays what it has.
  const auto size = std::filesystem::file_size(File("a.mkv"));
  std::filesystem::copy_file(File("a.mkv"), File("cut.mkv"));
  std::filesystem::resize_file(File("cut.mkv"), size / 3);
  const std::int32_t cut = Prepare(File("cut.mkv"), 0.0, 2.0);
  EXPECT_TRUE(cut == kPlayerPrepared || cut == kPlayerFailed) << cut;
  static_cast<void>(player_->Unprepare());

  ASSERT_EQ(Prepare(File("b.mkv"), 0.0, 0.4), kPlayerPrepared);
  const double start = Clock() + 0.2;
  ASSERT_EQ(player_->Play(start, 0.0), HResult::S_OK);
  WaitForClock(start + 0.6);
  EXPECT_EQ(Shown(start - 0.1, start + 0.6).size(), 10u);
  EXPECT_TRUE(test::WaitUntil([&] { return Logged(log, "garbage.mxf failed: "); }))
      << "the reason is logged";
  EXPECT_TRUE(Logged(log, "missing.mxf failed: "));
}

TEST_F(Gst, AFailingOutputIsLoggedAndBuiltAgainForTheNextClip) {
  LogCapture log;
  GstElement* tap = gst_->OutputElement("tap");
  ASSERT_NE(tap, nullptr);
  tap_.reset();  // the tap belongs to the output that is about to fail
  GError* error =
      g_error_new_literal(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_WRITE, "Output window was closed");
  gst_element_post_message(tap, gst_message_new_error(GST_OBJECT(tap), error, "test"));
  g_error_free(error);
  gst_object_unref(tap);
  ASSERT_TRUE(test::WaitUntil([&] { return Logged(log, "runs again"); }));
  EXPECT_TRUE(Logged(log, "failed: Output window was closed"));
  tap_ = std::make_unique<test::FrameTap>(gst_->OutputElement("tap"));
  ASSERT_EQ(Prepare(File("a.mkv"), 0.0, 0.4), kPlayerPrepared);
  const double start = Clock() + 0.2;
  ASSERT_EQ(player_->Play(start, 0.0), HResult::S_OK);
  WaitForClock(start + 0.6);
  EXPECT_EQ(Shown(start - 0.1, start + 0.6).size(), 10u);
}

TEST(GstDevices, SettingMistakesAreNamedAndAnOutputThatWillNotRunFailsItsClips) {
  std::unique_ptr<ChannelPlayer> player;
  std::string error;
  EXPECT_EQ(CreateChannelPlayer("gstreamer", "", nullptr, player, error), HResult::E_INVALIDARG);
  EXPECT_NE(error.find("sink description"), std::string::npos) << error;
  EXPECT_EQ(CreateChannelPlayer("gstreamer", "1920x1080@0 fakesink", nullptr, player, error),
            HResult::E_INVALIDARG);
  EXPECT_NE(error.find("frame rate"), std::string::npos) << error;
  EXPECT_EQ(CreateChannelPlayer("gstreamer", "8x8 fakesink", nullptr, player, error),
            HResult::E_INVALIDARG);
  EXPECT_EQ(CreateChannelPlayer("gstreamer", "nosuchsink", nullptr, player, error),
            HResult::E_INVALIDARG);
  EXPECT_NE(error.find("nosuchsink"), std::string::npos) << error;
  EXPECT_EQ(player, nullptr);

  ASSERT_EQ(CreateChannelPlayer("gstreamer", "1280x720@30000/1001 fakesink sync=true", nullptr,
                                player, error),
            HResult::S_OK)
      << error;
  std::int32_t width = 0;
  std::int32_t height = 0;
  double rate = 0;
  ASSERT_EQ(player->GetFormat(width, height, rate), HResult::S_OK);
  EXPECT_EQ(width, 1280);
  EXPECT_EQ(height, 720);
  EXPECT_NEAR(rate, 29.97, 0.001);

  // Generic sinks take the video first, then the audio, in the order they are named.
  ASSERT_EQ(
      CreateChannelPlayer("gstreamer", "fakesink name=v fakesink name=a", nullptr, player, error),
      HResult::S_OK)
      << error;
  auto* gst = dynamic_cast<GstPlayer*>(player.get());
  ASSERT_NE(gst, nullptr);
  for (const auto& [name, kind] : {std::pair{"v", "video/x-raw"}, std::pair{"a", "audio/x-raw"}}) {
    GstElement* sink = gst->OutputElement(name);
    ASSERT_NE(sink, nullptr) << name;
    GstPad* pad = gst_element_get_static_pad(sink, "sink");
    GstCaps* caps = nullptr;
    EXPECT_TRUE(test::WaitUntil([&] { return (caps = gst_pad_get_current_caps(pad)) != nullptr; }))
        << name << " gets a stream";
    if (caps != nullptr) {
      EXPECT_STREQ(gst_structure_get_name(gst_caps_get_structure(caps, 0)), kind) << name;
      gst_caps_unref(caps);
    }
    gst_object_unref(pad);
    gst_object_unref(sink);
  }
  player.reset();

  LogCapture log;
  ASSERT_EQ(CreateChannelPlayer("gstreamer", "filesink location=/nonexistent/folder/out.raw",
                                nullptr, player, error),
            HResult::S_OK)
      << "the output may come back later";
  EXPECT_TRUE(Logged(log, "does not run: "));
  double duration = 0;
  EXPECT_EQ(player->Prepare("/srv/a.mxf", 0.0, 1.0, 10, duration), HResult::E_FAIL);
  ASSERT_EQ(player->GetLastError(error), HResult::S_OK);
  EXPECT_NE(error.find("/nonexistent/folder/out.raw"), std::string::npos) << error;
}

}  // namespace
}  // namespace vidra
