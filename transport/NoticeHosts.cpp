#include "transport/NoticeHosts.h"

#include <arpa/inet.h>

#include <algorithm>

namespace vidra {

bool NoticeHosts::ClaimSender(in_addr_t host) {
  std::lock_guard guard(lock_);  // the sender set
  return senders_.insert(host).second;
}

void NoticeHosts::ReleaseSender(in_addr_t host) {
  std::lock_guard guard(lock_);  // the sender set
  senders_.erase(host);
}

std::size_t NoticeHosts::Senders() const {
  std::lock_guard guard(lock_);  // the sender set
  return senders_.size();
}

void NoticeHosts::RecordAck(in_addr_t host, std::int32_t messageID, FileTime when) {
  std::lock_guard guard(lock_);  // the acknowledgement records
  if (acks_.size() >= kHostLimit && acks_.find(host) == acks_.end()) {
    // Only a host that is being served can have a notice waiting for its acknowledgement.
    std::erase_if(acks_, [this](const auto& entry) { return senders_.count(entry.first) == 0; });
  }
  acks_[host] = Ack{messageID, ++sequence_};
  LinkRecord& link = Link(host);
  link.lastAck = when;
  link.lastAckId = messageID;
}

void NoticeHosts::RecordMessage(in_addr_t host, bool heartbeat, FileTime when) {
  std::lock_guard guard(lock_);  // the link records
  LinkRecord& link = Link(host);
  link.lastMessage = when;
  if (heartbeat) {
    link.lastHeartbeat = when;
  }
}

std::vector<LinkRecord> NoticeHosts::Links() const {
  std::lock_guard guard(lock_);  // the link records and the sender set
  std::vector<LinkRecord> links;
  for (const auto& [host, link] : links_) {
    links.push_back(link);
    links.back().sender = senders_.count(host) != 0;
  }
  for (const in_addr_t host : senders_) {
    if (links_.count(host) == 0) {
      links.push_back(LinkRecord{.host = host, .sender = true});
    }
  }
  std::sort(links.begin(), links.end(),
            [](const LinkRecord& a, const LinkRecord& b) { return ntohl(a.host) < ntohl(b.host); });
  return links;
}

LinkRecord& NoticeHosts::Link(in_addr_t host) {
  if (links_.size() >= kHostLimit && links_.find(host) == links_.end()) {
    std::erase_if(links_, [this](const auto& entry) { return senders_.count(entry.first) == 0; });
  }
  LinkRecord& link = links_[host];
  link.host = host;
  return link;
}

std::uint64_t NoticeHosts::AckSequence() const {
  std::lock_guard guard(lock_);  // the acknowledgement records
  return sequence_;
}

bool NoticeHosts::AckedSince(in_addr_t host, std::int32_t messageID, std::uint64_t since) const {
  std::lock_guard guard(lock_);  // the acknowledgement records
  const auto found = acks_.find(host);
  return found != acks_.end() && found->second.sequence > since &&
         found->second.messageID == messageID;
}

std::int32_t NoticeHosts::LastAckedId(in_addr_t host) const {
  std::lock_guard guard(lock_);  // the acknowledgement records
  const auto found = acks_.find(host);
  return found == acks_.end() ? 0 : found->second.messageID;
}

}  // namespace vidra
