#include "host/DurableState.h"

#include "common/Log.h"
#include "common/Text.h"
#include "rundown/Recovery.h"

namespace vidra {

HResult ReadStateOptions(const SettingsSource& source, StateOptions& out, std::string& error) {
  StateOptions read;
  if (const auto database = source.Get("State", "Database")) {
    read.database = std::string(Trim(*database));
  }
  if (const auto sync = source.Get("State", "Sync")) {
    const std::string_view word = Trim(*sync);
    if (!EqualsIgnoringCase(word, "normal") && !EqualsIgnoringCase(word, "full")) {
      error = source.Origin() + ": [State] Sync = '" + *sync + "' is not normal or full";
      return HResult::E_INVALIDARG;
    }
    read.fullSync = EqualsIgnoringCase(word, "full");
  }
  out = read;
  return HResult::S_OK;
}

HResult DurableState::Start(const StateOptions& options, const PairSettings& pair,
                            PlayoutManager& player, const std::shared_ptr<Clock>& clock,
                            Metrics& metrics, std::function<void()> promoted) {
  Stop();
  configured_ = options.database;
  if (options.database.empty()) {
    LogText(
        "VIDRA - no [State] Database is set: running orders are kept in memory only and are "
        "lost when the server stops");
    memory_ = std::make_unique<InMemoryAnswers>([clock] { return clock->UtcNow(); });
    answers_ = memory_.get();
  } else {
    std::string error;
    store_ = SqliteState::Open(StateSettings{options.database, options.fullSync}, clock, &metrics,
                               error);
    if (store_ == nullptr) {
      Log("VIDRA - %s", error.c_str());
      return HResult::E_FAIL;
    }
  }
  if (pair.role != PairRole::Single) {
    return StartPair(pair, player, clock, metrics, std::move(promoted));
  }
  if (store_ == nullptr) {
    return HResult::S_OK;
  }
  player.AttachPersistence(store_.get());
  std::string error;
  std::size_t restored = 0;
  if (!player.RestoreRunningOrders(*store_, restored, error)) {
    Log("VIDRA - the state database %s cannot be read back: %s", options.database.c_str(),
        error.c_str());
    player.AttachPersistence(nullptr);
    store_.reset();
    return HResult::E_FAIL;
  }
  restored_ = restored;
  Log("VIDRA - %zu running orders restored from %s", restored, options.database.c_str());
  answers_ = store_.get();
  return HResult::S_OK;
}

HResult DurableState::StartPair(const PairSettings& pair, PlayoutManager& player,
                                const std::shared_ptr<Clock>& clock, Metrics& metrics,
                                std::function<void()> promoted) {
  if (store_ == nullptr) {
    LogText(
        "VIDRA - pair: no [State] Database is set: the epoch is not kept over a restart, and "
        "a restarted server takes its state from its peer");
  }
  AnswerMemory& answers = store_ != nullptr ? static_cast<AnswerMemory&>(*store_) : *memory_;
  replicated_ =
      std::make_unique<ReplicatedState>(store_.get(), answers, &metrics, pair.syncTimeout);
  std::vector<std::string> channels;
  for (const ChannelRecord& channel : player.Channels()) {
    channels.push_back(channel.channelName);
  }
  PairHooks hooks;
  follower_ =
      std::make_unique<ChannelFollower>(player, *replicated_, pair.role == PairRole::Backup);
  WriterBehind(pair.role == PairRole::Backup);
  hooks.promoted = [this, &player, promoted = std::move(promoted)] {
    WriterBehind(false);
    if (follower_->Release()) {
      // What the channels play goes on without a gap: they already hold the main's running
      // orders and play its items.
      player.KeysAbove(replicated_->MaxKey());
      Log("VIDRA - pair: the running orders followed from the main go on as they are; %zu "
          "items on air or cued are told to the NRCS",
          player.TellOnAir());
    } else {
      std::size_t restored = 0;
      std::string error;
      if (!player.RestoreRunningOrders(*replicated_, restored, error)) {
        Log("VIDRA - pair: the running orders taken over cannot be read: %s", error.c_str());
      }
      restored_ = restored;
      Log("VIDRA - pair: %zu running orders taken over from the main's changes", restored);
    }
    if (promoted) {
      promoted();
    }
  };
  hooks.demoted = [this] {
    WriterBehind(true);
    follower_->Restart();
  };
  hooks.lacking = [this] { return follower_->Lacking(); };
  replicated_->SetFollower([this](const RoChange* change) { follower_->Take(change); });
  if (store_ != nullptr) {
    hooks.saveEpoch = [store = store_.get()](std::uint64_t epoch, std::string& error) {
      return store->SaveEpoch(epoch, error);
    };
  }
  link_ =
      std::make_unique<PairLink>(pair, *replicated_, clock, std::move(channels), player.frameRate,
                                 store_ != nullptr ? store_->Epoch() : 0, std::move(hooks));
  player.AttachPersistence(replicated_.get());
  std::string error;
  std::size_t restored = 0;
  // A backup's channels stay empty until the main's copy comes: its database may be behind.
  const bool read =
      replicated_->Open(error) &&
      (pair.role != PairRole::Main || player.RestoreRunningOrders(*replicated_, restored, error));
  if (!read || link_->Start() != HResult::S_OK) {
    if (!read) {
      Log("VIDRA - the state database %s cannot be read back: %s", configured_.c_str(),
          error.c_str());
    }
    player.AttachPersistence(nullptr);
    Stop();
    return HResult::E_FAIL;
  }
  restored_ = restored;
  if (pair.role == PairRole::Main) {
    Log("VIDRA - %zu running orders restored from %s", restored,
        store_ != nullptr ? configured_.c_str() : "memory");
  }
  answers_ = replicated_.get();
  return HResult::S_OK;
}

void DurableState::WriterBehind(bool backup) {
  if (store_ != nullptr && !store_->SetBackground(backup) && backup) {
    Log("VIDRA - pair: the state database's writer keeps its priority on this backup: this "
        "system would not let it have it back at a promotion");
  }
}

void DurableState::Stop() {
  answers_ = nullptr;
  link_.reset();
  follower_.reset();
  replicated_.reset();
  store_.reset();
  memory_.reset();
  restored_ = 0;
}

nlohmann::json DurableState::View() const {
  if (store_ == nullptr) {
    return configured_.empty() ? nlohmann::json(nullptr)
                               : nlohmann::json{{"database", configured_}, {"open", false}};
  }
  const StateStatus status = store_->Status();
  return {{"database", status.path},
          {"open", true},
          {"bytes", status.fileBytes},
          {"lastCommit", status.lastCommit},  // UTC; the view writes it in station time
          {"commits", status.commits},
          {"restoredAtStart", restored_.load()}};
}

}  // namespace vidra
