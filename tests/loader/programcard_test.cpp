// The record protocol and the programming worker: every row of the record
// dispatch, and whole programming runs against a scripted unit on the fake D2XX
// library, checked byte for byte on the wire, with both bounded waits.
#include "loader/Programcard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "loader/startup.h"
#include "platform/clock.h"
#include "tests/loader/fake_d2xx.h"

namespace loader {
namespace {

using fake_d2xx::Call;
using fake_d2xx::Device;
using fake_d2xx::FakeLibrary;
using fake_d2xx::RecordBytes;
using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;
namespace d2xx = platform::d2xx;

template <typename Field>
std::int32_t Value(const Field& field) {
  return static_cast<std::int32_t>(field);
}

std::uint16_t ReplyCode(unsigned enquiry) {
  return static_cast<std::uint16_t>(0xE000 | (enquiry << 2));
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}
Bytes Command(std::uint32_t number) {
  return RecordBytes(0xE003, number);
}
const Bytes kFiller(6, 0xFF);

// The unit's side of programming, as it is described to behave: acknowledges
// each complete block (address record and 32 data records) with event 202 and
// keeps it; after command 203 restarts, ignoring enquiries meanwhile, then
// answers the status enquiry. Reacts to what is written and to time passing.
class ScriptedUnit {
 public:
  ScriptedUnit(FakeLibrary& library, platform::VirtualClock& clock)
      : library_(library), clock_(clock) {
    library.OnRecord([this](std::uint16_t code, std::uint32_t value) { Receive(code, value); });
    clock.SetSleepHook([this](std::uint32_t) { Pause(); });
  }

  // Behaviour, set before programming starts.
  int ackBlocks = -1;      // blocks acknowledged before it falls silent; -1: all
  int ackAfterPauses = 0;  // 0: the acknowledgement is waiting at once
  int restartPauses = 1;   // pauses after 203 until it answers again; -1: never
  std::int32_t statusAfterRestart = 1;
  std::function<void()> onPause;  // runs on the worker's thread at each pause
  std::int64_t ackAfterMs = 0;    // not 0: each acknowledgement that long after its block
  int slowerFromBlock = 0;        // not 0: from the Nth block received on, slowerAckMs
  std::int64_t slowerAckMs = 0;
  int loseAckOfCopy = 0;          // the Nth block received is never acknowledged

  // A block began while an acknowledgement the unit owes was still unsent: the
  // loader took another acknowledgement for the one it waited on.
  bool Overrun() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return overrun_;
  }

  std::map<std::uint32_t, Bytes> Flash() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return flash_;
  }
  std::vector<std::uint32_t> Addresses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return addresses_;
  }
  std::vector<std::uint32_t> Commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
  }

 private:
  void Receive(std::uint16_t code, std::uint32_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (code) {
      case 0xFFFF: break;
      case 0xE003:
        commands_.push_back(value);
        if (value == 201) programming_ = true;
        if (value == 203) {
          programming_ = false;
          restartLeft_ = restartPauses;
          restarting_ = restartPauses != 0;
        }
        if (value == 102 && !programming_ && !restarting_) {
          library_.Reply(ReplyCode(102), static_cast<std::uint32_t>(statusAfterRestart));
        }
        break;
      case 0xE001:
        if (!dueAcks_.empty() && value != blockAddress_) overrun_ = true;
        addresses_.push_back(value);
        blockAddress_ = value;
        block_.clear();
        break;
      case 0xE005:
        for (int shift = 0; shift < 32; shift += 8) {
          block_.push_back(static_cast<std::uint8_t>(value >> shift));
        }
        if (block_.size() == 128) {
          flash_[blockAddress_] = block_;
          ++blocksDone_;
          if (blocksDone_ == loseAckOfCopy) break;
          if (ackBlocks < 0 || blocksDone_ <= ackBlocks) {
            if (ackAfterMs != 0) {
              // One block at a time: a copy waits for the one before it.
              const std::int64_t ms = slowerFromBlock != 0 && blocksDone_ >= slowerFromBlock
                                          ? slowerAckMs
                                          : ackAfterMs;
              lastAckDue_ = std::max(clock_.Counter(), lastAckDue_) + ms * 1000;
              dueAcks_.push_back(lastAckDue_);
            } else if (ackAfterPauses == 0) {
              library_.Reply(0xE003, 202);
            } else {
              ackLeft_ = ackAfterPauses;
            }
          }
        }
        break;
      default: break;
    }
  }

  void Pause() {
    std::function<void()> observer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (ackLeft_ > 0 && --ackLeft_ == 0) library_.Reply(0xE003, 202);
      while (!dueAcks_.empty() && dueAcks_.front() <= clock_.Counter()) {
        library_.Reply(0xE003, 202);
        dueAcks_.erase(dueAcks_.begin());
      }
      if (restarting_ && restartLeft_ > 0 && --restartLeft_ == 0) restarting_ = false;
      observer = onPause;
    }
    if (observer) observer();
  }

  FakeLibrary& library_;
  platform::VirtualClock& clock_;
  mutable std::mutex mutex_;
  std::vector<std::int64_t> dueAcks_;  // clock counts
  std::int64_t lastAckDue_ = 0;
  bool overrun_ = false;
  bool programming_ = false;
  bool restarting_ = false;
  int restartLeft_ = 0;
  int ackLeft_ = 0;
  int blocksDone_ = 0;
  std::uint32_t blockAddress_ = 0;
  Bytes block_;
  std::map<std::uint32_t, Bytes> flash_;
  std::vector<std::uint32_t> addresses_;
  std::vector<std::uint32_t> commands_;
};

// One case's own library and unit on a test's clock: the newest library is the one
// the link reaches, and the unit takes the clock's pauses over until it goes.
struct CaseWorld {
  explicit CaseWorld(platform::VirtualClock& clock) : clock_(clock), unit(library, clock) {
    library.AddDevice(Device{});
  }
  ~CaseWorld() { clock_.SetSleepHook(nullptr); }
  platform::VirtualClock& clock_;
  FakeLibrary library;
  ScriptedUnit unit;
};

class ProgramCardTest : public ::testing::Test {
 protected:
  ProgramCardTest() : unit(library, clock) {
    // The scripted unit counts the worker's pauses: these cases run at the unit's
    // original pace, one look per 100 ms.
    state.Options.PollPauseMs = 100;
    link.SetApi(FakeLibrary::Api());
    link.SetTraceTap(traces.Tap());
    library.AddDevice(Device{});
    std::fill(image().begin(), image().end(), 0xFF);
    state.Unit.CardKernelVersion = 0x01020304;
    SetKernelMark();
  }

  std::vector<std::uint8_t>& image() { return state.Image.ImageBuffer; }
  void SetKernelMark() {
    image()[0x1000] = 0xAA;
    image()[0x1001] = 0x8D;
    image()[0x1002] = 0x4A;
    image()[0x1003] = 0x8C;
  }
  void FillBlock(std::uint32_t address, std::uint8_t seed) {
    for (std::uint32_t i = 0; i < 128; ++i)
      image()[address + i] = static_cast<std::uint8_t>(seed + i * 7);
  }
  Bytes ImageBytes(std::uint32_t address, std::uint32_t count) {
    return Bytes(image().begin() + address, image().begin() + address + count);
  }
  // Address record and 32 data records carrying the block's bytes in image order.
  Bytes BlockOnWire(std::uint32_t address) {
    Bytes wire = RecordBytes(0xE001, address);
    for (std::uint32_t i = 0; i < 128; i += 4) {
      wire.push_back(0x05);
      wire.push_back(0xE0);
      const Bytes word = ImageBytes(address + i, 4);
      wire.insert(wire.end(), word.begin(), word.end());
    }
    return wire;
  }

  void OpenUnit() {
    ASSERT_TRUE(link.OpenFirstUnit());
    library.ClearWritten();
    library.ClearLog();
    traces.Clear();
  }

  // Starts the worker and waits, on this thread, until it reports it has ended.
  std::unique_ptr<ProgramCard> Program() {
    auto worker = std::make_unique<ProgramCard>(state);
    WaitUntilStopped(*worker);
    return worker;
  }
  static void WaitUntilStopped(const ProgramCard& worker) {
    // Every wait of the worker runs on the virtual clock: a run takes
    // milliseconds. The guard only keeps a broken worker from hanging the suite.
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (worker.Running.load()) {
      ASSERT_LT(std::chrono::steady_clock::now(), guard) << "worker never ended";
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  FakeLibrary library;
  platform::VirtualClock clock;
  LoaderState state{{.Clock = &clock}};
  UsbLink& link = state.Link;
  ScriptedUnit unit;
  fake_d2xx::TraceLog traces;
};

// ------------------------------------------------------------------ record dispatch

TEST_F(ProgramCardTest, EnquiryRepliesAreStoredWhereTheyBelong) {
  struct Row {
    unsigned enquiry;
    std::uint32_t value;
    std::int32_t version, checksum, status, kernel;  // all four fields afterwards
  };
  const Row rows[] = {
      {101, 0x04020103, 0x04020103, 11, 12, 13}, {109, 0xFFFFFFFE, 10, -2, 12, 13},
      {102, 0x200, 10, 11, 0x200, 13},           {111, 0xFFFFFFFF, 10, 11, 12, -1},
      {100, 0x12345678, 10, 11, 12, 13},  // accepted, not used
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("enquiry " + std::to_string(row.enquiry));
    state.Unit.CardFirmwareVersion = 10;
    state.Unit.CardApplicationChecksum = 11;
    state.Unit.CardStatus = 12;
    state.Unit.CardKernelVersion = 13;
    DispatchRecord(state, ReplyCode(row.enquiry), row.value);
    EXPECT_EQ(Value(state.Unit.CardFirmwareVersion), row.version);
    EXPECT_EQ(Value(state.Unit.CardApplicationChecksum), row.checksum);
    EXPECT_EQ(Value(state.Unit.CardStatus), row.status);
    EXPECT_EQ(Value(state.Unit.CardKernelVersion), row.kernel);
  }
  EXPECT_TRUE(traces.Lines().empty());
}

TEST_F(ProgramCardTest, OtherEnquiryRepliesAreRejectedWithTheirIndex) {
  const std::pair<unsigned, const char*> rows[] = {
      {103, "67"}, {104, "68"}, {105, "69"}, {106, "6a"}, {107, "6b"},  {108, "6c"},
      {110, "6e"}, {99, "63"},  {112, "70"}, {0, "0"},    {2047, "7ff"}};
  for (const auto& [index, hex] : rows) {
    SCOPED_TRACE(index);
    traces.Clear();
    state.Unit.CardFirmwareVersion = 10;
    state.Unit.CardApplicationChecksum = 11;
    state.Unit.CardStatus = 12;
    state.Unit.CardKernelVersion = 13;
    DispatchRecord(state, ReplyCode(index), 0x2C);
    EXPECT_EQ(traces.Lines(), Lines{std::string("Invalid Enquiry Reply ") + hex + "\r\n"});
    EXPECT_EQ(Value(state.Unit.CardFirmwareVersion), 10);
    EXPECT_EQ(Value(state.Unit.CardApplicationChecksum), 11);
    EXPECT_EQ(Value(state.Unit.CardStatus), 12);
    EXPECT_EQ(Value(state.Unit.CardKernelVersion), 13);
  }
}

TEST_F(ProgramCardTest, EventsFromTheUnit) {
  OpenUnit();
  struct Row {
    std::uint32_t event;
    std::int32_t kernel;
    bool acknowledged;
    Bytes written;
    Lines traced;
  };
  const Row rows[] = {
      {0, 0x01020304, false, {}, {}},
      {2, 0x01020304, false, {}, {}},
      {202, 0x01020304, true, {}, {}},
      {11, 0x01020304, false, Command(10), {}},
      {11, 1, false, Command(10), {}},
      {11, 0, false, {}, {}},
      {11, -1, false, {}, {}},
      {11, static_cast<std::int32_t>(0x80000000), false, {}, {}},
      {1, 0x01020304, false, {}, {"Unexpected extended code 1 received\r\n"}},
      {12, 0x01020304, false, {}, {"Unexpected extended code c received\r\n"}},
      {203, 0x01020304, false, {}, {"Unexpected extended code cb received\r\n"}},
      {0xFFFFFFFF, 0x01020304, false, {}, {"Unexpected extended code ffffffff received\r\n"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("event " + std::to_string(row.event) + " kernel " + std::to_string(row.kernel));
    state.Unit.BlockAcknowledged = false;
    state.Unit.CardKernelVersion = row.kernel;
    library.ClearWritten();
    traces.Clear();
    DispatchRecord(state, 0xE003, row.event);
    EXPECT_EQ(state.Unit.BlockAcknowledged.load(), row.acknowledged);
    EXPECT_EQ(library.Written(), row.written);  // command 10 is flushed at once
    EXPECT_EQ(link.OutLength, 0);
    EXPECT_EQ(traces.Lines(), row.traced);
  }
}

TEST_F(ProgramCardTest, ExtendedCodeWithAnIndexIsRejectedWhateverItsValue) {
  OpenUnit();
  DispatchRecord(state, 0xE003 | (5 << 2), 202);  // 0xE017
  EXPECT_FALSE(state.Unit.BlockAcknowledged.load());
  DispatchRecord(state, 0xFFFF, 0xFFFFFFFF);
  EXPECT_EQ(traces.Lines(), (Lines{"Extended Code flag with non zero Index 5\r\n",
                                   "Extended Code flag with non zero Index 7ff\r\n"}));
  EXPECT_TRUE(library.Written().empty());
}

TEST_F(ProgramCardTest, OtherKindsAreRejectedWithTheirKind) {
  const std::pair<std::uint16_t, const char*> rows[] = {{0x0000, "0"},    {0xE001, "e001"},
                                                        {0xE005, "e001"}, {0x2002, "2002"},
                                                        {0x8081, "8001"}, {0x4196, "4002"}};
  for (const auto& [code, kind] : rows) {
    SCOPED_TRACE(code);
    traces.Clear();
    state.Unit.CardStatus = 12;
    state.Unit.BlockAcknowledged = false;
    DispatchRecord(state, code, 202);
    EXPECT_EQ(traces.Lines(), Lines{std::string("Unexpected code ") + kind + " received\r\n"});
    EXPECT_EQ(Value(state.Unit.CardStatus), 12);
    EXPECT_FALSE(state.Unit.BlockAcknowledged.load());
  }
}

// ------------------------------------------------------------------ the worker

TEST_F(ProgramCardTest, SmallImageGoesOnTheWireExactly) {
  FillBlock(0x8000, 3);
  image()[0x9043] = 0x5A;  // one byte: the whole block goes
  unit.restartPauses = 2;
  state.Unit.CardStatus = 1;  // from before programming: it must not end the status wait
  OpenUnit();

  auto worker = Program();
  EXPECT_EQ(worker->TotalBlocks.load(), 2);
  EXPECT_EQ(worker->BlocksProgrammed.load(), 2);
  EXPECT_EQ(worker->CurrentAddress.load(), 0x9000);
  EXPECT_FALSE(worker->TimedOut.load());
  EXPECT_EQ(Value(state.Unit.CardStatus), 1);
  worker.reset();

  const Bytes statusEnquiry = Concat({kFiller, Command(102)});
  EXPECT_EQ(library.WriteRequests(), (std::vector<d2xx::Dword>{12, 198, 204, 12, 12, 12, 12}));
  EXPECT_EQ(library.Written(),
            Concat({kFiller, Command(201),              // begin
                    BlockOnWire(0x8000),                // first block
                    Command(102), BlockOnWire(0x9000),  // its wait's enquiry, next block
                    Command(102), Command(203),         // and the finish
                    statusEnquiry, statusEnquiry, statusEnquiry}));  // restart takes 2 pauses
  EXPECT_EQ(clock.Sleeps(), 5u);
  EXPECT_TRUE(traces.Lines().empty());

  // What the unit stored is the image.
  const auto flash = unit.Flash();
  ASSERT_EQ(flash.size(), 2u);
  EXPECT_EQ(flash.at(0x8000), ImageBytes(0x8000, 128));
  Bytes single(128, 0xFF);
  single[0x43] = 0x5A;
  EXPECT_EQ(flash.at(0x9000), single);
}

TEST_F(ProgramCardTest, EnquiriesQueuedWhileWaitingLeaveAheadOfTheNextBlock) {
  FillBlock(0x8000, 1);
  FillBlock(0x8080, 2);
  unit.ackAfterPauses = 3;
  unit.restartPauses = 0;
  OpenUnit();

  auto worker = Program();
  EXPECT_EQ(worker->BlocksProgrammed.load(), 2);
  worker.reset();
  EXPECT_EQ(library.WriteRequests(), (std::vector<d2xx::Dword>{12, 198, 216, 24, 12}));
  const Bytes waited = Concat({Command(102), Command(102), Command(102)});
  EXPECT_EQ(library.Written(),
            Concat({kFiller, Command(201), BlockOnWire(0x8000), waited, BlockOnWire(0x8080), waited,
                    Command(203), kFiller, Command(102)}));
  EXPECT_EQ(clock.Sleeps(), 7u);
}

TEST_F(ProgramCardTest, EmptyImageSendsOnlyBeginAndFinish) {
  image()[0x1000] = 0xFF;  // nothing at all in the image
  image()[0x1001] = 0xFF;
  image()[0x1002] = 0xFF;
  image()[0x1003] = 0xFF;
  unit.restartPauses = 0;
  OpenUnit();

  auto worker = Program();
  EXPECT_EQ(worker->TotalBlocks.load(), 0);
  EXPECT_EQ(worker->BlocksProgrammed.load(), 0);
  worker.reset();
  EXPECT_EQ(library.Written(),
            Concat({kFiller, Command(201), Command(203), kFiller, Command(102)}));
  EXPECT_EQ(Value(state.Unit.CardStatus), 1);
}

// Where programming starts, and which blocks count and go.
TEST_F(ProgramCardTest, StartAddressAndBlockCount) {
  struct Case {
    const char* name;
    std::int32_t kernel;
    bool force;
    bool mark;
    std::vector<std::uint32_t> sent;
  };
  const std::vector<std::uint32_t> all = {0x0000, 0x1000, 0x7F80, 0x8000, 0x8100, 0x3FF80};
  const std::vector<std::uint32_t> application = {0x8000, 0x8100, 0x3FF80};
  const Case cases[] = {
      {"kernel kept", 0x01020304, false, true, application},
      {"unit kernel 0", 0, false, true, all},
      {"unit kernel -1", -1, false, true, all},
      {"unit kernel negative", static_cast<std::int32_t>(0x80000001), false, true, all},
      {"kernel update forced", 0x01020304, true, true, all},
      {"image without kernel mark", 0x01020304, false, false, all},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CaseWorld world(clock);
    ScriptedUnit& caseUnit = world.unit;
    caseUnit.restartPauses = 0;
    std::fill(image().begin(), image().end(), 0xFF);
    image()[0x0000] = 0x12;
    SetKernelMark();
    if (!c.mark) image()[0x1003] = 0x8D;
    image()[0x7FFF] = 0x00;  // last byte below the application area
    FillBlock(0x8000, 9);
    image()[0x8100] = 0x00;   // 0x8080 stays empty
    image()[0x3FF80] = 0x00;  // the last block of the image
    state.Unit.CardKernelVersion = c.kernel;
    state.Options.ForceKernelUpdate = c.force;
    ASSERT_TRUE(link.OpenFirstUnit());

    EXPECT_EQ(StartAddress(state), c.sent.front() == 0 ? 0u : 0x8000u);
    auto worker = Program();
    EXPECT_EQ(worker->TotalBlocks.load(), static_cast<std::int32_t>(c.sent.size()));
    EXPECT_EQ(worker->BlocksProgrammed.load(), static_cast<std::int32_t>(c.sent.size()));
    worker.reset();
    EXPECT_EQ(caseUnit.Addresses(), c.sent);
    const auto flash = caseUnit.Flash();
    for (std::uint32_t address : c.sent) {
      ASSERT_TRUE(flash.count(address)) << address;
      EXPECT_EQ(flash.at(address), ImageBytes(address, 128)) << address;
    }
    link.CloseUnit();
  }
  state.Options.ForceKernelUpdate = false;
}

TEST_F(ProgramCardTest, ProgressAsTheWorkerAndTheOwnerSeeIt) {
  FillBlock(0x8000, 1);
  FillBlock(0x8080, 2);
  FillBlock(0x9000, 3);
  unit.restartPauses = 1;
  OpenUnit();

  // At each pause, on the worker's thread: what its fields say.
  std::atomic<ProgramCard*> current{nullptr};
  std::vector<std::tuple<std::int32_t, std::int32_t, bool>> seen;
  unit.onPause = [&] {
    ProgramCard* worker;
    while ((worker = current.load()) == nullptr) std::this_thread::yield();
    seen.emplace_back(worker->BlocksProgrammed.load(), worker->CurrentAddress.load(),
                      worker->Running.load());
  };

  auto worker = std::make_unique<ProgramCard>(state);
  current = worker.get();
  // Meanwhile, on this thread, as the console does: never backwards, never beyond.
  std::int32_t last = 0;
  while (worker->Running.load()) {
    const std::int32_t programmed = worker->BlocksProgrammed.load();
    EXPECT_GE(programmed, last);
    EXPECT_LE(programmed, worker->TotalBlocks.load());
    last = programmed;
    std::this_thread::yield();
  }
  EXPECT_EQ(worker->BlocksProgrammed.load(), 3);
  EXPECT_EQ(Value(state.Unit.CardStatus), 1);
  worker.reset();

  using Seen = std::tuple<std::int32_t, std::int32_t, bool>;
  EXPECT_EQ(seen, (std::vector<Seen>{{0, 0x8000, true},
                                     {1, 0x8080, true},
                                     {2, 0x9000, true},
                                     {3, 0x9000, true},
                                     {3, 0x9000, true}}));
}

TEST_F(ProgramCardTest, UnitStatusAfterRestartEndsTheWaitWhateverItSays) {
  FillBlock(0x8000, 1);
  unit.statusAfterRestart = 0x200;
  OpenUnit();
  auto worker = Program();
  EXPECT_FALSE(worker->TimedOut.load());
  EXPECT_EQ(Value(state.Unit.CardStatus), 0x200);
}

TEST_F(ProgramCardTest, MissingAcknowledgementEndsTheWorkerWithoutTheFinish) {
  FillBlock(0x8000, 1);
  FillBlock(0x9000, 2);
  unit.ackBlocks = 0;
  OpenUnit();

  auto worker = Program();
  EXPECT_TRUE(worker->TimedOut.load());
  EXPECT_EQ(worker->BlocksProgrammed.load(), 0);
  EXPECT_EQ(worker->CurrentAddress.load(), 0x8000);
  worker.reset();
  EXPECT_EQ(clock.Sleeps(), 100u);  // 10 s of 100 ms pauses
  EXPECT_EQ(traces.Lines(), Lines{"Timeout: no acknowledgement for block 0x8000"});
  EXPECT_EQ(state.LastMessage(), "Timeout: no acknowledgement for block 0x8000");
  // Begin and the one block, nothing after: no second block, no 203.
  EXPECT_EQ(library.Written(), Concat({kFiller, Command(201), BlockOnWire(0x8000)}));
  EXPECT_EQ(unit.Commands(), std::vector<std::uint32_t>{201});
}

TEST_F(ProgramCardTest, AcknowledgementsStoppingMidwayNameTheBlock) {
  FillBlock(0x8000, 1);
  FillBlock(0x3FF80, 2);
  unit.ackBlocks = 1;
  OpenUnit();

  auto worker = Program();
  EXPECT_TRUE(worker->TimedOut.load());
  EXPECT_EQ(worker->BlocksProgrammed.load(), 1);
  worker.reset();
  EXPECT_EQ(traces.Lines(), Lines{"Timeout: no acknowledgement for block 0x3FF80"});
  EXPECT_EQ(clock.Sleeps(), 101u);
}

TEST_F(ProgramCardTest, MissingStatusAfterRestartEndsTheWorker) {
  FillBlock(0x8000, 1);
  unit.restartPauses = -1;
  OpenUnit();

  auto worker = Program();
  EXPECT_TRUE(worker->TimedOut.load());
  EXPECT_EQ(worker->BlocksProgrammed.load(), worker->TotalBlocks.load());
  worker.reset();
  EXPECT_EQ(Value(state.Unit.CardStatus), 0);
  EXPECT_EQ(clock.Sleeps(), 1u + 300u);  // one for the block, 30 s for the status
  EXPECT_EQ(traces.Lines(), Lines{"Timeout: no status from the unit after programming"});
  const Bytes written = library.Written();
  const Bytes statusEnquiry = Concat({kFiller, Command(102)});
  ASSERT_EQ(written.size(), 12u + 198u + 12u + 300u * 12u);
  for (std::size_t i = 0; i < 300; ++i) {
    EXPECT_EQ(Bytes(written.begin() + 222 + i * 12, written.begin() + 234 + i * 12), statusEnquiry);
  }
}

TEST_F(ProgramCardTest, DestroyingTheWorkerWaitsForItsBoundedEnd) {
  FillBlock(0x8000, 1);
  unit.ackBlocks = 0;
  OpenUnit();
  {
    ProgramCard worker(state);
    EXPECT_EQ(worker.TotalBlocks.load(), 1);
  }
  EXPECT_EQ(clock.Sleeps(), 100u);
  EXPECT_EQ(traces.Count("Timeout: no acknowledgement for block 0x8000"), 1);
}

TEST_F(ProgramCardTest, ALinkFailureDuringProgrammingIsRecoveredAndTheRunCompletes) {
  FillBlock(0x8000, 1);
  FillBlock(0x8080, 2);
  library.SetShortWrites(100);
  OpenUnit();
  library.Inject({Call::Write, 3, 1, 4});  // inside the first block

  auto worker = Program();
  EXPECT_FALSE(worker->TimedOut.load());
  EXPECT_EQ(worker->BlocksProgrammed.load(), 2);
  worker.reset();
  EXPECT_EQ(traces.Lines(), (Lines{"Write failed 4!", "FTDI Chip recovery",
                                   "Recovery: Reset Device 0/0", "Recovery: Fixed!"}));
  const auto flash = unit.Flash();
  EXPECT_EQ(flash.at(0x8000), ImageBytes(0x8000, 128));
  EXPECT_EQ(flash.at(0x8080), ImageBytes(0x8080, 128));
  EXPECT_EQ(Value(state.Unit.CardStatus), 1);
}

TEST_F(ProgramCardTest, AUnitThatIsGoneLetsTheWorkerEndOnItsBounds) {
  FillBlock(0x8000, 1);
  OpenUnit();
  // Unplugged: every call on the old handle fails, and the unit is never found again.
  library.Inject({Call::Write, 1, 0, 4});
  library.Inject({Call::Reset, 1, 0, 4});
  library.Inject({Call::Open, 1, 0, 2});

  auto worker = Program();
  EXPECT_TRUE(worker->TimedOut.load());
  EXPECT_EQ(worker->BlocksProgrammed.load(), 0);
  worker.reset();
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(traces.Count("Recovery: *** Failed! ***"), 1);  // the ladder runs once
  EXPECT_EQ(traces.Lines().back(), "Timeout: no acknowledgement for block 0x8000");
  // The ladder's 50 pauses; then the link is closed for good and the wait ends.
  EXPECT_EQ(clock.Sleeps(), 50u + 1u);
}

// ------------------------------------------------------------------ at the unit's pace

struct PaceRow {
  std::int64_t ackMs;   // the unit's acknowledgement time
  int enquiriesPerBlock;  // status enquiries the original 100 ms pace sends per block
};

class UnitPace : public ProgramCardTest, public ::testing::WithParamInterface<PaceRow> {
 protected:
  UnitPace() { state.Options.PollPauseMs = kPollPauseMs; }
};

// Whatever the unit's speed, it receives what the original pace sent it, and the
// worker follows its acknowledgements within one pause.
TEST_P(UnitPace, TheUnitReceivesWhatTheOriginalPaceSentIt) {
  const PaceRow row = GetParam();
  FillBlock(0x8000, 1);
  FillBlock(0x8080, 2);
  unit.ackAfterMs = row.ackMs;
  unit.restartPauses = 0;
  OpenUnit();
  const std::int64_t start = clock.Counter();

  auto worker = Program();
  EXPECT_FALSE(worker->TimedOut.load());
  EXPECT_EQ(worker->BlocksProgrammed.load(), 2);
  worker.reset();
  Bytes waited;
  for (int i = 0; i < row.enquiriesPerBlock; ++i) waited = Concat({waited, Command(102)});
  EXPECT_EQ(library.Written(),
            Concat({kFiller, Command(201), BlockOnWire(0x8000), waited, BlockOnWire(0x8080), waited,
                    Command(203), kFiller, Command(102)}));
  // Never a second copy on time alone.
  EXPECT_EQ(unit.Addresses(), (std::vector<std::uint32_t>{0x8000, 0x8080}));
  const std::int64_t pause = kPollPauseMs * 1000;
  EXPECT_LE(clock.Counter() - start, 2 * (row.ackMs * 1000 + pause) + pause);
  EXPECT_TRUE(traces.Lines().empty());
}

INSTANTIATE_TEST_SUITE_P(AcknowledgementTimes, UnitPace,
                         ::testing::Values(PaceRow{0, 1}, PaceRow{150, 2}, PaceRow{350, 4},
                                           PaceRow{5000, 50}));

// On a system timer of 15.6 ms ticks (Windows' default) every look of the worker
// would last a tick, so it holds a fine timer while it programs: a block then costs
// the unit's time and about a look, not a tick. The model's "fine timing ignored"
// shows what the request saves. The timer is given back when the worker ends.
TEST_F(ProgramCardTest, TheWorkerHoldsAFineTimerAgainstACoarseSystemTick) {
  constexpr int kBlocks = 16;
  state.Options.PollPauseMs = kPollPauseMs;
  for (int block = 0; block < kBlocks; ++block)
    FillBlock(0x8000 + 128 * static_cast<std::uint32_t>(block), static_cast<std::uint8_t>(block));
  unit.ackAfterMs = 2;
  unit.restartPauses = 0;
  for (const bool honoured : {true, false}) {
    SCOPED_TRACE(honoured ? "fine timer granted" : "fine timer ignored");
    clock.SetTimerModel({15'600, honoured});
    int heldAtPauses = 0;
    unit.onPause = [&] { heldAtPauses += clock.FineTimingHolds() > 0 ? 1 : 0; };
    OpenUnit();
    const std::int64_t start = clock.Counter();
    auto worker = Program();
    const std::int64_t elapsed = clock.Counter() - start;
    EXPECT_FALSE(worker->TimedOut.load());
    EXPECT_EQ(worker->BlocksProgrammed.load(), kBlocks);
    worker.reset();
    EXPECT_GT(heldAtPauses, 0);
    EXPECT_EQ(clock.FineTimingHolds(), 0);
    const std::int64_t perBlock = 2'000 + 2 * kPollPauseMs * 1000;
    if (honoured)
      EXPECT_LE(elapsed, (kBlocks + 1) * perBlock);
    else
      EXPECT_GE(elapsed, kBlocks * 15'600);
    unit.onPause = nullptr;
    link.CloseUnit();
  }
}

TEST_F(ProgramCardTest, BothWaitsAreBoundsInTimeAtAnyPace) {
  struct Row {
    const char* name;
    int ackBlocks, restartPauses;
    std::int64_t boundMs;
    const char* trace;
    std::size_t statusEnquiries;
  };
  const Row rows[] = {
      {"acknowledgement", 0, 0, 10000, "Timeout: no acknowledgement for block 0x8000", 0},
      {"status", -1, -1, 30000, "Timeout: no status from the unit after programming", 300},
  };
  state.Options.PollPauseMs = kPollPauseMs;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CaseWorld world(clock);
    FakeLibrary& rowLibrary = world.library;
    ScriptedUnit& rowUnit = world.unit;
    rowUnit.ackBlocks = row.ackBlocks;
    rowUnit.restartPauses = row.restartPauses;
    FillBlock(0x8000, 1);
    ASSERT_TRUE(link.OpenFirstUnit());
    traces.Clear();
    const std::int64_t start = clock.Counter();

    auto worker = Program();
    EXPECT_TRUE(worker->TimedOut.load());
    worker.reset();
    const std::int64_t waited = clock.Counter() - start;
    EXPECT_GE(waited, row.boundMs * 1000);
    EXPECT_LE(waited, (row.boundMs + 2 * kPollPauseMs) * 1000);
    EXPECT_EQ(traces.Lines(), Lines{row.trace});
    const Bytes written = rowLibrary.Written();
    const Bytes statusEnquiry = Concat({kFiller, Command(102)});
    std::size_t found = 0;
    for (auto at = std::search(written.begin(), written.end(), statusEnquiry.begin(),
                               statusEnquiry.end());
         at != written.end();
         at = std::search(at + 1, written.end(), statusEnquiry.begin(), statusEnquiry.end())) {
      ++found;
    }
    EXPECT_EQ(found, row.statusEnquiries) << "one a 100 ms, not one a look";
    link.CloseUnit();
  }
}

// A recovery may lose the block in flight or its acknowledgement: the block goes
// again, and an acknowledgement of each copy still counts for that block alone.
TEST_F(ProgramCardTest, ABlockInFlightWhenTheLinkRecoveredIsSentAgain) {
  struct Row {
    const char* name;
    int loseAckOfCopy;
    std::int64_t ackMs;
    std::uint32_t resent;        // the block in flight at the recovery
    std::int64_t resentBlockMs;  // not 0: the unit's time for it and those after
  };
  const Row rows[] = {{"acknowledgement lost", 1, 0, 0x8000, 0},
                      {"both copies acknowledged", 0, 20, 0x8000, 0},
                      {"both copies acknowledged by a slow unit", 0, 350, 0x8000, 0},
                      // The blocks before it measured the unit as fast.
                      {"a block slower than the one before it", 0, 20, 0x8080, 350}};
  state.Options.PollPauseMs = kPollPauseMs;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CaseWorld world(clock);
    FakeLibrary& rowLibrary = world.library;
    ScriptedUnit& rowUnit = world.unit;
    rowUnit.loseAckOfCopy = row.loseAckOfCopy;
    rowUnit.ackAfterMs = row.ackMs;
    rowUnit.restartPauses = 0;
    const int resentIndex = static_cast<int>((row.resent - 0x8000) / 0x80);
    if (row.resentBlockMs != 0) {
      rowUnit.slowerFromBlock = resentIndex + 1;
      rowUnit.slowerAckMs = row.resentBlockMs;
    }
    FillBlock(0x8000, 1);
    FillBlock(0x8080, 2);
    FillBlock(0x8100, 3);
    ASSERT_TRUE(link.OpenFirstUnit());
    traces.Clear();
    // The first look once the unit has the block fails: the link recovers.
    bool injected = false;
    rowUnit.onPause = [&] {
      if (injected || rowUnit.Addresses().size() != static_cast<std::size_t>(resentIndex) + 1) return;
      injected = true;
      rowLibrary.Inject({Call::QueueStatus, 1, 1, 4});
    };

    auto worker = Program();
    EXPECT_FALSE(worker->TimedOut.load());
    EXPECT_EQ(worker->BlocksProgrammed.load(), 3);
    worker.reset();
    std::vector<std::uint32_t> sent = {0x8000, 0x8080, 0x8100};
    sent.insert(sent.begin() + resentIndex, row.resent);
    EXPECT_EQ(rowUnit.Addresses(), sent);
    EXPECT_FALSE(rowUnit.Overrun()) << "a block went before the unit had acknowledged the last";
    char resentTrace[64];
    std::snprintf(resentTrace, sizeof resentTrace, "Link recovered: block 0x%X sent again",
                  static_cast<unsigned>(row.resent));
    EXPECT_EQ(traces.Count(resentTrace), 1);
    EXPECT_EQ(rowUnit.Flash().at(row.resent), ImageBytes(row.resent, 128));
    EXPECT_EQ(Value(state.Unit.CardStatus), 1);
    link.CloseUnit();
  }
}

// Each recovery resends the block at most twice; then the bound ends the run.
TEST_F(ProgramCardTest, ResendsAreBoundedAndTheBoundStillHolds) {
  FillBlock(0x8000, 1);
  state.Options.PollPauseMs = kPollPauseMs;
  unit.ackBlocks = 0;
  OpenUnit();
  // Three looks in a row fail (each fails its query and the query after the recovery).
  library.Inject({Call::QueueStatus, 1, 6, 4});

  auto worker = Program();
  EXPECT_TRUE(worker->TimedOut.load());
  worker.reset();
  EXPECT_EQ(unit.Addresses(), (std::vector<std::uint32_t>{0x8000, 0x8000, 0x8000}));
  EXPECT_EQ(traces.Count("Recovery: Fixed!"), 3);
  EXPECT_EQ(traces.Lines().back(), "Timeout: no acknowledgement for block 0x8000");
}

}  // namespace
}  // namespace loader
