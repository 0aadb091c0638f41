// The library's process-wide state (one instance per process, ProcessLibrary) and
// opening the interface: finding and attaching a block, the version check, the load
// and unload rules, and switching the interface on and off.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "interface/block.h"
#include "interface/pci.h"
#include "platform/clock.h"
#include "platform/pci_device.h"
#include "platform/shared_memory.h"

namespace qmx {

// AttachBlock's results, in the numbering of the PCI driver layer.
inline constexpr std::int32_t kAttachSuccess = 512;
inline constexpr std::int32_t kPciNotReady = 537;
inline constexpr std::int32_t kNoValidBlock = 551;
inline constexpr std::int32_t kPciBadUnit = 552;

// Open results: Windows system error codes, or a PCI code marked by kPciResultMark.
inline constexpr std::int32_t kOpenSuccess = 0;
inline constexpr std::int32_t kErrorInvalidData = 13;  // version or BlockFormat
inline constexpr std::int32_t kErrorBadUnit = 20;
inline constexpr std::int32_t kErrorNotReady = 21;
inline constexpr std::int32_t kErrorGenFailure = 31;
inline constexpr std::int32_t kErrorInvalidName = 123;  // serial longer than 11 characters
inline constexpr std::int32_t kErrorBusy = 170;
inline constexpr std::int32_t kErrorDeviceNotConnected = 1167;
inline constexpr std::int32_t kPciResultMark = 0x10000000;

// Interface versions a host may ask for, and the one OpenVOD asks for (refused).
inline constexpr std::int32_t kVersion1 = 0x00010001;
inline constexpr std::int32_t kVersion2 = 0x00010002;
inline constexpr std::int32_t kVersion5 = 0x00010005;
inline constexpr std::int32_t kOpenVODVersion = 0x00010000;

// The open result of a failed attach when no mapping is held (the PCI path's code).
std::int32_t OpenResultForAttach(std::int32_t attachStatus);
// The open result read from DriverState when a mapping without a valid block is held.
std::int32_t OpenResultForDriverState(std::uint32_t driverState);

// LastPayStatus's answers that are the library's own.
inline constexpr std::int32_t kPayNotOpen = -3;
inline constexpr std::int32_t kPayUnderWay = 0;
inline constexpr std::int32_t kPayComplete = 1;

// WriteStatus: the outcome of the latest WriteInterfaceBlock, and the exchanges'
// answer when the unit left a message unanswered past kUnitAnswerMs.
inline constexpr std::int32_t kBlockSent = 0;
inline constexpr std::int32_t kBlockUnanswered = -2;
inline constexpr std::int32_t kBlockBadLength = -3;
inline constexpr std::int32_t kBlockNotOpen = -4;
inline constexpr std::int32_t kUnitNoAnswer = -5;
inline constexpr std::uint32_t kUnitAnswerMs = 10000;

// The families' own process state, held by LibraryState.
struct MoneyState {
  // What LastPayStatus reports for a completed payout: 1 until a payout error is seen,
  // then that error until the next PayOut.
  std::int32_t LastPayResult = kPayComplete;
};

struct DetailsState {
  std::int32_t WriteStatus = kBlockBadLength;  // nothing sent yet
};

struct MetersState {
  char Caption[13] = {};  // ReadCounterCaption's answer: 12 characters and a zero
};

// A ticket's print command text on its way to the unit in 32-byte pieces.
struct PrintJob {
  std::vector<std::uint8_t> Text;  // the text, its zero, and spare bytes for the last piece
  std::uint32_t Length = 0;        // up to the terminating zero
  std::uint32_t Offset = 0;        // of the piece now with the unit
  std::int64_t PieceSince = 0;     // clock count when this piece was first sent
  bool UnderWay() const { return !Text.empty(); }
};

struct ConsistencySnapshot {
  bool Valid = false;
  std::int64_t Time = 0;
  std::uint32_t CurrentValue = 0;
  std::uint32_t AcceptorCount = 0;
  std::uint32_t Coins = 0;
  std::uint32_t Notes = 0;
  std::uint32_t TotalValue = 0;
};

struct ConsistencyState {
  ConsistencySnapshot Previous;
  std::int64_t TicksPerMs = 0;  // taken at the first call that needs it
  char Text[96] = {};
};

class LibraryState {
 public:
  // `mappingBaseName` is what serial suffixes follow; tests give their own so that
  // they never meet a unit's real block. The text must outlive the state.
  // `pciDriver` reaches the PCI cards: the system's driver, or a test's simulated
  // one (sim::PciDriver::api()), which must outlive the state.
  explicit LibraryState(std::string_view mappingBaseName = kMappingName,
                        const platform::pci::Api& pciDriver = platform::pci::SystemApi())
      : mappingBaseName_(mappingBaseName), pci_(pciDriver) {}
  LibraryState(const LibraryState&) = delete;
  LibraryState& operator=(const LibraryState&) = delete;

  // The process loads and unloads the library.
  void Load();
  void Unload();

  // Locates a block (the mapping named by the base name and `suffix`; without one,
  // window 2 of the first PCI card that holds a block) and takes its area offsets.
  // kAttachSuccess, kNoValidBlock (also for a suffix too long to name a mapping, and
  // for a block whose areas do not fit it), or the status of a failed window mapping.
  std::int32_t AttachBlock(std::string_view suffix);
  void DetachBlock();
  // AttachBlock into OpenStatus; on success BasedPayoutTarget is brought in line
  // with PayoutTarget and the base, and the attachment counted.
  void OpenAndAttach(std::string_view suffix);

  std::int32_t OpenVOD();
  std::int32_t OpenVODVersion(std::int32_t version);
  // A null serial names the default block.
  std::int32_t OpenSpecificVODVersion(const char* serial, std::int32_t version);
  void EnableInterface();
  void DisableInterface();

  // Open: the block's area offsets are held. Every export tests this.
  bool IsOpen() const { return Block.HasAreas(); }
  // The unit's FirmwareLevel, on which the families' features are gated.
  std::int32_t FirmwareLevel() const {
    return static_cast<std::int32_t>(Block.Load(header::kFirmwareLevel));
  }
  // Open, and the unit's level is at least `level`.
  bool Offers(std::int32_t level) const { return IsOpen() && FirmwareLevel() >= level; }
  // Block offsets of StatusArea and CommandArea fields.
  std::uint64_t StatusField(std::uint32_t field) const {
    return std::uint64_t{Block.StatusArea()} + field;
  }
  std::uint64_t CommandField(std::uint32_t field) const {
    return std::uint64_t{Block.CommandArea()} + field;
  }
  // A mapping is held, with or without a valid block (DriverState is then readable).
  // A PCI card's window is not a mapping.
  bool MappingHeld() const { return mapping_.valid(); }
  // DriverState while a mapping is held, else 0.
  std::uint32_t DriverState() const;
  // Stores into DriverState while a mapping is held.
  void SetDriverState(std::uint32_t value);

  std::int32_t OpenStatus = kNoValidBlock;
  std::int32_t RequestedVersion = 0;
  // The block in the process: a mapping's view or a PCI card's window.
  SharedBlock Block;
  // Every wait and the consistency check's time; tests give a virtual one.
  platform::Clock* Clock = &platform::SystemClock();

  // The families' state.
  MoneyState Money;
  DetailsState Channel;
  MetersState Meters;
  PrintJob Print;
  ConsistencyState Consistency;

  // The PCI card whose window is the block, or null.
  PciLayer::Device PciDevice() const { return pciDevice_; }

 private:
  std::int32_t OpenResult();
  void AlignBasedTarget();
  // The PCI search: window 2 of the first card whose window holds BlockMagic.
  std::int32_t AttachPciWindow(std::uint8_t** window);

  std::string_view mappingBaseName_;
  platform::SharedMemory mapping_;
  PciLayer pci_;
  PciLayer::Device pciDevice_ = nullptr;
};

// The process's one instance. Defined with the exports: only the shared library
// has it, so test programs that link the core never open a block by themselves.
LibraryState& ProcessLibrary();

}  // namespace qmx
