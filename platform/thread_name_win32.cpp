// Thread names and priority, Win32 backend. SetThreadDescription is looked up at run
// time because Windows before 10 (version 1607) does not have it and must still run us.
#if defined(_WIN32)
#include <windows.h>

#include "platform/thread_name.h"

namespace platform {

void NameCurrentThread(const char* name) {
  using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return;
  // Through a plain function pointer type, so the conversion draws no
  // cast-function-type warning.
  auto setDescription = reinterpret_cast<SetThreadDescriptionFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetThreadDescription")));
  if (setDescription == nullptr) return;
  wchar_t wide[64];
  if (MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, 64) == 0) return;
  setDescription(GetCurrentThread(), wide);
}

void RaiseCurrentThreadPriority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST); }

}  // namespace platform
#endif
