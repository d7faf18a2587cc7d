// The host process's own work: it owns the one control object, serves the control socket
// and the stop signals on the host thread, and with autostart builds the server at launch
// and dismantles it at a stop. Control operations only ever run on this thread.
#pragma once

#include <string>

namespace vidra {

struct HostOptions {
  std::string configPath;
  std::string controlPath;
  bool autostart = false;
  // Where the status page is served ("PORT", ":PORT" or "ADDRESS:PORT"); empty for none.
  std::string http;
};

// Serves until SIGTERM or SIGINT and returns the exit status: 0 for a clean stop, 1 when
// the host could not start or a step of autostart failed.
int RunHost(const HostOptions& options);

}  // namespace vidra
