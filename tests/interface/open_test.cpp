// Opening the interface over real named mappings: every open result, the version
// check, the default and the named block, attaching and the unload rules in two
// library states (two processes), switching the interface on and off, and blocks
// whose header lies.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "interface/library.h"
#include "unit_block.h"

namespace {

using namespace qmx_test;
using qmx::LibraryState;

constexpr std::int32_t kV1 = 0x00010001, kV2 = 0x00010002, kV5 = 0x00010005;

// Every test has a base name of its own, so the "default block" is its own too.
class Open : public testing::Test {
 protected:
  std::string base_ = UniqueBaseName();
};

TEST_F(Open, ResultForEachKindOfBlock) {
  struct Case {
    const char* what;
    bool mapping;
    UnitSetup unit;
    std::int32_t version;
    std::int32_t result;
    std::uint32_t attachCount;  // after the open
    std::uint32_t hostOpen;
  };
  const Case cases[] = {
      {"a valid block", true, {}, kV5, 0, 1, 1},
      {"version 1", true, {}, kV1, 0, 1, 1},
      {"version 2", true, {}, kV2, 0, 1, 1},
      {"valid, whatever DriverState says", true, {.driverState = 2}, kV2, 0, 1, 1},
      {"no mapping", false, {}, kV5, 31, 0, 0},
      {"OpenInhibit", true, {.openInhibit = 1}, kV5, 31, 1, 0},
      {"BlockFormat 2", true, {.format = 2}, kV5, 13, 1, 0},
      {"BlockFormat 0", true, {.format = 0}, kV5, 13, 1, 0},
      {"no magic, driver not ready", true, {.magic = false, .driverState = 1}, kV5, 21, 0, 0},
      {"no magic, Flashwright holds it", true, {.magic = false, .driverState = 2}, kV2, 170, 0, 0},
      {"no magic, DriverState 3", true, {.magic = false, .driverState = 3}, kV5, 170, 0, 0},
      {"no magic, driver ending", true, {.magic = false, .driverState = 4}, kV5, 170, 0, 0},
      {"no magic, unit not connected", true, {.magic = false, .driverState = 5}, kV5, 1167, 0, 0},
      {"no magic, DriverState 0", true, {.magic = false, .driverState = 0}, kV5, 31, 0, 0},
      {"no magic, DriverState 6", true, {.magic = false, .driverState = 6}, kV5, 31, 0, 0},
      {"no magic, DriverState -1", true, {.magic = false, .driverState = ~0u}, kV5, 31, 0, 0},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    const std::string name = UniqueBaseName();
    std::optional<UnitMapping> unit;
    if (test.mapping) {
      unit.emplace(name);
      SetUpBlock(unit->data(), test.unit);
    }
    LibraryState library(name);
    EXPECT_EQ(library.OpenVODVersion(test.version), test.result);
    EXPECT_EQ(library.RequestedVersion, test.version);
    EXPECT_EQ(library.IsOpen(), test.unit.magic && test.mapping);
    if (!test.mapping) continue;
    EXPECT_EQ(unit->Command(kAttachCount), test.attachCount);
    EXPECT_EQ(unit->Command(kHostOpen), test.hostOpen);
  }
}

TEST(OpenResults, WithoutAMappingTheAttachCodeDecides) {
  struct Case {
    std::int32_t attach, result;
  };
  const Case cases[] = {
      {537, 21}, {551, 31}, {552, 20}, {0, 0x10000000}, {600, 0x10000258}, {-1, 0x0FFFFFFF},
  };
  for (const Case& test : cases)
    EXPECT_EQ(qmx::OpenResultForAttach(test.attach), test.result) << test.attach;
}

TEST_F(Open, RefusedVersionsChangeNothing) {
  UnitMapping unit(base_);
  SetUpBlock(unit.data(), UnitSetup{});
  LibraryState library(base_);
  ASSERT_EQ(library.OpenVODVersion(kV5), 0);
  for (std::int32_t version :
       {0x00010003, 0x00010004, 0x00010000, 0x00010006, 0x00020001, 0x00000001, 0, -1}) {
    EXPECT_EQ(library.OpenVODVersion(version), 13) << version;
    EXPECT_EQ(library.OpenSpecificVODVersion("", version), 13) << version;
    EXPECT_EQ(library.RequestedVersion, kV5) << version;
  }
  EXPECT_EQ(unit.Command(kAttachCount), 1u) << "no attach for a refused version";
}

TEST_F(Open, OpenVODIsAlwaysRefused) {
  LibraryState closed(base_);
  EXPECT_EQ(closed.OpenVOD(), 13);
  EXPECT_EQ(closed.RequestedVersion, 0);
  EXPECT_FALSE(closed.MappingHeld()) << "not even an attempt to attach";

  UnitMapping unit(base_);
  SetUpBlock(unit.data(), UnitSetup{});
  LibraryState library(base_);
  EXPECT_EQ(library.OpenVOD(), 13);
  ASSERT_EQ(library.OpenVODVersion(kV2), 0);
  EXPECT_EQ(library.OpenVOD(), 13);
  EXPECT_EQ(library.RequestedVersion, kV2);
  EXPECT_EQ(unit.Command(kAttachCount), 1u);
}

// The based target is brought in line with PayoutTarget and the base; a payout
// request standing there (another host's, not yet taken up) is never taken back.
TEST_F(Open, AttachAlignsTheBasedTargetAndCountsOnce) {
  const struct {
    std::uint32_t target, based, after;
  } cases[] = {
      {0, 0, 1000},        // nothing asked yet: the bare base
      {300, 1300, 1300},   // a standing request stays
      {300, 0, 1300},      // a based target from before a new base
  };
  for (const auto& c : cases) {
    UnitMapping unit(base_);
    SetUpBlock(unit.data(), UnitSetup{.payoutBase = 1000});
    unit.SetWord(kCommandAt + kPayoutTarget, c.target);
    unit.SetWord(kCommandAt + kBasedPayoutTarget, c.based);
    LibraryState other(base_);
    other.Load();
    EXPECT_EQ(unit.Command(kBasedPayoutTarget), c.after) << c.target << " " << c.based;
    EXPECT_EQ(unit.Command(kPayoutTarget), c.target);
    other.Unload();
  }
  UnitMapping unit(base_);
  SetUpBlock(unit.data(), UnitSetup{.payoutBase = 1000});
  LibraryState library(base_);
  library.Load();
  EXPECT_EQ(unit.Command(kBasedPayoutTarget), 1000u);
  EXPECT_EQ(unit.Command(kAttachCount), 1u);
  EXPECT_EQ(unit.Command(kHostOpen), 0u) << "loading alone does not open";
  // Already open: the version check alone, no second attach.
  EXPECT_EQ(library.OpenVODVersion(kV5), 0);
  EXPECT_EQ(library.OpenVODVersion(kV1), 0);
  EXPECT_EQ(library.RequestedVersion, kV1);
  EXPECT_EQ(unit.Command(kAttachCount), 1u);
  EXPECT_EQ(unit.Command(kHostOpen), 1u);
  // The two stores are not bracketed.
  EXPECT_EQ(unit.Command(kCommandStart), 0u);
  EXPECT_EQ(unit.Command(kCommandEnd), 0u);
}

// While Flashwright holds the unit the host is told it is busy; once the unit has
// set its block up, the next open attaches.
TEST_F(Open, AFailedOpenIsTriedAgain) {
  LibraryState library(base_);
  library.Load();
  EXPECT_EQ(library.OpenVODVersion(kV2), 31) << "no block yet";

  UnitMapping unit(base_);
  SetUpBlock(unit.data(), UnitSetup{.magic = false, .driverState = 2});
  EXPECT_EQ(library.OpenVODVersion(kV2), 170);
  EXPECT_TRUE(library.MappingHeld()) << "kept for DriverState";
  EXPECT_EQ(library.DriverState(), 2u);
  EXPECT_FALSE(library.IsOpen());

  SetUpBlock(unit.data(), UnitSetup{});
  EXPECT_EQ(library.OpenVODVersion(kV2), 0);
  EXPECT_EQ(unit.Command(kAttachCount), 1u);
}

TEST_F(Open, ABlockSmallerThanAWholeMappingIsNone) {
  UnitMapping unit(base_, 0x1000);  // a header and areas, but not a whole block
  unit.SetWord(kBlockFormatAt, 1);
  unit.SetWord(kStatusAreaOffsetAt, kStatusAt);
  unit.SetWord(kCommandAreaOffsetAt, kCommandAt);
  unit.SetWord(kBlockMagicAt, kMagic);
  LibraryState library(base_);
  EXPECT_EQ(library.OpenVODVersion(kV5), 31);
  EXPECT_FALSE(library.MappingHeld());
}

// ---- A unit's own block --------------------------------------------------------

TEST(OpenSpecific, TheMappingNameIsTheBaseNameFollowedByTheSerial) {
  const std::string serial = UniqueSerial();
  UnitMapping unit(std::string("QMXZELTI mapped file") + serial);
  SetUpBlock(unit.data(), UnitSetup{});
  LibraryState library;  // the real base name
  EXPECT_EQ(library.OpenSpecificVODVersion(serial.c_str(), kV5), 0);
  EXPECT_EQ(library.RequestedVersion, kV5);
  EXPECT_EQ(unit.Command(kAttachCount), 1u);
  EXPECT_EQ(unit.Command(kHostOpen), 1u);
}

TEST_F(Open, SpecificSwitchesBlocksAndAlwaysReattaches) {
  const std::string serial = UniqueSerial();
  UnitMapping first(base_);
  UnitMapping second(base_ + serial);
  SetUpBlock(first.data(), UnitSetup{});
  SetUpBlock(second.data(), UnitSetup{});
  LibraryState library(base_);
  library.Load();
  EXPECT_EQ(first.Command(kAttachCount), 1u);
  EXPECT_EQ(library.OpenSpecificVODVersion(serial.c_str(), kV5), 0);
  EXPECT_EQ(second.Command(kAttachCount), 1u);
  EXPECT_EQ(second.Command(kHostOpen), 1u);
  EXPECT_EQ(first.Command(kAttachCount), 1u) << "left without counting off";
  EXPECT_EQ(first.Command(kHostOpen), 0u);
  EXPECT_EQ(library.OpenSpecificVODVersion(serial.c_str(), kV5), 0);
  EXPECT_EQ(second.Command(kAttachCount), 2u) << "every open by serial attaches again";
  // A null serial names the default block.
  EXPECT_EQ(library.OpenSpecificVODVersion(nullptr, kV1), 0);
  EXPECT_EQ(first.Command(kAttachCount), 2u);
  EXPECT_EQ(first.Command(kHostOpen), 1u);
}

TEST_F(Open, ASerialTooLongForTheNameIsRefusedAndChangesNothing) {
  const std::string eleven = UniqueSerial();
  ASSERT_EQ(eleven.size(), 11u);
  UnitMapping held(base_);
  UnitMapping cut(base_ + eleven);  // what cutting the long serial short would open
  SetUpBlock(held.data(), UnitSetup{});
  SetUpBlock(cut.data(), UnitSetup{});
  LibraryState library(base_);
  ASSERT_EQ(library.OpenVODVersion(kV2), 0);

  EXPECT_EQ(library.OpenSpecificVODVersion((eleven + "9").c_str(), kV5), 123);
  EXPECT_EQ(library.OpenSpecificVODVersion((eleven + "99999999").c_str(), kV5), 123);
  EXPECT_EQ(library.OpenSpecificVODVersion((eleven + "9").c_str(), 0x00010003), 13)
      << "the version is checked first";
  EXPECT_EQ(library.RequestedVersion, kV2);
  EXPECT_TRUE(library.IsOpen());
  EXPECT_EQ(cut.Command(kAttachCount), 0u);
  EXPECT_EQ(held.Command(kAttachCount), 1u);

  EXPECT_EQ(library.OpenSpecificVODVersion(eleven.c_str(), kV5), 0) << "11 characters fit";
  EXPECT_EQ(cut.Command(kAttachCount), 1u);
}

// ---- Switching the interface ---------------------------------------------------

TEST_F(Open, EnableByFirmwareLevel) {
  struct Case {
    std::int32_t level;
    bool firstEightSlots;
  };
  for (const Case& test : {Case{4, true}, Case{5, false}, Case{0, true}, Case{-1, true},
                           Case{7, false}, Case{0x7FFFFFFF, false}}) {
    SCOPED_TRACE(test.level);
    const std::string name = UniqueBaseName();
    UnitMapping unit(name);
    SetUpBlock(unit.data(), UnitSetup{.level = test.level});
    LibraryState library(name);
    ASSERT_EQ(library.OpenVODVersion(kV5), 0);
    library.EnableInterface();
    EXPECT_EQ(unit.Command(kInterfaceEnabled), 1u);
    for (std::uint32_t slot = 0; slot < 64; ++slot)
      EXPECT_EQ(unit.Command(kIndicatorSlot0 + 4 * slot),
                test.firstEightSlots && slot < 8 ? 1u : 0u)
          << slot;
    EXPECT_EQ(unit.Command(kCommandStart), 1u);
    EXPECT_EQ(unit.Command(kCommandEnd), 1u);
    EXPECT_EQ(unit.Command(kSettingsChangeCount), 0u);

    library.DisableInterface();
    EXPECT_EQ(unit.Command(kInterfaceEnabled), 0u);
    EXPECT_EQ(unit.Command(kCommandStart), 2u);
    EXPECT_EQ(unit.Command(kCommandEnd), 2u);
  }
}

TEST_F(Open, ClosedInterfaceIsNotTouched) {
  UnitMapping unit(base_);
  SetUpBlock(unit.data(), UnitSetup{.magic = false, .driverState = 2});
  LibraryState library(base_);
  library.Load();
  const std::vector<std::uint8_t> before = unit.Snapshot();
  EXPECT_EQ(library.OpenVODVersion(kV5), 170);
  library.EnableInterface();
  library.DisableInterface();
  library.Unload();
  EXPECT_EQ(unit.Snapshot(), before);
}

// ---- Load and unload -----------------------------------------------------------

TEST_F(Open, TwoProcessesAttachAndTheLastUnloadClears) {
  UnitMapping unit(base_);
  SetUpBlock(unit.data(), UnitSetup{});
  LibraryState first(base_), second(base_);
  first.Load();
  second.Load();
  EXPECT_EQ(unit.Command(kAttachCount), 2u);
  ASSERT_EQ(second.OpenVODVersion(kV5), 0);
  first.EnableInterface();
  EXPECT_EQ(unit.Command(kInterfaceEnabled), 1u);
  EXPECT_EQ(unit.Command(kHostOpen), 1u);

  first.Unload();
  EXPECT_EQ(unit.Command(kAttachCount), 1u);
  EXPECT_EQ(unit.Command(kInterfaceEnabled), 1u) << "another process still uses the unit";
  EXPECT_EQ(unit.Command(kHostOpen), 1u);
  EXPECT_FALSE(first.MappingHeld());

  second.Unload();
  EXPECT_EQ(unit.Command(kAttachCount), 0u);
  EXPECT_EQ(unit.Command(kInterfaceEnabled), 0u);
  EXPECT_EQ(unit.Command(kHostOpen), 0u);
  EXPECT_EQ(unit.Command(kCommandStart), unit.Command(kCommandEnd));
  EXPECT_FALSE(second.IsOpen());
}

// A count already at 0 or below (the unit set its block up anew, other hosts may
// still be attached) stays, and nothing is switched off under those hosts' feet.
TEST_F(Open, ACountAlreadyAtZeroOrBelowSwitchesNothingOff) {
  for (const std::uint32_t count : {0u, 0xFFFFFFFFu}) {
    UnitMapping unit(base_);
    SetUpBlock(unit.data(), UnitSetup{});
    LibraryState library(base_);
    ASSERT_EQ(library.OpenVODVersion(kV5), 0);
    library.EnableInterface();
    unit.SetWord(kCommandAt + kAttachCount, count);
    library.Unload();
    EXPECT_EQ(unit.Command(kAttachCount), count);
    EXPECT_EQ(unit.Command(kInterfaceEnabled), 1u);
    EXPECT_EQ(unit.Command(kHostOpen), 1u);
  }
}

// Library instances loading and unloading in parallel: the count ends where it began.
TEST_F(Open, ParallelLoadsAndUnloadsLoseNoCount) {
  UnitMapping unit(base_);
  SetUpBlock(unit.data(), UnitSetup{});
  LibraryState resident(base_);
  resident.Load();
  auto churn = [&] {
    for (int i = 0; i < 300; ++i) {
      LibraryState library(base_);
      library.Load();
      library.Unload();
    }
  };
  std::thread other(churn);
  churn();
  other.join();
  EXPECT_EQ(unit.Command(kAttachCount), 1u);
  resident.Unload();
  EXPECT_EQ(unit.Command(kAttachCount), 0u);
}

// ---- Blocks whose header lies --------------------------------------------------

TEST_F(Open, AreasOutsideTheBlockMakeItNoValidBlock) {
  struct Case {
    const char* what;
    std::uint32_t status, command;
  };
  const Case cases[] = {
      {"status past the end", 0xB000, kCommandAt},
      {"command's fields past the end", kStatusAt, 0xB000 - 1424},
      {"status odd", 0x101, kCommandAt},
      {"command half-word aligned", kStatusAt, 0x802},
      {"huge", 0xFFFFFFFC, 0xFFFFFFF0},
      {"none", 0, 0},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    const std::string name = UniqueBaseName();
    UnitMapping unit(name);
    SetUpBlock(unit.data(), UnitSetup{.statusAt = test.status, .commandAt = test.command});
    const std::vector<std::uint8_t> before = unit.Snapshot();
    LibraryState library(name);
    library.Load();
    EXPECT_EQ(library.OpenStatus, 551);
    EXPECT_EQ(library.OpenVODVersion(kV5), 31);
    EXPECT_FALSE(library.IsOpen());
    library.EnableInterface();
    library.DisableInterface();
    library.Unload();
    EXPECT_EQ(unit.Snapshot(), before) << "nothing written anywhere";
  }
}

}  // namespace
