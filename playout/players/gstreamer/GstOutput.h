// The output of one GStreamer channel: a live pipeline that never stops, fed one picture and
// its sound per frame by the player's output thread through two appsrcs, into the sink that
// the [Devices] entry describes. It knows nothing of clips: what each frame shows is the
// player's choice. Frames lie on a fixed grid of running times (FrameGrid), kept across a
// rebuild of the pipeline, so the player clock and the frame numbers never jump.
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <string>

namespace vidra {

// The picture an output makes: what GetFormat reports.
struct GstFormat {
  std::int32_t width = 1920;
  std::int32_t height = 1080;
  std::int32_t rateNumerator = 25;
  std::int32_t rateDenominator = 1;

  double FrameRate() const { return static_cast<double>(rateNumerator) / rateDenominator; }
  double FrameSeconds() const { return static_cast<double>(rateDenominator) / rateNumerator; }
};

// The sound every output carries: 48 kHz, 16-bit, two channels.
constexpr int kOutputAudioRate = 48000;
constexpr int kOutputAudioChannels = 2;

// A parsed [Devices] parameter of the gstreamer backend: "[WxH][@FPS] SINK-DESCRIPTION". FPS
// is a number ("25", "29.97") or a fraction ("30000/1001"); the description is gst-launch
// syntax whose unlinked sink pads take the video and the audio.
struct GstDeviceParameter {
  GstFormat format;
  std::string sink;
};

// False, with error saying why, for a format that is not one or an empty sink.
bool ParseGstDeviceParameter(const std::string& parameter, GstDeviceParameter& out,
                             std::string& error);

// The sink description as a bin (floating), or null with error saying why it does not parse.
GstElement* ParseSinkBin(const std::string& sink, std::string& error);

// GStreamer's own text of an error: its message, then its debug detail in brackets.
std::string GstErrorText(GError* error, const gchar* debug);

// Frame k of an output starts at running time origin + k frames. The origin is a frame
// boundary of the wall clock (UTC nanoseconds a whole number of frames), so an instant such
// as 18:00:00.000 falls on the start of a frame, not inside one.
class FrameGrid {
 public:
  FrameGrid() = default;
  // epoch: the monotonic time at which running time 0 falls.
  FrameGrid(const GstFormat& format, GstClockTime epoch);

  GstClockTime TimeOf(std::int64_t frame) const;
  double SecondsOf(std::int64_t frame) const {
    return static_cast<double>(TimeOf(frame)) / GST_SECOND;
  }
  // The frame whose start is nearest to player time t (seconds of running time).
  std::int64_t Nearest(double t) const;
  // The first frame that starts at or after t.
  std::int64_t FirstFrom(double t) const;
  // The number of audio samples of frame k: its share of 48 kHz, so that 29.97 fps frames
  // carry 1601 or 1602 samples and never drift from the picture.
  std::size_t SamplesOf(std::int64_t frame) const;

 private:
  std::int64_t numerator_ = 25;
  std::int64_t denominator_ = 1;
  GstClockTime origin_ = 0;  // running time of frame 0
};

class GstOutput {
 public:
  GstOutput() = default;
  ~GstOutput();
  GstOutput(const GstOutput&) = delete;
  GstOutput& operator=(const GstOutput&) = delete;

  // Builds the pipeline and sets it playing with running time counted from epoch on the
  // monotonic system clock. False, with error, when the sink does not parse or the pipeline
  // will not play.
  bool Start(const GstDeviceParameter& parameter, GstClockTime epoch, GstBusSyncHandler handler,
             gpointer handlerData, std::string& error);
  // Sets the pipeline to NULL and lets it go. With drain, a recording sink gets an end of
  // stream first and up to two seconds to write its file out.
  void Stop(bool drain = false);
  bool Running() const { return pipeline_ != nullptr; }

  // Hands one frame's picture and sound, already stamped, to the sink; takes both buffers.
  void Push(GstBuffer* video, GstBuffer* audio);

  GstElement* Pipeline() const { return pipeline_; }

 private:
  bool Build(const GstDeviceParameter& parameter, std::string& error);

  GstElement* pipeline_ = nullptr;  // owned
  GstElement* videoSource_ = nullptr;
  GstElement* audioSource_ = nullptr;
  GstClock* clock_ = nullptr;  // owned
};

}  // namespace vidra
