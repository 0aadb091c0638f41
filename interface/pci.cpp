// The PCI driver layer: the registry of open devices and their windows, the pool of
// request buffers, and the driver's requests. The lock covers list searches and
// changes only; requests run without it, so one slow request holds up no other thread.
#include "interface/pci.h"

#include <cstring>
#include <new>

#include "platform/bytes.h"

namespace qmx {
namespace {

// Control codes: device type 0x22, buffered, any access; functions from 0x800.
constexpr std::uint32_t kDeviceLocationCode = 0x222000;
constexpr std::uint32_t kDriverVersionCode = 0x222004;
constexpr std::uint32_t kMapWindowCode = 0x22201C;
constexpr std::uint32_t kUnmapWindowCode = 0x222020;
constexpr std::uint32_t kWriteRegisterCode = 0x22204C;

// The parameter block's words: the driver's status, the first argument, the second
// argument or the result; the device location from word 3 (18 bytes, padded).
constexpr std::size_t kStatusWord = 0;
constexpr std::size_t kArgumentWord = 1;
constexpr std::size_t kValueWord = 2;
constexpr std::size_t kLocationAt = 12;

template <std::size_t N>
std::uint32_t Word(const std::array<std::uint8_t, N>& block, std::size_t word) {
  return platform::ReadLE32(block.data() + 4 * word);
}
template <std::size_t N>
void SetWord(std::array<std::uint8_t, N>& block, std::size_t word, std::uint32_t value) {
  platform::WriteLE32(block.data() + 4 * word, value);
}

template <std::size_t N>
void PutLocation(std::array<std::uint8_t, N>& block, const DeviceLocation& location) {
  std::uint8_t* at = block.data() + kLocationAt;
  at[0] = location.bus;
  at[1] = location.slot;
  platform::WriteLE16(at + 2, location.deviceId);
  platform::WriteLE16(at + 4, location.vendorId);
  std::memcpy(at + 6, location.name, sizeof location.name);
}
template <std::size_t N>
DeviceLocation TakeLocation(const std::array<std::uint8_t, N>& block) {
  const std::uint8_t* at = block.data() + kLocationAt;
  DeviceLocation location;
  location.bus = at[0];
  location.slot = at[1];
  location.deviceId = platform::ReadLE16(at + 2);
  location.vendorId = platform::ReadLE16(at + 4);
  std::memcpy(location.name, at + 6, sizeof location.name);
  location.name[sizeof location.name - 1] = '\0';
  return location;
}

}  // namespace

void PciLayer::PciInitialise() {
  std::lock_guard<std::mutex> hold(lock_);
  initialised_ = true;
}

void PciLayer::PciShutdown() {
  for (;;) {
    Device device = nullptr;
    {
      std::lock_guard<std::mutex> hold(lock_);
      initialised_ = false;
      if (devices_ == nullptr) break;
      device = devices_->handle;
    }
    PciCloseDevice(device);
  }
  RequestBuffer* pool = nullptr;
  {
    std::lock_guard<std::mutex> hold(lock_);
    pool = pool_;
    pool_ = nullptr;
  }
  while (pool != nullptr) {
    RequestBuffer* next = pool->next;
    api_.FreeEvent(api_.context, pool->event);
    delete pool;
    pool = next;
  }
}

std::int32_t PciLayer::PciOpenDevice(DeviceLocation* location, Device* out) {
  if (location == nullptr || out == nullptr) return kPciNullArgument;
  *out = nullptr;
  char name[sizeof location->name + 1] = {};
  std::memcpy(name, location->name, sizeof location->name);
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!initialised_) return kPciCannotOpen;
  }
  Device device = api_.OpenDevice(api_.context, name);
  if (device == nullptr) return kPciCannotOpen;

  auto* record = new (std::nothrow) PciDevice;
  if (record == nullptr) {
    api_.CloseDevice(api_.context, device);
    return kPciNoMemory;
  }
  record->handle = device;
  record->location = *location;
  {
    std::lock_guard<std::mutex> hold(lock_);
    // Shut down meanwhile: nothing may stay open behind PciShutdown.
    if (!initialised_) {
      delete record;
      api_.CloseDevice(api_.context, device);
      return kPciCannotOpen;
    }
    record->next = devices_;
    devices_ = record;
  }

  Block block{};
  Send(device, kDriverVersionCode, block);  // asked as the driver expects; not used
  block = Block{};
  // The caller's location goes in too, so a request the system refuses leaves it as it was.
  PutLocation(block, *location);
  Send(device, kDeviceLocationCode, block);
  *location = TakeLocation(block);
  *out = device;
  return kPciSuccess;
}

std::int32_t PciLayer::PciCloseDevice(Device device) {
  std::uint8_t* mapped[kPciWindowCount] = {};
  {
    std::lock_guard<std::mutex> hold(lock_);
    PciDevice* record = Find(device);
    if (record == nullptr) return kPciCannotOpen;
    for (std::uint32_t i = 0; i < kPciWindowCount; ++i) mapped[i] = record->windows[i].address;
  }
  for (std::uint8_t* window : mapped) {
    if (window != nullptr) PciUnmapWindow(device, &window);
  }
  PciDevice* record = nullptr;
  {
    std::lock_guard<std::mutex> hold(lock_);
    for (PciDevice** link = &devices_; *link != nullptr; link = &(*link)->next) {
      if ((*link)->handle != device) continue;
      record = *link;
      *link = record->next;
      break;
    }
  }
  if (record == nullptr) return kPciCannotOpen;  // another thread closed it meanwhile
  delete record;
  api_.CloseDevice(api_.context, device);
  return kPciSuccess;
}

std::int32_t PciLayer::PciMapWindow(Device device, std::uint32_t index, std::uint8_t** out) {
  if (out == nullptr) return kPciNullArgument;
  *out = nullptr;
  if (index >= kPciWindowCount) return kPciBadWindow;
  {
    std::lock_guard<std::mutex> hold(lock_);
    PciDevice* record = Find(device);
    if (record == nullptr) return kPciNotRegistered;
    Window& window = record->windows[index];
    if (window.address != nullptr) {
      *out = window.address;
      return kPciSuccess;
    }
    // Left set after a failed mapping: that window of this handle is not asked again.
    if (window.inProgress) return kPciMapInProgress;
    window.inProgress = true;
  }
  Block block{};
  SetWord(block, kArgumentWord, index);
  std::int32_t status = Send(device, kMapWindowCode, block);
  const std::uint32_t answer = Word(block, kValueWord);
  std::uint8_t* address = nullptr;
  if (status == kPciSuccess) {
    address = api_.MapWindow(api_.context, device, answer, kPciWindowSize);
    if (address == nullptr) status = kPciCannotOpen;
  }
  std::lock_guard<std::mutex> hold(lock_);
  PciDevice* record = Find(device);
  if (record == nullptr) {  // closed by another thread meanwhile
    if (address != nullptr) api_.UnmapWindow(api_.context, device, address, kPciWindowSize);
    return kPciNotRegistered;
  }
  record->windows[index].address = address;
  record->windows[index].answer = answer;
  *out = address;
  return status;
}

std::int32_t PciLayer::PciUnmapWindow(Device device, std::uint8_t** inout) {
  if (inout == nullptr) return kPciNullArgument;
  if (*inout == nullptr) return kPciBadAddress;
  std::uint32_t index = 0;
  std::uint32_t answer = 0;
  {
    std::lock_guard<std::mutex> hold(lock_);
    PciDevice* record = Find(device);
    if (record == nullptr) return kPciNotRegistered;
    while (index < kPciWindowCount && record->windows[index].address != *inout) ++index;
    if (index == kPciWindowCount) return kPciBadAddress;
    // No longer handed out; still in progress, so no new mapping of it starts
    // before the driver has let it go.
    record->windows[index].address = nullptr;
    answer = record->windows[index].answer;
  }
  api_.UnmapWindow(api_.context, device, *inout, kPciWindowSize);
  Block block{};
  SetWord(block, kArgumentWord, index);
  SetWord(block, kValueWord, answer);
  const std::int32_t status = Send(device, kUnmapWindowCode, block);
  *inout = nullptr;
  std::lock_guard<std::mutex> hold(lock_);
  if (PciDevice* record = Find(device); record != nullptr) record->windows[index] = Window{};
  return status;
}

std::int32_t PciLayer::PciWriteRegister(Device device, std::uint32_t offset, std::uint32_t value) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (Find(device) == nullptr) return kPciNotRegistered;
  }
  Block block{};
  SetWord(block, kArgumentWord, offset);
  SetWord(block, kValueWord, value);
  return Send(device, kWriteRegisterCode, block);
}

std::int32_t PciLayer::PciDriverVersion(Device device, std::uint8_t* major, std::uint8_t* minor,
                                        std::uint8_t* revision) {
  if (major == nullptr || minor == nullptr || revision == nullptr) return kPciNullArgument;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (Find(device) == nullptr) return kPciNotRegistered;
  }
  Block block{};
  const std::int32_t status = Send(device, kDriverVersionCode, block);
  const std::uint32_t version = Word(block, kValueWord);
  *major = static_cast<std::uint8_t>(version >> 16);
  *minor = static_cast<std::uint8_t>(version >> 8);
  *revision = static_cast<std::uint8_t>(version);
  return status;
}

std::int32_t PciLayer::Send(Device device, std::uint32_t code, Block& block) {
  RequestBuffer* buffer = TakeBuffer();
  if (buffer == nullptr) return kPciNoMemory;
  buffer->block = block;
  // The driver completes the request before Control returns: its words are final.
  const bool sent = api_.Control(api_.context, device, code, buffer->block.data(), buffer->event);
  if (sent) block = buffer->block;
  GiveBack(buffer);
  return sent ? static_cast<std::int32_t>(Word(block, kStatusWord)) : kPciCannotOpen;
}

PciLayer::RequestBuffer* PciLayer::TakeBuffer() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    for (RequestBuffer* buffer = pool_; buffer != nullptr; buffer = buffer->next) {
      if (buffer->busy) continue;
      buffer->busy = true;
      return buffer;
    }
  }
  // Every buffer is in use: the pool grows by one, made outside the lock.
  auto* buffer = new (std::nothrow) RequestBuffer;
  if (buffer == nullptr) return nullptr;
  if (!api_.MakeEvent(api_.context, &buffer->event)) {
    delete buffer;
    return nullptr;
  }
  buffer->busy = true;
  std::lock_guard<std::mutex> hold(lock_);
  buffer->next = pool_;
  pool_ = buffer;
  return buffer;
}

void PciLayer::GiveBack(RequestBuffer* buffer) {
  std::lock_guard<std::mutex> hold(lock_);
  buffer->busy = false;
}

PciLayer::PciDevice* PciLayer::Find(Device device) const {
  if (device == nullptr) return nullptr;
  for (PciDevice* record = devices_; record != nullptr; record = record->next) {
    if (record->handle == device) return record;
  }
  return nullptr;
}

}  // namespace qmx
