// vidra-server: the host process. It owns the one control object and runs the control
// operations on its own thread; with --autostart it builds and starts the server at launch
// and stops and dismantles it on SIGTERM or SIGINT, so that playlists are written.
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <string>

#include "common/HResult.h"
#include "common/Log.h"
#include "host/ControlObject.h"

namespace {

constexpr const char* kVersion = "0.1.0";

// Blocks SIGINT and SIGTERM in every thread (threads inherit the mask) and returns a
// descriptor that reads them, so a stop is handled on the host thread like any other event.
int OpenStopSignals() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  return signalfd(-1, &stops, SFD_CLOEXEC);
}

int WaitForStop(int signals) {
  for (;;) {
    pollfd entry{signals, POLLIN, 0};
    if (poll(&entry, 1, -1) < 0) {
      continue;
    }
    signalfd_siginfo info{};
    if (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      return static_cast<int>(info.ssi_signo);
    }
  }
}

int Fail(const char* step, vidra::HResult hr) {
  std::fprintf(stderr, "vidra-server: %s failed with %s\n", step, vidra::Describe(hr).c_str());
  return 1;
}

int Run(int argc, char** argv) {
  CLI::App app{"VIDRA MOS device server"};
  std::string config;
  bool autostart = false;
  app.add_option("--config", config, "settings file (INI)")->check(CLI::ExistingFile);
  app.add_flag("--autostart", autostart,
               "build and start the server at launch; stop it on SIGTERM or SIGINT");
  app.set_version_flag("--version", std::string("vidra-server ") + kVersion);
  CLI11_PARSE(app, argc, argv);

  std::signal(SIGPIPE, SIG_IGN);
  const int signals = OpenStopSignals();
  if (signals < 0) {
    std::perror("vidra-server: signalfd");
    return 1;
  }

  vidra::ControlOptions options;
  options.configPath = config;
  vidra::CMOS_SRV_STNDRT control(options);
  if (!autostart) {
    vidra::LogText("VIDRA - waiting for a controller; SIGTERM or SIGINT ends the host");
    WaitForStop(signals);
    return 0;
  }
  if (const auto hr = control.InitMOSSrv(); hr != vidra::HResult::S_OK) {
    return Fail("InitMOSSrv", hr);
  }
  if (const auto hr = control.StartToWork(); hr != vidra::HResult::S_OK) {
    static_cast<void>(control.StopApplyingClients());
    static_cast<void>(control.DeInitMOSSrv());
    return Fail("StartToWork", hr);
  }
  vidra::Log("VIDRA - serving on ports %u and %u", control.ListeningLowerPort(),
             control.ListeningUpperPort());
  const int signal = WaitForStop(signals);
  vidra::Log("VIDRA - signal %d, stopping", signal);
  const auto stopped = control.StopApplyingClients();
  const auto released = control.DeInitMOSSrv();
  if (stopped != vidra::HResult::S_OK) {
    return Fail("StopApplyingClients", stopped);
  }
  if (released != vidra::HResult::S_OK) {
    return Fail("DeInitMOSSrv", released);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vidra-server: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "vidra-server: unexpected failure\n");
  }
  return 1;
}
