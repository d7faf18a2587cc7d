// The server's settings: named values in sections, read once when the server is built and
// immutable after. IniSettings reads the INI file given to the host; MapSettings is the
// stand-in for tests. Section and key names match without regard to case, as settings
// names always have on stations; values keep their case.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/HResult.h"

namespace vidra {

class SettingsSource {
 public:
  struct Entry {
    std::string section;
    std::string key;
    std::string value;
  };

  virtual ~SettingsSource() = default;
  // Where the values came from, for error texts ("/etc/vidra/vidra.ini").
  virtual std::string Origin() const = 0;
  // Every entry in the order written; a key given twice appears twice.
  virtual const std::vector<Entry>& Entries() const = 0;

  // The last value given for section/key, if any.
  std::optional<std::string> Get(std::string_view section, std::string_view key) const;
  // The entries of one section, in order.
  std::vector<Entry> Section(std::string_view section) const;
};

class MapSettings final : public SettingsSource {
 public:
  explicit MapSettings(std::vector<Entry> entries, std::string origin = "test settings")
      : entries_(std::move(entries)), origin_(std::move(origin)) {}
  std::string Origin() const override { return origin_; }
  const std::vector<Entry>& Entries() const override { return entries_; }

 private:
  std::vector<Entry> entries_;
  std::string origin_;
};

class IniSettings final : public SettingsSource {
 public:
  // Reads the whole file. On failure returns null and sets error to a text that names the
  // file and, for a syntax error, the line.
  static std::unique_ptr<IniSettings> Load(const std::string& path, std::string& error);

  explicit IniSettings(std::string path) : path_(std::move(path)) {}
  std::string Origin() const override { return path_; }
  const std::vector<Entry>& Entries() const override { return entries_; }

 private:
  std::string path_;
  std::vector<Entry> entries_;
};

bool EqualsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace vidra
