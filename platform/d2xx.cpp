// FTDI D2XX binding: the nine calls looked up through run-time loading (by ordinal on
// Win32, by name elsewhere) and filled all or none.
#include "platform/d2xx.h"

#include <cstddef>
#include <cstdlib>

#include "platform/dynamic_library.h"

namespace platform::d2xx {
namespace {

using Export = DynamicLibrary::ExportId;

// The nine calls in the order of the table.
constexpr Export kEntryPoints[] = {
    {1, "FT_Open", "open device by index"},
    {2, "FT_Close", "close device"},
    {3, "FT_Read", "read"},
    {4, "FT_Write", "write"},
    {6, "FT_ResetDevice", "reset device"},
    {18, "FT_GetQueueStatus", "get receive queue status"},
    {21, "FT_GetStatus", "get device status"},
    {29, "FT_SetLatencyTimer", "set latency timer"},
    {38, "FT_EE_Read", "read EEPROM program data"},
};
constexpr std::size_t kCount = sizeof kEntryPoints / sizeof kEntryPoints[0];

template <typename Function>
void Assign(DynamicLibrary::Entry entry, Function* slot) {
  *slot = reinterpret_cast<Function>(entry);
}

}  // namespace

std::string LibraryPath() {
  const char* chosen = std::getenv("FLASHWRIGHT_D2XX");
  if (chosen != nullptr && chosen[0] != '\0') return chosen;
  return LibraryFileName("FTD2XX.dll", "libftd2xx.so");
}

bool Bind(Api* api, std::string* error) {
  const std::string path = LibraryPath();
  std::string reason;
  DynamicLibrary library = DynamicLibrary::Load(path, &reason, "the FTDI library ");
  if (!library.loaded()) {
    if (error != nullptr) *error = reason;
    return false;
  }
  // Every call is looked up before the caller's table is touched; a library that
  // lacks one is unloaded again as `library` goes.
  DynamicLibrary::Entry found[kCount] = {};
  for (std::size_t i = 0; i < kCount; ++i) {
    found[i] = library.FindExport(kEntryPoints[i]);
    if (found[i] != nullptr) continue;
    if (error != nullptr) {
      *error = "The FTDI library " + path + " has no entry point " +
               DynamicLibrary::ExportText(kEntryPoints[i]);
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
  // The library stays loaded for the life of the process: the table points into it.
  library.KeepLoaded();
  return true;
}

}  // namespace platform::d2xx
