#include "playout/players/gstreamer/GstPlayer.h"

#include <gst/video/video.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "common/Log.h"

namespace vidra {
namespace {

// A frame is decided and handed over this many frame periods before its time (and never
// less than kLeastLead), so that a sink that waits for it has it in time even when the
// machine is busy.
constexpr double kLeadFrames = 2.0;
constexpr double kLeastLead = 0.06;
// Large enough for a frame's sound at any rate the device parameter allows (1 fps and up).
constexpr std::size_t kSilenceSamples = kOutputAudioRate + 1;

// Seconds of running time on the monotonic system clock that every pipeline of the player
// uses.
double RunningSeconds(GstClockTime epoch) {
  static GstClock* const clock = gst_system_clock_obtain();  // GStreamer's one system clock
  return static_cast<double>(static_cast<gint64>(gst_clock_get_time(clock) - epoch)) / GST_SECOND;
}

GstBuffer* BlackPicture(const GstFormat& format) {
  GstVideoInfo info;
  gst_video_info_init(&info);
  gst_video_info_set_format(&info, GST_VIDEO_FORMAT_I420, static_cast<guint>(format.width),
                            static_cast<guint>(format.height));
  GstBuffer* buffer = gst_buffer_new_allocate(nullptr, GST_VIDEO_INFO_SIZE(&info), nullptr);
  GstMapInfo map;
  if (gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
    // Studio black: luma 16, no colour.
    std::memset(map.data, 128, map.size);
    std::memset(map.data + GST_VIDEO_INFO_PLANE_OFFSET(&info, 0), 16,
                GST_VIDEO_INFO_PLANE_OFFSET(&info, 1) - GST_VIDEO_INFO_PLANE_OFFSET(&info, 0));
    gst_buffer_unmap(buffer, &map);
  }
  return buffer;
}

}  // namespace

bool GstPlayer::Initialise(std::string& error) {
  static std::once_flag once;
  static std::string failure;
  std::call_once(once, [] {
    GError* gerror = nullptr;
    if (!gst_init_check(nullptr, nullptr, &gerror)) {
      failure = "GStreamer cannot be set up: " + GstErrorText(gerror, nullptr);
      g_clear_error(&gerror);
    }
  });
  error = failure;
  return failure.empty();
}

HResult GstPlayer::Create(const std::string& parameter, std::unique_ptr<ChannelPlayer>& player,
                          std::string& error) {
  GstDeviceParameter parsed;
  if (!ParseGstDeviceParameter(parameter, parsed, error) || !Initialise(error)) {
    return HResult::E_INVALIDARG;
  }
  // A description that does not parse is a mistake in the settings, not a run-time failure.
  GstElement* probe = ParseSinkBin(parsed.sink, error);
  if (probe == nullptr) {
    return HResult::E_INVALIDARG;
  }
  gst_object_unref(gst_object_ref_sink(probe));
  auto made = std::make_unique<GstPlayer>(std::move(parsed));
  {
    std::lock_guard lock(made->outputMutex_);
    std::string failure;
    if (!made->StartOutput(failure)) {
      Log("VIDRA - GStreamer output '%s' does not run: %s", made->parameter_.sink.c_str(),
          failure.c_str());
    }
  }
  player = std::move(made);
  return HResult::S_OK;
}

GstPlayer::GstPlayer(GstDeviceParameter parameter)
    : parameter_(std::move(parameter)),
      black_(BlackPicture(parameter_.format)),
      silence_(
          gst_buffer_new_allocate(nullptr, kSilenceSamples * kOutputAudioChannels * 2, nullptr)) {
  gst_buffer_memset(silence_.Get(), 0, 0, gst_buffer_get_size(silence_.Get()));
  GstClock* clock = gst_system_clock_obtain();
  epoch_ = gst_clock_get_time(clock);
  gst_object_unref(clock);
  grid_ = FrameGrid(parameter_.format, epoch_);
  lead_ = std::max(kLeadFrames * parameter_.format.FrameSeconds(), kLeastLead);
  worker_ = std::thread([this] { Work(); });
  outputThread_ = std::thread([this] { OutputLoop(); });
}

GstPlayer::~GstPlayer() {
  {
    std::lock_guard lock(wakeMutex_);
    stopping_ = true;
  }
  wakeUp_.notify_all();
  outputWake_.notify_all();
  outputThread_.join();
  worker_.join();
  std::vector<std::shared_ptr<GstClip>> clips;
  {
    std::lock_guard lock(mutex_);
    clips = std::move(retired_);
    for (auto* slot : {&starting_, &current_}) {
      if (*slot) {
        clips.push_back((*slot)->clip);
      }
    }
    if (prepared_) {
      clips.push_back(prepared_);
    }
  }
  for (const auto& clip : clips) {
    clip->Dispose();
  }
  std::lock_guard lock(outputMutex_);
  output_.Stop(outputRunning_);
}

bool GstPlayer::StartOutput(std::string& error) {
  outputRunning_ = output_.Start(parameter_, epoch_, &GstPlayer::OnMessage, this, error);
  return outputRunning_;
}

GstBusSyncReply GstPlayer::OnMessage(GstBus* /*bus*/, GstMessage* message, gpointer self) {
  if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
    auto* player = static_cast<GstPlayer*>(self);
    GError* error = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &error, &debug);
    {
      std::lock_guard lock(player->wakeMutex_);
      if (!player->outputFailed_) {
        player->outputFailed_ = true;
        player->outputFailure_ = GstErrorText(error, debug);
      }
    }
    g_clear_error(&error);
    g_free(debug);
    player->Wake();
  }
  return GST_BUS_DROP;
}

void GstPlayer::Wake() {
  {
    std::lock_guard lock(wakeMutex_);
    woken_ = true;
  }
  wakeUp_.notify_one();
}

double GstPlayer::LeadSeconds() const {
  return lead_;
}

double GstPlayer::FrameStartNearest(double t) const {
  return grid_.SecondsOf(grid_.Nearest(t));
}

HResult GstPlayer::GetClock(double& clock) {
  clock = RunningSeconds(epoch_);
  return HResult::S_OK;
}

void GstPlayer::Work() {
  for (;;) {
    std::string outputFailure;
    {
      std::unique_lock lock(wakeMutex_);
      // Also every 100 ms, for the load limit.
      wakeUp_.wait_for(lock, std::chrono::milliseconds(100),
                       [this] { return woken_ || stopping_; });
      if (stopping_) {
        return;
      }
      woken_ = false;
      if (outputFailed_) {
        outputFailure = outputFailure_;
        outputFailed_ = false;
      }
    }
    if (!outputFailure.empty()) {
      // The sink failed (a window closed, a server gone): the output is built again so the
      // channel has somewhere to play; the clips go on and the frames meanwhile are lost.
      std::lock_guard lock(outputMutex_);
      if (outputRunning_) {
        Log("VIDRA - GStreamer output '%s' failed: %s", parameter_.sink.c_str(),
            outputFailure.c_str());
        output_.Stop(false);
        std::string error;
        if (StartOutput(error)) {
          Log("VIDRA - GStreamer output '%s' runs again", parameter_.sink.c_str());
        } else {
          Log("VIDRA - GStreamer output '%s' does not run: %s", parameter_.sink.c_str(),
              error.c_str());
        }
      }
    }
    std::vector<std::shared_ptr<GstClip>> clips;
    std::vector<std::shared_ptr<GstClip>> gone;
    {
      std::lock_guard lock(mutex_);
      gone = std::move(retired_);
      retired_.clear();
      for (auto* slot : {&starting_, &current_}) {
        if (*slot) {
          clips.push_back((*slot)->clip);
        }
      }
      if (prepared_) {
        clips.push_back(prepared_);
      }
    }
    double now = 0;
    static_cast<void>(GetClock(now));
    for (const auto& clip : gone) {
      LogFailure(*clip);
      clip->Dispose();
    }
    for (const auto& clip : clips) {
      clip->Service(now);
      LogFailure(*clip);
    }
  }
}

void GstPlayer::OutputLoop() {
  double now = 0;
  static_cast<void>(GetClock(now));
  std::int64_t next = grid_.FirstFrom(now + lead_);
  std::int64_t dropped = 0;
  for (;;) {
    const double due = grid_.SecondsOf(next) - lead_;
    {
      std::unique_lock lock(wakeMutex_);
      for (;;) {
        if (stopping_) {
          return;
        }
        static_cast<void>(GetClock(now));
        if (now >= due) {
          break;
        }
        outputWake_.wait_for(lock, std::chrono::duration<double>(due - now));
      }
    }
    GstBuffer* picture = nullptr;
    GstBuffer* sound = nullptr;
    {
      std::lock_guard lock(mutex_);
      // Frames whose time has passed (the machine stalled) are decided, so that the clips
      // keep their places, but not handed over: a sink would show them late or drop them.
      while (grid_.SecondsOf(next) < now) {
        Decide(next++, picture, sound);
        gst_buffer_unref(picture);
        gst_buffer_unref(sound);
        ++dropped;
      }
      Decide(next, picture, sound);
    }
    if (dropped > 0) {
      Log("VIDRA - GStreamer output '%s' fell behind: %lld frames were not shown",
          parameter_.sink.c_str(), static_cast<long long>(dropped));
      dropped = 0;
    }
    picture = gst_buffer_make_writable(picture);
    sound = gst_buffer_make_writable(sound);
    const GstClockTime at = grid_.TimeOf(next);
    const GstClockTime length = grid_.TimeOf(next + 1) - at;
    for (GstBuffer* buffer : {picture, sound}) {
      GST_BUFFER_PTS(buffer) = at;
      GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
      GST_BUFFER_DURATION(buffer) = length;
      GST_BUFFER_OFFSET(buffer) = GST_BUFFER_OFFSET_NONE;
      GST_BUFFER_OFFSET_END(buffer) = GST_BUFFER_OFFSET_NONE;
      GST_BUFFER_FLAGS(buffer) = 0;
    }
    {
      std::lock_guard lock(outputMutex_);
      if (outputRunning_) {
        output_.Push(picture, sound);
        picture = nullptr;
        sound = nullptr;
      }
    }
    if (picture != nullptr) {
      gst_buffer_unref(picture);
      gst_buffer_unref(sound);
    }
    ++next;
  }
}

GstBuffer* GstPlayer::Silence(std::size_t samples) const {
  return gst_buffer_copy_region(silence_.Get(), GST_BUFFER_COPY_ALL, 0,
                                std::min(samples, kSilenceSamples) * kOutputAudioChannels * 2);
}

std::int64_t GstPlayer::EndOf(const Slot& slot) const {
  const std::int64_t frames = slot.clip->Frames();
  if (frames < 0) {
    return slot.cut;
  }
  return std::min(slot.cut, slot.start + frames + slot.extra);
}

void GstPlayer::Retire(std::shared_ptr<GstClip> clip) {
  if (clip) {
    retired_.push_back(std::move(clip));
    Wake();
  }
}

void GstPlayer::Retire(Slot& slot, std::int64_t at) {
  past_ = Past{grid_.SecondsOf(slot.start), grid_.SecondsOf(std::min(EndOf(slot), at))};
  if (slot.late > 0) {
    Log("VIDRA - GStreamer clip %s: %lld frames were not decoded in time; the frame before "
        "was shown again, and the clip ended that much later",
        slot.clip->File().c_str(), static_cast<long long>(slot.late));
  }
  if (slot.missing > 0) {
    Log("VIDRA - GStreamer clip %s ended %lld frames before its out point; black was shown "
        "in their place",
        slot.clip->File().c_str(), static_cast<long long>(slot.missing));
  }
  Retire(std::move(slot.clip));
}

void GstPlayer::SkipToFrame(Slot& slot, std::int64_t k) {
  slot.joined = false;
  std::vector<std::int16_t> dropped;
  for (std::int64_t frame = slot.start; frame < k && !slot.exhausted; ++frame) {
    const std::size_t samples = grid_.SamplesOf(frame);
    dropped.assign(samples * kOutputAudioChannels, 0);
    GstBuffer* picture = nullptr;
    const GstClip::Take take = slot.clip->TakeFrame(samples, picture, dropped.data());
    if (take == GstClip::Take::Frame) {
      ++slot.shown;
      slot.last = GstBufferRef(picture);
    } else if (take == GstClip::Take::Ended) {
      slot.exhausted = true;
    } else {
      // Not decoded yet: the clip goes on from where it is and ends that much later, as a
      // late frame does.
      slot.extra += k - frame;
      ++slot.late;
      break;
    }
  }
}

void GstPlayer::Decide(std::int64_t k, GstBuffer*& picture, GstBuffer*& sound) {
  nextFrame_ = k + 1;
  const std::size_t samples = grid_.SamplesOf(k);
  if (starting_ && k >= starting_->start) {
    if (current_) {
      Retire(*current_, k);
    }
    current_ = std::move(starting_);
    starting_.reset();
    if (current_->joined) {
      SkipToFrame(*current_, k);
    }
  }
  if (current_ && k >= EndOf(*current_)) {
    Retire(*current_, k);
    current_.reset();
  }
  if (!current_) {
    picture = black_.Ref();
    sound = Silence(samples);
    return;
  }
  Slot& slot = *current_;
  if (slot.paused) {
    ++slot.extra;
    picture = slot.last ? slot.last.Ref() : black_.Ref();
    sound = Silence(samples);
    return;
  }
  if (!slot.exhausted) {
    GstBuffer* frame = nullptr;
    GstBuffer* own = gst_buffer_new_allocate(nullptr, samples * kOutputAudioChannels * 2, nullptr);
    GstMapInfo map;
    GstClip::Take take = GstClip::Take::Late;
    if (gst_buffer_map(own, &map, GST_MAP_WRITE)) {
      std::memset(map.data, 0, map.size);
      take = slot.clip->TakeFrame(samples, frame, reinterpret_cast<std::int16_t*>(map.data));
      gst_buffer_unmap(own, &map);
    }
    switch (take) {
      case GstClip::Take::Frame:
        ++slot.shown;
        slot.last = GstBufferRef(frame);
        picture = slot.last.Ref();
        sound = own;
        return;
      case GstClip::Take::Late:
        gst_buffer_unref(own);
        if (slot.late++ == 0) {
          Log("VIDRA - GStreamer clip %s: frame %lld was not decoded in time",
              slot.clip->File().c_str(), static_cast<long long>(slot.shown));
        }
        ++slot.extra;
        picture = slot.last ? slot.last.Ref() : black_.Ref();
        sound = Silence(samples);
        return;
      case GstClip::Take::Ended:
        gst_buffer_unref(own);
        slot.exhausted = true;
        if (slot.clip->Frames() < 0) {
          slot.cut = std::min(slot.cut, k);  // a clip without an out point ends with its file
          Retire(slot, k);
          current_.reset();
          picture = black_.Ref();
          sound = Silence(samples);
          return;
        }
        break;
    }
  }
  // The file ran out before the clip's out point: its remaining frames are black, so the
  // next item still starts at its time.
  ++slot.missing;
  picture = black_.Ref();
  sound = Silence(samples);
}

void GstPlayer::LogFailure(GstClip& clip) {
  if (clip.TakeFailureToLog()) {
    Log("VIDRA - GStreamer clip %s failed: %s", clip.File().c_str(), clip.Error().c_str());
  }
}

HResult GstPlayer::GetFormat(std::int32_t& width, std::int32_t& height, double& frameRate) {
  width = parameter_.format.width;
  height = parameter_.format.height;
  frameRate = parameter_.format.FrameRate();
  return HResult::S_OK;
}

HResult GstPlayer::PlayEmpty(double time, double /*second*/) {
  double now = 0;
  static_cast<void>(GetClock(now));
  std::lock_guard lock(mutex_);
  const std::int64_t cut = time > now ? std::max(grid_.Nearest(time), nextFrame_) : nextFrame_;
  if (starting_) {
    if (starting_->start >= cut) {
      Retire(std::move(starting_->clip));
      starting_.reset();
    } else {
      starting_->cut = std::min(starting_->cut, cut);
    }
  }
  if (current_) {
    current_->cut = std::min(current_->cut, cut);
  }
  return HResult::S_OK;
}

HResult GstPlayer::Prepare(const std::string& file, double in, double out, std::int32_t /*preload*/,
                           double& duration) {
  if (file.empty()) {
    std::lock_guard lock(mutex_);
    lastError_ = "no media file given";
    return HResult::E_INVALIDARG;
  }
  {
    std::lock_guard lock(outputMutex_);
    if (!outputRunning_) {
      std::string error;
      if (!StartOutput(error)) {
        std::lock_guard timeline(mutex_);
        lastError_ = "the output does not run: " + error;
        Retire(std::move(prepared_));
        prepared_.reset();
        return HResult::E_FAIL;
      }
      Log("VIDRA - GStreamer output '%s' runs again", parameter_.sink.c_str());
    }
  }
  double now = 0;
  static_cast<void>(GetClock(now));
  auto clip = std::make_shared<GstClip>(file, in, out, parameter_.format, [this] { Wake(); });
  // Opened without the timeline's lock: opening a file on a slow share must not hold up
  // the output thread. A clip that fails here reports it through its state.
  static_cast<void>(clip->Open(now));
  {
    std::lock_guard lock(mutex_);
    Retire(std::move(prepared_));
    prepared_ = std::move(clip);
    lastError_.clear();
  }
  duration = std::max(0.0, out - in);
  Wake();
  return HResult::S_OK;
}

HResult GstPlayer::Unprepare() {
  std::lock_guard lock(mutex_);
  Retire(std::move(prepared_));
  prepared_.reset();
  return HResult::S_OK;
}

HResult GstPlayer::Cue() {
  std::lock_guard lock(mutex_);
  if (!prepared_ || prepared_->GetPhase() != GstClip::Phase::Ready) {
    lastError_ = prepared_ ? prepared_->Error() : std::string();
    if (lastError_.empty()) {
      lastError_ = "no clip is prepared";
    }
    return HResult::E_UNEXPECTED;
  }
  return HResult::S_OK;  // the prepared clip already holds its first frames
}

HResult GstPlayer::Play(double time, double /*second*/) {
  return Start(time, false);
}

HResult GstPlayer::Join(double time) {
  return Start(time, true);
}

HResult GstPlayer::Start(double time, bool join) {
  bool running = false;
  {
    std::lock_guard lock(outputMutex_);
    running = outputRunning_;
  }
  double now = 0;
  static_cast<void>(GetClock(now));
  std::lock_guard lock(mutex_);
  if (!prepared_ || prepared_->GetPhase() != GstClip::Phase::Ready || !running) {
    lastError_ =
        prepared_ && !prepared_->Error().empty() ? prepared_->Error() : "no clip is prepared";
    return HResult::E_UNEXPECTED;
  }
  const std::int64_t wanted = grid_.Nearest(time);
  // The earliest frame is the first one the output thread has not decided yet; a join keeps
  // the frame it names and skips what was due before that.
  const std::int64_t start = join ? wanted : std::max(wanted, nextFrame_);
  if (start > wanted && wanted < grid_.Nearest(now)) {
    Log("VIDRA - GStreamer clip %s starts %lld frames after its time: it was not ready",
        prepared_->File().c_str(), static_cast<long long>(start - wanted));
  }
  if (starting_) {
    Retire(std::move(starting_->clip));  // a start that had not come yet is replaced
    starting_.reset();
  }
  if (current_) {
    current_->cut = std::min(current_->cut, start);
  }
  Slot slot;
  slot.clip = std::move(prepared_);
  slot.start = start;
  slot.joined = join && start < nextFrame_;
  starting_ = std::move(slot);
  prepared_.reset();
  return HResult::S_OK;
}

HResult GstPlayer::Pause() {
  double now = 0;
  static_cast<void>(GetClock(now));
  std::lock_guard lock(mutex_);
  if (current_ && !current_->paused && grid_.SecondsOf(current_->start) <= now) {
    const std::int64_t end = EndOf(*current_);
    if (end > nextFrame_) {
      current_->paused = true;
      current_->frozenRemaining = end == kNever ? 3600.0 : grid_.SecondsOf(end) - now;
    }
  }
  return HResult::S_OK;
}

HResult GstPlayer::Resume() {
  std::lock_guard lock(mutex_);
  if (current_) {
    current_->paused = false;
  }
  return HResult::S_OK;
}

HResult GstPlayer::GetTimes(double& startedAt, double& remaining) {
  double now = 0;
  static_cast<void>(GetClock(now));
  std::lock_guard lock(mutex_);
  startedAt = 0.0;
  remaining = 0.0;
  if (current_ && grid_.SecondsOf(current_->start) <= now) {
    startedAt = grid_.SecondsOf(current_->start);
    const std::int64_t end = EndOf(*current_);
    // A clip whose length is not known yet plays until its file ends.
    remaining = current_->paused ? current_->frozenRemaining
                : end == kNever  ? 3600.0
                                 : grid_.SecondsOf(end) - now;
    return HResult::S_OK;
  }
  if (past_ && past_->startedAt <= now) {
    startedAt = past_->startedAt;
    remaining = past_->endsAt - now;
  }
  return HResult::S_OK;
}

HResult GstPlayer::GetState(std::int32_t& state) {
  double now = 0;
  static_cast<void>(GetClock(now));
  std::lock_guard lock(mutex_);
  const bool starting =
      starting_.has_value() || (current_ && grid_.SecondsOf(current_->start) > now);
  if (starting && !prepared_) {
    state = kPlayerStarting;
  } else if (!prepared_) {
    state = kPlayerStarted;
  } else {
    switch (prepared_->GetPhase()) {
      case GstClip::Phase::Loading:
        state = kPlayerLoading;
        break;
      case GstClip::Phase::Ready:
        state = kPlayerPrepared;
        break;
      case GstClip::Phase::Failed:
        state = kPlayerFailed;
        break;
    }
  }
  return HResult::S_OK;
}

HResult GstPlayer::GetLastError(std::string& text) {
  std::lock_guard lock(mutex_);
  text = prepared_ && prepared_->GetPhase() == GstClip::Phase::Failed ? prepared_->Error()
                                                                      : lastError_;
  return HResult::S_OK;
}

HResult GstPlayer::GetMode(std::int32_t& mode) {
  mode = 0;
  return HResult::S_OK;
}

GstElement* GstPlayer::OutputElement(const std::string& name) {
  std::lock_guard lock(outputMutex_);
  return output_.Pipeline() == nullptr
             ? nullptr
             : gst_bin_get_by_name(GST_BIN(output_.Pipeline()), name.c_str());
}

}  // namespace vidra
