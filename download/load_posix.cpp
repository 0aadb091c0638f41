// Library load and unload on POSIX: the process attach and detach that DllMain sees
// on Windows. Thread starts and ends are traced by the worker itself.
#if !defined(_WIN32)
#include "download/frame.h"

namespace {

__attribute__((constructor)) void DefloaderLoaded() {
  try {
    dfl::Defloader& library = dfl::ProcessDefloader();
    library.Trace("Process Attaching\n");
    library.Loaded();
  } catch (...) {
  }
}

__attribute__((destructor)) void DefloaderUnloaded() {
  try {
    dfl::ProcessDefloader().Trace("Process Detaching\n");
  } catch (...) {
  }
}

}  // namespace
#endif  // !_WIN32
