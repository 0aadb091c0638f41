// The message channel: BlockSequence answered through ReplyLength, ReplyData and
// BlockAckSequence; blocks for a destination echoed, E2Prom reset and device key
// answered, print pieces put together into the exact ticket text, unknown types
// refused; and the raw port's five commands against the ccTalk bus, in checksum and
// CRC form, including a refused hand-over and a unit that answers them late.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "block_host.h"
#include "platform/clock.h"
#include "sim/block_server.h"

namespace {

using namespace block_test;
using Bytes = std::vector<std::uint8_t>;

struct Channel {
  explicit Channel(sim::BlockOptions options = FullOptions(5))
      : server(block.data(), kBlockSize, std::move(options), clock), host(block) {
    server.Tick();
  }
  // Sends one block, lets the unit take it, and returns its reply length.
  std::int32_t Exchange(std::uint32_t type, const Bytes& data, Bytes* reply = nullptr) {
    const std::uint32_t before = host.Command(command::kBlockSequence);
    host.Send(type, data);
    EXPECT_FALSE(host.Answered()) << "answered before the unit ran";
    clock.Advance(2000);
    server.Tick();
    EXPECT_TRUE(host.Answered()) << "type " << type;
    EXPECT_EQ(host.Status(status::kBlockAck), before + 1);
    Bytes bytes;
    const std::int32_t length = host.Reply(&bytes);
    if (reply != nullptr) *reply = bytes;
    return length;
  }

  TestBlock block;
  platform::VirtualClock clock;
  sim::BlockServer server;
  Host host;
};

Bytes Le32(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

// --- the channel ------------------------------------------------------------------------

struct EchoCase {
  std::uint32_t destination;
  Bytes data;
};

class DestinationTest : public ::testing::TestWithParam<EchoCase> {};

TEST_P(DestinationTest, ABlockForADestinationIsAnsweredWithItsNumberAndItsData) {
  const EchoCase& c = GetParam();
  Channel channel;
  Bytes reply;
  const std::int32_t length = channel.Exchange(64 + c.destination, c.data, &reply);
  Bytes expected = Le32(c.destination);
  expected.insert(expected.end(), c.data.begin(), c.data.end());
  EXPECT_EQ(length, static_cast<std::int32_t>(expected.size()));
  EXPECT_EQ(reply, expected);
}

Bytes Pattern(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(Blocks, DestinationTest,
                         ::testing::Values(EchoCase{3, {'h', 'e', 'l', 'l', 'o'}},
                                           EchoCase{0, {}},               // still an answer
                                           EchoCase{63, Pattern(312)}));  // the full 316

TEST(ChannelTest, E2PromResetAndDeviceKeyAreAnsweredAndUnknownTypesRefused) {
  Channel channel;
  Bytes reply;
  EXPECT_EQ(channel.Exchange(4, {1, 0}, &reply), 2);
  EXPECT_EQ(reply, (Bytes{1, 1}));
  EXPECT_EQ(channel.Exchange(4, {0, 0}, &reply), 2);
  EXPECT_EQ(reply, (Bytes{1, 0}));
  EXPECT_EQ(channel.Exchange(4, {2, 0}), -1) << "a flag other than 1 or 0";
  EXPECT_EQ(channel.Exchange(5, Le32(0xA1B2C3D4), &reply), 4);
  EXPECT_EQ(reply, Le32(0xA1B2C3D4));
  EXPECT_EQ(channel.server.Status().deviceKey, 0xA1B2C3D4u);
  for (std::uint32_t type : {0u, 3u, 7u, 63u, 133u, 200u, 0xFFFFFFFFu}) {
    EXPECT_EQ(channel.Exchange(type, {9}), -1) << type;
  }
  // A destination block whose length word is larger than BlockArea holds: refused,
  // and nothing is read past BlockArea.
  const std::uint32_t c = channel.host.commandArea();
  channel.block.Set(c + command::kBlockType, 64);
  channel.block.Set(c + command::kBlockLength, 313);
  channel.host.Guarded([&] {
    channel.block.Set(c + command::kBlockSequence,
                      channel.block.Word(c + command::kBlockSequence) + 1);
  });
  channel.server.Tick();
  EXPECT_EQ(channel.host.Reply(&reply), -1);
  EXPECT_TRUE(channel.host.Answered());
}

TEST(ChannelTest, EachBlockIsAnsweredOnceAndTheReplyIsTheLatests) {
  Channel channel;
  for (std::uint32_t n = 0; n < 5; ++n) {
    Bytes reply;
    EXPECT_EQ(channel.Exchange(64 + n, {static_cast<std::uint8_t>(n)}, &reply), 5);
    EXPECT_EQ(reply[0], n);
    EXPECT_EQ(reply[4], n);
  }
  const std::uint32_t updates = channel.block.Word(channel.host.statusArea() + status::kEnd);
  for (int i = 0; i < 5; ++i) {
    channel.clock.Advance(2000);
    channel.server.Tick();
  }
  EXPECT_EQ(channel.block.Word(channel.host.statusArea() + status::kEnd), updates)
      << "an answered block is not answered again";
}

// --- ticket printing ---------------------------------------------------------------------

// The library's pieces: 32 bytes from offsets 0, 32, ... up to the first piece that
// reaches past the text; bytes after the terminating zero are the buffer's spare.
std::vector<Bytes> Pieces(const std::string& text) {
  Bytes buffer(text.begin(), text.end());
  buffer.push_back(0);
  buffer.resize(text.size() + 128, 0xA5);
  std::vector<Bytes> pieces;
  for (std::size_t at = 0; at == 0 || at < text.size() + 1; at += 32)
    pieces.emplace_back(buffer.begin() + static_cast<std::ptrdiff_t>(at),
                        buffer.begin() + static_cast<std::ptrdiff_t>(at + 32));
  return pieces;
}

class PrintTest : public ::testing::TestWithParam<std::string> {};

TEST_P(PrintTest, PiecesMakeTheExactTicketAndThePrinterIsBusyForItsPrintTime) {
  const std::string& text = GetParam();
  Channel channel;
  const std::uint32_t printer = status::kPrinterStatus;
  ASSERT_EQ(channel.host.Status(printer), 1u) << "ready";
  const std::vector<Bytes> pieces = Pieces(text);
  ASSERT_EQ(pieces.size(), text.size() / 32 + 1);
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    Bytes reply;
    EXPECT_EQ(channel.Exchange(6, pieces[i], &reply), 1) << i;
    EXPECT_EQ(reply, Bytes{static_cast<std::uint8_t>(i + 1 < pieces.size() ? 1 : 2)}) << i;
  }
  EXPECT_EQ(channel.server.Status().lastTicket, text);
  EXPECT_EQ(channel.server.Status().ticketsPrinted, 1u);
  EXPECT_EQ(channel.host.Status(printer), 0u) << "printing";
  EXPECT_EQ(channel.Exchange(6, pieces[0]), -1) << "not taken while printing";
  channel.clock.Advance(300000);
  channel.server.Tick();
  EXPECT_EQ(channel.host.Status(printer), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, PrintTest,
    ::testing::Values(
        // The 89 characters of a ticket of value 250 with no texts: three pieces.
        "^C||^^P|250|1|||||12-3456-7890-1234-5678|12-3456-7890-1234-5678||||||"
        "123456789012345678|^",
        std::string(64, 'x'),  // a multiple of 32: the last piece starts at the zero
        std::string(31, 'y'), ""));

// --- the raw port and the ccTalk bus --------------------------------------------------

std::uint8_t ChecksumOf(const Bytes& bytes) {
  unsigned sum = 0;
  for (std::uint8_t byte : bytes) sum += byte;
  return static_cast<std::uint8_t>((256 - sum % 256) % 256);
}

// A checksum-form message: destination, length, source 1, header, data, checksum.
Bytes ChecksumMessage(std::uint8_t destination, std::uint8_t header, const Bytes& data) {
  Bytes message{destination, static_cast<std::uint8_t>(data.size()), 1, header};
  message.insert(message.end(), data.begin(), data.end());
  message.push_back(ChecksumOf(message));
  return message;
}

// CRC-16 with polynomial 0x1021, initial 0, most significant bit first, no final XOR.
std::uint16_t Crc(const Bytes& bytes) {
  std::uint16_t crc = 0;
  for (std::uint8_t byte : bytes) {
    crc ^= static_cast<std::uint16_t>(byte << 8);
    for (int i = 0; i < 8; ++i)
      crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

// A CRC-form message: CRC over bytes 0, 1, 3 and the data; low byte at 2, high last.
Bytes CrcMessage(std::uint8_t destination, std::uint8_t header, const Bytes& data) {
  Bytes covered{destination, static_cast<std::uint8_t>(data.size()), header};
  covered.insert(covered.end(), data.begin(), data.end());
  const std::uint16_t crc = Crc(covered);
  Bytes message{destination, static_cast<std::uint8_t>(data.size()),
                static_cast<std::uint8_t>(crc & 0xFF), header};
  message.insert(message.end(), data.begin(), data.end());
  message.push_back(static_cast<std::uint8_t>(crc >> 8));
  return message;
}

TEST(RawPortTest, TheTestsOwnCrcMatchesTheKnownCheckValue) {
  EXPECT_EQ(Crc({'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0x31C3);
}

// Raw port command c as the host sends it: type 128 + c; command 1 carries the
// message, the others one data byte.
std::int32_t Raw(Channel& channel, std::uint32_t commandNumber, const Bytes& data = {0},
                 Bytes* reply = nullptr) {
  return channel.Exchange(128 + commandNumber, data, reply);
}

// The default world has an SR5 (checksum form) at 2; an acknowledger at 9 answers
// either form. Replies come the peripherals' reply time (5 ms) after the message.
sim::BlockOptions BusOptions() {
  sim::BlockOptions options = FullOptions(5);
  options.busDeviceAddress = 9;
  return options;
}

TEST(RawPortTest, HandOverSendReceiveAndTakeBack) {
  Channel channel(BusOptions());
  Bytes reply;
  EXPECT_GT(Raw(channel, 0), 0) << "the bus is handed over";

  // A simple poll (header 254) to the SR5 at address 2: ACK from address 2, once due.
  EXPECT_GT(Raw(channel, 1, ChecksumMessage(2, 254, {})), 0);
  EXPECT_EQ(Raw(channel, 2), -1) << "the reply is not due yet: answered, nothing";
  channel.clock.Advance(5000);
  EXPECT_EQ(Raw(channel, 2, {0}, &reply), 5);
  const Bytes ack{1, 0, 2, 0, ChecksumOf({1, 0, 2, 0})};
  EXPECT_EQ(reply, ack);
  EXPECT_EQ(Raw(channel, 2), -1) << "nothing more arrived since";

  // The same sent in two pieces: answered once the message is whole.
  const Bytes poll = ChecksumMessage(2, 254, {});
  EXPECT_GT(Raw(channel, 1, Bytes(poll.begin(), poll.begin() + 3)), 0);
  channel.clock.Advance(5000);
  EXPECT_EQ(Raw(channel, 2), -1);
  EXPECT_GT(Raw(channel, 1, Bytes(poll.begin() + 3, poll.end())), 0);
  channel.clock.Advance(5000);
  EXPECT_EQ(Raw(channel, 2, {0}, &reply), 5);
  EXPECT_EQ(reply, ack);

  // Nobody answers a message for an empty address, one with a bad checksum, or one
  // in a form its peripheral does not speak.
  EXPECT_GT(Raw(channel, 1, ChecksumMessage(7, 254, {})), 0);
  Bytes bad = ChecksumMessage(2, 254, {});
  bad.back() ^= 0x01;
  EXPECT_GT(Raw(channel, 1, bad), 0);
  EXPECT_GT(Raw(channel, 1, CrcMessage(2, 254, {})), 0);
  channel.clock.Advance(5000);
  EXPECT_EQ(Raw(channel, 2), -1);

  // Two messages to the acknowledger before one receive, one per form: both
  // answers at once, each in its message's form.
  Bytes two = ChecksumMessage(9, 254, {});
  const Bytes second = CrcMessage(9, 1, {});
  two.insert(two.end(), second.begin(), second.end());
  EXPECT_GT(Raw(channel, 1, two), 0);
  channel.clock.Advance(5000);
  Bytes both{1, 0, 9, 0, ChecksumOf({1, 0, 9, 0})};
  const Bytes crcAck = CrcMessage(1, 0, {});
  both.insert(both.end(), crcAck.begin(), crcAck.end());
  EXPECT_EQ(Raw(channel, 2, {0}, &reply), 10);
  EXPECT_EQ(reply, both);

  // Taking the bus back answers and drops replies not yet fetched; the bus is then
  // the unit's again.
  EXPECT_GT(Raw(channel, 1, ChecksumMessage(2, 254, {})), 0);
  EXPECT_GT(Raw(channel, 3), 0);
  EXPECT_EQ(Raw(channel, 1, ChecksumMessage(2, 254, {})), -1);
  EXPECT_EQ(Raw(channel, 2), -1);
  EXPECT_GT(Raw(channel, 0), 0);
  channel.clock.Advance(5000);
  EXPECT_EQ(Raw(channel, 2), -1);
}

TEST(RawPortTest, ReturningControlMovesTheAcknowledgeWithoutAnAnswer) {
  Channel channel;
  EXPECT_GT(Raw(channel, 0), 0);
  EXPECT_GT(Raw(channel, 1, ChecksumMessage(2, 254, {})), 0);
  EXPECT_EQ(Raw(channel, 4), 0);  // Exchange checked that the acknowledge moved
  EXPECT_EQ(Raw(channel, 2), -1) << "the bus went back with control, its bytes with it";
  EXPECT_GT(Raw(channel, 0), 0) << "and can be asked for again";
  channel.clock.Advance(5000);
  EXPECT_EQ(Raw(channel, 2), -1);
}

TEST(RawPortTest, AUnitThatRefusesTheHandOverAnswersNonPositive) {
  sim::BlockOptions options = FullOptions(5);
  options.refuseBusHandOver = true;
  Channel channel(options);
  EXPECT_EQ(Raw(channel, 0), -1);
  EXPECT_EQ(Raw(channel, 1, ChecksumMessage(2, 254, {})), -1);
}

TEST(RawPortTest, TheAcknowledgerStandsAtItsAddressOnlyWhereNoPeripheralIs) {
  sim::BlockOptions options = FullOptions(5);
  options.busDeviceAddress = 2;  // where the SR5 is: the SR5 answers, in its form only
  Channel channel(options);
  EXPECT_GT(Raw(channel, 0), 0);
  EXPECT_GT(Raw(channel, 1, CrcMessage(2, 254, {})), 0);
  channel.clock.Advance(5000);
  EXPECT_EQ(Raw(channel, 2), -1);
  const auto holdings = channel.server.bus().Holdings();
  ASSERT_EQ(holdings.size(), 3u);
  EXPECT_EQ(holdings[0].model, sim::PeripheralModel::kSr5);
  EXPECT_EQ(holdings[0].rejected, 1u);
}

// A unit that takes raw-port commands 30 ms late: from the tick that first sees one,
// nothing moves for 29 ms (no answer, so hosts place no other block, and no action on
// the bus); at 30 ms it is acted on and answered. Other types are answered at once.
TEST(RawPortTest, ALateUnitActsOnAndAnswersRawPortCommandsOnlyAfterRawAnswerMs) {
  sim::BlockOptions options = BusOptions();
  options.rawAnswerMs = 30;
  options.replyMs = 15;  // due between the receive request's arrival and its answer
  Channel channel(options);
  EXPECT_EQ(channel.Exchange(64 + 3, {7}), 5) << "a destination block on the next tick";
  const auto sr5Messages = [&] { return channel.server.bus().Holdings()[0].messages; };
  struct Step {
    std::uint32_t command;
    Bytes data;
    std::int32_t length;             // of the answer
    std::uint32_t messagesAnswered;  // the SR5's count once answered
  };
  const Step steps[] = {
      {0, {0}, 1, 0},
      {1, ChecksumMessage(2, 254, {}), 1, 1},
      {2, {0}, 5, 1},  // fetched at answer time: the reply was not due when it came
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.command);
    const std::uint32_t ack = channel.host.Status(status::kBlockAck);
    const std::uint32_t before = sr5Messages();
    channel.host.Send(128 + step.command, step.data);
    channel.clock.Advance(2000);
    channel.server.Tick();  // first seen
    channel.clock.Advance(29000);
    channel.server.Tick();
    EXPECT_FALSE(channel.host.Answered());
    EXPECT_EQ(channel.host.Status(status::kBlockAck), ack);
    EXPECT_EQ(sr5Messages(), before) << "acted on early";
    channel.clock.Advance(1000);
    channel.server.Tick();
    EXPECT_TRUE(channel.host.Answered());
    Bytes reply;
    EXPECT_EQ(channel.host.Reply(&reply), step.length);
    EXPECT_EQ(sr5Messages(), step.messagesAnswered);
  }
}

}  // namespace
