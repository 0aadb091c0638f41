// tarvex-sim's serving logic: the accept loop, one thread per connection, D2XX
// sessions forwarded to the unit, the status and ctl exchanges, and the unit's part
// of the shared block's header.
#include "sim/sim_server.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/bytes.h"
#include "sim/virtual_d2xx/sim_link.h"

namespace sim {
namespace {

namespace d2xx = platform::d2xx;
using link::Op;

constexpr d2xx::Status kInvalidParameter = 6;  // FT_INVALID_PARAMETER

// How often waiting threads look whether the server is stopping.
constexpr int kSliceMs = 100;

// How long a block ctl command waits for the block server's next tick.
constexpr int kAppliedWaitMs = 1000;

// Shared block layout (the unit's side of the header and the driver area).
constexpr std::uint32_t kBlockMagic = 0xAA8D4A8C;
constexpr std::size_t kBlockFormatOffset = 4;
constexpr std::size_t kFirmwareLevelOffset = 8;
constexpr std::size_t kCompileDateOffset = 48;
constexpr std::size_t kCompileTimeOffset = 64;
constexpr std::size_t kTextSize = 16;
constexpr std::size_t kDriverAreaMagicOffset = 0x2000;
constexpr std::size_t kDriverStateOffset = 0x2004;

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
};

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
      if (extra != 1 || (words[1] != "on" && words[1] != "off")) return false;
      command->number = words[1] == "on" ? 1 : 0;
      return true;
    case Kind::kStopMidUpdate: return extra == 0;
    default:  // post-event, driver-state: any 32-bit word
      return extra == 1 && ParseNumber(words[1], &command->number);
  }
}

// A text field of the block, written a word at a time: the readers are other
// processes, and every access to the block is a whole-word one.
void WriteText(std::uint8_t* field, const std::string& text) {
  std::uint8_t bytes[kTextSize] = {};
  std::memcpy(bytes, text.data(), std::min(text.size(), kTextSize - 1));
  for (std::size_t i = 0; i < kTextSize; i += 4)
    platform::StoreSharedWord(field + i, platform::ReadLE32(bytes + i));
}

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

void PrepareBlock(std::uint8_t* block, std::int32_t level) {
  platform::StoreSharedWord(block + kBlockFormatOffset, 1);
  platform::StoreSharedWord(block + kFirmwareLevelOffset, static_cast<std::uint32_t>(level));
  platform::StoreSharedWord(block + kDriverAreaMagicOffset, kBlockMagic);
  platform::StoreSharedWord(block + kDriverStateOffset, 0);
}

void WriteBlockFirmware(std::uint8_t* block, const std::string& date, const std::string& time) {
  WriteText(block + kCompileDateOffset, date);
  WriteText(block + kCompileTimeOffset, time);
}

SimServer::SimServer(UsbUnit& unit, ServerSettings settings) : unit_(unit), settings_(settings) {}

SimServer::~SimServer() {
  Stop();
}

platform::SocketResult SimServer::Start(const std::string& endpoint, std::string* error) {
  platform::SocketResult result = platform::SocketResult::kFailed;
  if (acceptor_.joinable()) {
    if (error != nullptr) *error = "serving already at " + endpoint_;
    return result;
  }
  listener_ = platform::LocalSocket::Listen(endpoint, &result, error);
  if (result != platform::SocketResult::kOk) return result;
  endpoint_ = endpoint;
  stopping_ = false;
  acceptor_ = std::thread([this] { AcceptLoop(); });
  return result;
}

void SimServer::Stop() {
  stopping_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  ReapWorkers(true);
  listener_.Close();
}

void SimServer::ReapWorkers(bool all) {
  std::list<std::unique_ptr<Worker>> finished;
  {
    std::lock_guard<std::mutex> hold(workersLock_);
    for (auto it = workers_.begin(); it != workers_.end();) {
      if (all || (*it)->done.load()) {
        finished.push_back(std::move(*it));
        it = workers_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& worker : finished) worker->thread.join();
}

void SimServer::AcceptLoop() {
  while (!stopping_.load()) {
    platform::SocketResult result = platform::SocketResult::kFailed;
    platform::LocalSocket connection = listener_.Accept(kSliceMs, &result);
    ReapWorkers(false);
    if (result == platform::SocketResult::kFailed) {
      // Out of descriptors, say: wait a little rather than spin.
      std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
      continue;
    }
    if (result != platform::SocketResult::kOk) continue;
    auto worker = std::make_unique<Worker>();
    Worker* raw = worker.get();
    std::lock_guard<std::mutex> hold(workersLock_);
    raw->thread = std::thread([this, raw, socket = std::move(connection)]() mutable {
      Serve(std::move(socket));
      raw->done = true;
    });
    workers_.push_back(std::move(worker));
  }
}

// Waits for the client to close its end first, so the connection's remains stay
// with the client (with TCP the side that closes first keeps the port waiting).
void SimServer::AwaitClientEnd(platform::LocalSocket& socket) {
  std::uint8_t byte;
  for (int waited = 0; waited < link::kAnswerTimeoutMs && !stopping_.load(); waited += kSliceMs) {
    if (socket.ReceiveExact(&byte, 1, kSliceMs) != platform::SocketResult::kTimeout) return;
  }
}

void SimServer::Serve(platform::LocalSocket socket) {
  Op op{};
  std::vector<std::uint8_t> payload;
  // The first request decides what the connection is; a client that sends none in
  // time is dropped.
  platform::SocketResult result = platform::SocketResult::kTimeout;
  for (int waited = 0; result == platform::SocketResult::kTimeout && !stopping_.load() &&
                       waited < link::kAnswerTimeoutMs;
       waited += kSliceMs)
    result = link::ReceiveRequest(socket, kSliceMs, &op, &payload);
  if (result != platform::SocketResult::kOk) return;

  switch (op) {
    case Op::kOpen: ServeSession(socket); return;
    case Op::kStatus: {
      const std::string text = StatusText();
      link::SendAnswer(socket, 0, reinterpret_cast<const std::uint8_t*>(text.data()),
                       static_cast<std::uint32_t>(text.size()));
      break;
    }
    case Op::kControl: {
      // Words, each closed by a zero byte.
      std::vector<std::string> words;
      std::string word;
      for (std::uint8_t byte : payload) {
        if (byte == 0) {
          words.push_back(std::move(word));
          word.clear();
        } else {
          word += static_cast<char>(byte);
        }
      }
      std::string answer;
      const std::uint32_t status = Control(words, &answer);
      link::SendAnswer(socket, status, reinterpret_cast<const std::uint8_t*>(answer.data()),
                       static_cast<std::uint32_t>(answer.size()));
      break;
    }
    default: return;  // not a first request: not one of our clients
  }
  AwaitClientEnd(socket);
}

void SimServer::ServeSession(platform::LocalSocket& socket) {
  const d2xx::Status opened = unit_.Open();
  if (!link::SendAnswer(socket, opened, nullptr, 0) || opened != d2xx::kOk) {
    if (opened == d2xx::kOk)
      unit_.Close();
    else
      AwaitClientEnd(socket);
    return;
  }
  // The unit is this session's until it closes it. A client that goes away
  // without closing (a loader that crashed), or whose close failed, leaves it
  // closed, as the system does with the device handles of a process that ends.
  bool holding = true;
  for (;;) {
    Op op{};
    std::vector<std::uint8_t> payload;
    const platform::SocketResult result = link::ReceiveRequest(socket, kSliceMs, &op, &payload);
    if (result == platform::SocketResult::kTimeout) {
      if (stopping_.load()) break;
      continue;
    }
    if (result != platform::SocketResult::kOk) break;
    if (op == Op::kClose) {
      const d2xx::Status status = unit_.Close();
      holding = status != d2xx::kOk;
      if (link::SendAnswer(socket, status, nullptr, 0)) AwaitClientEnd(socket);
      break;
    }
    if (!AnswerCall(socket, static_cast<std::uint8_t>(op), payload)) break;
  }
  if (holding) unit_.Close();
}

bool SimServer::AnswerCall(platform::LocalSocket& socket, std::uint8_t op,
                           const std::vector<std::uint8_t>& payload) {
  std::vector<std::uint8_t> answer;
  d2xx::Status status = kInvalidParameter;
  switch (static_cast<Op>(op)) {
    case Op::kRead: {
      if (payload.size() != 4) break;
      const std::uint32_t count = std::min(platform::ReadLE32(payload.data()), link::kMaxPayload);
      answer.assign(count, 0);
      std::uint32_t read = 0;
      status = unit_.Read(answer.data(), count, &read);
      answer.resize(status == d2xx::kOk ? std::min(read, count) : 0);
      break;
    }
    case Op::kWrite: {
      std::uint32_t written = 0;
      status = unit_.Write(payload.data(), static_cast<std::uint32_t>(payload.size()), &written);
      if (status == d2xx::kOk) {
        answer.resize(4);
        platform::WriteLE32(answer.data(), written);
      }
      break;
    }
    case Op::kReset: status = unit_.Reset(); break;
    case Op::kQueueStatus: {
      std::uint32_t waiting = 0;
      status = unit_.QueueStatus(&waiting);
      if (status == d2xx::kOk) {
        answer.resize(4);
        platform::WriteLE32(answer.data(), waiting);
      }
      break;
    }
    case Op::kGetStatus: {
      std::uint32_t receive = 0, transmit = 0, event = 0;
      status = unit_.GetStatus(&receive, &transmit, &event);
      if (status == d2xx::kOk) {
        answer.resize(12);
        platform::WriteLE32(answer.data(), receive);
        platform::WriteLE32(answer.data() + 4, transmit);
        platform::WriteLE32(answer.data() + 8, event);
      }
      break;
    }
    case Op::kSetLatency:
      if (payload.size() != 1) break;
      status = unit_.SetLatency(payload[0]);
      break;
    case Op::kEeRead: {
      if (payload.size() != 12) break;
      char manufacturer[link::kManufacturerSize] = {};
      char manufacturerId[link::kManufacturerIdSize] = {};
      char description[link::kDescriptionSize] = {};
      char serial[link::kSerialNumberSize] = {};
      d2xx::ProgramData data;
      data.Signature1 = platform::ReadLE32(payload.data());
      data.Signature2 = platform::ReadLE32(payload.data() + 4);
      data.Version = platform::ReadLE32(payload.data() + 8);
      data.Manufacturer = manufacturer;
      data.ManufacturerId = manufacturerId;
      data.Description = description;
      data.SerialNumber = serial;
      status = unit_.EeRead(&data);
      if (status != d2xx::kOk) break;
      answer.assign(link::kEepromAnswerSize, 0);
      platform::WriteLE32(answer.data(), data.Version);
      platform::WriteLE16(answer.data() + 4, data.VendorId);
      platform::WriteLE16(answer.data() + 6, data.ProductId);
      std::size_t at = 8;
      // Each text as far as its zero, and never past its own buffer.
      for (auto [text, size] :
           {std::pair<const char*, std::uint32_t>{manufacturer, sizeof manufacturer},
            {manufacturerId, sizeof manufacturerId},
            {description, sizeof description},
            {serial, sizeof serial}}) {
        const std::size_t length = std::find(text, text + size - 1, '\0') - text;
        std::memcpy(answer.data() + at, text, length);
        at += size;
      }
      break;
    }
    default: return false;  // a request no session makes: the client is not ours
  }
  return link::SendAnswer(socket, status, answer.data(), static_cast<std::uint32_t>(answer.size()));
}

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
                 ? std::to_string(platform::LoadSharedWord(settings_.block + kDriverStateOffset))
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
  return text;
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

}  // namespace sim
