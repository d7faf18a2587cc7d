// Frames of the pair's link: every kind reads back as written however the bytes are cut,
// and a damaged, oversized or meaningless frame is refused, never misread or half-read.
#include <gtest/gtest.h>

#include <random>

#include "common/Bytes.h"
#include "pair/LinkFrames.h"

namespace vidra {
namespace {

RoChange WholeChange() {
  RoChange c;
  c.roKey = 70;
  c.removeRo = true;
  c.row = StoredRo{70, 2, -3, "R\xC3\xA9", std::string("head\0er", 7), "ctl", 0x0100007f};
  c.control = "control";
  c.replaceItems = true;
  StoredItem i;
  i.roKey = 70;
  i.body = std::string(3000, 'b');
  i.state = StoredItemState{71, 5, 1234567890123ull, 99, 1.5, -2.25, true};
  c.items.push_back(i);
  c.removedItems = {72, 73};
  c.states.push_back(StoredItemState{74, 3, 1, 2, 0.0, 10.0, false});
  c.message = MessageKey{"10.1.2.3", 1, "4711", 0xFEDCBA9876543210ull};
  return c;
}

void ExpectSame(const RoChange& a, const RoChange& b) {
  EXPECT_EQ(a.roKey, b.roKey);
  EXPECT_EQ(a.removeRo, b.removeRo);
  ASSERT_EQ(a.row.has_value(), b.row.has_value());
  if (a.row) {
    EXPECT_EQ(a.row->channel, b.row->channel);
    EXPECT_EQ(a.row->position, b.row->position);
    EXPECT_EQ(a.row->roID, b.row->roID);
    EXPECT_EQ(a.row->header, b.row->header);
    EXPECT_EQ(a.row->nrcsHost, b.row->nrcsHost);
  }
  EXPECT_EQ(a.control, b.control);
  EXPECT_EQ(a.replaceItems, b.replaceItems);
  ASSERT_EQ(a.items.size(), b.items.size());
  for (std::size_t n = 0; n < a.items.size(); ++n) {
    EXPECT_EQ(a.items[n].body, b.items[n].body);
    EXPECT_EQ(a.items[n].state.key, b.items[n].state.key);
    EXPECT_EQ(a.items[n].state.stateTime, b.items[n].state.stateTime);
    EXPECT_EQ(a.items[n].state.playDuration, b.items[n].state.playDuration);
    EXPECT_EQ(a.items[n].state.timed, b.items[n].state.timed);
  }
  EXPECT_EQ(a.removedItems, b.removedItems);
  ASSERT_EQ(a.states.size(), b.states.size());
  EXPECT_EQ(a.states[0].state, b.states[0].state);
  ASSERT_EQ(a.message.has_value(), b.message.has_value());
  EXPECT_EQ(a.message->messageID, b.message->messageID);
  EXPECT_EQ(a.message->digest, b.message->digest);
  EXPECT_EQ(a.message->port, b.message->port);
}

TEST(LinkFrames, EveryKindReadsBackAsWrittenInOneChunkOrByteByByte) {
  LinkFrame hello;
  hello.kind = FrameKind::Hello;
  hello.hello = HelloFrame{kLinkVersion, PairRole::Backup, 7, {"NEWS", "SPORT"}, 1ull << 63, 42};
  LinkFrame change;
  change.kind = FrameKind::Change;
  change.seq = 43;
  change.waited = true;
  change.change = WholeChange();
  LinkFrame answer;
  answer.kind = FrameKind::Answer;
  answer.seq = 44;
  answer.key = MessageKey{"h", 2, "m", 5};
  answer.answer = "<mos>...</mos>";
  LinkFrame ack;
  ack.kind = FrameKind::Ack;
  ack.seq = 44;
  ack.sentAt = 1;
  ack.peerAt = ~0ull;
  LinkFrame lacks;
  lacks.kind = FrameKind::Lacks;
  lacks.seq = 12;
  lacks.names = {"S3/1", ""};
  const std::string wire = EncodeFrame(hello) + EncodeFrame(change) + EncodeFrame(answer) +
                           EncodeFrame(ack) + EncodeFrame(lacks);

  for (const bool byteByByte : {false, true}) {
    FrameReader reader;
    std::vector<LinkFrame> got;
    std::string why;
    LinkFrame frame;
    for (std::size_t at = 0; at < wire.size(); at += byteByByte ? 1 : wire.size()) {
      reader.Feed(std::string_view(wire).substr(at, byteByByte ? 1 : wire.size()));
      FrameReader::Status status;
      while ((status = reader.Next(frame, why)) == FrameReader::Status::Frame) {
        got.push_back(frame);
      }
      ASSERT_EQ(status, FrameReader::Status::NeedMore) << why;
    }
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0].hello.channels, (std::vector<std::string>{"NEWS", "SPORT"}));
    EXPECT_EQ(got[0].hello.role, PairRole::Backup);
    EXPECT_EQ(got[0].hello.stream, 1ull << 63);
    EXPECT_EQ(got[0].hello.seq, 42u);
    EXPECT_EQ(got[1].seq, 43u);
    EXPECT_TRUE(got[1].waited);
    ExpectSame(got[1].change, change.change);
    EXPECT_EQ(got[2].key->messageID, "m");
    EXPECT_EQ(got[2].answer, "<mos>...</mos>");
    EXPECT_EQ(got[3].peerAt, ~0ull);
    EXPECT_EQ(got[4].seq, 12u);
    EXPECT_EQ(got[4].names, (std::vector<std::string>{"S3/1", ""}));
  }
}

// The handshake is summed as every version of the link sums it, so that a peer of another
// version reads the hello and the refusal that names the versions; the rest is summed eight
// bytes a step, and a change of any byte of a frame, the last ones too, is seen.
TEST(LinkFrames, TheHandshakeIsReadByEveryVersionAndEveryByteIsSummed) {
  const auto trailer = [](const std::string& framed) {
    std::uint64_t sum = 0;
    for (std::size_t k = framed.size() - 8; k < framed.size(); ++k) {
      sum = (sum << 8) | static_cast<unsigned char>(framed[k]);
    }
    return sum;
  };
  const auto body = [](const std::string& framed) {
    return std::string_view(framed).substr(4, framed.size() - 12);
  };
  LinkFrame hello;
  hello.kind = FrameKind::Hello;
  hello.hello = HelloFrame{2, PairRole::Main, 3, {"NEWS"}, 1, 0};
  LinkFrame refuse;
  refuse.kind = FrameKind::Refuse;
  refuse.text = "the peer speaks link version 2, this server 3";
  for (const LinkFrame& frame : {hello, refuse}) {
    const std::string framed = EncodeFrame(frame);
    EXPECT_EQ(trailer(framed), Checksum64(body(framed)));
  }
  LinkFrame change;
  change.kind = FrameKind::Change;
  change.change = WholeChange();
  const std::string framed = EncodeFrame(change);
  EXPECT_EQ(trailer(framed), WordChecksum64(body(framed)));

  std::string bytes(1001, 'x');
  const std::uint64_t whole = WordChecksum64(bytes);
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    std::string changed = bytes;
    changed[at] = 'y';
    ASSERT_NE(WordChecksum64(changed), whole) << at;
  }
  EXPECT_NE(WordChecksum64(bytes.substr(0, 1000)), whole) << "a byte fewer";
}

TEST(LinkFrames, DamagedOversizedAndMeaninglessFramesAreRefused) {
  LinkFrame change;
  change.kind = FrameKind::Change;
  change.seq = 9;
  change.change = WholeChange();
  const std::string good = EncodeFrame(change);
  std::string why;
  LinkFrame frame;

  for (const std::size_t at : {std::size_t{5}, good.size() / 2, good.size() - 1}) {
    std::string damaged = good;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
    FrameReader reader;
    reader.Feed(damaged);
    EXPECT_EQ(reader.Next(frame, why), FrameReader::Status::Damaged) << at;
    EXPECT_EQ(why, "a frame whose checksum does not match its bytes");
  }
  FrameReader huge;
  huge.Feed(std::string("\xFF\xFF\xFF\xFF", 4));
  EXPECT_EQ(huge.Next(frame, why), FrameReader::Status::Damaged);
  EXPECT_EQ(why, "a frame of 4294967295 bytes");

  // A checksum that holds over fields that do not: a kind no peer sends, a count past the
  // bytes, bytes left over.
  for (const std::string& body : {std::string("\x63\x00", 2), std::string("\x03\x01\x00\x00\x00"),
                                  std::string("\x08\x00\x00\x00\x00", 5)}) {
    std::string framed(4, '\0');
    framed[3] = static_cast<char>(body.size());
    framed += body;
    const std::uint64_t sum = WordChecksum64(body);
    for (int i = 7; i >= 0; --i) {
      framed.push_back(static_cast<char>((sum >> (8 * i)) & 0xFF));
    }
    FrameReader reader;
    reader.Feed(framed);
    EXPECT_EQ(reader.Next(frame, why), FrameReader::Status::Damaged);
    EXPECT_EQ(why, "a frame whose fields do not read");
  }

  FrameReader truncated;
  truncated.Feed(std::string_view(good).substr(0, good.size() - 1));
  EXPECT_EQ(truncated.Next(frame, why), FrameReader::Status::NeedMore);

  // Noise: refused or waited for, never a frame and never a crash.
  std::mt19937 random(5);
  for (int round = 0; round < 2000; ++round) {
    std::string noise(1 + random() % 64, '\0');
    for (char& c : noise) {
      c = static_cast<char>(random());
    }
    noise[0] = 0;  // lengths that fit, so the body is read
    FrameReader reader;
    reader.Feed(noise);
    EXPECT_NE(reader.Next(frame, why), FrameReader::Status::Frame);
  }
}

}  // namespace
}  // namespace vidra
