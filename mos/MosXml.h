// The XML documents of MOS messages. MOSXMLWriter builds outgoing messages (answers and
// notices) in outDocument; MOSXMLParser adds the incoming document of one whole message,
// the acknowledgement test, the envelope walk and the dispatcher. Each connection or notice
// thread owns its own; nothing here is shared between threads. Framing is not done here:
// the connection hands over whole "<mos>...</mos>" texts.
#pragma once

#include <pugixml.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/Clock.h"
#include "common/HResult.h"
#include "common/MosText.h"
#include "media/MediaCatalogue.h"
#include "mos/ObjectSearch.h"
#include "playout/PlayoutManager.h"
#include "rundown/Ro.h"
#include "rundown/StatusNotice.h"

namespace vidra {

// The port a message came in on: the lower port carries the object messages (profiles 0, 1
// and 3), the upper port the running-order messages; a NACK takes the form of its port.
// Lower and Query answer in mosAck form, Upper in roAck form.
enum class MosPort { Lower, Upper, Query };

// A decimal integer as MOS IDs are read: leading blanks, an optional sign, digits up to the
// first non-digit; none gives 0; values beyond 32 bits saturate.
std::int32_t DecimalToInt32(std::string_view text);

// How a received message is parsed. An element's first run of text is kept in the element
// itself (its value) instead of in a child node of its own: a running order has thousands of
// one-text elements, and this halves the nodes to build and to walk. Whatever reads text
// takes it from both places (NodeText does).
inline constexpr unsigned kMosParseOptions = pugi::parse_default | pugi::parse_embed_pcdata;

// The text of an element and all its descendants, concatenated.
std::string NodeText(const pugi::xml_node& node);
// The same, as a present MosText.
MosText NodeMosText(const pugi::xml_node& node);

// The element as XML text, exactly as it stands in its document (no declaration, no
// indentation added).
std::string NodeXml(const pugi::xml_node& node);

// The first node in document order that the plain child path ("mos/roAck/roID") reaches.
pugi::xml_node SelectSingleNode(const pugi::xml_node& from, std::string_view path);

// Why a running-order message was refused, in words: "unknown storyID S9". Empty for Ok.
std::string ReasonText(EditResult result, const std::string& detail);
// The roStatus of a roAck: "OK", or "NACK " and the reason. The one place that turns what
// the running-order layer reports into protocol text.
std::string RoStatusText(const RoAckInfo& ack);

// The values a builder of listMachInfo sets; absent ones leave the template's text.
struct MachInfo {
  MosText manufacturer;
  MosText model;
  MosText hwrev;
  MosText swrev;
  MosText DOM;
  MosText SN;
  MosText ID;
  MosText time;
  MosText mosRev;
  MosText supportedProfiles;  // the "device" attribute
};

// The answer of a mosAck: status "ACK" or "NACK" and why.
struct MosAckInfo {
  MosText objID;
  MosText objRev;
  MosText status;
  MosText statusDescription;
};

// What a mosObj says of one catalogue object beyond the object itself: its status word
// (NEW, UPDATED, DELETED for news; READY or NOT READY for an answer), the channels' frame
// rate (objTB, and objDur in its frames) and the server's name (createdBy, changedBy).
struct ObjectWording {
  std::string status;
  double frameRate = 25.0;
  std::string serverName;
};

class MOSXMLWriter {
 public:
  explicit MOSXMLWriter(const Clock& clock) : clock_(clock) {}
  virtual ~MOSXMLWriter() = default;
  MOSXMLWriter(const MOSXMLWriter&) = delete;
  MOSXMLWriter& operator=(const MOSXMLWriter&) = delete;

  // The whole outgoing message as text.
  std::u16string GetAnswer() const;
  // The name of the outgoing message's body element ("roAck", ...), empty before one.
  std::string_view AnswerName() const;
  std::string GetAnswerUtf8() const;

  // "2026-12-06T19:22:29": now, local time, no zone, no fraction.
  std::string FormatIsoTime() const;

  // Every message starts with mosID, ncsID and, when the message answered had one, its
  // messageID as it was written; an absent messageID stays absent.
  void BuildHeartbeat(const MosText& mosID, const MosText& ncsID, const MosText& messageID);
  void BuildListMachInfo(const MosText& mosID, const MosText& ncsID, const MosText& messageID,
                         const MachInfo& info);
  void BuildRoAck(const MosText& mosID, const MosText& ncsID, const MosText& messageID,
                  const RoAckInfo& ack);
  void BuildMosAck(const MosText& mosID, const MosText& ncsID, const MosText& messageID,
                   const MosAckInfo& ack);
  void BuildRoList(const MosText& mosID, const MosText& ncsID, const MosText& messageID,
                   const std::shared_ptr<ro>& r);
  void BuildRoListAll(const MosText& mosID, const MosText& ncsID, const MosText& messageID,
                      const std::vector<std::shared_ptr<ro>>& list);
  void BuildRoElementStat(const MosText& messageID, const StatusNotice& notice);
  // The object messages of profile 1.
  void BuildMosObj(const MosText& mosID, const MosText& ncsID, const MosText& messageID,
                   const MediaObject& object, const ObjectWording& wording);
  // Every object, each with its own READY or NOT READY.
  void BuildMosListAll(const MosText& mosID, const MosText& ncsID, const MosText& messageID,
                       const std::vector<MediaObject>& objects, const ObjectWording& wording);
  // The search of profile 3: the schema whose fields can be searched, and a page of
  // objects (queryID, listReturnStart, listReturnEnd, listReturnTotal, listReturnStatus
  // when the page is empty, list).
  void BuildMosListSearchableSchema(const MosText& mosID, const MosText& ncsID,
                                    const MosText& messageID, const std::string& username);
  void BuildMosObjList(const MosText& mosID, const MosText& ncsID, const MosText& messageID,
                       const ObjectQuery& query, const ObjectPage& page,
                       const ObjectWording& wording);
  // The server's own requests to an NRCS, to get back in step with it.
  void BuildRoReq(const MosText& mosID, const MosText& ncsID, const MosText& messageID,
                  const MosText& roID);
  void BuildRoReqAll(const MosText& mosID, const MosText& ncsID, const MosText& messageID);

 protected:
  pugi::xml_document outDocument;
  // Clears the answer written as text, so that outDocument holds the next one.
  void ForgetText() {
    text_.clear();
    textName_ = {};
  }

 private:
  // Resets outDocument to the envelope and hands back its mos element.
  pugi::xml_node StartMessage(const MosText& mosID, const MosText& ncsID, const MosText& messageID);
  bool LoadMachInfoTemplate();
  void WriteRoNode(const ro& r, pugi::xml_node node, bool withStories);
  void WriteStoryNode(const story& s, pugi::xml_node node);
  void WriteItemNode(const item& i, pugi::xml_node node);
  void WriteObjectNode(const MediaObject& object, const ObjectWording& wording,
                       pugi::xml_node node);

  const Clock& clock_;
  // An answer written straight as text instead of through outDocument: the roAck, which
  // lists every item of a running order of hundreds. Empty while outDocument holds the answer.
  std::string text_;
  std::string_view textName_;
};

// What a session needs to know of a loaded message before it is dispatched.
struct MessageFacts {
  MosText mosID;
  MosText ncsID;
  MosText messageID;  // of its first envelope, as written
  std::string name;   // of its first body element
  MosText roID;       // the roID its body names
  // Changes running orders (or plays them): sent again, it must be answered, not applied,
  // again.
  bool changesRunningOrders = false;
  // Edits or controls a running order that must be held already (not roCreate, roReplace,
  // roDelete): one the channel lacks is asked of the NRCS.
  bool needsRunningOrder = false;
};

class MOSXMLParser : public MOSXMLWriter {
 public:
  explicit MOSXMLParser(const Clock& clock) : MOSXMLWriter(clock) {}

  HResult Initialize();
  // Loads one whole message; false (and an empty document) when it is not well-formed. The
  // message must stay alive until it has been handled: its digest is taken from it when
  // asked for.
  bool LoadMessage(std::u16string_view message);
  // Why the last message did not load: the parser's reason and the byte offset where it
  // stopped ("Start-end tags mismatch at byte 23"); empty after one that loaded.
  const std::string& LoadError() const { return loadError_; }
  // The answer to a message that is not well-formed XML, from what its raw text shows
  // (mosID, ncsID, messageID, roID or objID): a roAck on the upper port or a mosAck NACK on
  // the lower, saying "malformed XML: REASON".
  std::u16string MalformedAnswer(MosPort port, std::u16string_view message);
  // A NACK of the loaded message for why, in the form of its port, applying nothing.
  std::u16string RefusedAnswer(MosPort port, EditResult why, const std::string& detail);
  // A digest of the whole loaded message's text, the same from run to run (the key of a
  // message sent again). Taken only when asked: most messages never need one.
  std::uint64_t Digest() const;
  // The loaded message as text; at most maxBytes of it (a cut may split a character).
  std::string GetXml(std::size_t maxBytes = std::string::npos) const;
  // True when a roAck stands anywhere below a mos element; messageID gets its messageID if
  // the message has one, and is left alone otherwise.
  bool IsRoAck(std::int32_t& messageID) const;
  // The roStatus of the message's roAck (a <mos> root's), empty when there is none.
  std::string RoAckStatus() const;
  bool HasMosRoot() const;
  // Dispatches every body element of the loaded message; answer gets the answer of the last
  // body that produced one. E_FAIL without a mos root.
  // originHost: the NRCS host (IPv4, network order) it came from, kept with the running
  // orders it stores so that their notices go back there; 0 when not known.
  HResult HandleMessage(PlayoutManager& manager, MosPort port, std::u16string& answer,
                        bool& answered, std::uint32_t originHost = 0,
                        const MessageKey* key = nullptr);
  MessageFacts Facts() const;

  // A mosReqAll asks for the objects, sent by the server on a connection of its own to the
  // NRCS's lower port: with pause 0 in one mosListAll, else one by one every pause seconds;
  // none for any other message.
  struct PacedListing {
    std::uint32_t pause = 0;
    MosText mosID;
    MosText ncsID;
  };
  std::optional<PacedListing> PacedListingRequested() const { return paced_; }
  // What the last roAck of the last message handled answered; none when it had no roAck.
  std::optional<EditResult> LastOutcome() const { return lastOutcome_; }
  // roAck OK for the running order the loaded message names: the answer of a message that
  // was applied and saved, but whose answer was lost with a stop of the server.
  std::u16string AppliedAnswer();
  // An NRCS's answer to the server's roReq: the loaded roList is stored in its channel as a
  // roReplace would store it. The stored roID, or none when the message is no roList or the
  // store could not save it.
  std::optional<MosText> StoreReceivedList(PlayoutManager& manager, std::uint32_t originHost);
  // An NRCS's answer to the server's roReqAll: the roIDs of the loaded roListAll that its
  // channel does not hold, with the mosID that names the channel.
  std::vector<MosText> MissingOfListAll(PlayoutManager& manager, MosText& mosID) const;

 private:
  bool Dispatch(PlayoutManager& manager, MosPort port, pugi::xml_node body, const MosText& mosID,
                const MosText& ncsID, const MosText& messageID, std::uint32_t originHost,
                const MessageKey* key);
  // Whether the dispatcher has a row for a message of this name.
  static bool IsKnownMessage(std::string_view name);

  pugi::xml_document inDocument;
  // The loaded message as UTF-8, parsed in place: converted here rather than by the parser,
  // into a buffer that lives from message to message.
  std::string loadedText_;
  std::u16string_view loaded_;
  std::string loadError_;
  mutable std::optional<std::uint64_t> digest_;
  std::optional<EditResult> lastOutcome_;
  std::optional<PacedListing> paced_;
};

}  // namespace vidra
