#include "pair/PairLink.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>

#include <cmath>

#include "common/Log.h"
#include "transport/SocketPort.h"

namespace vidra {

namespace {

constexpr auto kHelloWait = std::chrono::seconds(2);
// The main pings every kPingEvery; a backup that hears nothing for kSilence drops the link.
constexpr auto kPingEvery = std::chrono::milliseconds(200);
constexpr auto kSilence = std::chrono::seconds(3);
constexpr auto kRetryEvery = std::chrono::milliseconds(500);

std::optional<std::uint32_t> ResolveIpv4(const std::string& host) {
  in_addr address{};
  if (::inet_pton(AF_INET, host.c_str(), &address) == 1) {
    return ntohl(address.s_addr);
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    return std::nullopt;
  }
  const std::uint32_t ip =
      ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
  ::freeaddrinfo(found);
  return ip;
}

// Whether ipv4 (host order) is one of host's addresses: only the configured peer may take
// the link, since whoever holds it can replace a backup's running orders.
bool IsAddressOf(const std::string& host, std::uint32_t ipv4) {
  in_addr address{};
  if (::inet_pton(AF_INET, host.c_str(), &address) == 1) {
    return ntohl(address.s_addr) == ipv4;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) {
    return false;
  }
  bool matches = false;
  for (const addrinfo* at = found; at != nullptr && !matches; at = at->ai_next) {
    matches = ntohl(reinterpret_cast<const sockaddr_in*>(at->ai_addr)->sin_addr.s_addr) == ipv4;
  }
  ::freeaddrinfo(found);
  return matches;
}

// Sleeps in slices so that a stop is seen.
void Pause(std::chrono::milliseconds duration, const std::stop_token& stop) {
  const auto end = std::chrono::steady_clock::now() + duration;
  while (!stop.stop_requested() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

// One link connection: frames out, frames in (with a limit on the wait, seen in slices so
// that a stop is not held up by a quiet peer).
class PairLink::Connection {
 public:
  enum class Got { Frame, Quiet, Closed, Damaged };
  explicit Connection(SocketPort& socket) : socket_(socket) {}
  bool Send(const std::string& bytes) {
    return SendWithin(socket_.Handle(), bytes.data(), bytes.size()) ==
           static_cast<ssize_t>(bytes.size());
  }
  bool Send(const LinkFrame& frame) { return Send(EncodeFrame(frame)); }
  Got Receive(LinkFrame& out, std::chrono::milliseconds limit, const std::stop_token& stop) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      switch (reader_.Next(out, why_)) {
        case FrameReader::Status::Frame:
          return Got::Frame;
        case FrameReader::Status::Damaged:
          return Got::Damaged;
        case FrameReader::Status::NeedMore:
          break;
      }
      if (stop.stop_requested() || std::chrono::steady_clock::now() >= end) {
        return Got::Quiet;
      }
      pollfd entry{socket_.Handle(), POLLIN, 0};
      if (::poll(&entry, 1, 50) <= 0) {
        continue;
      }
      char buffer[64 * 1024];
      const ssize_t got = ReceiveOn(socket_.Handle(), buffer, sizeof buffer);
      if (got <= 0) {
        return Got::Closed;
      }
      reader_.Feed(std::string_view(buffer, static_cast<std::size_t>(got)));
    }
  }
  // Whether more of a burst is here, read or still on the socket (the backup acknowledges
  // once per burst).
  bool Waiting() {
    pollfd entry{socket_.Handle(), POLLIN, 0};
    return reader_.HasBytes() || ::poll(&entry, 1, 0) > 0;
  }
  const std::string& Why() const { return why_; }

 private:
  SocketPort& socket_;
  FrameReader reader_;
  std::string why_;
};

PairLink::PairLink(PairSettings settings, ReplicatedState& state, std::shared_ptr<Clock> clock,
                   std::vector<std::string> channels, double frameRate, std::uint64_t epoch,
                   PairHooks hooks)
    : settings_(std::move(settings)),
      state_(state),
      clock_(std::move(clock)),
      channels_(std::move(channels)),
      halfFrameMs_(frameRate > 0 ? 500.0 / frameRate : 20.0),
      hooks_(std::move(hooks)),
      role_(settings_.role),
      epoch_(epoch) {
  state_.SetLeading(settings_.role == PairRole::Main);
}

PairLink::~PairLink() {
  Stop();
}

HResult PairLink::Start() {
  auto listening = std::make_shared<SocketPort>();
  try {
    if (listening->Prepare(settings_.port) != HResult::S_OK) {
      throw SocketError("no socket for the link port");
    }
    listening->Bind();
    listening->Listen(4);
  } catch (const SocketError& e) {
    Log("VIDRA - pair: the link port %u cannot be opened: %s", unsigned{settings_.port}, e.what());
    return HResult::E_FAIL;
  }
  boundPort_ = static_cast<std::uint16_t>(listening->BoundPort());
  Log("VIDRA - pair: this server is %s (epoch %llu), its peer %s:%u, the link on port %u",
      PairRoleName(Role()), static_cast<unsigned long long>(Status().epoch),
      settings_.peerHost.c_str(), unsigned{settings_.peerPort}, unsigned{boundPort_.load()});
  listener_ = std::jthread([this, listening](const std::stop_token& stop) {
    std::string lastStranger;
    auto lastStrangerLog = std::chrono::steady_clock::time_point{};
    while (!stop.stop_requested()) {
      if (!listening->IsReadable()) {
        continue;
      }
      sockaddr_in from{};
      const int fd = listening->Accept(from);
      if (fd == kInvalidSocket) {
        continue;
      }
      SocketPort accepted;
      accepted.Adopt(fd);
      char host[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &from.sin_addr, host, sizeof host);
      if (!IsAddressOf(settings_.peerHost, ntohl(from.sin_addr.s_addr))) {
        // One line a minute for the same stranger: a scanner must not fill the log. The
        // link's status stays the peer's.
        const auto now = std::chrono::steady_clock::now();
        if (host != lastStranger || now - lastStrangerLog >= std::chrono::minutes(1)) {
          Log("VIDRA - pair: a link from %s, which is not the peer %s, is refused", host,
              settings_.peerHost.c_str());
          lastStranger = host;
          lastStrangerLog = now;
        }
        continue;  // closed with accepted, before a byte of it is read
      }
      Connection peer(accepted);
      Follow(peer, host, stop);
    }
  });
  leader_ = std::jthread([this](const std::stop_token& stop) { Lead(stop); });
  return HResult::S_OK;
}

void PairLink::Stop() {
  listener_.request_stop();
  leader_.request_stop();
  state_.Wake();
  if (listener_.joinable()) {
    listener_.join();
  }
  if (leader_.joinable()) {
    leader_.join();
  }
}

HelloFrame PairLink::OwnHello() const {
  HelloFrame hello;
  hello.role = Role();
  hello.epoch = Status().epoch;
  hello.channels = channels_;
  const LinkProgress progress = state_.Progress();
  hello.stream = progress.stream;
  hello.seq = progress.seq;
  return hello;
}

std::string PairLink::Unfit(const HelloFrame& hello) const {
  if (hello.version != kLinkVersion) {
    return "the peer speaks link version " + std::to_string(hello.version) + ", this server " +
           std::to_string(kLinkVersion);
  }
  if (hello.channels != channels_) {
    const auto join = [](const std::vector<std::string>& names) {
      std::string text;
      for (const std::string& name : names) {
        text += (text.empty() ? "" : ", ") + name;
      }
      return text.empty() ? std::string("none") : text;
    };
    return "the peer's channels (" + join(hello.channels) + ") are not this server's (" +
           join(channels_) + ")";
  }
  return {};
}

void PairLink::SeeEpoch(std::uint64_t epoch) {
  std::lock_guard lock(statusLock_);  // epoch_
  if (epoch <= epoch_) {
    return;
  }
  epoch_ = epoch;
  std::string error;
  if (hooks_.saveEpoch && !hooks_.saveEpoch(epoch, error)) {
    Log("VIDRA - pair: epoch %llu cannot be kept: %s", static_cast<unsigned long long>(epoch),
        error.c_str());
  }
}

void PairLink::StepDown(std::uint64_t peerEpoch) {
  std::lock_guard lock(roleLock_);  // one role change at a time
  const std::uint64_t own = Status().epoch;
  SeeEpoch(peerEpoch);
  if (Role() != PairRole::Main) {
    return;
  }
  Log("VIDRA - pair: the peer is main at epoch %llu, above this server's %llu: this server "
      "steps down to backup",
      static_cast<unsigned long long>(peerEpoch), static_cast<unsigned long long>(own));
  role_ = PairRole::Backup;
  state_.SetLeading(false);
  if (hooks_.demoted) {
    hooks_.demoted();
  }
}

HResult PairLink::SetRole(PairRole role, std::string& why) {
  std::lock_guard lock(roleLock_);  // one role change at a time
  if (role == Role()) {
    return HResult::S_OK;
  }
  if (role == PairRole::Main) {
    const std::uint64_t epoch = Status().epoch + 1;
    if (hooks_.saveEpoch && !hooks_.saveEpoch(epoch, why)) {
      return HResult::E_FAIL;
    }
    {
      std::lock_guard status(statusLock_);  // epoch_
      epoch_ = epoch;
    }
    state_.SetLeading(true);
    if (hooks_.promoted) {
      hooks_.promoted();
    }
    role_ = PairRole::Main;  // answered from the next message on, with the channels filled
    Log("VIDRA - pair: this server is main now (epoch %llu)",
        static_cast<unsigned long long>(epoch));
  } else if (role == PairRole::Backup) {
    role_ = PairRole::Backup;
    state_.SetLeading(false);
    if (hooks_.demoted) {
      hooks_.demoted();
    }
    Log("VIDRA - pair: this server is backup now: MOS messages are answered NACK, the main's "
        "changes are taken from the link");
  } else {
    why = "a pair has a main and a backup";
    return HResult::E_INVALIDARG;
  }
  state_.Wake();
  return HResult::S_OK;
}

std::optional<std::string> PairLink::StandingBy() const {
  if (Role() != PairRole::Backup) {
    return std::nullopt;
  }
  return "main is " + settings_.peerHost;
}

PairStatus PairLink::Status() const {
  PairStatus status;
  status.role = Role();
  status.peer = settings_.peerHost + ":" + std::to_string(settings_.peerPort);
  status.linkPort = boundPort_.load();
  status.halfFrameMs = halfFrameMs_;
  const LinkProgress progress = state_.Progress();
  status.seq = progress.seq;
  status.degraded = progress.degraded;
  status.syncTimeouts = progress.timeouts;
  if (status.role == PairRole::Main) {
    status.behind = progress.seq > progress.acked ? progress.seq - progress.acked : 0;
  }
  std::lock_guard lock(statusLock_);  // the link's fields
  status.epoch = epoch_;
  status.link = link_;
  status.refused = refused_;
  status.clockOffsetMs = offsetMs_;
  status.backupLacks = lacks_;
  return status;
}

void PairLink::SetLink(const char* link) {
  std::lock_guard lock(statusLock_);  // link_
  link_ = link;
}

void PairLink::Refused(const std::string& why) {
  std::lock_guard lock(statusLock_);  // link_ and refused_
  link_ = "refused";
  refused_ = why;
}

void PairLink::Follow(Connection& peer, const std::string& from, const std::stop_token& stop) {
  LinkFrame frame;
  if (peer.Receive(frame, kHelloWait, stop) != Connection::Got::Frame ||
      frame.kind != FrameKind::Hello) {
    Log("VIDRA - pair: a link from %s sent no hello: it is closed", from.c_str());
    return;
  }
  const HelloFrame hello = frame.hello;
  std::string unfit = Unfit(hello);
  const std::uint64_t own = Status().epoch;
  const bool stale = unfit.empty() && hello.role == PairRole::Main && hello.epoch < own;
  if (unfit.empty() && hello.role != PairRole::Main) {
    unfit = "the peer is not main";
  } else if (unfit.empty() && Role() == PairRole::Main && hello.epoch <= own) {
    unfit = "this server is main at epoch " + std::to_string(own) + ", the peer at " +
            std::to_string(hello.epoch);
  } else if (unfit.empty() && hello.epoch < own) {
    unfit = "the peer is main at epoch " + std::to_string(hello.epoch) +
            ", below the epoch this server knows (" + std::to_string(own) + ")";
  }
  if (!unfit.empty()) {
    Log("VIDRA - pair: the link from %s is refused: %s", from.c_str(), unfit.c_str());
    Refused(unfit);
    LinkFrame refuse;
    refuse.kind = FrameKind::Refuse;
    refuse.text = unfit;
    refuse.seq = stale ? own : 0;  // a main of an older epoch learns it must step down
    if (!peer.Send(refuse)) {
      Log("VIDRA - pair: the refusal did not reach %s either", from.c_str());
    }
    return;
  }
  if (Role() == PairRole::Main) {
    StepDown(hello.epoch);
  }
  SeeEpoch(hello.epoch);
  LinkFrame answer;
  answer.kind = FrameKind::Hello;
  answer.hello = OwnHello();
  if (!peer.Send(answer)) {
    return;
  }
  SetLink(answer.hello.stream == hello.stream ? "in step" : "copying");
  std::uint64_t since = 0;
  while (!stop.stop_requested() && Role() == PairRole::Backup) {
    const Connection::Got got = peer.Receive(frame, kSilence, stop);
    if (got == Connection::Got::Quiet) {
      if (!stop.stop_requested()) {
        Log("VIDRA - pair: nothing from the main at %s for %lld s: the link is dropped",
            from.c_str(), static_cast<long long>(kSilence.count()));
      }
      break;
    }
    if (got == Connection::Got::Closed) {
      Log("VIDRA - pair: the main at %s closed the link", from.c_str());
      break;
    }
    if (got == Connection::Got::Damaged) {
      Log("VIDRA - pair: the main at %s sent %s: the link is refused and starts again",
          from.c_str(), peer.Why().c_str());
      break;
    }
    LinkFrame ack;
    ack.kind = FrameKind::Ack;
    if (frame.kind == FrameKind::Ping) {
      ack.sentAt = frame.sentAt;
      ack.peerAt = clock_->UtcNow();
    } else {
      std::string why;
      if (!state_.ApplyFromMain(frame, hello.stream, why)) {
        Log("VIDRA - pair: %s from the main at %s: refused, the link starts again", why.c_str(),
            from.c_str());
        break;
      }
      if (frame.kind == FrameKind::CopyEnd) {
        Log("VIDRA - pair: the main's copy is here (up to change %llu)",
            static_cast<unsigned long long>(frame.seq));
        SetLink("in step");
      }
      if (frame.kind == FrameKind::CopyBegin || frame.kind == FrameKind::CopyRo ||
          (peer.Waiting() && ++since < 64)) {
        state_.Follow(frame);
        continue;  // one acknowledgement for a burst
      }
    }
    since = 0;
    ack.seq = state_.Progress().seq;
    const bool told = peer.Send(ack) && TellLacks(peer);
    // The disk and the channels take it once the main has its acknowledgement; applied, it
    // is theirs even when the acknowledgement could not be sent.
    state_.Follow(frame);
    if (!told) {
      break;
    }
  }
  SetLink("down");
}

void PairLink::Lead(const std::stop_token& stop) {
  while (!stop.stop_requested()) {
    if (Role() == PairRole::Main) {
      LeadOnce(stop);
    }
    Pause(kRetryEvery, stop);
  }
}

bool PairLink::SendCopy(Connection& peer, std::uint64_t& stream, std::uint64_t& from) {
  SetLink("copying");
  ReplicatedState::WholeCopy copy = state_.TakeCopy();
  Log("VIDRA - pair: the backup needs the whole state: %zu running orders are copied (up to "
      "change %llu)",
      copy.ros.size(), static_cast<unsigned long long>(copy.seq));
  LinkFrame frame;
  frame.kind = FrameKind::CopyBegin;
  if (!peer.Send(frame)) {
    return false;
  }
  frame.kind = FrameKind::CopyRo;
  for (RoChange& change : copy.ros) {
    frame.change = std::move(change);
    if (!peer.Send(frame)) {
      return false;
    }
  }
  frame = LinkFrame{};
  frame.kind = FrameKind::CopyEnd;
  frame.seq = copy.seq;
  frame.maxKey = copy.maxKey;
  from = copy.seq;
  stream = copy.stream;
  return peer.Send(frame);
}

void PairLink::LeadOnce(const std::stop_token& stop) {
  const auto ip = ResolveIpv4(settings_.peerHost);
  SocketPort socket;
  if (!ip ||
      socket.Connect(*ip, settings_.peerPort, std::chrono::seconds(1), stop) != HResult::S_OK) {
    SetLink("down");
    return;
  }
  Connection peer(socket);
  LinkFrame frame;
  frame.kind = FrameKind::Hello;
  frame.hello = OwnHello();
  if (!peer.Send(frame) || peer.Receive(frame, kHelloWait, stop) != Connection::Got::Frame) {
    return;
  }
  if (frame.kind == FrameKind::Refuse) {
    Log("VIDRA - pair: the peer %s refused the link: %s", settings_.peerHost.c_str(),
        frame.text.c_str());
    if (frame.seq > Status().epoch) {
      StepDown(frame.seq);
      return;
    }
    Refused(frame.text);
    Pause(std::chrono::seconds(5), stop);
    return;
  }
  const std::string unfit = frame.kind == FrameKind::Hello ? Unfit(frame.hello) : "no hello";
  if (!unfit.empty()) {
    Log("VIDRA - pair: the link to %s is refused: %s", settings_.peerHost.c_str(), unfit.c_str());
    Refused(unfit);
    Pause(std::chrono::seconds(5), stop);
    return;
  }
  if (frame.hello.epoch > Status().epoch) {
    StepDown(frame.hello.epoch);
    return;
  }
  std::uint64_t from = frame.hello.seq;
  std::uint64_t stream = frame.hello.stream;
  if (!state_.Covers(stream, from) && !SendCopy(peer, stream, from)) {
    return;
  }
  SetLink("in step");
  state_.LinkUp();
  std::atomic<bool> dead{false};
  std::jthread acks([&](const std::stop_token& own) {
    LinkFrame ack;
    while (!own.stop_requested()) {
      const Connection::Got got = peer.Receive(ack, kSilence, own);
      if (got != Connection::Got::Frame) {
        if (!own.stop_requested()) {
          Log("VIDRA - pair: the backup at %s %s", settings_.peerHost.c_str(),
              got == Connection::Got::Quiet ? "has not answered for 3 s: the link is dropped"
                                            : "closed the link");
        }
        break;
      }
      if (ack.kind == FrameKind::Lacks) {
        std::lock_guard lock(statusLock_);  // lacks_
        lacks_ = MediaLack{ack.seq, std::move(ack.names)};
        continue;
      }
      if (ack.kind != FrameKind::Ack) {
        continue;
      }
      state_.Acked(ack.seq);
      if (ack.sentAt != 0) {
        const auto now = static_cast<double>(clock_->UtcNow());
        const double offset =
            (static_cast<double>(ack.peerAt) - (static_cast<double>(ack.sentAt) + now) / 2) / 1e4;
        std::lock_guard lock(statusLock_);  // offsetMs_ and its alarm
        offsetMs_ = offset;
        const bool alarm = std::fabs(offset) > halfFrameMs_;
        if (alarm != offsetAlarm_) {
          offsetAlarm_ = alarm;
          Log(alarm ? "VIDRA - pair: the backup's clock is %.1f ms off this server's, more than "
                      "half a frame"
                    : "VIDRA - pair: the backup's clock is %.1f ms off this server's again",
              offset);
        }
      }
    }
    dead = true;
    state_.Wake();
  });
  auto lastPing = std::chrono::steady_clock::now() - kPingEvery;
  while (!stop.stop_requested() && !dead && Role() == PairRole::Main) {
    bool covered = true;
    const std::optional<std::string> next =
        state_.FrameAfter(stream, from, std::chrono::milliseconds(50), covered);
    if (!covered) {
      Log("VIDRA - pair: the backup is further behind than the changes kept: it is sent a "
          "whole copy");
      break;
    }
    if (next) {
      if (!peer.Send(*next)) {
        break;
      }
      ++from;
    }
    if (std::chrono::steady_clock::now() - lastPing >= kPingEvery) {
      LinkFrame ping;
      ping.kind = FrameKind::Ping;
      ping.sentAt = clock_->UtcNow();
      if (!peer.Send(ping)) {
        break;
      }
      lastPing = std::chrono::steady_clock::now();
    }
  }
  state_.LinkDown();
  socket.Shutdown();
  acks.request_stop();
  acks.join();
  SetLink("down");
  std::lock_guard lock(statusLock_);  // lacks_: not known without a backup
  lacks_ = MediaLack{};
}

bool PairLink::TellLacks(Connection& peer) {
  if (!hooks_.lacking) {
    return true;
  }
  MediaLack now = hooks_.lacking();
  {
    std::lock_guard lock(statusLock_);  // lacks_
    if (now == lacks_) {
      return true;
    }
    lacks_ = now;
  }
  if (now.count > 0) {
    Log("VIDRA - pair: this backup would play black for %llu items (the first: %s): their media "
        "is not here",
        static_cast<unsigned long long>(now.count), now.names.front().c_str());
  }
  LinkFrame frame;
  frame.kind = FrameKind::Lacks;
  frame.seq = now.count;
  frame.names = std::move(now.names);
  return peer.Send(frame);
}

}  // namespace vidra
