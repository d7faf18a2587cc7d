// The GStreamer player: pictures and sound of a channel on a real output. The output pipeline
// runs from creation to destruction; each clip is a decoder that joins it at its start time,
// so chained clips follow each other frame by frame and the output shows black and silence
// between them. The player clock is the output pipeline's running time.
#pragma once

#include <gst/gst.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "playout/ChannelPlayer.h"
#include "playout/players/gstreamer/GstClip.h"
#include "playout/players/gstreamer/GstOutput.h"

namespace vidra {

class GstPlayer final : public ChannelPlayer {
 public:
  // GStreamer is set up on first use; false, with error, if it cannot be.
  static bool Initialise(std::string& error);

  // A sink that does not parse is an error here; one that parses but fails to start is
  // logged and tried again at each Prepare, and its clips fail until it runs.
  static HResult Create(const std::string& parameter, std::unique_ptr<ChannelPlayer>& player,
                        std::string& error);
  explicit GstPlayer(GstDeviceParameter parameter);
  ~GstPlayer() override;

  HResult GetFormat(std::int32_t& width, std::int32_t& height, double& frameRate) override;
  HResult SetFlagA(std::int32_t /*value*/) override { return HResult::S_OK; }
  HResult SetFlagB(std::int32_t /*value*/) override { return HResult::S_OK; }
  HResult PlayEmpty(double time, double second) override;
  HResult Prepare(const std::string& file, double in, double out, std::int32_t preload,
                  double& duration) override;
  HResult Unprepare() override;
  HResult Cue() override;
  HResult Play(double time, double second) override;
  HResult Pause() override;
  HResult Resume() override;
  HResult GetTimes(double& startedAt, double& remaining) override;
  HResult GetState(std::int32_t& state) override;
  HResult GetLastError(std::string& text) override;
  HResult GetMode(std::int32_t& mode) override;
  HResult GetClock(double& clock) override;

  // An element of the output by name (the caller unrefs it), e.g. a test's appsink.
  GstElement* OutputElement(const std::string& name);

 private:
  static GstBusSyncReply OnMessage(GstBus* bus, GstMessage* message, gpointer self);
  bool StartOutput(std::string& error);        // call with mutex_ held
  void Advance(double now);                    // call with mutex_ held
  void Retire(std::shared_ptr<GstClip> clip);  // call with mutex_ held
  // Logs the clip's failure if nobody has yet, takes it out of the output and lets it go.
  void Discard(std::shared_ptr<GstClip>& clip);
  static void LogFailure(GstClip& clip);
  void Wake();
  void Work();

  const GstDeviceParameter parameter_;
  GstClockTime epoch_ = 0;

  std::mutex mutex_;  // guards the output and every clip field below (the playback thread and
                      // roCtrl's stop both call in)
  GstOutput output_;
  bool outputRunning_ = false;
  std::shared_ptr<GstClip> prepared_;
  std::shared_ptr<GstClip> starting_;  // played, its start time not come yet
  double startingAt_ = 0;
  std::shared_ptr<GstClip> current_;
  double startedAt_ = 0;
  // Clips replaced or cut, still in the pipeline until they end, with the time they left.
  std::vector<std::pair<std::shared_ptr<GstClip>, double>> leaving_;
  int zorder_ = 1;
  std::string lastError_;

  std::mutex wakeMutex_;  // guards the two flags below; the worker sleeps on it
  std::condition_variable wakeUp_;
  bool woken_ = false;
  bool stopping_ = false;
  bool outputFailed_ = false;  // set from GStreamer's threads
  std::string outputFailure_;
  std::thread worker_;  // joined in the destructor
};

}  // namespace vidra
