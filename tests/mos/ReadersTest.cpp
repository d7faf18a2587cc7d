// Readers of running-order bodies and of element references.
#include <gtest/gtest.h>

#include "mos/ActionReaders.h"
#include "mos/Readers.h"

namespace vidra {
namespace {

pugi::xml_node Body(pugi::xml_document& document, const char* text) {
  EXPECT_TRUE(document.load_string(text));
  return document.first_child();
}

TEST(Readers, RoCreateFillsRecordsAndTheFirstStartTimes) {
  pugi::xml_document document;
  ro r;
  ASSERT_EQ(ReadRo(Body(document,
                        "<roCreate><roID>R</roID><roSlug>one</roSlug><roSlug>two</roSlug>"
                        "<RoSlug>case</RoSlug><roEdStart>2026-12-06T19:00:00Z</roEdStart>"
                        "<mosExternalMetadata><mosScope>S</mosScope><mosPayload><Approved>"
                        "</Approved><Owner>o</Owner></mosPayload></mosExternalMetadata>"
                        "<story><storyID>A</storyID><item><itemID>1</itemID><itemTrigger>MANUAL"
                        "</itemTrigger><objPaths><objPath>clip.mxf</objPath><objProxyPath>"
                        "D:\\proxy.mp4</objProxyPath><objMetadataPath>\\\\srv\\m.xml"
                        "</objMetadataPath></objPaths></item><item><itemID>2</itemID></item>"
                        "</story><story><storyID>B</storyID><item><itemID>3</itemID></item>"
                        "<item><itemID>4</itemID></item></story></roCreate>"),
                   r, "/srv/media/"),
            HResult::S_OK);
  EXPECT_EQ(r.roSlug, "two") << "the later text wins; RoSlug is another name";
  EXPECT_EQ(r.metadata.mosScope, "S");
  EXPECT_TRUE(r.metadata.payload.Approved) << "an empty Approved is true";
  EXPECT_EQ(r.metadata.payload.Owner, "o");
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
  EXPECT_EQ(ReadRo(pugi::xml_node(), r, ""), HResult::E_FAIL);
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
  ElementRefs refs;
  std::int32_t nTarget = -1;
  std::int32_t nSource = -1;
  ASSERT_EQ(ReadElementRefs(Body(document,
                                 "<roElementAction operation=\"MOVE\"><roID>R</roID>"
                                 "<element_target><storyID>S1</storyID><itemID>I1</itemID>"
                                 "</element_target><element_source><itemID>I2</itemID>"
                                 "<itemID>I3</itemID><storyID>A</storyID><itemID>1</itemID>"
                                 "<storyID>B</storyID><storyID>C</storyID></element_source>"
                                 "</roElementAction>"),
                            refs, nTarget, nSource),
            HResult::S_OK);
  EXPECT_EQ(refs, (ElementRefs{"R", "S1\nI1", "\nI2", "\nI3", "A\n1", "B\n", "C\n"}));
  EXPECT_EQ(nTarget, 1);
  EXPECT_EQ(nSource, 5);
  ElementOp op = ElementOp::SWAP;
  EXPECT_EQ(ReadOperation(document.first_child(), op), HResult::S_OK);
  EXPECT_EQ(op, ElementOp::MOVE);
}

TEST(Readers, SourcesOfOneKindOnly) {
  pugi::xml_document document;
  ElementRefs refs;
  std::int32_t nTarget = 0;
  std::int32_t nSource = 0;
  std::vector<story> stories;
  std::vector<item> items;
  EXPECT_EQ(ReadElementContent(Body(document,
                                    "<roElementAction operation=\"INSERT\"><roID>R</roID>"
                                    "<element_source><story><storyID>X</storyID></story>"
                                    "<story><storyID>Y</storyID></story><item><itemID>Z</itemID>"
                                    "</item><story><storyID>never</storyID></story>"
                                    "</element_source></roElementAction>"),
                               refs, nTarget, stories, items, nSource, ""),
            HResult::E_INVALIDARG);
  EXPECT_EQ(stories.size(), 2u);
  EXPECT_TRUE(items.empty());
  EXPECT_EQ(nSource, 2);
  EXPECT_EQ(refs, (ElementRefs{"R"}));
}

}  // namespace
}  // namespace vidra
