// What each run-time loading backend (dynamic_library_<os>.cpp) gives the portable
// part (dynamic_library.cpp): the system's own load and unload, nothing more.
#pragma once

#include <string>

namespace platform::backend {

// Loads the library at `path` (its load hooks run); null when the system refuses,
// with the system's reason in `reason`.
void* OpenLibrary(const std::string& path, std::string* reason);
// Drops one reference to a library OpenLibrary gave; the last one unloads it.
void CloseLibrary(void* handle);

}  // namespace platform::backend
