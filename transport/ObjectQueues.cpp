#include "transport/ObjectQueues.h"

#include <utility>

#include "common/Log.h"

namespace vidra {

void ObjectQueues::SetPushing(bool push) {
  std::lock_guard guard(lock_);  // push_
  push_ = push;
}

bool ObjectQueues::ClaimSender(in_addr_t host) {
  std::lock_guard guard(lock_);  // hosts_
  Host& known = hosts_[host];
  return !std::exchange(known.sender, true);
}

void ObjectQueues::ReleaseSender(in_addr_t host) {
  std::lock_guard guard(lock_);  // hosts_
  if (const auto found = hosts_.find(host); found != hosts_.end()) {
    found->second.sender = false;
  }
}

std::size_t ObjectQueues::Senders() const {
  std::lock_guard guard(lock_);  // hosts_
  std::size_t count = 0;
  for (const auto& [address, host] : hosts_) {
    count += host.sender ? 1 : 0;
  }
  return count;
}

void ObjectQueues::RecordPeer(in_addr_t host, const MosText& mosID, const MosText& ncsID) {
  std::lock_guard guard(lock_);  // hosts_
  Host& known = hosts_[host];
  known.mosID = mosID;
  known.ncsID = ncsID;
}

void ObjectQueues::PeerOf(in_addr_t host, MosText& mosID, MosText& ncsID) const {
  std::lock_guard guard(lock_);  // hosts_
  if (const auto found = hosts_.find(host); found != hosts_.end()) {
    mosID = found->second.mosID;
    ncsID = found->second.ncsID;
  }
}

void ObjectQueues::AddNews(Host& host, const ObjectDelta& delta) {
  const std::string& objID = delta.object.objID;
  const char* status = delta.change == ObjectChange::Added     ? "NEW"
                       : delta.change == ObjectChange::Changed ? "UPDATED"
                                                               : "DELETED";
  const auto waiting = host.news.find(objID);
  if (waiting == host.news.end()) {
    if (host.news.size() >= kLimit) {
      Log("VIDRA - news of media object %s is dropped: %zu wait already", objID.c_str(),
          host.news.size());
      return;
    }
    host.order.push_back(objID);
    host.news.emplace(objID, ObjectMessage{delta.object, status, {}, std::nullopt});
    return;
  }
  // Merged with what has not gone out: the NRCS hears of the object's last state once.
  ObjectMessage& message = waiting->second;
  const std::string before = message.status;
  message.object = delta.object;
  if (before == "NEW" && delta.change == ObjectChange::Removed) {
    host.news.erase(waiting);  // came and went: nothing to tell (its place in order is skipped)
  } else if (before == "NEW") {
    message.status = "NEW";
  } else if (before == "DELETED" && delta.change == ObjectChange::Added) {
    message.status = "UPDATED";
  } else {
    message.status = status;
  }
}

void ObjectQueues::CatalogueChanged(const CatalogueEvent& event) {
  std::lock_guard guard(lock_);  // hosts_ and push_
  if (!push_ || event.firstScan || event.objects.empty()) {
    return;
  }
  for (auto& [address, host] : hosts_) {
    if (!host.sender) {
      continue;
    }
    for (const ObjectDelta& delta : event.objects) {
      AddNews(host, delta);
    }
  }
}

void ObjectQueues::RequestList(in_addr_t host, std::vector<MediaObject> objects,
                               std::chrono::seconds pause, std::chrono::nanoseconds now) {
  std::lock_guard guard(lock_);  // hosts_
  Host& known = hosts_[host];
  known.listed.clear();  // a new request replaces what is left of an earlier one
  if (pause.count() == 0) {
    ObjectMessage list;
    list.due = now;
    list.all = std::move(objects);
    known.listed.push_back(std::move(list));
    return;
  }
  std::chrono::nanoseconds due = now;
  for (MediaObject& object : objects) {
    due += pause;
    known.listed.push_back(ObjectMessage{std::move(object), "", due, std::nullopt});
  }
}

std::optional<ObjectMessage> ObjectQueues::Next(in_addr_t host, std::chrono::nanoseconds now) {
  std::lock_guard guard(lock_);  // hosts_
  const auto found = hosts_.find(host);
  if (found == hosts_.end()) {
    return std::nullopt;
  }
  Host& known = found->second;
  if (!known.listed.empty() && known.listed.front().due <= now) {
    ObjectMessage message = std::move(known.listed.front());
    known.listed.pop_front();
    return message;
  }
  while (!known.order.empty()) {
    const std::string objID = std::move(known.order.front());
    known.order.pop_front();
    if (const auto waiting = known.news.find(objID); waiting != known.news.end()) {
      ObjectMessage message = std::move(waiting->second);
      known.news.erase(waiting);
      return message;
    }
  }
  return std::nullopt;
}

void ObjectQueues::PutBack(in_addr_t host, ObjectMessage message) {
  std::lock_guard guard(lock_);  // hosts_
  Host& known = hosts_[host];
  if (!message.status.empty()) {
    const std::string objID = message.object.objID;
    if (known.news.emplace(objID, std::move(message)).second) {
      known.order.push_front(objID);
    }
    return;
  }
  known.listed.push_front(std::move(message));
}

std::size_t ObjectQueues::Waiting(in_addr_t host) const {
  std::lock_guard guard(lock_);  // hosts_
  const auto found = hosts_.find(host);
  return found == hosts_.end() ? 0 : found->second.listed.size() + found->second.news.size();
}

}  // namespace vidra
