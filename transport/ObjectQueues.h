// The object messages the server starts itself, per NRCS host that connected to its lower
// port: mosObj for objects that were added, changed or removed (NEW, UPDATED, DELETED),
// and the objects a mosReqAll with a pause asked for, one every pause seconds. A host's
// sender takes them one at a time (see ObjectSender). News of an object that has not gone
// out yet is merged with the next of the same object, so a burst of changes sends each
// object once, in its last state.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/MosText.h"
#include "media/MediaCatalogue.h"

namespace vidra {

struct ObjectMessage {
  MediaObject object;
  std::string status;  // NEW, UPDATED, DELETED; empty: the object's own READY or NOT READY
  std::chrono::nanoseconds due{0};  // monotonic time before which it is not sent
  // A mosReqAll without pause: all objects in one mosListAll (object is then unused).
  std::optional<std::vector<MediaObject>> all;
};

class ObjectQueues final : public CatalogueListener {
 public:
  // Messages waiting per host at most; past it news is dropped with a log line.
  static constexpr std::size_t kLimit = 50'000;

  // [Media] PushObjects.
  void SetPushing(bool push);
  // True when no sender serves host yet: the caller starts one and releases it at its end.
  bool ClaimSender(in_addr_t host);
  void ReleaseSender(in_addr_t host);
  std::size_t Senders() const;
  // The mosID and ncsID of the host's last message on the lower port: the mosObj it is sent
  // carry them.
  void RecordPeer(in_addr_t host, const MosText& mosID, const MosText& ncsID);
  void PeerOf(in_addr_t host, MosText& mosID, MosText& ncsID) const;

  void CatalogueChanged(const CatalogueEvent& event) override;
  // A mosReqAll's objects, the first at now + pause, then one every pause; with pause 0,
  // all of them at once in one mosListAll.
  void RequestList(in_addr_t host, std::vector<MediaObject> objects, std::chrono::seconds pause,
                   std::chrono::nanoseconds now);
  // The next message due at now for host, taken; the answers to a mosReqAll before news.
  std::optional<ObjectMessage> Next(in_addr_t host, std::chrono::nanoseconds now);
  // A message that could not be sent goes back to the front.
  void PutBack(in_addr_t host, ObjectMessage message);
  std::size_t Waiting(in_addr_t host) const;

 private:
  struct Host {
    bool sender = false;
    MosText mosID;
    MosText ncsID;
    std::deque<ObjectMessage> listed;                     // mosReqAll, in time order
    std::deque<std::string> order;                        // objIDs of news, oldest first
    std::unordered_map<std::string, ObjectMessage> news;  // by objID
  };
  void AddNews(Host& host, const ObjectDelta& delta);

  mutable std::mutex lock_;  // guards hosts_ and push_
  std::unordered_map<in_addr_t, Host> hosts_;
  bool push_ = true;
};

}  // namespace vidra
