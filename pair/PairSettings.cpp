#include "pair/PairSettings.h"

#include <charconv>

#include "common/Text.h"

namespace vidra {

const char* PairRoleName(PairRole role) {
  switch (role) {
    case PairRole::Main:
      return "main";
    case PairRole::Backup:
      return "backup";
    case PairRole::Single:
      break;
  }
  return "single";
}

namespace {

bool ReadNumber(std::string_view text, std::uint64_t max, std::uint64_t& out) {
  text = Trim(text);
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size() && out <= max;
}

}  // namespace

HResult ReadPairSettings(const SettingsSource& source, PairSettings& out, std::string& error) {
  PairSettings read;
  const auto bad = [&](const char* key, const std::string& value, const char* why) {
    error = source.Origin() + ": [Pair] " + key + " = '" + value + "' " + why;
    return HResult::E_INVALIDARG;
  };
  if (const auto role = source.Get("Pair", "Role")) {
    const std::string_view word = Trim(*role);
    if (EqualsIgnoringCase(word, "main")) {
      read.role = PairRole::Main;
    } else if (EqualsIgnoringCase(word, "backup")) {
      read.role = PairRole::Backup;
    } else if (!word.empty()) {
      return bad("Role", *role, "is not main or backup");
    }
  }
  if (const auto peer = source.Get("Pair", "Peer")) {
    const std::string_view text = Trim(*peer);
    const std::size_t colon = text.rfind(':');
    std::uint64_t port = 0;
    if (colon == std::string_view::npos || colon == 0 ||
        !ReadNumber(text.substr(colon + 1), 65535, port) || port == 0) {
      return bad("Peer", *peer, "is not host:port");
    }
    read.peerHost = std::string(text.substr(0, colon));
    read.peerPort = static_cast<std::uint16_t>(port);
  }
  if (const auto port = source.Get("Pair", "Port")) {
    std::uint64_t value = 0;
    if (!ReadNumber(*port, 65535, value)) {
      return bad("Port", *port, "is not a port number");
    }
    read.port = static_cast<std::uint16_t>(value);
  }
  if (const auto timeout = source.Get("Pair", "SyncTimeout")) {
    std::uint64_t ms = 0;
    if (!ReadNumber(*timeout, 60'000, ms) || ms == 0) {
      return bad("SyncTimeout", *timeout, "is not milliseconds from 1 to 60000");
    }
    read.syncTimeout = std::chrono::milliseconds(ms);
  }
  if (read.role != PairRole::Single && read.peerHost.empty()) {
    error = source.Origin() + ": [Pair] Role = " + PairRoleName(read.role) +
            " needs [Pair] Peer = host:port";
    return HResult::E_INVALIDARG;
  }
  out = read;
  return HResult::S_OK;
}

}  // namespace vidra
