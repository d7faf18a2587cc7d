#include "transport/ObjectSender.h"

#include <arpa/inet.h>

#include <string>

#include "common/Log.h"
#include "common/Text.h"
#include "mos/MosXml.h"
#include "transport/Encoding.h"
#include "transport/Receive.h"

namespace vidra {

namespace {

using namespace std::chrono_literals;

constexpr auto kQueuePoll = 200ms;
constexpr auto kAnswerLimit = 5000ms;
constexpr auto kConnectLimit = 5000ms;
constexpr auto kRetryAfter = 10s;

class ObjectSender {
 public:
  ObjectSender(ServerParts& server, in_addr_t host)
      : server_(server), host_(host), parser_(*server.clock) {}

  void Run() {
    static_cast<void>(parser_.Initialize());
    while (!server_.stop.stop_requested()) {
      std::optional<ObjectMessage> message =
          server_.objects.Next(host_, server_.clock->Monotonic());
      if (!message) {
        server_.clock->SleepWhile(kQueuePoll, server_.stop);
        continue;
      }
      if (!connected_ && !Connect()) {
        server_.objects.PutBack(host_, std::move(*message));
        server_.clock->SleepWhile(kRetryAfter, server_.stop);
        continue;
      }
      if (!Send(*message)) {
        server_.objects.PutBack(host_, std::move(*message));
        connection_.Close();
        connected_ = false;
      }
    }
    connection_.Close();
  }

 private:
  bool Connect() {
    if (connection_.Connect(ntohl(host_), server_.network.nrcsLowerPort, kConnectLimit,
                            server_.stop) != HResult::S_OK) {
      if (!failing_) {
        Log("VIDRA - media objects for NRCS %s wait: its lower port %u takes no connection; "
            "it is tried every 10 s",
            FormatHost(host_).c_str(), static_cast<unsigned>(server_.network.nrcsLowerPort));
      }
      failing_ = true;
      return false;
    }
    failing_ = false;
    connected_ = true;
    sentNumber_ = server_.clientQueue.NextClientNumber();
    answerNumber_ = server_.clientQueue.NextClientNumber();
    pipeline_ = MessagePipeline();
    return true;
  }

  // Sends the mosObj and waits for its mosAck. False when the connection failed before the
  // message went out whole; a message that went out is not sent again, answered or not.
  bool Send(const ObjectMessage& message) {
    counter_ = counter_ == INT32_MAX ? 1 : counter_ + 1;
    MosText mosID;
    MosText ncsID;
    server_.objects.PeerOf(host_, mosID, ncsID);
    const ObjectWording wording{message.status, server_.player->frameRate,
                                server_.player->ServerName()};
    const char* type = message.all ? "mosListAll" : "mosObj";
    const std::string what =
        message.all ? std::to_string(message.all->size()) + " objects" : message.object.objID;
    if (message.all) {
      parser_.BuildMosListAll(mosID, ncsID, MosText(std::to_string(counter_)), *message.all,
                              wording);
    } else {
      parser_.BuildMosObj(mosID, ncsID, MosText(std::to_string(counter_)), message.object, wording);
    }
    const std::u16string text = parser_.GetAnswer();
    Journal(text, sentNumber_, kDirectionSent, EncodingType::Undetermined);
    EncodingType classified = EncodingType::Undetermined;
    const std::string bytes = ConvertNotice(text, classified);
    if (SendWithin(connection_.Handle(), bytes.data(), bytes.size()) < 0) {
      Log("VIDRA - %s of %s is not sent to %s: %s", type, what.c_str(), FormatHost(host_).c_str(),
          ErrorText(errno).c_str());
      return false;
    }
    server_.metrics.Add("vidra_messages_sent_total", std::string("type=\"") + type + "\"");
    const auto t0 = server_.clock->Monotonic();
    while (!server_.stop.stop_requested() && server_.clock->Monotonic() - t0 <= kAnswerLimit) {
      if (!connection_.IsReadable()) {
        server_.clock->SleepWhile(100ms, server_.stop);
        continue;
      }
      const ssize_t received = ReceiveInto(connection_.Handle(), pipeline_);
      if (received <= 0) {
        Log("VIDRA - the object connection to %s is closed; %s of %s counts as unanswered",
            FormatHost(host_).c_str(), type, what.c_str());
        connection_.Close();
        connected_ = false;
        return true;
      }
      if (ReadAnswers()) {
        return true;
      }
    }
    Log("VIDRA - NRCS %s did not acknowledge %s of %s within 5 s", FormatHost(host_).c_str(), type,
        what.c_str());
    return true;
  }

  // Journals every whole message received; true when a mosAck was among them.
  bool ReadAnswers() {
    bool acknowledged = false;
    for (;;) {
      std::u16string message;
      const FrameResult framed = pipeline_.Next(message);
      if (framed == FrameResult::NeedMore || framed == FrameResult::Overflow) {
        return acknowledged;
      }
      if (!parser_.LoadMessage(message)) {
        continue;
      }
      Journal(message, answerNumber_, kDirectionReceived, pipeline_.Order());
      acknowledged = acknowledged || parser_.Facts().name == "mosAck";
    }
  }

  // wire: the encoding a received message came in (Undetermined for what is sent).
  void Journal(std::u16string_view text, std::int32_t number, std::uint8_t direction,
               EncodingType wire) {
    MessageRecord record;
    record.text = JournalText(text);
    record.clientNumber = number;
    record.direction = direction;
    if (wire != EncodingType::Undetermined) {
      record.encodingType = EncodingType::LowByteFirst;  // as the machine holds it
      record.previousType = wire;
    }
    record.time = server_.clock->UtcNow();
    server_.journal.Append(std::move(record));
  }

  ServerParts& server_;
  in_addr_t host_;
  SocketPort connection_;
  bool connected_ = false;
  bool failing_ = false;  // the last connection attempt failed (and was logged)
  std::int32_t counter_ = 0;
  std::int32_t sentNumber_ = 0;
  std::int32_t answerNumber_ = 0;
  MOSXMLParser parser_;
  MessagePipeline pipeline_;
};

}  // namespace

void StartObjectSender(ServerParts& server, in_addr_t host) {
  if (server.player == nullptr || !server.objects.ClaimSender(host)) {
    return;
  }
  try {
    server.noticeThreads.Start(kInvalidSocket, [&server, host] {
      struct Claim {
        ServerParts& server;
        in_addr_t host;
        ~Claim() { server.objects.ReleaseSender(host); }
      } claim{server, host};
      ObjectSender(server, host).Run();
    });
  } catch (...) {
    server.objects.ReleaseSender(host);
    throw;
  }
}

}  // namespace vidra
