// A media probe that reads what a test wrote into a file instead of decoding it: "clip 10"
// is a ten-second clip, "sound 2.5" a sound, "still" a picture; anything else is no media.
// It counts its probes per path, so tests can tell what the cache spared.
#pragma once

#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "media/MediaProbe.h"

namespace vidra::test {

class FakeProbe final : public MediaProbe {
 public:
  ProbeResult Probe(const std::string& path, std::chrono::milliseconds /*limit*/) override {
    {
      std::lock_guard guard(lock_);  // counts_ and order_
      ++counts_[path];
      order_.push_back(path);
    }
    std::ifstream in(path);
    std::string word;
    double seconds = 0;
    in >> word >> seconds;
    ProbeResult result;
    if (word == "clip" || word == "sound") {
      result.media = true;
      result.kind = word == "clip" ? MediaKind::Video : MediaKind::Audio;
      result.seconds = seconds;
      result.playable = seconds > 0;
    } else if (word == "still") {
      result.media = true;
      result.kind = MediaKind::Still;
    }
    return result;
  }

  int Count(const std::string& path) const {
    std::lock_guard guard(lock_);  // counts_
    const auto found = counts_.find(path);
    return found == counts_.end() ? 0 : found->second;
  }
  // Every path probed, in the order of the probes.
  std::vector<std::string> Order() const {
    std::lock_guard guard(lock_);  // order_
    return order_;
  }
  int Total() const {
    std::lock_guard guard(lock_);  // counts_
    int total = 0;
    for (const auto& [path, count] : counts_) {
      total += count;
    }
    return total;
  }

 private:
  mutable std::mutex lock_;
  std::map<std::string, int> counts_;
  std::vector<std::string> order_;
};

}  // namespace vidra::test
