// Loading a shared library at run time and finding its exports, as a host program
// loads ours (Win32: LoadLibraryA/GetProcAddress; POSIX: dlopen/dlsym).
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

  // An export as either platform binds it: Win32 by ordinal, POSIX (which has no
  // ordinals) by name. `role` says what it does, for messages that give the number.
  struct ExportId {
    unsigned short ordinal;
    const char* name;
    const char* role;
  };

  // Loads the library (its load hooks run). On failure the result is not loaded and
  // `error` holds "Cannot load " + what + path + ": " + the system's reason, where
  // `what` may say which library it is ("the X library ").
  static DynamicLibrary Load(const std::string& path, std::string* error,
                             const std::string& what = "");

  bool loaded() const { return handle_ != nullptr; }
  // The export of that name, or null.
  Entry Find(const std::string& name) const;
  // The export as this platform binds it, or null.
  Entry FindExport(const ExportId& id) const;
  // How a message names it: "at ordinal 3 (read)" on Win32, its name elsewhere.
  static std::string ExportText(const ExportId& id);
  // Drops this reference; the last one unloads the library (its unload hooks run).
  void Unload();
  // Lets go of the library without unloading it: it stays for the life of the process,
  // for tables that point into it.
  void KeepLoaded() { handle_ = nullptr; }

 private:
  void* handle_ = nullptr;
};

// The name a C export with `argumentBytes` bytes of arguments in the callee-cleans
// convention has in a library's export table: "_Name@8" on 32-bit Windows, the plain
// name everywhere else.
std::string StdcallExportName(const std::string& name, int argumentBytes);

// A library's file name on this platform: `win32` on Windows, `posix` elsewhere.
const char* LibraryFileName(const char* win32, const char* posix);

}  // namespace platform
