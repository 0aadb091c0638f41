// Serving the block: payouts (rate, target by level, failures, empty dispensers,
// across the 32-bit wrap), events one at a time, switches, escrow decisions, barcode
// tickets, E2Prom rows, the check operation, coins and notes, OpenInhibit; the
// host's CommandArea left alone while its counts differ; the counter pair around
// every change, raced by a reader thread; and a unit that dies mid-update.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "block_host.h"
#include "platform/clock.h"
#include "sim/block_server.h"

namespace {

using namespace block_test;

// A server stepped by the test on a virtual clock.
struct Stepped {
  explicit Stepped(sim::BlockOptions options = FullOptions(4))
      : server(block.data(), kBlockSize, std::move(options), clock), host(block) {
    server.Tick();
  }
  void Run(int ticks, int msEach = 10) {
    for (int i = 0; i < ticks; ++i) {
      clock.Advance(msEach * 1000);
      server.Tick();
    }
  }
  std::int32_t Paid() { return host.SignedStatus(status::kPaidTotal); }
  std::uint32_t PayStatus() { return host.Status(status::kPayStatus); }
  std::int32_t Value() { return host.SignedStatus(status::kCurrentValue); }

  TestBlock block;
  platform::VirtualClock clock;
  sim::BlockServer server;
  Host host;
};

// --- payouts --------------------------------------------------------------------------

struct PayoutCase {
  std::int32_t level;
  std::uint32_t payoutTarget, basedPayoutTarget;
  std::int32_t paid;  // what the unit pays toward
};

class PayoutTest : public ::testing::TestWithParam<PayoutCase> {};

TEST_P(PayoutTest, PaysTowardItsLevelsTargetAtTheRateThenReportsTheEnd) {
  const PayoutCase& c = GetParam();
  sim::BlockOptions options = FullOptions(c.level);  // PayoutBase 1000
  options.payRate = 1000;                            // 10 per tick of 10 ms
  Stepped unit(options);
  ASSERT_EQ(unit.PayStatus(), 1u);
  unit.host.Guarded([&] {
    unit.block.Set(unit.host.commandArea() + command::kPayoutTarget, c.payoutTarget);
    unit.block.Set(unit.host.commandArea() + command::kBasedPayoutTarget, c.basedPayoutTarget);
  });
  std::int32_t last = 0;
  int payingTicks = 0;
  for (int tick = 0; tick < 100; ++tick) {
    unit.Run(1);
    const std::int32_t paid = unit.Paid();
    EXPECT_GE(paid, last);
    EXPECT_LE(paid - last, 10) << "faster than the rate";
    last = paid;
    if (paid < c.paid) {
      EXPECT_EQ(unit.PayStatus(), 0u) << "paying, at " << paid;
      ++payingTicks;
    }
    if (unit.PayStatus() == 1) break;
  }
  EXPECT_EQ(unit.Paid(), c.paid);
  EXPECT_EQ(unit.PayStatus(), 1u);
  EXPECT_GE(payingTicks, c.paid / 10 - 1);
  EXPECT_EQ(unit.host.SignedStatus(status::kAvailable), 100000 - c.paid);
  unit.Run(20);
  EXPECT_EQ(unit.Paid(), c.paid) << "nothing more once the target is reached";
}

INSTANTIATE_TEST_SUITE_P(Levels, PayoutTest,
                         ::testing::Values(PayoutCase{4, 100, 1060, 100},  // PayoutTarget
                                           PayoutCase{5, 60, 1060, 60},    // Based - PayoutBase
                                           // A based target that is not PayoutTarget plus
                                           // the base (an attach's) asks for nothing.
                                           PayoutCase{5, 100, 1060, 0},
                                           PayoutCase{7, 250, 1250, 250}));

TEST(PayoutFailureTest, AnArmedFailureStopsTheNextPayoutHalfwayAndIsNotResumed) {
  Stepped unit;
  std::string error;
  ASSERT_NE(unit.server.FailPayout(7, &error), 0u) << error;
  unit.Run(1);
  unit.host.SetCommand(command::kPayoutTarget, 100);
  unit.Run(30);
  EXPECT_EQ(unit.Paid(), 50);
  EXPECT_EQ(unit.PayStatus(), 7u);
  unit.Run(30);
  EXPECT_EQ(unit.Paid(), 50) << "a failed payout does not go on by itself";

  // The host cancels the rest (target back to what was paid): nothing moves.
  unit.host.SetCommand(command::kPayoutTarget, 50);
  unit.Run(10);
  EXPECT_EQ(unit.PayStatus(), 7u);
  EXPECT_EQ(unit.Paid(), 50);
  // A new payout of 30 runs normally: the failure was once.
  unit.host.SetCommand(command::kPayoutTarget, 80);
  unit.Run(1);
  EXPECT_EQ(unit.PayStatus(), 0u);
  unit.Run(10);
  EXPECT_EQ(unit.Paid(), 80);
  EXPECT_EQ(unit.PayStatus(), 1u);
}

TEST(PayoutFailureTest, AFailureArmedDuringAPayoutHitsHalfOfWhatRemains) {
  Stepped unit;
  unit.host.SetCommand(command::kPayoutTarget, 100);
  unit.Run(2);
  ASSERT_EQ(unit.Paid(), 20);
  std::string error;
  ASSERT_NE(unit.server.FailPayout(9, &error), 0u);
  unit.Run(30);
  EXPECT_EQ(unit.Paid(), 60);
  EXPECT_EQ(unit.PayStatus(), 9u);
}

TEST(PayoutFailureTest, FailureCodesZeroAndOneAreRefused) {
  Stepped unit;
  for (std::uint32_t code : {0u, 1u}) {
    std::string error;
    EXPECT_EQ(unit.server.FailPayout(code, &error), 0u) << code;
    EXPECT_FALSE(error.empty());
  }
}

TEST(PayoutTest, RateZeroPaysAtOnceAndEmptyDispensersEndThePayout) {
  sim::BlockOptions instant = FullOptions(4);
  instant.payRate = 0;
  Stepped quick(instant);
  quick.host.SetCommand(command::kPayoutTarget, 100);
  quick.Run(1);
  EXPECT_EQ(quick.Paid(), 100);
  EXPECT_EQ(quick.PayStatus(), 1u);

  sim::BlockOptions small = FullOptions(4);
  small.availableValue = 30;
  Stepped dry(small);
  EXPECT_EQ(dry.host.SignedStatus(status::kAvailable), 30);
  dry.host.SetCommand(command::kPayoutTarget, 100);
  dry.Run(20);
  EXPECT_EQ(dry.Paid(), 30);
  EXPECT_EQ(dry.host.SignedStatus(status::kAvailable), 0);
  EXPECT_EQ(dry.PayStatus(), sim::BlockServer::kDispensersEmpty);
}

TEST(PayoutTest, ATargetTakenBackToWhatWasPaidEndsThePayoutNormally) {
  Stepped unit;
  unit.host.SetCommand(command::kPayoutTarget, 100);
  unit.Run(3);
  const std::int32_t paid = unit.Paid();
  ASSERT_GT(paid, 0);
  ASSERT_LT(paid, 100);
  unit.host.SetCommand(command::kPayoutTarget, static_cast<std::uint32_t>(paid));
  unit.Run(10);
  EXPECT_EQ(unit.Paid(), paid);
  EXPECT_EQ(unit.PayStatus(), 1u);
}

class PayoutWrapTest : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(PayoutWrapTest, APayoutGoesOnAcrossTheWrapOfTheTotals) {
  sim::BlockOptions options = FullOptions(5);  // PayoutBase 1000
  options.paidTotal = GetParam();
  Stepped unit(options);
  const std::uint32_t start = GetParam();
  ASSERT_EQ(unit.host.Status(status::kPaidTotal), start);
  unit.host.Guarded([&] {  // 100 more, as the library places it: the words wrap
    unit.block.Set(unit.host.commandArea() + command::kPayoutTarget, start + 100);
    unit.block.Set(unit.host.commandArea() + command::kBasedPayoutTarget, start + 1100);
  });
  unit.Run(1);
  EXPECT_EQ(unit.PayStatus(), 0u);
  unit.Run(20);
  EXPECT_EQ(unit.host.Status(status::kPaidTotal), start + 100);
  EXPECT_EQ(unit.PayStatus(), 1u);
  EXPECT_EQ(unit.host.SignedStatus(status::kAvailable), 100000 - 100);
}

INSTANTIATE_TEST_SUITE_P(Totals, PayoutWrapTest,
                         ::testing::Values(0x7FFFFFF0u, 0xFFFFFFF0u, 0x7FFFFFFFu));

// --- events, switches, escrow, check operation ----------------------------------------

TEST(EventTest, EventsArePostedOneAtATimeEachAfterTheAcknowledge) {
  Stepped unit;
  const std::uint32_t words[] = {0x81020007, 0x00000011, 0x7FFF0001};
  for (std::uint32_t word : words) ASSERT_NE(unit.server.PostEvent(word), 0u);
  for (std::size_t i = 0; i < 3; ++i) {
    unit.Run(3);
    const std::uint32_t sequence = unit.host.Status(status::kEventSequence);
    EXPECT_EQ(sequence, i + 1) << "one event per acknowledge";
    EXPECT_EQ(unit.host.Status(status::kEventWord), words[i]);
    unit.Run(5);
    EXPECT_EQ(unit.host.Status(status::kEventSequence), sequence) << "waits for the host";
    EXPECT_EQ(unit.host.Status(status::kEventWord), words[i]);
    unit.host.SetCommand(command::kEventAck, sequence);
  }
  unit.Run(5);
  EXPECT_EQ(unit.host.Status(status::kEventSequence), 3u) << "no event is left";
}

TEST(SwitchTest, APressClosesThenOpensOnTheNextTick) {
  Stepped unit;
  std::string error;
  ASSERT_NE(unit.server.PressSwitch(63, &error), 0u);
  ASSERT_NE(unit.server.PressSwitch(5, &error), 0u);
  unit.Run(1);
  EXPECT_EQ(unit.host.Status(status::kCloseCounts + 4 * 5), 1u);
  EXPECT_EQ(unit.host.Status(status::kOpenCounts + 4 * 5), 0u);
  EXPECT_EQ(unit.host.Status(status::kCloseCounts + 4 * 63), 1u);
  unit.Run(1);
  EXPECT_EQ(unit.host.Status(status::kOpenCounts + 4 * 5), 1u);
  EXPECT_EQ(unit.host.Status(status::kOpenCounts + 4 * 63), 1u);
  EXPECT_EQ(unit.host.Status(status::kCloseCounts + 4 * 4), 0u) << "its neighbour is untouched";
  for (int bad : {-1, 64}) {
    error.clear();
    EXPECT_EQ(unit.server.PressSwitch(bad, &error), 0u) << bad;
    EXPECT_FALSE(error.empty());
  }
}

TEST(EscrowTest, NotesWaitInEscrowAndAreDecidedByTheAcceptAndReturnCounts) {
  Stepped unit(FullOptions(5));
  Host& host = unit.host;
  host.SetCommand(command::kEscrowEnabled, 1);
  unit.Run(1);
  std::string error;
  ASSERT_NE(unit.server.InsertNote(1000, &error), 0u) << error;
  ASSERT_NE(unit.server.InsertNote(500, &error), 0u) << error;
  unit.Run(1);
  EXPECT_EQ(host.Status(status::kEscrowThroughput), 2u);
  EXPECT_EQ(unit.Value(), 0) << "nothing counts while it waits";

  // Accept all: accept count = throughput - returns, as the host computes it.
  host.SetCommand(command::kEscrowAccept, 2 - host.Command(command::kEscrowReturn));
  unit.Run(1);
  EXPECT_EQ(unit.Value(), 1500);
  const std::uint32_t coinAcceptor = host.Status(status::kAcceptorList);
  const std::uint32_t noteAcceptor = unit.block.Word(coinAcceptor + 0);
  const std::uint32_t firstNote = unit.block.Word(noteAcceptor + 40);  // 500
  const std::uint32_t secondNote = unit.block.Word(firstNote + 0);     // 1000
  EXPECT_EQ(unit.block.Word(firstNote + 16), 1u);
  EXPECT_EQ(unit.block.Word(secondNote + 16), 1u);

  // Return the next one: nothing counts.
  ASSERT_NE(unit.server.InsertNote(5000, &error), 0u);
  unit.Run(1);
  EXPECT_EQ(host.Status(status::kEscrowThroughput), 3u);
  host.SetCommand(command::kEscrowReturn, 3 - host.Command(command::kEscrowAccept));
  unit.Run(2);
  EXPECT_EQ(unit.Value(), 1500);

  // With escrow disabled, or below level 5, a note goes straight in.
  host.SetCommand(command::kEscrowEnabled, 0);
  unit.Run(1);
  ASSERT_NE(unit.server.InsertNote(2000, &error), 0u);
  unit.Run(1);
  EXPECT_EQ(unit.Value(), 3500);
  EXPECT_EQ(host.Status(status::kEscrowThroughput), 3u);

  Stepped old(FullOptions(4));
  old.host.SetCommand(command::kEscrowEnabled, 1);
  old.Run(1);
  ASSERT_NE(old.server.InsertNote(1000, &error), 0u);
  old.Run(1);
  EXPECT_EQ(old.Value(), 1000);
}

TEST(BarcodeTest, ATicketWaitsInEscrowUntilTheHostStacksOrReturnsIt) {
  Stepped unit(FullOptions(5));
  Host& host = unit.host;
  std::string error, outcome;
  const auto present = [&](const std::string& text) {
    const std::uint64_t ticket = unit.server.PresentBarcode(text, &error);
    unit.Run(1);
    EXPECT_TRUE(unit.server.AwaitApplied(ticket, 0, &outcome)) << text;
    return outcome;
  };
  EXPECT_EQ(present("123456789012345678"),
            "refused: barcode tickets are not enabled (BarcodeEnabled 0)");
  host.SetCommand(command::kBarcodeEnabled, 1);
  unit.Run(1);
  EXPECT_EQ(present("123456789012345678"),
            "barcode 123456789012345678 in escrow (BarcodeEscrowCount 1)");
  EXPECT_EQ(unit.block.Text(host.statusArea() + status::kEscrowBarcode, 20), "123456789012345678");
  EXPECT_EQ(present("999"), "refused: barcode 123456789012345678 is still waiting in escrow");

  // Accept as the library does: accept = escrow count - return count.
  host.SetCommand(command::kBarcodeAccept, 1 - host.Command(command::kBarcodeReturn));
  unit.Run(1);
  EXPECT_EQ(host.Status(status::kBarcodeStackedCount), 1u);
  EXPECT_EQ(unit.block.Text(host.statusArea() + status::kStackedBarcode, 20), "123456789012345678");
  EXPECT_EQ(present("1234567890123456789"),
            "barcode 1234567890123456789 in escrow (BarcodeEscrowCount 2)");
  host.SetCommand(command::kBarcodeReturn, 2 - host.Command(command::kBarcodeAccept));
  unit.Run(1);
  EXPECT_EQ(host.Status(status::kBarcodeStackedCount), 1u) << "handed back, not stacked";
  EXPECT_EQ(unit.server.Status().escrowBarcode, "");
  EXPECT_EQ(unit.server.PresentBarcode("12345678901234567890", &error), 0u) << "20 characters";

  Stepped old(FullOptions(4));
  old.host.SetCommand(command::kBarcodeEnabled, 1);
  const std::uint64_t ticket = old.server.PresentBarcode("42", &error);
  old.Run(1);
  ASSERT_TRUE(old.server.AwaitApplied(ticket, 0, &outcome));
  EXPECT_EQ(outcome, "refused: barcode tickets need firmware level 5 (the unit is at level 4)");
}

TEST(E2PromTest, ARowIsWrittenOnlyWhenItsCounterMovesAlsoFrom15To0) {
  TestBlock block;
  Host host(block);
  // Left by an earlier run: row 0's counter at 15, row 1's at 3; not owed to this one.
  block.Set(sim::BlockServer::kCommandAreaOffset + command::kE2PromRowChanges, 0x3F);
  platform::VirtualClock clock;
  sim::BlockServer server(block.data(), kBlockSize, FullOptions(4), clock);
  server.Tick();
  const std::uint32_t image = host.commandArea() + command::kE2PromImage;
  host.Guarded([&] {
    block.Set(image, 0x11111111);       // row 0
    block.Set(image + 32, 0x22222222);  // row 1, its counter stays
  });
  server.Tick();
  EXPECT_EQ(server.Status().e2promRowWrites, 0u) << "no counter moved";
  host.SetCommand(command::kE2PromRowChanges, 0x30);  // row 0: 15 -> 0
  server.Tick();
  const sim::BlockServer::Report report = server.Status();
  EXPECT_EQ(report.e2promRowWrites, 1u);
  EXPECT_EQ(report.e2prom[0], 0x11);
  EXPECT_EQ(report.e2prom[1], 0x11);
  EXPECT_EQ(report.e2prom[4], 0x00) << "the whole row, from the image";
  EXPECT_EQ(report.e2prom[32], 0xFF) << "row 1 is not written";
  server.Tick();
  EXPECT_EQ(server.Status().e2promRowWrites, 1u) << "once per move";
}

TEST(CheckOperationTest, APostedPairIsAnsweredWithItsExclusiveOr) {
  Stepped unit(FullOptions(7));
  const std::uint32_t pairs[][3] = {
      {12, 10, 6}, {0xFFFFFFFF, 0x0F0F0F0F, 0xF0F0F0F0}, {5, 5, 0}, {0, 0x80000001, 0x80000001}};
  for (const auto& pair : pairs) {
    // The host posts the pair as two plain stores, outside any bracket.
    unit.block.Set(unit.host.commandArea() + command::kCheckA, pair[0]);
    unit.block.Set(unit.host.commandArea() + command::kCheckB, pair[1]);
    unit.Run(1);
    EXPECT_EQ(unit.host.Status(status::kCheckResult), pair[2]) << pair[0] << " " << pair[1];
  }
}

// --- coins, notes, OpenInhibit --------------------------------------------------------

TEST(InsertTest, CoinsAndNotesRaiseTheValueAndTheirEntrysCount) {
  Stepped unit;
  std::string error;
  ASSERT_NE(unit.server.InsertCoin(50, -1, &error), 0u) << error;
  ASSERT_NE(unit.server.InsertCoin(50, -1, &error), 0u) << error;
  ASSERT_NE(unit.server.InsertCoin(200, 0, &error), 0u) << error;
  ASSERT_NE(unit.server.InsertCoin(1000, 1, &error), 0u) << error;  // an explicit acceptor
  ASSERT_NE(unit.server.InsertNote(5000, &error), 0u) << error;
  unit.Run(1);
  EXPECT_EQ(unit.Value(), 50 + 50 + 200 + 1000 + 5000);
  EXPECT_EQ(unit.server.Status().currentValue, 6300);

  // The counts, by walking the lists: (acceptor, value) -> accepted.
  std::vector<std::uint32_t> counts;
  for (std::uint32_t a = unit.host.Status(status::kAcceptorList); a != 0;
       a = unit.block.Word(a + 0))
    for (std::uint32_t k = unit.block.Word(a + 40); k != 0; k = unit.block.Word(k + 0))
      counts.push_back(unit.block.Word(k + 16));
  EXPECT_EQ(counts, (std::vector<std::uint32_t>{0, 0, 0, 2, 0, 1, 0, 1, 0, 1, 0, 0, 0, 0}));

  struct Refusal {
    const char* name;
    std::function<std::uint64_t(std::string*)> insert;
    const char* reason;
  };
  const std::vector<Refusal> refusals = {
      {"no coin of 7", [&](std::string* e) { return unit.server.InsertCoin(7, -1, e); },
       "no coin acceptor takes the value 7"},
      {"a note value as a coin",
       [&](std::string* e) { return unit.server.InsertCoin(1000, -1, e); }, "no coin acceptor"},
      {"acceptor 3", [&](std::string* e) { return unit.server.InsertCoin(5, 3, e); },
       "acceptor 3 does not exist"},
      {"acceptor 0 without 500", [&](std::string* e) { return unit.server.InsertCoin(500, 0, e); },
       "acceptor 0 does not take the value 500"},
      {"a coin value as a note", [&](std::string* e) { return unit.server.InsertNote(50, e); },
       "no note acceptor takes the value 50"},
  };
  for (const Refusal& refusal : refusals) {
    std::string reason;
    EXPECT_EQ(refusal.insert(&reason), 0u) << refusal.name;
    EXPECT_NE(reason.find(refusal.reason), std::string::npos) << refusal.name << ": " << reason;
  }
  unit.Run(2);
  EXPECT_EQ(unit.Value(), 6300);
}

TEST(InsertTest, AppliedChangesReportTheirOutcome) {
  Stepped unit;
  std::string error, outcome;
  const std::uint64_t coin = unit.server.InsertCoin(20, -1, &error);
  const std::uint64_t event = unit.server.PostEvent(0x11);
  EXPECT_FALSE(unit.server.AwaitApplied(coin, 0, &outcome)) << "no tick yet";
  unit.Run(1);
  ASSERT_TRUE(unit.server.AwaitApplied(coin, 0, &outcome));
  EXPECT_EQ(outcome, "coin 20 accepted by acceptor 0");
  ASSERT_TRUE(unit.server.AwaitApplied(event, 0, &outcome));
  EXPECT_EQ(outcome, "event 0x00000011 queued (1 waiting)");
}

TEST(OpenInhibitTest, OnAndOffReachTheStatusArea) {
  Stepped unit;
  EXPECT_EQ(unit.host.Status(status::kOpenInhibit), 0u);
  unit.server.SetOpenInhibit(true);
  unit.Run(1);
  EXPECT_EQ(unit.host.Status(status::kOpenInhibit), 1u);
  unit.server.SetOpenInhibit(false);
  unit.Run(1);
  EXPECT_EQ(unit.host.Status(status::kOpenInhibit), 0u);
}

// --- the host's pair, the unit's pair ---------------------------------------------------

TEST(CommandAreaTest, NothingIsTakenWhileTheHostsCountsDiffer) {
  Stepped unit;
  Host& host = unit.host;
  const std::uint32_t c = host.commandArea();
  ASSERT_NE(unit.server.PostEvent(0x22), 0u);
  unit.Run(1);
  ASSERT_EQ(host.Status(status::kEventSequence), 1u);
  ASSERT_NE(unit.server.PostEvent(0x23), 0u);

  // The host opens its bracket and writes, but does not close it yet.
  const std::uint32_t count = unit.block.Word(c + command::kStart) + 1;
  unit.block.Set(c + command::kStart, count);
  unit.block.Set(c + command::kBlockType, 64);
  unit.block.Set(c + command::kBlockLength, 0);
  unit.block.Set(c + command::kBlockSequence, unit.block.Word(c + command::kBlockSequence) + 1);
  unit.block.Set(c + command::kPayoutTarget, 100);
  unit.block.Set(c + command::kEventAck, 1);
  unit.Run(20);
  EXPECT_EQ(host.Status(status::kPaidTotal), 0u);
  EXPECT_EQ(host.Status(status::kPayStatus), 1u);
  EXPECT_NE(host.Status(status::kBlockAck), unit.block.Word(c + command::kBlockSequence));
  EXPECT_EQ(host.Status(status::kEventSequence), 1u);

  unit.block.Set(c + command::kEnd, count);  // closed
  unit.Run(1);
  EXPECT_TRUE(host.Answered());
  EXPECT_EQ(host.Status(status::kEventSequence), 2u);
  EXPECT_EQ(host.Status(status::kPayStatus), 0u);
  unit.Run(20);
  EXPECT_EQ(host.Status(status::kPaidTotal), 100u);
}

// A reader racing the server: whenever the unit's counts agree around its read, the
// values it read belong together (the value is what the counted coins add up to,
// a switch is never open more often than it closed); and the end count never
// passes the start count.
TEST(CounterPairTest, AReaderNeverSeesATornUpdate) {
  TestBlock block;
  sim::BlockOptions options = FullOptions(4);
  options.tickMs = 1;
  sim::BlockServer server(block.data(), kBlockSize, options, platform::SystemClock());
  server.Start();
  ASSERT_TRUE(Eventually([&] { return block.Word(header::kMagic) == kBlockMagic; }));
  Host host(block);
  const std::uint32_t s = host.statusArea();

  std::atomic<bool> done{false};
  std::atomic<int> consistent{0}, torn{0}, countsCrossed{0};
  std::thread reader([&] {
    while (!done.load()) {
      const std::uint32_t end = block.Word(s + status::kEnd);
      std::int64_t value = 0, counted = 0;
      std::uint32_t closes = 0, opens = 0;
      value = block.Signed(s + status::kCurrentValue);
      int entries = 0;
      for (std::uint32_t a = block.Word(s + status::kAcceptorList); a != 0 && entries < 64;
           a = block.Word(a + 0))
        for (std::uint32_t k = block.Word(a + 40); k != 0 && entries < 64;
             k = block.Word(k + 0), ++entries)
          counted += std::int64_t{block.Signed(k + 8)} * block.Word(k + 16);
      closes = block.Word(s + status::kCloseCounts + 4 * 9);
      opens = block.Word(s + status::kOpenCounts + 4 * 9);
      const std::uint32_t start = block.Word(s + status::kStart);
      if (static_cast<std::int32_t>(start - end) < 0) ++countsCrossed;
      if (start != end) continue;
      ++consistent;
      if (value != counted || opens > closes) ++torn;
    }
  });

  const std::int32_t coins[] = {5, 10, 20, 50, 100, 200};
  std::string error;
  std::uint64_t last = 0;
  for (int i = 0; i < 2400; ++i) {
    last = server.InsertCoin(coins[i % 6], -1, &error);
    if (i % 3 == 0) server.PressSwitch(9, &error);
    if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(server.AwaitApplied(last, 10000, nullptr));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  done = true;
  reader.join();
  server.Stop();
  EXPECT_GT(consistent.load(), 0);
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(countsCrossed.load(), 0);
  EXPECT_EQ(host.SignedStatus(status::kCurrentValue), 400 * (5 + 10 + 20 + 50 + 100 + 200));
}

TEST(MidUpdateTest, AUnitThatDiedMidUpdateLeavesTheCountsApartForGood) {
  Stepped unit;
  const std::uint32_t s = unit.host.statusArea();
  ASSERT_NE(unit.server.StopServingMidUpdate(), 0u);
  std::string error;
  const std::uint64_t later = unit.server.InsertCoin(50, -1, &error);
  unit.Run(1);
  const std::uint32_t start = unit.block.Word(s + status::kStart);
  EXPECT_EQ(start, unit.block.Word(s + status::kEnd) + 1);
  EXPECT_TRUE(unit.server.Status().dead);

  unit.host.SetCommand(command::kPayoutTarget, 100);
  ASSERT_NE(unit.server.PostEvent(1), 0u);
  unit.Run(20);
  EXPECT_EQ(unit.block.Word(s + status::kStart), start);
  EXPECT_EQ(unit.block.Word(s + status::kEnd), start - 1);
  EXPECT_EQ(unit.block.Word(s + status::kCurrentValue), 0u);
  EXPECT_FALSE(unit.server.AwaitApplied(later, 0, nullptr));
  EXPECT_FALSE(unit.host.Consistent([] {}, 1000)) << "a host can never read it consistently";
  EXPECT_EQ(unit.block.Word(header::kMagic), kBlockMagic) << "it died; it did not tidy up";

  unit.block.Set(header::kDriverState, 4);
  unit.Run(1);
  EXPECT_TRUE(unit.server.exitRequested()) << "the process can still be ended";
}

}  // namespace
