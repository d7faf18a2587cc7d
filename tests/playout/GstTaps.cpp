#include "tests/playout/GstTaps.h"

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>

#include "tests/support/TestSupport.h"

namespace vidra::test {
namespace {

// A quarter of the left channel's tone (half scale).
constexpr int kLoud = 4096;
constexpr double kRate = 48000.0;

double RunningSeconds(GstSample* sample) {
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  const guint64 running = gst_segment_to_running_time(gst_sample_get_segment(sample),
                                                      GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
  return static_cast<double>(running) / GST_SECOND;
}

}  // namespace

bool MakeClip(const std::string& format, const std::string& path, const std::string& extra) {
  const std::string command = "bash '" VIDRA_SOURCE_DIR "/scripts/make-test-clip.sh' " + format +
                              " '" + path + "' " + extra;
  return std::system(command.c_str()) == 0;
}

double ClockOf(ChannelPlayer& player) {
  double clock = 0;
  EXPECT_EQ(player.GetClock(clock), HResult::S_OK);
  return clock;
}

void WaitForClock(ChannelPlayer& player, double time) {
  while (ClockOf(player) < time) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::int32_t PrepareAndWait(ChannelPlayer& player, const std::string& file, double in, double out) {
  double duration = -1;
  EXPECT_EQ(player.Prepare(file, in, out, 10, duration), HResult::S_OK);
  EXPECT_DOUBLE_EQ(duration, std::max(0.0, out - in));
  std::int32_t state = kPlayerLoading;
  WaitUntil([&] {
    EXPECT_EQ(player.GetState(state), HResult::S_OK);
    return state != kPlayerLoading;
  });
  return state;
}

FrameTap::FrameTap(GstElement* sink) : sink_(sink), thread_([this] { Run(); }) {}

FrameTap::~FrameTap() {
  stop_ = true;
  thread_.join();
  gst_object_unref(sink_);
}

std::vector<Frame> FrameTap::Between(double from, double to) {
  std::lock_guard lock(mutex_);
  std::vector<Frame> frames;
  for (const Frame& frame : frames_) {
    if (frame.time >= from - 1e-6 && frame.time < to) {
      frames.push_back(frame);
    }
  }
  return frames;
}

std::vector<Frame> FrameTap::Shown(double from, double to) {
  std::vector<Frame> frames = Between(from, to);
  std::erase_if(frames, [](const Frame& frame) { return frame.part < 0; });
  return frames;
}

void FrameTap::Run() {
  while (!stop_) {
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink_), 50 * GST_MSECOND);
    if (sample == nullptr) {
      continue;
    }
    GstVideoInfo info;
    GstVideoFrame video;
    if (!gst_video_info_from_caps(&info, gst_sample_get_caps(sample)) ||
        !gst_video_frame_map(&video, &info, gst_sample_get_buffer(sample), GST_MAP_READ)) {
      gst_sample_unref(sample);
      continue;
    }
    const int width = GST_VIDEO_INFO_WIDTH(&info);
    const int height = GST_VIDEO_INFO_HEIGHT(&info);
    const auto at = [&](int plane, int x, int y) {
      const auto* data = static_cast<const guint8*>(GST_VIDEO_FRAME_PLANE_DATA(&video, plane));
      return static_cast<int>(data[y * GST_VIDEO_FRAME_PLANE_STRIDE(&video, plane) + x]);
    };
    const int luma = at(0, width / 2, height / 2);
    const int cb = at(1, width / 4, height / 4);
    const int cr = at(2, width / 4, height / 4);
    gst_video_frame_unmap(&video);
    Frame frame;
    frame.time = RunningSeconds(sample);
    gst_sample_unref(sample);
    frame.part = std::abs(cb - 64) < 24    ? 0
                 : std::abs(cb - 192) < 24 ? 1
                 : std::abs(cr - 64) < 24  ? 2
                                           : -1;
    frame.index = static_cast<int>(std::lround((luma - 16) / 3.0));
    frame.luma = luma;
    frame.cb = cb;
    std::lock_guard lock(mutex_);
    frames_.push_back(frame);
  }
}

SoundTap::SoundTap(GstElement* sink) : sink_(sink), thread_([this] { Run(); }) {}

SoundTap::~SoundTap() {
  stop_ = true;
  thread_.join();
  gst_object_unref(sink_);
}

void SoundTap::Run() {
  while (!stop_) {
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink_), 50 * GST_MSECOND);
    if (sample == nullptr) {
      continue;
    }
    Block block;
    block.time = RunningSeconds(sample);
    GstMapInfo map;
    if (gst_buffer_map(gst_sample_get_buffer(sample), &map, GST_MAP_READ)) {
      const auto* values = reinterpret_cast<const std::int16_t*>(map.data);
      block.samples.assign(values, values + map.size / 2);
      gst_buffer_unmap(gst_sample_get_buffer(sample), &map);
    }
    gst_sample_unref(sample);
    std::lock_guard lock(mutex_);
    blocks_.push_back(std::move(block));
  }
}

template <typename Visit>
void SoundTap::Each(double from, double to, Visit visit) {
  std::lock_guard lock(mutex_);
  for (const Block& block : blocks_) {
    for (std::size_t i = 0; i + 1 < block.samples.size(); i += 2) {
      const double time = block.time + static_cast<double>(i / 2) / kRate;
      if (time >= from - 1e-7 && time < to) {
        visit(time, block.samples[i], block.samples[i + 1]);
      }
    }
  }
}

double SoundTap::FirstLoud(double from, double to) {
  double first = -1;
  Each(from, to, [&](double time, int left, int /*right*/) {
    if (first < 0 && std::abs(left) >= kLoud) {
      first = time;
    }
  });
  return first;
}

double SoundTap::LastLoud(double from, double to) {
  double last = -1;
  Each(from, to, [&](double time, int left, int /*right*/) {
    if (std::abs(left) >= kLoud) {
      last = time;
    }
  });
  return last;
}

double SoundTap::LongestQuiet(double from, double to) {
  double longest = 0;
  double quietSince = -1;
  double previous = from;
  Each(from, to, [&](double time, int left, int /*right*/) {
    // A missing stretch of samples is quiet too.
    if (time - previous > 1.5 / kRate) {
      longest = std::max(longest, time - previous);
    }
    previous = time;
    if (std::abs(left) >= kLoud) {
      quietSince = -1;
      return;
    }
    if (quietSince < 0) {
      quietSince = time;
    }
    longest = std::max(longest, time - quietSince + 1 / kRate);
  });
  return longest;
}

double SoundTap::Rms(int channel, double from, double to) {
  double sum = 0;
  std::size_t count = 0;
  Each(from, to, [&](double /*time*/, int left, int right) {
    const double value = (channel == 0 ? left : right) / 32768.0;
    sum += value * value;
    ++count;
  });
  return count == 0 ? 0.0 : std::sqrt(sum / static_cast<double>(count));
}

}  // namespace vidra::test
