// The server's media: the probe, its cache, the catalogue of the media folder and its
// watcher, built together and ended together. Knows no running orders and no MOS
// documents; the media check and the object answers reach it through the playout manager.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "common/Clock.h"
#include "media/MediaCatalogue.h"
#include "media/MediaProbe.h"
#include "media/MediaWatcher.h"
#include "media/ProbeCache.h"

namespace vidra {

class MediaLibrary {
 public:
  // How long one probe may take before it is given up.
  static constexpr std::chrono::milliseconds kProbeLimit{5000};

  // folder: the media folder; empty for a server without one (no catalogue, no watch).
  MediaLibrary(std::unique_ptr<MediaProbe> probe, const std::string& folder, Clock& clock,
               std::chrono::milliseconds checkEvery = std::chrono::seconds(2));
  ~MediaLibrary();
  MediaLibrary(const MediaLibrary&) = delete;
  MediaLibrary& operator=(const MediaLibrary&) = delete;

  ProbeCache& Cache() { return cache_; }
  const ProbeCache& Cache() const { return cache_; }
  MediaCatalogue& Catalogue() { return catalogue_; }
  const MediaCatalogue& Catalogue() const { return catalogue_; }
  bool HasFolder() const { return !catalogue_.Folder().empty(); }
  // Starts the first walk and the watch, once the listeners are in place.
  void Start();
  void Stop();

 private:
  std::unique_ptr<MediaProbe> probe_;
  ProbeCache cache_;
  MediaCatalogue catalogue_;
  MediaWatcher watcher_;
};

}  // namespace vidra
