// What the main and the backup say to each other on the link, and how it is cut into frames:
// each frame is its length (4 bytes, big-endian), its body (a kind byte and the fields in
// the compact form of common/Bytes.h) and a checksum of the body (8 bytes). A frame whose
// length, checksum or fields do not hold is refused, never half-read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pair/PairSettings.h"
#include "rundown/RoPersistence.h"

namespace vidra {

// Raised whenever what goes over the link changes meaning: peers of different versions
// refuse each other.
constexpr std::uint32_t kLinkVersion = 3;
// A frame's body at most; a running order of thousands of items fits many times.
constexpr std::size_t kMaxFrameBytes = std::size_t{256} << 20;

enum class FrameKind : std::uint8_t {
  Hello = 1,      // each side once, first
  Refuse = 2,     // the peer will not link, and why (seq: its epoch, when that is the reason)
  Change = 3,     // one committed change, with its sequence number
  Answer = 4,     // an answer remembered for a message sent again
  CopyBegin = 5,  // a copy of the whole state follows, as of sequence number seq
  CopyRo = 6,     // one running order of the copy, as a change that writes it whole
  CopyEnd = 7,
  Ping = 8,  // the main's clock, for the offset; the backup answers with an Ack
  Ack = 9,   // the backup has applied everything up to seq
  // The backup's items it would play black for: their media is not here (seq: how many,
  // names: the first of them, "S3/1"); sent when that changes.
  Lacks = 10,
};

struct HelloFrame {
  std::uint32_t version = kLinkVersion;
  PairRole role = PairRole::Single;
  std::uint64_t epoch = 0;
  std::vector<std::string> channels;  // the channels' names, in order
  // The main's stream (one per run as main) and the last sequence number the sender has
  // (main) or has applied of that stream (backup; stream 0 when it needs a whole copy).
  std::uint64_t stream = 0;
  std::uint64_t seq = 0;
};

struct LinkFrame {
  FrameKind kind = FrameKind::Ping;
  std::uint64_t seq = 0;
  HelloFrame hello;                // Hello
  std::string text;                // Refuse: why
  RoChange change;                 // Change, CopyRo
  bool waited = false;             // Change: a commit (true) or a post of playout's
  std::optional<MessageKey> key;   // Answer
  std::string answer;              // Answer
  std::uint64_t sentAt = 0;        // Ping, Ack: the main's clock when the ping left (UTC)
  std::uint64_t peerAt = 0;        // Ack: the backup's clock when it answered (UTC)
  std::uint64_t maxKey = 0;        // CopyEnd: the largest key in use
  std::vector<std::string> names;  // Lacks
};

// The frame whole, ready to send.
std::string EncodeFrame(const LinkFrame& frame);

// Cuts frames out of what the link received. Feed it bytes; Next gives each whole frame.
class FrameReader {
 public:
  enum class Status { Frame, NeedMore, Damaged };
  void Feed(std::string_view bytes) { buffer_.append(bytes); }
  // Frame: out holds the next frame. Damaged: the stream is no longer fit to read, and why
  // says what is wrong.
  Status Next(LinkFrame& out, std::string& why);
  // Whether bytes of a next frame are here already.
  bool HasBytes() const { return buffer_.size() > at_; }

 private:
  std::string buffer_;
  std::size_t at_ = 0;
};

}  // namespace vidra
