#include "host/ServerEngine.h"

#include "common/Log.h"
#include "common/Text.h"

namespace vidra {

ServerEngine::ServerEngine(std::shared_ptr<Clock> clock, SessionFactory factory)
    : clock_(std::move(clock)), mos_(clock_, std::move(factory)) {}

ServerEngine::~ServerEngine() {
  if (Started()) {
    TearDown(Teardown::Leftovers);
  }
}

HResult ServerEngine::ReadSettings(const SettingsSource& settings, std::string& error) {
  if (ReadTransportSettings(settings, mos_.Network(), error) == HResult::S_OK &&
      ReadStateOptions(settings, stateOptions_, error) == HResult::S_OK &&
      ReadPairSettings(settings, pairSettings_, error) == HResult::S_OK) {
    return HResult::S_OK;
  }
  return HResult::E_FAIL;
}

bool ServerEngine::Started() const {
  return mos_.IsOpen() || player_ != nullptr || mos_.AcceptsRunning() || launcher_.joinable();
}

HResult ServerEngine::BuildStart(const SettingsSource& settings) {
  // A new start: every NRCS host is asked again at its first connection.
  mos_.SharedResync().Clear();
  stop_ = std::stop_source();
  HResult hr = HResult::S_OK;
  try {
    player_ = std::make_unique<PlayoutManager>(clock_);
    player_->metrics = &mos_.SharedMetrics();
    hr = player_->InitPlayout(settings);
  } catch (...) {
    LogText("Player initialization troubles");
    hr = HResult::E_FAIL;
  }
  if (hr != HResult::S_OK) {
    return hr;
  }
  playoutStop_.emplace(stop_.get_token(), [player = player_.get()] { player->running = false; });
  // Before the media folder is walked (at the start of playout): every change reaches the
  // object senders.
  mos_.SharedObjects().SetPushing(mos_.Network().pushObjects);
  if (MediaLibrary* media = player_->Media()) {
    media->Catalogue().AddListener(&mos_.SharedObjects());
  }
  return StartDurableState();
}

void ServerEngine::Open() {
  mos_.Open(stop_);
  SetVisible({player_.get(), 0, 0});
}

void ServerEngine::StartServing(int backlog) {
  const std::uint32_t address = htonl(mos_.Network().listenAddress);
  mos_.StartPort(PortFlag::Lower, address, backlog);
  Log("\n try to bind %u socket\n\n", mos_.Network().upperPort);
  mos_.StartPort(PortFlag::Upper, address, backlog);
  mos_.StartPort(PortFlag::Query, address, backlog);

  if (player_ != nullptr && !launcher_.joinable()) {
    launcher_ = std::thread([player = player_.get()] { player->StartPlayout(); });
  }
  if ((mos_.Network().listenAddress >> 24) != 127 && mos_.Network().allowedHosts.empty()) {
    Log("VIDRA - the ports listen on %s, beyond this machine, and [Network] AllowedHosts is "
        "not set: every host that reaches them is served\n",
        FormatHost(htonl(mos_.Network().listenAddress)).c_str());
  }
  SetVisible({player_.get(), mos_.BoundPort(PortFlag::Lower), mos_.BoundPort(PortFlag::Upper)});
}

void ServerEngine::RequestStop() {
  stop_.request_stop();
}

void ServerEngine::StopThreads() {
  RequestStop();
  // The connection threads use the journal, the client numbers and the send lock: the
  // engine joins them before those are released.
  mos_.Stop();
  if (launcher_.joinable()) {
    launcher_.join();
  }
}

// Leftovers: what a failed InitMOSSrv left behind is dropped before the next attempt, so a
// retry never holds two sets of sockets or players.
void ServerEngine::TearDown(Teardown how) {
  const bool deinit = how == Teardown::Final;
  const auto say = [deinit](const char* line) {
    if (deinit) {
      LogText(line);
    }
  };
  say("CycleContinuation is Done");
  StopThreads();
  if (deinit) {
    LogText("release client queue");
    mos_.ReleaseClientNumbers();
    LogText("Done,release mes queue");
    mos_.ReleaseJournal();
    LogText("done,release port");
  }
  mos_.ClosePorts();
  SetVisible({});
  if (player_ != nullptr) {
    say("Done, Wait threads will end its job");
    player_->WaitThreadsEnd();
    if (deinit) {
      LogText("Done, Save current stat to schedule");
      player_->SaveSchedules();
    }
  }
  StopDurableState();
  if (player_ != nullptr) {
    say("Done, delete player");
  }
  mos_.Lend(nullptr, nullptr);
  playoutStop_.reset();
  player_.reset();
}

HResult ServerEngine::StartDurableState() {
  std::unique_lock lock(statusLock_);  // the status view: the store's life
  // A backup that becomes main asks each NRCS for its running orders at its next
  // connection, as after a start.
  const HResult started =
      durable_.Start(stateOptions_, pairSettings_, *player_, clock_, mos_.SharedMetrics(),
                     [this] { mos_.SharedResync().Clear(); });
  mos_.Lend(player_.get(), durable_.Answers(), durable_.Pair());
  return started;
}

// Every thread that writes running orders or answers has ended before the store closes.
void ServerEngine::StopDurableState() {
  std::unique_lock lock(statusLock_);  // the status view: the store's life
  mos_.Lend(player_.get(), nullptr, nullptr);
  if (player_ != nullptr) {
    player_->AttachPersistence(nullptr);
  }
  durable_.Stop();
}

HResult ServerEngine::SetPairRole(PairRole role, std::string& why) {
  PairLink* link = durable_.Pair();
  if (link == nullptr) {
    why = mos_.IsOpen() ? "no [Pair] Role is set up: this server is not one of a pair"
                        : "the server is not initialised";
    return HResult::E_UNEXPECTED;
  }
  return link->SetRole(role, why);
}

nlohmann::json ServerEngine::StoreView() const {
  std::shared_lock lock(statusLock_);  // the status view: the store's life
  return durable_.View();
}

std::optional<PairStatus> ServerEngine::PairView() const {
  std::shared_lock lock(statusLock_);  // the status view: the link's life
  const PairLink* link = durable_.Pair();
  return link != nullptr ? std::optional<PairStatus>(link->Status()) : std::nullopt;
}

void ServerEngine::SetVisible(Visible visible) {
  std::unique_lock lock(statusLock_);  // the status view
  visible_ = visible;
}

}  // namespace vidra
