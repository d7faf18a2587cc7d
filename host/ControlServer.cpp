#include "host/ControlServer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "common/Log.h"
#include "common/Text.h"

namespace vidra {

namespace {

bool MakeAddress(const std::string& path, sockaddr_un& address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    return false;
  }
  path.copy(address.sun_path, path.size());
  return true;
}

// True when a server answers on the socket file.
bool SomeoneListens(const sockaddr_un& address) {
  const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) {
    return false;
  }
  const bool live =
      ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(probe);
  return live;
}

std::string Busy(const std::string& path) {
  return "another vidra-server is serving the control socket " + path +
         "; stop it first or give this one another path with --control";
}

}  // namespace

std::string DefaultControlPath() {
  if (::geteuid() == 0) {
    return "/run/vidra/control.sock";
  }
  // Read once, before any thread of this program could change the environment.
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");  // NOLINT(concurrency-mt-unsafe)
      runtime != nullptr && *runtime) {
    return std::string(runtime) + "/vidra/control.sock";
  }
  return "/tmp/vidra-" + std::to_string(::geteuid()) + "/control.sock";
}

std::unique_ptr<ControlServer> ControlServer::Open(const std::string& path, std::string& error) {
  sockaddr_un address{};
  if (!MakeAddress(path, address)) {
    error = "the control socket path '" + path + "' is empty or longer than " +
            std::to_string(sizeof address.sun_path - 1) + " bytes";
    return nullptr;
  }
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  std::error_code failed;
  if (!folder.empty() && !std::filesystem::exists(folder, failed)) {
    std::filesystem::create_directories(folder, failed);
    if (failed) {
      error = "cannot create the folder " + folder.string() +
              " of the control socket: " + failed.message();
      return nullptr;
    }
  }
  const std::string lockPath = path + ".lock";
  const int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0) {
    error = "cannot open " + lockPath + ": " + ErrorText(errno);
    return nullptr;
  }
  if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
    ::close(lock);
    error = Busy(path);
    return nullptr;
  }
  struct stat existing {};
  if (::lstat(path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      ::close(lock);
      error = path + " exists and is not a socket; it is left alone";
      return nullptr;
    }
    if (SomeoneListens(address)) {
      ::close(lock);
      error = Busy(path);
      return nullptr;
    }
    ::unlink(path.c_str());  // left by a server that did not end cleanly
    Log("VIDRA - a leftover control socket %s is replaced\n", path.c_str());
  }
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener < 0 ||
      ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::chmod(path.c_str(), 0660) != 0 || ::listen(listener, 16) != 0) {
    error = "cannot listen on the control socket " + path + ": " + ErrorText(errno);
    if (listener >= 0) {
      ::close(listener);
    }
    ::close(lock);
    return nullptr;
  }
  return std::make_unique<ControlServer>(Token{}, path, listener, lock);
}

ControlServer::ControlServer(Token, std::string path, int listener, int lock)
    : path_(std::move(path)), listener_(listener), lock_(lock) {}

ControlServer::~ControlServer() {
  for (const Client& client : clients_) {
    ::close(client.fd);
  }
  ::unlink(path_.c_str());  // while the lock is held, the file is this server's
  ::close(listener_);
  ::close(lock_);
}

void ControlServer::Prepare(std::vector<pollfd>& entries) const {
  entries.push_back(pollfd{listener_, POLLIN, 0});
  for (const Client& client : clients_) {
    const short events = static_cast<short>(POLLIN | (client.output.empty() ? 0 : POLLOUT));
    entries.push_back(pollfd{client.fd, events, 0});
  }
}

void ControlServer::Serve(const std::vector<pollfd>& entries, std::size_t first,
                          const Handler& handler) {
  // The entries follow the order of Prepare: the listener, then the clients.
  auto client = clients_.begin();
  for (std::size_t i = first + 1; i < entries.size() && client != clients_.end(); ++i) {
    const short ready = entries[i].revents;
    bool keep = true;
    if ((ready & (POLLIN | POLLHUP | POLLERR)) != 0) {
      keep = Read(*client, handler);
    }
    if (keep && !client->output.empty()) {
      keep = Write(*client);
    }
    if (!keep) {
      ::close(client->fd);
      client = clients_.erase(client);
    } else {
      ++client;
    }
  }
  if (first < entries.size() && (entries[first].revents & POLLIN) != 0) {
    Accept();
  }
}

void ControlServer::Accept() {
  for (;;) {
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      return;
    }
    clients_.push_back(Client{fd, {}, {}, false});
  }
}

bool ControlServer::Read(Client& client, const Handler& handler) {
  char buffer[65536];
  const ssize_t n = ::recv(client.fd, buffer, sizeof buffer, 0);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
    return false;
  }
  if (n < 0) {
    return true;
  }
  client.input.append(buffer, static_cast<std::size_t>(n));
  std::size_t start = 0;
  for (std::size_t end; (end = client.input.find('\n', start)) != std::string::npos;
       start = end + 1) {
    if (client.skipping) {
      client.skipping = false;  // the end of the oversized line
      continue;
    }
    std::string_view line(client.input.data() + start, end - start);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    if (line.size() > kMaxLine) {
      client.output += handler.oversized() + "\n";
      continue;
    }
    client.output += handler.line(line) + "\n";
  }
  client.input.erase(0, start);
  if (client.input.size() > kMaxLine && !client.skipping) {
    client.output += handler.oversized() + "\n";
    client.skipping = true;
  }
  if (client.skipping) {
    client.input.clear();
  }
  return client.output.size() <= kMaxPending;
}

bool ControlServer::Write(Client& client) {
  while (!client.output.empty()) {
    const ssize_t n =
        ::send(client.fd, client.output.data(), client.output.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      return errno == EAGAIN || errno == EINTR;
    }
    client.output.erase(0, static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace vidra
