// Run-time loading, Win32 backend: LoadLibraryA, GetProcAddress by name, FreeLibrary.
#if defined(_WIN32)
#include <windows.h>

#include <utility>

#include "platform/dynamic_library.h"
#include "platform/win32_error.h"

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

DynamicLibrary DynamicLibrary::Load(const std::string& path, std::string* error) {
  DynamicLibrary library;
  library.handle_ = LoadLibraryA(path.c_str());
  if (library.handle_ == nullptr && error != nullptr)
    *error = "Cannot load " + path + ": " + Win32ErrorText(GetLastError());
  return library;
}

DynamicLibrary::Entry DynamicLibrary::Find(const std::string& name) const {
  if (handle_ == nullptr) return nullptr;
  FARPROC address = GetProcAddress(static_cast<HMODULE>(handle_), name.c_str());
  // Through the plain function pointer type, which converts without a cast-function-type warning.
  return reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(address));
}

void DynamicLibrary::Unload() {
  if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
  handle_ = nullptr;
}

std::string StdcallExportName(const std::string& name, int argumentBytes) {
#if defined(_WIN64)
  (void)argumentBytes;
  return name;  // x64 has one calling convention and no decoration
#else
  return "_" + name + "@" + std::to_string(argumentBytes);
#endif
}

}  // namespace platform
#endif  // _WIN32
