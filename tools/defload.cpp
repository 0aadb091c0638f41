// defload: downloads a coin definition file into an SR5 or a bill table into an
// Elite or Lumina behind a Tarvex unit through Defloader, and follows the download
// to its end. Arguments are checked before anything is started.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "defloader.h"
#include "interface/block_layout.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/name_claim.h"
#include "qmxzelti.h"
#include "tools/defload_watch.h"

namespace {

using namespace defload_tool;

constexpr const char* kUsage =
    "usage: defload coins|elite|lumina FILE --address N [--serial-number DIGITS]\n"
    "               [--unit SERIAL] [--timeout SECONDS]\n"
    "\n"
    "Downloads FILE through Defloader into the acceptor at ccTalk address N behind a\n"
    "Tarvex unit and follows the download to its end:\n"
    "  coins    a coin definition file into an SR5 coin acceptor\n"
    "  elite    a bill table into an Elite note acceptor\n"
    "  lumina   a bill table into a Lumina note acceptor\n"
    "\n"
    "Options:\n"
    "  --address N             the acceptor's ccTalk address, 1 to 255, as the unit\n"
    "                          reports it in its acceptor list (qmx acceptors)\n"
    "  --serial-number DIGITS  the encryption serial number: six hex digits, the\n"
    "                          acceptor's BCD serial number (default 490728)\n"
    "  --unit SERIAL           the unit with that serial number (at most 11\n"
    "                          characters); without it the default unit\n"
    "  --timeout SECONDS       give up when the download has not ended after that\n"
    "                          long (default 600)\n"
    "\n"
    "The stages show in words with a progress bar on a terminal, one line per stage\n"
    "change otherwise. A download cannot be cancelled; it takes 6 s and more for\n"
    "coins, 16 s and more for a bill table.\n"
    "\n"
    "One download at a time goes into a unit: a second defload into the same unit,\n"
    "from any process, is refused while the first runs.\n"
    "\n"
    "Exit status: 0 the download completed; 1 the library did not start it (also\n"
    "another download into the unit runs); 2 usage error; 3 it had not ended within\n"
    "--timeout; 10 + the library's result when it ended otherwise: 11 the file could\n"
    "not be opened or read, is empty, or is too large, 12 the coin file's size\n"
    "disagrees with its table (or is past 131104 bytes), 13 the interface (or\n"
    "--unit's unit) could not be opened or is not served, 14 no acceptor of that\n"
    "model at that address, 15 no response (the bus was not handed over, or no\n"
    "answer to the poll), 16 a transmission failed.\n";

constexpr int kNotStarted = 1;
constexpr int kUsageError = 2;
constexpr int kNotEnded = 3;
constexpr int kResultBase = 10;
// The interface version Defloader opens with: the block --unit opens must be the one
// it then finds open.
constexpr int kInterfaceVersion = 0x00010002;

struct Options {
  int kind = -1;
  std::string file;
  int address = -1;
  int serialNumber = -1;  // the BCD digits in the low 24 bits; -1: the library's own
  std::string unit;
  int timeoutSeconds = 600;
};

int UsageFault(const char* format, ...) {
  std::fputs("defload: ", stderr);
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
  std::fputs("\n(defload --help shows the usage)\n", stderr);
  return kUsageError;
}

bool ParseNumber(const std::string& text, long low, long high, int* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  const long v = std::strtol(text.c_str(), nullptr, 10);
  if (errno != 0 || v < low || v > high) return false;
  *value = static_cast<int>(v);
  return true;
}

// Six hex digits, each a nibble of the value: the BCD serial number as written, and
// the library takes a nibble above 9 as it is.
bool ParseSerialNumber(const std::string& text, int* value) {
  if (text.size() != 6 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    return false;
  *value = static_cast<int>(std::strtol(text.c_str(), nullptr, 16));
  return true;
}

const char* KindName(int kind) {
  switch (kind) {
    case DFL_KIND_SR5_COINS: return "coin definitions into the SR5";
    case DFL_KIND_ELITE_BILLS: return "a bill table into the Elite";
    default: return "a bill table into the Lumina";
  }
}

// 0, or kUsageError after naming the fault.
int ParseOptions(int argc, char** argv, Options* options) {
  std::string positional[2];
  int positionals = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) {
      if (positionals == 2) return UsageFault("unexpected '%s'", arg.c_str());
      positional[positionals++] = arg;
      continue;
    }
    const bool known = arg == "--address" || arg == "--serial-number" || arg == "--unit" ||
                       arg == "--timeout";
    if (!known) return UsageFault("unknown option %s", arg.c_str());
    if (i + 1 >= argc) return UsageFault("%s needs a value", arg.c_str());
    const std::string value = argv[++i];
    if (arg == "--address") {
      if (!ParseNumber(value, 1, 255, &options->address))
        return UsageFault("--address: '%s' is not a ccTalk address (1 to 255)", value.c_str());
    } else if (arg == "--serial-number") {
      if (!ParseSerialNumber(value, &options->serialNumber))
        return UsageFault("--serial-number: '%s' is not six hex digits", value.c_str());
    } else if (arg == "--unit") {
      if (value.empty() || value.size() > 11)
        return UsageFault("--unit: a serial number has 1 to 11 characters");
      options->unit = value;
    } else if (arg == "--timeout") {
      if (!ParseNumber(value, 1, 86400, &options->timeoutSeconds))
        return UsageFault("--timeout: '%s' is not a number of seconds (1 to 86400)",
                          value.c_str());
    } else {
      return UsageFault("unknown option %s", arg.c_str());
    }
  }
  if (positionals < 2) return UsageFault("a kind (coins, elite or lumina) and a FILE are needed");
  const std::string& kind = positional[0];
  if (kind == "coins") options->kind = DFL_KIND_SR5_COINS;
  else if (kind == "elite") options->kind = DFL_KIND_ELITE_BILLS;
  else if (kind == "lumina") options->kind = DFL_KIND_LUMINA_BILLS;
  else return UsageFault("unknown kind '%s' (coins, elite or lumina)", kind.c_str());
  options->file = positional[1];
  if (options->file.empty()) return UsageFault("the FILE name is empty");
  if (options->address < 0) return UsageFault("--address N is needed");
  return 0;
}

const char* OpenFaultText(int open) {
  switch (open) {
    case QMX_ERROR_GEN_FAILURE: return " (no such unit, or it does not accept a host now)";
    case QMX_ERROR_BUSY:
      return USBDriverStatus() == 2
                 ? " (the firmware loader holds the unit: an update runs, or one stopped "
                   "midway; download when the loader has ended)"
                 : " (the unit is being reprogrammed, or its driver is ending)";
    default: return "";
  }
}

// A unit serves its block many times a second: half a second without a change in
// its update count means its driver stopped (say, mid-update), and no acceptor can
// be reached through it.
bool UnitServes(platform::Clock& clock) {
  const int before = CurrentUpdates();
  const std::int64_t start = clock.Counter();
  while ((clock.Counter() - start) * 1000 / clock.Frequency() < 500) {
    if (CurrentUpdates() != before) return true;
    clock.Sleep(5);
  }
  return false;
}

// Opens the unit's interface before Defloader does (Qmxzelti keeps the block open
// for it, so --unit steers the download) and checks that the unit serves it. 0, or
// the exit code after saying why.
int OpenUnit(const Options& options) {
  const std::string which = options.unit.empty() ? "the unit" : "unit " + options.unit;
  const int open = OpenSpecificVODVersion(options.unit.empty() ? nullptr : options.unit.c_str(),
                                          kInterfaceVersion);
  if (open != QMX_OPEN_OK) {
    std::fprintf(stderr, "defload: the interface of %s did not open: %d%s\n", which.c_str(), open,
                 OpenFaultText(open));
    return kResultBase + DFL_RESULT_NO_INTERFACE;
  }
  if (!UnitServes(platform::SystemClock())) {
    std::fprintf(stderr,
                 "defload: %s does not serve its block (its update count stood still for "
                 "500 ms: its driver stopped, perhaps mid-update); nothing was started\n",
                 which.c_str());
    return kResultBase + DFL_RESULT_NO_INTERFACE;
  }
  return 0;
}

// One download into a unit at a time, across processes: two into one acceptor
// interleave their messages and leave it holding neither file. The claim goes with
// the process however it ends. A unit without a named block (a PCI card) has none
// to claim; the library's own refusal still covers this process.
bool ClaimUnit(const Options& options, platform::NameClaim* claim) {
  const std::string name = std::string(tarvex::block_layout::kMappingName) + options.unit;
  platform::ClaimResult result = platform::ClaimResult::kFailed;
  *claim = platform::NameClaim::TakeDownload(name, &result, nullptr);
  if (result != platform::ClaimResult::kTaken) return true;
  const std::string which = options.unit.empty() ? "the unit" : "unit " + options.unit;
  std::fprintf(stderr,
               "defload: the download did not start: %d (another download into %s runs in "
               "another process; nothing was sent)\n",
               DFL_START_BUSY, which.c_str());
  return false;
}

DownloadStatus ReadStatus() {
  short stage = 0, result = 0, progress = 0, total = 0;
  const short busy = DefinitionDownloadStatus(&stage, &result, &progress, &total);
  DownloadStatus status;
  status.busy = busy != 0;
  status.stage = stage;
  status.result = result;
  // Progress and total count past 32767 as unsigned 16-bit values.
  status.progress = static_cast<unsigned short>(progress);
  status.total = static_cast<unsigned short>(total);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) {  // nothing asked: the usage, as for any usage fault
    std::fputs(kUsage, stderr);
    return kUsageError;
  }
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  Options options;
  if (ParseOptions(argc, argv, &options) != 0) return kUsageError;

  if (options.serialNumber >= 0) SetEncryptionSerialNumber(options.serialNumber);
  if (const int fault = OpenUnit(options); fault != 0) return fault;
  platform::NameClaim claim;
  if (!ClaimUnit(options, &claim)) return kNotStarted;

  std::printf("defload: %s at address %d from %s\n", KindName(options.kind), options.address,
              options.file.c_str());
  std::fflush(stdout);
  // The library keeps the pointer to the path until the download ends: options.file
  // lives as long as main.
  const short start =
      StartDefinitionDownload(options.file.c_str(), 0, options.address, options.kind);
  if (start != DFL_START_OK) {
    std::fprintf(stderr, "defload: the download did not start: %d (%s)\n", start,
                 start == DFL_START_NO_THREAD ? "no thread for it"
                 : start == DFL_START_BUSY    ? "another download still runs"
                                              : "kind refused");
    return kNotStarted;
  }

  WatchSettings settings;
  settings.terminal = platform::StandardOutputIsTerminal();
  settings.boundMs = static_cast<std::uint32_t>(options.timeoutSeconds) * 1000;
  const WatchOutcome outcome = Watch(ReadStatus, platform::SystemClock(), stdout, settings);
  if (!outcome.ended) {
    std::fprintf(stderr,
                 "defload: the download has not ended after %d s (stage %d: %s); giving up\n",
                 options.timeoutSeconds, outcome.last.stage, StageText(outcome.last.stage));
    return kNotEnded;
  }
  const int result = outcome.last.result;
  std::printf("result: %d (%s)\n", result, ResultText(result));
  std::fflush(stdout);
  if (const char* advice = EndAdvice(options.kind, result))
    std::fprintf(stderr, "defload: %s\n", advice);
  return result == DFL_RESULT_DONE ? 0 : kResultBase + result;
}
