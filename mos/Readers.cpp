// Each reader is one table of child names; texts are stored as received, untrimmed.
#include "mos/Readers.h"

#include <string_view>

#include "common/Text.h"
#include "mos/MosXml.h"

namespace vidra {

namespace {

template <typename Handle>
HResult ForEachChild(const pugi::xml_node& element, Handle handle) {
  if (!element) {
    return HResult::E_FAIL;
  }
  for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_element) {
      handle(std::string_view(child.name()), child);
    }
  }
  return HResult::S_OK;
}

MosText TextOf(const pugi::xml_node& node) {
  return MosText(NodeText(node));
}

}  // namespace

HResult ReadRo(const pugi::xml_node& body, ro& r, const MosText& folder) {
  const HResult hr = ForEachChild(body, [&](std::string_view name, const pugi::xml_node& child) {
    if (name == "roID") {
      r.roID = TextOf(child);
    } else if (name == "roSlug") {
      r.roSlug = TextOf(child);
    } else if (name == "roEdStart") {
      r.roEdStart = TextOf(child);
      r.SetEdStart(ParseEdStart(r.roEdStart));
    } else if (name == "roEdDur") {
      r.roEdDur = TextOf(child);
    } else if (name == "roTrigger") {
      r.roTrigger = TextOf(child);
      r.trigger = ParseTriggerMode(r.roTrigger);
    } else if (name == "macroIn") {
      r.macroIn = TextOf(child);
    } else if (name == "macroOut") {
      r.macroOut = TextOf(child);
    } else if (name == "mosExternalMetadata") {
      static_cast<void>(ReadMetadata(child, r.metadata));
    } else if (name == "story") {
      story s;
      static_cast<void>(ReadStory(child, s, folder));
      r.stories.push_back(std::move(s));
    }
  });
  if (hr != HResult::S_OK) {
    return hr;
  }
  if (!r.stories.empty()) {
    r.stories.front().startTime = r.startTime;
    if (!r.stories.front().items.empty()) {
      r.stories.front().items.front().startTime = r.startTime;
    }
  }
  return HResult::S_OK;
}

HResult ReadStory(const pugi::xml_node& element, story& s, const MosText& folder) {
  return ForEachChild(element, [&](std::string_view name, const pugi::xml_node& child) {
    if (name == "storyID") {
      s.storyID = TextOf(child);
    } else if (name == "storySlug") {
      s.storySlug = TextOf(child);
    } else if (name == "storyNum") {
      s.storyNum = TextOf(child);
    } else if (name == "mosExternalMetadata") {
      static_cast<void>(ReadMetadata(child, s.metadata));
    } else if (name == "item") {
      item i;
      static_cast<void>(ReadItem(child, i, folder));
      s.items.push_back(std::move(i));
    }
  });
}

HResult ReadItem(const pugi::xml_node& element, item& i, const MosText& folder) {
  return ForEachChild(element, [&](std::string_view name, const pugi::xml_node& child) {
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
    } else if (name == "itemEdDur") {
      text = &i.itemEdDur;
    } else if (name == "itemUserTimingDur") {
      text = &i.itemUserTimingDur;
    } else if (name == "itemEdStart") {
      text = &i.itemEdStart;
    } else if (name == "itemTrigger") {
      i.itemTrigger = TextOf(child);
      i.trigger = ParseTriggerMode(i.itemTrigger);
    } else if (name == "objTB") {
      text = &i.objTB;
    } else if (name == "objPaths") {
      static_cast<void>(ReadObjPaths(child, i.paths, folder));
    } else if (name == "macroIn") {
      text = &i.macroIn;
    } else if (name == "macroOut") {
      text = &i.macroOut;
    } else if (name == "mosExternalMetadata") {
      static_cast<void>(ReadMetadata(child, i.metadata));
    }
    if (text != nullptr) {
      *text = TextOf(child);
    }
  });
}

HResult ReadMetadata(const pugi::xml_node& element, mosExternalMetadata& metadata) {
  return ForEachChild(element, [&](std::string_view name, const pugi::xml_node& child) {
    if (name == "mosScope") {
      metadata.mosScope = TextOf(child);
    } else if (name == "mosSchema") {
      metadata.mosSchema = TextOf(child);
    } else if (name == "mosPayload") {
      static_cast<void>(ReadPayload(child, metadata.payload));
    }
  });
}

HResult ReadPayload(const pugi::xml_node& element, mosPayload& payload) {
  return ForEachChild(element, [&](std::string_view name, const pugi::xml_node& child) {
    if (name == "Owner") {
      payload.Owner = TextOf(child);
    } else if (name == "ModTime") {
      payload.ModTime = TextOf(child);
    } else if (name == "mediaTime") {
      payload.mediaTime = TextOf(child);
    } else if (name == "TextTime") {
      payload.TextTime = TextOf(child);
    } else if (name == "ModBy") {
      payload.ModBy = TextOf(child);
    } else if (name == "Creator") {
      payload.Creator = TextOf(child);
    } else if (name == "Approved") {
      payload.Approved = NodeText(child) != "0";
    }
  });
}

HResult ReadObjPaths(const pugi::xml_node& element, objPaths& paths, const MosText& folder) {
  return ForEachChild(element, [&](std::string_view name, const pugi::xml_node& child) {
    MosText* path = nullptr;
    if (name == "objPath") {
      path = &paths.objPath;
    } else if (name == "objProxyPath") {
      path = &paths.objProxyPath;
    } else if (name == "objMetadataPath") {
      path = &paths.objMetadataPath;
    }
    if (path != nullptr) {
      *path = TextOf(child);
      MakePathAbsolute(*path, folder);
    }
  });
}

void MakePathAbsolute(MosText& path, const MosText& folder) {
  const std::string& text = path.Str();
  if (!path.Present() || CountCharacters(text) < 4 || folder.IsEmpty() ||
      text.rfind("\\\\", 0) == 0 || text[1] == ':' || text[0] == '/') {
    return;
  }
  path = MosText(folder.Str() + text);
}

HResult ReadRoID(const pugi::xml_node& body, MosText& roID) {
  return ForEachChild(body, [&](std::string_view name, const pugi::xml_node& child) {
    if (name == "roID") {
      roID = TextOf(child);
    }
  });
}

}  // namespace vidra
