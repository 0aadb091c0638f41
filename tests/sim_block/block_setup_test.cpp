// Setting the block up and keeping it: the header complete before the magic (also
// after Flashwright), DriverState from start to end, the areas and lists in their
// places and well formed at every level, options that do not fit, and a start on a
// block that hosts used before.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "block_host.h"
#include "platform/clock.h"
#include "sim/block_server.h"

namespace {

using namespace block_test;

// --- the header before the magic ---------------------------------------------------

// What a host that has just seen the magic checks: every field the unit sets.
struct HeaderSeen {
  std::uint32_t format = 0, level = 0, version = 0, statusArea = 0, commandArea = 0, serial = 0,
                payoutBase = 0, acceptorList = 0, dispenserList = 0, driverAreaMagic = 0;
  std::string date, time;
};

HeaderSeen ReadHeader(TestBlock& block) {
  HeaderSeen seen;
  seen.format = block.Word(header::kFormat);
  seen.level = block.Word(header::kLevel);
  seen.version = block.Word(header::kVersion);
  seen.statusArea = block.Word(header::kStatusArea);
  seen.commandArea = block.Word(header::kCommandArea);
  seen.serial = block.Word(header::kSerial);
  seen.payoutBase = block.Word(header::kPayoutBase);
  seen.date = block.Text(header::kCompileDate, 16);
  seen.time = block.Text(header::kCompileTime, 16);
  seen.driverAreaMagic = block.Word(header::kDriverAreaMagic);
  if (seen.statusArea != 0 && seen.statusArea + status::kSize <= kBlockSize) {
    seen.acceptorList = block.Word(seen.statusArea + status::kAcceptorList);
    seen.dispenserList = block.Word(seen.statusArea + status::kDispenserList);
  }
  return seen;
}

void ExpectComplete(const HeaderSeen& seen, std::uint32_t version, const std::string& date) {
  EXPECT_EQ(seen.format, 1u);
  EXPECT_EQ(seen.level, 7u);
  EXPECT_EQ(seen.version, version);
  EXPECT_NE(seen.statusArea, 0u);
  EXPECT_NE(seen.commandArea, 0u);
  EXPECT_EQ(seen.serial, 424242u);
  EXPECT_EQ(seen.payoutBase, 1000u);
  EXPECT_EQ(seen.date, date);
  EXPECT_EQ(seen.time, "01:02:03");
  EXPECT_EQ(seen.driverAreaMagic, kBlockMagic);
  EXPECT_NE(seen.acceptorList, 0u);
  EXPECT_NE(seen.dispenserList, 0u);
}

TEST(BlockSetUpTest, AHostPollingTheMagicNeverSeesItBeforeTheHeader) {
  // Many fresh starts, each raced by a reader that looks at the header the moment
  // the magic appears.
  for (int round = 0; round < 25; ++round) {
    TestBlock block;
    std::atomic<bool> seenMagic{false};
    HeaderSeen seen;
    std::thread reader([&] {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (std::chrono::steady_clock::now() < deadline) {
        if (block.Word(header::kMagic) == kBlockMagic) {
          seen = ReadHeader(block);
          seenMagic = true;
          return;
        }
      }
    });
    sim::BlockServer server(block.data(), kBlockSize, FullOptions(), platform::SystemClock());
    server.Start();
    reader.join();
    server.Stop();
    ASSERT_TRUE(seenMagic.load()) << "round " << round;
    ExpectComplete(seen, 0x04020304, "Jan  2 2024");
  }
}

TEST(BlockSetUpTest, AfterFlashwrightTheMagicComesBackWithTheNewFirmwareAlreadyInTheHeader) {
  TestBlock block;
  std::atomic<std::uint32_t> version{0x04020304};
  sim::BlockOptions options = FullOptions();
  options.firmware = [&version] {
    sim::FirmwareInfo info;
    info.versionWord = version.load();
    info.compileDate = version.load() == 0x04020304 ? "Jan  2 2024" : "Feb 29 2024";
    info.compileTime = "01:02:03";
    return info;
  };
  sim::BlockServer server(block.data(), kBlockSize, options, platform::SystemClock());
  server.Start();
  ASSERT_TRUE(Eventually([&] { return block.Word(header::kMagic) == kBlockMagic; }));

  for (int round = 0; round < 10; ++round) {
    // Flashwright claims the unit; the magic goes.
    block.Set(header::kDriverState, 2);
    ASSERT_TRUE(Eventually([&] { return block.Word(header::kMagic) == 0; })) << round;
    EXPECT_EQ(block.Word(header::kDriverState), 2u) << "the driver never takes the state back";
    const std::uint32_t programmed = 0x04030000 + static_cast<std::uint32_t>(round);
    version = programmed;

    std::atomic<bool> seenMagic{false};
    HeaderSeen seen;
    std::thread reader([&] {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (std::chrono::steady_clock::now() < deadline) {
        if (block.Word(header::kMagic) == kBlockMagic) {
          seen = ReadHeader(block);
          seenMagic = true;
          return;
        }
      }
    });
    block.Set(header::kDriverState, 0);  // Flashwright ends
    reader.join();
    ASSERT_TRUE(seenMagic.load()) << round;
    ExpectComplete(seen, programmed, "Feb 29 2024");
    EXPECT_TRUE(Eventually([&] { return block.Word(header::kDriverState) == 0; }));
  }
  server.Stop();
  EXPECT_EQ(block.Word(header::kMagic), 0u) << "a server that stops leaves no served block";
}

// --- DriverState ----------------------------------------------------------------------

TEST(DriverStateTest, StartingIsStateOneWithoutMagicThenZeroWithMagic) {
  TestBlock block;
  block.Set(header::kDriverState, 5);  // left by an earlier driver process
  platform::VirtualClock clock;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> duringSetUp;  // state, magic
  sim::BlockOptions options = FullOptions();
  options.firmware = [&] {
    duringSetUp.emplace_back(block.Word(header::kDriverState), block.Word(header::kMagic));
    return sim::FirmwareInfo{1, "d", "t"};
  };
  sim::BlockServer server(block.data(), kBlockSize, options, clock);
  server.Tick();
  ASSERT_FALSE(duringSetUp.empty());
  EXPECT_EQ(duringSetUp.front(), std::make_pair(1u, 0u));
  EXPECT_EQ(block.Word(header::kDriverState), 0u);
  EXPECT_EQ(block.Word(header::kMagic), kBlockMagic);
  EXPECT_EQ(block.Word(header::kDriverAreaMagic), kBlockMagic);
  EXPECT_EQ(Host(block).Status(status::kOpenInhibit), 0u);
}

TEST(DriverStateTest, AStartWhileFlashwrightHoldsTheUnitWaitsAndLeavesTheBlockAlone) {
  TestBlock block;
  block.Set(header::kDriverAreaMagic, kBlockMagic);
  block.Set(header::kDriverState, 2);
  platform::VirtualClock clock;
  sim::BlockServer server(block.data(), kBlockSize, FullOptions(), clock);
  for (int i = 0; i < 5; ++i) {
    server.Tick();
    clock.Advance(2000);
  }
  EXPECT_EQ(block.Word(header::kDriverState), 2u);
  EXPECT_EQ(block.Word(header::kMagic), 0u);
  EXPECT_EQ(block.Word(header::kFormat), 0u) << "nothing of the header was written";
  block.Set(header::kDriverState, 0);
  server.Tick();
  EXPECT_EQ(block.Word(header::kMagic), kBlockMagic);
  EXPECT_EQ(block.Word(header::kFormat), 1u);
}

// Any state but 0 stops serving: the magic goes, the state stays as the other party
// wrote it, changes wait; 0 serves again with the unit's values kept.
class NotServedStateTest : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(NotServedStateTest, StopsServingUntilTheStateIsZeroAgain) {
  TestBlock block;
  platform::VirtualClock clock;
  sim::BlockServer server(block.data(), kBlockSize, FullOptions(), clock);
  Host host(block);
  server.Tick();
  std::string error;
  ASSERT_NE(server.InsertCoin(50, -1, &error), 0u) << error;
  server.Tick();
  ASSERT_EQ(host.Status(status::kCurrentValue), 50u);
  const std::uint32_t updates = block.Word(host.statusArea() + status::kEnd);

  block.Set(header::kDriverState, GetParam());
  server.Tick();
  EXPECT_EQ(block.Word(header::kMagic), 0u);
  const std::uint64_t ticket = server.InsertCoin(100, -1, &error);
  ASSERT_NE(ticket, 0u) << error;
  for (int i = 0; i < 5; ++i) {
    clock.Advance(2000);
    server.Tick();
  }
  EXPECT_EQ(block.Word(header::kDriverState), GetParam());
  EXPECT_EQ(host.Status(status::kCurrentValue), 50u) << "nothing is served meanwhile";
  EXPECT_FALSE(server.AwaitApplied(ticket, 0, nullptr));
  EXPECT_FALSE(server.Status().serving);

  block.Set(header::kDriverState, 0);
  server.Tick();
  EXPECT_EQ(block.Word(header::kMagic), kBlockMagic);
  EXPECT_EQ(block.Word(header::kDriverState), 0u);
  EXPECT_TRUE(server.AwaitApplied(ticket, 0, nullptr));
  EXPECT_EQ(host.Status(status::kCurrentValue), 150u);
  EXPECT_GT(block.Word(host.statusArea() + status::kEnd), updates)
      << "the counts go on; a host that stayed open must see the changes";
}

INSTANTIATE_TEST_SUITE_P(States, NotServedStateTest, ::testing::Values(1u, 2u, 3u, 5u, 99u));

TEST(DriverStateTest, AnUnpluggedUnitIsNotConnectedUntilItIsBack) {
  TestBlock block;
  platform::VirtualClock clock;
  bool plugged = true;
  sim::BlockOptions options = FullOptions();
  options.connected = [&plugged] { return plugged; };
  sim::BlockServer server(block.data(), kBlockSize, options, clock);
  server.Tick();
  ASSERT_EQ(block.Word(header::kMagic), kBlockMagic);
  plugged = false;
  server.Tick();
  server.Tick();
  EXPECT_EQ(block.Word(header::kMagic), 0u);
  EXPECT_EQ(block.Word(header::kDriverState), 5u);
  plugged = true;
  server.Tick();
  EXPECT_EQ(block.Word(header::kMagic), kBlockMagic);
  EXPECT_EQ(block.Word(header::kDriverState), 0u);
}

TEST(DriverStateTest, StateFourEndsTheProcessWhetherServingOrHeld) {
  for (bool heldFirst : {false, true}) {
    TestBlock block;
    sim::BlockServer server(block.data(), kBlockSize, FullOptions(), platform::SystemClock());
    server.Start();
    ASSERT_TRUE(Eventually([&] { return block.Word(header::kMagic) == kBlockMagic; }));
    if (heldFirst) {
      block.Set(header::kDriverState, 2);
      ASSERT_TRUE(Eventually([&] { return block.Word(header::kMagic) == 0; }));
    }
    EXPECT_FALSE(server.exitRequested());
    block.Set(header::kDriverState, 4);
    EXPECT_TRUE(Eventually([&] { return server.exitRequested(); })) << heldFirst;
    EXPECT_EQ(block.Word(header::kMagic), 0u);
    EXPECT_EQ(block.Word(header::kDriverState), 4u);
    server.Stop();  // the thread has ended by itself; Stop only joins it
  }
}

TEST(DriverStateTest, AFirmwareThatChangesWhileServedReachesTheHeader) {
  // A restart that ends after Flashwright let go: the header follows later.
  TestBlock block;
  platform::VirtualClock clock;
  sim::FirmwareInfo running{0x04010000, "Jan  1 2024", "00:00:01"};
  sim::BlockOptions options = FullOptions();
  options.firmware = [&running] { return running; };
  sim::BlockServer server(block.data(), kBlockSize, options, clock);
  server.Tick();
  EXPECT_EQ(block.Word(header::kVersion), 0x04010000u);
  running = {0x04020000, "Mar  3 2024", "12:00:00"};
  for (int i = 0; i < 200; ++i) {
    clock.Advance(2000);
    server.Tick();
  }
  EXPECT_EQ(block.Word(header::kVersion), 0x04020000u);
  EXPECT_EQ(block.Text(header::kCompileDate, 16), "Mar  3 2024");
  EXPECT_EQ(block.Text(header::kCompileTime, 16), "12:00:00");
}

TEST(DriverStateTest, AFixedVersionWordOverridesTheFirmwareAndLongTextsAreCut) {
  TestBlock block(0xEEEEEEEE);
  block.Set(header::kDriverState, 0);
  platform::VirtualClock clock;
  sim::BlockOptions options = FullOptions();
  options.fixedVersionWord = true;
  options.versionWord = 0x01020304;
  options.firmware = [] { return sim::FirmwareInfo{7, "a date text far too long", "t"}; };
  sim::BlockServer server(block.data(), kBlockSize, options, clock);
  server.Tick();
  EXPECT_EQ(block.Word(header::kVersion), 0x01020304u);
  EXPECT_EQ(block.Text(header::kCompileDate, 16), "a date text far");
  EXPECT_EQ(block.Word(80), 0xEEEEEEEEu) << "written past CompileTime";
}

// --- layout and lists -------------------------------------------------------------------

struct Range {
  std::uint32_t begin, end;
  std::string what;
};

// The block's parts must not overlap one another, the header or the driver area.
void ExpectDisjoint(std::vector<Range> ranges) {
  ranges.push_back({0, 80, "header"});
  ranges.push_back({0x2000, 0x2008, "driver area"});
  std::sort(ranges.begin(), ranges.end(),
            [](const Range& a, const Range& b) { return a.begin < b.begin; });
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    EXPECT_LE(ranges[i].end, kBlockSize) << ranges[i].what;
    EXPECT_EQ(ranges[i].begin % 4, 0u) << ranges[i].what;
    if (i > 0) {
      EXPECT_LE(ranges[i - 1].end, ranges[i].begin)
          << ranges[i - 1].what << " overlaps " << ranges[i].what;
    }
  }
}

struct ListCase {
  std::int32_t level;
  bool texts, dispenserExtras, unitByte;
};

class ListTest : public ::testing::TestWithParam<ListCase> {};

TEST_P(ListTest, ListsAreWellFormedAtEveryLevel) {
  const ListCase& c = GetParam();
  TestBlock block;
  platform::VirtualClock clock;
  sim::BlockOptions options = FullOptions(c.level);
  sim::BlockServer server(block.data(), kBlockSize, options, clock);
  ASSERT_TRUE(server.Check(nullptr));
  server.Tick();
  Host host(block);
  std::vector<Range> ranges{
      {host.statusArea(), host.statusArea() + status::kSize, "StatusArea"},
      {host.commandArea(), host.commandArea() + command::kSize, "CommandArea"}};

  // Acceptors: as many as configured, each with its coins, linked in order.
  std::uint32_t entry = host.Status(status::kAcceptorList);
  std::size_t acceptors = 0;
  while (entry != 0 && acceptors < 10) {
    ASSERT_LT(acceptors, options.acceptors.size());
    const sim::AcceptorConfig& config = options.acceptors[acceptors];
    ASSERT_LE(entry + 52u, kBlockSize);
    ranges.push_back({entry, entry + 52, "acceptor " + std::to_string(acceptors)});
    EXPECT_EQ(block.Word(entry + 8), config.unitCode);
    EXPECT_EQ(block.Word(entry + 16), config.values.size());
    EXPECT_EQ(block.Word(entry + 24), config.address);
    std::uint32_t coin = block.Word(entry + 40);
    for (std::size_t k = 0; k < config.values.size(); ++k) {
      ASSERT_NE(coin, 0u) << "acceptor " << acceptors << " ends after " << k << " coins";
      ASSERT_LE(coin + 48u, kBlockSize);
      ranges.push_back({coin, coin + 48, "coin " + std::to_string(k)});
      EXPECT_EQ(block.Signed(coin + 8), config.values[k]);
      EXPECT_EQ(block.Word(coin + 16), 0u) << "nothing accepted yet";
      EXPECT_EQ(block.Word(coin + 36) != 0, c.unitByte);
      const std::uint32_t text = block.Word(coin + 44);
      if (c.texts) {
        const std::string expected = std::string((config.unitCode >> 24) == 2 ? "Coin " : "Note ") +
                                     std::to_string(config.values[k]);
        EXPECT_EQ(block.Text(text, 64), expected);
        ranges.push_back({text, text + static_cast<std::uint32_t>(expected.size()) + 1, expected});
      } else {
        EXPECT_EQ(text, 0u);
      }
      coin = block.Word(coin + 0);
    }
    EXPECT_EQ(coin, 0u) << "the coin list ends with its last entry";
    const std::uint32_t text = block.Word(entry + 48);
    if (c.texts) {
      EXPECT_EQ(block.Text(text, 64), config.description);
      ranges.push_back({text, text + static_cast<std::uint32_t>(config.description.size()) + 1,
                        config.description});
    } else {
      EXPECT_EQ(text, 0u);
      EXPECT_EQ(block.Word(entry + 44), 0u);
    }
    entry = block.Word(entry + 0);
    ++acceptors;
  }
  EXPECT_EQ(acceptors, options.acceptors.size());

  std::uint32_t dispenser = host.Status(status::kDispenserList);
  std::size_t dispensers = 0;
  while (dispenser != 0 && dispensers < 10) {
    ASSERT_LT(dispensers, options.dispensers.size());
    ASSERT_LE(dispenser + 56u, kBlockSize);
    ranges.push_back({dispenser, dispenser + 56, "dispenser " + std::to_string(dispensers)});
    EXPECT_EQ(block.Signed(dispenser + 8), options.dispensers[dispensers].value);
    EXPECT_EQ(block.Word(dispenser + 40) != 0 && block.Word(dispenser + 44) != 0,
              c.dispenserExtras);
    const std::uint32_t text = block.Word(dispenser + 52);
    if (c.texts) {
      EXPECT_EQ(block.Text(text, 64), options.dispensers[dispensers].description);
    } else {
      EXPECT_EQ(text, 0u);
    }
    dispenser = block.Word(dispenser + 0);
    ++dispensers;
  }
  EXPECT_EQ(dispensers, options.dispensers.size());
  ExpectDisjoint(ranges);
}

INSTANTIATE_TEST_SUITE_P(Levels, ListTest,
                         ::testing::Values(ListCase{3, false, false, false},
                                           ListCase{5, false, false, true},
                                           ListCase{6, false, true, true},
                                           ListCase{7, true, true, true}));

TEST(ListTest, ANewLevelRewritesTheListsAndKeepsTheHostsSettings) {
  TestBlock block;
  platform::VirtualClock clock;
  sim::BlockServer server(block.data(), kBlockSize, FullOptions(4), clock);
  server.Tick();
  Host host(block);
  const std::uint32_t acceptor = host.Status(status::kAcceptorList);
  const std::uint32_t coin = block.Word(acceptor + 40);
  ASSERT_EQ(block.Word(acceptor + 48), 0u);
  host.Guarded([&] {
    block.Set(acceptor + 4, 8);  // the host's control word
    block.Set(coin + 12, 77);    // and a coin setting
  });
  ASSERT_NE(server.SetLevel(7), 0u);
  server.Tick();
  EXPECT_EQ(block.Word(header::kLevel), 7u);
  EXPECT_EQ(server.Status().level, 7);
  EXPECT_EQ(block.Text(block.Word(acceptor + 48), 64), "Coin acceptor");
  EXPECT_EQ(block.Word(acceptor + 4), 8u);
  EXPECT_EQ(block.Word(coin + 12), 77u);
}

TEST(ListTest, OptionsThatDoNotFitAreRefusedAndTouchNothing) {
  struct Misfit {
    const char* name;
    std::function<void(sim::BlockOptions&)> change;
    std::size_t size;
    const char* reason;
  };
  const std::vector<Misfit> misfits = {
      {"too many coins for the block",
       [](sim::BlockOptions& o) {
         for (int a = 0; a < 4; ++a) {
           sim::AcceptorConfig big;
           big.unitCode = 0x02000000;
           big.values.assign(250, 1);
           o.acceptors.push_back(big);
         }
       },
       kBlockSize, "lists need the block up to"},
      {"more than 256 entries in one acceptor",
       [](sim::BlockOptions& o) { o.acceptors[0].values.assign(257, 5); }, kBlockSize,
       "at most 256"},
      {"a block too small for the lists", [](sim::BlockOptions&) {}, 0x2100,
       "lists need the block up to"},
      {"no pause between ticks", [](sim::BlockOptions& o) { o.tickMs = 0; }, kBlockSize,
       "at least 1 ms"},
  };
  for (const Misfit& misfit : misfits) {
    TestBlock block(0x55555555);
    platform::VirtualClock clock;
    sim::BlockOptions options = FullOptions();
    misfit.change(options);
    sim::BlockServer server(block.data(), misfit.size, options, clock);
    std::string error;
    EXPECT_FALSE(server.Check(&error)) << misfit.name;
    EXPECT_NE(error.find(misfit.reason), std::string::npos) << misfit.name << ": " << error;
    server.Tick();
    server.Start();  // refused too
    server.Stop();
    for (std::uint32_t offset = 0; offset < kBlockSize; offset += 4)
      ASSERT_EQ(block.Word(offset), 0x55555555u) << misfit.name << " wrote at " << offset;
  }
}

// --- a block used before --------------------------------------------------------------

TEST(BlockSetUpTest, WhatTheHostsLeftIsTakenAsDoneAndTheStatusAreaStartsAfresh) {
  TestBlock block;
  // A CommandArea as hosts of an earlier run left it, and unit words of that run.
  constexpr std::uint32_t c = sim::BlockServer::kCommandAreaOffset;
  constexpr std::uint32_t s = sim::BlockServer::kStatusAreaOffset;
  block.Set(c + command::kBlockSequence, 5);
  block.Set(c + command::kEventAck, 3);
  block.Set(c + command::kPayoutTarget, 700);
  block.Set(c + command::kBasedPayoutTarget, 1900);  // level 5's target, 900: pending too
  block.Set(c + command::kBarcodeAccept, 3);
  block.Set(c + command::kBarcodeReturn, 1);
  block.Set(c + command::kEscrowAccept, 4);
  block.Set(c + command::kEscrowReturn, 2);
  block.Set(c + command::kCheckA, 12);
  block.Set(c + command::kCheckB, 10);
  block.Set(c + command::kAttachCount, 2);
  block.Set(s + status::kStart, 41);
  block.Set(s + status::kEnd, 40);  // that unit died mid-update
  block.Set(s + status::kCurrentValue, 999);
  block.Set(s + status::kPaidTotal, 200);
  block.Set(s + status::kOpenInhibit, 1);

  platform::VirtualClock clock;
  sim::BlockServer server(block.data(), kBlockSize, FullOptions(5), clock);
  Host host(block);
  for (int i = 0; i < 20; ++i) {
    server.Tick();
    clock.Advance(5000);
  }
  ASSERT_EQ(host.statusArea(), s);
  EXPECT_EQ(block.Word(s + status::kStart), block.Word(s + status::kEnd));
  EXPECT_GT(block.Word(s + status::kStart), 41u) << "the counts only ever go up";
  EXPECT_EQ(host.Status(status::kBlockAck), 5u) << "no message is owed";
  EXPECT_EQ(host.Status(status::kEventSequence), 3u) << "no event is pending";
  EXPECT_EQ(host.Status(status::kPaidTotal), 700u) << "no payout is owed";
  EXPECT_EQ(host.Status(status::kPayStatus), 1u);
  EXPECT_EQ(host.SignedStatus(status::kAvailable), 100000) << "nothing was paid out";
  EXPECT_EQ(host.Status(status::kEscrowThroughput), 6u) << "nothing waits in escrow";
  EXPECT_EQ(host.Status(status::kBarcodeEscrowCount), 4u) << "no ticket waits either";
  EXPECT_EQ(host.Status(status::kCheckResult), 6u);
  EXPECT_EQ(host.Status(status::kCurrentValue), 0u);
  EXPECT_EQ(host.Status(status::kOpenInhibit), 0u);
  EXPECT_EQ(host.Command(command::kAttachCount), 2u) << "the hosts' words are theirs";
  EXPECT_EQ(server.Status().attachCount, 2u);
}

}  // namespace
