// A connection's answers come from the dispatcher; acknowledgements are handed back to the
// connection, which records them for the notice senders of its host.
#include "transport/MosSession.h"

#include "common/Log.h"
#include "common/Text.h"
#include "transport/MessageKind.h"

namespace vidra {

bool MosSession::IsRoAck(std::int32_t& messageID) {
  messageID = 0;
  return parser_.IsRoAck(messageID);
}

std::string_view MosSession::Kind() const {
  return KnownKind(parser_.Facts().name);
}

// A message that changes running orders and carries a messageID is looked up among the ones
// applied before: sent again (same host, port, messageID and text), it gets the answer it
// got then and changes nothing.
namespace {

MosPort MosPortOf(PortFlag port) {
  switch (port) {
    case PortFlag::Lower:
      return MosPort::Lower;
    case PortFlag::Upper:
      return MosPort::Upper;
    case PortFlag::Query:
      break;
  }
  return MosPort::Query;
}

}  // namespace

std::optional<SessionAnswer> MosSession::HandleMessage(const MessageOrigin& origin) {
  if (server_.player == nullptr) {
    return std::nullopt;
  }
  if (server_.role != nullptr) {
    if (const auto standingBy = server_.role->StandingBy()) {
      // Nothing is applied or remembered: the main has the running orders.
      SessionAnswer given;
      given.text =
          parser_.RefusedAnswer(MosPortOf(origin.port), EditResult::StandingBy, *standingBy);
      given.kind = origin.port == PortFlag::Upper ? "roAck" : "mosAck";
      if (origin.port == PortFlag::Upper) {
        given.ok = false;
      }
      server_.metrics.Add("vidra_backup_refusals_total");
      return given;
    }
  }
  const MessageFacts facts = parser_.Facts();
  if (origin.port == PortFlag::Lower && facts.mosID.Present()) {
    server_.objects.RecordPeer(origin.address, facts.mosID, facts.ncsID);
  }
  std::optional<MessageKey> key;
  if (server_.answers != nullptr && facts.changesRunningOrders && facts.messageID.Present()) {
    key = MessageKey{origin.host, static_cast<int>(origin.port), std::string(facts.messageID.Str()),
                     parser_.Digest()};
    if (const auto before = server_.answers->Recall(*key)) {
      Log("VIDRA - %s with messageID %s from %s was sent again: the answer given before is sent "
          "again, nothing is applied",
          facts.name.c_str(), facts.messageID.CStr(), origin.host.c_str());
      server_.metrics.Add("vidra_repeated_messages_total");
      // Only answers that said OK are remembered.
      return SessionAnswer{before->answer ? Utf8ToUtf16(*before->answer) : parser_.AppliedAnswer(),
                           true, origin.port == PortFlag::Upper ? "roAck" : "mosAck", true};
    }
  }
  std::u16string answer;
  bool answered = false;
  if (parser_.HandleMessage(*server_.player, MosPortOf(origin.port), answer, answered,
                            origin.address, key ? &*key : nullptr) != HResult::S_OK ||
      !answered) {
    return std::nullopt;
  }
  // Only what was applied is remembered: a refused message changed nothing, and sent again
  // it is tried again (a running order may have come meanwhile, the disk may have room).
  if (key && parser_.LastOutcome() == EditResult::Ok) {
    server_.answers->Remember(*key, parser_.GetAnswerUtf8());  // the text the answer came from
  }
  if (facts.ncsID.Present()) {
    server_.resync.RecordNcs(origin.address, facts.ncsID);
  }
  // The NRCS edits a running order this channel lacks: the two are out of step, and the
  // NRCS is asked for it (the edit stays refused; the NRCS sends it again once it knows).
  if (facts.needsRunningOrder && parser_.LastOutcome() == EditResult::UnknownRo &&
      !facts.roID.IsEmpty()) {
    Log("VIDRA - running order %s is not held: NRCS %s is asked for it", facts.roID.CStr(),
        origin.host.c_str());
    server_.resync.Request(origin.address, ResyncRequest{facts.mosID, facts.ncsID, facts.roID});
  }
  if (const auto paced = parser_.PacedListingRequested()) {
    const MediaLibrary* media = server_.player->Media();
    server_.objects.RequestList(
        origin.address, media != nullptr ? media->Catalogue().List() : std::vector<MediaObject>{},
        std::chrono::seconds(paced->pause), server_.clock->Monotonic());
  }
  SessionAnswer given;
  given.text = std::move(answer);
  given.kind = KnownKind(parser_.AnswerName());
  if (given.kind == "roAck") {
    given.ok = parser_.LastOutcome() == EditResult::Ok;
  }
  return given;
}

std::optional<SessionAnswer> MosSession::MalformedAnswer(const MessageOrigin& origin,
                                                         std::u16string_view message) {
  SessionAnswer given;
  given.text = parser_.MalformedAnswer(MosPortOf(origin.port), message);
  given.kind = origin.port == PortFlag::Upper ? "roAck" : "mosAck";
  if (origin.port == PortFlag::Upper) {
    given.ok = false;
  }
  return given;
}

SessionFactory MosSessionFactory(ServerParts& server) {
  return [&server] { return std::make_unique<MosSession>(server); };
}

}  // namespace vidra
