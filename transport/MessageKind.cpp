#include "transport/MessageKind.h"

#include <algorithm>
#include <array>

namespace vidra {

namespace {

// The type is near the start; a message of megabytes is not scanned further.
constexpr std::size_t kScanUnits = 4096;

constexpr std::array<std::string_view, 34> kKinds{"heartbeat",
                                                  "reqMachInfo",
                                                  "listMachInfo",
                                                  "roCreate",
                                                  "roReplace",
                                                  "roDelete",
                                                  "roReq",
                                                  "roReqAll",
                                                  "roList",
                                                  "roListAll",
                                                  "roAck",
                                                  "roElementAction",
                                                  "roCtrl",
                                                  "roElementStat",
                                                  "roMetadataReplace",
                                                  "roStorySend",
                                                  "roReadyToAir",
                                                  "mosAck",
                                                  "roStoryAppend",
                                                  "roStoryInsert",
                                                  "roStoryReplace",
                                                  "roStoryMove",
                                                  "roStorySwap",
                                                  "roStoryDelete",
                                                  "roStoryMoveMultiple",
                                                  "roItemInsert",
                                                  "roItemReplace",
                                                  "roItemMoveMultiple",
                                                  "roItemDelete",
                                                  "mosItemReplace",
                                                  "mosObj",
                                                  "mosReqObj",
                                                  "mosReqAll",
                                                  "mosListAll"};

bool NameUnit(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
         c == u'_' || c == u'-' || c == u'.' || c == u':';
}

bool Equals(std::u16string_view name, std::string_view ascii) {
  return name.size() == ascii.size() &&
         std::equal(name.begin(), name.end(), ascii.begin(),
                    [](char16_t a, char b) { return a == static_cast<unsigned char>(b); });
}

}  // namespace

std::string_view MessageKind(std::u16string_view message) {
  message = message.substr(0, std::min(message.size(), kScanUnits));
  for (std::size_t at = message.find(u'<'); at != std::u16string_view::npos;
       at = message.find(u'<', at + 1)) {
    std::size_t end = at + 1;
    while (end < message.size() && NameUnit(message[end])) {
      ++end;
    }
    const std::u16string_view name = message.substr(at + 1, end - at - 1);
    if (name.empty() || Equals(name, "mos") || Equals(name, "mosID") || Equals(name, "ncsID") ||
        Equals(name, "messageID")) {
      continue;  // a closing tag, a declaration, or the envelope
    }
    for (const std::string_view kind : kKinds) {
      if (Equals(name, kind)) {
        return kind;
      }
    }
    return "other";
  }
  return "none";
}

std::string_view AnswerStatus(std::u16string_view answer) {
  answer = answer.substr(0, std::min(answer.size(), kScanUnits));
  constexpr std::u16string_view kOpen = u"<roStatus>";
  const std::size_t at = answer.find(kOpen);
  if (at == std::u16string_view::npos) {
    return "NACK";
  }
  return answer.substr(at + kOpen.size(), 13) == u"OK</roStatus>" ? "OK" : "NACK";
}

std::string_view KnownKind(std::string_view name) {
  if (name.empty()) {
    return "none";
  }
  const auto found = std::find(kKinds.begin(), kKinds.end(), name);
  return found == kKinds.end() ? std::string_view("other") : *found;
}

}  // namespace vidra
