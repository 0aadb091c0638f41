// FTDI D2XX binding, Win32 backend: LoadLibraryA of FTD2XX.dll (or $FLASHWRIGHT_D2XX)
// and GetProcAddress by ordinal, as the field library is bound; all or none.
#if defined(_WIN32)
#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "platform/d2xx.h"
#include "platform/win32_error.h"

namespace platform::d2xx {
namespace {

constexpr const char* kDefaultLibrary = "FTD2XX.dll";

// The nine calls in the order of the table, with their ordinals and roles.
struct EntryPoint {
  WORD ordinal;
  const char* role;
};
constexpr EntryPoint kEntryPoints[] = {
    {1, "open device by index"},
    {2, "close device"},
    {3, "read"},
    {4, "write"},
    {6, "reset device"},
    {18, "get receive queue status"},
    {21, "get device status"},
    {29, "set latency timer"},
    {38, "read EEPROM program data"},
};
constexpr std::size_t kCount = sizeof kEntryPoints / sizeof kEntryPoints[0];

// The detour through a plain function pointer type is the documented way to
// convert GetProcAddress's result without a cast-function-type warning.
template <typename Function>
void Assign(FARPROC address, Function* slot) {
  *slot = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

}  // namespace

std::string LibraryPath() {
  const char* chosen = std::getenv("FLASHWRIGHT_D2XX");
  if (chosen != nullptr && chosen[0] != '\0') return chosen;
  return kDefaultLibrary;
}

bool Bind(Api* api, std::string* error) {
  const std::string path = LibraryPath();
  HMODULE library = LoadLibraryA(path.c_str());
  if (library == nullptr) {
    const DWORD code = GetLastError();
    if (error != nullptr) *error = "Cannot load the FTDI library " + path + ": " + Win32ErrorText(code);
    return false;
  }
  // Every call is looked up before the caller's table is touched.
  FARPROC found[kCount] = {};
  for (std::size_t i = 0; i < kCount; ++i) {
    found[i] = GetProcAddress(library, MAKEINTRESOURCEA(kEntryPoints[i].ordinal));
    if (found[i] != nullptr) continue;
    FreeLibrary(library);
    if (error != nullptr) {
      char text[96];
      std::snprintf(text, sizeof text, " has no entry point at ordinal %u (%s)",
                    static_cast<unsigned>(kEntryPoints[i].ordinal), kEntryPoints[i].role);
      *error = "The FTDI library " + path + text;
    }
    return false;
  }
  Assign(found[0], &api->Open);
  Assign(found[1], &api->Close);
  Assign(found[2], &api->Read);
  Assign(found[3], &api->Write);
  Assign(found[4], &api->ResetDevice);
  Assign(found[5], &api->GetQueueStatus);
  Assign(found[6], &api->GetStatus);
  Assign(found[7], &api->SetLatencyTimer);
  Assign(found[8], &api->EeRead);
  // The module stays loaded for the life of the process: the table points into it.
  return true;
}

}  // namespace platform::d2xx
#endif  // _WIN32
