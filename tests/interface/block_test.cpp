// SharedBlock over test buffers: bounded word access, offsets read from the block,
// list walks and texts on hostile blocks, and the access rules (VerifiedStore with
// its switch-off, GuardedWrite's bracket, ConsistentRead's retry and its bound).
#include "interface/block.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "unit_block.h"

namespace {

using namespace qmx_test;
using qmx::SharedBlock;

// A whole block with the test unit's header and areas.
struct UnitBlock {
  UnitBlock() : buffer(kBlockBytes), block(buffer.data(), buffer.size()) {
    SetUpBlock(buffer.data(), UnitSetup{});
    EXPECT_TRUE(block.TakeAreas());
  }
  std::uint32_t Command(std::uint32_t field) { return WordAt(buffer.data(), kCommandAt + field); }
  Buffer buffer;
  SharedBlock block;
};

// ---- Words ---------------------------------------------------------------------

TEST(SharedBlockWords, InsideTheBlockAtomicLittleEndianWords) {
  Buffer buffer(64);
  SharedBlock block(buffer.data(), buffer.size());
  block.Store(60, 0x11223344);
  EXPECT_EQ(buffer.data()[60], 0x44);
  EXPECT_EQ(buffer.data()[63], 0x11);
  EXPECT_EQ(block.Load(60), 0x11223344u);
  buffer.data()[0] = 0x8C;
  buffer.data()[1] = 0x4A;
  buffer.data()[2] = 0x8D;
  buffer.data()[3] = 0xAA;
  EXPECT_EQ(block.Load(0), 0xAA8D4A8Cu);
}

// Every size, every offset at and around the end: outside or unaligned reads as 0
// and stores nothing. AddressSanitizer sees any byte touched past the buffer.
TEST(SharedBlockWords, OutsideOrUnalignedIsNone) {
  for (std::size_t size : {0u, 1u, 3u, 4u, 6u, 7u, 8u, 65u}) {
    SCOPED_TRACE(size);
    Buffer buffer(size);
    std::memset(buffer.data(), 0xA5, size);
    const std::vector<std::uint8_t> before = buffer.Snapshot();
    SharedBlock block(buffer.data(), buffer.size());
    const std::uint64_t offsets[] = {size,
                                     size + 1,
                                     size + 4,
                                     size - 1,
                                     size - 2,
                                     size - 3,
                                     1,
                                     2,
                                     3,
                                     0xFFFFFFFCu,
                                     0xFFFFFFFFFFFFFFFCull};
    for (std::uint64_t offset : offsets) {
      const bool fits = offset % 4 == 0 && size >= 4 && offset <= size - 4;
      EXPECT_EQ(block.WordInside(offset), fits) << offset;
      if (fits) continue;
      EXPECT_EQ(block.Load(offset), 0u) << offset;
      block.Store(offset, 0x12345678);
      EXPECT_FALSE(block.VerifiedStore(offset, 0x12345678)) << offset;
    }
    EXPECT_EQ(buffer.Snapshot(), before);
  }
}

TEST(SharedBlockWords, MisalignedBaseIsNoBlock) {
  Buffer buffer(64);
  SharedBlock block(buffer.data() + 2, 60);
  EXPECT_FALSE(block.mapped());
  EXPECT_EQ(block.Load(0), 0u);
  EXPECT_FALSE(SharedBlock(nullptr, 64).mapped());
}

// ---- Area offsets --------------------------------------------------------------

TEST(SharedBlockAreas, TakenOnlyWhenEveryFieldFits) {
  constexpr std::uint32_t kEnd = kBlockBytes;
  struct Case {
    const char* what;
    std::uint32_t status, command;
    bool valid;
  };
  // The StatusArea's fields end at 952, the CommandArea's at 1428.
  const Case cases[] = {
      {"both inside", kStatusAt, kCommandAt, true},
      {"status at the last place it fits", kEnd - 952, kCommandAt, true},
      {"command at the last place it fits", kStatusAt, kEnd - 1428, true},
      {"status's last field past the end", kEnd - 948, kCommandAt, false},
      {"command's last field past the end", kStatusAt, kEnd - 1424, false},
      {"status none", 0, kCommandAt, false},
      {"command none", kStatusAt, 0, false},
      {"status past the end", kEnd, kCommandAt, false},
      {"command far past the end", kStatusAt, 0x7FFFFFF0, false},
      {"status odd", 0x101, kCommandAt, false},
      {"command half-word aligned", kStatusAt, 0x802, false},
      {"status that wraps 32 bits", 0xFFFFFFFC, kCommandAt, false},
      {"command that wraps 32 bits", kStatusAt, 0xFFFFFC00, false},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    Buffer buffer(kBlockBytes);
    SetUpBlock(buffer.data(), UnitSetup{.statusAt = test.status, .commandAt = test.command});
    SharedBlock block(buffer.data(), buffer.size());
    EXPECT_EQ(block.TakeAreas(), test.valid);
    EXPECT_EQ(block.HasAreas(), test.valid);
    EXPECT_EQ(block.StatusArea(), test.valid ? test.status : 0u);
    EXPECT_EQ(block.CommandArea(), test.valid ? test.command : 0u);
  }
}

TEST(SharedBlockAreas, ABlockShorterThanItsHeader) {
  for (std::size_t size : {0u, 4u, 20u, 23u}) {
    Buffer buffer(size);
    SharedBlock block(buffer.data(), buffer.size());
    EXPECT_FALSE(block.TakeAreas()) << size;
    EXPECT_EQ(block.LoadStatus(0), 0u);
    EXPECT_EQ(block.LoadCommand(0), 0u);
  }
}

// ---- Links, lists, texts, copies -----------------------------------------------

TEST(SharedBlockLinks, CheckedAgainstTheSpanTheyLeadTo) {
  Buffer buffer(0x400);
  SharedBlock block(buffer.data(), buffer.size());
  EXPECT_EQ(block.Link(0x100, 52), 0x100u);
  EXPECT_EQ(block.Link(0x400 - 52, 52), 0x400u - 52);
  EXPECT_EQ(block.Link(0x400 - 48, 52), 0u) << "the entry's last word would lie past the end";
  EXPECT_EQ(block.Link(0, 52), 0u);
  EXPECT_EQ(block.Link(0x101, 52), 0u);
  EXPECT_EQ(block.Link(0x102, 52), 0u);
  EXPECT_EQ(block.Link(0xFFFFFFFC, 52), 0u);
  EXPECT_EQ(block.MaxEntries(52), 0x400u / 52);
}

TEST(SharedBlockLists, EntryByIndex) {
  Buffer buffer(0x1000);
  std::uint8_t* base = buffer.data();
  SharedBlock block(base, buffer.size());
  // Three entries: 0x100 -> 0x200 -> 0x300 -> end.
  SetWordAt(base, 0x100, 0x200);
  SetWordAt(base, 0x200, 0x300);
  SetWordAt(base, 0x300, 0);
  EXPECT_EQ(block.EntryAt(0x100, 0, 52), 0x100u);
  EXPECT_EQ(block.EntryAt(0x100, 1, 52), 0x200u);
  EXPECT_EQ(block.EntryAt(0x100, 2, 52), 0x300u);
  EXPECT_EQ(block.EntryAt(0x100, 3, 52), 0u);
  EXPECT_EQ(block.EntryAt(0x100, -1, 52), 0x100u) << "a negative index gives the first entry";
  EXPECT_EQ(block.EntryAt(0x100, 0x7FFFFFFF, 52), 0u);
  EXPECT_EQ(block.EntryAt(0, 0, 52), 0u) << "an empty list";

  // A link that leads outside, or off the word grid, ends the list there.
  SetWordAt(base, 0x100, 0x1000 - 8);
  EXPECT_EQ(block.EntryAt(0x100, 0, 52), 0x100u);
  EXPECT_EQ(block.EntryAt(0x100, 1, 52), 0u);
  SetWordAt(base, 0x100, 0x200);
  SetWordAt(base, 0x200, 0x302);
  EXPECT_EQ(block.EntryAt(0x100, 1, 52), 0x200u);
  EXPECT_EQ(block.EntryAt(0x100, 2, 52), 0u);
}

TEST(SharedBlockLists, ACircleEnds) {
  Buffer buffer(kBlockBytes);
  std::uint8_t* base = buffer.data();
  SharedBlock block(base, buffer.size());
  SetWordAt(base, 0x100, 0x100);  // an entry that is its own successor
  SetWordAt(base, 0x400, 0x500);  // and a pair that point at each other
  SetWordAt(base, 0x500, 0x400);
  EXPECT_EQ(block.EntryAt(0x100, 5, 52), 0x100u) << "what the links say, within the bound";
  EXPECT_EQ(block.EntryAt(0x400, 7, 52), 0x500u);
  const std::int32_t beyond = static_cast<std::int32_t>(kBlockBytes / 52);
  EXPECT_EQ(block.EntryAt(0x100, beyond - 1, 52), 0x100u);
  EXPECT_EQ(block.EntryAt(0x100, beyond, 52), 0u) << "more entries than the block can hold";
  EXPECT_EQ(block.EntryAt(0x400, 0x7FFFFFFF, 52), 0u);
}

TEST(SharedBlockTexts, BoundedByTheBlock) {
  Buffer buffer(64);
  std::uint8_t* base = buffer.data();
  SharedBlock block(base, buffer.size());
  std::memcpy(base + 10, "Euro", 5);
  ASSERT_NE(block.Text(10), nullptr);
  EXPECT_STREQ(block.Text(10), "Euro");
  EXPECT_EQ(block.Text(10), reinterpret_cast<const char*>(base + 10))
      << "a reference into the block";
  // Running to the last byte: terminated there is a text, unterminated is none.
  std::memset(base + 56, 'x', 8);
  EXPECT_EQ(block.Text(56), nullptr);
  base[63] = 0;
  ASSERT_NE(block.Text(56), nullptr);
  EXPECT_STREQ(block.Text(56), "xxxxxxx");
  EXPECT_EQ(block.Text(0), nullptr);
  EXPECT_EQ(block.Text(64), nullptr);
  EXPECT_EQ(block.Text(0xFFFFFFFF), nullptr);
}

TEST(SharedBlockCopies, NeverPastTheEnd) {
  Buffer buffer(32);
  for (std::size_t i = 0; i < 32; ++i) buffer.data()[i] = static_cast<std::uint8_t>(i + 1);
  SharedBlock block(buffer.data(), buffer.size());
  std::uint8_t out[40];
  std::memset(out, 0xEE, sizeof out);
  EXPECT_EQ(block.CopyOut(4, out, 8), 8u);
  EXPECT_EQ(out[0], 5);
  EXPECT_EQ(out[7], 12);
  EXPECT_EQ(out[8], 0xEE);
  std::memset(out, 0xEE, sizeof out);
  EXPECT_EQ(block.CopyOut(28, out, 40), 4u);
  EXPECT_EQ(out[3], 32);
  EXPECT_EQ(out[4], 0xEE);
  EXPECT_EQ(block.CopyOut(32, out, 4), 0u);
  EXPECT_EQ(block.CopyOut(0xFFFFFFFFFFull, out, 4), 0u);
}

// ---- VerifiedStore -------------------------------------------------------------

// The other side, acting between a store and its read-back: overwrites `target`
// (and, with fightSwitchOff, InterfaceEnabled) for the first `overwrites` stores.
struct Interference {
  std::uint64_t target = 0;
  std::uint64_t enabled = 0;
  std::uint64_t overwrites = ~0ull;
  bool fightSwitchOff = false;
  std::uint64_t targetStores = 0;
  std::uint64_t enabledStores = 0;
  std::uint64_t otherStores = 0;

  static void After(void* context, SharedBlock& block, std::uint64_t offset) {
    auto* self = static_cast<Interference*>(context);
    if (offset == self->target) {
      if (self->targetStores++ < self->overwrites) block.Store(offset, 0xBAD);
    } else if (offset == self->enabled) {
      ++self->enabledStores;
      if (self->fightSwitchOff) block.Store(offset, 1);
    } else {
      ++self->otherStores;
    }
  }
};

TEST(VerifiedStore, AWordThatTakesTheValueAtOnce) {
  UnitBlock unit;
  Interference watch{.target = kCommandAt + kPayoutTarget, .overwrites = 0};
  unit.block.SetStoreObserver(&Interference::After, &watch);
  EXPECT_TRUE(unit.block.VerifiedStore(kCommandAt + kPayoutTarget, 250));
  EXPECT_EQ(unit.Command(kPayoutTarget), 250u);
  EXPECT_EQ(watch.targetStores, 1u);
}

TEST(VerifiedStore, RepeatsUntilTheWordHoldsTheValue) {
  UnitBlock unit;
  unit.block.Store(kCommandAt + kInterfaceEnabled, 1);
  Interference unitWrites{.target = kCommandAt + kPayoutTarget,
                          .enabled = kCommandAt + kInterfaceEnabled,
                          .overwrites = 3};
  unit.block.SetStoreObserver(&Interference::After, &unitWrites);
  EXPECT_TRUE(unit.block.VerifiedStore(kCommandAt + kPayoutTarget, 250));
  EXPECT_EQ(unit.Command(kPayoutTarget), 250u);
  EXPECT_EQ(unitWrites.targetStores, 4u);
  EXPECT_EQ(unitWrites.enabledStores, 0u);
  EXPECT_EQ(unit.Command(kInterfaceEnabled), 1u) << "no switch-off";
}

TEST(VerifiedStore, AMillionFailedStoresSwitchTheInterfaceOff) {
  UnitBlock unit;
  unit.block.Store(kCommandAt + kInterfaceEnabled, 1);
  Interference unitWrites{.target = kCommandAt + kPayoutTarget,
                          .enabled = kCommandAt + kInterfaceEnabled};
  unit.block.SetStoreObserver(&Interference::After, &unitWrites);
  EXPECT_FALSE(unit.block.VerifiedStore(kCommandAt + kPayoutTarget, 250));
  EXPECT_EQ(unitWrites.targetStores, 1'000'000u);
  EXPECT_EQ(unitWrites.enabledStores, 1u);
  EXPECT_EQ(unit.Command(kInterfaceEnabled), 0u);
  EXPECT_EQ(unitWrites.otherStores, 0u);
}

TEST(VerifiedStore, TheSwitchOffIsBoundedAndStartsNoOther) {
  UnitBlock unit;
  unit.block.Store(kCommandAt + kInterfaceEnabled, 1);
  Interference unitWrites{.target = kCommandAt + kPayoutTarget,
                          .enabled = kCommandAt + kInterfaceEnabled,
                          .fightSwitchOff = true};
  unit.block.SetStoreObserver(&Interference::After, &unitWrites);
  EXPECT_FALSE(unit.block.VerifiedStore(kCommandAt + kPayoutTarget, 250));
  EXPECT_EQ(unitWrites.targetStores, 1'000'000u);
  EXPECT_EQ(unitWrites.enabledStores, 1'000'000u);
  EXPECT_EQ(unitWrites.otherStores, 0u);
}

TEST(VerifiedStore, WithoutAreasThereIsNothingToSwitchOff) {
  Buffer buffer(kBlockBytes);
  SharedBlock block(buffer.data(), buffer.size());
  Interference unitWrites{.target = 0x40, .enabled = kCommandAt + kInterfaceEnabled};
  block.SetStoreObserver(&Interference::After, &unitWrites);
  EXPECT_FALSE(block.VerifiedStore(0x40, 7));
  EXPECT_EQ(unitWrites.targetStores, 1'000'000u);
  EXPECT_EQ(unitWrites.enabledStores, 0u);
}

// ---- GuardedWrite --------------------------------------------------------------

// Watches every store with the counts as the unit would see them at that moment.
struct BracketWatch {
  struct Seen {
    std::uint64_t offset;
    std::uint32_t start, end;
  };
  std::vector<Seen> stores;
  static void After(void* context, SharedBlock& block, std::uint64_t offset) {
    static_cast<BracketWatch*>(context)->stores.push_back(
        {offset, block.Load(kCommandAt + kCommandStart), block.Load(kCommandAt + kCommandEnd)});
  }
};

TEST(GuardedWrite, FieldsChangeOnlyInsideTheBracket) {
  for (qmx::Settings settings : {qmx::Settings::kUnchanged, qmx::Settings::kChanged}) {
    const bool changed = settings == qmx::Settings::kChanged;
    SCOPED_TRACE(changed);
    UnitBlock unit;
    unit.block.Store(kCommandAt + kCommandStart, 41);
    unit.block.Store(kCommandAt + kCommandEnd, 41);
    unit.block.Store(kCommandAt + kSettingsChangeCount, 9);
    BracketWatch watch;
    unit.block.SetStoreObserver(&BracketWatch::After, &watch);
    unit.block.GuardedWrite(
        [&] {
          unit.block.VerifiedStore(kCommandAt + kPayoutTarget, 100);
          unit.block.VerifiedStore(kCommandAt + kValueNeeded, 7);
        },
        settings);

    std::vector<std::uint64_t> order;
    for (const auto& seen : watch.stores) order.push_back(seen.offset - kCommandAt);
    std::vector<std::uint64_t> expected = {kCommandStart, kPayoutTarget, kValueNeeded};
    if (changed) expected.push_back(kSettingsChangeCount);
    expected.push_back(kCommandEnd);
    EXPECT_EQ(order, expected);
    // The unit sees the counts apart at every store but the closing one.
    for (std::size_t i = 0; i + 1 < watch.stores.size(); ++i) {
      EXPECT_EQ(watch.stores[i].start, 42u) << i;
      EXPECT_EQ(watch.stores[i].end, 41u) << i;
    }
    EXPECT_EQ(watch.stores.back().end, 42u);
    EXPECT_EQ(unit.Command(kCommandStart), 42u);
    EXPECT_EQ(unit.Command(kCommandEnd), 42u);
    EXPECT_EQ(unit.Command(kPayoutTarget), 100u);
    EXPECT_EQ(unit.Command(kSettingsChangeCount), changed ? 10u : 9u);
  }
}

TEST(GuardedWrite, NothingWithoutAreas) {
  Buffer buffer(kBlockBytes);
  SetUpBlock(buffer.data(), UnitSetup{.commandAt = 0xFFFFFFFC});
  SharedBlock block(buffer.data(), buffer.size());
  EXPECT_FALSE(block.TakeAreas());
  const std::vector<std::uint8_t> before = buffer.Snapshot();
  bool ran = false;
  block.GuardedWrite([&] { ran = true; }, qmx::Settings::kChanged);
  EXPECT_FALSE(ran);
  EXPECT_EQ(buffer.Snapshot(), before);
}

// ---- ConsistentRead ------------------------------------------------------------

TEST(ConsistentRead, ASettledAreaIsReadOnce) {
  UnitBlock unit;
  SetWordAt(unit.buffer.data(), kStatusAt + kStatusStart, 8);
  SetWordAt(unit.buffer.data(), kStatusAt + kStatusEnd, 8);
  SetWordAt(unit.buffer.data(), kStatusAt + kPaidTotal, 60);
  int rounds = 0;
  std::uint32_t paid = 0;
  EXPECT_TRUE(unit.block.ConsistentRead([&] {
    ++rounds;
    paid = unit.block.LoadStatus(kPaidTotal);
  }));
  EXPECT_EQ(rounds, 1);
  EXPECT_EQ(paid, 60u);
}

// The unit starts an update while the host reads (the host takes a torn pair) and
// ends it during the host's second look; only a look that begins after the end
// count moved and sees the start count unchanged is kept.
TEST(ConsistentRead, ALookThatOverlapsAnUpdateIsRepeated) {
  UnitBlock unit;
  std::uint8_t* base = unit.buffer.data();
  SetWordAt(base, kStatusAt + kPayStatus, 0);
  SetWordAt(base, kStatusAt + kPaidTotal, 40);
  int rounds = 0;
  std::uint32_t payStatus = 0, paid = 0;
  EXPECT_TRUE(unit.block.ConsistentRead([&] {
    ++rounds;
    payStatus = unit.block.LoadStatus(kPayStatus);
    if (rounds == 1) {  // the unit's update begins between the two reads
      SetWordAt(base, kStatusAt + kStatusStart, 1);
      SetWordAt(base, kStatusAt + kPayStatus, 1);
      SetWordAt(base, kStatusAt + kPaidTotal, 100);
    }
    paid = unit.block.LoadStatus(kPaidTotal);
    if (rounds == 2) SetWordAt(base, kStatusAt + kStatusEnd, 1);  // and ends
  }));
  EXPECT_EQ(rounds, 3);
  EXPECT_EQ(payStatus, 1u);
  EXPECT_EQ(paid, 100u);
}

TEST(ConsistentRead, CountsThatNeverSettleEndTheRead) {
  UnitBlock unit;
  SetWordAt(unit.buffer.data(), kStatusAt + kStatusStart, 5);  // died mid-update
  SetWordAt(unit.buffer.data(), kStatusAt + kStatusEnd, 4);
  std::uint32_t rounds = 0;
  EXPECT_FALSE(unit.block.ConsistentRead([&] { ++rounds; }));
  EXPECT_EQ(rounds, qmx::kConsistentReadRounds);
}

TEST(ConsistentRead, NothingWithoutAreas) {
  Buffer buffer(kBlockBytes);
  SharedBlock block(buffer.data(), buffer.size());
  bool ran = false;
  EXPECT_FALSE(block.ConsistentRead([&] { ran = true; }));
  EXPECT_FALSE(ran);
}

}  // namespace
