#include "transport/NoticeHosts.h"

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

void NoticeHosts::RecordAck(in_addr_t host, std::int32_t messageID) {
  std::lock_guard guard(lock_);  // the acknowledgement records
  if (acks_.size() >= kHostLimit && acks_.find(host) == acks_.end()) {
    // Only a host that is being served can have a notice waiting for its acknowledgement.
    std::erase_if(acks_, [this](const auto& entry) { return senders_.count(entry.first) == 0; });
  }
  acks_[host] = Ack{messageID, ++sequence_};
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
