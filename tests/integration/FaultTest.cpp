// The real server against peers that misbehave: floods of connections, resets, garbage,
// peers killed mid-message, and a stop under load. Nothing may crash it, leak from it or
// stall the peers that behave.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/Text.h"
#include "tests/integration/Processes.h"

namespace vidra::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::size_t Entries(const std::string& folder) {
  std::error_code ignored;
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator(folder, ignored), fs::directory_iterator()));
}

std::u16string Message(int messageID, const std::u16string& body) {
  return u"<mos><mosID>VIDRA.NEWS</mosID><ncsID>NCS</ncsID><messageID>" +
         Utf8ToUtf16(std::to_string(messageID)) + u"</messageID>" + body + u"</mos>";
}

class Faults : public ::testing::Test {
 protected:
  void Start(const std::string& more = "") {
    FreePort lower;
    FreePort upper;
    FreePort nobody;  // where notices would go: nothing listens there
    lowerPort = lower.Port();
    upperPort = upper.Port();
    settings = std::make_unique<TempFile>(
        "[VIDRAServer]\nChannelCount = 1\nCHANNEL_NAME1 = NEWS\nCHANNEL_PLAYER1 = out1\n"
        "Path = " VIDRA_SOURCE_DATA "/media/\nAirx = " +
        fs::path(errors.Path()).parent_path().string() +
        "/\n[Devices]\nout1 = virtual 25\n[Network]\nListenAddress = 127.0.0.1\nLowerPort = " +
        std::to_string(lowerPort) + "\nQueryPort = 0\nUpperPort = " + std::to_string(upperPort) +
        "\nNrcsUpperPort = " + std::to_string(nobody.Port()) + "\n" + more);
    lower.Release();
    upper.Release();
    nobody.Release();
    server = std::make_unique<ServerProcess>(
        std::vector<std::string>{"--config", settings->Path(), "--autostart"}, errors.Path());
    ASSERT_TRUE(WaitUntil([&] { return probe.Connect(lowerPort); })) << ReadFile(errors.Path());
    ASSERT_TRUE(Serves(probe));
    // The upper port listens a little after the lower one serves: a test that connects there
    // at once (from a child that cannot wait and try again) waits for the server to say so.
    ASSERT_TRUE(WaitUntil([&] { return LogCount("VIDRA - serving on ports ") >= 1; }))
        << ReadFile(errors.Path());
  }
  // A heartbeat round trip.
  bool Serves(TestPeer& peer, int messageID = 1) {
    if (!peer.Send(Utf16Bytes(Message(messageID, u"<heartbeat/>"), true))) {
      return false;
    }
    return peer.ReceiveMessage(true).find(u"<heartbeat><time>") != std::u16string::npos;
  }
  std::size_t Descriptors() const { return Entries(Proc() + "/fd"); }
  std::size_t Threads() const { return Entries(Proc() + "/task"); }
  std::string Proc() const { return "/proc/" + std::to_string(server->Pid()); }
  std::size_t LogCount(const std::string& line) const {
    const std::string log = ReadFile(errors.Path());
    std::size_t n = 0;
    for (auto at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) {
      ++n;
    }
    return n;
  }

  TempFile errors{"", "stderr.txt"};
  std::unique_ptr<TempFile> settings;
  std::unique_ptr<ServerProcess> server;
  std::uint16_t lowerPort = 0;
  std::uint16_t upperPort = 0;
  TestPeer probe;
};

TEST_F(Faults, ConnectionsThatComeAndGoLeaveNothingBehind) {
  ASSERT_NO_FATAL_FAILURE(Start());
  // Measured once the playout threads have started and the launcher has ended.
  std::size_t threads = 0;
  for (std::size_t seen = Threads(); seen != threads;) {
    threads = seen;
    std::this_thread::sleep_for(300ms);
    seen = Threads();
  }
  const std::size_t descriptors = Descriptors();
  const std::string half = Utf16Bytes(Message(2, u"<roCreate><roID>HALF</roID><story>"), true);
  for (int i = 0; i < 1000; ++i) {
    TestPeer peer;
    ASSERT_TRUE(WaitUntil([&] { return peer.Connect(i % 2 ? lowerPort : upperPort); })) << i;
  }
  for (int i = 0; i < 1000; ++i) {
    TestPeer peer;
    ASSERT_TRUE(WaitUntil([&] { return peer.Connect(lowerPort); })) << i;
    ASSERT_TRUE(peer.Send(half));
    peer.Reset();
  }
  EXPECT_TRUE(WaitUntil([&] { return Descriptors() == descriptors && Threads() == threads; }, 30s))
      << Descriptors() << " descriptors (" << descriptors << " before), " << Threads()
      << " threads (" << threads << " before)";
  EXPECT_TRUE(Serves(probe, 3));
  TestPeer asker;
  ASSERT_TRUE(asker.Connect(upperPort));
  ASSERT_TRUE(asker.Send(Utf16Bytes(Message(4, u"<roReqAll/>"), true)));
  EXPECT_EQ(asker.ReceiveMessage(true).find(u"HALF"), std::u16string::npos)
      << "no half-sent running order was stored";
}

TEST_F(Faults, ConnectionsPastTheLimitAreRefusedAndTheServedOnesKeepWorking) {
  ASSERT_NO_FATAL_FAILURE(Start("MaxConnections = 64\n"));
  std::vector<std::unique_ptr<TestPeer>> peers;
  peers.push_back(std::make_unique<TestPeer>());  // the probe is the first of the 64
  for (int i = 1; i < 200; ++i) {
    auto peer = std::make_unique<TestPeer>();
    ASSERT_TRUE(WaitUntil([&] { return peer->Connect(lowerPort); })) << i;
    peers.push_back(std::move(peer));
  }
  ASSERT_TRUE(WaitUntil([&] {
    return LogCount("connections are served already, connection from 127.0.0.1") == 136;
  })) << ReadFile(errors.Path()).substr(0, 2000);
  int served = 1;
  for (std::size_t i = 1; i < peers.size(); ++i) {
    served += Serves(*peers[i], static_cast<int>(i)) ? 1 : 0;
  }
  EXPECT_EQ(served, 64);
  EXPECT_TRUE(Serves(probe, 500));
}

// A peer killed in the middle of a roCreate: nothing of it is stored, and the server serves
// the next one.
TEST_F(Faults, AnNrcsKilledMidMessageLeavesNoPartialRunningOrder) {
  ASSERT_NO_FATAL_FAILURE(Start());
  const std::string create =
      Utf16Bytes(Message(7,
                         u"<roCreate><roID>KILLED</roID><story><storyID>A</storyID><item><itemID>1"
                         u"</itemID><objID>O</objID></item></story></roCreate>"),
                 true);
  // The child makes only system calls: another thread of this process may hold the
  // allocator's lock at the fork, and the child would wait for it for ever.
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(upperPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const pid_t child = ::fork();
  if (child == 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd >= 0 &&
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      static_cast<void>(::send(fd, create.data(), create.size() / 2, MSG_NOSIGNAL));
    }
    ::pause();
    ::_exit(0);
  }
  // Killed on every way out of the test, or it would hold the test's output open for ever.
  struct Reaper {
    pid_t pid;
    ~Reaper() {
      if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
      }
    }
  } reaper{child};
  ASSERT_TRUE(WaitUntil([&] { return LogCount("Message to upper port is recieved") >= 1; }, 30s))
      << ReadFile(errors.Path());
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  reaper.pid = 0;
  ASSERT_TRUE(WaitUntil([&] { return LogCount("Client close connection") >= 1; }));
  TestPeer asker;
  ASSERT_TRUE(asker.Connect(upperPort));
  ASSERT_TRUE(asker.Send(Utf16Bytes(Message(8, u"<roReqAll/>"), true)));
  const std::u16string all = asker.ReceiveMessage(true);
  EXPECT_NE(all.find(u"<roListAll>"), std::u16string::npos) << Utf16ToUtf8(all);
  EXPECT_EQ(all.find(u"KILLED"), std::u16string::npos);
}

// Garbage of every kind on one connection each: the server logs it, stays up, and the next
// connection is served.
TEST_F(Faults, GarbageNeverTakesTheServerDown) {
  ASSERT_NO_FATAL_FAILURE(Start());
  std::mt19937 random(20261206);
  std::string noise(4 << 20, '\0');
  for (char& byte : noise) {
    byte = static_cast<char>(random());
  }
  std::u16string surrogates = u"<mos><heartbeat/>";
  surrogates += static_cast<char16_t>(0xD800);
  surrogates += u"x";
  surrogates += static_cast<char16_t>(0xDC00);
  surrogates += u"</mos>";
  std::u16string nested = u"<mos>";
  for (int i = 0; i < 100000; ++i) {
    nested += u"<a>";
  }
  for (int i = 0; i < 100000; ++i) {
    nested += u"</a>";
  }
  nested += u"<heartbeat/></mos>";
  const std::string unclosed = Utf16Bytes(u"<mos>" + std::u16string(3 << 20, u'y'), true);
  const std::vector<std::string> inputs = {noise, Utf16Bytes(surrogates, true),
                                           Utf16Bytes(nested, true), unclosed};
  int messageID = 10;
  for (const std::string& input : inputs) {
    TestPeer peer;
    ASSERT_TRUE(peer.Connect(lowerPort));
    ASSERT_TRUE(peer.Send(input));
    peer.Receive(1, 300ms);  // whatever it answers, if anything
    peer.Close();
    TestPeer next;
    ASSERT_TRUE(next.Connect(lowerPort));
    EXPECT_TRUE(Serves(next, ++messageID)) << "after input " << messageID - 10;
  }
  EXPECT_GE(LogCount("It is not XML or there is no brackets number equality"), 1u);
  EXPECT_TRUE(Serves(probe, 99));
}

// SIGTERM while several peers keep the server busy: a clean stop, exit 0, and the playlist.
TEST_F(Faults, AStopUnderLoadIsClean) {
  ASSERT_NO_FATAL_FAILURE(Start());
  TestPeer nrcs;
  ASSERT_TRUE(nrcs.Connect(upperPort));
  ASSERT_TRUE(nrcs.Send(Utf16Bytes(
      Message(2,
              u"<roCreate><roID>RO1</roID><story><storyID>A</storyID><item><itemID>1</itemID>"
              u"<objID>O</objID><mosID>VIDRA.NEWS</mosID><objPaths><objPath>sting.wav"
              u"</objPath></objPaths></item></story></roCreate>"),
      true)));
  ASSERT_NE(nrcs.ReceiveMessage(true).find(u"<roStatus>OK</roStatus>"), std::u16string::npos);
  std::atomic<bool> loading{true};
  std::vector<std::thread> load;
  for (int t = 0; t < 4; ++t) {
    load.emplace_back([&, t] {
      TestPeer peer;
      if (!peer.Connect(t % 2 ? lowerPort : upperPort)) {
        return;
      }
      for (int i = 0; loading && Serves(peer, i); ++i) {
      }
    });
  }
  std::this_thread::sleep_for(500ms);
  server->Signal(SIGTERM);
  EXPECT_EQ(server->Wait(), 0) << ReadFile(errors.Path()).substr(0, 2000);
  loading = false;
  for (auto& thread : load) {
    thread.join();
  }
  const std::string playlist =
      ReadFile(fs::path(errors.Path()).parent_path().string() + "/NEWS.airx");
  EXPECT_NE(Utf16FromBytes(playlist, false).find(u"sting.wav"), std::u16string::npos);
}

}  // namespace
}  // namespace vidra::test
