// PCI driver requests, Win32 backend: the card's device opened by CreateFileA for
// overlapped I/O, requests by DeviceIoControl with the request buffer's event, and
// the window address as the driver answers it (the driver maps it into the process).
#if defined(_WIN32)
#include <windows.h>

#include <cstdio>

#include "platform/pci_device.h"

namespace platform::pci {
namespace {

Device OpenDevice(void*, const char* name) {
  char path[64];
  std::snprintf(path, sizeof path, "\\\\.\\%s", name);
  HANDLE device =
      CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  return device == INVALID_HANDLE_VALUE ? nullptr : device;
}

void CloseDevice(void*, Device device) {
  CloseHandle(device);
}

bool MakeEvent(void*, Event* event) {
  *event = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // manual reset, not signalled
  return *event != nullptr;
}

void FreeEvent(void*, Event event) {
  if (event != nullptr) CloseHandle(event);
}

// The overlapped record is cleared apart from the buffer's event for each request;
// it lives here because the request is complete before this returns.
bool Control(void*, Device device, std::uint32_t code, std::uint8_t* block, Event event) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  DWORD returned = 0;
  if (DeviceIoControl(device, code, block, kRequestSize, block, kRequestSize, &returned,
                      &overlapped))
    return true;
  if (GetLastError() != ERROR_IO_PENDING) return false;
  return GetOverlappedResult(device, &overlapped, &returned, TRUE) != FALSE;
}

// Word 2 is the window's address in this process. The field build is 32-bit; a
// 64-bit process takes the word as an address below 4 GB.
std::uint8_t* MapWindow(void*, Device, std::uint32_t answer, std::size_t) {
  return reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(answer));
}

// The driver's unmap request takes the window out of the process.
void UnmapWindow(void*, Device, std::uint8_t*, std::size_t) {}

constexpr Api kSystem = {nullptr,   OpenDevice, CloseDevice, MakeEvent,
                         FreeEvent, Control,    MapWindow,   UnmapWindow};

}  // namespace

const Api& SystemApi() {
  return kSystem;
}

}  // namespace platform::pci
#endif  // _WIN32
