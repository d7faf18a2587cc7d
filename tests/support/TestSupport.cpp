// Test helpers on plain POSIX calls, so they do not depend on the code under test.
#include "tests/support/TestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace vidra::test {

ScopedTimeZone::ScopedTimeZone(const char* zone) {
  const char* old = std::getenv("TZ");
  had_ = old != nullptr;
  if (had_) {
    old_ = old;
  }
  setenv("TZ", zone, 1);
  tzset();
}

ScopedTimeZone::~ScopedTimeZone() {
  if (had_) {
    setenv("TZ", old_.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vidra-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(std::string_view relative, std::string_view contents) const {
  const std::filesystem::path path = std::filesystem::path(path_) / relative;
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << contents;
  return path.string();
}

TempFile::TempFile(std::string_view contents, std::string_view name) {
  std::string pattern = (std::filesystem::temp_directory_path() / "vidra-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  folder_ = pattern;
  path_ = folder_ + "/" + std::string(name);
  std::ofstream(path_, std::ios::binary) << contents;
}

TempFile::~TempFile() {
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

std::string LoopbackSettings(std::string_view extra) {
  std::string text =
      "[VIDRAServer]\nChannelCount = 1\nCHANNEL_NAME1 = NEWS\nCHANNEL_PLAYER1 = out1\n"
      "[Devices]\nout1 = virtual 25\n"
      "[Network]\nListenAddress = 127.0.0.1\nLowerPort = 0\nUpperPort = 0\nQueryPort = 0\n";
  text += extra;
  return text;
}

std::string Utf16Bytes(std::u16string_view text, bool highByteFirst) {
  std::string bytes;
  for (const char16_t unit : text) {
    const auto high = static_cast<char>(unit >> 8);
    const auto low = static_cast<char>(unit & 0xFF);
    bytes += highByteFirst ? high : low;
    bytes += highByteFirst ? low : high;
  }
  return bytes;
}

TestPeer::~TestPeer() {
  Close();
}

std::u16string Utf16FromBytes(std::string_view bytes, bool highByteFirst) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto first = static_cast<unsigned char>(bytes[i]);
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    text += static_cast<char16_t>(highByteFirst ? (first << 8 | second) : (second << 8 | first));
  }
  return text;
}

std::string TestPeer::ReceiveUntil(const std::function<bool(const std::string&)>& done,
                                   std::chrono::milliseconds timeout) {
  std::string received;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done(received)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd entry{socket_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
      break;
    }
    char buffer[4096];
    const ssize_t n = ::recv(socket_, buffer, sizeof buffer, 0);
    if (n <= 0) {
      break;
    }
    received.append(buffer, static_cast<std::size_t>(n));
  }
  return received;
}

std::string TestPeer::Receive(std::size_t count, std::chrono::milliseconds timeout) {
  return ReceiveUntil([count](const std::string& soFar) { return soFar.size() >= count; }, timeout);
}

std::u16string TestPeer::ReceiveMessage(bool highByteFirst, std::chrono::milliseconds timeout) {
  // Only the tail is looked at, so that a message of megabytes is not decoded per receive.
  const std::string end = Utf16Bytes(u"</mos>", highByteFirst);
  const std::string bytes = ReceiveUntil(
      [&](const std::string& soFar) {
        return soFar.size() % 2 == 0 && soFar.size() >= end.size() &&
               soFar.compare(soFar.size() - end.size(), end.size(), end) == 0;
      },
      timeout);
  return Utf16FromBytes(bytes, highByteFirst);
}

bool TestPeer::Connect(std::uint16_t port, const char* from) {
  Close();
  socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in source{};
  source.sin_family = AF_INET;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected =
      socket_ >= 0 && ::inet_pton(AF_INET, from, &source.sin_addr) == 1 &&
      ::bind(socket_, reinterpret_cast<const sockaddr*>(&source), sizeof source) == 0 &&
      ::connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  // A connect to a port nobody listens on yet can be given that very port as its own end
  // and meet itself (a TCP simultaneous open); it would then hold the port the server is
  // about to bind.
  socklen_t length = sizeof source;
  if (connected && ::getsockname(socket_, reinterpret_cast<sockaddr*>(&source), &length) == 0 &&
      source.sin_port == address.sin_port && source.sin_addr.s_addr == address.sin_addr.s_addr) {
    Close();
    return false;
  }
  return connected;
}

bool TestPeer::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

bool TestPeer::WaitClosed(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd entry{socket_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
      return false;
    }
    char buffer[256];
    const ssize_t n = ::recv(socket_, buffer, sizeof buffer, 0);
    if (n <= 0) {
      return true;
    }
  }
}

void TestPeer::Close() {
  if (socket_ >= 0) {
    ::close(socket_);
    socket_ = -1;
  }
}

void TestPeer::Adopt(int socket) {
  Close();
  socket_ = socket;
}

TestListener::TestListener() : TestListener("127.0.0.1", 0) {}

TestListener::TestListener(const char* at, std::uint16_t port) {
  socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  socklen_t length = sizeof address;
  if (socket_ < 0 || ::inet_pton(AF_INET, at, &address.sin_addr) != 1 ||
      ::bind(socket_, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
      ::listen(socket_, 128) != 0 ||
      ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("the test listener cannot listen");
  }
  port_ = ntohs(address.sin_port);
}

TestListener::~TestListener() {
  Close();
}

bool TestListener::Accept(TestPeer& peer, std::chrono::milliseconds timeout) {
  pollfd entry{socket_, POLLIN, 0};
  if (socket_ < 0 || ::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) {
    return false;
  }
  const int accepted = ::accept4(socket_, nullptr, nullptr, SOCK_CLOEXEC);
  if (accepted < 0) {
    return false;
  }
  peer.Adopt(accepted);
  return true;
}

void TestListener::Close() {
  if (socket_ >= 0) {
    ::close(socket_);
    socket_ = -1;
  }
}

void TestPeer::Reset() {
  if (socket_ >= 0) {
    const linger hard{1, 0};
    ::setsockopt(socket_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    Close();
  }
}

}  // namespace vidra::test
