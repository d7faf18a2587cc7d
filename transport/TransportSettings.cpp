// Port 0 is allowed and means any free port, which is what tests listen on.
#include "transport/TransportSettings.h"

#include <arpa/inet.h>

#include <optional>
#include <tuple>

#include "common/Text.h"

namespace vidra {

namespace {

struct Reader {
  const SettingsSource& source;
  std::string& error;

  bool Unsigned(const char* section, const char* key, std::uint64_t minimum, std::uint64_t maximum,
                std::uint64_t& out) {
    const auto text = source.Get(section, key);
    if (!text) {
      return true;
    }
    const auto value = ParseUnsigned(*text, minimum, maximum);
    if (!value) {
      error = source.Origin() + ": [" + section + "] " + key + " = '" + *text +
              "' is not a whole number from " + std::to_string(minimum) + " to " +
              std::to_string(maximum);
      return false;
    }
    out = *value;
    return true;
  }

  bool Port(const char* key, std::uint32_t& port) {
    std::uint64_t value = port;
    if (!Unsigned("Network", key, 0, 65535, value)) {
      return false;
    }
    port = static_cast<std::uint32_t>(value);
    return true;
  }
};

}  // namespace

bool TransportSettings::Allows(std::uint32_t host) const {
  if (allowedHosts.empty()) {
    return true;
  }
  for (const HostRange& range : allowedHosts) {
    if (range.Contains(host)) {
      return true;
    }
  }
  return false;
}

bool ParseHostRanges(std::string_view text, std::vector<HostRange>& out, std::string& error) {
  std::vector<HostRange> ranges;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find_first_of(", \t", at);
    const std::string entry(text.substr(at, end == std::string_view::npos ? end : end - at));
    at = end == std::string_view::npos ? text.size() : end + 1;
    if (entry.empty()) {
      continue;
    }
    const std::size_t slash = entry.find('/');
    const std::string address = entry.substr(0, slash);
    in_addr parsed{};
    std::optional<std::uint64_t> bits = 32;
    if (slash != std::string::npos) {
      bits = ParseUnsigned(entry.substr(slash + 1), 0, 32);
    }
    if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1 || !bits) {
      error = "'" + entry + "' is not an IPv4 address (10.1.2.3) or range (10.1.0.0/16)";
      return false;
    }
    const std::uint32_t mask = *bits == 0 ? 0 : ~std::uint32_t{0} << (32 - *bits);
    ranges.push_back(HostRange{ntohl(parsed.s_addr) & mask, mask});
  }
  if (ranges.empty()) {
    error = "it names no host";
    return false;
  }
  out = std::move(ranges);
  return true;
}

HResult ReadTransportSettings(const SettingsSource& source, TransportSettings& out,
                              std::string& error) {
  TransportSettings read;
  Reader reader{source, error};
  for (const auto& [key, field, example] :
       {std::tuple{"ListenAddress", &read.listenAddress, "0.0.0.0 or 127.0.0.1"},
        std::tuple{"NrcsBuddy", &read.nrcsBuddy, "10.1.2.4"}}) {
    const auto address = source.Get("Network", key);
    if (!address || (Trim(*address).empty() && field == &read.nrcsBuddy)) {
      continue;
    }
    in_addr parsed{};
    const std::string trimmed(Trim(*address));
    if (::inet_pton(AF_INET, trimmed.c_str(), &parsed) != 1 ||
        (field == &read.nrcsBuddy && parsed.s_addr == 0)) {
      error = source.Origin() + ": [Network] " + key + " = '" + *address +
              "' is not an IPv4 address such as " + example;
      return HResult::E_INVALIDARG;
    }
    *field = ntohl(parsed.s_addr);
  }
  std::uint64_t maxConnections = read.maxConnections;
  std::uint64_t journalBytes = read.journalTextBytes;
  if (!reader.Port("LowerPort", read.lowerPort) || !reader.Port("UpperPort", read.upperPort) ||
      !reader.Port("QueryPort", read.queryPort) ||
      !reader.Port("NrcsUpperPort", read.nrcsUpperPort) ||
      !reader.Port("NrcsLowerPort", read.nrcsLowerPort) ||
      !reader.Unsigned("Network", "MaxConnections", 1, 100'000, maxConnections) ||
      !reader.Unsigned("Journal", "MaxTextBytes", 1u << 20, std::uint64_t{1} << 40, journalBytes)) {
    return HResult::E_INVALIDARG;
  }
  for (const auto& [a, b, aName, bName] :
       {std::tuple{read.lowerPort, read.upperPort, "LowerPort", "UpperPort"},
        std::tuple{read.lowerPort, read.queryPort, "LowerPort", "QueryPort"},
        std::tuple{read.upperPort, read.queryPort, "UpperPort", "QueryPort"}}) {
    if (a != 0 && a == b) {
      error = source.Origin() + ": [Network] " + aName + " and " + bName + " are both " +
              std::to_string(a) + "; the ports must differ";
      return HResult::E_INVALIDARG;
    }
  }
  for (const auto& [section, key, flag] :
       {std::tuple{"State", "ResyncOnConnect", &read.resyncOnConnect},
        std::tuple{"Media", "PushObjects", &read.pushObjects}}) {
    if (const auto text = source.Get(section, key)) {
      const auto value = ParseYesNo(*text);
      if (!value) {
        error =
            source.Origin() + ": [" + section + "] " + key + " = '" + *text + "' is not yes or no";
        return HResult::E_INVALIDARG;
      }
      *flag = *value;
    }
  }
  if (const auto hosts = source.Get("Network", "AllowedHosts")) {
    std::string why;
    if (!ParseHostRanges(*hosts, read.allowedHosts, why)) {
      error = source.Origin() + ": [Network] AllowedHosts = '" + *hosts + "': " + why;
      return HResult::E_INVALIDARG;
    }
  }
  read.maxConnections = static_cast<std::uint32_t>(maxConnections);
  read.journalTextBytes = static_cast<std::size_t>(journalBytes);
  out = read;
  return HResult::S_OK;
}

}  // namespace vidra
