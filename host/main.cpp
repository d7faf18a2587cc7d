// vidra-server: the host process. Without --autostart it waits for a controller on the
// control socket, as the server always has; with it, it builds and starts the server at
// launch and dismantles it on SIGTERM or SIGINT. --install-service and --uninstall-service
// set the systemd service up or take it away, and end.
#include <malloc.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <climits>
#include <cstdio>
#include <string>

#include "host/ControlServer.h"
#include "host/Host.h"
#include "host/ServiceInstall.h"

namespace {

constexpr const char* kVersion = "0.1.0";

std::string OwnPath() {
  char path[PATH_MAX] = {};
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : "/usr/local/bin/vidra-server";
}

int Run(int argc, char** argv) {
  CLI::App app{"VIDRA MOS device server"};
  vidra::HostOptions options;
  options.controlPath = vidra::DefaultControlPath();
  bool install = false;
  bool uninstall = false;
  std::string root;
  app.add_option("--config", options.configPath, "settings file (INI)")->check(CLI::ExistingFile);
  app.add_option("--control", options.controlPath, "control socket")->capture_default_str();
  app.add_flag("--autostart", options.autostart,
               "build and start the server at launch; stop it on SIGTERM or SIGINT");
  app.add_option("--http", options.http,
                 "serve the status page, its JSON API and /metrics at [ADDRESS:]PORT "
                 "(address 127.0.0.1 unless given)");
  auto* installFlag = app.add_flag("--install-service", install,
                                   "write the systemd unit and /etc/vidra/vidra.ini, then end");
  auto* uninstallFlag =
      app.add_flag("--uninstall-service", uninstall, "stop and remove the systemd unit, then end");
  installFlag->excludes(uninstallFlag);
  app.add_option("--install-root", root, "write the service files under this folder instead")
      ->group("");  // for packaging and tests
  app.set_version_flag("--version", std::string("vidra-server ") + kVersion);
  CLI11_PARSE(app, argc, argv);

  const vidra::ServiceLayout layout{root, OwnPath()};
  if (install) {
    return vidra::InstallService(layout);
  }
  if (uninstall) {
    return vidra::UninstallService(layout);
  }
  return vidra::RunHost(options);
}

}  // namespace

int main(int argc, char** argv) {
  // A running order of hundreds of items is freed as thousands of small blocks. Parked in
  // fast bins, they are all merged by the next large allocation, which is the next big
  // message's receive: about 150 us of a roCreate's answer. Without fast bins a block is
  // merged as it is freed, on the delete or replace that frees it. Small blocks still come
  // from the per-thread cache. Under a sanitizer's allocator this does nothing.
  mallopt(M_MXFAST, 0);  // NOLINT(concurrency-mt-unsafe): no other thread runs yet
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vidra-server: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "vidra-server: unexpected failure\n");
  }
  return 1;
}
