// The system's text for a Win32 error number, for the backends that report one.
#pragma once
#if defined(_WIN32)
#include <windows.h>

#include <cstdio>
#include <string>

namespace platform {

// FormatMessageA's text without its closing line break; "error N" when the system
// has none.
inline std::string Win32ErrorText(DWORD code) {
  char text[512] = {};
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, text, sizeof text, nullptr);
  while (length > 0 &&
         (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' '))
    --length;
  if (length == 0) {
    std::snprintf(text, sizeof text, "error %lu", static_cast<unsigned long>(code));
    return text;
  }
  return std::string(text, length);
}

}  // namespace platform
#endif  // _WIN32
