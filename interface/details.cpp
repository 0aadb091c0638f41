// Acceptor and dispenser details over the shared block, and the message channel:
// every list walk bounded, every multi-word read of the unit's lists taken whole in
// one ConsistentRead into a record of our own before the caller's record is touched.
#include "interface/details.h"

#include <cstddef>
#include <cstring>
#include <type_traits>

#include "platform/bytes.h"

namespace qmx {
namespace {

// Firmware levels the details' fields start at.
constexpr std::int32_t kUnitByteLevel = 5;
constexpr std::int32_t kDispenserExtraLevel = 6;
constexpr std::int32_t kDescriptionLevel = 7;
constexpr std::uint32_t kReportedControlBit = 8;  // bit 3 of the acceptor's control word
constexpr std::uint32_t kLevelChangeMark = 100;
constexpr std::uint32_t kCallerBlockType = 64;
constexpr std::uint32_t kRawPortBlockType = 128;
constexpr std::int32_t kRawPortSend = 1;

const char kEmptyText[] = "";

std::int32_t Level(const SharedBlock& block) {
  return static_cast<std::int32_t>(block.Load(header::kFirmwareLevel));
}

std::int32_t Signed(std::uint32_t word) {
  return static_cast<std::int32_t>(word);
}

// The text a stored offset names, or the empty text when it names none.
const char* TextAt(const SharedBlock& block, std::uint32_t stored) {
  const char* text = block.Text(stored);
  return text != nullptr ? text : kEmptyText;
}

// Entry `index` of the list whose start the StatusArea word `listField` holds.
std::uint32_t FindEntry(const SharedBlock& block, std::uint32_t listField, std::int32_t index,
                        std::uint32_t span) {
  return block.EntryAt(block.LoadStatus(listField), index, span);
}

// How many coin elements an acceptor entry says it has, bounded by the record.
std::uint32_t CoinLimit(const SharedBlock& block, std::uint32_t entry) {
  const std::int32_t count = Signed(block.Load(std::uint64_t{entry} + acceptor::kCoinCount));
  if (count <= 0) return 0;
  return static_cast<std::uint32_t>(count) < QMX_MAX_COINS ? static_cast<std::uint32_t>(count)
                                                           : QMX_MAX_COINS;
}

// Where a record's description texts lie, taken during the read and turned into
// texts once it settled: finding a text's end scans the block, and a unit stalled
// mid-update repeats the read 100,000 times.
struct TextPlaces {
  std::uint32_t acceptor = 0;
  std::uint32_t coins[QMX_MAX_COINS] = {};
};

template <typename Coin>
void FillCoin(const SharedBlock& block, std::uint32_t at, std::int32_t level, Coin* coin,
              std::uint32_t* textPlace) {
  const auto word = [&](std::uint32_t field) { return Signed(block.Load(std::uint64_t{at} + field)); };
  coin->Value = word(coin::kValue);
  coin->Setting1 = word(coin::kSetting1);
  coin->Count = word(coin::kCount);
  coin->Setting2 = word(coin::kSetting2);
  coin->UnitInfo = word(coin::kUnitInfo);
  coin->Setting3 = word(coin::kSetting3);
  coin->SettingByte = static_cast<signed char>(static_cast<std::uint8_t>(word(coin::kSettingByte)));
  coin->Spare1 = 0;
  coin->UnitByte =
      level >= kUnitByteLevel ? static_cast<unsigned char>(word(coin::kUnitByte) & 0xFF) : 0;
  coin->Spare2 = 0;
  *textPlace = level >= kDescriptionLevel ? block.Load(std::uint64_t{at} + coin::kDescription) : 0;
}

// Entry `index` into `record`: every header field, the coin entries it fills
// (CoinCount of them, each whole) and, in the longer layout, the two closing fields;
// a retry of the read sets them all again. False when there is none.
template <typename Record>
bool FillAcceptor(const SharedBlock& block, std::int32_t index, Record* record,
                  TextPlaces* texts) {
  const std::uint32_t entry = FindEntry(block, status::kAcceptorListOffset, index, acceptor::kSize);
  if (entry == 0) return false;
  const std::int32_t level = Level(block);
  const auto word = [&](std::uint32_t field) {
    return block.Load(std::uint64_t{entry} + field);
  };
  record->CoinCount = 0;
  record->UnitCode = Signed(word(acceptor::kUnitCode));
  record->AcceptorStatus =
      Signed(word(acceptor::kStatusWord) | (word(acceptor::kHostControl) & kReportedControlBit));
  record->InterfaceNumber = Signed(word(acceptor::kInterfaceNumber));
  record->Address = Signed(word(acceptor::kAddress));
  record->Setting = Signed(word(acceptor::kSetting));
  record->UnitWord1 = Signed(word(acceptor::kUnitWord1));
  record->UnitWord2 = Signed(word(acceptor::kUnitWord2));
  if constexpr (std::is_same_v<Record, QmxAcceptorDetails5>) {
    const bool described = level >= kDescriptionLevel;
    record->ExtraWord = described ? Signed(word(acceptor::kExtraWord)) : 0;
    texts->acceptor = described ? word(acceptor::kDescription) : 0;
  }
  const std::uint32_t limit = CoinLimit(block, entry);
  std::uint32_t at = block.Link(word(acceptor::kFirstCoin), coin::kSize);
  std::uint32_t filled = 0;
  for (; filled < limit && at != 0; ++filled) {
    FillCoin(block, at, level, &record->Coins[filled], &texts->coins[filled]);
    at = block.Link(block.Load(at), coin::kSize);
  }
  // What the caller may walk: the elements really filled, never more than the array.
  record->CoinCount = static_cast<std::int32_t>(filled);
  return true;
}

// Read into a record of our own and handed over only once the read settled, so the
// caller never sees a torn one. Only what was filled is copied (the header, the
// filled coin entries, the closing fields): the record is 7 or 8 KiB, most of it
// unused coin entries, which the caller walks no further than CoinCount.
template <typename Record>
std::int32_t ReadAcceptor(const LibraryState& library, std::int32_t index, void* details) {
  Record record;  // FillAcceptor sets every field that is copied out
  TextPlaces texts;
  bool found = false;
  if (!library.Block.ConsistentRead(
          [&] { found = FillAcceptor(library.Block, index, &record, &texts); }))
    return 0;
  if (!found) return 0;
  if constexpr (std::is_same_v<Record, QmxAcceptorDetails5>) {
    // Coins often share one text place: each distinct one is looked up once.
    std::uint32_t lastPlace = 0;
    const char* lastText = kEmptyText;
    const auto text = [&](std::uint32_t place) {
      if (place != lastPlace) {
        lastPlace = place;
        lastText = TextAt(library.Block, place);
      }
      return place == 0 ? kEmptyText : lastText;
    };
    record.DescriptionText = text(texts.acceptor);
    for (std::int32_t c = 0; c < record.CoinCount; ++c)
      record.Coins[c].DescriptionText = text(texts.coins[c]);
  }
  auto* out = static_cast<std::uint8_t*>(details);
  const std::size_t filled =
      offsetof(Record, Coins) + sizeof record.Coins[0] * static_cast<std::size_t>(record.CoinCount);
  std::memcpy(out, &record, filled);
  if constexpr (std::is_same_v<Record, QmxAcceptorDetails5>) {
    const std::size_t tail = offsetof(Record, ExtraWord);
    std::memcpy(out + tail, reinterpret_cast<const std::uint8_t*>(&record) + tail,
                sizeof record - tail);
  }
  return 1;
}

template <typename Record>
void WriteAcceptor(LibraryState& library, std::int32_t index, const void* details) {
  Record record;
  std::memcpy(&record, details, sizeof record);
  SharedBlock& block = library.Block;
  std::uint32_t entry = 0;
  if (!block.ConsistentRead([&] {
        entry = FindEntry(block, status::kAcceptorListOffset, index, acceptor::kSize);
      }))
    return;
  if (entry == 0) return;
  block.GuardedWrite(
      [&] {
        block.VerifiedStore(std::uint64_t{entry} + acceptor::kHostControl,
                            static_cast<std::uint32_t>(record.AcceptorStatus));
        block.VerifiedStore(std::uint64_t{entry} + acceptor::kSetting,
                            static_cast<std::uint32_t>(record.Setting));
        const std::uint32_t limit = CoinLimit(block, entry);
        std::uint32_t at = block.Link(block.Load(std::uint64_t{entry} + acceptor::kFirstCoin),
                                      coin::kSize);
        for (std::uint32_t n = 0; n < limit && at != 0; ++n) {
          const auto& coin = record.Coins[n];
          block.VerifiedStore(std::uint64_t{at} + coin::kSetting1,
                              static_cast<std::uint32_t>(coin.Setting1));
          block.VerifiedStore(std::uint64_t{at} + coin::kSetting2,
                              static_cast<std::uint32_t>(coin.Setting2));
          block.VerifiedStore(std::uint64_t{at} + coin::kSetting3,
                              static_cast<std::uint32_t>(coin.Setting3));
          block.VerifiedStore(std::uint64_t{at} + coin::kSettingByte,
                              static_cast<std::uint32_t>(static_cast<std::int32_t>(coin.SettingByte)));
          at = block.Link(block.Load(at), coin::kSize);
        }
      },
      Settings::kChanged);
}

// How many bytes of the dispenser record the opened version has.
std::size_t DispenserBytes(std::int32_t version) {
  if (version == kVersion5) return sizeof(QmxDispenserDetails);
  if (version >= kVersion2) return offsetof(QmxDispenserDetails, ExtraWord);
  return offsetof(QmxDispenserDetails, DispenserExtra1);
}

}  // namespace

std::int32_t ReadAcceptorDetails(const LibraryState& library, std::int32_t index, void* details) {
  if (!library.IsOpen() || details == nullptr) return 0;
  if (library.RequestedVersion == kVersion5)
    return ReadAcceptor<QmxAcceptorDetails5>(library, index, details);
  return ReadAcceptor<QmxAcceptorDetails>(library, index, details);
}

void WriteAcceptorDetails(LibraryState& library, std::int32_t index, const void* details) {
  if (!library.IsOpen() || details == nullptr) return;
  if (library.RequestedVersion == kVersion5)
    WriteAcceptor<QmxAcceptorDetails5>(library, index, details);
  else
    WriteAcceptor<QmxAcceptorDetails>(library, index, details);
}

std::int32_t ReadDispenserDetails(const LibraryState& library, std::int32_t index,
                                  QmxDispenserDetails* details) {
  if (!library.IsOpen() || details == nullptr) return 0;
  const SharedBlock& block = library.Block;
  QmxDispenserDetails record{};
  std::uint32_t textPlace = 0;  // its text is found once the read settled
  bool found = false;
  if (!block.ConsistentRead([&] {
        record = QmxDispenserDetails{};
        const std::uint32_t entry =
            FindEntry(block, status::kDispenserListOffset, index, dispenser::kSize);
        found = entry != 0;
        if (!found) return;
        const std::int32_t level = Level(block);
        const auto word = [&](std::uint32_t field) {
          return Signed(block.Load(std::uint64_t{entry} + field));
        };
        int* const words[dispenser::kWordCount] = {
            &record.DispenserWord0, &record.DispenserWord1, &record.DispenserWord2,
            &record.DispenserWord3, &record.DispenserWord4, &record.DispenserWord5,
            &record.DispenserWord6, &record.DispenserWord7};
        for (std::uint32_t n = 0; n < dispenser::kWordCount; ++n)
          *words[n] = word(dispenser::kWords + 4 * n);
        if (level >= kDispenserExtraLevel) {
          record.DispenserExtra1 = word(dispenser::kExtra1);
          record.DispenserExtra2 = word(dispenser::kExtra2);
        }
        textPlace = 0;
        if (level >= kDescriptionLevel) {
          record.ExtraWord = word(dispenser::kExtraWord);
          textPlace = static_cast<std::uint32_t>(word(dispenser::kDescription));
        }
      }))
    return 0;
  if (!found) return 0;
  record.DescriptionText = TextAt(block, textPlace);
  // Only as much as the opened version's record holds: an older host's is shorter.
  std::memcpy(details, &record, DispenserBytes(library.RequestedVersion));
  return 1;
}

void WriteDispenserDetails(LibraryState& library, std::int32_t index,
                           const QmxDispenserDetails* details) {
  if (!library.IsOpen() || details == nullptr) return;
  // The fields used lie in the eight words every version's record has.
  const std::uint32_t word1 = static_cast<std::uint32_t>(details->DispenserWord1);
  const std::uint32_t word4 = static_cast<std::uint32_t>(details->DispenserWord4);
  const std::uint32_t word6 = static_cast<std::uint32_t>(details->DispenserWord6);
  SharedBlock& block = library.Block;
  std::uint32_t entry = 0;
  if (!block.ConsistentRead([&] {
        entry = FindEntry(block, status::kDispenserListOffset, index, dispenser::kSize);
      }))
    return;
  if (entry == 0) return;
  block.GuardedWrite(
      [&] {
        block.VerifiedStore(std::uint64_t{entry} + dispenser::kWords + 24, word6);
        const std::uint64_t level = std::uint64_t{entry} + dispenser::kWords + 16;
        if (word1 == kLevelChangeMark && block.Load(level) != word4) {
          block.VerifiedStore(std::uint64_t{entry} + dispenser::kChangeMark, kLevelChangeMark);
          block.VerifiedStore(std::uint64_t{entry} + dispenser::kWords + 4, kLevelChangeMark);
          block.VerifiedStore(level, word4);
        }
      },
      Settings::kChanged);
}

void WriteInterfaceBlock(LibraryState& library, DetailsState& state, std::int32_t address,
                         const std::uint8_t* data, std::int32_t length) {
  if (!library.IsOpen() || length < 0 || length > kMaxBlockLength ||
      (data == nullptr && length > 0)) {
    state.WriteStatus = kBlockNotOpen;
    return;
  }
  SharedBlock& block = library.Block;
  std::uint32_t acknowledged = 0;
  if (!block.ConsistentRead([&] { acknowledged = block.LoadStatus(status::kBlockAckSequence); })) {
    state.WriteStatus = kBlockNotOpen;  // a stalled unit answers nothing
    return;
  }
  if (acknowledged != block.LoadCommand(command::kBlockSequence)) {
    state.WriteStatus = kBlockUnanswered;
    return;
  }
  const std::uint64_t area = std::uint64_t{block.CommandArea()} + command::kBlockArea;
  std::uint64_t at = area;
  if (address >= 0) {
    block.VerifiedStore(area, kCallerBlockType + static_cast<std::uint32_t>(address));
    block.VerifiedStore(area + 4, static_cast<std::uint32_t>(length));
    at = area + kMessageHeader;
  } else {
    // A whole block must at least hold its own length word to be checked against.
    if (length < static_cast<std::int32_t>(kMessageHeader) ||
        platform::ReadLE32(data + 4) + std::uint64_t{kMessageHeader} !=
            static_cast<std::uint64_t>(length)) {
      state.WriteStatus = kBlockBadLength;
      return;
    }
  }
  state.WriteStatus = kBlockSent;
  block.GuardedWrite([&] {
    const std::uint32_t count = (static_cast<std::uint32_t>(length) + 3) / 4;
    for (std::uint32_t n = 0; n < count; ++n) {
      // The last word takes only the bytes the caller gave, padded with zeros.
      std::uint8_t bytes[4] = {0, 0, 0, 0};
      const std::uint32_t from = 4 * n;
      const std::uint32_t left = static_cast<std::uint32_t>(length) - from;
      std::memcpy(bytes, data + from, left < 4 ? left : 4);
      block.VerifiedStore(at + from, platform::ReadLE32(bytes));
    }
    block.VerifiedIncrement(std::uint64_t{block.CommandArea()} + command::kBlockSequence);
  });
}

std::int32_t ReadInterfaceBlock(const LibraryState& library, const DetailsState& state,
                                std::uint8_t* buffer, std::int32_t maximum) {
  if (!library.IsOpen()) return kBlockNotOpen;
  if (state.WriteStatus != kBlockSent) return state.WriteStatus;
  const SharedBlock& block = library.Block;
  std::uint8_t reply[status::kReplyDataSize];
  std::uint32_t acknowledged = 0;
  std::int32_t replyLength = 0;
  std::size_t copied = 0;
  const std::size_t room = (buffer == nullptr || maximum <= 0) ? 0 : static_cast<std::size_t>(maximum);
  if (!block.ConsistentRead([&] {
        acknowledged = block.LoadStatus(status::kBlockAckSequence);
        replyLength = Signed(block.LoadStatus(status::kReplyLength));
        copied = 0;
        if (replyLength > 0) {
          // Never past the reply area, nor past the caller's buffer.
          std::size_t wanted = static_cast<std::size_t>(replyLength);
          if (wanted > status::kReplyDataSize) wanted = status::kReplyDataSize;
          if (wanted > room) wanted = room;
          copied = block.CopyOut(std::uint64_t{block.StatusArea()} + status::kReplyData, reply,
                                 wanted);
        }
      }))
    return kBlockNotOpen;
  if (copied > 0) std::memcpy(buffer, reply, copied);
  if (acknowledged != block.LoadCommand(command::kBlockSequence)) return 0;
  // A length beyond the reply area is reported as the area's size: no more exists.
  return replyLength > static_cast<std::int32_t>(status::kReplyDataSize)
             ? static_cast<std::int32_t>(status::kReplyDataSize)
             : replyLength;
}

void DoRawPort(LibraryState& library, DetailsState& state, const QmxRawPortRequest* request) {
  if (request == nullptr) {
    state.WriteStatus = kBlockNotOpen;
    return;
  }
  const bool send = request->Command == kRawPortSend;
  // A send carries at most what the request's data area holds.
  if (send && (request->Length < 0 || request->Length > QMX_RAW_PORT_DATA)) {
    state.WriteStatus = kBlockNotOpen;
    return;
  }
  std::uint8_t message[kMessageHeader + QMX_RAW_PORT_DATA] = {};
  const std::uint32_t dataLength = send ? static_cast<std::uint32_t>(request->Length) : 1;
  platform::WriteLE32(message, kRawPortBlockType + static_cast<std::uint32_t>(request->Command));
  platform::WriteLE32(message + 4, dataLength);
  if (send)
    std::memcpy(message + kMessageHeader, request->Data, dataLength);
  else
    message[kMessageHeader] = static_cast<std::uint8_t>(request->Parameter & 0xFF);
  WriteInterfaceBlock(library, state, -1, message,
                      static_cast<std::int32_t>(kMessageHeader + dataLength));
}

std::int32_t RawPortResult(const LibraryState& library, const DetailsState& state,
                           std::uint8_t* buffer) {
  return ReadInterfaceBlock(library, state, buffer, kRawPortResultMaximum);
}

}  // namespace qmx
