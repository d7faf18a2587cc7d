// Readable names of the result codes for error texts and the host's messages.
#include "common/HResult.h"

#include <cstdio>

namespace vidra {

namespace {

const char* NameOf(HResult hr) {
  switch (hr) {
    case HResult::S_OK:
      return "S_OK";
    case HResult::S_FALSE:
      return "S_FALSE";
    case HResult::E_FAIL:
      return "E_FAIL";
    case HResult::E_INVALIDARG:
      return "E_INVALIDARG";
    case HResult::E_POINTER:
      return "E_POINTER";
    case HResult::E_NOINTERFACE:
      return "E_NOINTERFACE";
    case HResult::E_UNEXPECTED:
      return "E_UNEXPECTED";
    case HResult::E_ACCESSDENIED:
      return "E_ACCESSDENIED";
    case HResult::E_OUTOFMEMORY:
      return "E_OUTOFMEMORY";
  }
  return nullptr;
}

}  // namespace

std::string Describe(HResult hr) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "0x%08X", Code(hr));
  std::string text = buffer;
  if (const char* name = NameOf(hr)) {
    text += " (";
    text += name;
    text += ')';
  }
  return text;
}

}  // namespace vidra
