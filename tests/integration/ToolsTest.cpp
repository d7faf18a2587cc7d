// The host's tools end to end: vidra-server's control socket driven by vidractl and by a
// raw controller, vidra-nrcs playing a running order and acknowledging its notices, and
// the service files written and removed.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "host/ControlClient.h"
#include "tests/integration/Processes.h"

namespace vidra::test {
namespace {

using nlohmann::json;

using namespace std::chrono_literals;
namespace fs = std::filesystem;

ToolRun Ctl(const std::string& control, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"--control", control});
  return RunTool(VIDRA_CTL_PATH, arguments);
}

bool ControlUp(const std::string& control) {
  return WaitUntil([&] { return Ctl(control, {"state"}).status == 0; }, 20s);
}

TEST(Tools, AControllerDrivesTheServerThroughItsStates) {
  FreePort lower;
  FreePort upper;
  TempFile settings(Settings(lower.Port(), upper.Port()));
  lower.Release();
  upper.Release();
  TempFile errors("", "stderr.txt");
  const std::string control = Folder(errors) + "/not/yet/there/control.sock";
  ServerProcess server({"--config", settings.Path(), "--control", control}, errors.Path());
  ASSERT_TRUE(ControlUp(control)) << ReadFile(errors.Path());
  EXPECT_EQ(fs::status(control).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::group_write);

  EXPECT_EQ(Ctl(control, {"state"}).out,
            "Uninitialized (MOS state 0), stopped, link: STOPPED, 0 alarm(s)\n")
      << "the host never inits alone";
  EXPECT_EQ(Ctl(control, {"readiness"}).out, "the server is not initialised: no channels yet\n");
  ToolRun run = Ctl(control, {"init"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "InitMOSSrv: 0x00000000 (S_OK)\n");
  run = Ctl(control, {"init"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "InitMOSSrv: 0x8000FFFF (E_UNEXPECTED)\n");
  EXPECT_EQ(Ctl(control, {"state"}).out,
            "Ready (MOS state 3), initialised, link: INITIALISED, 0 alarm(s)\n");
  EXPECT_EQ(Ctl(control, {"readiness"}).out, "channel NEWS\n  no running order\n");
  EXPECT_EQ(Ctl(control, {"start"}).status, 0);

  run = RunTool(VIDRA_NRCS_PATH,
                {"--lower", std::to_string(lower.Port()), "--notice-port", "0", "heartbeat"});
  EXPECT_EQ(run.status, 0) << run.err;
  // The answer echoes the run's own messageID (each run numbers from a base of its own).
  const std::size_t sent = run.out.find("->lower <mos><mosID>VIDRA.NEWS</mosID><ncsID>NCS</ncsID>");
  ASSERT_NE(sent, std::string::npos) << run.out;
  const std::string id = run.out.substr(sent, run.out.find("</messageID>", sent) - sent);
  EXPECT_NE(run.out.find("<-lower" + id.substr(7) + "</messageID><heartbeat><time>"),
            std::string::npos)
      << run.out;
  // vidra-nrcs has gone: the link is lost, and the state says so beside Active.
  const std::string lost = "Active (MOS state 2), serving, link: NRCS LOST, 1 alarm(s)\n";
  EXPECT_TRUE(WaitUntil([&] { return Ctl(control, {"state"}).out == lost; }))
      << Ctl(control, {"state"}).out;
  json state = json::parse(Ctl(control, {"state", "--json"}).out);
  EXPECT_EQ(state["state"], "Active");
  EXPECT_EQ(state["stateNumber"], 2);
  EXPECT_EQ(state["link"], "NRCS LOST");
  run = Ctl(control, {"onair"});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("Active, serving, link NRCS LOST\n  ! NRCS 127.0.0.1 is not connected\n"
                         "NEWS\n  nothing on air\n"),
            std::string::npos)
      << run.out;
  const json onair = json::parse(Ctl(control, {"onair", "--json"}).out);
  EXPECT_EQ(onair["channels"][0]["name"], "NEWS");
  EXPECT_TRUE(onair["channels"][0]["onAir"].is_null());
  EXPECT_EQ(onair["links"][0]["host"], "127.0.0.1");
  EXPECT_EQ(onair["links"][0]["status"], "lost");
  EXPECT_GE(onair["links"][0]["lastHeartbeatAgeSeconds"].get<double>(), 0.0);
  const json sheet = json::parse(Ctl(control, {"readiness", "--json"}).out);
  EXPECT_EQ(sheet["channels"][0]["name"], "NEWS");

  run = Ctl(control, {"journal"});
  EXPECT_EQ(run.status, 0);
  const auto newline = run.out.find('\n');
  ASSERT_NE(newline, std::string::npos);
  const std::string first = run.out.substr(0, newline);
  // Station time with its offset, as everywhere: 2026-12-10T12:00:00.000+01:00.
  EXPECT_TRUE(first.size() > 30 && (first[23] == '+' || first[23] == '-') && first[26] == ':' &&
              first.compare(29, 11, " in client ") == 0)
      << run.out;
  EXPECT_NE(first.find("<heartbeat/></mos>"), std::string::npos);
  EXPECT_NE(run.out.find(" out client ", newline), std::string::npos);
  EXPECT_EQ(Ctl(control, {"message", "0"}).out, run.out.substr(0, newline + 1));
  const json entry = json::parse(Ctl(control, {"message", "0", "--json"}).out);
  EXPECT_EQ(entry["number"], 0);
  EXPECT_EQ(entry["direction"], "in");
  EXPECT_EQ(entry["time"], first.substr(0, 29));
  run = Ctl(control, {"journal", "--json"});
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 2) << "one JSON object a line";
  EXPECT_EQ(json::parse(run.out.substr(run.out.find('\n') + 1))["direction"], "out");
  run = Ctl(control, {"message", "9"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "no such entry: 9 (the journal holds entries 0 to 1)\n");

  EXPECT_EQ(Ctl(control, {"stop"}).status, 0);
  EXPECT_EQ(Ctl(control, {"deinit"}).status, 0);
  EXPECT_EQ(Ctl(control, {"state"}).out,
            "Uninitialized (MOS state 0), stopped, link: STOPPED, 0 alarm(s)\n");
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0);
  EXPECT_FALSE(fs::exists(control)) << "the socket file leaves with the server";
  run = Ctl(control, {"state"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("no vidra-server answers on " + control), std::string::npos);
}

TEST(Tools, ALeftoverSocketIsReplacedAndALiveOneRefused) {
  TempFile errors("", "stderr.txt");
  const std::string control = Folder(errors) + "/control.sock";
  {
    const int leftover = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    control.copy(address.sun_path, control.size());
    ASSERT_EQ(::bind(leftover, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(leftover);  // as a server that was killed leaves it
  }
  ServerProcess first({"--control", control}, errors.Path());
  ASSERT_TRUE(ControlUp(control)) << ReadFile(errors.Path());
  EXPECT_NE(ReadFile(errors.Path()).find("a leftover control socket " + control + " is replaced"),
            std::string::npos);

  TempFile secondErrors("", "stderr.txt");
  ServerProcess second({"--control", control}, secondErrors.Path());
  EXPECT_EQ(second.Wait(), 1);
  EXPECT_NE(ReadFile(secondErrors.Path())
                .find("another vidra-server is serving the control socket " + control),
            std::string::npos);
  EXPECT_EQ(Ctl(control, {"state"}).status, 0) << "the first one still serves";

  ServerProcess regular({"--control", errors.Path()}, secondErrors.Path());
  EXPECT_EQ(regular.Wait(), 1);
  EXPECT_NE(ReadFile(secondErrors.Path()).find("exists and is not a socket"), std::string::npos);
  ServerProcess blocked({"--control", errors.Path() + "/sub/control.sock"}, secondErrors.Path());
  EXPECT_EQ(blocked.Wait(), 1);
  EXPECT_NE(ReadFile(secondErrors.Path()).find("cannot create the folder"), std::string::npos);
}

TEST(Tools, BadControlLinesAreAnsweredAndTheConnectionStays) {
  TempFile errors("", "stderr.txt");
  ServerProcess server({}, errors.Path());
  ASSERT_TRUE(ControlUp(server.ControlPath())) << ReadFile(errors.Path());
  ControlClient a;
  ControlClient b;
  std::string error;
  ASSERT_TRUE(a.Connect(server.ControlPath(), error)) << error;
  ASSERT_TRUE(b.Connect(server.ControlPath(), error)) << error;
  const auto hrOf = [](const std::optional<std::string>& line) {
    return line ? nlohmann::json::parse(*line).value("hr", 1) : 1;
  };
  constexpr int kInvalidArg = static_cast<int>(0x80070057u);
  EXPECT_EQ(hrOf(a.CallLine("garbage", error, 5s)), kInvalidArg);
  EXPECT_EQ(hrOf(b.CallLine(R"({"op":"GetStateMOSSrv"})", error, 5s)), 0) << "two controllers";
  const auto oversized = a.CallLine(std::string((1 << 20) + 10, 'x'), error, 5s);
  ASSERT_TRUE(oversized) << error;
  EXPECT_NE(oversized->find("limited to 1048576 bytes"), std::string::npos);
  EXPECT_EQ(hrOf(a.CallLine(R"({"op":"GetStateMOSSrv"})", error, 5s)), 0)
      << "the next line on the same connection is served";
  {
    ControlClient gone;  // sends a call and goes away before the answer
    ASSERT_TRUE(gone.Connect(server.ControlPath(), error));
    static_cast<void>(gone.CallLine(R"({"op":"GetStateMOSSrv"})", error, 0ms));
  }
  EXPECT_EQ(hrOf(b.CallLine(R"({"op":"GetMessageCount"})", error, 5s)), 0);
  server.Signal(SIGINT);
  EXPECT_EQ(server.Wait(), 0);
}

TEST(Tools, TheSimulatorPlaysARunningOrderAndAcknowledgesEveryNotice) {
  TempFile errors("", "stderr.txt");
  FreePort lower;
  FreePort upper;
  FreePort notices;
  TempFile settings(
      Settings(lower.Port(), upper.Port(),
               "Path = " VIDRA_SOURCE_DATA "/media/\nAirx = " + Folder(errors) + "/\n") +
      "NrcsUpperPort = " + std::to_string(notices.Port()) + "\n");
  lower.Release();
  upper.Release();
  notices.Release();
  ServerProcess server({"--config", settings.Path(), "--autostart"}, errors.Path());
  ASSERT_TRUE(ControlUp(server.ControlPath()));
  ASSERT_TRUE(WaitUntil([&] {
    return Ctl(server.ControlPath(), {"state"}).out.rfind("Ready (MOS state 3)", 0) == 0;
  }));

  const ToolRun run = RunTool(VIDRA_NRCS_PATH, {"--lower", std::to_string(lower.Port()), "--upper",
                                                std::to_string(upper.Port()), "--notice-port",
                                                std::to_string(notices.Port()), "--little-endian",
                                                "create", "wait:1", "execute", "--wait", "4"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("<status>PLAY</status>"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("</messageID><roAck><roID>VIDRA-DEMO</roID><roStatus>OK</roStatus>"),
            std::string::npos);
  // The media check's first verdicts come first; then the server asks once.
  const std::size_t asked = run.out.find("<roReqAll></roReqAll></mos>\n->notice <mos>");
  ASSERT_NE(asked, std::string::npos)
      << "the first connection since the start asks for the running orders the NRCS holds";
  const std::string answer = run.out.substr(asked, run.out.find('\n', asked + 30) - asked);
  EXPECT_NE(answer.find("</messageID><roListAll></roListAll></mos>"), std::string::npos) << answer;
  EXPECT_NE(run.out.find("<itemID>1</itemID><objID>OPENER</objID><status>READY</status>"),
            std::string::npos)
      << "the media check's verdict is told before the item is cued";
  EXPECT_EQ(ReadFile(errors.Path()).find("Timeout"), std::string::npos)
      << "every notice was acknowledged";

  server.Signal(SIGTERM);
  server.Signal(SIGTERM);  // a second one while stopping changes nothing
  EXPECT_EQ(server.Wait(), 0);
  const std::string playlist = ReadFile(Folder(errors) + "/NEWS.airx");
  EXPECT_NE(Utf16FromBytes(playlist, false).find(u"opener.wav\" duration=\"00:00:02.00\""),
            std::u16string::npos);
}

// Under systemd (Type=notify) the server says when it serves and when it stops.
TEST(Tools, SystemdHearsReadyOnceThePortsListenAndStoppingAtTheEnd) {
  TempFile errors("", "stderr.txt");
  const std::string notify = Folder(errors) + "/notify.sock";
  const int listener = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  notify.copy(address.sun_path, notify.size());
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  const auto next = [listener] {
    pollfd entry{listener, POLLIN, 0};
    char text[256] = {};
    if (::poll(&entry, 1, 20000) <= 0 || ::recv(listener, text, sizeof text - 1, 0) <= 0) {
      return std::string();
    }
    return std::string(text);
  };
  FreePort lower;
  FreePort upper;
  TempFile settings(Settings(lower.Port(), upper.Port()));
  lower.Release();
  upper.Release();
  ::setenv("NOTIFY_SOCKET", notify.c_str(), 1);
  ServerProcess server({"--config", settings.Path(), "--autostart"}, errors.Path());
  ::unsetenv("NOTIFY_SOCKET");
  EXPECT_EQ(next(), "READY=1");
  TestPeer peer;
  EXPECT_TRUE(peer.Connect(lower.Port())) << "listening when ready";
  server.Signal(SIGTERM);
  EXPECT_EQ(next(), "STOPPING=1");
  EXPECT_EQ(server.Wait(), 0);
  ::close(listener);
}

TEST(Tools, TheJournalCanBeFollowed) {
  FreePort lower;
  FreePort upper;
  TempFile settings(Settings(lower.Port(), upper.Port()));
  lower.Release();
  upper.Release();
  TempFile errors("", "stderr.txt");
  ServerProcess server({"--config", settings.Path(), "--autostart"}, errors.Path());
  ASSERT_TRUE(ControlUp(server.ControlPath()));
  ASSERT_TRUE(WaitUntil([&] {
    return Ctl(server.ControlPath(), {"state"}).out.rfind("Ready (MOS state 3)", 0) == 0;
  }));
  std::thread nrcs([&] {
    std::this_thread::sleep_for(500ms);  // the follower has printed the empty journal by then
    for (const char* step : {"heartbeat", "machinfo"}) {
      RunTool(VIDRA_NRCS_PATH,
              {"--lower", std::to_string(lower.Port()), "--notice-port", "0", step});
    }
  });
  const ToolRun run =
      RunTool(VIDRA_CTL_PATH,
              {"--control", server.ControlPath(), "journal", "--follow", "--interval", "50"}, 3s);
  nrcs.join();
  EXPECT_EQ(run.status, -1) << "it follows until stopped";
  EXPECT_NE(run.out.find("<heartbeat/></mos>\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("<reqMachInfo/></mos>\n"), std::string::npos);
  EXPECT_EQ(run.out.find("<heartbeat/>"), run.out.rfind("<heartbeat/>")) << "each entry once";
}

TEST(Tools, TheServiceIsInstalledAndRemovedIdempotently) {
  TempFile marker("", "unused");
  const std::string root = Folder(marker) + "/root";
  const std::string unit = root + "/etc/systemd/system/vidra-server.service";
  const std::string settings = root + "/etc/vidra/vidra.ini";
  ToolRun run = RunTool(VIDRA_SERVER_PATH, {"--install-service", "--install-root", root});
  EXPECT_EQ(run.status, 0) << run.err;
  const std::string text = ReadFile(unit);
  EXPECT_NE(text.find(std::string("ExecStart=") + VIDRA_SERVER_PATH +
                      " --config /etc/vidra/vidra.ini --autostart\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Type=notify"), std::string::npos);
  EXPECT_NE(ReadFile(settings).find("Path = /srv/vidra/media/"), std::string::npos);
  EXPECT_TRUE(fs::is_directory(root + "/var/lib/vidra/playlists"));
  run = RunTool(VIDRA_SERVER_PATH, {"--install-service", "--install-root", root});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("is installed already"), std::string::npos);

  std::ofstream(settings, std::ios::app) << "; the station's own change\n";
  run = RunTool(VIDRA_SERVER_PATH, {"--uninstall-service", "--install-root", root});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(fs::exists(unit));
  EXPECT_TRUE(fs::exists(settings)) << "settings a station changed are kept";
  run = RunTool(VIDRA_SERVER_PATH, {"--uninstall-service", "--install-root", root});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("is not installed"), std::string::npos);
}

}  // namespace
}  // namespace vidra::test
