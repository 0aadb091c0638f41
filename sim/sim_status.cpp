// tarvex-sim status: the unit's state as "key: value" lines, first the USB device
// and its firmware, then the unit's side of the shared block as it last wrote it and
// the hosts' words it reads, then the ccTalk peripherals behind its raw port.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/bytes.h"
#include "sim/block_layout.h"
#include "sim/sim_server.h"

namespace sim {
namespace {

void AppendLine(std::string* text, const char* key, const std::string& value) {
  *text += key;
  *text += ": ";
  *text += value;
  *text += '\n';
}

std::string Hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
  return text;
}

std::string KernelText(std::int32_t kernel) {
  if (kernel == -1) return "none";
  const auto word = static_cast<std::uint32_t>(kernel);
  char text[24];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", static_cast<unsigned>(word >> 24),
                static_cast<unsigned>((word >> 16) & 0xFF),
                static_cast<unsigned>((word >> 8) & 0xFF), static_cast<unsigned>(word & 0xFF));
  return text;
}

const char* YesNo(bool value) {
  return value ? "yes" : "no";
}

// A text from the block or a host as one status value: control characters (and
// anything outside ASCII) as \xNN, the rest as it is.
std::string Shown(const std::string& text) {
  std::string shown;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(byte));
      shown += escape;
    } else {
      shown += c;
    }
  }
  return shown;
}

// Items "n=value" of the list, separated by spaces; "-" when there are none.
std::string Items(const std::string& items) {
  return items.empty() ? "-" : items;
}

void AddItem(std::string* items, const std::string& item) {
  if (!items->empty()) *items += ' ';
  *items += item;
}

// The unit's counters, captions and E2Prom rows as compact status values: counters
// that are not 0, captions that are not empty, rows that are not erased (in hex).
void AppendHousekeeping(std::string* text, const BlockServer::Report& block) {
  std::string counters, captions, rows;
  for (std::size_t n = 0; n < block.counters.size(); ++n) {
    if (block.counters[n] != 0)
      AddItem(&counters, std::to_string(n + 1) + "=" + std::to_string(block.counters[n]));
    if (!block.captions[n].empty())
      AddItem(&captions, std::to_string(n + 1) + "=\"" + Shown(block.captions[n]) + "\"");
  }
  for (std::size_t row = 0; row < block.e2prom.size() / 32; ++row) {
    std::string hex;
    bool erased = true;
    for (std::size_t i = 32 * row; i < 32 * row + 32; ++i) {
      char digits[4];
      std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned>(block.e2prom[i]));
      hex += digits;
      erased = erased && block.e2prom[i] == 0xFF;
    }
    if (!erased) AddItem(&rows, std::to_string(row) + ":" + hex);
  }
  AppendLine(text, "counters", Items(counters));
  AppendLine(text, "counter-captions", Items(captions));
  AppendLine(text, "counter-display", std::to_string(block.counterDisplayCode));
  AppendLine(text, "meter-status", std::to_string(block.meterStatus));
  AppendLine(text, "meter-serial", std::to_string(block.meterSerial));
  AppendLine(text, "e2prom-row-writes", std::to_string(block.e2promRowWrites));
  AppendLine(text, "e2prom", Items(rows));
  AppendLine(text, "device-key", block.deviceKey ? Hex32(*block.deviceKey) : "none");
}

void AppendTickets(std::string* text, const BlockServer::Report& block) {
  AppendLine(text, "barcode-enabled", std::to_string(block.barcodeEnabled));
  AppendLine(text, "barcode-in-escrow", Items(block.escrowBarcode));
  AppendLine(text, "barcode-escrow-count", std::to_string(block.barcodeEscrowCount));
  AppendLine(text, "barcode-stacked-count", std::to_string(block.barcodeStackedCount));
  AppendLine(text, "stacked-barcode", Items(block.stackedBarcode));
  AppendLine(text, "printer-status", std::to_string(block.printerStatus));
  AppendLine(text, "printer",
             block.level < 5     ? "absent"
             : block.printerHeld ? "held busy"
             : block.printing    ? "printing"
                                 : "ready");
  AppendLine(text, "tickets-printed", std::to_string(block.ticketsPrinted));
  AppendLine(text, "last-ticket", block.ticketsPrinted == 0 ? "-" : Shown(block.lastTicket));
}

// The bus's key and timing and the unit's pace, then one line per peripheral: model,
// what it holds (size and POSIX cksum, so a script compares it with `cksum FILE`) and
// its counts.
void AppendPeripherals(std::string* text, BlockServer& server, std::uint32_t usbFrameMs) {
  CcTalkBus& bus = server.bus();
  AppendLine(text, "cctalk-key", KeyDigitsText(bus.KeyDigits()));
  AppendLine(text, "cctalk-reply-ms", std::to_string(bus.ReplyMs()));
  AppendLine(text, "cctalk-baud", std::to_string(bus.Baud()));
  AppendLine(text, "raw-answer-ms", std::to_string(server.rawAnswerMs()));
  AppendLine(text, "usb-frame-ms", std::to_string(usbFrameMs));
  for (const PeripheralHolding& holding : bus.Holdings()) {
    const bool notes =
        holding.model == PeripheralModel::kElite || holding.model == PeripheralModel::kLumina;
    char line[192];
    std::snprintf(line, sizeof line,
                  "%s size %lu cksum %" PRIu32 " messages %" PRIu32 " rejected %" PRIu32
                  " naks %" PRIu32 " resets %" PRIu32 "%s",
                  PeripheralModelName(holding.model),
                  static_cast<unsigned long>(holding.content.size()), PosixCksum(holding.content),
                  holding.messages, holding.rejected, holding.naks, holding.resets,
                  !notes                    ? ""
                  : holding.upgradeFinished ? " finished yes"
                                            : " finished no");
    AppendLine(text, ("peripheral-" + std::to_string(holding.address)).c_str(), line);
  }
}

}  // namespace

std::string SimServer::StatusText() {
  const UsbUnit::Report report = unit_.Status();
  std::string text;
  AppendLine(&text, "firmware", report.firmware);
  AppendLine(&text, "checksum", Hex32(report.checksum));
  AppendLine(&text, "status", std::to_string(report.status));
  AppendLine(&text, "kernel", KernelText(report.kernel));
  AppendLine(&text, "serial", report.serial);
  BlockServer::Report block;
  if (settings_.blockServer != nullptr) block = settings_.blockServer->Status();
  const bool served = settings_.blockServer != nullptr;
  AppendLine(&text, "level", std::to_string(served ? block.level : settings_.level));
  AppendLine(&text, "driver-state",
             settings_.block != nullptr
                 ? std::to_string(platform::LoadSharedWord(settings_.block + layout::kDriverState))
                 : std::string("none"));
  AppendLine(&text, "programmed-blocks", std::to_string(report.programmedBlocks));
  AppendLine(&text, "plugged", YesNo(report.plugged));
  AppendLine(&text, "open", YesNo(report.open));
  AppendLine(&text, "programming", YesNo(report.programming));
  AppendLine(&text, "restarting", YesNo(report.restarting));
  AppendLine(&text, "kernel-handshakes", std::to_string(report.kernelHandshakes));
  AppendLine(&text, "compile-date", report.compileDate);
  AppendLine(&text, "compile-time", report.compileTime);
  AppendLine(&text, "endpoint", endpoint_);
  // The unit's side of the block as it last wrote it, and the hosts' words; after
  // the older lines, so that a reader looking for "open: " meets the unit's first.
  const auto blockLine = [&](const char* key, std::int64_t value) {
    AppendLine(&text, key, served ? std::to_string(value) : std::string("none"));
  };
  AppendLine(&text, "serving",
             !served      ? "none"
             : block.dead ? "stopped mid-update"
                          : YesNo(block.serving));
  blockLine("current-value", block.currentValue);
  blockLine("paid-total", block.paidTotal);
  blockLine("pay-status", block.payStatus);
  blockLine("available-value", block.availableValue);
  blockLine("interface-enabled", block.interfaceEnabled);
  blockLine("host-open", block.hostOpen);
  blockLine("attach-count", block.attachCount);
  std::string slots;
  for (int n = 0; n < 64; ++n)
    if ((block.indicatorSlots >> n) & 1) {
      if (!slots.empty()) slots += ' ';
      slots += std::to_string(n);
    }
  AppendLine(&text, "indicator-slots", !served ? "none" : slots.empty() ? "-" : slots);
  blockLine("value-needed", block.valueNeeded);
  blockLine("escrow-enabled", block.escrowEnabled);
  if (served) {
    AppendHousekeeping(&text, block);
    AppendTickets(&text, block);
    AppendPeripherals(&text, *settings_.blockServer, unit_.options().usbFrameMs);
  } else {
    for (const char* key :
         {"counters", "counter-captions", "counter-display", "meter-status", "meter-serial",
          "e2prom-row-writes", "e2prom", "device-key", "barcode-enabled", "barcode-in-escrow",
          "barcode-escrow-count", "barcode-stacked-count", "stacked-barcode", "printer-status",
          "printer", "tickets-printed", "last-ticket", "cctalk-key", "cctalk-reply-ms",
          "cctalk-baud", "raw-answer-ms"})
      AppendLine(&text, key, "none");
    // The USB device's pace is the unit's, block or none.
    AppendLine(&text, "usb-frame-ms", std::to_string(unit_.options().usbFrameMs));
  }
  return text;
}

}  // namespace sim
