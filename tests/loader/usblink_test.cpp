// The USB link against a scripted D2XX library: finding and opening the unit,
// queueing and flushing records, polling and record assembly, and the recovery
// ladder, each with the trace lines it must produce. A virtual clock makes the
// ladder's waits instant.
#include "loader/usblink.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "loader/startup.h"
#include "platform/clock.h"
#include "tests/loader/fake_d2xx.h"

namespace loader {
namespace {

using fake_d2xx::Call;
using fake_d2xx::Device;
using fake_d2xx::FakeLibrary;
using fake_d2xx::Fault;
using fake_d2xx::RecordBytes;
using Lines = std::vector<std::string>;
using Bytes = std::vector<std::uint8_t>;
namespace d2xx = platform::d2xx;

Device Unit(const std::string& serial) {
  Device device;
  device.serial = serial;
  return device;
}

Lines OkLines(int index, const std::string& serial, const char* ids = "0x0403 0xde50") {
  return {"Unit " + std::to_string(index) + " OK, ID: " + ids, "  Description: Tarvex USB",
          " Manufacturer: Tarvex (TV)", "    Serial No: " + serial};
}

Lines Join(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes Repeat(std::uint8_t byte, std::size_t count) {
  return Bytes(count, byte);
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// A card-reported field's value, whether the field is atomic or plain.
template <typename Field>
std::int32_t Value(const Field& field) {
  return static_cast<std::int32_t>(field);
}

// EnquiryReply code for an enquiry number: kind 0xE000, index in bits 12..2.
std::uint16_t ReplyCode(unsigned enquiry) {
  return static_cast<std::uint16_t>(0xE000 | (enquiry << 2));
}

class LinkTest : public ::testing::Test {
 protected:
  LinkTest() {
    link.SetApi(FakeLibrary::Api());
    link.SetTraceTap(traces.Tap());
  }

  // One unit at index 0, opened; traces and calls so far forgotten.
  void OpenOneUnit() {
    library.AddDevice(Unit("TV000001"));
    ASSERT_TRUE(link.OpenFirstUnit());
    traces.Clear();
    library.ClearLog();
  }

  FakeLibrary library;
  platform::VirtualClock clock;
  LoaderState state{{.Clock = &clock}};
  UsbLink& link = state.Link;
  fake_d2xx::TraceLog traces;
};

const Lines kResetFixes = {"FTDI Chip recovery", "Recovery: Reset Device 0/0", "Recovery: Fixed!"};

// ------------------------------------------------------------------ opening

TEST_F(LinkTest, NoDeviceAtAllTracesValdrenNotFound) {
  EXPECT_FALSE(link.OpenFirstUnit());
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(traces.Lines(), Lines{"Valdren not found"});
  EXPECT_EQ(state.LastMessage(), "Valdren not found");
  EXPECT_EQ(link.LastStatus, 2);
  EXPECT_EQ(library.Log(), Lines{"Open(0)"});
}

TEST_F(LinkTest, FoundUnitGetsLatencyOneAndFourLinesAndZeroStatus) {
  Device unit = Unit("TV123");
  unit.description = std::string(63, 'd');  // the longest each buffer holds whole
  unit.manufacturer = std::string(31, 'm');
  unit.manufacturerId = std::string(15, 'i');
  library.AddDevice(unit);

  EXPECT_TRUE(link.OpenFirstUnit());
  EXPECT_TRUE(link.IsOpen());
  EXPECT_EQ(traces.Lines(),
            (Lines{"Unit 0 OK, ID: 0x0403 0xde50", "  Description: " + std::string(63, 'd'),
                   " Manufacturer: " + std::string(31, 'm') + " (" + std::string(15, 'i') + ")",
                   "    Serial No: TV123"}));
  EXPECT_EQ(library.LatencySet(), std::vector<std::uint8_t>{1});
  EXPECT_EQ(link.LastStatus, 0);
  EXPECT_EQ(library.Log(), (Lines{"Open(0)", "EeRead(1)", "Latency(1,1)"}));

  // The record handed to the EEPROM read: signature words and the four buffers.
  // Prepared anew for every read.
  EXPECT_TRUE(link.OpenFirstUnit());
  const auto requests = library.EeRequests();
  ASSERT_EQ(requests.size(), 2u);
  for (const auto& request : requests) {
    EXPECT_EQ(request.signature1, 0x00000000u);
    EXPECT_EQ(request.signature2, 0xFFFFFFFFu);
    EXPECT_TRUE(request.stringsGiven);
  }
}

TEST_F(LinkTest, VendorIdIsShownButNeverTested) {
  Device unit = Unit("TV000001");
  unit.vendorId = 0x1234;
  library.AddDevice(unit);
  EXPECT_TRUE(link.OpenFirstUnit());
  EXPECT_EQ(traces.Lines(), OkLines(0, "TV000001", "0x1234 0xde50"));
}

TEST_F(LinkTest, TwoUnitsTheLowerIndexIsOpened) {
  library.AddDevice(Unit("TV000001"));
  library.AddDevice(Unit("TV000002"));
  EXPECT_TRUE(link.OpenFirstUnit());
  EXPECT_EQ(library.OpenIndex(), 0);
  EXPECT_EQ(library.LogOf({"Open"}), Lines{"Open(0)"});
  EXPECT_EQ(traces.Lines(), OkLines(0, "TV000001"));
}

// Index 0 fails to open, index 1 is the unit: which failures are traced.
TEST_F(LinkTest, OpenFailuresAreTracedExceptStatusOneWhileLookingForASerial) {
  struct Case {
    d2xx::Status status;
    const char* wanted;  // "" = the first unit
    Lines expected;
  };
  const Case cases[] = {
      {1, "", Join({{"Device 0 Open failed 1"}, OkLines(1, "TV000002")})},
      {1, "TV000002", OkLines(1, "TV000002")},
      {3, "", Join({{"Device 0 Open failed 3"}, OkLines(1, "TV000002")})},
      {3, "TV000002", Join({{"Device 0 Open failed 3"}, OkLines(1, "TV000002")})},
      {4, "", Join({{"Device 0 Open failed 4"}, OkLines(1, "TV000002")})},
      {0x12345, "", Join({{"Device 0 Open failed 74565"}, OkLines(1, "TV000002")})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("status " + std::to_string(c.status) + " wanted <" + c.wanted + ">");
    FakeLibrary scan;  // replaces the test's library for this case
    Device busy = Unit("TV000001");
    busy.openStatus = c.status;
    scan.AddDevice(busy);
    scan.AddDevice(Unit("TV000002"));
    traces.Clear();
    link.CloseUnit();
    traces.Clear();

    const bool opened =
        c.wanted[0] != '\0' ? link.OpenUnitBySerial(c.wanted) : link.OpenFirstUnit();
    EXPECT_TRUE(opened);
    EXPECT_EQ(scan.OpenIndex(), 1);
    EXPECT_EQ(traces.Lines(), c.expected);
    link.CloseUnit();
  }
}

TEST_F(LinkTest, EepromReadFailureClosesTheDeviceAndGoesOn) {
  Device broken = Unit("TV000001");
  broken.eeStatus = 4;
  library.AddDevice(broken);
  library.AddDevice(Unit("TV000002"));

  EXPECT_TRUE(link.OpenFirstUnit());
  EXPECT_EQ(traces.Lines(), Join({{"Failed to read EEPROM 4!"}, OkLines(1, "TV000002")}));
  EXPECT_EQ(library.Log(),
            (Lines{"Open(0)", "EeRead(1)", "Close(1)", "Open(1)", "EeRead(2)", "Latency(2,1)"}));
  EXPECT_EQ(link.LastStatus, 0);
}

TEST_F(LinkTest, OtherProductIsIdentifiedClosedAndSkipped) {
  Device other = Unit("FT123456");
  other.productId = 0x6001;
  library.AddDevice(other);
  library.AddDevice(Unit("TV000002"));

  EXPECT_TRUE(link.OpenFirstUnit());
  EXPECT_EQ(traces.Lines(),
            Join({{"Unit 0 Not Valdren, ID: 0x0403 0x6001", ""}, OkLines(1, "TV000002")}));
  EXPECT_EQ(library.Log(),
            (Lines{"Open(0)", "EeRead(1)", "Close(1)", "Open(1)", "EeRead(2)", "Latency(2,1)"}));
}

TEST_F(LinkTest, WantedSerialMustMatchExactlyIncludingCase) {
  library.AddDevice(Unit("tv000002"));
  library.AddDevice(Unit("TV000002X"));
  library.AddDevice(Unit("TV000002"));

  EXPECT_TRUE(link.OpenUnitBySerial("TV000002"));
  EXPECT_EQ(library.OpenIndex(), 2);
  EXPECT_EQ(
      traces.Lines(),
      Join({{"Serial number <tv000002> not <TV000002>", "Serial number <TV000002X> not <TV000002>"},
            OkLines(2, "TV000002")}));
  EXPECT_EQ(library.LogOf({"Close"}), (Lines{"Close(1)", "Close(2)"}));
}

TEST_F(LinkTest, WantedSerialNotPresentEndsWithNotFound) {
  library.AddDevice(Unit("TV000001"));
  EXPECT_FALSE(link.OpenUnitBySerial("TV999999"));
  EXPECT_EQ(traces.Lines(),
            (Lines{"Serial number <TV000001> not <TV999999>", "Valdren not found"}));
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(library.OpenIndex(), -1);
}

TEST_F(LinkTest, OpenFirstUnitClearsTheWantedSerial) {
  library.AddDevice(Unit("TV000001"));
  EXPECT_FALSE(link.OpenUnitBySerial("TV999999"));
  EXPECT_STREQ(link.WantedSerial, "TV999999");
  EXPECT_TRUE(link.OpenFirstUnit());
  for (char c : link.WantedSerial) EXPECT_EQ(c, '\0');
}

TEST_F(LinkTest, ASerialTooLongForTheFieldIsRefusedWithoutAScan) {
  EXPECT_FALSE(link.OpenUnitBySerial("TV0000000001"));  // 12 characters
  EXPECT_EQ(traces.Lines(),
            Lines{"Serial number <TV0000000001> is too long: a serial number has at most 11 "
                  "characters"});
  EXPECT_EQ(library.Calls(Call::Open), 0);

  library.AddDevice(Unit("TV000000001"));  // 11 characters fit
  EXPECT_TRUE(link.OpenUnitBySerial("TV000000001"));
}

TEST_F(LinkTest, UnterminatedEepromStringsAreCutInsideTheirBuffers) {
  library.AddDevice(Unit("ABCDEFGHIJKLMNOP"));  // 16 characters: no room for the zero
  EXPECT_TRUE(link.OpenFirstUnit());
  EXPECT_EQ(traces.Lines().back(), "    Serial No: ABCDEFGHIJKLMNO");
}

TEST_F(LinkTest, OpeningAgainClosesTheOpenUnitFirst) {
  OpenOneUnit();
  EXPECT_TRUE(link.OpenFirstUnit());
  EXPECT_EQ(traces.Lines(), Join({{"Device Closed"}, OkLines(0, "TV000001")}));
  EXPECT_EQ(library.LogOf({"Close", "Open"}), (Lines{"Close(1)", "Open(0)"}));
}

TEST_F(LinkTest, ScanOfALibraryThatNeverReportsTheEndStopsAt64Indexes) {
  library.SetOpenBeyondDevices(3);
  EXPECT_FALSE(link.OpenFirstUnit());
  EXPECT_EQ(library.Calls(Call::Open), kMaxDeviceIndexes);
  const Lines lines = traces.Lines();
  ASSERT_EQ(lines.size(), 65u);
  EXPECT_EQ(lines[0], "Device 0 Open failed 3");
  EXPECT_EQ(lines[63], "Device 63 Open failed 3");
  EXPECT_EQ(lines[64], "Valdren not found");
}

// ------------------------------------------------------------------ closing

TEST_F(LinkTest, CloseUnitClosesRecordsTracesAndForgets) {
  OpenOneUnit();
  link.CloseUnit();
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(library.Log(), Lines{"Close(1)"});
  EXPECT_EQ(link.LastStatus, 0);
  EXPECT_EQ(traces.Lines(), Lines{"Device Closed"});
  EXPECT_EQ(state.LastMessage(), "Device Closed");
}

TEST_F(LinkTest, CloseUnitWithoutAUnitStillCallsCloseAndTraces) {
  link.CloseUnit();
  EXPECT_EQ(library.Log(), Lines{"Close(0)"});
  EXPECT_EQ(link.LastStatus, 1);  // the library's answer for a handle that is not open
  EXPECT_EQ(traces.Lines(), Lines{"Device Closed"});
}

TEST_F(LinkTest, CloseUnitRecordsAFailedClose) {
  OpenOneUnit();
  library.Inject({Call::Close, 1, 1, 4});
  link.CloseUnit();
  EXPECT_EQ(link.LastStatus, 4);
  EXPECT_FALSE(link.IsOpen());
}

TEST(UsbLinkWithoutLibrary, NothingOpensAndEveryOperationFailsCleanly) {
  platform::VirtualClock clock;
  LoaderState state{{.Clock = &clock}};
  fake_d2xx::TraceLog traces;
  state.Link.SetTraceTap(traces.Tap());

  EXPECT_FALSE(state.Link.OpenFirstUnit());
  state.Link.LastStatus = 77;
  state.Link.CloseUnit();
  EXPECT_EQ(state.Link.LastStatus, 77);  // nothing was called
  state.Link.QueueRecord(0xE003, 100);
  EXPECT_FALSE(state.Link.FlushRecords());
  EXPECT_EQ(state.Link.OutLength, 6);
  EXPECT_FALSE(state.Link.PollUnit());
  EXPECT_EQ(traces.Lines(),
            (Lines{"Valdren not found", "Device Closed", "Get Queue Status failed 1!", "USB Closed",
                   "Get Queue Status failed 1!", "USB Closed"}));
}

// ------------------------------------------------------------------ queueing and flushing

TEST_F(LinkTest, QueueRecordAppendsCodeAndValueLittleEndian) {
  link.QueueRecord(0x1234, 0x89ABCDEF);
  link.QueueRecord(0xE003, 201);
  ASSERT_EQ(link.OutLength, 12);
  const Bytes expected = {0x34, 0x12, 0xEF, 0xCD, 0xAB, 0x89, 0x03, 0xE0, 0xC9, 0x00, 0x00, 0x00};
  EXPECT_EQ(Bytes(link.OutBuffer, link.OutBuffer + 12), expected);
  EXPECT_EQ(library.Calls(Call::Write), 0);
}

TEST_F(LinkTest, The2049thRecordOverflowsTheBufferAndFlushesAllOfIt) {
  OpenOneUnit();
  Bytes expected;
  for (std::uint32_t i = 0; i < 2048; ++i) {
    link.QueueRecord(static_cast<std::uint16_t>(i), i * 0x01010101u);
    fake_d2xx::Append(expected, RecordBytes(static_cast<std::uint16_t>(i), i * 0x01010101u));
  }
  EXPECT_EQ(link.OutLength, 12288);
  EXPECT_EQ(library.Calls(Call::Write), 0);
  EXPECT_TRUE(traces.Lines().empty());

  link.QueueRecord(0xBEEF, 0xCAFEF00D);
  fake_d2xx::Append(expected, RecordBytes(0xBEEF, 0xCAFEF00D));
  EXPECT_EQ(traces.Lines(), Lines{" ******   Buffer overflow ******"});
  EXPECT_EQ(library.WriteRequests(), std::vector<d2xx::Dword>{12294});
  EXPECT_EQ(library.Written(), expected);
  EXPECT_EQ(link.OutLength, 0);
}

TEST_F(LinkTest, AFullBufferThatCannotBeFlushedDropsFurtherRecordsInsideItsBounds) {
  OpenOneUnit();
  library.Inject({Call::GetStatus, 1, 0, 4});  // flush and recovery checks fail from now on
  for (std::uint32_t i = 0; i < 2049; ++i) link.QueueRecord(0xE005, i);
  EXPECT_EQ(link.OutLength, 12294);
  EXPECT_FALSE(link.IsOpen());  // the ladder gave up
  traces.Clear();

  link.QueueRecord(0xE001, 0x8000);
  EXPECT_EQ(link.OutLength, 12294);
  EXPECT_EQ(traces.Lines(), (Lines{"Get Queue Status failed 4!", "USB Closed",
                                   "Output buffer full: record e001 00008000 dropped"}));
  EXPECT_EQ(library.Calls(Call::Write), 0);
}

TEST_F(LinkTest, FlushQueriesTheStatusFirstAndSendsOnlyTheRecords) {
  OpenOneUnit();
  link.QueueRecord(0xFFFF, 0xFFFFFFFF);
  link.QueueRecord(0xE003, 100);
  EXPECT_TRUE(link.FlushRecords());
  EXPECT_EQ(library.Log(), (Lines{"GetStatus(1)", "Write(1,12)"}));
  EXPECT_EQ(library.Written(), Concat({Repeat(0xFF, 6), {0x03, 0xE0, 100, 0, 0, 0}}));
  EXPECT_EQ(link.OutLength, 0);
  EXPECT_TRUE(traces.Lines().empty());
}

TEST_F(LinkTest, ShortWritesContinueWithTheRest) {
  OpenOneUnit();
  library.SetShortWrites(50);
  Bytes expected;
  for (std::uint32_t i = 0; i < 33; ++i) {
    link.QueueRecord(0xE005, 0x03020100u + i);
    fake_d2xx::Append(expected, RecordBytes(0xE005, 0x03020100u + i));
  }
  EXPECT_TRUE(link.FlushRecords());
  EXPECT_EQ(library.WriteRequests(), (std::vector<d2xx::Dword>{198, 148, 98, 48}));
  EXPECT_EQ(library.Written(), expected);
  EXPECT_EQ(link.OutLength, 0);
}

TEST_F(LinkTest, WriteFailureRecoversAndRewritesTheRemainingBytes) {
  OpenOneUnit();
  library.SetShortWrites(50);
  library.Inject({Call::Write, 2, 1, 4});
  Bytes expected;
  for (std::uint32_t i = 0; i < 33; ++i) {
    link.QueueRecord(0xE005, i);
    fake_d2xx::Append(expected, RecordBytes(0xE005, i));
  }
  EXPECT_TRUE(link.FlushRecords());
  EXPECT_EQ(library.WriteRequests(), (std::vector<d2xx::Dword>{198, 148, 148, 98, 48}));
  EXPECT_EQ(library.Written(), expected);
  EXPECT_EQ(traces.Lines(), Join({{"Write failed 4!"}, kResetFixes}));
  EXPECT_EQ(link.OutLength, 0);
}

TEST_F(LinkTest, StatusQueryFailureBeforeWritingRecoversThenWrites) {
  OpenOneUnit();
  library.Inject({Call::GetStatus, 1, 1, 4});
  link.QueueRecord(0xE003, 102);
  EXPECT_TRUE(link.FlushRecords());
  EXPECT_EQ(traces.Lines(), Join({{"Get Queue Status failed 4!"}, kResetFixes}));
  EXPECT_EQ(library.Written(), RecordBytes(0xE003, 102));
}

TEST_F(LinkTest, AbandonedFlushKeepsTheRecordsForTheNextOne) {
  OpenOneUnit();
  library.Inject({Call::GetStatus, 1, 0, 4});
  link.QueueRecord(0xE003, 201);
  link.QueueRecord(0xE001, 0x8000);
  EXPECT_FALSE(link.FlushRecords());
  EXPECT_EQ(traces.Lines().back(), "Recovery: *** Failed! ***");
  EXPECT_EQ(link.OutLength, 12);
  EXPECT_EQ(library.Calls(Call::Write), 0);

  library.ClearFaults();
  ASSERT_TRUE(link.OpenFirstUnit());
  EXPECT_TRUE(link.FlushRecords());
  EXPECT_EQ(library.Written(), Concat({RecordBytes(0xE003, 201), RecordBytes(0xE001, 0x8000)}));
}

TEST_F(LinkTest, WriteFailureWithoutRecoveryKeepsTheWholeBuffer) {
  // Bytes already taken stay too: the short write may have ended inside a record.
  OpenOneUnit();
  library.SetShortWrites(50);
  library.Inject({Call::Write, 2, 1, 4});
  library.Inject({Call::GetStatus, 2, 0, 4});  // every recovery check fails
  Bytes expected;
  for (std::uint32_t i = 0; i < 33; ++i) {
    link.QueueRecord(0xE005, i);
    fake_d2xx::Append(expected, RecordBytes(0xE005, i));
  }
  EXPECT_FALSE(link.FlushRecords());
  EXPECT_EQ(link.OutLength, 198);
  EXPECT_EQ(Bytes(link.OutBuffer, link.OutBuffer + 198), expected);
  EXPECT_EQ(library.Written(), Bytes(expected.begin(), expected.begin() + 50));
}

TEST_F(LinkTest, AWriteThatKeepsFailingAfterEachRecoveryIsGivenUp) {
  OpenOneUnit();
  library.Inject({Call::Write, 1, 0, 4});
  link.QueueRecord(0xE003, 203);
  EXPECT_FALSE(link.FlushRecords());
  EXPECT_EQ(library.Calls(Call::Write), kMaxRecoveriesPerCall + 1);
  EXPECT_EQ(traces.Lines().back(), "Link keeps failing: gave up after 5 recoveries");
  EXPECT_EQ(link.OutLength, 6);
}

TEST_F(LinkTest, WritesThatTakeNothingAreGivenUpWithTheBufferKept) {
  OpenOneUnit();
  library.SetWritesTakeNothing(true);
  link.QueueRecord(0xE003, 203);
  link.QueueRecord(0xE003, 102);
  EXPECT_FALSE(link.FlushRecords());
  EXPECT_EQ(library.Calls(Call::Write), kMaxEmptyWrites);
  EXPECT_EQ(traces.Lines(), Lines{"Write stalled: 12 bytes not taken"});
  EXPECT_EQ(link.OutLength, 12);
}

// ------------------------------------------------------------------ polling

TEST_F(LinkTest, PollWithNothingWaitingReadsNothing) {
  OpenOneUnit();
  EXPECT_TRUE(link.PollUnit());
  EXPECT_EQ(library.Log(), Lines{"QueueStatus(1)"});
}

TEST_F(LinkTest, PollDispatchesEachCompleteRecord) {
  OpenOneUnit();
  library.Arrive(Concat({RecordBytes(ReplyCode(101), 0x04010203), RecordBytes(ReplyCode(102), 1),
                         RecordBytes(ReplyCode(109), 0xFFFFFFFE)}));
  EXPECT_TRUE(link.PollUnit());
  EXPECT_EQ(Value(state.Unit.CardFirmwareVersion), 0x04010203);
  EXPECT_EQ(Value(state.Unit.CardStatus), 1);
  EXPECT_EQ(Value(state.Unit.CardApplicationChecksum), -2);
  EXPECT_EQ(library.ReadRequests(), std::vector<d2xx::Dword>{18});
  EXPECT_EQ(link.ReplyCount, 0);
}

TEST_F(LinkTest, OnlyTheBytesAskedForAreUsedWhateverTheReadReports) {
  OpenOneUnit();
  library.Arrive(RecordBytes(ReplyCode(102), 1));
  library.SetReadOverReport(5);  // five bytes nobody delivered
  EXPECT_TRUE(link.PollUnit());
  EXPECT_EQ(library.ReadRequests(), std::vector<d2xx::Dword>{6});
  EXPECT_EQ(Value(state.Unit.CardStatus), 1);
  EXPECT_EQ(link.ReplyCount, 0);
  EXPECT_EQ(link.OutLength, 0);
  EXPECT_TRUE(traces.Lines().empty());
}

TEST_F(LinkTest, ARecordSplitAcrossPollsIsAssembled) {
  OpenOneUnit();
  const Bytes record = RecordBytes(ReplyCode(101), 0x04030201);
  library.Arrive(Bytes(record.begin(), record.begin() + 4));
  EXPECT_TRUE(link.PollUnit());
  EXPECT_EQ(link.ReplyCount, 4);
  EXPECT_EQ(Value(state.Unit.CardFirmwareVersion), -1);

  library.Arrive(Bytes(record.begin() + 4, record.end()));
  EXPECT_TRUE(link.PollUnit());
  EXPECT_EQ(link.ReplyCount, 0);
  EXPECT_EQ(Value(state.Unit.CardFirmwareVersion), 0x04030201);
}

TEST_F(LinkTest, IdleFillIsAnsweredWithOneQueuedFillerPerPoll) {
  OpenOneUnit();
  library.Arrive(Concat({Repeat(0xFF, 10), RecordBytes(ReplyCode(102), 1), Repeat(0xFF, 5)}));
  EXPECT_TRUE(link.PollUnit());
  EXPECT_EQ(Value(state.Unit.CardStatus), 1);
  EXPECT_EQ(link.OutLength, 6);
  EXPECT_EQ(Bytes(link.OutBuffer, link.OutBuffer + 6), Repeat(0xFF, 6));

  library.Arrive(Repeat(0xFF, 3));
  EXPECT_TRUE(link.PollUnit());
  EXPECT_EQ(link.OutLength, 12);
  EXPECT_EQ(Bytes(link.OutBuffer, link.OutBuffer + 12), Repeat(0xFF, 12));
  EXPECT_EQ(library.Calls(Call::Write), 0);  // queued, not flushed
}

TEST_F(LinkTest, FFBytesInsideARecordAreData) {
  OpenOneUnit();
  // Value 0x01FFFFFF: bytes FF FF FF inside the record.
  library.Arrive(RecordBytes(ReplyCode(101), 0x01FFFFFF));
  EXPECT_TRUE(link.PollUnit());
  EXPECT_EQ(Value(state.Unit.CardFirmwareVersion), 0x01FFFFFF);

  // A record cut after four bytes whose remaining two are FF, across two polls.
  const Bytes record = RecordBytes(ReplyCode(111), 0xFFFF0201);
  library.Arrive(Bytes(record.begin(), record.begin() + 4));
  EXPECT_TRUE(link.PollUnit());
  library.Arrive(Bytes(record.begin() + 4, record.end()));
  EXPECT_TRUE(link.PollUnit());
  EXPECT_EQ(Value(state.Unit.CardKernelVersion), static_cast<std::int32_t>(0xFFFF0201));
  EXPECT_EQ(link.OutLength, 0);  // no filler answered
}

TEST_F(LinkTest, AtMost4096BytesAreReadPerPoll) {
  OpenOneUnit();
  library.Arrive(Repeat(0xFF, 5000));
  EXPECT_TRUE(link.PollUnit());
  EXPECT_TRUE(link.PollUnit());
  EXPECT_EQ(library.ReadRequests(), (std::vector<d2xx::Dword>{4096, 904}));
  EXPECT_EQ(library.BytesWaiting(), 0u);
  EXPECT_EQ(link.OutLength, 12);  // one filler per poll
}

TEST_F(LinkTest, ReadFailureRecoversAndReadsTheSameCountAgain) {
  OpenOneUnit();
  library.Arrive(RecordBytes(ReplyCode(102), 0x200));
  library.Inject({Call::Read, 1, 1, 4});
  EXPECT_TRUE(link.PollUnit());
  EXPECT_EQ(library.ReadRequests(), (std::vector<d2xx::Dword>{6, 6}));
  EXPECT_EQ(traces.Lines(), Join({{"Read returned error status 4!"}, kResetFixes}));
  EXPECT_EQ(Value(state.Unit.CardStatus), 0x200);
}

TEST_F(LinkTest, QueueStatusFailureRecoversAndQueriesAgain) {
  OpenOneUnit();
  library.Arrive(RecordBytes(ReplyCode(102), 1));
  library.Inject({Call::QueueStatus, 1, 1, 4});
  EXPECT_TRUE(link.PollUnit());
  EXPECT_EQ(library.Calls(Call::QueueStatus), 2);
  EXPECT_EQ(traces.Lines(), Join({{"Get Queue Status failed 4!"}, kResetFixes}));
  EXPECT_EQ(Value(state.Unit.CardStatus), 1);
}

TEST_F(LinkTest, PollFailsOnlyWhenRecoveryFails) {
  OpenOneUnit();
  library.Inject({Call::QueueStatus, 1, 1, 4});
  library.Inject({Call::GetStatus, 1, 0, 4});
  EXPECT_FALSE(link.PollUnit());
  EXPECT_EQ(traces.Lines().back(), "Recovery: *** Failed! ***");

  // Now closed: the next poll's query fails at once and recovery finds no unit.
  traces.Clear();
  EXPECT_FALSE(link.PollUnit());
  EXPECT_EQ(traces.Lines(), (Lines{"Get Queue Status failed 1!", "USB Closed"}));
}

TEST_F(LinkTest, AReadThatKeepsFailingAfterEachRecoveryIsGivenUp) {
  OpenOneUnit();
  library.Arrive(RecordBytes(ReplyCode(102), 1));
  library.Inject({Call::Read, 1, 0, 4});
  EXPECT_FALSE(link.PollUnit());
  EXPECT_EQ(library.Calls(Call::Read), kMaxRecoveriesPerCall + 1);
  EXPECT_EQ(traces.Lines().back(), "Link keeps failing: gave up after 5 recoveries");
  EXPECT_EQ(Value(state.Unit.CardStatus), 0);
}

// ------------------------------------------------------------------ recovery ladder

TEST_F(LinkTest, RecoveryWithoutAUnitTracesUsbClosed) {
  EXPECT_FALSE(link.RecoverLink());
  EXPECT_EQ(traces.Lines(), Lines{"USB Closed"});
  EXPECT_EQ(library.Log(), Lines{});
}

TEST_F(LinkTest, RecoveryByResetAlone) {
  OpenOneUnit();
  EXPECT_TRUE(link.RecoverLink());
  EXPECT_EQ(traces.Lines(), kResetFixes);
  EXPECT_EQ(library.Log(), (Lines{"Reset(1)", "GetStatus(1)"}));
  EXPECT_EQ(clock.Sleeps(), 0u);
}

TEST_F(LinkTest, RecoveryCheckNeedsBothTheResetAndTheStatusQuery) {
  struct Case {
    Fault fault;
    const char* label;
  };
  const Case cases[] = {{{Call::Reset, 1, 1, 4}, "Recovery: Reset Device 4/0"},
                        {{Call::GetStatus, 1, 1, 3}, "Recovery: Reset Device 0/3"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FakeLibrary ladder;
    ladder.AddDevice(Unit("TV000001"));
    ASSERT_TRUE(link.OpenFirstUnit());
    traces.Clear();
    ladder.Inject(c.fault);

    EXPECT_TRUE(link.RecoverLink());
    EXPECT_EQ(traces.Lines(), Join({{"FTDI Chip recovery", c.label, "Device Closed"},
                                    OkLines(0, "TV000001"),
                                    {"Recovery: close & open 0/0", "Recovery: Fixed!"}}));
    EXPECT_TRUE(link.IsOpen());
    EXPECT_EQ(clock.Sleeps(), 0u);
    link.CloseUnit();
  }
}

// The unit is gone for a while (open finds no device): attempt k reopens it.
TEST_F(LinkTest, RecoveryReopensOnTheAttemptThatFindsTheUnit) {
  for (int k : {1, 3, 50}) {
    SCOPED_TRACE("attempt " + std::to_string(k));
    FakeLibrary ladder;
    const std::uint64_t sleepsBefore = clock.Sleeps();
    ladder.AddDevice(Unit("TV000001"));
    ASSERT_TRUE(link.OpenFirstUnit());
    traces.Clear();
    ladder.Inject({Call::Reset, 1, 1, 4});
    ladder.Inject({Call::Open, 1, k, 2});  // close & open and the first k-1 attempts

    const std::int64_t start = clock.Counter();
    EXPECT_TRUE(link.RecoverLink());
    Lines expected = {"FTDI Chip recovery", "Recovery: Reset Device 4/0", "Device Closed",
                      "Valdren not found"};
    for (int i = 1; i < k; ++i) {
      expected.push_back("Valdren not found");
      expected.push_back("Resetting USB Device (XP only)");
    }
    expected =
        Join({expected, OkLines(0, "TV000001"), {"Recovery: Opened 0/0", "Recovery: Fixed!"}});
    EXPECT_EQ(traces.Lines(), expected);
    EXPECT_EQ(clock.Sleeps() - sleepsBefore, static_cast<std::uint64_t>(k));
    EXPECT_EQ(clock.Counter() - start, k * 100'000);  // 100 ms before each attempt
    EXPECT_TRUE(link.IsOpen());
    link.CloseUnit();
  }
}

TEST_F(LinkTest, RecoveryExhaustedAfterFiftyAttempts) {
  OpenOneUnit();
  library.Inject({Call::Reset, 1, 1, 4});
  library.Inject({Call::Open, 1, 0, 2});

  EXPECT_FALSE(link.RecoverLink());
  Lines expected = {"FTDI Chip recovery", "Recovery: Reset Device 4/0", "Device Closed",
                    "Valdren not found"};
  for (int i = 0; i < 50; ++i) {
    expected.push_back("Valdren not found");
    expected.push_back("Resetting USB Device (XP only)");
  }
  expected.push_back("Recovery: *** Failed! ***");
  EXPECT_EQ(traces.Lines(), expected);
  EXPECT_EQ(clock.Sleeps(), 50u);
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(state.LastMessage(), "Recovery: *** Failed! ***");
}

// A unit that hangs makes each reopen wait out the library's timeout: the ladder
// then ends on its time, not after 50 such waits.
TEST_F(LinkTest, RecoveryEndsAfterEightSecondsWhenEachAttemptIsSlow) {
  OpenOneUnit();
  library.Inject({Call::Reset, 1, 1, 4});
  library.Inject({Call::Open, 1, 0, 2});
  clock.SetSleepHook([&](std::uint32_t) { clock.Advance(900'000); });  // 1 s an attempt
  const std::int64_t start = clock.Counter();

  EXPECT_FALSE(link.RecoverLink());
  clock.SetSleepHook(nullptr);
  EXPECT_EQ(clock.Sleeps(), 8u);
  EXPECT_EQ(clock.Counter() - start, 8'000'000);
  EXPECT_EQ(traces.Count("Resetting USB Device (XP only)"), 8);
  EXPECT_EQ(traces.Lines().back(), "Recovery: *** Failed! ***");
}

TEST_F(LinkTest, RecoveryClosesEachReopenedUnitThatFailsTheCheck) {
  OpenOneUnit();
  library.Inject({Call::GetStatus, 1, 0, 4});
  // While the ladder waits, the unit is left closed, free to come back.
  std::vector<int> openDuringPauses;
  clock.SetSleepHook([&](std::uint32_t) { openDuringPauses.push_back(library.OpenIndex()); });

  EXPECT_FALSE(link.RecoverLink());
  Lines expected = Join({{"FTDI Chip recovery", "Recovery: Reset Device 0/4", "Device Closed"},
                         OkLines(0, "TV000001"),
                         {"Recovery: close & open 0/4", "Device Closed"}});
  for (int i = 0; i < 50; ++i) {
    expected = Join({expected, OkLines(0, "TV000001"), {"Recovery: Opened 0/4", "Device Closed"}});
  }
  expected.push_back("Recovery: *** Failed! ***");
  EXPECT_EQ(traces.Lines(), expected);
  EXPECT_EQ(clock.Sleeps(), 50u);
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(library.OpenIndex(), -1);  // nothing left open in the library either
  EXPECT_EQ(openDuringPauses, std::vector<int>(50, -1));
}

TEST_F(LinkTest, RecoveryReopensTheWantedSerial) {
  library.AddDevice(Unit("TV000001"));
  library.AddDevice(Unit("TV000002"));
  ASSERT_TRUE(link.OpenUnitBySerial("TV000002"));
  library.Inject({Call::Reset, 1, 1, 4});
  EXPECT_TRUE(link.RecoverLink());
  EXPECT_EQ(library.OpenIndex(), 1);
}

}  // namespace
}  // namespace loader
