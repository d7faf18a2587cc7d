// A controller's end of the control socket: one request line out, one answer line back.
// Used by vidractl and the tests; one client per connection, on the caller's thread.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <string>

namespace vidra {

class ControlClient {
 public:
  ControlClient() = default;
  ~ControlClient();
  ControlClient(const ControlClient&) = delete;
  ControlClient& operator=(const ControlClient&) = delete;

  // False with error set when no server listens at path.
  bool Connect(const std::string& path, std::string& error);
  // Sends one request and waits for its answer; none when the connection failed or the
  // answer did not come within the time-out (error says which).
  std::optional<nlohmann::json> Call(const nlohmann::json& request, std::string& error,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // The raw form, for lines that are not JSON.
  std::optional<std::string> CallLine(const std::string& line, std::string& error,
                                      std::chrono::milliseconds timeout);

 private:
  int fd_ = -1;
  std::string pending_;  // received text after the last answer line
};

}  // namespace vidra
