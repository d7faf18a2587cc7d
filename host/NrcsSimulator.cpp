// The simulator speaks 16-bit MOS text in one byte order (high byte first unless told
// otherwise) on all its connections, and reads answers in the same order, as the server
// answers each connection in the order it was spoken to.
#include "host/NrcsSimulator.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "common/Text.h"
#include "transport/Encoding.h"

namespace vidra {

namespace {

std::string Item(const std::string& storyID, const std::string& slug, const std::string& objID,
                 const std::string& mosID, const std::string& file) {
  return "<story><storyID>" + storyID + "</storyID><storySlug>" + slug +
         "</storySlug><item><itemID>1</itemID><itemSlug>" + slug + "</itemSlug><objID>" + objID +
         "</objID><mosID>" + mosID + "</mosID><objPaths><objPath>" + file +
         "</objPath></objPaths></item></story>";
}

void CloseLink(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

std::string ElementBetween(const std::string& text, const std::string& name) {
  const std::string open = "<" + name + ">";
  const auto start = text.find(open);
  const auto end = text.find("</" + name + ">");
  if (start == std::string::npos || end == std::string::npos || end < start) {
    return "";
  }
  return text.substr(start + open.size(), end - start - open.size());
}

}  // namespace

std::string LocalTimeIn(int seconds) {
  const std::time_t at = std::time(nullptr) + seconds;
  std::tm local{};
  localtime_r(&at, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  return text;
}

// Each run numbers its messages from a base of its own, as a real NRCS never reuses a
// messageID: the server takes a message with a messageID and text it answered minutes ago
// for one sent again, and would not apply a second run's roCtrl.
NrcsSimulator::NrcsSimulator(NrcsOptions options)
    : options_(std::move(options)),
      messageID_(static_cast<int>(std::time(nullptr) % 100'000) * 1000) {}

NrcsSimulator::~NrcsSimulator() {
  running_ = false;
  for (std::thread* thread : {&noticeThread_, &objectThread_}) {
    if (thread->joinable()) {
      thread->join();
    }
  }
  CloseLink(listener_);
  CloseLink(objectListener_);
  CloseLink(lower_.fd);
  CloseLink(upper_.fd);
  CloseLink(query_.fd);
}

std::string NrcsSimulator::StepHelp() {
  return "steps, run in order:\n"
         "  heartbeat        heartbeat on the lower port\n"
         "  machinfo         reqMachInfo on the lower port\n"
         "  create           roCreate of the sample running order (opener.wav, sting.wav)\n"
         "  timed:S          the same, TIMED to start S seconds from now\n"
         "  req, reqall      roReq of the running order, roReqAll\n"
         "  insert           roElementAction INSERT of a story before the second\n"
         "  ready, execute, stop   roCtrl of the first item (READY, EXECUTE, STOP)\n"
         "  delete           roDelete of the running order\n"
         "  file:PATH        the MOS message in PATH (UTF-8) on the upper port\n"
         "  wait:S           listen for notices for S seconds\n"
         "  conformance      (alone) every message of the profiles the device claims, in both\n"
         "                   byte orders, each answer checked: PASS or FAIL per case\n";
}

std::string NrcsSimulator::Encode(const std::string& utf8) const {
  return ConvertAnswer(
      options_.highByteFirst ? EncodingType::HighByteFirst : EncodingType::LowByteFirst,
      Utf8ToUtf16(utf8));
}

std::string NrcsSimulator::Envelope(const std::string& body) {
  return "<mos><mosID>" + options_.mosID + "</mosID><ncsID>" + options_.ncsID +
         "</ncsID><messageID>" + std::to_string(++messageID_) + "</messageID>" + body + "</mos>";
}

void NrcsSimulator::Print(const char* direction, const std::string& text) {
  if (!options_.print) {
    return;
  }
  std::lock_guard guard(printLock_);  // whole lines from both threads
  std::printf("%s %s\n", direction, text.c_str());
  std::fflush(stdout);
}

bool NrcsSimulator::Connect(Link& link, std::uint16_t port) {
  if (link.fd >= 0) {
    return true;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (::inet_pton(AF_INET, options_.host.c_str(), &address.sin_addr) != 1) {
    std::fprintf(stderr, "vidra-nrcs: '%s' is not an IPv4 address\n", options_.host.c_str());
    return false;
  }
  link.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (link.fd < 0 ||
      ::connect(link.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    std::fprintf(stderr, "vidra-nrcs: cannot connect to %s:%u: %s\n", options_.host.c_str(), port,
                 ErrorText(errno).c_str());
    CloseLink(link.fd);
    return false;
  }
  return true;
}

std::optional<std::string> NrcsSimulator::ReadMessage(Link& link, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    // Answers come in this NRCS's own order; notices high byte first whatever it speaks,
    // which the first unit ('<', its high byte 0) shows.
    bool highFirst = options_.highByteFirst;
    if (link.bytes.size() >= 2 && (link.bytes[0] == 0) != (link.bytes[1] == 0)) {
      highFirst = link.bytes[0] == 0;
    }
    std::u16string units;
    for (std::size_t i = 0; i + 1 < link.bytes.size(); i += 2) {
      const auto a = static_cast<unsigned char>(link.bytes[i]);
      const auto b = static_cast<unsigned char>(link.bytes[i + 1]);
      units += static_cast<char16_t>(highFirst ? (a << 8 | b) : (b << 8 | a));
    }
    if (const auto end = units.find(u"</mos>"); end != std::u16string::npos) {
      link.bytes.erase(0, (end + 6) * 2);
      return Utf16ToUtf8(units.substr(0, end + 6));
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd entry{link.fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
      return std::nullopt;
    }
    char buffer[16384];
    const ssize_t n = ::recv(link.fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      CloseLink(link.fd);
      return std::nullopt;
    }
    link.bytes.append(buffer, static_cast<std::size_t>(n));
  }
}

std::optional<std::string> NrcsSimulator::SendAndRead(Link& link, std::uint16_t port,
                                                      const char* name,
                                                      const std::string& message) {
  std::optional<std::string> answer = SendAndReadOnce(link, port, name, message);
  if (options_.other.empty() || (answer && answer->find("backup: main is") == std::string::npos)) {
    return answer;
  }
  const std::uint16_t lower = options_.lowerPort;
  const std::uint16_t upper = options_.upperPort;
  if (!SwitchServer()) {
    return answer;
  }
  const std::uint16_t other = port == upper   ? options_.upperPort
                              : port == lower ? options_.lowerPort
                                              : port;
  return SendAndReadOnce(link, other, name, message);
}

bool NrcsSimulator::SwitchServer() {
  const std::string& other = options_.other;
  const std::size_t first = other.find(':');
  const std::size_t second = other.find(':', first == std::string::npos ? first : first + 1);
  int lower = 0;
  int upper = 0;
  if (first == std::string::npos || second == std::string::npos ||
      std::sscanf(other.c_str() + first + 1, "%d:%d", &lower, &upper) != 2 || lower <= 0 ||
      lower > 65535 || upper <= 0 || upper > 65535) {
    std::fprintf(stderr, "vidra-nrcs: the other server '%s' is not host:lower:upper\n",
                 other.c_str());
    return false;
  }
  std::fprintf(stderr, "vidra-nrcs: %s:%u does not answer as main: trying %s\n",
               options_.host.c_str(), options_.upperPort, other.c_str());
  const std::string now = options_.host + ":" + std::to_string(options_.lowerPort) + ":" +
                          std::to_string(options_.upperPort);
  options_.host = other.substr(0, first);
  options_.lowerPort = static_cast<std::uint16_t>(lower);
  options_.upperPort = static_cast<std::uint16_t>(upper);
  options_.other = now;
  for (Link* link : {&lower_, &upper_, &query_}) {
    CloseLink(link->fd);
    link->bytes.clear();
  }
  return true;
}

std::optional<std::string> NrcsSimulator::SendAndReadOnce(Link& link, std::uint16_t port,
                                                          const char* name,
                                                          const std::string& message) {
  if (!Connect(link, port)) {
    return std::nullopt;
  }
  Print((std::string("->") + name).c_str(), message);
  const std::string bytes = Encode(message);
  if (::send(link.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(bytes.size())) {
    std::fprintf(stderr, "vidra-nrcs: the send to port %u failed\n", port);
    CloseLink(link.fd);
    return std::nullopt;
  }
  auto answer = ReadMessage(link, options_.answerSeconds * 1000);
  if (!answer) {
    std::fprintf(stderr, "vidra-nrcs: no answer on port %u within %d s\n", port,
                 options_.answerSeconds);
    return std::nullopt;
  }
  Print((std::string("<-") + name).c_str(), *answer);
  return answer;
}

bool NrcsSimulator::Exchange(Link& link, std::uint16_t port, const char* name,
                             const std::string& message) {
  return SendAndRead(link, port, name, message).has_value();
}

std::optional<std::string> NrcsSimulator::Request(bool upper, const std::string& message) {
  return upper ? SendAndRead(upper_, options_.upperPort, "upper", message)
               : SendAndRead(lower_, options_.lowerPort, "lower", message);
}

std::optional<std::string> NrcsSimulator::Query(const std::string& message) {
  return SendAndRead(query_, options_.queryPort, "query", message);
}

std::optional<std::string> NrcsSimulator::Next(bool upper, int timeoutMs) {
  return ReadMessage(upper ? upper_ : lower_, timeoutMs);
}

bool NrcsSimulator::Run(const std::string& step) {
  const std::string& ro = options_.roID;
  const std::string& mos = options_.mosID;
  const std::string stories = Item("S1", "Opener", "OPENER", mos, "opener.wav") +
                              Item("S2", "Sting", "STING", mos, "sting.wav");
  auto upper = [&](const std::string& body) {
    return Exchange(upper_, options_.upperPort, "upper", Envelope(body));
  };
  auto ctrl = [&](const char* command) {
    return upper("<roCtrl><roID>" + ro + "</roID><storyID>S1</storyID><itemID>1</itemID><command>" +
                 command + "</command></roCtrl>");
  };
  if (step == "heartbeat") {
    return Exchange(lower_, options_.lowerPort, "lower", Envelope("<heartbeat/>"));
  }
  if (step == "machinfo") {
    return Exchange(lower_, options_.lowerPort, "lower", Envelope("<reqMachInfo/>"));
  }
  if (step == "create") {
    return upper("<roCreate><roID>" + ro + "</roID><roSlug>Demo rundown</roSlug>" + stories +
                 "</roCreate>");
  }
  if (step.rfind("timed:", 0) == 0) {
    return upper("<roCreate><roID>" + ro + "</roID><roSlug>Demo rundown</roSlug><roEdStart>" +
                 LocalTimeIn(std::atoi(step.c_str() + 6)) +
                 "</roEdStart><roTrigger>TIMED</roTrigger>" + stories + "</roCreate>");
  }
  if (step == "req") {
    return upper("<roReq><roID>" + ro + "</roID></roReq>");
  }
  if (step == "reqall") {
    return upper("<roReqAll/>");
  }
  if (step == "insert") {
    return upper("<roElementAction operation=\"INSERT\"><roID>" + ro +
                 "</roID><element_target><storyID>S2</storyID></element_target><element_source>" +
                 Item("S3", "Extra sting", "STING", mos, "sting.wav") +
                 "</element_source></roElementAction>");
  }
  if (step == "ready") {
    return ctrl("READY");
  }
  if (step == "execute") {
    return ctrl("EXECUTE");
  }
  if (step == "stop") {
    return ctrl("STOP");
  }
  if (step == "delete") {
    return upper("<roDelete><roID>" + ro + "</roID></roDelete>");
  }
  if (step.rfind("file:", 0) == 0) {
    std::ifstream in(step.substr(5), std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "vidra-nrcs: cannot read %s\n", step.c_str() + 5);
      return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return Exchange(upper_, options_.upperPort, "upper", text.str());
  }
  if (step.rfind("wait:", 0) == 0) {
    std::this_thread::sleep_for(std::chrono::seconds(std::atoi(step.c_str() + 5)));
    return true;
  }
  std::fprintf(stderr, "vidra-nrcs: '%s' is not a step\n%s", step.c_str(), StepHelp().c_str());
  return false;
}

int NrcsSimulator::Listen(std::uint16_t port, const char* what) {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (listener < 0 ||
      ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 4) != 0) {
    std::fprintf(stderr,
                 "vidra-nrcs: cannot listen for %s on port %u: %s (a server on this machine "
                 "may hold it: give another port and set the server's [Network] setting to it)\n",
                 what, port, ErrorText(errno).c_str());
    CloseLink(listener);
    return -1;
  }
  return listener;
}

namespace {

// It holds no running orders of its own for a device that asks to get back in step.
std::string NoticeAnswer(const std::string& notice) {
  if (notice.find("<roReqAll") != std::string::npos) {
    return "<roListAll></roListAll>";
  }
  if (notice.find("<roReq>") != std::string::npos) {
    return "<roAck><roID>" + ElementBetween(notice, "roID") +
           "</roID><roStatus>NACK unknown roID</roStatus></roAck>";
  }
  return "<roAck><roID>" + ElementBetween(notice, "roID") +
         "</roID><roStatus>OK</roStatus></roAck>";
}

std::string ObjectAnswer(const std::string& message) {
  return "<mosAck><objID>" + ElementBetween(message, "objID") + "</objID><objRev>" +
         ElementBetween(message, "objRev") +
         "</objRev><status>ACK</status><statusDescription></statusDescription></mosAck>";
}

}  // namespace

bool NrcsSimulator::ListenForNotices() {
  if (options_.noticePort == 0) {
    return true;
  }
  listener_ = Listen(options_.noticePort, "notices");
  if (listener_ < 0) {
    return false;
  }
  noticeThread_ = std::thread([this] { Serve(listener_, "notice", &NoticeAnswer, false); });
  return true;
}

bool NrcsSimulator::ListenForObjects() {
  if (options_.objectPort == 0) {
    return true;
  }
  objectListener_ = Listen(options_.objectPort, "objects");
  if (objectListener_ < 0) {
    return false;
  }
  objectThread_ = std::thread([this] { Serve(objectListener_, "object", &ObjectAnswer, true); });
  return true;
}

std::optional<std::string> NrcsSimulator::NextObject(int timeoutMs) {
  std::unique_lock lock(objectLock_);
  if (!objectCame_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [this] { return !objects_.empty(); })) {
    return std::nullopt;
  }
  std::string next = std::move(objects_.front());
  objects_.pop_front();
  return next;
}

// One connection at a time, as the server keeps one per NRCS host and port.
void NrcsSimulator::Serve(int listener, const char* label,
                          std::string (*answer)(const std::string&), bool keep) {
  const std::string in = std::string("<-") + label;
  const std::string out = std::string("->") + label;
  Link link;
  while (running_) {
    if (link.fd < 0) {
      pollfd entry{listener, POLLIN, 0};
      if (::poll(&entry, 1, 100) > 0) {
        link.fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        link.bytes.clear();
      }
      continue;
    }
    const auto message = ReadMessage(link, 100);
    if (!message) {
      continue;  // nothing yet, or the server closed the connection
    }
    Print(in.c_str(), *message);
    const std::string ack = "<mos><mosID>" + options_.mosID + "</mosID><ncsID>" + options_.ncsID +
                            "</ncsID><messageID>" + ElementBetween(*message, "messageID") +
                            "</messageID>" + answer(*message) + "</mos>";
    const std::string bytes = Encode(ack);
    static_cast<void>(::send(link.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL));
    Print(out.c_str(), ack);
    if (keep) {
      std::lock_guard guard(objectLock_);  // objects_
      objects_.push_back(*message);
      objectCame_.notify_all();
    } else {
      ++notices_;
    }
  }
  CloseLink(link.fd);
}

}  // namespace vidra
