// roElementAction: the operation from the element's one attribute, the references in
// document order, and for INSERT and REPLACE the source stories or items as whole records.
#include "mos/ActionReaders.h"

#include <string_view>

#include "common/Log.h"
#include "mos/MosXml.h"
#include "mos/Readers.h"

namespace vidra {

std::optional<ElementOp> ReadOperation(const pugi::xml_node& element) {
  const pugi::xml_attribute attribute = element.first_attribute();
  if (!attribute || attribute.next_attribute()) {
    return std::nullopt;
  }
  const std::string_view value = attribute.value();
  static constexpr std::pair<std::string_view, ElementOp> kOps[] = {{"INSERT", ElementOp::INSERT},
                                                                    {"REPLACE", ElementOp::REPLACE},
                                                                    {"MOVE", ElementOp::MOVE},
                                                                    {"DELETE", ElementOp::DELETE},
                                                                    {"SWAP", ElementOp::SWAP}};
  for (const auto& [text, code] : kOps) {
    if (value == text) {
      return code;
    }
  }
  return std::nullopt;
}

void ReadRefs(const pugi::xml_node& list, std::vector<ElementRef>& refs) {
  bool storyOpen = false;
  MosText lastStory("");
  for (pugi::xml_node child = list.first_child(); child; child = child.next_sibling()) {
    const std::string_view name = child.name();
    if (child.type() != pugi::node_element) {
      continue;
    }
    if (name == "storyID") {
      if (storyOpen) {
        refs.push_back(ElementRef{lastStory, MosText("")});
      }
      lastStory = NodeText(child);
      storyOpen = true;
    } else if (name == "itemID") {
      refs.push_back(ElementRef{lastStory, NodeText(child)});
      storyOpen = false;
    }
  }
  if (storyOpen) {
    refs.push_back(ElementRef{lastStory, MosText("")});
  }
}

bool ReadElementAction(const pugi::xml_node& element, const MosText& folder,
                       ElementAction& action) {
  action.roID = ChildText(element, "roID");
  const std::optional<ElementOp> op = ReadOperation(element);
  if (!op) {
    return false;
  }
  action.op = *op;
  const bool content = *op == ElementOp::INSERT || *op == ElementOp::REPLACE;
  for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
    const std::string_view name = child.name();
    if (name == "element_target") {
      ReadRefs(child, action.targets);
    } else if (name == "element_source" && !content) {
      ReadRefs(child, action.sources);
    } else if (name == "element_source") {
      for (pugi::xml_node source = child.first_child(); source; source = source.next_sibling()) {
        const std::string_view kind = source.name();
        if (kind == "story") {
          ReadStory(source, action.stories.emplace_back(), folder);
        } else if (kind == "item") {
          ReadItem(source, action.items.emplace_back(), folder);
        }
      }
    }
  }
  action.mixedSources = !action.stories.empty() && !action.items.empty();
  return true;
}

EditResult HandleElementAction(const pugi::xml_node& element, PlayoutManager& manager,
                               std::int32_t channel, RoAckInfo& ack) {
  ElementAction action;
  if (!ReadElementAction(element, manager.mediaPath, action)) {
    ack.roID = action.roID;
    ack.detail = "operation attribute";
    return EditResult::Malformed;
  }
  // The answer names the roID only, as NRCS software has always received it.
  return manager.Store(channel).ApplyElementAction(action, ack, false);
}

bool ReadRoCtrl(const pugi::xml_node& element, RoCtrlRequest& request, std::string& badCommand) {
  for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
    const std::string_view name = child.name();
    if (name == "roID") {
      request.roID = NodeText(child);
    } else if (name == "storyID") {
      request.storyID = NodeText(child);
    } else if (name == "itemID") {
      request.itemID = NodeText(child);
    } else if (name == "command") {
      static constexpr std::pair<std::string_view, CtrlCommand> kCommands[] = {
          {"SIGNAL", CtrlCommand::SIGNAL}, {"READY", CtrlCommand::READY},
          {"CUE", CtrlCommand::READY},     {"EXECUTE", CtrlCommand::EXECUTE},
          {"PAUSE", CtrlCommand::PAUSE},   {"STOP", CtrlCommand::STOP}};
      badCommand = NodeText(child);
      bool known = false;
      for (const auto& [word, code] : kCommands) {
        if (badCommand == word) {
          request.command = code;
          known = true;
        }
      }
      if (!known) {
        return false;
      }
    }
  }
  return true;
}

EditResult HandleRoCtrl(const pugi::xml_node& element, PlayoutManager& manager,
                        std::int32_t channel, RoAckInfo& ack) {
  RoCtrlRequest request;
  std::string word;
  const bool read = ReadRoCtrl(element, request, word);
  ack.roID = request.roID;
  if (!read) {
    ack.detail = "command " + word;
    return EditResult::Malformed;
  }
  const std::shared_ptr<ro> target = manager.Store(channel).GetRo(request.roID);
  if (!target) {
    Log("No ro with roID = %s", request.roID.Present() ? request.roID.CStr() : "NULL");
    return EditResult::UnknownRo;
  }
  if (request.command == CtrlCommand::EXECUTE || request.command == CtrlCommand::READY) {
    // An item sent a moment ago may not have been examined yet: it is, now, rather than
    // refused for being NEW.
    manager.CheckItemNow(channel, request.roID, request.storyID, request.itemID);
  }
  const EditResult executed =
      target->ExecuteCtrl(request.storyID, request.itemID, request.command, manager, channel);
  // A command cannot be taken back once the channel acted on it; what it changed is saved
  // before the answer, and an answer that says it could not be saved asks for a resend.
  if (const EditResult saved = manager.Store(channel).CommitControl(*target, ack);
      saved != EditResult::Ok) {
    return saved;
  }
  target->FillRoAck(ack, request.storyID, request.itemID);
  if (executed == EditResult::UnknownStory) {
    ack.detail = request.storyID.Str();
  } else if (executed == EditResult::UnknownItem) {
    ack.detail = request.itemID.Str();
  }
  return executed;
}

}  // namespace vidra
