// The blobs are in the compact form of common/Bytes.h (the store stays on the machine that
// wrote it; a copy to another machine of the same kind reads the same). Each blob starts with its
// format version: version 1 items lack what version 2 adds at their end (mosPlugInID, objDur,
// itemChannel and the objPaths element as sent); both read.
#include "rundown/RoCodec.h"

#include <cstring>

#include "common/Bytes.h"

namespace vidra {

namespace {

constexpr unsigned char kVersion = 2;
constexpr unsigned char kOldestVersion = 1;

class Writer : public ByteWriter {
 public:
  Writer() { Byte(kVersion); }
  void Text(const MosText& t) {
    if (!t.Present()) {
      Number(0);
      return;
    }
    Bytes(t.Str());
  }
  void Metadata(const MetadataBlocks& m) {
    Number(m.Blocks().size());
    for (const auto& block : m.Blocks()) {
      Bytes(block.mosSchema);
      Bytes(block.xml);
    }
  }
  void Nrcs(const NrcsView& v) {
    Text(v.status);
    Number(v.time);
  }
};

class Reader : public ByteReader {
 public:
  explicit Reader(const std::string& in) : ByteReader(in, 1) {
    version_ = in.empty() ? 0 : static_cast<unsigned char>(in[0]);
    if (version_ < kOldestVersion || version_ > kVersion) {
      Fail();
    }
  }
  unsigned char Version() const { return version_; }
  MosText Text() {
    const std::uint64_t n = Number();
    if (n == 0) {
      return MosText();
    }
    return MosText(Take(n - 1));
  }
  MetadataBlocks Metadata() {
    MetadataBlocks m;
    const std::uint64_t n = Number();
    for (std::uint64_t i = 0; Ok() && i < n; ++i) {
      MetadataBlocks::Block block;
      block.mosSchema = Bytes();
      block.xml = Bytes();
      m.Add(std::move(block));
    }
    return m;
  }
  NrcsView Nrcs() {
    NrcsView v;
    v.status = Text();
    v.time = Number();
    return v;
  }

 private:
  unsigned char version_ = 0;
};

// The MOS fields of an item, in one order for writing and reading.
template <typename Item, typename Visit>
void ItemTexts(Item& i, Visit&& visit) {
  for (auto* text :
       {&i.itemID, &i.itemSlug, &i.paths.objPath, &i.paths.objProxyPath, &i.paths.objMetadataPath,
        &i.objID, &i.objTB, &i.mosID, &i.mosAbstract, &i.itemEdStart, &i.itemEdDur,
        &i.itemUserTimingDur, &i.itemTrigger, &i.macroIn, &i.macroOut}) {
    visit(*text);
  }
}

template <typename Ro, typename Visit>
void RoTexts(Ro& r, Visit&& visit) {
  for (auto* text : {&r.roTrigger, &r.macroIn, &r.macroOut, &r.roEdDur, &r.roEdStart, &r.mosID,
                     &r.ncsID, &r.roID, &r.roSlug, &r.roChannel, &r.roAir}) {
    visit(*text);
  }
}

bool DecodeItem(const StoredItem& stored, item& i) {
  Reader in(stored.body);
  ItemTexts(i, [&](MosText& text) { text = in.Text(); });
  i.trigger = in.Int32();
  i.metadata = in.Metadata();
  i.nrcs = in.Nrcs();
  if (in.Version() >= 2) {
    i.mosPlugInID = in.Text();
    i.objDur = in.Text();
    i.itemChannel = in.Text();
    i.objPathsXml = in.Bytes();
  }
  ApplyStoredState(stored.state, i);
  return in.Ok() && in.AtEnd();
}

}  // namespace

void ApplyStoredState(const StoredItemState& s, item& i) {
  i.key = s.key;
  i.state = s.state;
  i.stateTime = s.stateTime;
  i.playDurationTicks = s.playTicks;
  if (s.timed) {
    i.markIn = s.markIn;
    i.playDuration = s.playDuration;
  }
}

std::string EncodeItem(const item& i) {
  Writer out;
  ItemTexts(i, [&](const MosText& text) { out.Text(text); });
  out.Signed(i.trigger);
  out.Metadata(i.metadata);
  out.Nrcs(i.nrcs);
  out.Text(i.mosPlugInID);
  out.Text(i.objDur);
  out.Text(i.itemChannel);
  out.Bytes(i.objPathsXml);
  return out.Take();
}

StoredItemState ItemStateOf(const item& i) {
  StoredItemState s;
  s.key = i.key;
  s.state = i.state;
  s.stateTime = i.stateTime;
  s.playTicks = i.playDurationTicks;
  s.timed = i.markIn.has_value() && i.playDuration.has_value();
  s.markIn = i.markIn.value_or(0.0);
  s.playDuration = i.playDuration.value_or(0.0);
  return s;
}

std::string EncodeHeader(const ro& r) {
  Writer out;
  RoTexts(r, [&](const MosText& text) { out.Text(text); });
  out.Metadata(r.metadata);
  out.Nrcs(r.nrcs);
  out.Number(r.startTime);
  out.Number(r.stories.size());
  for (const story& s : r.stories) {
    out.Text(s.storyID);
    out.Text(s.storySlug);
    out.Text(s.storyNum);
    out.Metadata(s.metadata);
    out.Text(s.storyBody);
    out.Nrcs(s.nrcs);
    out.Number(s.items.size());
    for (const item& i : s.items) {
      out.Number(i.key);
    }
  }
  return out.Take();
}

std::string EncodeControl(const ro& r) {
  Writer out;
  out.Text(r.roTrigger);
  out.Signed(r.trigger);
  return out.Take();
}

bool DecodeRo(const StoredRo& row,
              const std::unordered_map<std::uint64_t, const StoredItem*>& items, ro& out,
              std::string& error) {
  Reader header(row.header);
  RoTexts(out, [&](MosText& text) { text = header.Text(); });
  out.metadata = header.Metadata();
  out.nrcs = header.Nrcs();
  out.startTime = header.Number();
  const std::uint64_t storyCount = header.Number();
  for (std::uint64_t n = 0; header.Ok() && n < storyCount; ++n) {
    story& s = out.stories.emplace_back();
    s.storyID = header.Text();
    s.storySlug = header.Text();
    s.storyNum = header.Text();
    s.metadata = header.Metadata();
    s.storyBody = header.Text();
    s.nrcs = header.Nrcs();
    const std::uint64_t itemCount = header.Number();
    for (std::uint64_t j = 0; header.Ok() && j < itemCount; ++j) {
      const std::uint64_t key = header.Number();
      if (!header.Ok()) {
        break;  // reported as damaged below
      }
      const auto found = items.find(key);
      if (found == items.end()) {
        error = "item " + std::to_string(key) + " of running order " + row.roID + " is missing";
        return false;
      }
      if (!DecodeItem(*found->second, s.items.emplace_back())) {
        error = "item " + std::to_string(key) + " of running order " + row.roID + " is damaged";
        return false;
      }
    }
  }
  Reader control(row.control);
  out.roTrigger = control.Text();
  out.trigger = control.Int32();
  if (!header.Ok() || !header.AtEnd() || !control.Ok() || !control.AtEnd()) {
    error = "running order " + row.roID + " is damaged";
    return false;
  }
  out.key = row.key;
  out.position = row.position;
  out.nrcsHost = row.nrcsHost;
  CalendarTime edStart;
  out.edStart = ToCalendar(out.startTime, edStart) ? edStart : CalendarTime{0, 0, 0, 0, 0, 0, 0, 0};
  return true;
}

}  // namespace vidra
