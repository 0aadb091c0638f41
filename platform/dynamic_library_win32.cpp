// Run-time loading, Win32 backend: LoadLibraryA, GetProcAddress by name, FreeLibrary.
#if defined(_WIN32)
#include <windows.h>

#include <cstdio>

#include "platform/dynamic_library.h"
#include "platform/dynamic_library_backend.h"
#include "platform/win32_error.h"

namespace platform {

void* backend::OpenLibrary(const std::string& path, std::string* reason) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) *reason = Win32ErrorText(GetLastError());
  return module;
}

void backend::CloseLibrary(void* handle) {
  FreeLibrary(static_cast<HMODULE>(handle));
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
