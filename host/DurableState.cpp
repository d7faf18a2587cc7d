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

HResult DurableState::Start(const StateOptions& options, PlayoutManager& player,
                            const std::shared_ptr<Clock>& clock, Metrics& metrics) {
  Stop();
  configured_ = options.database;
  if (options.database.empty()) {
    LogText(
        "VIDRA - no [State] Database is set: running orders are kept in memory only and are "
        "lost when the server stops");
    memory_ = std::make_unique<InMemoryAnswers>([clock] { return clock->UtcNow(); });
    answers_ = memory_.get();
    return HResult::S_OK;
  }
  std::string error;
  store_ =
      SqliteState::Open(StateSettings{options.database, options.fullSync}, clock, &metrics, error);
  if (store_ == nullptr) {
    Log("VIDRA - %s", error.c_str());
    return HResult::E_FAIL;
  }
  player.AttachPersistence(store_.get());
  if (!player.RestoreRunningOrders(*store_, restored_, error)) {
    Log("VIDRA - the state database %s cannot be read back: %s", options.database.c_str(),
        error.c_str());
    player.AttachPersistence(nullptr);
    store_.reset();
    return HResult::E_FAIL;
  }
  Log("VIDRA - %zu running orders restored from %s", restored_, options.database.c_str());
  answers_ = store_.get();
  return HResult::S_OK;
}

void DurableState::Stop() {
  answers_ = nullptr;
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
          {"restoredAtStart", restored_}};
}

}  // namespace vidra
