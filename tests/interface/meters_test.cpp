// Counters, captions, the meter, the E2Prom image and the message exchanges over a
// test block, with the unit's side of the channel played by the test. Offsets are
// the layout's, written out here.
#include "interface/meters.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "tests/interface/unit_block.h"

namespace {

using namespace qmx_test;

constexpr std::uint32_t kMeterStatus = 876;
constexpr std::uint32_t kMeterSerial = 880;
constexpr std::uint32_t kCounter1 = 608;
constexpr std::uint32_t kCaption1 = 736;
constexpr std::uint32_t kDisplayCode = 1120;
constexpr std::uint32_t kRowChanges = 1124;
constexpr std::uint32_t kImage = 1128;

using Meters = OpenBlock;

TEST_F(Meters, CountersByTheirLowEightBits) {
  Open(3);
  struct Case {
    std::int32_t counter;
    std::uint32_t word;  // index of the word that moves, or 99 for none
  };
  const Case cases[] = {{1, 0}, {32, 31}, {257, 0}, {0, 99}, {33, 99}, {256, 99}, {-255, 0}};
  for (const Case& test : cases) {
    const std::vector<std::uint8_t> before = block_.Snapshot();
    const std::uint32_t settings = Command(kSettingsChangeCount);
    qmx::CounterIncrement(library_, test.counter, 5);
    qmx::CounterIncrement(library_, test.counter, 5);
    if (test.word == 99) {
      EXPECT_TRUE(ChangedWords(before).empty()) << test.counter;
      EXPECT_EQ(qmx::CounterRead(library_, test.counter), 0) << test.counter;
      continue;
    }
    EXPECT_EQ(Command(kCounter1 + 4 * test.word),
              WordAt(before.data(), kCommandAt + kCounter1 + 4 * test.word) + 10)
        << test.counter;
    EXPECT_EQ(Command(kSettingsChangeCount), settings + 2) << test.counter;
    EXPECT_EQ(Command(kCommandStart), Command(kCommandEnd));
    EXPECT_EQ(qmx::CounterRead(library_, test.counter),
              static_cast<std::int32_t>(Command(kCounter1 + 4 * test.word)));
  }
  // The unit's words wrap.
  SetCommand(kCounter1, 0xFFFFFFFF);
  qmx::CounterIncrement(library_, 1, 2);
  EXPECT_EQ(qmx::CounterRead(library_, 1), 1);
  qmx::CounterDisplay(library_, 7);
  EXPECT_EQ(Command(kDisplayCode), 7u);
}

TEST_F(Meters, CaptionsAreTwelveBytes) {
  Open(3);
  qmx::CounterCaption(library_, 32, "ABCDEFGHIJKLMNOP");  // only 12 are taken
  EXPECT_EQ(Command(kCaption1 + 12 * 31), 0x44434241u);
  EXPECT_EQ(Command(kCaption1 + 12 * 31 + 8), 0x4C4B4A49u);
  EXPECT_EQ(Command(kCaption1 + 12 * 32), 0u) << "the next field is not touched";
  EXPECT_STREQ(qmx::ReadCounterCaption(library_, 32), "ABCDEFGHIJKL");
  const char shortCaption[12] = "Coins in";
  qmx::CounterCaption(library_, 1, shortCaption);
  EXPECT_STREQ(qmx::ReadCounterCaption(library_, 257), "Coins in");
  EXPECT_STREQ(qmx::ReadCounterCaption(library_, 33), "");
}

TEST_F(Meters, LevelsAndTheClosedInterface) {
  struct Case {
    std::int32_t level;
    bool open;
    std::int32_t meterStatus;
  };
  for (const Case& test : {Case{2, true, 1}, Case{3, true, 6}, Case{5, false, 0}}) {
    Open(test.level);
    SetStatus(kMeterStatus, 6);
    SetStatus(kMeterSerial, 123456);
    SetCommand(kCaption1, 0x41414141);
    if (!test.open) library_.Block.ForgetAreas();
    const std::vector<std::uint8_t> before = block_.Snapshot();
    qmx::CounterIncrement(library_, 1, 1);
    qmx::CounterCaption(library_, 1, "XXXXXXXXXXXX");
    qmx::CounterDisplay(library_, 3);
    const bool counters = test.open && test.level >= 3;
    EXPECT_EQ(ChangedWords(before).empty(), !counters) << test.level;
    EXPECT_EQ(qmx::MeterStatus(library_), test.meterStatus) << test.level;
    EXPECT_EQ(qmx::MeterSerialNo(library_), counters ? 123456 : 0) << test.level;
    EXPECT_STREQ(qmx::ReadCounterCaption(library_, 1), counters ? "XXXXXXXXXXXX" : "");
  }
}

TEST_F(Meters, E2PromRowsAndTheirCounters) {
  Open(4);
  std::uint8_t image[256];
  for (int i = 0; i < 256; ++i) image[i] = static_cast<std::uint8_t>(i);
  SetBytes(kCommandAt + kImage, image, sizeof image);
  SetCommand(kRowChanges, 0x000000F0);  // row 1's counter at 15

  // 40 bytes that change only bytes 0 and 35: one word in row 0, one in row 1.
  std::uint8_t data[40];
  std::memcpy(data, image, sizeof data);
  data[0] = 0xEE;
  data[35] = 0xDD;
  const std::vector<std::uint8_t> before = block_.Snapshot();
  const std::uint32_t settings = Command(kSettingsChangeCount);
  qmx::E2PromWrite(library_, data, sizeof data);
  EXPECT_EQ(ChangedWords(before),
            (std::vector<std::uint32_t>{kCommandAt + kCommandStart, kCommandAt + kCommandEnd,
                                        kCommandAt + kSettingsChangeCount,
                                        kCommandAt + kRowChanges, kCommandAt + kImage,
                                        kCommandAt + kImage + 32}));
  EXPECT_EQ(Command(kRowChanges), 0x00000001u) << "row 0 to 1, row 1 wraps to 0";
  std::uint8_t read[300];
  std::memset(read, 0xAB, sizeof read);
  qmx::E2PromRead(library_, read, 300);
  EXPECT_EQ(read[0], 0xEE);
  EXPECT_EQ(read[35], 0xDD);
  EXPECT_EQ(read[255], 0xFF);
  EXPECT_EQ(read[256], 0xAB) << "at most 256 bytes";

  // Identical bytes: nothing stored, counters as they were, settings still moved.
  const std::vector<std::uint8_t> same = block_.Snapshot();
  qmx::E2PromWrite(library_, read, 256);
  EXPECT_EQ(Command(kRowChanges), 0x00000001u);
  EXPECT_EQ(Command(kSettingsChangeCount), settings + 2);
  for (std::uint32_t at : ChangedWords(same)) EXPECT_LT(at, kCommandAt + kImage) << at;

  // Nothing for a length of 0 or less, a null buffer, or below level 4.
  const std::vector<std::uint8_t> quiet = block_.Snapshot();
  std::memset(read, 0xAB, sizeof read);
  qmx::E2PromRead(library_, read, 0);
  qmx::E2PromRead(library_, read, -5);
  qmx::E2PromRead(library_, nullptr, 10);
  qmx::E2PromWrite(library_, nullptr, 10);
  EXPECT_EQ(read[0], 0xAB);
  EXPECT_TRUE(ChangedWords(quiet).empty());
  Set(8, 3);  // FirmwareLevel
  qmx::E2PromWrite(library_, data, sizeof data);
  qmx::E2PromRead(library_, read, 10);
  EXPECT_EQ(read[0], 0xAB);
  EXPECT_EQ(ChangedWords(quiet), std::vector<std::uint32_t>{8}) << "only the level word";
}

// The exchanges send one block each and return the unit's reply length; a unit that
// never answers ends them after the library's bound with their documented result.
TEST_F(Meters, ResetAndDeviceKeyExchanges) {
  Open(5);
  Message message;
  int busyRounds = 0;
  std::int32_t replyLength = 6;
  bool answering = true;
  clock_.SetSleepHook([&](std::uint32_t) {
    if (busyRounds > 0 && --busyRounds == 0) AnswerMessage(1);  // the earlier block
    else if (busyRounds == 0 && answering) AnswerMessage(replyLength, &message);
  });

  EXPECT_EQ(qmx::SetDeviceKey(library_, 0x11223344), 6);
  EXPECT_EQ(message.type, 5u);
  EXPECT_EQ(message.length, 4u);
  EXPECT_EQ(message.data, (std::vector<std::uint8_t>{0x44, 0x33, 0x22, 0x11}));

  // An earlier block still unanswered: the reset waits for the channel, then goes.
  SetCommand(kBlockSequenceField, Command(kBlockSequenceField) + 1);
  busyRounds = 3;
  replyLength = 2;
  EXPECT_EQ(qmx::E2PromReset(library_, 7), 2);
  EXPECT_EQ(message.type, 4u);
  EXPECT_EQ(message.length, 2u);
  EXPECT_EQ(message.data[0], 1u);
  EXPECT_EQ(qmx::E2PromReset(library_, 0), 2);
  EXPECT_EQ(message.data[0], 0u);

  answering = false;
  const std::int64_t start = clock_.Counter();
  EXPECT_EQ(qmx::E2PromReset(library_, 1), qmx::kUnitNoAnswer);
  const std::int64_t waited = clock_.Counter() - start;
  EXPECT_GE(waited, std::int64_t{qmx::kUnitAnswerMs} * 1000);
  EXPECT_LT(waited, std::int64_t{qmx::kUnitAnswerMs} * 1000 + 100'000);
  // The channel is still held by that block: the next exchange waits for it too.
  EXPECT_EQ(qmx::SetDeviceKey(library_, 1), qmx::kUnitNoAnswer);

  library_.Block.ForgetAreas();
  EXPECT_EQ(qmx::E2PromReset(library_, 1), qmx::kBlockNotOpen);
  EXPECT_EQ(qmx::SetDeviceKey(library_, 1), qmx::kBlockNotOpen);
}

TEST_F(Meters, DriverStateAndFirmwareVersionWithoutAMapping) {
  Open(5);
  SetBytes(48, "Dec  8 2026\0\0\0\0\0", 16);
  SetBytes(64, "09:30:00\0\0\0\0\0\0\0\0", 16);
  Set(12, 0x02041100);
  char date[17] = {}, time[17] = {};
  EXPECT_EQ(qmx::FirmwareVersion(library_, date, time), 0x02041100);
  EXPECT_STREQ(date, "Dec  8 2026");
  EXPECT_STREQ(time, "09:30:00");
  EXPECT_EQ(qmx::FirmwareVersion(library_, nullptr, nullptr), 0x02041100);
  // A test buffer is no mapping, as a PCI card's window is none.
  EXPECT_EQ(qmx::USBDriverStatus(library_), -1);
  qmx::USBDriverExit(library_);
  EXPECT_EQ(Word(0x2004), 0u);
  qmx::LibraryState none{"QmxTest never opened"};
  EXPECT_EQ(qmx::FirmwareVersion(none, date, time), 0);
}

}  // namespace
