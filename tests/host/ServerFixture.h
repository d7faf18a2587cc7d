// A control object on a manual clock, listening on free loopback ports, with log capture.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "common/Clock.h"
#include "common/Log.h"
#include "host/ControlObject.h"
#include "tests/support/TestSupport.h"
#include "transport/MessageKind.h"

namespace vidra::test {

constexpr FileTime kTestStart = kUnixEpochFileTime + 1'800'000'000ull * kTicksPerSecond;

// Answers each received text with "<answer>" + the text; "roAck" texts are acknowledgements.
class EchoSession final : public MessageSession {
 public:
  HResult Initialize() override { return HResult::S_OK; }
  bool LoadMessage(std::u16string_view text) override;
  std::string GetXml() const override { return "echo"; }
  bool IsRoAck(std::int32_t& messageID) override {
    messageID = 0;
    return current_.find(u"roAck") != std::u16string::npos;
  }
  std::string_view Kind() const override { return MessageKind(current_); }
  std::optional<SessionAnswer> HandleMessage(const MessageOrigin& origin) override;

 private:
  std::u16string current_;
};

class ServerTest : public ::testing::Test {
 protected:
  explicit ServerTest(SessionFactory factory = {}, std::string extraSettings = "",
                      ManualClock::Mode mode = ManualClock::Mode::Blocking,
                      std::chrono::seconds localOffset = std::chrono::seconds(0));
  ~ServerTest() override;

  CMOS_SRV_STNDRT& Control() { return *control_; }
  std::uint8_t State();
  void InitAndStart();
  std::uint16_t Lower() const { return static_cast<std::uint16_t>(control_->ListeningLowerPort()); }
  std::uint16_t Upper() const { return static_cast<std::uint16_t>(control_->ListeningUpperPort()); }
  std::uint16_t Query() const { return static_cast<std::uint16_t>(control_->ListeningQueryPort()); }
  std::size_t JournalCount();
  struct Entry {
    std::string text;
    std::uint8_t direction = 0;
    std::uint64_t time = 0;
    std::int32_t clientId = 0;
  };
  std::optional<Entry> JournalEntry(std::int32_t number);
  // Moves the (blocking) clock to utc in small steps, giving the server's threads real time
  // to act on each, then a moment to settle; the clock stands still afterwards.
  void RunClockTo(FileTime utc);

  LogCapture log;
  std::shared_ptr<ManualClock> clock;
  TempFile settings;
  std::unique_ptr<CMOS_SRV_STNDRT> control_;
};

// Moves a blocking manual clock along with real time while it lives, for tests whose
// server threads must sleep and wake as they would on air.
class ClockPump {
 public:
  explicit ClockPump(ManualClock& clock);
  ~ClockPump();
  ClockPump(const ClockPump&) = delete;
  ClockPump& operator=(const ClockPump&) = delete;

 private:
  std::atomic<bool> running_{true};
  std::thread thread_;
};

}  // namespace vidra::test
