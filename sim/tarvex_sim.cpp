// tarvex-sim: one simulated Tarvex unit as a process (its USB device, reached
// through the virtual D2XX library, and its shared block), and the status and ctl
// commands that look at and change a running one.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/shared_memory.h"
#include "sim/block_server.h"
#include "sim/firmware.h"
#include "sim/sim_server.h"
#include "sim/usb_unit.h"
#include "sim/virtual_d2xx/sim_link.h"

namespace {

constexpr const char* kUsage =
    "usage: tarvex-sim [OPTIONS]                  run one unit until interrupted\n"
    "       tarvex-sim status [--slot K | --serial S]\n"
    "       tarvex-sim ctl [--slot K | --serial S] COMMAND [ARGS]\n"
    "\n"
    "Runs one simulated unit in the foreground: its USB device, which the virtual\n"
    "D2XX library (libftd2xx.so / FTD2XX.dll) opens as device index K when it is\n"
    "the K-th unit (from 0) in slot order among the slots that have one, and its\n"
    "shared block \"QMXZELTI mapped file\" (followed by the serial number when\n"
    "--serial is given). It ends on Ctrl-C, SIGTERM, 'ctl quit' or DriverState 4\n"
    "in its block (USBDriverExit).\n"
    "Once it listens it writes \"tarvex-sim: unit <serial> on slot <k>\" to stderr.\n"
    "A unit left in programming mode by a loader that went away (no address, data,\n"
    "201 or 203 record for 2.5 s after the last one and the last acknowledgement)\n"
    "falls back to its kernel: it answers enquiries again (status 0x200 for the\n"
    "partly written image) and takes a new command 201.\n"
    "\n"
    "Options of the unit:\n"
    "  --serial S            EEPROM serial number (default TV000001; at most 15\n"
    "                        characters); also names the shared block\n"
    "  --slot K              listen on slot K (0..15; default: the first free one)\n"
    "  --firmware FILE       load an S-Record image (.a37) into the flash; without\n"
    "                        one the flash is erased and the unit runs no firmware\n"
    "  --level N             FirmwareLevel in the block, also shown by status\n"
    "                        (default 0)\n"
    "  --vendor-id N         EEPROM vendor id (default 0x0403)\n"
    "  --product-id N        EEPROM product id (default 0xDE50; another one makes\n"
    "                        the loader pass the device by)\n"
    "  --description T       EEPROM description (default \"Tarvex USB\"; <= 63)\n"
    "  --manufacturer T      EEPROM manufacturer (default \"Tarvex\"; <= 31)\n"
    "  --manufacturer-id T   EEPROM manufacturer id (default \"TV\"; <= 15)\n"
    "  --no-kernel           enquiry 111 answers -1 whatever the flash holds\n"
    "  --cannot-reprogram    enquiry 109 answers -2 (a unit without a loader)\n"
    "  --self-test-error N   after a restart with a sound image report status N, a\n"
    "                        self-test error code (default: 1, healthy)\n"
    "  --ack-delay MS        extra time before each block's acknowledgement\n"
    "  --restart MS          from command 203 until the new firmware answers\n"
    "                        (default 500)\n"
    "  --idle-fill           send 0xFF bytes while there is nothing to say\n"
    "  --no-block            create no shared block\n"
    "  --exit-after SECONDS  end by itself after this long (for scripts)\n"
    "  --help                this text\n"
    "\n"
    "Options of the shared block (the USB driver process's side of it):\n"
    "  --firmware-version-word N\n"
    "                        FirmwareVersionWord (default: the running firmware's\n"
    "                        release type and x.y.z, one byte each; 0 without one)\n"
    "  --unit-serial N       UnitSerialNumber (default: the digits of --serial, or 1)\n"
    "  --payout-base N       PayoutBase (default 0); from level 5 the unit pays\n"
    "                        toward BasedPayoutTarget less PayoutBase\n"
    "  --pay-rate V          value paid out per second (default 1000; 0: at once)\n"
    "  --available V         value the dispensers hold (default 100000); a payout\n"
    "                        that uses it up ends with PayStatus 2\n"
    "  --coins LIST          the coin acceptor's coin values, comma-separated\n"
    "                        (default 5,10,20,50,100,200; none: no coin acceptor)\n"
    "  --notes LIST          the note acceptor's note values (default\n"
    "                        500,1000,2000,5000; none: no note acceptor)\n"
    "  --bus-address N       ccTalk address of the device that answers on the raw\n"
    "                        port (default 2)\n"
    "  --refuse-bus          raw port command 0 refuses to hand the ccTalk bus over\n"
    "Numbers are decimal or 0x-hexadecimal.\n"
    "\n"
    "status prints the running unit's state as \"key: value\" lines: firmware,\n"
    "checksum, status, kernel, serial, level, driver-state (the block's DriverState\n"
    "word, or none), programmed-blocks, plugged, open, programming, restarting,\n"
    "kernel-handshakes, compile-date, compile-time, endpoint (the slot's socket\n"
    "path or port); then the block's: serving (yes, no, or stopped mid-update),\n"
    "current-value, paid-total, pay-status, available-value (as the unit last\n"
    "wrote them), interface-enabled, host-open, attach-count, indicator-slots (the\n"
    "slots that are on, or -), value-needed, escrow-enabled (the hosts' words).\n"
    "With --no-block the block's lines read none.\n"
    "\n"
    "ctl commands (each prints one answer line):\n"
    "  fail CALL [--nth N] [--persistent] [--status S]\n"
    "                        make the Nth call of that kind from now (default 1)\n"
    "                        fail with status S (default 4, I/O error); with\n"
    "                        --persistent every later one too. CALL: open close\n"
    "                        read write reset queue-status get-status latency ee-read\n"
    "  clear-faults          forget every armed fault\n"
    "  short-writes N        a write takes at most N bytes (0: whole writes)\n"
    "  unplug [MS]           pull the USB cable, for MS milliseconds or until replug\n"
    "  replug                plug it in again\n"
    "  quit                  end the unit's process\n"
    "Shared block commands (carried out by the block's next serving tick; while the\n"
    "block is not served they wait, and the answer says they are queued):\n"
    "  insert-coin VALUE [--acceptor N]\n"
    "                        a coin of that value into the first coin acceptor that\n"
    "                        knows it (or into acceptor N, counted from 0): the\n"
    "                        value and the entry's count rise\n"
    "  insert-note VALUE     a note into the first note acceptor that knows it; from\n"
    "                        level 5, with escrow enabled, it waits in escrow for\n"
    "                        the host's accept (counted) or return\n"
    "  post-event CODE       queue a 32-bit event word; events are posted one at a\n"
    "                        time, each once the host acknowledged the one before\n"
    "  press-switch N        switch N (0..63) closes, and opens on the next tick\n"
    "  fail-payout CODE      the current or next payout stops halfway with PayStatus\n"
    "                        CODE (not 0 or 1); once\n"
    "  set-level N           FirmwareLevel N from now; the lists follow (texts from\n"
    "                        level 7, extra dispenser words from 6)\n"
    "  inhibit-open on|off   OpenInhibit 1 or 0\n"
    "  driver-state N        store N into DriverState as another party would: any\n"
    "                        value but 0 stops serving and clears BlockMagic (2 is\n"
    "                        Flashwright's), 0 serves again, 4 ends the process\n"
    "  stop-serving-mid-update\n"
    "                        increment StatusStartCount and never copy it into\n"
    "                        StatusEndCount: a unit that died mid-update\n"
    "\n"
    "status and ctl talk to the unit on --slot K, to the one whose serial number is\n"
    "S, or to the first one found.\n"
    "\n"
    "Where units listen: TARVEX_SIM_ENDPOINT, else the default. On Linux a folder\n"
    "(default $XDG_RUNTIME_DIR/tarvex-sim, else /tmp/tarvex-sim-<uid>) with slot K\n"
    "at unit<K>.sock; on Windows a loopback TCP base port (default 47810) with slot\n"
    "K at the base + K.\n"
    "\n"
    "Exit status: 0 done; 1 no such unit (status, ctl) or the unit could not start;\n"
    "2 usage error.\n";

constexpr int kUsageExit = 2;
constexpr int kNoUnitExit = 1;

// Scanning slots: nobody there answers at once on the loopback, so this only
// bounds a slot whose process hangs.
constexpr int kScanConnectMs = 1000;

volatile std::sig_atomic_t interrupted = 0;

extern "C" void OnSignal(int) {
  interrupted = 1;
}

int Usage(const std::string& message) {
  std::fprintf(stderr, "tarvex-sim: %s\n(tarvex-sim --help shows the usage)\n", message.c_str());
  return kUsageExit;
}

bool ParseNumber(const char* text, unsigned long long limit, unsigned long long* value) {
  if (text[0] == '-' || text[0] == '+' || text[0] == '\0') return false;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text, &end, 0);
  if (end == text || *end != '\0' || parsed > limit) return false;
  *value = parsed;
  return true;
}

template <typename Number>
bool TakeNumber(const char* text, unsigned long long limit, Number* target) {
  unsigned long long value = 0;
  if (!ParseNumber(text, limit, &value)) return false;
  *target = static_cast<Number>(value);
  return true;
}

bool TakeText(const char* text, std::size_t longest, std::string* target) {
  if (std::strlen(text) > longest) return false;
  *target = text;
  return true;
}

// --- the unit ---------------------------------------------------------------------

struct RunOptions {
  sim::UnitOptions unit;
  bool serialGiven = false;
  int slot = -1;  // -1: the first free one
  std::string firmware;
  bool block = true;
  bool unitSerialGiven = false;
  sim::BlockOptions blockOptions;
  double exitAfter = 0.0;  // seconds; 0: never
};

// A comma-separated list of values from 1 (at most 256), or "none".
bool TakeValues(const char* text, std::vector<std::int32_t>* values) {
  values->clear();
  if (std::strcmp(text, "none") == 0) return true;
  std::string item;
  for (const char* p = text;; ++p) {
    if (*p != ',' && *p != '\0') {
      item += *p;
      continue;
    }
    std::int32_t value = 0;
    if (!TakeNumber(item.c_str(), 0x7FFFFFFF, &value) || value == 0) return false;
    values->push_back(value);
    item.clear();
    if (*p == '\0') break;
  }
  return values->size() <= 256;
}

// The acceptor of one kind (coin or note, by its unit code) gets these values; with
// none it is left out. Coin acceptors stay first in the list.
void SetAcceptorValues(std::vector<sim::AcceptorConfig>* acceptors, bool coins,
                       const std::vector<std::int32_t>& values) {
  const auto isKind = [coins](const sim::AcceptorConfig& acceptor) {
    return ((acceptor.unitCode >> 24) == 0x02) == coins;
  };
  std::erase_if(*acceptors, isKind);
  if (values.empty()) return;
  for (sim::AcceptorConfig acceptor : sim::BlockOptions::DefaultAcceptors()) {
    if (!isKind(acceptor)) continue;
    acceptor.values = values;
    acceptors->insert(coins ? acceptors->begin() : acceptors->end(), acceptor);
  }
}

// The digits of a serial number text, as UnitSerialNumber; 1 when there are none
// (or too many), so the header never carries a zero serial.
std::uint32_t SerialDigits(const std::string& serial) {
  std::uint64_t number = 0;
  bool any = false;
  for (char c : serial) {
    if (c < '0' || c > '9') continue;
    number = number * 10 + static_cast<unsigned>(c - '0');
    any = true;
    if (number > 0xFFFFFFFFu) return 1;
  }
  return any && number != 0 ? static_cast<std::uint32_t>(number) : 1;
}

// FirmwareVersionWord from the running firmware's "<release name> x.y.z": the
// release type in the top byte, then x, y and z. "none" (no application) is 0.
std::uint32_t VersionWordOf(const std::string& text) {
  const std::size_t space = text.rfind(' ');
  if (space == std::string::npos) return 0;
  const std::string name = text.substr(0, space);
  unsigned release = 0;
  while (release < 0xFF && name != sim::Firmware::ReleaseName(release)) ++release;
  unsigned x = 0, y = 0, z = 0;
  char tail = 0;
  if (std::sscanf(text.c_str() + space + 1, "%u.%u.%u%c", &x, &y, &z, &tail) != 3) return 0;
  return (std::uint32_t{release & 0xFF} << 24) | ((x & 0xFF) << 16) | ((y & 0xFF) << 8) |
         (z & 0xFF);
}

// Returns -1 when the command line is good, else the exit status.
int ParseRunOptions(int argc, char** argv, RunOptions* options) {
  sim::UnitOptions& unit = options->unit;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    bool good = true;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--no-kernel") {
      unit.reportNoKernel = true;
    } else if (arg == "--cannot-reprogram") {
      unit.cannotReprogram = true;
    } else if (arg == "--idle-fill") {
      unit.idleFill = true;
    } else if (arg == "--no-block") {
      options->block = false;
    } else if (arg == "--refuse-bus") {
      options->blockOptions.refuseBusHandOver = true;
    } else if (value == nullptr) {
      return Usage("unexpected argument " + arg);
    } else {
      ++i;
      if (arg == "--serial") {
        good = TakeText(value, 15, &unit.serial) && !unit.serial.empty();
        options->serialGiven = true;
      } else if (arg == "--slot") {
        good = TakeNumber(value, sim::link::kMaxSlots - 1, &options->slot);
      } else if (arg == "--firmware") {
        options->firmware = value;
      } else if (arg == "--level") {
        char* end = nullptr;
        const long long level = std::strtoll(value, &end, 0);
        good = end != value && *end == '\0' && level >= -0x7FFFFFFF && level <= 0x7FFFFFFF;
        options->blockOptions.level = static_cast<std::int32_t>(level);
      } else if (arg == "--firmware-version-word") {
        good = TakeNumber(value, 0xFFFFFFFF, &options->blockOptions.versionWord);
        options->blockOptions.fixedVersionWord = true;
      } else if (arg == "--unit-serial") {
        good = TakeNumber(value, 0xFFFFFFFF, &options->blockOptions.unitSerialNumber);
        options->unitSerialGiven = true;
      } else if (arg == "--payout-base") {
        good = TakeNumber(value, 0xFFFFFFFF, &options->blockOptions.payoutBase);
      } else if (arg == "--pay-rate") {
        good = TakeNumber(value, 1000000000, &options->blockOptions.payRate);
      } else if (arg == "--available") {
        good = TakeNumber(value, 0x7FFFFFFF, &options->blockOptions.availableValue);
      } else if (arg == "--coins" || arg == "--notes") {
        std::vector<std::int32_t> values;
        good = TakeValues(value, &values);
        if (good) SetAcceptorValues(&options->blockOptions.acceptors, arg == "--coins", values);
      } else if (arg == "--bus-address") {
        good = TakeNumber(value, 0xFF, &options->blockOptions.busDeviceAddress);
      } else if (arg == "--vendor-id") {
        good = TakeNumber(value, 0xFFFF, &unit.vendorId);
      } else if (arg == "--product-id") {
        good = TakeNumber(value, 0xFFFF, &unit.productId);
      } else if (arg == "--description") {
        good = TakeText(value, 63, &unit.description);
      } else if (arg == "--manufacturer") {
        good = TakeText(value, 31, &unit.manufacturer);
      } else if (arg == "--manufacturer-id") {
        good = TakeText(value, 15, &unit.manufacturerId);
      } else if (arg == "--self-test-error") {
        good = TakeNumber(value, 0xFFFFFFFF, &unit.selfTestError);
      } else if (arg == "--ack-delay") {
        good = TakeNumber(value, 3600000, &unit.ackDelayMs);
      } else if (arg == "--restart") {
        good = TakeNumber(value, 3600000, &unit.restartMs);
      } else if (arg == "--exit-after") {
        char* end = nullptr;
        options->exitAfter = std::strtod(value, &end);
        good = end != value && *end == '\0' && options->exitAfter > 0 && options->exitAfter < 1e7;
      } else {
        return Usage("unexpected argument " + arg);
      }
    }
    if (!good) {
      return Usage("bad value: " + arg + " " + value);
    }
  }
  return -1;
}

// Listens on the chosen slot, or on the first free one. The slot, or -1.
int Listen(sim::SimServer& server, int wanted) {
  std::string error;
  const int first = wanted >= 0 ? wanted : 0;
  const int last = wanted >= 0 ? wanted : sim::link::kMaxSlots - 1;
  for (int slot = first; slot <= last; ++slot) {
    const std::string endpoint = sim::link::SlotEndpoint(slot);
    if (endpoint.empty()) break;
    const platform::SocketResult result = server.Start(endpoint, &error);
    if (result == platform::SocketResult::kOk) return slot;
    if (result != platform::SocketResult::kInUse) {
      std::fprintf(stderr, "tarvex-sim: cannot listen on slot %d: %s\n", slot, error.c_str());
      return -1;
    }
  }
  if (wanted >= 0)
    std::fprintf(stderr, "tarvex-sim: slot %d is taken by another unit\n", wanted);
  else
    std::fprintf(stderr, "tarvex-sim: all %d slots under %s are taken\n", sim::link::kMaxSlots,
                 sim::link::EndpointBase().c_str());
  return -1;
}

int RunUnit(int argc, char** argv) {
  RunOptions options;
  if (int status = ParseRunOptions(argc, argv, &options); status >= 0) return status;

  sim::UsbUnit unit(options.unit, platform::SystemClock());
  if (!options.firmware.empty()) {
    std::string error;
    if (!unit.firmware().LoadSRecordFile(options.firmware, &error)) {
      std::fprintf(stderr, "tarvex-sim: %s\n", error.c_str());
      return 1;
    }
  }

  // The block's header follows the running firmware: after a restart it names the
  // new one.
  sim::BlockOptions& blockOptions = options.blockOptions;
  if (!options.unitSerialGiven) blockOptions.unitSerialNumber = SerialDigits(options.unit.serial);
  blockOptions.firmware = [&unit] {
    const sim::UsbUnit::Report report = unit.Status();
    sim::FirmwareInfo info;
    info.versionWord = VersionWordOf(report.firmware);
    info.compileDate = report.compileDate;
    info.compileTime = report.compileTime;
    return info;
  };

  platform::SharedMemory block;
  std::unique_ptr<sim::BlockServer> blockServer;
  if (options.block) {
    std::string name = "QMXZELTI mapped file";
    if (options.serialGiven) name += options.unit.serial;
    platform::SharedMemoryError error;
    block = platform::SharedMemory::CreateOrOpen(name, sim::kBlockSize, &error);
    if (!block.valid()) {
      std::fprintf(stderr, "tarvex-sim: cannot create the shared block \"%s\": %s failed: %s\n",
                   name.c_str(), error.call, error.text.c_str());
      return 1;
    }
    blockServer = std::make_unique<sim::BlockServer>(block.data(), sim::kBlockSize, blockOptions,
                                                     platform::SystemClock());
    std::string misfit;
    if (!blockServer->Check(&misfit)) return Usage(misfit);
  }

  sim::ServerSettings settings;
  settings.level = blockOptions.level;
  settings.block = block.data();
  settings.blockServer = blockServer.get();
  sim::SimServer server(unit, settings);
  const int slot = Listen(server, options.slot);
  if (slot < 0) return 1;
  // Only a unit that got its slot touches the block (another one may serve it), and
  // the header stands before the line that says the unit is up.
  if (blockServer) {
    blockServer->Tick();
    blockServer->Start();
  }

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::fprintf(stderr, "tarvex-sim: unit %s on slot %d\n", options.unit.serial.c_str(), slot);
  std::fflush(stderr);

  using Steady = std::chrono::steady_clock;
  const auto end = Steady::now() + std::chrono::duration_cast<Steady::duration>(
                                       std::chrono::duration<double>(options.exitAfter));
  // Ends on a signal, ctl quit, the time limit, or DriverState 4 (USBDriverExit).
  while (interrupted == 0 && !server.quitRequested() &&
         (options.exitAfter == 0 || Steady::now() < end) &&
         !(blockServer && blockServer->exitRequested())) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  server.Stop();
  if (blockServer) blockServer->Stop();
  return 0;
}

// --- status and ctl -----------------------------------------------------------------

struct Target {
  int slot = -1;       // -1: any
  std::string serial;  // empty: any
};

// The value of "key: " in status lines, or empty.
std::string StatusValue(const std::string& text, const std::string& key) {
  const std::string wanted = key + ": ";
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (text.compare(at, wanted.size(), wanted) == 0)
      return text.substr(at + wanted.size(), end - at - wanted.size());
    at = end + 1;
  }
  return std::string();
}

// Connects to the target unit; for a serial number, asks each slot's status.
bool Reach(const Target& target, sim::link::Client* client) {
  const int first = target.slot >= 0 ? target.slot : 0;
  const int last = target.slot >= 0 ? target.slot : sim::link::kMaxSlots - 1;
  for (int slot = first; slot <= last; ++slot) {
    if (target.serial.empty()) {
      if (client->Connect(slot, kScanConnectMs) == platform::SocketResult::kOk) return true;
      continue;
    }
    sim::link::Client probe;
    if (probe.Connect(slot, kScanConnectMs) != platform::SocketResult::kOk) continue;
    std::uint32_t status = 0;
    std::vector<std::uint8_t> answer;
    if (!probe.Exchange(sim::link::Op::kStatus, nullptr, 0, &status, &answer)) continue;
    probe.Close();
    const std::string text(answer.begin(), answer.end());
    if (StatusValue(text, "serial") == target.serial &&
        client->Connect(slot, kScanConnectMs) == platform::SocketResult::kOk)
      return true;
  }
  return false;
}

int NoUnit(const Target& target) {
  if (!target.serial.empty())
    std::fprintf(stderr, "tarvex-sim: no unit with serial number %s is running\n",
                 target.serial.c_str());
  else if (target.slot >= 0)
    std::fprintf(stderr, "tarvex-sim: no unit on slot %d\n", target.slot);
  else
    std::fprintf(stderr, "tarvex-sim: no unit is running (under %s)\n",
                 sim::link::EndpointBase().c_str());
  return kNoUnitExit;
}

// Takes --slot K and --serial S from argv[*next...]; stops at the first other word.
int ParseTarget(int argc, char** argv, int* next, Target* target) {
  while (*next < argc) {
    const std::string arg = argv[*next];
    if (arg != "--slot" && arg != "--serial") break;
    if (*next + 1 >= argc) return Usage(arg + " needs a value");
    const char* value = argv[*next + 1];
    if (arg == "--slot" && !TakeNumber(value, sim::link::kMaxSlots - 1, &target->slot))
      return Usage(std::string("bad slot ") + value);
    if (arg == "--serial") target->serial = value;
    *next += 2;
  }
  if (target->slot >= 0 && !target->serial.empty())
    return Usage("give --slot or --serial, not both");
  return -1;
}

int RunStatus(int argc, char** argv) {
  Target target;
  int next = 2;
  if (int status = ParseTarget(argc, argv, &next, &target); status >= 0) return status;
  if (next < argc) return Usage(std::string("unexpected argument ") + argv[next]);
  sim::link::Client client;
  if (!Reach(target, &client)) return NoUnit(target);
  std::uint32_t status = 0;
  std::vector<std::uint8_t> answer;
  if (!client.Exchange(sim::link::Op::kStatus, nullptr, 0, &status, &answer)) return NoUnit(target);
  client.Close();
  std::fwrite(answer.data(), 1, answer.size(), stdout);
  return 0;
}

int RunControl(int argc, char** argv) {
  Target target;
  int next = 2;
  if (int status = ParseTarget(argc, argv, &next, &target); status >= 0) return status;
  std::vector<std::string> words(argv + next, argv + argc);
  // Checked here first, so a mistyped command is a usage error even with no unit.
  sim::ControlCommand command;
  std::string error;
  if (!sim::ParseControl(words, &command, &error)) return Usage(error);

  std::vector<std::uint8_t> request;
  for (const std::string& word : words) {
    request.insert(request.end(), word.begin(), word.end());
    request.push_back(0);
  }
  sim::link::Client client;
  if (!Reach(target, &client)) return NoUnit(target);
  std::uint32_t status = 0;
  std::vector<std::uint8_t> answer;
  if (!client.Exchange(sim::link::Op::kControl, request.data(),
                       static_cast<std::uint32_t>(request.size()), &status, &answer))
    return NoUnit(target);
  client.Close();
  const std::string text(answer.begin(), answer.end());
  if (status != 0) return Usage(text);
  std::printf("%s\n", text.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "status") == 0) return RunStatus(argc, argv);
  if (argc > 1 && std::strcmp(argv[1], "ctl") == 0) return RunControl(argc, argv);
  return RunUnit(argc, argv);
}
