// The money family over the shared block: short consistent reads of the unit's words
// and short guarded writes of the host's, gated on the unit's firmware level. Where
// the unit's counts never settle, the answer is the closed interface's.
#include "interface/money.h"

namespace qmx {
namespace {

// Firmware levels the family's features start at.
constexpr std::int32_t kEscrowLevel = 5;  // also BasedPayoutTarget and the indicator layout
constexpr std::int32_t kCheckLevel = 7;
// Below the escrow level the first eight slots are not indicators.
constexpr std::uint32_t kReservedSlots = 8;

// One StatusArea word by ConsistentRead; 0 when closed or the counts never settle.
std::int32_t ReadStatusWord(const LibraryState& library, std::uint32_t field) {
  if (!library.IsOpen()) return 0;
  std::uint32_t value = 0;
  if (!library.Block.ConsistentRead([&] { value = library.Block.LoadStatus(field); })) return 0;
  return static_cast<std::int32_t>(value);
}

struct PayState {
  std::uint32_t status = 0;
  std::uint32_t paid = 0;
};

// PayStatus and PaidTotal as one; false when the counts never settle.
bool ReadPayState(const LibraryState& library, PayState* state) {
  return library.Block.ConsistentRead([&] {
    state->status = library.Block.LoadStatus(status::kPayStatus);
    state->paid = library.Block.LoadStatus(status::kPaidTotal);
  });
}

// The new amount then counts from what was really paid.
void ResyncTarget(LibraryState& library, std::uint32_t paid) {
  library.Block.GuardedWrite(
      [&] { library.Block.VerifiedStore(library.CommandField(command::kPayoutTarget), paid); });
}

// The slot that indicator n drives, or -1 when n names none at this level.
std::int32_t IndicatorSlot(const LibraryState& library, std::int32_t indicator) {
  const bool reserved = library.FirmwareLevel() < kEscrowLevel;
  const std::int32_t count =
      static_cast<std::int32_t>(command::kIndicatorSlotCount - (reserved ? kReservedSlots : 0));
  if (indicator < 0 || indicator >= count) return -1;
  return indicator + static_cast<std::int32_t>(reserved ? kReservedSlots : 0);
}

void SetIndicator(LibraryState& library, std::int32_t indicator, std::uint32_t value) {
  if (!library.IsOpen()) return;
  const std::int32_t slot = IndicatorSlot(library, indicator);
  if (slot < 0) return;
  const std::uint64_t at =
      library.CommandField(command::kIndicatorSlots + 4 * static_cast<std::uint32_t>(slot));
  library.Block.GuardedWrite([&] { library.Block.VerifiedStore(at, value); });
}

std::int32_t SwitchCount(const LibraryState& library, std::uint32_t table,
                         std::int32_t switchNumber) {
  if (switchNumber < 0 || static_cast<std::uint32_t>(switchNumber) >= status::kSwitchCount)
    return 0;
  return ReadStatusWord(library, table + 4 * static_cast<std::uint32_t>(switchNumber));
}

void SetEscrow(LibraryState& library, std::uint32_t value) {
  if (!library.Offers(kEscrowLevel)) return;
  library.Block.GuardedWrite(
      [&] { library.Block.VerifiedStore(library.CommandField(command::kEscrowEnabled), value); },
      Settings::kChanged);
}

// Decides every item waiting in escrow: `decided` = throughput - `other`, so the two
// counts together cover all that has reached escrow.
void DecideEscrow(LibraryState& library, std::uint32_t decided, std::uint32_t other) {
  if (!library.Offers(kEscrowLevel)) return;
  std::uint32_t throughput = 0;
  // A stalled unit: decide nothing rather than from a torn count, and leave the
  // settings count alone, as nothing changed.
  if (!library.Block.ConsistentRead(
          [&] { throughput = library.Block.LoadStatus(status::kEscrowThroughputCount); }))
    return;
  library.Block.GuardedWrite(
      [&] {
        library.Block.VerifiedStore(library.CommandField(decided),
                                    throughput - library.Block.LoadCommand(other));
      },
      Settings::kChanged);
}

}  // namespace

QmxEventDetails DecodeEvent(std::uint32_t eventWord) {
  QmxEventDetails details{};
  details.EventCode = static_cast<std::int32_t>(eventWord & 0xFFFFu);
  details.EventData1 = static_cast<std::int32_t>((eventWord >> 16) & 0xFFu);
  details.EventFlag = static_cast<std::int32_t>(eventWord >> 31);
  details.EventData2 = static_cast<std::int32_t>((eventWord >> 24) & 0x7Fu);
  return details;
}

std::int32_t CurrentValue(const LibraryState& library) {
  return ReadStatusWord(library, status::kCurrentValueWord);
}

std::int32_t CurrentPaid(const LibraryState& library) {
  return ReadStatusWord(library, status::kPaidTotal);
}

std::int32_t AvailableValue(const LibraryState& library) {
  return ReadStatusWord(library, status::kAvailableValueWord);
}

void PayOut(LibraryState& library, MoneyState& money, std::int32_t amount) {
  if (!library.IsOpen()) return;
  PayState pay;
  if (!ReadPayState(library, &pay)) return;
  // Not paying, yet short of the target: an earlier payout ended short, or the unit
  // has not taken up the previous request.
  if (pay.status != 0 && pay.paid != library.Block.LoadCommand(command::kPayoutTarget))
    ResyncTarget(library, pay.paid);
  const bool based = library.FirmwareLevel() >= kEscrowLevel;
  library.Block.GuardedWrite([&] {
    // Amounts wrap as the unit's 32-bit words do.
    const std::uint32_t target =
        library.Block.LoadCommand(command::kPayoutTarget) + static_cast<std::uint32_t>(amount);
    library.Block.VerifiedStore(library.CommandField(command::kPayoutTarget), target);
    if (based) {
      library.Block.VerifiedStore(library.CommandField(command::kBasedPayoutTarget),
                                  target + library.Block.Load(header::kPayoutBase));
    }
  });
  money.LastPayResult = kPayComplete;
}

std::int32_t LastPayStatus(LibraryState& library, MoneyState& money) {
  if (!library.IsOpen()) return kPayNotOpen;
  PayState pay;
  if (!ReadPayState(library, &pay)) return kPayNotOpen;
  if (pay.status == 0) return kPayUnderWay;
  if (pay.status == 1) {
    return pay.paid == library.Block.LoadCommand(command::kPayoutTarget) ? money.LastPayResult
                                                                         : kPayUnderWay;
  }
  // A failed payout: its unpaid rest is cancelled, and the error stays the answer
  // for the completed state until the next PayOut.
  money.LastPayResult = static_cast<std::int32_t>(pay.status);
  ResyncTarget(library, pay.paid);
  return static_cast<std::int32_t>(pay.status);
}

void ValueNeeded(LibraryState& library, std::int32_t value) {
  if (!library.IsOpen()) return;
  library.Block.GuardedWrite(
      [&] {
        library.Block.VerifiedStore(library.CommandField(command::kValueNeededWord),
                                    static_cast<std::uint32_t>(value));
      },
      Settings::kChanged);
}

std::int32_t NextEvent(LibraryState& library, QmxEventDetails* details) {
  if (!library.IsOpen()) return 0;
  std::uint32_t sequence = 0;
  if (!library.Block.ConsistentRead(
          [&] { sequence = library.Block.LoadStatus(status::kEventSequence); }))
    return 0;
  if (sequence == library.Block.LoadCommand(command::kEventAckSequence)) return 0;
  std::uint32_t word = 0;
  if (!library.Block.ConsistentRead([&] { word = library.Block.LoadStatus(status::kEventWord); }))
    return 0;
  std::uint32_t now = 0;
  // Not acknowledged (and no settings change) when the counts never settle: the
  // unit offers the event again.
  if (!library.Block.ConsistentRead(
          [&] { now = library.Block.LoadStatus(status::kEventSequence); }))
    return 0;
  library.Block.GuardedWrite(
      [&] { library.Block.VerifiedStore(library.CommandField(command::kEventAckSequence), now); },
      Settings::kChanged);
  const QmxEventDetails decoded = DecodeEvent(word);
  if (details != nullptr) *details = decoded;
  return decoded.EventCode;
}

std::int32_t CurrentUpdates(const LibraryState& library) {
  if (!library.IsOpen()) return 0;
  return static_cast<std::int32_t>(library.Block.LoadStatus(status::kEndCount));
}

void IndicatorOn(LibraryState& library, std::int32_t indicator) {
  SetIndicator(library, indicator, 1);
}

void IndicatorOff(LibraryState& library, std::int32_t indicator) {
  SetIndicator(library, indicator, 0);
}

std::int32_t SwitchOpens(const LibraryState& library, std::int32_t switchNumber) {
  return SwitchCount(library, status::kSwitchOpenCounts, switchNumber);
}

std::int32_t SwitchCloses(const LibraryState& library, std::int32_t switchNumber) {
  return SwitchCount(library, status::kSwitchCloseCounts, switchNumber);
}

std::int32_t CheckOperation(LibraryState& library, std::int32_t a, std::int32_t b) {
  if (!library.Offers(kCheckLevel)) return kCheckNotAvailable;
  const std::uint32_t result =
      library.Block.Load(library.StatusField(status::kCheckOperationResult));
  // The unit answers the posted pair in CheckOperationResult; the next call returns it.
  library.Block.VerifiedStore(library.CommandField(command::kCheckOperationA),
                              static_cast<std::uint32_t>(a));
  library.Block.VerifiedStore(library.CommandField(command::kCheckOperationB),
                              static_cast<std::uint32_t>(b));
  return static_cast<std::int32_t>(result);
}

std::int32_t SerialNumber(const LibraryState& library) {
  // Also from a block without BlockMagic: the serial is in the header either way.
  if (!library.Block.mapped()) return 0;
  return static_cast<std::int32_t>(library.Block.Load(header::kUnitSerialNumber));
}

void EscrowEnable(LibraryState& library) {
  SetEscrow(library, 1);
}

void EscrowDisable(LibraryState& library) {
  SetEscrow(library, 0);
}

std::int32_t EscrowThroughput(const LibraryState& library) {
  if (!library.Offers(kEscrowLevel)) return 0;
  return ReadStatusWord(library, status::kEscrowThroughputCount);
}

void EscrowAccept(LibraryState& library) {
  DecideEscrow(library, command::kEscrowAcceptCount, command::kEscrowReturnCount);
}

void EscrowReturn(LibraryState& library) {
  DecideEscrow(library, command::kEscrowReturnCount, command::kEscrowAcceptCount);
}

}  // namespace qmx
