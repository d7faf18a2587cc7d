#include "playout/players/gstreamer/GstClip.h"

#include <gst/pbutils/missing-plugins.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "playout/players/gstreamer/GstMissing.h"

namespace vidra {
namespace {

// A clip that has not its first frame ready after this long on the player clock has failed,
// so that a file on a hung share cannot hold its channel for ever.
constexpr double kLoadLimitSeconds = 10.0;
// Frames decoded ahead: enough to ride out a slow frame of a long-GOP decoder.
constexpr std::size_t kPicturesAhead = 12;
// While a sound stream lags (files interleave sound in long runs), pictures may run this far
// ahead so that the demuxer can reach the sound; beyond it the output goes on without it.
constexpr std::size_t kPicturesMostAhead = 75;
// Sound decoded ahead of the frames, in samples of one channel.
constexpr std::size_t kSoundMostAhead = std::size_t{10} * kOutputAudioRate;

gint64 Nanoseconds(double seconds) {
  return static_cast<gint64>(std::llround(seconds * 1e9));
}

GstElement* AddTo(GstElement* pipeline, const char* factory) {
  GstElement* element = gst_element_factory_make(factory, nullptr);
  if (element != nullptr) {
    gst_bin_add(GST_BIN(pipeline), element);
  }
  return element;
}

GstClockTime StreamTimeOf(GstSample* sample) {
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  const GstSegment* segment = gst_sample_get_segment(sample);
  if (buffer == nullptr || segment == nullptr || !GST_BUFFER_PTS_IS_VALID(buffer)) {
    return GST_CLOCK_TIME_NONE;
  }
  return gst_segment_to_stream_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
}

}  // namespace

GstClip::GstClip(std::string file, double in, double out, const GstFormat& format,
                 std::function<void()> wake)
    : file_(std::move(file)),
      in_(std::max(0.0, in)),
      out_(out),
      format_(format),
      wake_(std::move(wake)) {
  if (out_ > in_) {
    frames_ = std::llround((out_ - in_) * format_.FrameRate());
  }
  // The streaming threads hold on to their Sound while they wait; it must never move.
  sounds_.reserve(2);
}

GstClip::~GstClip() {
  Dispose();
}

bool GstClip::Open(double now) {
  {
    std::lock_guard lock(mutex_);
    openedAt_ = now;
  }
  GError* uriError = nullptr;
  gchar* uri = gst_uri_is_valid(file_.c_str()) ? g_strdup(file_.c_str())
                                               : gst_filename_to_uri(file_.c_str(), &uriError);
  if (uri == nullptr) {
    std::lock_guard lock(mutex_);
    FailLocked("the file name '" + file_ + "' cannot be used: " + GstErrorText(uriError, nullptr));
    g_clear_error(&uriError);
    return false;
  }
  pipeline_ = GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr)));
  GstElement* decoder = AddTo(pipeline_, "uridecodebin");
  if (decoder == nullptr) {
    g_free(uri);
    std::lock_guard lock(mutex_);
    FailLocked("uridecodebin is missing (GStreamer plugins base)");
    return false;
  }
  g_object_set(decoder, "uri", uri, nullptr);
  g_free(uri);
  g_signal_connect(decoder, "pad-added", G_CALLBACK(&GstClip::OnPadAdded), this);
  g_signal_connect(decoder, "no-more-pads", G_CALLBACK(&GstClip::OnNoMorePads), this);
  GstBus* bus = gst_element_get_bus(pipeline_);
  gst_bus_set_sync_handler(bus, &GstClip::OnMessage, this, nullptr);
  gst_object_unref(bus);
  // Paused, it prerolls: every stream's first decoded buffer waits at its sink.
  if (gst_element_set_state(pipeline_, GST_STATE_PAUSED) == GST_STATE_CHANGE_FAILURE) {
    std::lock_guard lock(mutex_);
    FailLocked(missing_.empty() ? "the clip's decoder does not start" : missing_);
    return false;
  }
  return true;
}

void GstClip::SetState(GstState state) {
  if (gst_element_set_state(pipeline_, state) == GST_STATE_CHANGE_FAILURE) {
    std::lock_guard lock(mutex_);
    FailLocked("the clip's pipeline does not start");
  }
}

GstBusSyncReply GstClip::OnMessage(GstBus* /*bus*/, GstMessage* message, gpointer self) {
  auto* clip = static_cast<GstClip*>(self);
  bool wake = false;
  switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_ERROR: {
      GError* error = nullptr;
      gchar* debug = nullptr;
      gst_message_parse_error(message, &error, &debug);
      {
        std::lock_guard lock(clip->mutex_);
        // A missing plugin says what it is better than the error that follows it.
        clip->FailLocked(clip->missing_.empty() ? GstErrorText(error, debug) : clip->missing_);
      }
      g_clear_error(&error);
      g_free(debug);
      wake = true;
      break;
    }
    case GST_MESSAGE_ELEMENT:
      if (gst_is_missing_plugin_message(message)) {
        const std::string missing = MissingPluginText(message);
        std::lock_guard lock(clip->mutex_);
        if (clip->missing_.empty()) {
          clip->missing_ = missing;
        }
      }
      break;
    case GST_MESSAGE_ASYNC_DONE: {
      std::lock_guard lock(clip->mutex_);
      ++clip->asyncDone_;
      wake = true;
      break;
    }
    default:
      break;
  }
  if (wake) {
    clip->wake_();
  }
  return GST_BUS_DROP;
}

void GstClip::OnPadAdded(GstElement* /*decoder*/, GstPad* pad, gpointer self) {
  static_cast<GstClip*>(self)->AddStream(pad);
}

void GstClip::OnNoMorePads(GstElement* /*decoder*/, gpointer self) {
  auto* clip = static_cast<GstClip*>(self);
  {
    std::lock_guard lock(clip->mutex_);
    clip->noMorePads_ = true;
  }
  clip->wake_();
}

GstElement* GstClip::AddChain(GstPad* pad, const std::vector<const char*>& factories,
                              GstCaps* caps) {
  std::vector<GstElement*> chain;
  chain.reserve(factories.size() + 2);
  for (const char* factory : factories) {
    chain.push_back(AddTo(pipeline_, factory));
  }
  GstElement* sink = AddTo(pipeline_, "appsink");
  GstElement* filter = AddTo(pipeline_, "capsfilter");
  if (sink == nullptr || filter == nullptr ||
      std::find(chain.begin(), chain.end(), nullptr) != chain.end()) {
    std::lock_guard lock(mutex_);
    FailLocked("the converters of the clip are missing (GStreamer plugins base)");
    return nullptr;
  }
  g_object_set(filter, "caps", caps, nullptr);
  if (std::string(factories.front()) == "videorate") {
    // From the first frame on, never frames made up before it back to the segment's start.
    g_object_set(chain.front(), "skip-to-first", TRUE, nullptr);
  }
  chain.push_back(filter);
  chain.push_back(sink);
  // Not synchronised: the clip decodes as fast as its queues take it; the output keeps time.
  g_object_set(sink, "sync", FALSE, "enable-last-sample", FALSE, "max-buffers", 1u, nullptr);
  GstAppSinkCallbacks callbacks{};
  callbacks.eos = &GstClip::OnEos;
  callbacks.new_sample = &GstClip::OnSample;
  gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, this, nullptr);
  bool linked = true;
  for (std::size_t i = 0; i + 1 < chain.size(); ++i) {
    linked = linked && gst_element_link(chain[i], chain[i + 1]);
  }
  for (auto element = chain.rbegin(); element != chain.rend(); ++element) {
    gst_element_sync_state_with_parent(*element);
  }
  GstPad* first = gst_element_get_static_pad(chain.front(), "sink");
  linked = linked && gst_pad_link(pad, first) == GST_PAD_LINK_OK;
  gst_object_unref(first);
  if (!linked) {
    std::lock_guard lock(mutex_);
    FailLocked("a stream of the clip cannot be converted for the output");
    return nullptr;
  }
  return sink;
}

void GstClip::AddStream(GstPad* pad) {
  std::lock_guard pads(padMutex_);
  GstCaps* caps = gst_pad_get_current_caps(pad);
  if (caps == nullptr) {
    caps = gst_pad_query_caps(pad, nullptr);
  }
  const GstStructure* structure = gst_caps_get_structure(caps, 0);
  const std::string kind = structure != nullptr ? gst_structure_get_name(structure) : "";
  int channels = 2;
  if (structure != nullptr && !gst_structure_get_int(structure, "channels", &channels)) {
    channels = 2;
  }
  gst_caps_unref(caps);
  channels = channels >= 2 ? 2 : 1;
  bool wantPicture = false;
  bool wantSound = false;
  {
    std::lock_guard lock(mutex_);
    wantPicture = kind == "video/x-raw" && pictureSink_ == nullptr;
    wantSound = kind == "audio/x-raw" &&
                (sounds_.empty() ||
                 (sounds_.size() == 1 && sounds_.front().channels == 1 && channels == 1));
  }
  if (wantPicture) {
    GstCaps* picture = gst_caps_new_simple(
        "video/x-raw", "format", G_TYPE_STRING, "I420", "width", G_TYPE_INT, format_.width,
        "height", G_TYPE_INT, format_.height, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1,
        "framerate", GST_TYPE_FRACTION, format_.rateNumerator, format_.rateDenominator, nullptr);
    // Frames are taken by their timestamps, not one by one: another frame rate, or a
    // variable one behind caps that claim the channel's (as Matroska writes it), is
    // converted by repeating or dropping frames; the channel's own rate passes frame for
    // frame. Another size is scaled with borders that keep the picture's shape.
    GstElement* sink = AddChain(pad, {"videorate", "videoconvert", "videoscale"}, picture);
    gst_caps_unref(picture);
    std::lock_guard lock(mutex_);
    pictureSink_ = sink;
    return;
  }
  if (wantSound) {
    std::size_t index = 0;
    {
      std::lock_guard lock(mutex_);
      Sound entry;
      entry.channels = channels;
      sounds_.push_back(std::move(entry));  // at most two: room was kept for them
      index = sounds_.size() - 1;
    }
    GstCaps* sound = gst_caps_new_simple(
        "audio/x-raw", "format", G_TYPE_STRING, "S16LE", "layout", G_TYPE_STRING, "interleaved",
        "rate", G_TYPE_INT, kOutputAudioRate, "channels", G_TYPE_INT, channels, nullptr);
    GstElement* sink = AddChain(pad, {"audioconvert", "audioresample"}, sound);
    gst_caps_unref(sound);
    std::lock_guard lock(mutex_);
    sounds_[index].sink = sink;
    sounds_[index].ended = sink == nullptr;
    return;
  }
  // Further streams, data or subtitles: consumed and dropped, never holding up the rest.
  GstElement* sink = AddTo(pipeline_, "fakesink");
  if (sink == nullptr) {
    return;
  }
  g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
  gst_element_sync_state_with_parent(sink);
  GstPad* sinkPad = gst_element_get_static_pad(sink, "sink");
  static_cast<void>(gst_pad_link(pad, sinkPad));
  gst_object_unref(sinkPad);
}

GstFlowReturn GstClip::OnSample(GstAppSink* sink, gpointer self) {
  auto* clip = static_cast<GstClip*>(self);
  GstSample* sample = gst_app_sink_pull_sample(sink);
  if (sample == nullptr) {
    return GST_FLOW_EOS;
  }
  bool picture = false;
  {
    std::lock_guard lock(clip->mutex_);
    picture = GST_ELEMENT(sink) == clip->pictureSink_;
  }
  if (picture) {
    clip->TakePicture(sample);
  } else {
    std::unique_lock lock(clip->mutex_);
    for (Sound& sound : clip->sounds_) {
      if (GST_ELEMENT(sink) == sound.sink) {
        lock.unlock();
        clip->TakeSound(sound, sample);
        sample = nullptr;
        break;
      }
    }
    if (sample != nullptr) {
      gst_sample_unref(sample);
    }
  }
  std::lock_guard lock(clip->mutex_);
  return clip->disposed_ ? GST_FLOW_FLUSHING : GST_FLOW_OK;
}

void GstClip::TakePicture(GstSample* sample) {
  bool first = false;
  {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [this] { return disposed_ || pictures_.size() < PictureRoom(); });
    if (disposed_) {
      gst_sample_unref(sample);
      return;
    }
    const GstClockTime at = StreamTimeOf(sample);
    // The seek went a frame before the mark-in, so that the sound covers the first frame;
    // the frame before the mark-in that this lets through is dropped here.
    if (in_ > 0 && GST_CLOCK_TIME_IS_VALID(at) &&
        static_cast<double>(at) / GST_SECOND + format_.FrameSeconds() / 4 < fileStart_ + in_) {
      gst_sample_unref(sample);
      return;
    }
    if (!originKnown_) {
      originKnown_ = true;
      origin_ = GST_CLOCK_TIME_IS_VALID(at) ? at : 0;
      PlaceSounds();
    }
    first = pictures_.empty() && phase_ == Phase::Loading;
    pictures_.push_back(sample);
  }
  if (first) {
    wake_();
  }
}

void GstClip::TakeSound(Sound& sound, GstSample* sample) {
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  GstMapInfo map;
  if (buffer == nullptr || !gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    gst_sample_unref(sample);
    return;
  }
  const GstClockTime at = StreamTimeOf(sample);
  {
    std::unique_lock lock(mutex_);
    // Sound does not run away from the pictures: a long interleave is fine, a stream that
    // only ever gives sound is held.
    room_.wait(
        lock, [&] { return disposed_ || sound.samples.size() < kSoundMostAhead * sound.channels; });
    if (!disposed_) {
      if (!sound.stamped) {
        sound.stamped = true;
        sound.firstTime = GST_CLOCK_TIME_IS_VALID(at) ? at : 0;
        PlaceSounds();
      }
      const auto* values = reinterpret_cast<const std::int16_t*>(map.data);
      sound.samples.insert(sound.samples.end(), values, values + map.size / sizeof(std::int16_t));
      PlaceSounds();
    }
  }
  gst_buffer_unmap(buffer, &map);
  gst_sample_unref(sample);
}

void GstClip::PlaceSounds() {
  if (!originKnown_) {
    return;
  }
  for (Sound& sound : sounds_) {
    if (!sound.stamped) {
      continue;
    }
    if (!sound.placed) {
      // Sound is lined up with the first frame by its time, not by when it came.
      const double offset = (static_cast<double>(sound.firstTime) - static_cast<double>(origin_)) /
                            GST_SECOND * kOutputAudioRate;
      sound.frontIndex = std::llround(offset);
      sound.placed = true;
    }
    // Samples before what the output has taken (sound that began before the first frame)
    // are dropped.
    if (sound.frontIndex < cursor_) {
      const auto drop = static_cast<std::size_t>(cursor_ - sound.frontIndex) *
                        static_cast<std::size_t>(sound.channels);
      const std::size_t dropped = std::min(drop, sound.samples.size());
      sound.samples.erase(sound.samples.begin(),
                          sound.samples.begin() + static_cast<std::ptrdiff_t>(dropped));
      sound.frontIndex += static_cast<std::int64_t>(dropped) / sound.channels;
      if (dropped < drop) {
        continue;  // still before the cursor; the next samples go on dropping
      }
    }
  }
}

void GstClip::OnEos(GstAppSink* sink, gpointer self) {
  auto* clip = static_cast<GstClip*>(self);
  {
    std::lock_guard lock(clip->mutex_);
    if (GST_ELEMENT(sink) == clip->pictureSink_) {
      clip->pictureEnded_ = true;
    }
    for (Sound& sound : clip->sounds_) {
      if (GST_ELEMENT(sink) == sound.sink) {
        sound.ended = true;
      }
    }
  }
  clip->wake_();
}

std::size_t GstClip::PictureRoom() const {
  // Pictures may run further ahead while a sound stream still lacks what they need.
  const auto needed = static_cast<std::int64_t>(static_cast<double>(pictures_.size() + 1) *
                                                kOutputAudioRate * format_.FrameSeconds());
  for (const Sound& sound : sounds_) {
    if (sound.ended) {
      continue;
    }
    const std::int64_t have =
        sound.placed ? sound.frontIndex - cursor_ +
                           static_cast<std::int64_t>(sound.samples.size()) / sound.channels
                     : 0;
    if (have < needed) {
      return kPicturesMostAhead;
    }
  }
  return kPicturesAhead;
}

bool GstClip::SoundReady(std::size_t samples) const {
  for (const Sound& sound : sounds_) {
    if (sound.ended) {
      continue;
    }
    if (!sound.placed) {
      return false;
    }
    const std::int64_t through =
        sound.frontIndex + static_cast<std::int64_t>(sound.samples.size()) / sound.channels;
    if (through < cursor_ + static_cast<std::int64_t>(samples)) {
      return false;
    }
  }
  return true;
}

GstClip::Take GstClip::TakeFrame(std::size_t samples, GstBuffer*& picture, std::int16_t* sound) {
  std::lock_guard lock(mutex_);
  if (phase_ == Phase::Failed || disposed_) {
    return Take::Ended;
  }
  if (pictures_.empty()) {
    return pictureEnded_ ? Take::Ended : Take::Late;
  }
  // A frame waits for its sound, unless the pictures have run as far ahead as they may.
  if (!SoundReady(samples) && pictures_.size() < kPicturesMostAhead) {
    return Take::Late;
  }
  GstSample* sample = pictures_.front();
  pictures_.pop_front();
  picture = gst_buffer_ref(gst_sample_get_buffer(sample));
  gst_sample_unref(sample);
  const auto value = [&](const Sound& from, std::int64_t index, int channel) -> std::int16_t {
    const std::int64_t at = index - from.frontIndex;
    if (!from.placed || at < 0 ||
        at >= static_cast<std::int64_t>(from.samples.size()) / from.channels) {
      return 0;
    }
    return from.samples[static_cast<std::size_t>(at * from.channels + channel)];
  };
  if (!sounds_.empty()) {
    const Sound& first = sounds_.front();
    const Sound* second = sounds_.size() > 1 ? &sounds_[1] : nullptr;
    for (std::size_t j = 0; j < samples; ++j) {
      const std::int64_t index = cursor_ + static_cast<std::int64_t>(j);
      const std::int16_t left = value(first, index, 0);
      std::int16_t right = left;
      if (first.channels == 2) {
        right = value(first, index, 1);
      } else if (second != nullptr) {
        right = value(*second, index, 0);
      }
      sound[2 * j] = left;
      sound[2 * j + 1] = right;
    }
  }
  cursor_ += static_cast<std::int64_t>(samples);
  PlaceSounds();
  room_.notify_all();
  return Take::Frame;
}

void GstClip::Service(double now) {
  enum class Act { None, Seek, Play } act = Act::None;
  GstAppSink* sink = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (phase_ != Phase::Loading || disposed_ || pipeline_ == nullptr) {
      return;
    }
    if (now - openedAt_ > kLoadLimitSeconds) {
      FailLocked("the clip did not load within 10 s");
      return;
    }
    switch (step_) {
      case Step::Opening:
        if (asyncDone_ < 1) {
          return;
        }
        if (pictureSink_ == nullptr) {
          FailLocked(missing_.empty() ? "the file has no picture (sound only, or no video "
                                        "stream that can be decoded)"
                                      : missing_);
          return;
        }
        step_ = in_ > 0 ? Step::Seeking : Step::Starting;
        act = in_ > 0 ? Act::Seek : Act::Play;
        sink = GST_APP_SINK(gst_object_ref(pictureSink_));
        break;
      case Step::Seeking:
        if (asyncDone_ < 2) {
          return;
        }
        step_ = Step::Starting;
        act = Act::Play;
        break;
      case Step::Starting:
      case Step::Running:
        if (!pictures_.empty() && (SoundReady(1) || pictures_.size() >= kPicturesMostAhead)) {
          step_ = Step::Running;
          phase_ = Phase::Ready;
        } else if (pictureEnded_ && pictures_.empty()) {
          FailLocked(in_ > 0 ? "the file has no frame at its mark-in" : "the file has no frame");
        }
        return;
    }
  }
  if (sink != nullptr) {
    // Mark-ins count from the file's first frame, whose time is not 0 in every container (a
    // transport stream's is often some seconds): the frame held in preroll says it.
    if (GstSample* preroll = gst_app_sink_try_pull_preroll(sink, 0)) {
      const GstClockTime start = StreamTimeOf(preroll);
      gst_sample_unref(preroll);
      std::lock_guard lock(mutex_);
      fileStart_ = GST_CLOCK_TIME_IS_VALID(start) ? static_cast<double>(start) / GST_SECOND : 0.0;
    }
    gst_object_unref(sink);
  }
  if (act == Act::Seek) {
    // A whole frame early: its sound starts with the frame at the mark-in (TakePicture
    // drops the frame before), and videorate, whose frames fall on a grid from the seek's
    // position, puts one exactly on the mark-in, where it takes the file's nearest frame
    // whatever the rounding of its time stamps.
    const double early = format_.FrameSeconds();
    if (!gst_element_seek_simple(
            pipeline_, GST_FORMAT_TIME,
            static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE),
            Nanoseconds(std::max(0.0, fileStart_ + in_ - early)))) {
      std::lock_guard lock(mutex_);
      FailLocked("the file cannot seek to its mark-in");
    }
    return;
  }
  if (act == Act::Play) {
    if (frames_ < 0) {
      gint64 duration = -1;
      if (gst_element_query_duration(pipeline_, GST_FORMAT_TIME, &duration) && duration > 0) {
        std::lock_guard lock(mutex_);
        frames_ =
            std::llround((static_cast<double>(duration) / GST_SECOND - in_) * format_.FrameRate());
      }
    }
    // Playing, unsynchronised: the queues fill, then decoding keeps pace with the output.
    SetState(GST_STATE_PLAYING);
  }
}

std::int64_t GstClip::Frames() {
  std::lock_guard lock(mutex_);
  return frames_;
}

void GstClip::Dispose() {
  {
    std::lock_guard lock(mutex_);
    if (disposed_) {
      return;
    }
    disposed_ = true;
  }
  room_.notify_all();  // streaming threads waiting for room give up
  if (pipeline_ == nullptr) {
    return;
  }
  gst_element_set_state(pipeline_, GST_STATE_NULL);
  GstBus* bus = gst_element_get_bus(pipeline_);
  gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
  gst_object_unref(bus);
  gst_object_unref(pipeline_);
  pipeline_ = nullptr;
  std::lock_guard lock(mutex_);
  for (GstSample* sample : pictures_) {
    gst_sample_unref(sample);
  }
  pictures_.clear();
  sounds_.clear();
}

GstClip::Phase GstClip::GetPhase() {
  std::lock_guard lock(mutex_);
  return phase_;
}

std::string GstClip::Error() {
  std::lock_guard lock(mutex_);
  return error_;
}

void GstClip::FailLocked(const std::string& reason) {
  if (phase_ == Phase::Failed) {
    return;
  }
  phase_ = Phase::Failed;
  error_ = reason;
  failureLogged_ = false;
}

void GstClip::Fail(const std::string& reason) {
  std::lock_guard lock(mutex_);
  FailLocked(reason);
}

bool GstClip::TakeFailureToLog() {
  std::lock_guard lock(mutex_);
  const bool take = !failureLogged_;
  failureLogged_ = true;
  return take;
}

}  // namespace vidra
