// systemctl is called only for the running system, and only when systemd runs it: a staged
// install (a root folder given) and a container without systemd just get the files.
#include "host/ServiceInstall.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace vidra {

namespace {

namespace fs = std::filesystem;

constexpr const char* kUnitName = "vidra-server.service";

struct Paths {
  fs::path unit;
  fs::path settings;
  std::vector<fs::path> folders;  // what the settings and the unit name
};

Paths PathsUnder(const std::string& root) {
  const fs::path base = root.empty() ? fs::path("/") : fs::path(root);
  return Paths{base / "etc/systemd/system" / kUnitName,
               base / "etc/vidra/vidra.ini",
               {base / "srv/vidra/media", base / "var/lib/vidra/playlists"}};
}

bool IsRunningSystem(const std::string& root) {
  return root.empty() || fs::path(root) == "/";
}

bool SystemdRuns() {
  std::error_code ignored;
  return fs::is_directory("/run/systemd/system", ignored);
}

// Runs systemctl with the arguments; its own messages go to the terminal.
bool Systemctl(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "systemctl");
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawnp(&child, "systemctl", nullptr, nullptr, argv.data(), environ) != 0) {
    return false;
  }
  int status = 0;
  return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool WriteFile(const fs::path& path, const std::string& text) {
  std::error_code failed;
  fs::create_directories(path.parent_path(), failed);
  const fs::path temporary = path.string() + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) {
      std::fprintf(stderr, "vidra-server: cannot write %s\n", temporary.c_str());
      return false;
    }
  }
  fs::rename(temporary, path, failed);  // never a half-written unit
  if (failed) {
    std::fprintf(stderr, "vidra-server: cannot write %s: %s\n", path.c_str(),
                 failed.message().c_str());
    return false;
  }
  return true;
}

std::string UnitFor(const std::string& server) {
  std::string unit = kUnitTemplate;
  const std::string mark = "@VIDRA_SERVER@";
  for (auto at = unit.find(mark); at != std::string::npos; at = unit.find(mark, at)) {
    unit.replace(at, mark.size(), server);
    at += server.size();
  }
  return unit;
}

}  // namespace

int InstallService(const ServiceLayout& layout) {
  const Paths paths = PathsUnder(layout.root);
  const std::string unit = UnitFor(layout.server);
  std::error_code failed;
  if (fs::exists(paths.unit, failed) && ReadAll(paths.unit) == unit) {
    std::printf("%s is installed already\n", paths.unit.c_str());
  } else if (WriteFile(paths.unit, unit)) {
    std::printf("installed %s\n", paths.unit.c_str());
  } else {
    return 1;
  }
  if (fs::exists(paths.settings, failed)) {
    std::printf("kept the settings in %s\n", paths.settings.c_str());
  } else if (WriteFile(paths.settings, kStationSettings)) {
    std::printf("wrote the station settings %s; set the station's devices and channels there\n",
                paths.settings.c_str());
  } else {
    return 1;
  }
  for (const fs::path& folder : paths.folders) {
    fs::create_directories(folder, failed);
    if (failed) {
      std::fprintf(stderr, "vidra-server: cannot create %s: %s\n", folder.c_str(),
                   failed.message().c_str());
      return 1;
    }
  }
  if (IsRunningSystem(layout.root) && SystemdRuns()) {
    if (!Systemctl({"daemon-reload"})) {
      std::fprintf(stderr, "vidra-server: systemctl daemon-reload failed\n");
      return 1;
    }
    std::printf("start it with: systemctl enable --now %s\n", kUnitName);
  }
  return 0;
}

int UninstallService(const ServiceLayout& layout) {
  const Paths paths = PathsUnder(layout.root);
  std::error_code failed;
  const bool systemd = IsRunningSystem(layout.root) && SystemdRuns();
  if (fs::exists(paths.unit, failed)) {
    if (systemd) {
      // Stopping writes the playlists; a unit that is not running is no failure.
      static_cast<void>(Systemctl({"disable", "--now", kUnitName}));
    }
    if (!fs::remove(paths.unit, failed) && failed) {
      std::fprintf(stderr, "vidra-server: cannot remove %s: %s\n", paths.unit.c_str(),
                   failed.message().c_str());
      return 1;
    }
    std::printf("removed %s\n", paths.unit.c_str());
    if (systemd) {
      static_cast<void>(Systemctl({"daemon-reload"}));
    }
  } else {
    std::printf("%s is not installed\n", paths.unit.c_str());
  }
  if (fs::exists(paths.settings, failed)) {
    if (ReadAll(paths.settings) == kStationSettings) {
      fs::remove(paths.settings, failed);
      fs::remove(paths.settings.parent_path(), failed);  // only when empty
      std::printf("removed the unchanged settings %s\n", paths.settings.c_str());
    } else {
      std::printf("kept %s: it holds the station's own settings\n", paths.settings.c_str());
    }
  }
  return 0;
}

}  // namespace vidra
