// The running program's own file, Win32 backend: GetModuleFileNameA of the program.
#if defined(_WIN32)
#include <windows.h>

#include <vector>

#include "platform/program_path.h"

namespace platform {

std::string OwnProgramPath() {
  std::vector<char> buffer(MAX_PATH + 1);
  for (;;) {
    DWORD length = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return std::string();
    // A cut path fills the buffer exactly; anything shorter is the whole path.
    if (length < buffer.size()) return std::string(buffer.data(), length);
    if (buffer.size() >= 32768) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

const char* ProgramFileSuffix() {
  return ".exe";
}

}  // namespace platform
#endif  // _WIN32
