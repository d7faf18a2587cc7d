#include "tests/rundown/RundownBuilders.h"

namespace vidra::test {

item MakeItem(const std::string& itemID, const std::string& objID) {
  item i;
  i.itemID = itemID;
  i.objID = objID.empty() ? "obj-" + itemID : objID;
  i.mosID = "VIDRA";
  return i;
}

story MakeStory(const std::string& storyID, int items) {
  story s;
  s.storyID = storyID;
  for (int n = 1; n <= items; ++n) {
    s.items.push_back(MakeItem(storyID + std::to_string(n)));
  }
  return s;
}

std::unique_ptr<ro> MakeRo(const std::string& roID, const std::vector<std::string>& storyIDs,
                           int itemsPerStory) {
  auto r = std::make_unique<ro>();
  r->roID = roID;
  for (const auto& id : storyIDs) {
    r->stories.push_back(MakeStory(id, itemsPerStory));
  }
  return r;
}

std::string StoryOrder(const ro& r) {
  std::string order;
  for (const auto& s : r.stories) {
    order.append(order.empty() ? "" : " ").append(s.storyID.Str());
  }
  return order;
}

std::string ItemOrder(const story& s) {
  std::string order;
  for (const auto& i : s.items) {
    order.append(order.empty() ? "" : " ").append(i.itemID.Str());
  }
  return order;
}

std::string States(const ro& r) {
  std::string states;
  for (const auto& s : r.stories) {
    for (const auto& i : s.items) {
      states += (states.empty() ? "" : " ") + std::string(i.StateWord());
    }
  }
  return states;
}

void SetAllStates(ro& r, std::int32_t state) {
  for (auto& s : r.stories) {
    for (auto& i : s.items) {
      i.state = state;
    }
  }
  r.checkState = CheckState::Checked;
}

ElementRef Ref(const std::string& text) {
  const auto slash = text.find('/');
  if (slash == std::string::npos) {
    return ElementRef{text, ""};
  }
  return ElementRef{text.substr(0, slash), text.substr(slash + 1)};
}

ElementAction Action(ElementOp op, const std::string& roID, const std::vector<std::string>& targets,
                     const std::vector<std::string>& sources, std::vector<story> stories,
                     std::vector<item> items) {
  ElementAction action;
  action.op = op;
  action.roID = roID;
  for (const auto& t : targets) {
    action.targets.push_back(Ref(t));
  }
  for (const auto& s : sources) {
    action.sources.push_back(Ref(s));
  }
  action.mixedSources = !stories.empty() && !items.empty();
  action.stories = std::move(stories);
  action.items = std::move(items);
  return action;
}

}  // namespace vidra::test
