// Where the unit's words lie in the shared block, as the USB driver process knows
// them: its own copy of the layout, kept apart from the library's on purpose (a
// stand-in that shared the code under test would prove nothing). For the block
// server's files only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim::layout {

inline constexpr std::uint32_t kBlockMagic = 0xAA8D4A8C;

// Header.
inline constexpr std::uint32_t kMagicAt = 0;
inline constexpr std::uint32_t kBlockFormat = 4;
inline constexpr std::uint32_t kFirmwareLevel = 8;
inline constexpr std::uint32_t kFirmwareVersionWord = 12;
inline constexpr std::uint32_t kStatusAreaOffsetAt = 16;
inline constexpr std::uint32_t kCommandAreaOffsetAt = 20;
inline constexpr std::uint32_t kUnitSerialNumber = 36;
inline constexpr std::uint32_t kPayoutBase = 44;
inline constexpr std::uint32_t kCompileDate = 48;
inline constexpr std::uint32_t kCompileTime = 64;
inline constexpr std::uint32_t kHeaderTextSize = 16;
inline constexpr std::uint32_t kDriverAreaMagic = 0x2000;
inline constexpr std::uint32_t kDriverState = 0x2004;
inline constexpr std::uint32_t kDriverAreaEnd = 0x2008;

// DriverState values the driver process writes or acts on.
inline constexpr std::uint32_t kStateReady = 0;
inline constexpr std::uint32_t kStateStarting = 1;
inline constexpr std::uint32_t kStateFlashwright = 2;
inline constexpr std::uint32_t kStateExit = 4;
inline constexpr std::uint32_t kStateNotConnected = 5;

// StatusArea, from StatusAreaOffset.
inline constexpr std::uint32_t kStatusStartCount = 0;
inline constexpr std::uint32_t kStatusEndCount = 4;
inline constexpr std::uint32_t kOpenInhibit = 8;
inline constexpr std::uint32_t kBlockAckSequence = 12;
inline constexpr std::uint32_t kReplyLength = 16;
inline constexpr std::uint32_t kReplyData = 20;
inline constexpr std::uint32_t kReplyDataSize = 316;
inline constexpr std::uint32_t kSwitchCloseCounts = 336;
inline constexpr std::uint32_t kSwitchOpenCounts = 592;
inline constexpr int kSwitches = 64;
inline constexpr std::uint32_t kCurrentValueWord = 848;
inline constexpr std::uint32_t kPaidTotal = 852;
inline constexpr std::uint32_t kPayStatus = 856;
inline constexpr std::uint32_t kAvailableValueWord = 860;
inline constexpr std::uint32_t kAcceptorListOffset = 868;
inline constexpr std::uint32_t kDispenserListOffset = 872;
inline constexpr std::uint32_t kMeterStatusWord = 876;
inline constexpr std::uint32_t kMeterSerialWord = 880;
inline constexpr std::uint32_t kEscrowThroughputCount = 884;
inline constexpr std::uint32_t kEventSequence = 888;
inline constexpr std::uint32_t kEventWord = 892;
inline constexpr std::uint32_t kEscrowBarcode = 896;  // 20 bytes, 19 characters used
inline constexpr std::uint32_t kBarcodeEscrowCount = 916;
inline constexpr std::uint32_t kBarcodeStackedCount = 920;
inline constexpr std::uint32_t kStackedBarcode = 924;  // 20 bytes, 19 characters used
inline constexpr std::uint32_t kBarcodeFieldSize = 20;
inline constexpr std::uint32_t kPrinterStatus = 944;
inline constexpr std::uint32_t kCheckOperationResult = 948;
inline constexpr std::uint32_t kStatusAreaSize = 952;

// CommandArea, from CommandAreaOffset.
inline constexpr std::uint32_t kCommandStartCount = 0;
inline constexpr std::uint32_t kCommandEndCount = 4;
inline constexpr std::uint32_t kHostOpen = 8;
inline constexpr std::uint32_t kBlockSequence = 12;
inline constexpr std::uint32_t kBlockType = 16;
inline constexpr std::uint32_t kBlockLength = 20;
inline constexpr std::uint32_t kBlockData = 24;
inline constexpr std::uint32_t kBlockDataSize = 312;
inline constexpr std::uint32_t kInterfaceEnabled = 336;
inline constexpr std::uint32_t kIndicatorSlots = 340;
inline constexpr std::uint32_t kPayoutTarget = 596;
inline constexpr std::uint32_t kValueNeeded = 600;
inline constexpr std::uint32_t kCounterValues = 608;    // 32 words, counters 1 to 32
inline constexpr std::uint32_t kCounterCaptions = 736;  // 32 fields of 12 bytes
inline constexpr std::uint32_t kCounterDisplayCode = 1120;
inline constexpr std::uint32_t kE2PromRowChanges = 1124;  // a 4-bit counter per row
inline constexpr std::uint32_t kE2PromImage = 1128;       // 8 rows of 32 bytes
inline constexpr std::uint32_t kEscrowEnabled = 1384;
inline constexpr std::uint32_t kEscrowAcceptCount = 1388;
inline constexpr std::uint32_t kEscrowReturnCount = 1392;
inline constexpr std::uint32_t kBarcodeEnabled = 1396;
inline constexpr std::uint32_t kBarcodeAcceptCount = 1400;
inline constexpr std::uint32_t kBarcodeReturnCount = 1404;
inline constexpr std::uint32_t kEventAckSequence = 1408;
inline constexpr std::uint32_t kBasedPayoutTarget = 1412;
inline constexpr std::uint32_t kAttachCount = 1416;
inline constexpr std::uint32_t kCheckOperationA = 1420;
inline constexpr std::uint32_t kCheckOperationB = 1424;
inline constexpr std::uint32_t kCommandAreaSize = 1428;

inline constexpr int kCounters = 32;
inline constexpr std::uint32_t kCaptionSize = 12;
inline constexpr int kE2PromRows = 8;
inline constexpr std::uint32_t kE2PromRowSize = 32;
inline constexpr std::uint32_t kE2PromSize = kE2PromRows * kE2PromRowSize;

// List entries.
inline constexpr std::uint32_t kAcceptorEntrySize = 52;
inline constexpr std::uint32_t kCoinEntrySize = 48;
inline constexpr std::uint32_t kDispenserEntrySize = 56;
inline constexpr std::size_t kMaxCoinEntries = 256;
inline constexpr std::uint32_t kCoinAccepted = 16;

// Message block types.
inline constexpr std::uint32_t kTypeE2PromReset = 4;
inline constexpr std::uint32_t kTypeDeviceKey = 5;
inline constexpr std::uint32_t kTypeTicketPiece = 6;
inline constexpr std::uint32_t kTypeDestination = 64;
inline constexpr std::uint32_t kTypeRawPort = 128;
inline constexpr std::uint32_t kRawPortCommands = 5;
// ReplyLength of a block the unit cannot act on: an answer, but not a positive one.
inline constexpr std::int32_t kRefused = -1;
// ReplyLength of a raw port receive that found no byte on the bus: answered, empty.
inline constexpr std::int32_t kNothingReceived = -1;

// Facilities by FirmwareLevel.
inline constexpr std::int32_t kCounterLevel = 3;  // counters, captions, display, meter
inline constexpr std::int32_t kE2PromLevel = 4;
inline constexpr std::int32_t kEscrowLevel = 5;  // note and barcode escrow, printer
inline constexpr std::int32_t kTextLevel = 7;

// A length rounded up to whole words.
inline std::uint32_t Padded(std::size_t bytes) {
  return static_cast<std::uint32_t>((bytes + 3) & ~std::size_t{3});
}

}  // namespace sim::layout
