// Running orders that survive the real vidra-server's end: a clean stop, a SIGKILL in the
// middle of a burst of edits, a TIMED start across a crash, messages sent again, files that
// cannot be used, a full disk, two servers on one database, and an NRCS that gives back what
// a server lost.
#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <atomic>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/Text.h"
#include "host/Conformance.h"
#include "host/NrcsSimulator.h"
#include "tests/integration/Processes.h"

namespace vidra::test {
namespace {

using namespace std::chrono_literals;

// One server run on the same ports, settings and database each time.
class Durable : public ::testing::Test {
 protected:
  Durable() {
    lower_.Release();
    upper_.Release();
    notices_.Release();
  }
  ~Durable() override { server_.reset(); }
  std::string Database() const { return Folder(errors_) + "/state/vidra.db"; }
  std::string SettingsText(const std::string& more = "") const {
    return Settings(lower_.Port(), upper_.Port(), "Path = " VIDRA_SOURCE_DATA "/media/\n") +
           "NrcsUpperPort = " + std::to_string(notices_.Port()) +
           "\n[State]\nDatabase = " + Database() + "\n" + more;
  }
  // Starts the server and waits until it serves; false when it ended instead.
  bool Start(std::uint64_t fileSizeLimit = 0, const std::string& more = "") {
    settings_ = std::make_unique<TempFile>(SettingsText(more));
    server_ = std::make_unique<ServerProcess>(
        std::vector<std::string>{"--config", settings_->Path(), "--autostart"}, errors_.Path(),
        fileSizeLimit);
    return WaitUntil([&] { return peer_.Connect(upper_.Port()) || server_->Wait(0ms) != -1; },
                     20s) &&
           server_->Wait(0ms) == -1;
  }
  // The log holds text, within the time the log writer takes to write it.
  bool Logged(const std::string& text) const {
    return WaitUntil([&] { return Log().find(text) != std::string::npos; }, 5s);
  }
  void Kill(int signal) {
    server_->Signal(signal);
    EXPECT_EQ(server_->Wait(), signal == SIGKILL ? 128 + SIGKILL : 0);
    peer_.Close();
  }
  std::string Ask(const std::string& body, const std::string& id) {
    EXPECT_TRUE(peer_.Send(Utf16Bytes(Utf8ToUtf16(Envelope(id, body)), true)));
    return Utf16ToUtf8(peer_.ReceiveMessage(true, 20s));
  }
  std::string Ask(const std::string& body) { return Ask(body, std::to_string(++messageID_)); }
  std::string Order(const std::string& roID) {
    pugi::xml_document document;
    document.load_string(Ask("<roReq><roID>" + roID + "</roID></roReq>").c_str());
    return RunningOrderShape(document.child("mos").child("roList"));
  }
  std::string Log() const { return ReadFile(errors_.Path()); }

  FreePort lower_;
  FreePort upper_;
  FreePort notices_;
  TempFile errors_{"", "stderr.txt"};
  std::unique_ptr<TempFile> settings_;
  std::unique_ptr<ServerProcess> server_;
  TestPeer peer_;
  int messageID_ = 0;
};

TEST_F(Durable, RunningOrdersComeBackAfterAStopAndItsEditsAreThere) {
  ASSERT_TRUE(Start()) << Log();
  EXPECT_TRUE(Logged("VIDRA - 0 running orders restored from " + Database()));
  ASSERT_NE(Ask("<roCreate><roID>R</roID><roSlug>Late</roSlug><roEdStart>2099-01-01T20:00:00"
                "</roEdStart><roTrigger>TIMED</roTrigger>" +
                Story("A") + Story("B") + "</roCreate>")
                .find("<roStatus>OK</roStatus>"),
            std::string::npos);
  EXPECT_NE(
      Ask("<roStoryInsert><roID>R</roID><storyID>B</storyID>" + Story("N") + "</roStoryInsert>")
          .find("<roStatus>OK</roStatus>"),
      std::string::npos);
  EXPECT_NE(Ask("<roReadyToAir><roID>R</roID><roAir>READY</roAir></roReadyToAir>")
                .find("<roStatus>OK</roStatus>"),
            std::string::npos);
  EXPECT_NE(
      Ask("<roCtrl><roID>R</roID><command>STOP</command></roCtrl>").find("<roStatus>OK</roStatus>"),
      std::string::npos);
  const std::string before = Ask("<roReq><roID>R</roID></roReq>", "900");
  Kill(SIGTERM);

  ASSERT_TRUE(Start()) << Log();
  EXPECT_TRUE(Logged("VIDRA - 1 running orders restored from " + Database()));
  EXPECT_EQ(Ask("<roReq><roID>R</roID></roReq>", "900"), before);
  EXPECT_NE(before.find("<roTrigger>TIMED</roTrigger>"), std::string::npos)
      << "the roCtrl used up the timed start, but roList gives back the NRCS's word";
  EXPECT_EQ(Order("R"), "A:A1 N:N1 B:B1");
}

TEST_F(Durable, ASigkillInABurstOfEditsLosesNothingThatWasAnswered) {
  ASSERT_TRUE(Start()) << Log();
  ASSERT_NE(Ask("<roCreate><roID>R</roID></roCreate>").find("OK"), std::string::npos);
  std::atomic<int> answered{0};
  std::thread burst([&] {
    for (int n = 0; n < 1000; ++n) {
      const std::string message = Envelope(
          std::to_string(1000 + n),
          "<roStoryAppend><roID>R</roID>" + Story("S" + std::to_string(n)) + "</roStoryAppend>");
      if (!peer_.Send(Utf16Bytes(Utf8ToUtf16(message), true)) ||
          Utf16ToUtf8(peer_.ReceiveMessage(true, 5s)).find("<roStatus>OK</roStatus>") ==
              std::string::npos) {
        return;
      }
      ++answered;
    }
  });
  ASSERT_TRUE(WaitUntil([&] { return answered >= 300; }, 30s));
  server_->Signal(SIGKILL);
  burst.join();
  EXPECT_EQ(server_->Wait(), 128 + SIGKILL);
  peer_.Close();
  const int acknowledged = answered;
  ASSERT_LT(acknowledged, 1000) << "the kill came in the middle";

  ASSERT_TRUE(Start()) << Log();
  pugi::xml_document document;
  document.load_string(Ask("<roReq><roID>R</roID></roReq>").c_str());
  int n = 0;
  for (pugi::xml_node s : document.child("mos").child("roList").children("story")) {
    ASSERT_EQ(std::string(s.child_value("storyID")), "S" + std::to_string(n)) << "in order";
    ++n;
  }
  EXPECT_GE(n, acknowledged) << "every answered edit is there";
  EXPECT_LE(n, acknowledged + 1) << "at most the one under way when the server died";
}

TEST_F(Durable, ATimedStartPlaysAtItsTimeAfterACrash) {
  ASSERT_TRUE(Start()) << Log();
  ASSERT_NE(Ask("<roCreate><roID>T</roID><roEdStart>" + LocalTimeIn(5) +
                "</roEdStart><roTrigger>TIMED</roTrigger>" + Story("A") + "</roCreate>")
                .find("OK"),
            std::string::npos);
  ASSERT_NE(Ask("<roCreate><roID>Passed</roID><roEdStart>" + LocalTimeIn(1) +
                "</roEdStart><roTrigger>TIMED</roTrigger>" + Story("B") + "</roCreate>")
                .find("OK"),
            std::string::npos);
  Kill(SIGKILL);
  std::this_thread::sleep_for(1500ms);  // the second start passes while the server is down
  ASSERT_TRUE(Start()) << Log();
  EXPECT_TRUE(WaitUntil(
      [&] {
        return Ask("<roCtrl><roID>T</roID></roCtrl>").find("<status>PLAY</status>") !=
               std::string::npos;
      },
      15s))
      << Log();
  EXPECT_TRUE(Logged("VIDRA - running order Passed was TIMED for "));
  EXPECT_EQ(Ask("<roCtrl><roID>Passed</roID></roCtrl>").find("<status>PLAY</status>"),
            std::string::npos)
      << "a start that passed while the server was down is not played late";
}

TEST_F(Durable, AnEditSentAgainIsAppliedOnceAlsoAcrossARestart) {
  ASSERT_TRUE(Start()) << Log();
  ASSERT_NE(Ask("<roCreate><roID>R</roID>" + Story("A") + "</roCreate>").find("OK"),
            std::string::npos);
  const std::string insert =
      "<roElementAction operation=\"INSERT\"><roID>R</roID><element_source>" + Story("N") +
      "</element_source></roElementAction>";
  const std::string first = Ask(insert, "77");
  EXPECT_NE(first.find("<roStatus>OK</roStatus>"), std::string::npos);
  EXPECT_EQ(Ask(insert, "77"), first) << "the same answer again";
  EXPECT_EQ(Order("R"), "A:A1 N:N1");
  EXPECT_TRUE(Logged("VIDRA - roElementAction with messageID 77 from 127.0.0.1 was sent again"));
  const std::string other = Ask(insert, "78");
  EXPECT_NE(other.find("NACK duplicate ID N"), std::string::npos)
      << "another messageID is another message";
  Kill(SIGKILL);

  ASSERT_TRUE(Start()) << Log();
  EXPECT_EQ(Ask(insert, "77"), first) << "remembered across the restart";
  EXPECT_EQ(Order("R"), "A:A1 N:N1");
}

TEST_F(Durable, FilesThatCannotBeUsedStopTheStartAndAreLeftAlone) {
  std::filesystem::create_directories(Folder(errors_) + "/state");
  const std::string garbage(4096, 'x');
  std::ofstream(Database(), std::ios::binary) << garbage;
  EXPECT_FALSE(Start());
  EXPECT_EQ(server_->Wait(), 1);
  EXPECT_NE(Log().find("VIDRA - the state database " + Database() +
                       " is not an SQLite database (file is not a database)"),
            std::string::npos)
      << Log();
  EXPECT_NE(Log().find("InitMOSSrv failed with 0x80004005 (E_FAIL)"), std::string::npos);
  EXPECT_EQ(ReadFile(Database()), garbage) << "never overwritten";
}

TEST_F(Durable, ASecondServerOnTheSameDatabaseSaysWhoHasIt) {
  ASSERT_TRUE(Start()) << Log();
  const pid_t first = server_->Pid();
  TempFile errors("", "stderr.txt");
  ServerProcess second({"--config", settings_->Path(), "--autostart"}, errors.Path());
  EXPECT_EQ(second.Wait(), 1);
  EXPECT_NE(ReadFile(errors.Path())
                .find("the state database " + Database() +
                      " is in use by another server (process " + std::to_string(first) + ")"),
            std::string::npos)
      << ReadFile(errors.Path());
  EXPECT_NE(Ask("<heartbeat/>").find("<heartbeat>"), std::string::npos) << "the first serves on";
}

TEST_F(Durable, AFullDiskRefusesTheEditAndTheNextOneIsTriedAgain) {
  ASSERT_TRUE(Start(2 << 20)) << Log();
  ASSERT_NE(Ask("<roCreate><roID>Small</roID>" + Story("A") + "</roCreate>").find("OK"),
            std::string::npos);
  const std::string big =
      "<roCreate><roID>Big</roID><mosExternalMetadata><mosSchema>s</mosSchema>"
      "<mosPayload>" +
      std::string(3 << 20, 'b') + "</mosPayload></mosExternalMetadata></roCreate>";
  const std::string refused = Ask(big);
  EXPECT_NE(refused.find("<roStatus>NACK not saved: "), std::string::npos)
      << refused.substr(0, 300);
  EXPECT_NE(Ask("<roReq><roID>Big</roID></roReq>").find("NACK unknown roID"), std::string::npos)
      << "memory is as it was";
  EXPECT_TRUE(Logged("cannot be written"));
  EXPECT_NE(Ask("<roStoryAppend><roID>Small</roID>" + Story("B") + "</roStoryAppend>")
                .find("<roStatus>OK</roStatus>"),
            std::string::npos)
      << "the next edit that fits is saved";
  EXPECT_TRUE(Logged("is written again"));
  Kill(SIGTERM);
  ASSERT_TRUE(Start()) << Log();
  EXPECT_EQ(Order("Small"), "A:A1 B:B1");
}

// An NRCS that holds running order R1 (TIMED a few seconds ahead) and answers the server's
// roReqAll and roReq for it on its own upper port.
TEST_F(Durable, RunningOrdersLostWithTheDatabaseComeBackFromTheNrcsAndPlay) {
  TestListener nrcsUpper;
  notices_.Release();
  const std::string start = LocalTimeIn(6);
  std::atomic<bool> listening{true};
  std::atomic<int> asked{0};
  std::thread nrcs([&] {
    TestPeer connection;
    if (!nrcsUpper.Accept(connection, 20s)) {
      return;
    }
    while (listening) {
      const std::string message = Utf16ToUtf8(connection.ReceiveMessage(true, 200ms));
      if (message.empty()) {
        continue;
      }
      const auto idAt = message.find("<messageID>");
      const std::string id = message.substr(idAt + 11, message.find("</messageID>") - idAt - 11);
      std::string body = "<roAck><roID></roID><roStatus>OK</roStatus></roAck>";
      if (message.find("<roReqAll>") != std::string::npos) {
        ++asked;
        body = "<roListAll><ro><roID>R1</roID><roSlug>From the NRCS</roSlug></ro></roListAll>";
      } else if (message.find("<roReq>") != std::string::npos) {
        ++asked;
        body = "<roList><roID>R1</roID><roSlug>From the NRCS</roSlug><roEdStart>" + start +
               "</roEdStart><roTrigger>TIMED</roTrigger>" + Story("A") + "</roList>";
      }
      connection.Send(Utf16Bytes(Utf8ToUtf16(Envelope(id, body)), true));
    }
  });
  const std::string settings = SettingsText();
  settings_ = std::make_unique<TempFile>(settings.substr(0, settings.find("NrcsUpperPort")) +
                                         "NrcsUpperPort = " + std::to_string(nrcsUpper.Port()) +
                                         "\n[State]\nDatabase = " + Database() + "\n");
  server_ = std::make_unique<ServerProcess>(
      std::vector<std::string>{"--config", settings_->Path(), "--autostart"}, errors_.Path());
  ASSERT_TRUE(WaitUntil([&] { return peer_.Connect(upper_.Port()); }, 20s)) << Log();
  EXPECT_TRUE(WaitUntil([&] { return asked >= 2; }, 15s)) << Log();
  EXPECT_TRUE(WaitUntil(
      [&] {
        return Ask("<roCtrl><roID>R1</roID></roCtrl>").find("<status>PLAY</status>") !=
               std::string::npos;
      },
      20s))
      << Log();
  EXPECT_TRUE(Logged("VIDRA - running order R1 from NRCS 127.0.0.1 is stored"));
  listening = false;
  nrcs.join();
  // An edit for a running order the server lacks is refused and the NRCS asked for it.
  EXPECT_NE(Ask("<roStoryDelete><roID>R9</roID><storyID>A</storyID></roStoryDelete>")
                .find("NACK unknown roID"),
            std::string::npos);
  EXPECT_TRUE(WaitUntil(
      [&] {
        return Log().find(
                   "VIDRA - running order R9 is not held: NRCS 127.0.0.1 is asked for "
                   "it") != std::string::npos;
      },
      5s));
}

}  // namespace
}  // namespace vidra::test
