// The edits of a stored running order: INSERT, REPLACE, MOVE, DELETE and SWAP of stories, or
// of items inside one story. roElementAction and the older story and item messages all come
// here. Each edit checks everything it needs before it changes anything, so a refused edit
// leaves the running order as it was. "Find" takes the last element with the ID (as
// FindStory/FindItem do), "scan" the first.
#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "common/Log.h"
#include "rundown/RoCodec.h"
#include "rundown/RoStore.h"

namespace vidra {

namespace {

constexpr std::size_t kMissingLineCharacters = 1023;

// The first `characters` characters of UTF-8 text.
std::string CutCharacters(std::string_view text, std::size_t characters) {
  std::size_t i = 0;
  for (std::size_t n = 0; i < text.size() && n < characters; ++n) {
    ++i;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) {
      ++i;
    }
  }
  return std::string(text.substr(0, i));
}

const MosText& StoryIdOf(const story& s) {
  return s.storyID;
}
const MosText& ItemIdOf(const item& i) {
  return i.itemID;
}

// Index of the first element whose ID equals text, or -1.
template <typename T>
std::int32_t Scan(const std::vector<T>& list, const MosText& text, const MosText& (*id)(const T&)) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (id(list[i]) == text) {
      return static_cast<std::int32_t>(i);
    }
  }
  return -1;
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

// The sources of MOVE and SWAP sorted by kind: the references that name a story, and those
// that name an item.
struct SourceLists {
  std::vector<const ElementRef*> stories;
  std::vector<const ElementRef*> items;
};

SourceLists SortSources(const std::vector<ElementRef>& sources) {
  SourceLists lists;
  for (const ElementRef& ref : sources) {
    if (!ref.storyID.IsEmpty()) {
      lists.stories.push_back(&ref);
    }
    if (!ref.itemID.IsEmpty()) {
      lists.items.push_back(&ref);
    }
  }
  return lists;
}

// One edit under way: where its refusals are logged and what they are about.
class Edit {
 public:
  Edit(const ElementAction& action, ro& target, RoAckInfo& ack) : a(action), r(target), ack_(ack) {}

  EditResult CountError(const char* op) {
    Log("Incorrect Number of fields in the last roElementAction-%s message", op);
    ack_.detail = "number of targets or sources";
    return EditResult::Malformed;
  }
  EditResult Wrang(const char* line, const char* detail) {
    LogText(line);
    ack_.detail = detail;
    return EditResult::Malformed;
  }
  EditResult Missing(EditResult kind, const ElementRef& ref) {
    ReportMissingElement(a.roID, &ref);
    ack_.detail = (kind == EditResult::UnknownItem ? ref.itemID : ref.storyID).Str();
    return kind;
  }
  // New stories or items must carry an ID that no element beside them has (but the one at
  // `replaced`, which they take the place of).
  template <typename T>
  EditResult CheckNewIds(const std::vector<T>& existing, std::int32_t replaced,
                         const std::vector<T>& added, const MosText& (*id)(const T&),
                         const char* name) {
    std::unordered_set<std::string_view> seen;
    for (std::size_t i = 0; i < existing.size(); ++i) {
      if (static_cast<std::int32_t>(i) != replaced) {
        seen.insert(id(existing[i]).Str());
      }
    }
    for (const T& element : added) {
      const std::string_view text = id(element).Str();
      if (text.empty()) {
        ack_.detail = std::string(name) + " missing";
        return EditResult::Malformed;
      }
      if (!seen.insert(text).second) {
        ack_.detail = text;
        return EditResult::DuplicateId;
      }
    }
    return EditResult::Ok;
  }
  void Touch(const MosText& storyID) { touched.push_back(storyID); }

  const ElementAction& a;
  ro& r;
  std::vector<MosText> touched;
  bool changed = true;

 private:
  RoAckInfo& ack_;
};

ElementRef TargetOf(const ElementAction& a) {
  return a.targets.empty() ? ElementRef{} : a.targets.front();
}

EditResult Insert(Edit& e) {
  const ElementAction& a = e.a;
  ro& r = e.r;
  if (a.targets.size() > 1 || a.stories.size() + a.items.size() < 1) {
    return e.CountError("INSERT");
  }
  const char* both =
      "\nWrang command - roElementAction-INSERT has both sources: <story> and <item> !!!\n\n";
  if (a.mixedSources) {
    return e.Wrang(both, "both stories and items");
  }
  const ElementRef target = TargetOf(a);
  if (!a.stories.empty()) {
    auto at = static_cast<std::int32_t>(r.stories.size());
    if (!target.storyID.IsEmpty() && (at = r.FindStory(target.storyID)) < 0) {
      return e.Missing(EditResult::UnknownStory, target);
    }
    if (const EditResult ids = e.CheckNewIds(r.stories, -1, a.stories, StoryIdOf, "storyID");
        ids != EditResult::Ok) {
      return ids;
    }
    r.stories.insert(r.stories.begin() + at, a.stories.begin(), a.stories.end());
    for (const story& s : a.stories) {
      e.Touch(s.storyID);
    }
    return EditResult::Ok;
  }
  if (target.storyID.IsEmpty()) {
    return e.Wrang(both, "target story of the items");  // items need a story to go into
  }
  const std::int32_t s = r.FindStory(target.storyID);
  if (s < 0) {
    return e.Missing(EditResult::UnknownStory, target);
  }
  auto& items = r.stories[static_cast<std::size_t>(s)].items;
  auto at = static_cast<std::int32_t>(items.size());
  if (!target.itemID.IsEmpty() && (at = r.FindItem(s, target.itemID)) < 0) {
    return e.Missing(EditResult::UnknownItem, target);
  }
  if (const EditResult ids = e.CheckNewIds(items, -1, a.items, ItemIdOf, "itemID");
      ids != EditResult::Ok) {
    return ids;
  }
  items.insert(items.begin() + at, a.items.begin(), a.items.end());
  e.Touch(target.storyID);
  return EditResult::Ok;
}

EditResult Replace(Edit& e) {
  const ElementAction& a = e.a;
  ro& r = e.r;
  if (a.targets.size() != 1 || a.stories.size() + a.items.size() < 1) {
    return e.CountError("REPLACE");
  }
  if (a.mixedSources) {
    return e.Wrang(
        "\nWrang command - roElementAction-REPLACE has both sources: <story> and <item> !!!\n\n",
        "both stories and items");
  }
  const ElementRef& target = a.targets.front();
  const std::int32_t s = r.FindStory(target.storyID);
  if (s < 0) {
    return e.Missing(EditResult::UnknownStory, target);
  }
  if (!a.stories.empty()) {
    if (const EditResult ids = e.CheckNewIds(r.stories, s, a.stories, StoryIdOf, "storyID");
        ids != EditResult::Ok) {
      return ids;
    }
    r.stories.erase(r.stories.begin() + s);
    r.stories.insert(r.stories.begin() + s, a.stories.begin(), a.stories.end());
    for (const story& added : a.stories) {
      e.Touch(added.storyID);
    }
    return EditResult::Ok;
  }
  const std::int32_t i = r.FindItem(s, target.itemID);
  if (i < 0) {
    return e.Missing(EditResult::UnknownItem, target);
  }
  auto& items = r.stories[static_cast<std::size_t>(s)].items;
  if (const EditResult ids = e.CheckNewIds(items, i, a.items, ItemIdOf, "itemID");
      ids != EditResult::Ok) {
    return ids;
  }
  items.erase(items.begin() + i);
  items.insert(items.begin() + i, a.items.begin(), a.items.end());
  e.Touch(target.storyID);
  return EditResult::Ok;
}

EditResult Move(Edit& e) {
  const ElementAction& a = e.a;
  ro& r = e.r;
  if (a.sources.empty() || a.targets.size() > 1) {
    return e.CountError("MOVE");
  }
  const ElementRef target = TargetOf(a);
  const SourceLists sources = SortSources(a.sources);
  if (!sources.stories.empty() && !sources.items.empty()) {
    return e.Wrang(
        "\nWrang command - roElementAction-MOVE has both sources: <storyID> and <itemID> !!!\n\n",
        "both stories and items");
  }
  if (sources.stories.empty() && sources.items.empty()) {
    return e.Wrang("\nWrang command - roElementAction-MOVE has empty source tag !!!\n\n",
                   "no story or item to move");
  }
  if (!sources.stories.empty()) {
    std::vector<std::int32_t> noted;
    for (const ElementRef* ref : sources.stories) {
      const std::int32_t found = Scan(r.stories, ref->storyID, StoryIdOf);
      if (found < 0) {
        return e.Missing(EditResult::UnknownStory, *ref);
      }
      noted.push_back(found);
    }
    std::int32_t at = -1;  // an empty target moves to the bottom
    if (!target.storyID.IsEmpty() && (at = r.FindStory(target.storyID)) < 0) {
      return e.Missing(EditResult::UnknownStory, target);
    }
    MoveBefore(r.stories, noted, at);
    for (const ElementRef* ref : sources.stories) {
      e.Touch(ref->storyID);
    }
    return EditResult::Ok;
  }
  const std::int32_t s = r.FindStory(target.storyID);
  if (s < 0) {
    return e.Missing(EditResult::UnknownStory, target);
  }
  auto& items = r.stories[static_cast<std::size_t>(s)].items;
  std::vector<std::int32_t> noted;
  for (const ElementRef* ref : sources.items) {
    const std::int32_t found = Scan(items, ref->itemID, ItemIdOf);
    if (found < 0) {
      return e.Missing(EditResult::UnknownItem, ElementRef{target.storyID, ref->itemID});
    }
    noted.push_back(found);
  }
  std::int32_t at = -1;
  if (!target.itemID.IsEmpty() && (at = r.FindItem(s, target.itemID)) < 0) {
    return e.Missing(EditResult::UnknownItem, target);
  }
  MoveBefore(items, noted, at);  // items move only inside their own story
  e.Touch(target.storyID);
  return EditResult::Ok;
}

EditResult Swap(Edit& e) {
  const ElementAction& a = e.a;
  ro& r = e.r;
  if (a.sources.size() != 2 || a.targets.size() > 1) {
    return e.CountError("SWAP");
  }
  const SourceLists sources = SortSources(a.sources);
  if (a.targets.empty()) {
    if (sources.stories.size() != 2 || !sources.items.empty()) {
      return e.CountError("SWAP");
    }
    const std::int32_t first = r.FindStory(sources.stories[0]->storyID);
    const std::int32_t second = r.FindStory(sources.stories[1]->storyID);
    if (first < 0 || second < 0) {
      return e.Missing(EditResult::UnknownStory, *sources.stories[first < 0 ? 0 : 1]);
    }
    std::swap(r.stories[static_cast<std::size_t>(first)],
              r.stories[static_cast<std::size_t>(second)]);
    e.Touch(sources.stories[0]->storyID);
    e.Touch(sources.stories[1]->storyID);
    return EditResult::Ok;
  }
  if (!sources.stories.empty() || sources.items.size() != 2) {
    return e.CountError("SWAP");
  }
  const ElementRef& target = a.targets.front();
  const std::int32_t s = r.FindStory(target.storyID);
  if (s < 0) {
    return e.Missing(EditResult::UnknownStory, target);
  }
  const std::int32_t first = r.FindItem(s, sources.items[0]->itemID);
  const std::int32_t second = r.FindItem(s, sources.items[1]->itemID);
  if (first < 0 || second < 0) {
    return e.Missing(EditResult::UnknownItem, *sources.items[first < 0 ? 0 : 1]);
  }
  auto& items = r.stories[static_cast<std::size_t>(s)].items;
  std::swap(items[static_cast<std::size_t>(first)], items[static_cast<std::size_t>(second)]);
  e.Touch(target.storyID);
  return EditResult::Ok;
}

// Deleting what is not there is not refused: the NRCS's view is reached either way, and a
// delete sent again after a lost answer must not fail.
EditResult Delete(Edit& e) {
  const ElementAction& a = e.a;
  ro& r = e.r;
  if (a.sources.empty() || a.targets.size() > 1) {
    return e.CountError("DELETE");
  }
  std::size_t deleted = 0;
  if (a.targets.empty()) {
    for (const ElementRef& ref : a.sources) {
      const std::int32_t found = Scan(r.stories, ref.storyID, StoryIdOf);
      if (found < 0) {
        ReportMissingElement(a.roID, &ref);
        continue;
      }
      r.stories.erase(r.stories.begin() + found);
      ++deleted;
    }
    e.changed = deleted > 0;
    return EditResult::Ok;
  }
  const ElementRef& target = a.targets.front();
  const std::int32_t s = r.FindStory(target.storyID);
  if (s < 0) {
    return e.Missing(EditResult::UnknownStory, target);
  }
  auto& items = r.stories[static_cast<std::size_t>(s)].items;
  for (const ElementRef& ref : a.sources) {
    const std::int32_t found = Scan(items, ref.itemID, ItemIdOf);
    if (found < 0) {
      ReportMissingElement(a.roID, &ref);
      continue;
    }
    items.erase(items.begin() + found);
    ++deleted;
  }
  e.changed = deleted > 0;
  e.Touch(target.storyID);
  return EditResult::Ok;
}

}  // namespace

void ReportMissingElement(const MosText& roID, const ElementRef* ref) {
  const ElementRef none;
  const ElementRef& parts = ref != nullptr ? *ref : none;
  std::string line = "Can't find element: RoID='";
  line.append(roID.Str()).append("' StoryID='");
  line.append(CutCharacters(parts.storyID.Str(), kMissingLineCharacters)).append("' ItemID='");
  line.append(parts.itemID.Str()).append("'\n");
  LogText(CutCharacters(line, kMissingLineCharacters));
}

namespace {

EditResult RunEdit(Edit& edit) {
  switch (edit.a.op) {
    case ElementOp::INSERT:
      return Insert(edit);
    case ElementOp::REPLACE:
      return Replace(edit);
    case ElementOp::MOVE:
      return Move(edit);
    case ElementOp::DELETE:
      return Delete(edit);
    case ElementOp::SWAP:
      return Swap(edit);
  }
  return EditResult::Malformed;
}

// The keys of every item of the stories.
std::unordered_set<std::uint64_t> ItemKeys(const std::vector<story>& stories) {
  std::unordered_set<std::uint64_t> keys;
  for (const story& s : stories) {
    for (const item& i : s.items) {
      keys.insert(i.key);
    }
  }
  return keys;
}

}  // namespace

EditResult RoStore::ApplyElementAction(const ElementAction& action, RoAckInfo& ack,
                                       bool listTouched) {
  std::lock_guard edits(edits_);  // the edit lock, across the commit
  ack.roID = action.roID;
  const std::shared_ptr<ro> target = GetRo(action.roID);
  if (!target) {
    if (action.op == ElementOp::DELETE) {
      LogText("No such roID in Last RO delete message");
    } else {
      ReportMissingElement(action.roID, nullptr);
    }
    return EditResult::UnknownRo;
  }
  if (persistence_ == nullptr) {
    std::unique_lock edited(target->lock);  // the ro lock, for the edit and its reset
    Edit edit(action, *target, ack);
    if (const EditResult result = RunEdit(edit); result != EditResult::Ok) {
      return result;
    }
    if (edit.changed) {
      // In the same hold of the lock: a media check result computed for an item at an old
      // place is never written at its new one.
      target->ResetStates();
      ++version_;
    }
    edited.unlock();
    // The answer shows the items as the edit left them (NEW), before the check takes them.
    if (listTouched) {
      target->FillStoryAcks(ack, edit.touched);
    }
    if (edit.changed && listener_ != nullptr) {
      listener_->RunningOrdersEdited(listenerChannel_);
    }
    return EditResult::Ok;
  }
  // Tried on a working copy, saved, then swapped in: readers never wait for the disk, and
  // what could not be saved changed nothing.
  ro working;
  working.logsDestruction = false;
  std::unordered_set<std::uint64_t> before;
  {
    std::lock_guard copied(target->lock);  // the ro lock, while it is copied
    working.CopyFieldsFrom(*target);
    before = ItemKeys(target->stories);
  }
  Edit edit(action, working, ack);
  if (const EditResult result = RunEdit(edit); result != EditResult::Ok) {
    return result;
  }
  if (edit.changed) {
    RoChange change;
    change.roKey = working.key;
    for (story& s : working.stories) {
      for (item& i : s.items) {
        if (i.key == 0 || before.count(i.key) == 0) {
          i.key = NextKey();
          change.items.push_back(StoredItem{working.key, EncodeItem(i), ItemStateOf(i)});
        }
      }
    }
    const std::unordered_set<std::uint64_t> after = ItemKeys(working.stories);
    for (const std::uint64_t key : before) {
      if (after.count(key) == 0) {
        change.removedItems.push_back(key);
      }
    }
    change.row = RowOf(working);
    if (const EditResult saved = Save(std::move(change), ack); saved != EditResult::Ok) {
      return saved;
    }
    {
      std::lock_guard swapped(target->lock);  // the ro lock, for the swap
      // An item that started playing while the edit was saved keeps its start stamp.
      std::unordered_map<std::uint64_t, std::uint64_t> stamps;
      for (const story& s : target->stories) {
        for (const item& i : s.items) {
          stamps[i.key] = i.stateTime;
        }
      }
      for (story& s : working.stories) {
        for (item& i : s.items) {
          if (const auto found = stamps.find(i.key); found != stamps.end()) {
            i.stateTime = found->second;
          }
        }
      }
      target->stories = std::move(working.stories);
      target->ResetStates();
    }
    ++version_;
  }
  if (listTouched) {
    target->FillStoryAcks(ack, edit.touched);
  }
  if (edit.changed && listener_ != nullptr) {
    listener_->RunningOrdersEdited(listenerChannel_);
  }
  return EditResult::Ok;
}

}  // namespace vidra
