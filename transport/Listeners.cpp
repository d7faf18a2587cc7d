// Accept loops and connection threads. The loops block in accept with no time-out: a stop is
// seen when the next connection arrives, and the engine's Stop ends them at once by shutting
// the listener down. A connection thread answers one message at a time, in arrival order.
#include "transport/Listeners.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "common/Log.h"
#include "common/Text.h"
#include "transport/Encoding.h"
#include "transport/MessageKind.h"
#include "transport/NoticeSender.h"
#include "transport/ObjectSender.h"
#include "transport/Receive.h"

namespace vidra {

namespace {

// Wait after a failed accept, so that a listener out of descriptors does not spin.
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(50);

std::string KindLabel(std::string_view kind) {
  return "type=\"" + std::string(kind) + "\"";
}

const char* PortWord(PortFlag port) {
  return port == PortFlag::Lower ? "low" : port == PortFlag::Upper ? "upper" : "query";
}

// One receive into the connection's pipeline, its start logged as text. False at the end of
// the connection.
bool ReceiveChunk(int socket, MessagePipeline& pipeline, PortFlag port) {
  LogText(port == PortFlag::Upper   ? "Try to accept mess to up port"
          : port == PortFlag::Lower ? "Try to accept mess to low port"
                                    : "Try to accept mess to query port");
  FlushLogBatch();  // nothing the thread logged waits while it does
  const ssize_t received = ReceiveInto(socket, pipeline);
  LogText(port == PortFlag::Upper   ? "Message to upper port is recieved"
          : port == PortFlag::Lower ? "Message to lower port is recieved"
                                    : "Message to query port is recieved");
  // Only what the record keeps is decoded: a big message is decoded whole once, when framed.
  LogUtf16(pipeline.LastReceived(2 * kLogRecordCharacters));
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

// A connection's answer buffer is kept up to this size; a bigger one is given back once sent.
constexpr std::size_t kKeptAnswerBytes = 4u << 20;

// With more, the answer may wait in the kernel for the next one (see SendWithin). wire is the
// connection's buffer for the answer's bytes.
void SendAnswer(ServerParts& server, int socket, std::int32_t clientNumber,
                const SessionAnswer& given, EncodingType order, bool more, std::string& wire) {
  const std::u16string& answer = given.text;
  LogText(given.repeat ? "\nVIDRA - send the answer given before to NRCS:\n"
                       : "\nVIDRA - send answer to NRCS:\n");
  LogUtf16(answer);
  server.metrics.Add("vidra_messages_sent_total", KindLabel(given.kind));
  if (given.ok) {
    server.metrics.Add("vidra_answers_total", *given.ok ? "status=\"OK\"" : "status=\"NACK\"");
  }
  MessageRecord record;
  record.clientNumber = clientNumber;
  record.text = JournalText(answer);
  record.direction = kDirectionSent;
  record.time = server.clock->UtcNow();
  record.repeat = given.repeat;
  server.journal.Append(std::move(record));
  ConvertAnswerInto(order, answer, wire);
  FlushLogBatch();  // the answer's records are in the log before the NRCS has it
  const ssize_t sent = SendWithin(socket, wire.data(), wire.size(), kSendLimit, more);
  const int sendError = errno;
  Log("VIDERA - Send %d bytes answer to NRCS with result = %d\n", static_cast<int>(wire.size()),
      static_cast<int>(sent));
  if (wire.capacity() > kKeptAnswerBytes) {
    std::string().swap(wire);
  }
  if (sent < 0) {
    // A peer that takes no answer for seconds, or a broken connection: its connection
    // thread ends at its next receive.
    Log("VIDRA - the answer is not taken (%s); the connection is closed\n",
        ErrorText(sendError).c_str());
    ShutdownSocket(socket);
  }
}

// The first connection of a host since the start: it is asked for every running order of
// each channel, so that what it holds and the server lost comes back.
void AskForRunningOrders(ServerParts& server, in_addr_t host) {
  if (!server.network.resyncOnConnect || server.player == nullptr ||
      !server.resync.FirstConnection(host)) {
    return;
  }
  Log("VIDRA - first connection of NRCS %s since the start: it is asked for its running orders",
      FormatHost(host).c_str());
  for (const ChannelRecord& channel : server.player->Channels()) {
    server.resync.Request(
        host, ResyncRequest{MosText(server.player->ServerName() + "." + channel.channelName),
                            MosText(), MosText()});
  }
}

}  // namespace

SocketPort& ListenerOf(ServerParts& server, PortFlag port) {
  switch (port) {
    case PortFlag::Lower:
      return server.lowerListener;
    case PortFlag::Upper:
      return server.upperListener;
    case PortFlag::Query:
      break;
  }
  return server.queryListener;
}

void AcceptClientsOneByOne(ServerParts& server, PortFlag port) {
  SocketPort& listener = ListenerOf(server, port);
  Log("%u try to the while cycle\n", listener.BoundPort());
  while (!server.stop.stop_requested()) {
    LogText(port == PortFlag::Lower   ? "I'm inside, wait connection to low port\n"
            : port == PortFlag::Upper ? "I'm inside, wait connection to upper port\n"
                                      : "I'm inside, wait connection to query port\n");
    sockaddr_in peer{};
    const int socket = listener.Accept(peer);
    if (server.stop.stop_requested()) {
      CloseSocket(socket);  // accepted as the server stops: not served
      break;
    }
    if (socket == kInvalidSocket) {
      LogText("INVALID_SOCKET");
      server.clock->SleepFor(kAcceptRetryDelay);
      continue;
    }
    if (!server.network.Allows(ntohl(peer.sin_addr.s_addr))) {
      Log("VIDRA - %s is not among [Network] AllowedHosts: its connection is closed\n",
          FormatAddress(peer).c_str());
      server.metrics.Add("vidra_connections_refused_total", "reason=\"not allowed\"");
      CloseSocket(socket);
      continue;
    }
    if (server.connections.Live() >= server.network.maxConnections) {
      Log("VIDRA - %u connections are served already, connection from %s is closed\n",
          server.network.maxConnections, FormatAddress(peer).c_str());
      CloseSocket(socket);
      continue;
    }
    const ClientConnection connection{&server, socket, peer.sin_addr.s_addr};
    ConnectionInfo info{FormatAddress(peer), listener.BoundPort(), -1, -1, server.clock->UtcNow()};
    server.connections.Start(
        socket, [connection, port] { ServeConnection(connection, port); }, std::move(info));
    LogText(port == PortFlag::Lower   ? "Thread for client on low port is created\n"
            : port == PortFlag::Upper ? "Thread for client on up port is created\n"
                                      : "Thread for client on query port is created\n");
    // A backup asks the NRCS for nothing and pushes it no objects: its main does.
    const bool standingBy = server.role != nullptr && server.role->StandingBy().has_value();
    if (port == PortFlag::Upper) {
      if (!standingBy) {
        AskForRunningOrders(server, connection.peerAddress);
      }
      StartNoticeSender(server, connection.peerAddress);
    } else if (port == PortFlag::Lower && !standingBy) {
      StartObjectSender(server, connection.peerAddress);
    }
  }
  LogText("i will go away from mos sock");
}

void ServeConnection(const ClientConnection& connection, PortFlag port) {
  ServerParts& server = *connection.owner;
  // A message costs half a dozen records; they go to the log together.
  LogBatch logBatch;
  const std::int32_t receivedNumber = server.clientQueue.NextClientNumber();
  const std::int32_t answerNumber = server.clientQueue.NextClientNumber();
  server.connections.SetClientNumbers(connection.socket, receivedNumber, answerNumber);
  MessagePipeline pipeline;
  std::string wire;  // each answer's bytes, in memory kept from answer to answer
  const MessageOrigin origin{port, FormatHost(connection.peerAddress), connection.peerAddress};
  auto session = server.sessionFactory();
  const HResult init = session->Initialize();
  if (init != HResult::S_OK) {
    Log("\nVIDRA::ERROR on parser init, hres=0x%X\n", Code(init));
    return;
  }
  if (!ReceiveChunk(connection.socket, pipeline, port)) {
    Log("\nVIDRA - Finish working thread on %s port\n", PortWord(port));
    return;
  }
  do {
    Log("\nVIDRA - Message to %s port is accepted, try to parse\n", PortWord(port));
    bool firstAttempt = true;
    bool heldBack = false;  // an answer sent with more waits in the kernel
    for (;;) {
      std::u16string message;
      const FrameResult framed = pipeline.Next(message);
      if (framed == FrameResult::Overflow) {
        Log("\nVIDRA - no </mos> in %zu characters, the pending text is dropped\n",
            MessagePipeline::kDefaultLimit);
        break;
      }
      if (framed == FrameResult::NeedMore) {
        if (firstAttempt) {
          LogText(
              "\nVIDRA - It is not XML or there is no brackets number equality, continue "
              "receiving\n");
        }
        break;
      }
      firstAttempt = false;
      const bool loaded = session->LoadMessage(message);
      MessageRecord record;
      record.clientNumber = receivedNumber;
      record.text = JournalText(message);
      record.encodingType = EncodingType::LowByteFirst;  // as the machine holds it
      record.previousType = pipeline.Order();
      record.direction = kDirectionReceived;
      record.time = server.clock->UtcNow();
      server.noticeHosts.RecordMessage(connection.peerAddress, session->Kind() == "heartbeat",
                                       record.time);
      // A main NRCS heard again takes back the notices its buddy took meanwhile.
      if (const auto wake = server.nrcs.Heard(
              connection.peerAddress, IsRunningOrderMessage(session->Kind()), record.time)) {
        StartNoticeSender(server, *wake);
      }
      server.journal.Append(std::move(record));
      server.metrics.Add("vidra_messages_received_total", KindLabel(session->Kind()));
      if (!loaded) {
        // Framed by <mos>...</mos>, the message is whole and wrong: the NRCS is told so at
        // once rather than left to time out and send the same bytes again.
        Log("\nVIDRA - a message from %s on the %s port is not well-formed XML (%s): it is "
            "answered NACK\n",
            origin.host.c_str(), PortWord(port), session->LoadError().c_str());
        if (const auto answer = session->MalformedAnswer(origin, message)) {
          heldBack = pipeline.Pending() > 0;
          SendAnswer(server, connection.socket, answerNumber, *answer, pipeline.Order(), heldBack,
                     wire);
        }
        continue;  // the messages buffered behind it are served
      }
      Log("%s", session->GetXml().c_str());
      if (std::int32_t acked = 0; session->IsRoAck(acked)) {
        server.noticeHosts.RecordAck(connection.peerAddress, acked, server.clock->UtcNow());
        continue;
      }
      if (const auto answer = session->HandleMessage(origin)) {
        // More text is buffered: most likely the next message of a pipelining NRCS.
        heldBack = pipeline.Pending() > 0;
        SendAnswer(server, connection.socket, answerNumber, *answer, pipeline.Order(), heldBack,
                   wire);
      }
    }
    if (heldBack) {
      PushPending(connection.socket);  // nothing may wait in the kernel while we receive
    }
  } while (ReceiveChunk(connection.socket, pipeline, port));
  pipeline.Finish();
  Log("\nVIDRA - Finish working thread on %s port\n", PortWord(port));
}

}  // namespace vidra
