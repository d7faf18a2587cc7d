// Outgoing messages compared as whole documents.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/Log.h"
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
  writer.BuildHeartbeat(MosText(), MosText(), "0");
  EXPECT_EQ(writer.GetAnswerUtf8(),
            "<mos><mosID></mosID><ncsID></ncsID><messageID>0</messageID><heartbeat><time>"
            "2026-03-04T09:05:03</time></heartbeat></mos>");
}

TEST_F(Builders, RoAckIsFlatAndSkipsItemsWithoutId) {
  RoAckInfo ack;
  ack.roID = "RO1";
  ack.roStatus = "OK";
  StoryAckInfo two;
  two.storyID = "S1";
  two.statuses = {"READY", "NEW"};
  two.itemIDs = {"I1", ""};
  two.objIDs = {"O1", "O2"};
  StoryAckInfo none;
  none.storyID = "S2";
  ack.stories = {two, none};
  writer.BuildRoAck("VIDRA.NEWS", "NCS1", "42", ack);
  EXPECT_EQ(writer.GetAnswerUtf8(),
            kEnvelope +
                "<roAck><roID>RO1</roID><roStatus>OK</roStatus><storyID>S1</storyID>"
                "<itemID>I1</itemID><objID>O1</objID><status>READY</status><storyID>S2</storyID>"
                "<status>ACK</status></roAck></mos>");
  writer.BuildRoAck("VIDRA.NEWS", "NCS1", "42", RoAckInfo{});
  EXPECT_EQ(writer.GetAnswerUtf8(),
            kEnvelope + "<roAck><roID></roID><roStatus></roStatus></roAck></mos>");
}

TEST_F(Builders, RoListWritesPresentFieldsInOrderAndCutsBrokenItems) {
  auto r = std::make_shared<ro>();
  r->roID = "RO1";
  r->roTrigger = "TIMED";
  r->roSlug = "";  // present but empty: written empty
  r->metadata.payload.ModBy = "ed";
  r->metadata.payload.Creator = "cr";
  story s;
  s.storyID = "S1";
  s.storyNum = "7";
  item full;
  full.itemID = "I1";
  full.objID = "O1";
  full.mosID = "VIDRA";
  full.itemTrigger = "MANUAL";
  full.objTB = "25";
  item noMos;
  noMos.itemID = "I2";
  noMos.objID = "O2";
  noMos.itemSlug = "never written";
  s.items = {full, noMos, full};
  story noId;
  noId.storySlug = "lost";
  r->stories = {s, noId};
  writer.BuildRoList("VIDRA.NEWS", "NCS1", "42", r);
  EXPECT_EQ(writer.GetAnswerUtf8(),
            kEnvelope +
                "<roList><roID>RO1</roID><roSlug></roSlug><roTrigger>TIMED</roTrigger>"
                "<mosExternalMetadata><mosSchema></mosSchema><mosPayload><Creator>cr</Creator>"
                "<ModBy>ed</ModBy><Approved>0</Approved></mosPayload></mosExternalMetadata>"
                "<story><storyID>S1</storyID><storyNum>7</storyNum>"
                "<item><itemID>I1</itemID><objID>O1</objID><mosID>VIDRA</mosID><objTB>25</objTB>"
                "<itemTrigger>MANUAL</itemTrigger></item>"
                "<item><itemID>I2</itemID><objID>O2</objID></item>"
                "<item><itemID>I1</itemID><objID>O1</objID><mosID>VIDRA</mosID><objTB>25</objTB>"
                "<itemTrigger>MANUAL</itemTrigger></item></story><story></story></roList></mos>");
  writer.BuildRoList("VIDRA.NEWS", "NCS1", "42", nullptr);
  EXPECT_EQ(writer.GetAnswerUtf8(), kEnvelope + "<roList></roList></mos>");
}

TEST_F(Builders, RoListAllHasHeadersOnly) {
  std::vector<std::shared_ptr<ro>> list;
  for (const char* id : {"A", "B", "C"}) {
    auto r = std::make_shared<ro>();
    r->roID = id;
    r->metadata.mosScope = "PLAYLIST";
    r->metadata.payload.Approved = true;
    r->stories.resize(2);
    list.push_back(r);
  }
  writer.BuildRoListAll("VIDRA.NEWS", "NCS1", "42", list);
  std::string expected = kEnvelope + "<roListAll>";
  for (const char* id : {"A", "B", "C"}) {
    expected += std::string("<ro><roID>") + id +
                "</roID><mosExternalMetadata><mosScope>PLAYLIST</mosScope><mosSchema></mosSchema>"
                "<mosPayload><Approved>1</Approved></mosPayload></mosExternalMetadata></ro>";
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
  writer.BuildListMachInfo("VIDRA.NEWS", "NCS1", "42", Values());
  const std::string answer = writer.GetAnswerUtf8();
  EXPECT_EQ(answer.rfind(kEnvelope + "<listMachInfo><manufacturer>TARNVEL</manufacturer>"
                                     "<model>Marrowvale</model><hwRev>None</hwRev>"
                                     "<swRev>Marrowvale</swRev><DOM>",
                         0),
            0u)
      << answer;
  EXPECT_NE(answer.find("<mosRev>2.8</mosRev><supportedProfiles deviceType=\"MOS\">"
                        "<mosProfile number=\"0\">YES</mosProfile>"),
            std::string::npos);
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
  EXPECT_NE(answer.find("<mosRev>2.8</mosRev>"), std::string::npos);
  EXPECT_EQ(log.CountOf("VIDRA - listMachInfo.xml is missing or not well-formed, the built-in "
                        "machine info is answered"),
            1u);
}

}  // namespace
}  // namespace vidra
