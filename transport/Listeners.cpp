// Accept loops and connection threads. The loops block in accept with no time-out: a stop is
// seen when the next connection arrives, and DeInitMOSSrv ends them at once by shutting the
// listener down. A connection thread answers one message at a time, in arrival order.
#include "transport/Listeners.h"

#include <string>
#include <vector>

#include "common/Log.h"
#include "common/Text.h"
#include "transport/Encoding.h"

namespace vidra {

namespace {

// Wait after a failed accept, so that a listener out of descriptors does not spin.
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(50);

const char* PortWord(PortFlag port) {
  return port == PortFlag::Lower ? "low" : "upper";
}

// One receive into the connection's area, classified and converted to the machine's order.
// False at the end of the connection.
bool ReceiveChunk(int socket, TextArea& area, PortFlag port) {
  LogText(port == PortFlag::Upper ? "Try to accept mess to up port"
                                  : "Try to accept mess to low port");
  area.Clear();
  const ssize_t received = ReceiveOn(socket, area.bytes.data(), TextArea::kReceiveBytes);
  LogText(port == PortFlag::Upper ? "Message to upper port is recieved"
                                  : "Message to lower port is recieved");
  ClassifyEncoding(area);
  ConvertEncoding(area, EncodingType::LowByteFirst);
  Log("%s", Utf16ToUtf8(area.Text()).c_str());
  if (received < 0) {
    LogText("Can't recieve adequate mess");
    return false;
  }
  if (received == 0) {
    LogText("Client close connection");
    return false;
  }
  return true;
}

// The answer's 16-bit units as bytes in the order the latest receive came in; no byte-order
// mark and no terminator.
std::string AnswerBytes(const std::u16string& answer, EncodingType order) {
  if (order == EncodingType::SingleByte) {
    return Utf16ToUtf8(answer);
  }
  if (order == EncodingType::Undetermined) {
    LogText("\nVIDRA - Can't transform to init message type\n");
    order = EncodingType::LowByteFirst;
  }
  std::string bytes(answer.size() * 2, '\0');
  const bool highFirst = order == EncodingType::HighByteFirst;
  for (std::size_t i = 0; i < answer.size(); ++i) {
    const auto high = static_cast<char>(answer[i] >> 8);
    const auto low = static_cast<char>(answer[i] & 0xFF);
    bytes[i * 2] = highFirst ? high : low;
    bytes[i * 2 + 1] = highFirst ? low : high;
  }
  return bytes;
}

void SendAnswer(MOSSrv& server, int socket, std::int32_t clientNumber, const std::u16string& answer,
                EncodingType order) {
  const std::string text = Utf16ToUtf8(answer);
  LogText("\nVIDRA - send answer to NRCS:\n");
  Log("%s", text.c_str());
  MessageRecord record;
  record.clientNumber = clientNumber;
  record.text = text;
  record.direction = kDirectionSent;
  record.time = server.clock->UtcNow();
  server.journal.Append(std::move(record));
  const std::string bytes = AnswerBytes(answer, order);
  ssize_t sent = 0;
  {
    std::lock_guard lock(server.sendLock);  // one send at a time on any connection
    sent = SendOn(socket, bytes.data(), bytes.size());
  }
  Log("VIDERA - Send %d bytes answer to NRCS with result = %d\n", static_cast<int>(bytes.size()),
      static_cast<int>(sent));
}

}  // namespace

void StartAcceptThread(MOSSrv& server, PortFlag port) {
  std::thread& thread =
      port == PortFlag::Lower ? server.lowerAcceptThread : server.upperAcceptThread;
  if (thread.joinable()) {
    throw std::logic_error("the accept thread of this port runs already");
  }
  thread = std::thread([&server, port] { AcceptClientsOneByOne(server, port); });
}

void AcceptClientsOneByOne(MOSSrv& server, PortFlag port) {
  SocketPort& listener = port == PortFlag::Lower ? server.lowerListener : server.upperListener;
  Log("%u try to the while cycle\n", listener.BoundPort());
  while (!server.stopRequested) {
    LogText(port == PortFlag::Lower ? "I'm inside, wait connection to low port\n"
                                    : "I'm inside, wait connection to upper port\n");
    sockaddr_in peer{};
    const int socket = listener.Accept(peer);
    if (server.stopRequested) {
      CloseSocket(socket);  // accepted as the server stops: not served
      break;
    }
    if (socket == kInvalidSocket) {
      LogText("INVALID_SOCKET");
      server.clock->SleepFor(kAcceptRetryDelay);
      continue;
    }
    if (server.connections.Live() >= server.network.maxConnections) {
      Log("VIDRA - %u connections are served already, connection from %s is closed\n",
          server.network.maxConnections, FormatAddress(peer).c_str());
      CloseSocket(socket);
      continue;
    }
    const ClientConnection connection{&server, socket, peer.sin_addr.s_addr};
    server.connections.Start(socket, [connection, port] { ServeConnection(connection, port); });
    LogText(port == PortFlag::Lower ? "Thread for client on low port is created\n"
                                    : "Thread for client on up port is created\n");
  }
  LogText("i will go away from mos sock");
}

void ServeConnection(const ClientConnection& connection, PortFlag port) {
  MOSSrv& server = *connection.owner;
  const std::int32_t receivedNumber = server.clientQueue.NextClientNumber();
  const std::int32_t answerNumber = server.clientQueue.NextClientNumber();
  auto area = std::make_unique<TextArea>();
  auto session = server.sessionFactory();
  const HResult init = session->Initialize();
  if (init != HResult::S_OK) {
    Log("\nVIDRA::ERROR on parser init, hres=0x%X\n", Code(init));
    return;
  }
  if (ReceiveChunk(connection.socket, *area, port)) {
    do {
      Log("\nVIDRA - Message to %s port is accepted, try to parse\n", PortWord(port));
      const std::u16string received = area->Text();
      bool loaded = session->LoadMessage(received);
      if (!loaded) {
        LogText(
            "\nVIDRA - It is not XML or there is no brackets number equality, continue "
            "receiving\n");
      }
      const std::string receivedText = loaded ? Utf16ToUtf8(received) : std::string();
      while (loaded) {
        MessageRecord record;
        record.clientNumber = receivedNumber;
        record.text = receivedText;
        record.encodingType = area->encodingType;
        record.previousType = area->previousType;
        record.direction = kDirectionReceived;
        record.time = server.clock->UtcNow();
        server.journal.Append(std::move(record));
        Log("%s", session->GetXml().c_str());
        if (!session->IsRoAck()) {
          if (const auto answer = session->HandleMessage(port)) {
            SendAnswer(server, connection.socket, answerNumber, *answer, area->previousType);
          }
        }
        loaded = session->LoadMessage(std::u16string_view());
      }
    } while (ReceiveChunk(connection.socket, *area, port));
  }
  Log("\nVIDRA - Finish working thread on %s port\n", PortWord(port));
}

}  // namespace vidra
