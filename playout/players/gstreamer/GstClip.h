// One clip of a GStreamer channel: a decoder bin inside the output pipeline. It decodes the
// file, seeks to its mark-in and out and holds its first frame and audio at blocked pads
// until Play links it to the mixers with its start time as pad offset, so the mixers show it
// from exactly that running time. A clip ends at its out point, at a cut time, or when it is
// dropped; then it leaves the mixers and the output shows black again.
//
// Threads: the streaming threads of GStreamer only touch the fields under stateMutex_ and
// then call the player's wake function. Every operation that calls into GStreamer holds
// opsMutex_, so the player thread and the player's worker never work on one clip at once.
#pragma once

#include <gst/gst.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace vidra {

class GstClip {
 public:
  enum class Phase { Loading, Ready, Failed };

  // in and out in seconds of the file; wake is called from GStreamer's threads whenever the
  // worker has something to do for this clip.
  GstClip(std::string file, double in, double out, std::function<void()> wake);
  ~GstClip();
  GstClip(const GstClip&) = delete;
  GstClip& operator=(const GstClip&) = delete;

  // Adds the decoder to the pipeline and starts it; pictures are scaled to width × height.
  // False, with the reason in Error(), when the file cannot be named or a decoder is missing.
  bool Open(GstElement* pipeline, int width, int height, double now);
  // The worker's turn: seeks once the first frames are held, notes the clip ready, gives up
  // on a clip that does not load in time.
  void Service(double now);
  // Links the held streams to the mixers; the clip's first frame shows at running time start.
  bool Link(GstElement* videoMixer, GstElement* audioMixer, double start, int zorder);
  // Ends the clip at running time `at`: later frames are dropped and the streams end there.
  void CutAt(double at);
  void Hold(double now);
  void Release(double now);
  // Takes the clip out of the mixers and the pipeline. Safe to call more than once.
  void Dispose();

  Phase GetPhase();
  std::string Error();
  // Marks the clip failed with a reason from outside (the output failed); the first one stays.
  void Fail(const std::string& reason);
  // True once, for a failure that has not been logged yet.
  bool TakeFailureToLog();
  // True when every stream has ended or the clip was dropped. The mixers may still hold its
  // last frames then; Finished says when they have been shown.
  bool Ended();
  bool Finished(double now);
  // Running time at which the clip's output ends, as far as it is known at `now`: its start
  // plus its length and the time it was held, or earlier if it was cut, ended or failed.
  double EndsAt(double now);
  bool IsHeld();
  const std::string& File() const { return file_; }

  // Routes a bus message to the clip it came from; true if it was one of a clip's.
  static bool HandleMessage(GstMessage* message);

 private:
  struct Stream {
    bool video = false;
    GstPad* inner = nullptr;  // last element's source pad, where the stream is watched
    GstPad* ghost = nullptr;  // the bin's source pad, held and linked to a mixer
    GstPad* mixerPad = nullptr;
    GstElement* mixer = nullptr;
    gulong holdProbe = 0;
    bool held = false;     // a buffer waits at the hold
    bool flushed = false;  // the seek's flush has passed
    bool ended = false;
    bool cut = false;
    double lastEnd = -1;  // running time at which the last frame that passed ends
    GstSegment segment{};
  };

  static void OnPadAdded(GstElement* decoder, GstPad* pad, gpointer self);
  static void OnNoMorePads(GstElement* decoder, gpointer self);
  static GstPadProbeReturn OnHeld(GstPad* pad, GstPadProbeInfo* info, gpointer self);
  static GstPadProbeReturn OnData(GstPad* pad, GstPadProbeInfo* info, gpointer self);
  void AddStream(GstPad* pad);
  Stream* Find(GstPad* ghostOrInner);
  void FailLocked(const std::string& reason);
  void AddHolds();
  // Seconds that will play: out − in, or less if the file ends sooner (known once ready).
  double LengthLocked() const;

  const std::string file_;
  const double in_;
  const double out_;
  const std::function<void()> wake_;
  GstElement* pipeline_ = nullptr;  // not owned
  GstElement* bin_ = nullptr;       // owned by the pipeline while in it; we keep a reference
  int width_ = 0;
  int height_ = 0;

  std::mutex opsMutex_;  // serialises the operations that call into GStreamer

  std::mutex stateMutex_;  // guards every field below; never held across a GStreamer call
  std::vector<Stream> streams_;
  bool noMorePads_ = false;
  bool seekSent_ = false;
  bool unsought_ = false;  // plays from the file's start, its out point cut by us
  Phase phase_ = Phase::Loading;
  bool failureLogged_ = true;
  bool dropped_ = false;
  std::string error_;
  double openedAt_ = 0;
  double fileLength_ = -1;  // seconds, once known
  double offset_ = 0;       // running time of the clip's first frame, seconds
  double cutAt_ = -1;
  double heldSince_ = -1;
  double heldTotal_ = 0;
};

}  // namespace vidra
