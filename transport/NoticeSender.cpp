// The wait for each answer polls the connection for 10 ms and then sleeps 100 ms on the
// server's clock, testing the 5000 ms limit only after the sleep, so a notice that gets no
// answer at all is given up between 5000 and about 5110 ms after it was sent.
#include "transport/NoticeSender.h"

#include <arpa/inet.h>

#include <memory>
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
constexpr auto kAnswerSleep = 100ms;
constexpr auto kAnswerLimit = 5000ms;
// How long the NRCS host may take to accept the notice connection.
constexpr auto kConnectLimit = 5000ms;
// A notice goes from one NRCS of a main/buddy pair to the other at most this often: past
// it, both have had it, and it would only hold up the ones behind it.
constexpr std::uint32_t kHandoverLimit = 2;

enum class WaitEnd { Answered, NoAnswer, ConnectionLost };

class NoticeSender {
 public:
  NoticeSender(ServerParts& server, in_addr_t host)
      : server_(server), host_(host), writer_(*server.clock), parser_(*server.clock) {}

  void Run() {
    LogText("\nVIDRA::Thread for clip state sending start...\n");
    if (connection_.Connect(ntohl(host_), server_.network.nrcsUpperPort, kConnectLimit,
                            server_.stop) != HResult::S_OK) {
      LogText(
          "\nVIDRA::Thread for clip state sending start ERROR - can't open socket on remote "
          "client\n");
      NotTaken(std::nullopt, NrcsFault::Unreachable, "cannot be reached");
      return;
    }
    noticeNumber_ = server_.clientQueue.NextClientNumber();
    answerNumber_ = server_.clientQueue.NextClientNumber();
    static_cast<void>(parser_.Initialize());
    bool connected = true;
    while (connected && !server_.stop.stop_requested()) {
      server_.clock->SleepWhile(kQueuePoll, server_.stop);
      // Between notices too: a late answer is journalled, and an NRCS that closed the
      // connection is noticed before a notice is spent on it.
      if (connection_.IsReadable()) {
        connected = ReadAnswer(server_.noticeHosts.AckSequence()) != WaitEnd::ConnectionLost;
      }
      while (connected && !server_.stop.stop_requested() &&
             server_.player->NoticeCount(Taker()) != 0) {
        connected = SendOne();
      }
      // Between notices, the running orders the NRCS is asked for, one at a time.
      while (connected && !server_.stop.stop_requested() &&
             server_.player->NoticeCount(Taker()) == 0) {
        const std::optional<ResyncRequest> request = server_.resync.Next(host_);
        if (!request) {
          break;
        }
        connected = SendRequest(*request);
      }
    }
    connection_.Close();
    if (!connected && !server_.stop.stop_requested()) {
      NotTaken(std::nullopt, NrcsFault::Unreachable, "closed the notice connection");
    }
    LogText("\nVIDRA::Thread for clip state sending finish.\n");
  }

 private:
  // Sends the oldest waiting notice and waits for its answer. False when the connection
  // is lost. The notice is not sent to this host again either way; with a buddy NRCS set up,
  // one this host did not take goes to the other of the pair.
  bool SendOne() {
    noticeCounter_ = noticeCounter_ == INT32_MAX ? 1 : noticeCounter_ + 1;
    std::optional<StatusNotice> notice = server_.player->PopNotice(Taker());
    if (!notice) {
      return true;  // taken by another host's sender between the count and the pop
    }
    StatusNotice addressed = *notice;
    if (notice->host != 0 && notice->host != host_) {
      // The buddy of the NRCS that sent the running order (or the main of the buddy that
      // did): it is named by its own ncsID; the notice keeps the sender's, should it go back.
      if (const MosText ncsID = server_.resync.NcsOf(host_); ncsID.Present()) {
        addressed.ncsID = ncsID;
      }
    }
    writer_.BuildRoElementStat(MosText(std::to_string(noticeCounter_)), addressed);
    const std::u16string text = writer_.GetAnswer();
    Log("\nVIDRA - Send notify to UpperPort about clip state changes :\n%s\n",
        Utf16ToUtf8(text).c_str());
    // Acknowledgements numbered up to here came before this notice and cannot answer it.
    const std::uint64_t since = server_.noticeHosts.AckSequence();
    const bool sent = JournalAndSend(text);
    const int sendError = errno;
    if (!sent) {
      // A peer that does not read, or a broken connection: a half-sent notice would spoil
      // every later message on this connection, so the sender ends here.
      Log("VIDRA - ... Notify is not sent to %s: %s; the notice connection is closed.\n",
          FormatHost(host_).c_str(), ErrorText(sendError).c_str());
      NotTaken(std::move(notice), NrcsFault::Unreachable, "lost the notice connection");
      return false;
    }
    server_.metrics.Add("vidra_notices_sent_total");
    server_.metrics.Add("vidra_messages_sent_total", "type=\"roElementStat\"");
    LogText("VIDRA - Wait answer after notify...\n");
    const auto t0 = server_.clock->Monotonic();
    ackStatus_.clear();
    const WaitEnd end = AwaitAnswer(since, t0);
    server_.metrics.Add(end == WaitEnd::Answered   ? "vidra_notices_acknowledged_total"
                        : end == WaitEnd::NoAnswer ? "vidra_notices_timed_out_total"
                                                   : "vidra_notices_lost_total");
    if (end == WaitEnd::NoAnswer) {
      const auto waited =
          std::chrono::duration_cast<std::chrono::milliseconds>(server_.clock->Monotonic() - t0);
      Log("VIDRA - ... Timeout %dms (>5000) for answer wating (no answer).\n",
          static_cast<int>(waited.count()));
      NotTaken(std::move(notice), NrcsFault::Declined, "gave no answer within 5 s");
    } else if (end == WaitEnd::ConnectionLost) {
      NotTaken(std::move(notice), NrcsFault::Unreachable, "lost the notice connection");
    } else if (SaysNotActive(ackStatus_)) {
      NotTaken(std::move(notice), NrcsFault::Declined, "answers '" + ackStatus_ + "'");
    }
    return end != WaitEnd::ConnectionLost;
  }

  // Which waiting notices this sender takes: with a buddy NRCS set up, those of the pair
  // while its host is the active one.
  PlayoutManager::NoticeTaker Taker() const {
    return [route = server_.nrcs.Route(), host = host_](std::uint32_t noticeHost) {
      return route.Takes(host, noticeHost);
    };
  }

  // The NRCS did not take notice (none: it failed before one was sent). With a buddy NRCS
  // set up, the other of the pair may become the active one; the notice goes to it next.
  void NotTaken(std::optional<StatusNotice> notice, NrcsFault fault, const std::string& why) {
    if (server_.stop.stop_requested()) {
      return;  // the wait ended for the stop, not for the NRCS; no sender starts now
    }
    const std::optional<in_addr_t> active =
        server_.nrcs.Failed(host_, fault, why, server_.clock->UtcNow());
    if (!active) {
      return;
    }
    if (notice) {
      if (notice->handovers < kHandoverLimit) {
        ++notice->handovers;
        server_.player->HandOver(std::move(*notice));
      } else {
        Log("VIDRA - neither NRCS of the pair took the notice %s of item %s; it is dropped\n",
            notice->status.CStr(), notice->itemID.CStr());
      }
    }
    StartNoticeSender(server_, *active);
  }

  // A message of the server's own on the notice connection: journalled, then sent high byte
  // first. False, with errno telling why, when it could not be sent whole.
  bool JournalAndSend(const std::u16string& text) {
    MessageRecord record;
    record.text = JournalText(text);
    record.clientNumber = noticeNumber_;
    record.time = server_.clock->UtcNow();
    record.direction = kDirectionSent;
    server_.journal.Append(std::move(record));
    EncodingType classified = EncodingType::Undetermined;
    const std::string bytes = ConvertNotice(text, classified);
    return SendWithin(connection_.Handle(), bytes.data(), bytes.size()) >= 0;
  }

  // Sends a roReq (or roReqAll) and waits, as for a notice, for the message that answers it;
  // what comes back is stored as it arrives (see ReadAnswer). False when the connection is
  // lost.
  bool SendRequest(const ResyncRequest& request) {
    noticeCounter_ = noticeCounter_ == INT32_MAX ? 1 : noticeCounter_ + 1;
    const MosText id(std::to_string(noticeCounter_));
    const MosText ncsID = request.ncsID.Present() ? request.ncsID : server_.resync.NcsOf(host_);
    if (request.roID.Present()) {
      writer_.BuildRoReq(request.mosID, ncsID, id, request.roID);
    } else {
      writer_.BuildRoReqAll(request.mosID, ncsID, id);
    }
    const std::u16string text = writer_.GetAnswer();
    Log("VIDRA - ask NRCS %s for %s%s\n", FormatHost(host_).c_str(),
        request.roID.Present() ? "running order " : "every running order of ",
        (request.roID.Present() ? request.roID : request.mosID).CStr());
    const std::uint64_t since = server_.noticeHosts.AckSequence();
    if (!JournalAndSend(text)) {
      Log("VIDRA - ... the request is not sent to %s: %s; the notice connection is closed.\n",
          FormatHost(host_).c_str(), ErrorText(errno).c_str());
      return false;
    }
    server_.metrics.Add("vidra_resync_requests_total");
    server_.metrics.Add("vidra_messages_sent_total",
                        request.roID.Present() ? "type=\"roReq\"" : "type=\"roReqAll\"");
    server_.resync.CountSent(host_, server_.clock->UtcNow());
    awaitedReply_ = id.Str();
    const WaitEnd end = AwaitAnswer(since, server_.clock->Monotonic());
    awaitedReply_.clear();
    if (end == WaitEnd::NoAnswer) {
      Log("VIDRA - ... NRCS %s did not answer the request within 5 s\n", FormatHost(host_).c_str());
    }
    return end != WaitEnd::ConnectionLost;
  }

  // A roList or roListAll that answers a request: the running order is stored, or the ones
  // the channel lacks are asked for in turn.
  void TakeRunningOrders() {
    if (const std::optional<MosText> stored = parser_.StoreReceivedList(*server_.player, host_)) {
      Log("VIDRA - running order %s from NRCS %s is stored\n", stored->CStr(),
          FormatHost(host_).c_str());
      server_.resync.CountStored(host_);
      return;
    }
    MosText mosID;
    for (MosText& roID : parser_.MissingOfListAll(*server_.player, mosID)) {
      server_.resync.Request(host_, ResyncRequest{mosID, server_.resync.NcsOf(host_), roID});
    }
  }

  WaitEnd AwaitAnswer(std::uint64_t since, std::chrono::nanoseconds t0) {
    while (!server_.stop.stop_requested()) {
      if (connection_.IsReadable()) {
        const WaitEnd end = ReadAnswer(since);
        if (end != WaitEnd::NoAnswer) {
          return end;
        }
      } else {
        server_.clock->SleepWhile(kAnswerSleep, server_.stop);
        if (server_.noticeHosts.AckedSince(host_, noticeCounter_, since)) {
          LogText("VIDRA - ... Answer was detected on main connection\n");
          return WaitEnd::Answered;
        }
      }
      // Also after a receive: an NRCS that keeps sending other messages on the notice
      // connection must not hold the wait open for ever.
      if (server_.clock->Monotonic() - t0 > kAnswerLimit) {
        break;
      }
    }
    return WaitEnd::NoAnswer;
  }

  // One receive on the notice connection; every whole message in it is journalled and an
  // acknowledgement among them recorded for the host.
  WaitEnd ReadAnswer(std::uint64_t since) {
    const ssize_t received = ReceiveInto(connection_.Handle(), pipeline_);
    if (received <= 0) {
      Log("VIDRA - ... Notice connection to %s is %s; the notice counts as unanswered.\n",
          FormatHost(host_).c_str(),
          received == 0 ? "closed by the NRCS" : ("lost: " + ErrorText(errno)).c_str());
      return WaitEnd::ConnectionLost;
    }
    LogUtf16(u"VIDRA - ... Answer for notify is received: " +
             pipeline_.LastReceived(2 * kLogRecordCharacters) + u"\n");
    WaitEnd end = WaitEnd::NoAnswer;
    for (;;) {
      std::u16string message;
      const FrameResult framed = pipeline_.Next(message);
      if (framed == FrameResult::Overflow) {
        Log("\nVIDRA - no </mos> in %zu characters, the pending text is dropped\n",
            MessagePipeline::kDefaultLimit);
        break;
      }
      if (framed == FrameResult::NeedMore) {
        break;
      }
      if (!parser_.LoadMessage(message)) {
        continue;
      }
      MessageRecord record;
      record.encodingType = EncodingType::LowByteFirst;  // as the machine holds it
      record.previousType = pipeline_.Order();
      record.text = JournalText(message);
      record.clientNumber = answerNumber_;
      record.direction = kDirectionReceived;
      record.time = server_.clock->UtcNow();
      const MessageFacts facts = parser_.Facts();
      server_.noticeHosts.RecordMessage(host_, facts.name == "heartbeat", record.time);
      if (const auto wake =
              server_.nrcs.Heard(host_, IsRunningOrderMessage(facts.name), record.time);
          wake && *wake != host_) {
        StartNoticeSender(server_, *wake);
      }
      server_.journal.Append(std::move(record));
      const bool reply = !awaitedReply_.empty() && facts.messageID.Str() == awaitedReply_;
      if (std::int32_t acked = 0; parser_.IsRoAck(acked)) {
        server_.noticeHosts.RecordAck(host_, acked, server_.clock->UtcNow());
        if (reply || server_.noticeHosts.AckedSince(host_, noticeCounter_, since)) {
          end = WaitEnd::Answered;
          ackStatus_ = parser_.RoAckStatus();
        }
        continue;
      }
      TakeRunningOrders();
      if (reply) {
        end = WaitEnd::Answered;
      }
    }
    return end;
  }

  ServerParts& server_;
  in_addr_t host_;
  SocketPort connection_;
  std::int32_t noticeCounter_ = 1;
  MOSXMLWriter writer_;
  MOSXMLParser parser_;
  MessagePipeline pipeline_;
  std::int32_t noticeNumber_ = 0;
  std::int32_t answerNumber_ = 0;
  std::string awaitedReply_;  // the messageID of the request waiting for its answer
  std::string ackStatus_;     // the roStatus of the answer to the last notice
};

}  // namespace

void StartNoticeSender(ServerParts& server, in_addr_t host) {
  if (server.player == nullptr) {
    return;
  }
  if (!server.noticeHosts.ClaimSender(host)) {
    Log("VIDRA - clip states for %s go out on its running sender\n", FormatHost(host).c_str());
    return;
  }
  try {
    server.noticeThreads.Start(kInvalidSocket, [&server, host] { SendNotices(server, host); });
  } catch (...) {
    server.noticeHosts.ReleaseSender(host);
    throw;
  }
}

void SendNotices(ServerParts& server, in_addr_t host) {
  struct Claim {
    ServerParts& server;
    in_addr_t host;
    ~Claim() { server.noticeHosts.ReleaseSender(host); }
  } claim{server, host};
  auto sender = std::make_unique<NoticeSender>(server, host);
  sender->Run();
}

}  // namespace vidra
