#include "tests/host/ServerFixture.h"

namespace vidra::test {

bool EchoSession::LoadMessage(std::u16string_view text) {
  if (text.empty()) {
    return false;
  }
  current_.assign(text);
  return true;
}

std::optional<SessionAnswer> EchoSession::HandleMessage(const MessageOrigin& origin) {
  SessionAnswer answer;
  answer.text = (origin.port == PortFlag::Lower ? u"<answer low>" : u"<answer up>") + current_;
  answer.kind = MessageKind(current_);
  return answer;
}

ServerTest::ServerTest(SessionFactory factory, std::string extraSettings, ManualClock::Mode mode,
                       std::chrono::seconds localOffset)
    : clock(std::make_shared<ManualClock>(kTestStart, mode, localOffset)),
      settings(LoopbackSettings(extraSettings)) {
  ControlOptions options;
  options.configPath = settings.Path();
  options.clock = clock;
  options.sessionFactory = std::move(factory);
  control_ = std::make_unique<CMOS_SRV_STNDRT>(options);
}

ServerTest::~ServerTest() {
  control_.reset();
}

std::uint8_t ServerTest::State() {
  std::uint8_t state = 0xFF;
  EXPECT_EQ(control_->GetStateMOSSrv(state), HResult::S_OK);
  return state;
}

void ServerTest::InitAndStart() {
  ASSERT_EQ(control_->InitMOSSrv(), HResult::S_OK);
  ASSERT_EQ(control_->StartToWork(), HResult::S_OK);
  ASSERT_NE(Lower(), 0);
  ASSERT_NE(Upper(), 0);
}

std::size_t ServerTest::JournalCount() {
  std::size_t n = 0;
  while (JournalEntry(static_cast<std::int32_t>(n))) {
    ++n;
  }
  return n;
}

std::optional<ServerTest::Entry> ServerTest::JournalEntry(std::int32_t number) {
  Entry entry;
  if (control_->GetMessageByNumberInQueue(number, entry.text, entry.direction, entry.time,
                                          entry.clientId) != HResult::S_OK) {
    return std::nullopt;
  }
  return entry;
}

void ServerTest::RunClockTo(FileTime utc) {
  while (clock->UtcNow() < utc) {
    const FileTime left = utc - clock->UtcNow();
    clock->Advance(
        std::chrono::nanoseconds(std::min<FileTime>(left, 50 * kTicksPerMillisecond) * 100));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

ClockPump::ClockPump(ManualClock& clock)
    : thread_([this, &clock] {
        auto last = std::chrono::steady_clock::now();
        while (running_) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
          const auto now = std::chrono::steady_clock::now();
          clock.Advance(now - last);
          last = now;
        }
      }) {}

ClockPump::~ClockPump() {
  running_ = false;
  thread_.join();
}

}  // namespace vidra::test
