#include "playout/players/gstreamer/GstOutput.h"

#include <gst/app/gstappsrc.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <regex>
#include <vector>

namespace vidra {
namespace {

// Where one of the sink description's unlinked inputs belongs.
enum class Input { Video, Audio, Either };

Input InputOf(GstPad* ghost) {
  GstPad* target = gst_ghost_pad_get_target(GST_GHOST_PAD(ghost));
  if (target == nullptr) {
    return Input::Either;
  }
  Input input = Input::Either;
  if (GstElement* element = gst_pad_get_parent_element(target)) {
    if (GstElementFactory* factory = gst_element_get_factory(element)) {
      const std::string klass =
          gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS);
      if (klass.find("Audio") != std::string::npos) {
        input = Input::Audio;
      } else if (klass.find("Video") != std::string::npos ||
                 klass.find("Image") != std::string::npos) {
        input = Input::Video;
      }
    }
    gst_object_unref(element);
  }
  gst_object_unref(target);
  return input;
}

// The unlinked sink pads of the elements in a bin, in the order the description names the
// elements (a bin keeps its newest child first).
void CollectInputs(GstBin* bin, std::vector<GstPad*>& inputs) {
  std::vector<GstElement*> children;
  GstIterator* elements = gst_bin_iterate_elements(bin);
  GValue value = G_VALUE_INIT;
  while (gst_iterator_next(elements, &value) == GST_ITERATOR_OK) {
    children.insert(children.begin(), GST_ELEMENT(g_value_get_object(&value)));
    g_value_reset(&value);
  }
  g_value_unset(&value);
  gst_iterator_free(elements);
  for (GstElement* child : children) {
    if (GST_IS_BIN(child) && GST_OBJECT_FLAG_IS_SET(child, GST_ELEMENT_FLAG_SINK) == FALSE &&
        gst_element_get_factory(child) == nullptr) {
      CollectInputs(GST_BIN(child), inputs);
      continue;
    }
    GstIterator* pads = gst_element_iterate_sink_pads(child);
    while (gst_iterator_next(pads, &value) == GST_ITERATOR_OK) {
      auto* pad = GST_PAD(g_value_get_object(&value));
      if (!gst_pad_is_linked(pad)) {
        inputs.push_back(GST_PAD(gst_object_ref(pad)));
      }
      g_value_reset(&value);
    }
    g_value_unset(&value);
    gst_iterator_free(pads);
  }
}

// Gives each free input of the sink bin a ghost pad and sorts them: an element that says it
// takes video or audio gets that; generic ones (fakesink, appsink, a queue) take video first,
// then audio, in the order the description names them.
bool SortInputs(GstElement* sinkBin, GstPad*& video, GstPad*& audio, std::string& error) {
  std::vector<GstPad*> inputs;
  CollectInputs(GST_BIN(sinkBin), inputs);
  std::vector<GstPad*> either;
  for (GstPad* input : inputs) {
    GstPad* ghost = gst_ghost_pad_new(nullptr, input);
    gst_object_unref(input);
    gst_pad_set_active(ghost, TRUE);
    gst_element_add_pad(sinkBin, ghost);
    const Input kind = InputOf(ghost);
    if (kind == Input::Video && video == nullptr) {
      video = ghost;
    } else if (kind == Input::Audio && audio == nullptr) {
      audio = ghost;
    } else if (kind == Input::Either) {
      either.push_back(ghost);
    }
  }
  for (GstPad* pad : either) {
    if (video == nullptr) {
      video = pad;
    } else if (audio == nullptr) {
      audio = pad;
    }
  }
  if (video == nullptr) {
    error = "the sink description has no free input for the video";
    return false;
  }
  return true;
}

GstElement* Make(const char* factory, GstElement* bin) {
  GstElement* element = gst_element_factory_make(factory, nullptr);
  if (element != nullptr) {
    gst_bin_add(GST_BIN(bin), element);
  }
  return element;
}

GstCaps* VideoCaps(const GstFormat& format) {
  // One fixed format for the whole life of the output: a clip never makes it renegotiate.
  return gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "width", G_TYPE_INT,
                             format.width, "height", G_TYPE_INT, format.height, "framerate",
                             GST_TYPE_FRACTION, format.rateNumerator, format.rateDenominator,
                             "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
}

GstCaps* AudioCaps() {
  return gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING, "S16LE", "layout",
                             G_TYPE_STRING, "interleaved", "rate", G_TYPE_INT, kOutputAudioRate,
                             "channels", G_TYPE_INT, kOutputAudioChannels, nullptr);
}

bool ParseRate(const std::string& text, GstFormat& format) {
  if (const auto slash = text.find('/'); slash != std::string::npos) {
    char* end = nullptr;
    const long numerator = std::strtol(text.c_str(), &end, 10);
    const long denominator = std::strtol(text.c_str() + slash + 1, &end, 10);
    if (numerator <= 0 || numerator > 1000000 || denominator <= 0 || denominator > 1000000) {
      return false;
    }
    format.rateNumerator = static_cast<std::int32_t>(numerator);
    format.rateDenominator = static_cast<std::int32_t>(denominator);
    return true;
  }
  const double rate = std::strtod(text.c_str(), nullptr);
  if (!(rate > 0 && rate <= 1000)) {
    return false;
  }
  gst_util_double_to_fraction(rate, &format.rateNumerator, &format.rateDenominator);
  return true;
}

}  // namespace

bool ParseGstDeviceParameter(const std::string& parameter, GstDeviceParameter& out,
                             std::string& error) {
  static const std::regex formatToken(R"(^(?:(\d{1,5})x(\d{1,5}))?(?:@([0-9./]+))?$)");
  std::string rest = parameter;
  rest.erase(0, rest.find_first_not_of(" \t"));
  const std::string first = rest.substr(0, rest.find_first_of(" \t"));
  std::smatch match;
  out = GstDeviceParameter{};
  if (!first.empty() && (first.find('x') != std::string::npos || first.front() == '@') &&
      std::regex_match(first, match, formatToken)) {
    if (match[1].matched) {
      out.format.width = std::stoi(match[1].str());
      out.format.height = std::stoi(match[2].str());
      if (out.format.width < 16 || out.format.height < 16 || out.format.width > 8192 ||
          out.format.height > 8192) {
        error = "the picture size '" + first + "' is not between 16x16 and 8192x8192";
        return false;
      }
    }
    if (match[3].matched && !ParseRate(match[3].str(), out.format)) {
      error = "the frame rate in '" + first + "' is not a number above 0 and up to 1000";
      return false;
    }
    rest.erase(0, first.size());
    rest.erase(0, rest.find_first_not_of(" \t"));
  }
  if (rest.empty()) {
    error = "the gstreamer player needs a sink description, e.g. 'autovideosink autoaudiosink'";
    return false;
  }
  out.sink = rest;
  return true;
}

std::string GstErrorText(GError* error, const gchar* debug) {
  std::string text = error != nullptr && error->message != nullptr ? error->message : "error";
  if (debug != nullptr && *debug != '\0') {
    text += " (";
    text += debug;
    text += ")";
  }
  return text;
}

GstElement* ParseSinkBin(const std::string& sink, std::string& error) {
  GError* parseError = nullptr;
  GstElement* bin = gst_parse_bin_from_description_full(sink.c_str(), FALSE, nullptr,
                                                        GST_PARSE_FLAG_FATAL_ERRORS, &parseError);
  if (bin == nullptr) {
    error =
        "the sink description '" + sink + "' does not parse: " + GstErrorText(parseError, nullptr);
    g_clear_error(&parseError);
  }
  return bin;
}

FrameGrid::FrameGrid(const GstFormat& format, GstClockTime epoch)
    : numerator_(format.rateNumerator), denominator_(format.rateDenominator) {
  GstClock* clock = gst_system_clock_obtain();
  const GstClockTime before = gst_clock_get_time(clock);
  const auto wall = static_cast<GstClockTime>(g_get_real_time()) * GST_USECOND;
  const GstClockTime after = gst_clock_get_time(clock);
  gst_object_unref(clock);
  const GstClockTime running = before / 2 + after / 2 - epoch;
  const guint64 frames =
      gst_util_uint64_scale_ceil(wall, static_cast<guint64>(numerator_), GST_SECOND * denominator_);
  const GstClockTime aligned =
      gst_util_uint64_scale_round(frames, GST_SECOND * denominator_, numerator_);
  origin_ = running + (aligned - wall);
}

GstClockTime FrameGrid::TimeOf(std::int64_t frame) const {
  const GstClockTime span = gst_util_uint64_scale_round(
      static_cast<guint64>(frame < 0 ? -frame : frame), GST_SECOND * denominator_, numerator_);
  return frame < 0 ? (span > origin_ ? 0 : origin_ - span) : origin_ + span;
}

std::int64_t FrameGrid::Nearest(double t) const {
  const double frames = (t - static_cast<double>(origin_) / GST_SECOND) *
                        static_cast<double>(numerator_) / static_cast<double>(denominator_);
  return std::llround(frames);
}

std::int64_t FrameGrid::FirstFrom(double t) const {
  const double frames = (t - static_cast<double>(origin_) / GST_SECOND) *
                        static_cast<double>(numerator_) / static_cast<double>(denominator_);
  return static_cast<std::int64_t>(std::ceil(frames - 1e-6));
}

std::size_t FrameGrid::SamplesOf(std::int64_t frame) const {
  const auto at = [this](std::int64_t k) {
    const std::int64_t product = k * kOutputAudioRate * denominator_;
    // Floor for frames before the origin too, so every frame's share adds up.
    return product >= 0 ? product / numerator_ : -((-product + numerator_ - 1) / numerator_);
  };
  return static_cast<std::size_t>(at(frame + 1) - at(frame));
}

GstOutput::~GstOutput() {
  Stop();
}

bool GstOutput::Start(const GstDeviceParameter& parameter, GstClockTime epoch,
                      GstBusSyncHandler handler, gpointer handlerData, std::string& error) {
  Stop();
  if (!Build(parameter, error)) {
    Stop();
    return false;
  }
  clock_ = gst_system_clock_obtain();
  gst_pipeline_use_clock(GST_PIPELINE(pipeline_), clock_);
  // Running time is counted from the player's epoch, not from this start, so the frames'
  // stamps mean the same in every pipeline the output is built as.
  gst_element_set_start_time(pipeline_, GST_CLOCK_TIME_NONE);
  gst_element_set_base_time(pipeline_, epoch);
  GstBus* bus = gst_element_get_bus(pipeline_);
  // Not waited for: the sinks complete their start only once the first frames come, which
  // the player's output thread pushes. A sink that cannot open fails here at once; one that
  // fails later posts an error on the bus.
  if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    error = "the output does not start";
    if (GstMessage* message = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
      GError* gerror = nullptr;
      gchar* debug = nullptr;
      gst_message_parse_error(message, &gerror, &debug);
      error = GstErrorText(gerror, debug);
      g_clear_error(&gerror);
      g_free(debug);
      gst_message_unref(message);
    }
    gst_object_unref(bus);
    Stop();
    return false;
  }
  // The handler sees every later message as it is posted and drops it, so nothing piles up
  // on a bus that no main loop reads.
  gst_bus_set_flushing(bus, TRUE);
  gst_bus_set_flushing(bus, FALSE);
  gst_bus_set_sync_handler(bus, handler, handlerData, nullptr);
  gst_object_unref(bus);
  return true;
}

bool GstOutput::Build(const GstDeviceParameter& parameter, std::string& error) {
  GstElement* sinkBin = ParseSinkBin(parameter.sink, error);
  if (sinkBin == nullptr) {
    return false;
  }
  GstPad* videoIn = nullptr;
  GstPad* audioIn = nullptr;
  if (!SortInputs(sinkBin, videoIn, audioIn, error)) {
    gst_object_unref(gst_object_ref_sink(sinkBin));
    return false;
  }
  pipeline_ = gst_pipeline_new("vidra-output");
  gst_bin_add(GST_BIN(pipeline_), sinkBin);

  videoSource_ = Make("appsrc", pipeline_);
  GstElement* videoQueue = Make("queue", pipeline_);
  audioSource_ = Make("appsrc", pipeline_);
  GstElement* audioQueue = Make("queue", pipeline_);
  GstElement* audioSink = audioIn == nullptr ? Make("fakesink", pipeline_) : nullptr;
  for (GstElement* element : {videoSource_, videoQueue, audioSource_, audioQueue}) {
    if (element == nullptr) {
      error = "a GStreamer element of the output is missing (plugins base and core are needed)";
      return false;
    }
  }
  GstCaps* video = VideoCaps(parameter.format);
  GstCaps* audio = AudioCaps();
  // Live sources stamped by the player: each buffer carries the running time of its frame and
  // arrives a little before it, so the sink shows it exactly then.
  for (auto [source, caps] : {std::pair{videoSource_, video}, std::pair{audioSource_, audio}}) {
    g_object_set(source, "caps", caps, "format", GST_FORMAT_TIME, "is-live", TRUE, "do-timestamp",
                 FALSE, "block", FALSE, "max-bytes", guint64{0}, nullptr);
  }
  gst_caps_unref(video);
  gst_caps_unref(audio);
  if (audioSink != nullptr) {
    g_object_set(audioSink, "sync", TRUE, "async", FALSE, nullptr);
  }

  bool linked =
      gst_element_link(videoSource_, videoQueue) && gst_element_link(audioSource_, audioQueue);
  GstPad* videoQueueOut = gst_element_get_static_pad(videoQueue, "src");
  linked = linked && gst_pad_link(videoQueueOut, videoIn) == GST_PAD_LINK_OK;
  gst_object_unref(videoQueueOut);
  if (audioSink != nullptr) {
    linked = linked && gst_element_link(audioQueue, audioSink);
  } else {
    GstPad* audioQueueOut = gst_element_get_static_pad(audioQueue, "src");
    linked = linked && gst_pad_link(audioQueueOut, audioIn) == GST_PAD_LINK_OK;
    gst_object_unref(audioQueueOut);
  }
  if (!linked) {
    error = "the sink description '" + parameter.sink +
            "' does not take raw video (and raw audio) of the channel's format";
    return false;
  }
  return true;
}

void GstOutput::Push(GstBuffer* video, GstBuffer* audio) {
  if (pipeline_ == nullptr) {
    gst_buffer_unref(video);
    gst_buffer_unref(audio);
    return;
  }
  // A refused buffer (the sink failed) is dropped: the bus tells the player about it.
  static_cast<void>(gst_app_src_push_buffer(GST_APP_SRC(videoSource_), video));
  static_cast<void>(gst_app_src_push_buffer(GST_APP_SRC(audioSource_), audio));
}

void GstOutput::Stop(bool drain) {
  if (pipeline_ != nullptr) {
    GstBus* bus = gst_element_get_bus(pipeline_);
    gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
    GstState state = GST_STATE_NULL;
    gst_element_get_state(pipeline_, &state, nullptr, 0);
    if (drain && state == GST_STATE_PLAYING) {
      // A muxer writes its index only at the end of its stream.
      static_cast<void>(gst_app_src_end_of_stream(GST_APP_SRC(videoSource_)));
      static_cast<void>(gst_app_src_end_of_stream(GST_APP_SRC(audioSource_)));
      if (GstMessage* message = gst_bus_timed_pop_filtered(
              bus, 2 * GST_SECOND,
              static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR))) {
        gst_message_unref(message);
      }
    }
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    gst_object_unref(bus);
    gst_object_unref(pipeline_);
    pipeline_ = nullptr;
    videoSource_ = nullptr;
    audioSource_ = nullptr;
  }
  if (clock_ != nullptr) {
    gst_object_unref(clock_);
    clock_ = nullptr;
  }
}

}  // namespace vidra
