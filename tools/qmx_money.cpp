// qmx's status command and its money, list and escrow commands: the acceptor and
// dispenser lists, pay, events, indicators, switches, escrow, value-needed, check, hold.
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "loader/image.h"
#include "qmxzelti.h"
#include "tools/qmx.h"

namespace qmx_tool {
namespace {

using SteadyClock = std::chrono::steady_clock;

const char* PayStatusText(int status) {
  switch (status) {
    case QMX_PAY_NOT_OPEN: return "interface not open";
    case QMX_PAY_UNDER_WAY: return "paying, or no result yet";
    case QMX_PAY_COMPLETE: return "last payout complete";
    default: return "the last payout failed";
  }
}

// The acceptor list: coin entries are 28 or 32 bytes apart by the version opened.
int Acceptors(const Api& api, int version) {
  const bool withTexts = version == QMX_VERSION_5;
  auto record5 = std::make_unique<QmxAcceptorDetails5>();
  auto record = std::make_unique<QmxAcceptorDetails>();
  void* out = withTexts ? static_cast<void*>(record5.get()) : static_cast<void*>(record.get());
  int index = 0;
  // The library bounds its own walk; this bounds ours.
  for (; index < 256 && api.ReadAcceptorDetails(index, out) == 1; ++index) {
    const int unitCode = withTexts ? record5->UnitCode : record->UnitCode;
    const int count = withTexts ? record5->CoinCount : record->CoinCount;
    const bool coins = ((static_cast<unsigned>(unitCode) >> 24) & 0xFF) == 0x02;
    std::printf(
        "acceptor %d: %s acceptor, unit code 0x%08X, interface %d, address %d, "
        "status 0x%X, %d %s\n",
        index, coins ? "coin" : "note", static_cast<unsigned>(unitCode),
        withTexts ? record5->InterfaceNumber : record->InterfaceNumber,
        withTexts ? record5->Address : record->Address,
        static_cast<unsigned>(withTexts ? record5->AcceptorStatus : record->AcceptorStatus), count,
        coins ? "coins" : "notes");
    if (withTexts && record5->DescriptionText != nullptr && record5->DescriptionText[0] != '\0')
      std::printf("  description: %s\n", record5->DescriptionText);
    for (int c = 0; c < count && c < QMX_MAX_COINS; ++c) {
      if (withTexts) {
        const QmxCoinDetails5& coin = record5->Coins[c];
        std::printf("  %2d: value %d, accepted %d", c, coin.Value, coin.Count);
        if (coin.DescriptionText != nullptr && coin.DescriptionText[0] != '\0')
          std::printf(", %s", coin.DescriptionText);
      } else {
        const QmxCoinDetails& coin = record->Coins[c];
        std::printf("  %2d: value %d, accepted %d", c, coin.Value, coin.Count);
      }
      std::printf("\n");
    }
  }
  if (index == 0) std::printf("no acceptor\n");
  return 0;
}

int Dispensers(const Api& api) {
  QmxDispenserDetails record{};
  int index = 0;
  for (; index < 256 && api.ReadDispenserDetails(index, &record) == 1; ++index) {
    std::printf("dispenser %d: words %d %d %d %d %d %d %d %d, extra %d %d %d", index,
                record.DispenserWord0, record.DispenserWord1, record.DispenserWord2,
                record.DispenserWord3, record.DispenserWord4, record.DispenserWord5,
                record.DispenserWord6, record.DispenserWord7, record.DispenserExtra1,
                record.DispenserExtra2, record.ExtraWord);
    if (record.DescriptionText != nullptr && record.DescriptionText[0] != '\0')
      std::printf(", %s", record.DescriptionText);
    std::printf("\n");
    record = QmxDispenserDetails{};
  }
  if (index == 0) std::printf("no dispenser\n");
  return 0;
}

// Whether the unit is alive: its driver's state and its update count moving. A
// unit updates its area many times a second; half a second without a change means
// it has stopped.
void Liveness(const Api& api) {
  const int driver = api.USBDriverStatus();
  if (driver >= 0) std::printf("driver-state: %d\n", driver);
  const int before = api.CurrentUpdates();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  bool moving = false;
  while (!moving && std::chrono::steady_clock::now() < deadline) {
    Pause(5);
    moving = api.CurrentUpdates() != before;
  }
  std::printf("unit: %s\n", moving ? "alive (updates moving)"
                                   : "not updating (the update count stood still for 500 ms)");
}

}  // namespace

int Status(const Api& api, const Options& options, int openResult) {
  std::printf("open: %d (%s)\n", openResult, OpenResultText(openResult));
  const Header header = ReadHeader(options);
  char date[17] = {}, time[17] = {};
  const unsigned versionWord = static_cast<unsigned>(api.FirmwareVersion(date, time));
  if (header.mapped && versionWord == 0) {
    std::printf("firmware: none running\n");
  } else if (versionWord != 0) {
    const unsigned v = versionWord;
    std::printf("firmware: %s %u.%u.%u (0x%08X)\n", loader::ReleaseTypeName((v >> 24) & 0xFF),
                (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF, v);
    if (header.mapped) std::printf("firmware-level: %" PRId32 "\n", header.level);
    std::printf("compiled: %s %s\n", date, time);
  }
  std::printf("serial-number: %d\n", api.SerialNumber());
  if (openResult != QMX_OPEN_OK) {
    const int driver = api.USBDriverStatus();
    if (driver >= 0) std::printf("driver-state: %d\n", driver);
    return kFailed;
  }
  Liveness(api);
  const int payStatus = api.LastPayStatus();
  std::printf("current-value: %d\n", api.CurrentValue());
  std::printf("paid-total: %d\n", api.CurrentPaid());
  std::printf("available-value: %d\n", api.AvailableValue());
  std::printf("pay-status: %d (%s)\n", payStatus, PayStatusText(payStatus));
  // The unit's word beside the library's answer: they differ while a target stands
  // that the unit is not paying toward, and the next pay starts afresh from there.
  std::uint32_t unitPayStatus = 0;
  if (ReadUnitPayStatus(options, &unitPayStatus))
    std::printf("unit-pay-status: %" PRIu32 "%s\n", unitPayStatus,
                unitPayStatus == 0 ? " (paying)" : "");
  std::printf("escrow-throughput: %d\n", api.EscrowThroughput());
  std::printf("updates: %d\n", api.CurrentUpdates());
  return 0;
}

namespace {

// Whether the unit is paying out. The library's "under way" over an idle unit is a
// target the unit has not taken up: another host's request of a moment ago (taken
// up within a few of the unit's ticks), or one it never will take up (a total
// changed under it). Only the first may hold the next payout back.
bool UnitPaying(const Api& api, const Options& options) {
  std::uint32_t unitPayStatus = 0;
  if (!ReadUnitPayStatus(options, &unitPayStatus)) return api.LastPayStatus() == QMX_PAY_UNDER_WAY;
  if (unitPayStatus == 0) return true;
  const auto until = SteadyClock::now() + std::chrono::milliseconds(250);
  while (api.LastPayStatus() == QMX_PAY_UNDER_WAY && SteadyClock::now() < until) {
    Pause(5);
    if (ReadUnitPayStatus(options, &unitPayStatus) && unitPayStatus == 0) return true;
  }
  return false;
}

int Pay(const Api& api, const Options& options, int amount, int timeoutSeconds) {
  // One payout at a time: a second one would be added to the first's target. A
  // stale target does not count: PayOut starts the new amount from what was paid.
  if (UnitPaying(api, options)) {
    std::printf("pay refused: a payout is still running (paid-total %d); wait for it to end\n",
                api.CurrentPaid());
    return kFailed;
  }
  const int paidBefore = api.CurrentPaid();
  const int updatesBefore = api.CurrentUpdates();
  api.PayOut(amount);
  std::printf("paying %d\n", amount);
  std::fflush(stdout);
  const auto deadline = SteadyClock::now() + std::chrono::seconds(timeoutSeconds);
  // Until the unit has taken the request up, its PayStatus still tells of the
  // payout before; an error code there would be taken for this payout's end (and
  // cancel it). The unit answers a request by changing its area: wait for that,
  // a second at most.
  const auto takenUp = SteadyClock::now() + std::chrono::seconds(1);
  while (api.CurrentUpdates() == updatesBefore && SteadyClock::now() < takenUp) Pause(2);
  int shown = 0;
  auto nextLine = SteadyClock::now();
  // A unit that stops updating will not end the payout: said within the half
  // second `status` takes to see it, not after the whole timeout.
  int updates = api.CurrentUpdates();
  auto updated = SteadyClock::now();
  for (;;) {
    const int status = api.LastPayStatus();
    // Totals wrap as the unit's words do: the difference counts.
    const int paid = static_cast<int>(static_cast<unsigned>(api.CurrentPaid()) -
                                      static_cast<unsigned>(paidBefore));
    if (status == QMX_PAY_COMPLETE) {
      std::printf("payout complete: paid %d\n", paid);
      return 0;
    }
    if (status != QMX_PAY_UNDER_WAY) {
      std::printf("payout failed: status %d, paid %d of %d\n", status, paid, amount);
      return kFailed;
    }
    // Progress at most five times a second: enough to watch, little to scroll.
    if (paid != shown && SteadyClock::now() >= nextLine) {
      std::printf("paid %d of %d\n", paid, amount);
      std::fflush(stdout);
      shown = paid;
      nextLine = SteadyClock::now() + std::chrono::milliseconds(200);
    }
    if (SteadyClock::now() >= deadline) {
      std::printf("payout not finished after %d s: paid %d of %d\n", timeoutSeconds, paid, amount);
      return kFailed;
    }
    if (const int now = api.CurrentUpdates(); now != updates) {
      updates = now;
      updated = SteadyClock::now();
    } else if (SteadyClock::now() - updated >= std::chrono::milliseconds(500)) {
      std::printf(
          "payout stopped: the unit is not updating (the update count stood still "
          "for 500 ms): paid %d of %d\n",
          paid, amount);
      return kFailed;
    }
    if (Interrupted()) {
      std::printf("payout not followed to its end (interrupted): paid %d of %d\n", paid, amount);
      return kFailed;
    }
    Pause(20);
  }
}

int Events(const Api& api, int count, int timeoutSeconds) {
  const auto deadline = SteadyClock::now() + std::chrono::seconds(timeoutSeconds);
  int taken = 0;
  while ((count == 0 || taken < count) && SteadyClock::now() < deadline && !Interrupted()) {
    QmxEventDetails details{};
    // An event with code 0 looks like no event at all; the unit does not post one.
    const int code = api.NextEvent(&details);
    if (code == 0) {
      Pause(10);
      continue;
    }
    ++taken;
    std::printf("event %d: data1 %d, data2 %d, flag %d\n", code, details.EventData1,
                details.EventData2, details.EventFlag);
    std::fflush(stdout);
  }
  if (count != 0 && taken < count) {
    std::printf("%d of %d events after %d s\n", taken, count, timeoutSeconds);
    return kFailed;
  }
  return 0;
}

int Switches(const Context& context, const Args& which) {
  std::vector<int> numbers;
  for (const std::string& arg : which) {
    int n = 0;
    if (!ParseInt(arg, &n) || n < 0 || n > 63)
      return UsageFault("no switch %s (switches are 0 to 63)", arg.c_str());
    numbers.push_back(n);
  }
  if (context.dryRun) return 0;
  const Api& api = *context.api;
  const bool all = numbers.empty();
  if (all)
    for (int n = 0; n < 64; ++n) numbers.push_back(n);
  int shown = 0;
  for (int n : numbers) {
    const int closes = api.SwitchCloses(n), opens = api.SwitchOpens(n);
    if (all && closes == 0 && opens == 0) continue;
    std::printf("switch %d: closed %d, opened %d\n", n, closes, opens);
    ++shown;
  }
  if (shown == 0) std::printf("no switch has moved\n");
  return 0;
}

}  // namespace

// The money, list and escrow commands; -1 for a command that is none of them.
int RunMoneyCommand(const Context& context, const Options& options, const std::string& command,
                    Args args) {
  const Api* api = context.api;
  const bool dry = context.dryRun;
  if (command == "acceptors" || command == "dispensers") {
    if (const int fault = NoArguments(command.c_str(), args); fault != 0 || dry) return fault;
    return command == "acceptors" ? Acceptors(*api, options.version) : Dispensers(*api);
  }
  if (command == "switches") return Switches(context, args);
  if (command == "check") {
    int a = 0, b = 0;
    if (args.size() != 2 || !ParseInt(args[0], &a) || !ParseInt(args[1], &b))
      return UsageFault("check takes two numbers, A and B");
    if (dry) return 0;
    if (!Offered(context, 7, "check operations")) return kFailed;
    std::printf("check-operation: %d\n", api->CheckOperation(a, b));
    return 0;
  }
  if (command == "pay") {
    int timeout = 60, amount = 0;
    if (!TakeOption(&args, "--timeout", &timeout)) return kUsageError;
    if (args.size() != 1) return UsageFault("pay takes one amount");
    if (!ParseInt(args[0], &amount) || amount <= 0)
      return UsageFault("pay: amount '%s' is not a number of 1 or more", args[0].c_str());
    return dry ? 0 : Pay(*api, options, amount, timeout);
  }
  if (command == "events") {
    int timeout = 10, count = 0;
    if (!TakeOption(&args, "--timeout", &timeout) || !TakeOption(&args, "--count", &count))
      return kUsageError;
    if (!args.empty()) return UsageFault("events: unexpected '%s'", args[0].c_str());
    return dry ? 0 : Events(*api, count, timeout);
  }
  if (command == "indicator") {
    int n = 0;
    if (args.size() != 2) return UsageFault("indicator takes N and on or off");
    if (!ParseInt(args[0], &n) || n < 0 || n > 63)
      return UsageFault("no indicator %s (indicators are 0 to 63)", args[0].c_str());
    if (args[1] != "on" && args[1] != "off")
      return UsageFault("indicator %d: '%s' is neither on nor off", n, args[1].c_str());
    if (dry) return 0;
    // Below level 5 the first eight slots are not indicators: 56 are left.
    if (context.level >= 0 && context.level < 5 && n > 55)
      return UsageFault("no indicator %d at firmware level %d (indicators are 0 to 55)", n,
                        context.level);
    (args[1] == "on" ? api->IndicatorOn : api->IndicatorOff)(n);
    std::printf("indicator %d %s\n", n, args[1].c_str());
    return 0;
  }
  if (command == "escrow") {
    static const char* const kVerbs[] = {"enable", "disable", "accept", "return", "count"};
    bool known = false;
    for (const char* verb : kVerbs) known |= args.size() == 1 && args[0] == verb;
    if (!known) return UsageFault("escrow takes one of enable, disable, accept, return, count");
    if (dry) return 0;
    if (!Offered(context, 5, "escrow commands")) return kFailed;
    const std::string& what = args[0];
    if (what == "enable") api->EscrowEnable();
    if (what == "disable") api->EscrowDisable();
    if (what == "accept") api->EscrowAccept();
    if (what == "return") api->EscrowReturn();
    std::printf("escrow-throughput: %d\n", api->EscrowThroughput());
    return 0;
  }
  if (command == "value-needed") {
    int value = 0;
    if (args.size() != 1 || !ParseInt(args[0], &value))
      return UsageFault("value-needed takes one number");
    if (dry) return 0;
    api->ValueNeeded(value);
    std::printf("value-needed: %d\n", value);
    return 0;
  }
  if (command == "hold") {
    int seconds = 0;
    if (args.size() != 1 || !ParseInt(args[0], &seconds) || seconds < 0)
      return UsageFault("hold takes a number of seconds");
    if (dry) return 0;
    std::printf("holding the interface for %d s\n", seconds);
    std::fflush(stdout);
    const auto until = SteadyClock::now() + std::chrono::seconds(seconds);
    while (SteadyClock::now() < until && !Interrupted()) Pause(50);
    return 0;
  }
  return -1;
}

}  // namespace qmx_tool
