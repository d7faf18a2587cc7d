// The six control operations and their log lines, in the order controlling tools and
// operators know them. Failures come back as result codes; the three stop-side operations
// turn every exception into E_FAIL.
#include "host/ControlObject.h"

#include <sys/socket.h>

#include <algorithm>
#include <exception>
#include <limits>

#include "common/Log.h"
#include "common/Text.h"

namespace vidra {

namespace {

// Connections waiting for their accept. A backlog of 5, as the server once had, drops the
// SYNs of an NRCS that reconnects in bursts, and each dropped one costs the NRCS a second.
constexpr int kListenBacklog = SOMAXCONN;
// 180 s in 100-ns units: the server is Active while its newest message is younger.
constexpr FileTime kActiveWindow = 1'800'000'000ull;

void LogException(const char* line) {
  try {
    throw;
  } catch (const std::exception& e) {
    Log("VIDRA - %s", e.what());
  } catch (...) {
  }
  LogText(line);
}

}  // namespace

CMOS_SRV_STNDRT::CMOS_SRV_STNDRT(ControlOptions options)
    : options_(std::move(options)), srv_(options_.clock, options_.sessionFactory) {
  LogText("Final construct");
  LogText("All components are initialized succesfully");
}

CMOS_SRV_STNDRT::~CMOS_SRV_STNDRT() {
  LogText("FinalRelease");
  if (srv_.IsOpen() || player_ || srv_.AcceptsRunning() || launcher_.joinable()) {
    if (DeInitMOSSrv() != HResult::S_OK) {
      // DeInitMOSSrv logged why; whatever it left is joined below, as the members go.
      StopThreads();
    }
  }
}

HResult CMOS_SRV_STNDRT::LoadSettings(std::unique_ptr<SettingsSource>& settings) {
  std::string error;
  if (options_.configPath.empty()) {
    settings = std::make_unique<MapSettings>(std::vector<SettingsSource::Entry>{}, "defaults");
  } else {
    settings = IniSettings::Load(options_.configPath, error);
  }
  if (settings != nullptr &&
      ReadTransportSettings(*settings, srv_.Network(), error) == HResult::S_OK &&
      ReadStateOptions(*settings, stateOptions_, error) == HResult::S_OK &&
      ReadPairSettings(*settings, pairSettings_, error) == HResult::S_OK) {
    return HResult::S_OK;
  }
  Log("VIDRA - %s", error.c_str());
  return HResult::E_FAIL;
}

void CMOS_SRV_STNDRT::RequestStop() {
  srv_.RequestStop();
  if (player_ != nullptr) {
    player_->running = false;
  }
}

void CMOS_SRV_STNDRT::StopThreads() {
  RequestStop();
  // The connection threads use the journal, the client numbers and the send lock: the
  // engine joins them before those are released.
  srv_.Stop();
  if (launcher_.joinable()) {
    launcher_.join();
  }
}

// Leftovers: what a failed InitMOSSrv left behind is dropped before the next attempt, so a
// retry never holds two sets of sockets or players.
void CMOS_SRV_STNDRT::TearDown(Teardown how) {
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
    srv_.ReleaseClientNumbers();
    LogText("Done,release mes queue");
    srv_.ReleaseJournal();
    LogText("done,release port");
  }
  srv_.ClosePorts();
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
  srv_.Lend(nullptr, nullptr);
  player_.reset();
}

HResult CMOS_SRV_STNDRT::StartDurableState() {
  std::unique_lock lock(statusLock_);  // the status view: the store's life
  // A backup that becomes main asks each NRCS for its running orders at its next
  // connection, as after a start.
  const HResult started =
      durable_.Start(stateOptions_, pairSettings_, *player_, options_.clock, srv_.SharedMetrics(),
                     [this] { srv_.SharedResync().Clear(); });
  srv_.Lend(player_.get(), durable_.Answers(), durable_.Pair());
  return started;
}

// Every thread that writes running orders or answers has ended before the store closes.
void CMOS_SRV_STNDRT::StopDurableState() {
  std::unique_lock lock(statusLock_);  // the status view: the store's life
  srv_.Lend(player_.get(), nullptr, nullptr);
  if (player_ != nullptr) {
    player_->AttachPersistence(nullptr);
  }
  durable_.Stop();
}

HResult CMOS_SRV_STNDRT::SetPairRole(PairRole role, std::string& why) {
  PairLink* link = durable_.Pair();
  if (link == nullptr) {
    why = srv_.IsOpen() ? "no [Pair] Role is set up: this server is not one of a pair"
                        : "the server is not initialised";
    return HResult::E_UNEXPECTED;
  }
  return link->SetRole(role, why);
}

HResult CMOS_SRV_STNDRT::InitFailed(HResult hr) {
  state_ = ServerState::InitFailed;
  phase_ = ServerPhase::Stopped;
  return hr;
}

HResult CMOS_SRV_STNDRT::InitMOSSrv() {
  if (srv_.IsOpen()) {
    LogText(
        "InitMOSSrv is called on an initialized server: nothing is changed, call "
        "StopApplyingClients and DeInitMOSSrv first");
    return HResult::E_UNEXPECTED;
  }
  phase_ = ServerPhase::Starting;
  TearDown(Teardown::Leftovers);
  // A new start: every NRCS host is asked again at its first connection.
  srv_.SharedResync().Clear();
  std::unique_ptr<SettingsSource> settings;
  if (LoadSettings(settings) != HResult::S_OK) {
    LogText("Init TE is failed");
    return InitFailed(HResult::E_FAIL);
  }
  LogText("Settings are loaded");
  LogText("try to init TE");

  HResult hr = HResult::S_OK;
  try {
    player_ = std::make_unique<PlayoutManager>(options_.clock);
    player_->metrics = &srv_.SharedMetrics();
    hr = player_->InitPlayout(*settings);
  } catch (...) {
    LogText("Player initialization troubles");
    hr = HResult::E_FAIL;
  }
  if (hr == HResult::S_OK) {
    // Before the media folder is walked (at the start of playout): every change reaches
    // the object senders.
    srv_.SharedObjects().SetPushing(srv_.Network().pushObjects);
    if (MediaLibrary* media = player_->Media()) {
      media->Catalogue().AddListener(&srv_.SharedObjects());
    }
    hr = StartDurableState();
  }
  if (hr != HResult::S_OK) {
    LogText("Init TE is failed");
    return InitFailed(hr);
  }

  if (srv_.PreparePort(PortFlag::Lower) != HResult::S_OK) {
    LogText("Low port socket is not Inited");
    LogText("Low port init is failed");
    return InitFailed(HResult::E_FAIL);
  }
  LogText("Low port socket is initialized");
  if (srv_.PreparePort(PortFlag::Upper) != HResult::S_OK) {
    LogText("Up port socket is not Inited");
    LogText("Up port init is failed");
    return InitFailed(HResult::E_FAIL);
  }
  LogText("Up port socket is initialized");
  if (srv_.PreparePort(PortFlag::Query) != HResult::S_OK) {
    Log("VIDRA - the query port %u cannot be opened\n", srv_.Network().queryPort);
    return InitFailed(HResult::E_FAIL);
  }

  LogText("Ports Was Inited");
  srv_.Open();
  LogText("mesQ was initialized ");
  state_ = ServerState::Ready;
  phase_ = ServerPhase::Initialised;
  SetVisible({player_.get(), 0, 0});
  return HResult::S_OK;
}

HResult CMOS_SRV_STNDRT::StartToWork() {
  try {
    const std::uint32_t address = htonl(srv_.Network().listenAddress);
    srv_.StartPort(PortFlag::Lower, address, kListenBacklog);
    Log("\n try to bind %u socket\n\n", srv_.Network().upperPort);
    srv_.StartPort(PortFlag::Upper, address, kListenBacklog);
    srv_.StartPort(PortFlag::Query, address, kListenBacklog);

    if (player_ != nullptr && !launcher_.joinable()) {
      launcher_ = std::thread([player = player_.get()] { player->StartPlayout(); });
    }
    if ((srv_.Network().listenAddress >> 24) != 127 && srv_.Network().allowedHosts.empty()) {
      Log("VIDRA - the ports listen on %s, beyond this machine, and [Network] AllowedHosts "
          "is not set: every host that reaches them is served\n",
          FormatHost(htonl(srv_.Network().listenAddress)).c_str());
    }
    SetVisible({player_.get(), srv_.BoundPort(PortFlag::Lower), srv_.BoundPort(PortFlag::Upper)});
    phase_ = ServerPhase::Serving;
    return HResult::S_OK;
  } catch (...) {
    LogException("some exeption in StartTowork");
    return HResult::E_FAIL;
  }
}

HResult CMOS_SRV_STNDRT::StopApplyingClients() {
  try {
    phase_ = ServerPhase::Stopping;
    RequestStop();
    state_ = ServerState::Ready;
    phase_ = ServerPhase::Stopped;
    return HResult::S_OK;
  } catch (...) {
    LogException("some exeption in StopApplyingClients");
    return HResult::E_FAIL;
  }
}

HResult CMOS_SRV_STNDRT::DeInitMOSSrv() {
  try {
    // A server that was not stopped is stopped first, so nothing below waits for threads
    // that would never end.
    phase_ = ServerPhase::Stopping;
    TearDown(Teardown::Final);
    LogText("try to gray");
    state_ = ServerState::Uninitialized;
    phase_ = ServerPhase::Stopped;
    LogText("icon should be grayed");
    return HResult::S_OK;
  } catch (...) {
    LogException("some exeption in DeInitMOSSrv");
    return HResult::E_FAIL;
  }
}

HResult CMOS_SRV_STNDRT::GetStateMOSSrv(std::uint8_t& State) {
  srv_.SweepJournal();
  state_ = CurrentState();
  State = static_cast<std::uint8_t>(state_.load());
  return HResult::S_OK;
}

ServerState CMOS_SRV_STNDRT::CurrentState() const {
  const ServerState state = state_;
  if (!srv_.IsOpen()) {
    return ServerState::Uninitialized;
  }
  if (state != ServerState::Active && state != ServerState::Ready) {
    return state;
  }
  // An empty journal holds no entry younger than 180 s, so it is Ready: left as it was, a
  // server whose entries were swept after the clock went back would stay Active.
  const bool any = srv_.Journal().Count() > 0;
  // Unsigned: a newest entry in the future (clock set back) counts as old.
  const FileTime age =
      any ? options_.clock->UtcNow() - srv_.Journal().GetLastTime() : kActiveWindow;
  return age < kActiveWindow ? ServerState::Active : ServerState::Ready;
}

void CMOS_SRV_STNDRT::SetVisible(Visible visible) {
  std::unique_lock lock(statusLock_);  // the status view
  visible_ = visible;
}

const char* ServerPhaseName(ServerPhase phase) {
  switch (phase) {
    case ServerPhase::Starting:
      return "starting";
    case ServerPhase::Initialised:
      return "initialised";
    case ServerPhase::Serving:
      return "serving";
    case ServerPhase::Stopping:
      return "stopping";
    default:
      return "stopped";
  }
}

const char* ServerStateName(int state) {
  switch (state) {
    case 0:
      return "Uninitialized";
    case 1:
      return "InitFailed";
    case 2:
      return "Active";
    case 3:
      return "Ready";
    default:
      return "unknown";
  }
}

HResult CMOS_SRV_STNDRT::GetMessageCount(std::int32_t& count) {
  const std::size_t entries = srv_.Journal().Count();
  count = static_cast<std::int32_t>(
      std::min<std::size_t>(entries, std::numeric_limits<std::int32_t>::max()));
  return HResult::S_OK;
}

HResult CMOS_SRV_STNDRT::GetMessageByNumberInQueue(std::int32_t number, std::string& MessageContent,
                                                   std::uint8_t& MessageDest,
                                                   std::uint64_t& messFiletime,
                                                   std::int32_t& clientId) {
  MessageRecord record;
  if (srv_.Journal().GetByNumber(number, record) != HResult::S_OK ||
      CountCharacters(record.text) < 3) {
    return HResult::E_FAIL;
  }
  MessageContent = std::move(record.text);
  MessageDest = record.direction;
  messFiletime = record.time;
  clientId = record.clientNumber;
  return HResult::S_OK;
}

}  // namespace vidra
