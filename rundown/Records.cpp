// Copy rules and the timing arithmetic of items. The arithmetic is kept exactly as the
// station's playlists expect it (the 0.01 s clamp, the 0.001 and 0.499 roundings); only the
// float-to-integer steps saturate, so no input can make them undefined.
#include "rundown/Records.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

namespace vidra {

namespace {

template <typename Int>
Int Saturate(double value) {
  if (std::isnan(value)) {
    return 0;
  }
  if (value <= static_cast<double>(std::numeric_limits<Int>::min())) {
    return std::numeric_limits<Int>::min();
  }
  if (value >= static_cast<double>(std::numeric_limits<Int>::max())) {
    return std::numeric_limits<Int>::max();
  }
  return static_cast<Int>(value);  // truncates toward zero
}

// Leading blanks, a sign and digits, as the frame counts are written; anything else ends
// the number, and none gives 0.
std::int64_t DecimalInteger(const MosText& text) {
  errno = 0;
  const long long value = std::strtoll(text.CStr(), nullptr, 10);
  return value;  // strtoll saturates on overflow
}

double DecimalValue(const MosText& text) {
  return std::strtod(text.CStr(), nullptr);
}

}  // namespace

void MetadataBlocks::Add(Block block) {
  if (!blocks_) {
    blocks_ = std::make_unique<std::vector<Block>>();
  }
  blocks_->push_back(std::move(block));
}

void MetadataBlocks::Replace(Block block) {
  if (blocks_) {
    for (Block& held : *blocks_) {
      if (held.mosSchema == block.mosSchema) {
        held = std::move(block);
        return;
      }
    }
  }
  Add(std::move(block));
}

const std::vector<MetadataBlocks::Block>& MetadataBlocks::EmptyList() {
  static const std::vector<Block> empty;
  return empty;
}

TriggerMode ParseTriggerMode(const MosText& text) {
  if (text == "MANUAL") {
    return MANUAL;
  }
  if (text == "TIMED") {
    return TIMED;
  }
  return CHAINED;
}

template <typename Other>
void item::AssignFields(Other&& other) {
  auto&& from = std::forward<Other>(other);
  itemID = std::forward<Other>(from).itemID;
  itemSlug = std::forward<Other>(from).itemSlug;
  paths = std::forward<Other>(from).paths;
  objID = std::forward<Other>(from).objID;
  objTB = std::forward<Other>(from).objTB;
  mosID = std::forward<Other>(from).mosID;
  mosPlugInID = std::forward<Other>(from).mosPlugInID;
  mosAbstract = std::forward<Other>(from).mosAbstract;
  objPathsXml = std::forward<Other>(from).objPathsXml;
  objDur = std::forward<Other>(from).objDur;
  itemChannel = std::forward<Other>(from).itemChannel;
  itemEdStart = std::forward<Other>(from).itemEdStart;
  itemEdDur = std::forward<Other>(from).itemEdDur;
  itemUserTimingDur = std::forward<Other>(from).itemUserTimingDur;
  itemTrigger = std::forward<Other>(from).itemTrigger;
  macroIn = std::forward<Other>(from).macroIn;
  macroOut = std::forward<Other>(from).macroOut;
  metadata = std::forward<Other>(from).metadata;
  state = from.state.load();
  trigger = from.trigger;
  playDurationTicks = from.playDurationTicks;
  startTime = from.startTime;
  stateTime = from.stateTime.load();
  nrcs = std::forward<Other>(from).nrcs;
  key = from.key;
  mediaPath = std::forward<Other>(from).mediaPath;
  airedAt = from.airedAt;
  cutTicksLeft = from.cutTicksLeft;
}

item::item(const item& other) {
  AssignFields(other);
}

item& item::operator=(const item& other) {
  if (this != &other) {
    AssignFields(other);
  }
  return *this;
}

item::item(item&& other) noexcept {
  *this = std::move(other);
}

item& item::operator=(item&& other) noexcept {
  if (this != &other) {
    markIn = other.markIn;
    playDuration = other.playDuration;
    AssignFields(std::move(other));
  }
  return *this;
}

const char* item::StateWord() const {
  switch (state.load()) {
    case NEW:
      return "NEW";
    case NOT_READY:
      return "NOT READY";
    case CUE:
      return "CUE";
    case PLAY:
      return "PLAY";
    case PAUSE:
      return "PAUSE";
    case DONE:
      return "DONE";
    default:
      return (stateTime.load() >> 32) != 0 ? "STOP" : "READY";
  }
}

void item::MarkAired(FileTime start) {
  airedAt = start;
  cutTicksLeft = 0;
}

void item::MarkEnded(FileTime end) {
  if (airedAt == 0 || cutTicksLeft != 0) {
    return;  // never aired, or its cut is already told
  }
  const FileTime planned = airedAt + playDurationTicks;
  cutTicksLeft = planned > end + kCutToleranceTicks ? planned - end : 0;
}

void item::ComputeTiming(std::int32_t mediaFrames, double rate) {
  if (!(rate > 0) || !std::isfinite(rate)) {
    markIn = 0.0;
    playDuration = 0.0;
    playDurationTicks = 0;
    return;
  }
  double fps = rate;
  if (!objTB.IsEmpty()) {
    const double timeBase = DecimalValue(objTB);
    if (timeBase > 0.1) {
      fps = timeBase;
    }
  }
  const double mediaSeconds = mediaFrames / rate;
  double in = 0.0;
  if (itemEdStart.Present()) {
    in = static_cast<double>(DecimalInteger(itemEdStart)) / fps;
  }
  double dur = 0.0;
  if (itemUserTimingDur.Present()) {
    dur = static_cast<double>(DecimalInteger(itemUserTimingDur)) / fps;
  }
  if (in + 0.01 > mediaSeconds) {
    in = mediaSeconds - 0.01;
  }
  if (dur < 0.001) {
    dur = mediaSeconds - in;
  }
  if (dur + in > mediaSeconds) {
    dur = mediaSeconds - in;
  }
  markIn = in;
  const auto frames = Saturate<std::int32_t>(dur * rate + 0.001);
  playDuration = frames / rate;
  playDurationTicks = Saturate<std::uint64_t>(frames * 10'000'000.0 / rate + 0.499);
}

namespace {

template <typename T>
std::int32_t FindLast(const std::vector<T>& list, const MosText& id, MosText T::*field) {
  for (auto i = static_cast<std::int32_t>(list.size()) - 1; i >= 0; --i) {
    if (list[static_cast<std::size_t>(i)].*field == id) {
      return i;
    }
  }
  return -1;
}

}  // namespace

std::int32_t FindLastStory(const std::vector<story>& stories, const MosText& storyID) {
  return FindLast(stories, storyID, &story::storyID);
}

std::int32_t FindLastItem(const std::vector<item>& items, const MosText& itemID) {
  return FindLast(items, itemID, &item::itemID);
}

story& story::operator=(const story& other) {
  if (this != &other) {
    storyID = other.storyID;
    storySlug = other.storySlug;
    storyNum = other.storyNum;
    metadata = other.metadata;
    items = other.items;
    state = other.state;
    storyBody = other.storyBody;
    nrcs = other.nrcs;
  }
  return *this;
}

}  // namespace vidra
