// Acceptor and dispenser details, and the message channel to the unit: message
// blocks out through BlockArea, replies back through ReplyData, and the raw port on
// top of them, on the process's library state and its block.
#pragma once

#include <cstdint>

#include "interface/library.h"
#include "qmxzelti.h"

namespace qmx {

inline constexpr std::int32_t kMaxBlockLength = 312;
inline constexpr std::int32_t kRawPortResultMaximum = 140;
inline constexpr std::uint32_t kMessageHeader = 8;  // type word and length word

// `details` is a QmxAcceptorDetails, or a QmxAcceptorDetails5 when the interface was
// opened with version 0x00010005.
std::int32_t ReadAcceptorDetails(const LibraryState& library, std::int32_t index, void* details);
void WriteAcceptorDetails(LibraryState& library, std::int32_t index, const void* details);
std::int32_t ReadDispenserDetails(const LibraryState& library, std::int32_t index,
                                  QmxDispenserDetails* details);
void WriteDispenserDetails(LibraryState& library, std::int32_t index,
                           const QmxDispenserDetails* details);

// `data` holds `length` bytes (the caller's words); nothing past them is read.
void WriteInterfaceBlock(LibraryState& library, DetailsState& state, std::int32_t address,
                         const std::uint8_t* data, std::int32_t length);
std::int32_t ReadInterfaceBlock(const LibraryState& library, const DetailsState& state,
                                std::uint8_t* buffer, std::int32_t maximum);
void DoRawPort(LibraryState& library, DetailsState& state, const QmxRawPortRequest* request);
std::int32_t RawPortResult(const LibraryState& library, const DetailsState& state,
                           std::uint8_t* buffer);

}  // namespace qmx
