// One clip of a GStreamer channel, decoded ahead of its turn. It is a pipeline of its own
// (uridecodebin, then per stream a converter to the channel's picture or sound and an
// appsink) that seeks to the mark-in and decodes into short queues, so its first frame and
// its sound are ready before it starts, whatever the codec's decoding latency. The player's
// output thread takes one frame at a time with exactly that frame's share of sound; the clip
// knows nothing of output times.
//
// Sound: the output is stereo. A stream of two or more channels gives left and right (more
// are mixed down); a first stream that is mono is paired with a second mono stream as left
// and right (MXF carries one mono track per channel), or goes to both sides alone. Further
// streams are decoded and dropped.
//
// Threads: GStreamer's streaming threads fill the queues and wait while they are full; the
// player's worker drives the loading (Open, Service) and the end (Dispose); the output
// thread takes frames. mutex_ guards every field the three share and is never held across
// a call that changes a pipeline's state.
#pragma once

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "playout/players/gstreamer/GstOutput.h"

namespace vidra {

// One reference to a GstBuffer, given back when it goes.
class GstBufferRef {
 public:
  GstBufferRef() = default;
  explicit GstBufferRef(GstBuffer* taken) : buffer_(taken) {}
  GstBufferRef(const GstBufferRef& other)
      : buffer_(other.buffer_ != nullptr ? gst_buffer_ref(other.buffer_) : nullptr) {}
  GstBufferRef(GstBufferRef&& other) noexcept : buffer_(std::exchange(other.buffer_, nullptr)) {}
  GstBufferRef& operator=(GstBufferRef other) noexcept {
    std::swap(buffer_, other.buffer_);
    return *this;
  }
  ~GstBufferRef() {
    if (buffer_ != nullptr) {
      gst_buffer_unref(buffer_);
    }
  }
  GstBuffer* Get() const { return buffer_; }
  // A new reference for the caller.
  GstBuffer* Ref() const { return buffer_ != nullptr ? gst_buffer_ref(buffer_) : nullptr; }
  explicit operator bool() const { return buffer_ != nullptr; }

 private:
  GstBuffer* buffer_ = nullptr;
};

class GstClip {
 public:
  enum class Phase { Loading, Ready, Failed };
  // What TakeFrame found: a frame, none yet (decoding is behind), or none any more.
  enum class Take { Frame, Late, Ended };

  // in and out in seconds of the file (out ≤ in: to the end of the file); pictures are made
  // to the output's format. wake is called from GStreamer's threads whenever the worker has
  // something to do for this clip.
  GstClip(std::string file, double in, double out, const GstFormat& format,
          std::function<void()> wake);
  ~GstClip();
  GstClip(const GstClip&) = delete;
  GstClip& operator=(const GstClip&) = delete;

  // Builds the pipeline and starts it loading. False, with the reason in Error(), when the
  // file cannot be named or GStreamer lacks an element.
  bool Open(double now);
  // The worker's turn: seeks once the clip has prerolled, lets it decode ahead, notes it
  // ready once its first frame is there, gives up on a clip that does not load in time.
  void Service(double now);
  // The output thread's frame: its picture (a new reference) and `samples` stereo samples of
  // sound written to sound (2 × samples values, left and right).
  Take TakeFrame(std::size_t samples, GstBuffer*& picture, std::int16_t* sound);
  // The frames the clip plays, mark-in to out point at the output's rate; -1 when it plays
  // to the end of its file and that end is not known yet.
  std::int64_t Frames();
  // Stops the pipeline and lets it go; the worker's, or the owner's once the worker ended.
  void Dispose();

  Phase GetPhase();
  std::string Error();
  // Marks the clip failed with a reason from outside; the first reason stays.
  void Fail(const std::string& reason);
  // True once, for a failure that has not been logged yet.
  bool TakeFailureToLog();
  const std::string& File() const { return file_; }

 private:
  enum class Step { Opening, Seeking, Starting, Running };
  struct Sound {
    GstElement* sink = nullptr;
    int channels = 1;
    std::deque<std::int16_t> samples;  // interleaved, from clip sample frontIndex on
    bool stamped = false;              // firstTime is known
    bool placed = false;               // frontIndex is known
    GstClockTime firstTime = 0;        // stream time of its first sample
    std::int64_t frontIndex = 0;       // clip sample (48 kHz from the first frame) at front
    bool ended = false;
  };

  static void OnPadAdded(GstElement* decoder, GstPad* pad, gpointer self);
  static void OnNoMorePads(GstElement* decoder, gpointer self);
  static GstFlowReturn OnSample(GstAppSink* sink, gpointer self);
  static void OnEos(GstAppSink* sink, gpointer self);
  static GstBusSyncReply OnMessage(GstBus* bus, GstMessage* message, gpointer self);
  void AddStream(GstPad* pad);
  GstElement* AddChain(GstPad* pad, const std::vector<const char*>& factories, GstCaps* caps);
  void TakePicture(GstSample* sample);
  void TakeSound(Sound& sound, GstSample* sample);
  void PlaceSounds();                          // call with mutex_ held
  bool SoundReady(std::size_t samples) const;  // call with mutex_ held
  std::size_t PictureRoom() const;             // call with mutex_ held
  void FailLocked(const std::string& reason);
  void SetState(GstState state);

  const std::string file_;
  const double in_;
  const double out_;
  const GstFormat format_;
  const std::function<void()> wake_;
  GstElement* pipeline_ = nullptr;  // owned
  std::mutex padMutex_;             // serialises pad-added, which builds the chains

  std::mutex mutex_;              // guards every field below
  std::condition_variable room_;  // streaming threads wait here for room in a queue
  Phase phase_ = Phase::Loading;
  Step step_ = Step::Opening;
  std::string error_;
  std::string missing_;  // what GStreamer said it lacks, as "no decoder for …"
  bool failureLogged_ = true;
  bool disposed_ = false;
  bool noMorePads_ = false;
  int asyncDone_ = 0;
  double openedAt_ = 0;
  double fileStart_ = 0;  // stream time of the file's first frame, seconds
  std::int64_t frames_ = -1;
  GstElement* pictureSink_ = nullptr;
  std::deque<GstSample*> pictures_;  // owned references
  bool pictureEnded_ = false;
  bool originKnown_ = false;
  GstClockTime origin_ = 0;  // stream time of the first frame
  std::vector<Sound> sounds_;
  std::int64_t cursor_ = 0;  // clip samples taken so far
};

}  // namespace vidra
