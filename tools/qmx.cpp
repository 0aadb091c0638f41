// qmx: a host application over Qmxzelti for people at a machine and for the demo.
// It loads the library at run time (as field hosts do, by its exported names), opens
// the interface of one unit and runs one command: status, the acceptor and
// dispenser lists, a payout followed to its end, events, indicators, switches,
// escrow, the check operation.
#include <chrono>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

namespace {

constexpr const char* kUsage =
    "usage: qmx [--serial S] [--version V] [--library PATH] COMMAND [ARGS]\n"
    "\n"
    "Opens the interface of a Tarvex unit through Qmxzelti and runs one command:\n"
    "  status                the open result in words, firmware, level, serial\n"
    "                        number, values, payout state, update count\n"
    "  acceptors             the coin and note acceptors with their coins\n"
    "  dispensers            the dispensers\n"
    "  pay AMOUNT [--timeout S]\n"
    "                        pay AMOUNT out and follow it to its end (default\n"
    "                        timeout 60 s)\n"
    "  events [--count N] [--timeout S]\n"
    "                        print events as they come, until N were taken or S\n"
    "                        seconds passed (default: 10 s)\n"
    "  indicator N on|off    switch indicator N\n"
    "  switches [N...]       close and open counts of the switches named, or of\n"
    "                        every switch that has moved\n"
    "  escrow enable|disable|accept|return|count\n"
    "  value-needed V        tell the unit the value still needed\n"
    "  check A B             the check operation (firmware level 7 and above)\n"
    "  hold SECONDS          keep the interface open and on for a while\n"
    "\n"
    "Options:\n"
    "  --serial S     the unit whose serial number is S (its block \"QMXZELTI mapped\n"
    "                 file\" followed by S); without it the default block\n"
    "  --version V    interface version to open with: 1, 2, 5 or the full word\n"
    "                 (default 5, 0x00010005)\n"
    "  --library PATH the library (default: Qmxzelti beside this program)\n"
    "Commands that trade (pay, events, indicator, escrow, value-needed, hold)\n"
    "switch the interface on; when the last host ends, the library switches it off.\n"
    "\n"
    "Exit status: 0 done; 1 the interface did not open, or the payout failed or\n"
    "did not end in time; 2 usage error; 3 the library could not be loaded.\n";

constexpr int kFailed = 1;
constexpr int kUsageError = 2;
constexpr int kNoLibrary = 3;

// The library's exports, found by their exported names.
struct Api {
  int(QMX_CALL* OpenVODVersion)(int);
  int(QMX_CALL* OpenSpecificVODVersion)(const char*, int);
  void(QMX_CALL* EnableInterface)();
  int(QMX_CALL* CurrentValue)();
  void(QMX_CALL* PayOut)(int);
  int(QMX_CALL* LastPayStatus)();
  int(QMX_CALL* CurrentPaid)();
  int(QMX_CALL* AvailableValue)();
  void(QMX_CALL* ValueNeeded)(int);
  int(QMX_CALL* NextEvent)(QmxEventDetails*);
  int(QMX_CALL* CurrentUpdates)();
  void(QMX_CALL* IndicatorOn)(int);
  void(QMX_CALL* IndicatorOff)(int);
  int(QMX_CALL* SwitchOpens)(int);
  int(QMX_CALL* SwitchCloses)(int);
  int(QMX_CALL* CheckOperation)(int, int);
  int(QMX_CALL* SerialNumber)();
  void(QMX_CALL* EscrowEnable)();
  void(QMX_CALL* EscrowDisable)();
  int(QMX_CALL* EscrowThroughput)();
  void(QMX_CALL* EscrowAccept)();
  void(QMX_CALL* EscrowReturn)();
  int(QMX_CALL* ReadAcceptorDetails)(int, void*);
  int(QMX_CALL* ReadDispenserDetails)(int, QmxDispenserDetails*);
};

template <typename Function>
bool Bind(const platform::DynamicLibrary& library, const char* name, int argumentBytes,
          Function* slot, std::string* missing) {
  const std::string exported = platform::StdcallExportName(name, argumentBytes);
  platform::DynamicLibrary::Entry entry = library.Find(exported);
  if (entry == nullptr) {
    if (!missing->empty()) *missing += ", ";
    *missing += exported;
    return false;
  }
  *slot = reinterpret_cast<Function>(entry);
  return true;
}

bool BindAll(const platform::DynamicLibrary& l, Api* api, std::string* missing) {
  bool ok = true;
  ok &= Bind(l, "OpenVODVersion", 4, &api->OpenVODVersion, missing);
  ok &= Bind(l, "OpenSpecificVODVersion", 8, &api->OpenSpecificVODVersion, missing);
  ok &= Bind(l, "EnableInterface", 0, &api->EnableInterface, missing);
  ok &= Bind(l, "CurrentValue", 0, &api->CurrentValue, missing);
  ok &= Bind(l, "PayOut", 4, &api->PayOut, missing);
  ok &= Bind(l, "LastPayStatus", 0, &api->LastPayStatus, missing);
  ok &= Bind(l, "CurrentPaid", 0, &api->CurrentPaid, missing);
  ok &= Bind(l, "AvailableValue", 0, &api->AvailableValue, missing);
  ok &= Bind(l, "ValueNeeded", 4, &api->ValueNeeded, missing);
  ok &= Bind(l, "NextEvent", 4, &api->NextEvent, missing);
  ok &= Bind(l, "CurrentUpdates", 0, &api->CurrentUpdates, missing);
  ok &= Bind(l, "IndicatorOn", 4, &api->IndicatorOn, missing);
  ok &= Bind(l, "IndicatorOff", 4, &api->IndicatorOff, missing);
  ok &= Bind(l, "SwitchOpens", 4, &api->SwitchOpens, missing);
  ok &= Bind(l, "SwitchCloses", 4, &api->SwitchCloses, missing);
  ok &= Bind(l, "CheckOperation", 8, &api->CheckOperation, missing);
  ok &= Bind(l, "SerialNumber", 0, &api->SerialNumber, missing);
  ok &= Bind(l, "EscrowEnable", 0, &api->EscrowEnable, missing);
  ok &= Bind(l, "EscrowDisable", 0, &api->EscrowDisable, missing);
  ok &= Bind(l, "EscrowThroughput", 0, &api->EscrowThroughput, missing);
  ok &= Bind(l, "EscrowAccept", 0, &api->EscrowAccept, missing);
  ok &= Bind(l, "EscrowReturn", 0, &api->EscrowReturn, missing);
  ok &= Bind(l, "ReadAcceptorDetails", 8, &api->ReadAcceptorDetails, missing);
  ok &= Bind(l, "ReadDispenserDetails", 8, &api->ReadDispenserDetails, missing);
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

bool ParseInt(const std::string& text, int* value) {
  long v = 0;
  if (!ParseLong(text, &v)) return false;
  *value = static_cast<int>(v);
  return true;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) break;
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (arg == "--serial") {
      options->serial = value;
      options->bySerial = true;
    } else if (arg == "--version") {
      long v = 0;
      if (!ParseLong(value, &v)) return false;
      // The short forms name the accepted versions; anything else goes to the
      // library as it is, which answers for it.
      options->version = (v == 1 || v == 2 || v == 5) ? static_cast<int>(0x00010000 + v)
                                                      : static_cast<int>(v);
    } else if (arg == "--library") {
      options->library = value;
    } else {
      return false;
    }
  }
  for (; i < argc; ++i) options->command.emplace_back(argv[i]);
  return !options->command.empty();
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
  return slash == std::string::npos ? name : self.substr(0, slash + 1) + name;
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
};

Header ReadHeader(const Options& options) {
  namespace layout = tarvex::block_layout;
  Header header;
  platform::SharedMemoryError error;
  const std::string name =
      std::string(layout::kMappingName) + (options.bySerial ? options.serial : "");
  platform::SharedMemory block =
      platform::SharedMemory::OpenExisting(name, layout::kMappingSize, &error);
  if (!block.valid()) return header;
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

const char* PayStatusText(int status) {
  switch (status) {
    case QMX_PAY_NOT_OPEN: return "interface not open";
    case QMX_PAY_UNDER_WAY: return "paying, or no result yet";
    case QMX_PAY_COMPLETE: return "last payout complete";
    default: return "the last payout failed";
  }
}

int Status(const Api& api, const Options& options, int openResult) {
  std::printf("open: %d (%s)\n", openResult, OpenResultText(openResult));
  const Header header = ReadHeader(options);
  if (header.mapped) {
    const int v = static_cast<int>(header.versionWord);
    std::printf("firmware: %s %d.%d.%d (0x%08X)\n", loader::ReleaseTypeName((v >> 24) & 0xFF),
                (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF, header.versionWord);
    std::printf("firmware-level: %" PRId32 "\n", header.level);
    std::printf("compiled: %s %s\n", header.compileDate.c_str(), header.compileTime.c_str());
    std::printf("driver-state: %" PRIu32 "\n", header.driverState);
  }
  std::printf("serial-number: %d\n", api.SerialNumber());
  if (openResult != QMX_OPEN_OK) return kFailed;
  const int payStatus = api.LastPayStatus();
  std::printf("current-value: %d\n", api.CurrentValue());
  std::printf("paid-total: %d\n", api.CurrentPaid());
  std::printf("available-value: %d\n", api.AvailableValue());
  std::printf("pay-status: %d (%s)\n", payStatus, PayStatusText(payStatus));
  std::printf("escrow-throughput: %d\n", api.EscrowThroughput());
  std::printf("updates: %d\n", api.CurrentUpdates());
  return 0;
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

using Clock = std::chrono::steady_clock;

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Optional "--name N" pairs after a command's fixed arguments.
bool TakeOption(std::vector<std::string>* args, const char* name, int* value) {
  for (std::size_t i = 0; i < args->size(); ++i) {
    if ((*args)[i] != name) continue;
    if (i + 1 >= args->size() || !ParseInt((*args)[i + 1], value) || *value < 0) return false;
    args->erase(args->begin() + static_cast<long>(i), args->begin() + static_cast<long>(i) + 2);
    return true;
  }
  return true;
}

int Pay(const Api& api, int amount, int timeoutSeconds) {
  const int paidBefore = api.CurrentPaid();
  const int updatesBefore = api.CurrentUpdates();
  api.PayOut(amount);
  std::printf("paying %d\n", amount);
  std::fflush(stdout);
  const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  // Until the unit has taken the request up, its PayStatus still tells of the
  // payout before; an error code there would be taken for this payout's end (and
  // cancel it). The unit answers a request by changing its area: wait for that,
  // a second at most.
  const auto takenUp = Clock::now() + std::chrono::seconds(1);
  while (api.CurrentUpdates() == updatesBefore && Clock::now() < takenUp) Pause(2);
  int shown = 0;
  auto nextLine = Clock::now();
  for (;;) {
    const int status = api.LastPayStatus();
    const int paid = api.CurrentPaid() - paidBefore;
    if (status == QMX_PAY_COMPLETE) {
      std::printf("payout complete: paid %d\n", paid);
      return 0;
    }
    if (status != QMX_PAY_UNDER_WAY) {
      std::printf("payout failed: status %d, paid %d of %d\n", status, paid, amount);
      return kFailed;
    }
    // Progress at most five times a second: enough to watch, little to scroll.
    if (paid != shown && Clock::now() >= nextLine) {
      std::printf("paid %d of %d\n", paid, amount);
      std::fflush(stdout);
      shown = paid;
      nextLine = Clock::now() + std::chrono::milliseconds(200);
    }
    if (Clock::now() >= deadline) {
      std::printf("payout not finished after %d s: paid %d of %d\n", timeoutSeconds, paid,
                  amount);
      return kFailed;
    }
    Pause(20);
  }
}

int Events(const Api& api, int count, int timeoutSeconds) {
  const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  int taken = 0;
  while ((count == 0 || taken < count) && Clock::now() < deadline) {
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

int Switches(const Api& api, const std::vector<std::string>& which) {
  std::vector<int> numbers;
  for (const std::string& arg : which) {
    int n = 0;
    if (!ParseInt(arg, &n) || n < 0 || n > 63) {
      std::fprintf(stderr, "qmx: no switch %s (switches are 0 to 63)\n", arg.c_str());
      return kUsageError;
    }
    numbers.push_back(n);
  }
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

int Run(const Api& api, const Options& options, int openResult) {
  std::vector<std::string> args(options.command.begin() + 1, options.command.end());
  const std::string& command = options.command[0];
  if (command == "status") return args.empty() ? Status(api, options, openResult) : kUsageError;

  static const char* const kKnown[] = {"acceptors", "dispensers", "pay",         "events",
                                       "indicator", "switches",   "escrow",      "value-needed",
                                       "check",     "hold"};
  bool known = false;
  for (const char* k : kKnown) known |= command == k;
  if (!known) return kUsageError;
  if (openResult != QMX_OPEN_OK) {
    std::fprintf(stderr, "qmx: the interface did not open: %d (%s)\n", openResult,
                 OpenResultText(openResult));
    return kFailed;
  }

  if (command == "acceptors") return args.empty() ? Acceptors(api, options.version) : kUsageError;
  if (command == "dispensers") return args.empty() ? Dispensers(api) : kUsageError;
  if (command == "switches") return Switches(api, args);
  if (command == "check") {
    int a = 0, b = 0;
    if (args.size() != 2 || !ParseInt(args[0], &a) || !ParseInt(args[1], &b)) return kUsageError;
    std::printf("check-operation: %d\n", api.CheckOperation(a, b));
    return 0;
  }

  // The rest trade: the unit sees a host that has switched the interface on.
  api.EnableInterface();
  if (command == "pay") {
    int timeout = 60, amount = 0;
    if (!TakeOption(&args, "--timeout", &timeout) || args.size() != 1 ||
        !ParseInt(args[0], &amount) || amount <= 0)
      return kUsageError;
    return Pay(api, amount, timeout);
  }
  if (command == "events") {
    int timeout = 10, count = 0;
    if (!TakeOption(&args, "--timeout", &timeout) || !TakeOption(&args, "--count", &count) ||
        !args.empty())
      return kUsageError;
    return Events(api, count, timeout);
  }
  if (command == "indicator") {
    int n = 0;
    if (args.size() != 2 || !ParseInt(args[0], &n) || (args[1] != "on" && args[1] != "off"))
      return kUsageError;
    (args[1] == "on" ? api.IndicatorOn : api.IndicatorOff)(n);
    std::printf("indicator %d %s\n", n, args[1].c_str());
    return 0;
  }
  if (command == "escrow") {
    if (args.size() != 1) return kUsageError;
    const std::string& what = args[0];
    if (what == "enable") api.EscrowEnable();
    else if (what == "disable") api.EscrowDisable();
    else if (what == "accept") api.EscrowAccept();
    else if (what == "return") api.EscrowReturn();
    else if (what != "count") return kUsageError;
    std::printf("escrow-throughput: %d\n", api.EscrowThroughput());
    return 0;
  }
  if (command == "value-needed") {
    int value = 0;
    if (args.size() != 1 || !ParseInt(args[0], &value)) return kUsageError;
    api.ValueNeeded(value);
    std::printf("value-needed: %d\n", value);
    return 0;
  }
  // hold
  int seconds = 0;
  if (args.size() != 1 || !ParseInt(args[0], &seconds) || seconds < 0) return kUsageError;
  std::printf("holding the interface for %d s\n", seconds);
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fputs(kUsage, argc > 1 && std::strcmp(argv[1], "--help") == 0 ? stdout : stderr);
    return argc > 1 && std::strcmp(argv[1], "--help") == 0 ? 0 : kUsageError;
  }
  if (options.command[0] == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
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
  const int openResult = options.bySerial
                             ? api.OpenSpecificVODVersion(options.serial.c_str(), options.version)
                             : api.OpenVODVersion(options.version);
  const int rc = Run(api, options, openResult);
  if (rc == kUsageError) std::fputs(kUsage, stderr);
  std::fflush(stdout);
  library.Unload();  // the last host's unload switches the interface off
  return rc;
}
