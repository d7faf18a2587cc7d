// The pre-air readiness sheet: per channel and running order, every item with its media
// state and the length of its file against the planned length, the items whose file is
// missing or cannot play listed first, and the totals planned against available. Built
// from what the media check and the probe cache know; it opens no media file itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "playout/PlayoutManager.h"

namespace vidra {

enum class MediaProblem { None, Missing, Unplayable };

struct ReadinessItem {
  std::string storyID;
  std::string itemID;
  std::string itemSlug;
  std::string objID;
  std::string file;   // the file the item plays
  std::string state;  // the item's status word
  MediaProblem problem = MediaProblem::None;
  std::string reason;  // why an unplayable file cannot play ("no decoder for …")
  bool known = false;  // the file's length is known (probed in its present form)
  std::int64_t fileFrames = 0;
  bool planned = false;  // the item carries a planned length (itemEdDur or itemUserTimingDur)
  std::int64_t plannedFrames = 0;
};

struct ReadinessRunningOrder {
  std::string roID;
  std::string roSlug;
  std::vector<ReadinessItem> items;  // missing, then unplayable, then the rest in order
  std::size_t missing = 0;
  std::size_t unplayable = 0;
  std::int64_t plannedFrames = 0;    // of the items with a planned length
  std::int64_t availableFrames = 0;  // of the files that can play
};

struct ReadinessChannel {
  std::string name;
  double frameRate = 25.0;
  std::vector<ReadinessRunningOrder> runningOrders;
};

std::vector<ReadinessChannel> BuildReadiness(PlayoutManager& manager);
// "+00:00:01:05 (+1.20 s)": a length in frames as a signed timecode and in seconds.
std::string FramesText(std::int64_t frames, double frameRate, bool sign);
// The sheet for a terminal: one block per running order, one line per item.
std::string ReadinessText(const std::vector<ReadinessChannel>& sheet);

}  // namespace vidra
