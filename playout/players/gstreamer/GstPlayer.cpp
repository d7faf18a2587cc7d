#include "playout/players/gstreamer/GstPlayer.h"

#include <algorithm>
#include <chrono>

#include "common/Log.h"

namespace vidra {
namespace {

// A start time already past is moved this far ahead, so the mixer still gets the first frame
// before it composes the frame at that time.
constexpr double kStartMargin = 0.010;
// A clip cut or replaced that has not ended this long after its cut leaves the output anyway.
constexpr double kLeaveLimit = 1.0;

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
    std::lock_guard lock(made->mutex_);
    std::string failure;
    if (!made->StartOutput(failure)) {
      Log("VIDRA - GStreamer output '%s' does not run: %s", made->parameter_.sink.c_str(),
          failure.c_str());
    }
  }
  player = std::move(made);
  return HResult::S_OK;
}

GstPlayer::GstPlayer(GstDeviceParameter parameter) : parameter_(std::move(parameter)) {
  GstClock* clock = gst_system_clock_obtain();
  epoch_ = gst_clock_get_time(clock);
  gst_object_unref(clock);
  worker_ = std::thread([this] { Work(); });
}

GstPlayer::~GstPlayer() {
  {
    std::lock_guard lock(wakeMutex_);
    stopping_ = true;
  }
  wakeUp_.notify_all();
  worker_.join();
  std::lock_guard lock(mutex_);
  for (auto& [clip, since] : leaving_) {
    clip->Dispose();
  }
  for (auto* clip : {&prepared_, &starting_, &current_}) {
    if (*clip) {
      (*clip)->Dispose();
    }
  }
  output_.Stop(outputRunning_);
}

bool GstPlayer::StartOutput(std::string& error) {
  outputRunning_ = output_.Start(parameter_, epoch_, &GstPlayer::OnMessage, this, error);
  return outputRunning_;
}

GstBusSyncReply GstPlayer::OnMessage(GstBus* /*bus*/, GstMessage* message, gpointer self) {
  if (!GstClip::HandleMessage(message) && GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
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

void GstPlayer::Work() {
  for (;;) {
    std::string outputFailure;
    {
      std::unique_lock lock(wakeMutex_);
      // Also every 100 ms, for the load limit and for clips that should have left by now.
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
    std::vector<std::shared_ptr<GstClip>> clips;
    std::vector<std::shared_ptr<GstClip>> gone;
    double now = 0;
    {
      std::lock_guard lock(mutex_);
      now = output_.Clock();
      if (!outputFailure.empty() && outputRunning_) {
        // The sink failed (a window closed, a server gone): its clips fail, and the output is
        // built again so the next item has somewhere to play.
        Log("VIDRA - GStreamer output '%s' failed: %s", parameter_.sink.c_str(),
            outputFailure.c_str());
        for (auto* clip : {&prepared_, &starting_, &current_}) {
          if (*clip) {
            (*clip)->Fail("the output failed: " + outputFailure);
            (*clip)->Dispose();
          }
        }
        for (auto& [clip, since] : leaving_) {
          clip->Dispose();
        }
        leaving_.clear();
        if (starting_) {
          current_ = std::move(starting_);
          startedAt_ = startingAt_;
        }
        output_.Stop(false);
        std::string error;
        if (StartOutput(error)) {
          Log("VIDRA - GStreamer output '%s' runs again", parameter_.sink.c_str());
        } else {
          Log("VIDRA - GStreamer output '%s' does not run: %s", parameter_.sink.c_str(),
              error.c_str());
        }
      }
      for (auto* clip : {&prepared_, &starting_, &current_}) {
        if (*clip) {
          clips.push_back(*clip);
        }
      }
      for (auto it = leaving_.begin(); it != leaving_.end();) {
        if (it->first->Finished(now) || it->first->IsHeld() || now > it->second + kLeaveLimit) {
          gone.push_back(it->first);
          it = leaving_.erase(it);
        } else {
          clips.push_back((it++)->first);
        }
      }
    }
    for (const auto& clip : gone) {
      clip->Dispose();
    }
    for (const auto& clip : clips) {
      clip->Service(now);
      LogFailure(*clip);
      if (clip->Finished(now)) {
        clip->Dispose();  // frees its decoders; its times stay readable
      }
    }
  }
}

void GstPlayer::Discard(std::shared_ptr<GstClip>& clip) {
  if (!clip) {
    return;
  }
  LogFailure(*clip);
  clip->Dispose();
  clip.reset();
}

void GstPlayer::LogFailure(GstClip& clip) {
  if (clip.TakeFailureToLog()) {
    Log("VIDRA - GStreamer clip %s failed: %s", clip.File().c_str(), clip.Error().c_str());
  }
}

void GstPlayer::Advance(double now) {
  if (starting_ && now >= startingAt_) {
    if (current_) {
      Retire(std::move(current_));
    }
    current_ = std::move(starting_);
    startedAt_ = startingAt_;
  }
}

void GstPlayer::Retire(std::shared_ptr<GstClip> clip) {
  const double now = output_.Clock();
  if (clip->Finished(now) || clip->IsHeld()) {
    clip->Dispose();
    return;
  }
  leaving_.emplace_back(std::move(clip), now);
}

HResult GstPlayer::GetFormat(std::int32_t& width, std::int32_t& height, double& frameRate) {
  width = parameter_.format.width;
  height = parameter_.format.height;
  frameRate = parameter_.format.FrameRate();
  return HResult::S_OK;
}

HResult GstPlayer::PlayEmpty(double time, double /*second*/) {
  std::lock_guard lock(mutex_);
  const double now = output_.Clock();
  Advance(now);
  const double end = time > now ? output_.Snap(time) : now;
  if (starting_ && end > startingAt_) {
    starting_->CutAt(end);
  }
  if (current_) {
    current_->CutAt(end);
    if (end <= now) {
      current_->Dispose();  // at once, even for a clip that is held
    }
  }
  return HResult::S_OK;
}

HResult GstPlayer::Prepare(const std::string& file, double in, double out, std::int32_t /*preload*/,
                           double& duration) {
  std::lock_guard lock(mutex_);
  const double now = output_.Clock();
  Advance(now);
  Discard(prepared_);
  if (file.empty()) {
    lastError_ = "no media file given";
    return HResult::E_INVALIDARG;
  }
  if (!outputRunning_) {
    std::string error;
    if (!StartOutput(error)) {
      lastError_ = "the output does not run: " + error;
      return HResult::E_FAIL;
    }
    Log("VIDRA - GStreamer output '%s' runs again", parameter_.sink.c_str());
  }
  auto clip = std::make_shared<GstClip>(file, in, out, [this] { Wake(); });
  static_cast<void>(
      clip->Open(output_.Pipeline(), parameter_.format.width, parameter_.format.height, now));
  duration = std::max(0.0, out - in);
  prepared_ = std::move(clip);
  lastError_.clear();
  Wake();
  return HResult::S_OK;
}

HResult GstPlayer::Unprepare() {
  std::lock_guard lock(mutex_);
  Discard(prepared_);
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
  return HResult::S_OK;  // the prepared clip already holds its first frame
}

HResult GstPlayer::Play(double time, double /*second*/) {
  std::lock_guard lock(mutex_);
  const double now = output_.Clock();
  Advance(now);
  if (!prepared_ || prepared_->GetPhase() != GstClip::Phase::Ready || !outputRunning_) {
    lastError_ =
        prepared_ && !prepared_->Error().empty() ? prepared_->Error() : "no clip is prepared";
    return HResult::E_UNEXPECTED;
  }
  double start = output_.Snap(std::max(time, now + kStartMargin));
  if (start < now + kStartMargin) {
    start = output_.Snap(start + 1.0 / parameter_.format.FrameRate());
  }
  Discard(starting_);  // a start that had not come yet is replaced by this one
  if (current_) {
    current_->CutAt(start);
  }
  if (!prepared_->Link(output_.VideoMixer(), output_.AudioMixer(), start, zorder_++)) {
    lastError_ = prepared_->Error();
    return HResult::E_FAIL;
  }
  starting_ = std::move(prepared_);
  startingAt_ = start;
  return HResult::S_OK;
}

HResult GstPlayer::Pause() {
  std::lock_guard lock(mutex_);
  const double now = output_.Clock();
  Advance(now);
  if (current_ && !current_->Ended() && now < current_->EndsAt(now)) {
    current_->Hold(now);
  }
  return HResult::S_OK;
}

HResult GstPlayer::Resume() {
  std::lock_guard lock(mutex_);
  const double now = output_.Clock();
  Advance(now);
  if (current_) {
    current_->Release(now);
  }
  return HResult::S_OK;
}

HResult GstPlayer::GetTimes(double& startedAt, double& remaining) {
  std::lock_guard lock(mutex_);
  const double now = output_.Clock();
  Advance(now);
  if (!current_) {
    startedAt = 0.0;
    remaining = 0.0;
    return HResult::S_OK;
  }
  startedAt = startedAt_;
  remaining = current_->EndsAt(now) - now;
  return HResult::S_OK;
}

HResult GstPlayer::GetState(std::int32_t& state) {
  std::lock_guard lock(mutex_);
  Advance(output_.Clock());
  if (starting_ && !prepared_) {
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

HResult GstPlayer::GetClock(double& clock) {
  std::lock_guard lock(mutex_);
  clock = output_.Clock();
  return HResult::S_OK;
}

GstElement* GstPlayer::OutputElement(const std::string& name) {
  std::lock_guard lock(mutex_);
  return output_.Pipeline() == nullptr
             ? nullptr
             : gst_bin_get_by_name(GST_BIN(output_.Pipeline()), name.c_str());
}

}  // namespace vidra
