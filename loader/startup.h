// Flashwright's entry: the process-wide LoaderState, the command line, the start-up
// sequence, and the services every loader module uses (ConsoleWrite, ReportFatal,
// ExitLoader, TraceSink).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "interface/block_layout.h"
#include "loader/forms/ui.h"
#include "loader/image.h"
#include "loader/usblink.h"
#include "platform/clock.h"
#include "platform/d2xx.h"
#include "platform/message_box.h"
#include "platform/name_claim.h"
#include "platform/program_path.h"
#include "platform/shared_memory.h"

namespace loader {

using tarvex::block_layout::kMappingName;
inline constexpr std::size_t kBlockSize = tarvex::block_layout::kMappingSize;
inline constexpr std::size_t kSerialOptionSize = 12;  // 11 characters and the zero

// Exit code of a console run whose reprogramming ended without a healthy unit.
inline constexpr int kExitWarning = 2;
// The application checksum a unit reports when it cannot be reprogrammed.
inline constexpr std::int32_t kCannotReprogram = -2;
// The worker looks for the unit's answers this often: the unit sets the pace. The
// environment can slow it down to the unit's original pace, one look per 100 ms.
inline constexpr std::uint32_t kPollPauseMs = 2;
inline constexpr std::uint32_t kMaxPollPauseMs = 100;
inline constexpr char kPollPauseVariable[] = "FLASHWRIGHT_POLL_MS";

// Where Flashwright reads and writes in the shared interface block.
namespace block {
using tarvex::block_layout::kDriverStateFlashwright;
using tarvex::block_layout::header::kCompileDate;
using tarvex::block_layout::header::kCompileTime;
using tarvex::block_layout::header::kDriverAreaMagic;
using tarvex::block_layout::header::kDriverState;
using tarvex::block_layout::header::kTextSize;
}  // namespace block

// ExitLoader "never returns": it unwinds to the entry point with this, so the whole
// start-up run can be driven in-process and main() is the one place the process ends.
// Only RunFlashwright and RunUntilExit catch it.
class LoaderExit {
 public:
  explicit LoaderExit(int code) : code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

// What the command line (and the environment) asked for.
struct LoaderOptions {
  bool NoGui = false;
  bool Force = false;
  bool Check = false;
  bool ForceKernelUpdate = false;
  char SerialOption[kSerialOptionSize] = {};
  // Why the serial number asked for cannot be used (too long for SerialOption, or
  // "/s" with nothing after it); refused once the console is attached.
  std::string SerialError;
  // How long the worker pauses between looks for the unit's answers.
  std::uint32_t PollPauseMs = kPollPauseMs;
};

// What the unit reported: written by the record dispatch (on whichever thread
// polls the link), read by the main thread.
struct UnitAnswers {
  std::atomic<std::int32_t> CardFirmwareVersion{-1};
  std::atomic<std::int32_t> CardApplicationChecksum{0};
  std::atomic<std::int32_t> CardStatus{0};
  std::atomic<std::int32_t> CardKernelVersion{-1};
  // The unit acknowledged a block (event 202): set by the dispatch, cleared by the
  // worker. The count lets the worker tell a duplicate acknowledgement apart.
  std::atomic<bool> BlockAcknowledged{false};
  std::atomic<std::uint32_t> Acknowledgements{0};
};

// The outside world as the loader reaches it; tests hand in their own.
struct LoaderServices {
  platform::Clock* Clock = &platform::SystemClock();
  std::FILE* StandardOutput = stdout;  // where ConsoleWrite goes when no console is attached
  std::string OwnProgramPath = platform::OwnProgramPath();  // whose appended image is loaded
  void (*ShowMessageBox)(const char* text, const char* caption) = &platform::ShowNotificationBox;
  // A D2XX table to use as it is; null: bind the library when the search starts.
  const platform::d2xx::Api* D2xx = nullptr;
  // The window toolkit the window mode runs on; the program sets it, tests bring a
  // fake. Null: no window can be shown.
  forms::ViewFactory CreateView = nullptr;
};

class LoaderState {
 private:
  LoaderServices services_;  // first: the link below is built on its clock

 public:
  explicit LoaderState(LoaderServices services = {});
  // Hands the unit back if no exit path did: a toolkit may end the process with
  // exit() (its display gone), which runs this and nothing of ours.
  ~LoaderState();
  LoaderState(const LoaderState&) = delete;
  LoaderState& operator=(const LoaderState&) = delete;

  const LoaderServices& Services() const { return services_; }
  platform::Clock& Clock() const { return *services_.Clock; }

  LoaderOptions Options;

  std::FILE* ConsoleStream = nullptr;  // the parent console, when attached

  // The shared interface block while Flashwright holds it.
  platform::SharedMemory Block;
  // Guards DriverState, the claim and the mark against an end request, which hands
  // the unit back from a thread of its own while the main thread may be ending too.
  std::mutex DriverStateLock;
  bool EndRequested = false;  // under the lock: nothing may be claimed any more
  bool BlockClaimed = false;
  // Held with the block: a second Flashwright on the same unit (which fails, the
  // device being taken) must not clear DriverState under the one still programming.
  platform::PresenceMark LoaderMark;
  bool BlockLeftToOtherLoader = false;
  const char* CompileDate = nullptr;  // into the block, at most 16 characters
  const char* CompileTime = nullptr;

  FirmwareImage Image;
  UnitAnswers Unit;

  // The start-up decision.
  bool UpdateRequired = false;
  bool AutoExit = false;

  UsbLink Link;
  // Put before each line the trace window gets, where several units trace to one
  // window (the bench station names each line's unit); empty for Flashwright.
  std::string TraceTag;

  // Window mode: the toolkit's view, made before the unit is taken so that a
  // display that does not answer costs nothing, and start-up failures show in it.
  std::unique_ptr<forms::View> StartupView;

  // Binds the D2XX library for the link unless the services brought a table.
  // False with the reason when the library or an entry point is missing.
  bool BindLink(std::string* error);

  // The most recent trace line.
  std::string LastMessage() const;
  void SetLastMessage(const std::string& text);
  std::string TakeLastMessage();  // read and clear

 private:
  platform::d2xx::Api d2xx_{};
  bool d2xxBound_ = false;
  mutable std::mutex lastMessageLock_;
  std::string lastMessage_;
};

// FLASHWRIGHT_POLL_MS, when set, overrides the worker's pause between looks
// (1 to 100 ms; 100 is the unit's original pace). Anything else is ignored with a
// trace line.
void ReadEnvironment(LoaderState& state);
void SetPollPause(LoaderState& state, const char* text);

// The whole program: start-up sequence to the end. Returns the exit code.
int RunFlashwright(LoaderState& state, const std::vector<std::string>& args);

// Runs `step` and returns the code ExitLoader ended it with, or -1 when it returned.
template <typename Step>
int RunUntilExit(Step&& step) {
  try {
    step();
  } catch (const LoaderExit& exit) {
    return exit.code();
  }
  return -1;
}

// Start-up sequence steps, in the order RunFlashwright takes them.
void ParseCommandLine(LoaderState& state, const std::vector<std::string>& args);
void AttachConsole(LoaderState& state);
void ClaimSharedBlock(LoaderState& state);
void StartupRun(LoaderState& state);

// Steps a run on one unit takes, for whichever program runs them.

// ClaimSharedBlock without the exit: false with the system's error text.
bool TryClaimSharedBlock(LoaderState& state, std::string* error);
// Searches for the unit (Options.SerialOption, else the first) for up to 5 seconds,
// until it has told its firmware version. False: LastMessage() says why.
bool SearchForUnit(LoaderState& state);
// The unit runs the loaded image's application, version and checksum, and is healthy.
bool ImageMatchesUnit(const LoaderState& state);
// Asks the restarted unit for its application checksum: the image's own means the
// application is sound. Bounded: a unit that does not answer gets no advice.
bool UnitRunsTheImagesApplication(LoaderState& state);

class ProgramCard;
// How a programming run ended, once its worker has stopped running.
struct ProgrammingVerdict {
  bool timedOut = false;  // a wait ran out: LastMessage() says which
  std::int32_t status = 0;
  // The unit fails its checksum yet runs the image's application: the kernel the run
  // kept is what fails, and only a kernel rewrite mends it.
  bool kernelAdvice = false;
};
ProgrammingVerdict JudgeProgramming(LoaderState& state, const ProgramCard& worker, bool kernelKept);

// The console run's progress marks: about 32 for a whole run, never more than one
// per block programmed; one mark at most per look.
class ProgressMarks {
 public:
  bool Due(std::int32_t totalBlocks, std::int32_t blocksProgrammed);

 private:
  std::int32_t threshold_ = 0;
};

// The console run (/n) once the unit is found and the image judged: the versions, the
// reprogramming with its marks when one is due; ends with the run's exit code.
[[noreturn]] void ConsoleRun(LoaderState& state);

// The help text for "/?": attaches the console, writes it, ends with 0.
[[noreturn]] void ShowHelp(LoaderState& state);

// Services (ConsoleWrite, ReportFatal and ExitLoader are in startup_console.cpp).
void ConsoleWrite(LoaderState& state, const char* text);
[[noreturn]] void ReportFatal(LoaderState& state, const std::string& text);
[[noreturn]] void ExitLoader(LoaderState& state, int code);
void TraceSink(LoaderState& state, const char* text);

// Bits shift+7..shift of a word the unit reported (versions are four such bytes).
inline std::uint8_t WordByte(std::int32_t word, int shift) {
  return static_cast<std::uint8_t>(static_cast<std::uint32_t>(word) >> shift);
}

// A compile text of the shared block (CompileDate, CompileTime): at most 16
// characters, empty when the block is not held.
std::string BlockText(const char* text);

// Writes `value` into DriverState when the block is claimed.
void SetDriverState(LoaderState& state, std::uint32_t value);

// The process is asked to end from outside (a terminal closing, a kill, Ctrl-C):
// hands the unit back as the exit path would, from any thread, and keeps a claim
// that has not happened yet from happening. The worker may still be talking to the
// unit, so the link is left to the system, which closes it with the process.
void HandBackUnit(LoaderState& state);

// The name of the shared block for a serial number ("" for the first unit).
std::string MappingName(const char* serial);

}  // namespace loader
