#include "host/ControlClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/Text.h"

namespace vidra {

ControlClient::~ControlClient() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

bool ControlClient::Connect(const std::string& path, std::string& error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    error = "the control socket path '" + path + "' is empty or too long";
    return false;
  }
  path.copy(address.sun_path, path.size());
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = "no vidra-server answers on " + path + " (" + ErrorText(errno) +
            "); is it running, and is this its --control path?";
    return false;
  }
  return true;
}

std::optional<std::string> ControlClient::CallLine(const std::string& line, std::string& error,
                                                   std::chrono::milliseconds timeout) {
  const std::string out = line + "\n";
  for (std::size_t sent = 0; sent < out.size();) {
    const ssize_t n = ::send(fd_, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      error = std::string("the server closed the control connection: ") + ErrorText(errno);
      return std::nullopt;
    }
    sent += static_cast<std::size_t>(n);
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (const auto end = pending_.find('\n'); end != std::string::npos) {
      std::string answer = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return answer;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd entry{fd_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
      error = "the server did not answer in time";
      return std::nullopt;
    }
    char buffer[65536];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
      error = "the server closed the control connection";
      return std::nullopt;
    }
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

std::optional<nlohmann::json> ControlClient::Call(const nlohmann::json& request, std::string& error,
                                                  std::chrono::milliseconds timeout) {
  const auto line = CallLine(request.dump(), error, timeout);
  if (!line) {
    return std::nullopt;
  }
  nlohmann::json answer = nlohmann::json::parse(*line, nullptr, false);
  if (answer.is_discarded() || !answer.is_object() || !answer.contains("hr")) {
    error = "the server's answer is not a control answer: " + *line;
    return std::nullopt;
  }
  return answer;
}

}  // namespace vidra
