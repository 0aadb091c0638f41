// Flashwright's entry and start-up sequence: command line, console, the shared block
// claimed for the time we hold the unit, and the one exit path every run ends by.
#include "loader/startup.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <utility>

#include "loader/Main.h"
#include "loader/Programcard.h"
#include "platform/bytes.h"
#include "platform/console.h"
#include "platform/d2xx.h"
#include "platform/message_box.h"
#include "platform/program_path.h"

namespace loader {

namespace {

constexpr const char* kBanner = "QMX Firmware Reprogramming System\n";
// The restarted unit answers an enquiry within milliseconds.
constexpr std::int64_t kChecksumAnswerWaitMs = 1000;
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

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// A serial number selects the unit (and names its block): one cut short would
// select another unit, so an over-long one is refused, not truncated. Without one
// the first unit found would be programmed, perhaps not the one the technician
// meant: refused too.
void SetSerial(LoaderState& state, const std::string& option, const std::string& serial) {
  std::memset(state.Options.SerialOption, 0, sizeof state.Options.SerialOption);
  if (serial.empty()) {
    state.Options.SerialError = "No serial number after " + option + ": give /s SERIAL or /s=SERIAL";
    return;
  }
  if (serial.size() >= sizeof state.Options.SerialOption) {
    state.Options.SerialError =
        "Serial number <" + serial + "> is too long: a serial number has at most 11 characters";
    return;
  }
  state.Options.SerialError.clear();
  std::memcpy(state.Options.SerialOption, serial.data(), serial.size());
}

}  // namespace

LoaderState::LoaderState(LoaderServices services)
    : services_(std::move(services)),
      Link(*services_.Clock, [this](const char* line) { TraceSink(*this, line); }) {
  Link.SetRecordHandler(
      [this](std::uint16_t code, std::uint32_t value) { DispatchRecord(*this, code, value); });
}

LoaderState::~LoaderState() {
  SetDriverState(*this, 0);
}

bool LoaderState::BindLink(std::string* error) {
  if (services_.D2xx != nullptr) {
    Link.SetApi(services_.D2xx);
    return true;
  }
  if (!d2xxBound_) {
    if (!platform::d2xx::Bind(&d2xx_, error)) return false;
    d2xxBound_ = true;
  }
  Link.SetApi(&d2xx_);
  return true;
}

void ReadEnvironment(LoaderState& state) {
  if (const char* text = std::getenv(kPollPauseVariable)) SetPollPause(state, text);
}

void SetPollPause(LoaderState& state, const char* text) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value > static_cast<long>(kMaxPollPauseMs)) {
    state.Link.TraceLine("%s=%.40s ignored: give 1 to %u milliseconds", kPollPauseVariable, text,
                         static_cast<unsigned>(kMaxPollPauseMs));
    return;
  }
  state.Options.PollPauseMs = static_cast<std::uint32_t>(value);
}

std::string LoaderState::LastMessage() const {
  std::lock_guard<std::mutex> guard(lastMessageLock_);
  return lastMessage_;
}

void LoaderState::SetLastMessage(const std::string& text) {
  std::lock_guard<std::mutex> guard(lastMessageLock_);
  lastMessage_ = text;
}

std::string LoaderState::TakeLastMessage() {
  std::lock_guard<std::mutex> guard(lastMessageLock_);
  std::string text;
  text.swap(lastMessage_);
  return text;
}

std::string MappingName(const char* serial) {
  return std::string(kMappingName) + serial;
}

void ParseCommandLine(LoaderState& state, const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.empty() || arg[0] != '/') {
      state.Options.Check = true;  // "StartupCheck" and any other word count as /c
      continue;
    }
    switch (arg.size() > 1 ? LowerAscii(arg[1]) : '\0') {
      case 'n': state.Options.NoGui = true; break;
      case 'f': state.Options.Force = true; break;
      case 'k': state.Options.ForceKernelUpdate = true; break;
      case 'c': state.Options.Check = true; break;
      case 's':
        if (arg.size() > 2 && arg[2] == '=') {
          SetSerial(state, arg, arg.substr(3));
        } else if (i + 1 < args.size()) {
          SetSerial(state, arg, args[++i]);  // consumed: never examined as an option
        } else {
          SetSerial(state, arg, "");
        }
        break;
      case '?': ShowHelp(state);
      default: state.Options.Check = true; break;
    }
  }
}

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

void ClaimSharedBlock(LoaderState& state) {
  std::string error;
  if (!TryClaimSharedBlock(state, &error)) ReportFatal(state, error);
}

bool TryClaimSharedBlock(LoaderState& state, std::string* failure) {
  platform::SharedMemoryError error;
  state.Block = platform::SharedMemory::CreateOrOpen(MappingName(state.Options.SerialOption),
                                                     kBlockSize, &error);
  if (!state.Block.valid()) {
    char text[1200];
    std::snprintf(text, sizeof text, "Error %d <%s> from call to %s", error.code,
                  error.text.c_str(), error.call);
    *failure = text;
    return false;
  }
  std::uint8_t* base = state.Block.data();
  {
    std::lock_guard<std::mutex> hold(state.DriverStateLock);
    // An end request came first: the process is about to go, so take nothing it
    // could not give back.
    if (state.EndRequested) return true;
    platform::StoreSharedWord(base + block::kDriverAreaMagic, kBlockMagic);
    platform::StoreSharedWord(base + block::kDriverState, block::kDriverStateFlashwright);
    state.BlockClaimed = true;
    // Without the mark this run clears DriverState at its end as before.
    state.LoaderMark =
        platform::PresenceMark::Take(MappingName(state.Options.SerialOption), nullptr);
  }
  state.CompileDate = reinterpret_cast<const char*>(base + block::kCompileDate);
  state.CompileTime = reinterpret_cast<const char*>(base + block::kCompileTime);
  return true;
}

namespace {

// Binds the D2XX library unless a test has filled the table already. A missing
// library or entry point would otherwise leave the technician with nothing to act on.
void BindLink(LoaderState& state) {
  std::string error;
  if (!state.BindLink(&error)) ReportFatal(state, error);
}

void SendEnquiryBurst(LoaderState& state) {
  state.Link.QueueRecord(kFillerCode, kFillerValue);
  for (std::uint32_t enquiry :
       {command::kEnquireIdentity, command::kEnquireApplicationChecksum, command::kEnquireStatus,
        command::kEnquireKernelVersion, command::kEnquireFirmwareVersion}) {
    state.Link.QueueRecord(link_code::kExtendedCommand, enquiry);
  }
  state.Link.FlushRecords();
}

}  // namespace

bool SearchForUnit(LoaderState& state) {
  platform::Clock& clock = state.Clock();
  const std::int64_t frequency = clock.Frequency();
  const std::int64_t deadline = clock.Counter() + 5 * frequency;
  std::int64_t nextEnquiry = clock.Counter();
  state.SetLastMessage("No Tarvex found");
  for (;;) {
    const std::int64_t now = clock.Counter();
    if (now >= deadline) return false;
    if (!state.Link.IsOpen()) {
      if (state.Options.SerialOption[0] != '\0') {
        state.Link.OpenUnitBySerial(state.Options.SerialOption);
      } else {
        state.Link.OpenFirstUnit();
      }
    }
    if (state.Link.IsOpen()) {
      for (int i = 0; i < 100; ++i) state.Link.PollUnit();
    }
    if (state.Unit.CardFirmwareVersion != -1) return true;
    if (state.Link.IsOpen() && now >= nextEnquiry) {
      // A burst every half second: ten chances within the search.
      nextEnquiry = now + frequency / 2;
      SendEnquiryBurst(state);
    }
    clock.Sleep(1);
  }
}

namespace {

// Ends the run without the unit: link closed and the block released first.
[[noreturn]] void Abandon(LoaderState& state, const std::string& text) {
  state.Link.CloseUnit();
  SetDriverState(state, 0);
  ReportFatal(state, text);
}

// Loads the image appended to the program file and checks it.
void LoadOwnImage(LoaderState& state) {
  const AppendedImageResult loaded =
      LoadAppendedImage(state.Services().OwnProgramPath.c_str(), state.Image);
  switch (loaded.status) {
    case AppendedImageStatus::CannotOpen: Abandon(state, "Can't re-open own file");
    case AppendedImageStatus::Invalid: Abandon(state, loaded.error);
    case AppendedImageStatus::NoImage: return;
    case AppendedImageStatus::Loaded: break;
  }
  if (loaded.offset == kApplicationBlockAddress) {
    // The check writes its notes to standard output, not through ConsoleWrite.
    if (const char* problem = state.Image.CheckImage(state.Services().StandardOutput)) {
      Abandon(state, problem);
    }
  }
}

}  // namespace

bool ImageMatchesUnit(const LoaderState& state) {
  const std::uint8_t* record = state.Image.ImageBuffer.data() + *state.Image.ApplicationBlock;
  const std::int32_t version = state.Unit.CardFirmwareVersion;
  const std::uint8_t* v = record + checksum_block::kVersion;
  return v[0] == WordByte(version, 24) && v[1] == WordByte(version, 16) &&
         v[2] == WordByte(version, 8) && v[3] == WordByte(version, 0) &&
         platform::ReadBE32(record + checksum_block::kChecksum) ==
             static_cast<std::uint32_t>(state.Unit.CardApplicationChecksum.load()) &&
         state.Unit.CardStatus == unit_status::kHealthy;
}

namespace {

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

}  // namespace

bool UnitRunsTheImagesApplication(LoaderState& state) {
  const std::uint32_t expected = platform::ReadBE32(
      state.Image.ImageBuffer.data() + *state.Image.ApplicationBlock + checksum_block::kChecksum);
  state.Unit.CardApplicationChecksum = static_cast<std::int32_t>(~expected);
  platform::Clock& clock = state.Clock();
  const std::int64_t start = clock.Counter();
  std::int64_t asked = 0;
  for (;;) {
    const std::int64_t waited = (clock.Counter() - start) * 1000 / clock.Frequency();
    if (waited >= kChecksumAnswerWaitMs) return false;
    if (waited >= asked * kEnquiryPeriodMs) {
      state.Link.QueueRecord(kFillerCode, kFillerValue);
      state.Link.QueueRecord(link_code::kExtendedCommand, command::kEnquireApplicationChecksum);
      state.Link.FlushRecords();
      ++asked;
    }
    clock.Sleep(state.Options.PollPauseMs);
    state.Link.PollUnit();
    if (static_cast<std::uint32_t>(state.Unit.CardApplicationChecksum.load()) == expected) {
      return true;
    }
  }
}

ProgrammingVerdict JudgeProgramming(LoaderState& state, const ProgramCard& worker,
                                    bool kernelKept) {
  ProgrammingVerdict verdict;
  verdict.timedOut = worker.TimedOut;
  verdict.status = state.Unit.CardStatus;
  if (verdict.timedOut) return verdict;
  // What fails is then the kernel this run kept (a kernel update cut short leaves it
  // so): only a kernel rewrite mends it; a plain run would fail the same way.
  verdict.kernelAdvice = (verdict.status & unit_status::kChecksumFailure) != 0 && kernelKept &&
                         verdict.status != unit_status::kHealthy &&
                         UnitRunsTheImagesApplication(state);
  return verdict;
}

namespace {

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

}  // namespace

bool ProgressMarks::Due(std::int32_t totalBlocks, std::int32_t blocksProgrammed) {
  if (blocksProgrammed <= threshold_) return false;
  // Fewer than 32 blocks would make the step 0: one mark per block then.
  threshold_ += std::max<std::int32_t>(totalBlocks / 32, 1);
  return true;
}

void StartupRun(LoaderState& state) {
  BindLink(state);
  state.Unit.CardFirmwareVersion = -1;
  state.Unit.CardKernelVersion = -1;
  if (!SearchForUnit(state)) {
    // Names the last thing the link traced, or that nothing answered.
    SetDriverState(state, 0);
    ReportFatal(state, state.LastMessage());
  }
  if (state.Unit.CardApplicationChecksum == kCannotReprogram) {
    ReportFatal(state, "Tarvex Lite cannot be re-programmed");
  }
  LoadOwnImage(state);

  if (!state.Image.ApplicationBlock) {
    state.UpdateRequired = false;
    state.AutoExit = false;
    if (state.Options.NoGui) ReportFatal(state, "No Image in file!");
  } else if (ImageMatchesUnit(state)) {
    if (state.Options.Check) {
      state.Link.CloseUnit();
      SetDriverState(state, 0);
      if (state.Options.NoGui) ConsoleWrite(state, "Images match\n");
      ExitLoader(state, 0);
    }
    state.UpdateRequired = false;
    state.AutoExit =
        state.Image.ImageBuffer[*state.Image.ApplicationBlock + checksum_block::kVersion] >= 3;
  } else {
    state.UpdateRequired = true;
    state.AutoExit = true;
  }

  if (state.Options.NoGui) ConsoleRun(state);
  state.UpdateRequired = state.UpdateRequired || state.Options.Force;
  RunWindowMode(state);
}

int RunFlashwright(LoaderState& state, const std::vector<std::string>& args) {
  try {
    return RunUntilExit([&] {
      ParseCommandLine(state, args);
      ReadEnvironment(state);
      if (state.Options.NoGui) {
        AttachConsole(state);
        ConsoleWrite(state, kBanner);
      }
      if (!state.Options.SerialError.empty()) ReportFatal(state, state.Options.SerialError);
      if (!state.Options.NoGui && state.Services().CreateView != nullptr) {
        // The display is asked before the unit is taken: a toolkit that cannot
        // start may end the process on the spot.
        std::string error;
        state.StartupView = state.Services().CreateView(&error);
        if (!state.StartupView) {
          ReportFatal(state, error.empty() ? std::string("No window can be shown: use /n") : error);
        }
      }
      ClaimSharedBlock(state);
      StartupRun(state);
      ExitLoader(state, 0);
    });
  } catch (const std::exception& failure) {
    // Still leave through the exit path, so the block is released.
    return RunUntilExit(
        [&] { ReportFatal(state, std::string("Internal error: ") + failure.what()); });
  }
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

namespace {

void SetDriverStateLocked(LoaderState& state, std::uint32_t value) {
  if (!state.BlockClaimed) return;
  if (value == 0) {
    // Letting go first: of two loaders ending together, the later sees no other.
    if (state.LoaderMark.held()) {
      state.LoaderMark.Release();
      state.BlockLeftToOtherLoader =
          platform::PresenceMark::AnyHeld(MappingName(state.Options.SerialOption));
    }
    if (state.BlockLeftToOtherLoader) return;  // that one clears it when it ends
  }
  platform::StoreSharedWord(state.Block.data() + block::kDriverState, value);
}

}  // namespace

void SetDriverState(LoaderState& state, std::uint32_t value) {
  std::lock_guard<std::mutex> hold(state.DriverStateLock);
  SetDriverStateLocked(state, value);
}

void HandBackUnit(LoaderState& state) {
  std::lock_guard<std::mutex> hold(state.DriverStateLock);
  state.EndRequested = true;
  SetDriverStateLocked(state, 0);
}

std::string BlockText(const char* text) {
  return text != nullptr ? std::string(text, strnlen(text, block::kTextSize)) : std::string();
}

void TraceSink(LoaderState& state, const char* text) {
  if (state.TraceTag.empty()) {
    state.Link.SendToTraceWindow("%s\n", text);
  } else {
    state.Link.SendToTraceWindow("%s: %s\n", state.TraceTag.c_str(), text);
  }
  state.SetLastMessage(text);
}

}  // namespace loader
