// The real vidra-server executable: started with --autostart on a settings file, it serves
// its ports and stops cleanly on SIGTERM; failures name the step and the result code.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/Text.h"
#include "tests/integration/Processes.h"

namespace vidra::test {
namespace {

using namespace std::chrono_literals;

TEST(ServerProcess, ServesItsPortsAndStopsCleanlyOnSigterm) {
  FreePort lower;
  FreePort upper;
  TempFile settings(Settings(lower.Port(), upper.Port()));
  lower.Release();
  upper.Release();
  TempFile errors("", "stderr.txt");
  ServerProcess server({"--config", settings.Path(), "--autostart"}, errors.Path());

  TestPeer peer;
  ASSERT_TRUE(WaitUntil([&] { return peer.Connect(lower.Port()); })) << ReadFile(errors.Path());
  ASSERT_TRUE(peer.Send(Utf16Bytes(u"<mos><heartbeat/></mos>", true)));
  EXPECT_NE(
      Utf16FromBytes(peer.ReceiveUntil([](const std::string& s) { return s.size() >= 40; }), true)
          .find(u"<heartbeat><time>"),
      std::u16string::npos)
      << "answered";
  TestPeer upperPeer;
  ASSERT_TRUE(WaitUntil([&] { return upperPeer.Connect(upper.Port()); }));
  ASSERT_TRUE(WaitUntil([&] {
    return ReadFile(errors.Path()).find("Thread for client on up port is created") !=
           std::string::npos;
  }));

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0);
  EXPECT_TRUE(peer.WaitClosed());
  const std::string log = ReadFile(errors.Path());
  EXPECT_NE(log.find("<mos><heartbeat/></mos>"), std::string::npos);
  const auto stopped = log.find("CycleContinuation is Done");
  ASSERT_NE(stopped, std::string::npos) << log;
  EXPECT_NE(log.find("icon should be grayed", stopped), std::string::npos);
  EXPECT_FALSE(peer.Connect(lower.Port())) << "the port is closed";
}

TEST(ServerProcess, FailedStepsAreNamedWithTheirResultCode) {
  TempFile bad("[Network]\nLowerPort = 99999\n");
  TempFile errors("", "stderr.txt");
  {
    ServerProcess server({"--config", bad.Path(), "--autostart"}, errors.Path());
    EXPECT_EQ(server.Wait(), 1);
  }
  std::string log = ReadFile(errors.Path());
  EXPECT_NE(log.find("[Network] LowerPort = '99999' is not a whole number"), std::string::npos)
      << log;
  EXPECT_NE(log.find("vidra-server: InitMOSSrv failed with 0x80004005 (E_FAIL)"),
            std::string::npos);

  FreePort busy;  // still listening: the server's bind must fail
  FreePort upper;
  TempFile taken(Settings(busy.Port(), upper.Port()));
  upper.Release();
  {
    ServerProcess server({"--config", taken.Path(), "--autostart"}, errors.Path());
    EXPECT_EQ(server.Wait(), 1);
  }
  log = ReadFile(errors.Path());
  EXPECT_NE(log.find("Address already in use"), std::string::npos) << log;
  EXPECT_NE(log.find("some exeption in StartTowork"), std::string::npos);
  EXPECT_NE(log.find("vidra-server: StartToWork failed with 0x80004005 (E_FAIL)"),
            std::string::npos);
}

TEST(ServerProcess, RejectsAMissingSettingsFileAndReportsItsVersion) {
  TempFile errors("", "stderr.txt");
  {
    ServerProcess server({"--config", "/nonexistent/vidra.ini", "--autostart"}, errors.Path());
    EXPECT_NE(server.Wait(), 0);
  }
  EXPECT_NE(ReadFile(errors.Path()).find("/nonexistent/vidra.ini"), std::string::npos);
  {
    ServerProcess server({"--version"}, errors.Path());
    EXPECT_EQ(server.Wait(), 0);
  }
}

// A TIMED running order sent over the wire is checked against a real media file, played on
// its virtual channel at its time, and written to the channel's playlist at shutdown.
TEST(ServerProcess, PlaysATimedRunningOrderAndWritesItsPlaylist) {
  TempFile errors("", "stderr.txt");
  const std::string folder = std::filesystem::path(errors.Path()).parent_path().string() + "/";
  std::filesystem::copy_file(std::string(VIDRA_SOURCE_DATA) + "/media/opener.wav",
                             folder + "opener.wav");
  FreePort lower;
  FreePort upper;
  TempFile settings("[VIDRAServer]\nPath = " + folder + "\nAirx = " + folder +
                    "\nChannelCount = 1\nCHANNEL_NAME1 = NEWS\nCHANNEL_PLAYER1 = out1\n"
                    "[Devices]\nout1 = virtual 25\n[Network]\nListenAddress = 127.0.0.1\n"
                    "LowerPort = " +
                    std::to_string(lower.Port()) +
                    "\nQueryPort = 0\nUpperPort = " + std::to_string(upper.Port()) + "\n");
  lower.Release();
  upper.Release();
  ServerProcess server({"--config", settings.Path(), "--autostart"}, errors.Path());
  TestPeer peer;
  ASSERT_TRUE(WaitUntil([&] { return peer.Connect(lower.Port()); })) << ReadFile(errors.Path());

  const std::time_t at = std::time(nullptr) + 3;
  std::tm local{};
  localtime_r(&at, &local);
  char start[32];
  std::strftime(start, sizeof start, "%Y-%m-%dT%H:%M:%S", &local);
  const std::string create =
      std::string(
          "<mos><mosID>VIDRA.NEWS</mosID><ncsID>NCS</ncsID><messageID>1</messageID>"
          "<roCreate><roID>RO1</roID><roSlug>Evening</roSlug><roEdStart>") +
      start +
      "</roEdStart><roTrigger>TIMED</roTrigger><story><storyID>A</storyID><storySlug>Open"
      "</storySlug><item><itemID>1</itemID><objID>O1</objID><mosID>VIDRA</mosID><objPaths>"
      "<objPath>opener.wav</objPath></objPaths></item></story></roCreate></mos>";
  ASSERT_TRUE(peer.Send(Utf16Bytes(Utf8ToUtf16(create), true)));
  const std::u16string ack = peer.ReceiveMessage(true);
  EXPECT_NE(ack.find(u"<status>NEW</status>"), std::u16string::npos);
  ASSERT_TRUE(WaitUntil(
      [&] { return ReadFile(errors.Path()).find("Action = PLAY (hres=0x0)") != std::string::npos; },
      15s))
      << ReadFile(errors.Path());

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0);
  const std::string playlist = ReadFile(folder + "NEWS.airx");
  const std::u16string text = Utf16FromBytes(playlist.substr(2), false);
  EXPECT_EQ(playlist.substr(0, 2), "\xFF\xFE");
  EXPECT_NE(text.find(u"<movie file=\"" + Utf8ToUtf16(folder) +
                      u"opener.wav\" duration=\"00:00:02.00\" markin=\"00:00:00.00\" />\r\n"),
            std::u16string::npos)
      << Utf16ToUtf8(text);
  EXPECT_NE(text.find(u"<comment title=\"Story : Open\" />\r\n"), std::u16string::npos);
  // Played, the running order is MANUAL now.
  EXPECT_NE(text.find(u"<wait start=\"operator\" title=\"Evening\" />"), std::u16string::npos);
}

}  // namespace
}  // namespace vidra::test
