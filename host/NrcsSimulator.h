// vidra-nrcs's NRCS: it sends MOS messages to a MOS device over the lower and upper ports,
// waits for each answer, and listens on its own upper port for roElementStat notices,
// acknowledging each with a roAck. Everything it sends and hears is printed. The steps run
// on the caller's thread; the notice listener runs on a thread of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vidra {

struct NrcsOptions {
  std::string host = "127.0.0.1";
  std::uint16_t lowerPort = 10540;
  std::uint16_t upperPort = 10541;
  std::uint16_t noticePort = 10541;  // 0: do not listen for notices
  bool highByteFirst = true;
  std::string mosID = "VIDRA.NEWS";
  std::string ncsID = "NCS";
  std::string roID = "VIDRA-DEMO";
  int answerSeconds = 5;
  bool print = true;  // every message and answer on standard output
};

class NrcsSimulator {
 public:
  explicit NrcsSimulator(NrcsOptions options);
  ~NrcsSimulator();
  NrcsSimulator(const NrcsSimulator&) = delete;
  NrcsSimulator& operator=(const NrcsSimulator&) = delete;

  // Starts listening for notices; false (with a message) when the port cannot be had.
  bool ListenForNotices();
  // Runs one step ("heartbeat", "create", "execute", "file:PATH", "wait:3", ...); false
  // when it is not a step or its answer did not come.
  bool Run(const std::string& step);
  // Notices received and acknowledged so far.
  int Notices() const { return notices_; }
  // Sends one whole MOS message (UTF-8 text) on the upper or the lower port and returns the
  // next message that comes back on that connection; none when none came in time.
  std::optional<std::string> Request(bool upper, const std::string& message);
  // The next message that comes on the upper or lower connection without a request (the
  // mosListAll that follows a mosAck); none when none came within timeoutMs.
  std::optional<std::string> Next(bool upper, int timeoutMs);

  // The steps, for --help.
  static std::string StepHelp();

 private:
  struct Link {
    int fd = -1;
    std::string bytes;  // received, not yet a whole message
  };

  std::string Envelope(const std::string& body);
  bool Exchange(Link& link, std::uint16_t port, const char* name, const std::string& message);
  std::optional<std::string> SendAndRead(Link& link, std::uint16_t port, const char* name,
                                         const std::string& message);
  bool Connect(Link& link, std::uint16_t port);
  std::optional<std::string> ReadMessage(Link& link, int timeoutMs);
  void Print(const char* direction, const std::string& text);
  void ServeNotices();
  std::string Encode(const std::string& utf8) const;

  NrcsOptions options_;
  int messageID_ = 0;
  Link lower_;
  Link upper_;
  int listener_ = -1;
  std::atomic<bool> running_{true};
  std::atomic<int> notices_{0};
  std::mutex printLock_;  // one printed line at a time
  std::thread noticeThread_;
};

}  // namespace vidra
