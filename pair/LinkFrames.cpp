#include "pair/LinkFrames.h"

#include "common/Bytes.h"

namespace vidra {

namespace {

void PutChange(ByteWriter& w, const RoChange& c) {
  w.Number(c.roKey);
  w.Byte(c.removeRo ? 1 : 0);
  w.Byte(c.row ? 1 : 0);
  if (c.row) {
    w.Number(c.row->key);
    w.Signed(c.row->channel);
    w.Signed(c.row->position);
    w.Bytes(c.row->roID);
    w.Bytes(c.row->header);
    w.Bytes(c.row->control);
    w.Number(c.row->nrcsHost);
  }
  w.MaybeBytes(c.control);
  w.Byte(c.replaceItems ? 1 : 0);
  const auto putState = [&w](const StoredItemState& s) {
    w.Number(s.key);
    w.Signed(s.state);
    w.Number(s.stateTime);
    w.Number(s.playTicks);
    w.Real(s.markIn);
    w.Real(s.playDuration);
    w.Byte(s.timed ? 1 : 0);
  };
  w.Number(c.items.size());
  for (const StoredItem& i : c.items) {
    w.Number(i.roKey);
    w.Bytes(i.body);
    putState(i.state);
  }
  w.Number(c.removedItems.size());
  for (const std::uint64_t key : c.removedItems) {
    w.Number(key);
  }
  w.Number(c.states.size());
  for (const StoredItemState& s : c.states) {
    putState(s);
  }
  w.Byte(c.message ? 1 : 0);
  if (c.message) {
    w.Bytes(c.message->host);
    w.Signed(c.message->port);
    w.Bytes(c.message->messageID);
    w.Number(c.message->digest);
  }
}

bool Flag(ByteReader& r) {
  const unsigned char b = r.Byte();
  if (b > 1) {
    r.Fail();
  }
  return b == 1;
}

// A count of entries that cannot be more than the bytes left: a damaged count must not make
// the reader reserve gigabytes.
std::uint64_t Count(ByteReader& r) {
  const std::uint64_t n = r.Number();
  if (n > kMaxFrameBytes) {
    r.Fail();
    return 0;
  }
  return n;
}

MessageKey GetKey(ByteReader& r) {
  MessageKey key;
  key.host = r.Bytes();
  key.port = r.Int32();
  key.messageID = r.Bytes();
  key.digest = r.Number();
  return key;
}

void PutKey(ByteWriter& w, const MessageKey& key) {
  w.Bytes(key.host);
  w.Signed(key.port);
  w.Bytes(key.messageID);
  w.Number(key.digest);
}

RoChange GetChange(ByteReader& r) {
  RoChange c;
  c.roKey = r.Number();
  c.removeRo = Flag(r);
  if (Flag(r)) {
    StoredRo row;
    row.key = r.Number();
    row.channel = r.Int32();
    row.position = r.Signed();
    row.roID = r.Bytes();
    row.header = r.Bytes();
    row.control = r.Bytes();
    row.nrcsHost = static_cast<std::uint32_t>(r.Number());
    c.row = std::move(row);
  }
  c.control = r.MaybeBytes();
  c.replaceItems = Flag(r);
  const auto getState = [&r] {
    StoredItemState s;
    s.key = r.Number();
    s.state = r.Int32();
    s.stateTime = r.Number();
    s.playTicks = r.Number();
    s.markIn = r.Real();
    s.playDuration = r.Real();
    s.timed = Flag(r);
    return s;
  };
  for (std::uint64_t n = Count(r); r.Ok() && n > 0; --n) {
    StoredItem i;
    i.roKey = r.Number();
    i.body = r.Bytes();
    i.state = getState();
    c.items.push_back(std::move(i));
  }
  for (std::uint64_t n = Count(r); r.Ok() && n > 0; --n) {
    c.removedItems.push_back(r.Number());
  }
  for (std::uint64_t n = Count(r); r.Ok() && n > 0; --n) {
    c.states.push_back(getState());
  }
  if (Flag(r)) {
    c.message = GetKey(r);
  }
  return c;
}

void PutNames(ByteWriter& w, const std::vector<std::string>& names) {
  w.Number(names.size());
  for (const std::string& name : names) {
    w.Bytes(name);
  }
}

std::vector<std::string> GetNames(ByteReader& r) {
  std::vector<std::string> names;
  for (std::uint64_t n = Count(r); r.Ok() && n > 0; --n) {
    names.push_back(r.Bytes());
  }
  return names;
}

void PutBody(ByteWriter& w, const LinkFrame& f) {
  w.Byte(static_cast<unsigned char>(f.kind));
  w.Number(f.seq);
  switch (f.kind) {
    case FrameKind::Hello:
      w.Number(f.hello.version);
      w.Byte(static_cast<unsigned char>(f.hello.role));
      w.Number(f.hello.epoch);
      PutNames(w, f.hello.channels);
      w.Number(f.hello.stream);
      w.Number(f.hello.seq);
      break;
    case FrameKind::Refuse:
      w.Bytes(f.text);
      break;
    case FrameKind::Change:
    case FrameKind::CopyRo:
      w.Byte(f.waited ? 1 : 0);
      PutChange(w, f.change);
      break;
    case FrameKind::Answer:
      PutKey(w, f.key.value_or(MessageKey{}));
      w.Bytes(f.answer);
      break;
    case FrameKind::CopyEnd:
      w.Number(f.maxKey);
      break;
    case FrameKind::Ping:
    case FrameKind::Ack:
      w.Number(f.sentAt);
      w.Number(f.peerAt);
      break;
    case FrameKind::Lacks:
      PutNames(w, f.names);
      break;
    case FrameKind::CopyBegin:
      break;
  }
}

bool GetBody(ByteReader& r, LinkFrame& f) {
  const unsigned char kind = r.Byte();
  if (kind < static_cast<unsigned char>(FrameKind::Hello) ||
      kind > static_cast<unsigned char>(FrameKind::Lacks)) {
    return false;
  }
  f.kind = static_cast<FrameKind>(kind);
  f.seq = r.Number();
  switch (f.kind) {
    case FrameKind::Hello: {
      f.hello.version = static_cast<std::uint32_t>(r.Number());
      const unsigned char role = r.Byte();
      if (role > static_cast<unsigned char>(PairRole::Backup)) {
        return false;
      }
      f.hello.role = static_cast<PairRole>(role);
      f.hello.epoch = r.Number();
      f.hello.channels = GetNames(r);
      f.hello.stream = r.Number();
      f.hello.seq = r.Number();
      break;
    }
    case FrameKind::Refuse:
      f.text = r.Bytes();
      break;
    case FrameKind::Change:
    case FrameKind::CopyRo:
      f.waited = Flag(r);
      f.change = GetChange(r);
      break;
    case FrameKind::Answer:
      f.key = GetKey(r);
      f.answer = r.Bytes();
      break;
    case FrameKind::CopyEnd:
      f.maxKey = r.Number();
      break;
    case FrameKind::Ping:
    case FrameKind::Ack:
      f.sentAt = r.Number();
      f.peerAt = r.Number();
      break;
    case FrameKind::Lacks:
      f.names = GetNames(r);
      break;
    case FrameKind::CopyBegin:
      break;
  }
  return r.Ok() && r.AtEnd();
}

void PutFixed(std::string& out, std::uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) {
    out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  }
}

std::uint64_t GetFixed(std::string_view in, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) {
    v = v << 8 | static_cast<unsigned char>(in[static_cast<std::size_t>(i)]);
  }
  return v;
}

constexpr std::size_t kLengthBytes = 4;
constexpr std::size_t kChecksumBytes = 8;

// The handshake (hello and refusal) is summed as by every version of the link, so that a
// peer of another version reads why it is refused; the rest, eight bytes a step.
std::uint64_t FrameChecksum(std::string_view body) {
  const auto kind = body.empty() ? 0 : static_cast<unsigned char>(body[0]);
  return kind == static_cast<unsigned char>(FrameKind::Hello) ||
                 kind == static_cast<unsigned char>(FrameKind::Refuse)
             ? Checksum64(body)
             : WordChecksum64(body);
}

}  // namespace

std::string EncodeFrame(const LinkFrame& frame) {
  ByteWriter w;
  PutBody(w, frame);
  const std::string body = w.Take();
  std::string out;
  out.reserve(body.size() + kLengthBytes + kChecksumBytes);
  PutFixed(out, body.size(), kLengthBytes);
  out += body;
  PutFixed(out, FrameChecksum(body), kChecksumBytes);
  return out;
}

FrameReader::Status FrameReader::Next(LinkFrame& out, std::string& why) {
  const std::string_view rest = std::string_view(buffer_).substr(at_);
  if (rest.size() < kLengthBytes) {
    return Status::NeedMore;
  }
  const std::uint64_t length = GetFixed(rest, kLengthBytes);
  if (length == 0 || length > kMaxFrameBytes) {
    why = "a frame of " + std::to_string(length) + " bytes";
    return Status::Damaged;
  }
  if (rest.size() < kLengthBytes + length + kChecksumBytes) {
    return Status::NeedMore;
  }
  const std::string_view body = rest.substr(kLengthBytes, length);
  if (GetFixed(rest.substr(kLengthBytes + length), kChecksumBytes) != FrameChecksum(body)) {
    why = "a frame whose checksum does not match its bytes";
    return Status::Damaged;
  }
  ByteReader r(body);
  out = LinkFrame{};
  if (!GetBody(r, out)) {
    why = "a frame whose fields do not read";
    return Status::Damaged;
  }
  at_ += kLengthBytes + length + kChecksumBytes;
  if (at_ > (std::size_t{1} << 20) && at_ * 2 > buffer_.size()) {
    buffer_.erase(0, at_);  // what was read goes, now and then, not on every frame
    at_ = 0;
  }
  return Status::Frame;
}

}  // namespace vidra
