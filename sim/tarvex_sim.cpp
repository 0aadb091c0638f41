// tarvex-sim: one simulated Tarvex unit as a process (its USB device, reached
// through the virtual D2XX library, and its shared block): its command line and its
// run; the status and ctl commands that look at and change a running one are in
// tarvex_sim_client.cpp.
#include "sim/tarvex_sim.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/name_claim.h"
#include "platform/shared_memory.h"
#include "sim/block_server.h"
#include "sim/firmware.h"
#include "sim/sim_server.h"
#include "sim/tarvex_sim_help.h"
#include "sim/usb_unit.h"
#include "sim/virtual_d2xx/sim_link.h"

namespace tarvex_sim {

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

namespace {

volatile std::sig_atomic_t interrupted = 0;

extern "C" void OnSignal(int) {
  interrupted = 1;
}

bool TakeText(const char* text, std::size_t longest, std::string* target) {
  if (std::strlen(text) > longest) return false;
  *target = text;
  return true;
}

struct RunOptions {
  sim::UnitOptions unit;
  bool serialGiven = false;
  int slot = -1;  // -1: the first free one
  std::string firmware;
  bool block = true;
  bool unitSerialGiven = false;
  sim::BlockOptions blockOptions;
  double exitAfter = 0.0;  // seconds; 0: never
  // The field's pace: what --field-timing sets, unless the option itself is given.
  bool fieldTiming = false;
  std::optional<std::uint32_t> busBaud, rawAnswerMs, usbFrameMs;
};

// --bus-baud (0, or 300 to 115200), --raw-answer-ms (to 5000), --usb-frame-ms (to 16).
bool TakePace(const std::string& option, const char* text, RunOptions* options) {
  std::uint32_t value = 0;
  const bool baud = option == "--bus-baud", raw = option == "--raw-answer-ms";
  if (!TakeNumber(text, baud ? 115200 : raw ? 5000 : 16, &value)) return false;
  if (baud && value != 0 && value < 300) return false;
  (baud ? options->busBaud : raw ? options->rawAnswerMs : options->usbFrameMs) = value;
  return true;
}

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
      std::fputs(sim::kTarvexSimHelp, stdout);
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
    } else if (arg == "--field-timing") {
      options->fieldTiming = true;
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
      } else if (arg == "--paid-total") {
        std::uint32_t paid = 0;
        good = TakeNumber(value, 0xFFFFFFFF, &paid);
        options->blockOptions.paidTotal = paid;
      } else if (arg == "--meter-serial") {
        good = TakeNumber(value, 0xFFFFFFFF, &options->blockOptions.meterSerialNumber);
      } else if (arg == "--print-ms") {
        good = TakeNumber(value, 3600000, &options->blockOptions.printMs);
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
      } else if (arg == "--reply-ms") {
        good = TakeNumber(value, 3600000, &options->blockOptions.replyMs);
      } else if (arg == "--bus-baud" || arg == "--raw-answer-ms" || arg == "--usb-frame-ms") {
        good = TakePace(arg, value, options);
      } else if (arg == "--key-serial") {
        good = sim::ParseKeyDigits(value, &options->blockOptions.keyDigits);
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
  const bool field = options->fieldTiming;
  options->blockOptions.busBaud = options->busBaud.value_or(field ? 9600 : 0);
  options->blockOptions.rawAnswerMs = options->rawAnswerMs.value_or(field ? 30 : 0);
  unit.usbFrameMs = options->usbFrameMs.value_or(field ? 1 : 0);
  return -1;
}

// One driver process per unit: two serving one block would corrupt each other's
// counts. The claim is the system's (see name_claim.h), so a process that died
// leaves none behind. False, with the reason on stderr, when it is not ours.
bool ClaimBlock(const std::string& name, const std::string& serial, platform::NameClaim* claim) {
  platform::ClaimResult result = platform::ClaimResult::kFailed;
  std::string error;
  *claim = platform::NameClaim::Take(name, &result, &error);
  if (result == platform::ClaimResult::kOk) return true;
  if (result == platform::ClaimResult::kFailed)
    std::fprintf(stderr, "tarvex-sim: cannot claim the shared block \"%s\": %s\n", name.c_str(),
                 error.c_str());
  else if (!serial.empty())
    std::fprintf(stderr,
                 "tarvex-sim: serial number %s is already served by another tarvex-sim (shared "
                 "block \"%s\")\n",
                 serial.c_str(), name.c_str());
  else
    std::fprintf(stderr,
                 "tarvex-sim: the shared block \"%s\" is already served by another tarvex-sim "
                 "(give each unit its own --serial)\n",
                 name.c_str());
  return false;
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
  // A unit started without an image stands in for firmware we do not model: its
  // block is served whatever the erased flash says. Once it has an image (given, or
  // being programmed), what the unit reports of it counts.
  blockOptions.firmware = [&unit, modelled = !options.firmware.empty()]() mutable {
    const sim::UsbUnit::Report report = unit.Status();
    modelled = modelled || report.programming || report.programmedBlocks > 0;
    sim::FirmwareInfo info;
    info.versionWord = VersionWordOf(report.firmware);
    info.compileDate = report.compileDate;
    info.compileTime = report.compileTime;
    if (modelled) {
      info.unitStatus = static_cast<std::uint32_t>(report.status);
      info.programming = report.programming;
    }
    return info;
  };

  // The driver process says "not connected" while the unit is off the USB.
  blockOptions.connected = [&unit] { return unit.Plugged(); };

  // The claim outlives the block: a new unit never claims a block we still remove.
  platform::NameClaim claim;
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
    if (!ClaimBlock(name, options.serialGiven ? options.unit.serial : "", &claim)) return 1;
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

}  // namespace
}  // namespace tarvex_sim

int main(int argc, char** argv) {
  using namespace tarvex_sim;
  if (argc > 1 && std::strcmp(argv[1], "status") == 0) return RunStatus(argc, argv);
  if (argc > 1 && std::strcmp(argv[1], "ctl") == 0) return RunControl(argc, argv);
  return RunUnit(argc, argv);
}
