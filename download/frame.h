// Defloader's frame: the one download state, the key digits, the start and status of
// a download on its own worker thread, and the trace. The workers (coins.cpp,
// bills.cpp) and the ccTalk dialogue (cctalk.cpp) reach the unit only through the
// Qmxzelti calls held here.
#pragma once

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>

#include "platform/clock.h"
#include "qmxzelti.h"

namespace dfl {

// The Qmxzelti exports Defloader uses. The library takes them from its import table;
// tests fill them with a simulated unit.
struct InterfaceCalls {
  int(QMX_CALL* OpenVODVersion)(int version);
  void(QMX_CALL* EnableInterface)();
  void(QMX_CALL* DisableInterface)();
  int(QMX_CALL* ReadAcceptorDetails)(int index, void* details);
  void(QMX_CALL* DoRawPort)(const QmxRawPortRequest* request);
  int(QMX_CALL* RawPortResult)(unsigned char* buffer);
};

// Where finished text lines go: the trace window, or the process's standard output.
class LineSink {
 public:
  virtual ~LineSink() = default;
  virtual void Line(const char* text) = 0;
};

// Download kinds.
inline constexpr std::uint32_t kKindCoins = 0;
inline constexpr std::uint32_t kKindElite = 1;
inline constexpr std::uint32_t kKindLumina = 2;

// StartDefinitionDownload's answers.
inline constexpr std::int16_t kStartOk = 0;
inline constexpr std::int16_t kStartNoThread = 1;
inline constexpr std::int16_t kStartBadKind = 2;
inline constexpr std::int16_t kStartBusy = 3;  // ours: two workers would share one state

// Result codes.
inline constexpr std::int32_t kResultDone = 0;
inline constexpr std::int32_t kResultNoFile = 1;
inline constexpr std::int32_t kResultBadFile = 2;
inline constexpr std::int32_t kResultNoInterface = 3;
inline constexpr std::int32_t kResultNoDevice = 4;
inline constexpr std::int32_t kResultNoResponse = 5;
inline constexpr std::int32_t kResultSendFailed = 6;
inline constexpr std::int32_t kResultUnknownKind = 8;
inline constexpr std::int32_t kResultRunning = 9;

// Stages, as each step begins.
enum Stage : std::uint32_t {
  kStageAccepted = 0,
  kStageLoading = 1,
  kStageOpening = 2,
  kStageEnabling = 3,
  kStageSearching = 4,
  kStageRequestingBus = 5,
  kStagePolling = 6,
  kStageErasing = 7,
  kStageBeginning = 8,
  kStageClearUpload = 9,
  kStageTransmitting = 10,
  kStageTransmitted = 11,
  kStageSettling = 12,
  kStageResetting = 13,
  kStageReleasing = 14,
  kStageReleaseWait = 15,
  kStageReturning = 16,
  kStageFinished = 17,
};

// One kind's status. Every value is a naturally aligned 32-bit word (the path a
// pointer) written by the worker alone and read whole by the status call: no lock.
struct StatusSet {
  std::atomic<std::uint32_t> stage{0};
  std::atomic<std::uint32_t> total{0};
  std::atomic<std::uint32_t> sent{0};  // coins: definition bytes; bill tables: blocks
  std::atomic<const char*> path{nullptr};  // the caller's string, not a copy
  std::atomic<std::uint32_t> kind{0};      // bill tables: 1 or 2
  std::atomic<std::uint32_t> address{0};   // 16 bits
};

struct DownloadState {
  std::atomic<std::uint32_t> kind{0};  // of the latest start, whatever its value
  std::atomic<std::int32_t> result{0};
  std::atomic<std::uint32_t> busy{0};
  StatusSet coin, bill;
};

using KeyDigits = std::array<std::uint8_t, 6>;

class Defloader {
 public:
  // Runs a worker on a new thread; false when no thread could be made.
  using ThreadStart = std::function<bool(std::function<void()> body)>;

  // `threadLines`: trace "Thread Attaching"/"Thread Detaching" where the worker
  // starts and ends (POSIX: nothing else tells the library of its threads).
  Defloader(const InterfaceCalls& calls, platform::Clock& clock, LineSink& trace,
            LineSink& output, ThreadStart start = {}, bool threadLines = false);
  Defloader(const Defloader&) = delete;
  Defloader& operator=(const Defloader&) = delete;

  // The exports.
  std::int16_t Start(const char* path, std::uint32_t address, std::uint32_t kind);
  std::int16_t Status(std::int16_t* stage, std::int16_t* result, std::int16_t* progress,
                      std::int16_t* total) const;
  void SetEncryptionSerialNumber(std::uint32_t serial);

  // Process attach: nothing runs, nothing has finished.
  void Loaded();

  // One trace line, printf-style, cut to 511 characters; and one line on standard
  // output.
#if defined(__GNUC__)
  __attribute__((format(printf, 2, 3)))
#endif
  void Trace(const char* format, ...);
#if defined(__GNUC__)
  __attribute__((format(printf, 2, 3)))
#endif
  void Print(const char* format, ...);

  // The key digits now; a change may land between two calls.
  KeyDigits Key() const;

  DownloadState state;
  const InterfaceCalls calls;
  platform::Clock& clock;
  // A download's waits are short pauses on the unit: a fine system timer is held
  // from the worker's start to its end (Finish gives it back before busy clears).
  std::optional<platform::FineTiming> fineTiming;

 private:
  void RunWorker(std::uint32_t kind);
  // Formats one line into the buffer; false when the format fails.
  static bool Format(char (&text)[512], const char* format, va_list arguments);

  LineSink& trace_;
  LineSink& output_;
  ThreadStart start_;
  bool threadLines_;
  std::array<std::atomic<std::uint8_t>, 6> key_;
};

// The workers: one download each, from its first stage to busy 0.
void RunCoinDownload(Defloader& library);
void RunBillDownload(Defloader& library);
// What each worker does once its file is read: the file's checks, then every step on
// the bus. `file` holds what was read (`size` bytes).
void DownloadCoinFile(Defloader& library, const std::uint8_t* file, std::size_t size);
void DownloadBillTable(Defloader& library, const std::uint8_t* file, std::size_t size);

// The steps both workers share. First the file: its path traced, stage 1, the result
// running, the file opened, nothing sent yet. Null when it cannot be opened: then
// "Error opening file" went out through `say` (the trace or standard output, as the
// kind has it) and the download finished with kResultNoFile.
struct DownloadFile {
  std::FILE* file;
  long size;  // as the system reports it; -1 when it cannot tell (a pipe)
};
DownloadFile OpenDownloadFile(Defloader& library, StatusSet& status,
                              void (Defloader::*say)(const char* format, ...));
// Then the interface: open and enable it (stages 2 and 3); false when the open failed
// (traced; the result is the caller's).
bool OpenInterface(Defloader& library, StatusSet& status);
// Sleep on the library's clock.
void Pause(Defloader& library, std::uint32_t milliseconds);
// A download's end: its result, then busy 0 as the very last act.
void Finish(Defloader& library, std::int32_t result);

// The process's one instance (exports.cpp).
Defloader& ProcessDefloader();

}  // namespace dfl
