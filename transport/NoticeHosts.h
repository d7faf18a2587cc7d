// What the server knows of each NRCS host for its status notices: whether a notice sender
// serves it now, and the last acknowledgement that host sent on any of its connections.
// Each acknowledgement gets a sequence number, so a sender only counts acknowledgements
// that came after its notice went out: one left over from an earlier sender, whose
// numbers started at 2 as well, never ends a new sender's wait.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <unordered_map>
#include <vector>

#include "common/FileTime.h"

namespace vidra {

// What the status page tells of one NRCS host's link (UTC times, 0 for never).
struct LinkRecord {
  in_addr_t host = 0;
  FileTime lastMessage = 0;
  FileTime lastHeartbeat = 0;
  FileTime lastAck = 0;
  std::int32_t lastAckId = 0;
  bool sender = false;  // a notice sender serves it now
};

class NoticeHosts {
 public:
  // True when no sender serves host yet: the caller starts one and releases it at its end.
  bool ClaimSender(in_addr_t host);
  void ReleaseSender(in_addr_t host);
  std::size_t Senders() const;

  // Records the messageID of a roAck that came from host at when (UTC).
  void RecordAck(in_addr_t host, std::int32_t messageID, FileTime when);
  // Records a message from host at when (UTC), on any of its connections.
  void RecordMessage(in_addr_t host, bool heartbeat, FileTime when);
  // Every host heard from or served, by address.
  std::vector<LinkRecord> Links() const;
  // The sequence number of the newest acknowledgement from any host (0 before the first).
  std::uint64_t AckSequence() const;
  // True when host's last acknowledgement carries messageID and was recorded after the
  // acknowledgement numbered since.
  bool AckedSince(in_addr_t host, std::int32_t messageID, std::uint64_t since) const;
  // The messageID of host's last acknowledgement, 0 before any.
  std::int32_t LastAckedId(in_addr_t host) const;

 private:
  struct Ack {
    std::int32_t messageID = 0;
    std::uint64_t sequence = 0;
  };
  // Hosts remembered at most; past it, those without a sender are forgotten.
  static constexpr std::size_t kHostLimit = 1024;

  // The host's record, made when new; past kHostLimit those without a sender are forgotten.
  LinkRecord& Link(in_addr_t host);

  mutable std::mutex lock_;  // guards senders_, acks_, links_ and sequence_
  std::set<in_addr_t> senders_;
  std::unordered_map<in_addr_t, Ack> acks_;
  std::unordered_map<in_addr_t, LinkRecord> links_;
  std::uint64_t sequence_ = 0;
};

}  // namespace vidra
