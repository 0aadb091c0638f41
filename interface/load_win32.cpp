// Library load and unload on Windows: DllMain's process attach opens the default
// block, its process detach applies the unload rules; thread notices change nothing.
#if defined(_WIN32)
#include "interface/library.h"
#include "qmxzelti.h"

namespace {

// The notices DllMain gets (DLL_PROCESS_DETACH, DLL_PROCESS_ATTACH); thread attach
// and detach (2, 3) need nothing from us.
constexpr unsigned long kProcessDetach = 0;
constexpr unsigned long kProcessAttach = 1;

}  // namespace

// The entry point's signature in plain types (HINSTANCE, DWORD, LPVOID; BOOL result):
// nothing else of <windows.h> is needed here. Always succeeds: a missing block is
// the open's answer, not a reason to refuse loading.
extern "C" int QMX_CALL DllMain(void* /*instance*/, unsigned long reason, void* /*reserved*/) {
  try {
    if (reason == kProcessAttach) {
      qmx::ProcessLibrary().Load();
    } else if (reason == kProcessDetach) {
      // Also when the process is ending: its attachment must be counted off.
      qmx::ProcessLibrary().Unload();
    }
  } catch (...) {
  }
  return 1;
}
#endif  // _WIN32
