// The session of a MOS connection: its MOSXMLParser loads each whole message, records the
// messageID of acknowledgements for the notice senders, and dispatches the rest to the
// playout manager's stores. Owned by one connection thread.
#pragma once

#include <memory>

#include "mos/MosXml.h"
#include "transport/MessageSession.h"
#include "transport/ServerParts.h"

namespace vidra {

class MosSession final : public MessageSession {
 public:
  explicit MosSession(ServerParts& server) : server_(server), parser_(*server.clock) {}

  HResult Initialize() override { return parser_.Initialize(); }
  bool LoadMessage(std::u16string_view message) override { return parser_.LoadMessage(message); }
  std::string GetXml() const override { return parser_.GetXml(4 * kLogRecordCharacters); }
  bool IsRoAck(std::int32_t& messageID) override;
  std::string_view Kind() const override;
  std::optional<SessionAnswer> HandleMessage(const MessageOrigin& origin) override;
  std::string LoadError() const override { return parser_.LoadError(); }
  std::optional<SessionAnswer> MalformedAnswer(const MessageOrigin& origin,
                                               std::u16string_view message) override;

 private:
  ServerParts& server_;
  MOSXMLParser parser_;
};

SessionFactory MosSessionFactory(ServerParts& server);

}  // namespace vidra
