// The channel configuration read from the settings at InitMOSSrv: the [Devices] list of
// output devices and the [VIDRAServer] values that name the channels. Read once on the
// control thread; immutable after.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/HResult.h"
#include "common/Settings.h"

namespace vidra {

constexpr std::size_t kMaxChannels = 8;

// The output devices of [Devices], each "name = backend [parameter]", in the order written.
class DeviceList {
 public:
  struct Device {
    std::string name;
    std::string backend;
    std::string parameter;
  };

  // Reads the section. E_INVALIDARG, with an error text naming the device, for an entry
  // without a backend or with a backend this server does not have.
  HResult Load(const SettingsSource& settings, std::string& error);
  std::size_t GetCount() const { return devices_.size(); }
  const std::string& GetName(std::size_t index) const { return devices_[index].name; }
  // An identifier derived from the name alone, the same on every start.
  std::array<std::uint8_t, 16> GetId(std::size_t index) const;
  const std::string& GetParameter(std::size_t index) const { return devices_[index].parameter; }
  const std::string& GetBackend(std::size_t index) const { return devices_[index].backend; }

 private:
  std::vector<Device> devices_;
};

struct ChannelRecord {
  std::string playerName;
  std::string channelName;
  std::string playlistPath;  // empty when Airx is empty
  std::array<std::uint8_t, 16> deviceId{};
  std::string deviceParameter;
  std::string backend;
};

struct ChannelSettings {
  std::string serverName = "VIDRA";
  std::string mediaPath;
  std::vector<ChannelRecord> channels;
  // [Media] ProbeThreads: the media check's workers (1 to 16).
  std::size_t probeThreads = 2;
  // [Notices] MediaStatus: items that their media makes READY or NOT READY are told to the
  // NRCS.
  bool mediaNotices = true;
};

// Reads [Devices] and [VIDRAServer]. S_OK with at least one channel; S_FALSE when no channel
// can be configured (no device, no section, no usable ChannelCount, no entry naming a
// device); E_INVALIDARG for a broken device entry. Every failure and every skipped entry is
// logged with the file, the section and the value at fault. A [Media] or [Notices] value
// that is not understood is E_INVALIDARG as well.
HResult LoadSettings(const SettingsSource& settings, ChannelSettings& out);

}  // namespace vidra
