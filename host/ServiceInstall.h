// Installs and removes the systemd service: the unit file, the station settings in
// /etc/vidra/ and the folders they name. Both are idempotent: installing twice or removing
// what is not there succeeds. Run from vidra-server's --install-service and
// --uninstall-service, normally as root.
#pragma once

#include <string>

namespace vidra {

// The unit file with "@VIDRA_SERVER@" where the server's path goes, and the settings.
extern const char* const kUnitTemplate;
extern const char* const kStationSettings;

struct ServiceLayout {
  // Prefix of every path written ("" or "/" for the running system; a folder for staging
  // and tests, where systemctl is not called).
  std::string root;
  // The vidra-server executable that the unit starts.
  std::string server;
};

// Each returns 0 on success and 1 on failure, and prints what it did to standard output
// and what failed to standard error.
int InstallService(const ServiceLayout& layout);
int UninstallService(const ServiceLayout& layout);

}  // namespace vidra
