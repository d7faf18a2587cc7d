// vidra-bench: an end-to-end load client for a MOS device. It speaks 16-bit MOS text over
// real TCP, checks every answer (its kind, the messageID echo, roAck status, roList
// contents), and prints one JSON line and a short table per run. The echo mode measures the
// floor of the same machine with a minimal echo server of its own, run in a process of its
// own as the server is, so that every other figure can be read as a ratio.
#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/RunningOrder.h"

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

struct Options {
  std::string host = "127.0.0.1";
  std::uint16_t port = 10541;
  bool highByteFirst = true;
  int count = 20000;
  int window = 32;
  int stories = 100;
  int items = 5;
  int connections = 64;
  double seconds = 10;
  int pid = 0;
  std::uint16_t noticePort = 0;
};

std::string Encode(const std::string& ascii, bool highFirst) {
  std::string bytes;
  bytes.reserve(ascii.size() * 2);
  for (const char c : ascii) {
    bytes += highFirst ? '\0' : c;
    bytes += highFirst ? c : '\0';
  }
  return bytes;
}

// A blocking client connection that reads whole messages (up to "</mos>").
class Link {
 public:
  Link(const std::string& host, std::uint16_t port, bool highFirst) : highFirst_(highFirst) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error("cannot connect to " + host + ":" + std::to_string(port));
    }
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  ~Link() { ::close(fd_); }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  bool Send(const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
      const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) {
        return false;
      }
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }
  // The next whole message as ASCII-range text (other units become '?'), or "" when the
  // connection ended or nothing came within the time-out.
  // Arrived() is when its last byte was found: what comes after (turning 30,000 units of a
  // big answer into text for the checks) is this client's work, not the server's.
  std::string Next(int timeoutMs = 10000) {
    const std::string end = Encode("</mos>", highFirst_);
    for (;;) {
      const auto at = Find(end, scanned_);
      if (at != std::string::npos && (at - start_) % 2 == 0) {
        arrived_ = Clock::now();
        std::string text((at + end.size() - start_) / 2, '\0');
        const auto* bytes = reinterpret_cast<const unsigned char*>(buffer_.data() + start_);
        for (std::size_t i = 0; i < text.size(); ++i) {
          const unsigned a = bytes[i * 2];
          const unsigned b = bytes[i * 2 + 1];
          const unsigned unit = highFirst_ ? (a << 8 | b) : (b << 8 | a);
          text[i] = unit < 128 ? static_cast<char>(unit) : '?';
        }
        start_ = at + end.size();
        scanned_ = start_;
        if (start_ > 1 << 20) {
          buffer_.erase(0, start_);
          start_ = scanned_ = 0;
        }
        return text;
      }
      if (at != std::string::npos) {
        scanned_ = at + 1;
        continue;
      }
      scanned_ =
          std::max(start_, buffer_.size() >= end.size() ? buffer_.size() - end.size() + 1 : 0);
      pollfd entry{fd_, POLLIN, 0};
      if (::poll(&entry, 1, timeoutMs) <= 0) {
        return "";
      }
      char chunk[65536];
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) {
        return "";
      }
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

 public:
  Clock::time_point Arrived() const { return arrived_; }

 private:
  // std::string::find stops at every byte equal to the pattern's first, and in 16-bit text
  // that is a zero at every other byte: finding the end of a 60 KB answer took a few hundred
  // microseconds, counted in the measured time as if the server had taken them.
  std::size_t Find(const std::string& pattern, std::size_t from) const {
    if (from >= buffer_.size()) {
      return std::string::npos;
    }
    const void* hit =
        ::memmem(buffer_.data() + from, buffer_.size() - from, pattern.data(), pattern.size());
    return hit == nullptr
               ? std::string::npos
               : static_cast<std::size_t>(static_cast<const char*>(hit) - buffer_.data());
  }

  int fd_ = -1;
  bool highFirst_;
  std::string buffer_;
  std::size_t start_ = 0;
  std::size_t scanned_ = 0;
  Clock::time_point arrived_{};
};

std::string Envelope(int messageID, const std::string& body) {
  return "<mos><mosID>VIDRA.NEWS</mosID><ncsID>NCS</ncsID><messageID>" + std::to_string(messageID) +
         "</messageID>" + body + "</mos>";
}

// True when answer is the expected kind of answer to messageID.
bool Checks(const std::string& answer, int messageID, const std::string& kind) {
  return answer.find("<messageID>" + std::to_string(messageID) + "</messageID>") !=
             std::string::npos &&
         answer.find(kind) != std::string::npos;
}

using vidra::bench::RunningOrder;

struct Percentiles {
  double p50 = 0, p90 = 0, p99 = 0, max = 0;
};

Percentiles Of(std::vector<double> values) {
  Percentiles p;
  if (values.empty()) {
    return p;
  }
  std::sort(values.begin(), values.end());
  const auto at = [&](double q) {
    return values[std::min(values.size() - 1, static_cast<std::size_t>(q * values.size()))];
  };
  p.p50 = at(0.50);
  p.p90 = at(0.90);
  p.p99 = at(0.99);
  p.max = values.back();
  return p;
}

json ToJson(const Percentiles& p) {
  return {{"p50", p.p50}, {"p90", p.p90}, {"p99", p.p99}, {"max", p.max}};
}

double Micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

// Round trips one at a time; answers must be heartbeats (or, for the echo, the same text).
json RoundTrips(const Options& o, const std::string& kind, int& errors) {
  Link link(o.host, o.port, o.highByteFirst);
  std::vector<double> times;
  for (int i = 1; i <= o.count; ++i) {
    const std::string message = Encode(Envelope(i, "<heartbeat/>"), o.highByteFirst);
    const auto t0 = Clock::now();
    link.Send(message);
    const std::string answer = link.Next();
    times.push_back(Micros(link.Arrived() - t0));
    errors += Checks(answer, i, kind) ? 0 : 1;
  }
  return ToJson(Of(times));
}

// Up to window messages outstanding on one connection.
double Pipelined(const Options& o, const std::string& kind, int& errors) {
  Link link(o.host, o.port, o.highByteFirst);
  int sent = 0;
  int received = 0;
  const auto t0 = Clock::now();
  while (received < o.count) {
    std::string burst;
    while (sent < o.count && sent - received < o.window) {
      ++sent;
      burst += Encode(Envelope(sent, "<heartbeat/>"), o.highByteFirst);
    }
    link.Send(burst);
    const std::string answer = link.Next();
    ++received;
    if (!Checks(answer, received, kind)) {
      ++errors;
      if (answer.empty()) {
        break;
      }
    }
  }
  return received / std::chrono::duration<double>(Clock::now() - t0).count();
}

// A minimal TCP echo server on 127.0.0.1: the floor of this machine's loopback and threads.
class EchoServer {
 public:
  EchoServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), length);
    ::listen(listener_, 128);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      std::vector<std::thread> served;
      for (;;) {
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) {
          break;
        }
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        served.emplace_back([fd] {
          char buffer[65536];
          for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
            ::send(fd, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL);
          }
          ::close(fd);
        });
      }
      for (auto& t : served) {
        t.join();
      }
    });
  }
  ~EchoServer() {
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    thread_.join();
  }
  std::uint16_t Port() const { return port_; }

 private:
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

json Connections(const Options& o, const std::string& kind, int& errors);

// The echo server in a child process. In the client's own process, a switch between a client
// thread and an echo thread would keep the address space, while every switch between the
// client and a real server changes it: on a virtual machine that makes the in-process floor
// several times cheaper than anything a server could reach.
class EchoProcess {
 public:
  EchoProcess() {
    int toParent[2];
    int toChild[2];
    if (::pipe(toParent) != 0 || ::pipe(toChild) != 0) {
      throw std::runtime_error("no pipe for the echo server");
    }
    child_ = ::fork();
    if (child_ < 0) {
      throw std::runtime_error("the echo server could not be started");
    }
    if (child_ == 0) {
      ::close(toParent[0]);
      ::close(toChild[1]);
      {
        const EchoServer echo;
        const std::uint16_t port = echo.Port();
        if (::write(toParent[1], &port, sizeof port) != sizeof port) {
          ::_exit(1);
        }
        char end = 0;
        while (::read(toChild[0], &end, 1) > 0) {
        }
      }
      ::_exit(0);
    }
    ::close(toParent[1]);
    ::close(toChild[0]);
    stop_ = toChild[1];
    const bool told = ::read(toParent[0], &port_, sizeof port_) == sizeof port_;
    ::close(toParent[0]);
    if (!told) {
      throw std::runtime_error("the echo server did not start");
    }
  }
  ~EchoProcess() {
    ::close(stop_);  // the child's read ends, and with it the child
    ::waitpid(child_, nullptr, 0);
  }
  EchoProcess(const EchoProcess&) = delete;
  EchoProcess& operator=(const EchoProcess&) = delete;
  std::uint16_t Port() const { return port_; }

 private:
  pid_t child_ = -1;
  int stop_ = -1;
  std::uint16_t port_ = 0;
};

json Echo(Options o, int& errors) {
  const EchoProcess echo;
  o.host = "127.0.0.1";
  o.port = echo.Port();
  json result;
  result["rtt_us"] = RoundTrips(o, "<heartbeat/>", errors);
  result["pipeline_per_s"] = Pipelined(o, "<heartbeat/>", errors);
  o.seconds = std::min(o.seconds, 5.0);
  result["conns_per_s"] = Connections(o, "<heartbeat/>", errors)["heartbeats_per_s"];
  return result;
}

json RoCreate(const Options& o, int& errors) {
  Link link(o.host, o.port, o.highByteFirst);
  const int runs = std::max(1, o.count);
  std::vector<double> creates;
  std::vector<double> requests;
  double bytes = 0;
  double busy = 0;
  const std::string stamp = std::to_string(Clock::now().time_since_epoch().count() % 1000000);
  for (int r = 0; r < runs; ++r) {
    const std::string roID = "LOAD-" + stamp + "-" + std::to_string(r);
    const std::string message = Encode(
        Envelope(r * 2 + 1, "<roCreate>" + RunningOrder(roID, o.stories, o.items) + "</roCreate>"),
        o.highByteFirst);
    bytes += static_cast<double>(message.size());
    auto t0 = Clock::now();
    link.Send(message);
    const std::string ack = link.Next(60000);
    const auto took = link.Arrived() - t0;
    creates.push_back(Micros(took));
    busy += std::chrono::duration<double>(took).count();
    errors += Checks(ack, r * 2 + 1, "<roStatus>OK</roStatus>") ? 0 : 1;
    t0 = Clock::now();
    link.Send(
        Encode(Envelope(r * 2 + 2, "<roReq><roID>" + roID + "</roID></roReq>"), o.highByteFirst));
    const std::string list = link.Next(60000);
    requests.push_back(Micros(link.Arrived() - t0));
    const std::string last = "<storyID>S" + std::to_string(o.stories - 1) + "</storyID>";
    errors += Checks(list, r * 2 + 2, "<roList>") && list.find(last) != std::string::npos ? 0 : 1;
    link.Send(Encode(Envelope(900000 + r, "<roDelete><roID>" + roID + "</roID></roDelete>"),
                     o.highByteFirst));
    errors += Checks(link.Next(60000), 900000 + r, "<roStatus>OK</roStatus>") ? 0 : 1;
  }
  return {{"stories", o.stories},
          {"items", o.items},
          {"wire_bytes", bytes / runs},
          {"roCreate_us", ToJson(Of(creates))},
          {"roReq_us", ToJson(Of(requests))},
          {"MB_per_s", bytes / 1e6 / std::max(busy, 1e-9)}};
}

// One running order of the given size, then count roElementAction MOVEs of a story to the
// bottom, each sent once the last is answered: what one edit costs, end to end.
json Edits(const Options& o, int& errors) {
  Link link(o.host, o.port, o.highByteFirst);
  const std::string roID =
      "EDIT-" + std::to_string(Clock::now().time_since_epoch().count() % 1000000);
  link.Send(
      Encode(Envelope(1, "<roCreate>" + RunningOrder(roID, o.stories, o.items) + "</roCreate>"),
             o.highByteFirst));
  errors += Checks(link.Next(60000), 1, "<roStatus>OK</roStatus>") ? 0 : 1;
  std::vector<double> edits;
  const int runs = std::max(1, o.count);
  for (int r = 0; r < runs; ++r) {
    const std::string move = "<roElementAction operation=\"MOVE\"><roID>" + roID +
                             "</roID><element_source><storyID>S" +
                             std::to_string(r % std::max(1, o.stories)) +
                             "</storyID></element_source></roElementAction>";
    const auto t0 = Clock::now();
    link.Send(Encode(Envelope(r + 2, move), o.highByteFirst));
    const std::string ack = link.Next(60000);
    edits.push_back(Micros(link.Arrived() - t0));
    errors += Checks(ack, r + 2, "<roStatus>OK</roStatus>") ? 0 : 1;
  }
  link.Send(
      Encode(Envelope(900000, "<roDelete><roID>" + roID + "</roID></roDelete>"), o.highByteFirst));
  errors += Checks(link.Next(60000), 900000, "<roStatus>OK</roStatus>") ? 0 : 1;
  return {{"stories", o.stories}, {"items", o.items}, {"roElementAction_us", ToJson(Of(edits))}};
}

json Connections(const Options& o, const std::string& kind, int& errors) {
  std::atomic<long> total{0};
  std::atomic<int> failed{0};
  std::atomic<int> silent{0};
  std::vector<std::thread> threads;
  const auto end = Clock::now() + std::chrono::duration<double>(o.seconds);
  for (int c = 0; c < o.connections; ++c) {
    threads.emplace_back([&] {
      try {
        Link link(o.host, o.port, o.highByteFirst);
        long done = 0;
        for (int i = 1; Clock::now() < end; ++i) {
          link.Send(Encode(Envelope(i, "<heartbeat/>"), o.highByteFirst));
          if (!Checks(link.Next(), i, kind)) {
            ++failed;
            break;
          }
          ++done;
        }
        silent += done == 0 ? 1 : 0;
        total += done;
      } catch (const std::exception&) {
        ++failed;
      }
    });
  }
  for (auto& t : threads) {
    t.join();
  }
  errors += failed + silent;
  return {{"connections", o.connections},
          {"served", o.connections - silent - failed},
          {"heartbeats_per_s", static_cast<double>(total) / o.seconds}};
}

// Resident memory (KiB) and thread count of a process, from /proc.
std::pair<long, long> Sample(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  long rss = 0;
  long threads = 0;
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) {
      rss = std::stol(line.substr(6));
    } else if (line.rfind("Threads:", 0) == 0) {
      threads = std::stol(line.substr(8));
    }
  }
  return {rss, threads};
}

// Acknowledges every notice that comes to the notice port, counting them.
class NoticeAcker {
 public:
  NoticeAcker(std::uint16_t port, bool highFirst) : highFirst_(highFirst) {
    if (port == 0) {
      return;
    }
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 4) != 0) {
      throw std::runtime_error("cannot listen for notices on port " + std::to_string(port));
    }
    thread_ = std::thread([this] { Serve(); });
  }
  ~NoticeAcker() {
    running_ = false;
    if (thread_.joinable()) {
      thread_.join();
    }
    if (listener_ >= 0) {
      ::close(listener_);
    }
  }
  int Count() const { return count_; }

 private:
  void Serve() {
    while (running_) {
      pollfd entry{listener_, POLLIN, 0};
      if (::poll(&entry, 1, 100) <= 0) {
        continue;
      }
      const int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) {
        continue;
      }
      std::string buffer;
      while (running_) {
        pollfd data{fd, POLLIN, 0};
        if (::poll(&data, 1, 100) <= 0) {
          continue;
        }
        char chunk[8192];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
          break;
        }
        buffer.append(chunk, static_cast<std::size_t>(n));
        // Notices come high byte first: every other byte is the text.
        std::string text;
        for (std::size_t i = 1; i < buffer.size(); i += 2) {
          text += buffer[i];
        }
        for (std::size_t end; (end = text.find("</mos>")) != std::string::npos;) {
          const auto a = text.find("<messageID>");
          const auto b = text.find("</messageID>");
          const std::string id = a < b && b < end ? text.substr(a + 11, b - a - 11) : "0";
          const std::string ack =
              Encode("<mos><mosID>VIDRA.NEWS</mosID><ncsID>NCS</ncsID><messageID>" + id +
                         "</messageID><roAck><roID>X</roID><roStatus>OK</roStatus></roAck></mos>",
                     highFirst_);
          ::send(fd, ack.data(), ack.size(), MSG_NOSIGNAL);
          ++count_;
          buffer.erase(0, (end + 6) * 2);
          text.erase(0, end + 6);
        }
      }
      ::close(fd);
    }
  }

  bool highFirst_;
  int listener_ = -1;
  std::atomic<bool> running_{true};
  std::atomic<int> count_{0};
  std::thread thread_;
};

json Mixed(const Options& o, int& errors) {
  NoticeAcker notices(o.noticePort, o.highByteFirst);
  Link link(o.host, o.port, o.highByteFirst);
  json samples = json::array();
  long operations = 0;
  const auto start = Clock::now();
  auto nextSample = start;
  int id = 0;
  const auto ask = [&](const std::string& body, const std::string& kind) {
    ++id;
    link.Send(Encode(Envelope(id, body), o.highByteFirst));
    errors += Checks(link.Next(), id, kind) ? 0 : 1;
    ++operations;
  };
  for (int round = 0; Clock::now() - start < std::chrono::duration<double>(o.seconds); ++round) {
    if (o.pid > 0 && Clock::now() >= nextSample) {
      const auto [rss, threads] = Sample(o.pid);
      samples.push_back({{"t", std::chrono::duration<double>(Clock::now() - start).count()},
                         {"rss_kib", rss},
                         {"threads", threads}});
      nextSample += std::chrono::seconds(1);
    }
    const std::string roID = "MIX-" + std::to_string(round % 20);
    ask("<heartbeat/>", "<heartbeat>");
    ask("<roCreate>" + RunningOrder(roID, 10, 3) + "</roCreate>", "<roStatus>OK</roStatus>");
    ask("<roReplace>" + RunningOrder(roID, 12, 3) + "</roReplace>", "<roStatus>OK</roStatus>");
    ask("<roElementAction operation=\"MOVE\"><roID>" + roID +
            "</roID><element_target><storyID>S2</storyID></element_target><element_source>"
            "<storyID>S5</storyID></element_source></roElementAction>",
        "<roAck>");
    ask("<roReq><roID>" + roID + "</roID></roReq>", "<roList>");
    if (round % 10 == 0) {
      ask("<roCtrl><roID>" + roID +
              "</roID><storyID>S0</storyID><itemID>I0</itemID><command>EXECUTE</command></roCtrl>",
          "<roAck>");
    }
    if (round % 20 == 19) {
      ask("<roDelete><roID>" + roID + "</roID></roDelete>", "<roStatus>OK</roStatus>");
    }
  }
  const double took = std::chrono::duration<double>(Clock::now() - start).count();
  return {{"operations_per_s", operations / took},
          {"notices_acknowledged", notices.Count()},
          {"samples", samples}};
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"vidra-bench: an end-to-end load client for a MOS device"};
  Options o;
  std::string mode;
  bool littleEndian = false;
  app.add_option("mode", mode, "echo | rtt | pipeline | rocreate | edit | conns | mixed")
      ->required()
      ->check(CLI::IsMember({"echo", "rtt", "pipeline", "rocreate", "edit", "conns", "mixed"}));
  app.add_option("--host", o.host)->capture_default_str();
  app.add_option("--port", o.port, "the device's port")->capture_default_str();
  app.add_option("--count", o.count, "messages (rtt, pipeline, echo) or runs (rocreate)")
      ->capture_default_str();
  app.add_option("--window", o.window, "outstanding messages (pipeline)")->capture_default_str();
  app.add_option("--stories", o.stories)->capture_default_str();
  app.add_option("--items", o.items, "items per story")->capture_default_str();
  app.add_option("--connections", o.connections)->capture_default_str();
  app.add_option("--seconds", o.seconds, "duration (conns, mixed)")->capture_default_str();
  app.add_option("--pid", o.pid, "the server's process, sampled each second (mixed)");
  app.add_option("--notice-port", o.noticePort, "acknowledge notices here (mixed)");
  app.add_flag("--little-endian", littleEndian);
  CLI11_PARSE(app, argc, argv);
  o.highByteFirst = !littleEndian;

  int errors = 0;
  json result;
  try {
    if (mode == "echo") {
      result = Echo(o, errors);
    } else if (mode == "rtt") {
      result["rtt_us"] = RoundTrips(o, "<heartbeat>", errors);
    } else if (mode == "pipeline") {
      result["pipeline_per_s"] = Pipelined(o, "<heartbeat>", errors);
    } else if (mode == "rocreate") {
      result = RoCreate(o, errors);
    } else if (mode == "edit") {
      result = Edits(o, errors);
    } else if (mode == "conns") {
      result = Connections(o, "<heartbeat>", errors);
    } else {
      result = Mixed(o, errors);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vidra-bench: %s\n", e.what());
    return 2;
  }
  result["mode"] = mode;
  result["errors"] = errors;
  std::printf("%s\n", result.dump().c_str());
  for (const auto& [key, value] : result.items()) {
    if (key != "samples") {
      std::fprintf(stderr, "  %-20s %s\n", key.c_str(), value.dump().c_str());
    }
  }
  if (errors > 0) {
    std::fprintf(stderr, "vidra-bench: %d answers were missing or wrong\n", errors);
    return 1;
  }
  return 0;
}
