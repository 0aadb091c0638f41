// qmx: a host application over Qmxzelti for people at a machine and for the demo.
// It loads the library at run time (as field hosts do, by its exported names), opens
// the interface of one unit and runs one command: status, the acceptor and
// dispenser lists, a payout followed to its end, events, indicators, switches,
// escrow, the check operation, counters, meter, E2Prom, barcode tickets and ticket
// printing, the consistency check and the driver's state. Arguments are checked
// before anything is loaded or opened.
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "interface/block_layout.h"
#include "loader/image.h"
#include "platform/bytes.h"
#include "platform/dynamic_library.h"
#include "platform/program_path.h"
#include "platform/shared_memory.h"
#include "qmxzelti.h"
#include "tools/qmx.h"

namespace qmx_tool {

bool ParseInt(const std::string& text, int* value);

}  // namespace qmx_tool

namespace {

using namespace qmx_tool;

constexpr const char* kUsage =
    "usage: qmx [--serial S] [--version V] [--library PATH] COMMAND [ARGS]\n"
    "\n"
    "Opens the interface of a Tarvex unit through Qmxzelti and runs one command:\n"
    "  status                the open result in words, firmware, level, serial\n"
    "                        number, whether the unit is alive (driver state, its\n"
    "                        update count moving), values, payout state\n"
    "  acceptors             the coin and note acceptors with their coins\n"
    "  dispensers            the dispensers\n"
    "  pay AMOUNT [--timeout S]\n"
    "                        pay AMOUNT (1 or more) out and follow it to its end\n"
    "                        (default timeout 60 s); refused while a payout runs\n"
    "  events [--count N] [--timeout S]\n"
    "                        print events as they come, until N were taken or S\n"
    "                        seconds passed (default: 10 s)\n"
    "  indicator N on|off    switch indicator N (0 to 63; 0 to 55 below level 5)\n"
    "  switches [N...]       close and open counts of the switches named, or of\n"
    "                        every switch that has moved\n"
    "  escrow enable|disable|accept|return|count\n"
    "                        escrow (firmware level 5 and above)\n"
    "  value-needed V        tell the unit the value still needed\n"
    "  check A B             the check operation (firmware level 7 and above)\n"
    "  hold SECONDS          keep the interface open and on for a while\n"
    "  counters [N...]       values and captions of the counters named (1 to 32),\n"
    "                        or of every counter with a value or caption\n"
    "  counter N add AMOUNT  add to counter N (level 3 and above)\n"
    "  counter N caption TEXT\n"
    "                        set its caption (at most 12 characters)\n"
    "  counter-display CODE  the counter display selection\n"
    "  meter                 the meter's status and serial number\n"
    "  e2prom dump           the E2Prom image (level 4 and above), row by row\n"
    "  e2prom write OFFSET HEX\n"
    "                        change image bytes from OFFSET (the unit writes the\n"
    "                        rows that changed), then dump\n"
    "  e2prom reset [0|1]    ask the unit to reset its E2Prom (default 1)\n"
    "  device-key KEY        give the unit its device key\n"
    "  driver-status         the USB driver process's state\n"
    "  barcode enable|disable|escrow|stacked|accept|return\n"
    "                        barcode tickets (level 5 and above); each shows the\n"
    "                        ticket in escrow and the stacked count after\n"
    "  print VALUE BARCODE [TEXT1..TEXT5] [--timeout S]\n"
    "                        print a ticket and follow it until the unit took it\n"
    "  consistency [--coin-ms N] [--note-ms N] [--interval MS] [--count N]\n"
    "                        check the money reports every MS (default 1000) ms,\n"
    "                        N times (default: until interrupted)\n"
    "\n"
    "Options:\n"
    "  --serial S     the unit whose serial number is S (its block \"QMXZELTI mapped\n"
    "                 file\" followed by S); without it the default block\n"
    "  --version V    interface version to open with: 1, 2, 5 or the full word\n"
    "                 (default 5, 0x00010005)\n"
    "  --library PATH the library (default: Qmxzelti beside this program)\n"
    "Commands that trade (pay, events, indicator, escrow, value-needed, hold, counter,\n"
    "barcode, print) switch the interface on; when the last host ends, the library\n"
    "switches it off.\n"
    "\n"
    "Exit status: 0 done; 1 the interface did not open, or the command failed or\n"
    "did not end in time; 2 usage error; 3 the library could not be loaded.\n";

bool BindAll(const platform::DynamicLibrary& library, Api* api, std::string* missing) {
  bool ok = true;
  auto bind = [&](const char* name, int argumentBytes, auto* slot) {
    const std::string exported = platform::StdcallExportName(name, argumentBytes);
    platform::DynamicLibrary::Entry entry = library.Find(exported);
    if (entry == nullptr) {
      if (!missing->empty()) *missing += ", ";
      *missing += exported;
      ok = false;
      return;
    }
    *slot = reinterpret_cast<std::remove_pointer_t<decltype(slot)>>(entry);
  };
#define QMX_TOOL_BIND(result, name, params, bytes) bind(#name, bytes, &api->name);
  QMX_TOOL_EXPORTS(QMX_TOOL_BIND)
#undef QMX_TOOL_BIND
  return ok;
}

struct Options {
  std::string serial;
  bool bySerial = false;
  int version = QMX_VERSION_5;
  std::string library;
  std::vector<std::string> command;
};

bool ParseLong(const std::string& text, long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtol(text.c_str(), &end, 0);
  return errno == 0 && *end == '\0' && *value >= INT32_MIN && *value <= INT32_MAX;
}


// False with the fault named on stderr ("" for a bare "qmx" or --help).
bool ParseOptions(int argc, char** argv, Options* options) {
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) break;
    if (i + 1 >= argc) {
      UsageFault("%s needs a value", arg.c_str());
      return false;
    }
    const std::string value = argv[++i];
    if (arg == "--serial") {
      // An empty serial would name the default block under another unit's option.
      if (value.empty()) {
        UsageFault("--serial needs a serial number (leave it out for the default unit)");
        return false;
      }
      options->serial = value;
      options->bySerial = true;
    } else if (arg == "--version") {
      long v = 0;
      if (!ParseLong(value, &v)) {
        UsageFault("--version: '%s' is not a number", value.c_str());
        return false;
      }
      // The short forms name the accepted versions; anything else goes to the
      // library as it is, which answers for it.
      options->version = (v == 1 || v == 2 || v == 5) ? static_cast<int>(0x00010000 + v)
                                                      : static_cast<int>(v);
    } else if (arg == "--library") {
      options->library = value;
    } else {
      UsageFault("unknown option %s", arg.c_str());
      return false;
    }
  }
  for (; i < argc; ++i) options->command.emplace_back(argv[i]);
  if (options->command.empty()) {
    UsageFault("no command given");
    return false;
  }
  return true;
}

std::string DefaultLibrary() {
#if defined(_WIN32)
  const char* name = "Qmxzelti.dll";
  const char separators[] = "\\/";
#else
  const char* name = "libqmxzelti.so";
  const char separators[] = "/";
#endif
  const std::string self = platform::OwnProgramPath();
  const std::size_t slash = self.find_last_of(separators);
  if (slash == std::string::npos) return name;
  const std::string folder = self.substr(0, slash + 1);
#if !defined(_WIN32)
  // Beside the program in the build folder; installed, in the library folder (the
  // install rules give its path from the program's); else the system's search.
  std::error_code error;
  if (std::filesystem::exists(folder + name, error)) return folder + name;
#if defined(QMX_INSTALLED_LIBRARY_DIR)
  const std::string installed = folder + QMX_INSTALLED_LIBRARY_DIR + "/" + name;
  if (std::filesystem::exists(installed, error)) return installed;
#endif
  return name;
#else
  return folder + name;
#endif
}

const char* OpenResultText(int result) {
  switch (result) {
    case QMX_OPEN_OK: return "open";
    case QMX_ERROR_INVALID_DATA: return "version not accepted, or a block format this library does not know";
    case QMX_ERROR_BAD_UNIT: return "the card's driver reports a bad unit";
    case QMX_ERROR_NOT_READY: return "the unit's driver is not ready";
    case QMX_ERROR_GEN_FAILURE: return "no unit found, or the unit does not accept a host now";
    case QMX_ERROR_INVALID_NAME: return "serial number too long (at most 11 characters)";
    case QMX_ERROR_BUSY: return "the unit is being reprogrammed, or its driver is ending";
    case QMX_ERROR_DEVICE_NOT_CONNECTED: return "no unit connected to its driver";
    default: return "the card's driver failed";
  }
}

// The header of the unit's block as the unit wrote it: the firmware words that no
// export of this library gives yet. Only ever read, and only inside the mapping.
struct Header {
  bool mapped = false;
  std::int32_t level = 0;
  std::uint32_t versionWord = 0;
  std::string compileDate, compileTime;
  std::uint32_t driverState = 0;
  // Set when the block is there but would not open (most often: this account is not
  // in the group the block was created for).
  std::string refused;
};

Header ReadHeader(const Options& options) {
  namespace layout = tarvex::block_layout;
  Header header;
  platform::SharedMemoryError error;
  const std::string name =
      std::string(layout::kMappingName) + (options.bySerial ? options.serial : "");
  platform::SharedMemory block =
      platform::SharedMemory::OpenExisting(name, layout::kMappingSize, &error);
  if (!block.valid()) {
    if (error.accessDenied) {
      header.refused = "the unit's block \"" + name + "\" is not open to this account (" +
                       error.text + "): the account must be in the block's group";
    }
    return header;
  }
  const std::uint8_t* base = block.data();
  header.mapped = true;
  header.level = static_cast<std::int32_t>(
      platform::LoadSharedWord(base + layout::header::kFirmwareLevel));
  header.versionWord = platform::LoadSharedWord(base + layout::header::kFirmwareVersionWord);
  auto text = [&](std::size_t at) {
    std::string out;
    for (std::size_t i = 0; i < layout::header::kTextSize; ++i) {
      const char c = static_cast<char>(platform::LoadSharedByte(base + at + i));
      if (c == '\0') break;
      out.push_back(c);
    }
    return out;
  };
  header.compileDate = text(layout::header::kCompileDate);
  header.compileTime = text(layout::header::kCompileTime);
  header.driverState = platform::LoadSharedWord(base + layout::header::kDriverState);
  return header;
}

// The unit's own PayStatus word, read from its block: the library's LastPayStatus
// also answers 0 ("under way") while the unit is idle short of a target, which
// cannot tell a running payout from a stale target. False when the block cannot be
// read (no mapping, no magic, areas outside it, or a unit that never settles).
bool ReadUnitPayStatus(const Options& options, std::uint32_t* payStatus) {
  namespace layout = tarvex::block_layout;
  using layout::status::kEndCount, layout::status::kPayStatus, layout::status::kStartCount;
  platform::SharedMemoryError error;
  const std::string name =
      std::string(layout::kMappingName) + (options.bySerial ? options.serial : "");
  platform::SharedMemory block =
      platform::SharedMemory::OpenExisting(name, layout::kMappingSize, &error);
  if (!block.valid()) return false;
  const std::uint8_t* base = block.data();
  if (platform::LoadSharedWord(base + layout::header::kBlockMagic) != layout::kBlockMagic)
    return false;
  const std::uint32_t area = platform::LoadSharedWord(base + layout::header::kStatusAreaOffset);
  if (area == 0 || area % 4 != 0 || std::uint64_t{area} + kPayStatus + 4 > block.size())
    return false;
  // End count, the word, start count: again while the unit is mid-update, a bounded
  // number of times.
  for (int round = 0; round < 100000; ++round) {
    const std::uint32_t end = platform::LoadSharedWord(base + area + kEndCount);
    *payStatus = platform::LoadSharedWord(base + area + kPayStatus);
    if (platform::LoadSharedWord(base + area + kStartCount) == end) return true;
  }
  return false;
}

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
    std::printf("acceptor %d: %s acceptor, unit code 0x%08X, interface %d, address %d, "
                "status 0x%X, %d %s\n",
                index, coins ? "coin" : "note", static_cast<unsigned>(unitCode),
                withTexts ? record5->InterfaceNumber : record->InterfaceNumber,
                withTexts ? record5->Address : record->Address,
                static_cast<unsigned>(withTexts ? record5->AcceptorStatus : record->AcceptorStatus),
                count, coins ? "coins" : "notes");
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

using SteadyClock = std::chrono::steady_clock;

// Whether the unit is paying out. The library's "under way" over an idle unit is a
// target the unit has not taken up: another host's request of a moment ago (taken
// up within a few of the unit's ticks), or one it never will take up (a total
// changed under it). Only the first may hold the next payout back.
bool UnitPaying(const Api& api, const Options& options) {
  std::uint32_t unitPayStatus = 0;
  if (!ReadUnitPayStatus(options, &unitPayStatus))
    return api.LastPayStatus() == QMX_PAY_UNDER_WAY;
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
      std::printf("payout not finished after %d s: paid %d of %d\n", timeoutSeconds, paid,
                  amount);
      return kFailed;
    }
    if (const int now = api.CurrentUpdates(); now != updates) {
      updates = now;
      updated = SteadyClock::now();
    } else if (SteadyClock::now() - updated >= std::chrono::milliseconds(500)) {
      std::printf("payout stopped: the unit is not updating (the update count stood still "
                  "for 500 ms): paid %d of %d\n", paid, amount);
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

int NoArguments(const char* command, const Args& args) {
  return args.empty() ? 0 : UsageFault("%s takes no arguments", command);
}

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

// Commands that only read what the unit reports, and need no enabled interface.
bool Reads(const std::string& command) {
  static const char* const kReads[] = {"acceptors", "dispensers", "switches", "check",
                                       "counters",  "meter",      "e2prom",   "driver-status",
                                       "consistency"};
  for (const char* read : kReads)
    if (command == read) return true;
  return false;
}

int Run(Context context, const Options& options) {
  const std::string& command = options.command[0];
  const Args args(options.command.begin() + 1, options.command.end());
  if (command == "status") {
    if (context.dryRun) return NoArguments("status", args);
    return Status(*context.api, options, context.openResult);
  }
  if (!context.dryRun && command != "driver-status" && context.openResult != QMX_OPEN_OK) {
    std::fprintf(stderr, "qmx: the interface did not open: %d (%s)\n", context.openResult,
                 OpenResultText(context.openResult));
    return kFailed;
  }
  // The rest trade: the unit sees a host that has switched the interface on.
  if (!context.dryRun && !Reads(command) && command != "e2prom") context.api->EnableInterface();
  int rc = RunMoneyCommand(context, options, command, args);
  if (rc < 0) rc = RunUnitCommand(context, command, args);
  if (rc < 0) rc = UsageFault("unknown command '%s'", command.c_str());
  return rc;
}

}  // namespace

namespace qmx_tool {

bool ParseInt(const std::string& text, int* value) {
  long v = 0;
  if (!ParseLong(text, &v)) return false;
  *value = static_cast<int>(v);
  return true;
}

int UsageFault(const char* format, ...) {
  std::fputs("qmx: ", stderr);
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
  std::fputs("\n(qmx --help shows the usage)\n", stderr);
  return kUsageError;
}

bool TakeOption(Args* args, const char* name, int* value) {
  for (std::size_t i = 0; i < args->size(); ++i) {
    if ((*args)[i] != name) continue;
    if (i + 1 >= args->size() || !ParseInt((*args)[i + 1], value) || *value < 0) {
      UsageFault("%s takes a number of 0 or more", name);
      return false;
    }
    args->erase(args->begin() + static_cast<long>(i), args->begin() + static_cast<long>(i) + 2);
    return true;
  }
  return true;
}

namespace {
std::atomic<bool> interrupted{false};
extern "C" void OnInterrupt(int) { interrupted = true; }
}  // namespace

bool Interrupted() { return interrupted.load(); }

void Pause(int ms) {
  // In slices, so that an interrupt ends a long pause soon.
  for (int left = ms; left > 0 && !Interrupted(); left -= 50)
    std::this_thread::sleep_for(std::chrono::milliseconds(left < 50 ? left : 50));
}

}  // namespace qmx_tool

int main(int argc, char** argv) {
  Options options;
  const bool help = argc == 1 || std::strcmp(argv[1], "--help") == 0 ||
                    std::strcmp(argv[1], "help") == 0;
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!ParseOptions(argc, argv, &options)) return kUsageError;
  // Arguments first: a fault is named before anything is loaded or opened.
  if (Run(Context{}, options) == kUsageError) return kUsageError;

  const std::string path = options.library.empty() ? DefaultLibrary() : options.library;
  std::string reason;
  platform::DynamicLibrary library = platform::DynamicLibrary::Load(path, &reason);
  if (!library.loaded()) {
    std::fprintf(stderr, "qmx: cannot load the library: %s\n", reason.c_str());
    return kNoLibrary;
  }
  Api api{};
  std::string missing;
  if (!BindAll(library, &api, &missing)) {
    std::fprintf(stderr, "qmx: the library %s lacks %s\n", path.c_str(), missing.c_str());
    return kNoLibrary;
  }
  // From here on an interrupt ends the command, not the process: the library is
  // unloaded below, and the last host's unload switches the interface off.
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  Context context;
  context.api = &api;
  context.dryRun = false;
  context.version = options.version;
  context.openResult = options.bySerial
                           ? api.OpenSpecificVODVersion(options.serial.c_str(), options.version)
                           : api.OpenVODVersion(options.version);
  const Header header = ReadHeader(options);
  if (header.mapped) context.level = header.level;
  if (!header.refused.empty()) std::fprintf(stderr, "qmx: %s\n", header.refused.c_str());
  const int rc = Run(context, options);
  std::fflush(stdout);
  library.Unload();  // the last host's unload switches the interface off
  return rc;
}
