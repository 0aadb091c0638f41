// The shared interface block: its layout, and SharedBlock, the one way the library
// reads and writes it (a mapping, a PCI window or a test buffer), with the rules both
// sides keep: ConsistentRead, GuardedWrite and VerifiedStore.
#pragma once

#include <cstddef>
#include <cstdint>

#include "interface/block_layout.h"

namespace qmx {

// The name, size, magic and header fields are the loader's and the tools' too.
using tarvex::block_layout::kBlockMagic;
using tarvex::block_layout::kMappingName;
using tarvex::block_layout::kMappingSize;
namespace header = tarvex::block_layout::header;
// The name buffer holds 31 characters: the base name's 20 and a serial of 11.
inline constexpr std::size_t kMaxSerialSuffix = 11;

// The StatusArea, written by the unit: offsets from StatusAreaOffset.
namespace status {
inline constexpr std::uint32_t kStartCount = 0;
inline constexpr std::uint32_t kEndCount = 4;
inline constexpr std::uint32_t kOpenInhibit = 8;
inline constexpr std::uint32_t kBlockAckSequence = 12;
inline constexpr std::uint32_t kReplyLength = 16;
inline constexpr std::uint32_t kReplyData = 20;
inline constexpr std::uint32_t kReplyDataSize = 316;
inline constexpr std::uint32_t kSwitchCloseCounts = 336;  // + 4n, n = 0..63
inline constexpr std::uint32_t kSwitchOpenCounts = 592;   // + 4n, n = 0..63
inline constexpr std::uint32_t kSwitchCount = 64;
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
inline constexpr std::uint32_t kEscrowBarcode = 896;
inline constexpr std::uint32_t kBarcodeTextSize = 20;
inline constexpr std::uint32_t kBarcodeEscrowCount = 916;
inline constexpr std::uint32_t kBarcodeStackedCount = 920;
inline constexpr std::uint32_t kStackedBarcode = 924;
inline constexpr std::uint32_t kPrinterStatus = 944;
inline constexpr std::uint32_t kCheckOperationResult = 948;
inline constexpr std::uint32_t kSize = 952;  // bytes the library uses from the area's start
}  // namespace status

// The CommandArea, written by the library: offsets from CommandAreaOffset.
namespace command {
inline constexpr std::uint32_t kStartCount = 0;
inline constexpr std::uint32_t kEndCount = 4;
inline constexpr std::uint32_t kHostOpen = 8;
inline constexpr std::uint32_t kBlockSequence = 12;
inline constexpr std::uint32_t kBlockArea = 16;  // type word, length word, data from 24
inline constexpr std::uint32_t kBlockAreaSize = 320;
inline constexpr std::uint32_t kInterfaceEnabled = 336;
inline constexpr std::uint32_t kIndicatorSlots = 340;  // + 4n, n = 0..63
inline constexpr std::uint32_t kIndicatorSlotCount = 64;
inline constexpr std::uint32_t kPayoutTarget = 596;
inline constexpr std::uint32_t kValueNeededWord = 600;
inline constexpr std::uint32_t kSettingsChangeCount = 604;
inline constexpr std::uint32_t kCounterValues = 608;    // + 4n, n = 0..31
inline constexpr std::uint32_t kCounterCaptions = 736;  // + 12n, n = 0..31
inline constexpr std::uint32_t kCounterCount = 32;
inline constexpr std::uint32_t kCounterCaptionSize = 12;
inline constexpr std::uint32_t kCounterDisplayCode = 1120;
inline constexpr std::uint32_t kE2PromRowChanges = 1124;
inline constexpr std::uint32_t kE2PromImage = 1128;
inline constexpr std::uint32_t kE2PromImageSize = 256;
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
inline constexpr std::uint32_t kSize = 1428;
}  // namespace command

// Acceptor entry: a singly linked list from AcceptorListOffset.
namespace acceptor {
inline constexpr std::uint32_t kNext = 0;
inline constexpr std::uint32_t kHostControl = 4;  // bit 3 is reported back
inline constexpr std::uint32_t kUnitCode = 8;     // top byte 0x02: coin acceptor
inline constexpr std::uint32_t kStatusWord = 12;
inline constexpr std::uint32_t kCoinCount = 16;
inline constexpr std::uint32_t kInterfaceNumber = 20;
inline constexpr std::uint32_t kAddress = 24;
inline constexpr std::uint32_t kSetting = 28;
inline constexpr std::uint32_t kUnitWord1 = 32;
inline constexpr std::uint32_t kUnitWord2 = 36;
inline constexpr std::uint32_t kFirstCoin = 40;
inline constexpr std::uint32_t kExtraWord = 44;    // level 7 and above
inline constexpr std::uint32_t kDescription = 48;  // level 7 and above
inline constexpr std::uint32_t kSize = 52;
}  // namespace acceptor

// Coin entry: a list from an acceptor entry's kFirstCoin.
namespace coin {
inline constexpr std::uint32_t kNext = 0;
inline constexpr std::uint32_t kValue = 8;
inline constexpr std::uint32_t kSetting1 = 12;
inline constexpr std::uint32_t kCount = 16;
inline constexpr std::uint32_t kSetting2 = 20;
inline constexpr std::uint32_t kUnitInfo = 24;
inline constexpr std::uint32_t kSetting3 = 28;
inline constexpr std::uint32_t kSettingByte = 32;
inline constexpr std::uint32_t kUnitByte = 36;     // level 5 and above
inline constexpr std::uint32_t kDescription = 44;  // level 7 and above
inline constexpr std::uint32_t kSize = 48;
}  // namespace coin

// Dispenser entry: a list from DispenserListOffset.
namespace dispenser {
inline constexpr std::uint32_t kNext = 0;
inline constexpr std::uint32_t kChangeMark = 4;  // 100 with kWords + 4 when the level word changes
inline constexpr std::uint32_t kWords = 8;       // eight words, 8..36
inline constexpr std::uint32_t kWordCount = 8;
inline constexpr std::uint32_t kExtra1 = 40;       // level 6 and above
inline constexpr std::uint32_t kExtra2 = 44;       // level 6 and above
inline constexpr std::uint32_t kExtraWord = 48;    // level 7 and above
inline constexpr std::uint32_t kDescription = 52;  // level 7 and above
inline constexpr std::uint32_t kSize = 56;
}  // namespace dispenser

// Bounds on waiting for the other side. VerifiedStore's is the system's own.
// ConsistentRead's is ours: a unit that died half-way through an update leaves the
// two counts apart for ever, and the host must not spin with it. A live unit's update
// takes microseconds, so a read that overlaps 100,000 of them in a row means the unit
// is not updating but dead (or broken); that costs a host about a millisecond for a
// few words, a few tenths of a second for the longest read (an acceptor with 256 coins).
inline constexpr std::uint32_t kVerifiedStoreLimit = 1'000'000;
inline constexpr std::uint32_t kConsistentReadRounds = 100'000;

// Whether a settings write also moves SettingsChangeCount.
enum class Settings { kUnchanged, kChanged };

// An accessor over (base, size). Every word access is one atomic 32-bit access:
// loads acquire and stores release, which is all the ordering the counter pairs
// need (a field written after the start count moved cannot be seen without the
// moved count being seen after it), so no separate fences are used. Every offset is
// checked against the size: a word outside the block, or not on a 4-byte boundary,
// reads as 0 and is not written. Copyable; it owns nothing.
class SharedBlock {
 public:
  SharedBlock() = default;
  // A base that is not on a 4-byte boundary gives no block at all.
  SharedBlock(std::uint8_t* base, std::size_t size);

  bool mapped() const { return base_ != nullptr; }
  std::uint8_t* base() const { return base_; }
  std::size_t size() const { return size_; }

  // --- Area offsets, taken from the header and kept until forgotten.
  // Both must be non-zero, on a 4-byte boundary, and leave every field of their
  // area inside the block; otherwise both are 0 and the result is false.
  bool TakeAreas();
  void ForgetAreas() { status_ = command_ = 0; }
  bool HasAreas() const { return status_ != 0 && command_ != 0; }
  std::uint32_t StatusArea() const { return status_; }
  std::uint32_t CommandArea() const { return command_; }

  // --- Single words at a byte offset from the start of the block.
  bool WordInside(std::uint64_t offset) const;
  std::uint32_t Load(std::uint64_t offset) const;
  void Store(std::uint64_t offset, std::uint32_t value);
  // Area-relative words; 0 (and no store) while the areas are not taken.
  std::uint32_t LoadStatus(std::uint32_t field) const;
  std::uint32_t LoadCommand(std::uint32_t field) const;

  // --- Offsets read from the block (area offsets, list links, text offsets).
  // `stored` when it is non-zero, on a 4-byte boundary and `span` bytes from it lie
  // inside the block; else 0, "none".
  std::uint32_t Link(std::uint32_t stored, std::uint32_t span) const;
  // Entry `index` of a list that starts at the stored offset `first` (entries of
  // `span` bytes, next link at +0): 0 when there is none. A negative index gives the
  // first entry. At most as many links are followed as entries of `span` fit in the
  // block, so a list that runs in a circle ends.
  std::uint32_t EntryAt(std::uint32_t first, std::int32_t index, std::uint32_t span) const;
  // How many distinct entries of `span` bytes the block can hold: the bound of a walk.
  std::uint32_t MaxEntries(std::uint32_t span) const;
  // The zero-terminated text at the stored offset, or null when the offset is 0 or
  // outside the block, or no zero comes before the block's end.
  const char* Text(std::uint32_t stored) const;
  // Copies up to `count` bytes from `offset`, never past the block's end. Returns
  // how many were copied.
  std::size_t CopyOut(std::uint64_t offset, void* out, std::size_t count) const;

  // --- The access rules.
  // Stores and reads back until the word holds `value`, at most kVerifiedStoreLimit
  // stores. A word that never takes the value switches the interface off (see
  // SwitchOff) and the result is false; so is a word outside the block, with nothing
  // stored.
  bool VerifiedStore(std::uint64_t offset, std::uint32_t value);
  bool VerifiedIncrement(std::uint64_t offset) { return VerifiedStore(offset, Load(offset) + 1); }
  bool VerifiedCopy(std::uint64_t to, std::uint64_t from) { return VerifiedStore(to, Load(from)); }
  // Stores `value` only if the word still holds `expected` (one atomic exchange): a
  // word another process changed meanwhile keeps the newer value. False then, and
  // for a word outside the block.
  bool StoreIfUnchanged(std::uint64_t offset, std::uint32_t expected, std::uint32_t value);

  // Reads related StatusArea fields as one: `readFields` runs between a read of
  // StatusEndCount and one of StatusStartCount, again while they differ. False when
  // the areas are not taken, or when the counts never agreed within
  // kConsistentReadRounds: the unit stopped in the middle of an update, so nothing
  // read can be trusted, and callers answer as on a closed interface.
  template <typename ReadFields>
  bool ConsistentRead(ReadFields&& readFields) const {
    if (!HasAreas()) return false;
    for (std::uint32_t round = 0; round < kConsistentReadRounds; ++round) {
      const std::uint32_t end = LoadStatus(status::kEndCount);
      // Word and byte loads alike acquire, so none of the fields' loads (byte copies
      // of texts and reply data included) can come after the closing count's.
      readFields();
      if (LoadStatus(status::kStartCount) == end) return true;
    }
    return false;
  }

  // Changes CommandArea fields as one: CommandStartCount moves on first, then
  // `storeFields` (with VerifiedStore), SettingsChangeCount for settings, and last
  // CommandEndCount takes the start count, so the unit sees the change whole.
  // Nothing happens while the areas are not taken.
  template <typename StoreFields>
  void GuardedWrite(StoreFields&& storeFields, Settings settings = Settings::kUnchanged) {
    if (!HasAreas()) return;
    VerifiedIncrement(std::uint64_t{command_} + command::kStartCount);
    storeFields();
    if (settings == Settings::kChanged)
      VerifiedIncrement(std::uint64_t{command_} + command::kSettingsChangeCount);
    VerifiedCopy(std::uint64_t{command_} + command::kEndCount,
                 std::uint64_t{command_} + command::kStartCount);
  }

  // AttachCount, changed by one atomic read-modify-write: library instances in
  // several processes attach and detach at the same moments. Both return the count
  // after the change (0 also while the areas are not taken). Decrementing never goes
  // below 0: a count already at 0 or below is left alone and the answer is -1.
  std::int32_t AddAttachment();
  std::int32_t DropAttachment();

  // Fault injection: called after every store VerifiedStore makes, before it reads
  // the word back, as the other side would act in between (keep overwriting a word,
  // or watch the order of the stores). Null to switch off.
  using StoreObserver = void (*)(void* context, SharedBlock& block, std::uint64_t offset);
  void SetStoreObserver(StoreObserver observer, void* context) {
    observer_ = observer;
    observerContext_ = context;
  }

 private:
  // The interface switched off after a store that did not take: InterfaceEnabled
  // cleared the same way, at most kVerifiedStoreLimit times, with no further
  // switch-off if that clearing fails too.
  void SwitchOff();

  std::uint8_t* base_ = nullptr;
  std::size_t size_ = 0;
  std::uint32_t status_ = 0;
  std::uint32_t command_ = 0;
  StoreObserver observer_ = nullptr;
  void* observerContext_ = nullptr;
};

}  // namespace qmx
