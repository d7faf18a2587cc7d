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
#include "transport/Listeners.h"
#include "transport/MosSession.h"

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
    : options_(std::move(options)), srv_(options_.clock) {
  srv_.sessionFactory = options_.sessionFactory ? options_.sessionFactory : MosSessionFactory(srv_);
  LogText("Final construct");
  LogText("All components are initialized succesfully");
}

CMOS_SRV_STNDRT::~CMOS_SRV_STNDRT() {
  LogText("FinalRelease");
  if (srv_.journal.IsInitialized() || srv_.player || srv_.lowerAcceptThread.joinable() ||
      srv_.upperAcceptThread.joinable()) {
    static_cast<void>(DeInitMOSSrv());
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
      ReadTransportSettings(*settings, srv_.network, error) == HResult::S_OK &&
      ReadStateOptions(*settings, stateOptions_, error) == HResult::S_OK) {
    return HResult::S_OK;
  }
  Log("VIDRA - %s", error.c_str());
  return HResult::E_FAIL;
}

// What a failed InitMOSSrv left behind is dropped before the next attempt, so a retry
// never holds two sets of sockets or players.
void CMOS_SRV_STNDRT::ReleaseLeftovers() {
  SetVisible({});
  srv_.serverRunning = false;
  srv_.stopRequested = true;
  if (srv_.player != nullptr) {
    srv_.player->running = false;
  }
  EndPortThreads();
  srv_.lowerListener.Close();
  srv_.upperListener.Close();
  if (srv_.launcher.joinable()) {
    srv_.launcher.join();
  }
  if (srv_.player != nullptr) {
    srv_.player->WaitThreadsEnd();
  }
  StopDurableState();
  srv_.player.reset();
}

HResult CMOS_SRV_STNDRT::StartDurableState() {
  std::unique_lock lock(statusLock_);  // the status view: the store's life
  const HResult started = durable_.Start(stateOptions_, *srv_.player, srv_.clock, srv_.metrics);
  srv_.answers = durable_.Answers();
  return started;
}

// Every thread that writes running orders or answers has ended before the store closes.
void CMOS_SRV_STNDRT::StopDurableState() {
  std::unique_lock lock(statusLock_);  // the status view: the store's life
  srv_.answers = nullptr;
  if (srv_.player != nullptr) {
    srv_.player->AttachPersistence(nullptr);
  }
  durable_.Stop();
}

HResult CMOS_SRV_STNDRT::InitMOSSrv() {
  if (srv_.journal.IsInitialized()) {
    LogText(
        "InitMOSSrv is called on an initialized server: nothing is changed, call "
        "StopApplyingClients and DeInitMOSSrv first");
    return HResult::E_UNEXPECTED;
  }
  ReleaseLeftovers();
  srv_.resync.Clear();  // a new start: every NRCS host is asked again at its first connection
  std::unique_ptr<SettingsSource> settings;
  if (LoadSettings(settings) != HResult::S_OK) {
    LogText("Init TE is failed");
    srv_.state = ServerState::InitFailed;
    return HResult::E_FAIL;
  }
  srv_.lowPort = srv_.network.lowerPort;
  srv_.upperPort = srv_.network.upperPort;
  LogText("Settings are loaded");
  LogText("try to init TE");

  HResult hr = HResult::S_OK;
  try {
    srv_.player = std::make_unique<PlayoutManager>(srv_.clock);
    srv_.player->metrics = &srv_.metrics;
    hr = srv_.player->InitPlayout(*settings);
  } catch (...) {
    LogText("Player initialization troubles");
    hr = HResult::E_FAIL;
  }
  if (hr == HResult::S_OK) {
    // Before the media folder is walked (at the start of playout): every change reaches
    // the object senders.
    srv_.objects.SetPushing(srv_.network.pushObjects);
    if (MediaLibrary* media = srv_.player->Media()) {
      media->Catalogue().AddListener(&srv_.objects);
    }
    hr = StartDurableState();
  }
  if (hr != HResult::S_OK) {
    LogText("Init TE is failed");
    srv_.state = ServerState::InitFailed;
    return hr;
  }

  if (srv_.lowerListener.Prepare(srv_.lowPort) != HResult::S_OK) {
    LogText("Low port socket is not Inited");
    LogText("Low port init is failed");
    srv_.state = ServerState::InitFailed;
    return HResult::E_FAIL;
  }
  LogText("Low port socket is initialized");
  if (srv_.upperListener.Prepare(srv_.upperPort) != HResult::S_OK) {
    LogText("Up port socket is not Inited");
    LogText("Up port init is failed");
    srv_.state = ServerState::InitFailed;
    return HResult::E_FAIL;
  }
  LogText("Up port socket is initialized");

  srv_.stopRequested = false;
  srv_.serverRunning = true;
  LogText("Ports Was Inited");
  srv_.clientQueue.Init(0);
  srv_.journal.Init(srv_.network.journalTextBytes);
  LogText("mesQ was initialized ");
  srv_.state = ServerState::Ready;
  SetVisible({srv_.player.get(), 0, 0});
  return HResult::S_OK;
}

HResult CMOS_SRV_STNDRT::StartToWork() {
  try {
    const std::uint32_t address = htonl(srv_.network.listenAddress);
    srv_.lowerListener.Bind(address);
    Log("\n The socket %u is binded\n\n", srv_.lowerListener.BoundPort());
    srv_.lowerListener.Listen(kListenBacklog);
    Log("\n Start to listen %u socket\n\n", srv_.lowerListener.BoundPort());
    LogText("thread_to_member_thunk AcceptClientsOneByOneOnLowerPort");
    StartAcceptThread(srv_, PortFlag::Lower);

    Log("\n try to bind %u socket\n\n", srv_.upperPort);
    srv_.upperListener.Bind(address);
    Log("\n The socket %u is binded\n\n", srv_.upperListener.BoundPort());
    srv_.upperListener.Listen(kListenBacklog);
    Log("\n Start to listen %u socket\n\n", srv_.upperListener.BoundPort());
    LogText("thread_to_member_thunk AcceptClientsOneByOneOnUpperPort");
    StartAcceptThread(srv_, PortFlag::Upper);

    if (srv_.player != nullptr && !srv_.launcher.joinable()) {
      srv_.launcher = std::thread([player = srv_.player.get()] { player->StartPlayout(); });
    }
    if ((srv_.network.listenAddress >> 24) != 127 && srv_.network.allowedHosts.empty()) {
      Log("VIDRA - the ports listen on %s, beyond this machine, and [Network] AllowedHosts "
          "is not set: every host that reaches them is served\n",
          FormatHost(htonl(srv_.network.listenAddress)).c_str());
    }
    SetVisible({srv_.player.get(), srv_.lowerListener.BoundPort(), srv_.upperListener.BoundPort()});
    return HResult::S_OK;
  } catch (...) {
    LogException("some exeption in StartTowork");
    return HResult::E_FAIL;
  }
}

HResult CMOS_SRV_STNDRT::StopApplyingClients() {
  try {
    srv_.serverRunning = false;
    srv_.stopRequested = true;
    srv_.state = ServerState::Ready;
    if (srv_.player != nullptr) {
      srv_.player->running = false;
    }
    return HResult::S_OK;
  } catch (...) {
    LogException("some exeption in StopApplyingClients");
    return HResult::E_FAIL;
  }
}

// Ends the accept threads and the connection threads. Shutting a listener down wakes its
// blocked accept, which then sees stopRequested; shutting a connection down makes its
// blocked receive report the peer's close.
void CMOS_SRV_STNDRT::EndPortThreads() {
  srv_.lowerListener.Shutdown();
  srv_.upperListener.Shutdown();
  if (srv_.lowerAcceptThread.joinable()) {
    srv_.lowerAcceptThread.join();
  }
  if (srv_.upperAcceptThread.joinable()) {
    srv_.upperAcceptThread.join();
  }
  srv_.connections.ShutdownAll();
  srv_.connections.JoinAll();
  // The notice senders see serverRunning cleared within one poll of their connection.
  srv_.noticeThreads.JoinAll();
}

HResult CMOS_SRV_STNDRT::DeInitMOSSrv() {
  try {
    // A server that was not stopped is stopped first, so nothing below waits for threads
    // that would never end.
    srv_.serverRunning = false;
    srv_.stopRequested = true;
    if (srv_.player != nullptr) {
      srv_.player->running = false;
    }
    LogText("CycleContinuation is Done");
    // The connection threads use the journal, the client numbers and the send lock: they end
    // before those are released.
    EndPortThreads();
    LogText("release client queue");
    srv_.clientQueue.Release();
    LogText("Done,release mes queue");
    srv_.journal.Release();
    LogText("done,release port");
    srv_.lowerListener.Close();
    srv_.upperListener.Close();
    if (srv_.launcher.joinable()) {
      srv_.launcher.join();
    }
    SetVisible({});
    if (srv_.player != nullptr) {
      LogText("Done, Wait threads will end its job");
      srv_.player->WaitThreadsEnd();
      LogText("Done, Save current stat to schedule");
      srv_.player->SaveSchedules();
      StopDurableState();
      LogText("Done, delete player");
      srv_.player.reset();
    }
    LogText("try to gray");
    srv_.state = ServerState::Uninitialized;
    LogText("icon should be grayed");
    return HResult::S_OK;
  } catch (...) {
    LogException("some exeption in DeInitMOSSrv");
    return HResult::E_FAIL;
  }
}

HResult CMOS_SRV_STNDRT::GetStateMOSSrv(std::uint8_t& State) {
  srv_.journal.Sweep();
  srv_.state = CurrentState();
  State = static_cast<std::uint8_t>(srv_.state.load());
  return HResult::S_OK;
}

ServerState CMOS_SRV_STNDRT::CurrentState() const {
  const ServerState state = srv_.state;
  if (!srv_.journal.IsInitialized()) {
    return ServerState::Uninitialized;
  }
  if (state != ServerState::Active && state != ServerState::Ready) {
    return state;
  }
  // An empty journal holds no entry younger than 180 s, so it is Ready: left as it was, a
  // server whose entries were swept after the clock went back would stay Active.
  const bool any = srv_.journal.Count() > 0;
  // Unsigned: a newest entry in the future (clock set back) counts as old.
  const FileTime age = any ? srv_.clock->UtcNow() - srv_.journal.GetLastTime() : kActiveWindow;
  return age < kActiveWindow ? ServerState::Active : ServerState::Ready;
}

void CMOS_SRV_STNDRT::SetVisible(Visible visible) {
  std::unique_lock lock(statusLock_);  // the status view
  visible_ = visible;
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
  const std::size_t entries = srv_.journal.Count();
  count = static_cast<std::int32_t>(
      std::min<std::size_t>(entries, std::numeric_limits<std::int32_t>::max()));
  return HResult::S_OK;
}

HResult CMOS_SRV_STNDRT::GetMessageByNumberInQueue(std::int32_t number, std::string& MessageContent,
                                                   std::uint8_t& MessageDest,
                                                   std::uint64_t& messFiletime,
                                                   std::int32_t& clientId) {
  MessageRecord record;
  if (srv_.journal.GetByNumber(number, record) != HResult::S_OK ||
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
