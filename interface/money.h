// The money family: value taken in, payouts and how they went, the unit's events,
// indicators, switches, escrow and a few single values, on the process's library
// state and its block.
#pragma once

#include <cstdint>

#include "interface/library.h"
#include "qmxzelti.h"

namespace qmx {

// CheckOperation's answer where the unit offers none.
inline constexpr std::int32_t kCheckNotAvailable = -1;

// The fields of an event word, as NextEvent hands them to the host.
QmxEventDetails DecodeEvent(std::uint32_t eventWord);

std::int32_t CurrentValue(const LibraryState& library);
std::int32_t CurrentPaid(const LibraryState& library);
std::int32_t AvailableValue(const LibraryState& library);
void PayOut(LibraryState& library, MoneyState& money, std::int32_t amount);
std::int32_t LastPayStatus(LibraryState& library, MoneyState& money);
void ValueNeeded(LibraryState& library, std::int32_t value);
std::int32_t NextEvent(LibraryState& library, QmxEventDetails* details);
std::int32_t CurrentUpdates(const LibraryState& library);
void IndicatorOn(LibraryState& library, std::int32_t indicator);
void IndicatorOff(LibraryState& library, std::int32_t indicator);
std::int32_t SwitchOpens(const LibraryState& library, std::int32_t switchNumber);
std::int32_t SwitchCloses(const LibraryState& library, std::int32_t switchNumber);
std::int32_t CheckOperation(LibraryState& library, std::int32_t a, std::int32_t b);
std::int32_t SerialNumber(const LibraryState& library);
void EscrowEnable(LibraryState& library);
void EscrowDisable(LibraryState& library);
std::int32_t EscrowThroughput(const LibraryState& library);
void EscrowAccept(LibraryState& library);
void EscrowReturn(LibraryState& library);

}  // namespace qmx
