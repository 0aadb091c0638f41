// Library load and unload on POSIX: what DllMain does on Windows for a process's
// attach and detach, run by the dynamic loader when the library is loaded and
// unloaded (or the process exits normally).
#if !defined(_WIN32)
#include "interface/library.h"

namespace {

// A block (or none) is found before the host calls anything; its result is kept.
__attribute__((constructor)) void QmxzeltiLoaded() {
  try {
    qmx::ProcessLibrary().Load();
  } catch (...) {
    // Nothing found: OpenStatus says so, and the first open tries again.
  }
}

__attribute__((destructor)) void QmxzeltiUnloaded() {
  try {
    qmx::ProcessLibrary().Unload();
  } catch (...) {
  }
}

}  // namespace
#endif  // !_WIN32
