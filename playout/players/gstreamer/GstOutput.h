// The output of one GStreamer channel: a live pipeline that never stops. Black video and
// silent audio run into a compositor and an audio mixer, whose outputs go to the sink that the
// [Devices] entry describes. Clips join the mixers on their own pads at their start time and
// leave at their end, so the output keeps running across clips and shows black between them.
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
};

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

class GstOutput {
 public:
  GstOutput() = default;
  ~GstOutput();
  GstOutput(const GstOutput&) = delete;
  GstOutput& operator=(const GstOutput&) = delete;

  // Builds the pipeline and sets it playing with running time counted from epoch on the
  // monotonic system clock, so that an output built again keeps the same player clock.
  // False, with error, when the sink does not parse or the pipeline will not play.
  bool Start(const GstDeviceParameter& parameter, GstClockTime epoch, GstBusSyncHandler handler,
             gpointer handlerData, std::string& error);
  // Sets the pipeline to NULL and lets it go. With drain, a recording sink gets an end of
  // stream first and up to two seconds to write its file out.
  void Stop(bool drain = false);

  GstElement* Pipeline() const { return pipeline_; }
  GstElement* VideoMixer() const { return videoMixer_; }
  GstElement* AudioMixer() const { return audioMixer_; }
  // The player clock: running time of the pipeline in seconds.
  double Clock() const;
  // The start of the output frame nearest to player time t: clips start and end on frames.
  double Snap(double t) const;

 private:
  bool Build(const GstDeviceParameter& parameter, std::string& error);

  GstElement* pipeline_ = nullptr;  // owned
  GstElement* videoMixer_ = nullptr;
  GstElement* audioMixer_ = nullptr;
  GstClock* clock_ = nullptr;  // owned
  GstClockTime epoch_ = 0;
  GstFormat format_;
  GstClockTime gridStart_ = 0;  // running time of the output's first frame
};

}  // namespace vidra
