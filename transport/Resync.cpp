#include "transport/Resync.h"

#include "common/Log.h"
#include "transport/SocketPort.h"

namespace vidra {

void ResyncRequests::Request(in_addr_t host, ResyncRequest request) {
  std::lock_guard guard(lock_);  // the hosts
  auto& waiting = hosts_[host].waiting;
  for (const ResyncRequest& queued : waiting) {
    if (queued.roID.Present() == request.roID.Present() && queued.roID == request.roID &&
        queued.mosID == request.mosID) {
      return;
    }
  }
  if (waiting.size() >= kWaitingLimit) {
    Log("VIDRA - %zu requests to NRCS %s wait already: the one for %s is dropped", waiting.size(),
        FormatHost(host).c_str(), request.roID.CStr());
    return;
  }
  waiting.push_back(std::move(request));
}

bool ResyncRequests::FirstConnection(in_addr_t host) {
  std::lock_guard guard(lock_);  // the hosts
  return connected_.insert(host).second;
}

void ResyncRequests::RecordNcs(in_addr_t host, const MosText& ncsID) {
  std::lock_guard guard(lock_);  // the hosts
  hosts_[host].ncsID = ncsID;
}

MosText ResyncRequests::NcsOf(in_addr_t host) const {
  std::lock_guard guard(lock_);  // the hosts
  const auto found = hosts_.find(host);
  return found == hosts_.end() ? MosText() : found->second.ncsID;
}

std::optional<ResyncRequest> ResyncRequests::Next(in_addr_t host) {
  std::lock_guard guard(lock_);  // the hosts
  const auto found = hosts_.find(host);
  if (found == hosts_.end() || found->second.waiting.empty()) {
    return std::nullopt;
  }
  ResyncRequest next = std::move(found->second.waiting.front());
  found->second.waiting.pop_front();
  return next;
}

void ResyncRequests::CountSent(in_addr_t host, FileTime at) {
  std::lock_guard guard(lock_);  // the hosts
  Host& h = hosts_[host];
  ++h.requested;
  h.last = at;
}

void ResyncRequests::CountStored(in_addr_t host) {
  std::lock_guard guard(lock_);  // the hosts
  ++hosts_[host].stored;
}

std::vector<ResyncInfo> ResyncRequests::Describe() const {
  std::lock_guard guard(lock_);  // the hosts
  std::vector<ResyncInfo> all;
  for (const auto& [host, h] : hosts_) {
    if (h.requested != 0 || !h.waiting.empty()) {
      all.push_back(ResyncInfo{FormatHost(host), h.requested, h.stored, h.waiting.size(), h.last});
    }
  }
  return all;
}

void ResyncRequests::Clear() {
  std::lock_guard guard(lock_);  // the hosts
  hosts_.clear();
  connected_.clear();
}

}  // namespace vidra
