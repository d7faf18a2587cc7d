// Running-order operations. Sums of ticks are unsigned 64-bit and wrap, as the stored
// playlists have always been computed.
#include "rundown/Ro.h"

#include <string_view>
#include <unordered_set>

#include "common/Log.h"

namespace vidra {

namespace {

// Up to `limit` digits at text[at], advancing at; 0 when there are none.
std::uint16_t Digits(std::string_view text, std::size_t& at, int limit) {
  unsigned value = 0;
  for (int n = 0; n < limit && at < text.size() && text[at] >= '0' && text[at] <= '9'; ++n) {
    value = value * 10 + static_cast<unsigned>(text[at++] - '0');
  }
  return static_cast<std::uint16_t>(value);
}

void Skip(std::string_view text, std::size_t& at, char separator) {
  if (at < text.size() && text[at] == separator) {
    ++at;
  }
}

// Milliseconds after a point or a comma: the first three digits, the rest passed over.
std::uint16_t Fraction(std::string_view text, std::size_t& at) {
  if (at >= text.size() || (text[at] != '.' && text[at] != ',')) {
    return 0;
  }
  ++at;
  unsigned value = 0;
  int digits = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
    if (digits < 3) {
      value = value * 10 + static_cast<unsigned>(text[at] - '0');
    }
  }
  for (int n = digits; n < 3 && digits > 0; ++n) {
    value *= 10;
  }
  return static_cast<std::uint16_t>(value);
}

// The zone at text[at]: "Z", or a sign with hh, hhmm or hh:mm. False when there is none,
// or what stands there is not a zone: the time is then taken as written.
bool Zone(std::string_view text, std::size_t at, std::int64_t& offsetSeconds) {
  if (at >= text.size()) {
    return false;
  }
  if (text[at] == 'Z' || text[at] == 'z') {
    offsetSeconds = 0;
    return true;
  }
  if (text[at] != '+' && text[at] != '-') {
    return false;
  }
  const int sign = text[at] == '-' ? -1 : 1;
  std::size_t p = at + 1;
  const std::size_t hourStart = p;
  const std::uint16_t hours = Digits(text, p, 2);
  if (p - hourStart != 2) {
    return false;
  }
  Skip(text, p, ':');
  const std::size_t minuteStart = p;
  const std::uint16_t minutes = Digits(text, p, 2);
  if ((p != minuteStart && p - minuteStart != 2) || hours > 23 || minutes > 59) {
    return false;
  }
  offsetSeconds = sign * (std::int64_t{hours} * 3600 + std::int64_t{minutes} * 60);
  return true;
}

}  // namespace

CalendarTime ParseEdStart(const MosText& text) {
  const std::string_view s = text.Str();
  std::size_t at = 0;
  CalendarTime c{0, 0, 0, 0, 0, 0, 0, 0};
  c.year = Digits(s, at, 4);
  Skip(s, at, '-');
  c.month = Digits(s, at, 2);
  Skip(s, at, '-');
  c.day = Digits(s, at, 2);
  Skip(s, at, 'T');
  c.hour = Digits(s, at, 2);
  Skip(s, at, ':');
  c.minute = Digits(s, at, 2);
  Skip(s, at, ':');
  c.second = Digits(s, at, 2);
  c.milliseconds = Fraction(s, at);
  std::int64_t offset = 0;
  FileTime written = 0;
  if (!Zone(s, at, offset) || !FromCalendar(c, written)) {
    return c;
  }
  const auto utc = static_cast<FileTime>(static_cast<std::int64_t>(written) -
                                         offset * static_cast<std::int64_t>(kTicksPerSecond));
  CalendarTime local;
  if (!ToCalendar(UtcToLocal(utc), local)) {
    return c;
  }
  local.dayOfWeek = 0;
  return local;
}

ro::ro() = default;

ro::~ro() {
  if (logsDestruction) {
    LogText("Destructor");
  }
}

std::int32_t ro::FindStory(const MosText& storyID) const {
  return FindLastStory(stories, storyID);
}

std::int32_t ro::FindItem(std::int32_t storyIndex, const MosText& itemID) const {
  if (storyIndex < 0 || static_cast<std::size_t>(storyIndex) >= stories.size()) {
    return -1;
  }
  return FindLastItem(stories[static_cast<std::size_t>(storyIndex)].items, itemID);
}

void ro::CopyFieldsFrom(const ro& other) {
  roTrigger = other.roTrigger;
  macroIn = other.macroIn;
  macroOut = other.macroOut;
  roEdDur = other.roEdDur;
  roEdStart = other.roEdStart;
  mosID = other.mosID;
  ncsID = other.ncsID;
  roID = other.roID;
  roSlug = other.roSlug;
  roChannel = other.roChannel;
  metadata = other.metadata;
  stories = other.stories;
  roAir = other.roAir;
  nrcs = other.nrcs;
  nrcsHost = other.nrcsHost;
  checkState = other.checkState;
  trigger = other.trigger;
  startTime = other.startTime;
  edStart = other.edStart;
  totalDuration = other.totalDuration;
  key = other.key;
  position = other.position;
}

void ro::ResetStates() {
  // Taken here although the store lock is held: readers of the states hold only this lock.
  std::lock_guard guard(lock);
  for (auto& s : stories) {
    s.state = 0;
    for (auto& i : s.items) {
      i.state = NEW;
    }
  }
  checkState = CheckState::Unchecked;
  ++editCount;
}

namespace {

StoryAckInfo StoryAck(const story& s, const MosText& itemFilter) {
  StoryAckInfo info;
  info.storyID = s.storyID;
  info.statuses.reserve(s.items.size());
  info.itemIDs.reserve(s.items.size());
  info.objIDs.reserve(s.items.size());
  info.itemChannels.reserve(s.items.size());
  for (const auto& i : s.items) {
    if (!itemFilter.IsEmpty() && !(i.itemID == itemFilter)) {
      continue;
    }
    info.statuses.emplace_back(i.StateWord());
    info.itemIDs.emplace_back(i.itemID.Str());
    info.objIDs.emplace_back(i.objID.Str());
    info.itemChannels.emplace_back(i.itemChannel.Str());
  }
  return info;
}

}  // namespace

void ro::FillRoAck(RoAckInfo& ack, const MosText& storyFilter, const MosText& itemFilter) const {
  std::lock_guard guard(lock);
  ack.roID = roID;
  for (const auto& s : stories) {
    if (storyFilter.IsEmpty() || s.storyID == storyFilter) {
      ack.stories.push_back(StoryAck(s, itemFilter));
    }
  }
}

void ro::FillStoryAcks(RoAckInfo& ack, const std::vector<MosText>& storyIDs) const {
  std::unordered_set<std::string_view> wanted;
  for (const MosText& id : storyIDs) {
    wanted.insert(id.Str());
  }
  std::lock_guard guard(lock);
  for (const auto& s : stories) {
    if (wanted.count(s.storyID.Str()) != 0) {
      ack.stories.push_back(StoryAck(s, MosText()));
    }
  }
}

void ro::RecomputeSchedule() {
  std::lock_guard guard(lock);
  totalDuration = 0;
  if (!stories.empty()) {
    stories.front().startTime = startTime;
  }
  for (std::size_t k = 0; k < stories.size(); ++k) {
    story& s = stories[k];
    s.duration = 0;
    if (k > 0) {
      s.startTime = stories[k - 1].startTime + stories[k - 1].duration;
    }
    for (std::size_t j = 0; j < s.items.size(); ++j) {
      item& i = s.items[j];
      i.startTime =
          j == 0 ? s.startTime : s.items[j - 1].startTime + s.items[j - 1].playDurationTicks;
      s.duration += i.playDurationTicks;
    }
    totalDuration += s.duration;
  }
}

CheckState ro::GetCheckState() const {
  std::lock_guard guard(lock);
  return checkState;
}

void ro::SetCheckState(CheckState value) {
  std::lock_guard guard(lock);
  checkState = value;
}

void ro::SetEdStart(const CalendarTime& value) {
  edStart = value;
  FileTime converted = 0;
  startTime = FromCalendar(value, converted) ? converted : 0;
}

std::ptrdiff_t ro::LastAired() const {
  std::ptrdiff_t last = -1;
  std::ptrdiff_t n = 0;
  for (const story& s : stories) {
    for (const item& i : s.items) {
      const std::int32_t state = i.state;
      last = state == PLAY || state == PAUSE || state == DONE ? n : last;
      ++n;
    }
  }
  return last;
}

void ro::ConsumeTimedStart() {
  // roTrigger stays the NRCS's word: roList gives it back as sent, and the operator still
  // sees a TIMED running order whose start has been used.
  if (trigger == TIMED) {
    trigger = MANUAL;
  }
}

}  // namespace vidra
