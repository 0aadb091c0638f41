// Opening the interface: the block is found by name (or on a PCI card), attached and
// counted, checked for the host's version, and switched on and off; the load and
// unload rules of the library.
#include "interface/library.h"

#include <cstdio>
#include <string>

namespace qmx {
namespace {

bool AcceptedVersion(std::int32_t version) {
  return version == kVersion1 || version == kVersion2 || version == kVersion5;
}

// The length of `serial` if it fits a mapping name, without reading past the
// character that makes it too long.
bool SerialFits(const char* serial, std::string_view* suffix) {
  std::size_t length = 0;
  while (serial[length] != '\0') {
    if (++length > kMaxSerialSuffix) return false;
  }
  *suffix = std::string_view(serial, length);
  return true;
}

}  // namespace

std::int32_t OpenResultForAttach(std::int32_t attachStatus) {
  switch (attachStatus) {
    case kPciNotReady: return kErrorNotReady;
    case kNoValidBlock: return kErrorGenFailure;
    case kPciBadUnit: return kErrorBadUnit;
    default: return kPciResultMark + attachStatus;
  }
}

std::int32_t OpenResultForDriverState(std::uint32_t driverState) {
  switch (driverState) {
    case 1: return kErrorNotReady;
    case 2:
    case 3:
    case 4: return kErrorBusy;
    case 5: return kErrorDeviceNotConnected;
    default: return kErrorGenFailure;
  }
}

void LibraryState::Load() {
  OpenAndAttach("");
}

void LibraryState::Unload() {
  if (OpenStatus == kAttachSuccess && IsOpen() && Block.DropAttachment() == 0) {
    DisableInterface();
    Block.VerifiedStore(std::uint64_t{Block.CommandArea()} + command::kHostOpen, 0);
  }
  DetachBlock();
  OpenStatus = kNoValidBlock;
}

std::int32_t LibraryState::AttachBlock(std::string_view suffix) {
  std::int32_t result = kNoValidBlock;
  if (Block.mapped() || MappingHeld()) DetachBlock();
  // Cut short, the name would select another unit's block: such a suffix names none.
  if (suffix.size() > kMaxSerialSuffix) return result;

  std::string name(mappingBaseName_);
  name.append(suffix);
  // Only ever an existing block: the driver process (or Flashwright) makes it, and
  // one smaller than a whole block does not open.
  platform::SharedMemoryError error;
  mapping_ = platform::SharedMemory::OpenExisting(name, kMappingSize, &error);
  std::uint8_t* window = nullptr;
  std::size_t size = kPciWindowSize;
  if (mapping_.valid()) {
    window = mapping_.data();
    size = mapping_.size();
    result = kAttachSuccess;
  } else {
    // Without a mapping the block may be a PCI card's memory window.
    result = AttachPciWindow(&window);
  }
  if (window != nullptr) Block = SharedBlock(window, size);
  if (!Block.mapped()) {
    DetachBlock();
    return result;
  }
  // One look at BlockMagic decides both the result and whether the areas are taken.
  // Areas that do not fit the block make it no valid block.
  if (Block.Load(header::kBlockMagic) != kBlockMagic || !Block.TakeAreas()) {
    Block.ForgetAreas();
    result = kNoValidBlock;
  }
  return result;
}

// Cards are looked for as QMZELTI-0 to QMZELTI-127. A card whose device opens
// replaces the one of an earlier pass; a window without BlockMagic makes the result
// 551 and the search goes on; a failed mapping leaves its status as the result. The
// window last mapped is the block, whatever it holds.
std::int32_t LibraryState::AttachPciWindow(std::uint8_t** window) {
  constexpr int kCards = 128;
  constexpr std::uint32_t kBlockWindow = 2;
  // The card's bridge register, set once its window holds the block.
  constexpr std::uint32_t kBridgeRegister = 0x28;
  constexpr std::uint32_t kBridgeSetting = 0x50508000;

  std::int32_t result = kNoValidBlock;
  pci_.PciInitialise();
  for (int n = 0; n < kCards; ++n) {
    DeviceLocation location;
    std::snprintf(location.name, sizeof location.name, "QMZELTI-%d", n);
    PciLayer::Device device = nullptr;
    if (pci_.PciOpenDevice(&location, &device) != kPciSuccess) continue;
    if (pciDevice_ != nullptr) pci_.PciCloseDevice(pciDevice_);
    pciDevice_ = device;
    result = pci_.PciMapWindow(device, kBlockWindow, window);
    if (result != kPciSuccess) continue;
    if (SharedBlock(*window, kPciWindowSize).Load(header::kBlockMagic) == kBlockMagic) {
      pci_.PciWriteRegister(device, kBridgeRegister, kBridgeSetting);
      break;
    }
    result = kNoValidBlock;
  }
  return result;
}

void LibraryState::DetachBlock() {
  if (mapping_.valid()) {
    mapping_.Close();
  } else {
    // Closes every device and lets go of their windows.
    pci_.PciShutdown();
    pciDevice_ = nullptr;
  }
  Block = SharedBlock();
}

void LibraryState::OpenAndAttach(std::string_view suffix) {
  OpenStatus = AttachBlock(suffix);
  if (OpenStatus != kAttachSuccess) return;
  AlignBasedTarget();
  Block.AddAttachment();
}

// From level 5 the unit pays toward BasedPayoutTarget. Another host's payout request
// may stand there, not yet taken up by the unit: the bare PayoutBase would take it
// back and leave that host waiting on a payout the unit never starts. So the based
// target is only brought in line with PayoutTarget (after a new base, say), and only
// if no host changed it meanwhile. Based target read first: a request that lands
// after it makes the exchange fail, one that lands before it is what we align to.
// Outside any GuardedWrite bracket, as the unit expects it.
void LibraryState::AlignBasedTarget() {
  const std::uint64_t based = CommandField(command::kBasedPayoutTarget);
  const std::uint32_t seen = Block.Load(based);
  const std::uint32_t aligned =
      Block.LoadCommand(command::kPayoutTarget) + Block.Load(header::kPayoutBase);
  if (seen != aligned) Block.StoreIfUnchanged(based, seen, aligned);
}

std::int32_t LibraryState::OpenVOD() {
  return OpenVODVersion(kOpenVODVersion);
}

std::int32_t LibraryState::OpenVODVersion(std::int32_t version) {
  if (!AcceptedVersion(version)) return kErrorInvalidData;
  RequestedVersion = version;
  if (OpenStatus != kAttachSuccess) OpenAndAttach("");
  return OpenResult();
}

std::int32_t LibraryState::OpenSpecificVODVersion(const char* serial, std::int32_t version) {
  if (!AcceptedVersion(version)) return kErrorInvalidData;
  std::string_view suffix;
  // Refused before anything changes: the block held (if any) stays open.
  if (serial != nullptr && !SerialFits(serial, &suffix)) return kErrorInvalidName;
  RequestedVersion = version;
  OpenAndAttach(suffix);
  return OpenResult();
}

std::int32_t LibraryState::OpenResult() {
  if (OpenStatus == kAttachSuccess) {
    if (Block.Load(header::kBlockMagic) != kBlockMagic ||
        Block.LoadStatus(status::kOpenInhibit) != 0)
      return kErrorGenFailure;
    if (Block.Load(header::kBlockFormat) != 1) return kErrorInvalidData;
    Block.VerifiedStore(std::uint64_t{Block.CommandArea()} + command::kHostOpen, 1);
    return kOpenSuccess;
  }
  if (MappingHeld()) return OpenResultForDriverState(DriverState());
  return OpenResultForAttach(OpenStatus);
}

void LibraryState::EnableInterface() {
  if (!IsOpen()) return;
  const auto level = static_cast<std::int32_t>(Block.Load(header::kFirmwareLevel));
  const std::uint64_t area = Block.CommandArea();
  Block.GuardedWrite([&] {
    Block.VerifiedStore(area + command::kInterfaceEnabled, 1);
    // Below level 5 the first eight slots are not indicators: they stay on.
    if (level < 5) {
      for (std::uint32_t slot = 0; slot < 8; ++slot)
        Block.VerifiedStore(area + command::kIndicatorSlots + 4 * slot, 1);
    }
  });
}

void LibraryState::DisableInterface() {
  if (!IsOpen()) return;
  const std::uint64_t area = Block.CommandArea();
  Block.GuardedWrite([&] { Block.VerifiedStore(area + command::kInterfaceEnabled, 0); });
}

std::uint32_t LibraryState::DriverState() const {
  return MappingHeld() ? Block.Load(header::kDriverState) : 0;
}

void LibraryState::SetDriverState(std::uint32_t value) {
  if (MappingHeld()) Block.Store(header::kDriverState, value);
}

}  // namespace qmx
