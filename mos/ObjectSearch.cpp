#include "mos/ObjectSearch.h"

#include <algorithm>
#include <cctype>

#include "common/Text.h"
#include "mos/MosXml.h"
#include "mos/Readers.h"

namespace vidra {

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

// A page bound: empty is none; else a whole number from 1.
bool ReadBound(const pugi::xml_node& body, const char* name, std::uint64_t& value, bool& given,
               std::string& error) {
  const std::string text(Trim(ChildText(body, name).Str()));
  given = !text.empty();
  if (!given) {
    return true;
  }
  const auto parsed = ParseUnsigned(text, 1, 0xFFFFFFFFu);
  if (!parsed) {
    error = std::string(name) + " " + text.substr(0, 32) + " (a whole number from 1)";
    return false;
  }
  value = *parsed;
  return true;
}

// "/field [. = 'value']" or "/field[contains(., 'value')]", blanks anywhere between the parts;
// the value in single or double quotes.
bool ReadXPath(std::string_view xpath, FieldTest& test, std::string& error) {
  const auto fail = [&] {
    error = "searchField XPath " + std::string(xpath.substr(0, 64)) +
            " (/FIELD[. = 'TEXT'] or /FIELD[contains(., 'TEXT')])";
    return false;
  };
  std::string compact;
  char quote = 0;
  std::string value;
  for (const char c : xpath) {
    if (quote != 0) {
      if (c == quote) {
        quote = 0;
        compact += '\'';
      } else {
        value += c;
      }
      continue;
    }
    if (c == '\'' || c == '"') {
      if (compact.find('\'') != std::string::npos) {
        return fail();  // one value only
      }
      quote = c;
      compact += '\'';
    } else if (std::isspace(static_cast<unsigned char>(c)) == 0) {
      compact += c;
    }
  }
  const std::size_t bracket = compact.find('[');
  if (quote != 0 || compact.empty() || compact[0] != '/' || bracket == std::string::npos) {
    return fail();
  }
  test.field = compact.substr(1, bracket - 1);
  const std::string condition = compact.substr(bracket);
  if (condition == "[.='']") {
    test.contains = false;
  } else if (condition == "[contains(.,'')]") {
    test.contains = true;
  } else {
    return fail();
  }
  if (std::find(std::begin(kSearchFields), std::end(kSearchFields), test.field) ==
      std::end(kSearchFields)) {
    error = "unknown search field " + test.field.substr(0, 64);
    return false;
  }
  test.value = Lower(value);
  return true;
}

std::string FieldOf(const MediaObject& object, const std::string& field) {
  const NrcsObjectText* nrcs = object.nrcs.get();
  if (field == "objID") {
    return object.objID;
  }
  if (field == "objPath") {
    return object.path;
  }
  if (field == "objAir") {
    return object.media.playable ? "READY" : "NOT READY";
  }
  if (field == "objType") {
    return std::string(object.Type());
  }
  if (field == "objSlug") {
    return std::string(object.Slug());
  }
  if (nrcs == nullptr) {
    return {};
  }
  if (field == "mosAbstract") {
    return nrcs->mosAbstract;
  }
  if (field == "objGroup") {
    return nrcs->objGroup;
  }
  if (field == "description") {
    return nrcs->description;
  }
  return field == "createdBy" ? nrcs->createdBy : std::string();
}

bool Holds(const MediaObject& object, const FieldTest& test) {
  const std::string text = Lower(FieldOf(object, test.field));
  return test.contains ? text.find(test.value) != std::string::npos : text == test.value;
}

bool Matches(const MediaObject& object, const ObjectQuery& query) {
  // Slug, objID, description and path: what a journalist types a word of.
  const NrcsObjectText* nrcs = object.nrcs.get();
  const std::string_view slug = object.Slug();
  const std::string_view description =
      nrcs != nullptr ? std::string_view(nrcs->description) : std::string_view();
  for (const std::string& word : query.words) {
    if (!ContainsFolded(slug, word) && !ContainsFolded(object.objID, word) &&
        !ContainsFolded(description, word) && !ContainsFolded(object.path, word)) {
      return false;
    }
  }
  if (query.groups.empty()) {
    return true;
  }
  return std::any_of(query.groups.begin(), query.groups.end(), [&](const auto& group) {
    return std::all_of(group.begin(), group.end(),
                       [&](const FieldTest& test) { return Holds(object, test); });
  });
}

}  // namespace

bool ReadObjectQuery(const pugi::xml_node& body, ObjectQuery& query, std::string& error) {
  query.username = body.attribute("username").value();
  query.queryID = NodeText(body.child("queryID"));
  if (query.queryID.size() > kMaxQueryBytes || query.username.size() > kMaxQueryBytes) {
    error = "queryID or username longer than " + std::to_string(kMaxQueryBytes) + " bytes";
    return false;
  }
  bool startGiven = false;
  bool endGiven = false;
  if (!ReadBound(body, "listReturnStart", query.start, startGiven, error) ||
      !ReadBound(body, "listReturnEnd", query.end, endGiven, error)) {
    return false;
  }
  if (!endGiven) {
    query.end = query.start + kDefaultPage - 1;
  } else if (query.end < query.start) {
    error = "listReturnEnd " + std::to_string(query.end) + " before listReturnStart " +
            std::to_string(query.start);
    return false;
  }
  query.end = std::min(query.end, query.start + kMaxPage - 1);
  const std::string general = NodeText(body.child("generalSearch"));
  if (general.size() > kMaxQueryBytes) {
    error = "generalSearch longer than " + std::to_string(kMaxQueryBytes) + " bytes";
    return false;
  }
  std::string word;
  for (const char c : general + ' ') {
    if (std::isspace(static_cast<unsigned char>(c)) != 0) {
      if (!word.empty()) {
        query.words.push_back(Lower(word));
      }
      word.clear();
    } else {
      word += c;
    }
  }
  const std::string schema(Trim(ChildText(body, "mosSchema").Str()));
  const pugi::xml_node firstGroup = body.child("searchGroup");
  if (firstGroup && schema != kSearchSchema) {
    error = "mosSchema " + schema.substr(0, 64) + " (this server searches " + kSearchSchema + ")";
    return false;
  }
  for (pugi::xml_node group = firstGroup; group; group = group.next_sibling("searchGroup")) {
    std::vector<FieldTest>& tests = query.groups.emplace_back();
    for (pugi::xml_node field = group.child("searchField"); field;
         field = field.next_sibling("searchField")) {
      const std::string_view xpath = field.attribute("XPath").value();
      if (xpath.size() > kMaxQueryBytes) {
        error = "searchField XPath longer than " + std::to_string(kMaxQueryBytes) + " bytes";
        return false;
      }
      if (!ReadXPath(xpath, tests.emplace_back(), error)) {
        return false;
      }
    }
  }
  return true;
}

ObjectPage RunObjectQuery(const MediaCatalogue& catalogue, const ObjectQuery& query) {
  ObjectPage page;
  catalogue.ForEach([&](const MediaObject& object) {
    if (!Matches(object, query)) {
      return;
    }
    ++page.total;
    if (page.total >= query.start && page.total <= query.end) {
      page.objects.push_back(object);
    }
  });
  return page;
}

}  // namespace vidra
