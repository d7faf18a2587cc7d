// One connection's way from the bytes it receives to whole MOS messages, used alike by the
// connection threads, the notice and object senders and the receive fuzzer. Messages are
// cut out of the raw bytes: the first "<mos>" decides the connection's encoding (16-bit
// high or low byte first, or 8-bit text) and it is kept; each message runs from a "<mos>"
// to the first "</mos>" in that encoding and on the same 16-bit boundary, and is decoded
// once, whole, so a character split between receives is joined. Whatever stands between
// messages (garbage, zero units, the half of a message that a new "<mos>" cut short) is
// skipped, with one log line per burst, and never takes a whole message after it along.
// Tag letters may be in any case. Each connection owns one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "transport/Encoding.h"

namespace vidra {

// Bytes received and not yet taken. Room for a receive is made without clearing it, and the
// storage is kept from receive to receive: a connection of heartbeats neither allocates nor
// clears 64 KiB for each one.
class ReceiveBuffer {
 public:
  const char* data() const { return reinterpret_cast<const char*>(bytes_.get()); }
  std::size_t size() const { return size_; }
  std::string_view View() const { return {data(), size_}; }
  // Room for n bytes at the end; Added counts what came into it.
  std::uint8_t* Room(std::size_t n);
  void Added(std::size_t n) { size_ += n; }
  void Append(std::string_view bytes);
  // Drops the first n bytes.
  void EraseFront(std::size_t n);

 private:
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

enum class FrameResult {
  Complete,  // a whole message was cut out
  NeedMore,  // no whole message is buffered
  Overflow,  // a message passed the limit without a closing tag and was dropped
};

class MessagePipeline {
 public:
  // A message longer than this many characters without "</mos>" is dropped.
  static constexpr std::size_t kDefaultLimit = std::size_t{16} << 20;
  // What one receive asks the socket for at most.
  static constexpr std::size_t kReceiveBytes = 65536;
  // What it asks for while a message already that long is still coming in: a running order
  // of hundreds of KB comes in a few receives, and a connection of small messages keeps a
  // small buffer.
  static constexpr std::size_t kBigReceiveBytes = 262144;
  // The first message's bytes whose pairs are counted for the log.
  static constexpr std::size_t kCountedBytes = 28;

  explicit MessagePipeline(std::size_t limitCharacters = kDefaultLimit) : limit_(limitCharacters) {}

  // Room for the next receive at the end of the buffer, RoomSize() bytes of it; Commit takes
  // what came into it.
  std::uint8_t* ReceiveSpace();
  std::size_t RoomSize() const { return room_; }
  void Commit(std::size_t received);
  // The same for bytes at hand (tests, the fuzzer).
  void Append(std::string_view bytes);

  // Takes the next whole message, decoded to 16-bit text in the machine's order.
  FrameResult Next(std::u16string& message);
  // The connection's encoding, as its first message showed it; Undetermined before.
  EncodingType Order() const { return order_; }
  // Bytes received and not yet taken as messages or skipped.
  std::size_t Pending() const { return buffer_.size() - start_; }
  // The start of the newest receive as text, for the log: at most maxUnits characters,
  // decoded in the connection's encoding (or as it looks, before the first message).
  std::u16string LastReceived(std::size_t maxUnits) const;
  // Logs a burst of skipped bytes that no message has ended yet (the connection ends).
  void Finish();

 private:
  struct Open {
    std::size_t at = 0;
    EncodingType order = EncodingType::Undetermined;
  };
  // The first "<mos>" at or after from, in the connection's encoding once it is known.
  bool FindOpen(std::size_t from, Open& open) const;
  void Skip(std::size_t to);
  void CountFirstPairs(std::size_t at, std::size_t length);
  void ReportSkipped();
  void Compact();

  ReceiveBuffer buffer_;
  std::size_t start_ = 0;                    // bytes before it are taken or skipped
  std::uint64_t erased_ = 0;                 // bytes of the stream before the buffer's first
  std::size_t lastReceive_ = 0;              // where the newest receive began
  std::size_t room_ = kReceiveBytes;         // what the newest receive may take
  std::size_t message_ = std::string::npos;  // the open message's first byte, if one is open
  std::size_t scanned_ = 0;                  // closing tags were looked for up to here
  EncodingType order_ = EncodingType::Undetermined;
  std::size_t skipped_ = 0;   // bytes of the current burst that were no message
  bool skippedText_ = false;  // the burst held more than blanks
  bool counted_ = false;      // the first message's first pairs were counted
  std::size_t limit_;
};

// 16-bit or 8-bit text as the pipeline decodes a whole message: 8-bit text is UTF-8 when it
// is valid UTF-8, else Latin-1.
std::u16string DecodeText(std::string_view bytes, EncodingType order);

}  // namespace vidra
