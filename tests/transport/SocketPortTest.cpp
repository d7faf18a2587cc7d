// The notice sender's side of SocketPort: connecting out with a limit, and sends that never
// block on a peer that stopped reading.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <string>
#include <thread>

#include "tests/support/TestSupport.h"
#include "transport/SocketPort.h"

namespace vidra::test {
namespace {

using namespace std::chrono_literals;

TEST(SocketPort, ConnectsOutOrSaysThatThePeerDidNotTakeIt) {
  const std::atomic<bool> running{true};
  SocketPort port;
  {
    TestListener closed;
    const std::uint16_t number = closed.Port();
    closed.Close();
    EXPECT_EQ(port.Connect(INADDR_LOOPBACK, number, 1000ms, running), HResult::E_ACCESSDENIED);
    EXPECT_EQ(port.Handle(), kInvalidSocket);
  }
  TestListener nrcs;
  ASSERT_EQ(port.Connect(INADDR_LOOPBACK, nrcs.Port(), 1000ms, running), HResult::S_OK);
  TestPeer accepted;
  ASSERT_TRUE(nrcs.Accept(accepted));
  ASSERT_TRUE(accepted.Send("abc"));
  char buffer[8] = {};
  // Blocking again after the connect: the receive waits for all that was sent.
  EXPECT_EQ(ReceiveOn(port.Handle(), buffer, 3), 3);
  EXPECT_EQ(std::string(buffer), "abc");
  accepted.Close();
  EXPECT_EQ(ReceiveOn(port.Handle(), buffer, sizeof buffer), 0);
}

TEST(SocketPort, ASendGivesUpOnAPeerThatDoesNotReadAndHoldsUpNoOtherConnection) {
  const std::atomic<bool> running{true};
  TestListener nrcs;
  SocketPort port;
  ASSERT_EQ(port.Connect(INADDR_LOOPBACK, nrcs.Port(), 1000ms, running), HResult::S_OK);
  TestPeer idle;
  ASSERT_TRUE(nrcs.Accept(idle));
  const int small = 4096;
  ::setsockopt(port.Handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  const std::string chunk(16384, 'x');
  int sent = 0;
  for (; sent < 10000; ++sent) {
    if (SendWithin(port.Handle(), chunk.data(), chunk.size(), 100ms) < 0) {
      break;
    }
  }
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_LT(sent, 10000) << "the buffers of an idle peer filled up and the send said so";
  EXPECT_GT(sent, 0);

  // While one send waits for room, a send on another connection goes out whole at once.
  SocketPort other;
  ASSERT_EQ(other.Connect(INADDR_LOOPBACK, nrcs.Port(), 1000ms, running), HResult::S_OK);
  TestPeer reading;
  ASSERT_TRUE(nrcs.Accept(reading));
  std::atomic<bool> waitingEnded{false};
  std::thread waiting([&] {
    EXPECT_EQ(SendWithin(port.Handle(), chunk.data(), chunk.size(), 3s), -1);
    waitingEnded = true;
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(SendWithin(other.Handle(), "<mos/>", 6, 3s), 6);
  EXPECT_EQ(reading.Receive(6), "<mos/>");
  EXPECT_FALSE(waitingEnded) << "the other send went out only once the stalled one gave up";
  waiting.join();
  idle.Close();
}

}  // namespace
}  // namespace vidra::test
