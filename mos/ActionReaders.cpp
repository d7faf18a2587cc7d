// roElementAction: the operation from the element's one attribute, the references in
// document order, and for INSERT and REPLACE the source stories or items as whole records.
#include "mos/ActionReaders.h"

#include <string_view>

#include "common/Log.h"
#include "mos/MosXml.h"
#include "mos/Readers.h"

namespace vidra {

HResult ReadOperation(const pugi::xml_node& element, ElementOp& op) {
  const pugi::xml_attribute attribute = element.first_attribute();
  if (!attribute || attribute.next_attribute()) {
    return HResult::E_FAIL;
  }
  const std::string_view value = attribute.value();
  static constexpr std::pair<std::string_view, ElementOp> kOps[] = {{"INSERT", ElementOp::INSERT},
                                                                    {"REPLACE", ElementOp::REPLACE},
                                                                    {"MOVE", ElementOp::MOVE},
                                                                    {"DELETE", ElementOp::DELETE},
                                                                    {"SWAP", ElementOp::SWAP}};
  for (const auto& [text, code] : kOps) {
    if (value == text) {
      op = code;
      return HResult::S_OK;
    }
  }
  return HResult::E_FAIL;
}

HResult ReadRefs(const pugi::xml_node& list, ElementRefs& refs, std::int32_t& count) {
  count = 0;
  bool storyOpen = false;
  std::string lastStory;
  for (pugi::xml_node child = list.first_child(); child; child = child.next_sibling()) {
    const std::string_view name = child.name();
    if (child.type() != pugi::node_element) {
      continue;
    }
    if (name == "storyID") {
      if (storyOpen) {
        refs.emplace_back(lastStory + "\n");
        ++count;
      }
      lastStory = NodeText(child);
      storyOpen = true;
    } else if (name == "itemID") {
      refs.emplace_back(lastStory + "\n" + NodeText(child));
      ++count;
      storyOpen = false;
    }
  }
  if (storyOpen) {
    refs.emplace_back(lastStory + "\n");
    ++count;
  }
  return HResult::S_OK;
}

namespace {

// The roID and element_target children, read alike by both kinds of roElementAction; false
// for any other child.
bool ReadRoIDOrTarget(const pugi::xml_node& child, ElementRefs& refs, std::int32_t& nTarget) {
  const std::string_view name = child.name();
  if (name == "roID") {
    refs.emplace_back(NodeText(child));
    return true;
  }
  if (name == "element_target") {
    static_cast<void>(ReadRefs(child, refs, nTarget));
    return true;
  }
  return false;
}

}  // namespace

HResult ReadElementRefs(const pugi::xml_node& element, ElementRefs& refs, std::int32_t& nTarget,
                        std::int32_t& nSource) {
  nTarget = 0;
  nSource = 0;
  for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
    if (ReadRoIDOrTarget(child, refs, nTarget)) {
      continue;
    }
    if (std::string_view(child.name()) == "element_source") {
      static_cast<void>(ReadRefs(child, refs, nSource));
    }
  }
  return HResult::S_OK;
}

HResult ReadElementContent(const pugi::xml_node& element, ElementRefs& refs, std::int32_t& nTarget,
                           std::vector<story>& stories, std::vector<item>& items,
                           std::int32_t& nSource, const MosText& folder) {
  nTarget = 0;
  nSource = 0;
  for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
    if (ReadRoIDOrTarget(child, refs, nTarget)) {
      continue;
    }
    if (std::string_view(child.name()) == "element_source") {
      std::int32_t count = 0;
      for (pugi::xml_node source = child.first_child(); source; source = source.next_sibling()) {
        const std::string_view kind = source.name();
        if (kind == "story") {
          if (!items.empty()) {
            return HResult::E_INVALIDARG;
          }
          story s;
          static_cast<void>(ReadStory(source, s, folder));
          stories.push_back(std::move(s));
          nSource = ++count;
        } else if (kind == "item") {
          if (!stories.empty()) {
            return HResult::E_INVALIDARG;
          }
          item i;
          static_cast<void>(ReadItem(source, i, folder));
          items.push_back(std::move(i));
          nSource = ++count;
        }
      }
    }
  }
  return HResult::S_OK;
}

HResult HandleElementAction(const pugi::xml_node& element, PlayoutManager& manager,
                            std::int32_t channel, RoAckInfo& ack) {
  ElementOp op = ElementOp::INSERT;
  if (ReadOperation(element, op) != HResult::S_OK) {
    return HResult::E_FAIL;
  }
  ElementRefs refs;
  std::int32_t nTarget = 0;
  std::int32_t nSource = 0;
  std::vector<story> stories;
  std::vector<item> items;
  const bool content = op == ElementOp::INSERT || op == ElementOp::REPLACE;
  // E_INVALIDARG (both kinds of source) does not stop the action: it runs with what was read.
  const HResult read = content ? ReadElementContent(element, refs, nTarget, stories, items, nSource,
                                                    manager.mediaPath)
                               : ReadElementRefs(element, refs, nTarget, nSource);
  if (read == HResult::E_FAIL) {
    return HResult::E_FAIL;
  }
  RoStore& store = manager.Store(channel);
  switch (op) {
    case ElementOp::DELETE:
      return store.DeleteElements(refs, nTarget, nSource, ack);
    case ElementOp::INSERT:
      return store.InsertElements(refs, nTarget, stories, items, nSource, ack);
    case ElementOp::MOVE:
      return store.MoveElements(refs, nTarget, nSource, ack);
    case ElementOp::REPLACE:
      return store.ReplaceElements(refs, nTarget, stories, items, nSource, ack);
    case ElementOp::SWAP:
      return store.SwapElements(refs, nTarget, nSource, ack);
  }
  return HResult::E_FAIL;
}

HResult ReadRoCtrl(const pugi::xml_node& element, std::int32_t& command, MosText& roID,
                   MosText& storyID, MosText& itemID, mosExternalMetadata& metadata) {
  if (!element) {
    return HResult::E_FAIL;
  }
  command = SIGNAL;
  for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
    const std::string_view name = child.name();
    if (name == "roID") {
      roID = NodeText(child);
    } else if (name == "storyID") {
      storyID = NodeText(child);
    } else if (name == "itemID") {
      itemID = NodeText(child);
    } else if (name == "command") {
      static constexpr std::pair<std::string_view, CtrlCommand> kCommands[] = {
          {"SIGNAL", SIGNAL},   {"READY", CUE_READY}, {"CUE", CUE_READY},
          {"EXECUTE", EXECUTE}, {"PAUSE", PAUSE_CMD}, {"STOP", STOP}};
      const std::string text = NodeText(child);
      bool known = false;
      for (const auto& [word, code] : kCommands) {
        if (text == word) {
          command = code;
          known = true;
        }
      }
      if (!known) {
        return HResult::E_FAIL;
      }
    } else if (name == "mosExternalMetadata") {
      static_cast<void>(ReadMetadata(child, metadata));
    }
  }
  return HResult::S_OK;
}

HResult HandleRoCtrl(const pugi::xml_node& element, PlayoutManager& manager, std::int32_t channel,
                     RoAckInfo& ack) {
  std::int32_t command = SIGNAL;
  MosText roID;
  MosText storyID;
  MosText itemID;
  mosExternalMetadata discarded;
  const HResult read = ReadRoCtrl(element, command, roID, storyID, itemID, discarded);
  ack.roID = roID;
  ack.roStatus = "NACK";
  if (read != HResult::S_OK) {
    return read;
  }
  const std::shared_ptr<ro> target = manager.Store(channel).GetRo(roID);
  if (!target) {
    Log("No ro with roID = %s", roID.Present() ? roID.Str().c_str() : "NULL");
    return HResult::E_FAIL;
  }
  const HResult executed =
      command == SIGNAL ? HResult::S_OK
                        : target->ExecuteCtrl(storyID, itemID, command, ack, manager, channel);
  target->FillRoAck(ack, storyID, itemID);
  if (executed != HResult::S_OK) {
    ack.roStatus = "NACK";
  }
  return executed;
}

}  // namespace vidra
