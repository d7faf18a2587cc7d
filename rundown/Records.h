// The records of a running order's stories and items, with the MOS fields as received and
// the values playout computes on them. Plain values: the running order's lock (see ro)
// guards them; state and stateTime may also be written by the playback thread without it,
// so they are atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/FileTime.h"
#include "common/MosText.h"

namespace vidra {

enum TriggerMode : std::int32_t { MANUAL = 0, TIMED = 1, CHAINED = 2 };

// Exact, case-sensitive: "MANUAL", "TIMED"; every other text (and none) is CHAINED.
TriggerMode ParseTriggerMode(const MosText& text);

enum ItemState : std::int32_t {
  NEW = 0,
  NOT_READY = 1,
  READY = 2,
  CUE = 3,
  PLAY = 4,
  PAUSE = 5,
  DONE = 6,
};

// The mosExternalMetadata blocks of a running order, story or item, each kept as the XML
// text it came in (mosScope, mosSchema, mosPayload and whatever the payload nests) and
// written back as it came, in order. Holds no allocation when there are none, as for most
// items.
class MetadataBlocks {
 public:
  struct Block {
    std::string mosSchema;  // the block's mosSchema text: roMetadataReplace matches on it
    std::string xml;        // the whole <mosExternalMetadata> element
  };

  MetadataBlocks() = default;
  MetadataBlocks(const MetadataBlocks& other)
      : blocks_(other.blocks_ ? std::make_unique<std::vector<Block>>(*other.blocks_) : nullptr) {}
  MetadataBlocks& operator=(const MetadataBlocks& other) {
    if (this != &other) {
      blocks_ = other.blocks_ ? std::make_unique<std::vector<Block>>(*other.blocks_) : nullptr;
    }
    return *this;
  }
  MetadataBlocks(MetadataBlocks&&) noexcept = default;
  MetadataBlocks& operator=(MetadataBlocks&&) noexcept = default;
  ~MetadataBlocks() = default;

  bool Empty() const { return !blocks_ || blocks_->empty(); }
  const std::vector<Block>& Blocks() const { return blocks_ ? *blocks_ : EmptyList(); }
  void Add(Block block);
  // The block with the same mosSchema takes the new one's place; one with a new mosSchema
  // is added after the others.
  void Replace(Block block);

 private:
  static const std::vector<Block>& EmptyList();
  std::unique_ptr<std::vector<Block>> blocks_;
};

// What the NRCS itself last reported of an element with its own roElementStat (PLAY, STOP,
// ...), beside the server's own state; its time is local.
struct NrcsView {
  MosText status;
  FileTime time = 0;
};

struct objPaths {
  MosText objPath;
  MosText objProxyPath;
  MosText objMetadataPath;
};

// A copy (constructed or assigned) carries every field but markIn and playDuration: a new
// copy has them unset, an assigned one keeps its own, until the media check computes them
// again. Moves carry everything.
struct item {
  item() = default;
  item(const item& other);
  item& operator=(const item& other);
  item(item&& other) noexcept;
  item& operator=(item&& other) noexcept;
  ~item() = default;

  MosText itemID;
  MosText itemSlug;
  objPaths paths;
  MosText objID;
  MosText objTB;
  MosText mosID;
  MosText mosPlugInID;
  MosText mosAbstract;
  // The <objPaths> element as the NRCS sent it (techDescription and all), written back as
  // it came; paths holds its paths made absolute for playout.
  std::string objPathsXml;
  MosText objDur;
  MosText itemChannel;
  MosText itemEdStart;
  MosText itemEdDur;
  MosText itemUserTimingDur;
  MosText itemTrigger;
  MosText macroIn;
  MosText macroOut;
  MetadataBlocks metadata;
  std::atomic<std::int32_t> state{NEW};
  std::int32_t trigger = CHAINED;
  std::optional<double> markIn;
  std::optional<double> playDuration;
  std::uint64_t playDurationTicks = 0;
  FileTime startTime = 0;
  // Stamp of the last start of play, or of a forced stop; never reset to 0 once set.
  std::atomic<std::uint64_t> stateTime{0};
  NrcsView nrcs;
  // The item's key in the durable store; 0 until it is stored. Copies keep it, so an item
  // that moves stays the same row.
  std::uint64_t key = 0;
  // The file the media check found the item's media in: its objPath, or the file of the
  // catalogue object its objID names when it has no usable objPath. Empty until checked.
  MosText mediaPath;
  // The local time its clip last went to air (0 never), and how much of that clip was left
  // when it was ended early (0 when it ran out): a cut item is DONE like a finished one, and
  // only this tells the operator it was not. Kept in memory, not in the durable store.
  FileTime airedAt = 0;
  std::uint64_t cutTicksLeft = 0;

  void SetState(std::int32_t code) { state = code; }
  // Its clip went to air at start (local time).
  void MarkAired(FileTime start);
  // Its clip was ended at end (local time): cut when more than kCutToleranceTicks of it was
  // left. The caller holds the ro lock.
  void MarkEnded(FileTime end);
  // What a clip that ends on its planned frame may be off by: the end of a clip is seen on
  // the playback's 100 ms turns and from the player's own count.
  static constexpr std::uint64_t kCutToleranceTicks = 100 * kTicksPerMillisecond;
  // The file to play: the one the media check found, else the objPath.
  const MosText& PlayPath() const { return mediaPath.IsEmpty() ? paths.objPath : mediaPath; }
  std::uint64_t SetStateTime(std::uint64_t t) {
    stateTime = t;
    return t;
  }
  void SetStartTime(FileTime t) { startTime = t; }
  // "NEW", "NOT READY", "READY" (or "STOP" once played), "CUE", "PLAY", "PAUSE", "DONE".
  const char* StateWord() const;
  // Mark-in and play duration from the media's frame count and the playout frame rate.
  // rate must be above 0; otherwise the item gets no time at all.
  void ComputeTiming(std::int32_t mediaFrames, double rate);

 private:
  // Assigns every field but markIn and playDuration, copying from an lvalue and moving from
  // an rvalue.
  template <typename Other>
  void AssignFields(Other&& other);
};

// Copy construction copies everything; assignment leaves duration and startTime as they
// were, as they are the schedule's, computed for the story's place.
struct story {
  story() = default;
  story(const story& other) = default;
  story& operator=(const story& other);
  story(story&& other) noexcept = default;
  story& operator=(story&& other) noexcept = default;
  ~story() = default;

  MosText storyID;
  MosText storySlug;
  MosText storyNum;
  MetadataBlocks metadata;
  std::vector<item> items;
  // 0 until the media check has passed the story; then NOT_READY if any item is, else READY.
  std::int32_t state = 0;
  std::uint64_t duration = 0;
  FileTime startTime = 0;
  // The text of the story's body as the NRCS last sent it with roStorySend; never in roList.
  MosText storyBody;
  NrcsView nrcs;
};

// The last story (or item) of the list with this ID, or -1: when IDs repeat, the last one
// is the one meant.
std::int32_t FindLastStory(const std::vector<story>& stories, const MosText& storyID);
std::int32_t FindLastItem(const std::vector<item>& items, const MosText& itemID);

}  // namespace vidra
