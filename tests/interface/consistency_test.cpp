// The consistency check over a test block on a virtual clock: each case changes the
// block and the time between two calls and names the text it must give.
#include "interface/consistency.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "tests/interface/unit_block.h"

namespace {

using namespace qmx_test;

constexpr std::uint32_t kCurrentValue = 848;
constexpr std::uint32_t kAcceptorList = 868;
// One coin acceptor with two coins (10 and 50), one note acceptor with one note (500).
constexpr std::uint32_t kCoinAcceptor = 0x3000;
constexpr std::uint32_t kNoteAcceptor = 0x3100;
constexpr std::uint32_t kThirdAcceptor = 0x3200;
constexpr std::uint32_t kCoin10 = 0x3400;
constexpr std::uint32_t kCoin50 = 0x3440;
constexpr std::uint32_t kNote500 = 0x3480;
constexpr std::uint32_t kEntryNext = 0, kEntryCode = 8, kEntryCount = 16, kEntryFirst = 40;
constexpr std::uint32_t kCoinValue = 8, kCoinAccepted = 16;

class Consistency : public OpenBlock {
 public:
  void SetUp() override {
    Open(5);
    SetStatus(kAcceptorList, kCoinAcceptor);
    Place(kCoinAcceptor, kNoteAcceptor, 0x02000001, 2, kCoin10);
    Place(kNoteAcceptor, 0, 0x05000001, 1, kNote500);
    Set(kCoin10 + kEntryNext, kCoin50);
    Set(kCoin10 + kCoinValue, 10);
    Set(kCoin50 + kCoinValue, 50);
    Set(kNote500 + kCoinValue, 500);
  }
  void Place(std::uint32_t at, std::uint32_t next, std::uint32_t code, std::uint32_t coins,
             std::uint32_t first) {
    Set(at + kEntryNext, next);
    Set(at + kEntryCode, code);
    Set(at + kEntryCount, coins);
    Set(at + kEntryFirst, first);
  }
  void Accept(std::uint32_t coin, std::uint32_t count, bool counted = true) {
    Set(coin + kCoinAccepted, Word(coin + kCoinAccepted) + count);
    if (counted) SetStatus(kCurrentValue, Status(kCurrentValue) + count * Word(coin + kCoinValue));
  }
  std::string Check(std::int32_t coinMs = 100, std::int32_t noteMs = 1000) {
    const char* text = qmx::ZELTIConsistencyError(library_, coinMs, noteMs);
    return text == nullptr ? "(null)" : text;
  }
};

TEST_F(Consistency, Rules) {
  struct Case {
    const char* name;
    std::int64_t elapsedMs;
    std::function<void(Consistency&)> change;
    const char* text;
    std::int32_t coinMs = 100, noteMs = 1000;
  };
  const Case cases[] = {
      {"nothing changed", 10, [](Consistency&) {}, "(null)"},
      {"coins as the value says", 1000, [](Consistency& t) { t.Accept(kCoin50, 3); }, "(null)"},
      {"value fell", 10, [](Consistency& t) { t.SetStatus(kCurrentValue, t.Status(kCurrentValue) - 50); },
       "CurrentValue decremented by 50"},
      {"value rose more than the coins", 1000,
       [](Consistency& t) {
         t.Accept(kCoin50, 3, false);
         t.SetStatus(kCurrentValue, t.Status(kCurrentValue) + 100);
       },
       "CurrentValue increment 100, but acceptors show 150"},
      {"coins faster than they can come", 150, [](Consistency& t) { t.Accept(kCoin10, 5); },
       "5 coins read, but only time for 2"},
      {"notes faster than they can come", 2500, [](Consistency& t) { t.Accept(kNote500, 4); },
       "4 notes read, but only time for 3"},
      // The note rule at its allowance: 2000 ms with 1000 ms a note allow 3, and the
      // fourth note's time comes only at 3000 ms.
      {"notes at exactly the allowance", 2000, [](Consistency& t) { t.Accept(kNote500, 3); },
       "(null)"},
      {"one note past the allowance", 2000, [](Consistency& t) { t.Accept(kNote500, 4); },
       "4 notes read, but only time for 3"},
      {"a millisecond short of the next note", 2999,
       [](Consistency& t) { t.Accept(kNote500, 4); }, "4 notes read, but only time for 3"},
      {"the next note's time", 3000, [](Consistency& t) { t.Accept(kNote500, 4); }, "(null)"},
      {"a coin at once is always allowed", 0, [](Consistency& t) { t.Accept(kCoin10, 1); }, "(null)"},
      {"an acceptor added: no comparison", 0,
       [](Consistency& t) {
         t.Place(kNoteAcceptor, kThirdAcceptor, 0x05000001, 1, kNote500);
         t.SetStatus(kCurrentValue, 0);
       },
       "(null)"},
      {"times of 0 or less count as 1 ms", 3, [](Consistency& t) { t.Accept(kCoin10, 4); },
       "(null)", 0, -5},
      {"and still bound the count", 3, [](Consistency& t) { t.Accept(kCoin10, 5); },
       "5 coins read, but only time for 4", -1, 0},
      {"totals wrap as the unit's words do", 1000,
       [](Consistency& t) {
         t.SetStatus(kCurrentValue, 0xFFFFFFF6);
         t.Set(kCoin10 + kCoinAccepted, 0xFFFFFFFF);
       },
       nullptr},  // a new baseline, whatever it says
      {"across the wrap", 1000, [](Consistency& t) { t.Accept(kCoin10, 2); }, "(null)"},
  };
  EXPECT_EQ(Check(), "(null)") << "the first call only takes a snapshot";
  for (const Case& test : cases) {
    test.change(*this);
    clock_.Advance(test.elapsedMs * 1000);
    const std::string text = Check(test.coinMs, test.noteMs);
    if (test.text != nullptr) {
      EXPECT_EQ(text, test.text) << test.name;
    }
  }
}

TEST_F(Consistency, ClosedStalledAndHostileLists) {
  EXPECT_EQ(Check(), "(null)");
  StallUnit();
  EXPECT_EQ(Check(), "ZELTI not functional");
  SetStatus(kStatusStart, 7);
  // A list that runs in a circle and a coin count far beyond the entries: the walk ends.
  Set(kNoteAcceptor + kEntryNext, kCoinAcceptor);
  Set(kCoinAcceptor + kEntryCount, 0x7FFFFFFF);
  Set(kCoin50 + kEntryNext, kCoin10);
  EXPECT_EQ(Check(), "(null)") << "a different acceptor count: no comparison";
  library_.Block.ForgetAreas();
  EXPECT_EQ(Check(), "Interface not initialised");
  EXPECT_EQ(Check(), "Interface not initialised");
}

// Every acceptor of a circle holding one coin that runs in a circle of its own, with
// a count far beyond it: the walk must not take each acceptor's full bound in turn
// (the product is some 800,000 entries, and a stalled unit repeats a look 100,000
// times). The coins counted stay within what the block can hold.
TEST_F(Consistency, CirclesWithinCirclesCostOneBlockOfCoins) {
  const std::uint32_t blockCoins = static_cast<std::uint32_t>(kBlockBytes / 48);
  Set(kNoteAcceptor + kEntryNext, kCoinAcceptor);
  for (const std::uint32_t entry : {kCoinAcceptor, kNoteAcceptor}) {
    Set(entry + kEntryCode, 0x02000001);
    Set(entry + kEntryCount, 0x7FFFFFFF);
    Set(entry + kEntryFirst, kCoin10);
  }
  Set(kCoin10 + kEntryNext, kCoin10);
  Set(kCoin10 + kCoinAccepted, 0);
  EXPECT_EQ(Check(), "(null)");
  Set(kCoin10 + kCoinAccepted, 1);
  // Each coin seen counts 10 more than CurrentValue moved (by nothing).
  EXPECT_EQ(Check(), "CurrentValue increment 0, but acceptors show " +
                         std::to_string(10 * blockCoins));
}

}  // namespace
