// Outgoing messages compared as whole documents.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/Log.h"
#include "common/Text.h"
#include "mos/MosXml.h"
#include "tests/support/TestSupport.h"

namespace vidra {
namespace {

FileTime At(std::uint16_t year, std::uint16_t month, std::uint16_t day, std::uint16_t hour,
            std::uint16_t minute, std::uint16_t second) {
  FileTime t = 0;
  EXPECT_TRUE(FromCalendar(CalendarTime{year, month, 0, day, hour, minute, second, 0}, t));
  return t;
}

const std::string kEnvelope =
    "<mos><mosID>VIDRA.NEWS</mosID><ncsID>NCS1</ncsID>"
    "<messageID>42</messageID>";

class Builders : public ::testing::Test {
 protected:
  ManualClock clock{At(2026, 3, 4, 8, 5, 3), ManualClock::Mode::Blocking, std::chrono::hours(1)};
  MOSXMLWriter writer{clock};
};

TEST_F(Builders, HeartbeatCarriesLocalTimeWithoutZone) {
  writer.BuildHeartbeat("VIDRA.NEWS", "NCS1", "42");
  EXPECT_EQ(writer.GetAnswerUtf8(),
            kEnvelope + "<heartbeat><time>2026-03-04T09:05:03</time></heartbeat></mos>");
  writer.BuildHeartbeat(MosText(), MosText(), MosText());
  EXPECT_EQ(writer.GetAnswerUtf8(),
            "<mos><mosID></mosID><ncsID></ncsID><heartbeat><time>"
            "2026-03-04T09:05:03</time></heartbeat></mos>")
      << "an absent messageID stays absent";
  writer.BuildHeartbeat("M", "N", "0x1F ");
  EXPECT_NE(writer.GetAnswerUtf8().find("<messageID>0x1F </messageID>"), std::string::npos);
}

// Each item's group names its story: an NRCS reads storyID, itemID, objID and status as
// parallel lists.
TEST_F(Builders, RoAckHasAGroupPerItemAndSkipsItemsWithoutId) {
  RoAckInfo ack;
  ack.roID = "RO1";
  StoryAckInfo three;
  three.storyID = "S1";
  three.statuses = {"READY", "NEW", "NOT READY"};
  three.itemIDs = {"I1", "", "I3"};
  three.objIDs = {"O1", "O2", "O3"};
  StoryAckInfo none;
  none.storyID = "S2";
  StoryAckInfo one;
  one.storyID = "S3";
  one.statuses = {"NEW"};
  one.itemIDs = {"I4"};
  one.objIDs = {"O4"};
  ack.stories = {three, none, one};
  writer.BuildRoAck("VIDRA.NEWS", "NCS1", "42", ack);
  EXPECT_EQ(writer.GetAnswerUtf8(),
            kEnvelope +
                "<roAck><roID>RO1</roID><roStatus>OK</roStatus>"
                "<storyID>S1</storyID><itemID>I1</itemID><objID>O1</objID><status>READY</status>"
                "<storyID>S1</storyID><itemID>I3</itemID><objID>O3</objID>"
                "<status>NOT READY</status>"
                "<storyID>S3</storyID><itemID>I4</itemID><objID>O4</objID><status>NEW</status>"
                "</roAck></mos>");
  RoAckInfo refused;
  refused.roID = "RO1";
  refused.result = EditResult::UnknownStory;
  refused.detail = "S9";
  writer.BuildRoAck("VIDRA.NEWS", "NCS1", "42", refused);
  EXPECT_EQ(
      writer.GetAnswerUtf8(),
      kEnvelope +
          "<roAck><roID>RO1</roID><roStatus>NACK unknown storyID S9</roStatus></roAck></mos>");
}

// The roAck is written as text: byte for byte what a document with the same elements gives,
// for texts holding every ASCII character, characters beyond it and a zero character.
std::string AsDocumentWrites(const RoAckInfo& ack) {
  pugi::xml_document document;
  pugi::xml_node mos = document.append_child("mos");
  const auto add = [](pugi::xml_node parent, const char* name, std::string_view text) {
    pugi::xml_node element = parent.append_child(name);
    if (!text.empty()) {
      element.append_child(pugi::node_pcdata).set_value(text.data(), text.size());
    }
  };
  add(mos, "mosID", "VIDRA.NEWS");
  add(mos, "ncsID", "NCS1");
  add(mos, "messageID", "42");
  pugi::xml_node roAck = mos.append_child("roAck");
  add(roAck, "roID", ack.roID.Str());
  add(roAck, "roStatus", RoStatusText(ack));
  for (const StoryAckInfo& story : ack.stories) {
    for (std::size_t i = 0; i < story.itemIDs.size(); ++i) {
      add(roAck, "storyID", story.storyID.Str());
      add(roAck, "itemID", story.itemIDs[i]);
      add(roAck, "objID", story.objIDs[i]);
      add(roAck, "status", story.statuses[i]);
    }
  }
  std::ostringstream text;
  document.save(text, "",
                pugi::format_raw | pugi::format_no_declaration | pugi::format_no_empty_element_tags,
                pugi::encoding_utf8);
  return text.str();
}

TEST_F(Builders, RoAckTextIsWhatTheDocumentWouldWrite) {
  std::string everyAscii;
  for (int c = 1; c < 128; ++c) {
    everyAscii += static_cast<char>(c);
  }
  RoAckInfo ack;
  ack.roID = MosText(everyAscii);
  ack.result = EditResult::Malformed;
  ack.detail = "a <b> & \"c\" 'd'";
  StoryAckInfo story;
  story.storyID = MosText("K\xC3\xB6ln \xF0\x9F\x8E\xAC");
  story.itemIDs = {everyAscii, std::string("cut\0off", 7), "I&3"};
  story.objIDs = {"", "O<2>", "\t\r\n"};
  story.statuses = {"READY", "NOT READY", "NEW"};
  ack.stories = {story, StoryAckInfo{}};
  ack.stories[1].storyID = "";
  writer.BuildRoAck("VIDRA.NEWS", "NCS1", "42", ack);
  EXPECT_EQ(writer.GetAnswerUtf8(), AsDocumentWrites(ack));
  EXPECT_EQ(writer.GetAnswer(), Utf8ToUtf16(AsDocumentWrites(ack)));
  EXPECT_EQ(writer.AnswerName(), "roAck");

  // The next answer built as a document is that one, not the roAck before it.
  writer.BuildHeartbeat("VIDRA.NEWS", "NCS1", "43");
  EXPECT_EQ(writer.AnswerName(), "heartbeat");
  EXPECT_EQ(writer.GetAnswerUtf8().find("roAck"), std::string::npos);
  writer.BuildMosAck("VIDRA", "NCS1", MosText(), MosAckInfo{});
  EXPECT_EQ(writer.AnswerName(), "mosAck");
}

TEST_F(Builders, EveryRefusalNamesItsReason) {
  const std::pair<EditResult, const char*> cases[] = {
      {EditResult::Ok, "OK"},
      {EditResult::UnknownRo, "NACK unknown roID"},
      {EditResult::UnknownItem, "NACK unknown itemID x"},
      {EditResult::DuplicateId, "NACK duplicate ID x"},
      {EditResult::Malformed, "NACK malformed: x"},
      {EditResult::Refused, "NACK refused in the item's state x"},
      {EditResult::Unsupported, "NACK not supported: x"}};
  for (const auto& [result, text] : cases) {
    RoAckInfo ack;
    ack.result = result;
    ack.detail = result == EditResult::UnknownRo ? "" : "x";
    EXPECT_EQ(RoStatusText(ack), text);
  }
  MosAckInfo nack;
  nack.status = "NACK";
  nack.statusDescription = "not supported: mosReqObj";
  writer.BuildMosAck("VIDRA", "NCS1", MosText(), nack);
  EXPECT_EQ(writer.GetAnswerUtf8(),
            "<mos><mosID>VIDRA</mosID><ncsID>NCS1</ncsID><mosAck><objID></objID><objRev></objRev>"
            "<status>NACK</status><statusDescription>not supported: mosReqObj</statusDescription>"
            "</mosAck></mos>");
}

TEST_F(Builders, RoListWritesPresentFieldsInOrderAndCutsBrokenItems) {
  auto r = std::make_shared<ro>();
  r->roID = "RO1";
  r->roTrigger = "TIMED";
  r->roSlug = "";  // present but empty: written empty
  r->roChannel = "A";
  r->metadata.Add({"s",
                   "<mosExternalMetadata><mosSchema>s</mosSchema><mosPayload><x a=\"1\">"
                   "<y/></x></mosPayload></mosExternalMetadata>"});
  story s;
  s.storyID = "S1";
  s.storyNum = "7";
  item full;
  full.itemID = "I1";
  full.objID = "O1";
  full.mosID = "VIDRA";
  full.itemTrigger = "MANUAL";
  full.objTB = "25";
  full.metadata.Add({"", "<mosExternalMetadata><mosPayload>p</mosPayload></mosExternalMetadata>"});
  item noMos;
  noMos.itemID = "I2";
  noMos.objID = "O2";
  noMos.itemSlug = "never written";
  s.items = {full, noMos, full};
  s.metadata.Add({"", "<mosExternalMetadata><mosScope>STORY</mosScope></mosExternalMetadata>"});
  story noId;
  noId.storySlug = "lost";
  r->stories = {s, noId};
  writer.BuildRoList("VIDRA.NEWS", "NCS1", "42", r);
  EXPECT_EQ(writer.GetAnswerUtf8(),
            kEnvelope +
                "<roList><roID>RO1</roID><roSlug></roSlug><roChannel>A</roChannel>"
                "<roTrigger>TIMED</roTrigger>"
                "<mosExternalMetadata><mosSchema>s</mosSchema><mosPayload><x a=\"1\"><y></y></x>"
                "</mosPayload></mosExternalMetadata>"
                "<story><storyID>S1</storyID><storyNum>7</storyNum>"
                "<mosExternalMetadata><mosScope>STORY</mosScope></mosExternalMetadata>"
                "<item><itemID>I1</itemID><objID>O1</objID><mosID>VIDRA</mosID><objTB>25</objTB>"
                "<itemTrigger>MANUAL</itemTrigger><mosExternalMetadata><mosPayload>p</mosPayload>"
                "</mosExternalMetadata></item>"
                "<item><itemID>I2</itemID><objID>O2</objID></item>"
                "<item><itemID>I1</itemID><objID>O1</objID><mosID>VIDRA</mosID><objTB>25</objTB>"
                "<itemTrigger>MANUAL</itemTrigger><mosExternalMetadata><mosPayload>p</mosPayload>"
                "</mosExternalMetadata></item></story><story></story></roList></mos>");
  writer.BuildRoList("VIDRA.NEWS", "NCS1", "42", nullptr);
  EXPECT_EQ(writer.GetAnswerUtf8(), kEnvelope + "<roList></roList></mos>");
}

// An ro of roListAll has its own fields only: no stories, no macroIn or macroOut.
TEST_F(Builders, RoListAllHasHeadersOnly) {
  std::vector<std::shared_ptr<ro>> list;
  for (const char* id : {"A", "B", "C"}) {
    auto r = std::make_shared<ro>();
    r->roID = id;
    r->macroIn = "in";
    r->macroOut = "out";
    r->metadata.Add(
        {"", "<mosExternalMetadata><mosScope>PLAYLIST</mosScope></mosExternalMetadata>"});
    r->stories.resize(2);
    list.push_back(r);
  }
  writer.BuildRoListAll("VIDRA.NEWS", "NCS1", "42", list);
  std::string expected = kEnvelope + "<roListAll>";
  for (const char* id : {"A", "B", "C"}) {
    expected += std::string("<ro><roID>") + id +
                "</roID><mosExternalMetadata><mosScope>PLAYLIST</mosScope></mosExternalMetadata>"
                "</ro>";
  }
  EXPECT_EQ(writer.GetAnswerUtf8(), expected + "</roListAll></mos>");
  writer.BuildRoListAll("VIDRA.NEWS", "NCS1", "42", {});
  EXPECT_EQ(writer.GetAnswerUtf8(), kEnvelope + "<roListAll></roListAll></mos>");
}

TEST_F(Builders, RoElementStatNamesWhatItReports) {
  StatusNotice notice;
  notice.mosID = "VIDRA.NEWS";
  notice.ncsID = "NCS1";
  notice.roID = "RO1";
  notice.storyID = "S1";
  notice.itemID = "I1";
  notice.status = "PLAY";
  notice.time = "2026-03-04T09:05:03,000";
  writer.BuildRoElementStat("42", notice);
  EXPECT_EQ(writer.GetAnswerUtf8(),
            kEnvelope +
                "<roElementStat element=\"ITEM\"><roID>RO1</roID><storyID>S1</storyID>"
                "<itemID>I1</itemID><objID></objID><status>PLAY</status>"
                "<time>2026-03-04T09:05:03,000</time></roElementStat></mos>");
  notice.itemID = MosText();
  writer.BuildRoElementStat("42", notice);
  EXPECT_EQ(writer.GetAnswerUtf8(),
            kEnvelope +
                "<roElementStat element=\"STORY\"><roID>RO1</roID><storyID>S1</storyID>"
                "<status>PLAY</status><time>2026-03-04T09:05:03,000</time></roElementStat></mos>");
  notice.storyID = "";
  writer.BuildRoElementStat("42", notice);
  EXPECT_EQ(writer.GetAnswerUtf8(),
            kEnvelope +
                "<roElementStat element=\"RO\"><roID>RO1</roID><status>PLAY</status>"
                "<time>2026-03-04T09:05:03,000</time></roElementStat></mos>");
  notice.roID = "";
  writer.BuildRoElementStat("42", notice);
  EXPECT_EQ(writer.GetAnswerUtf8(), kEnvelope + "<roElementStat></roElementStat></mos>");
}

// Runs in a folder of its own, as the server runs in its working folder.
class MachInfo : public Builders {
 protected:
  MachInfo() : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(std::filesystem::path(folder_.Path()).parent_path());
  }
  ~MachInfo() override { std::filesystem::current_path(previous_); }
  vidra::MachInfo Values() {
    vidra::MachInfo info;
    info.manufacturer = "TARNVEL";
    info.model = "Marrowvale";
    info.hwrev = "None";
    info.swrev = "Marrowvale";
    return info;
  }

  test::TempFile folder_{"", "placeholder"};
  std::filesystem::path previous_;
};

TEST_F(MachInfo, ShippedTemplateGetsTheValuesAndTheMessageId) {
  std::filesystem::copy_file(std::string(VIDRA_SOURCE_DATA) + "/listMachInfo.xml",
                             "listMachInfo.xml");
  vidra::MachInfo values = Values();
  values.time = "2026-03-04T09:05:03";
  writer.BuildListMachInfo("VIDRA.NEWS", "NCS1", "42", values);
  const std::string answer = writer.GetAnswerUtf8();
  EXPECT_EQ(answer.rfind(kEnvelope + "<listMachInfo><manufacturer>TARNVEL</manufacturer>"
                                     "<model>Marrowvale</model><hwRev>None</hwRev>"
                                     "<swRev>Marrowvale</swRev><DOM>",
                         0),
            0u)
      << answer;
  EXPECT_NE(answer.find("<ID>VIDRA</ID><time>2026-03-04T09:05:03</time><mosRev>2.8.5</mosRev>"
                        "<supportedProfiles deviceType=\"MOS\"><mosProfile number=\"0\">YES"
                        "</mosProfile><mosProfile number=\"1\">YES</mosProfile>"
                        "<mosProfile number=\"2\">YES</mosProfile>"),
            std::string::npos)
      << answer;
  writer.BuildListMachInfo("VIDRA.NEWS", "NCS1", MosText(), values);
  EXPECT_EQ(writer.GetAnswerUtf8().find("messageID"), std::string::npos);
}

TEST_F(MachInfo, OldSpellingTemplateAndTheBuiltInFallback) {
  std::ofstream("listMachInfo.xml")
      << "<mos><mosID/><ncsID/><messageId>x</messageId><listMachInfo><manufacturer/><model/>"
         "<hwrev/><swrev/><DOM>1999</DOM></listMachInfo></mos>";
  writer.BuildListMachInfo("M", "N", "7", Values());
  EXPECT_EQ(writer.GetAnswerUtf8(),
            "<mos><mosID>M</mosID><ncsID>N</ncsID><messageId>7</messageId><listMachInfo>"
            "<manufacturer>TARNVEL</manufacturer><model>Marrowvale</model><hwrev>None</hwrev>"
            "<swrev>Marrowvale</swrev><DOM>1999</DOM></listMachInfo></mos>");

  std::ofstream("listMachInfo.xml") << "<mos><broken>";
  LogCapture log;
  writer.BuildListMachInfo("M", "N", "7", Values());
  const std::string answer = writer.GetAnswerUtf8();
  EXPECT_EQ(answer.rfind("<mos><mosID>M</mosID><ncsID>N</ncsID><messageID>7</messageID>"
                         "<listMachInfo><manufacturer>TARNVEL</manufacturer>",
                         0),
            0u)
      << answer;
  EXPECT_NE(answer.find("<mosRev>2.8.5</mosRev>"), std::string::npos);
  EXPECT_EQ(log.CountOf("VIDRA - listMachInfo.xml is missing or not well-formed, the built-in "
                        "machine info is answered"),
            1u);
}

}  // namespace
}  // namespace vidra
