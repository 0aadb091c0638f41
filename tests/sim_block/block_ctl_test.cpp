// tarvex-sim's block commands and status lines, in process: the ctl words parsed
// (good and bad), carried out through the server against a block served on its
// own thread, answered while the block is not served, and refused by a unit that
// has no block.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "block_host.h"
#include "platform/clock.h"
#include "sim/sim_server.h"
#include "sim/virtual_d2xx/sim_link.h"

namespace {

using namespace block_test;
using Kind = sim::ControlCommand::Kind;

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

struct GoodCommand {
  const char* line;
  Kind kind;
  std::uint32_t number;
  int acceptor;
};

TEST(BlockCtlParseTest, GoodCommandsParseToTheirKindAndArgument) {
  const GoodCommand good[] = {
      {"insert-coin 50", Kind::kInsertCoin, 50, -1},
      {"insert-coin 0x32 --acceptor 1", Kind::kInsertCoin, 50, 1},
      {"insert-note 1000", Kind::kInsertNote, 1000, -1},
      {"post-event 0x81020007", Kind::kPostEvent, 0x81020007, -1},
      {"post-event 0", Kind::kPostEvent, 0, -1},
      {"press-switch 63", Kind::kPressSwitch, 63, -1},
      {"fail-payout 7", Kind::kFailPayout, 7, -1},
      {"set-level 7", Kind::kSetLevel, 7, -1},
      {"set-level -1", Kind::kSetLevel, 0xFFFFFFFF, -1},
      {"inhibit-open on", Kind::kInhibitOpen, 1, -1},
      {"inhibit-open off", Kind::kInhibitOpen, 0, -1},
      {"driver-state 4", Kind::kDriverState, 4, -1},
      {"stop-serving-mid-update", Kind::kStopMidUpdate, 0, -1},
      {"present-barcode 1234567890123456789", Kind::kPresentBarcode, 0, -1},
      {"printer-busy on", Kind::kPrinterBusy, 1, -1},
      {"set-paid-total 0xFFFFFFF0", Kind::kSetPaidTotal, 0xFFFFFFF0, -1},
  };
  for (const GoodCommand& c : good) {
    sim::ControlCommand command;
    std::string error;
    ASSERT_TRUE(sim::ParseControl(Words(c.line), &command, &error)) << c.line << ": " << error;
    EXPECT_EQ(command.kind, c.kind) << c.line;
    EXPECT_EQ(command.number, c.number) << c.line;
    EXPECT_EQ(command.acceptor, c.acceptor) << c.line;
  }
}

TEST(BlockCtlParseTest, BadCommandsAreRefusedWithTheirUsage) {
  const char* const bad[] = {
      "insert-coin",
      "insert-coin 0",
      "insert-coin -5",
      "insert-coin x",
      "insert-coin 50 --acceptor",
      "insert-coin 50 --acceptor x",
      "insert-coin 50 50",
      "insert-note 10 --acceptor 1",
      "insert-note 0x80000000",
      "post-event",
      "post-event 0x100000000",
      "press-switch 64",
      "press-switch -1",
      "fail-payout 1",
      "fail-payout 0",
      "set-level x",
      "set-level 0x80000000",
      "inhibit-open maybe",
      "inhibit-open",
      "driver-state",
      "driver-state -1",
      "stop-serving-mid-update now",
      "present-barcode",
      "present-barcode 12345678901234567890",
      "printer-busy",
      "set-paid-total -1",
  };
  for (const char* line : bad) {
    sim::ControlCommand command;
    std::string error;
    EXPECT_FALSE(sim::ParseControl(Words(line), &command, &error)) << line;
    const std::string verb = Words(line)[0];
    EXPECT_NE(error.find(verb), std::string::npos) << line << ": " << error;
  }
}

// A unit with its server and a block served on its own thread.
struct ServedUnit {
  explicit ServedUnit(bool withBlock = true)
      : unit(sim::UnitOptions{}, unitClock),
        blockServer(block.data(), kBlockSize, FullOptions(4), platform::SystemClock()),
        server(unit, Settings(withBlock)) {
    if (withBlock) {
      blockServer.Start();
      EXPECT_TRUE(AwaitStatus("serving", "yes"));
    }
  }
  sim::ServerSettings Settings(bool withBlock) {
    sim::ServerSettings settings;
    settings.level = 3;
    if (withBlock) {
      settings.block = block.data();
      settings.blockServer = &blockServer;
    }
    return settings;
  }
  std::uint32_t Ctl(const std::string& line, std::string* answer) {
    return server.Control(Words(line), answer);
  }
  std::string Answer(const std::string& line) {
    std::string answer;
    EXPECT_EQ(Ctl(line, &answer), 0u) << line << ": " << answer;
    return answer;
  }
  std::string Status(const std::string& key) {
    const std::string text = server.StatusText();
    const std::string wanted = "\n" + key + ": ";
    const std::size_t at = ("\n" + text).find(wanted);
    if (at == std::string::npos) return "<missing>";
    const std::size_t from = at + wanted.size() - 1;
    return text.substr(from, text.find('\n', from) - from);
  }
  bool AwaitStatus(const std::string& key, const std::string& value) {
    return Eventually([&] { return Status(key) == value; });
  }

  TestBlock block;
  platform::VirtualClock unitClock;
  sim::UsbUnit unit;
  sim::BlockServer blockServer;
  sim::SimServer server;
};

TEST(BlockCtlTest, CommandsChangeTheBlockAndStatusShowsIt) {
  ServedUnit served;
  Host host(served.block);
  EXPECT_EQ(served.Status("level"), "4");
  EXPECT_EQ(served.Status("serving"), "yes");
  EXPECT_EQ(served.Status("current-value"), "0");
  EXPECT_EQ(served.Status("pay-status"), "1");
  EXPECT_EQ(served.Status("available-value"), "100000");

  EXPECT_EQ(served.Answer("insert-coin 50"), "coin 50 accepted by acceptor 0");
  EXPECT_EQ(served.Answer("insert-note 1000"), "note 1000 accepted by acceptor 1");
  EXPECT_EQ(served.Status("current-value"), "1050");
  EXPECT_EQ(host.Status(status::kCurrentValue), 1050u);

  std::string answer;
  EXPECT_EQ(served.Ctl("insert-coin 7", &answer), sim::link::kUsageError);
  EXPECT_EQ(answer, "no coin acceptor takes the value 7");

  EXPECT_EQ(served.Answer("post-event 0x81020007"), "event 0x81020007 queued (1 waiting)");
  EXPECT_TRUE(Eventually([&] { return host.Status(status::kEventWord) == 0x81020007; }));
  EXPECT_EQ(served.Answer("press-switch 2"), "switch 2 closed, opens on the next tick");
  EXPECT_TRUE(Eventually([&] { return host.Status(status::kOpenCounts + 8) == 1; }));
  EXPECT_EQ(served.Answer("inhibit-open on"), "OpenInhibit 1");
  EXPECT_EQ(host.Status(status::kOpenInhibit), 1u);
  EXPECT_EQ(served.Answer("set-level 7"), "level 7");
  EXPECT_EQ(served.Status("level"), "7");
  EXPECT_EQ(served.block.Word(header::kLevel), 7u);

  EXPECT_EQ(served.Answer("fail-payout 5"), "the next payout fails with code 5");
  host.Guarded([&] {  // a level-7 payout of 100, as the library places it
    served.block.Set(host.commandArea() + command::kPayoutTarget, 100);
    served.block.Set(host.commandArea() + command::kBasedPayoutTarget, 1100);
  });
  EXPECT_TRUE(served.AwaitStatus("pay-status", "5"));
  EXPECT_EQ(served.Status("paid-total"), "50");
  EXPECT_EQ(served.Status("available-value"), "99950");
}

TEST(BlockCtlTest, CountersMeterPrinterAndTotalsShowInStatus) {
  ServedUnit served;
  Host host(served.block);
  host.Guarded([&] {
    served.block.Set(host.commandArea() + command::kCounterValues, 10);
    served.block.Set(host.commandArea() + command::kCounterCaptions + 12, 0x6E696F43);  // "Coin"
  });
  EXPECT_TRUE(served.AwaitStatus("counters", "1=10"));
  EXPECT_EQ(served.Status("counter-captions"), "2=\"Coin\"");
  EXPECT_EQ(served.Status("meter-status"), "1");
  EXPECT_EQ(served.Status("meter-serial"), "100001");
  EXPECT_EQ(served.Status("e2prom"), "-");
  EXPECT_EQ(served.Status("device-key"), "none");
  EXPECT_EQ(served.Status("printer"), "absent");
  EXPECT_EQ(served.Answer("set-level 5"), "level 5");
  EXPECT_EQ(served.Status("printer-status"), "1");
  EXPECT_EQ(served.Answer("printer-busy on"), "printer held busy: PrinterStatus 0");
  EXPECT_EQ(served.Status("printer"), "held busy");
  EXPECT_EQ(served.Answer("printer-busy off"), "printer no longer held busy: PrinterStatus 1");
  EXPECT_EQ(served.Status("last-ticket"), "-");
  EXPECT_EQ(served.Answer("present-barcode 42"),
            "refused: barcode tickets are not enabled (BarcodeEnabled 0)");
  EXPECT_EQ(served.Answer("set-paid-total 4294967290"), "PaidTotal 4294967290");
  EXPECT_EQ(served.Status("paid-total"), "4294967290");
  EXPECT_EQ(host.Status(status::kPaidTotal), 4294967290u);
}

TEST(BlockCtlTest, TheHostsWordsShowInStatus) {
  ServedUnit served;
  Host host(served.block);
  EXPECT_EQ(served.Status("interface-enabled"), "0");
  EXPECT_EQ(served.Status("host-open"), "0");
  EXPECT_EQ(served.Status("attach-count"), "0");
  host.SetCommand(command::kInterfaceEnabled, 1);
  served.block.Set(host.commandArea() + command::kHostOpen, 1);
  served.block.Set(host.commandArea() + command::kAttachCount, 2);
  EXPECT_EQ(served.Status("interface-enabled"), "1");
  EXPECT_EQ(served.Status("host-open"), "1");
  EXPECT_EQ(served.Status("attach-count"), "2");
}

TEST(BlockCtlTest, WhileTheBlockIsNotServedCommandsAreQueued) {
  ServedUnit served;
  EXPECT_EQ(served.Answer("driver-state 2"), "DriverState 2");
  EXPECT_TRUE(served.AwaitStatus("serving", "no"));
  EXPECT_EQ(served.Status("driver-state"), "2");
  EXPECT_EQ(served.block.Word(header::kMagic), 0u);
  EXPECT_EQ(served.Answer("insert-coin 100"), "queued: the block is not being served now");
  EXPECT_EQ(served.Status("current-value"), "0");
  EXPECT_EQ(served.Answer("driver-state 0"), "DriverState 0");
  EXPECT_TRUE(served.AwaitStatus("current-value", "100"));
  EXPECT_EQ(served.Status("serving"), "yes");
  EXPECT_EQ(served.block.Word(header::kMagic), kBlockMagic);
}

TEST(BlockCtlTest, AUnitStoppedMidUpdateSaysSo) {
  ServedUnit served;
  EXPECT_NE(served.Answer("stop-serving-mid-update").find("stopped mid-update"), std::string::npos);
  EXPECT_EQ(served.Status("serving"), "stopped mid-update");
  EXPECT_EQ(served.Answer("insert-coin 5"), "queued: the block is not being served now");
}

TEST(BlockCtlTest, AUnitWithoutABlockRefusesBlockCommandsAndShowsNone) {
  ServedUnit blockless(false);
  for (const char* line :
       {"insert-coin 50", "driver-state 2", "set-level 5", "stop-serving-mid-update"}) {
    std::string answer;
    EXPECT_EQ(blockless.Ctl(line, &answer), sim::link::kUsageError) << line;
    EXPECT_EQ(answer, "the unit has no shared block (--no-block)") << line;
  }
  EXPECT_EQ(blockless.Status("level"), "3");
  for (const char* key : {"driver-state", "serving", "current-value", "paid-total", "pay-status",
                          "available-value", "interface-enabled", "host-open", "attach-count",
                          "counters", "e2prom", "device-key", "printer", "last-ticket"})
    EXPECT_EQ(blockless.Status(key), "none") << key;
  EXPECT_EQ(blockless.block.Word(header::kMagic), 0u);
}

}  // namespace
