// FTDI D2XX binding, POSIX backend: dlopen of libftd2xx.so (or $FLASHWRIGHT_D2XX)
// and dlsym of the nine calls by name, all or none.
#if !defined(_WIN32)
#include <dlfcn.h>

#include <cstddef>
#include <cstdlib>

#include "platform/d2xx.h"

namespace platform::d2xx {
namespace {

constexpr const char* kDefaultLibrary = "libftd2xx.so";

// The nine calls in the order of the table.
constexpr const char* kEntryPoints[] = {
    "FT_Open",      "FT_Close",           "FT_Read",
    "FT_Write",     "FT_ResetDevice",     "FT_GetQueueStatus",
    "FT_GetStatus", "FT_SetLatencyTimer", "FT_EE_Read",
};
constexpr std::size_t kCount = sizeof kEntryPoints / sizeof kEntryPoints[0];

template <typename Function>
void Assign(void* address, Function* slot) {
  *slot = reinterpret_cast<Function>(address);
}

}  // namespace

std::string LibraryPath() {
  const char* chosen = std::getenv("FLASHWRIGHT_D2XX");
  if (chosen != nullptr && chosen[0] != '\0') return chosen;
  return kDefaultLibrary;
}

bool Bind(Api* api, std::string* error) {
  const std::string path = LibraryPath();
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = dlerror();
    if (error != nullptr)
      *error = "Cannot load the FTDI library " + path + ": " + (reason ? reason : "unknown error");
    return false;
  }
  // Every call is looked up before the caller's table is touched.
  void* found[kCount] = {};
  for (std::size_t i = 0; i < kCount; ++i) {
    found[i] = dlsym(library, kEntryPoints[i]);
    if (found[i] != nullptr) continue;
    dlclose(library);
    if (error != nullptr)
      *error = "The FTDI library " + path + " has no entry point " + kEntryPoints[i];
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
  return true;
}

}  // namespace platform::d2xx
#endif  // !_WIN32
