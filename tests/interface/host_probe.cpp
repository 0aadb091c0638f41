// host_probe: a host application in miniature for the whole-library tests. It first
// plays the driver process (creates the block "QMXZELTI mapped file" + serial and
// sets it up as a unit does), then loads the built library at run time, opens the
// interface through the exports found by their exported names, switches it on,
// unloads the library, and prints what the block shows at each step.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/bytes.h"
#include "platform/dynamic_library.h"
#include "platform/shared_memory.h"
#include "qmxzelti.h"

namespace {

constexpr const char* kUsage =
    "usage: host_probe LIBRARY VERSION [--serial S] [--no-magic] [--driver-state N]\n"
    "                  [--hostile areas|lists|unsettled]\n"
    "  Creates the block \"QMXZELTI mapped file\" followed by S (a valid block unless\n"
    "  --no-magic), loads LIBRARY, opens with VERSION (OpenVODVersion, or\n"
    "  OpenSpecificVODVersion with S), calls EnableInterface, unloads, and prints\n"
    "  \"key: value\" lines. With --hostile the block is made hostile before the\n"
    "  open (area offsets past its end, lists that point outside or in circles with\n"
    "  huge counts, counts that never settle) and the reading exports are called.\n"
    "  Exit status: 0 done, 2 usage, 3 library or export missing, 4 the block could\n"
    "  not be made.\n";

// The block as the unit sets it up (offsets from its layout table).
constexpr std::uint32_t kMagic = 0xAA8D4A8C;
constexpr std::size_t kStatusAt = 0x100;
constexpr std::size_t kCommandAt = 0x800;
constexpr std::size_t kAttachCount = kCommandAt + 1416;
constexpr std::size_t kHostOpen = kCommandAt + 8;
constexpr std::size_t kInterfaceEnabled = kCommandAt + 336;
constexpr std::size_t kBlockSize = 0xB000;

struct Options {
  std::string library;
  long version = 0;
  std::string serial;
  bool bySerial = false;
  bool magic = true;
  unsigned long driverState = 0;
  std::string hostile;
};

bool ParseNumber(const char* text, long* value) {
  char* end = nullptr;
  *value = std::strtol(text, &end, 0);
  return end != text && *end == '\0';
}

int Parse(int argc, char** argv, Options* options) {
  if (argc < 3) return 2;
  options->library = argv[1];
  if (!ParseNumber(argv[2], &options->version)) return 2;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--no-magic") {
      options->magic = false;
    } else if (arg == "--serial" && i + 1 < argc) {
      options->serial = argv[++i];
      options->bySerial = true;
    } else if (arg == "--hostile" && i + 1 < argc) {
      options->hostile = argv[++i];
      if (options->hostile != "areas" && options->hostile != "lists" &&
          options->hostile != "unsettled")
        return 2;
    } else if (arg == "--driver-state" && i + 1 < argc) {
      long value = 0;
      if (!ParseNumber(argv[++i], &value)) return 2;
      options->driverState = static_cast<unsigned long>(value);
    } else {
      return 2;
    }
  }
  return 0;
}

void SetWord(std::uint8_t* block, std::size_t offset, std::uint32_t value) {
  platform::StoreSharedWord(block + offset, value);
}

void Print(const char* key, std::uint8_t* block, std::size_t offset) {
  std::printf("%s: %u\n", key, static_cast<unsigned>(platform::LoadSharedWord(block + offset)));
}

template <typename Function>
Function Export(const platform::DynamicLibrary& library, const char* name, int argumentBytes) {
  const std::string exported = platform::StdcallExportName(name, argumentBytes);
  platform::DynamicLibrary::Entry entry = library.Find(exported);
  if (entry == nullptr) {
    std::fprintf(stderr, "host_probe: no export %s\n", exported.c_str());
    return nullptr;
  }
  return reinterpret_cast<Function>(entry);
}

// Makes the block hostile the way `kind` says (see kUsage).
void MakeHostile(std::uint8_t* base, const std::string& kind) {
  if (kind == "areas") {
    // The status area would run past the end of the mapping.
    SetWord(base, 16, static_cast<std::uint32_t>(kBlockSize - 8));
  } else if (kind == "lists") {
    constexpr std::uint32_t kAcceptor = 0x3000, kCoin = 0x3100, kDispenser = 0x3200;
    SetWord(base, kStatusAt + 868, kAcceptor);
    SetWord(base, kAcceptor + 0, kAcceptor);  // next: itself
    SetWord(base, kAcceptor + 8, 0x02000001);
    SetWord(base, kAcceptor + 16, 0x7FFFFFFF);  // coin count
    SetWord(base, kAcceptor + 40, kCoin);
    SetWord(base, kAcceptor + 48, kBlockSize - 2);  // a text cut by the end of the block
    SetWord(base, kCoin + 0, kCoin);                // the coin list circles too
    SetWord(base, kCoin + 8, 25);
    SetWord(base, kCoin + 44, 0xFFFFFFF0);  // text far outside
    SetWord(base, kStatusAt + 872, kDispenser);
    SetWord(base, kDispenser + 0, 0xFFFFFFF0);  // next: outside
    base[kBlockSize - 2] = 'X';
    base[kBlockSize - 1] = 'Y';
    SetWord(base, kStatusAt + 16, 100000);  // ReplyLength far past the reply area
    SetWord(base, 8, 7);                    // texts are read from level 7
  } else {
    SetWord(base, kStatusAt + 0, 5);  // StatusStartCount ahead of StatusEndCount for good
    SetWord(base, kStatusAt + 4, 4);
    SetWord(base, kStatusAt + 888, 1);  // an event seems to be pending
  }
}

// The reading exports against a hostile block: each must come back with a
// defined answer and touch nothing outside the caller's records.
int ProbeHostile(const platform::DynamicLibrary& library, std::uint8_t* base) {
  using IntNoArgs = int(QMX_CALL*)();
  using ReadDetails = int(QMX_CALL*)(int, void*);
  using ReadDispenser = int(QMX_CALL*)(int, QmxDispenserDetails*);
  using WriteBlock = void(QMX_CALL*)(int, const int*, int);
  using ReadBlock = int(QMX_CALL*)(int, unsigned char*, int);
  using NextEventFn = int(QMX_CALL*)(QmxEventDetails*);
  const auto currentValue = Export<IntNoArgs>(library, "CurrentValue", 0);
  const auto lastPayStatus = Export<IntNoArgs>(library, "LastPayStatus", 0);
  const auto readAcceptor = Export<ReadDetails>(library, "ReadAcceptorDetails", 8);
  const auto readDispenser = Export<ReadDispenser>(library, "ReadDispenserDetails", 8);
  const auto writeBlock = Export<WriteBlock>(library, "WriteInterfaceBlock", 12);
  const auto readBlock = Export<ReadBlock>(library, "ReadInterfaceBlock", 12);
  const auto nextEvent = Export<NextEventFn>(library, "NextEvent", 4);
  if (!currentValue || !lastPayStatus || !readAcceptor || !readDispenser || !writeBlock ||
      !readBlock || !nextEvent)
    return 3;

  std::printf("current-value: %d\n", currentValue());
  std::printf("last-pay-status: %d\n", lastPayStatus());
  QmxEventDetails event{};
  std::printf("next-event: %d\n", nextEvent(&event));

  // Records with guard words behind them: nothing may be written past the record.
  struct Guarded {
    QmxAcceptorDetails5 record;
    std::uint32_t guard[8];
  };
  auto acceptor = std::make_unique<Guarded>();
  std::memset(acceptor->guard, 0xA5, sizeof acceptor->guard);
  int found = 0;
  for (int index = 0; index < 4; ++index) found += readAcceptor(index, &acceptor->record);
  std::printf("acceptors-read: %d\n", found);
  if (found > 0) {
    std::printf("coin-count: %d\n", acceptor->record.CoinCount);
    std::printf("acceptor-text: %s\n", acceptor->record.DescriptionText);
    std::printf("coin-text-empty: %d\n", acceptor->record.Coins[0].DescriptionText[0] == '\0');
  }
  bool guardKept = true;
  for (std::uint32_t word : acceptor->guard) guardKept &= word == 0xA5A5A5A5u;
  QmxDispenserDetails dispenser{};
  std::printf("dispensers-read: %d\n", readDispenser(0, &dispenser) + readDispenser(1, &dispenser));

  const int message[2] = {0x11223344, 0x55667788};
  writeBlock(3, message, 8);
  // Play the unit: answer the block (the reply length stays hostile).
  platform::StoreSharedWord(base + kStatusAt + 12,
                            platform::LoadSharedWord(base + kCommandAt + 12));
  unsigned char reply[400];
  std::memset(reply, 0x5A, sizeof reply);
  std::printf("reply-length: %d\n", readBlock(0, reply, 316));
  for (std::size_t i = 316; i < sizeof reply; ++i) guardKept &= reply[i] == 0x5A;
  std::printf("records-kept-in-bounds: %d\n", guardKept ? 1 : 0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (Parse(argc, argv, &options) != 0) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  platform::SharedMemoryError error;
  platform::SharedMemory block =
      platform::SharedMemory::CreateOrOpen("QMXZELTI mapped file" + options.serial, 0xB000, &error);
  if (!block.valid()) {
    std::fprintf(stderr, "host_probe: %s: %s\n", error.call, error.text.c_str());
    return 4;
  }
  std::uint8_t* base = block.data();
  SetWord(base, 4, 1);           // BlockFormat
  SetWord(base, 8, 5);           // FirmwareLevel
  SetWord(base, 16, kStatusAt);  // StatusAreaOffset
  SetWord(base, 20, kCommandAt);
  SetWord(base, 0x2000, kMagic);
  SetWord(base, 0x2004, static_cast<std::uint32_t>(options.driverState));
  if (!options.hostile.empty()) MakeHostile(base, options.hostile);
  SetWord(base, 0, options.magic ? kMagic : 0);

  std::string reason;
  platform::DynamicLibrary library = platform::DynamicLibrary::Load(options.library, &reason);
  if (!library.loaded()) {
    std::fprintf(stderr, "host_probe: %s\n", reason.c_str());
    return 3;
  }
  Print("attach-count after load", base, kAttachCount);

  using OpenVersion = int(QMX_CALL*)(int);
  using OpenSpecific = int(QMX_CALL*)(const char*, int);
  using Switch = void(QMX_CALL*)();
  const auto openVersion = Export<OpenVersion>(library, "OpenVODVersion", 4);
  const auto openSpecific = Export<OpenSpecific>(library, "OpenSpecificVODVersion", 8);
  const auto enable = Export<Switch>(library, "EnableInterface", 0);
  if (openVersion == nullptr || openSpecific == nullptr || enable == nullptr) return 3;

  const int version = static_cast<int>(options.version);
  const int result =
      options.bySerial ? openSpecific(options.serial.c_str(), version) : openVersion(version);
  std::printf("open: %d\n", result);
  Print("attach-count", base, kAttachCount);
  Print("host-open", base, kHostOpen);
  enable();
  Print("interface-enabled", base, kInterfaceEnabled);
  if (!options.hostile.empty()) {
    const int probed = ProbeHostile(library, base);
    if (probed != 0) return probed;
  }

  library.Unload();
  Print("attach-count after unload", base, kAttachCount);
  Print("host-open after unload", base, kHostOpen);
  Print("interface-enabled after unload", base, kInterfaceEnabled);
  return 0;
}
