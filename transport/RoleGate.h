// Whether this server answers the NRCS or stands by as the backup of a pair. The host lends
// the engine one when a pair is set up; without one the server always answers.
#pragma once

#include <optional>
#include <string>

namespace vidra {

class RoleGate {
 public:
  virtual ~RoleGate() = default;
  // While this server is the backup, why it does not answer ("main is 10.1.2.3"); none
  // while it answers.
  virtual std::optional<std::string> StandingBy() const = 0;
};

}  // namespace vidra
