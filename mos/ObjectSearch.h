// The search of the device's objects from the NRCS (profile 3, on the query port):
// mosReqSearchableSchema names the one schema whose fields can be searched, mosReqObjList
// asks for a page of the objects that match a general search and search fields.
#pragma once

#include <pugixml.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "media/MediaCatalogue.h"

namespace vidra {

// The schema the search fields name: the elements of this server's mosObj.
constexpr const char* kSearchSchema = "urn:vidra:mos:objects:1";
// The fields a searchField's XPath may name.
constexpr const char* kSearchFields[] = {"objID",       "objSlug",   "mosAbstract",
                                         "objGroup",    "objType",   "objAir",
                                         "description", "createdBy", "objPath"};
// The longest generalSearch or searchField text taken, in bytes.
constexpr std::size_t kMaxQueryBytes = 1024;
// Objects in one mosObjList at most, whatever listReturnEnd asks.
constexpr std::uint64_t kMaxPage = 1000;
// Objects in a mosObjList whose listReturnEnd is empty.
constexpr std::uint64_t kDefaultPage = 100;

// One condition on a field: its text equals the value, or contains it (both ignore case).
struct FieldTest {
  std::string field;
  std::string value;
  bool contains = false;
};

struct ObjectQuery {
  std::string username;
  std::string queryID;
  std::uint64_t start = 1;         // listReturnStart, from 1
  std::uint64_t end = 0;           // listReturnEnd
  std::vector<std::string> words;  // of the generalSearch: each is in some searched text
  // A searchGroup's fields must all hold; any one group will do (none: every object).
  std::vector<std::vector<FieldTest>> groups;
};

// Reads a mosReqObjList; false with what is wrong ("listReturnStart -1").
bool ReadObjectQuery(const pugi::xml_node& body, ObjectQuery& query, std::string& error);

struct ObjectPage {
  std::uint64_t total = 0;           // every object that matches
  std::vector<MediaObject> objects;  // those from start to end
};

ObjectPage RunObjectQuery(const MediaCatalogue& catalogue, const ObjectQuery& query);

}  // namespace vidra
