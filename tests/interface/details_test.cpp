// Acceptor and dispenser details and the message channel over a test block: both
// record layouts, enumeration, write-back, WriteStatus, raw port blocks, the closed
// interface's answers and hostile blocks. Offsets are the layout's, written out here.
#include "interface/details.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "interface/library.h"
#include "tests/interface/unit_block.h"

namespace {

using namespace qmx_test;
using qmx::DetailsState;
using qmx::LibraryState;

// StatusArea and CommandArea words of the channel and the lists.
constexpr std::uint32_t kAckSequence = 12;
constexpr std::uint32_t kReplyLength = 16;
constexpr std::uint32_t kReplyData = 20;
constexpr std::uint32_t kAcceptorList = 868;
constexpr std::uint32_t kDispenserList = 872;
constexpr std::uint32_t kBlockSequence = 12;
constexpr std::uint32_t kBlockType = 16;
constexpr std::uint32_t kBlockLength = 20;
constexpr std::uint32_t kBlockData = 24;

// Where this test's unit places its entries and texts.
constexpr std::uint32_t kAcceptorA = 0x1000;
constexpr std::uint32_t kAcceptorB = 0x1100;
constexpr std::uint32_t kCoin1 = 0x1400;
constexpr std::uint32_t kCoin2 = 0x1440;
constexpr std::uint32_t kDispenserA = 0x3000;
constexpr std::uint32_t kDispenserB = 0x3100;
constexpr std::uint32_t kTextA = 0x4000;
constexpr std::uint32_t kTextCoin = 0x4020;
constexpr std::uint32_t kTextDispenser = 0x4040;

constexpr std::int32_t kV1 = 0x00010001;
constexpr std::int32_t kV2 = 0x00010002;
constexpr std::int32_t kV5 = 0x00010005;

// Public: the hostile cases spoil the block through it.
class Details : public OpenBlock {
 public:
  void Open(std::int32_t level, std::int32_t version) {
    OpenBlock::Open(level);
    library_.RequestedVersion = version;
  }
  void SetText(std::uint32_t at, const char* text) { SetBytes(at, text, std::strlen(text) + 1); }

  // Two acceptors; A has two coins with texts, B none.
  void PlaceAcceptors() {
    SetStatus(kAcceptorList, kAcceptorA);
    Set(kAcceptorA + 0, kAcceptorB);
    Set(kAcceptorA + 4, 0x0000000C);  // control word: bit 3 and bit 2
    Set(kAcceptorA + 8, 0x02000101);
    Set(kAcceptorA + 12, 0x30);
    Set(kAcceptorA + 16, 2);
    Set(kAcceptorA + 20, 3);
    Set(kAcceptorA + 24, 2);
    Set(kAcceptorA + 28, 77);
    Set(kAcceptorA + 32, 11);
    Set(kAcceptorA + 36, 12);
    Set(kAcceptorA + 40, kCoin1);
    Set(kAcceptorA + 44, 0x55);
    Set(kAcceptorA + 48, kTextA);
    SetText(kTextA, "Acceptor A");
    const std::uint32_t coin1[] = {kCoin2, 0, 5, 1, 9, 2, 3, 4, 0xFFFFFF80, 0x1234, 0, kTextCoin};
    const std::uint32_t coin2[] = {0, 0, 10, 21, 19, 22, 23, 24, 0x7F, 0x01, 0, 0};
    for (std::uint32_t n = 0; n < 12; ++n) {
      Set(kCoin1 + 4 * n, coin1[n]);
      Set(kCoin2 + 4 * n, coin2[n]);
    }
    SetText(kTextCoin, "Five");
    Set(kAcceptorB + 0, 0);
    Set(kAcceptorB + 8, 0x05000202);
    Set(kAcceptorB + 16, 0);
    Set(kAcceptorB + 24, 40);
  }

  void PlaceDispensers() {
    SetStatus(kDispenserList, kDispenserA);
    Set(kDispenserA + 0, kDispenserB);
    for (std::uint32_t n = 0; n < 8; ++n) Set(kDispenserA + 8 + 4 * n, 100 + n);
    Set(kDispenserA + 40, 200);
    Set(kDispenserA + 44, 201);
    Set(kDispenserA + 48, 202);
    Set(kDispenserA + 52, kTextDispenser);
    SetText(kTextDispenser, "Hopper");
    Set(kDispenserB + 0, 0);
    Set(kDispenserB + 8, 900);
  }

  DetailsState state_;
};

// A record buffer bigger than any layout, filled with a marker so that the bytes a
// read must not touch show up.
struct RecordBuffer {
  RecordBuffer() { std::memset(bytes, 0xAB, sizeof bytes); }
  bool UntouchedFrom(std::size_t from) const {
    for (std::size_t i = from; i < sizeof bytes; ++i)
      if (bytes[i] != 0xAB) return false;
    return true;
  }
  alignas(16) unsigned char bytes[sizeof(QmxAcceptorDetails5) + 64];
};

TEST_F(Details, AcceptorRecordInBothLayouts) {
  struct Case {
    std::int32_t version;
    std::int32_t level;
  };
  for (const Case c : {Case{kV1, 7}, Case{kV2, 4}, Case{kV5, 5}, Case{kV5, 7}}) {
    SCOPED_TRACE("version " + std::to_string(c.version) + " level " + std::to_string(c.level));
    Open(c.level, c.version);
    PlaceAcceptors();
    RecordBuffer out;
    ASSERT_EQ(qmx::ReadAcceptorDetails(library_, 0, out.bytes), 1);
    const bool v5 = c.version == kV5;
    EXPECT_TRUE(out.UntouchedFrom(v5 ? sizeof(QmxAcceptorDetails5) : 7200));
    // Header fields are the same in both layouts.
    QmxAcceptorDetails head;
    std::memcpy(&head, out.bytes, 32);
    EXPECT_EQ(head.UnitCode, 0x02000101);
    EXPECT_EQ(head.AcceptorStatus, 0x38);  // 0x30 with bit 3 of the control word
    EXPECT_EQ(head.CoinCount, 2);
    EXPECT_EQ(head.InterfaceNumber, 3);
    EXPECT_EQ(head.Address, 2);
    EXPECT_EQ(head.Setting, 77);
    EXPECT_EQ(head.UnitWord1, 11);
    EXPECT_EQ(head.UnitWord2, 12);
    const bool unitByte = c.level >= 5;
    const bool described = c.level >= 7;
    if (v5) {
      QmxAcceptorDetails5 record;
      std::memcpy(&record, out.bytes, sizeof record);
      const QmxCoinDetails5& one = record.Coins[0];
      EXPECT_EQ(one.Value, 5);
      EXPECT_EQ(one.Setting1, 1);
      EXPECT_EQ(one.Count, 9);
      EXPECT_EQ(one.Setting2, 2);
      EXPECT_EQ(one.UnitInfo, 3);
      EXPECT_EQ(one.Setting3, 4);
      EXPECT_EQ(one.SettingByte, -128);
      EXPECT_EQ(one.UnitByte, unitByte ? 0x34 : 0);
      EXPECT_EQ(one.Spare1 | one.Spare2, 0);
      ASSERT_NE(one.DescriptionText, nullptr);
      EXPECT_STREQ(one.DescriptionText, described ? "Five" : "");
      EXPECT_EQ(record.Coins[1].Value, 10);
      EXPECT_EQ(record.Coins[1].SettingByte, 127);
      ASSERT_NE(record.Coins[1].DescriptionText, nullptr);
      EXPECT_STREQ(record.Coins[1].DescriptionText, "");
      EXPECT_EQ(record.ExtraWord, described ? 0x55 : 0);
      ASSERT_NE(record.DescriptionText, nullptr);
      EXPECT_STREQ(record.DescriptionText, described ? "Acceptor A" : "");
      if (described) {
        // The text is the unit's own, in the block.
        EXPECT_EQ(reinterpret_cast<const unsigned char*>(record.DescriptionText),
                  block_.data() + kTextA);
      }
    } else {
      // 28-byte coin entries from offset 32, read as raw bytes of the record.
      const auto at = [&](std::size_t offset) {
        std::int32_t value;
        std::memcpy(&value, out.bytes + offset, 4);
        return value;
      };
      EXPECT_EQ(at(32 + 0), 5);
      EXPECT_EQ(at(32 + 8), 9);
      EXPECT_EQ(at(32 + 20), 4);
      EXPECT_EQ(out.bytes[32 + 24], 0x80);
      EXPECT_EQ(out.bytes[32 + 25], 0);
      EXPECT_EQ(out.bytes[32 + 26], unitByte ? 0x34 : 0);
      EXPECT_EQ(out.bytes[32 + 27], 0);
      EXPECT_EQ(at(60 + 0), 10);
      EXPECT_EQ(at(60 + 4), 21);
      EXPECT_EQ(out.bytes[60 + 24], 0x7F);
      // No third coin: entries past CoinCount are left as the caller had them.
      EXPECT_EQ(static_cast<std::uint32_t>(at(32 + 28 * 2)), 0xABABABABu);
    }
  }
}

TEST_F(Details, EnumerationStopsAtTheFirstMissingIndex) {
  Open(5, kV2);
  PlaceAcceptors();
  QmxAcceptorDetails record;
  struct Case {
    std::int32_t index;
    std::int32_t result;
    std::int32_t unitCode;
  };
  for (const Case c : {Case{0, 1, 0x02000101}, Case{1, 1, 0x05000202}, Case{2, 0, -1},
                       Case{-1, 1, 0x02000101}, Case{0x7FFFFFFF, 0, -1}}) {
    SCOPED_TRACE(c.index);
    std::memset(&record, 0xFF, sizeof record);
    EXPECT_EQ(qmx::ReadAcceptorDetails(library_, c.index, &record), c.result);
    EXPECT_EQ(record.UnitCode, c.unitCode);
  }
  EXPECT_EQ(qmx::ReadAcceptorDetails(library_, 1, &record), 1);
  EXPECT_EQ(record.CoinCount, 0);
  EXPECT_EQ(record.Address, 40);
}

// Each version's host hands back its own record: the settings are taken from that
// layout's offsets (28-byte coin entries before version 5), never another's.
TEST_F(Details, AcceptorWriteBack) {
  struct Case {
    std::int32_t version;
    std::size_t coinBytes;  // one coin entry of the host's record
  };
  // The text reference makes the newer entries 32 bytes on 32-bit Windows; with
  // 8-byte references the natural layout pads them to 40.
  const std::size_t coin5 = sizeof(void*) == 4 ? 32 : 40;
  for (const Case c : {Case{kV1, 28}, Case{kV2, 28}, Case{kV5, coin5}}) {
    SCOPED_TRACE(c.version);
    block_ = Buffer(kBlockBytes);
    Open(7, c.version);
    PlaceAcceptors();
    RecordBuffer record;
    ASSERT_EQ(qmx::ReadAcceptorDetails(library_, 0, record.bytes), 1);
    // Unchanged: the reported status goes into the control word whole.
    std::vector<std::uint8_t> before = block_.Snapshot();
    qmx::WriteAcceptorDetails(library_, 0, record.bytes);
    EXPECT_EQ(Word(kAcceptorA + 4), 0x38u);
    EXPECT_EQ(Command(kSettingsChangeCount), 1u);
    EXPECT_EQ(Command(kCommandStart), 1u);
    EXPECT_EQ(Command(kCommandEnd), 1u);
    EXPECT_EQ(ChangedWords(before),
              (std::vector<std::uint32_t>{kCommandAt + kCommandStart, kCommandAt + kCommandEnd,
                                          kCommandAt + kSettingsChangeCount, kAcceptorA + 4}));
    // Changed settings of the second coin, one entry on.
    const std::size_t coin2 = 32 + c.coinBytes;
    const std::int32_t s1 = -7, s2 = 8, s3 = 9, setting = 1234;
    std::memcpy(record.bytes + 20, &setting, 4);
    std::memcpy(record.bytes + coin2 + 4, &s1, 4);
    std::memcpy(record.bytes + coin2 + 12, &s2, 4);
    std::memcpy(record.bytes + coin2 + 20, &s3, 4);
    record.bytes[coin2 + 24] = 0xFB;  // -5
    before = block_.Snapshot();
    qmx::WriteAcceptorDetails(library_, 0, record.bytes);
    EXPECT_EQ(Word(kAcceptorA + 28), 1234u);
    EXPECT_EQ(Word(kCoin2 + 12), 0xFFFFFFF9u);
    EXPECT_EQ(Word(kCoin2 + 20), 8u);
    EXPECT_EQ(Word(kCoin2 + 28), 9u);
    EXPECT_EQ(Word(kCoin2 + 32), 0xFFFFFFFBu);
    EXPECT_EQ(Word(kCoin1 + 32), 0xFFFFFF80u);
    EXPECT_EQ(Command(kSettingsChangeCount), 2u);
    EXPECT_EQ(ChangedWords(before).size(), 3u + 5u);
  }
}

TEST_F(Details, DispenserRecordByVersionAndLevel) {
  struct Case {
    std::int32_t version;
    std::int32_t level;
    std::size_t filled;  // bytes of the record written
    bool extras;
    bool described;
  };
  const std::size_t full = sizeof(QmxDispenserDetails);
  for (const Case c : {Case{kV1, 7, 32, false, false}, Case{kV2, 5, 40, false, false},
                       Case{kV2, 7, 40, true, false}, Case{kV5, 6, full, true, false},
                       Case{kV5, 7, full, true, true}}) {
    SCOPED_TRACE("version " + std::to_string(c.version) + " level " + std::to_string(c.level));
    Open(c.level, c.version);
    PlaceDispensers();
    RecordBuffer out;
    ASSERT_EQ(qmx::ReadDispenserDetails(library_, 0,
                                        reinterpret_cast<QmxDispenserDetails*>(out.bytes)),
              1);
    EXPECT_TRUE(out.UntouchedFrom(c.filled));
    for (std::size_t n = 0; n < 8; ++n) {
      std::int32_t value;
      std::memcpy(&value, out.bytes + 4 * n, 4);
      EXPECT_EQ(value, static_cast<std::int32_t>(100 + n));
    }
    if (c.filled >= 40) {
      std::int32_t extra[2];
      std::memcpy(extra, out.bytes + 32, 8);
      EXPECT_EQ(extra[0], c.extras ? 200 : 0);
      EXPECT_EQ(extra[1], c.extras ? 201 : 0);
    }
    if (c.filled == full) {
      QmxDispenserDetails record;
      std::memcpy(&record, out.bytes, sizeof record);
      EXPECT_EQ(record.ExtraWord, c.described ? 202 : 0);
      ASSERT_NE(record.DescriptionText, nullptr);
      EXPECT_STREQ(record.DescriptionText, c.described ? "Hopper" : "");
    }
  }
  QmxDispenserDetails second;
  EXPECT_EQ(qmx::ReadDispenserDetails(library_, 1, &second), 1);
  EXPECT_EQ(second.DispenserWord0, 900);
  EXPECT_EQ(qmx::ReadDispenserDetails(library_, 2, &second), 0);
}

TEST_F(Details, DispenserWriteBack) {
  struct Case {
    const char* name;
    std::int32_t word1;
    std::int32_t word4;
    std::vector<std::uint32_t> entryWords;  // entry offsets that change
  };
  const std::vector<Case> cases = {
      {"not a level change", 99, 555, {32}},
      {"level change", 100, 555, {4, 12, 24, 32}},
      {"level unchanged", 100, 104, {32}},  // entry +24 already holds 104
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    block_ = Buffer(kBlockBytes);
    Open(7, kV5);
    PlaceDispensers();
    QmxDispenserDetails in{};
    in.DispenserWord1 = c.word1;
    in.DispenserWord4 = c.word4;
    in.DispenserWord6 = 4321;
    const std::vector<std::uint8_t> before = block_.Snapshot();
    qmx::WriteDispenserDetails(library_, 0, &in);
    // In address order: the CommandArea lies before the dispensers.
    std::vector<std::uint32_t> expected = {kCommandAt + kCommandStart, kCommandAt + kCommandEnd,
                                           kCommandAt + kSettingsChangeCount};
    for (const std::uint32_t at : c.entryWords) expected.push_back(kDispenserA + at);
    EXPECT_EQ(ChangedWords(before), expected);
    EXPECT_EQ(Word(kDispenserA + 32), 4321u);
    if (c.entryWords.size() == 4) {
      EXPECT_EQ(Word(kDispenserA + 4), 100u);
      EXPECT_EQ(Word(kDispenserA + 12), 100u);
      EXPECT_EQ(Word(kDispenserA + 24), 555u);
    }
  }
}

TEST_F(Details, AddressedBlockAndItsReply) {
  Open(5, kV2);
  const std::int32_t words[2] = {0x11223344, 0x00AA0055};
  qmx::WriteInterfaceBlock(library_, state_, 3, reinterpret_cast<const std::uint8_t*>(words), 6);
  EXPECT_EQ(Command(kBlockType), 67u);
  EXPECT_EQ(Command(kBlockLength), 6u);
  EXPECT_EQ(Command(kBlockData), 0x11223344u);
  EXPECT_EQ(Command(kBlockData + 4), 0x00000055u);  // only the six bytes given
  EXPECT_EQ(Command(kBlockSequence), 1u);
  EXPECT_EQ(Command(kCommandStart), Command(kCommandEnd));

  std::uint8_t buffer[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  // Not answered yet.
  EXPECT_EQ(qmx::ReadInterfaceBlock(library_, state_, buffer, 8), 0);
  // A second block before the answer is not sent.
  qmx::WriteInterfaceBlock(library_, state_, 1, reinterpret_cast<const std::uint8_t*>(words), 4);
  EXPECT_EQ(Command(kBlockType), 67u);
  EXPECT_EQ(Command(kBlockSequence), 1u);
  EXPECT_EQ(qmx::ReadInterfaceBlock(library_, state_, buffer, 8), -2);

  // The unit answers the first block.
  SetStatus(kAckSequence, 1);
  SetStatus(kReplyLength, 5);
  const std::uint8_t reply[] = {1, 2, 3, 4, 5};
  std::memcpy(block_.data() + kStatusAt + kReplyData, reply, sizeof reply);
  qmx::WriteInterfaceBlock(library_, state_, 0, reinterpret_cast<const std::uint8_t*>(words), 8);
  EXPECT_EQ(Command(kBlockType), 64u);
  EXPECT_EQ(Command(kBlockData + 4), 0x00AA0055u);
  EXPECT_EQ(Command(kBlockSequence), 2u);
  EXPECT_EQ(qmx::ReadInterfaceBlock(library_, state_, buffer, 8), 0);
  SetStatus(kAckSequence, 2);
  // At most `maximum` bytes are copied.
  std::memset(buffer, 9, sizeof buffer);
  EXPECT_EQ(qmx::ReadInterfaceBlock(library_, state_, buffer, 3), 5);
  EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 8),
            (std::vector<std::uint8_t>{1, 2, 3, 9, 9, 9, 9, 9}));
  EXPECT_EQ(qmx::ReadInterfaceBlock(library_, state_, buffer, 8), 5);
  EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 8),
            (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 9, 9, 9}));
}

TEST_F(Details, WriteStatusValues) {
  struct Case {
    const char* name;
    bool open;
    std::int32_t address;
    std::vector<std::uint32_t> data;  // words
    std::int32_t length;
    std::int32_t status;  // read back by the next RawPortResult
    std::uint32_t sequence;
  };
  const std::vector<std::uint32_t> whole = {6, 4, 0xDEADBEEF};
  const std::vector<Case> cases = {
      {"whole block", true, -1, whole, 12, 0, 1},
      {"whole block, wrong length", true, -1, whole, 11, -3, 0},
      {"whole block shorter than its header", true, -1, whole, 4, -3, 0},
      {"313 bytes", true, 2, std::vector<std::uint32_t>(80, 1), 313, -4, 0},
      {"312 bytes", true, 2, std::vector<std::uint32_t>(80, 1), 312, 0, 1},
      {"negative length", true, 2, whole, -1, -4, 0},
      {"closed", false, 2, whole, 4, -4, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    block_ = Buffer(kBlockBytes);
    library_.Block = qmx::SharedBlock();
    state_ = DetailsState{};
    if (c.open) Open(5, kV2);
    std::uint8_t buffer[140] = {};
    if (c.open) {
      EXPECT_EQ(qmx::RawPortResult(library_, state_, buffer), -3);  // nothing sent
    }
    std::vector<std::uint8_t> bytes(c.data.size() * 4);
    for (std::size_t n = 0; n < c.data.size(); ++n)
      platform::WriteLE32(bytes.data() + 4 * n, c.data[n]);
    qmx::WriteInterfaceBlock(library_, state_, c.address, bytes.data(), c.length);
    EXPECT_EQ(state_.WriteStatus, c.status);
    EXPECT_EQ(qmx::RawPortResult(library_, state_, buffer), c.open ? c.status : -4);
    EXPECT_EQ(Command(kBlockSequence), c.sequence);
    if (c.status == 0 && c.address < 0) {
      EXPECT_EQ(Command(kBlockType), 6u);
      EXPECT_EQ(Command(kBlockLength), 4u);
      EXPECT_EQ(Command(kBlockData), 0xDEADBEEFu);
    }
  }
}

TEST_F(Details, RawPortBlocks) {
  struct Case {
    const char* name;
    std::int32_t command;
    std::int32_t parameter;
    std::int32_t length;
    std::int32_t status;
    std::uint32_t type;
    std::uint32_t lengthWord;
    std::vector<std::uint32_t> data;
  };
  const std::vector<Case> cases = {
      {"release the bus", 3, 0x1A5, 0, 0, 131, 1, {0xA5}},
      {"ask for the bus", 0, 0, 99, 0, 128, 1, {0}},
      {"transmit five bytes", 1, 77, 5, 0, 129, 5, {0x04030201, 0x05}},
      {"transmit nothing", 1, 0, 0, 0, 129, 0, {}},
      {"transmit more than the data area", 1, 0, 141, -4, 0, 0, {}},
      {"transmit a negative length", 1, 0, -1, -4, 0, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    block_ = Buffer(kBlockBytes);
    state_ = DetailsState{};
    Open(5, kV2);
    QmxRawPortRequest request{};
    request.Command = c.command;
    request.Parameter = c.parameter;
    request.Length = c.length;
    for (std::size_t n = 0; n < sizeof request.Data; ++n)
      request.Data[n] = static_cast<unsigned char>(n + 1);
    qmx::DoRawPort(library_, state_, &request);
    EXPECT_EQ(state_.WriteStatus, c.status);
    EXPECT_EQ(Command(kBlockSequence), c.status == 0 ? 1u : 0u);
    EXPECT_EQ(Command(kBlockType), c.type);
    EXPECT_EQ(Command(kBlockLength), c.lengthWord);
    for (std::size_t n = 0; n < c.data.size(); ++n)
      EXPECT_EQ(Command(kBlockData + 4 * static_cast<std::uint32_t>(n)), c.data[n]) << n;
  }
  // The answer, at most 140 bytes of it.
  SetStatus(kAckSequence, 1);
  SetStatus(kReplyLength, 200);
  for (std::uint32_t n = 0; n < 200; ++n) block_.data()[kStatusAt + kReplyData + n] = 0x40;
  std::uint8_t buffer[150];
  std::memset(buffer, 0, sizeof buffer);
  state_ = DetailsState{};
  QmxRawPortRequest ask{};
  SetCommand(kBlockSequence, 1);
  qmx::DoRawPort(library_, state_, &ask);
  ASSERT_EQ(state_.WriteStatus, 0);
  SetStatus(kAckSequence, 2);
  EXPECT_EQ(qmx::RawPortResult(library_, state_, buffer), 200);
  EXPECT_EQ(buffer[139], 0x40);
  EXPECT_EQ(buffer[140], 0);
}

// Every export on a closed interface: its answer, the record untouched, no block word
// changed.
TEST_F(Details, ClosedInterfaceAnswers) {
  struct Export {
    const char* name;
    std::function<std::int32_t(LibraryState&, DetailsState&, RecordBuffer&)> call;
    std::int32_t closed;
  };
  const std::vector<Export> exports = {
      {"ReadAcceptorDetails",
       [](LibraryState& l, DetailsState&, RecordBuffer& r) {
         return qmx::ReadAcceptorDetails(l, 0, r.bytes);
       },
       0},
      {"WriteAcceptorDetails",
       [](LibraryState& l, DetailsState&, RecordBuffer& r) {
         qmx::WriteAcceptorDetails(l, 0, r.bytes);
         return 0;
       },
       0},
      {"ReadDispenserDetails",
       [](LibraryState& l, DetailsState&, RecordBuffer& r) {
         return qmx::ReadDispenserDetails(l, 0, reinterpret_cast<QmxDispenserDetails*>(r.bytes));
       },
       0},
      {"WriteDispenserDetails",
       [](LibraryState& l, DetailsState&, RecordBuffer&) {
         QmxDispenserDetails in{};
         in.DispenserWord1 = 100;
         in.DispenserWord4 = 5;
         qmx::WriteDispenserDetails(l, 0, &in);
         return 0;
       },
       0},
      {"WriteInterfaceBlock",
       [](LibraryState& l, DetailsState& s, RecordBuffer&) {
         const std::uint8_t data[4] = {1, 2, 3, 4};
         qmx::WriteInterfaceBlock(l, s, 1, data, 4);
         return s.WriteStatus;
       },
       -4},
      {"ReadInterfaceBlock",
       [](LibraryState& l, DetailsState& s, RecordBuffer& r) {
         return qmx::ReadInterfaceBlock(l, s, r.bytes, 100);
       },
       -4},
      {"DoRawPort",
       [](LibraryState& l, DetailsState& s, RecordBuffer&) {
         QmxRawPortRequest request{};
         request.Command = 3;
         qmx::DoRawPort(l, s, &request);
         return s.WriteStatus;
       },
       -4},
      {"RawPortResult",
       [](LibraryState& l, DetailsState& s, RecordBuffer& r) {
         return qmx::RawPortResult(l, s, r.bytes);
       },
       -4},
  };
  // A valid block with lists and a pending reply, but areas not taken: closed.
  UnitSetup setup;
  SetUpBlock(block_.data(), setup);
  PlaceAcceptors();
  PlaceDispensers();
  SetStatus(kReplyLength, 4);
  library_.Block = qmx::SharedBlock(block_.data(), block_.size());
  library_.RequestedVersion = kV5;
  for (const Export& e : exports) {
    SCOPED_TRACE(e.name);
    const std::vector<std::uint8_t> before = block_.Snapshot();
    RecordBuffer record;
    DetailsState state;
    EXPECT_EQ(e.call(library_, state, record), e.closed);
    EXPECT_TRUE(record.UntouchedFrom(0));
    EXPECT_TRUE(ChangedWords(before).empty());
  }
}

TEST_F(Details, HostileLists) {
  struct Case {
    const char* name;
    std::function<void(Details&)> spoil;
    std::int32_t result;
    std::int32_t coinCount;
  };
  const std::vector<Case> cases = {
      {"list start past the end", [](Details& d) { d.SetStatus(kAcceptorList, 0xAFF0); }, 0, 0},
      {"list start not on a word", [](Details& d) { d.SetStatus(kAcceptorList, 0x1002); }, 0, 0},
      {"list start far beyond", [](Details& d) { d.SetStatus(kAcceptorList, 0xFFFFFFFC); }, 0, 0},
      {"first coin past the end", [](Details& d) { d.Set(kAcceptorA + 40, 0xB000); }, 1, 0},
      {"coin link past the end", [](Details& d) { d.Set(kCoin1, 0xAFFC); }, 1, 1},
      {"huge count, coins in a circle",
       [](Details& d) {
         d.Set(kAcceptorA + 16, 0x7FFFFFFF);
         d.Set(kCoin2, kCoin1);
       },
       1, 256},
      {"negative count", [](Details& d) { d.Set(kAcceptorA + 16, 0x80000000); }, 1, 0},
      {"text past the end", [](Details& d) { d.Set(kAcceptorA + 48, 0xFFFFFF00); }, 1, 2},
      {"text without an end",
       [](Details& d) {
         d.Set(kAcceptorA + 48, 0xAFFC);
         d.Set(0xAFFC, 0x41414141);
       },
       1, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    block_ = Buffer(kBlockBytes);
    Open(7, kV5);
    PlaceAcceptors();
    c.spoil(*this);
    RecordBuffer out;
    EXPECT_EQ(qmx::ReadAcceptorDetails(library_, 0, out.bytes), c.result);
    if (c.result == 0) {
      EXPECT_TRUE(out.UntouchedFrom(0));
      continue;
    }
    QmxAcceptorDetails5 record;
    std::memcpy(&record, out.bytes, sizeof record);
    EXPECT_EQ(record.CoinCount, c.coinCount);
    ASSERT_NE(record.DescriptionText, nullptr);
    if (c.coinCount == 256) {
      EXPECT_EQ(record.Coins[254].Value, 5);
      EXPECT_EQ(record.Coins[255].Value, 10);
    }
    // Write-back walks no further than the read did.
    qmx::WriteAcceptorDetails(library_, 0, out.bytes);
    EXPECT_EQ(Command(kSettingsChangeCount), 1u);
  }
}

TEST_F(Details, CyclicAcceptorListEnumerationEnds) {
  Open(5, kV2);
  PlaceAcceptors();
  Set(kAcceptorB, kAcceptorA);  // B leads back to A
  QmxAcceptorDetails record;
  std::int32_t index = 0;
  while (index < 100000 && qmx::ReadAcceptorDetails(library_, index, &record) == 1) ++index;
  // No more entries than 52-byte entries fit in the block.
  EXPECT_LE(index, static_cast<std::int32_t>(kBlockBytes / 52));
  EXPECT_GT(index, 2);
}

TEST_F(Details, ReplyLengthBeyondTheReplyArea) {
  struct Case {
    std::uint32_t replyLength;
    std::int32_t maximum;
    std::int32_t result;
    std::size_t copied;
  };
  for (const Case c : {Case{0x7FFFFFFF, 1000, 316, 316}, Case{317, 400, 316, 316},
                       Case{316, 316, 316, 316}, Case{50, 0, 50, 0}, Case{50, -8, 50, 0},
                       Case{0, 100, 0, 0}}) {
    SCOPED_TRACE(c.replyLength);
    block_ = Buffer(kBlockBytes);
    state_ = DetailsState{};
    Open(5, kV2);
    const std::uint8_t data[4] = {};
    qmx::WriteInterfaceBlock(library_, state_, 0, data, 4);
    ASSERT_EQ(state_.WriteStatus, 0);
    SetStatus(kAckSequence, 1);
    SetStatus(kReplyLength, c.replyLength);
    for (std::uint32_t n = kStatusAt + kReplyData; n < kStatusAt + 952; ++n) block_.data()[n] = 0x77;
    Buffer buffer(1000);
    EXPECT_EQ(qmx::ReadInterfaceBlock(library_, state_, buffer.data(), c.maximum), c.result);
    std::size_t copied = 0;
    while (copied < buffer.size() && buffer.data()[copied] == 0x77) ++copied;
    EXPECT_EQ(copied, c.copied);
  }
}

TEST_F(Details, StalledUnitAnswersAsClosed) {
  Open(7, kV5);
  PlaceAcceptors();
  PlaceDispensers();
  const std::uint8_t data[4] = {};
  qmx::WriteInterfaceBlock(library_, state_, 0, data, 4);
  ASSERT_EQ(state_.WriteStatus, 0);
  SetStatus(kAckSequence, 1);
  SetStatus(kReplyLength, 4);
  StallUnit();
  const std::vector<std::uint8_t> before = block_.Snapshot();
  RecordBuffer record;
  EXPECT_EQ(qmx::ReadAcceptorDetails(library_, 0, record.bytes), 0);
  EXPECT_EQ(qmx::ReadDispenserDetails(library_, 0,
                                      reinterpret_cast<QmxDispenserDetails*>(record.bytes)),
            0);
  EXPECT_EQ(qmx::ReadInterfaceBlock(library_, state_, record.bytes, 100), -4);
  EXPECT_TRUE(record.UntouchedFrom(0));
  qmx::WriteAcceptorDetails(library_, 0, record.bytes);
  QmxDispenserDetails in{};
  qmx::WriteDispenserDetails(library_, 0, &in);
  EXPECT_TRUE(ChangedWords(before).empty());
  qmx::WriteInterfaceBlock(library_, state_, 0, data, 4);
  EXPECT_EQ(state_.WriteStatus, -4);
  EXPECT_TRUE(ChangedWords(before).empty());

  // Coins (one entry linked to itself) whose texts run to the block's last byte:
  // texts are looked up once the read settled, not in each of a stalled read's
  // 100,000 rounds (minutes of a core before).
  Set(kAcceptorA + 16, 16);
  Set(kCoin1 + 0, kCoin1);
  Set(kCoin1 + 44, 0xA000);
  Set(kDispenserA + 52, 0xA000);
  std::memset(block_.data() + 0xA000, 'x', kBlockBytes - 0xA000);
  EXPECT_EQ(qmx::ReadAcceptorDetails(library_, 0, record.bytes), 0);
  SetStatus(0, 7);  // settled: the unterminated text reads as none
  ASSERT_EQ(qmx::ReadAcceptorDetails(library_, 0, record.bytes), 1);
  const auto* settled = reinterpret_cast<const QmxAcceptorDetails5*>(record.bytes);
  EXPECT_EQ(settled->CoinCount, 16);
  EXPECT_STREQ(settled->Coins[15].DescriptionText, "");
}

}  // namespace
