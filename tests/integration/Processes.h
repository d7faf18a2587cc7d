// The real executables under test: the server as a child process with its own control
// socket, the command-line tools run to their end, and free loopback ports to give them.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace vidra::test {

// A listening socket on a free loopback port; closed when the port is to be handed on.
class FreePort {
 public:
  FreePort();
  ~FreePort() { Release(); }
  FreePort(const FreePort&) = delete;
  FreePort& operator=(const FreePort&) = delete;
  void Release();
  std::uint16_t Port() const { return port_; }

 private:
  int socket_ = -1;
  std::uint16_t port_ = 0;
};

// vidra-server with the arguments; standard error goes to errorFile. Without a --control
// argument it gets a control socket in a folder of its own, never the shared default.
class ServerProcess {
 public:
  // A fileSizeLimit above 0 caps every file the server writes (RLIMIT_FSIZE), as a full
  // disk would.
  ServerProcess(std::vector<std::string> arguments, const std::string& errorFile,
                std::uint64_t fileSizeLimit = 0);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  void Signal(int signal) const;
  // The exit code, or -1 when the process did not end within the time-out.
  int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  const std::string& ControlPath() const { return controlPath_; }
  pid_t Pid() const { return pid_; }

 private:
  std::string controlPath_;
  TempFile controlFolder_{"", "unused"};
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = -1;
};

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs program with the arguments to its end (at most the time-out) and collects its output.
ToolRun RunTool(const std::string& program, const std::vector<std::string>& arguments,
                std::chrono::seconds timeout = std::chrono::seconds(30));

std::string ReadFile(const std::string& path);
// The folder a temporary file is in, where a test keeps what goes with it.
std::string Folder(const TempFile& file);

// Settings of one channel NEWS on the loopback ports given, a virtual one unless another
// [Devices] entry is given; more goes into the [VIDRAServer] section.
std::string Settings(std::uint16_t lower, std::uint16_t upper, const std::string& more = "",
                     const std::string& device = "virtual 25");

// A message to channel NEWS (mosID VIDRA.NEWS) with the messageID and body given.
std::string Envelope(const std::string& id, const std::string& body);
// A story of one item, id + "1", playing opener.wav (two seconds).
std::string Story(const std::string& id);

}  // namespace vidra::test
