// Named shared memory, Win32 backend: a paging-file mapping whose null DACL lets
// every user in (the driver process and the host applications may run as
// different accounts).
#if defined(_WIN32)
#include <windows.h>

#include <utility>

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
}

HANDLE AsHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

SharedMemory::SharedMemory(SharedMemory&& other) noexcept {
  *this = std::move(other);
}

SharedMemory& SharedMemory::operator=(SharedMemory&& other) noexcept {
  if (this != &other) {
    Close();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    handle_ = std::exchange(other.handle_, -1);
    unlinkName_ = std::exchange(other.unlinkName_, std::string());
  }
  return *this;
}

SharedMemory::~SharedMemory() {
  Close();
}

void SharedMemory::Close() {
  if (data_ != nullptr) UnmapViewOfFile(data_);
  if (handle_ != -1) CloseHandle(AsHandle(handle_));
  data_ = nullptr;
  size_ = 0;
  handle_ = -1;
}

namespace {

// Maps exactly `size` bytes, so an existing mapping smaller than that fails here
// instead of being used past its end.
bool MapView(HANDLE mapping, std::size_t size, std::uint8_t** data, SharedMemoryError* error) {
  void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size);
  if (view == nullptr) {
    Report(error, "MapViewOfFile", GetLastError());
    return false;
  }
  *data = static_cast<std::uint8_t*>(view);
  return true;
}

}  // namespace

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
  if (!MapView(mapping, size, &block.data_, error)) {
    block.Close();
    return block;
  }
  block.size_ = size;
  return block;
}

SharedMemory SharedMemory::OpenExisting(const std::string& name, std::size_t size,
                                        SharedMemoryError* error) {
  SharedMemory block;
  HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
  if (mapping == nullptr) {
    Report(error, "CreateFileMapping", GetLastError());
    return block;
  }
  block.handle_ = reinterpret_cast<std::intptr_t>(mapping);
  if (!MapView(mapping, size, &block.data_, error)) {
    block.Close();
    return block;
  }
  block.size_ = size;
  return block;
}

}  // namespace platform
#endif  // _WIN32
