#include "playout/players/gstreamer/GstClip.h"

#include <algorithm>
#include <cmath>

#include "playout/players/gstreamer/GstOutput.h"

namespace vidra {
namespace {

constexpr const char* kClipKey = "vidra-clip";
// A clip that has not held its first frames after this long on the player clock has failed,
// so that a file on a hung share cannot hold its channel for ever.
constexpr double kLoadLimitSeconds = 10.0;

// The mixer shows an input frame in every output frame it overlaps, bounds included. Each
// picture therefore starts this much after its time and ends this much before its end, so
// that it overlaps exactly the one output frame in which its time falls.
constexpr double kEdge = 0.001;

gint64 Nanoseconds(double seconds) {
  return static_cast<gint64>(std::llround(seconds * 1e9));
}

GstElement* Add(GstElement* bin, const char* factory) {
  GstElement* element = gst_element_factory_make(factory, nullptr);
  if (element != nullptr) {
    gst_bin_add(GST_BIN(bin), element);
  }
  return element;
}

}  // namespace

GstClip::GstClip(std::string file, double in, double out, std::function<void()> wake)
    : file_(std::move(file)), in_(std::max(0.0, in)), out_(out), wake_(std::move(wake)) {}

GstClip::~GstClip() {
  Dispose();
  if (bin_ != nullptr) {
    gst_object_unref(bin_);
  }
}

bool GstClip::Open(GstElement* pipeline, int width, int height, double now) {
  std::lock_guard ops(opsMutex_);
  pipeline_ = pipeline;
  width_ = width;
  height_ = height;
  {
    std::lock_guard lock(stateMutex_);
    openedAt_ = now;
  }
  GError* uriError = nullptr;
  gchar* uri = gst_uri_is_valid(file_.c_str()) ? g_strdup(file_.c_str())
                                               : gst_filename_to_uri(file_.c_str(), &uriError);
  if (uri == nullptr) {
    std::lock_guard lock(stateMutex_);
    FailLocked("the file name '" + file_ + "' cannot be used: " + GstErrorText(uriError, nullptr));
    g_clear_error(&uriError);
    return false;
  }
  bin_ = GST_ELEMENT(gst_object_ref_sink(gst_bin_new(nullptr)));
  GstElement* decoder = Add(bin_, "uridecodebin");
  if (decoder == nullptr) {
    g_free(uri);
    std::lock_guard lock(stateMutex_);
    FailLocked("uridecodebin is missing (GStreamer plugins base)");
    return false;
  }
  g_object_set(decoder, "uri", uri, nullptr);
  g_free(uri);
  g_object_set_data(G_OBJECT(bin_), kClipKey, this);
  g_signal_connect(decoder, "pad-added", G_CALLBACK(&GstClip::OnPadAdded), this);
  g_signal_connect(decoder, "no-more-pads", G_CALLBACK(&GstClip::OnNoMorePads), this);
  gst_bin_add(GST_BIN(pipeline_), bin_);
  if (!gst_element_sync_state_with_parent(bin_)) {
    std::lock_guard lock(stateMutex_);
    FailLocked("the clip's decoder does not start");
    return false;
  }
  return true;
}

void GstClip::OnPadAdded(GstElement* /*decoder*/, GstPad* pad, gpointer self) {
  static_cast<GstClip*>(self)->AddStream(pad);
}

void GstClip::OnNoMorePads(GstElement* /*decoder*/, gpointer self) {
  auto* clip = static_cast<GstClip*>(self);
  {
    std::lock_guard lock(clip->stateMutex_);
    clip->noMorePads_ = true;
  }
  clip->wake_();
}

void GstClip::AddStream(GstPad* pad) {
  GstCaps* caps = gst_pad_get_current_caps(pad);
  if (caps == nullptr) {
    caps = gst_pad_query_caps(pad, nullptr);
  }
  const std::string kind = gst_structure_get_name(gst_caps_get_structure(caps, 0));
  gst_caps_unref(caps);
  const bool video = kind == "video/x-raw";
  const bool audio = kind == "audio/x-raw";
  if (!video && !audio) {
    // Subtitles, data or a stream without a decoder: consumed and not shown.
    GstElement* sink = Add(bin_, "fakesink");
    g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
    GstPad* sinkPad = gst_element_get_static_pad(sink, "sink");
    gst_pad_link(pad, sinkPad);
    gst_object_unref(sinkPad);
    gst_element_sync_state_with_parent(sink);
    return;
  }
  std::vector<GstElement*> chain;
  if (video) {
    chain = {Add(bin_, "videoconvert"), Add(bin_, "videoscale"), Add(bin_, "capsfilter")};
    GstCaps* size =
        gst_caps_new_simple("video/x-raw", "width", G_TYPE_INT, width_, "height", G_TYPE_INT,
                            height_, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
    g_object_set(chain.back(), "caps", size, nullptr);
    gst_caps_unref(size);
  } else {
    chain = {Add(bin_, "audioconvert"), Add(bin_, "audioresample"), Add(bin_, "capsfilter")};
    GstCaps* layout = gst_caps_new_simple("audio/x-raw", "rate", G_TYPE_INT, 48000, "channels",
                                          G_TYPE_INT, 2, nullptr);
    g_object_set(chain.back(), "caps", layout, nullptr);
    gst_caps_unref(layout);
  }
  if (std::find(chain.begin(), chain.end(), nullptr) != chain.end() ||
      !gst_element_link_many(chain[0], chain[1], chain[2], nullptr)) {
    std::lock_guard lock(stateMutex_);
    FailLocked("the converters of the clip are missing (GStreamer plugins base)");
    return;
  }
  GstPad* inner = gst_element_get_static_pad(chain.back(), "src");
  GstPad* ghost = gst_ghost_pad_new(nullptr, inner);
  gst_pad_set_active(ghost, TRUE);
  gst_element_add_pad(bin_, ghost);
  {
    std::lock_guard lock(stateMutex_);
    Stream stream;
    stream.video = video;
    stream.inner = inner;
    stream.ghost = ghost;
    gst_segment_init(&stream.segment, GST_FORMAT_TIME);
    streams_.push_back(stream);
  }
  // Held until Play: the first frame waits at the bin's edge, decoded and converted.
  const gulong hold = gst_pad_add_probe(
      ghost, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BLOCK | GST_PAD_PROBE_TYPE_BUFFER),
      &GstClip::OnHeld, this, nullptr);
  {
    std::lock_guard lock(stateMutex_);
    Find(ghost)->holdProbe = hold;
  }
  gst_pad_add_probe(
      inner,
      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                                   GST_PAD_PROBE_TYPE_EVENT_FLUSH),
      &GstClip::OnData, this, nullptr);
  for (GstElement* element : chain) {
    gst_element_sync_state_with_parent(element);
  }
  GstPad* first = gst_element_get_static_pad(chain.front(), "sink");
  if (gst_pad_link(pad, first) != GST_PAD_LINK_OK) {
    std::lock_guard lock(stateMutex_);
    FailLocked("a stream of the clip cannot be converted for the output");
  }
  gst_object_unref(first);
}

GstClip::Stream* GstClip::Find(GstPad* pad) {
  for (Stream& stream : streams_) {
    if (stream.ghost == pad || stream.inner == pad) {
      return &stream;
    }
  }
  return nullptr;
}

GstPadProbeReturn GstClip::OnHeld(GstPad* pad, GstPadProbeInfo* /*info*/, gpointer self) {
  auto* clip = static_cast<GstClip*>(self);
  {
    std::lock_guard lock(clip->stateMutex_);
    if (Stream* stream = clip->Find(pad)) {
      stream->held = true;
    }
  }
  clip->wake_();
  return GST_PAD_PROBE_OK;  // stays blocked until the hold is removed
}

GstPadProbeReturn GstClip::OnData(GstPad* pad, GstPadProbeInfo* info, gpointer self) {
  auto* clip = static_cast<GstClip*>(self);
  bool endNow = false;
  bool wake = false;
  GstPadProbeReturn result = GST_PAD_PROBE_OK;
  {
    std::lock_guard lock(clip->stateMutex_);
    Stream* stream = clip->Find(pad);
    if (stream == nullptr) {
      return GST_PAD_PROBE_OK;
    }
    if ((info->type & GST_PAD_PROBE_TYPE_BUFFER) != 0) {
      GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
      if (clip->dropped_ || stream->cut) {
        result = GST_PAD_PROBE_DROP;
      } else if (GST_BUFFER_PTS_IS_VALID(buffer)) {
        const guint64 running =
            gst_segment_to_running_time(&stream->segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
        if (running != GST_CLOCK_TIME_NONE) {
          const double into = static_cast<double>(running) / GST_SECOND;
          const double start = into + clip->offset_;
          // A cut is a player time; a clip played from its start without a seek ends at its
          // out point however long it was held.
          const bool pastOut =
              clip->unsought_ && clip->out_ > clip->in_ && into >= clip->out_ - clip->in_ - 1e-4;
          if (pastOut || (clip->cutAt_ >= 0 && start >= clip->cutAt_ - 1e-4)) {
            stream->cut = true;
            endNow = true;
            result = GST_PAD_PROBE_DROP;
          } else if (GST_BUFFER_DURATION_IS_VALID(buffer)) {
            stream->lastEnd = start + static_cast<double>(GST_BUFFER_DURATION(buffer)) / GST_SECOND;
            const auto edges = static_cast<GstClockTime>(Nanoseconds(2 * kEdge));
            if (stream->video && GST_BUFFER_DURATION(buffer) > edges) {
              buffer = gst_buffer_make_writable(buffer);
              GST_PAD_PROBE_INFO_DATA(info) = buffer;
              GST_BUFFER_DURATION(buffer) -= edges;
            }
          }
        }
      }
    } else if (GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info)) {
      switch (GST_EVENT_TYPE(event)) {
        case GST_EVENT_FLUSH_START:
          stream->held = false;
          break;
        case GST_EVENT_FLUSH_STOP:
          stream->flushed = clip->seekSent_;
          stream->ended = false;
          break;
        case GST_EVENT_SEGMENT:
          gst_event_copy_segment(event, &stream->segment);
          break;
        case GST_EVENT_EOS:
          stream->ended = true;
          wake = true;
          break;
        default:
          break;
      }
    }
  }
  if (endNow) {
    // The stream ends at the cut: the mixer drops the clip's pad from the picture.
    gst_pad_push_event(pad, gst_event_new_eos());
  }
  if (wake) {
    clip->wake_();
  }
  return result;
}

void GstClip::Service(double now) {
  std::lock_guard ops(opsMutex_);
  GstPad* seekPad = nullptr;
  {
    std::lock_guard lock(stateMutex_);
    if (phase_ != Phase::Loading || dropped_) {
      return;
    }
    if (now - openedAt_ > kLoadLimitSeconds) {
      FailLocked("the clip did not load within 10 s");
      return;
    }
    if (!noMorePads_) {
      return;
    }
    if (streams_.empty()) {
      FailLocked("the file has no picture or sound that can be decoded");
      return;
    }
    if (seekSent_ && std::all_of(streams_.begin(), streams_.end(), [](const Stream& stream) {
          return stream.flushed && stream.ended && !stream.held;
        })) {
      FailLocked("the file ended at the seek to its mark-in; its index may be damaged");
      return;
    }
    for (const Stream& stream : streams_) {
      if (!stream.held || (seekSent_ && !unsought_ && !stream.flushed)) {
        return;
      }
    }
    if (!seekSent_ && in_ <= 0) {
      // From the start there is nothing to seek: the frames held are the first ones, and the
      // out point is cut when the clip plays.
      seekSent_ = true;
      unsought_ = true;
    } else if (!seekSent_) {
      seekSent_ = true;
      seekPad = GST_PAD(gst_object_ref(streams_.front().ghost));
    }
  }
  if (seekPad != nullptr) {
    // Accurate, so the first frame is the one at mark-in; the stop makes the file's own end
    // of stream come at the out point.
    const bool stops = out_ > in_;
    GstEvent* seek = gst_event_new_seek(
        1.0, GST_FORMAT_TIME,
        static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE), GST_SEEK_TYPE_SET,
        Nanoseconds(in_), stops ? GST_SEEK_TYPE_SET : GST_SEEK_TYPE_NONE,
        stops ? Nanoseconds(out_) : gint64{-1});  // -1: no stop, as GST_CLOCK_TIME_NONE
    const bool sought = gst_pad_send_event(seekPad, seek);
    gst_object_unref(seekPad);
    std::lock_guard lock(stateMutex_);
    if (!sought) {
      if (in_ > 0) {
        FailLocked("the file cannot seek to its mark-in");
        return;
      }
      unsought_ = true;  // it plays from its start; the out point is cut instead
    } else {
      return;  // ready once the frames at mark-in are held
    }
  }
  GstPad* query = nullptr;
  {
    std::lock_guard lock(stateMutex_);
    query = GST_PAD(gst_object_ref(streams_.front().ghost));
  }
  gint64 duration = -1;
  const bool known = gst_pad_query_duration(query, GST_FORMAT_TIME, &duration) && duration > 0;
  gst_object_unref(query);
  std::lock_guard lock(stateMutex_);
  if (known) {
    fileLength_ = static_cast<double>(duration) / GST_SECOND;
  }
  if (phase_ == Phase::Loading) {
    phase_ = Phase::Ready;
  }
}

bool GstClip::Link(GstElement* videoMixer, GstElement* audioMixer, double start, int zorder) {
  std::lock_guard ops(opsMutex_);
  std::vector<Stream> streams;
  {
    std::lock_guard lock(stateMutex_);
    if (phase_ != Phase::Ready || dropped_) {
      return false;
    }
    offset_ = start;
    streams = streams_;
  }
  bool linked = true;
  for (Stream& stream : streams) {
    GstElement* mixer = stream.video ? videoMixer : audioMixer;
    GstPad* mixerPad = gst_element_request_pad_simple(mixer, "sink_%u");
    if (mixerPad == nullptr) {
      linked = false;
      continue;
    }
    if (stream.video) {
      g_object_set(mixerPad, "zorder", static_cast<guint>(zorder), nullptr);
    }
    gst_pad_set_offset(stream.ghost, Nanoseconds(start + kEdge));
    linked = gst_pad_link(stream.ghost, mixerPad) == GST_PAD_LINK_OK && linked;
    std::lock_guard lock(stateMutex_);
    if (Stream* own = Find(stream.ghost)) {
      own->mixer = mixer;
      own->mixerPad = mixerPad;
      own->holdProbe = 0;
    }
  }
  for (const Stream& stream : streams) {
    if (stream.holdProbe != 0) {
      gst_pad_remove_probe(stream.ghost, stream.holdProbe);
    }
  }
  if (!linked) {
    Fail("the clip cannot be linked to the output's mixers");
  }
  return linked;
}

void GstClip::CutAt(double at) {
  std::lock_guard lock(stateMutex_);
  cutAt_ = cutAt_ < 0 ? at : std::min(cutAt_, at);
}

void GstClip::AddHolds() {
  std::vector<GstPad*> ghosts;
  {
    std::lock_guard lock(stateMutex_);
    for (const Stream& stream : streams_) {
      if (stream.holdProbe == 0) {
        ghosts.push_back(stream.ghost);
      }
    }
  }
  for (GstPad* ghost : ghosts) {
    const gulong hold = gst_pad_add_probe(
        ghost, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BLOCK | GST_PAD_PROBE_TYPE_BUFFER),
        &GstClip::OnHeld, this, nullptr);
    std::lock_guard lock(stateMutex_);
    Find(ghost)->holdProbe = hold;
  }
}

void GstClip::Hold(double now) {
  std::lock_guard ops(opsMutex_);
  {
    std::lock_guard lock(stateMutex_);
    if (heldSince_ >= 0 || dropped_) {
      return;
    }
    heldSince_ = now;
  }
  AddHolds();
}

void GstClip::Release(double now) {
  std::lock_guard ops(opsMutex_);
  std::vector<std::pair<GstPad*, gulong>> holds;
  gint64 offset = 0;
  {
    std::lock_guard lock(stateMutex_);
    if (heldSince_ < 0) {
      return;
    }
    // The rest of the clip plays later by the time it was held.
    const double held = std::max(0.0, now - heldSince_);
    heldTotal_ += held;
    offset_ += held;
    heldSince_ = -1;
    offset = Nanoseconds(offset_ + kEdge);
    for (Stream& stream : streams_) {
      holds.emplace_back(stream.ghost, stream.holdProbe);
      stream.holdProbe = 0;
    }
  }
  for (auto [ghost, hold] : holds) {
    gst_pad_set_offset(ghost, offset);
    if (hold != 0) {
      gst_pad_remove_probe(ghost, hold);
    }
  }
}

void GstClip::Dispose() {
  std::lock_guard ops(opsMutex_);
  std::vector<Stream> streams;
  {
    std::lock_guard lock(stateMutex_);
    if (dropped_ || bin_ == nullptr) {
      dropped_ = true;
      return;
    }
    dropped_ = true;
    streams = streams_;
  }
  for (const Stream& stream : streams) {
    if (stream.mixerPad != nullptr) {
      gst_pad_unlink(stream.ghost, stream.mixerPad);
      gst_element_release_request_pad(stream.mixer, stream.mixerPad);
      gst_object_unref(stream.mixerPad);
    }
  }
  gst_element_set_state(bin_, GST_STATE_NULL);
  if (pipeline_ != nullptr && GST_OBJECT_PARENT(bin_) == GST_OBJECT(pipeline_)) {
    gst_bin_remove(GST_BIN(pipeline_), bin_);
  }
  g_object_set_data(G_OBJECT(bin_), kClipKey, nullptr);
  std::lock_guard lock(stateMutex_);
  for (Stream& stream : streams_) {
    gst_object_unref(stream.inner);
    stream.inner = nullptr;
    stream.mixerPad = nullptr;
  }
}

GstClip::Phase GstClip::GetPhase() {
  std::lock_guard lock(stateMutex_);
  return phase_;
}

std::string GstClip::Error() {
  std::lock_guard lock(stateMutex_);
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
  std::lock_guard lock(stateMutex_);
  FailLocked(reason);
}

bool GstClip::TakeFailureToLog() {
  std::lock_guard lock(stateMutex_);
  const bool take = !failureLogged_;
  failureLogged_ = true;
  return take;
}

double GstClip::LengthLocked() const {
  double length = out_ > in_ ? out_ - in_ : 0.0;
  if (fileLength_ >= 0 && (out_ <= in_ || fileLength_ < out_)) {
    length = std::max(0.0, fileLength_ - in_);
  }
  return length;
}

bool GstClip::Ended() {
  std::lock_guard lock(stateMutex_);
  if (dropped_ || phase_ == Phase::Failed) {
    return true;
  }
  if (streams_.empty()) {
    return false;
  }
  return std::all_of(streams_.begin(), streams_.end(),
                     [](const Stream& stream) { return stream.ended; });
}

bool GstClip::Finished(double now) {
  // A frame and a little more after its end, the last frame has left the mixer.
  return Ended() && now >= EndsAt(now) + 0.1;
}

double GstClip::EndsAt(double now) {
  std::lock_guard lock(stateMutex_);
  double end = offset_ + LengthLocked() + heldTotal_ + (heldSince_ >= 0 ? now - heldSince_ : 0.0);
  if (cutAt_ >= 0) {
    end = std::min(end, cutAt_);
  }
  if (phase_ == Phase::Failed) {
    end = std::min(end, now);
  }
  const bool allEnded =
      !streams_.empty() && std::all_of(streams_.begin(), streams_.end(),
                                       [](const Stream& stream) { return stream.ended; });
  if (allEnded) {
    double last = -1;
    for (const Stream& stream : streams_) {
      last = std::max(last, stream.lastEnd);
    }
    if (last >= 0) {
      end = std::min(end, last);
    }
  } else if (dropped_) {
    end = std::min(end, now);
  }
  return end;
}

bool GstClip::IsHeld() {
  std::lock_guard lock(stateMutex_);
  return heldSince_ >= 0;
}

bool GstClip::HandleMessage(GstMessage* message) {
  GstObject* object = GST_MESSAGE_SRC(message) != nullptr
                          ? GST_OBJECT(gst_object_ref(GST_MESSAGE_SRC(message)))
                          : nullptr;
  GstClip* clip = nullptr;
  while (object != nullptr && clip == nullptr) {
    clip = static_cast<GstClip*>(g_object_get_data(G_OBJECT(object), kClipKey));
    GstObject* parent = gst_object_get_parent(object);
    gst_object_unref(object);
    object = parent;
  }
  if (object != nullptr) {
    gst_object_unref(object);
  }
  if (clip == nullptr) {
    return false;
  }
  if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
    GError* error = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &error, &debug);
    {
      std::lock_guard lock(clip->stateMutex_);
      if (!clip->dropped_) {
        clip->FailLocked(GstErrorText(error, debug));
      }
    }
    g_clear_error(&error);
    g_free(debug);
    clip->wake_();
  }
  return true;
}

}  // namespace vidra
