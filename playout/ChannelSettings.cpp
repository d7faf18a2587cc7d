// Channel entries are read in order until the first one that lacks a name or a player; an
// entry whose player names no device is skipped and takes no channel number. Device names
// match exactly, with their case.
#include "playout/ChannelSettings.h"

#include <algorithm>
#include <cstdlib>

#include "common/Log.h"
#include "common/Text.h"
#include "playout/ChannelPlayer.h"

namespace vidra {

namespace {

constexpr const char* kSection = "VIDRAServer";

// 64-bit FNV-1a of text, from the given basis.
std::uint64_t Fnv1a(const std::string& text, std::uint64_t hash) {
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001B3ull;
  }
  return hash;
}

// ChannelCount as a 32-bit value; false when it is none. Negative values count as large,
// as an unsigned comparison sees them.
bool ReadCount(const std::string& text, std::uint32_t& count) {
  const std::string trimmed(Trim(text));
  if (trimmed.empty()) {
    return false;
  }
  char* end = nullptr;
  const long long value = std::strtoll(trimmed.c_str(), &end, 10);
  if (end == nullptr || *end != '\0' || value < INT32_MIN || value > UINT32_MAX) {
    return false;
  }
  count = static_cast<std::uint32_t>(value);
  return true;
}

}  // namespace

HResult DeviceList::Load(const SettingsSource& settings, std::string& error) {
  devices_.clear();
  for (const auto& entry : settings.Section("Devices")) {
    const std::string value(Trim(entry.value));
    const auto blank = value.find_first_of(" \t");
    Device device{entry.key, value.substr(0, blank),
                  blank == std::string::npos ? "" : std::string(Trim(value.substr(blank)))};
    const std::vector<std::string>& backends = PlayerBackends();
    if (std::find(backends.begin(), backends.end(), device.backend) == backends.end()) {
      std::string names;
      for (const std::string& backend : backends) {
        names += (names.empty() ? "" : ", ") + backend;
      }
      error = settings.Origin() + ": [Devices] " + entry.key + " = '" + entry.value +
              "': the backend must be one of: " + names;
      devices_.clear();
      return HResult::E_INVALIDARG;
    }
    devices_.push_back(std::move(device));
  }
  return HResult::S_OK;
}

std::array<std::uint8_t, 16> DeviceList::GetId(std::size_t index) const {
  const std::string& name = devices_[index].name;
  const std::uint64_t halves[2] = {Fnv1a(name, 0xCBF29CE484222325ull),
                                   Fnv1a(name, 0x84222325CBF29CE4ull)};
  std::array<std::uint8_t, 16> id{};
  for (std::size_t i = 0; i < 16; ++i) {
    id[i] = static_cast<std::uint8_t>(halves[i / 8] >> (8 * (i % 8)));
  }
  return id;
}

HResult LoadSettings(const SettingsSource& settings, ChannelSettings& out) {
  const std::string& origin = settings.Origin();
  DeviceList devices;
  std::string error;
  if (devices.Load(settings, error) != HResult::S_OK) {
    Log("VIDRA - %s", error.c_str());
    return HResult::E_INVALIDARG;
  }
  if (devices.GetCount() < 1) {
    Log("VIDRA - %s: [Devices] names no output device", origin.c_str());
    return HResult::S_FALSE;
  }
  if (settings.Section(kSection).empty()) {
    Log("VIDRA - %s: there is no [%s] section", origin.c_str(), kSection);
    return HResult::S_FALSE;
  }
  ChannelSettings read;
  if (const auto name = settings.Get(kSection, "Name")) {
    read.serverName = *name;
  }
  if (const auto path = settings.Get(kSection, "Path")) {
    read.mediaPath = *path;
  }
  const std::string airx = settings.Get(kSection, "Airx").value_or("");
  std::uint32_t count = 0;
  const auto countText = settings.Get(kSection, "ChannelCount");
  if (!countText || !ReadCount(*countText, count) || count == 0) {
    Log("VIDRA - %s: [%s] ChannelCount = '%s' gives no channel", origin.c_str(), kSection,
        countText.value_or("").c_str());
    return HResult::S_FALSE;
  }
  count = count > kMaxChannels ? kMaxChannels : count;
  for (std::uint32_t i = 1; i <= count; ++i) {
    const std::string number = std::to_string(i);
    const auto player = settings.Get(kSection, "CHANNEL_PLAYER" + number);
    const auto channel = settings.Get(kSection, "CHANNEL_NAME" + number);
    if (!player || !channel) {
      break;
    }
    std::size_t device = 0;
    while (device < devices.GetCount() && devices.GetName(device) != *player) {
      ++device;
    }
    if (device == devices.GetCount()) {
      Log("VIDRA - %s: [%s] CHANNEL_PLAYER%s = '%s' names no device of [Devices]; the entry is "
          "skipped",
          origin.c_str(), kSection, number.c_str(), player->c_str());
      continue;
    }
    ChannelRecord record;
    record.playerName = devices.GetName(device);
    record.channelName = *channel;
    record.deviceId = devices.GetId(device);
    record.deviceParameter = devices.GetParameter(device);
    record.backend = devices.GetBackend(device);
    if (!airx.empty()) {
      record.playlistPath = airx + *channel + ".airx";
    }
    read.channels.push_back(std::move(record));
  }
  if (const auto threads = settings.Get("Media", "ProbeThreads")) {
    const auto value = ParseUnsigned(*threads, 1, 16);
    if (!value) {
      Log("VIDRA - %s: [Media] ProbeThreads = '%s' is not a whole number from 1 to 16",
          origin.c_str(), threads->c_str());
      return HResult::E_INVALIDARG;
    }
    read.probeThreads = static_cast<std::size_t>(*value);
  }
  if (const auto notices = settings.Get("Notices", "MediaStatus")) {
    const auto value = ParseYesNo(*notices);
    if (!value) {
      Log("VIDRA - %s: [Notices] MediaStatus = '%s' is not yes or no", origin.c_str(),
          notices->c_str());
      return HResult::E_INVALIDARG;
    }
    read.mediaNotices = *value;
  }
  if (read.channels.empty()) {
    Log("VIDRA - %s: no CHANNEL_PLAYER of [%s] names a device of [Devices]", origin.c_str(),
        kSection);
    return HResult::S_FALSE;
  }
  out = std::move(read);
  return HResult::S_OK;
}

}  // namespace vidra
