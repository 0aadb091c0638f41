// Flashwright's console side: the help, the console run's lines and progress marks,
// and the one exit path every run ends by.
#include <algorithm>
#include <cstdio>
#include <string>

#include "loader/Programcard.h"
#include "loader/startup.h"
#include "platform/console.h"

namespace loader {

namespace {

// Comes before the warning, which starts a line of its own.
constexpr const char* kKernelAdvice =
    "\nThe unit's kernel fails its check and was kept: run again with /k to rewrite it";

constexpr const char* kHelpLines[] = {
    "QMX Firmware Reprogramming System\n",
    "  /n   NoGui:  Reprogram without starting the windows interface\n",
    "  /f   Force:  Force the download of the program regardless of what's\n",
    "               already programmed\n",
    "  /k   Kernel: Force the download of the Kernel - not recommended as\n",
    "               Kernel update is automatic\n",
    "  /c   Check:  Update if different. If versions match then exit.\n",
    "\n",
    "  Other parameters treated as /c \n",
    "\n",
};

// Texts in the block or the image are 16-byte fields: never read past them.

void WriteVersionLine(LoaderState& state, const char* label, int release, int major, int minor,
                      int build) {
  char line[128];
  ConsoleWrite(state, label);
  ConsoleWrite(state, ReleaseTypeName(release));
  std::snprintf(line, sizeof line, "  %d.%d.%d\n", major, minor, build);
  ConsoleWrite(state, line);
}

void WriteCompiledOn(LoaderState& state, const std::string& date, const std::string& time) {
  char line[128];
  std::snprintf(line, sizeof line, "        Compiled on %s at %s\n", date.c_str(), time.c_str());
  ConsoleWrite(state, line);
}

// Programs the unit with the worker and shows its progress. Returns false when the
// reprogramming did not end with a healthy unit.
bool ProgramInConsole(LoaderState& state) {
  // Decided as the worker decides it, before the worker starts.
  const bool kernelKept = StartAddress(state) != 0;
  ProgramCard worker(state);
  ConsoleWrite(state, "Programming...");
  ProgressMarks marks;
  std::int32_t seen = 0;
  while (worker.Running) {
    // Woken by the worker's progress: no core burnt, and no time of the clock
    // spent on the console's side.
    worker.WaitForProgress(seen);
    seen = worker.BlocksProgrammed;
    // Blocks may have gone faster than the console woke: catch up at once.
    while (marks.Due(worker.TotalBlocks, seen)) ConsoleWrite(state, "X");
  }
  bool healthy = true;
  const ProgrammingVerdict verdict = JudgeProgramming(state, worker, kernelKept);
  const std::int32_t status = verdict.status;
  if (verdict.timedOut) {
    // The last line a technician reads must not say the job is done.
    ConsoleWrite(state, ("\nWarning: " + state.LastMessage()).c_str());
    ConsoleWrite(state, "\nProgramming did not complete\n");
    return false;
  }
  if (status != unit_status::kHealthy) {
    char text[160];
    if (verdict.kernelAdvice) ConsoleWrite(state, kKernelAdvice);
    if (status & unit_status::kChecksumFailure) {
      std::snprintf(text, sizeof text,
                    "\nWarning: The reprogramming has failed!!\n"
                    "The unit is returning a checksum failure status");
    } else {
      std::snprintf(text, sizeof text,
                    "\nWarning: The unit is returning\n  a self test error code of %x",
                    static_cast<unsigned>(status));
    }
    ConsoleWrite(state, text);
    healthy = false;
  }
  ConsoleWrite(state, "\nProgramming complete\n");
  return healthy;
}

}  // namespace

void ShowHelp(LoaderState& state) {
  AttachConsole(state);
  for (const char* line : kHelpLines) ConsoleWrite(state, line);
  ExitLoader(state, 0);
}

void AttachConsole(LoaderState& state) {
  if (state.ConsoleStream != nullptr) return;
  state.ConsoleStream = platform::AttachParentConsole();
  if (state.ConsoleStream == nullptr) return;
  // The shell printed its prompt before starting us: blank it out so our lines
  // start at the left margin. ExitLoader prints the prompt again at the end.
  std::string erase = "\r";
  erase.append(platform::CurrentDirectory().size() + 1, ' ');
  erase += '\r';
  std::fputs(erase.c_str(), state.ConsoleStream);
}

[[noreturn]] void ConsoleRun(LoaderState& state) {
  const std::int32_t loaded = state.Unit.CardFirmwareVersion;
  WriteVersionLine(state, "Loaded Firmware: ", WordByte(loaded, 24), WordByte(loaded, 16),
                   WordByte(loaded, 8), WordByte(loaded, 0));
  const std::string date = BlockText(state.CompileDate), time = BlockText(state.CompileTime);
  if (!date.empty() && !time.empty()) WriteCompiledOn(state, date, time);

  int code = 0;
  if (state.Options.Force || state.UpdateRequired) {
    const VersionRecord image = *state.Image.Version();
    WriteVersionLine(state, "New Firmware:    ", image.version[0], image.version[1],
                     image.version[2], image.version[3]);
    WriteCompiledOn(state, image.compileDate, image.compileTime);
    if (!state.UpdateRequired) ConsoleWrite(state, "Re-programming only because of /Force flag\n");
    // A reprogramming that did not end with a healthy unit must not look like
    // success to a script.
    if (!ProgramInConsole(state)) code = kExitWarning;
  } else {
    ConsoleWrite(state, "Card firmware is up to date\n");
  }
  ExitLoader(state, code);
}

bool ProgressMarks::Due(std::int32_t totalBlocks, std::int32_t blocksProgrammed) {
  if (blocksProgrammed <= threshold_) return false;
  // Fewer than 32 blocks would make the step 0: one mark per block then.
  threshold_ += std::max<std::int32_t>(totalBlocks / 32, 1);
  return true;
}

void ConsoleWrite(LoaderState& state, const char* text) {
  std::FILE* out =
      state.ConsoleStream != nullptr ? state.ConsoleStream : state.Services().StandardOutput;
  std::fputs(text, out);
  std::fflush(out);
}

void ReportFatal(LoaderState& state, const std::string& text) {
  std::string message = text;
  if (state.Options.SerialOption[0] != '\0') {
    message += " (Serial No. ";
    message += state.Options.SerialOption;
    message += ")";
  }
  if (state.Options.NoGui) {
    ConsoleWrite(state, ("Error: " + message + "\n\n").c_str());
  } else if (state.StartupView) {
    state.StartupView->ShowBox(message, "Programming Error",
                               forms::kBoxOk | forms::kBoxServiceNotification);
  } else {
    state.Services().ShowMessageBox(message.c_str(), "Programming Error");
  }
  ExitLoader(state, 1);
}

void ExitLoader(LoaderState& state, int code) {
  if (state.ConsoleStream != nullptr) {
    std::fprintf(state.ConsoleStream, "%s>", platform::CurrentDirectory().c_str());
    std::fflush(state.ConsoleStream);
  }
  if (state.BlockClaimed) {
    state.Link.CloseUnit();
    SetDriverState(state, 0);
  }
  throw LoaderExit(code);
}

}  // namespace loader
