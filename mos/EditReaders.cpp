// Each story or item message is one row of a table: what it is made of, and the edit it
// becomes. A target that is empty or absent means the end of the running order (or story).
#include "mos/EditReaders.h"

#include <array>

#include "mos/MosXml.h"
#include "mos/Readers.h"

namespace vidra {

namespace {

struct Parts {
  std::vector<MosText> storyIDs;
  std::vector<MosText> itemIDs;
  std::vector<pugi::xml_node> stories;
  std::vector<pugi::xml_node> items;
};

Parts PartsOf(const pugi::xml_node& body) {
  Parts parts;
  for (pugi::xml_node child = body.first_child(); child; child = child.next_sibling()) {
    const std::string_view name = child.name();
    if (name == "storyID") {
      parts.storyIDs.emplace_back(NodeText(child));
    } else if (name == "itemID") {
      parts.itemIDs.emplace_back(NodeText(child));
    } else if (name == "story") {
      parts.stories.push_back(child);
    } else if (name == "item") {
      parts.items.push_back(child);
    }
  }
  return parts;
}

ElementRef Story(const MosText& storyID) {
  return ElementRef{storyID, MosText("")};
}
ElementRef Item(const MosText& itemID) {
  return ElementRef{MosText(""), itemID};
}
MosText LastOr(const std::vector<MosText>& texts, const MosText& fallback) {
  return texts.empty() ? fallback : texts.back();
}

using Translate = bool (*)(const Parts&, ElementAction&, std::string&);

struct Row {
  std::string_view name;
  ElementOp op;
  Translate translate;
};

bool Append(const Parts& p, ElementAction& /*a*/, std::string& detail) {
  detail = "story";
  return !p.stories.empty();
}

bool StoryBefore(const Parts& p, ElementAction& a, std::string& detail) {
  detail = "storyID and story";
  if (p.storyIDs.empty() || p.stories.empty()) {
    return false;
  }
  a.targets.push_back(Story(p.storyIDs.front()));
  return true;
}

bool StoryMove(const Parts& p, ElementAction& a, std::string& detail) {
  detail = "storyID of the story to move, then of the one it goes before";
  if (p.storyIDs.empty() || p.storyIDs.size() > 2) {
    return false;
  }
  a.sources.push_back(Story(p.storyIDs[0]));
  if (p.storyIDs.size() == 2 && !p.storyIDs[1].IsEmpty()) {
    a.targets.push_back(Story(p.storyIDs[1]));
  }
  return true;
}

bool StoryMoveMultiple(const Parts& p, ElementAction& a, std::string& detail) {
  detail = "storyIDs to move, then the one they go before";
  if (p.storyIDs.size() < 2) {
    return false;
  }
  for (std::size_t i = 0; i + 1 < p.storyIDs.size(); ++i) {
    a.sources.push_back(Story(p.storyIDs[i]));
  }
  if (!p.storyIDs.back().IsEmpty()) {
    a.targets.push_back(Story(p.storyIDs.back()));
  }
  return true;
}

bool StorySwap(const Parts& p, ElementAction& a, std::string& detail) {
  detail = "two storyIDs";
  if (p.storyIDs.size() != 2) {
    return false;
  }
  a.sources = {Story(p.storyIDs[0]), Story(p.storyIDs[1])};
  return true;
}

bool StoryDelete(const Parts& p, ElementAction& a, std::string& detail) {
  detail = "storyID";
  for (const MosText& id : p.storyIDs) {
    a.sources.push_back(Story(id));
  }
  return !p.storyIDs.empty();
}

bool ItemInsert(const Parts& p, ElementAction& a, std::string& detail) {
  detail = "storyID and item";
  if (p.storyIDs.empty() || p.items.empty()) {
    return false;
  }
  a.targets.push_back(ElementRef{p.storyIDs.front(), LastOr(p.itemIDs, MosText(""))});
  return true;
}

bool ItemReplace(const Parts& p, ElementAction& a, std::string& detail) {
  detail = "storyID, itemID and item";
  if (p.storyIDs.empty() || p.itemIDs.empty() || p.items.empty()) {
    return false;
  }
  a.targets.push_back(ElementRef{p.storyIDs.front(), p.itemIDs.front()});
  return true;
}

bool ItemMoveMultiple(const Parts& p, ElementAction& a, std::string& detail) {
  detail = "storyID, itemIDs to move, then the one they go before";
  if (p.storyIDs.empty() || p.itemIDs.size() < 2) {
    return false;
  }
  for (std::size_t i = 0; i + 1 < p.itemIDs.size(); ++i) {
    a.sources.push_back(Item(p.itemIDs[i]));
  }
  a.targets.push_back(ElementRef{p.storyIDs.front(), p.itemIDs.back()});
  return true;
}

bool ItemDelete(const Parts& p, ElementAction& a, std::string& detail) {
  detail = "storyID and itemID";
  if (p.storyIDs.empty() || p.itemIDs.empty()) {
    return false;
  }
  a.targets.push_back(Story(p.storyIDs.front()));
  for (const MosText& id : p.itemIDs) {
    a.sources.push_back(Item(id));
  }
  return true;
}

constexpr std::array<Row, 11> kEdits{{
    {"roStoryAppend", ElementOp::INSERT, Append},
    {"roStoryInsert", ElementOp::INSERT, StoryBefore},
    {"roStoryReplace", ElementOp::REPLACE, StoryBefore},
    {"roStoryMove", ElementOp::MOVE, StoryMove},
    {"roStorySwap", ElementOp::SWAP, StorySwap},
    {"roStoryDelete", ElementOp::DELETE, StoryDelete},
    {"roStoryMoveMultiple", ElementOp::MOVE, StoryMoveMultiple},
    {"roItemInsert", ElementOp::INSERT, ItemInsert},
    {"roItemReplace", ElementOp::REPLACE, ItemReplace},
    {"roItemMoveMultiple", ElementOp::MOVE, ItemMoveMultiple},
    {"roItemDelete", ElementOp::DELETE, ItemDelete},
}};

const Row* FindEdit(std::string_view name) {
  for (const Row& row : kEdits) {
    if (row.name == name) {
      return &row;
    }
  }
  return nullptr;
}

void ReadSources(const Parts& parts, const MosText& folder, ElementAction& action) {
  for (const pugi::xml_node& node : parts.stories) {
    ReadStory(node, action.stories.emplace_back(), folder);
  }
  for (const pugi::xml_node& node : parts.items) {
    ReadItem(node, action.items.emplace_back(), folder);
  }
}

}  // namespace

bool IsStoryOrItemEdit(std::string_view name) {
  return FindEdit(name) != nullptr;
}

bool ReadStoryOrItemEdit(std::string_view name, const pugi::xml_node& body, const MosText& folder,
                         ElementAction& action, std::string& detail) {
  const Row* row = FindEdit(name);
  action.roID = ChildText(body, "roID");
  if (row == nullptr) {
    detail = std::string(name);
    return false;
  }
  action.op = row->op;
  const Parts parts = PartsOf(body);
  if (!row->translate(parts, action, detail)) {
    detail += " expected";
    return false;
  }
  detail.clear();
  if (row->op == ElementOp::INSERT || row->op == ElementOp::REPLACE) {
    ReadSources(parts, folder, action);
    action.mixedSources = !action.stories.empty() && !action.items.empty();
  }
  return true;
}

bool ReadMosItemReplace(const pugi::xml_node& body, const MosText& folder, ElementAction& action,
                        std::string& detail) {
  action.op = ElementOp::REPLACE;
  action.roID = ChildText(body, "roID");
  const Parts parts = PartsOf(body);
  if (parts.storyIDs.empty() || parts.items.size() != 1) {
    detail = "storyID and one item expected";
    return false;
  }
  ReadSources(parts, folder, action);
  action.targets.push_back(ElementRef{parts.storyIDs.front(), action.items.front().itemID});
  return true;
}

RoMetadata ReadRoMetadata(const pugi::xml_node& body) {
  RoMetadata fields;
  for (pugi::xml_node child = body.first_child(); child; child = child.next_sibling()) {
    const std::string_view name = child.name();
    for (const auto& [field, text] : {std::pair{&fields.roID, "roID"},
                                      {&fields.roSlug, "roSlug"},
                                      {&fields.roChannel, "roChannel"},
                                      {&fields.roEdStart, "roEdStart"},
                                      {&fields.roEdDur, "roEdDur"},
                                      {&fields.roTrigger, "roTrigger"},
                                      {&fields.macroIn, "macroIn"},
                                      {&fields.macroOut, "macroOut"}}) {
      if (name == text) {
        *field = NodeText(child);
      }
    }
    if (name == "mosExternalMetadata") {
      fields.metadata.push_back(ReadMetadataBlock(child));
    }
  }
  return fields;
}

std::string ReadStoryBody(const pugi::xml_node& storyBody) {
  std::string text = storyBody.value();  // the text before the first element, if any
  for (pugi::xml_node child = storyBody.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_element && std::string_view(child.name()) == "storyItem") {
      continue;  // an item reference, not text
    }
    std::string line =
        child.type() == pugi::node_element ? NodeText(child) : std::string(child.value());
    if (line.empty()) {
      continue;
    }
    text += text.empty() ? "" : "\n";
    text += line;
  }
  return text;
}

NrcsStatus ReadNrcsStatus(const pugi::xml_node& body) {
  NrcsStatus status;
  const std::string_view element = body.attribute("element").value();
  if (element != "RO") {
    status.element.storyID = ChildText(body, "storyID");
    if (element != "STORY") {
      status.element.itemID = ChildText(body, "itemID");
    }
  }
  status.view.status = ChildText(body, "status");
  FileTime at = 0;
  if (const MosText time = ChildText(body, "time");
      time.Present() && FromCalendar(ParseEdStart(time), at)) {
    status.view.time = at;
  }
  return status;
}

}  // namespace vidra
