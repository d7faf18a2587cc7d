// Readiness that the GStreamer player agrees with: a file is READY on a gstreamer channel
// only if GStreamer can demux and decode its picture; otherwise the sheet says why. Real
// files made by FFmpeg, the real container probe, and GStreamer with a plugin taken away.
#include "playout/players/gstreamer/GstDecodeCheck.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/Log.h"
#include "playout/PlayoutManager.h"
#include "playout/Readiness.h"
#include "playout/players/gstreamer/GstPlayer.h"
#include "tests/playout/GstTaps.h"
#include "tests/support/TestSupport.h"

namespace vidra {
namespace {

namespace fs = std::filesystem;

// GStreamer without one element while it lives: decodebin does not pick a feature of rank
// none.
class WithoutElement {
 public:
  explicit WithoutElement(const char* name)
      : feature_(gst_registry_lookup_feature(gst_registry_get(), name)) {
    EXPECT_NE(feature_, nullptr) << name;
    if (feature_ != nullptr) {
      rank_ = gst_plugin_feature_get_rank(feature_);
      gst_plugin_feature_set_rank(feature_, GST_RANK_NONE);
    }
  }
  ~WithoutElement() {
    if (feature_ != nullptr) {
      gst_plugin_feature_set_rank(feature_, rank_);
      gst_object_unref(feature_);
    }
  }
  WithoutElement(const WithoutElement&) = delete;
  WithoutElement& operator=(const WithoutElement&) = delete;

 private:
  GstPluginFeature* feature_;
  guint rank_ = 0;
};

class DecodeCheck : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    ASSERT_TRUE(GstPlayer::Initialise(error)) << error;
  }
  std::string Make(const std::string& format, const std::string& name) {
    const std::string path = media.Path() + "/" + name;
    EXPECT_TRUE(test::MakeClip(format, path, "--frames 25")) << format;
    return path;
  }

  test::TempDir media;
  std::unique_ptr<MediaProbe> ffmpeg = CreateFfmpegProbe();
  ProbeCache container{*ffmpeg, std::chrono::seconds(5)};
};

TEST_F(DecodeCheck, OnlyWhatGStreamerDecodesIsPlayableAndTheRestSaysWhy) {
  const std::string clip = Make("h264-mp4", "clip.mp4");
  const std::string mxf = Make("dnxhr", "clip.mxf");
  const std::string sound = Make("sound-wav", "sound.wav");
  const std::string still = Make("still-png", "still.png");
  const std::string garbage = media.Write("garbage.mxf", std::string(100000, '\x5a'));
  const std::string empty = media.Write("empty.mov", "");

  GstDecodeCheck check(container);
  ProbeCache decoded(check, std::chrono::seconds(5));
  ProbeResult result = decoded.Lookup(clip);
  EXPECT_TRUE(result.playable) << result.problem;
  EXPECT_NEAR(result.seconds, 1.0, 1e-6) << "the picture's 25 frames";
  EXPECT_TRUE(decoded.Lookup(mxf).playable);

  result = decoded.Lookup(sound);
  EXPECT_FALSE(result.playable);
  EXPECT_EQ(result.problem, "sound only: no picture for a video channel");
  EXPECT_TRUE(container.Lookup(sound).playable) << "a sound plays where there is no picture";
  EXPECT_EQ(decoded.Lookup(still).problem, "a still picture, which has no length");
  EXPECT_EQ(decoded.Lookup(garbage).problem, "not a media file FFmpeg knows");
  EXPECT_EQ(decoded.Lookup(empty).problem, "the file is empty");
  result = decoded.Lookup(media.Path() + "/missing.mxf");
  EXPECT_FALSE(result.media);
  EXPECT_TRUE(result.problem.empty()) << "a missing file says so itself";

  // Looked at once per file as it is: asked again, nothing is opened; changed, it is.
  const std::uint64_t probes = decoded.Probes();
  EXPECT_TRUE(decoded.Lookup(clip).playable);
  EXPECT_EQ(decoded.Probes(), probes);
  fs::copy_file(mxf, clip, fs::copy_options::overwrite_existing);
  EXPECT_TRUE(decoded.Lookup(clip).playable);
  EXPECT_EQ(decoded.Probes(), probes + 1);

  // What FFmpeg opens but GStreamer cannot decode or demux is not playable, with the reason.
  {
    WithoutElement noDecoder("avdec_dnxhd");
    GstDecodeCheck again(container);
    result = again.Probe(mxf, std::chrono::seconds(5));
    EXPECT_FALSE(result.playable);
    EXPECT_EQ(result.problem.rfind("no decoder for ", 0), 0u) << result.problem;
    EXPECT_NE(result.problem.find("DNxHD"), std::string::npos) << result.problem;
  }
  {
    // Both: without the one of plugins bad, decodebin takes libav's, which hangs on a file.
    WithoutElement noDemuxer("mxfdemux");
    WithoutElement noOtherDemuxer("avdemux_mxf");
    GstDecodeCheck again(container);
    result = again.Probe(mxf, std::chrono::seconds(5));
    EXPECT_FALSE(result.playable);
    EXPECT_EQ(result.problem, "no demuxer for Material eXchange Format (MXF)");
  }
}

TEST_F(DecodeCheck, AGStreamerChannelIsReadyOnlyForWhatItsPlayerCanPlay) {
  LogCapture quiet;
  Make("h264-ts", "clip.ts");
  Make("sound-wav", "sound.wav");
  const MapSettings settings({{"Devices", "out1", "gstreamer 320x180@25 fakesink fakesink"},
                              {"Devices", "out2", "virtual 25"},
                              {"VIDRAServer", "Path", media.Path() + "/"},
                              {"VIDRAServer", "ChannelCount", "2"},
                              {"VIDRAServer", "CHANNEL_NAME1", "NEWS"},
                              {"VIDRAServer", "CHANNEL_PLAYER1", "out1"},
                              {"VIDRAServer", "CHANNEL_NAME2", "RADIO"},
                              {"VIDRAServer", "CHANNEL_PLAYER2", "out2"}});
  PlayoutManager manager(std::make_shared<SystemClock>());
  ASSERT_EQ(manager.InitPlayout(settings), HResult::S_OK);
  manager.StartPlayout();
  std::vector<std::shared_ptr<ro>> ros;
  for (std::int32_t channel : {0, 1}) {
    auto r = std::make_unique<ro>();
    r->roID = "R" + std::to_string(channel);
    r->mosID = channel == 0 ? "VIDRA.NEWS" : "VIDRA.RADIO";
    story s;
    s.storyID = "S";
    for (const char* file : {"clip.ts", "sound.wav", "gone.mxf"}) {
      item i;
      i.itemID = file;
      i.paths.objPath = media.Path() + "/" + file;
      s.items.push_back(i);
    }
    r->stories.push_back(s);
    RoAckInfo ack;
    ASSERT_EQ(manager.Store(channel).AddRo(std::move(r), ack), EditResult::Ok);
    ros.push_back(manager.Store(channel).GetRo("R" + std::to_string(channel)));
  }
  for (const auto& r : ros) {
    ASSERT_TRUE(test::WaitUntil([&] { return r->GetCheckState() == CheckState::Checked; }));
  }
  const auto state = [&](int channel, int index) {
    std::lock_guard guard(ros[static_cast<std::size_t>(channel)]->lock);
    return ros[static_cast<std::size_t>(channel)]
        ->stories[0]
        .items[static_cast<std::size_t>(index)]
        .state.load();
  };
  EXPECT_EQ(state(0, 0), READY);
  EXPECT_EQ(state(0, 1), NOT_READY) << "no picture for the gstreamer channel";
  EXPECT_EQ(state(0, 2), NOT_READY);
  EXPECT_EQ(state(1, 0), READY);
  EXPECT_EQ(state(1, 1), READY) << "the virtual channel plays sound";
  EXPECT_EQ(state(1, 2), NOT_READY);
  {
    std::lock_guard guard(ros[0]->lock);
    EXPECT_EQ(ros[0]->stories[0].items[0].playDurationTicks, 10'000'000u)
        << "the transport stream's picture lasts 1 s; its sound runs on a little";
  }

  const std::string sheet = ReadinessText(BuildReadiness(manager));
  EXPECT_NE(sheet.find("S/sound.wav NOT READY UNPLAYABLE (sound only: no picture for a video "
                       "channel) " +
                       media.Path() + "/sound.wav"),
            std::string::npos)
      << sheet;
  EXPECT_NE(sheet.find("S/gone.mxf NOT READY MISSING"), std::string::npos) << sheet;
  EXPECT_NE(sheet.find("S/sound.wav READY " + media.Path() + "/sound.wav file"), std::string::npos)
      << sheet;
  manager.running = false;
  manager.WaitThreadsEnd();
}

}  // namespace
}  // namespace vidra
