// A stop signal is read from a signalfd like any other event, so a second SIGTERM during the
// stop changes nothing: the server is always dismantled, and its playlists written, once.
#include "host/Host.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <optional>
#include <vector>

#include "common/HResult.h"
#include "common/Log.h"
#include "host/ControlObject.h"
#include "host/ControlProtocol.h"
#include "host/ControlServer.h"
#include "host/StatusServer.h"
#include "host/SystemdNotify.h"

namespace vidra {

namespace {

// Blocks SIGINT and SIGTERM in every thread (threads inherit the mask) and returns a
// descriptor that reads them.
int OpenStopSignals() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  // A write past the file-size limit fails with EFBIG and is refused like a full disk,
  // instead of ending the server.
  std::signal(SIGXFSZ, SIG_IGN);
  return signalfd(-1, &stops, SFD_CLOEXEC);
}

int Fail(const char* step, HResult hr) {
  FlushLog();  // the log's own account of the failure comes first
  std::fprintf(stderr, "vidra-server: %s failed with %s\n", step, Describe(hr).c_str());
  return 1;
}

// Serves the controllers until a stop signal comes; returns its number.
int ServeUntilStop(int signals, ControlServer& server, CMOS_SRV_STNDRT& control) {
  const ControlServer::Handler handler{
      [&control](std::string_view line) { return HandleControlLine(control, line); },
      [] { return OversizedLineAnswer(ControlServer::kMaxLine); }};
  std::vector<pollfd> entries;
  for (;;) {
    entries.clear();
    entries.push_back(pollfd{signals, POLLIN, 0});
    server.Prepare(entries);
    if (::poll(entries.data(), entries.size(), -1) < 0) {
      continue;  // EINTR
    }
    if ((entries[0].revents & POLLIN) != 0) {
      signalfd_siginfo info{};
      if (::read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        return static_cast<int>(info.ssi_signo);
      }
    }
    server.Serve(entries, 1, handler);
  }
}

}  // namespace

int RunHost(const HostOptions& options) {
  std::signal(SIGPIPE, SIG_IGN);
  const int signals = OpenStopSignals();
  if (signals < 0) {
    std::perror("vidra-server: signalfd");
    return 1;
  }
  std::string error;
  const auto server = ControlServer::Open(options.controlPath, error);
  if (server == nullptr) {
    std::fprintf(stderr, "vidra-server: %s\n", error.c_str());
    ::close(signals);
    return 1;
  }
  Log("VIDRA - control socket %s\n", server->Path().c_str());

  ControlOptions controlOptions;
  controlOptions.configPath = options.configPath;
  CMOS_SRV_STNDRT control(controlOptions);
  std::optional<StatusServer> status;  // ends before the control object it reads
  if (!options.http.empty()) {
    HttpEndpoint endpoint;
    if (!ParseHttpEndpoint(options.http, endpoint, error)) {
      std::fprintf(stderr, "vidra-server: --http: %s\n", error.c_str());
      ::close(signals);
      return 1;
    }
    try {
      status.emplace(control, endpoint);
    } catch (const std::exception& e) {
      FlushLog();
      std::fprintf(stderr, "vidra-server: %s\n", e.what());
      ::close(signals);
      return 1;
    }
  }
  if (options.autostart) {
    if (const auto hr = control.InitMOSSrv(); hr != HResult::S_OK) {
      ::close(signals);
      return Fail("InitMOSSrv", hr);
    }
    if (const auto hr = control.StartToWork(); hr != HResult::S_OK) {
      static_cast<void>(control.StopApplyingClients());
      static_cast<void>(control.DeInitMOSSrv());
      ::close(signals);
      return Fail("StartToWork", hr);
    }
    Log("VIDRA - serving on ports %u and %u\n", control.ListeningLowerPort(),
        control.ListeningUpperPort());
  } else {
    LogText("VIDRA - waiting for a controller; SIGTERM or SIGINT ends the host");
  }
  NotifySystemd("READY=1");
  const int signal = ServeUntilStop(signals, *server, control);
  ::close(signals);
  Log("VIDRA - signal %d, stopping\n", signal);
  NotifySystemd("STOPPING=1");
  if (!options.autostart) {
    return 0;  // a server a controller left running is dismantled with the control object
  }
  const auto stopped = control.StopApplyingClients();
  const auto released = control.DeInitMOSSrv();
  if (stopped != HResult::S_OK) {
    return Fail("StopApplyingClients", stopped);
  }
  if (released != HResult::S_OK) {
    return Fail("DeInitMOSSrv", released);
  }
  return 0;
}

}  // namespace vidra
