// The real server on a gstreamer channel: a running order from the NRCS simulator is played
// on a live output in real time, with every notice, and written to its playlist at the end.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "tests/integration/Processes.h"

namespace vidra::test {
namespace {

using namespace std::chrono_literals;

TEST(GstServer, ARunningOrderPlaysOnALiveOutputFromCreateToPlaylist) {
  TempFile errors("", "stderr.txt");
  FreePort lower;
  FreePort upper;
  FreePort notices;
  TempFile settings(
      Settings(lower.Port(), upper.Port(),
               "Path = " VIDRA_SOURCE_DATA "/media/\nAirx = " + Folder(errors) + "/\n",
               "gstreamer 320x180@25 fakesink sync=true fakesink sync=true") +
      "NrcsUpperPort = " + std::to_string(notices.Port()) + "\n");
  lower.Release();
  upper.Release();
  notices.Release();
  ServerProcess server({"--config", settings.Path(), "--autostart"}, errors.Path());
  ASSERT_TRUE(WaitUntil(
      [&] {
        return RunTool(VIDRA_CTL_PATH, {"--control", server.ControlPath(), "state"}).out ==
               "3 Ready\n";
      },
      20s))
      << ReadFile(errors.Path());

  // The sample running order: opener.wav (2 s), then sting.wav (1 s), chained.
  const ToolRun run = RunTool(VIDRA_NRCS_PATH, {"--lower", std::to_string(lower.Port()), "--upper",
                                                std::to_string(upper.Port()), "--notice-port",
                                                std::to_string(notices.Port()), "create", "wait:1",
                                                "execute", "--wait", "5"});
  EXPECT_EQ(run.status, 0) << run.err;
  const std::string log = ReadFile(errors.Path());
  EXPECT_NE(run.out.find("<status>PLAY</status>"), std::string::npos) << run.out << log;
  EXPECT_NE(run.out.find("<status>STOP</status>"), std::string::npos) << run.out;
  EXPECT_NE(log.find("PlayVideo at "), std::string::npos) << log;
  EXPECT_EQ(log.find("GStreamer clip"), std::string::npos) << "no clip failed:\n" << log;
  EXPECT_EQ(log.find("GStreamer output"), std::string::npos) << "the output ran:\n" << log;
  EXPECT_EQ(log.find("Timeout"), std::string::npos) << "every notice was acknowledged";

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0) << ReadFile(errors.Path());
  const std::string playlist = ReadFile(Folder(errors) + "/NEWS.airx");
  EXPECT_NE(Utf16FromBytes(playlist, false).find(u"opener.wav\""), std::u16string::npos);
}

}  // namespace
}  // namespace vidra::test
