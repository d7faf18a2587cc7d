// Each reader is one table of child names; texts are stored as received, untrimmed.
#include "mos/Readers.h"

#include <string_view>

#include "common/Text.h"
#include "mos/MosXml.h"

namespace vidra {

namespace {

// An element's name as the document holds it, ending in a zero. A reader tests it against a
// dozen names, and most tests end at its first character: no length is counted for them.
class ElementName {
 public:
  explicit ElementName(const char* name) : name_(name) {}
  bool operator==(std::string_view wanted) const {
    // A shorter name differs at its zero, which no wanted name holds.
    for (std::size_t k = 0; k < wanted.size(); ++k) {
      if (name_[k] != wanted[k]) {
        return false;
      }
    }
    return name_[wanted.size()] == '\0';
  }

 private:
  const char* name_;
};

template <typename Handle>
void ForEachChild(const pugi::xml_node& element, Handle handle) {
  for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_element) {
      handle(ElementName(child.name()), child);
    }
  }
}

// The list is sized first: an item moved as its list grows moves each of its texts.
template <typename List>
void ReserveFor(List& list, const pugi::xml_node& element, std::string_view name) {
  std::size_t count = 0;
  ForEachChild(element, [&](ElementName childName, const pugi::xml_node&) {
    count += childName == name ? 1 : 0;
  });
  list.reserve(list.size() + count);
}

}  // namespace

void ReadRo(const pugi::xml_node& body, ro& r, const MosText& folder) {
  ReserveFor(r.stories, body, "story");
  ForEachChild(body, [&](ElementName name, const pugi::xml_node& child) {
    if (name == "roID") {
      r.roID = NodeMosText(child);
    } else if (name == "roSlug") {
      r.roSlug = NodeMosText(child);
    } else if (name == "roChannel") {
      r.roChannel = NodeMosText(child);
    } else if (name == "roEdStart") {
      r.roEdStart = NodeMosText(child);
      r.SetEdStart(ParseEdStart(r.roEdStart));
    } else if (name == "roEdDur") {
      r.roEdDur = NodeMosText(child);
    } else if (name == "roTrigger") {
      r.roTrigger = NodeMosText(child);
      r.trigger = ParseTriggerMode(r.roTrigger);
    } else if (name == "macroIn") {
      r.macroIn = NodeMosText(child);
    } else if (name == "macroOut") {
      r.macroOut = NodeMosText(child);
    } else if (name == "mosExternalMetadata") {
      r.metadata.Add(ReadMetadataBlock(child));
    } else if (name == "story") {
      ReadStory(child, r.stories.emplace_back(), folder);
    }
  });
  if (!r.stories.empty()) {
    r.stories.front().startTime = r.startTime;
    if (!r.stories.front().items.empty()) {
      r.stories.front().items.front().startTime = r.startTime;
    }
  }
}

void ReadStory(const pugi::xml_node& element, story& s, const MosText& folder) {
  ReserveFor(s.items, element, "item");
  ForEachChild(element, [&](ElementName name, const pugi::xml_node& child) {
    if (name == "storyID") {
      s.storyID = NodeMosText(child);
    } else if (name == "storySlug") {
      s.storySlug = NodeMosText(child);
    } else if (name == "storyNum") {
      s.storyNum = NodeMosText(child);
    } else if (name == "mosExternalMetadata") {
      s.metadata.Add(ReadMetadataBlock(child));
    } else if (name == "item") {
      ReadItem(child, s.items.emplace_back(), folder);
    }
  });
}

void ReadItem(const pugi::xml_node& element, item& i, const MosText& folder) {
  ForEachChild(element, [&](ElementName name, const pugi::xml_node& child) {
    MosText* text = nullptr;
    if (name == "objID") {
      text = &i.objID;
    } else if (name == "itemID") {
      text = &i.itemID;
    } else if (name == "mosAbstract") {
      text = &i.mosAbstract;
    } else if (name == "itemSlug") {
      text = &i.itemSlug;
    } else if (name == "mosID") {
      text = &i.mosID;
    } else if (name == "mosPlugInID") {
      text = &i.mosPlugInID;
    } else if (name == "objDur") {
      text = &i.objDur;
    } else if (name == "itemChannel") {
      text = &i.itemChannel;
    } else if (name == "itemEdDur") {
      text = &i.itemEdDur;
    } else if (name == "itemUserTimingDur") {
      text = &i.itemUserTimingDur;
    } else if (name == "itemEdStart") {
      text = &i.itemEdStart;
    } else if (name == "itemTrigger") {
      i.itemTrigger = NodeMosText(child);
      i.trigger = ParseTriggerMode(i.itemTrigger);
    } else if (name == "objTB") {
      text = &i.objTB;
    } else if (name == "objPaths") {
      ReadObjPaths(child, i.paths, folder);
      i.objPathsXml = NodeXml(child);
    } else if (name == "macroIn") {
      text = &i.macroIn;
    } else if (name == "macroOut") {
      text = &i.macroOut;
    } else if (name == "mosExternalMetadata") {
      i.metadata.Add(ReadMetadataBlock(child));
    }
    if (text != nullptr) {
      *text = NodeMosText(child);
    }
  });
}

MetadataBlocks::Block ReadMetadataBlock(const pugi::xml_node& element) {
  return {NodeText(element.child("mosSchema")), NodeXml(element)};
}

void ReadObjPaths(const pugi::xml_node& element, objPaths& paths, const MosText& folder) {
  ForEachChild(element, [&](ElementName name, const pugi::xml_node& child) {
    MosText* path = nullptr;
    if (name == "objPath") {
      path = &paths.objPath;
    } else if (name == "objProxyPath") {
      path = &paths.objProxyPath;
    } else if (name == "objMetadataPath") {
      path = &paths.objMetadataPath;
    }
    if (path != nullptr) {
      *path = NodeMosText(child);
      MakePathAbsolute(*path, folder);
    }
  });
}

void MakePathAbsolute(MosText& path, const MosText& folder) {
  const std::string_view text = path.Str();
  if (!path.Present() || CountCharacters(text) < 4 || folder.IsEmpty() ||
      text.rfind("\\\\", 0) == 0 || text[1] == ':' || text[0] == '/') {
    return;
  }
  path = MosText(std::string(folder.Str()).append(text));
}

MosText ChildText(const pugi::xml_node& element, std::string_view name) {
  MosText text;
  ForEachChild(element, [&](ElementName childName, const pugi::xml_node& child) {
    if (childName == name) {
      text = NodeMosText(child);
    }
  });
  return text;
}

std::vector<MosText> ChildTexts(const pugi::xml_node& element, std::string_view name) {
  std::vector<MosText> texts;
  ForEachChild(element, [&](ElementName childName, const pugi::xml_node& child) {
    if (childName == name) {
      texts.push_back(NodeMosText(child));
    }
  });
  return texts;
}

}  // namespace vidra
