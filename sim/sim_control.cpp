// tarvex-sim's ctl commands: the words parsed (the USB device's faults and plugging,
// and the shared block's changes), and carried out on the unit and its block server,
// each answered with one line.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/sim_server.h"
#include "sim/virtual_d2xx/sim_link.h"

namespace sim {
namespace {

// How long a block ctl command waits for the block server's next tick.
constexpr int kAppliedWaitMs = 1000;

struct CallName {
  const char* name;
  Call call;
};
constexpr CallName kCallNames[] = {
    {"open", Call::Open},
    {"close", Call::Close},
    {"read", Call::Read},
    {"write", Call::Write},
    {"reset", Call::Reset},
    {"queue-status", Call::QueueStatus},
    {"get-status", Call::GetStatus},
    {"latency", Call::Latency},
    {"ee-read", Call::EeRead},
};

const char* NameOf(Call call) {
  for (const CallName& entry : kCallNames)
    if (entry.call == call) return entry.name;
  return "?";
}

// A whole number, decimal or 0x-hexadecimal, that fits 32 bits.
bool ParseNumber(const std::string& text, std::uint32_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
  if (end == text.c_str() || *end != '\0' || parsed > 0xFFFFFFFFull) return false;
  *value = static_cast<std::uint32_t>(parsed);
  return true;
}

// A signed whole number, decimal or 0x-hexadecimal, that fits 32 bits.
bool ParseSigned(const std::string& text, std::int32_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const long long parsed = std::strtoll(text.c_str(), &end, 0);
  if (end == text.c_str() || *end != '\0' || parsed < INT32_MIN || parsed > INT32_MAX) return false;
  *value = static_cast<std::int32_t>(parsed);
  return true;
}

// The block's ctl commands: name, kind, and what their one argument must be.
struct BlockVerb {
  const char* name;
  ControlCommand::Kind kind;
  const char* usage;  // shown when the argument is missing or wrong
};
constexpr BlockVerb kBlockVerbs[] = {
    {"insert-coin", ControlCommand::Kind::kInsertCoin,
     "insert-coin needs a value from 1 (and optionally --acceptor N)"},
    {"insert-note", ControlCommand::Kind::kInsertNote, "insert-note needs a value from 1"},
    {"post-event", ControlCommand::Kind::kPostEvent, "post-event needs the 32-bit event word"},
    {"press-switch", ControlCommand::Kind::kPressSwitch, "press-switch needs a switch, 0 to 63"},
    {"fail-payout", ControlCommand::Kind::kFailPayout,
     "fail-payout needs an error code other than 0 and 1"},
    {"set-level", ControlCommand::Kind::kSetLevel, "set-level needs a level (a 32-bit number)"},
    {"inhibit-open", ControlCommand::Kind::kInhibitOpen, "inhibit-open needs on or off"},
    {"driver-state", ControlCommand::Kind::kDriverState,
     "driver-state needs the state (a 32-bit number)"},
    {"stop-serving-mid-update", ControlCommand::Kind::kStopMidUpdate,
     "stop-serving-mid-update takes no arguments"},
    {"present-barcode", ControlCommand::Kind::kPresentBarcode,
     "present-barcode needs the ticket's text (1 to 19 characters, normally 18 digits)"},
    {"printer-busy", ControlCommand::Kind::kPrinterBusy, "printer-busy needs on or off"},
    {"set-paid-total", ControlCommand::Kind::kSetPaidTotal,
     "set-paid-total needs the total (0 to 4294967295)"},
    {"peripheral", ControlCommand::Kind::kPeripheralFault,
     "peripheral needs ADDRESS (0 to 255) and nak or silent, then optionally --header H "
     "(0 to 255), --nth N (from 1) and --always"},
    {"key-serial", ControlCommand::Kind::kKeySerial,
     "key-serial needs six hexadecimal digits, such as 490728"},
};

// peripheral ADDRESS nak|silent [--header H] [--nth N] [--always]
bool ParsePeripheralFault(const std::vector<std::string>& words, PeripheralFault* fault) {
  std::uint32_t number = 0;
  if (words.size() < 3 || !ParseNumber(words[1], &number) || number > 0xFF) return false;
  fault->address = static_cast<std::uint8_t>(number);
  if (words[2] != "nak" && words[2] != "silent") return false;
  fault->kind = words[2] == "nak" ? FaultKind::kNak : FaultKind::kSilent;
  for (std::size_t i = 3; i < words.size(); ++i) {
    if (words[i] == "--always") {
      fault->always = true;
    } else if (words[i] == "--header" && i + 1 < words.size()) {
      if (!ParseNumber(words[++i], &number) || number > 0xFF) return false;
      fault->header = static_cast<int>(number);
    } else if (words[i] == "--nth" && i + 1 < words.size()) {
      if (!ParseNumber(words[++i], &fault->nth) || fault->nth == 0) return false;
    } else {
      return false;
    }
  }
  return true;
}

// The argument of a block command; false when it does not fit the command.
bool ParseBlockArguments(const std::vector<std::string>& words, ControlCommand* command) {
  const std::size_t extra = words.size() - 1;
  using Kind = ControlCommand::Kind;
  std::int32_t value = 0;
  switch (command->kind) {
    case Kind::kInsertCoin:
      if (extra == 3 && words[2] == "--acceptor") {
        std::uint32_t acceptor = 0;
        if (!ParseNumber(words[3], &acceptor) || acceptor > 0xFFFF) return false;
        command->acceptor = static_cast<int>(acceptor);
      } else if (extra != 1) {
        return false;
      }
      [[fallthrough]];
    case Kind::kInsertNote:
      if (extra < 1 || !ParseSigned(words[1], &value) || value < 1) return false;
      if (command->kind == Kind::kInsertNote && extra != 1) return false;
      command->number = static_cast<std::uint32_t>(value);
      return true;
    case Kind::kSetLevel:
      if (extra != 1 || !ParseSigned(words[1], &value)) return false;
      command->number = static_cast<std::uint32_t>(value);
      return true;
    case Kind::kPressSwitch:
      return extra == 1 && ParseNumber(words[1], &command->number) && command->number < 64;
    case Kind::kFailPayout:
      return extra == 1 && ParseNumber(words[1], &command->number) && command->number > 1;
    case Kind::kInhibitOpen:
    case Kind::kPrinterBusy:
      if (extra != 1 || (words[1] != "on" && words[1] != "off")) return false;
      command->number = words[1] == "on" ? 1 : 0;
      return true;
    case Kind::kPresentBarcode:
      if (extra != 1 || words[1].empty() || words[1].size() > 19) return false;
      command->text = words[1];
      return true;
    case Kind::kStopMidUpdate: return extra == 0;
    case Kind::kPeripheralFault: return ParsePeripheralFault(words, &command->peripheralFault);
    case Kind::kKeySerial: return extra == 1 && ParseKeyDigits(words[1], &command->keyDigits);
    default:  // post-event, driver-state, set-paid-total: any 32-bit word
      return extra == 1 && ParseNumber(words[1], &command->number);
  }
}

}  // namespace

bool CallByName(const std::string& name, Call* call) {
  for (const CallName& entry : kCallNames) {
    if (name == entry.name) {
      *call = entry.call;
      return true;
    }
  }
  return false;
}

bool ParseKeyDigits(const std::string& text, std::array<std::uint8_t, 6>* digits) {
  if (text.size() != digits->size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9')
      (*digits)[i] = static_cast<std::uint8_t>(c - '0');
    else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f')
      (*digits)[i] = static_cast<std::uint8_t>((c | 0x20) - 'a' + 10);
    else
      return false;
  }
  return true;
}

std::string KeyDigitsText(const std::array<std::uint8_t, 6>& digits) {
  std::string text;
  for (std::uint8_t digit : digits) text += "0123456789abcdef"[digit & 0x0F];
  return text;
}

bool ParseControl(const std::vector<std::string>& words, ControlCommand* command,
                  std::string* error) {
  if (words.empty()) {
    *error = "no command given";
    return false;
  }
  const std::string& verb = words[0];
  const std::size_t extra = words.size() - 1;
  ControlCommand parsed;
  if (verb == "fail") {
    parsed.kind = ControlCommand::Kind::kFail;
    if (extra < 1 || !CallByName(words[1], &parsed.fault.call)) {
      *error =
          "fail needs a call: open close read write reset queue-status get-status "
          "latency ee-read";
      return false;
    }
    for (std::size_t i = 2; i < words.size(); ++i) {
      const std::string& option = words[i];
      if (option == "--persistent") {
        parsed.fault.persistent = true;
      } else if (option == "--nth" && i + 1 < words.size()) {
        if (!ParseNumber(words[++i], &parsed.fault.nth) || parsed.fault.nth == 0) {
          *error = "--nth needs a whole number from 1, not " + words[i];
          return false;
        }
      } else if (option == "--status" && i + 1 < words.size()) {
        if (!ParseNumber(words[++i], &parsed.fault.status) || parsed.fault.status == 0) {
          *error = "--status needs a non-zero status, not " + words[i];
          return false;
        }
      } else {
        *error = "fail: unexpected " + option;
        return false;
      }
    }
  } else if (verb == "clear-faults" || verb == "replug" || verb == "quit") {
    parsed.kind = verb == "clear-faults" ? ControlCommand::Kind::kClearFaults
                  : verb == "replug"     ? ControlCommand::Kind::kReplug
                                         : ControlCommand::Kind::kQuit;
    if (extra != 0) {
      *error = verb + " takes no arguments";
      return false;
    }
  } else if (verb == "short-writes") {
    parsed.kind = ControlCommand::Kind::kShortWrites;
    if (extra != 1 || !ParseNumber(words[1], &parsed.number)) {
      *error = "short-writes needs the bytes per write (0: whole writes)";
      return false;
    }
  } else if (verb == "unplug") {
    parsed.kind = ControlCommand::Kind::kUnplug;
    if (extra > 1 || (extra == 1 && !ParseNumber(words[1], &parsed.number))) {
      *error = "unplug takes at most the milliseconds until it plugs in again";
      return false;
    }
  } else {
    const BlockVerb* block = nullptr;
    for (const BlockVerb& candidate : kBlockVerbs)
      if (verb == candidate.name) block = &candidate;
    if (block == nullptr) {
      *error = "unknown command " + verb;
      return false;
    }
    parsed.kind = block->kind;
    if (!ParseBlockArguments(words, &parsed)) {
      *error = block->usage;
      return false;
    }
  }
  *command = parsed;
  return true;
}

std::uint32_t SimServer::Control(const std::vector<std::string>& words, std::string* answer) {
  ControlCommand command;
  if (!ParseControl(words, &command, answer)) return link::kUsageError;
  char text[128];
  switch (command.kind) {
    case ControlCommand::Kind::kFail:
      unit_.InjectFault(command.fault);
      if (command.fault.nth == 1)
        std::snprintf(text, sizeof text, "the next %s call fails with status %" PRIu32 "%s",
                      NameOf(command.fault.call), command.fault.status,
                      command.fault.persistent ? ", and every one after it" : "");
      else
        std::snprintf(text, sizeof text,
                      "%s call %" PRIu32 " from now fails with status %" PRIu32 "%s",
                      NameOf(command.fault.call), command.fault.nth, command.fault.status,
                      command.fault.persistent ? ", and every one after it" : "");
      *answer = text;
      break;
    case ControlCommand::Kind::kClearFaults:
      unit_.ClearFaults();
      // The peripherals' faults too, --always ones included: a unit without a block
      // has no bus.
      if (settings_.blockServer != nullptr) settings_.blockServer->bus().ClearFaults();
      *answer = "faults cleared";
      break;
    case ControlCommand::Kind::kShortWrites:
      unit_.SetShortWrites(command.number);
      if (command.number == 0) {
        *answer = "whole writes";
      } else {
        std::snprintf(text, sizeof text, "writes take at most %" PRIu32 " bytes", command.number);
        *answer = text;
      }
      break;
    case ControlCommand::Kind::kUnplug:
      unit_.Unplug(command.number);
      if (command.number == 0) {
        *answer = "unplugged";
      } else {
        std::snprintf(text, sizeof text, "unplugged for %" PRIu32 " ms", command.number);
        *answer = text;
      }
      break;
    case ControlCommand::Kind::kReplug:
      unit_.Replug();
      *answer = "plugged in";
      break;
    case ControlCommand::Kind::kQuit:
      quit_ = true;
      *answer = "quitting";
      break;
    default: return BlockControl(command, answer);
  }
  return 0;
}

std::uint32_t SimServer::BlockControl(const ControlCommand& command, std::string* answer) {
  BlockServer* server = settings_.blockServer;
  if (server == nullptr) {
    *answer = "the unit has no shared block (--no-block)";
    return link::kUsageError;
  }
  char text[128];
  std::uint64_t ticket = 0;
  const auto value = static_cast<std::int32_t>(command.number);
  switch (command.kind) {
    case ControlCommand::Kind::kInsertCoin:
      ticket = server->InsertCoin(value, command.acceptor, answer);
      break;
    case ControlCommand::Kind::kInsertNote: ticket = server->InsertNote(value, answer); break;
    case ControlCommand::Kind::kPostEvent: ticket = server->PostEvent(command.number); break;
    case ControlCommand::Kind::kPressSwitch:
      ticket = server->PressSwitch(static_cast<int>(command.number), answer);
      break;
    case ControlCommand::Kind::kFailPayout:
      ticket = server->FailPayout(command.number, answer);
      break;
    case ControlCommand::Kind::kSetLevel: ticket = server->SetLevel(value); break;
    case ControlCommand::Kind::kInhibitOpen:
      ticket = server->SetOpenInhibit(command.number != 0);
      break;
    case ControlCommand::Kind::kStopMidUpdate: ticket = server->StopServingMidUpdate(); break;
    case ControlCommand::Kind::kPresentBarcode:
      ticket = server->PresentBarcode(command.text, answer);
      break;
    case ControlCommand::Kind::kPrinterBusy:
      ticket = server->SetPrinterBusy(command.number != 0);
      break;
    case ControlCommand::Kind::kSetPaidTotal: ticket = server->SetPaidTotal(command.number); break;
    case ControlCommand::Kind::kPeripheralFault: return PeripheralControl(command, answer);
    case ControlCommand::Kind::kKeySerial:
      server->bus().SetKeyDigits(command.keyDigits);
      *answer = "key digits " + KeyDigitsText(command.keyDigits);
      return 0;
    case ControlCommand::Kind::kDriverState:
      server->SetDriverState(command.number);
      std::snprintf(text, sizeof text, "DriverState %" PRIu32, command.number);
      *answer = text;
      return 0;
    default: *answer = "not a block command"; return link::kUsageError;
  }
  if (ticket == 0) return link::kUsageError;
  // A block not served now (Flashwright holds the unit, say) takes it later.
  if (!server->AwaitApplied(ticket, kAppliedWaitMs, answer))
    *answer = "queued: the block is not being served now";
  return 0;
}

// The bus takes faults at once: the serving thread meets them with the next message.
std::uint32_t SimServer::PeripheralControl(const ControlCommand& command, std::string* answer) {
  const PeripheralFault& fault = command.peripheralFault;
  char text[160];
  const char* model = nullptr;
  for (const PeripheralHolding& holding : settings_.blockServer->bus().Holdings())
    if (holding.address == fault.address) model = PeripheralModelName(holding.model);
  if (model == nullptr) {
    std::snprintf(text, sizeof text, "no peripheral at address %u", unsigned{fault.address});
    *answer = text;
    return link::kUsageError;
  }
  const std::string which =
      fault.header < 0 ? std::string() : " with header " + std::to_string(fault.header);
  const char* outcome = fault.kind == FaultKind::kNak ? "is NAKed" : "goes unanswered";
  const char* after = fault.always ? ", and every one after it" : "";
  if (fault.nth == 1)
    std::snprintf(text, sizeof text, "%s at %u: the next message%s %s%s", model,
                  unsigned{fault.address}, which.c_str(), outcome, after);
  else
    std::snprintf(text, sizeof text, "%s at %u: message %" PRIu32 " from now%s %s%s", model,
                  unsigned{fault.address}, fault.nth, which.c_str(), outcome, after);
  settings_.blockServer->bus().InjectFault(fault);
  *answer = text;
  return 0;
}

}  // namespace sim
