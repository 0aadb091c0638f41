// The barcode family. The escrow counts are the unit's (escrow, stacked) and the
// host's (accepted, returned); a ticket waits while the host has decided fewer than
// have arrived. A print is a command text the unit takes one 32-byte piece at a time;
// each BarcodePrintStatus call moves it on by at most one piece.
#include "interface/barcode.h"

#include <cstdio>
#include <cstring>
#include <functional>

#include "interface/details.h"
#include "platform/bytes.h"

namespace qmx {
namespace {

constexpr std::int32_t kBarcodeLevel = 5;
constexpr std::uint32_t kPrintPieceType = 6;
constexpr std::uint32_t kPieceBytes = 32;
constexpr std::uint32_t kSpareBytes = 128;  // the last piece runs past the text's zero
constexpr std::int32_t kReplyMaximum = 128;
constexpr std::size_t kBarcodeDigits = 18;
constexpr std::uint32_t kPrinterReady = 1;

void SetEnabled(LibraryState& library, std::uint32_t value) {
  if (!library.Offers(kBarcodeLevel)) return;
  library.Block.GuardedWrite(
      [&] { library.Block.VerifiedStore(library.CommandField(command::kBarcodeEnabled), value); },
      Settings::kChanged);
}

// `decided` takes escrow count - `other`, so accepted and returned together cover
// every ticket that has reached escrow. A unit whose counts never settle decides
// nothing: no write, and SettingsChangeCount stays.
void Decide(LibraryState& library, std::uint32_t decided, std::uint32_t other) {
  if (!library.Offers(kBarcodeLevel)) return;
  std::uint32_t escrowCount = 0;
  if (!library.Block.ConsistentRead(
          [&] { escrowCount = library.Block.LoadStatus(status::kBarcodeEscrowCount); }))
    return;
  library.Block.GuardedWrite(
      [&] {
        library.Block.VerifiedStore(library.CommandField(decided),
                                    escrowCount - library.Block.LoadCommand(other));
      },
      Settings::kChanged);
}

// The unit's 19-byte barcode text at `field` with `count` read in the same
// ConsistentRead; false (caller's buffer untouched) when the counts never settle.
bool ReadBarcode(const LibraryState& library, std::uint32_t field, char* barcode,
                 const std::function<void()>& alsoRead) {
  char text[QMX_BARCODE_TEXT] = {};
  const SharedBlock& block = library.Block;
  if (!block.ConsistentRead([&] {
        alsoRead();
        block.CopyOut(std::uint64_t{block.StatusArea()} + field, text, sizeof text);
      }))
    return false;
  if (barcode != nullptr) std::memcpy(barcode, text, sizeof text);
  return true;
}

// Up to `limit` characters of `text`, never reading past its zero; false when the
// text is longer.
bool Bounded(const char* text, std::size_t limit, std::size_t* length) {
  std::size_t n = 0;
  while (text[n] != '\0') {
    if (++n > limit) return false;
  }
  *length = n;
  return true;
}

// NN-NNNN-NNNN-NNNN-NNNN from the first 18 characters; a shorter barcode is grouped
// as far as it goes (a dash only between characters present).
std::string Grouped(const char* barcode, std::size_t length) {
  const std::size_t digits = length < kBarcodeDigits ? length : kBarcodeDigits;
  std::string grouped;
  for (std::size_t i = 0; i < digits; ++i) {
    if (i == 2 || i == 6 || i == 10 || i == 14) grouped += '-';
    grouped += barcode[i];
  }
  return grouped;
}

void SendPiece(LibraryState& library) {
  PrintJob& job = library.Print;
  std::uint8_t message[kMessageHeader + kPieceBytes];
  platform::WriteLE32(message, kPrintPieceType);
  platform::WriteLE32(message + 4, kPieceBytes);
  std::memcpy(message + kMessageHeader, job.Text.data() + job.Offset, kPieceBytes);
  WriteInterfaceBlock(library, library.Channel, -1, message, sizeof message);
}

void StartPiece(LibraryState& library) {
  library.Print.PieceSince = library.Clock->Counter();
  SendPiece(library);
}

}  // namespace

bool PrintCommandText(const QmxTicket& ticket, std::string* text) {
  if (ticket.Barcode == nullptr) return false;
  const char* texts[] = {ticket.Text4, ticket.Text5, ticket.Text1, ticket.Text2, ticket.Text3};
  std::size_t barcodeLength = 0;
  if (!Bounded(ticket.Barcode, QMX_TICKET_TEXT_MAX, &barcodeLength)) return false;
  std::size_t lengths[5] = {};
  for (std::size_t i = 0; i < 5; ++i) {
    if (texts[i] != nullptr && !Bounded(texts[i], QMX_TICKET_TEXT_MAX, &lengths[i])) return false;
  }
  char value[16];
  std::snprintf(value, sizeof value, "%ld", static_cast<long>(ticket.TicketValue));
  const std::string grouped = Grouped(ticket.Barcode, barcodeLength);
  std::string out = "^C||^^P|";
  out += value;
  out += "|1|||||";
  out += grouped;
  out += '|';
  out += grouped;
  out += '|';
  for (std::size_t i = 0; i < 5; ++i) {
    if (texts[i] != nullptr) out.append(texts[i], lengths[i]);
    out += '|';
  }
  out.append(ticket.Barcode, barcodeLength);
  out += "|^";
  // The printer takes no more: a longer ticket would be cut short, not refused.
  if (out.size() > QMX_TICKET_MAX) return false;
  *text = std::move(out);
  return true;
}

void BarcodeEnable(LibraryState& library) {
  SetEnabled(library, 1);
}

void BarcodeDisable(LibraryState& library) {
  SetEnabled(library, 0);
}

std::int32_t BarcodeInEscrow(const LibraryState& library, char* barcode) {
  if (!library.Offers(kBarcodeLevel)) return 0;
  const SharedBlock& block = library.Block;
  std::uint32_t escrowCount = 0, accepted = 0, returned = 0;
  if (!ReadBarcode(library, status::kEscrowBarcode, barcode, [&] {
        escrowCount = block.LoadStatus(status::kBarcodeEscrowCount);
        returned = block.LoadCommand(command::kBarcodeReturnCount);
        accepted = block.LoadCommand(command::kBarcodeAcceptCount);
      }))
    return 0;
  // Counts only grow and wrap: compared by their difference.
  return static_cast<std::int32_t>(escrowCount - accepted - returned) > 0 ? 1 : 0;
}

std::int32_t BarcodeStacked(const LibraryState& library, char* barcode) {
  if (!library.Offers(kBarcodeLevel)) return 0;
  std::uint32_t stacked = 0;
  if (!ReadBarcode(library, status::kStackedBarcode, barcode,
                   [&] { stacked = library.Block.LoadStatus(status::kBarcodeStackedCount); }))
    return 0;
  return static_cast<std::int32_t>(stacked);
}

void BarcodeAccept(LibraryState& library) {
  Decide(library, command::kBarcodeAcceptCount, command::kBarcodeReturnCount);
}

void BarcodeReturn(LibraryState& library) {
  Decide(library, command::kBarcodeReturnCount, command::kBarcodeAcceptCount);
}

std::int32_t BarcodePrint(LibraryState& library, const QmxTicket* ticket) {
  // Only the printer's own word says ready: the -5 of a print just dropped has bit 0
  // set as well.
  const std::int32_t status = BarcodePrintStatus(library);
  if (status == kUnitNoAnswer || (status & kPrinterReady) == 0) return 0;
  std::string text;
  if (ticket == nullptr || !PrintCommandText(*ticket, &text)) return 0;
  PrintJob& job = library.Print;
  job.Length = static_cast<std::uint32_t>(text.size());
  job.Text.assign(text.size() + 1 + kSpareBytes, 0);
  std::memcpy(job.Text.data(), text.data(), text.size());
  job.Offset = 0;
  StartPiece(library);
  return 1;
}

std::int32_t BarcodePrintStatus(LibraryState& library) {
  if (!library.Offers(kBarcodeLevel)) return 0;
  PrintJob& job = library.Print;
  if (job.UnderWay()) {
    std::uint8_t reply[kReplyMaximum];
    const std::int32_t result = ReadInterfaceBlock(library, library.Channel, reply, kReplyMaximum);
    const bool taken = result > 0;
    platform::Clock& clock = *library.Clock;
    const std::int64_t waited = clock.Counter() - job.PieceSince;
    if (!taken && waited >= clock.Frequency() * std::int64_t{kUnitAnswerMs} / 1000) {
      // A piece the unit neither took nor refused for so long: the print is dropped
      // and the host told once, so its loop over this call ends.
      job = PrintJob();
      return kUnitNoAnswer;
    }
    if (result == 0) return kPrintSending;
    if (taken) {
      if (job.Offset + kPieceBytes > job.Length) {
        job = PrintJob();
      } else {
        job.Offset += kPieceBytes;
        job.PieceSince = clock.Counter();
      }
    }
    if (job.UnderWay()) {
      SendPiece(library);
      return kPrintSending;
    }
  }
  std::uint32_t printer = 0;
  if (!library.Block.ConsistentRead(
          [&] { printer = library.Block.LoadStatus(status::kPrinterStatus); }))
    return 0;
  return static_cast<std::int32_t>(printer);
}

}  // namespace qmx
