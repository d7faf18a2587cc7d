// Two links in one process over loopback, each with its own state and clock: the main's
// changes reach the backup, clocks a second apart raise the alarm, a promotion keeps its
// epoch, and what reaches a link port from a stranger (other channels, a damaged frame,
// another address) is refused with a reason while the link goes on.
#include <gtest/gtest.h>

#include <cmath>
#include <mutex>

#include "common/Log.h"
#include "pair/PairLink.h"
#include "rundown/Records.h"
#include "tests/support/TestSupport.h"

namespace vidra {
namespace {

using namespace std::chrono_literals;

// The machine's clock, shifted: a peer whose clock is wrong.
class ShiftedClock final : public Clock {
 public:
  explicit ShiftedClock(std::chrono::milliseconds shift) : shift_(shift.count() * 10'000) {}
  FileTime UtcNow() const override { return real_.UtcNow() + shift_; }
  FileTime LocalNow() const override { return real_.LocalNow() + shift_; }
  std::chrono::nanoseconds Monotonic() const override { return real_.Monotonic(); }
  void SleepFor(std::chrono::nanoseconds d) override { real_.SleepFor(d); }
  void SleepWhile(std::chrono::nanoseconds d, const KeepRunning& k) override {
    real_.SleepWhile(d, k);
  }

 private:
  SystemClock real_;
  FileTime shift_;
};

class NullStore final : public RoPersistence {
 public:
  bool Commit(RoChange, std::string&) override { return true; }
  void Post(RoChange) override {}
  bool Load(StoredState&, std::string&) override { return true; }
};

// One server's side: its state and its link.
struct Side {
  Side(PairRole role, std::uint16_t peerPort, std::shared_ptr<Clock> clock,
       std::vector<std::string> channels = {"NEWS"})
      : state(&store, answers, nullptr, 2s) {
    std::string error;
    EXPECT_TRUE(state.Open(error));
    PairSettings settings;
    settings.role = role;
    settings.peerHost = "127.0.0.1";
    settings.peerPort = peerPort;
    PairHooks hooks;
    hooks.saveEpoch = [this](std::uint64_t epoch, std::string&) {
      saved = epoch;
      return true;
    };
    hooks.promoted = [this] { ++promotions; };
    hooks.lacking = [this] {
      std::lock_guard lock(lacksLock);  // lacks
      return lacks;
    };
    link = std::make_unique<PairLink>(settings, state, std::move(clock), std::move(channels), 25.0,
                                      0, hooks);
    EXPECT_EQ(link->Start(), HResult::S_OK);
  }
  NullStore store;
  InMemoryAnswers answers{[] { return FileTime{1}; }};
  ReplicatedState state;
  std::unique_ptr<PairLink> link;
  std::atomic<std::uint64_t> saved{0};
  std::atomic<int> promotions{0};
  std::mutex lacksLock;  // lacks
  MediaLack lacks;       // what the channels would say they lack the media of
};

RoChange CreateRo(std::uint64_t key) {
  RoChange change;
  change.roKey = key;
  change.row = StoredRo{key, 0, 0, "R" + std::to_string(key), "h", "c", 0};
  return change;
}

TEST(PairLinkSockets, ChangesReachTheBackupAndClocksASecondApartRaiseTheAlarm) {
  LogCapture log;
  Side backup(PairRole::Backup, 1, std::make_shared<ShiftedClock>(1000ms));
  Side main(PairRole::Main, backup.link->LinkPort(), std::make_shared<SystemClock>());
  ASSERT_TRUE(test::WaitUntil([&] { return !main.link->Status().degraded; }, 10s))
      << "the backup acknowledged all there was: edits wait for it from now on";
  std::string error;
  ASSERT_TRUE(main.state.Commit(CreateRo(5), error));
  EXPECT_EQ(main.link->Status().behind, 0u) << "answered once the backup had it";
  EXPECT_EQ(backup.state.Progress().seq, main.state.Progress().seq);

  // What the backup lacks the media of reaches the main, and its end too.
  const MediaLack lacking{3, {"S3/1", "S4/1"}};
  {
    std::lock_guard lock(backup.lacksLock);  // lacks
    backup.lacks = lacking;
  }
  EXPECT_TRUE(test::WaitUntil([&] { return main.link->Status().backupLacks == lacking; }, 5s));
  EXPECT_EQ(backup.link->Status().backupLacks, lacking);
  EXPECT_EQ(log.CountOf("VIDRA - pair: this backup would play black for 3 items (the first: "
                        "S3/1): their media is not here"),
            1u);
  {
    std::lock_guard lock(backup.lacksLock);  // lacks
    backup.lacks = MediaLack{};
  }
  EXPECT_TRUE(test::WaitUntil([&] { return main.link->Status().backupLacks.count == 0; }, 5s));

  ASSERT_TRUE(test::WaitUntil([&] { return main.link->Status().clockOffsetMs.has_value(); }, 5s));
  const double offset = *main.link->Status().clockOffsetMs;
  EXPECT_NEAR(offset, 1000.0, 50.0);
  // The offset is the midpoint of a round trip: on a loaded machine a little under 1000 ms.
  const auto alarmed = [&] {
    std::size_t lines = 0;
    for (const std::string& record : log.Records()) {
      const bool alarm =
          record.rfind("VIDRA - pair: the backup's clock is ", 0) == 0 &&
          record.find(" ms off this server's, more than half a frame") != std::string::npos;
      lines += alarm ? 1 : 0;
    }
    return lines;
  };
  EXPECT_TRUE(test::WaitUntil([&] { return alarmed() == 1; }));
  EXPECT_EQ(log.CountStartingWith("VIDRA - pair: the backup's clock is "), 1u) << "once";

  // The backup made main: a new epoch, kept; the old main, still main at a lower epoch,
  // steps down when its link meets it.
  std::string why;
  ASSERT_EQ(backup.link->SetRole(PairRole::Main, why), HResult::S_OK) << why;
  EXPECT_EQ(backup.saved, 1u);
  EXPECT_EQ(backup.promotions, 1);
  EXPECT_FALSE(backup.link->StandingBy().has_value());
  EXPECT_TRUE(test::WaitUntil([&] { return main.link->Role() == PairRole::Backup; }, 10s))
      << "refused by the higher epoch, the old main steps down";
  EXPECT_EQ(main.link->StandingBy().value_or(""), "main is 127.0.0.1");
  EXPECT_EQ(main.link->Status().epoch, 1u);
  EXPECT_EQ(main.saved, 1u) << "the epoch it learnt is kept";
  EXPECT_EQ(log.CountOf("VIDRA - pair: the peer is main at epoch 1, above this server's 0: this "
                        "server steps down to backup"),
            1u);
}

TEST(PairLinkSockets, StrangersAtTheLinkPortAreRefusedWithAReason) {
  LogCapture log;
  Side backup(PairRole::Backup, 1, std::make_shared<SystemClock>());
  // A main of other channels.
  test::TestPeer stranger;
  ASSERT_TRUE(stranger.Connect(backup.link->LinkPort()));
  LinkFrame hello;
  hello.kind = FrameKind::Hello;
  hello.hello.role = PairRole::Main;
  hello.hello.channels = {"SPORT"};
  ASSERT_TRUE(stranger.Send(EncodeFrame(hello)));
  FrameReader reader;
  LinkFrame answer;
  std::string why;
  reader.Feed(stranger.ReceiveUntil([&](const std::string& bytes) {
    FrameReader probe;
    probe.Feed(bytes);
    LinkFrame f;
    return probe.Next(f, why) == FrameReader::Status::Frame;
  }));
  ASSERT_EQ(reader.Next(answer, why), FrameReader::Status::Frame) << why;
  EXPECT_EQ(answer.kind, FrameKind::Refuse);
  EXPECT_EQ(answer.text, "the peer's channels (SPORT) are not this server's (NEWS)");
  EXPECT_TRUE(stranger.WaitClosed());
  EXPECT_EQ(backup.link->Status().link, "refused");

  // A main that fits, then a damaged frame: refused, the link closed, nothing applied.
  test::TestPeer damaged;
  ASSERT_TRUE(damaged.Connect(backup.link->LinkPort()));
  hello.hello.channels = {"NEWS"};
  hello.hello.stream = 77;
  ASSERT_TRUE(damaged.Send(EncodeFrame(hello)));
  LinkFrame change;
  change.kind = FrameKind::Change;
  change.seq = 1;
  change.change = CreateRo(5);
  std::string bytes = EncodeFrame(change);
  bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 1);
  ASSERT_TRUE(damaged.Send(bytes));
  EXPECT_TRUE(damaged.WaitClosed());
  EXPECT_TRUE(test::WaitUntil([&] {
    return log.CountOf(
               "VIDRA - pair: the main at 127.0.0.1 sent a frame whose checksum does "
               "not match its bytes: the link is refused and starts again") == 1;
  }));
  EXPECT_EQ(backup.state.Progress().seq, 0u);

  // Anyone at an address that is not the peer's: closed before a byte is read, so no one
  // else can replace the backup's running orders.
  test::TestPeer elsewhere;
  ASSERT_TRUE(elsewhere.Connect(backup.link->LinkPort(), "127.0.0.2"));
  EXPECT_TRUE(elsewhere.WaitClosed(1s));  // at once, not after the 2 s a hello is waited for
  EXPECT_EQ(log.CountOf("VIDRA - pair: a link from 127.0.0.2, which is not the peer 127.0.0.1, "
                        "is refused"),
            1u);
  EXPECT_EQ(backup.state.Progress().seq, 0u);
  EXPECT_EQ(backup.state.Progress().stream, 0u);
}

}  // namespace
}  // namespace vidra
