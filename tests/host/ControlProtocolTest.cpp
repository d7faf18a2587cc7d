// The control protocol on a control object: each operation by name with its out-values,
// and requests that are not right answered with E_INVALIDARG and a reason.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "host/ControlProtocol.h"
#include "tests/host/ServerFixture.h"

namespace vidra::test {
namespace {

using nlohmann::json;

constexpr std::int32_t kInvalidArg = static_cast<std::int32_t>(0x80070057u);
constexpr std::int32_t kFail = static_cast<std::int32_t>(0x80004005u);

class Protocol : public ServerTest {
 protected:
  json Call(const std::string& line) {
    const std::string answer = HandleControlLine(Control(), line);
    EXPECT_EQ(answer.find('\n'), std::string::npos) << "one line per answer";
    return json::parse(answer);
  }
};

TEST_F(Protocol, OperationsByNameWithTheirOutValues) {
  EXPECT_EQ(Call(R"({"op":"GetStateMOSSrv"})"), (json{{"hr", 0}, {"State", 0}}));
  EXPECT_EQ(Call(R"({"op":"InitMOSSrv"})"), (json{{"hr", 0}}));
  EXPECT_EQ(Call(R"({"op":"InitMOSSrv"})")["hr"], static_cast<std::int32_t>(0x8000FFFFu))
      << "a second init is refused with its own code";
  EXPECT_EQ(Call(R"({"op":"StartToWork"})"), (json{{"hr", 0}}));
  EXPECT_EQ(Call(R"({"op":"GetStateMOSSrv"})")["State"], 3);

  TestPeer nrcs;
  ASSERT_TRUE(nrcs.Connect(Lower()));
  ASSERT_TRUE(nrcs.Send(Utf16Bytes(
      u"<mos><mosID>VIDRA</mosID><ncsID>NCS</ncsID><messageID>5</messageID><heartbeat/></mos>",
      true)));
  ASSERT_FALSE(nrcs.ReceiveMessage(true).empty());
  ASSERT_TRUE(WaitUntil([&] { return Call(R"({"op":"GetMessageCount"})")["count"] == 2; }));
  const json entry = Call(R"({"op":"GetMessageByNumberInQueue","number":0})");
  EXPECT_EQ(entry["hr"], 0);
  EXPECT_EQ(
      entry["MessageContent"],
      "<mos><mosID>VIDRA</mosID><ncsID>NCS</ncsID><messageID>5</messageID><heartbeat/></mos>");
  EXPECT_EQ(entry["MessageDest"], 1);
  EXPECT_EQ(entry["messFiletime"], kTestStart);
  const json answer = Call(R"({"op":"GetMessageByNumberInQueue","number":1})");
  EXPECT_EQ(answer["MessageDest"], 0);
  EXPECT_EQ(answer["clientId"], entry["clientId"].get<int>() + 1) << "the answer's own number";
  EXPECT_EQ(Call(R"({"op":"GetStateMOSSrv"})")["State"], 2);
  EXPECT_EQ(Call(R"({"op":"GetMessageByNumberInQueue","number":7})"), (json{{"hr", kFail}}));

  EXPECT_EQ(Call(R"({"op":"StopApplyingClients"})"), (json{{"hr", 0}}));
  EXPECT_EQ(Call(R"({"op":"DeInitMOSSrv"})"), (json{{"hr", 0}}));
  EXPECT_EQ(Call(R"({"op":"GetStateMOSSrv"})")["State"], 0);
}

TEST_F(Protocol, WrongRequestsSayWhatIsWrong) {
  const std::pair<const char*, const char*> cases[] = {
      {"garbage", "one JSON object"},
      {"[1,2]", "one JSON object"},
      {R"({"number":1})", "no \"op\""},
      {R"({"op":7})", "no \"op\""},
      {R"({"op":"Reboot"})", "unknown op \"Reboot\""},
      {R"({"op":"GetMessageByNumberInQueue"})", "needs \"number\""},
      {R"({"op":"GetMessageByNumberInQueue","number":"1"})", "needs \"number\""},
      {R"({"op":"GetMessageByNumberInQueue","number":1.5})", "needs \"number\""},
      {R"({"op":"GetMessageByNumberInQueue","number":4294967296})", "32 bits"},
  };
  for (const auto& [line, reason] : cases) {
    const json answer = Call(line);
    EXPECT_EQ(answer["hr"], kInvalidArg) << line;
    EXPECT_NE(answer.value("error", "").find(reason), std::string::npos) << line << " " << answer;
  }
  const json oversized = json::parse(OversizedLineAnswer(1 << 20));
  EXPECT_EQ(oversized["hr"], kInvalidArg);
  EXPECT_NE(oversized["error"].get<std::string>().find("1048576"), std::string::npos);
}

}  // namespace
}  // namespace vidra::test
