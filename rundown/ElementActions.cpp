// roElementAction on a stored running order: INSERT, REPLACE, MOVE, DELETE and SWAP of
// stories, or of items inside one story. "Find" takes the last element with the ID (as
// FindStory/FindItem do), "scan" the first. A rejected action changes nothing but the states,
// which every action resets so that the media check takes the running order again.
#include <algorithm>
#include <string>

#include "common/Log.h"
#include "common/Text.h"
#include "rundown/RoStore.h"

namespace vidra {

namespace {

constexpr std::size_t kMissingLineCharacters = 1023;

// The first `characters` characters of UTF-8 text.
std::string CutCharacters(const std::string& text, std::size_t characters) {
  std::size_t i = 0;
  for (std::size_t n = 0; i < text.size() && n < characters; ++n) {
    ++i;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) {
      ++i;
    }
  }
  return text.substr(0, i);
}

const MosText* RefAt(const ElementRefs& refs, std::int64_t index) {
  if (index < 0 || static_cast<std::size_t>(index) >= refs.size()) {
    return nullptr;
  }
  return &refs[static_cast<std::size_t>(index)];
}

ElementParts PartsAt(const ElementRefs& refs, std::int64_t index) {
  const MosText* ref = RefAt(refs, index);
  return ref != nullptr ? SplitElementRef(*ref) : ElementParts{};
}

// The sources of MOVE and SWAP sorted by kind: non-empty story parts and item parts.
struct SourceLists {
  std::vector<MosText> storyIDs;
  std::vector<MosText> itemIDs;
};

SourceLists SortSources(const ElementRefs& refs, std::int64_t first, std::int64_t count) {
  SourceLists lists;
  for (std::int64_t i = first; i < first + count && RefAt(refs, i) != nullptr; ++i) {
    const ElementParts parts = PartsAt(refs, i);
    if (!parts.storyPart.IsEmpty()) {
      lists.storyIDs.push_back(parts.storyPart);
    }
    if (!parts.itemPart.IsEmpty()) {
      lists.itemIDs.push_back(parts.itemPart);
    }
  }
  return lists;
}

// Index of the first element whose ID (as `id` gives it) equals text, or -1.
template <typename T, typename Id>
std::int32_t Scan(const std::vector<T>& list, const MosText& text, Id id) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (id(list[i]) == text) {
      return static_cast<std::int32_t>(i);
    }
  }
  return -1;
}

const MosText& StoryIdOf(const story& s) {
  return s.storyID;
}
const MosText& ItemIdOf(const item& i) {
  return i.itemID;
}

// Moves the elements at `noted` (in that order, each once) to stand directly before the
// element at `target`, or at the end when target is -1. The target itself stays in place.
template <typename T>
void MoveBefore(std::vector<T>& list, const std::vector<std::int32_t>& noted, std::int32_t target) {
  std::vector<bool> taken(list.size(), false);
  std::vector<T> moved;
  for (const std::int32_t index : noted) {
    const auto at = static_cast<std::size_t>(index);
    if (index == target || taken[at]) {
      continue;
    }
    taken[at] = true;
    moved.push_back(std::move(list[at]));
  }
  std::vector<T> result;
  result.reserve(list.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (static_cast<std::int32_t>(i) == target) {
      std::move(moved.begin(), moved.end(), std::back_inserter(result));
    }
    if (!taken[i]) {
      result.push_back(std::move(list[i]));
    }
  }
  if (target < 0) {
    std::move(moved.begin(), moved.end(), std::back_inserter(result));
  }
  list = std::move(result);
}

template <typename T>
std::vector<std::int32_t> ScanAll(const std::vector<T>& list, const std::vector<MosText>& ids,
                                  const MosText& (*id)(const T&)) {
  std::vector<std::int32_t> noted;
  for (const auto& text : ids) {
    const std::int32_t found = Scan(list, text, id);
    if (found >= 0) {
      noted.push_back(found);
    }
  }
  return noted;
}

// Shared reporting of one action.
struct Outcome {
  const MosText& roID;
  RoAckInfo& ack;

  void CountError(const char* op) {
    ack.roStatus = "NACK";
    Log("Incorrect Number of fields in the last roElementAction-%s message", op);
  }
  void Missing(const MosText* ref) {
    ReportMissingElement(roID, ref);
    ack.roStatus = "NACK";
  }
  void Nack() { ack.roStatus = "NACK"; }
};

}  // namespace

ElementParts SplitElementRef(const MosText& ref) {
  const std::string& text = ref.Str();
  const auto lineFeed = text.find('\n');
  if (lineFeed == std::string::npos) {
    return {ref, ref};
  }
  return {MosText(text.substr(0, lineFeed)), MosText(text.substr(lineFeed + 1))};
}

void ReportMissingElement(const MosText& roID, const MosText* ref) {
  const ElementParts parts = ref != nullptr ? SplitElementRef(*ref) : ElementParts{};
  const std::string line = "Can't find element: RoID='" + roID.Str() + "' StoryID='" +
                           CutCharacters(parts.storyPart.Str(), kMissingLineCharacters) +
                           "' ItemID='" + parts.itemPart.Str() + "'\n";
  LogText(CutCharacters(line, kMissingLineCharacters));
}

template <typename Edit>
HResult RoStore::RunElementAction(const ElementRefs& refs, RoAckInfo& ack, bool isDelete,
                                  Edit edit) {
  std::lock_guard guard(lock_);
  const MosText roID = refs.empty() ? MosText() : refs.front();
  ack.roID = roID;
  ack.roStatus = "OK";
  const std::shared_ptr<ro> target = GetRo(roID);
  if (!target) {
    if (isDelete) {
      LogText("No such roID in Last RO delete message");
    } else {
      ReportMissingElement(roID, nullptr);
    }
    ack.roStatus = "NACK";
    return HResult::E_FAIL;
  }
  Outcome outcome{roID, ack};
  {
    std::lock_guard edited(target->lock);  // the ro lock, for the edit itself
    edit(*target, outcome);
  }
  target->ResetStates();
  return HResult::S_OK;
}

HResult RoStore::DeleteElements(const ElementRefs& refs, std::int32_t nTarget, std::int32_t nSource,
                                RoAckInfo& ack) {
  return RunElementAction(refs, ack, true, [&](ro& r, Outcome& out) {
    if (nSource == 0 || nTarget > 1) {
      out.CountError("DELETE");
      return;
    }
    if (nTarget <= 0) {
      for (std::int64_t i = 1; i <= nSource && RefAt(refs, i) != nullptr; ++i) {
        const std::int32_t found = Scan(r.stories, PartsAt(refs, i).storyPart, StoryIdOf);
        if (found < 0) {
          ReportMissingElement(out.roID, RefAt(refs, i));
          continue;
        }
        r.stories.erase(r.stories.begin() + found);
      }
      return;
    }
    const std::int32_t storyIndex = r.FindStory(PartsAt(refs, 1).storyPart);
    if (storyIndex < 0) {
      out.Missing(RefAt(refs, 1));
      return;
    }
    auto& items = r.stories[static_cast<std::size_t>(storyIndex)].items;
    for (std::int64_t i = 2; i <= std::int64_t{nSource} + 1 && RefAt(refs, i) != nullptr; ++i) {
      const std::int32_t found = Scan(items, PartsAt(refs, i).itemPart, ItemIdOf);
      if (found < 0) {
        ReportMissingElement(out.roID, RefAt(refs, i));
        continue;
      }
      items.erase(items.begin() + found);
    }
  });
}

HResult RoStore::InsertElements(const ElementRefs& refs, std::int32_t nTarget,
                                const std::vector<story>& sourceStories,
                                const std::vector<item>& sourceItems, std::int32_t nSource,
                                RoAckInfo& ack) {
  return RunElementAction(refs, ack, false, [&](ro& r, Outcome& out) {
    if (nTarget > 1 || nSource < 1) {
      out.CountError("INSERT");
      return;
    }
    const ElementParts target = nTarget == 1 ? PartsAt(refs, 1) : ElementParts{};
    const char* bothLine =
        "\nWrang command - roElementAction-INSERT has both sources: <story> and <item> !!!\n\n";
    const std::int32_t storyIndex = r.FindStory(target.storyPart);
    if (storyIndex < 0) {
      r.stories.insert(r.stories.end(), sourceStories.begin(), sourceStories.end());
      if (!sourceItems.empty()) {
        LogText(bothLine);
      }
      return;
    }
    if (!sourceStories.empty()) {
      r.stories.insert(r.stories.begin() + storyIndex, sourceStories.begin(), sourceStories.end());
      if (!sourceItems.empty()) {
        LogText(bothLine);
      }
      return;
    }
    auto& items = r.stories[static_cast<std::size_t>(storyIndex)].items;
    const std::int32_t itemIndex =
        target.itemPart.IsEmpty() ? -1 : r.FindItem(storyIndex, target.itemPart);
    items.insert(itemIndex < 0 ? items.end() : items.begin() + itemIndex, sourceItems.begin(),
                 sourceItems.end());
  });
}

HResult RoStore::ReplaceElements(const ElementRefs& refs, std::int32_t nTarget,
                                 const std::vector<story>& sourceStories,
                                 const std::vector<item>& sourceItems, std::int32_t nSource,
                                 RoAckInfo& ack) {
  return RunElementAction(refs, ack, false, [&](ro& r, Outcome& out) {
    if (nTarget != 1 || nSource < 1) {
      out.CountError("REPLACE");
      return;
    }
    const ElementParts target = PartsAt(refs, 1);
    const std::int32_t storyIndex = r.FindStory(target.storyPart);
    if (storyIndex < 0) {
      out.Missing(RefAt(refs, 1));
      return;
    }
    if (!sourceStories.empty()) {
      const auto at = r.stories.begin() + storyIndex;
      r.stories.erase(at);
      r.stories.insert(r.stories.begin() + storyIndex, sourceStories.begin(), sourceStories.end());
      if (!sourceItems.empty()) {
        LogText(
            "\nWrang command - roElementAction-REPLACE has both sources: <story> and <item> "
            "!!!\n\n");
      }
      return;
    }
    if (sourceItems.empty()) {
      LogText("\nWrang command - roElementAction-REPLACE has empty source tag !!!\n\n");
      out.Nack();
      return;
    }
    const std::int32_t itemIndex = r.FindItem(storyIndex, target.itemPart);
    if (itemIndex < 0) {
      out.Missing(RefAt(refs, 1));
      return;
    }
    auto& items = r.stories[static_cast<std::size_t>(storyIndex)].items;
    items.erase(items.begin() + itemIndex);
    items.insert(items.begin() + itemIndex, sourceItems.begin(), sourceItems.end());
  });
}

HResult RoStore::MoveElements(const ElementRefs& refs, std::int32_t nTarget, std::int32_t nSource,
                              RoAckInfo& ack) {
  return RunElementAction(refs, ack, false, [&](ro& r, Outcome& out) {
    if (nSource == 0 || nTarget > 1) {
      out.CountError("MOVE");
      return;
    }
    const std::int64_t targets = std::max<std::int32_t>(nTarget, 0);
    const ElementParts target = targets == 1 ? PartsAt(refs, 1) : ElementParts{};
    const SourceLists sources = SortSources(refs, 1 + targets, nSource);
    if (!sources.storyIDs.empty()) {
      const auto noted = ScanAll(r.stories, sources.storyIDs, StoryIdOf);
      if (target.storyPart.IsEmpty()) {
        MoveBefore(r.stories, noted, -1);
      } else if (const std::int32_t at = r.FindStory(target.storyPart); at < 0) {
        out.Missing(RefAt(refs, 1));
      } else {
        MoveBefore(r.stories, noted, at);
      }
      if (!sources.itemIDs.empty()) {
        LogText(
            "\nWrang command - roElementAction-MOVE has both sources: <storyID> and "
            "<itemID> !!!\n\n");
      }
      return;
    }
    if (sources.itemIDs.empty()) {
      LogText("\nWrang command - roElementAction-MOVE has empty source tag !!!\n\n");
      out.Nack();
      return;
    }
    const std::int32_t storyIndex = r.FindStory(target.storyPart);
    if (storyIndex < 0) {
      out.Missing(RefAt(refs, 1));
      return;
    }
    auto& items = r.stories[static_cast<std::size_t>(storyIndex)].items;
    const auto noted = ScanAll(items, sources.itemIDs, ItemIdOf);
    if (target.itemPart.IsEmpty()) {
      MoveBefore(items, noted, -1);
      return;
    }
    const std::int32_t at = r.FindItem(storyIndex, target.itemPart);
    if (at < 0) {
      out.Missing(RefAt(refs, 1));
      return;
    }
    MoveBefore(items, noted, at);
  });
}

HResult RoStore::SwapElements(const ElementRefs& refs, std::int32_t nTarget, std::int32_t nSource,
                              RoAckInfo& ack) {
  return RunElementAction(refs, ack, false, [&](ro& r, Outcome& out) {
    if (nSource != 2 || nTarget > 1) {
      out.CountError("SWAP");
      return;
    }
    if (nTarget <= 0) {
      const SourceLists sources = SortSources(refs, 1, 2);
      if (sources.storyIDs.size() != 2 || !sources.itemIDs.empty()) {
        out.CountError("SWAP");
        return;
      }
      const std::int32_t first = r.FindStory(sources.storyIDs[0]);
      const std::int32_t second = r.FindStory(sources.storyIDs[1]);
      if (first < 0 || second < 0) {
        out.Missing(RefAt(refs, first < 0 ? 1 : 2));
        return;
      }
      std::swap(r.stories[static_cast<std::size_t>(first)],
                r.stories[static_cast<std::size_t>(second)]);
      return;
    }
    const SourceLists sources = SortSources(refs, 2, 2);
    if (!sources.storyIDs.empty() || sources.itemIDs.size() != 2) {
      out.CountError("SWAP");
      return;
    }
    const std::int32_t storyIndex = r.FindStory(PartsAt(refs, 1).storyPart);
    if (storyIndex < 0) {
      out.Missing(RefAt(refs, 1));
      return;
    }
    const std::int32_t first = r.FindItem(storyIndex, sources.itemIDs[0]);
    const std::int32_t second = r.FindItem(storyIndex, sources.itemIDs[1]);
    if (first < 0 || second < 0) {
      out.Missing(RefAt(refs, first < 0 ? 2 : 3));
      return;
    }
    auto& items = r.stories[static_cast<std::size_t>(storyIndex)].items;
    std::swap(items[static_cast<std::size_t>(first)], items[static_cast<std::size_t>(second)]);
  });
}

}  // namespace vidra
