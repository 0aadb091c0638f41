// The simulated unit as an FTDI device: receive queue and split reads, short writes,
// idle fill, open and close rules, reset, unplugging, injected faults, EEPROM strings,
// USB frames.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

#include "tests/sim/sim_test_support.h"

namespace {

using namespace sim_test;

sim::UnitOptions Filling() {
  sim::UnitOptions o;
  o.idleFill = true;
  return o;
}

// An erased unit: no application, no kernel, checksum failure.
std::vector<Record> ErasedUnitBurst() {
  return {Reply(100, 1), Reply(109, 0), Reply(102, 0x200), Reply(111, 0xFFFFFFFF), Reply(101, 0)};
}

TEST(ReceiveQueueTest, SplitReadsFormWholeRecords) {
  Host host;
  host.Send(EnquiryBurst());
  host.AdvanceMs(1);
  std::uint32_t waiting = 0;
  ASSERT_EQ(host.unit.QueueStatus(&waiting), d2xx::kOk);
  ASSERT_EQ(waiting, 30u);

  std::vector<Record> records;
  std::uint8_t buffer[64];
  std::uint32_t got = 0;
  for (std::uint32_t ask : {4u, 2u, 1u, 7u, 64u}) {
    ASSERT_EQ(host.unit.Read(buffer, ask, &got), d2xx::kOk);
    EXPECT_LE(got, ask);
    const auto more = host.Take(Bytes(buffer, buffer + got));
    records.insert(records.end(), more.begin(), more.end());
  }
  EXPECT_EQ(got, 16u) << "the last read returns only what waits";
  EXPECT_EQ(records, ErasedUnitBurst());
  ASSERT_EQ(host.unit.Read(buffer, 8, &got), d2xx::kOk);
  EXPECT_EQ(got, 0u);
}

TEST(ReceiveQueueTest, ShortWritesTakeOnlyPartAndRecordsSpanWrites) {
  Host host;
  host.unit.SetShortWrites(5);
  const Bytes burst = EnquiryBurst();
  std::uint32_t written = 0;
  ASSERT_EQ(host.unit.Write(burst.data(), static_cast<std::uint32_t>(burst.size()), &written),
            d2xx::kOk);
  EXPECT_EQ(written, 5u);
  host.Send(Bytes(burst.begin() + 5, burst.end()));  // in pieces of 5
  host.unit.SetShortWrites(0);
  host.AdvanceMs(1);
  EXPECT_EQ(host.Receive(), ErasedUnitBurst());

  const Bytes enquiry = Command(101);
  ASSERT_EQ(host.unit.Write(enquiry.data(), 6, &written), d2xx::kOk);
  EXPECT_EQ(written, 6u);
}

TEST(ReceiveQueueTest, ResetLosesNeitherQueuedAnswersNorAHalfRecord) {
  Host host;
  host.Send(Command(100));
  host.AdvanceMs(1);
  const Bytes half = Command(101);
  host.Send(Bytes(half.begin(), half.begin() + 3));
  ASSERT_EQ(host.unit.Reset(), d2xx::kOk);
  std::uint32_t waiting = 0;
  ASSERT_EQ(host.unit.QueueStatus(&waiting), d2xx::kOk);
  EXPECT_EQ(waiting, 6u) << "the answer waiting before the reset is still there";
  // The rest of the half record completes it.
  host.Send(Bytes(half.begin() + 3, half.end()));
  host.AdvanceMs(1);
  EXPECT_EQ(host.Receive(), (std::vector<Record>{Reply(100, 1), Reply(101, 0)}));
}

// --- Idle fill -----------------------------------------------------------------------

TEST(IdleFillTest, PacedAndBounded) {
  Host host(Filling());
  std::uint32_t waiting = 0;
  ASSERT_EQ(host.unit.QueueStatus(&waiting), d2xx::kOk);
  EXPECT_EQ(waiting, 6u);
  host.AdvanceMs(49);
  ASSERT_EQ(host.unit.QueueStatus(&waiting), d2xx::kOk);
  EXPECT_EQ(waiting, 6u) << "fill is paced at 50 ms";
  host.AdvanceMs(1);
  ASSERT_EQ(host.unit.QueueStatus(&waiting), d2xx::kOk);
  EXPECT_EQ(waiting, 12u);
  for (int i = 0; i < 1000; ++i) {
    host.AdvanceMs(50);
    ASSERT_EQ(host.unit.QueueStatus(&waiting), d2xx::kOk);
  }
  EXPECT_LE(waiting, 4096u);
  EXPECT_GT(waiting, 4096u - 12);
  const Bytes bytes = host.ReadWaiting();
  EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; }));
}

TEST(IdleFillTest, NoneUnlessAskedFor) {
  Host host;
  for (int i = 0; i < 5; ++i) {
    host.AdvanceMs(100);
    EXPECT_TRUE(host.ReadWaiting().empty());
  }
}

// Enquiries at odd times, reads of odd sizes: every answer arrives whole and in order,
// and fill only ever stands between records (the loader's rule recovers exactly the
// answers, with no byte left over).
TEST(IdleFillTest, NeverInsideARecord) {
  Host host(Filling());  // erased: the answers -1 and 0x200 carry 0xFF and 0x00 bytes
  std::vector<Record> expected;
  std::vector<Record> received;
  std::uint8_t buffer[16];
  for (int round = 0; round < 120; ++round) {
    if (round % 8 == 0) {
      host.Send(EnquiryBurst());
      const std::vector<Record> answers = ErasedUnitBurst();
      expected.insert(expected.end(), answers.begin(), answers.end());
    }
    host.AdvanceMs(7 + round % 50);
    std::uint32_t waiting = 0;
    ASSERT_EQ(host.unit.QueueStatus(&waiting), d2xx::kOk);
    std::uint32_t got = 0;
    const std::uint32_t ask = 1 + static_cast<std::uint32_t>(round % 13);
    ASSERT_EQ(host.unit.Read(buffer, ask, &got), d2xx::kOk);
    const auto more = host.Take(Bytes(buffer, buffer + got));
    received.insert(received.end(), more.begin(), more.end());
  }
  host.AdvanceMs(10);
  const auto rest = host.Receive();
  received.insert(received.end(), rest.begin(), rest.end());
  EXPECT_GE(host.fillBytes, 60u);
  EXPECT_FALSE(host.PartialRecord());
  EXPECT_EQ(received, expected);
}

TEST(IdleFillTest, SilentDuringRestart) {
  sim::UnitOptions options = Filling();
  options.restartMs = 300;
  Host host(options);
  host.Send(Command(201));
  host.Send(Command(203));
  host.ReadWaiting();
  for (int i = 0; i < 5; ++i) {
    host.AdvanceMs(50);
    EXPECT_TRUE(host.ReadWaiting().empty()) << i;
  }
  host.AdvanceMs(100);
  EXPECT_FALSE(host.ReadWaiting().empty());
}

// --- Open, close, unplug -------------------------------------------------------------

TEST(HandleTest, OpenAndCloseRules) {
  Host host({}, false);
  std::uint32_t waiting = 0;
  EXPECT_EQ(host.unit.Close(), d2xx::kInvalidHandle);
  EXPECT_EQ(host.unit.QueueStatus(&waiting), d2xx::kInvalidHandle);
  EXPECT_EQ(host.unit.Open(), d2xx::kOk);
  EXPECT_EQ(host.unit.Open(), d2xx::kDeviceNotOpened);
  EXPECT_TRUE(host.unit.Status().open);
  EXPECT_EQ(host.unit.Close(), d2xx::kOk);
  EXPECT_EQ(host.unit.Close(), d2xx::kInvalidHandle);
  EXPECT_FALSE(host.unit.Status().open);
}

TEST(HandleTest, TimedUnplugKillsTheHandleUntilReopened) {
  Host host;
  host.Send(Command(100));  // answer due in 1 ms, while unplugged
  host.unit.Unplug(200);
  std::uint32_t n = 0;
  std::uint8_t buffer[8] = {};
  EXPECT_EQ(host.unit.QueueStatus(&n), d2xx::kIoError);
  EXPECT_EQ(host.unit.Read(buffer, 8, &n), d2xx::kIoError);
  EXPECT_EQ(host.unit.Write(buffer, 6, &n), d2xx::kIoError);
  EXPECT_EQ(host.unit.Reset(), d2xx::kIoError);
  EXPECT_EQ(host.unit.Open(), d2xx::kDeviceNotFound);
  EXPECT_FALSE(host.unit.Status().plugged);

  host.AdvanceMs(199);
  EXPECT_EQ(host.unit.Open(), d2xx::kDeviceNotFound);
  host.AdvanceMs(1);
  EXPECT_TRUE(host.unit.Status().plugged);
  EXPECT_EQ(host.unit.QueueStatus(&n), d2xx::kIoError) << "the old handle stays dead";
  EXPECT_EQ(host.unit.Open(), d2xx::kDeviceNotOpened);
  EXPECT_EQ(host.unit.Close(), d2xx::kOk);
  EXPECT_EQ(host.unit.Open(), d2xx::kOk);
  EXPECT_TRUE(host.Receive().empty()) << "what the unit sent while unplugged is lost";
  host.Send(Command(100));
  host.AdvanceMs(1);
  EXPECT_EQ(host.Receive(), std::vector<Record>{Reply(100, 1)});
}

TEST(HandleTest, UnplugUntilReplug) {
  Host host;
  host.unit.Unplug(0);
  host.AdvanceMs(60'000);
  EXPECT_EQ(host.unit.Open(), d2xx::kDeviceNotFound);
  EXPECT_EQ(host.unit.Close(), d2xx::kOk);  // the library lets go of a vanished device
  host.unit.Replug();
  EXPECT_EQ(host.unit.Open(), d2xx::kOk);
  host.Send(Command(100));
  host.AdvanceMs(1);
  EXPECT_EQ(host.Receive(), std::vector<Record>{Reply(100, 1)});
}

// --- Injected faults -----------------------------------------------------------------

struct FaultCase {
  const char* name;
  sim::Call call;
  std::function<d2xx::Status(Host&)> invoke;  // one call of that kind, normally kOk
};

d2xx::Status CallRead(Host& h) {
  std::uint8_t b[8];
  std::uint32_t n;
  return h.unit.Read(b, sizeof b, &n);
}
d2xx::Status CallWrite(Host& h) {
  const Bytes filler = Filler();
  std::uint32_t n;
  return h.unit.Write(filler.data(), 6, &n);
}

class FaultTest : public ::testing::TestWithParam<FaultCase> {};

constexpr d2xx::Status kInjected = 0x77;

TEST_P(FaultTest, NthCallFailsOnce) {
  Host host;
  host.unit.InjectFault({GetParam().call, 2, false, kInjected});
  EXPECT_EQ(GetParam().invoke(host), d2xx::kOk);
  EXPECT_EQ(GetParam().invoke(host), kInjected);
  EXPECT_EQ(GetParam().invoke(host), d2xx::kOk);
  EXPECT_EQ(GetParam().invoke(host), d2xx::kOk);
}

TEST_P(FaultTest, PersistentFailsFromTheNthOn) {
  Host host;
  host.unit.InjectFault({GetParam().call, 2, true, kInjected});
  EXPECT_EQ(GetParam().invoke(host), d2xx::kOk);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(GetParam().invoke(host), kInjected) << i;
  host.unit.ClearFaults();
  GetParam().invoke(host);  // a close or open left half done by the fault settles here
  EXPECT_EQ(GetParam().invoke(host), d2xx::kOk);
}

INSTANTIATE_TEST_SUITE_P(Calls, FaultTest,
                         ::testing::Values(FaultCase{"Open", sim::Call::Open,
                                                     [](Host& h) {
                                                       h.unit.Close();
                                                       return h.unit.Open();
                                                     }},
                                           FaultCase{"Close", sim::Call::Close,
                                                     [](Host& h) {
                                                       h.unit.Open();
                                                       return h.unit.Close();
                                                     }},
                                           FaultCase{"Read", sim::Call::Read, CallRead},
                                           FaultCase{"Write", sim::Call::Write, CallWrite},
                                           FaultCase{"Reset", sim::Call::Reset,
                                                     [](Host& h) { return h.unit.Reset(); }},
                                           FaultCase{"QueueStatus", sim::Call::QueueStatus,
                                                     [](Host& h) {
                                                       std::uint32_t n;
                                                       return h.unit.QueueStatus(&n);
                                                     }},
                                           FaultCase{"GetStatus", sim::Call::GetStatus,
                                                     [](Host& h) {
                                                       std::uint32_t a, b, c;
                                                       return h.unit.GetStatus(&a, &b, &c);
                                                     }},
                                           FaultCase{"Latency", sim::Call::Latency,
                                                     [](Host& h) { return h.unit.SetLatency(1); }},
                                           FaultCase{"EeRead", sim::Call::EeRead,
                                                     [](Host& h) {
                                                       d2xx::ProgramData data;
                                                       return h.unit.EeRead(&data);
                                                     }}),
                         sim_test::ByName());

TEST(FaultEffectTest, FailedCallsDoNothing) {
  Host host;
  host.Send(Command(100));
  host.AdvanceMs(1);
  host.unit.InjectFault({sim::Call::Read, 1, false, d2xx::kIoError});
  std::uint8_t buffer[6];
  std::uint32_t got = 99;
  EXPECT_EQ(host.unit.Read(buffer, 6, &got), d2xx::kIoError);
  EXPECT_EQ(host.Receive(), std::vector<Record>{Reply(100, 1)}) << "a failed read consumes nothing";

  host.unit.InjectFault({sim::Call::Write, 1, false, d2xx::kIoError});
  const Bytes enquiry = Command(101);
  std::uint32_t written = 0;
  EXPECT_EQ(host.unit.Write(enquiry.data(), 6, &written), d2xx::kIoError);
  host.AdvanceMs(5);
  EXPECT_TRUE(host.Receive().empty()) << "a failed write reaches nothing";

  host.unit.InjectFault({sim::Call::Close, 1, false, d2xx::kIoError});
  EXPECT_EQ(host.unit.Close(), d2xx::kIoError);
  EXPECT_TRUE(host.unit.Status().open);
}

TEST(FaultEffectTest, FaultsOfOtherKindsDoNotCount) {
  Host host;
  host.unit.InjectFault({sim::Call::Read, 2, false, kInjected});
  std::uint32_t n = 0;
  for (int i = 0; i < 5; ++i) EXPECT_EQ(host.unit.QueueStatus(&n), d2xx::kOk);
  EXPECT_EQ(CallRead(host), d2xx::kOk);
  EXPECT_EQ(CallRead(host), kInjected);
}

// --- EEPROM --------------------------------------------------------------------------

TEST(EepromTest, StringsCopiedWithinTheirBuffers) {
  sim::UnitOptions options;
  options.serial = "TV12345678901234567890";  // longer than its 16-byte buffer
  options.description = "Tarvex USB";
  options.manufacturer = std::string(40, 'M');
  options.manufacturerId = "TV";
  options.vendorId = 0x0403;
  options.productId = 0xDE50;
  Host host(options);

  constexpr std::size_t kGuard = 8;
  char manufacturer[32 + kGuard], manufacturerId[16 + kGuard], description[64 + kGuard],
      serial[16 + kGuard];
  std::memset(manufacturer, '#', sizeof manufacturer);
  std::memset(manufacturerId, '#', sizeof manufacturerId);
  std::memset(description, '#', sizeof description);
  std::memset(serial, '#', sizeof serial);
  d2xx::ProgramData data;
  data.Manufacturer = manufacturer;
  data.ManufacturerId = manufacturerId;
  data.Description = description;
  data.SerialNumber = serial;
  ASSERT_EQ(host.unit.EeRead(&data), d2xx::kOk);
  EXPECT_EQ(data.VendorId, 0x0403);
  EXPECT_EQ(data.ProductId, 0xDE50);
  EXPECT_STREQ(serial, "TV1234567890123");
  EXPECT_EQ(std::string(manufacturer), std::string(31, 'M'));
  EXPECT_STREQ(manufacturerId, "TV");
  EXPECT_STREQ(description, "Tarvex USB");
  EXPECT_EQ(std::string(serial + 16, kGuard), std::string(kGuard, '#'));
  EXPECT_EQ(std::string(manufacturer + 32, kGuard), std::string(kGuard, '#'));

  d2xx::ProgramData partial;
  char onlySerial[16];
  partial.SerialNumber = onlySerial;
  ASSERT_EQ(host.unit.EeRead(&partial), d2xx::kOk);
  EXPECT_STREQ(onlySerial, "TV1234567890123");
  EXPECT_EQ(partial.Description, nullptr);
}

// --- Threads -------------------------------------------------------------------------

// The virtual library's server thread and a control thread use the unit at once.
TEST(ThreadTest, StatusAndFaultsWhileTheLinkRuns) {
  Host host;
  std::atomic<bool> done{false};
  std::thread control([&] {
    while (!done) {
      (void)host.unit.Status();
      host.unit.ClearFaults();
    }
  });
  std::size_t answers = 0;
  for (int i = 0; i < 300; ++i) {
    host.Send(EnquiryBurst());
    host.AdvanceMs(1);
    answers += host.Receive().size();
  }
  done = true;
  control.join();
  EXPECT_EQ(answers, 1500u);
  EXPECT_FALSE(host.PartialRecord());
}

// USB frames of 2 ms (boundaries on even milliseconds of the clock): an enquiry
// written at 0.3 ms reaches the unit at 2 ms (a write on a boundary, at 4 ms, at 6);
// its answer, due 1 ms later, mid-frame, is readable from the next boundary only.
TEST(UsbFrameTest, WritesReachTheUnitAndAnswersTheHostOnFrameBoundaries) {
  sim::UnitOptions options;
  options.usbFrameMs = 2;
  Host host(options);
  struct Step {
    std::int64_t atUs;  // from a boundary
    bool write;
    std::uint32_t receive, transmit;  // the queues GetStatus reports then
  };
  const Step steps[] = {
      {300, true, 0, 6},   {1999, false, 0, 6}, {2000, false, 0, 0},
      {3999, false, 0, 0}, {4000, true, 6, 6},  {5999, false, 6, 6},
      {6000, false, 6, 0}, {7999, false, 6, 0}, {8000, false, 12, 0},
  };
  const std::int64_t start = host.clock.Counter();
  ASSERT_EQ(start % 2000, 0);
  for (const Step& step : steps) {
    host.clock.Advance(start + step.atUs - host.clock.Counter());
    if (step.write) host.Send(Command(100));
    std::uint32_t receive = 0, transmit = 0, events = 0;
    ASSERT_EQ(host.unit.GetStatus(&receive, &transmit, &events), d2xx::kOk);
    EXPECT_EQ(receive, step.receive) << "at " << step.atUs << " us";
    EXPECT_EQ(transmit, step.transmit) << "at " << step.atUs << " us";
  }
  EXPECT_EQ(host.Receive(), (std::vector<Record>{Reply(100, 1), Reply(100, 1)}));
}

}  // namespace
