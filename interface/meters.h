// Counters and their captions, the counter display, the meter, the E2Prom image, the
// unit's device key, the USB driver process's state and the firmware's version, on
// the process's library state and its block.
#pragma once

#include <cstdint>

#include "interface/library.h"

namespace qmx {

void CounterIncrement(LibraryState& library, std::int32_t counter, std::int32_t amount);
// `caption` holds 12 bytes; a null caption changes nothing.
void CounterCaption(LibraryState& library, std::int32_t counter, const char* caption);
std::int32_t CounterRead(const LibraryState& library, std::int32_t counter);
// The caption as a terminated text in library.Meters, overwritten by the next call.
const char* ReadCounterCaption(LibraryState& library, std::int32_t counter);
void CounterDisplay(LibraryState& library, std::int32_t code);
std::int32_t MeterStatus(const LibraryState& library);
std::int32_t MeterSerialNo(const LibraryState& library);

void E2PromWrite(LibraryState& library, const std::uint8_t* data, std::int32_t length);
void E2PromRead(const LibraryState& library, std::uint8_t* buffer, std::int32_t length);
// Message exchanges with the unit: its reply length, or a negative WriteStatus
// (kUnitNoAnswer when it answered nothing within kUnitAnswerMs).
std::int32_t E2PromReset(LibraryState& library, std::int32_t flag);
std::int32_t SetDeviceKey(LibraryState& library, std::int32_t key);

std::int32_t USBDriverStatus(const LibraryState& library);
void USBDriverExit(LibraryState& library);
// `date` and `time` take 16 bytes each when given.
std::int32_t FirmwareVersion(const LibraryState& library, char* date, char* time);

}  // namespace qmx
