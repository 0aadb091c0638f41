// The ccTalk bus's peripherals where the download library's own tests cannot look:
// what an SR5 and the note acceptors keep, the forms they refuse, injected faults,
// reply timing and wire time on the virtual clock, and the POSIX cksum that status
// shows.
#include "sim/cctalk_bus.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "sim/cctalk_cipher.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using sim::PeripheralModel;
using sim::cctalk::KeyDigits;

constexpr std::uint8_t kAckHeader = 0, kNakHeader = 5;

struct Bus {
  Bus() {
    bus.Attach(PeripheralModel::kSr5, 2);
    bus.Attach(PeripheralModel::kElite, 40);
    bus.Attach(PeripheralModel::kLumina, 41);
  }
  // Sends a message and returns the header of the reply once due, or nothing.
  std::optional<std::uint8_t> Say(Bytes message, bool encrypted = false) {
    bus.Send(message.data(), message.size());
    std::uint8_t reply[16] = {};
    EXPECT_EQ(bus.Fetch(reply, sizeof reply), 0u) << "a reply before its time";
    clock.Advance(5000);
    const std::size_t count = bus.Fetch(reply, sizeof reply);
    if (count == 0) return std::nullopt;
    EXPECT_EQ(count, 5u);
    if (encrypted) sim::cctalk::Decrypt(reply + 2, 3, key);
    EXPECT_TRUE(sim::cctalk::ChecksumGood(reply, 5) || sim::cctalk::CrcGood(reply, 5));
    return reply[3];
  }
  sim::PeripheralHolding Holding(std::uint8_t address) const {
    for (const auto& holding : bus.Holdings())
      if (holding.address == address) return holding;
    ADD_FAILURE() << "no peripheral at " << int{address};
    return {};
  }

  platform::VirtualClock clock;
  sim::CcTalkBus bus{clock};
  KeyDigits key = sim::CcTalkBus::kDefaultKeyDigits;
};

Bytes Sr5Message(std::uint8_t header, Bytes data) {
  Bytes message{2, static_cast<std::uint8_t>(data.size()), 1, header};
  message.insert(message.end(), data.begin(), data.end());
  message.push_back(0);
  sim::cctalk::SetChecksum(message.data(), message.size());
  return message;
}

Bytes NoteMessage(std::uint8_t address, std::uint8_t header, Bytes data, bool encrypted,
                  const KeyDigits& key = sim::CcTalkBus::kDefaultKeyDigits) {
  Bytes message{address, static_cast<std::uint8_t>(data.size()), 0, header};
  message.insert(message.end(), data.begin(), data.end());
  message.push_back(0);
  sim::cctalk::SetCrc(message.data(), message.size());
  if (encrypted) sim::cctalk::Encrypt(message.data() + 2, message.size() - 2, key);
  return message;
}

Bytes Pattern(std::size_t count, std::uint8_t seed) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
  return bytes;
}

TEST(PosixCksumTest, MatchesTheCksumProgram) {
  EXPECT_EQ(sim::PosixCksum({}), 4294967295u);
  EXPECT_EQ(sim::PosixCksum({'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 930766865u);
  EXPECT_EQ(sim::PosixCksum(Bytes(1030, 'a')), 1792094112u);  // a length of two bytes
}

TEST(CipherTest, DecryptionUndoesEncryptionForEveryLengthAndKey) {
  EXPECT_EQ(sim::cctalk::Crc16(Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'}.data(), 9),
            0x31C3);
  for (const KeyDigits& key : {KeyDigits{4, 9, 0, 7, 2, 8}, KeyDigits{9, 9, 9, 9, 9, 9}}) {
    for (std::size_t n = 1; n <= 138; ++n) {
      const Bytes clear = Pattern(n, static_cast<std::uint8_t>(n));
      Bytes buffer = clear;
      sim::cctalk::Encrypt(buffer.data(), n, key);
      if (n >= 4) {
        EXPECT_NE(buffer, clear) << n;
      }
      sim::cctalk::Decrypt(buffer.data(), n, key);
      ASSERT_EQ(buffer, clear) << "length " << n;
    }
  }
}

TEST(Sr5Test, StoredCoinsReadBackAsTheirDefinitionFile) {
  Bus bus;
  const Bytes coin2 = Pattern(300, 1), coin5 = Pattern(3, 9);
  EXPECT_EQ(bus.Say(Sr5Message(96, {0xF5})), kAckHeader);
  for (const auto& [position, coin] : {std::pair{2, coin2}, std::pair{5, coin5}}) {
    EXPECT_EQ(bus.Say(Sr5Message(96, {0xFF})), kAckHeader);
    for (std::size_t at = 0; at < coin.size(); at += 128) {
      Bytes packet{0xFE};
      packet.insert(packet.end(), coin.begin() + static_cast<std::ptrdiff_t>(at),
                    coin.begin() + static_cast<std::ptrdiff_t>(std::min(at + 128, coin.size())));
      EXPECT_EQ(bus.Say(Sr5Message(96, packet)), kAckHeader);
    }
    EXPECT_EQ(bus.Say(Sr5Message(96, {0xFD, static_cast<std::uint8_t>(position)})), kAckHeader);
  }
  EXPECT_EQ(bus.Say(Sr5Message(1, {})), kAckHeader);
  Bytes file(32, 0);
  file[2] = 300 & 0xFF, file[3] = 300 >> 8, file[8] = 3;
  file.insert(file.end(), coin2.begin(), coin2.end());
  file.insert(file.end(), coin5.begin(), coin5.end());
  const sim::PeripheralHolding holding = bus.Holding(2);
  EXPECT_EQ(holding.content, file);
  EXPECT_EQ(holding.messages, 10u);
  EXPECT_EQ(holding.resets, 1u);

  // Out of order or out of range: NAKed, and nothing stored changes.
  const std::vector<Bytes> refused = {
      Sr5Message(96, {0xFE, 1, 2}),  // data without a begin
      Sr5Message(96, {0xFD, 3}),     // end without a begin
      Sr5Message(96, {0xF5, 0}),     // erase with a stray byte
  };
  for (const Bytes& message : refused) EXPECT_EQ(bus.Say(message), kNakHeader);
  EXPECT_EQ(bus.Say(Sr5Message(96, {0xFF})), kAckHeader);
  for (std::uint8_t position : {0, 17})
    EXPECT_EQ(bus.Say(Sr5Message(96, {0xFD, position})), kNakHeader);
  EXPECT_EQ(bus.Holding(2).content, file);
  EXPECT_EQ(bus.Holding(2).naks, 5u);

  Bytes bad = Sr5Message(254, {});
  bad.back() ^= 1;
  EXPECT_EQ(bus.Say(bad), std::nullopt);
  EXPECT_EQ(bus.Holding(2).rejected, 1u);
}

// A whole upgrade: begin, opening message, the table in lines, finish; an Elite
// takes it all encrypted, a Lumina the upload and finish in clear.
TEST(NoteAcceptorTest, AnUpgradeStoresTheTableAndARetriedLineReplacesItself) {
  const Bytes table = Pattern(300, 3);
  for (const auto& [address, clearUpload] :
       {std::pair<std::uint8_t, bool>{40, false}, {41, true}}) {
    SCOPED_TRACE(int{address});
    Bus bus;
    // The second line's reply (the fourth upload message) is lost: the host repeats
    // the line, as a retry does.
    bus.bus.InjectFault({address, 144, 4, false, sim::FaultKind::kSilent});
    EXPECT_EQ(bus.Say(NoteMessage(address, 144, {0, 0, 1, 0, 0}, !clearUpload), !clearUpload),
              kNakHeader)
        << "an upload before begin";
    EXPECT_EQ(bus.Say(NoteMessage(address, 143, {}, true), true), kAckHeader);
    EXPECT_EQ(bus.Say(NoteMessage(address, 144, {0, 0, 1, 0, 0}, !clearUpload), !clearUpload),
              kAckHeader);
    for (std::uint8_t line = 0; line < 3; ++line) {
      Bytes data{1, line};
      data.insert(data.end(), table.begin() + line * 128,
                  table.begin() + std::min<std::ptrdiff_t>(line * 128 + 128, 300));
      const Bytes message = NoteMessage(address, 144, data, !clearUpload);
      std::optional<std::uint8_t> reply = bus.Say(message, !clearUpload);
      if (line == 1) {
        EXPECT_EQ(reply, std::nullopt);
        reply = bus.Say(message, !clearUpload);
      }
      EXPECT_EQ(reply, kAckHeader) << int{line};
    }
    EXPECT_EQ(bus.Say(NoteMessage(address, 144, {1, 5, 0}, !clearUpload), !clearUpload), kNakHeader)
        << "a line that is neither the next nor a repeat";
    EXPECT_EQ(bus.Say(NoteMessage(address, 142, {}, !clearUpload), !clearUpload), kAckHeader);
    const sim::PeripheralHolding holding = bus.Holding(address);
    EXPECT_EQ(holding.content, table);
    EXPECT_TRUE(holding.upgradeFinished);
    EXPECT_EQ(holding.naks, 2u);
    EXPECT_EQ(bus.Say(NoteMessage(address, 142, {}, !clearUpload), !clearUpload), kNakHeader)
        << "a finish outside an upgrade";
  }
}

TEST(NoteAcceptorTest, MessagesInTheWrongFormOrKeyAreRejectedInSilence) {
  Bus bus;
  const std::vector<Bytes> wrong = {
      NoteMessage(40, 254, {}, false),              // the Elite takes nothing in clear
      NoteMessage(41, 254, {}, false),              // a Lumina polls encrypted only
      NoteMessage(41, 144, {0, 0, 1, 0, 0}, true),  // and uploads in clear only
      NoteMessage(40, 254, {}, true, {1, 2, 3, 4, 5, 6}),
  };
  for (const Bytes& message : wrong) EXPECT_EQ(bus.Say(message), std::nullopt);
  EXPECT_EQ(bus.Holding(40).rejected, 2u);
  EXPECT_EQ(bus.Holding(41).rejected, 2u);

  bus.bus.SetKeyDigits({1, 2, 3, 4, 5, 6});
  bus.key = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(bus.Say(NoteMessage(40, 254, {}, true, bus.key), true), kAckHeader);
  EXPECT_EQ(bus.Say(NoteMessage(40, 254, {}, true)), std::nullopt) << "the old key";
}

struct FaultCase {
  const char* name;
  sim::PeripheralFault fault;
  std::vector<std::optional<std::uint8_t>> replies;  // to five polls of the SR5
};

class FaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultTest, HitsTheNthMatchingMessageOnceOrFromThenOn) {
  Bus bus;
  bus.bus.InjectFault(GetParam().fault);
  std::vector<std::optional<std::uint8_t>> replies;
  for (int i = 0; i < 5; ++i) {
    replies.push_back(bus.Say(Sr5Message(254, {})));
    EXPECT_EQ(bus.Say(Sr5Message(1, {})), kAckHeader) << "another header is not counted";
  }
  EXPECT_EQ(replies, GetParam().replies);
}

constexpr auto kAck = kAckHeader, kNak = kNakHeader;
INSTANTIATE_TEST_SUITE_P(
    Faults, FaultTest,
    ::testing::Values(
        FaultCase{"next", {2, 254, 1, false, sim::FaultKind::kNak}, {kNak, kAck, kAck, kAck, kAck}},
        FaultCase{
            "third", {2, 254, 3, false, sim::FaultKind::kNak}, {kAck, kAck, kNak, kAck, kAck}},
        FaultCase{"from the fourth",
                  {2, 254, 4, true, sim::FaultKind::kSilent},
                  {kAck, kAck, kAck, std::nullopt, std::nullopt}},
        FaultCase{"other address",
                  {40, -1, 1, true, sim::FaultKind::kNak},
                  {kAck, kAck, kAck, kAck, kAck}}),
    [](const auto& c) {
      std::string name = c.param.name;
      for (char& letter : name) letter = letter == ' ' ? '_' : letter;
      return name;
    });

// --- wire time ------------------------------------------------------------------------

// At 9600 baud a byte takes 10 bits, 1041.7 us: n bytes have crossed after
// ceil(n * 1041.67) us, so a 5-byte poll after 5209 us and its reply (5 ms later)
// byte by byte after 1042, 2084, 3125, 4167 and 5209 us more.
struct WireStep {
  std::int64_t atUs;  // from the first send
  bool clear = false, send = false;
  std::size_t fetched = 0;  // reply bytes fetched in all, by now
};

struct WireCase {
  const char* name;
  std::vector<WireStep> steps;
};

class WireTimeTest : public ::testing::TestWithParam<WireCase> {};

TEST_P(WireTimeTest, ReplyBytesArriveAsTheyCrossTheOneWire) {
  Bus bus;
  bus.bus.SetBaud(9600);
  const Bytes poll = Sr5Message(254, {});
  const std::int64_t start = bus.clock.Counter();
  Bytes got;
  for (const WireStep& step : GetParam().steps) {
    bus.clock.Advance(start + step.atUs - bus.clock.Counter());
    if (step.clear) bus.bus.Clear();
    if (step.send) bus.bus.Send(poll.data(), poll.size());
    std::uint8_t reply[16] = {};
    const std::size_t count = bus.bus.Fetch(reply, sizeof reply);
    got.insert(got.end(), reply, reply + count);
    EXPECT_EQ(got.size(), step.fetched) << "at " << step.atUs << " us";
  }
  const Bytes ack{1, 0, 2, kAckHeader, static_cast<std::uint8_t>(256 - 3)};
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], ack[i % ack.size()]) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Wire, WireTimeTest,
    ::testing::Values(
        // Poll 0..5209, reply time to 10209, its bytes at 11251 ... 15418.
        WireCase{"one_reply",
                 {{0, false, true, 0},
                  {11250, false, false, 0},
                  {11251, false, false, 1},
                  {15417, false, false, 4},
                  {15418, false, false, 5}}},
        // The second poll, sent mid-reply, waits for it: on the wire 15418..20627,
        // its reply from 25627, whole at 30836.
        WireCase{"second_waits",
                 {{0, false, true, 0},
                  {12000, false, true, 1},
                  {30835, false, false, 9},
                  {30836, false, false, 10}}},
        // Clearing mid-message drops it and frees the wire: the next poll starts at once.
        WireCase{"clear_frees",
                 {{0, false, true, 0},
                  {1000, true, true, 0},
                  {16417, false, false, 4},
                  {16418, false, false, 5}}}),
    [](const auto& c) { return std::string(c.param.name); });

}  // namespace
