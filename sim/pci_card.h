// The PCI version of the unit, simulated: the card's kernel driver and N cards behind
// it, filling the same platform::pci::Api as the system backend. Written from what
// the driver is described to do: one device per card ("QMZELTI-0".."QMZELTI-<N-1>"),
// every request a control code with a 36-byte block, seven memory windows per card,
// window 2 the shared block served by BlockServer, and local registers.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/pci_device.h"
#include "sim/block_server.h"

namespace sim {

struct PciCardOptions {
  std::uint32_t driverVersion = 0x00020105;  // bits 16..23 major, 8..15 minor, 0..7 revision
  std::uint8_t bus = 1;
  std::uint8_t slot = 9;
  std::uint16_t deviceId = 0x9050;
  std::uint16_t vendorId = 0x10B5;
  BlockOptions block{};  // the unit behind window 2
  // Faults: window 2 holds no valid block (it is never served); the device cannot be
  // opened; the map request answers this status and no window; the driver grants
  // the window but the system cannot map it into the process.
  bool noBlock = false;
  bool openFails = false;
  bool systemCannotMap = false;
  std::optional<std::uint32_t> mapStatus{};
};

class PciDriver {
 public:
  // The driver's control codes, statuses and window geometry.
  static constexpr std::uint32_t kDeviceLocation = 0x222000;
  static constexpr std::uint32_t kDriverVersion = 0x222004;
  static constexpr std::uint32_t kMapWindow = 0x22201C;
  static constexpr std::uint32_t kUnmapWindow = 0x222020;
  static constexpr std::uint32_t kWriteRegister = 0x22204C;
  static constexpr std::uint32_t kSuccess = 512;
  static constexpr std::uint32_t kNotMapped = 537;  // unmap of a window not mapped so
  static constexpr std::uint32_t kNoSuchWindow = 539;
  static constexpr int kWindows = 7;
  static constexpr std::size_t kWindowSize = 0xB000;
  // The map answer is the window's offset on the device, as a POSIX driver's mmap
  // offset would be: window n at n * kWindowStride.
  static constexpr std::uint32_t kWindowStride = 0x10000;

  PciDriver(std::vector<PciCardOptions> cards, platform::Clock& clock);
  PciDriver(const PciDriver&) = delete;
  PciDriver& operator=(const PciDriver&) = delete;
  ~PciDriver();

  // The table a PciLayer (and so a LibraryState) is given instead of the system's.
  const platform::pci::Api& api() const { return api_; }

  // Window 2's block server (null for a noBlock card). Tests step it with Tick();
  // Start() serves every card from threads of their own until the driver goes.
  BlockServer* Server(int card);
  void Tick();
  void Start();

  // What the driver has seen.
  std::uint64_t Requests(std::uint32_t code) const;  // completed, over all cards
  int OpenAttempts() const;
  int OpenHandles() const;
  int MappedWindows() const;  // over every open handle
  int EventsMade() const;
  int LiveEvents() const;
  // The last value written to a local register of a card, if any.
  std::optional<std::uint32_t> Register(int card, std::uint32_t offset) const;

 private:
  struct Card {
    PciCardOptions options;
    std::string name;
    std::unique_ptr<std::uint8_t[]> memory;  // kWindows windows of kWindowSize
    std::unique_ptr<BlockServer> server;
    std::map<std::uint32_t, std::uint32_t> registers;
  };
  struct Handle {
    int card = 0;
    bool mapped[kWindows] = {};
  };

  static platform::pci::Device OpenDevice(void* context, const char* name);
  static void CloseDevice(void* context, platform::pci::Device device);
  static bool MakeEvent(void* context, platform::pci::Event* event);
  static void FreeEvent(void* context, platform::pci::Event event);
  static bool Control(void* context, platform::pci::Device device, std::uint32_t code,
                      std::uint8_t* block, platform::pci::Event event);
  static std::uint8_t* MapWindow(void* context, platform::pci::Device device, std::uint32_t answer,
                                 std::size_t size);
  static void UnmapWindow(void* context, platform::pci::Device device, std::uint8_t* window,
                          std::size_t size);
  // One request on an open handle, with the lock held: the driver's status.
  std::uint32_t Answer(Handle& handle, std::uint32_t code, std::uint8_t* block);

  std::vector<Card> cards_;
  platform::pci::Api api_;
  mutable std::mutex lock_;
  std::set<Handle*> handles_;
  std::set<int*> events_;
  int eventsMade_ = 0;
  int openAttempts_ = 0;
  std::map<std::uint32_t, std::uint64_t> requests_;
};

}  // namespace sim
