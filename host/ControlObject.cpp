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
    : options_(std::move(options)), engine_(options_.clock, options_.sessionFactory) {
  LogText("Final construct");
  LogText("All components are initialized succesfully");
}

CMOS_SRV_STNDRT::~CMOS_SRV_STNDRT() {
  LogText("FinalRelease");
  if (engine_.Started() && DeInitMOSSrv() != HResult::S_OK) {
    // DeInitMOSSrv logged why; the engine ends whatever it left as it goes.
    engine_.TearDown(ServerEngine::Teardown::Leftovers);
  }
}

HResult CMOS_SRV_STNDRT::LoadSettings(std::unique_ptr<SettingsSource>& settings) {
  std::string error;
  if (options_.configPath.empty()) {
    settings = std::make_unique<MapSettings>(std::vector<SettingsSource::Entry>{}, "defaults");
  } else {
    settings = IniSettings::Load(options_.configPath, error);
  }
  if (settings != nullptr && engine_.ReadSettings(*settings, error) == HResult::S_OK) {
    return HResult::S_OK;
  }
  Log("VIDRA - %s", error.c_str());
  return HResult::E_FAIL;
}

HResult CMOS_SRV_STNDRT::InitFailed(HResult hr) {
  state_ = ServerState::InitFailed;
  phase_ = ServerPhase::Stopped;
  return hr;
}

HResult CMOS_SRV_STNDRT::InitMOSSrv() {
  if (engine_.Mos().IsOpen()) {
    LogText(
        "InitMOSSrv is called on an initialized server: nothing is changed, call "
        "StopApplyingClients and DeInitMOSSrv first");
    return HResult::E_UNEXPECTED;
  }
  phase_ = ServerPhase::Starting;
  engine_.TearDown(ServerEngine::Teardown::Leftovers);
  std::unique_ptr<SettingsSource> settings;
  if (LoadSettings(settings) != HResult::S_OK) {
    LogText("Init TE is failed");
    return InitFailed(HResult::E_FAIL);
  }
  LogText("Settings are loaded");
  LogText("try to init TE");
  if (const HResult hr = engine_.BuildStart(*settings); hr != HResult::S_OK) {
    LogText("Init TE is failed");
    return InitFailed(hr);
  }

  if (engine_.PreparePort(PortFlag::Lower) != HResult::S_OK) {
    LogText("Low port socket is not Inited");
    LogText("Low port init is failed");
    return InitFailed(HResult::E_FAIL);
  }
  LogText("Low port socket is initialized");
  if (engine_.PreparePort(PortFlag::Upper) != HResult::S_OK) {
    LogText("Up port socket is not Inited");
    LogText("Up port init is failed");
    return InitFailed(HResult::E_FAIL);
  }
  LogText("Up port socket is initialized");
  if (engine_.PreparePort(PortFlag::Query) != HResult::S_OK) {
    Log("VIDRA - the query port %u cannot be opened\n", engine_.Mos().Network().queryPort);
    return InitFailed(HResult::E_FAIL);
  }

  LogText("Ports Was Inited");
  engine_.Open();
  LogText("mesQ was initialized ");
  state_ = ServerState::Ready;
  phase_ = ServerPhase::Initialised;
  return HResult::S_OK;
}

HResult CMOS_SRV_STNDRT::StartToWork() {
  try {
    engine_.StartServing(kListenBacklog);
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
    engine_.RequestStop();
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
    engine_.TearDown(ServerEngine::Teardown::Final);
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
  engine_.Mos().SweepJournal();
  state_ = CurrentState();
  State = static_cast<std::uint8_t>(state_.load());
  return HResult::S_OK;
}

ServerState CMOS_SRV_STNDRT::CurrentState() const {
  const ServerState state = state_;
  if (!engine_.Mos().IsOpen()) {
    return ServerState::Uninitialized;
  }
  if (state != ServerState::Active && state != ServerState::Ready) {
    return state;
  }
  // An empty journal holds no entry younger than 180 s, so it is Ready: left as it was, a
  // server whose entries were swept after the clock went back would stay Active.
  const bool any = engine_.Mos().Journal().Count() > 0;
  // Unsigned: a newest entry in the future (clock set back) counts as old.
  const FileTime age =
      any ? options_.clock->UtcNow() - engine_.Mos().Journal().GetLastTime() : kActiveWindow;
  return age < kActiveWindow ? ServerState::Active : ServerState::Ready;
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
  const std::size_t entries = engine_.Mos().Journal().Count();
  count = static_cast<std::int32_t>(
      std::min<std::size_t>(entries, std::numeric_limits<std::int32_t>::max()));
  return HResult::S_OK;
}

HResult CMOS_SRV_STNDRT::GetMessageByNumberInQueue(std::int32_t number, std::string& MessageContent,
                                                   std::uint8_t& MessageDest,
                                                   std::uint64_t& messFiletime,
                                                   std::int32_t& clientId) {
  MessageRecord record;
  if (engine_.Mos().Journal().GetByNumber(number, record) != HResult::S_OK ||
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
