// Name claims, Win32 backend: a named mutex "<name> claim". Named objects share one
// namespace, so the claim cannot take the mapping's own name; the mutex is never
// waited on, its existence is the claim, and it goes with the last handle to it.
#if defined(_WIN32)
#include <windows.h>

#include <string>

#include "platform/name_claim.h"
#include "platform/win32_error.h"

namespace platform {

void NameClaim::Release() {
  if (handle_ != kNone) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = kNone;
}

namespace {

// The mutex of that name is the claim: it exists exactly while a holder lives. Its
// handle when the claim is ours, else null.
HANDLE CreateClaimMutex(const std::string& mutexName, ClaimResult* result, std::string* error) {
  *result = ClaimResult::kFailed;
  SetLastError(ERROR_SUCCESS);
  HANDLE mutex = CreateMutexA(nullptr, FALSE, mutexName.c_str());
  const DWORD code = GetLastError();  // ERROR_ALREADY_EXISTS also comes with a handle
  if (mutex == nullptr) {
    if (error != nullptr) *error = "CreateMutex \"" + mutexName + "\": " + Win32ErrorText(code);
    return nullptr;
  }
  if (code == ERROR_ALREADY_EXISTS) {
    *result = ClaimResult::kTaken;
    if (error != nullptr) *error = "\"" + mutexName + "\" exists";
    CloseHandle(mutex);
    return nullptr;
  }
  *result = ClaimResult::kOk;
  return mutex;
}

}  // namespace

NameClaim NameClaim::Take(const std::string& name, ClaimResult* result, std::string* error) {
  NameClaim claim;
  if (HANDLE mutex = CreateClaimMutex(name + " claim", result, error))
    claim.handle_ = reinterpret_cast<std::intptr_t>(mutex);
  return claim;
}

NameClaim NameClaim::TakeDownload(const std::string& name, ClaimResult* result,
                                  std::string* error) {
  NameClaim claim;
  if (HANDLE mutex = CreateClaimMutex(name + " download", result, error))
    claim.handle_ = reinterpret_cast<std::intptr_t>(mutex);
  return claim;
}

namespace {

// Enough for every loader one machine runs on one unit at a time.
constexpr int kPresenceSlots = 16;

std::string PresenceName(const std::string& name, int slot) {
  return name + " presence " + std::to_string(slot);
}

}  // namespace

void PresenceMark::Release() {
  if (handle_ != kNone) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = kNone;
}

// The first slot whose mutex this call creates is this holder's: a mutex that
// exists has a live holder (or a process asking about it for a moment).
PresenceMark PresenceMark::Take(const std::string& name, std::string* error) {
  PresenceMark mark;
  for (int slot = 0; slot < kPresenceSlots; ++slot) {
    SetLastError(ERROR_SUCCESS);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, PresenceName(name, slot).c_str());
    const DWORD code = GetLastError();
    if (mutex == nullptr) {
      if (error != nullptr) *error = "CreateMutex: " + Win32ErrorText(code);
      return mark;
    }
    if (code != ERROR_ALREADY_EXISTS) {
      mark.handle_ = reinterpret_cast<std::intptr_t>(mutex);
      return mark;
    }
    CloseHandle(mutex);
  }
  if (error != nullptr) *error = "every presence slot of \"" + name + "\" is taken";
  return mark;
}

bool PresenceMark::AnyHeld(const std::string& name) {
  for (int slot = 0; slot < kPresenceSlots; ++slot) {
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, PresenceName(name, slot).c_str());
    if (mutex != nullptr) {
      CloseHandle(mutex);
      return true;
    }
  }
  return false;
}

}  // namespace platform
#endif  // _WIN32
