// The read-only web side of a running server: the status page, its JSON API under /api/ and
// /metrics for Prometheus. It runs on threads of its own and only reads, through the same
// locks as everything else, so browsers never slow the MOS service down.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "host/ControlObject.h"

namespace httplib {
class Server;
}

namespace vidra {

// Where --http asks to serve: "PORT", ":PORT" or "ADDRESS:PORT"; the address is 127.0.0.1
// when none is given. False, with a reason in error, for anything else.
struct HttpEndpoint {
  std::string address = "127.0.0.1";
  std::uint16_t port = 0;
};
bool ParseHttpEndpoint(const std::string& text, HttpEndpoint& endpoint, std::string& error);

class StatusServer {
 public:
  // Listens at once; throws std::runtime_error, saying why, when it cannot.
  StatusServer(const CMOS_SRV_STNDRT& control, const HttpEndpoint& endpoint);
  // Stops serving and joins its threads.
  ~StatusServer();
  StatusServer(const StatusServer&) = delete;
  StatusServer& operator=(const StatusServer&) = delete;

  std::uint16_t Port() const { return port_; }

  // Requests bigger than this are refused by the library.
  static constexpr std::size_t kMaxRequestBytes = 64u << 10;

 private:
  std::unique_ptr<httplib::Server> server_;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

}  // namespace vidra
