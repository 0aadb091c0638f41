// Name claims, Win32 backend: a named mutex "<name> claim". Named objects share one
// namespace, so the claim cannot take the mapping's own name; the mutex is never
// waited on, its existence is the claim, and it goes with the last handle to it.
#if defined(_WIN32)
#include <windows.h>

#include "platform/name_claim.h"
#include "platform/win32_error.h"

namespace platform {

void NameClaim::Release() {
  if (handle_ != kNone) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = kNone;
}

NameClaim NameClaim::Take(const std::string& name, ClaimResult* result, std::string* error) {
  NameClaim claim;
  *result = ClaimResult::kFailed;
  const std::string mutexName = name + " claim";
  SetLastError(ERROR_SUCCESS);
  HANDLE mutex = CreateMutexA(nullptr, FALSE, mutexName.c_str());
  const DWORD code = GetLastError();  // ERROR_ALREADY_EXISTS also comes with a handle
  if (mutex == nullptr) {
    if (error != nullptr) *error = "CreateMutex \"" + mutexName + "\": " + Win32ErrorText(code);
    return claim;
  }
  claim.handle_ = reinterpret_cast<std::intptr_t>(mutex);
  if (code == ERROR_ALREADY_EXISTS) {
    *result = ClaimResult::kTaken;
    if (error != nullptr) *error = "\"" + mutexName + "\" exists";
    claim.Release();
    return claim;
  }
  *result = ClaimResult::kOk;
  return claim;
}

}  // namespace platform
#endif  // _WIN32
