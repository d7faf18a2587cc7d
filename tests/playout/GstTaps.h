// What a GStreamer channel's output showed and sounded, read at its sinks: FrameTap pulls
// every picture from an appsink and tells which test frame it is (the frames that
// scripts/make-test-clip.sh writes say their number and their third of the clip), SoundTap
// keeps every sample. MakeClip writes such clips with that script.
#pragma once

#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "playout/ChannelPlayer.h"

namespace vidra::test {

// The player's clock, the running time of its output.
double ClockOf(ChannelPlayer& player);
void WaitForClock(ChannelPlayer& player, double time);
// Prepares a clip and waits until it is ready or failed; the state it ended in.
std::int32_t PrepareAndWait(ChannelPlayer& player, const std::string& file, double in, double out);

// Writes a test clip of format (see scripts/make-test-clip.sh) to path; false when FFmpeg
// failed. extra: more of the script's options ("--frames 30").
bool MakeClip(const std::string& format, const std::string& path, const std::string& extra = "");

struct Frame {
  double time = 0;  // running time, the player clock
  int part = -1;    // which third of its clip (0, 1, 2), or -1 for black
  int index = 0;    // the clip's frame number
  int luma = 0;     // the picture's middle: its brightness and blue difference, for clips
  int cb = 0;       // that speak otherwise
};

// Pulls every frame the output makes from its appsink, as it is shown.
class FrameTap {
 public:
  // Takes the reference to sink.
  explicit FrameTap(GstElement* sink);
  ~FrameTap();
  FrameTap(const FrameTap&) = delete;
  FrameTap& operator=(const FrameTap&) = delete;
  std::vector<Frame> Between(double from, double to);
  // The frames of clips (not black) in [from, to).
  std::vector<Frame> Shown(double from, double to);

 private:
  void Run();

  GstElement* sink_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;  // guards frames_
  std::vector<Frame> frames_;
  std::thread thread_;
};

// Keeps the output's sound: 48 kHz stereo, 16 bit.
class SoundTap {
 public:
  explicit SoundTap(GstElement* sink);
  ~SoundTap();
  SoundTap(const SoundTap&) = delete;
  SoundTap& operator=(const SoundTap&) = delete;

  // The time of the first (last) sample in [from, to) louder than a quarter of the left
  // channel's tone; -1 when none is.
  double FirstLoud(double from, double to);
  double LastLoud(double from, double to);
  // The longest run of quiet left samples in [from, to), in seconds.
  double LongestQuiet(double from, double to);
  // The root mean square of one channel (0 left, 1 right) in [from, to), full scale 1.
  double Rms(int channel, double from, double to);

 private:
  struct Block {
    double time = 0;
    std::vector<std::int16_t> samples;  // interleaved left, right
  };
  template <typename Visit>
  void Each(double from, double to, Visit visit);
  void Run();

  GstElement* sink_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;  // guards blocks_
  std::vector<Block> blocks_;
  std::thread thread_;
};

}  // namespace vidra::test
