// The counter pairs and AttachCount against a real other party: a thread playing the
// unit updates fields at full speed while the host reads (never a torn read), reads
// what the host writes (never a torn write), and two hosts count attachments at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "interface/block.h"
#include "unit_block.h"

namespace {

using namespace qmx_test;
using qmx::SharedBlock;

// Four related StatusArea words the unit always changes together.
constexpr std::uint32_t kFields[] = {kCurrentValue, kPaidTotal, kPayStatus, kAvailableValue};

struct UnitBlock {
  UnitBlock() : buffer(kBlockBytes), block(buffer.data(), buffer.size()) {
    SetUpBlock(buffer.data(), UnitSetup{});
    EXPECT_TRUE(block.TakeAreas());
  }
  Buffer buffer;
  SharedBlock block;
};

TEST(CounterPairs, ConsistentReadNeverReturnsATornRead) {
  constexpr int kChangesSeen = 1000;
  UnitBlock unit;
  std::atomic<int> changesSeen{0};
  std::atomic<bool> unitDone{false};
  // The unit's update of the StatusArea, as the unit side makes it: start count
  // up, fields, end count = start count. It goes on until the host has seen enough
  // of its updates (however the threads are scheduled), within a bound.
  std::thread unitThread([&] {
    std::uint8_t* base = unit.buffer.data();
    for (std::uint32_t value = 1; value < 50'000'000 && changesSeen.load() < kChangesSeen;
         ++value) {
      SetWordAt(base, kStatusAt + kStatusStart, value);
      for (std::uint32_t field : kFields) SetWordAt(base, kStatusAt + field, value);
      SetWordAt(base, kStatusAt + kStatusEnd, value);
      // A real unit updates now and then; a pause now and then keeps the host's
      // bounded retries from meeting an update on every single look.
      if (value % 64 == 0) std::this_thread::yield();
    }
    unitDone = true;
  });

  int torn = 0;
  std::uint32_t last = 0;
  while (!unitDone.load()) {
    std::uint32_t seen[4] = {};
    const bool ok = unit.block.ConsistentRead([&] {
      for (int i = 0; i < 4; ++i) seen[i] = unit.block.LoadStatus(kFields[i]);
    });
    if (!ok) continue;
    if (seen[0] != seen[1] || seen[1] != seen[2] || seen[2] != seen[3]) ++torn;
    if (seen[0] != last) ++changesSeen;
    last = seen[0];
  }
  unitThread.join();
  EXPECT_EQ(torn, 0);
  EXPECT_GE(changesSeen.load(), kChangesSeen) << "the reads overlapped the unit's updates";
}

// The unit's side of the CommandArea: takes the fields only while the two counts
// agree (the mirror of ConsistentRead).
TEST(CounterPairs, TheUnitNeverSeesAHalfDoneGuardedWrite) {
  constexpr std::uint32_t kHostFields[] = {kPayoutTarget, kValueNeeded, kBasedPayoutTarget};
  UnitBlock unit;
  std::atomic<bool> done{false};
  std::atomic<int> taken{0};
  int torn = 0;
  std::thread reader([&] {
    const std::uint8_t* base = unit.buffer.data();
    while (!done.load()) {
      const std::uint32_t end = WordAt(base, kCommandAt + kCommandEnd);
      std::uint32_t seen[3];
      for (int i = 0; i < 3; ++i) seen[i] = WordAt(base, kCommandAt + kHostFields[i]);
      if (WordAt(base, kCommandAt + kCommandStart) != end) continue;
      ++taken;
      if (seen[0] != seen[1] || seen[1] != seen[2]) ++torn;
    }
  });
  // At least 100,000 writes, and on until the unit has taken some looks (however
  // late its thread got going), within a bound.
  std::uint32_t written = 0;
  while (written < 10'000'000 && (written < 100'000 || taken.load() < 100)) {
    ++written;
    unit.block.GuardedWrite([&] {
      for (std::uint32_t field : kHostFields) unit.block.VerifiedStore(kCommandAt + field, written);
    });
  }
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
  EXPECT_GT(taken.load(), 0);
  EXPECT_EQ(WordAt(unit.buffer.data(), kCommandAt + kCommandEnd), written);
}

// Two library instances (in two processes, here two threads) attach and detach at
// the same moments: no update is lost, and the count never goes below zero.
TEST(AttachCount, NoUpdateIsLost) {
  constexpr int kEach = 100'000;
  UnitBlock unit;
  SharedBlock other(unit.buffer.data(), unit.buffer.size());
  ASSERT_TRUE(other.TakeAreas());

  std::thread first([&] {
    for (int i = 0; i < kEach; ++i) unit.block.AddAttachment();
  });
  for (int i = 0; i < kEach; ++i) other.AddAttachment();
  first.join();
  EXPECT_EQ(WordAt(unit.buffer.data(), kCommandAt + kAttachCount), 2u * kEach);

  std::atomic<int> lastSeen{0};
  std::thread second([&] {
    for (int i = 0; i < kEach; ++i)
      if (unit.block.DropAttachment() == 0) ++lastSeen;
  });
  for (int i = 0; i < kEach; ++i)
    if (other.DropAttachment() == 0) ++lastSeen;
  second.join();
  EXPECT_EQ(WordAt(unit.buffer.data(), kCommandAt + kAttachCount), 0u);
  EXPECT_EQ(lastSeen.load(), 1) << "exactly one detach is the last";
}

TEST(AttachCount, NeverBelowZero) {
  UnitBlock unit;
  for (std::uint32_t start : {0u, 0x80000000u, 0xFFFFFFFFu}) {
    SetWordAt(unit.buffer.data(), kCommandAt + kAttachCount, start);
    EXPECT_EQ(unit.block.DropAttachment(), -1) << start;
    EXPECT_EQ(WordAt(unit.buffer.data(), kCommandAt + kAttachCount), start);
  }
  SetWordAt(unit.buffer.data(), kCommandAt + kAttachCount, 2);
  EXPECT_EQ(unit.block.DropAttachment(), 1);
  EXPECT_EQ(unit.block.AddAttachment(), 2);
}

}  // namespace
