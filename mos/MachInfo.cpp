#include "mos/MachInfo.h"

#include <string_view>

#include "mos/MosXml.h"

namespace vidra {

namespace {

// "YES" in any case, with blanks around it, is a claim; anything else is not.
bool Yes(std::string_view text) {
  std::string word;
  for (const char c : text) {
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
      word += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
  }
  return word == "YES";
}

}  // namespace

MosProfiles ReadSupportedProfiles(const pugi::xml_node& listMachInfo) {
  MosProfiles profiles;
  const pugi::xml_node container = listMachInfo.child("supportedProfiles");
  for (pugi::xml_node child = container.first_child(); child; child = child.next_sibling()) {
    const std::string_view name = child.name();
    int number = -1;
    if (name == "mosProfile") {
      const std::string_view value = child.attribute("number").value();
      if (value.size() == 1) {
        number = value[0] - '0';
      }
    } else if (name.size() == 11 && name.substr(0, 10) == "mosProfile") {
      number = name[10] - '0';
    }
    if (number >= 0 && number < static_cast<int>(profiles.size())) {
      profiles[static_cast<std::size_t>(number)] = Yes(NodeText(child));
    }
  }
  return profiles;
}

std::string FormatProfiles(const MosProfiles& profiles) {
  std::string text;
  for (std::size_t n = 0; n < profiles.size(); ++n) {
    if (profiles[n].value_or(false)) {
      text += (text.empty() ? "" : " ") + std::to_string(n);
    }
  }
  return text.empty() ? "none" : text;
}

}  // namespace vidra
