// Readers of running-order bodies and of element references.
#include <gtest/gtest.h>

#include "mos/ActionReaders.h"
#include "mos/EditReaders.h"
#include "mos/MosXml.h"
#include "mos/Readers.h"

namespace vidra {
namespace {

pugi::xml_node Body(pugi::xml_document& document, const char* text) {
  EXPECT_TRUE(document.load_string(text, kMosParseOptions));  // as a message is parsed
  return document.first_child();
}

TEST(Readers, RoCreateFillsRecordsAndTheFirstStartTimes) {
  pugi::xml_document document;
  ro r;
  ReadRo(Body(document,
              "<roCreate><roID>R</roID><roSlug>one</roSlug><roSlug>two</roSlug>"
              "<RoSlug>case</RoSlug><roEdStart>2026-12-06T19:00:00</roEdStart>"
              "<mosExternalMetadata><mosScope>S</mosScope><mosSchema>http://x/1"
              "</mosSchema><mosPayload><a><b>deep</b></a></mosPayload>"
              "</mosExternalMetadata><mosExternalMetadata><mosSchema>http://y</mosSchema>"
              "</mosExternalMetadata>"
              "<story><storyID>A</storyID><item><itemID>1</itemID><itemTrigger>MANUAL"
              "</itemTrigger><objPaths><objPath>clip.mxf</objPath><objProxyPath>"
              "D:\\proxy.mp4</objProxyPath><objMetadataPath>\\\\srv\\m.xml"
              "</objMetadataPath></objPaths></item><item><itemID>2</itemID></item>"
              "</story><story><storyID>B</storyID><item><itemID>3</itemID></item>"
              "<item><itemID>4</itemID></item></story></roCreate>"),
         r, "/srv/media/");
  EXPECT_EQ(r.roSlug, "two") << "the later text wins; RoSlug is another name";
  ASSERT_EQ(r.metadata.Blocks().size(), 2u) << "every block, in order";
  EXPECT_EQ(r.metadata.Blocks()[0].mosSchema, "http://x/1");
  EXPECT_EQ(r.metadata.Blocks()[0].xml,
            "<mosExternalMetadata><mosScope>S</mosScope><mosSchema>http://x/1</mosSchema>"
            "<mosPayload><a><b>deep</b></a></mosPayload></mosExternalMetadata>");
  EXPECT_EQ(r.metadata.Blocks()[1].mosSchema, "http://y");
  ASSERT_EQ(r.stories.size(), 2u);
  const item& first = r.stories[0].items[0];
  EXPECT_EQ(first.paths.objPath, "/srv/media/clip.mxf");
  EXPECT_EQ(first.paths.objProxyPath, "D:\\proxy.mp4");
  EXPECT_EQ(first.paths.objMetadataPath, "\\\\srv\\m.xml");
  EXPECT_EQ(first.trigger, MANUAL);
  EXPECT_EQ(r.stories[0].items[1].trigger, CHAINED);
  ASSERT_NE(r.startTime, 0u);
  EXPECT_EQ(r.stories[0].startTime, r.startTime);
  EXPECT_EQ(first.startTime, r.startTime);
  EXPECT_EQ(r.stories[0].items[1].startTime, 0u);
  EXPECT_EQ(r.stories[1].startTime, 0u);
  EXPECT_EQ(r.stories[1].items[0].startTime, 0u);
}

// A message keeps an element's first run of text in the element and any later run, CDATA
// or text of a child in nodes of their own: every reader gets all of it, in document order.
TEST(Readers, TextIsReadWhereverTheDocumentKeepsIt) {
  pugi::xml_document document;
  const pugi::xml_node body =
      Body(document,
           "<b><one>x</one><none/><empty></empty><cdata><![CDATA[c<d]]></cdata>"
           "<mixed>t1<i>t2</i>t3<![CDATA[t4]]><j/>t5</mixed>"
           "<storyBody>Lead<p>Para <em>one</em></p>Tail<storyItem><itemID>I</itemID></storyItem>"
           "</storyBody></b>");
  EXPECT_EQ(NodeMosText(body.child("one")).Str(), "x");
  for (const char* name : {"none", "empty"}) {
    const MosText text = NodeMosText(body.child(name));
    EXPECT_TRUE(text.Present()) << name;
    EXPECT_TRUE(text.IsEmpty()) << name;
  }
  EXPECT_EQ(NodeMosText(body.child("cdata")).Str(), "c<d");
  EXPECT_EQ(NodeText(body.child("mixed")), "t1t2t3t4t5");
  EXPECT_EQ(NodeMosText(body.child("mixed")).Str(), "t1t2t3t4t5");
  EXPECT_EQ(ReadStoryBody(body.child("storyBody")), "Lead\nPara one\nTail");
  EXPECT_EQ(NodeXml(body.child("mixed")), "<mixed>t1<i>t2</i>t3<![CDATA[t4]]><j></j>t5</mixed>");
}

TEST(Readers, PathsAreCompletedOnlyWhenRelative) {
  for (const auto& [path, expected] : std::initializer_list<std::pair<const char*, const char*>>{
           {"clip.mxf", "D:\\Media\\clip.mxf"},
           {"C:\\clip.mxf", "C:\\clip.mxf"},
           {"\\\\server\\clip.mxf", "\\\\server\\clip.mxf"},
           {"/srv/clip.mxf", "/srv/clip.mxf"},
           {"abc", "abc"}}) {
    MosText text = path;
    MakePathAbsolute(text, "D:\\Media\\");
    EXPECT_EQ(text, expected) << path;
  }
  MosText text = "clip.mxf";
  MakePathAbsolute(text, "");
  EXPECT_EQ(text, "clip.mxf");
  MosText absent;
  MakePathAbsolute(absent, "D:\\");
  EXPECT_FALSE(absent.Present());
}

TEST(Readers, ElementReferencesInDocumentOrder) {
  pugi::xml_document document;
  ElementAction action;
  ASSERT_TRUE(ReadElementAction(Body(document,
                                     "<roElementAction operation=\"MOVE\"><roID>R</roID>"
                                     "<element_target><storyID>S1</storyID><itemID>I1</itemID>"
                                     "</element_target><element_source><itemID>I2</itemID>"
                                     "<itemID>I3</itemID><storyID>A</storyID><itemID>1</itemID>"
                                     "<storyID>B</storyID><storyID>C</storyID></element_source>"
                                     "</roElementAction>"),
                                "", action));
  EXPECT_EQ(action.op, ElementOp::MOVE);
  EXPECT_EQ(action.roID, "R");
  const auto text = [](const std::vector<ElementRef>& refs) {
    std::string out;
    for (const ElementRef& r : refs) {
      out.append(r.storyID.Str()).append("/").append(r.itemID.Str()).append(" ");
    }
    return out;
  };
  EXPECT_EQ(text(action.targets), "S1/I1 ");
  EXPECT_EQ(text(action.sources), "/I2 /I3 A/1 B/ C/ ");
  for (const char* attributes : {"", " operation=\"MOVE\" other=\"1\"", " operation=\"insert\""}) {
    const std::string element = std::string("<roElementAction") + attributes + "/>";
    EXPECT_FALSE(ReadOperation(Body(document, element.c_str())).has_value()) << attributes;
  }
}

TEST(Readers, SourcesOfBothKindsAreNoEdit) {
  pugi::xml_document document;
  ElementAction action;
  ASSERT_TRUE(ReadElementAction(Body(document,
                                     "<roElementAction operation=\"INSERT\"><roID>R</roID>"
                                     "<element_source><story><storyID>X</storyID></story>"
                                     "<item><itemID>Z</itemID></item></element_source>"
                                     "</roElementAction>"),
                                "", action));
  EXPECT_EQ(action.stories.size(), 1u);
  EXPECT_EQ(action.items.size(), 1u);
  EXPECT_TRUE(action.mixedSources);
}

}  // namespace
}  // namespace vidra
