// Every kind of message the server writes, built by its writers from records with every
// field it can carry, checked against the protocol's element order and required elements
// (mos-device-messages.dtd, with the document's errata it names) by libxml2's validator.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/valid.h>

#include <memory>
#include <string>

#include "common/Log.h"
#include "mos/MosXml.h"
#include "mos/ObjectSearch.h"
#include "tests/support/TestSupport.h"

namespace vidra {
namespace {

struct DtdFree {
  void operator()(xmlDtd* dtd) const { xmlFreeDtd(dtd); }
};
struct DocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct ValidFree {
  void operator()(xmlValidCtxt* context) const { xmlFreeValidCtxt(context); }
};

// The validator's complaints, collected instead of printed.
void Collect(void* into, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  *static_cast<std::string*>(into) += text;
}

class Schema : public ::testing::Test {
 protected:
  void SetUp() override {
    dtd_.reset(xmlParseDTD(
        nullptr, reinterpret_cast<const xmlChar*>(VIDRA_TEST_DIR "/mos-device-messages.dtd")));
    ASSERT_NE(dtd_, nullptr) << "the schema parses";
  }
  // Empty when the message is valid; else what the validator says.
  std::string Check(const std::string& xml) {
    std::unique_ptr<xmlDoc, DocFree> doc(
        xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "message.xml", "UTF-8",
                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!doc) {
      return "not well-formed: " + xml.substr(0, 200);
    }
    std::unique_ptr<xmlValidCtxt, ValidFree> context(xmlNewValidCtxt());
    std::string errors;
    context->userData = &errors;
    context->error = Collect;
    context->warning = Collect;
    if (xmlValidateDtd(context.get(), doc.get(), dtd_.get()) == 1) {
      return {};
    }
    return errors.empty() ? std::string("invalid") : errors;
  }
  std::string Built() { return writer.GetAnswerUtf8(); }

  LogCapture quiet;
  ManualClock clock{kUnixEpochFileTime + 400ull * 365 * 24 * 3600 * kTicksPerSecond,
                    ManualClock::Mode::Blocking};
  MOSXMLWriter writer{clock};
  std::unique_ptr<xmlDtd, DtdFree> dtd_;
};

item FullItem(const std::string& id) {
  item i;
  i.itemID = MosText(id);
  i.itemSlug = MosText("Slug " + id);
  i.objID = MosText("OBJ-" + id);
  i.mosID = MosText("VIDRA.NEWS");
  i.mosPlugInID = MosText("VIDRA.Browse");
  i.mosAbstract = MosText("Abstract");
  i.objPathsXml =
      "<objPaths><objPath techDescription=\"MPEG2\">a.mxf</objPath><objProxyPath "
      "techDescription=\"WM9\">http://p/a.wmv</objProxyPath></objPaths>";
  i.objDur = MosText("250");
  i.objTB = MosText("25");
  i.itemChannel = MosText("B");
  i.itemEdStart = MosText("0");
  i.itemEdDur = MosText("250");
  i.itemUserTimingDur = MosText("250");
  i.itemTrigger = MosText("CHAINED");
  i.macroIn = MosText("in");
  i.macroOut = MosText("out");
  i.metadata.Add({"http://n/s",
                  "<mosExternalMetadata><mosScope>PLAYLIST</mosScope><mosSchema>"
                  "http://n/s</mosSchema><mosPayload>any payload</mosPayload>"
                  "</mosExternalMetadata>"});
  return i;
}

std::shared_ptr<ro> FullRo() {
  auto r = std::make_shared<ro>();
  r->roID = MosText("RO1");
  r->roSlug = MosText("Evening");
  r->roChannel = MosText("A");
  r->roEdStart = MosText("2027-01-15T19:00:00");
  r->roEdDur = MosText("00:30:00");
  r->roTrigger = MosText("TIMED");
  r->macroIn = MosText("in");
  r->macroOut = MosText("out");
  story& s = r->stories.emplace_back();
  s.storyID = MosText("S1");
  s.storySlug = MosText("Opener");
  s.storyNum = MosText("1");
  s.items.push_back(FullItem("1"));
  s.items.push_back(FullItem("2"));
  r->stories.emplace_back().storyID = MosText("S2");  // a story without items
  return r;
}

MediaObject FileObject() {
  MediaObject object;
  object.objID = "news/fire.mxf";
  object.relativePath = object.objID;
  object.path = "/media/news/fire.mxf";
  object.media.media = true;
  object.media.playable = true;
  object.media.seconds = 4;
  return object;
}

MediaObject Placeholder() {
  MediaObject object;
  object.objID = "placeholders/Fire_000001.mxf";
  object.relativePath = object.objID;
  object.path = "/media/" + object.objID;
  NrcsObjectText text;
  text.objSlug = "Fire";
  text.mosAbstract = "Abstract";
  text.objGroup = "Evening";
  text.objType = "VIDEO";
  text.objTB = "25";
  text.objDur = "250";
  text.createdBy = "ann";
  text.description = "Pictures";
  text.metadataXml =
      "<mosExternalMetadata><mosSchema>s</mosSchema><mosPayload/></mosExternalMetadata>";
  object.nrcs = std::make_shared<const NrcsObjectText>(text);
  return object;
}

TEST_F(Schema, EveryMessageTheServerWritesFollowsTheProtocol) {
  const MosText mos("VIDRA.NEWS");
  const MosText ncs("NCS");
  const MosText id("7");
  const ObjectWording wording{"", 25.0, "VIDRA"};

  writer.BuildHeartbeat(mos, ncs, id);
  EXPECT_EQ(Check(Built()), "") << "heartbeat";
  MachInfo info;
  info.time = MosText("2027-01-15T08:00:00");
  writer.BuildListMachInfo(mos, ncs, id, info);
  EXPECT_EQ(Check(Built()), "") << Built();

  RoAckInfo ack;
  FullRo()->FillRoAck(ack, MosText(), MosText());
  writer.BuildRoAck(mos, ncs, id, ack);
  EXPECT_EQ(Check(Built()), "") << Built();
  RoAckInfo refused;
  refused.roID = MosText("RO1");
  refused.result = EditResult::UnknownStory;
  refused.detail = "S9";
  writer.BuildRoAck(mos, ncs, id, refused);
  EXPECT_EQ(Check(Built()), "") << Built();

  MosAckInfo mosAck;
  mosAck.objID = MosText("O");
  mosAck.objRev = MosText("0");
  mosAck.status = MosText("NACK");
  mosAck.statusDescription = MosText("unknown objID");
  writer.BuildMosAck(mos, ncs, id, mosAck);
  EXPECT_EQ(Check(Built()), "") << Built();

  writer.BuildRoList(mos, ncs, id, FullRo());
  EXPECT_EQ(Check(Built()), "") << Built();
  writer.BuildRoListAll(mos, ncs, id, {FullRo(), FullRo()});
  EXPECT_EQ(Check(Built()), "") << Built();

  StatusNotice notice;
  notice.roID = MosText("RO1");
  notice.storyID = MosText("S1");
  notice.itemID = MosText("1");
  notice.objID = MosText("OBJ-1");
  notice.status = MosText("PLAY");
  notice.time = MosText("2027-01-15T19:00:00");
  notice.mosID = mos;
  notice.ncsID = ncs;
  writer.BuildRoElementStat(id, notice);
  EXPECT_EQ(Check(Built()), "") << Built();
  notice.itemID = MosText();
  notice.objID = MosText();
  writer.BuildRoElementStat(id, notice);
  EXPECT_EQ(Check(Built()), "") << "a story's: " << Built();

  for (const MediaObject& object : {FileObject(), Placeholder()}) {
    writer.BuildMosObj(mos, ncs, id, object, wording);
    EXPECT_EQ(Check(Built()), "") << Built();
  }
  writer.BuildMosListAll(mos, ncs, id, {FileObject(), Placeholder()},
                         ObjectWording{"NEW", 25.0, "VIDRA"});
  EXPECT_EQ(Check(Built()), "") << Built();

  writer.BuildRoReq(mos, ncs, id, MosText("RO1"));
  EXPECT_EQ(Check(Built()), "") << Built();
  writer.BuildRoReqAll(mos, ncs, id);
  EXPECT_EQ(Check(Built()), "") << Built();

  writer.BuildMosListSearchableSchema(mos, ncs, id, "ann");
  EXPECT_EQ(Check(Built()), "") << Built();
  ObjectQuery query;
  query.queryID = "Q";
  ObjectPage page;
  page.total = 2;
  page.objects = {FileObject(), Placeholder()};
  writer.BuildMosObjList(mos, ncs, id, query, page, wording);
  EXPECT_EQ(Check(Built()), "") << Built();
  writer.BuildMosObjList(mos, ncs, id, query, ObjectPage{}, wording);
  EXPECT_EQ(Check(Built()), "") << "an empty page: " << Built();
}

// The check itself finds what is out of order or missing.
TEST_F(Schema, TheCheckRefusesWhatTheProtocolDoesNotAllow) {
  const std::string head = "<mos><mosID>M</mosID><ncsID>N</ncsID><messageID>1</messageID>";
  EXPECT_EQ(Check(head + "<heartbeat><time>t</time></heartbeat></mos>"), "");
  EXPECT_NE(Check(head + "<roList><roID>R</roID><roSlug>S</roSlug><story><storyID>A</storyID>"
                         "<item><itemID>1</itemID><objID>O</objID><mosID>M</mosID><objTB>25"
                         "</objTB><itemSlug>late</itemSlug></item></story></roList></mos>"),
            "")
      << "itemSlug after objTB";
  EXPECT_NE(Check(head + "<mosAck><objID>O</objID><status>ACK</status></mosAck></mos>"), "")
      << "mosAck without objRev and statusDescription";
  EXPECT_NE(Check(head + "<roListAll><ro><roID>R</roID><macroIn>m</macroIn></ro></roListAll>"
                         "</mos>"),
            "")
      << "macroIn in roListAll's ro";
}

}  // namespace
}  // namespace vidra
