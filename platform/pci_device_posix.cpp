// PCI driver requests, POSIX backend: the character device /dev/QMZELTI-n, the same
// control codes and 36-byte block by ioctl (which completes before it returns, so no
// event is needed), and each window mapped with mmap at the offset the driver answers.
#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <new>

#include "platform/pci_device.h"

namespace platform::pci {
namespace {

// A descriptor may be 0; the layer's handle may not: the descriptor lives in a record.
struct OpenFile {
  int fd;
};

int Descriptor(Device device) {
  return static_cast<OpenFile*>(device)->fd;
}

Device OpenDevice(void*, const char* name) {
  char path[64];
  std::snprintf(path, sizeof path, "/dev/%s", name);
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return nullptr;
  auto* file = new (std::nothrow) OpenFile{fd};
  if (file == nullptr) close(fd);
  return file;
}

void CloseDevice(void*, Device device) {
  close(Descriptor(device));
  delete static_cast<OpenFile*>(device);
}

bool MakeEvent(void*, Event* event) {
  *event = nullptr;
  return true;
}

void FreeEvent(void*, Event) {}

bool Control(void*, Device device, std::uint32_t code, std::uint8_t* block, Event) {
  return ioctl(Descriptor(device), static_cast<unsigned long>(code), block) >= 0;
}

std::uint8_t* MapWindow(void*, Device device, std::uint32_t answer, std::size_t size) {
  void* window = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, Descriptor(device),
                      static_cast<off_t>(answer));
  return window == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(window);
}

void UnmapWindow(void*, Device, std::uint8_t* window, std::size_t size) {
  munmap(window, size);
}

constexpr Api kSystem = {nullptr,   OpenDevice, CloseDevice, MakeEvent,
                         FreeEvent, Control,    MapWindow,   UnmapWindow};

}  // namespace

const Api& SystemApi() {
  return kSystem;
}

}  // namespace platform::pci
#endif  // !_WIN32
