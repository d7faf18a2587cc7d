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
  hooks.promoted = [this, &player, promoted = std::move(promoted)] {
    {
      std::lock_guard lock(followLock_);  // followed_ and the channels' running orders
      player.following = false;
      if (followed_) {
        // What the channels play goes on without a gap: they already hold the main's
        // running orders and play its items.
        player.KeysAbove(replicated_->MaxKey());
        Log("VIDRA - pair: the running orders followed from the main go on as they are");
      } else {
        std::size_t restored = 0;
        std::string error;
        if (!player.RestoreRunningOrders(*replicated_, restored, error)) {
          Log("VIDRA - pair: the running orders taken over cannot be read: %s", error.c_str());
        }
        restored_ = restored;
        Log("VIDRA - pair: %zu running orders taken over from the main's changes", restored);
      }
      followed_ = false;
    }
    if (promoted) {
      promoted();
    }
  };
  hooks.demoted = [this, &player] {
    std::lock_guard lock(followLock_);  // followed_ and the channels' running orders
    player.following = true;            // first: what stops now is the new main's to tell
    followed_ = false;
    player.ForgetRunningOrders();
  };
  hooks.lacking = [this] {
    std::lock_guard lock(lacksLock_);  // lacks_
    return lacks_;
  };
  replicated_->SetFollower([this, &player](const RoChange* change) { Follow(player, change); });
  // What a backup would play black for: looked at apart from the link's thread, since it
  // reads the disk for every file of the running orders.
  lackWatch_ = std::jthread([this, &player](const std::stop_token& stop) {
    std::mutex idle;
    std::unique_lock wait(idle);
    for (;;) {
      if (lackWake_.wait_for(wait, stop, std::chrono::seconds(2),
                             [&] { return stop.stop_requested(); })) {
        return;
      }
      MediaLack found;
      if (player.following) {
        PlayoutManager::MissingMedia missing = player.MediaMissingHere(5);
        found = MediaLack{missing.count, std::move(missing.names)};
      }
      std::lock_guard lock(lacksLock_);  // lacks_
      lacks_ = std::move(found);
    }
  });
  player.following = pair.role == PairRole::Backup;
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
  // A backup's channels stay empty: what its database holds waits for the main's copy.
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

void DurableState::Follow(PlayoutManager& player, const RoChange* change) {
  std::lock_guard lock(followLock_);  // followed_ and the channels' running orders
  if (!player.following) {
    return;  // promoted meanwhile: the channels are this server's own now
  }
  std::string error;
  if (change == nullptr) {
    followed_ = player.FollowAll(*replicated_, error);
    if (!followed_) {
      Log("VIDRA - pair: the main's copy cannot be put into the channels: %s", error.c_str());
    }
    return;
  }
  if (!followed_) {
    return;  // the copy these changes follow did not go in
  }
  if (change->removeRo) {
    player.UnfollowRo(change->roKey);
    return;
  }
  // Play events (item states) are most of what comes: applied in place, so that the
  // running order is not built again and checked again for each.
  if (!change->row && !change->control && !change->replaceItems && change->items.empty() &&
      change->removedItems.empty()) {
    player.FollowStates(change->states);
    return;
  }
  StoredState one;
  if (!replicated_->LoadRo(change->roKey, one) || !player.FollowRo(one, error)) {
    Log("VIDRA - pair: running order %llu of the main cannot be followed: %s",
        static_cast<unsigned long long>(change->roKey),
        error.empty() ? "it is not held" : error.c_str());
  }
}

void DurableState::Stop() {
  if (lackWatch_.joinable()) {
    lackWatch_.request_stop();
    lackWatch_.join();
  }
  answers_ = nullptr;
  link_.reset();
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
