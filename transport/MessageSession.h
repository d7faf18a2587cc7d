// What a connection thread does with each whole message that its framing cut out: load it,
// recognise acknowledgements and produce answers. Each connection owns one session for its
// life, on its own thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/HResult.h"
#include "common/Log.h"

namespace vidra {

// Query: the profile-3 search port (mosReqSearchableSchema, mosReqObjList).
enum class PortFlag { Lower, Upper, Query };

// Where a message came from: the server's port it came in on and the NRCS host, as dotted
// IPv4.
struct MessageOrigin {
  PortFlag port = PortFlag::Upper;
  std::string host;
  std::uint32_t address = 0;  // the host in network order
};

// What a session answered. repeat: the message was one sent again, and this is the answer
// given the first time, not a new one.
struct SessionAnswer {
  std::u16string text;
  bool repeat = false;
  // What was answered, for the metrics and the journal: the answer's MOS type ("roAck",
  // "mosAck", "heartbeat", ..., "other"), and for a roAck whether it said OK.
  std::string kind = "other";
  std::optional<bool> ok;
};

class MessageSession {
 public:
  virtual ~MessageSession() = default;
  virtual HResult Initialize() = 0;
  // Loads one whole message; false when it is not well-formed XML.
  virtual bool LoadMessage(std::u16string_view message) = 0;
  // The loaded message as text for the log: at least its first kLogRecordCharacters
  // characters, which is all a log record keeps.
  virtual std::string GetXml() const = 0;
  // True for an acknowledgement, which gets no answer; messageID gets its messageID (0 when
  // it has none or it is not a number).
  virtual bool IsRoAck(std::int32_t& messageID) = 0;
  // The loaded message's MOS type for the metrics ("roCreate", ...; "other" for a name the
  // server does not know, "none" without one).
  virtual std::string_view Kind() const = 0;
  // The answer to the loaded message in 16-bit units, or none for messages not answered.
  virtual std::optional<SessionAnswer> HandleMessage(const MessageOrigin& origin) = 0;
  // Why the last message did not load (the parser's reason and where); empty if it did.
  virtual std::string LoadError() const { return {}; }
  // The answer to a whole message that is not well-formed XML, or none where the session
  // has nothing to say of it.
  virtual std::optional<SessionAnswer> MalformedAnswer(const MessageOrigin& /*origin*/,
                                                       std::u16string_view /*message*/) {
    return std::nullopt;
  }
};

}  // namespace vidra
