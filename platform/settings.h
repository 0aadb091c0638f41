// Stored settings: the per-user path of the last S-Record file loaded and the
// machine-wide log-on check. Win32: the registry (HKCU Software\Quillmark\Programmer
// "File"; HKLM ...\CurrentVersion\Run "QMX Load Check"). POSIX: a settings file under
// $XDG_CONFIG_HOME and an autostart entry in the first of $XDG_CONFIG_DIRS.
#pragma once

#include <string>

namespace platform {

enum class SettingStatus {
  kOk,
  kMissing,  // no key (or file) to read
  kFailed,   // there, but it could not be read
};

// The "File" value: kMissing when the per-user key does not exist; a key without
// the value reads as kOk with empty text.
SettingStatus ReadStoredFile(std::string* path);
// Creates the key when missing. False when it cannot be written.
bool WriteStoredFile(const std::string& path);

// The log-on check's command line, exactly as written: kMissing when there is no
// key or no value.
SettingStatus ReadStartupCheck(std::string* commandLine);
// Registers `commandLine` to run at every log-on. False without the rights (or any
// other failure).
bool WriteStartupCheck(const std::string& commandLine);
// Removes the registration. False only when the place it is kept cannot be opened
// for writing; a value that cannot be deleted is not reported.
bool ClearStartupCheck();

}  // namespace platform
