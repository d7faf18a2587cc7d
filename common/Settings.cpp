// INI reading through inih's callback parser, which keeps every entry with its case and order
// (the C++ reader folds names to lower case, which would lose device names).
#include "common/Settings.h"

#include "common/Text.h"

#include <ini.h>

#include <cerrno>
#include <cstring>

namespace vidra {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if ((x >= 'A' && x <= 'Z' ? x + 32 : x) != (y >= 'A' && y <= 'Z' ? y + 32 : y)) {
      return false;
    }
  }
  return true;
}

std::optional<std::string> SettingsSource::Get(std::string_view section,
                                               std::string_view key) const {
  std::optional<std::string> found;
  for (const auto& entry : Entries()) {
    if (EqualsIgnoringCase(entry.section, section) && EqualsIgnoringCase(entry.key, key)) {
      found = entry.value;
    }
  }
  return found;
}

std::vector<SettingsSource::Entry> SettingsSource::Section(std::string_view section) const {
  std::vector<Entry> entries;
  for (const auto& entry : Entries()) {
    if (EqualsIgnoringCase(entry.section, section)) {
      entries.push_back(entry);
    }
  }
  return entries;
}

std::unique_ptr<IniSettings> IniSettings::Load(const std::string& path, std::string& error) {
  auto settings = std::make_unique<IniSettings>(path);
  auto handler = [](void* user, const char* section, const char* name, const char* value) {
    auto* entries = static_cast<std::vector<Entry>*>(user);
    entries->push_back(Entry{section, name, value != nullptr ? value : ""});
    return 1;
  };
  errno = 0;
  const int result = ini_parse(path.c_str(), handler, &settings->entries_);
  if (result == -1) {
    error = "cannot open settings file " + path + ": " +
            (errno != 0 ? ErrorText(errno) : std::string("not readable"));
    return nullptr;
  }
  if (result == -2) {
    error = "out of memory reading settings file " + path;
    return nullptr;
  }
  if (result > 0) {
    error = "settings file " + path + ", line " + std::to_string(result) +
            ": not a section header, a name = value pair or a comment";
    return nullptr;
  }
  return settings;
}

}  // namespace vidra
