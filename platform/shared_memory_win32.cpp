// Named shared memory, Win32 backend: a paging-file mapping whose null DACL lets
// every user in (the driver process and the host applications may run as
// different accounts).
#if defined(_WIN32)
#include <windows.h>


#include "platform/shared_memory.h"

namespace platform {
namespace {

// The system's text for an error number, without the closing carriage return and
// line feed that every system message carries.
std::string SystemText(DWORD code) {
  char buffer[1024];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, buffer, sizeof buffer, nullptr);
  if (length > sizeof buffer) length = sizeof buffer;
  return std::string(buffer, length >= 2 ? length - 2 : 0);
}

void Report(SharedMemoryError* error, const char* call, DWORD code) {
  if (error == nullptr) return;
  error->call = call;
  error->code = static_cast<int>(code);
  error->text = SystemText(code);
  error->accessDenied = code == ERROR_ACCESS_DENIED;
}

HANDLE AsHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

void SharedMemory::Close() {
  if (data_ != nullptr) UnmapViewOfFile(data_);
  if (handle_ != -1) CloseHandle(AsHandle(handle_));
  data_ = nullptr;
  size_ = 0;
  handle_ = -1;
}

// Maps exactly `size` bytes, so an existing mapping smaller than that fails here
// instead of being used past its end. On failure the block is closed.
bool SharedMemory::MapView(std::size_t size, SharedMemoryError* error) {
  void* view = MapViewOfFile(AsHandle(handle_), FILE_MAP_ALL_ACCESS, 0, 0, size);
  if (view == nullptr) {
    Report(error, "MapViewOfFile", GetLastError());
    Close();
    return false;
  }
  data_ = static_cast<std::uint8_t*>(view);
  size_ = size;
  return true;
}

SharedMemory SharedMemory::CreateOrOpen(const std::string& name, std::size_t size,
                                        SharedMemoryError* error) {
  SharedMemory block;
  SECURITY_DESCRIPTOR descriptor;
  if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
    Report(error, "CreateFileMapping", GetLastError());
    return block;
  }
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = &descriptor;
  attributes.bInheritHandle = FALSE;

  const auto wanted = static_cast<unsigned long long>(size);
  // An existing mapping of that name is opened instead (ERROR_ALREADY_EXISTS): both
  // are accepted alike.
  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE,
                                      static_cast<DWORD>(wanted >> 32),
                                      static_cast<DWORD>(wanted & 0xFFFFFFFFu), name.c_str());
  if (mapping == nullptr) {
    Report(error, "CreateFileMapping", GetLastError());
    return block;
  }
  block.handle_ = reinterpret_cast<std::intptr_t>(mapping);
  block.MapView(size, error);
  return block;
}

SharedMemory SharedMemory::OpenExisting(const std::string& name, std::size_t size,
                                        SharedMemoryError* error) {
  SharedMemory block;
  // Write access only: a driver process that grants hosts read and write (not all
  // access) must still let them open. A view of all access is a read/write view.
  HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, name.c_str());
  if (mapping == nullptr) {
    Report(error, "CreateFileMapping", GetLastError());
    return block;
  }
  block.handle_ = reinterpret_cast<std::intptr_t>(mapping);
  block.MapView(size, error);
  return block;
}

}  // namespace platform
#endif  // _WIN32
