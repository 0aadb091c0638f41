// The money family over a test block: payouts and their results, events, indicators,
// switches, escrow, CheckOperation, the closed interface's answers and a unit whose
// counts never settle. Offsets are the layout's, written out here.
#include "interface/money.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "interface/library.h"
#include "tests/interface/unit_block.h"

namespace {

using namespace qmx_test;
using qmx::LibraryState;
using qmx::MoneyState;

// Header, StatusArea and CommandArea words this family uses beyond unit_block.h's.
constexpr std::uint32_t kUnitSerialAt = 36;
constexpr std::uint32_t kSwitchClose0 = 336;
constexpr std::uint32_t kSwitchOpen0 = 592;
constexpr std::uint32_t kEscrowThroughput = 884;
constexpr std::uint32_t kEventSequence = 888;
constexpr std::uint32_t kEventWord = 892;
constexpr std::uint32_t kCheckResult = 948;
constexpr std::uint32_t kEscrowEnabled = 1384;
constexpr std::uint32_t kEscrowAccept = 1388;
constexpr std::uint32_t kEscrowReturn = 1392;
constexpr std::uint32_t kEventAck = 1408;
constexpr std::uint32_t kCheckA = 1420;
constexpr std::uint32_t kCheckB = 1424;

// A block in a test buffer, set up as a unit sets it up, held by a fresh library
// state that has taken its areas (open) or not.
class Money : public OpenBlock {
 protected:
  MoneyState money_;
};

// Every export, called the way a host calls it; writes answer 0.
struct Export {
  const char* name;
  std::function<std::int32_t(LibraryState&, MoneyState&)> call;
  std::int32_t closed;  // the answer on a closed interface
};

const std::vector<Export>& Exports() {
  static const std::vector<Export> exports = {
      {"CurrentValue", [](LibraryState& l, MoneyState&) { return qmx::CurrentValue(l); }, 0},
      {"PayOut",
       [](LibraryState& l, MoneyState& m) {
         qmx::PayOut(l, m, 100);
         return 0;
       },
       0},
      {"LastPayStatus", [](LibraryState& l, MoneyState& m) { return qmx::LastPayStatus(l, m); },
       -3},
      {"CurrentPaid", [](LibraryState& l, MoneyState&) { return qmx::CurrentPaid(l); }, 0},
      {"AvailableValue", [](LibraryState& l, MoneyState&) { return qmx::AvailableValue(l); }, 0},
      {"ValueNeeded",
       [](LibraryState& l, MoneyState&) {
         qmx::ValueNeeded(l, 25);
         return 0;
       },
       0},
      {"NextEvent",
       [](LibraryState& l, MoneyState&) {
         QmxEventDetails details{-5, -5, -5, -5};
         const std::int32_t code = qmx::NextEvent(l, &details);
         // Nothing taken: the record stays as it was.
         return details.EventCode == -5 && details.EventData1 == -5 && details.EventFlag == -5 &&
                        details.EventData2 == -5
                    ? code
                    : 1000;
       },
       0},
      {"CurrentUpdates", [](LibraryState& l, MoneyState&) { return qmx::CurrentUpdates(l); }, 0},
      {"IndicatorOn",
       [](LibraryState& l, MoneyState&) {
         qmx::IndicatorOn(l, 3);
         return 0;
       },
       0},
      {"IndicatorOff",
       [](LibraryState& l, MoneyState&) {
         qmx::IndicatorOff(l, 3);
         return 0;
       },
       0},
      {"SwitchOpens", [](LibraryState& l, MoneyState&) { return qmx::SwitchOpens(l, 2); }, 0},
      {"SwitchCloses", [](LibraryState& l, MoneyState&) { return qmx::SwitchCloses(l, 2); }, 0},
      {"CheckOperation", [](LibraryState& l, MoneyState&) { return qmx::CheckOperation(l, 1, 2); },
       -1},
      {"SerialNumber", [](LibraryState& l, MoneyState&) { return qmx::SerialNumber(l); }, 0},
      {"EscrowEnable",
       [](LibraryState& l, MoneyState&) {
         qmx::EscrowEnable(l);
         return 0;
       },
       0},
      {"EscrowDisable",
       [](LibraryState& l, MoneyState&) {
         qmx::EscrowDisable(l);
         return 0;
       },
       0},
      {"EscrowThroughput", [](LibraryState& l, MoneyState&) { return qmx::EscrowThroughput(l); },
       0},
      {"EscrowAccept",
       [](LibraryState& l, MoneyState&) {
         qmx::EscrowAccept(l);
         return 0;
       },
       0},
      {"EscrowReturn",
       [](LibraryState& l, MoneyState&) {
         qmx::EscrowReturn(l);
         return 0;
       },
       0},
  };
  return exports;
}

// A block full of non-zero words, so that a closed answer cannot come from the block.
void FillUnitWords(std::uint8_t* base) {
  for (std::uint32_t at = 0; at < kBlockBytes; at += 4) SetWordAt(base, at, 0x01010101u + at);
}

TEST_F(Money, ClosedInterfaceAnswersAndTouchesNothing) {
  ASSERT_EQ(Exports().size(), 19u);
  // No block at all.
  for (const Export& e : Exports()) {
    LibraryState closed("QmxTest money never opened");
    MoneyState money;
    EXPECT_EQ(e.call(closed, money), e.closed) << e.name;
  }
  // A mapped block without BlockMagic (as while Flashwright holds the unit): the
  // areas are not taken, so only SerialNumber reads the block.
  FillUnitWords(block_.data());
  SetWordAt(block_.data(), kBlockMagicAt, 0);
  SetWordAt(block_.data(), kFirmwareLevelAt, 7);
  SetWordAt(block_.data(), kStatusAreaOffsetAt, kStatusAt);
  SetWordAt(block_.data(), kCommandAreaOffsetAt, kCommandAt);
  SetWordAt(block_.data(), kUnitSerialAt, 123456);
  library_.Block = qmx::SharedBlock(block_.data(), block_.size());
  ASSERT_FALSE(library_.IsOpen());
  const std::vector<std::uint8_t> before = block_.Snapshot();
  for (const Export& e : Exports()) {
    const std::int32_t expected = std::string(e.name) == "SerialNumber" ? 123456 : e.closed;
    EXPECT_EQ(e.call(library_, money_), expected) << e.name;
  }
  EXPECT_TRUE(ChangedWords(before).empty());
}

TEST_F(Money, StalledUnitAnswersAsClosed) {
  // Counts that never settle: every consistent read gives up, and nothing is decided
  // from what it saw. CurrentUpdates and CheckOperation's result are plain reads.
  Open(7);
  SetStatus(kCurrentValue, 500);
  SetStatus(kPaidTotal, 40);
  SetStatus(kPayStatus, 5);
  SetStatus(kAvailableValue, 300);
  SetStatus(kSwitchOpen0 + 8, 9);
  SetStatus(kSwitchClose0 + 8, 9);
  SetStatus(kEscrowThroughput, 12);
  SetStatus(kEventSequence, 3);
  SetStatus(kEventWord, 0x00000007);
  SetStatus(kCheckResult, 77);
  SetCommand(kPayoutTarget, 100);
  StallUnit();
  const std::vector<std::uint8_t> before = block_.Snapshot();
  struct Case {
    const char* name;
    std::int32_t expected;
  };
  const Case reads[] = {{"CurrentValue", 0},   {"LastPayStatus", -3}, {"CurrentPaid", 0},
                        {"AvailableValue", 0}, {"NextEvent", 0},      {"CurrentUpdates", 7},
                        {"SwitchOpens", 0},    {"SwitchCloses", 0},   {"EscrowThroughput", 0},
                        {"PayOut", 0},         {"CheckOperation", 77}};
  for (const Case& test : reads) {
    for (const Export& e : Exports()) {
      if (std::string(e.name) != test.name) continue;
      EXPECT_EQ(e.call(library_, money_), test.expected) << e.name;
    }
  }
  // Only CheckOperation's posted pair changed: no payout target, no acknowledge.
  EXPECT_EQ(ChangedWords(before),
            (std::vector<std::uint32_t>{kCommandAt + kCheckA, kCommandAt + kCheckB}));
  EXPECT_EQ(Command(kPayoutTarget), 100u);
  EXPECT_EQ(Command(kEventAck), 0u);

  // Escrow decided while the unit's counts never settle: nothing is written, not
  // even the settings count.
  SetCommand(kEscrowReturn, 2);
  const std::vector<std::uint8_t> undecided = block_.Snapshot();
  qmx::EscrowAccept(library_);
  qmx::EscrowReturn(library_);
  EXPECT_TRUE(ChangedWords(undecided).empty());
}

TEST_F(Money, SingleReads) {
  Open(5);
  SetStatus(kCurrentValue, 1234);
  SetStatus(kPaidTotal, 0xFFFFFFFFu);
  SetStatus(kAvailableValue, 0x80000000u);
  SetStatus(kStatusStart, 41);
  SetStatus(kStatusEnd, 41);
  SetWordAt(block_.data(), kUnitSerialAt, 0x00BC614E);
  EXPECT_EQ(qmx::CurrentValue(library_), 1234);
  EXPECT_EQ(qmx::CurrentPaid(library_), -1);
  EXPECT_EQ(qmx::AvailableValue(library_), INT32_MIN);
  EXPECT_EQ(qmx::CurrentUpdates(library_), 41);
  EXPECT_EQ(qmx::SerialNumber(library_), 12345678);
}

TEST_F(Money, PayoutRunsToCompletion) {
  Open(4);
  qmx::PayOut(library_, money_, 100);
  EXPECT_EQ(Command(kPayoutTarget), 100u);
  EXPECT_EQ(Command(kCommandStart), 1u);
  EXPECT_EQ(Command(kCommandEnd), 1u);
  EXPECT_EQ(Command(kSettingsChangeCount), 0u) << "a payout is not a settings change";

  SetStatus(kPayStatus, 0);
  EXPECT_EQ(qmx::LastPayStatus(library_, money_), 0) << "paying";
  SetStatus(kPayStatus, 1);
  SetStatus(kPaidTotal, 40);
  EXPECT_EQ(qmx::LastPayStatus(library_, money_), 0) << "not paying, short of the target";
  SetStatus(kPaidTotal, 100);
  EXPECT_EQ(qmx::LastPayStatus(library_, money_), 1);
  EXPECT_EQ(Command(kPayoutTarget), 100u);
}

TEST_F(Money, SecondPayoutBeforeTheFirstIsTakenUpCountsFromWhatWasPaid) {
  Open(4);
  SetStatus(kPayStatus, 1);
  qmx::PayOut(library_, money_, 100);
  ASSERT_EQ(Command(kPayoutTarget), 100u);
  qmx::PayOut(library_, money_, 100);
  EXPECT_EQ(Command(kPayoutTarget), 100u) << "set back to 0 first, then 100 added";
  EXPECT_EQ(Command(kCommandStart), 3u) << "one bracket, then two";
  EXPECT_EQ(Command(kCommandEnd), 3u);
}

TEST_F(Money, PayoutErrorCancelsTheRestAndStaysTheAnswer) {
  Open(5, 1000);
  SetCommand(kPayoutTarget, 100);
  SetCommand(kBasedPayoutTarget, 1100);
  SetStatus(kPayStatus, 5);
  SetStatus(kPaidTotal, 60);
  EXPECT_EQ(qmx::LastPayStatus(library_, money_), 5);
  EXPECT_EQ(Command(kPayoutTarget), 60u);
  EXPECT_EQ(Command(kBasedPayoutTarget), 1100u) << "the based target is left alone";
  // Reported again while the unit holds it.
  EXPECT_EQ(qmx::LastPayStatus(library_, money_), 5);
  SetStatus(kPayStatus, 1);
  EXPECT_EQ(qmx::LastPayStatus(library_, money_), 5);
  EXPECT_EQ(qmx::LastPayStatus(library_, money_), 5);
  // The next payout starts afresh.
  qmx::PayOut(library_, money_, 10);
  EXPECT_EQ(Command(kPayoutTarget), 70u);
  SetStatus(kPaidTotal, 70);
  EXPECT_EQ(qmx::LastPayStatus(library_, money_), 1);
}

TEST_F(Money, PayoutAfterAShortPayoutCountsFromWhatWasPaid) {
  Open(4);
  SetCommand(kPayoutTarget, 100);
  SetStatus(kPayStatus, 9);
  SetStatus(kPaidTotal, 60);
  qmx::PayOut(library_, money_, 50);
  EXPECT_EQ(Command(kPayoutTarget), 110u);
  // While the unit pays, the target is never set back.
  SetStatus(kPayStatus, 0);
  qmx::PayOut(library_, money_, 5);
  EXPECT_EQ(Command(kPayoutTarget), 115u);
}

TEST_F(Money, BasedPayoutTargetFromLevelFive) {
  struct Case {
    std::int32_t level;
    std::uint32_t based;  // BasedPayoutTarget after PayOut(100) from a target of 0
  };
  const Case cases[] = {{4, 0xABCD}, {5, 1100}, {7, 1100}};
  for (const Case& test : cases) {
    Open(test.level, 1000);
    SetCommand(kPayoutTarget, 0);
    SetCommand(kBasedPayoutTarget, 0xABCD);
    qmx::PayOut(library_, money_, 100);
    EXPECT_EQ(Command(kPayoutTarget), 100u) << test.level;
    EXPECT_EQ(Command(kBasedPayoutTarget), test.based) << test.level;
  }
}

TEST_F(Money, ValueNeededIsASettingsChange) {
  Open(5);
  qmx::ValueNeeded(library_, -20);
  EXPECT_EQ(Command(kValueNeeded), 0xFFFFFFECu);
  EXPECT_EQ(Command(kSettingsChangeCount), 1u);
  EXPECT_EQ(Command(kCommandStart), 1u);
  EXPECT_EQ(Command(kCommandEnd), 1u);
}

TEST_F(Money, NextEventTakesOneEventAtATime) {
  Open(5);
  SetStatus(kEventSequence, 5);
  SetCommand(kEventAck, 4);
  SetStatus(kEventWord, 0x81020007);
  QmxEventDetails details{};
  EXPECT_EQ(qmx::NextEvent(library_, &details), 7);
  EXPECT_EQ(details.EventCode, 7);
  EXPECT_EQ(details.EventData1, 2);
  EXPECT_EQ(details.EventFlag, 1);
  EXPECT_EQ(details.EventData2, 1);
  EXPECT_EQ(Command(kEventAck), 5u);
  EXPECT_EQ(Command(kSettingsChangeCount), 1u);
  // Until the unit posts again there is none.
  const std::vector<std::uint8_t> before = block_.Snapshot();
  EXPECT_EQ(qmx::NextEvent(library_, &details), 0);
  EXPECT_TRUE(ChangedWords(before).empty());
  // The next one, taken without a record.
  SetStatus(kEventSequence, 6);
  SetStatus(kEventWord, 0x7FFFFFFF);
  EXPECT_EQ(qmx::NextEvent(library_, nullptr), 0xFFFF);
  EXPECT_EQ(Command(kEventAck), 6u);
}

TEST(EventWord, FieldsAreSplitByBits) {
  struct Case {
    std::uint32_t word;
    QmxEventDetails details;  // code, data 1, flag, data 2
  };
  const Case cases[] = {
      {0x81020007, {7, 2, 1, 1}}, {0x7FFFFFFF, {0xFFFF, 0xFF, 0, 0x7F}},
      {0x80000000, {0, 0, 1, 0}}, {0x12345678, {0x5678, 0x34, 0, 0x12}},
      {0x00000000, {0, 0, 0, 0}},
  };
  for (const Case& test : cases) {
    const QmxEventDetails got = qmx::DecodeEvent(test.word);
    EXPECT_EQ(got.EventCode, test.details.EventCode) << std::hex << test.word;
    EXPECT_EQ(got.EventData1, test.details.EventData1) << std::hex << test.word;
    EXPECT_EQ(got.EventFlag, test.details.EventFlag) << std::hex << test.word;
    EXPECT_EQ(got.EventData2, test.details.EventData2) << std::hex << test.word;
  }
}

TEST_F(Money, IndicatorsByLevel) {
  struct Case {
    std::int32_t level;
    std::int32_t indicator;
    std::int32_t slot;  // -1: nothing changes
  };
  const Case cases[] = {
      {5, 3, 3},   {4, 3, 11},  {5, 0, 0},          {4, 0, 8},          {5, 63, 63},
      {4, 55, 63}, {4, 56, -1}, {5, 64, -1},        {4, -1, -1},        {5, -1, -1},
      {7, 64, -1}, {3, 0, 8},   {5, INT32_MIN, -1}, {4, INT32_MAX, -1},
  };
  for (const Case& test : cases) {
    for (std::uint32_t on : {1u, 0u}) {
      Open(test.level);
      // Slots start opposite to what is stored, so each store shows.
      for (std::uint32_t n = 0; n < 64; ++n) SetCommand(kIndicatorSlot0 + 4 * n, 1 - on);
      SetCommand(kCommandStart, 0);
      SetCommand(kCommandEnd, 0);
      SetCommand(kSettingsChangeCount, 0);
      const std::vector<std::uint8_t> before = block_.Snapshot();
      if (on != 0)
        qmx::IndicatorOn(library_, test.indicator);
      else
        qmx::IndicatorOff(library_, test.indicator);
      std::vector<std::uint32_t> expected;
      if (test.slot >= 0) {
        expected = {kCommandAt + kCommandStart, kCommandAt + kCommandEnd,
                    kCommandAt + kIndicatorSlot0 + 4 * static_cast<std::uint32_t>(test.slot)};
      }
      EXPECT_EQ(ChangedWords(before), expected)
          << "level " << test.level << " indicator " << test.indicator << " on " << on;
      if (test.slot >= 0) {
        EXPECT_EQ(Command(kIndicatorSlot0 + 4 * static_cast<std::uint32_t>(test.slot)), on);
      }
    }
  }
}

TEST_F(Money, SwitchCounts) {
  Open(5);
  for (std::uint32_t n = 0; n < 64; ++n) {
    SetStatus(kSwitchClose0 + 4 * n, 1000 + n);
    SetStatus(kSwitchOpen0 + 4 * n, 2000 + n);
  }
  // The words just past each table hold something, so reading one would show.
  SetStatus(kCurrentValue, 99);
  struct Case {
    std::int32_t number;
    std::int32_t opens, closes;
  };
  const Case cases[] = {{0, 2000, 1000}, {1, 2001, 1001}, {63, 2063, 1063},  {64, 0, 0},
                        {-1, 0, 0},      {-64, 0, 0},     {INT32_MAX, 0, 0}, {INT32_MIN, 0, 0}};
  for (const Case& test : cases) {
    EXPECT_EQ(qmx::SwitchOpens(library_, test.number), test.opens) << test.number;
    EXPECT_EQ(qmx::SwitchCloses(library_, test.number), test.closes) << test.number;
  }
}

TEST_F(Money, CheckOperationFromLevelSeven) {
  struct Case {
    std::int32_t level;
    bool available;
  };
  const Case cases[] = {{4, false}, {5, false}, {6, false}, {7, true}, {8, true}};
  for (const Case& test : cases) {
    Open(test.level);
    SetStatus(kCheckResult, 0x1234);
    SetCommand(kCheckA, 0);
    SetCommand(kCheckB, 0);
    SetCommand(kCommandStart, 0);
    const std::vector<std::uint8_t> before = block_.Snapshot();
    const std::int32_t got = qmx::CheckOperation(library_, -7, 900);
    if (!test.available) {
      EXPECT_EQ(got, -1) << test.level;
      EXPECT_TRUE(ChangedWords(before).empty()) << test.level;
      continue;
    }
    EXPECT_EQ(got, 0x1234) << "the answer standing before the call";
    // Posted without a bracket.
    EXPECT_EQ(ChangedWords(before),
              (std::vector<std::uint32_t>{kCommandAt + kCheckA, kCommandAt + kCheckB}));
    EXPECT_EQ(Command(kCheckA), 0xFFFFFFF9u);
    EXPECT_EQ(Command(kCheckB), 900u);
    SetStatus(kCheckResult, 55);
    EXPECT_EQ(qmx::CheckOperation(library_, 1, 2), 55);
  }
}

TEST_F(Money, EscrowBelowLevelFiveDoesNothing) {
  Open(4);
  SetStatus(kEscrowThroughput, 12);
  const std::vector<std::uint8_t> before = block_.Snapshot();
  qmx::EscrowEnable(library_);
  qmx::EscrowDisable(library_);
  qmx::EscrowAccept(library_);
  qmx::EscrowReturn(library_);
  EXPECT_EQ(qmx::EscrowThroughput(library_), 0);
  EXPECT_TRUE(ChangedWords(before).empty());
}

TEST_F(Money, EscrowDecidesEverythingWaiting) {
  Open(5);
  qmx::EscrowEnable(library_);
  EXPECT_EQ(Command(kEscrowEnabled), 1u);
  EXPECT_EQ(Command(kSettingsChangeCount), 1u);
  SetStatus(kEscrowThroughput, 10);
  EXPECT_EQ(qmx::EscrowThroughput(library_), 10);
  SetCommand(kEscrowReturn, 3);
  qmx::EscrowAccept(library_);
  EXPECT_EQ(Command(kEscrowAccept), 7u);
  EXPECT_EQ(Command(kEscrowReturn), 3u);
  SetStatus(kEscrowThroughput, 12);
  qmx::EscrowReturn(library_);
  EXPECT_EQ(Command(kEscrowReturn), 5u);
  EXPECT_EQ(Command(kEscrowAccept), 7u);
  qmx::EscrowDisable(library_);
  EXPECT_EQ(Command(kEscrowEnabled), 0u);
  EXPECT_EQ(Command(kSettingsChangeCount), 4u);
  EXPECT_EQ(Command(kCommandStart), 4u);
  EXPECT_EQ(Command(kCommandEnd), 4u);
}

// Events against a unit thread that posts the next event as soon as it sees the
// last one acknowledged, as a unit does: every event is taken once, in order, none
// lost, none twice, and the record always matches the code.
TEST_F(Money, EventsFromAUnitThreadAreTakenOnceInOrder) {
  constexpr std::uint32_t kEvents = 2000;
  // Far more time than it needs; only a broken handshake runs it out. A bound in
  // rounds ran out on a loaded machine whose unit thread got no core.
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  Open(5);
  std::uint8_t* base = block_.data();
  std::atomic<bool> hostDone{false};
  std::thread unit([&] {
    std::uint32_t posted = 0;
    // Bounded by the host, which gives up after its own rounds.
    while (posted < kEvents && !hostDone) {
      if (WordAt(base, kCommandAt + kEventAck) != posted) {
        std::this_thread::yield();
        continue;
      }
      ++posted;
      const std::uint32_t start = WordAt(base, kStatusAt + kStatusStart) + 1;
      SetWordAt(base, kStatusAt + kStatusStart, start);
      // Code = the event's number, first data byte its low byte, flag on odd ones.
      SetWordAt(base, kStatusAt + kEventWord,
                (posted & 0xFFFFu) | ((posted & 0xFFu) << 16) | ((posted & 1u) << 31));
      SetWordAt(base, kStatusAt + kEventSequence, posted);
      SetWordAt(base, kStatusAt + kStatusEnd, start);
    }
  });
  std::vector<std::int32_t> taken;
  while (taken.size() < kEvents && std::chrono::steady_clock::now() < giveUp) {
    QmxEventDetails details{};
    const std::int32_t code = qmx::NextEvent(library_, &details);
    if (code == 0) {
      std::this_thread::yield();
      continue;
    }
    taken.push_back(code);
    EXPECT_EQ(details.EventCode, code);
    EXPECT_EQ(details.EventData1, code & 0xFF);
    EXPECT_EQ(details.EventFlag, code & 1);
    EXPECT_EQ(details.EventData2, 0);
  }
  hostDone = true;
  unit.join();
  ASSERT_EQ(taken.size(), kEvents);
  for (std::uint32_t i = 0; i < kEvents; ++i)
    EXPECT_EQ(taken[i], static_cast<std::int32_t>(i + 1)) << i;
  EXPECT_EQ(Command(kSettingsChangeCount), kEvents);
}

}  // namespace
