// Whole downloads over the fake unit and its simulated peripherals, on the virtual
// clock: the frame's start and status, every result with the stage it leaves, the
// packets and blocks on the bus, and what the peripheral stored.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <new>
#include <numeric>
#include <stdexcept>
#include <thread>

#include "download/cctalk.h"
#include "download/frame.h"
#include "sim/cctalk_cipher.h"
#include "tests/download/fake_unit.h"

namespace dfltest {
namespace {

using sim::FaultKind;
using sim::PeripheralModel;

constexpr std::int32_t kSr5 = 0x02020103, kElite = 0x12020107, kLumina = 0x12020105;
constexpr std::uint8_t kCoinCommand = 96, kBlockCommand = 144;

std::vector<std::uint8_t> Bytes(std::size_t count, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(seed * 31 + i * 7);
  return bytes;
}

// A coin file: the table of sixteen lengths, then the definitions in position order.
std::vector<std::uint8_t> CoinFile(const std::vector<std::pair<int, std::size_t>>& coins) {
  std::vector<std::uint8_t> file(32, 0);
  for (const auto& [position, length] : coins) {
    file[2 * (position - 1)] = static_cast<std::uint8_t>(length);
    file[2 * (position - 1) + 1] = static_cast<std::uint8_t>(length >> 8);
  }
  for (const auto& [position, length] : coins) {
    const std::vector<std::uint8_t> definition = Bytes(length, static_cast<std::uint32_t>(position));
    file.insert(file.end(), definition.begin(), definition.end());
  }
  return file;
}

struct Outcome {
  std::int16_t start, stage, result, progress, total, busy;
};

struct Download : ::testing::Test {
  Download() : library(unit) {
    unit.AddAcceptor(kSr5, 2, PeripheralModel::kSr5);
    unit.AddAcceptor(kElite, 40, PeripheralModel::kElite);
    unit.AddAcceptor(kLumina, 41, PeripheralModel::kLumina);
  }
  Outcome Run(const std::string& path, std::uint32_t address, std::uint32_t kind) {
    library.Watch(kind == dfl::kKindCoins);
    Outcome o{};
    o.start = library.library.Start(path.c_str(), address, kind);
    o.busy = library.library.Status(&o.stage, &o.result, &o.progress, &o.total);
    return o;
  }
  const sim::PeripheralHolding Holding(std::uint8_t address) const {
    for (const sim::PeripheralHolding& h : unit.bus.Holdings())
      if (h.address == address) return h;
    return {};
  }
  // Data of the messages with this header, as sent (decrypted where encrypted).
  std::vector<std::vector<std::uint8_t>> Messages(std::uint8_t header, bool encrypted,
                                                  const dfl::KeyDigits& key = {4, 9, 0, 7, 2, 8}) {
    std::vector<std::vector<std::uint8_t>> found;
    for (std::vector<std::uint8_t> m : unit.Sent()) {
      if (encrypted) sim::cctalk::Decrypt(m.data() + 2, m.size() - 2, key);
      if (m[3] == header) found.emplace_back(m.begin() + 4, m.end() - 1);
    }
    return found;
  }
  FakeUnit unit;
  Library library;
};

TEST_F(Download, CoinsGoOutInPacketsOf128AndTheSr5HoldsTheFile) {
  const std::vector<std::uint8_t> file = CoinFile({{2, 300}, {5, 128}});
  const std::int64_t start = unit.clock.Counter();
  const Outcome o = Run(WriteFile("coins.bin", file), 2, dfl::kKindCoins);
  EXPECT_EQ(o.start, dfl::kStartOk);
  EXPECT_EQ(o.result, dfl::kResultDone);
  EXPECT_EQ(o.stage, dfl::kStageFinished);
  EXPECT_EQ(o.busy, 0);
  EXPECT_EQ(o.progress, 428 / 128);
  EXPECT_EQ(o.total, static_cast<std::int16_t>(file.size() / 128));
  EXPECT_EQ(Holding(2).content, file);
  EXPECT_EQ(Holding(2).resets, 1u);
  // 300 bytes as 128, 128 and 44 (length bytes 129, 129, 45); 128 bytes as one.
  std::vector<std::size_t> lengths;
  std::vector<std::uint8_t> ends;
  for (const auto& data : Messages(kCoinCommand, false)) {
    if (data[0] == 0xFE) lengths.push_back(data.size());
    if (data[0] == 0xFD) ends.push_back(data[1]);
  }
  EXPECT_EQ(lengths, (std::vector<std::size_t>{129, 129, 45, 129}));
  EXPECT_EQ(ends, (std::vector<std::uint8_t>{2, 5}));
  for (const char* line : {"300 bytes left to transmit\n", "172 bytes left to transmit\n",
                           "44 bytes left to transmit\n", "\"Begin packet\" (5) accepted\n",
                           "File transmission complete (SUCCESS)\n", "Download complete\n"})
    EXPECT_TRUE(library.trace.Has(line)) << line;
  EXPECT_EQ(library.trace.stages,
            (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 10, 11, 12, 13, 14, 15, 16}));
  // The fixed waits (1 s after the hand-over, 250 ms after the erase and each coin,
  // 1 s settling and twice 2 s at the end), and each of the 11 messages ends within
  // 10 ms of its reply (5 ms on this bus): no whole tick per message.
  const std::int64_t elapsed = unit.clock.Counter() - start;
  EXPECT_GE(elapsed, 6'750'000);
  EXPECT_LE(elapsed, 6'750'000 + 11 * 15'000);
}

TEST_F(Download, EveryCoinPositionIsStoredAsSent) {
  struct Case {
    std::vector<std::pair<int, std::size_t>> coins;
    std::size_t messages;  // of header 96: erase, then begin, packets and end per coin
  } const cases[] = {
      {{}, 1},  // nothing but the erase
      {{{16, 200}}, 1 + 4},
      {{{1, 1}, {16, 129}}, 1 + 3 + 4},
  };
  for (const Case& c : cases) {
    const std::vector<std::uint8_t> file = CoinFile(c.coins);
    unit.requests.clear();
    const Outcome o = Run(WriteFile("positions.bin", file), 2, dfl::kKindCoins);
    EXPECT_EQ(o.result, dfl::kResultDone) << c.coins.size();
    EXPECT_TRUE(library.trace.Has("File transmission complete (SUCCESS)\n"));
    EXPECT_EQ(Messages(kCoinCommand, false).size(), c.messages);
    EXPECT_EQ(Holding(2).content, file) << c.coins.size();
  }
}

TEST_F(Download, CoinFailuresLeaveTheirResultAndStage) {
  const std::vector<std::uint8_t> good = CoinFile({{1, 200}});
  std::vector<std::uint8_t> longer = good, shorter = good;
  longer.push_back(0);
  shorter.pop_back();
  // The largest file the table can describe within the library's buffer, one byte
  // more: consistent as far as the buffer reaches.
  const std::vector<std::uint8_t> largest = CoinFile({{1, 65535}, {2, 65535}, {3, 2}});
  std::vector<std::uint8_t> pastBuffer = largest;
  pastBuffer.push_back(0);
  struct Case {
    const char* name;
    std::vector<std::uint8_t> file;  // empty: no such file
    std::uint32_t address;
    std::function<void(FakeUnit&)> arrange;
    std::int16_t result, stage;
    const char* line;  // in the trace, or on standard output for result 5
  } const cases[] = {
      {"no file", {}, 2, nullptr, 1, 1, "Error opening file\n"},
      {"one byte more", longer, 2, nullptr, 2, 1, "Error opening file\n"},
      {"one byte less", shorter, 2, nullptr, 2, 1, "Error opening file\n"},
      {"one byte past the largest file", pastBuffer, 2, nullptr, 2, 1, "Error opening file\n"},
      {"the largest file", largest, 2,
       [](FakeUnit& u) { u.bus.InjectFault({2, kCoinCommand, 1, false, FaultKind::kNak}); }, 6,
       17, "Resetting SR5\n"},
      {"no interface", good, 2, [](FakeUnit& u) { u.openResult = 31; }, 3, 2,
       "Error opening VOD - code 31\n"},
      {"not at that address", good, 3, nullptr, 4, 4, "Failed to find SR5 - aborting\n"},
      {"bus refused", good, 2, [](FakeUnit& u) { u.refuseBus = true; }, 5, 14,
       "***** No Response ***** Letting Tarvex retake control of cctalk\n"},
      {"poll unanswered", good, 2,
       [](FakeUnit& u) { u.bus.InjectFault({2, 254, 1, false, FaultKind::kSilent}); }, 5, 14,
       "***** No Response ***** Letting Tarvex retake control of cctalk\n"},
      {"erase refused", good, 2,
       [](FakeUnit& u) { u.bus.InjectFault({2, kCoinCommand, 1, false, FaultKind::kNak}); }, 6,
       17, "Resetting SR5\n"},
      {"begin refused", good, 2,
       [](FakeUnit& u) { u.bus.InjectFault({2, kCoinCommand, 2, false, FaultKind::kNak}); }, 6,
       17, "Error on \"Begin Packet\" transmission\n"},
      {"second packet lost", good, 2,
       [](FakeUnit& u) { u.bus.InjectFault({2, kCoinCommand, 4, false, FaultKind::kSilent}); },
       6, 17, "Error on coin 1, line 1 transmission\n"},
      {"end refused", good, 2,
       [](FakeUnit& u) { u.bus.InjectFault({2, kCoinCommand, 5, false, FaultKind::kNak}); }, 6,
       17, "Error on \"end packet\" transmission\n"},
  };
  for (const Case& c : cases) {
    FakeUnit fresh;
    fresh.AddAcceptor(kSr5, 2, PeripheralModel::kSr5);
    if (c.arrange) c.arrange(fresh);
    Library lib(fresh);
    const std::string path = c.file.empty() ? std::string("/nonexistent/coins.bin")
                                            : WriteFile("coins-case.bin", c.file);
    ASSERT_EQ(lib.library.Start(path.c_str(), c.address, 0), 0);
    std::int16_t stage, result, progress, total;
    EXPECT_EQ(lib.library.Status(&stage, &result, &progress, &total), 0) << c.name;
    EXPECT_EQ(result, c.result) << c.name;
    EXPECT_EQ(stage, c.stage) << c.name;
    const Lines& lines = c.result == 5 ? lib.output : lib.trace;
    EXPECT_TRUE(lines.Has(c.line)) << c.name;
    // A bad file never reaches the interface; a found SR5 always ends with the bus
    // handed back, and the interface is switched off only when none was found.
    EXPECT_EQ(fresh.opens, c.result <= 2 ? 0 : 1) << c.name;
    EXPECT_EQ(fresh.disables, c.result == 4 ? 1 : 0) << c.name;
    EXPECT_EQ(fresh.CountCommand(3), c.result >= 5 ? 1 : 0) << c.name;
    EXPECT_EQ(fresh.CountCommand(4), c.result == 6 ? 1 : 0) << c.name;
  }
}

TEST_F(Download, BillTablesGoOutInBlocksOfLinesAndTheAcceptorHoldsThem) {
  struct Case {
    std::size_t size;
    std::uint32_t kind;
    std::vector<std::pair<int, int>> blockLines;  // of the block messages, in order
  } const cases[] = {
      {300, dfl::kKindElite, {{1, 0}, {1, 1}, {1, 2}}},
      {256, dfl::kKindLumina, {{1, 0}, {1, 1}}},
      {32769, dfl::kKindLumina, {}},  // lines 0 to 255 of block 1, then block 2 line 0
  };
  for (const Case& c : cases) {
    FakeUnit fresh;
    fresh.AddAcceptor(kElite, 40, PeripheralModel::kElite);
    fresh.AddAcceptor(kLumina, 41, PeripheralModel::kLumina);
    Library lib(fresh);
    lib.Watch(false);
    const std::vector<std::uint8_t> file = Bytes(c.size, 3);
    const std::string path = WriteFile("bills.bin", file);
    const std::uint32_t address = c.kind == dfl::kKindElite ? 40 : 41;
    ASSERT_EQ(lib.library.Start(path.c_str(), address, c.kind), 0);
    std::int16_t stage, result, progress, total;
    lib.library.Status(&stage, &result, &progress, &total);
    EXPECT_EQ(result, dfl::kResultDone) << c.size;
    EXPECT_EQ(stage, dfl::kStageFinished);
    EXPECT_EQ(total, static_cast<std::int16_t>(c.size / 128));
    EXPECT_EQ(progress, static_cast<std::int16_t>((c.size + 127) / 128));
    const sim::PeripheralHolding held = [&] {
      for (const auto& h : fresh.bus.Holdings())
        if (h.address == address) return h;
      return sim::PeripheralHolding{};
    }();
    EXPECT_EQ(held.content, file) << c.size;
    EXPECT_TRUE(held.upgradeFinished) << c.size;
    EXPECT_EQ(held.resets, c.kind == dfl::kKindLumina ? 1u : 0u);
    EXPECT_TRUE(lib.trace.Has("End of File\n"));
    // Elite: every message encrypted; Lumina: the upload and the finish in clear.
    const bool elite = c.kind == dfl::kKindElite;
    EXPECT_EQ(lib.trace.Has("(Encryption OFF)\n"), !elite);
    EXPECT_TRUE(lib.trace.Has("Encryption ON\n"));
    const int clear = lib.trace.Count("Entered \"RawDialogue\" (2000 ms) (Clear)") +
                      lib.trace.Count("Entered \"RawDialogue\" (10000 ms) (Clear)");
    EXPECT_EQ(clear, elite ? 0 : static_cast<int>(progress) + 2);
    EXPECT_EQ(lib.trace.Count("Entered \"RawDialogue\" (1000 ms) (Encrypted)"), elite ? 1 : 2);
    std::vector<std::pair<int, int>> blockLines;
    std::vector<std::size_t> lengths;
    for (std::vector<std::uint8_t> m : fresh.Sent()) {
      if (elite) sim::cctalk::Decrypt(m.data() + 2, m.size() - 2, {4, 9, 0, 7, 2, 8});
      if (m[3] == kBlockCommand && m[1] != 5) {
        blockLines.emplace_back(m[4], m[5]);
        lengths.push_back(m[1]);
      }
    }
    if (c.size == 32769) {
      ASSERT_EQ(blockLines.size(), 257u);
      EXPECT_EQ(blockLines[255], (std::pair<int, int>{1, 255}));
      EXPECT_EQ(blockLines[256], (std::pair<int, int>{2, 0}));
      EXPECT_EQ(lengths.back(), 3u);
    } else {
      EXPECT_EQ(blockLines, c.blockLines) << c.size;
      if (c.size == 300) { EXPECT_EQ(lengths, (std::vector<std::size_t>{130, 130, 46})); }
    }
    const std::vector<std::uint32_t> elitePath = {0, 1, 2, 3, 4, 5, 6, 8, 10, 11, 12, 14, 15, 16};
    const std::vector<std::uint32_t> luminaPath = {0, 1, 2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    EXPECT_EQ(lib.trace.stages, elite ? elitePath : luminaPath) << c.size;
  }
}

TEST_F(Download, ABlockThatFailsOnceGoesAgainUnchangedAndTwiceAborts) {
  const std::vector<std::uint8_t> file = Bytes(300, 9);
  const std::string path = WriteFile("retry.bin", file);
  // The header is message 1 of 144; line 1 is message 3.
  unit.bus.InjectFault({40, kBlockCommand, 3, false, FaultKind::kSilent});
  Outcome o = Run(path, 40, dfl::kKindElite);
  EXPECT_EQ(o.result, dfl::kResultDone);
  EXPECT_TRUE(library.trace.Has("Error on block 1:1 transmission - retrying\n"));
  const auto blocks = Messages(kBlockCommand, true);
  ASSERT_EQ(blocks.size(), 5u);  // header, lines 0, 1, 1 again, 2
  EXPECT_EQ(blocks[2], blocks[3]);
  EXPECT_EQ(Holding(40).content, file);

  unit.bus.InjectFault({40, kBlockCommand, 3, true, FaultKind::kNak});
  o = Run(path, 40, dfl::kKindElite);
  EXPECT_EQ(o.result, dfl::kResultSendFailed);
  EXPECT_EQ(o.stage, dfl::kStageFinished);
  EXPECT_TRUE(library.trace.Has("Second error on block 1:1 transmission - abort download\n"));
  EXPECT_TRUE(library.trace.Has("File transmission complete (FAILURE)\n"));
  EXPECT_EQ(unit.CountCommand(4), 2);  // control returned after both downloads
}

// Field pace: a 9600 baud bus (about 1.04 ms a byte), the unit answering every raw
// port command 30 to 90 ms late, and a system timer of 15.6 ms ticks. Whether the unit
// answers an empty receive below 0 or with 0 (as a request not answered yet reads),
// no command is placed over one in flight, so no reply is lost: the download sends
// what it sends to a prompt unit, byte for byte. The fine timer it holds keeps each
// message within 10 ms of its wire, reply and answer times.
TEST_F(Download, UnitsAnsweringLateOnASlowBusGetEveryMessageAndKeepThePace) {
  const std::vector<std::uint8_t> coins = CoinFile({{1, 600}, {3, 100}});
  const std::vector<std::uint8_t> bills = Bytes(128 * 6 + 20, 9);
  const auto wire = [](std::size_t bytes) { return static_cast<std::int64_t>(bytes) * 10'000'000 / 9600; };
  struct Run {
    std::vector<std::vector<std::uint8_t>> sent;
    std::int64_t elapsed = 0;
    std::int16_t result = -1;
    int refused = 0, foreign = 0, timeouts = 0;
  };
  const auto download = [&](std::uint32_t kind, std::uint32_t delayMs, int empty, std::uint32_t foreignMs) {
    FakeUnit field;
    field.AddAcceptor(kSr5, 2, PeripheralModel::kSr5);
    field.AddAcceptor(kElite, 40, PeripheralModel::kElite);
    if (delayMs > 0) {
      field.bus.SetBaud(9600);
      field.clock.SetTimerModel({15'600, true});
    }
    field.answerDelayMs = delayMs;
    field.emptyReceive = empty;
    field.foreignBlockMs = foreignMs;
    Library lib(field);
    int heldLines = 0;
    lib.trace.onLine = [&](const std::string&) { heldLines += field.clock.FineTimingHolds(); };
    const std::int64_t start = field.clock.Counter();
    const bool coinKind = kind == dfl::kKindCoins;
    const std::string path = WriteFile("field.bin", coinKind ? coins : bills);
    EXPECT_EQ(lib.library.Start(path.c_str(), coinKind ? 2 : 40, kind), 0);
    Run run;
    std::int16_t stage, progress, total;
    lib.library.Status(&stage, &run.result, &progress, &total);
    run.elapsed = field.clock.Counter() - start;
    run.sent = field.Sent();
    run.refused = field.refused;
    run.foreign = field.foreignRefusals;
    run.timeouts = lib.trace.Count("Timeout Condition");
    EXPECT_GT(heldLines, 0) << "a fine timer is held while the download runs";
    EXPECT_EQ(field.clock.FineTimingHolds(), 0) << "and given back at its end";
    const auto held = field.bus.Holdings();
    if (run.result == dfl::kResultDone) {
      EXPECT_EQ(held[coinKind ? 0 : 1].content, coinKind ? coins : bills);
    }
    return run;
  };
  for (const std::uint32_t kind : {dfl::kKindCoins, dfl::kKindElite}) {
    const Run prompt = download(kind, 0, -1, 0);
    ASSERT_EQ(prompt.result, dfl::kResultDone);
    struct Case {
      std::uint32_t delayMs;
      int empty;
      std::uint32_t foreignMs;
    } const cases[] = {{30, -1, 0}, {60, -1, 0}, {90, -1, 0}, {100, 0, 0}, {30, -1, 4}};
    for (const Case& c : cases) {
      const std::string name = std::to_string(kind) + "/" + std::to_string(c.delayMs) + "/" +
                               std::to_string(c.empty) + "/" + std::to_string(c.foreignMs);
      const Run field = download(kind, c.delayMs, c.empty, c.foreignMs);
      EXPECT_EQ(field.result, dfl::kResultDone) << name;
      EXPECT_EQ(field.sent, prompt.sent) << name;
      EXPECT_EQ(field.timeouts, 0) << name;
      EXPECT_EQ(field.refused, 0) << name;
      EXPECT_EQ(field.foreign > 0, c.foreignMs > 0) << name;
      if (c.empty < 0 && c.foreignMs == 0) {
        // Each message: its wire time and its reply's (5 bytes), two answers (the
        // transmit's and the receive that fetches the reply) and 10 ms; the bus
        // requested and released are two answers more.
        std::int64_t budget = prompt.elapsed + 2 * std::int64_t{c.delayMs} * 1000;
        for (const auto& message : field.sent)
          budget += wire(message.size()) + wire(5) + 2 * std::int64_t{c.delayMs} * 1000 + 10'000;
        EXPECT_LE(field.elapsed, budget) << name;
      }
    }
    // Until a unit has answered an empty receive below 0, a 0 is waited for one tick
    // (100 ms, as above) and then taken for an empty answer: a unit that answers with
    // 0 later than that sees the next request before its answer.
    EXPECT_GT(download(kind, 101, 0, 0).refused, 0);
  }
}

// A unit that stops serving mid-upload, its last request left in flight: every step
// fails within its bound, and the download ends with result 6 in well under a minute
// rather than waiting each tick out on a request that can never be placed.
TEST_F(Download, AUnitThatStopsMidUploadEndsTheDownloadInBoundedTime) {
  unit.answerDelayMs = 1;
  library.trace.onLine = [&](const std::string&) {
    if (library.library.state.bill.sent.load() == 5) unit.stopAnswering = true;
  };
  const std::int64_t start = unit.clock.Counter();
  const Outcome o = Run(WriteFile("stops.bin", Bytes(128 * 40, 6)), 40, dfl::kKindElite);
  EXPECT_EQ(o.result, dfl::kResultSendFailed);
  EXPECT_EQ(o.stage, dfl::kStageFinished);
  EXPECT_TRUE(library.trace.Has("Second error on block 1:4 transmission - abort download\n"));
  // 1 s + 3 s + 10 s + 2 s of fixed waits, and 5 s for each step the unit does not take.
  EXPECT_LT(unit.clock.Counter() - start, 60'000'000);
}

// A unit answers a raw port command on its next round and takes no new one until then:
// the retry right after a reply wait's last receive request, and the finish after a
// lost reply, must still reach the acceptor.
TEST_F(Download, ARetryReachesTheAcceptorOfAUnitThatAnswersOnItsNextRound) {
  unit.answerDelayMs = 2;
  const std::vector<std::uint8_t> file = Bytes(300, 4);
  const std::string path = WriteFile("retry-round.bin", file);
  unit.bus.InjectFault({40, kBlockCommand, 3, false, FaultKind::kSilent});
  const Outcome o = Run(path, 40, dfl::kKindElite);
  EXPECT_EQ(o.result, dfl::kResultDone);
  const auto blocks = Messages(kBlockCommand, true);
  ASSERT_EQ(blocks.size(), 5u);  // header, lines 0, 1, 1 again, 2
  EXPECT_EQ(blocks[2], blocks[3]);
  EXPECT_EQ(Holding(40).content, file);
  EXPECT_TRUE(Holding(40).upgradeFinished);
}

TEST_F(Download, BillFailuresLeaveTheirResultAndStage) {
  const std::string path = WriteFile("bill-case.bin", Bytes(200, 1));
  struct Case {
    const char* name;
    std::uint32_t address, kind;
    std::function<void(FakeUnit&)> arrange;
    std::int16_t result, stage;
  } const cases[] = {
      {"Elite asked, Lumina there", 41, dfl::kKindElite, nullptr, 4, 4},
      {"Lumina asked, Elite there", 40, dfl::kKindLumina, nullptr, 4, 4},
      {"no interface", 40, dfl::kKindElite, [](FakeUnit& u) { u.openResult = 1167; }, 3, 2},
      {"bus refused", 40, dfl::kKindElite, [](FakeUnit& u) { u.refuseBus = true; }, 5, 14},
      {"begin refused", 40, dfl::kKindElite,
       [](FakeUnit& u) { u.bus.InjectFault({40, 143, 1, false, FaultKind::kNak}); }, 6, 17},
      {"header lost", 41, dfl::kKindLumina,
       [](FakeUnit& u) { u.bus.InjectFault({41, kBlockCommand, 1, false, FaultKind::kSilent}); },
       6, 17},
      {"finish refused: no matter", 40, dfl::kKindElite,
       [](FakeUnit& u) { u.bus.InjectFault({40, 142, 1, false, FaultKind::kNak}); }, 0, 17},
  };
  for (const Case& c : cases) {
    FakeUnit fresh;
    fresh.AddAcceptor(kElite, 40, PeripheralModel::kElite);
    fresh.AddAcceptor(kLumina, 41, PeripheralModel::kLumina);
    if (c.arrange) c.arrange(fresh);
    Library lib(fresh);
    ASSERT_EQ(lib.library.Start(path.c_str(), c.address, c.kind), 0);
    std::int16_t stage, result, progress, total;
    lib.library.Status(&stage, &result, &progress, &total);
    EXPECT_EQ(result, c.result) << c.name;
    EXPECT_EQ(stage, c.stage) << c.name;
    if (c.result == 6) { EXPECT_TRUE(lib.trace.Has("File transmission complete (FAILURE)\n")) << c.name; }
    if (c.result == 5) { EXPECT_TRUE(lib.output.Has("Release bus returned 1\n")) << c.name; }
    if (c.result == 4) { EXPECT_TRUE(lib.trace.Has("Failed to find Elite - aborting\n")) << c.name; }
  }
  // The file cannot be opened: said on standard output.
  FakeUnit fresh;
  Library lib(fresh);
  ASSERT_EQ(lib.library.Start("/nonexistent/bills.bin", 40, 1), 0);
  EXPECT_TRUE(lib.output.Has("Error opening file\n"));
  EXPECT_EQ(fresh.opens, 0);
}

TEST_F(Download, AKeyChangeTakesEffectWithTheNextMessage) {
  const std::vector<std::uint8_t> file = Bytes(128 * 6, 5);
  const std::string path = WriteFile("key.bin", file);
  // The change lands as the fourth line's message begins.
  const auto changeAtLineFour = [&](bool acceptorToo, std::uint32_t serial) {
    library.trace.onLine = [&, acceptorToo, serial](const std::string& line) {
      if (line.rfind("Entered", 0) != 0 || library.library.state.bill.sent.load() != 4) return;
      library.library.SetEncryptionSerialNumber(serial);
      if (acceptorToo) unit.bus.SetKeyDigits({1, 2, 3, 4, 5, 6});
      library.trace.onLine = nullptr;
    };
  };
  changeAtLineFour(true, 0x123456);
  Outcome o = Run(path, 40, dfl::kKindElite);
  EXPECT_EQ(o.result, dfl::kResultDone);
  EXPECT_EQ(Holding(40).content, file);
  EXPECT_EQ(Holding(40).rejected, 0u);
  EXPECT_TRUE(library.trace.Has("Changing encryption serial number to 0x123456 (BCD)\n"));

  // The acceptor keeps 123456 and the library goes to 654321: line 4 fails twice,
  // and so does the finish.
  changeAtLineFour(false, 0x654321);
  o = Run(path, 40, dfl::kKindElite);
  EXPECT_EQ(o.result, dfl::kResultSendFailed);
  EXPECT_TRUE(library.trace.Has("Second error on block 1:3 transmission - abort download\n"));
  EXPECT_EQ(Holding(40).rejected, 3u);
}

TEST_F(Download, TheFrameReportsItsStateAndRefusesWhatItCannotRun) {
  std::int16_t stage = -1, result = -1, progress = -1, total = -1;
  // Loaded, nothing run: kind 0, stage 0, result 9.
  EXPECT_EQ(library.library.Status(&stage, &result, &progress, &total), 0);
  EXPECT_EQ((std::vector<int>{stage, result, progress, total}), (std::vector<int>{0, 9, 0, 0}));
  // An unknown kind: nothing starts, and the status says 17, 8, 0, 0 until a good start.
  EXPECT_EQ(library.library.Start("x", 2, 3), dfl::kStartBadKind);
  EXPECT_EQ(library.library.Status(&stage, &result, &progress, &total), 0);
  EXPECT_EQ((std::vector<int>{stage, result, progress, total}), (std::vector<int>{17, 8, 0, 0}));
  // High bits of address and kind are ignored: 0x10001 is kind 1, 0x10028 address 40.
  const std::string path = WriteFile("frame.bin", Bytes(10, 1));
  EXPECT_EQ(library.library.Start(path.c_str(), 0x10028, 0x10001), dfl::kStartOk);
  library.library.Status(&stage, &result, &progress, &total);
  EXPECT_EQ(result, dfl::kResultDone);

  // No thread: start answers 1, busy 0, the result kept. A running download refuses
  // a second start and keeps its state.
  std::function<void()> held;
  dfl::Defloader noThread(FakeUnit::Calls(), unit.clock, library.trace, library.output,
                          [](std::function<void()>) { return false; });
  noThread.Loaded();
  EXPECT_EQ(noThread.Start(path.c_str(), 40, 1), dfl::kStartNoThread);
  EXPECT_EQ(noThread.Status(&stage, &result, &progress, &total), 0);
  EXPECT_EQ(result, dfl::kResultRunning);
  // No memory for the thread: the same, and busy is not left set.
  dfl::Defloader noMemory(FakeUnit::Calls(), unit.clock, library.trace, library.output,
                          [](std::function<void()>) -> bool { throw std::bad_alloc(); });
  noMemory.Loaded();
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(noMemory.Start(path.c_str(), 40, 1), dfl::kStartNoThread);
    EXPECT_EQ(noMemory.Status(&stage, &result, &progress, &total), 0);
  }
  dfl::Defloader later(FakeUnit::Calls(), unit.clock, library.trace, library.output,
                       [&](std::function<void()> body) {
                         held = std::move(body);
                         return true;
                       });
  EXPECT_EQ(later.Start(path.c_str(), 40, 1), dfl::kStartOk);
  EXPECT_EQ(later.Start(path.c_str(), 2, 0), dfl::kStartBusy);
  EXPECT_EQ(later.Start(path.c_str(), 2, 7), dfl::kStartBusy);
  EXPECT_EQ(later.Status(&stage, &result, &progress, &total), 1);
  EXPECT_EQ(stage, 0);
  held();
  EXPECT_EQ(later.Status(&stage, &result, &progress, &total), 0);
  EXPECT_EQ(result, dfl::kResultDone);

  // Key digits from the low 24 bits; a long trace line is cut, not overrun.
  library.trace.lines.clear();
  library.library.SetEncryptionSerialNumber(static_cast<std::uint32_t>(0x7F0A1234));
  EXPECT_EQ(library.trace.lines.at(0), "Changing encryption serial number to 0x0A1234 (BCD)\n");
  EXPECT_EQ(library.library.Key(), (dfl::KeyDigits{0, 10, 1, 2, 3, 4}));
  const std::string longPath(2000, 'p');
  library.trace.lines.clear();
  library.library.Start(longPath.c_str(), 2, 0);
  EXPECT_EQ(library.trace.lines.at(0), "Loading " + std::string(503, 'p'));
}

// What goes out is the whole file or nothing: a table that is empty, too large for
// its block numbers, unreadable, or not the size reported never reaches the bus.
TEST_F(Download, FilesNotReadWholeAndFitAreRefusedBeforeAnythingIsSent) {
  constexpr std::uintmax_t kLargestTable = 255ULL * 256 * 128;  // 8,355,840 bytes
  const std::string empty = WriteFile("empty.bin", {});
  const std::string largest = WriteFile("largest.bin", {});
  std::filesystem::resize_file(largest, kLargestTable);
  const std::string tooLarge = WriteFile("too-large.bin", {});
  std::filesystem::resize_file(tooLarge, kLargestTable + 1);
  const std::string folder = std::filesystem::path(empty).parent_path().string();
  struct Case {
    std::string path;
    std::uint32_t kind;
    std::int16_t result;  // 6: accepted, and the begin refused so that nothing goes out
  } cases[] = {
      {empty, dfl::kKindElite, 1},
      {empty, dfl::kKindLumina, 1},
      {tooLarge, dfl::kKindElite, 1},
      {largest, dfl::kKindLumina, 6},
      {folder, dfl::kKindElite, 1},
      {folder, dfl::kKindCoins, 1},
#if !defined(_WIN32)
      {"/dev/zero", dfl::kKindElite, 1},
      // Reported as 0 bytes, yet it has content.
      {"/proc/self/status", dfl::kKindCoins, 1},
      {"/proc/self/status", dfl::kKindLumina, 1},
#endif
  };
  for (const Case& c : cases) {
    FakeUnit fresh;
    fresh.AddAcceptor(kSr5, 2, PeripheralModel::kSr5);
    fresh.AddAcceptor(kLumina, 41, PeripheralModel::kLumina);
    fresh.AddAcceptor(kElite, 40, PeripheralModel::kElite);
    fresh.bus.InjectFault({41, 143, 1, false, FaultKind::kNak});
    Library lib(fresh);
    const std::uint32_t address =
        c.kind == dfl::kKindCoins ? 2 : c.kind == dfl::kKindElite ? 40 : 41;
    ASSERT_EQ(lib.library.Start(c.path.c_str(), address, c.kind), dfl::kStartOk);
    std::int16_t stage, result, progress, total;
    lib.library.Status(&stage, &result, &progress, &total);
    EXPECT_EQ(result, c.result) << c.path << " kind " << c.kind;
    EXPECT_EQ(stage, c.result == 1 ? dfl::kStageLoading : dfl::kStageFinished) << c.path;
    EXPECT_EQ(fresh.opens, c.result == 1 ? 0 : 1) << c.path;
    // Accepted: the poll, the begin, the finish and the reset.
    EXPECT_EQ(fresh.CountCommand(1), c.result == 1 ? 0 : 4) << c.path;
  }
}

// A unit that never answers while the clock's count crosses the point where it
// times 1000 no longer fits 64 bits (some 106 days of a nanosecond counter): each
// bounded wait still ends.
TEST_F(Download, WaitsEndWhenTheClockCrossesTheOverflowOfItsCountInMilliseconds) {
  const std::int64_t overflow = std::numeric_limits<std::int64_t>::max() / 1000;
  unit.clock.Advance(overflow - unit.clock.Counter() - 2'000'000);  // 2 s before it
  const std::int64_t start = unit.clock.Counter();
  unit.clock.SetSleepHook([&](std::uint32_t) {
    if (unit.clock.Counter() - start > 600'000'000) throw std::runtime_error("a wait never ended");
  });
  unit.stopAnswering = true;
  const Outcome o = Run(WriteFile("overflow.bin", Bytes(300, 1)), 40, dfl::kKindElite);
  EXPECT_EQ(o.result, dfl::kResultNoResponse);
  EXPECT_EQ(o.stage, dfl::kStageReleasing);
  // The control request and the release, 5 s each.
  EXPECT_LT(unit.clock.Counter() - start, 11'000'000);
  EXPECT_GT(unit.clock.Counter(), overflow);
}

// A message whose only fault is the high byte of its CRC (in clear, under the
// encryption for an Elite) is refused by the acceptor, and the line goes again.
TEST_F(Download, AMessageWrongOnlyInItsCrcHighByteIsRefusedAndSentAgain) {
  const dfl::KeyDigits key = {4, 9, 0, 7, 2, 8};
  for (const std::uint8_t address : {40, 41}) {
    FakeUnit fresh;
    fresh.AddAcceptor(kElite, 40, PeripheralModel::kElite);
    fresh.AddAcceptor(kLumina, 41, PeripheralModel::kLumina);
    const bool encrypted = address == 40;
    int uploads = 0;
    fresh.onTransmit = [&](std::uint8_t* m, std::size_t length) {
      if (encrypted) sim::cctalk::Decrypt(m + 2, length - 2, key);
      if (m[3] == kBlockCommand && ++uploads == 3) m[length - 1] ^= 0x01;  // line 1
      if (encrypted) sim::cctalk::Encrypt(m + 2, length - 2, key);
    };
    Library lib(fresh);
    const std::vector<std::uint8_t> file = Bytes(300, 8);
    ASSERT_EQ(lib.library.Start(WriteFile("crc-high.bin", file).c_str(), address,
                                encrypted ? dfl::kKindElite : dfl::kKindLumina),
              dfl::kStartOk);
    std::int16_t stage, result, progress, total;
    lib.library.Status(&stage, &result, &progress, &total);
    EXPECT_EQ(result, dfl::kResultDone) << int{address};
    EXPECT_TRUE(lib.trace.Has("Error on block 1:1 transmission - retrying\n")) << int{address};
    const auto held = fresh.bus.Holdings();
    const auto at = std::find_if(held.begin(), held.end(), [&](const sim::PeripheralHolding& h) {
      return h.address == address;
    });
    ASSERT_NE(at, held.end());
    EXPECT_EQ(at->rejected, 1u) << int{address};
    EXPECT_EQ(at->content, file) << int{address};
  }
}

TEST_F(Download, TheCallerWatchesAWorkerOnItsOwnThread) {
  const std::vector<std::uint8_t> file = Bytes(128 * 40, 2);
  const std::string path = WriteFile("threaded.bin", file);
  std::thread worker;
  dfl::Defloader threaded(FakeUnit::Calls(), unit.clock, library.trace, library.output,
                          [&](std::function<void()> body) {
                            worker = std::thread(std::move(body));
                            return true;
                          });
  threaded.Loaded();
  ASSERT_EQ(threaded.Start(path.c_str(), 40, dfl::kKindElite), dfl::kStartOk);
  std::int16_t stage = 0, result = 0, progress = 0, total = 0, last = 0;
  // Virtual waits: the whole download takes real milliseconds; bounded all the same.
  for (int look = 0; look < 100'000 && threaded.Status(&stage, &result, &progress, &total) != 0;
       ++look) {
    EXPECT_GE(progress, last);
    last = progress;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  worker.join();
  EXPECT_EQ(threaded.Status(&stage, &result, &progress, &total), 0);
  EXPECT_EQ(result, dfl::kResultDone);
  EXPECT_EQ(progress, 40);
  EXPECT_EQ(Holding(40).content, file);
}

}  // namespace
}  // namespace dfltest
