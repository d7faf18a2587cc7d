// Helpers shared by the tests: a loopback TCP peer that plays the NRCS, temporary files,
// UTF-16 wire text in either byte order, and waiting for a condition with a deadline.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "tests/support/Wav.h"

namespace vidra::test {

// Polls cond every millisecond until it holds or the (real) time-out passes.
bool WaitUntil(const std::function<bool()>& cond,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// The process's time zone (TZ) set to zone while it lives, then put back.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone);
  ~ScopedTimeZone();
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  bool had_ = false;
  std::string old_;
};

// A fresh temporary folder, removed with all it holds at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  // Writes a file under the folder (its folders made as needed) and returns its whole path.
  std::string Write(std::string_view relative, std::string_view contents) const;

 private:
  std::string path_;
};

// A file in a fresh temporary folder, removed with it at destruction.
class TempFile {
 public:
  explicit TempFile(std::string_view contents, std::string_view name = "settings.ini");
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string folder_;
  std::string path_;
};

// Settings that listen on free ports of the loopback address.
std::string LoopbackSettings(std::string_view extra = "");

// The 16-bit units of wire bytes in the given order (an odd last byte is dropped).
std::u16string Utf16FromBytes(std::string_view bytes, bool highByteFirst);

// 16-bit wire text: each character as two bytes, high byte first or low byte first.
std::string Utf16Bytes(std::u16string_view text, bool highByteFirst);

// A TCP client on 127.0.0.1 (or another loopback address given to Connect).
class TestPeer {
 public:
  TestPeer() = default;
  ~TestPeer();
  TestPeer(const TestPeer&) = delete;
  TestPeer& operator=(const TestPeer&) = delete;

  bool Connect(std::uint16_t port, const char* from = "127.0.0.1");
  bool Send(std::string_view bytes);
  // Bytes received until `count` have come or the time-out passed.
  std::string Receive(std::size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Bytes received until done(bytes so far) holds or the time-out passed.
  std::string ReceiveUntil(const std::function<bool(const std::string&)>& done,
                           std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // One MOS message of 16-bit text: bytes until the text ends with "</mos>".
  std::u16string ReceiveMessage(bool highByteFirst,
                                std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // True when the server closed the connection within the time-out.
  bool WaitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  void Close();
  // Closes with a reset (RST) instead of an orderly close.
  void Reset();
  // Takes over an accepted socket.
  void Adopt(int socket);

 private:
  int socket_ = -1;
};

// A TCP listener on 127.0.0.1 at a free port: what an NRCS opens for the server's notices.
class TestListener {
 public:
  TestListener();
  // On another loopback address, and on a given port (0: a free one).
  TestListener(const char* address, std::uint16_t port);
  ~TestListener();
  TestListener(const TestListener&) = delete;
  TestListener& operator=(const TestListener&) = delete;

  std::uint16_t Port() const { return port_; }
  // Accepts the next connection into peer; false when none came within the time-out.
  bool Accept(TestPeer& peer, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Stops listening: later connections are refused.
  void Close();

 private:
  int socket_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace vidra::test
