// PCI driver requests: the card's kernel driver exposes one device per card
// ("QMZELTI-n") and takes every request as a device control call whose 36-byte
// parameter block is both input and output. One struct of function pointers, so
// tests fill it with the simulated driver and card (sim/pci_card.h).
//
// Win32: CreateFileA("\\.\QMZELTI-n"), overlapped DeviceIoControl; a window's address
// is the driver's map answer (word 2) as it stands.
// POSIX: the character device /dev/QMZELTI-n, the same control codes and block by
// ioctl. A 32-bit word cannot carry a 64-bit address, so there the driver's map
// answer is the window's offset for mmap on the device, and the backend maps it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::pci {

inline constexpr std::size_t kRequestSize = 36;

using Device = void*;  // an open device; null: none
using Event = void*;   // a request buffer's manual-reset event; null where none is needed

struct Api {
  void* context;  // handed to every call (the simulated driver's own state)
  // Opens the device of that name ("QMZELTI-0"), shared and for overlapped requests;
  // null when it cannot be opened.
  Device (*OpenDevice)(void* context, const char* name);
  void (*CloseDevice)(void* context, Device device);
  // The event of one request buffer, made once and kept with the buffer.
  bool (*MakeEvent)(void* context, Event* event);
  void (*FreeEvent)(void* context, Event event);
  // Sends request `code` with `block` as input and output (kRequestSize bytes each
  // way) and returns once the driver has completed it; false when the system refused it.
  bool (*Control)(void* context, Device device, std::uint32_t code, std::uint8_t* block,
                  Event event);
  // The window's address in the process from the driver's map answer, `size` bytes of
  // it usable; null when it cannot be had. UnmapWindow lets it go again.
  std::uint8_t* (*MapWindow)(void* context, Device device, std::uint32_t answer, std::size_t size);
  void (*UnmapWindow)(void* context, Device device, std::uint8_t* window, std::size_t size);
};

// The operating system's backend.
const Api& SystemApi();

}  // namespace platform::pci
