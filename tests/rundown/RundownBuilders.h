// Running orders for tests: stories named by letters, each with items "<story>1".."<story>n".
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "rundown/RoStore.h"

namespace vidra::test {

item MakeItem(const std::string& itemID, const std::string& objID = "");
story MakeStory(const std::string& storyID, int items = 2);
std::unique_ptr<ro> MakeRo(const std::string& roID, const std::vector<std::string>& storyIDs,
                           int itemsPerStory = 2);
// "A B C" for the stories of the stored running order, "A1 A2" for a story's items.
std::string StoryOrder(const ro& r);
std::string ItemOrder(const story& s);
// Every item's status word, in order, separated by blanks.
std::string States(const ro& r);
void SetAllStates(ro& r, std::int32_t state);
// A reference written "S" (a story), "S/I" (an item of a story) or "/I" (an item alone).
ElementRef Ref(const std::string& text);
// An edit of running order roID with references written as Ref takes them.
ElementAction Action(ElementOp op, const std::string& roID, const std::vector<std::string>& targets,
                     const std::vector<std::string>& sources, std::vector<story> stories = {},
                     std::vector<item> items = {});

}  // namespace vidra::test
