// Library load and unload on Windows: DllMain traces every notice; the process
// attach sets the state for "nothing has finished yet".
#if defined(_WIN32)
#include "defloader.h"
#include "download/frame.h"

namespace {

// DLL_PROCESS_DETACH, DLL_PROCESS_ATTACH, DLL_THREAD_ATTACH, DLL_THREAD_DETACH.
constexpr unsigned long kProcessDetach = 0;
constexpr unsigned long kProcessAttach = 1;
constexpr unsigned long kThreadAttach = 2;
constexpr unsigned long kThreadDetach = 3;

}  // namespace

// The entry point's signature in plain types (HINSTANCE, DWORD, LPVOID; BOOL result).
// Always succeeds: the library has nothing to refuse loading for.
extern "C" int DFL_CALL DllMain(void* /*instance*/, unsigned long reason, void* /*reserved*/) {
  try {
    dfl::Defloader& library = dfl::ProcessDefloader();
    switch (reason) {
      case kProcessAttach:
        library.Trace("Process Attaching\n");
        library.Loaded();
        break;
      case kProcessDetach:
        library.Trace("Process Detaching\n");
        break;
      case kThreadAttach:
        library.Trace("Thread Attaching\n");
        break;
      case kThreadDetach:
        library.Trace("Thread Detaching\n");
        break;
      default:
        // The line's "%)" shows as ")" in the platform's formatter.
        library.Trace("Unexpected reason for call (%lu)\n", reason);
        break;
    }
  } catch (...) {
  }
  return 1;
}
#endif  // _WIN32
