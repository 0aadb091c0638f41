// Run-time loading, POSIX backend: dlopen with every symbol bound at once, dlsym.
#if !defined(_WIN32)
#include <dlfcn.h>

#include <utility>

#include "platform/dynamic_library.h"

namespace platform {

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    Unload();
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

DynamicLibrary::~DynamicLibrary() {
  Unload();
}

DynamicLibrary DynamicLibrary::Load(const std::string& path, std::string* error,
                                    const std::string& what) {
  DynamicLibrary library;
  library.handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library.handle_ == nullptr && error != nullptr) {
    const char* reason = dlerror();
    *error = "Cannot load " + what + path + ": " + (reason != nullptr ? reason : "unknown error");
  }
  return library;
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

void DynamicLibrary::Unload() {
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = nullptr;
}

std::string StdcallExportName(const std::string& name, int /*argumentBytes*/) {
  return name;
}

const char* LibraryFileName(const char* /*win32*/, const char* posix) {
  return posix;
}

}  // namespace platform
#endif  // !_WIN32
