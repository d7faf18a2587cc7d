// Document access on pugixml: plain child paths are walked by hand (first match in document
// order), whitespace-only text between elements is dropped on load, and only the five
// predefined entities and character references are expanded; no DTD is read.
#include "mos/MosXml.h"

#include <cctype>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "common/Log.h"
#include "common/Text.h"

namespace vidra {

namespace {

constexpr unsigned kWriteOptions =
    pugi::format_raw | pugi::format_no_declaration | pugi::format_no_empty_element_tags;

pugi::xml_node SelectFrom(const pugi::xml_node& from, std::string_view path) {
  const auto slash = path.find('/');
  const std::string_view head = path.substr(0, slash);
  for (pugi::xml_node child = from.first_child(); child; child = child.next_sibling()) {
    if (child.type() != pugi::node_element || head != child.name()) {
      continue;
    }
    if (slash == std::string_view::npos) {
      return child;
    }
    if (pugi::xml_node found = SelectFrom(child, path.substr(slash + 1))) {
      return found;
    }
  }
  return {};
}

// Thrown by a writer whose limit is reached: it ends the walk of a big document, which
// pugixml would otherwise serialise whole only for the writer to drop the rest.
struct WriterFull {};

struct StringWriter final : pugi::xml_writer {
  std::string text;
  std::size_t limit = std::string::npos;
  void write(const void* data, size_t size) override {
    text.append(static_cast<const char*>(data), std::min(size, limit - text.size()));
    if (text.size() >= limit) {
      throw WriterFull{};
    }
  }
};

}  // namespace

std::int32_t DecimalToInt32(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > std::int64_t{INT32_MAX} + 1) {
      value = std::int64_t{INT32_MAX} + 1;  // saturates; more digits change nothing
    }
  }
  value = negative ? -value : value;
  if (value > INT32_MAX) {
    return INT32_MAX;
  }
  return static_cast<std::int32_t>(value);
}

namespace {

// The text of an element that holds one run of text and nothing else, as most do; null
// otherwise.
const char* OnlyText(const pugi::xml_node& node) {
  const pugi::xml_node first = node.first_child();
  if (!first) {
    return node.value();  // the text the element holds itself, or ""
  }
  if (*node.value() == '\0' && !first.next_sibling() &&
      (first.type() == pugi::node_pcdata || first.type() == pugi::node_cdata)) {
    return first.value();
  }
  return nullptr;
}

// Every run of text under the element, in document order. An element's own value is its
// first run of text, which comes before its children.
std::string GatheredText(const pugi::xml_node& node) {
  std::string text = node.value();
  for (pugi::xml_node n = node.first_child(); n;) {
    if (n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata ||
        n.type() == pugi::node_element) {
      text += n.value();
    }
    // Depth-first through the element's descendants.
    if (n.first_child()) {
      n = n.first_child();
      continue;
    }
    while (n && !n.next_sibling() && n != node) {
      n = n.parent();
    }
    if (!n || n == node) {
      break;
    }
    n = n.next_sibling();
  }
  return text;
}

}  // namespace

MosText NodeMosText(const pugi::xml_node& node) {
  // Taken straight from the document: a running order has thousands of these.
  const char* only = OnlyText(node);
  return only != nullptr ? MosText(only) : MosText(GatheredText(node));
}

std::string NodeText(const pugi::xml_node& node) {
  const char* only = OnlyText(node);
  return only != nullptr ? std::string(only) : GatheredText(node);
}

std::string NodeXml(const pugi::xml_node& node) {
  StringWriter writer;
  node.print(writer, "", kWriteOptions, pugi::encoding_utf8);
  return std::move(writer.text);
}

pugi::xml_node SelectSingleNode(const pugi::xml_node& from, std::string_view path) {
  return SelectFrom(from, path);
}

std::string MOSXMLWriter::GetAnswerUtf8() const {
  if (!text_.empty()) {
    return text_;
  }
  StringWriter writer;
  outDocument.save(writer, "", kWriteOptions, pugi::encoding_utf8);
  return std::move(writer.text);
}

std::u16string MOSXMLWriter::GetAnswer() const {
  return text_.empty() ? Utf8ToUtf16(GetAnswerUtf8()) : Utf8ToUtf16(text_);
}

std::string_view MOSXMLWriter::AnswerName() const {
  if (!text_.empty()) {
    return textName_;
  }
  for (pugi::xml_node child = outDocument.child("mos").first_child(); child;
       child = child.next_sibling()) {
    const std::string_view name = child.name();
    if (child.type() == pugi::node_element && name != "mosID" && name != "ncsID" &&
        name != "messageID") {
      return name;
    }
  }
  return {};
}

std::string MOSXMLWriter::FormatIsoTime() const {
  CalendarTime now;
  if (!ToCalendar(clock_.LocalNow(), now)) {
    now = CalendarTime{};
  }
  char text[64];
  std::snprintf(text, sizeof text, "%d-%02d-%02dT%02d:%02d:%02d", now.year, now.month, now.day,
                now.hour, now.minute, now.second);
  return text;
}

// pugixml needs no factory that could fail: the documents exist with the parser, and the
// lines the connection's log has always shown are written as they were.
HResult MOSXMLParser::Initialize() {
  LogText("Inside MOSXMLParser::Initialize\n");
  inDocument.reset();
  outDocument.reset();
  ForgetText();
  LogText("CoCreateInstance wokred\n");
  LogText("go out from MOSXMLParser::Initialize\n");
  return HResult::S_OK;
}

bool MOSXMLParser::LoadMessage(std::u16string_view message) {
  inDocument.reset();
  loaded_ = message;
  digest_.reset();
  // A buffer that once held a very big message is not kept for the small ones after it.
  constexpr std::size_t kKeptCapacity = std::size_t{4} << 20;
  if (loadedText_.capacity() > kKeptCapacity && message.size() < kKeptCapacity / 4) {
    std::string().swap(loadedText_);
  }
  Utf16ToUtf8Into(message, loadedText_);
  const pugi::xml_parse_result result = inDocument.load_buffer_inplace(
      loadedText_.data(), loadedText_.size(), kMosParseOptions, pugi::encoding_utf8);
  loadError_.clear();
  if (!result) {
    loadError_ = std::string(result.description()) + " at byte " + std::to_string(result.offset);
    inDocument.reset();
    return false;
  }
  return true;
}

namespace {

// The text of the first <name>...</name> in a raw message that is not XML, trimmed; absent
// when there is none, or it holds markup or more than an ID may.
MosText RawElement(std::string_view text, std::string_view name) {
  const std::string open = "<" + std::string(name) + ">";
  const std::string close = "</" + std::string(name) + ">";
  const std::size_t start = text.find(open);
  if (start == std::string_view::npos) {
    return MosText();
  }
  const std::size_t from = start + open.size();
  const std::size_t end = text.find(close, from);
  if (end == std::string_view::npos || end - from > 128 ||
      text.substr(from, end - from).find('<') != std::string_view::npos) {
    return MosText();
  }
  std::string_view value = text.substr(from, end - from);
  while (!value.empty() && std::isspace(static_cast<unsigned char>(value.front())) != 0) {
    value.remove_prefix(1);
  }
  while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())) != 0) {
    value.remove_suffix(1);
  }
  return MosText(std::string(value));
}

}  // namespace

std::u16string MOSXMLParser::MalformedAnswer(MosPort port, std::u16string_view message) {
  const std::string raw = Utf16ToUtf8(message);
  const MosText mosID = RawElement(raw, "mosID");
  const MosText ncsID = RawElement(raw, "ncsID");
  const MosText messageID = RawElement(raw, "messageID");
  if (port == MosPort::Upper) {
    RoAckInfo ack;
    ack.roID = RawElement(raw, "roID");
    ack.result = EditResult::NotXml;
    ack.detail = loadError_;
    BuildRoAck(mosID, ncsID, messageID, ack);
  } else {
    MosAckInfo ack;
    ack.objID = RawElement(raw, "objID");
    ack.objRev = MosText("0");
    ack.status = MosText("NACK");
    ack.statusDescription = MosText(ReasonText(EditResult::NotXml, loadError_));
    BuildMosAck(mosID, ncsID, messageID, ack);
  }
  return GetAnswer();
}

std::u16string MOSXMLParser::RefusedAnswer(MosPort port, EditResult why,
                                           const std::string& detail) {
  const MessageFacts facts = Facts();
  if (port == MosPort::Upper) {
    RoAckInfo ack;
    ack.roID = facts.roID;
    ack.result = why;
    ack.detail = detail;
    BuildRoAck(facts.mosID, facts.ncsID, facts.messageID, ack);
  } else {
    MosAckInfo ack;
    for (pugi::xml_node body : inDocument.child("mos").children()) {
      if (const pugi::xml_node objID = body.child("objID")) {
        ack.objID = NodeMosText(objID);
        break;
      }
    }
    ack.objRev = MosText("0");
    ack.status = MosText("NACK");
    ack.statusDescription = MosText(ReasonText(why, detail));
    BuildMosAck(facts.mosID, facts.ncsID, facts.messageID, ack);
  }
  return GetAnswer();
}

std::uint64_t MOSXMLParser::Digest() const {
  if (!digest_) {
    digest_ = Digest64(loaded_);
  }
  return *digest_;
}

std::string MOSXMLParser::GetXml(std::size_t maxBytes) const {
  StringWriter writer;
  writer.limit = maxBytes;
  try {
    inDocument.save(writer, "", kWriteOptions, pugi::encoding_utf8);
  } catch (const WriterFull&) {
    // The first maxBytes are all that is wanted.
  }
  return std::move(writer.text);
}

std::string MOSXMLParser::RoAckStatus() const {
  return inDocument.document_element().child("roAck").child("roStatus").child_value();
}

bool MOSXMLParser::IsRoAck(std::int32_t& messageID) const {
  // "//mos/roAck" and "//mos/messageID": a roAck (and a messageID) whose parent is a <mos>.
  // In a MOS message that is its root; a message whose body is one the server knows holds
  // no other <mos> but as content, so only an unknown body makes the whole tree be walked.
  // A big running order then costs no walk at all.
  const pugi::xml_node root = inDocument.document_element();
  if (std::strcmp(root.name(), "mos") == 0) {
    if (const pugi::xml_node ack = root.child("roAck")) {
      if (const pugi::xml_node id = root.child("messageID")) {
        messageID = DecimalToInt32(NodeText(id));
      }
      return true;
    }
    for (pugi::xml_node child = root.first_child(); child; child = child.next_sibling()) {
      const std::string_view name = child.name();
      if (child.type() == pugi::node_element && name != "mosID" && name != "ncsID" &&
          name != "messageID") {
        if (IsKnownMessage(name)) {
          return false;
        }
        break;
      }
    }
  }
  pugi::xml_node ack;
  pugi::xml_node id;
  pugi::xml_node node = inDocument.first_child();
  while (node && !(ack && id)) {
    if (node.type() == pugi::node_element && std::strcmp(node.name(), "mos") == 0) {
      ack = ack ? ack : node.child("roAck");
      id = id ? id : node.child("messageID");
    }
    if (node.first_child()) {
      node = node.first_child();
      continue;
    }
    while (node && !node.next_sibling()) {
      node = node.parent();
    }
    node = node ? node.next_sibling() : node;
  }
  if (!ack) {
    return false;
  }
  if (id) {
    messageID = DecimalToInt32(NodeText(id));
  }
  return true;
}

bool MOSXMLParser::HasMosRoot() const {
  return static_cast<bool>(inDocument.child("mos"));
}

}  // namespace vidra
