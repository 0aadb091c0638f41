// Flashwright's entry and start-up sequence: command line, the shared block claimed for
// the time we hold the unit, the search, the decision and the programming's verdict.
#include "loader/startup.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <utility>

#include "loader/Main.h"
#include "loader/Programcard.h"
#include "platform/bytes.h"
#include "platform/d2xx.h"
#include "platform/message_box.h"
#include "platform/program_path.h"

namespace loader {

namespace {

constexpr const char* kBanner = "QMX Firmware Reprogramming System\n";
// The restarted unit answers an enquiry within milliseconds.
constexpr std::int64_t kChecksumAnswerWaitMs = 1000;

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
    state.Options.SerialError =
        "No serial number after " + option + ": give /s SERIAL or /s=SERIAL";
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
