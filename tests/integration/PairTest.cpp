// Two real servers on loopback as a main/backup pair, each with its own ports and database:
// the backup refuses the NRCS and names its main, holds every edit the main answered, takes
// over when told (the NRCS sending again what it had no answer for gets it applied once), a
// main that comes back steps down to the higher epoch and catches up, a backup that was away
// is brought up to date, the backup plays on the main's frames, and peers that do not fit are
// refused with a reason.
#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "common/Text.h"
#include "host/NrcsSimulator.h"
#include "tests/integration/Processes.h"

namespace vidra::test {
namespace {

using namespace std::chrono_literals;

bool Ok(const std::string& answer) {
  return answer.find("<roStatus>OK</roStatus>") != std::string::npos;
}

// One server of the pair: its ports, database, log and process.
struct Node {
  explicit Node(std::string nodeName) : name(std::move(nodeName)) {
    lower.Release();
    upper.Release();
    link.Release();
  }
  std::string Database() const { return Folder(errors) + "/state/" + name + ".db"; }
  bool Start(const std::string& role, std::uint16_t peerLink, const std::string& channel = "NEWS",
             const std::string& more = "") {
    std::string text = Settings(lower.Port(), upper.Port(), "Path = " + media + "\n") +
                       "[State]\nDatabase = " + Database() + "\n[Pair]\nRole = " + role +
                       "\nPeer = 127.0.0.1:" + std::to_string(peerLink) +
                       "\nPort = " + std::to_string(link.Port()) + "\n" + more;
    if (const auto at = text.find("CHANNEL_NAME1 = NEWS"); channel != "NEWS") {
      text.replace(at, 20, "CHANNEL_NAME1 = " + channel);
    }
    settings = std::make_unique<TempFile>(text);
    process = std::make_unique<ServerProcess>(
        std::vector<std::string>{"--config", settings->Path(), "--autostart"}, errors.Path());
    peer.Close();
    return WaitUntil([&] { return peer.Connect(upper.Port()) || process->Wait(0ms) != -1; }, 20s) &&
           process->Wait(0ms) == -1;
  }
  void Kill(int signal) {
    process->Signal(signal);
    EXPECT_EQ(process->Wait(), signal == SIGKILL ? 128 + SIGKILL : 0);
    peer.Close();
  }
  std::string Send(const std::string& id, const std::string& body) {
    if (!peer.Send(Utf16Bytes(Utf8ToUtf16(Envelope(id, body)), true))) {
      return {};
    }
    return Utf16ToUtf8(peer.ReceiveMessage(true, 10s));
  }
  std::string Log() const { return ReadFile(errors.Path()); }
  std::size_t Count(const std::string& text) const {
    const std::string log = Log();
    std::size_t count = 0;
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
      ++count;
    }
    return count;
  }
  bool Logged(const std::string& text, std::chrono::milliseconds within = 10s) const {
    return WaitUntil([&] { return Log().find(text) != std::string::npos; }, within);
  }
  ToolRun Ctl(const std::vector<std::string>& arguments) const {
    std::vector<std::string> all{"--control", process->ControlPath()};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return RunTool(VIDRA_CTL_PATH, all);
  }
  nlohmann::json Pair() const {
    const ToolRun run = Ctl({"state", "--json"});
    const auto state = nlohmann::json::parse(run.out, nullptr, false);
    return state.is_object() ? state.value("pair", nlohmann::json()) : nlohmann::json();
  }
  // The storyIDs of running order R, in order.
  std::vector<std::string> Stories(const std::string& id) {
    pugi::xml_document document;
    document.load_string(Send(id, "<roReq><roID>R</roID></roReq>").c_str());
    std::vector<std::string> stories;
    for (pugi::xml_node s : document.child("mos").child("roList").children("story")) {
      stories.emplace_back(s.child_value("storyID"));
    }
    return stories;
  }

  std::string name;
  std::string media = VIDRA_SOURCE_DATA "/media/";
  FreePort lower;
  FreePort upper;
  FreePort link;
  TempFile errors{"", "stderr.txt"};
  std::unique_ptr<TempFile> settings;
  std::unique_ptr<ServerProcess> process;
  TestPeer peer;
};

std::string Append(int n) {
  return "<roStoryAppend><roID>R</roID>" + Story("S" + std::to_string(n)) + "</roStoryAppend>";
}

class Pair : public ::testing::Test {
 protected:
  // A as main, B as backup, linked and in step; moreB goes into B's settings.
  void StartPair(const std::string& moreB = "") {
    ASSERT_TRUE(b.Start("backup", a.link.Port(), "NEWS", moreB)) << b.Log();
    ASSERT_TRUE(a.Start("main", b.link.Port())) << a.Log();
    ASSERT_TRUE(a.Logged("the backup is in step")) << a.Log() << b.Log();
  }
  Node a{"a"};
  Node b{"b"};
};

TEST_F(Pair, TheBackupRefusesTheNrcsHoldsEveryAnsweredEditAndTakesOverWithoutLosingOne) {
  StartPair();
  const std::string refused = b.Send("1", "<roReq><roID>R</roID></roReq>");
  EXPECT_NE(refused.find("<roStatus>NACK backup: main is 127.0.0.1</roStatus>"), std::string::npos)
      << refused;
  ASSERT_TRUE(Ok(a.Send("2", "<roCreate><roID>R</roID></roCreate>")));

  std::mt19937 random(20261210);
  std::atomic<int> answered{0};
  std::thread burst([&] {
    for (int n = 0; n < 2000; ++n) {
      if (!Ok(a.Send(std::to_string(1000 + n), Append(n)))) {
        return;
      }
      ++answered;
    }
  });
  const int killAt = 100 + static_cast<int>(random() % 300);
  ASSERT_TRUE(WaitUntil([&] { return answered >= killAt; }, 60s));
  a.process->Signal(SIGKILL);
  burst.join();
  EXPECT_EQ(a.process->Wait(), 128 + SIGKILL);
  const int acknowledged = answered;
  ASSERT_LT(acknowledged, 2000) << "the kill came in the middle";

  const ToolRun promoted = b.Ctl({"role", "main"});
  EXPECT_EQ(promoted.status, 0) << promoted.out << promoted.err;
  EXPECT_TRUE(b.Logged("this server is main now (epoch 1)")) << b.Log();
  std::vector<std::string> stories = b.Stories("3");
  ASSERT_GE(stories.size(), static_cast<std::size_t>(acknowledged)) << "no answered edit lost";
  ASSERT_LE(stories.size(), static_cast<std::size_t>(acknowledged) + 1);
  for (std::size_t n = 0; n < stories.size(); ++n) {
    ASSERT_EQ(stories[n], "S" + std::to_string(n)) << "in the main's order";
  }
  // The NRCS had no answer for the edit under way: it sends it again, and it is applied once.
  EXPECT_TRUE(Ok(b.Send(std::to_string(1000 + acknowledged), Append(acknowledged))));
  stories = b.Stories("4");
  EXPECT_EQ(stories.size(), static_cast<std::size_t>(acknowledged) + 1);

  // The old main comes back as main, meets the higher epoch, steps down and catches up.
  ASSERT_TRUE(a.Start("main", b.link.Port())) << a.Log();
  EXPECT_TRUE(a.Logged("steps down to backup")) << a.Log() << b.Log();
  EXPECT_TRUE(b.Logged("the backup is in step")) << b.Log();
  EXPECT_NE(a.Send("5", "<roReq><roID>R</roID></roReq>").find("NACK backup: main is"),
            std::string::npos);
  ASSERT_TRUE(Ok(b.Send("6", Append(5000))));
  // A switch-over the other way: nothing lost either.
  EXPECT_EQ(b.Ctl({"role", "backup"}).status, 0);
  EXPECT_EQ(a.Ctl({"role", "main"}).status, 0);
  stories = a.Stories("7");
  ASSERT_EQ(stories.size(), static_cast<std::size_t>(acknowledged) + 2) << a.Log();
  EXPECT_EQ(stories.back(), "S5000");
  EXPECT_EQ(a.Pair().value("epoch", 0), 2);
}

// Rounds of: a burst of edits (stories appended, the running order made ready to air and not)
// on the main, the main killed at a random moment, the backup promoted, the NRCS sending
// again the message it had no answer for, the killed server back as backup. The model is
// what the NRCS had acknowledged.
TEST_F(Pair, KilledMainsAtRandomMomentsLoseNoAcknowledgedEditAndApplyNoneTwice) {
  StartPair();
  ASSERT_TRUE(Ok(a.Send("1", "<roCreate><roID>R</roID></roCreate>")));
  std::mt19937 random(31);
  Node* main = &a;
  Node* backup = &b;
  int stories = 0;  // acknowledged
  int messageID = 100;
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::atomic<int> acknowledged{stories};
    std::atomic<int> sent{0};
    std::atomic<bool> stop{false};
    std::mutex pendingLock;
    std::pair<std::string, std::string> pending;  // sent, not answered: messageID and body
    bool pendingStory = false;
    std::thread burst([&, main] {
      for (int k = 0; !stop; ++k) {
        const bool story = k % 7 != 3;
        const std::string body = story ? Append(acknowledged)
                                       : "<roReadyToAir><roID>R</roID><roAir>" +
                                             std::string(k % 2 ? "READY" : "NOT READY") +
                                             "</roAir></roReadyToAir>";
        {
          std::lock_guard lock(pendingLock);
          pending = {std::to_string(messageID + k), body};
          pendingStory = story;
        }
        if (!Ok(main->Send(std::to_string(messageID + k), body))) {
          return;
        }
        {
          std::lock_guard lock(pendingLock);
          pending = {};
        }
        acknowledged += story ? 1 : 0;
        ++sent;
      }
    });
    const int killAt = 20 + static_cast<int>(random() % 150);
    ASSERT_TRUE(WaitUntil([&] { return sent >= killAt; }, 60s));
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    main->process->Signal(SIGKILL);
    stop = true;
    burst.join();
    EXPECT_EQ(main->process->Wait(), 128 + SIGKILL);
    messageID += sent + 1;

    const auto promoted = std::chrono::steady_clock::now();
    ASSERT_EQ(backup->Ctl({"role", "main"}).status, 0);
    EXPECT_TRUE(
        backup->Logged("this server is main now (epoch " + std::to_string(round + 1) + ")"));
    std::vector<std::string> held = backup->Stories(std::to_string(++messageID));
    const auto firstAnswer = std::chrono::steady_clock::now() - promoted;
    ASSERT_GE(held.size(), static_cast<std::size_t>(acknowledged.load())) << "none lost";
    ASSERT_LE(held.size(), static_cast<std::size_t>(acknowledged.load()) + 1);
    for (std::size_t n = 0; n < held.size(); ++n) {
      ASSERT_EQ(held[n], "S" + std::to_string(n)) << "in the main's order";
    }
    if (!pending.first.empty()) {
      ASSERT_TRUE(Ok(backup->Send(pending.first, pending.second)))
          << "the message without an answer, sent again";
    }
    stories = acknowledged + (pendingStory && !pending.first.empty() ? 1 : 0);
    held = backup->Stories(std::to_string(++messageID));
    ASSERT_EQ(held.size(), static_cast<std::size_t>(stories)) << "applied once";
    if (std::getenv("VIDRA_PAIR_BENCH") != nullptr) {
      std::printf("failover: from vidractl role main to the new main's first answer %.0f ms\n",
                  std::chrono::duration<double, std::milli>(firstAnswer).count());
      std::fflush(stdout);  // before the next server is forked with this buffer
    }

    // The killed server comes back as backup and is brought up to date.
    const std::size_t inStep = backup->Count("the backup is in step");
    ASSERT_TRUE(main->Start("backup", backup->link.Port())) << main->Log();
    ASSERT_TRUE(WaitUntil([&] { return backup->Count("the backup is in step") > inStep; }, 20s))
        << backup->Log();
    std::swap(main, backup);
  }
}

TEST_F(Pair, ABackupThatWasAwayIsBroughtUpToDateAndTheMainSaysItIsAlone) {
  StartPair();
  ASSERT_TRUE(Ok(a.Send("1", "<roCreate><roID>R</roID></roCreate>")));
  b.Kill(SIGTERM);
  for (int n = 0; n < 50; ++n) {
    ASSERT_TRUE(Ok(a.Send(std::to_string(100 + n), Append(n))));
  }
  const nlohmann::json alone = a.Pair();
  EXPECT_EQ(alone.value("degraded", false), true) << alone.dump();
  EXPECT_EQ(alone.value("link", ""), "down") << alone.dump();

  ASSERT_TRUE(b.Start("backup", a.link.Port())) << b.Log();
  EXPECT_TRUE(b.Logged("the main's copy is here")) << b.Log();
  EXPECT_TRUE(WaitUntil([&] { return !a.Pair().value("degraded", true); }, 10s)) << a.Pair().dump();
  ASSERT_TRUE(Ok(a.Send("200", Append(50))));
  EXPECT_EQ(a.Pair().value("behind", 99), 0) << "the answer came once the backup had it";

  // The link frozen for longer than the silence allowed: the main goes on alone, then brings
  // the backup up from the changes it kept, without a copy.
  b.process->Signal(SIGSTOP);
  ASSERT_TRUE(a.Logged("has not answered for 3 s")) << a.Log();
  for (int n = 51; n < 60; ++n) {
    ASSERT_TRUE(Ok(a.Send(std::to_string(200 + n), Append(n))));
  }
  b.process->Signal(SIGCONT);
  EXPECT_TRUE(WaitUntil([&] { return !a.Pair().value("degraded", true); }, 15s))
      << a.Pair().dump() << a.Log();
  EXPECT_EQ(b.Log().find("the main's copy is here", b.Log().find("the main's copy is here") + 1),
            std::string::npos)
      << "caught up from the kept changes, not by a second copy";

  EXPECT_EQ(a.Ctl({"role", "backup"}).status, 0);
  EXPECT_EQ(b.Ctl({"role", "main"}).status, 0);
  const std::vector<std::string> stories = b.Stories("300");
  ASSERT_EQ(stories.size(), 60u) << b.Log();
  EXPECT_EQ(stories.back(), "S59");
}

// vidra-nrcs pointed at both servers: it follows whichever is main, as the walk-through's
// failover shows.
// The starts a server's output made of story/item ("VIDRA::Player[0] - A/A1 on air from
// 2026-12-10T19:00:03.120"), as milliseconds of the day, in order.
std::vector<std::int64_t> Starts(const Node& node, const std::string& storyItem) {
  const std::string log = node.Log();
  const std::string mark = "VIDRA::Player[0] - " + storyItem + " on air from ";
  std::vector<std::int64_t> starts;
  for (auto at = log.find(mark); at != std::string::npos; at = log.find(mark, at + 1)) {
    int hours = 0;
    int minutes = 0;
    int seconds = 0;
    int millis = 0;
    if (std::sscanf(log.c_str() + at + mark.size(), "%*d-%*d-%*dT%d:%d:%d.%d", &hours, &minutes,
                    &seconds, &millis) == 4) {
      starts.push_back(((hours * 60LL + minutes) * 60 + seconds) * 1000 + millis);
    }
  }
  return starts;
}

// The backup plays what the main plays on the main's frames: a TIMED start and the chain
// after it by themselves, an EXECUTE it hears of late joined at the offset, a STOP followed;
// and taking over leaves what is on air playing.
TEST_F(Pair, TheBackupPlaysInStepWithItsMainAndTakesOverWithoutAGap) {
  // The NRCS's upper port as the backup reaches it: what it is told once it is main.
  TestListener nrcsUpper;
  std::atomic<bool> listening{true};
  std::mutex heardLock;
  std::string heard;  // guarded by heardLock
  std::thread nrcs([&] {
    TestPeer connection;
    if (!nrcsUpper.Accept(connection, 20s)) {
      return;
    }
    while (listening) {
      const std::string message = Utf16ToUtf8(connection.ReceiveMessage(true, 200ms));
      const auto idAt = message.find("<messageID>");
      if (idAt == std::string::npos) {
        continue;
      }
      const std::string id = message.substr(idAt + 11, message.find("</messageID>") - idAt - 11);
      {
        std::lock_guard lock(heardLock);  // heard
        heard += message;
      }
      connection.Send(Utf16Bytes(
          Utf8ToUtf16(Envelope(id, "<roAck><roID></roID><roStatus>OK</roStatus></roAck>")), true));
    }
  });
  // Also when an assertion ends the test early.
  struct EndListening {
    std::atomic<bool>& listening;
    std::thread& thread;
    ~EndListening() {
      listening = false;
      thread.join();
    }
  } endListening{listening, nrcs};
  const auto told = [&](const std::string& text) {
    std::lock_guard lock(heardLock);  // heard
    return heard.find(text) != std::string::npos;
  };
  StartPair("[Network]\nNrcsUpperPort = " + std::to_string(nrcsUpper.Port()) + "\n");
  const auto halfFrame = 20;  // ms at 25 fps
  ASSERT_TRUE(Ok(a.Send("1", "<roCreate><roID>T</roID><roEdStart>" + LocalTimeIn(4) +
                                 "</roEdStart><roTrigger>TIMED</roTrigger>" + Story("A") +
                                 Story("B") + "</roCreate>")));
  ASSERT_TRUE(WaitUntil([&] { return Starts(b, "B/B1").size() == 1; }, 15s)) << b.Log();
  ASSERT_TRUE(WaitUntil([&] { return Starts(a, "B/B1").size() == 1; }, 2s)) << a.Log();
  for (const char* storyItem : {"A/A1", "B/B1"}) {
    SCOPED_TRACE(storyItem);
    ASSERT_EQ(Starts(a, storyItem).size(), 1u);
    ASSERT_EQ(Starts(b, storyItem).size(), 1u);
    EXPECT_LE(std::llabs(Starts(a, storyItem)[0] - Starts(b, storyItem)[0]), halfFrame)
        << "on the same frame";
  }
  // Decided by the backup itself; on a starved machine the main's word of a start may come
  // first, and it is then joined on the same frame all the same.
  EXPECT_NEAR(Starts(b, "B/B1")[0] - Starts(b, "A/A1")[0], 2000, 1) << "the chain";

  // An EXECUTE reaches the backup only as the main's start: joined where the main is.
  ASSERT_TRUE(Ok(a.Send("2",
                        "<roCtrl><roID>T</roID><storyID>A</storyID><itemID>A1</itemID>"
                        "<command>EXECUTE</command></roCtrl>")));
  ASSERT_TRUE(b.Logged("Following the main: A/A1 joined ")) << b.Log();
  ASSERT_TRUE(WaitUntil([&] { return Starts(b, "A/A1").size() == 2; }, 5s)) << b.Log();
  EXPECT_LE(std::llabs(Starts(a, "A/A1")[1] - Starts(b, "A/A1")[1]), halfFrame);
  if (std::getenv("VIDRA_PAIR_BENCH") != nullptr) {
    const std::string log = b.Log();
    const auto at = log.find("Following the main: A/A1 joined ");
    std::printf("an EXECUTE on the backup: %s\n", log.substr(at, log.find('(', at) - at).c_str());
    std::fflush(stdout);
  }
  ASSERT_TRUE(Ok(a.Send("3", "<roCtrl><roID>T</roID><command>STOP</command></roCtrl>")));
  EXPECT_TRUE(b.Logged("Following the main: A/A1 was ended there")) << b.Log();

  // The main dies while B1 plays: the backup, told to take over, goes on with it.
  ASSERT_TRUE(Ok(a.Send("4",
                        "<roCtrl><roID>T</roID><storyID>B</storyID><itemID>B1</itemID>"
                        "<command>EXECUTE</command></roCtrl>")));
  ASSERT_TRUE(WaitUntil([&] { return Starts(b, "B/B1").size() == 2; }, 3s)) << b.Log();
  EXPECT_FALSE(told("<roElementStat")) << "the backup tells the NRCS nothing";
  a.Kill(SIGKILL);
  const std::size_t endsBefore = b.Count("Last movie was stopped now");
  EXPECT_EQ(b.Ctl({"role", "main"}).status, 0);
  EXPECT_TRUE(b.Logged("the running orders followed from the main go on as they are"));
  EXPECT_TRUE(WaitUntil([&] { return b.Count("Last movie was stopped now") > endsBefore; }, 4s))
      << "B1 ran to its end on the new main";
  EXPECT_EQ(Starts(b, "B/B1").size(), 2u) << "not started again: no gap";
  EXPECT_EQ(b.Count("was ended there"), 1u) << b.Log();
  const std::string list = b.Send("5", "<roReq><roID>T</roID></roReq>");
  EXPECT_NE(list.find("<storyID>B</storyID>"), std::string::npos) << list;
  // The NRCS is told once what is on air on the new main.
  EXPECT_TRUE(b.Logged("1 items on air or cued are told to the NRCS"));
  EXPECT_TRUE(WaitUntil(
      [&] {
        std::lock_guard lock(heardLock);  // heard
        const auto at = heard.find("<itemID>B1</itemID>");
        return at != std::string::npos &&
               heard.find("<status>PLAY</status>", at) != std::string::npos;
      },
      10s))
      << b.Log();
}

// Each server checks its own media: a file the main has and the backup lacks is an alarm on
// both, until the file is there too.
TEST_F(Pair, MediaTheBackupLacksIsAnAlarmOnBothServers) {
  const std::string folder = Folder(b.errors) + "/b-media";
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file(VIDRA_SOURCE_DATA "/media/opener.wav", folder + "/opener.wav");
  b.media = folder;
  StartPair();
  // An item dragged from the main's catalogue: its objID names the file, which each server
  // finds in its own folder.
  ASSERT_TRUE(Ok(a.Send("1", "<roCreate><roID>R</roID>" + Story("A") +
                                 "<story><storyID>S</storyID><item><itemID>S1</itemID><objID>"
                                 "sting.wav</objID><mosID>VIDRA</mosID></item></story>"
                                 "</roCreate>")));
  const auto lacks = [](const Node& node) {
    const nlohmann::json pair = node.Pair();
    return pair.is_object() ? pair.value("backupLacks", nlohmann::json()) : nlohmann::json();
  };
  const nlohmann::json expected = {{"count", 1}, {"first", {"S/S1"}}};
  EXPECT_TRUE(WaitUntil([&] { return lacks(b) == expected; }, 10s)) << lacks(b) << b.Log();
  EXPECT_TRUE(WaitUntil([&] { return lacks(a) == expected; }, 5s)) << lacks(a);
  for (Node* node : {&a, &b}) {
    EXPECT_NE(node->Ctl({"onair"}).out.find("backup would play black for S/S1"), std::string::npos)
        << node->name;
  }
  EXPECT_TRUE(b.Logged("this backup would play black for 1 items (the first: S/S1)"));

  std::filesystem::copy_file(VIDRA_SOURCE_DATA "/media/sting.wav", folder + "/sting.wav");
  const nlohmann::json none = {{"count", 0}, {"first", nlohmann::json::array()}};
  EXPECT_TRUE(WaitUntil([&] { return lacks(a) == none; }, 10s)) << lacks(a);
  EXPECT_EQ(a.Ctl({"onair"}).out.find("would play black"), std::string::npos);
}

TEST_F(Pair, TheNrcsSimulatorFollowsThePair) {
  StartPair();
  const auto nrcs = [](const Node& first, const Node& second, const std::string& step) {
    return RunTool(VIDRA_NRCS_PATH, {"--lower", std::to_string(first.lower.Port()), "--upper",
                                     std::to_string(first.upper.Port()), "--other",
                                     "127.0.0.1:" + std::to_string(second.lower.Port()) + ":" +
                                         std::to_string(second.upper.Port()),
                                     "--notice-port", "0", step});
  };
  ToolRun run = nrcs(b, a, "create");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(
      run.err.find("does not answer as main: trying 127.0.0.1:" + std::to_string(a.lower.Port())),
      std::string::npos)
      << run.err;
  EXPECT_NE(run.out.find("<roStatus>OK</roStatus>"), std::string::npos) << run.out;

  a.Kill(SIGKILL);
  ASSERT_EQ(b.Ctl({"role", "main"}).status, 0);
  run = nrcs(a, b, "req");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("<roList><roID>VIDRA-DEMO</roID>"), std::string::npos)
      << "the running order made on the main, from the backup that took over: " << run.out;
  EXPECT_NE(run.out.find("<storyID>S2</storyID>"), std::string::npos);
}

TEST_F(Pair, PeersThatDoNotFitAreRefusedWithAReason) {
  ASSERT_TRUE(b.Start("backup", a.link.Port(), "SPORT")) << b.Log();
  ASSERT_TRUE(a.Start("main", b.link.Port())) << a.Log();
  EXPECT_TRUE(b.Logged("the peer's channels (NEWS) are not this server's (SPORT)")) << b.Log();
  EXPECT_TRUE(WaitUntil([&] { return a.Pair().value("link", "") == "refused"; }, 10s))
      << a.Pair().dump();
  const ToolRun state = a.Ctl({"onair"});
  EXPECT_NE(state.out.find("is refused"), std::string::npos) << state.out;

  // Two mains: the one of the lower epoch steps down.
  b.Kill(SIGTERM);
  ASSERT_TRUE(b.Start("main", a.link.Port())) << b.Log();
  EXPECT_EQ(a.Ctl({"role", "backup"}).status, 0);
  EXPECT_EQ(a.Ctl({"role", "main"}).status, 0) << "a promotion raises A's epoch to 1";
  EXPECT_TRUE(b.Logged("steps down to backup")) << b.Log() << a.Log();
  EXPECT_EQ(b.Pair().value("role", ""), "backup");
  EXPECT_EQ(a.Pair().value("role", ""), "main");
}

}  // namespace
}  // namespace vidra::test
