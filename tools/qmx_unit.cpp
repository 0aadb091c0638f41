// qmx's commands for the unit's housekeeping (counters, meter, E2Prom, device key,
// driver state), barcode tickets and the consistency check.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/qmx.h"

namespace qmx_tool {
namespace {

using Clock = std::chrono::steady_clock;

bool ParseCounter(const std::string& text, int* counter) {
  return ParseInt(text, counter) && *counter >= 1 && *counter <= QMX_COUNTERS;
}

int Counters(const Context& context, const Args& args) {
  std::vector<int> numbers;
  for (const std::string& arg : args) {
    int n = 0;
    if (!ParseCounter(arg, &n)) return UsageFault("no counter %s (counters are 1 to 32)", arg.c_str());
    numbers.push_back(n);
  }
  if (context.dryRun) return 0;
  if (!Offered(context, 3, "counters")) return kFailed;
  const bool all = numbers.empty();
  if (all)
    for (int n = 1; n <= QMX_COUNTERS; ++n) numbers.push_back(n);
  int shown = 0;
  for (int n : numbers) {
    const int value = context.api->CounterRead(n);
    const std::string caption = context.api->ReadCounterCaption(n);
    if (all && value == 0 && caption.empty()) continue;
    std::printf("counter %d: %d \"%s\"\n", n, value, caption.c_str());
    ++shown;
  }
  if (shown == 0) std::printf("no counter has a value or caption\n");
  return 0;
}

int Counter(const Context& context, const Args& args) {
  int n = 0, amount = 0;
  if (args.size() != 3) return UsageFault("counter takes N add AMOUNT, or N caption TEXT");
  if (!ParseCounter(args[0], &n))
    return UsageFault("no counter %s (counters are 1 to 32)", args[0].c_str());
  const bool add = args[1] == "add";
  if (!add && args[1] != "caption")
    return UsageFault("counter %d: '%s' is neither add nor caption", n, args[1].c_str());
  if (add && !ParseInt(args[2], &amount))
    return UsageFault("counter %d add: '%s' is not a number", n, args[2].c_str());
  if (!add && args[2].size() > QMX_CAPTION_SIZE)
    return UsageFault("a caption holds at most 12 characters; '%s' has %zu", args[2].c_str(),
                      args[2].size());
  if (context.dryRun) return 0;
  if (!Offered(context, 3, "counters")) return kFailed;
  if (add) {
    context.api->CounterIncrement(n, amount);
  } else {
    char caption[QMX_CAPTION_SIZE] = {};
    std::memcpy(caption, args[2].data(), args[2].size());
    context.api->CounterCaption(n, caption);
  }
  std::printf("counter %d: %d \"%s\"\n", n, context.api->CounterRead(n),
              context.api->ReadCounterCaption(n));
  return 0;
}

int CounterDisplay(const Context& context, const Args& args) {
  int code = 0;
  if (args.size() != 1 || !ParseInt(args[0], &code))
    return UsageFault("counter-display takes one number, the display code");
  if (context.dryRun) return 0;
  if (!Offered(context, 3, "counters")) return kFailed;
  context.api->CounterDisplay(code);
  std::printf("counter-display: %d\n", code);
  return 0;
}

int Meter(const Context& context, const Args& args) {
  if (!args.empty()) return UsageFault("meter takes no arguments");
  if (context.dryRun) return 0;
  std::printf("meter-status: %d\n", context.api->MeterStatus());
  std::printf("meter-serial: %d\n", context.api->MeterSerialNo());
  return 0;
}

// Hex digits, optionally separated by spaces, into bytes.
bool ParseHex(const std::string& text, std::vector<unsigned char>* bytes) {
  std::string digits;
  for (char c : text)
    if (c != ' ' && c != ':') digits += c;
  if (digits.empty() || digits.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    unsigned value = 0;
    if (std::sscanf(digits.c_str() + i, "%2x", &value) != 1 ||
        std::strchr("0123456789abcdefABCDEF", digits[i]) == nullptr ||
        std::strchr("0123456789abcdefABCDEF", digits[i + 1]) == nullptr)
      return false;
    bytes->push_back(static_cast<unsigned char>(value));
  }
  return true;
}

int ExchangeResult(const char* what, int result) {
  if (result > 0) {
    std::printf("%s: the unit answered (%d bytes)\n", what, result);
    return 0;
  }
  const char* why = result == QMX_UNIT_NO_ANSWER   ? "the unit did not answer in time"
                    : result == QMX_BLOCK_NOT_OPEN ? "the interface is not open"
                                                   : "the message was not sent";
  std::printf("%s failed: %d (%s)\n", what, result, why);
  return kFailed;
}

int E2Prom(const Context& context, const Args& args) {
  if (args.empty()) return UsageFault("e2prom takes dump, write OFFSET HEX, or reset [0|1]");
  const std::string& what = args[0];
  int offset = 0, flag = 1;
  std::vector<unsigned char> bytes;
  if (what == "dump") {
    if (args.size() != 1) return UsageFault("e2prom dump takes no more arguments");
  } else if (what == "write") {
    if (args.size() != 3) return UsageFault("e2prom write takes OFFSET and HEX bytes");
    if (!ParseInt(args[1], &offset) || offset < 0 || offset >= QMX_E2PROM_SIZE)
      return UsageFault("e2prom write: offset '%s' is not 0 to 255", args[1].c_str());
    if (!ParseHex(args[2], &bytes))
      return UsageFault("e2prom write: '%s' is not hex bytes", args[2].c_str());
    if (offset + bytes.size() > QMX_E2PROM_SIZE)
      return UsageFault("e2prom write: %zu bytes from %d run past the image's 256", bytes.size(),
                        offset);
  } else if (what == "reset") {
    if (args.size() > 2 || (args.size() == 2 && (!ParseInt(args[1], &flag) || flag < 0 || flag > 1)))
      return UsageFault("e2prom reset takes 0 or 1");
  } else {
    return UsageFault("e2prom: '%s' is none of dump, write, reset", what.c_str());
  }
  if (context.dryRun) return 0;
  if (!Offered(context, 4, "the E2Prom image")) return kFailed;
  if (what == "reset") return ExchangeResult("e2prom reset", context.api->E2PromReset(flag));
  unsigned char image[QMX_E2PROM_SIZE] = {};
  context.api->E2PromRead(image, QMX_E2PROM_SIZE);
  if (what == "write") {
    // E2PromWrite writes from the image's start: the bytes before the offset go as they are.
    std::memcpy(image + offset, bytes.data(), bytes.size());
    context.api->E2PromWrite(image, offset + static_cast<int>(bytes.size()));
    context.api->E2PromRead(image, QMX_E2PROM_SIZE);
  }
  for (int row = 0; row < 8; ++row) {
    std::printf("row %d:", row);
    for (int i = 0; i < 32; ++i) std::printf(" %02x", image[row * 32 + i]);
    std::printf("\n");
  }
  return 0;
}

int DeviceKey(const Context& context, const Args& args) {
  int key = 0;
  if (args.size() != 1 || !ParseInt(args[0], &key))
    return UsageFault("device-key takes one number, the key");
  if (context.dryRun) return 0;
  return ExchangeResult("device-key", context.api->SetDeviceKey(0, 0, key));
}

int DriverStatus(const Context& context, const Args& args) {
  if (!args.empty()) return UsageFault("driver-status takes no arguments");
  if (context.dryRun) return 0;
  const int state = context.api->USBDriverStatus();
  const char* meaning = state == -1  ? "no driver mapping (no unit, or a PCI card)"
                        : state == 0 ? "running"
                        : state == 1 ? "not ready"
                        : state == 2 ? "the unit is being reprogrammed"
                        : state == 4 ? "the driver was asked to end"
                        : state == 5 ? "no unit connected"
                                     : "busy";
  std::printf("driver-state: %d (%s)\n", state, meaning);
  return 0;
}

int Barcode(const Context& context, const Args& args) {
  static const char* const kVerbs[] = {"enable", "disable", "escrow", "stacked", "accept", "return"};
  bool known = false;
  for (const char* verb : kVerbs) known |= args.size() == 1 && args[0] == verb;
  if (!known) return UsageFault("barcode takes one of enable, disable, escrow, stacked, accept, return");
  if (context.dryRun) return 0;
  if (!Offered(context, 5, "barcode tickets")) return kFailed;
  const Api& api = *context.api;
  const std::string& what = args[0];
  if (what == "enable") api.BarcodeEnable();
  if (what == "disable") api.BarcodeDisable();
  if (what == "accept") api.BarcodeAccept();
  if (what == "return") api.BarcodeReturn();
  char text[QMX_BARCODE_TEXT + 1] = {};
  const int waiting = api.BarcodeInEscrow(text);
  std::printf("in-escrow: %s\n", waiting ? text : "none");
  std::memset(text, 0, sizeof text);
  const int stacked = api.BarcodeStacked(text);
  std::printf("stacked: %d%s%s\n", stacked, stacked ? ", last " : "", stacked ? text : "");
  return 0;
}

int Print(const Context& context, Args args) {
  int timeout = 30, value = 0;
  if (!TakeOption(&args, "--timeout", &timeout)) return kUsageError;
  if (args.size() < 2 || args.size() > 7)
    return UsageFault("print takes VALUE BARCODE and up to five texts");
  if (!ParseInt(args[0], &value)) return UsageFault("print: value '%s' is not a number", args[0].c_str());
  for (const std::string& text : args) {
    if (text.size() > QMX_TICKET_TEXT_MAX)
      return UsageFault("print: a text holds at most %d characters", QMX_TICKET_TEXT_MAX);
  }
  if (context.dryRun) return 0;
  if (!Offered(context, 5, "ticket printing")) return kFailed;
  const Api& api = *context.api;
  const char* texts[5] = {};
  for (std::size_t i = 2; i < args.size(); ++i) texts[i - 2] = args[i].c_str();
  const QmxTicket ticket{value, args[1].c_str(), texts[0], texts[1], texts[2], texts[3], texts[4]};
  if (api.BarcodePrint(&ticket) == 0) {
    const int status = api.BarcodePrintStatus();
    // With the printer ready, only the ticket itself is left to refuse.
    if (status != QMX_PRINT_SENDING && status != QMX_UNIT_NO_ANSWER && (status & 1) != 0) {
      std::printf("print refused: the ticket is longer than the printer takes (%d characters "
                  "in all)\n", QMX_TICKET_MAX);
      return kFailed;
    }
    std::printf("print refused: %s (printer status %d)\n",
                status == QMX_PRINT_SENDING ? "a print is under way" : "the printer is not ready",
                status);
    return kFailed;
  }
  std::printf("printing\n");
  std::fflush(stdout);
  const auto deadline = Clock::now() + std::chrono::seconds(timeout);
  int status = QMX_PRINT_SENDING, calls = 0;
  while ((status = api.BarcodePrintStatus()) == QMX_PRINT_SENDING) {
    ++calls;
    if (Clock::now() >= deadline) {
      std::printf("print not sent after %d s\n", timeout);
      return kFailed;
    }
    Pause(2);
  }
  if (status == QMX_UNIT_NO_ANSWER) {
    std::printf("print failed: the unit did not take the ticket\n");
    return kFailed;
  }
  std::printf("print sent (%d status calls); printer status %d (%s)\n", calls, status,
              (status & 1) != 0 ? "ready" : "printing or not ready");
  return 0;
}

int Consistency(const Context& context, Args args) {
  int coinMs = 100, noteMs = 1000, interval = 1000, count = 0;
  if (!TakeOption(&args, "--coin-ms", &coinMs) || !TakeOption(&args, "--note-ms", &noteMs) ||
      !TakeOption(&args, "--interval", &interval) || !TakeOption(&args, "--count", &count))
    return kUsageError;
  if (!args.empty()) return UsageFault("consistency: unexpected '%s'", args[0].c_str());
  if (coinMs == 0 || noteMs == 0) return UsageFault("consistency: times are at least 1 ms");
  if (context.dryRun) return 0;
  // The first call only takes the snapshot the next compares with.
  context.api->ZELTIConsistencyError(coinMs, noteMs);
  int faults = 0;
  for (int round = 1; (count == 0 || round <= count) && !Interrupted(); ++round) {
    Pause(interval);
    if (Interrupted()) break;
    const char* text = context.api->ZELTIConsistencyError(coinMs, noteMs);
    std::printf("check %d: %s\n", round, text == nullptr ? "consistent" : text);
    std::fflush(stdout);
    faults += text != nullptr;
  }
  return faults == 0 ? 0 : kFailed;
}

}  // namespace

// A feature the unit's firmware level does not offer: the library would do nothing
// without a word, so say so.
bool Offered(const Context& context, int level, const char* what) {
  if (context.level < 0 || context.level >= level) return true;
  std::fprintf(stderr, "qmx: %s need firmware level %d; the unit has level %d\n", what, level,
               context.level);
  return false;
}

int RunUnitCommand(const Context& context, const std::string& command, Args args) {
  if (command == "counters") return Counters(context, args);
  if (command == "counter") return Counter(context, args);
  if (command == "counter-display") return CounterDisplay(context, args);
  if (command == "meter") return Meter(context, args);
  if (command == "e2prom") return E2Prom(context, args);
  if (command == "device-key") return DeviceKey(context, args);
  if (command == "driver-status") return DriverStatus(context, args);
  if (command == "barcode") return Barcode(context, args);
  if (command == "print") return Print(context, std::move(args));
  if (command == "consistency") return Consistency(context, std::move(args));
  return -1;
}

}  // namespace qmx_tool
