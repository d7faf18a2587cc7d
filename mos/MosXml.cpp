// Document access on pugixml: plain child paths are walked by hand (first match in document
// order), whitespace-only text between elements is dropped on load, and only the five
// predefined entities and character references are expanded; no DTD is read.
#include "mos/MosXml.h"

#include <climits>
#include <cstdlib>
#include <sstream>

#include "common/Log.h"
#include "common/Text.h"

namespace vidra {

namespace {

constexpr unsigned kParseOptions = pugi::parse_default;
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

struct StringWriter final : pugi::xml_writer {
  std::string text;
  std::size_t limit = std::string::npos;
  void write(const void* data, size_t size) override {
    text.append(static_cast<const char*>(data), std::min(size, limit - text.size()));
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

std::string NodeText(const pugi::xml_node& node) {
  const pugi::xml_node first = node.first_child();
  if (first && !first.next_sibling() &&
      (first.type() == pugi::node_pcdata || first.type() == pugi::node_cdata)) {
    return first.value();
  }
  std::string text;
  for (pugi::xml_node n = node.first_child(); n;) {
    if (n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata) {
      text += n.value();
    }
    // Depth-first through the element's descendants, in document order.
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

pugi::xml_node SelectSingleNode(const pugi::xml_node& from, std::string_view path) {
  return SelectFrom(from, path);
}

HResult MOSXMLWriter::SetTemplateFolder(std::string folder) {
  templateFolder = std::move(folder);
  outDocument.reset();
  return HResult::S_OK;
}

void MOSXMLWriter::StartMessage(const MosText& mosID, const MosText& ncsID,
                                const MosText& messageID) {
  outDocument.reset();
  pugi::xml_node root = outDocument.append_child("mos");
  static_cast<void>(AppendTextChild(root, "mosID", mosID));
  static_cast<void>(AppendTextChild(root, "ncsID", ncsID));
  static_cast<void>(AppendTextChild(root, "messageID", messageID));
}

HResult MOSXMLWriter::AppendElement(std::string_view parentPath, const char* name,
                                    pugi::xml_node* added) {
  pugi::xml_node parent = SelectFrom(outDocument, parentPath);
  if (!parent) {
    return HResult::E_FAIL;
  }
  pugi::xml_node node = parent.append_child(name);
  if (added != nullptr) {
    *added = node;
  }
  return node ? HResult::S_OK : HResult::E_FAIL;
}

HResult MOSXMLWriter::AppendTextElement(std::string_view parentPath, const char* name,
                                        const MosText& text) {
  if (AppendElement(parentPath, name) != HResult::S_OK) {
    return HResult::E_FAIL;
  }
  std::string path(parentPath);
  path += '/';
  path += name;
  return SetNodeText(path, text);
}

HResult MOSXMLWriter::AppendTextChild(pugi::xml_node node, const char* name,
                                      std::string_view text) {
  pugi::xml_node added = node.append_child(name);
  if (!added) {
    return HResult::E_FAIL;
  }
  if (!text.empty()) {
    added.append_child(pugi::node_pcdata).set_value(text.data(), text.size());
  }
  return HResult::S_OK;
}

HResult MOSXMLWriter::AppendChildElement(pugi::xml_node node, const char* name,
                                         pugi::xml_node& added) {
  added = node.append_child(name);
  return added ? HResult::S_OK : HResult::E_FAIL;
}

HResult MOSXMLWriter::SetNodeText(std::string_view path, const MosText& text) {
  pugi::xml_node node = SelectFrom(outDocument, path);
  if (!node) {
    return HResult::S_FALSE;
  }
  while (node.first_child()) {
    node.remove_child(node.first_child());
  }
  if (!text.IsEmpty()) {
    node.append_child(pugi::node_pcdata).set_value(text.Str().c_str());
  }
  return HResult::S_OK;
}

HResult MOSXMLWriter::SetNodeAttribute(std::string_view path, const char* name,
                                       const MosText& value) {
  pugi::xml_node node = SelectFrom(outDocument, path);
  if (!node) {
    return HResult::E_FAIL;
  }
  pugi::xml_attribute attribute = node.attribute(name);
  if (!attribute) {
    attribute = node.append_attribute(name);
  }
  attribute.set_value(value.Str().c_str());
  return HResult::S_OK;
}

std::string MOSXMLWriter::GetAnswerUtf8() const {
  StringWriter writer;
  outDocument.save(writer, "", kWriteOptions, pugi::encoding_utf8);
  return std::move(writer.text);
}

std::u16string MOSXMLWriter::GetAnswer() const {
  return Utf8ToUtf16(GetAnswerUtf8());
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

HResult MOSXMLParser::Initialize() {
  LogText("Inside MOSXMLParser::Initialize\n");
  inDocument.reset();
  LogText("CoCreateInstance wokred\n");
  const HResult created = SetTemplateFolder("");
  if (created != HResult::S_OK) {
    LogText("No MOS xml files is specified path\n");
  }
  LogText("go out from MOSXMLParser::Initialize\n");
  return created;
}

bool MOSXMLParser::LoadMessage(std::u16string_view message) {
  inDocument.reset();
  const pugi::xml_parse_result result = inDocument.load_buffer(
      message.data(), message.size() * sizeof(char16_t), kParseOptions, pugi::encoding_utf16);
  if (!result) {
    inDocument.reset();
    return false;
  }
  return true;
}

std::string MOSXMLParser::GetXml(std::size_t maxBytes) const {
  StringWriter writer;
  writer.limit = maxBytes;
  inDocument.save(writer, "", kWriteOptions, pugi::encoding_utf8);
  return std::move(writer.text);
}

bool MOSXMLParser::IsRoAck(std::int32_t& messageID) const {
  // "//mos/roAck" and "//mos/messageID": the first such element anywhere in the document.
  auto below = [this](const char* name) {
    return inDocument.find_node([name](const pugi::xml_node& node) {
      return node.type() == pugi::node_element && std::string_view(node.name()) == name &&
             std::string_view(node.parent().name()) == "mos";
    });
  };
  if (!below("roAck")) {
    return false;
  }
  if (const pugi::xml_node id = below("messageID")) {
    messageID = DecimalToInt32(NodeText(id));
  }
  return true;
}

bool MOSXMLParser::HasMosRoot() const {
  return static_cast<bool>(inDocument.child("mos"));
}

}  // namespace vidra
