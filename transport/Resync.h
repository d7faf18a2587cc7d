// What the server asks of each NRCS host to get back in step with it: the running orders it
// does not hold. A message that edits (or controls) a running order the channel does not
// hold asks for that one; the first upper-port connection from a host after a start asks
// for all. Connection threads queue the requests; the host's notice sender sends them on its
// own connection to the NRCS's upper port and stores what comes back. Bounded per host.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/FileTime.h"
#include "common/MosText.h"

namespace vidra {

struct ResyncRequest {
  MosText mosID;  // the channel, as the NRCS names it
  MosText ncsID;
  MosText roID;  // absent: roReqAll
};

// For the status page, per host.
struct ResyncInfo {
  std::string host;
  std::uint64_t requested = 0;  // roReq and roReqAll sent
  std::uint64_t stored = 0;     // running orders that came back and were stored
  std::size_t waiting = 0;
  FileTime last = 0;  // UTC of the last request sent
};

class ResyncRequests {
 public:
  // Asks host for one running order; one already waiting for the same is not asked twice.
  void Request(in_addr_t host, ResyncRequest request);
  // True the first time a host connects since the server started: it is then asked for all
  // (one roReqAll per channel mosID).
  bool FirstConnection(in_addr_t host);
  // The ncsID the host last sent: requests carry it.
  void RecordNcs(in_addr_t host, const MosText& ncsID);
  MosText NcsOf(in_addr_t host) const;
  std::optional<ResyncRequest> Next(in_addr_t host);
  void CountSent(in_addr_t host, FileTime at);
  void CountStored(in_addr_t host);
  std::vector<ResyncInfo> Describe() const;
  // Forgets everything, for a new start.
  void Clear();

 private:
  struct Host {
    std::deque<ResyncRequest> waiting;
    MosText ncsID;
    std::uint64_t requested = 0;
    std::uint64_t stored = 0;
    FileTime last = 0;
  };
  static constexpr std::size_t kWaitingLimit = 256;

  mutable std::mutex lock_;  // guards hosts_ and connected_
  std::map<in_addr_t, Host> hosts_;
  std::set<in_addr_t> connected_;
};

}  // namespace vidra
