// Run-time loading, POSIX backend: dlopen with every symbol bound at once, dlsym.
#if !defined(_WIN32)
#include <dlfcn.h>

#include "platform/dynamic_library.h"
#include "platform/dynamic_library_backend.h"

namespace platform {

void* backend::OpenLibrary(const std::string& path, std::string* reason) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* text = dlerror();
    *reason = text != nullptr ? text : "unknown error";
  }
  return handle;
}

void backend::CloseLibrary(void* handle) {
  dlclose(handle);
}

DynamicLibrary::Entry DynamicLibrary::Find(const std::string& name) const {
  if (handle_ == nullptr) return nullptr;
  // POSIX guarantees that an object address from dlsym converts to a function pointer.
  return reinterpret_cast<Entry>(dlsym(handle_, name.c_str()));
}

DynamicLibrary::Entry DynamicLibrary::FindExport(const ExportId& id) const {
  return Find(id.name);
}

std::string DynamicLibrary::ExportText(const ExportId& id) {
  return id.name;
}

std::string StdcallExportName(const std::string& name, int /*argumentBytes*/) {
  return name;
}

const char* LibraryFileName(const char* /*win32*/, const char* posix) {
  return posix;
}

}  // namespace platform
#endif  // !_WIN32
