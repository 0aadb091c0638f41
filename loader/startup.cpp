// Flashwright's entry and start-up sequence: command line, console, the shared block
// claimed for the time we hold the unit, and the one exit path every run ends by.
#include "loader/startup.h"

#include <cstring>
#include <exception>

#include "platform/bytes.h"
#include "platform/console.h"
#include "platform/message_box.h"

namespace loader {

namespace {

constexpr const char* kBanner = "QMX Firmware Reprogramming System\n";

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

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// A serial number selects the unit (and names its block): one cut short would
// select another unit, so an over-long one is refused, not truncated.
void SetSerial(LoaderState& state, const std::string& serial) {
  std::memset(state.SerialOption, 0, sizeof state.SerialOption);
  if (serial.size() >= sizeof state.SerialOption) {
    state.RejectedSerial = serial;
    return;
  }
  state.RejectedSerial.clear();
  std::memcpy(state.SerialOption, serial.data(), serial.size());
}

}  // namespace

LoaderState::LoaderState()
    : Link(*this),
      Clock(&platform::SystemClock()),
      StandardOutput(stdout),
      ShowMessageBox(&platform::ShowNotificationBox) {}

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

std::string MappingName(const char* serial) { return std::string(kMappingName) + serial; }

void ParseCommandLine(LoaderState& state, const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.empty() || arg[0] != '/') {
      state.Check = true;  // "StartupCheck" and any other word count as /c
      continue;
    }
    switch (arg.size() > 1 ? LowerAscii(arg[1]) : '\0') {
      case 'n': state.NoGui = true; break;
      case 'f': state.Force = true; break;
      case 'k': state.ForceKernelUpdate = true; break;
      case 'c': state.Check = true; break;
      case 's':
        if (arg.size() > 2 && arg[2] == '=') {
          SetSerial(state, arg.substr(3));
        } else if (i + 1 < args.size()) {
          SetSerial(state, args[++i]);  // consumed: never examined as an option
        }
        break;
      case '?': ShowHelp(state);
      default: state.Check = true; break;
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
  platform::SharedMemoryError error;
  state.Block =
      platform::SharedMemory::CreateOrOpen(MappingName(state.SerialOption), kBlockSize, &error);
  if (!state.Block.valid()) {
    char text[1200];
    std::snprintf(text, sizeof text, "Error %d <%s> from call to %s", error.code,
                  error.text.c_str(), error.call);
    ReportFatal(state, text);
  }
  std::uint8_t* base = state.Block.data();
  platform::StoreSharedWord(base + block::kDriverAreaMagic, kBlockMagic);
  platform::StoreSharedWord(base + block::kDriverState, block::kDriverStateFlashwright);
  state.BlockClaimed = true;
  state.CompileDate = reinterpret_cast<const char*>(base + block::kCompileDate);
  state.CompileTime = reinterpret_cast<const char*>(base + block::kCompileTime);
}

void StartupRun(LoaderState& state) {
  state.CardFirmwareVersion = -1;
  state.CardKernelVersion = -1;
  state.SetLastMessage("No Tarvex found");
  // The unit search over the USB link comes here; until it exists no unit can
  // answer, which ends the run the way an unanswered search does.
  SetDriverState(state, 0);
  ReportFatal(state, state.LastMessage());
}

int RunFlashwright(LoaderState& state, const std::vector<std::string>& args) {
  try {
    return RunUntilExit([&] {
      ParseCommandLine(state, args);
      if (state.NoGui) {
        AttachConsole(state);
        ConsoleWrite(state, kBanner);
      }
      if (!state.RejectedSerial.empty()) {
        ReportFatal(state, "Serial number <" + state.RejectedSerial +
                               "> is too long: a serial number has at most 11 characters");
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
  std::FILE* out = state.ConsoleStream != nullptr ? state.ConsoleStream : state.StandardOutput;
  std::fputs(text, out);
  std::fflush(out);
}

void ReportFatal(LoaderState& state, const std::string& text) {
  std::string message = text;
  if (state.SerialOption[0] != '\0') {
    message += " (Serial No. ";
    message += state.SerialOption;
    message += ")";
  }
  if (state.NoGui) {
    ConsoleWrite(state, ("Error: " + message + "\n\n").c_str());
  } else {
    state.ShowMessageBox(message.c_str(), "Programming Error");
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

void SetDriverState(LoaderState& state, std::uint32_t value) {
  if (!state.BlockClaimed) return;
  platform::StoreSharedWord(state.Block.data() + block::kDriverState, value);
}

void TraceSink(LoaderState& state, const char* text) {
  state.Link.SendToTraceWindow("%s\n", text);
  state.SetLastMessage(text);
}

}  // namespace loader
