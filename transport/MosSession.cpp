// A connection's answers come from the dispatcher; acknowledgements only update the last
// acknowledged notice number that the notice senders wait on.
#include "transport/MosSession.h"

namespace vidra {

bool MosSession::IsRoAck() {
  std::int32_t messageID = server_.lastAckedNoticeId.load();
  if (!parser_.IsRoAck(messageID)) {
    return false;
  }
  server_.lastAckedNoticeId = messageID;
  return true;
}

std::optional<std::u16string> MosSession::HandleMessage(PortFlag /*port*/) {
  if (server_.player == nullptr) {
    return std::nullopt;
  }
  std::u16string answer;
  bool answered = false;
  if (parser_.HandleMessage(*server_.player, answer, answered) != HResult::S_OK || !answered) {
    return std::nullopt;
  }
  return answer;
}

SessionFactory MosSessionFactory(MOSSrv& server) {
  return [&server] { return std::make_unique<MosSession>(server); };
}

}  // namespace vidra
