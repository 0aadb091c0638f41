// The PCI driver layer: the library's way to a PCI card through the card's kernel
// driver (reached through platform/pci_device.h): its devices, memory windows, local
// registers and the driver's version, in the layer's own status numbering. Several
// threads may use one layer at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "interface/block_layout.h"
#include "platform/pci_device.h"

namespace qmx {

// Statuses. Any other value is the status word the driver returned.
inline constexpr std::int32_t kPciSuccess = 512;
inline constexpr std::int32_t kPciMapInProgress = 513;  // a mapping of this window is under way
inline constexpr std::int32_t kPciNullArgument = 531;   // a required reference argument is null
inline constexpr std::int32_t kPciBadAddress = 537;     // 0, or not a mapped window of the device
inline constexpr std::int32_t kPciBadWindow = 539;      // window index above 6
// The device cannot be opened (also: the system refused a request, or a window the
// driver mapped has no address in the process), or on close the handle is unknown.
inline constexpr std::int32_t kPciCannotOpen = 551;
inline constexpr std::int32_t kPciNoMemory = 553;  // device record or request buffer
inline constexpr std::int32_t kPciNotRegistered = 572;

inline constexpr std::uint32_t kPciWindowCount = 7;  // indexes 0..6
// The map request does not say how large a window is: every window counts as the
// shared block's size, the one thing the library reads through a window.
inline constexpr std::size_t kPciWindowSize = tarvex::block_layout::kMappingSize;

// Where a card sits; passed to the open with wildcards and the device's name, and
// filled in with the driver's values.
struct DeviceLocation {
  std::uint8_t bus = 0xFF;
  std::uint8_t slot = 0xFF;
  std::uint16_t deviceId = 0xFFFF;
  std::uint16_t vendorId = 0xFFFF;
  char name[12] = {};  // zero-terminated, e.g. "QMZELTI-0"
};
static_assert(sizeof(DeviceLocation) == 18);

class PciLayer {
 public:
  using Device = platform::pci::Device;

  // `api` must outlive the layer.
  explicit PciLayer(const platform::pci::Api& api) : api_(api) {}
  PciLayer(const PciLayer&) = delete;
  PciLayer& operator=(const PciLayer&) = delete;
  ~PciLayer() { PciShutdown(); }

  // Devices open only between PciInitialise and PciShutdown; PciShutdown closes every
  // device still open and releases the request buffers. Neither may run while a
  // request of another thread is under way.
  void PciInitialise();
  void PciShutdown();

  std::int32_t PciOpenDevice(DeviceLocation* location, Device* out);
  std::int32_t PciCloseDevice(Device device);
  // A window already mapped through this handle answers its address without a request.
  std::int32_t PciMapWindow(Device device, std::uint32_t index, std::uint8_t** out);
  std::int32_t PciUnmapWindow(Device device, std::uint8_t** inout);
  std::int32_t PciWriteRegister(Device device, std::uint32_t offset, std::uint32_t value);
  std::int32_t PciDriverVersion(Device device, std::uint8_t* major, std::uint8_t* minor,
                                std::uint8_t* revision);

 private:
  using Block = std::array<std::uint8_t, platform::pci::kRequestSize>;
  struct Window {
    std::uint8_t* address = nullptr;  // null: not mapped
    std::uint32_t answer = 0;         // the driver's word for it, sent back to unmap it
    bool inProgress = false;
  };
  struct PciDevice {
    Device handle = nullptr;
    DeviceLocation location;
    Window windows[kPciWindowCount];
    PciDevice* next = nullptr;
  };
  struct RequestBuffer {
    Block block{};
    platform::pci::Event event = nullptr;
    bool busy = false;
    RequestBuffer* next = nullptr;
  };

  // One request through a pooled buffer: `block` goes in and comes back as the driver
  // left it. The driver's status, or the layer's when the request could not be made.
  std::int32_t Send(Device device, std::uint32_t code, Block& block);
  RequestBuffer* TakeBuffer();
  void GiveBack(RequestBuffer* buffer);
  PciDevice* Find(Device device) const;  // with the lock held

  const platform::pci::Api& api_;
  // Guards everything below; never held during a request.
  mutable std::mutex lock_;
  bool initialised_ = false;
  PciDevice* devices_ = nullptr;
  RequestBuffer* pool_ = nullptr;
};

}  // namespace qmx
