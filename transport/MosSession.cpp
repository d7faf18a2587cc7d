// A connection's answers come from the dispatcher; acknowledgements are handed back to the
// connection, which records them for the notice senders of its host.
#include "transport/MosSession.h"

namespace vidra {

bool MosSession::IsRoAck(std::int32_t& messageID) {
  messageID = 0;
  return parser_.IsRoAck(messageID);
}

std::optional<std::u16string> MosSession::HandleMessage(PortFlag port) {
  if (server_.player == nullptr) {
    return std::nullopt;
  }
  std::u16string answer;
  bool answered = false;
  if (parser_.HandleMessage(*server_.player,
                            port == PortFlag::Lower ? MosPort::Lower : MosPort::Upper, answer,
                            answered) != HResult::S_OK ||
      !answered) {
    return std::nullopt;
  }
  return answer;
}

SessionFactory MosSessionFactory(MOSSrv& server) {
  return [&server] { return std::make_unique<MosSession>(server); };
}

}  // namespace vidra
