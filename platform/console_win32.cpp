// Console, Win32 backend: a window program started from a command prompt has no
// usable standard output; it borrows the parent's console through AttachConsole.
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <vector>

#include "platform/console.h"

namespace platform {
namespace {

using AttachConsoleFn = BOOL(WINAPI*)(DWORD);

// AttachConsole is absent from the oldest systems we may meet, so it is looked up
// at run time, once.
AttachConsoleFn LookUpAttachConsole() {
  static const AttachConsoleFn attach = []() -> AttachConsoleFn {
    HMODULE kernel = LoadLibraryA("Kernel32.dll");
    if (kernel == nullptr) return nullptr;
    return reinterpret_cast<AttachConsoleFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "AttachConsole")));
  }();
  return attach;
}

}  // namespace

std::FILE* AttachParentConsole() {
  AttachConsoleFn attach = LookUpAttachConsole();
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD flags = 0;
  if (GetHandleInformation(output, &flags) || attach == nullptr) return nullptr;

  FreeConsole();
  if (!attach(ATTACH_PARENT_PROCESS)) return nullptr;
  // Attaching sets the standard handles to the console's: take the handle anew.
  output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return nullptr;
  int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(output), _O_TEXT);
  if (fd == -1) return nullptr;
  std::FILE* stream = _fdopen(fd, "w");
  if (stream == nullptr) {
    _close(fd);
    return nullptr;
  }
  setvbuf(stream, nullptr, _IONBF, 0);
  return stream;
}

bool StandardOutputIsTerminal() {
  // Only a console handle has a console mode; files and pipes fail the call.
  DWORD mode = 0;
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  return output != nullptr && output != INVALID_HANDLE_VALUE && GetConsoleMode(output, &mode) != 0;
}

bool EnableLineRedraw() {
  // Windows 10's console takes the escape sequences once asked to; older ones
  // refuse the mode, and the program then writes a line per change.
  constexpr DWORD kVirtualTerminalProcessing = 0x0004;
  DWORD mode = 0;
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE || !GetConsoleMode(output, &mode)) {
    return false;
  }
  return (mode & kVirtualTerminalProcessing) != 0 ||
         SetConsoleMode(output, mode | kVirtualTerminalProcessing) != 0;
}

std::string CurrentDirectory() {
  std::vector<char> buffer(MAX_PATH + 1);
  for (;;) {
    DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length == 0) return std::string();
    // Too small a buffer: the answer is the size needed, terminating zero included.
    if (length < buffer.size()) return std::string(buffer.data(), length);
    buffer.resize(length + 1);
  }
}

namespace {

std::atomic<void (*)()> endHandler{nullptr};

// The system calls this on a thread of its own. Returning FALSE passes the event on
// to the default handler, which ends the process; a console closing gives us a few
// seconds for it.
BOOL WINAPI ConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      if (void (*onEnd)() = endHandler.exchange(nullptr)) onEnd();
      break;
    default: break;
  }
  return FALSE;
}

}  // namespace

void OnEndRequest(void (*onEnd)()) {
  endHandler = onEnd;
  SetConsoleCtrlHandler(&ConsoleEvent, TRUE);
}

}  // namespace platform
#endif  // _WIN32
