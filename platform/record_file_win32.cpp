// Record file, Win32 backend: FILE_APPEND_DATA without FILE_WRITE_DATA makes each
// write land at the end whoever else appends; FlushFileBuffers puts it on disk.
#if defined(_WIN32)
#include <windows.h>

#include "platform/record_file.h"
#include "platform/win32_error.h"

namespace platform {

namespace {

HANDLE AsHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

RecordFile RecordFile::Open(const std::string& path, std::string* error) {
  RecordFile file;
  HANDLE handle = CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = "cannot open " + path + ": " + Win32ErrorText(GetLastError());
    return file;
  }
  file.handle_ = reinterpret_cast<std::intptr_t>(handle);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(handle, &size)) {
    *error = "cannot read " + path + ": " + Win32ErrorText(GetLastError());
    file.Close();
    return file;
  }
  if (size.QuadPart > 0) {
    OVERLAPPED at{};
    const ULONGLONG last = static_cast<ULONGLONG>(size.QuadPart - 1);
    at.Offset = static_cast<DWORD>(last);
    at.OffsetHigh = static_cast<DWORD>(last >> 32);
    char byte = '\n';
    DWORD read = 0;
    if (!ReadFile(handle, &byte, 1, &read, &at) || read != 1) {
      *error = "cannot read " + path + ": " + Win32ErrorText(GetLastError());
      file.Close();
      return file;
    }
    if (byte != '\n' && !file.Append("\n", error)) file.Close();
  }
  return file;
}

bool RecordFile::Append(const std::string& line, std::string* error) {
  HANDLE handle = AsHandle(handle_);
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    DWORD written = 0;
    if (!WriteFile(handle, data, static_cast<DWORD>(left), &written, nullptr) || written == 0) {
      *error = "cannot write the record: " + Win32ErrorText(GetLastError());
      return false;
    }
    data += written;
    left -= written;
  }
  if (!FlushFileBuffers(handle)) {
    *error = "cannot write the record: " + Win32ErrorText(GetLastError());
    return false;
  }
  return true;
}

void RecordFile::Close() {
  if (handle_ == kNone) return;
  CloseHandle(AsHandle(handle_));
  handle_ = kNone;
}

std::string HostName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size)) return std::string();
  return std::string(name, size);
}

}  // namespace platform
#endif  // _WIN32
