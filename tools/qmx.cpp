// qmx: a host application over Qmxzelti for people at a machine and for the demo.
// It loads the library at run time (as field hosts do, by its exported names), opens
// the interface of one unit and runs one command: status, the acceptor and
// dispenser lists, a payout followed to its end, events, indicators, switches,
// escrow, the check operation, counters, meter, E2Prom, barcode tickets and ticket
// printing, the consistency check and the driver's state. Arguments are checked
// before anything is loaded or opened.
// This file is the front end: usage, options, the command table and loading the
// library; the commands themselves are in qmx_money.cpp and qmx_unit.cpp.
#include "tools/qmx.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "platform/dynamic_library.h"
#include "platform/program_path.h"
#include "qmxzelti.h"

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
      options->version =
          (v == 1 || v == 2 || v == 5) ? static_cast<int>(0x00010000 + v) : static_cast<int>(v);
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

// Commands that only read what the unit reports, and need no enabled interface.
bool Reads(const std::string& command) {
  static const char* const kReads[] = {"acceptors", "dispensers",    "switches",
                                       "check",     "counters",      "meter",
                                       "e2prom",    "driver-status", "consistency"};
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

int NoArguments(const char* command, const Args& args) {
  return args.empty() ? 0 : UsageFault("%s takes no arguments", command);
}

const char* OpenResultText(int result) {
  switch (result) {
    case QMX_OPEN_OK: return "open";
    case QMX_ERROR_INVALID_DATA:
      return "version not accepted, or a block format this library does not know";
    case QMX_ERROR_BAD_UNIT: return "the card's driver reports a bad unit";
    case QMX_ERROR_NOT_READY: return "the unit's driver is not ready";
    case QMX_ERROR_GEN_FAILURE: return "no unit found, or the unit does not accept a host now";
    case QMX_ERROR_INVALID_NAME: return "serial number too long (at most 11 characters)";
    case QMX_ERROR_BUSY: return "the unit is being reprogrammed, or its driver is ending";
    case QMX_ERROR_DEVICE_NOT_CONNECTED: return "no unit connected to its driver";
    default: return "the card's driver failed";
  }
}

namespace {
std::atomic<bool> interrupted{false};
extern "C" void OnInterrupt(int) {
  interrupted = true;
}
}  // namespace

bool Interrupted() {
  return interrupted.load();
}

void Pause(int ms) {
  // In slices, so that an interrupt ends a long pause soon.
  for (int left = ms; left > 0 && !Interrupted(); left -= 50)
    std::this_thread::sleep_for(std::chrono::milliseconds(left < 50 ? left : 50));
}

}  // namespace qmx_tool

int main(int argc, char** argv) {
  Options options;
  const bool help =
      argc == 1 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "help") == 0;
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
