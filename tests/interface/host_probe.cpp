// host_probe: a host application in miniature for the whole-library tests. It first
// plays the driver process (creates the block "QMXZELTI mapped file" + serial and
// sets it up as a unit does), then loads the built library at run time, opens the
// interface through the exports found by their exported names, switches it on,
// unloads the library, and prints what the block shows at each step.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/bytes.h"
#include "platform/dynamic_library.h"
#include "platform/shared_memory.h"
#include "qmxzelti.h"

namespace {

constexpr const char* kUsage =
    "usage: host_probe LIBRARY VERSION [--serial S] [--no-magic] [--driver-state N]\n"
    "  Creates the block \"QMXZELTI mapped file\" followed by S (a valid block unless\n"
    "  --no-magic), loads LIBRARY, opens with VERSION (OpenVODVersion, or\n"
    "  OpenSpecificVODVersion with S), calls EnableInterface, unloads, and prints\n"
    "  \"key: value\" lines. Exit status: 0 done, 2 usage, 3 library or export\n"
    "  missing, 4 the block could not be made.\n";

// The block as the unit sets it up (offsets from its layout table).
constexpr std::uint32_t kMagic = 0xAA8D4A8C;
constexpr std::size_t kStatusAt = 0x100;
constexpr std::size_t kCommandAt = 0x800;
constexpr std::size_t kAttachCount = kCommandAt + 1416;
constexpr std::size_t kHostOpen = kCommandAt + 8;
constexpr std::size_t kInterfaceEnabled = kCommandAt + 336;

struct Options {
  std::string library;
  long version = 0;
  std::string serial;
  bool bySerial = false;
  bool magic = true;
  unsigned long driverState = 0;
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

  library.Unload();
  Print("attach-count after unload", base, kAttachCount);
  Print("host-open after unload", base, kHostOpen);
  Print("interface-enabled after unload", base, kInterfaceEnabled);
  return 0;
}
