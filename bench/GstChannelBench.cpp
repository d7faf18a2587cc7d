// What one gstreamer channel costs: the processor time of a 1080p25 output, first showing
// black, then playing an MPEG-4 clip with stereo sound, chained to itself, in real time.
// The clip is moving colour bars, so the decoder has real work. Prints one JSON line and a
// short table; the figures are percent of one core.
#include <gst/gst.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "playout/ChannelPlayer.h"
#include "playout/players/gstreamer/GstPlayer.h"

namespace {

using namespace std::chrono_literals;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool WriteClip(const std::string& path, int seconds) {
  const std::string description =
      "videotestsrc num-buffers=" + std::to_string(seconds * 25) +
      " pattern=smpte horizontal-speed=8 ! video/x-raw,width=1920,height=1080,framerate=25/1 ! "
      "avenc_mpeg4 "
      "bitrate=8000000 ! queue ! matroskamux name=mux ! filesink location=" +
      path + " audiotestsrc num-buffers=" + std::to_string(seconds * 48000 / 1024) +
      " ! audio/x-raw,rate=48000,channels=2 ! vorbisenc ! queue ! mux.";
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
  if (pipeline == nullptr) {
    std::fprintf(stderr, "cannot write the clip: %s\n", error->message);
    return false;
  }
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* done = gst_bus_timed_pop_filtered(
      bus, 120 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  const bool written = done != nullptr && GST_MESSAGE_TYPE(done) == GST_MESSAGE_EOS;
  if (done != nullptr) {
    gst_message_unref(done);
  }
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  return written;
}

bool WaitPrepared(vidra::ChannelPlayer& player) {
  for (int i = 0; i < 200; ++i) {
    std::int32_t state = 0;
    static_cast<void>(player.GetState(state));
    if (state == vidra::kPlayerPrepared) {
      return true;
    }
    if (state == vidra::kPlayerFailed) {
      return false;
    }
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const int playSeconds = argc > 1 ? std::max(4, std::atoi(argv[1])) : 12;
  std::string error;
  if (!vidra::GstPlayer::Initialise(error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const std::string clip =
      (std::filesystem::temp_directory_path() / "vidra-bench-1080p25.mkv").string();
  constexpr int kClipSeconds = 4;
  if (!WriteClip(clip, kClipSeconds)) {
    return 1;
  }
  std::unique_ptr<vidra::ChannelPlayer> player;
  if (vidra::CreateChannelPlayer("gstreamer", "1920x1080@25 fakesink sync=true fakesink sync=true",
                                 nullptr, player, error) != vidra::HResult::S_OK) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::this_thread::sleep_for(1s);
  const auto idleWall = std::chrono::steady_clock::now();
  const double idleCpu = CpuSeconds();
  std::this_thread::sleep_for(4s);
  const double idle =
      (CpuSeconds() - idleCpu) /
      std::chrono::duration<double>(std::chrono::steady_clock::now() - idleWall).count();

  double clock = 0;
  static_cast<void>(player->GetClock(clock));
  double start = clock + 0.5;
  const double end = start + playSeconds;
  const auto playWall = std::chrono::steady_clock::now();
  const double playCpu = CpuSeconds();
  int clips = 0;
  while (start < end) {
    double duration = 0;
    if (player->Prepare(clip, 0.0, kClipSeconds, 10, duration) != vidra::HResult::S_OK ||
        !WaitPrepared(*player) || player->Play(start, 0.0) != vidra::HResult::S_OK) {
      std::string why;
      static_cast<void>(player->GetLastError(why));
      std::fprintf(stderr, "the clip does not play: %s\n", why.c_str());
      return 1;
    }
    ++clips;
    // The next clip is prepared while this one plays, as a channel does.
    do {
      std::this_thread::sleep_for(100ms);
      static_cast<void>(player->GetClock(clock));
    } while (clock < start + 0.5);
    start += kClipSeconds;
  }
  do {
    std::this_thread::sleep_for(100ms);
    static_cast<void>(player->GetClock(clock));
  } while (clock < start);
  const double playing =
      (CpuSeconds() - playCpu) /
      std::chrono::duration<double>(std::chrono::steady_clock::now() - playWall).count();
  player.reset();
  std::filesystem::remove(clip);
  std::printf(
      "{\"mode\":\"gstreamer_channel\",\"format\":\"1920x1080@25\",\"idle_cpu_percent\":%.1f,"
      "\"playing_cpu_percent\":%.1f,\"clips\":%d}\n",
      idle * 100, playing * 100, clips);
  std::fprintf(stderr, "one 1080p25 gstreamer channel, percent of one core:\n");
  std::fprintf(stderr, "  black output only            %6.1f\n", idle * 100);
  std::fprintf(stderr, "  playing MPEG-4 8 Mbit/s clips %6.1f\n", playing * 100);
  return 0;
}
