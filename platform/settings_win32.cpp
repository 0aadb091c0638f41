// Stored settings, Win32 backend: the registry. "File" under the user's
// HKCU\Software\Quillmark\Programmer; the log-on check as a value of the machine's
// HKLM Run key, which is never created here (no key means no rights to log-on runs).
#if defined(_WIN32)
#include <windows.h>

#include <vector>

#include "platform/settings.h"

namespace platform {
namespace {

constexpr const char* kProgrammerKey = "Software\\Quillmark\\Programmer";
constexpr const char* kFileValue = "File";
constexpr const char* kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char* kStartupCheckValue = "QMX Load Check";
// A path or command line is far shorter; a bigger value is not ours to read.
constexpr DWORD kMaxValueBytes = 32 * 1024;

enum class ValueRead { kOk, kNoValue, kFailed };

// Reads a string value whole. The registry does not promise a closing zero (a
// value may be stored without one) nor that the size holds between two calls, so
// the buffer keeps one zero of its own past what the system may fill.
ValueRead ReadString(HKEY key, const char* name, std::string* text) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    DWORD type = 0;
    DWORD size = 0;
    LONG result = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
    if (result == ERROR_FILE_NOT_FOUND) return ValueRead::kNoValue;
    if (result != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ) ||
        size > kMaxValueBytes)
      return ValueRead::kFailed;
    std::vector<char> buffer(size + 1, '\0');
    result =
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size);
    if (result == ERROR_MORE_DATA) continue;  // grew in between: ask again
    if (result != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ) ||
        size >= buffer.size())
      return ValueRead::kFailed;
    std::size_t length = 0;
    while (length < size && buffer[length] != '\0') ++length;
    text->assign(buffer.data(), length);
    return ValueRead::kOk;
  }
  return ValueRead::kFailed;
}

bool SetString(HKEY key, const char* name, const std::string& text) {
  // REG_SZ cannot carry a zero inside, and the size counts the closing one.
  if (text.find('\0') != std::string::npos || text.size() >= kMaxValueBytes) return false;
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}

SettingStatus AsStatus(ValueRead read) {
  switch (read) {
    case ValueRead::kOk: return SettingStatus::kOk;
    case ValueRead::kNoValue: return SettingStatus::kMissing;
    case ValueRead::kFailed: break;
  }
  return SettingStatus::kFailed;
}

}  // namespace

SettingStatus ReadStoredFile(std::string* path) {
  HKEY key = nullptr;
  const LONG result = RegOpenKeyExA(HKEY_CURRENT_USER, kProgrammerKey, 0, KEY_READ, &key);
  if (result == ERROR_FILE_NOT_FOUND) return SettingStatus::kMissing;
  if (result != ERROR_SUCCESS) return SettingStatus::kFailed;
  const ValueRead read = ReadString(key, kFileValue, path);
  RegCloseKey(key);
  if (read == ValueRead::kNoValue) path->clear();  // the key alone reads as empty
  return read == ValueRead::kFailed ? SettingStatus::kFailed : SettingStatus::kOk;
}

bool WriteStoredFile(const std::string& path) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kProgrammerKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  const bool written = SetString(key, kFileValue, path);
  RegCloseKey(key);
  return written;
}

SettingStatus ReadStartupCheck(std::string* commandLine) {
  HKEY key = nullptr;
  const LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_READ, &key);
  if (result == ERROR_FILE_NOT_FOUND) return SettingStatus::kMissing;
  if (result != ERROR_SUCCESS) return SettingStatus::kFailed;
  const ValueRead read = ReadString(key, kStartupCheckValue, commandLine);
  RegCloseKey(key);
  return AsStatus(read);
}

bool WriteStartupCheck(const std::string& commandLine) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_WRITE, &key) != ERROR_SUCCESS) return false;
  const bool written = SetString(key, kStartupCheckValue, commandLine);
  RegCloseKey(key);
  return written;
}

bool ClearStartupCheck() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_WRITE, &key) != ERROR_SUCCESS) return false;
  RegDeleteValueA(key, kStartupCheckValue);  // a value already gone is fine
  RegCloseKey(key);
  return true;
}

}  // namespace platform
#endif  // _WIN32
