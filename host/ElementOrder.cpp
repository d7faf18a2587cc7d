#include "host/ElementOrder.h"

#include <string_view>
#include <vector>

namespace vidra {

namespace {

// The children each element may have, in the protocol's order: "?" optional, "*" any
// number, else exactly one. Every element the device writes is checked against it; the
// content of mosExternalMetadata is the NRCS's and is not.
struct ElementOrder {
  std::string_view element;
  std::vector<std::string_view> children;
};

const std::vector<ElementOrder>& Orders() {
  static const std::vector<ElementOrder> orders = {
      {"heartbeat", {"time"}},
      {"mosAck", {"objID", "objRev", "status", "statusDescription"}},
      {"mosObj",
       {"objID", "objSlug", "mosAbstract?", "objGroup?", "objType", "objTB", "objRev", "objDur",
        "status", "objAir", "objPaths?", "createdBy", "created", "changedBy", "changed",
        "description", "mosExternalMetadata*"}},
      {"mosListAll", {"mosObj*"}},
      {"roList",
       {"roID", "roSlug?", "roChannel?", "roEdStart?", "roEdDur?", "roTrigger?", "macroIn?",
        "macroOut?", "mosExternalMetadata*", "story*"}},
      {"roListAll", {"ro*"}},
      {"ro",
       {"roID", "roSlug?", "roChannel?", "roEdStart?", "roEdDur?", "roTrigger?",
        "mosExternalMetadata*"}},
      {"story", {"storyID", "storySlug?", "storyNum?", "mosExternalMetadata*", "item*"}},
      {"item",
       {"itemID", "itemSlug?", "objID", "mosID", "mosPlugInID?", "mosAbstract?", "objPaths?",
        "objDur?", "objTB?", "itemChannel?", "itemEdStart?", "itemEdDur?", "itemUserTimingDur?",
        "itemTrigger?", "macroIn?", "macroOut?", "mosExternalMetadata*"}},
      {"listMachInfo",
       {"manufacturer", "model", "hwRev", "swRev", "DOM", "SN", "ID", "time", "opTime?", "mosRev",
        "supportedProfiles", "defaultActiveX*", "mosExternalMetadata*"}},
      {"roElementStat",
       {"roID", "storyID?", "itemID?", "objID?", "itemChannel?", "status", "time"}},
      {"mosListSearchableSchema", {"mosSchema"}},
      {"mosObjList",
       {"queryID", "listReturnStart", "listReturnEnd", "listReturnTotal", "listReturnStatus?",
        "list?"}},
      {"list", {"mosObj*"}},
  };
  return orders;
}

}  // namespace

std::string OrderProblem(const pugi::xml_node& element) {
  const std::string_view name = element.name();
  if (name == "mosExternalMetadata") {
    return "";
  }
  if (name == "roAck") {
    // roID, roStatus, then (storyID, itemID, objID, itemChannel?, status)*.
    std::vector<std::string_view> got;
    for (pugi::xml_node child : element.children()) {
      got.emplace_back(child.name());
    }
    std::size_t at = 2;
    bool ok = got.size() >= 2 && got[0] == "roID" && got[1] == "roStatus";
    while (ok && at < got.size()) {
      const bool channel = at + 3 < got.size() && got[at + 3] == "itemChannel";
      const std::size_t size = channel ? 5 : 4;
      ok = at + size <= got.size() && got[at] == "storyID" && got[at + 1] == "itemID" &&
           got[at + 2] == "objID" && got[at + size - 1] == "status";
      at += size;
    }
    return ok ? "" : "roAck is not roID, roStatus, (storyID, itemID, objID, itemChannel?, status)*";
  }
  const auto nameOf = [](std::string_view spec) {
    return spec.back() == '?' || spec.back() == '*' ? spec.substr(0, spec.size() - 1) : spec;
  };
  const auto optional = [](std::string_view spec) {
    return spec.back() == '?' || spec.back() == '*';
  };
  for (const ElementOrder& order : Orders()) {
    if (order.element != name) {
      continue;
    }
    const std::vector<std::string_view>& spec = order.children;
    std::size_t at = 0;     // the place in spec of the last child
    std::size_t count = 0;  // children that matched spec[at]
    for (pugi::xml_node child : element.children()) {
      if (child.type() != pugi::node_element) {
        continue;
      }
      const std::string_view childName = child.name();
      std::size_t j = at;
      for (; j < spec.size() && nameOf(spec[j]) != childName; ++j) {
        if (!optional(spec[j]) && !(j == at && count > 0)) {
          return std::string(nameOf(spec[j])) + " missing before " + std::string(childName) +
                 " in " + std::string(name);
        }
      }
      if (j == spec.size()) {
        return std::string(childName) + " out of the protocol's order in " + std::string(name);
      }
      count = j == at ? count + 1 : 1;
      at = j;
      if (count > 1 && spec[at].back() != '*') {
        return std::string(childName) + " twice in " + std::string(name);
      }
      if (std::string why = OrderProblem(child); !why.empty()) {
        return why;
      }
    }
    for (std::size_t j = count > 0 ? at + 1 : at; j < spec.size(); ++j) {
      if (!optional(spec[j])) {
        return std::string(nameOf(spec[j])) + " missing in " + std::string(name);
      }
    }
    return "";
  }
  return "";
}

}  // namespace vidra
