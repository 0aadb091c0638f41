// Run-time loading, Win32 backend: LoadLibraryA, GetProcAddress by name, FreeLibrary.
#if defined(_WIN32)
#include <windows.h>

#include <cstdio>
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

DynamicLibrary DynamicLibrary::Load(const std::string& path, std::string* error,
                                    const std::string& what) {
  DynamicLibrary library;
  library.handle_ = LoadLibraryA(path.c_str());
  if (library.handle_ == nullptr && error != nullptr)
    *error = "Cannot load " + what + path + ": " + Win32ErrorText(GetLastError());
  return library;
}

namespace {

// Through the plain function pointer type, which converts without a cast-function-type warning.
DynamicLibrary::Entry AsEntry(FARPROC address) {
  return reinterpret_cast<DynamicLibrary::Entry>(reinterpret_cast<void (*)()>(address));
}

}  // namespace

DynamicLibrary::Entry DynamicLibrary::Find(const std::string& name) const {
  if (handle_ == nullptr) return nullptr;
  return AsEntry(GetProcAddress(static_cast<HMODULE>(handle_), name.c_str()));
}

// By ordinal, as the field D2XX library is bound.
DynamicLibrary::Entry DynamicLibrary::FindExport(const ExportId& id) const {
  if (handle_ == nullptr) return nullptr;
  return AsEntry(GetProcAddress(static_cast<HMODULE>(handle_), MAKEINTRESOURCEA(id.ordinal)));
}

std::string DynamicLibrary::ExportText(const ExportId& id) {
  char text[96];
  std::snprintf(text, sizeof text, "at ordinal %u (%s)", static_cast<unsigned>(id.ordinal),
                id.role);
  return text;
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

const char* LibraryFileName(const char* win32, const char* /*posix*/) {
  return win32;
}

}  // namespace platform
#endif  // _WIN32
