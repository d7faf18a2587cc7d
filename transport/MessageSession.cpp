// The stand-in session: every non-empty receive is one message.
#include "transport/MessageSession.h"

#include "common/Text.h"

namespace vidra {

bool RawSession::LoadMessage(std::u16string_view text) {
  if (text.empty()) {
    return false;
  }
  current_.assign(text);
  return true;
}

std::string RawSession::GetXml() const {
  return Utf16ToUtf8(current_);
}

}  // namespace vidra
