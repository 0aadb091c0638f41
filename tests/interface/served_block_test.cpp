// The library against the simulator's block server serving from its own thread, as
// a host meets a live unit: opening a named block, coins, payouts (also one that
// fails), events, acceptor reads racing the unit's updates, the message channel and
// a unit that dies mid-update. Run under ThreadSanitizer with the linux-tsan preset.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "interface/barcode.h"
#include "interface/consistency.h"
#include "interface/details.h"
#include "interface/library.h"
#include "interface/meters.h"
#include "interface/money.h"
#include "platform/clock.h"
#include "sim/block_server.h"
#include "tests/interface/unit_block.h"

namespace {

using namespace qmx_test;

bool Eventually(const std::function<bool()>& done, int ms = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class ServedBlock : public ::testing::Test {
 protected:
  void Serve(sim::BlockOptions options) {
    options.tickMs = 1;
    mapping_ = std::make_unique<UnitMapping>(baseName_ + serial_);
    server_ = std::make_unique<sim::BlockServer>(mapping_->data(), kBlockBytes, options,
                                                 platform::SystemClock());
    std::string error;
    ASSERT_TRUE(server_->Check(&error)) << error;
    server_->Start();
    ASSERT_TRUE(Eventually([&] { return mapping_->Word(kBlockMagicAt) == kMagic; }));
    ASSERT_EQ(library_.OpenSpecificVODVersion(serial_.c_str(), QMX_VERSION_5), 0);
    library_.EnableInterface();
  }
  void TearDown() override {
    if (server_) server_->Stop();
  }
  void Apply(std::uint64_t ticket) {
    ASSERT_NE(ticket, 0u);
    std::string outcome;
    ASSERT_TRUE(server_->AwaitApplied(ticket, 5000, &outcome));
  }
  // PayOut as a host does it: wait until the unit has taken the request up (its
  // area changes) before asking for the status, which until then tells of the
  // payout before.
  void PayAndWait(std::int32_t amount) {
    const std::int32_t updates = qmx::CurrentUpdates(library_);
    qmx::PayOut(library_, money_, amount);
    ASSERT_TRUE(Eventually([&] { return qmx::CurrentUpdates(library_) != updates; }));
  }
  std::int32_t SettledPayStatus() {
    std::int32_t status = 0;
    EXPECT_TRUE(Eventually([&] { return (status = qmx::LastPayStatus(library_, money_)) != 0; }));
    return status;
  }

  std::string baseName_ = UniqueBaseName();
  std::string serial_ = UniqueSerial();
  qmx::LibraryState library_{baseName_};
  qmx::MoneyState money_;
  qmx::DetailsState details_;
  std::unique_ptr<UnitMapping> mapping_;
  std::unique_ptr<sim::BlockServer> server_;
};

TEST_F(ServedBlock, CoinsPayoutsAndEvents) {
  sim::BlockOptions options;
  options.level = 7;
  options.payRate = 20000;
  options.unitSerialNumber = 4321;
  Serve(options);
  EXPECT_EQ(qmx::SerialNumber(library_), 4321);

  std::string error;
  Apply(server_->InsertCoin(50, -1, &error));
  Apply(server_->InsertCoin(200, -1, &error));
  EXPECT_EQ(qmx::CurrentValue(library_), 250);

  PayAndWait(150);
  EXPECT_EQ(SettledPayStatus(), QMX_PAY_COMPLETE);
  EXPECT_EQ(qmx::CurrentPaid(library_), 150);

  // A payout that fails halfway: its error stays the answer, and the next payout
  // counts from what was really paid.
  Apply(server_->FailPayout(9, &error));
  PayAndWait(400);
  EXPECT_EQ(SettledPayStatus(), 9);
  EXPECT_EQ(qmx::LastPayStatus(library_, money_), 9);
  const std::int32_t paidShort = qmx::CurrentPaid(library_);
  EXPECT_GT(paidShort, 150);
  EXPECT_LT(paidShort, 550);
  PayAndWait(50);
  EXPECT_EQ(SettledPayStatus(), QMX_PAY_COMPLETE);
  EXPECT_EQ(qmx::CurrentPaid(library_), paidShort + 50);

  // Events one at a time, in order, each taken once.
  const std::uint32_t words[] = {0x00000101, 0x80FF0202, 0x7F000303};
  for (std::uint32_t word : words) server_->PostEvent(word);
  for (std::uint32_t word : words) {
    QmxEventDetails event{};
    std::int32_t code = 0;
    ASSERT_TRUE(Eventually([&] { return (code = qmx::NextEvent(library_, &event)) != 0; }));
    EXPECT_EQ(code, static_cast<std::int32_t>(word & 0xFFFF));
    EXPECT_EQ(event.EventData1, static_cast<std::int32_t>((word >> 16) & 0xFF));
    EXPECT_EQ(event.EventData2, static_cast<std::int32_t>((word >> 24) & 0x7F));
    EXPECT_EQ(event.EventFlag, static_cast<std::int32_t>(word >> 31));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(qmx::NextEvent(library_, nullptr), 0);
}

// While the unit accepts coins, every acceptor record read is whole (all six coin
// entries) and the value its counts add up to never goes back; the last read holds
// every coin.
TEST_F(ServedBlock, AcceptorReadsRacingTheUnitAreWhole) {
  sim::BlockOptions options;
  options.level = 7;
  Serve(options);

  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, backwards{0}, broken{0};
  std::thread reader([&] {
    auto record = std::make_unique<QmxAcceptorDetails5>();
    std::int64_t lastTotal = -1;
    while (!done.load()) {
      if (qmx::ReadAcceptorDetails(library_, 0, record.get()) != 1 || record->CoinCount != 6) {
        ++broken;
        continue;
      }
      std::int64_t total = 0;
      for (int c = 0; c < record->CoinCount; ++c)
        total += std::int64_t{record->Coins[c].Value} * record->Coins[c].Count;
      if (total < lastTotal) ++backwards;
      lastTotal = total;
      ++reads;
    }
  });
  const std::int32_t coins[] = {5, 10, 20, 50, 100, 200};
  std::int64_t inserted = 0;
  std::string error;
  std::uint64_t last = 0;
  for (int i = 0; i < 600; ++i) {
    last = server_->InsertCoin(coins[i % 6], 0, &error);
    inserted += coins[i % 6];
    if (i % 50 == 49) Apply(last);
  }
  Apply(last);
  done = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(broken.load(), 0);
  EXPECT_EQ(backwards.load(), 0);

  auto record = std::make_unique<QmxAcceptorDetails5>();
  ASSERT_EQ(qmx::ReadAcceptorDetails(library_, 0, record.get()), 1);
  std::int64_t total = 0;
  for (int c = 0; c < record->CoinCount; ++c)
    total += std::int64_t{record->Coins[c].Value} * record->Coins[c].Count;
  EXPECT_EQ(total, inserted);
  EXPECT_EQ(qmx::CurrentValue(library_), inserted);
}

TEST_F(ServedBlock, MessagesAndTheRawPort) {
  sim::BlockOptions options;
  options.level = 7;
  Serve(options);

  // A block addressed to destination 5: the unit answers with 5 and the data.
  const std::uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  qmx::WriteInterfaceBlock(library_, details_, 5, data, 8);
  unsigned char reply[316] = {};
  std::int32_t length = 0;
  ASSERT_TRUE(Eventually([&] {
    return (length = qmx::ReadInterfaceBlock(library_, details_, reply, sizeof reply)) != 0;
  }));
  ASSERT_EQ(length, 12);
  EXPECT_EQ(reply[0], 5);
  EXPECT_EQ(reply[4], 0x01);
  EXPECT_EQ(reply[11], 0x08);

  // Raw port: take the bus over (command 0), then the unit answers 1.
  QmxRawPortRequest request{};
  request.Command = 0;
  qmx::DoRawPort(library_, details_, &request);
  unsigned char raw[140] = {};
  ASSERT_TRUE(Eventually([&] { return qmx::RawPortResult(library_, details_, raw) != 0; }));
  EXPECT_EQ(qmx::RawPortResult(library_, details_, raw), 1);
  EXPECT_EQ(raw[0], 1);
}

// Payouts keep working when the totals pass 2^31 - 1: the target wraps as the
// unit's words do and the unit pays by the signed difference.
TEST_F(ServedBlock, PayoutsAcrossTheWrap) {
  sim::BlockOptions options;
  options.level = 7;
  options.payRate = 0;
  options.paidTotal = 0x7FFFFFFAu;
  Serve(options);
  EXPECT_EQ(qmx::CurrentPaid(library_), 0x7FFFFFFA);
  PayAndWait(100);
  EXPECT_EQ(SettledPayStatus(), QMX_PAY_COMPLETE);
  EXPECT_EQ(static_cast<std::uint32_t>(qmx::CurrentPaid(library_)), 0x8000005Eu);
  // Another host attaching starts no payout past the wrap either.
  qmx::LibraryState other{baseName_};
  ASSERT_EQ(other.OpenSpecificVODVersion(serial_.c_str(), QMX_VERSION_5), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(static_cast<std::uint32_t>(qmx::CurrentPaid(library_)), 0x8000005Eu);
  EXPECT_EQ(qmx::LastPayStatus(library_, money_), QMX_PAY_COMPLETE);
  other.Unload();
  PayAndWait(1000);
  EXPECT_EQ(SettledPayStatus(), QMX_PAY_COMPLETE);
  EXPECT_EQ(static_cast<std::uint32_t>(qmx::CurrentPaid(library_)), 0x80000446u);
}

// A host attaching between another host's PayOut and the unit's next look at the
// block must not take that payout back: it is paid in full, at every level.
TEST(ServedBlockSteps, APayoutBesideAnotherHostsAttachIsPaid) {
  for (const std::int32_t level : {4, 5, 7}) {
    const std::string baseName = UniqueBaseName(), serial = UniqueSerial();
    UnitMapping mapping(baseName + serial);
    sim::BlockOptions options;
    options.level = level;
    options.payRate = 0;
    options.payoutBase = 1000;
    sim::BlockServer server(mapping.data(), kBlockBytes, options, platform::SystemClock());
    server.Tick();
    qmx::LibraryState payer{baseName};
    qmx::MoneyState money;
    ASSERT_EQ(payer.OpenSpecificVODVersion(serial.c_str(), QMX_VERSION_5), 0) << level;
    for (int payout = 1; payout <= 3; ++payout) {
      qmx::PayOut(payer, money, 100);
      qmx::LibraryState other{baseName};
      ASSERT_EQ(other.OpenSpecificVODVersion(serial.c_str(), QMX_VERSION_5), 0);
      server.Tick();
      server.Tick();
      EXPECT_EQ(qmx::CurrentPaid(payer), 100 * payout) << "level " << level;
      EXPECT_EQ(qmx::LastPayStatus(payer, money), QMX_PAY_COMPLETE) << "level " << level;
      other.Unload();
    }
  }
}

// What hosts are told of a unit by the state of its firmware: one whose application
// failed its checksum (programming that ended unfinished) or that is still taking a
// firmware is "not ready" with no firmware named, never an open, healthy unit; one
// that runs (also with a self-test error) is served. Once it runs again, it opens.
TEST(ServedBlockSteps, OnlyAUnitWhoseApplicationRunsIsServed) {
  const struct {
    std::uint32_t unitStatus;
    bool programming;
    std::int32_t open;
  } cases[] = {
      {1, false, 0},
      {0x2C, false, 0},
      {sim::FirmwareInfo::kChecksumFailure, false, 21},
      {1, true, 21},
  };
  for (const auto& c : cases) {
    const std::string baseName = UniqueBaseName(), serial = UniqueSerial();
    UnitMapping mapping(baseName + serial);
    platform::VirtualClock clock;
    sim::FirmwareInfo running{0x04020001, "Mar  3 2026", "12:00:00", c.unitStatus, c.programming};
    sim::BlockOptions options;
    options.level = 7;
    options.firmware = [&running] { return running; };
    sim::BlockServer server(mapping.data(), kBlockBytes, options, clock);
    server.Tick();
    qmx::LibraryState host{baseName};
    EXPECT_EQ(host.OpenSpecificVODVersion(serial.c_str(), QMX_VERSION_5), c.open) << c.unitStatus;
    EXPECT_EQ(qmx::FirmwareVersion(host, nullptr, nullptr), c.open == 0 ? 0x04020001 : 0)
        << c.unitStatus;
    EXPECT_EQ(qmx::USBDriverStatus(host), c.open == 0 ? 0 : 1) << c.unitStatus;
    running.unitStatus = 1;
    running.programming = false;
    for (int i = 0; i < 100; ++i) {
      clock.Advance(2000);
      server.Tick();
    }
    EXPECT_EQ(host.OpenSpecificVODVersion(serial.c_str(), QMX_VERSION_5), 0) << c.unitStatus;
    // And a served unit whose application stops is taken down.
    running.unitStatus = sim::FirmwareInfo::kChecksumFailure;
    for (int i = 0; i < 100; ++i) {
      clock.Advance(2000);
      server.Tick();
    }
    EXPECT_EQ(host.OpenSpecificVODVersion(serial.c_str(), QMX_VERSION_5), 21) << c.unitStatus;
  }
}

// A host that gives up half-way through a ticket (it ended, say) leaves no half
// ticket to be printed ahead of the next host's: that one comes out whole, alone.
TEST(ServedBlockSteps, AnAbandonedTicketIsNotPrintedWithTheNext) {
  const std::string baseName = UniqueBaseName(), serial = UniqueSerial();
  UnitMapping mapping(baseName + serial);
  platform::VirtualClock clock;
  sim::BlockOptions options;
  options.level = 7;
  sim::BlockServer server(mapping.data(), kBlockBytes, options, clock);
  server.Tick();
  qmx::LibraryState first{baseName}, second{baseName};
  for (qmx::LibraryState* host : {&first, &second}) {
    host->Clock = &clock;
    ASSERT_EQ(host->OpenSpecificVODVersion(serial.c_str(), QMX_VERSION_5), 0);
  }
  const std::string long1(100, 'A');
  const QmxTicket abandoned{1, "111111111111111111", long1.c_str(), nullptr, nullptr, nullptr,
                            nullptr};
  ASSERT_NE(qmx::BarcodePrint(first, &abandoned), 0);
  for (int piece = 0; piece < 2; ++piece) {
    server.Tick();
    ASSERT_EQ(qmx::BarcodePrintStatus(first), QMX_PRINT_SENDING);
  }
  server.Tick();  // the third piece taken; the host never asks again

  const QmxTicket next{250, "123456789012345678", nullptr, nullptr, nullptr, nullptr, nullptr};
  ASSERT_NE(qmx::BarcodePrint(second, &next), 0);
  std::int32_t status = QMX_PRINT_SENDING;
  for (int round = 0; round < 20 && status == QMX_PRINT_SENDING; ++round) {
    server.Tick();
    status = qmx::BarcodePrintStatus(second);
  }
  EXPECT_NE(status, QMX_PRINT_SENDING);
  server.Tick();
  EXPECT_EQ(server.Status().ticketsPrinted, 1u);
  EXPECT_EQ(server.Status().lastTicket,
            "^C||^^P|250|1|||||12-3456-7890-1234-5678|12-3456-7890-1234-5678||||||"
            "123456789012345678|^");
}

// Counters, the meter, the E2Prom and the device key, barcode tickets from escrow to
// the stacker, and a printed ticket read back from the unit, as a host meets them.
TEST_F(ServedBlock, HousekeepingTicketsAndTheConsistencyCheck) {
  sim::BlockOptions options;
  options.level = 7;
  Serve(options);
  std::string error;

  qmx::CounterIncrement(library_, 3, 7);
  const char caption[12] = {'C', 'o', 'i', 'n', 's', ' ', 'i', 'n'};
  qmx::CounterCaption(library_, 3, caption);
  ASSERT_TRUE(Eventually([&] { return server_->Status().counters[2] == 7; }));
  EXPECT_EQ(server_->Status().captions[2], "Coins in");
  EXPECT_EQ(qmx::MeterStatus(library_), 1);
  EXPECT_EQ(qmx::MeterSerialNo(library_), 100001);

  std::uint8_t image[64] = {};
  image[0] = 0x5A;
  image[40] = 0xA5;
  const std::uint32_t writes = server_->Status().e2promRowWrites;
  qmx::E2PromWrite(library_, image, sizeof image);
  ASSERT_TRUE(Eventually([&] { return server_->Status().e2promRowWrites == writes + 2; }));
  EXPECT_EQ(server_->Status().e2prom[0], 0x5A);
  EXPECT_EQ(server_->Status().e2prom[40], 0xA5);
  EXPECT_EQ(qmx::SetDeviceKey(library_, 0x12345678), 4);
  EXPECT_EQ(server_->Status().deviceKey, 0x12345678u);
  EXPECT_EQ(qmx::E2PromReset(library_, 1), 2);

  // A ticket into escrow and on to the stacker; the next one handed back.
  qmx::BarcodeEnable(library_);
  ASSERT_TRUE(Eventually([&] { return server_->Status().barcodeEnabled == 1; }));
  Apply(server_->PresentBarcode("123456789012345678", &error));
  char text[QMX_BARCODE_TEXT + 1] = {};
  ASSERT_TRUE(Eventually([&] { return qmx::BarcodeInEscrow(library_, text) == 1; }));
  EXPECT_STREQ(text, "123456789012345678");
  qmx::BarcodeAccept(library_);
  ASSERT_TRUE(Eventually([&] { return qmx::BarcodeStacked(library_, text) == 1; }));
  EXPECT_STREQ(text, "123456789012345678");
  Apply(server_->PresentBarcode("999999999999999999", &error));
  ASSERT_TRUE(Eventually([&] { return qmx::BarcodeInEscrow(library_, nullptr) == 1; }));
  qmx::BarcodeReturn(library_);
  EXPECT_EQ(qmx::BarcodeInEscrow(library_, nullptr), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(qmx::BarcodeStacked(library_, text), 1);

  // The 89-character ticket, followed through BarcodePrintStatus to its end.
  const QmxTicket ticket{250, "123456789012345678", nullptr, nullptr, nullptr, nullptr, nullptr};
  ASSERT_NE(qmx::BarcodePrint(library_, &ticket), 0);
  ASSERT_TRUE(Eventually([&] { return qmx::BarcodePrintStatus(library_) != QMX_PRINT_SENDING; }));
  ASSERT_TRUE(Eventually([&] { return server_->Status().ticketsPrinted == 1; }));
  EXPECT_EQ(server_->Status().lastTicket,
            "^C||^^P|250|1|||||12-3456-7890-1234-5678|12-3456-7890-1234-5678||||||"
            "123456789012345678|^");
  Apply(server_->SetPrinterBusy(true));
  ASSERT_TRUE(Eventually([&] { return (qmx::BarcodePrintStatus(library_) & 1) == 0; }));
  EXPECT_EQ(qmx::BarcodePrint(library_, &ticket), 0);

  // Coins as the unit counts them are always consistent.
  EXPECT_EQ(qmx::ZELTIConsistencyError(library_, 1, 1), nullptr);
  for (int i = 0; i < 5; ++i) {
    Apply(server_->InsertCoin(50, -1, &error));
    Apply(server_->InsertNote(1000, &error));
    EXPECT_EQ(qmx::ZELTIConsistencyError(library_, 1, 1), nullptr);
  }
}

// The unit dies between its two counts: every read ends, answering as closed.
TEST_F(ServedBlock, AUnitThatDiesMidUpdate) {
  sim::BlockOptions options;
  options.level = 7;
  Serve(options);
  std::string error;
  Apply(server_->InsertCoin(100, -1, &error));
  ASSERT_EQ(qmx::CurrentValue(library_), 100);
  Apply(server_->StopServingMidUpdate());

  const auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(qmx::CurrentValue(library_), 0);
  EXPECT_EQ(qmx::LastPayStatus(library_, money_), QMX_PAY_NOT_OPEN);
  auto record = std::make_unique<QmxAcceptorDetails5>();
  EXPECT_EQ(qmx::ReadAcceptorDetails(library_, 0, record.get()), 0);
  const std::int32_t paidTarget = static_cast<std::int32_t>(mapping_->Command(kPayoutTarget));
  qmx::PayOut(library_, money_, 10);  // nothing is asked of a unit that cannot answer
  EXPECT_EQ(static_cast<std::int32_t>(mapping_->Command(kPayoutTarget)), paidTarget);
  // Bounded reads, not a hang: generous for a sanitizer build on a busy machine.
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(30));
}

}  // namespace
