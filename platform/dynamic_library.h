// Loading a shared library at run time and finding its exports by name, as a host
// program loads ours (Win32: LoadLibraryA/GetProcAddress; POSIX: dlopen/dlsym).
#pragma once

#include <string>

namespace platform {

class DynamicLibrary {
 public:
  // What an export's address is handed out as; cast it to the export's own type.
  using Entry = void (*)();

  DynamicLibrary() = default;
  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;
  ~DynamicLibrary();

  // Loads the library (its load hooks run). On failure the result is not loaded
  // and `error` holds the path and the system's reason.
  static DynamicLibrary Load(const std::string& path, std::string* error);

  bool loaded() const { return handle_ != nullptr; }
  // The export of that name, or null.
  Entry Find(const std::string& name) const;
  // Drops this reference; the last one unloads the library (its unload hooks run).
  void Unload();

 private:
  void* handle_ = nullptr;
};

// The name a C export with `argumentBytes` bytes of arguments in the callee-cleans
// convention has in a library's export table: "_Name@8" on 32-bit Windows, the plain
// name everywhere else.
std::string StdcallExportName(const std::string& name, int argumentBytes);

}  // namespace platform
