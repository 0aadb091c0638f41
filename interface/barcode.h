// Barcode tickets: escrow of read tickets (enable, the waiting ticket, accept,
// return, the last stacked) and ticket printing in 32-byte pieces over the message
// channel, on the process's library state and its block.
#pragma once

#include <cstdint>
#include <string>

#include "interface/library.h"
#include "qmxzelti.h"

namespace qmx {

// BarcodePrintStatus while the pieces of a ticket are on their way.
inline constexpr std::int32_t kPrintSending = QMX_PRINT_SENDING;

// The printer's command text for `ticket`; false (nothing built) when a text of it
// is longer than QMX_TICKET_TEXT_MAX, the whole text longer than QMX_TICKET_MAX, or
// Barcode is null.
bool PrintCommandText(const QmxTicket& ticket, std::string* text);

void BarcodeEnable(LibraryState& library);
void BarcodeDisable(LibraryState& library);
// `barcode` takes 19 bytes when given.
std::int32_t BarcodeInEscrow(const LibraryState& library, char* barcode);
std::int32_t BarcodeStacked(const LibraryState& library, char* barcode);
void BarcodeAccept(LibraryState& library);
void BarcodeReturn(LibraryState& library);
std::int32_t BarcodePrint(LibraryState& library, const QmxTicket* ticket);
std::int32_t BarcodePrintStatus(LibraryState& library);

}  // namespace qmx
