// Barcode tickets (level 5): a ticket presented at the reader waits in escrow, one
// at a time, until the host's accept count rises (stacked) or its return count
// rises (handed back). And the ticket printer: the host's print command text comes
// in 32-byte pieces (message type 6), is put together up to its terminating zero,
// and once complete the printer is busy for printMs; PrinterStatus bit 0 says it is
// ready for the next ticket.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <utility>

#include "sim/block_layout.h"
#include "sim/block_server.h"

namespace sim {
namespace {

using namespace layout;

// The printer's buffer for one ticket; bytes beyond it are dropped.
constexpr std::size_t kMaxTicketText = 4096;

// PrinterStatus: bit 0, ready for a ticket.
constexpr std::uint32_t kPrinterReady = 1;

// Every ticket's command text opens so: a piece that does starts a new ticket.
constexpr char kTicketOpening[] = "^C||^^P|";
constexpr std::uint32_t kTicketOpeningSize = sizeof kTicketOpening - 1;

// Piece replies: taken and more expected, or the ticket is complete and printing.
constexpr std::uint8_t kPieceTaken = 1;
constexpr std::uint8_t kTicketComplete = 2;

}  // namespace

std::string BlockServer::PresentTicket(const std::string& text) {
  char answer[160];
  if (level_ < kEscrowLevel) {
    std::snprintf(answer, sizeof answer,
                  "refused: barcode tickets need firmware level 5 (the unit is at level %" PRId32
                  ")",
                  level_);
  } else if (commands_.barcodeEnabled != 1) {
    std::snprintf(answer, sizeof answer,
                  "refused: barcode tickets are not enabled (BarcodeEnabled %" PRIu32 ")",
                  commands_.barcodeEnabled);
  } else if (barcode_.inEscrow) {
    std::snprintf(answer, sizeof answer, "refused: barcode %s is still waiting in escrow",
                  barcode_.inEscrow->c_str());
  } else {
    barcode_.inEscrow = text;
    ++barcode_.escrowCount;
    StoreStatusText(kEscrowBarcode, kBarcodeFieldSize, text);
    StoreStatus(kBarcodeEscrowCount, barcode_.escrowCount);
    std::snprintf(answer, sizeof answer, "barcode %s in escrow (BarcodeEscrowCount %" PRIu32 ")",
                  text.c_str(), barcode_.escrowCount);
  }
  return answer;
}

// A rise of the accept count stacks the ticket in escrow, a rise of the return count
// hands it back; the counts are noted whether or not a ticket waits.
void BlockServer::DecideBarcode(const Commands& commands) {
  const bool accepted = commands.barcodeAccept != barcode_.acceptSeen;
  const bool returned = commands.barcodeReturn != barcode_.returnSeen;
  barcode_.acceptSeen = commands.barcodeAccept;
  barcode_.returnSeen = commands.barcodeReturn;
  if (!barcode_.inEscrow || !(accepted || returned)) return;
  if (accepted) {
    barcode_.stacked = *barcode_.inEscrow;
    ++barcode_.stackedCount;
    StoreStatusText(kStackedBarcode, kBarcodeFieldSize, barcode_.stacked);
    StoreStatus(kBarcodeStackedCount, barcode_.stackedCount);
  }
  barcode_.inEscrow.reset();
}

// Ready from level 5 while neither printing nor held busy; the word is written only
// when it changes.
void BlockServer::RunPrinter(std::int64_t now) {
  if (printer_.printing && now >= printer_.printingUntil) printer_.printing = false;
  const std::uint32_t status =
      level_ >= kEscrowLevel && !printer_.held && !printer_.printing ? kPrinterReady : 0;
  if (status == printer_.status) return;
  printer_.status = status;
  StoreStatus(kPrinterStatus, status);
}

std::string BlockServer::HoldPrinter(bool held) {
  printer_.held = held;
  RunPrinter(clock_.Counter());
  char answer[96];
  std::snprintf(answer, sizeof answer, "%s: PrinterStatus %" PRIu32,
                held ? "printer held busy" : "printer no longer held busy", printer_.status);
  return answer;
}

// A piece is taken only while the printer is ready (else -1: not taken, and the
// host sends it again). The first piece after a complete ticket starts the next, as
// does a piece that opens a ticket: one abandoned half-way (its host gone) is
// dropped rather than printed ahead of the next. The piece holding the text's zero
// completes it, and what follows the zero is ignored. Answered with 1 byte: 1 taken,
// 2 the ticket is complete and printing.
std::int32_t BlockServer::AnswerTicketPiece(const Commands& commands, std::uint8_t* reply) {
  if ((printer_.status & kPrinterReady) == 0 || commands.blockLength > kBlockDataSize)
    return kRefused;
  const bool opening =
      commands.blockLength >= kTicketOpeningSize &&
      std::equal(kTicketOpening, kTicketOpening + kTicketOpeningSize, commands.blockData);
  if (!printer_.assembling || opening) {
    printer_.assembling = true;
    printer_.text.clear();
  }
  bool complete = false;
  for (std::uint32_t i = 0; i < commands.blockLength && !complete; ++i) {
    const auto byte = static_cast<char>(commands.blockData[i]);
    if (byte == '\0')
      complete = true;
    else if (printer_.text.size() < kMaxTicketText)
      printer_.text += byte;
  }
  reply[0] = complete ? kTicketComplete : kPieceTaken;
  if (complete) {
    const std::int64_t now = clock_.Counter();
    printer_.assembling = false;
    printer_.last = std::move(printer_.text);
    printer_.text.clear();
    ++printer_.printed;
    printer_.printing = true;
    printer_.printingUntil =
        now + std::int64_t{options_.printMs} * std::max<std::int64_t>(clock_.Frequency(), 1) / 1000;
    RunPrinter(now);
  }
  return 1;
}

}  // namespace sim
