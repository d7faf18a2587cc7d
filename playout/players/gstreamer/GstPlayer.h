// The GStreamer player: pictures and sound of a channel on a real output. Each clip decodes
// ahead in a pipeline of its own (GstClip); an output thread takes exactly one frame per
// frame period, from the clip whose turn it is or black, stamps it with its frame's running
// time and hands it to the output (GstOutput) a little before that time. So a clip of N
// frames shows N frames from its first frame on, chained clips follow frame by frame, and
// a clip whose frames are late is a logged event, never a silent gap. The player clock is
// the output's running time.
//
// Threads: the channel's playback thread calls the ChannelPlayer operations (roCtrl's stop
// too); the output thread decides and pushes frames; the worker loads, disposes and logs
// clips and rebuilds a failed output.
#pragma once

#include <gst/gst.h>

#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
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
  GstPlayer(const GstPlayer&) = delete;
  GstPlayer& operator=(const GstPlayer&) = delete;

  HResult GetFormat(std::int32_t& width, std::int32_t& height, double& frameRate) override;
  HResult SetFlagA(std::int32_t /*value*/) override { return HResult::S_OK; }
  HResult SetFlagB(std::int32_t /*value*/) override { return HResult::S_OK; }
  HResult PlayEmpty(double time, double second) override;
  HResult Prepare(const std::string& file, double in, double out, std::int32_t preload,
                  double& duration) override;
  HResult Unprepare() override;
  HResult Cue() override;
  HResult Play(double time, double second) override;
  HResult Join(double time) override;
  HResult Pause() override;
  HResult Resume() override;
  HResult GetTimes(double& startedAt, double& remaining) override;
  HResult GetState(std::int32_t& state) override;
  HResult GetLastError(std::string& text) override;
  HResult GetMode(std::int32_t& mode) override;
  HResult GetClock(double& clock) override;

  // An element of the output by name (the caller unrefs it), e.g. a test's appsink.
  GstElement* OutputElement(const std::string& name);
  // How long before its time each frame is decided and handed to the sink: the earliest a
  // start can be.
  double LeadSeconds() const;
  // The start of the output frame nearest to player time t.
  double FrameStartNearest(double t) const;

 private:
  static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

  // A clip on the output's timeline.
  struct Slot {
    std::shared_ptr<GstClip> clip;
    std::int64_t start = 0;     // the frame of its first picture
    std::int64_t cut = kNever;  // the first frame that is no longer its own
    bool joined = false;        // started at a frame past: those before the first shown go
    std::int64_t shown = 0;     // its frames shown so far
    std::int64_t extra = 0;     // frames it lasts beyond its own: paused, or late frames
    std::int64_t late = 0;      // frames that were not decoded in time
    std::int64_t missing = 0;   // frames its file did not have (black in their place)
    bool paused = false;
    bool exhausted = false;  // its file gave all it had
    double frozenRemaining = 0;
    GstBufferRef last;  // the picture shown last, shown again while paused or late
  };
  // The times of the clip that left the timeline last, for GetTimes until its end.
  struct Past {
    double startedAt = 0;
    double endsAt = 0;
  };

  static GstBusSyncReply OnMessage(GstBus* bus, GstMessage* message, gpointer self);
  bool StartOutput(std::string& error);  // call with outputMutex_ held
  void Wake();
  void Work();
  void OutputLoop();
  // Chooses frame k's picture and sound (new references). Call with mutex_ held.
  void Decide(std::int64_t k, GstBuffer*& picture, GstBuffer*& sound);
  HResult Start(double time, bool join);
  // Takes and drops the frames of a joined clip that were due before frame k.
  void SkipToFrame(Slot& slot, std::int64_t k);
  std::int64_t EndOf(const Slot& slot) const;  // the first frame after the slot
  void Retire(Slot& slot, std::int64_t at);    // call with mutex_ held
  void Retire(std::shared_ptr<GstClip> clip);  // call with mutex_ held
  void LogFailure(GstClip& clip);
  GstBuffer* Silence(std::size_t samples) const;

  const GstDeviceParameter parameter_;
  GstClockTime epoch_ = 0;
  FrameGrid grid_;
  double lead_ = 0.08;
  GstBufferRef black_;
  GstBufferRef silence_;

  std::mutex outputMutex_;  // guards output_ and outputRunning_ (pushes and a rebuild)
  GstOutput output_;
  bool outputRunning_ = false;

  std::mutex mutex_;  // guards the timeline below (the playback thread, roCtrl's stop and the
                      // output thread use it)
  std::shared_ptr<GstClip> prepared_;
  std::optional<Slot> starting_;  // played, its first frame not decided yet
  std::optional<Slot> current_;
  std::optional<Past> past_;
  std::vector<std::shared_ptr<GstClip>> retired_;  // for the worker to dispose
  std::int64_t nextFrame_ = 0;                     // the next frame the output thread decides
  std::string lastError_;

  std::mutex wakeMutex_;  // guards the flags below; the worker sleeps on it
  std::condition_variable wakeUp_;
  std::condition_variable outputWake_;  // the output thread sleeps on it too, until its frame
  bool woken_ = false;
  bool stopping_ = false;
  bool outputFailed_ = false;  // set from GStreamer's threads
  std::string outputFailure_;
  std::thread worker_;        // joined in the destructor
  std::thread outputThread_;  // joined in the destructor
};

}  // namespace vidra
