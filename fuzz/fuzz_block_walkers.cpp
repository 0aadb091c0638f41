// Fuzzes the library's walks over a hostile block. Byte 0 of the input picks the
// interface version the host opens (0xFF: each in turn), byte 1 the walker
// (0xFF: every one, in turn); the rest, repeated to fill a whole block, is the block,
// with BlockMagic, BlockFormat 1 and its own area offsets. The block is a buffer in
// the process of exactly a block's size, read through the library's block accessor
// as a host that opened it would, so AddressSanitizer sees any access past it and no
// named mapping is made per input. Each walker reads through every export that
// follows an offset or a list in it (kWalkers). Regression inputs live in
// corpus/block_walkers/; those that take every version and walker replay as before
// the picks existed, and while fuzzing their offspring pick one of each (at some 50
// times the pace).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "interface/barcode.h"
#include "interface/consistency.h"
#include "interface/details.h"
#include "interface/library.h"
#include "interface/meters.h"
#include "interface/money.h"
#include "platform/bytes.h"
#include "platform/clock.h"

namespace {

constexpr std::size_t kBlockBytes = qmx::kMappingSize;

// The block, one buffer for the process; every input is copied into it.
struct TestBlock {
  std::uint32_t Word(std::uint64_t at) const {
    return at % 4 == 0 && at + 4 <= kBlockBytes ? platform::LoadSharedWord(data.get() + at) : 0;
  }
  void SetWord(std::uint64_t at, std::uint32_t value) {
    if (at % 4 == 0 && at + 4 <= kBlockBytes) platform::StoreSharedWord(data.get() + at, value);
  }
  std::unique_ptr<std::uint8_t[]> data{new std::uint8_t[kBlockBytes]};
};

TestBlock& Buffer() {
  static TestBlock* const block = new TestBlock;
  return *block;
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_block_walkers: %s\n", what);
  std::abort();
}

// A text the library hands out lies in its view of the block, zero and all, or is the
// library's own empty text. AddressSanitizer does not watch a mapping's edges; this does.
void CheckText(const qmx::SharedBlock& block, const char* text) {
  if (text == nullptr) Fail("a null text");
  const auto base = reinterpret_cast<std::uintptr_t>(block.base());
  const auto at = reinterpret_cast<std::uintptr_t>(text);
  if (at >= base && at < base + block.size()) {
    if (std::memchr(text, 0, base + block.size() - at) == nullptr)
      Fail("a text runs out of the block");
  } else if (*text != '\0') {
    Fail("a text outside the block");
  }
}

struct Walk {
  TestBlock& unit;
  qmx::LibraryState& library;
  std::int32_t version;
  qmx::DetailsState details;
  qmx::MoneyState money;

  // As a live unit between updates: the held StatusArea's counts agree. A unit
  // stalled mid-update costs every read 100,000 rounds (the unit tests cover that),
  // and a write-back may land on the counts when an entry lies over the area.
  void Settle() {
    const std::uint32_t status = library.Block.StatusArea();
    if (status != 0) unit.SetWord(status + std::uint64_t{4}, unit.Word(status));
  }
};

// Negative (the first entry), the first few, the last a block can hold and one past
// it, the largest.
constexpr auto kMostEntries = static_cast<std::int32_t>(kBlockBytes / qmx::acceptor::kSize);
constexpr std::int32_t kIndexes[] = {
    std::numeric_limits<std::int32_t>::min(), -1, 0, 1, 2, 3, kMostEntries - 1, kMostEntries,
    std::numeric_limits<std::int32_t>::max()};

// Exactly the host's record, on the heap: a write past it is AddressSanitizer's.
template <typename Record>
void ReadAcceptors(Walk& walk) {
  const auto record = std::make_unique<Record>();
  for (const std::int32_t index : kIndexes) {
    walk.Settle();
    const std::int32_t found = qmx::ReadAcceptorDetails(walk.library, index, record.get());
    if (found == 0) continue;
    if (found != 1) Fail("ReadAcceptorDetails answers neither 0 nor 1");
    if (record->CoinCount < 0 || record->CoinCount > QMX_MAX_COINS) Fail("CoinCount out of range");
    if constexpr (std::is_same_v<Record, QmxAcceptorDetails5>) {
      CheckText(walk.library.Block, record->DescriptionText);
      for (std::int32_t coin = 0; coin < record->CoinCount; ++coin)
        CheckText(walk.library.Block, record->Coins[coin].DescriptionText);
    }
    walk.Settle();
    qmx::WriteAcceptorDetails(walk.library, index, record.get());  // walks the coins again
  }
}

void ReadDispensers(Walk& walk) {
  // The record as long as the version's host has it.
  const std::size_t bytes = walk.version == QMX_VERSION_5 ? sizeof(QmxDispenserDetails)
                            : walk.version == QMX_VERSION_2
                                ? offsetof(QmxDispenserDetails, ExtraWord)
                                : offsetof(QmxDispenserDetails, DispenserExtra1);
  std::vector<std::uint8_t> buffer(bytes);
  auto* record = reinterpret_cast<QmxDispenserDetails*>(buffer.data());
  for (const std::int32_t index : kIndexes) {
    walk.Settle();
    if (qmx::ReadDispenserDetails(walk.library, index, record) == 0) continue;
    if (walk.version == QMX_VERSION_5) {
      const char* text;
      std::memcpy(&text, buffer.data() + offsetof(QmxDispenserDetails, DescriptionText),
                  sizeof text);
      CheckText(walk.library.Block, text);
    }
    walk.Settle();
    qmx::WriteDispenserDetails(walk.library, index, record);
  }
}

void ReadReplies(Walk& walk) {
  constexpr auto kReplyArea = static_cast<std::int32_t>(qmx::status::kReplyDataSize);
  walk.details.WriteStatus = qmx::kBlockSent;  // as after a block went out
  for (const std::int32_t maximum : {-1, 0, 1, 140, 316, 317}) {
    std::vector<std::uint8_t> buffer(maximum > 0 ? static_cast<std::size_t>(maximum) : 0);
    walk.Settle();
    if (qmx::ReadInterfaceBlock(walk.library, walk.details, buffer.data(), maximum) > kReplyArea)
      Fail("a reply longer than the reply area");
  }
  std::vector<std::uint8_t> raw(qmx::kRawPortResultMaximum);
  walk.Settle();
  if (qmx::RawPortResult(walk.library, walk.details, raw.data()) > kReplyArea)
    Fail("a raw port reply longer than the reply area");
  const QmxRawPortRequest request{};
  walk.Settle();
  qmx::DoRawPort(walk.library, walk.details, &request);
}

void ReadSwitches(Walk& walk) {
  for (const std::int32_t number : {-1, 0, 63, 64}) {
    (void)qmx::SwitchOpens(walk.library, number);
    (void)qmx::SwitchCloses(walk.library, number);
  }
}

// Each call on a settled block: see Walk::Settle.
using Walker = void (*)(Walk&);
constexpr Walker kWalkers[] = {
    [](Walk& walk) {
      if (walk.version == QMX_VERSION_5)
        ReadAcceptors<QmxAcceptorDetails5>(walk);
      else
        ReadAcceptors<QmxAcceptorDetails>(walk);
    },
    ReadDispensers,
    ReadReplies,
    ReadSwitches,
    [](Walk& walk) { (void)qmx::CurrentValue(walk.library); },
    [](Walk& walk) { (void)qmx::CurrentPaid(walk.library); },
    [](Walk& walk) { (void)qmx::AvailableValue(walk.library); },
    [](Walk& walk) { (void)qmx::CurrentUpdates(walk.library); },
    [](Walk& walk) { (void)qmx::EscrowThroughput(walk.library); },
    [](Walk& walk) { (void)qmx::SerialNumber(walk.library); },
    [](Walk& walk) { (void)qmx::LastPayStatus(walk.library, walk.money); },
    [](Walk& walk) {
      QmxEventDetails event;
      (void)qmx::NextEvent(walk.library, &event);
    },
    [](Walk& walk) { (void)qmx::NextEvent(walk.library, nullptr); },
    [](Walk& walk) { (void)qmx::CheckOperation(walk.library, 1, 2); },
    // The housekeeping, barcode and consistency families.
    [](Walk& walk) {
      (void)qmx::ZELTIConsistencyError(walk.library, 100, 1000);
      walk.Settle();
      (void)qmx::ZELTIConsistencyError(walk.library, 0, -1);
    },
    [](Walk& walk) {
      for (const std::int32_t counter : {0, 1, 32, 33, 257, -1}) {
        const char* caption = qmx::ReadCounterCaption(walk.library, counter);
        if (std::strlen(caption) > QMX_CAPTION_SIZE) Fail("a caption longer than its field");
        (void)qmx::CounterRead(walk.library, counter);
      }
    },
    [](Walk& walk) {
      auto text = std::make_unique<char[]>(QMX_BARCODE_TEXT);
      (void)qmx::BarcodeInEscrow(walk.library, text.get());
      walk.Settle();
      (void)qmx::BarcodeStacked(walk.library, text.get());
      walk.Settle();
      (void)qmx::BarcodePrintStatus(walk.library);
    },
    [](Walk& walk) {
      auto image = std::make_unique<std::uint8_t[]>(QMX_E2PROM_SIZE);
      for (const std::int32_t length : {-1, 0, 1, 256, 257})
        qmx::E2PromRead(walk.library, image.get(), length);  // at most 256 are copied
      walk.Settle();
      qmx::E2PromWrite(walk.library, image.get(), QMX_E2PROM_SIZE);
    },
    [](Walk& walk) {
      auto date = std::make_unique<char[]>(16), time = std::make_unique<char[]>(16);
      (void)qmx::FirmwareVersion(walk.library, date.get(), time.get());
      (void)qmx::MeterStatus(walk.library);
      (void)qmx::MeterSerialNo(walk.library);
      (void)qmx::USBDriverStatus(walk.library);
    },
};

// The input as the unit's block: repeated to the block's end (so a short input
// reaches it too), the magic and format a host opens, and area offsets from the
// input, kept inside the block but not made sound. False for an input too short to
// name them.
bool PlaceBlock(TestBlock& buffer, const std::uint8_t* data, std::size_t size) {
  if (size < 24) return false;
  std::uint8_t* block = buffer.data.get();
  std::size_t filled = std::min(size, kBlockBytes);
  std::memcpy(block, data, filled);
  while (filled < kBlockBytes) {  // doubling: a few copies, whatever the input's size
    const std::size_t more = std::min(filled, kBlockBytes - filled);
    std::memcpy(block + filled, block, more);
    filled += more;
  }
  buffer.SetWord(qmx::header::kStatusAreaOffset,
                buffer.Word(qmx::header::kStatusAreaOffset) % kBlockBytes);
  buffer.SetWord(qmx::header::kCommandAreaOffset,
                buffer.Word(qmx::header::kCommandAreaOffset) % kBlockBytes);
  buffer.SetWord(qmx::header::kBlockFormat, 1);
  buffer.SetWord(qmx::header::kBlockMagic, qmx::kBlockMagic);
  // A CommandArea over the StatusArea's counts makes every read after a guarded
  // write a stalled unit's read, 100,000 rounds long; the unit tests have that case.
  const std::uint32_t status = buffer.Word(qmx::header::kStatusAreaOffset);
  const std::uint32_t command = buffer.Word(qmx::header::kCommandAreaOffset);
  return command >= status + 8 || command + qmx::command::kSize <= status;
}

constexpr std::int32_t kVersions[] = {QMX_VERSION_1, QMX_VERSION_2, QMX_VERSION_5};
constexpr std::uint8_t kEvery = 0xFF;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t versionPick = data[0], walkerPick = data[1];
  data += 2;
  size -= 2;
  TestBlock& buffer = Buffer();
  platform::VirtualClock clock;
  for (std::size_t v = 0; v < std::size(kVersions); ++v) {
    if (versionPick != kEvery && versionPick % std::size(kVersions) != v) continue;
    if (!PlaceBlock(buffer, data, size)) return 0;
    // Opened as OpenAndAttach leaves a host: the block's areas taken (a block whose
    // areas do not fit it does not open), the payout base copied, the attachment
    // counted, the version noted.
    qmx::LibraryState library;
    library.Clock = &clock;
    library.Block = qmx::SharedBlock(buffer.data.get(), kBlockBytes);
    if (!library.Block.TakeAreas()) return 0;
    library.OpenStatus = qmx::kAttachSuccess;
    library.RequestedVersion = kVersions[v];
    library.Block.VerifiedCopy(library.CommandField(qmx::command::kBasedPayoutTarget),
                               qmx::header::kPayoutBase);
    library.Block.AddAttachment();
    Walk walk{buffer, library, kVersions[v], {}, {}};
    for (std::size_t w = 0; w < std::size(kWalkers); ++w) {
      if (walkerPick != kEvery && walkerPick % std::size(kWalkers) != w) continue;
      walk.Settle();
      kWalkers[w](walk);
    }
    library.Unload();
  }
  return 0;
}

#if defined(TARVEX_LIBFUZZER)
extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size,
                                        std::size_t maxSize);

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t maxSize, unsigned int seed) {
  size = LLVMFuzzerMutate(data, size, maxSize);
  if (size >= 2 && data[0] == kEvery && data[1] == kEvery) {
    data[0] = static_cast<std::uint8_t>(seed % std::size(kVersions));
    data[1] = static_cast<std::uint8_t>(seed / std::size(kVersions) % std::size(kWalkers));
  }
  return size;
}
#endif
