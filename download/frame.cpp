// The download frame: starting a worker, the status a caller polls, the key digits
// and the trace lines.
#include "download/frame.h"

#include <cstdarg>
#include <cstdio>
#include <thread>

#include "platform/thread_name.h"

namespace dfl {
namespace {

constexpr std::uint32_t kLow16 = 0xFFFF;
constexpr KeyDigits kKeyAtLoad = {4, 9, 0, 7, 2, 8};
// The trace line's buffer: 511 characters and the zero.
constexpr std::size_t kTraceBuffer = 512;

// No thread (a system error, or no memory for one) is a start refused, never an
// exception past the busy flag.
bool StartDetached(std::function<void()> body) {
  try {
    std::thread(std::move(body)).detach();
    return true;
  } catch (...) {
    return false;
  }
}

std::int16_t Low16(std::uint32_t value) { return static_cast<std::int16_t>(value & kLow16); }

}  // namespace

Defloader::Defloader(const InterfaceCalls& interfaceCalls, platform::Clock& clockToUse,
                     LineSink& trace, LineSink& output, ThreadStart start, bool threadLines)
    : calls(interfaceCalls),
      clock(clockToUse),
      trace_(trace),
      output_(output),
      start_(start ? std::move(start) : ThreadStart(StartDetached)),
      threadLines_(threadLines) {
  for (std::size_t i = 0; i < key_.size(); ++i) key_[i] = kKeyAtLoad[i];
}

void Defloader::Loaded() {
  state.busy = 0;
  state.result = kResultRunning;
}

std::int16_t Defloader::Start(const char* path, std::uint32_t address, std::uint32_t kind) {
  // One state holds one download: a second worker would write over the first's. The
  // test and the set are one step, so two callers never both get through.
  std::uint32_t idle = 0;
  if (!state.busy.compare_exchange_strong(idle, 1)) return kStartBusy;
  kind &= kLow16;
  address &= kLow16;
  state.kind = kind;
  if (kind == kKindCoins) {
    state.coin.path = path;
    state.coin.address = address;
    state.coin.total = 0;
    state.coin.sent = 0;
    state.coin.stage = kStageAccepted;
  } else if (kind == kKindElite || kind == kKindLumina) {
    state.bill.path = path;
    state.bill.kind = kind;
    state.bill.address = address;
    state.bill.stage = kStageAccepted;
    state.bill.total = 0;
    state.bill.sent = 0;
  } else {
    state.busy = 0;
    return kStartBadKind;
  }
  bool started = false;
  try {
    started = start_([this, kind] { RunWorker(kind); });
  } catch (...) {  // no memory for the worker's closure: no thread either
  }
  if (!started) state.busy = 0;
  return started ? kStartOk : kStartNoThread;
}

void Defloader::RunWorker(std::uint32_t kind) {
  platform::NameCurrentThread("defloader");
  platform::RaiseCurrentThreadPriority();
  if (threadLines_) Trace("Thread Attaching\n");
  fineTiming.emplace(clock);
  if (kind == kKindCoins)
    RunCoinDownload(*this);
  else
    RunBillDownload(*this);
  if (threadLines_) Trace("Thread Detaching\n");
}

std::int16_t Defloader::Status(std::int16_t* stage, std::int16_t* result, std::int16_t* progress,
                               std::int16_t* total) const {
  std::int16_t values[4] = {kStageFinished, kResultUnknownKind, 0, 0};
  std::int16_t busy = 0;
  const std::uint32_t kind = state.kind.load();
  if (kind == kKindCoins || kind == kKindElite || kind == kKindLumina) {
    const StatusSet& set = kind == kKindCoins ? state.coin : state.bill;
    const std::uint32_t sent = set.sent.load();
    values[0] = Low16(set.stage.load());
    values[1] = Low16(static_cast<std::uint32_t>(state.result.load()));
    values[2] = Low16(kind == kKindCoins ? sent / 128 : sent);
    values[3] = Low16(set.total.load());
    busy = Low16(state.busy.load());
  }
  std::int16_t* const out[4] = {stage, result, progress, total};
  for (int i = 0; i < 4; ++i)
    if (out[i] != nullptr) *out[i] = values[i];
  return busy;
}

void Defloader::SetEncryptionSerialNumber(std::uint32_t serial) {
  serial &= 0xFFFFFF;
  Trace("Changing encryption serial number to 0x%06lX (BCD)\n", static_cast<unsigned long>(serial));
  // Digit 0 is the most significant nibble; a nibble above 9 is kept as it is.
  for (std::size_t i = 0; i < key_.size(); ++i)
    key_[i] = static_cast<std::uint8_t>((serial >> (20 - 4 * i)) & 0xF);
}

KeyDigits Defloader::Key() const {
  KeyDigits digits;
  for (std::size_t i = 0; i < digits.size(); ++i) digits[i] = key_[i].load();
  return digits;
}

bool Defloader::Format(char (&text)[kTraceBuffer], const char* format, va_list arguments) {
  // A longer line is cut at the buffer's end; vsnprintf never writes past it.
  return std::vsnprintf(text, sizeof text, format, arguments) >= 0;
}

void Defloader::Trace(const char* format, ...) {
  char text[kTraceBuffer];
  va_list arguments;
  va_start(arguments, format);
  const bool formatted = Format(text, format, arguments);
  va_end(arguments);
  if (formatted) trace_.Line(text);
}

void Defloader::Print(const char* format, ...) {
  char text[kTraceBuffer];
  va_list arguments;
  va_start(arguments, format);
  const bool formatted = Format(text, format, arguments);
  va_end(arguments);
  if (formatted) output_.Line(text);
}

DownloadFile OpenDownloadFile(Defloader& library, StatusSet& status,
                              void (Defloader::*say)(const char* format, ...)) {
  const char* path = status.path.load();
  library.Trace("Loading %s\n", path != nullptr ? path : "");
  status.stage = kStageLoading;
  library.state.result = kResultRunning;
  std::FILE* file = path != nullptr ? std::fopen(path, "rb") : nullptr;
  if (file == nullptr) {
    (library.*say)("Error opening file\n");
    Finish(library, kResultNoFile);
    return {nullptr, -1};
  }
  status.sent = 0;
  long size = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) {
    size = std::ftell(file);
    std::rewind(file);
  }
  return {file, size};
}

bool OpenInterface(Defloader& library, StatusSet& status) {
  library.Trace("Opening interface...\n");
  status.stage = kStageOpening;
  const int code = library.calls.OpenVODVersion(QMX_VERSION_2);
  if (code != 0) {
    library.Trace("Error opening VOD - code %d\n", code);
    return false;
  }
  library.Trace("Interface open - enabling...\n");
  status.stage = kStageEnabling;
  library.calls.EnableInterface();
  return true;
}

void Pause(Defloader& library, std::uint32_t milliseconds) { library.clock.Sleep(milliseconds); }

void Finish(Defloader& library, std::int32_t result) {
  library.fineTiming.reset();
  library.state.result = result;
  library.state.busy = 0;
}

}  // namespace dfl
