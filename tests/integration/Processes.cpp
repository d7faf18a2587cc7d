#include "tests/integration/Processes.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace vidra::test {

namespace {

// The lowest port the kernel hands to outgoing connections. A port given to a server under
// test is taken below it: a port from that range can, between its release and the server's
// bind, become the local end of some other test's connection, and the server cannot start.
std::uint16_t EphemeralLow() {
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  unsigned low = 32768;
  range >> low;
  return static_cast<std::uint16_t>(low > 12000 && low <= 65535 ? low : 32768);
}

}  // namespace

FreePort::FreePort() {
  static thread_local std::mt19937 random(std::random_device{}());
  const std::uint16_t high = EphemeralLow();
  std::uniform_int_distribution<unsigned> pick(10000, high - 1U);
  for (int attempt = 0; attempt < 1000 && port_ == 0; ++attempt) {
    socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(pick(random)));
    if (socket_ >= 0 &&
        ::bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(socket_, 1) == 0) {
      port_ = ntohs(address.sin_port);
    } else {
      Release();
    }
  }
}

void FreePort::Release() {
  if (socket_ >= 0) {
    ::close(socket_);
    socket_ = -1;
  }
}

namespace {

pid_t Spawn(const std::string& program, const std::vector<std::string>& arguments,
            const std::string& outFile, const std::string& errorFile,
            std::uint64_t fileSizeLimit = 0) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (fileSizeLimit > 0) {
      const rlimit limit{fileSizeLimit, fileSizeLimit};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (!outFile.empty()) {
      static_cast<void>(std::freopen(outFile.c_str(), "w", stdout));
    }
    static_cast<void>(std::freopen(errorFile.c_str(), "w", stderr));
    std::vector<std::string> copies = arguments;
    std::string name = program;
    std::vector<char*> argv{name.data()};
    for (auto& argument : copies) {
      argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  return pid;
}

int WaitFor(pid_t pid, std::chrono::milliseconds timeout) {
  int status = 0;
  if (!WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout)) {
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

ServerProcess::ServerProcess(std::vector<std::string> arguments, const std::string& errorFile,
                             std::uint64_t fileSizeLimit) {
  bool named = false;
  for (const auto& argument : arguments) {
    named = named || argument == "--control";
  }
  if (!named) {
    controlPath_ =
        std::filesystem::path(controlFolder_.Path()).parent_path().string() + "/control.sock";
    arguments.push_back("--control");
    arguments.push_back(controlPath_);
  }
  pid_ = Spawn(VIDRA_SERVER_PATH, arguments, "", errorFile, fileSizeLimit);
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0 && !exited_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

void ServerProcess::Signal(int signal) const {
  ::kill(pid_, signal);
}

int ServerProcess::Wait(std::chrono::milliseconds timeout) {
  if (!exited_) {
    status_ = WaitFor(pid_, timeout);
    exited_ = status_ != -1;
  }
  return status_;
}

ToolRun RunTool(const std::string& program, const std::vector<std::string>& arguments,
                std::chrono::seconds timeout) {
  TempFile out("", "stdout.txt");
  TempFile err("", "stderr.txt");
  const pid_t pid = Spawn(program, arguments, out.Path(), err.Path());
  ToolRun run;
  run.status = WaitFor(pid, timeout);
  if (run.status == -1) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  run.out = ReadFile(out.Path());
  run.err = ReadFile(err.Path());
  return run;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Settings(std::uint16_t lower, std::uint16_t upper, const std::string& more,
                     const std::string& device) {
  return "[VIDRAServer]\nChannelCount = 1\nCHANNEL_NAME1 = NEWS\nCHANNEL_PLAYER1 = out1\n" + more +
         "[Devices]\nout1 = " + device +
         "\n[Network]\nListenAddress = 127.0.0.1\nLowerPort = " + std::to_string(lower) +
         "\nQueryPort = 0\nUpperPort = " + std::to_string(upper) + "\n";
}

std::string Folder(const TempFile& file) {
  return std::filesystem::path(file.Path()).parent_path().string();
}

std::string Envelope(const std::string& id, const std::string& body) {
  return "<mos><mosID>VIDRA.NEWS</mosID><ncsID>NCS</ncsID><messageID>" + id + "</messageID>" +
         body + "</mos>";
}

std::string Story(const std::string& id) {
  return "<story><storyID>" + id + "</storyID><item><itemID>" + id +
         "1</itemID><objID>O</objID><mosID>VIDRA</mosID><objPaths><objPath>opener.wav</objPath>"
         "</objPaths></item></story>";
}

}  // namespace vidra::test
