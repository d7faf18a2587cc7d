// vidra-nrcs's NRCS: it sends MOS messages to a MOS device over the lower and upper ports,
// waits for each answer, and listens on its own upper port for roElementStat notices,
// acknowledging each with a roAck. Everything it sends and hears is printed. The steps run
// on the caller's thread; the notice listener runs on a thread of its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vidra {

// Local time as an NRCS writes roEdStart ("2026-12-10T19:00:03"), seconds from now.
std::string LocalTimeIn(int seconds);

struct NrcsOptions {
  std::string host = "127.0.0.1";
  std::uint16_t lowerPort = 10540;
  std::uint16_t upperPort = 10541;
  std::uint16_t queryPort = 10542;   // the device's query port (search, profile 3)
  std::uint16_t noticePort = 10541;  // 0: do not listen for notices
  // This NRCS's own lower port, where the device sends what it starts (mosObj, mosListAll);
  // 0: do not listen for objects.
  std::uint16_t objectPort = 0;
  bool highByteFirst = true;
  std::string mosID = "VIDRA.NEWS";
  std::string ncsID = "NCS";
  std::string roID = "VIDRA-DEMO";
  int answerSeconds = 5;
  // The other server of a main/backup pair, as host:lower:upper; empty for one device. A
  // message that gets no answer, or the answer "backup: main is ...", is sent once more to
  // the other server, which is then the one spoken to, as an NRCS with a device's two
  // addresses does.
  std::string other;
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
  // Starts listening for the device's object messages, acknowledging each with a mosAck;
  // false (with a message) when the port cannot be had.
  bool ListenForObjects();
  // The next object message the device sent to the object port; none within timeoutMs.
  std::optional<std::string> NextObject(int timeoutMs);
  // Runs one step ("heartbeat", "create", "execute", "file:PATH", "wait:3", ...); false
  // when it is not a step or its answer did not come.
  bool Run(const std::string& step);
  // Notices received and acknowledged so far.
  int Notices() const { return notices_; }
  // Sends one whole MOS message (UTF-8 text) on the upper or the lower port and returns the
  // next message that comes back on that connection; none when none came in time.
  std::optional<std::string> Request(bool upper, const std::string& message);
  // The same on the device's query port.
  std::optional<std::string> Query(const std::string& message);
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
  std::optional<std::string> SendAndReadOnce(Link& link, std::uint16_t port, const char* name,
                                             const std::string& message);
  // Speaks to the other server of the pair from now on; false when there is none or its
  // address is not host:lower:upper.
  bool SwitchServer();
  bool Connect(Link& link, std::uint16_t port);
  std::optional<std::string> ReadMessage(Link& link, int timeoutMs);
  void Print(const char* direction, const std::string& text);
  // Serves one connection at a time on listener, answering each message it reads with the
  // body that answer gives; keep: each message is kept for NextObject.
  void Serve(int listener, const char* label, std::string (*answer)(const std::string&), bool keep);
  int Listen(std::uint16_t port, const char* what);
  std::string Encode(const std::string& utf8) const;

  NrcsOptions options_;
  int messageID_ = 0;
  Link lower_;
  Link upper_;
  Link query_;
  int listener_ = -1;
  int objectListener_ = -1;
  std::atomic<bool> running_{true};
  std::atomic<int> notices_{0};
  std::mutex printLock_;   // one printed line at a time
  std::mutex objectLock_;  // guards objects_
  std::condition_variable objectCame_;
  std::deque<std::string> objects_;
  std::thread noticeThread_;
  std::thread objectThread_;
};

}  // namespace vidra
