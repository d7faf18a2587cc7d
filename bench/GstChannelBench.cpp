// What one gstreamer channel costs and how fast it starts, per broadcast format: for each
// format a 1080p25 clip of moving colour bars with its sound (scripts/make-test-clip.sh) is
// decoded once as fast as it goes into fakesink (the floor: what decoding alone costs per
// second of clip), then played by a 1080p25 channel, chained to itself, in real time. Also
// the time a clip takes from Prepare to ready (an EXECUTE of an item that was not prepared
// waits that long), the delay of an EXECUTE of a prepared clip (the player's lead) and
// where TIMED starts land. Prints one JSON line per format and a table; processor figures
// are percent of one core, for all threads of the process.
#include <gst/gst.h>
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "playout/ChannelPlayer.h"
#include "playout/players/gstreamer/GstPlayer.h"

namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

constexpr int kClipSeconds = 4;
constexpr double kFrame = 1.0 / 25;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Since(Steady::time_point from) {
  return std::chrono::duration<double>(Steady::now() - from).count();
}

bool WriteClip(const std::string& format, const std::string& path) {
  const std::string command = "bash '" VIDRA_SOURCE_DIR "/scripts/make-test-clip.sh' " + format +
                              " '" + path + "' --size 1920x1080 --frames " +
                              std::to_string(kClipSeconds * 25) + " --pattern bars > /dev/null";
  return std::system(command.c_str()) == 0;
}

// Processor seconds to decode the whole clip, picture and sound, as fast as it goes; with
// convert, also to turn the pictures into the output's 8-bit 4:2:0.
double DecodeFloor(const std::string& path, bool convert) {
  const std::string picture =
      convert ? "videoconvert ! video/x-raw,format=I420 ! fakesink" : "fakesink";
  const std::string description = "uridecodebin uri=file://" + path +
                                  " name=d d. ! video/x-raw ! queue ! " + picture +
                                  " d. ! audio/x-raw ! queue ! fakesink";
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
  if (pipeline == nullptr) {
    std::fprintf(stderr, "cannot decode %s: %s\n", path.c_str(), error->message);
    g_clear_error(&error);
    return -1;
  }
  const double cpu = CpuSeconds();
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* done = gst_bus_timed_pop_filtered(
      bus, 120 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  const bool decoded = done != nullptr && GST_MESSAGE_TYPE(done) == GST_MESSAGE_EOS;
  if (done != nullptr) {
    gst_message_unref(done);
  }
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  return decoded ? CpuSeconds() - cpu : -1;
}

// Seconds from Prepare until the clip is ready to start; negative if it failed.
double Prepare(vidra::ChannelPlayer& player, const std::string& clip) {
  const auto from = Steady::now();
  double duration = 0;
  if (player.Prepare(clip, 0.0, kClipSeconds, 10, duration) != vidra::HResult::S_OK) {
    return -1;
  }
  for (int i = 0; i < 2000; ++i) {
    std::int32_t state = 0;
    static_cast<void>(player.GetState(state));
    if (state == vidra::kPlayerPrepared) {
      return Since(from);
    }
    if (state == vidra::kPlayerFailed) {
      return -1;
    }
    std::this_thread::sleep_for(5ms);
  }
  return -1;
}

double Clock(vidra::ChannelPlayer& player) {
  double clock = 0;
  static_cast<void>(player.GetClock(clock));
  return clock;
}

// The start of the clip that Play was given, once it is on the air.
double StartedAt(vidra::ChannelPlayer& player) {
  std::int32_t state = vidra::kPlayerStarting;
  while (player.GetState(state) == vidra::HResult::S_OK && state == vidra::kPlayerStarting) {
    std::this_thread::sleep_for(2ms);
  }
  double startedAt = 0;
  double remaining = 0;
  static_cast<void>(player.GetTimes(startedAt, remaining));
  return startedAt;
}

void WaitClock(vidra::ChannelPlayer& player, double until) {
  while (Clock(player) < until) {
    std::this_thread::sleep_for(20ms);
  }
}

struct Figures {
  std::string format;
  double floorPercent = 0;    // decoding alone, per second of clip
  double convertPercent = 0;  // decoding and converting to the output's pictures
  double playPercent = 0;     // the channel playing it
  double prepareMs = 0;       // the slowest Prepare to ready
  double executeFrames = 0;   // a prepared clip's EXECUTE: call to first frame
  double timedFrames = 0;     // the largest distance of a TIMED start from its frame
};

bool Measure(vidra::GstPlayer& player, const std::string& format, const std::string& clip,
             int playSeconds, Figures& figures) {
  figures.format = format;
  const double floor = DecodeFloor(clip, false);
  const double converted = DecodeFloor(clip, true);
  if (floor < 0 || converted < 0) {
    return false;
  }
  figures.floorPercent = floor / kClipSeconds * 100;
  figures.convertPercent = converted / kClipSeconds * 100;

  // EXECUTE: started at once, so the first frame is the first one the output has not
  // decided yet.
  figures.prepareMs = Prepare(player, clip) * 1000;
  double now = Clock(player);
  if (figures.prepareMs < 0 || player.Play(now, 0) != vidra::HResult::S_OK) {
    return false;
  }
  double startedAt = StartedAt(player);
  figures.executeFrames = (startedAt - now) / kFrame;

  // Chained to itself, each next clip prepared while one plays, with TIMED starts: each at
  // an instant that is not a frame boundary.
  double start = startedAt + kClipSeconds;
  const double end = start + playSeconds;
  const auto wall = Steady::now();
  const double cpu = CpuSeconds();
  while (start < end) {
    const double prepared = Prepare(player, clip) * 1000;
    figures.prepareMs = std::max(figures.prepareMs, prepared);
    const double wanted = start + 0.013;
    if (prepared < 0 || player.Play(wanted, 0) != vidra::HResult::S_OK) {
      return false;
    }
    startedAt = StartedAt(player);
    WaitClock(player, start + 0.2);
    figures.timedFrames = std::max(figures.timedFrames,
                                   std::abs(startedAt - player.FrameStartNearest(wanted)) / kFrame);
    start += kClipSeconds;
  }
  WaitClock(player, start);
  figures.playPercent = (CpuSeconds() - cpu) / Since(wall) * 100;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int playSeconds = argc > 1 ? std::max(4, std::atoi(argv[1])) : 8;
  std::string error;
  if (!vidra::GstPlayer::Initialise(error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::unique_ptr<vidra::ChannelPlayer> made;
  if (vidra::CreateChannelPlayer("gstreamer", "1920x1080@25 fakesink sync=true fakesink sync=true",
                                 nullptr, made, error) != vidra::HResult::S_OK) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  auto& player = static_cast<vidra::GstPlayer&>(*made);
  std::this_thread::sleep_for(1s);
  const auto idleWall = Steady::now();
  const double idleCpu = CpuSeconds();
  std::this_thread::sleep_for(3s);
  const double idle = (CpuSeconds() - idleCpu) / Since(idleWall) * 100;
  std::printf(
      "{\"mode\":\"gstreamer_channel\",\"format\":\"black\",\"playing_cpu_percent\":%.1f}\n", idle);

  const std::vector<std::pair<std::string, std::string>> formats = {
      {"xdcam-hd422", "mxf"}, {"avc-intra", "mxf"}, {"dnxhr", "mxf"},  {"prores", "mov"},
      {"h264-mov", "mov"},    {"h264-mp4", "mp4"},  {"h264-ts", "ts"}, {"mpeg2-ts", "ts"},
      {"mpeg4-mkv", "mkv"},   {"ffv1-mkv", "mkv"}};
  std::vector<Figures> table;
  for (const auto& [format, extension] : formats) {
    const std::string clip =
        (std::filesystem::temp_directory_path() / ("vidra-bench-" + format + "." + extension))
            .string();
    Figures figures;
    const bool measured =
        WriteClip(format, clip) && Measure(player, format, clip, playSeconds, figures);
    std::filesystem::remove(clip);
    if (!measured) {
      std::string why;
      static_cast<void>(player.GetLastError(why));
      std::fprintf(stderr, "%s does not play: %s\n", format.c_str(), why.c_str());
      return 1;
    }
    std::printf(
        "{\"mode\":\"gstreamer_channel\",\"format\":\"%s 1920x1080@25\","
        "\"decode_floor_cpu_percent\":%.1f,\"decode_convert_cpu_percent\":%.1f,"
        "\"playing_cpu_percent\":%.1f,"
        "\"prepare_ms_max\":%.0f,\"execute_delay_frames\":%.2f,\"timed_error_frames_max\":%.2f}\n",
        format.c_str(), figures.floorPercent, figures.convertPercent, figures.playPercent,
        figures.prepareMs, figures.executeFrames, figures.timedFrames);
    std::fflush(stdout);
    table.push_back(figures);
  }
  made.reset();

  std::fprintf(stderr, "one 1080p25 gstreamer channel; processor in percent of one core\n");
  std::fprintf(stderr, "  black output: %.1f\n", idle);
  std::fprintf(stderr, "  %-12s %8s %8s %8s %9s %11s %9s\n", "format", "decode", "+convert",
               "channel", "prepare", "EXECUTE", "TIMED");
  for (const Figures& f : table) {
    std::fprintf(stderr, "  %-12s %7.1f%% %7.1f%% %7.1f%% %6.0f ms %6.2f fr %6.2f fr\n",
                 f.format.c_str(), f.floorPercent, f.convertPercent, f.playPercent, f.prepareMs,
                 f.executeFrames, f.timedFrames);
  }
  return 0;
}
