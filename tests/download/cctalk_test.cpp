// The ccTalk dialogue: the library's CRC and cipher against the simulator's own, the
// reply judge, and one exchange over the fake unit (ticks, pieces, bounded waits).
#include "download/cctalk.h"

#include <gtest/gtest.h>

#include <random>

#include "sim/cctalk_cipher.h"
#include "tests/download/fake_unit.h"

namespace dfltest {
namespace {

using dfl::Form;

constexpr dfl::KeyDigits kKeys[] = {
    {4, 9, 0, 7, 2, 8}, {0, 0, 0, 0, 0, 0}, {9, 9, 9, 9, 9, 9}, {1, 2, 3, 4, 5, 6},
    {15, 14, 13, 12, 11, 10},  // nibbles above 9 are kept as they are
};

TEST(Cipher, RoundTripsEveryLengthAndMatchesTheSimulatorsOwn) {
  std::mt19937 random(7);
  for (const dfl::KeyDigits& key : kKeys) {
    for (std::size_t n = 1; n <= 138; ++n) {
      std::vector<std::uint8_t> clear(n);
      for (std::uint8_t& b : clear) b = static_cast<std::uint8_t>(random());
      std::vector<std::uint8_t> ours = clear, theirs = clear;
      dfl::Encrypt(ours.data(), n, key);
      sim::cctalk::Encrypt(theirs.data(), n, key);
      ASSERT_EQ(ours, theirs) << "n " << n;
      if (n >= 4) { EXPECT_NE(ours, clear) << "n " << n; }
      dfl::Decrypt(ours.data(), n, key);
      ASSERT_EQ(ours, clear) << "n " << n;
      sim::cctalk::Decrypt(theirs.data(), n, key);
      ASSERT_EQ(theirs, clear) << "n " << n;
    }
  }
}

TEST(Cipher, CrcIsXmodemOverTheMessageBytesButItsOwn) {
  const std::uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(dfl::Crc16(check, sizeof check), 0x31C3);
  // N = 0: bytes 0, 1 and 3 only; N = 3: and the data.
  std::uint8_t empty[5] = {40, 0, 0xAA, 254, 0xBB};
  const std::uint8_t fed[] = {40, 0, 254};
  EXPECT_EQ(dfl::MessageCrc(empty), dfl::Crc16(fed, 3));
  EXPECT_EQ(dfl::MessageCrc(empty), sim::cctalk::Crc(empty, 5));
  std::uint8_t data[8] = {40, 3, 0, 144, 1, 2, 3, 0};
  EXPECT_EQ(dfl::MessageCrc(data), sim::cctalk::Crc(data, 8));
}

std::vector<std::uint8_t> Reply(Form form, std::uint8_t header, bool encrypted,
                                const dfl::KeyDigits& key = kKeys[0]) {
  std::vector<std::uint8_t> reply = {1, 0, 40, header, 0};
  if (form == Form::kChecksum) {
    sim::cctalk::SetChecksum(reply.data(), reply.size());
  } else {
    sim::cctalk::SetCrc(reply.data(), reply.size());
    if (encrypted) sim::cctalk::Encrypt(reply.data() + 2, 3, key);
  }
  return reply;
}

TEST(JudgeReply, AcceptsAnAckAndTellsNakFromABadCheck) {
  struct Case {
    const char* name;
    Form form;
    bool encrypted;
    std::uint8_t header;
    int corrupt;  // byte to change, -1 none
    std::int32_t expected;
  } const cases[] = {
      {"checksum ack", Form::kChecksum, false, 0, -1, 5},
      {"checksum nak", Form::kChecksum, false, 5, -1, dfl::kNotAck},
      {"checksum bad, header 5", Form::kChecksum, false, 5, 4, dfl::kBadCheck},
      {"checksum bad, ack", Form::kChecksum, false, 0, 0, dfl::kBadCheck},
      {"crc ack", Form::kCrc, false, 0, -1, 5},
      {"crc nak", Form::kCrc, false, 5, -1, dfl::kNotAck},
      {"crc bad", Form::kCrc, false, 0, 2, dfl::kBadCheck},
      {"encrypted ack", Form::kCrc, true, 0, -1, 5},
      {"encrypted bad", Form::kCrc, true, 0, 3, dfl::kBadCheck},
  };
  for (const Case& c : cases) {
    std::uint8_t area[dfl::kDataArea] = {};
    std::vector<std::uint8_t> reply = Reply(c.form, c.header, c.encrypted);
    if (c.corrupt >= 0) reply[static_cast<std::size_t>(c.corrupt)] ^= 0x40;
    std::copy(reply.begin(), reply.end(), area);
    EXPECT_EQ(dfl::JudgeReply(area, 5, c.form, c.encrypted, kKeys[0]), c.expected) << c.name;
  }
  // An encrypted reply judged with other digits fails its check.
  std::uint8_t area[dfl::kDataArea] = {};
  const std::vector<std::uint8_t> reply = Reply(Form::kCrc, 0, true, kKeys[3]);
  std::copy(reply.begin(), reply.end(), area);
  EXPECT_EQ(dfl::JudgeReply(area, 5, Form::kCrc, true, kKeys[0]), dfl::kBadCheck);
  // A length byte taking the check past the data area: bad, nothing read past it.
  std::uint8_t longReply[dfl::kDataArea] = {1, 136, 0, 0};
  EXPECT_EQ(dfl::JudgeReply(longReply, 5, Form::kChecksum, false, kKeys[0]), dfl::kBadCheck);
}

// One exchange with the SR5 at address 2 over the fake unit.
struct Exchange : ::testing::Test {
  Exchange() : library(unit), port(library.library) {
    unit.AddAcceptor(0x02020103, 2, sim::PeripheralModel::kSr5);
    port.Build(2, 254, {}, Form::kChecksum);
  }
  FakeUnit unit;
  Library library;
  dfl::RawPort port;
};

TEST_F(Exchange, TimeoutsCountWholeTicksOfAHundredMs) {
  unit.bus.InjectFault({2, -1, 1, true, sim::FaultKind::kSilent});
  for (const auto& [timeout, ticks] : {std::pair{50u, 1}, {150u, 1}, {1000u, 10}}) {
    library.trace.lines.clear();
    const std::int64_t before = unit.clock.Counter();
    EXPECT_EQ(port.Dialogue(timeout), dfl::kTimeout);
    EXPECT_EQ(library.trace.Count("Sleeping... (* "), ticks) << timeout;
    EXPECT_EQ(library.trace.lines.back(), "Timeout Condition\n");
    // The ticks are waited out on the clock, not skipped.
    EXPECT_GE(unit.clock.Counter() - before, ticks * 100'000);
  }
}

TEST_F(Exchange, AReplyInPiecesIsJudgedWhenFiveBytesHaveCome) {
  std::vector<std::uint8_t> reply = {1, 2, 2, 0, 0xAB, 0xCD, 0};
  sim::cctalk::SetChecksum(reply.data(), reply.size());
  unit.pieces = {{}, {reply.begin(), reply.begin() + 3}, {reply.begin() + 3, reply.end()}};
  EXPECT_EQ(port.Dialogue(1000), 7);
  EXPECT_TRUE(std::equal(reply.begin(), reply.end(), port.request().Data));
  // Pieces of three and two: judged at five, over N + 5 = 7 bytes of which two are
  // still the request's; a reply that fails its check so.
  unit.pieces = {{reply.begin(), reply.begin() + 3}, {reply.begin() + 3, reply.begin() + 5}};
  port.Build(2, 96, {0x11, 0x22, 0x33}, Form::kChecksum);
  EXPECT_EQ(port.Dialogue(1000), dfl::kBadCheck);
  EXPECT_EQ(library.trace.lines.back(), "Bad Checksum\n");
  // A flood of bytes past the data area is a bad reply, not an overrun.
  unit.pieces = {std::vector<std::uint8_t>(4, 1), std::vector<std::uint8_t>(140, 1)};
  port.Build(2, 254, {}, Form::kChecksum);
  EXPECT_EQ(port.Dialogue(1000), dfl::kBadCheck);
}

TEST_F(Exchange, AnErrorAnswerToTheTransmitStillWaitsForTheReply) {
  unit.transmitAnswer = -1;
  EXPECT_EQ(port.Dialogue(1000), 5);
}

TEST_F(Exchange, AUnitThatStopsAnsweringEndsEachWaitAtItsBound) {
  unit.stopAnswering = true;
  const std::int64_t before = unit.clock.Counter();
  EXPECT_EQ(port.RequestBusControl(), dfl::kTimeout);
  EXPECT_EQ(port.Dialogue(1000), dfl::kTimeout);
  const std::int64_t waited = unit.clock.Counter() - before;
  EXPECT_GE(waited, 2 * 5'000'000);
  EXPECT_LT(waited, 2 * 5'000'000 + 100'000);
  // Paused between looks rather than spinning: about one look a millisecond.
  EXPECT_LT(unit.clock.Sleeps(), 11'000u);
}

}  // namespace
}  // namespace dfltest
