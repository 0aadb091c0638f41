// The simulated PCI driver and its cards: opening devices by name, the driver's
// answers to each control code (location, version, mapping and unmapping windows,
// local register writes), the window addresses behind the map answers, and the
// faults a test asks for.
#include "sim/pci_card.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "platform/bytes.h"

namespace sim {
namespace {

// The parameter block: status, first argument, second argument or result, then the
// device location (bus, slot, device id, vendor id, 12 bytes of name) from byte 12.
constexpr std::size_t kStatusAt = 0;
constexpr std::size_t kArgumentAt = 4;
constexpr std::size_t kValueAt = 8;
constexpr std::size_t kLocationAt = 12;
constexpr std::size_t kNameSize = 12;
constexpr std::uint32_t kBlockWindow = 2;

}  // namespace

PciDriver::PciDriver(std::vector<PciCardOptions> cards, platform::Clock& clock)
    : api_{this, OpenDevice, CloseDevice, MakeEvent, FreeEvent, Control, MapWindow, UnmapWindow} {
  for (std::size_t n = 0; n < cards.size(); ++n) {
    Card card;
    card.options = std::move(cards[n]);
    card.name = "QMZELTI-" + std::to_string(n);
    card.memory.reset(new std::uint8_t[kWindows * kWindowSize]());
    if (!card.options.noBlock) {
      card.server = std::make_unique<BlockServer>(card.memory.get() + kBlockWindow * kWindowSize,
                                                  kWindowSize, card.options.block, clock);
    }
    cards_.push_back(std::move(card));
  }
}

PciDriver::~PciDriver() {
  for (Card& card : cards_) {
    if (card.server) card.server->Stop();
  }
  for (Handle* handle : handles_) delete handle;
  for (int* event : events_) delete event;
}

BlockServer* PciDriver::Server(int card) {
  return cards_.at(static_cast<std::size_t>(card)).server.get();
}

void PciDriver::Tick() {
  for (Card& card : cards_) {
    if (card.server) card.server->Tick();
  }
}

void PciDriver::Start() {
  for (Card& card : cards_) {
    if (card.server) card.server->Start();
  }
}

platform::pci::Device PciDriver::OpenDevice(void* context, const char* name) {
  auto* driver = static_cast<PciDriver*>(context);
  std::lock_guard<std::mutex> hold(driver->lock_);
  ++driver->openAttempts_;
  for (std::size_t n = 0; n < driver->cards_.size(); ++n) {
    const Card& card = driver->cards_[n];
    if (card.name != name || card.options.openFails) continue;
    auto* handle = new Handle{static_cast<int>(n), {}};
    driver->handles_.insert(handle);
    return handle;
  }
  return nullptr;
}

void PciDriver::CloseDevice(void* context, platform::pci::Device device) {
  auto* driver = static_cast<PciDriver*>(context);
  std::lock_guard<std::mutex> hold(driver->lock_);
  auto* handle = static_cast<Handle*>(device);
  // Closing the handle lets go of whatever it still had mapped, as the driver does.
  if (driver->handles_.erase(handle) != 0) delete handle;
}

bool PciDriver::MakeEvent(void* context, platform::pci::Event* event) {
  auto* driver = static_cast<PciDriver*>(context);
  std::lock_guard<std::mutex> hold(driver->lock_);
  auto* token = new int(++driver->eventsMade_);
  driver->events_.insert(token);
  *event = token;
  return true;
}

void PciDriver::FreeEvent(void* context, platform::pci::Event event) {
  auto* driver = static_cast<PciDriver*>(context);
  std::lock_guard<std::mutex> hold(driver->lock_);
  auto* token = static_cast<int*>(event);
  if (driver->events_.erase(token) != 0) delete token;
}

// A request on a handle that is not open, or with an event that was never made, is
// refused by the system, as DeviceIoControl refuses it; so is a code the driver lacks.
bool PciDriver::Control(void* context, platform::pci::Device device, std::uint32_t code,
                        std::uint8_t* block, platform::pci::Event event) {
  auto* driver = static_cast<PciDriver*>(context);
  std::lock_guard<std::mutex> hold(driver->lock_);
  auto* handle = static_cast<Handle*>(device);
  if (driver->handles_.count(handle) == 0 || driver->events_.count(static_cast<int*>(event)) == 0)
    return false;
  switch (code) {
    case kDeviceLocation:
    case kDriverVersion:
    case kMapWindow:
    case kUnmapWindow:
    case kWriteRegister: break;
    default: return false;
  }
  platform::WriteLE32(block + kStatusAt, driver->Answer(*handle, code, block));
  ++driver->requests_[code];
  return true;
}

std::uint32_t PciDriver::Answer(Handle& handle, std::uint32_t code, std::uint8_t* block) {
  Card& card = cards_[static_cast<std::size_t>(handle.card)];
  const std::uint32_t argument = platform::ReadLE32(block + kArgumentAt);
  const std::uint32_t value = platform::ReadLE32(block + kValueAt);
  switch (code) {
    case kDeviceLocation: {
      std::uint8_t* at = block + kLocationAt;
      at[0] = card.options.bus;
      at[1] = card.options.slot;
      platform::WriteLE16(at + 2, card.options.deviceId);
      platform::WriteLE16(at + 4, card.options.vendorId);
      std::memset(at + 6, 0, kNameSize);
      std::memcpy(at + 6, card.name.data(), std::min(card.name.size(), kNameSize - 1));
      return kSuccess;
    }
    case kDriverVersion:
      platform::WriteLE32(block + kValueAt, card.options.driverVersion);
      return kSuccess;
    case kMapWindow:
      platform::WriteLE32(block + kValueAt, 0);
      if (card.options.mapStatus) return *card.options.mapStatus;
      if (argument >= kWindows) return kNoSuchWindow;
      handle.mapped[argument] = true;
      platform::WriteLE32(block + kValueAt, argument * kWindowStride);
      return kSuccess;
    case kUnmapWindow:
      if (argument >= kWindows || !handle.mapped[argument] || value != argument * kWindowStride)
        return kNotMapped;
      handle.mapped[argument] = false;
      return kSuccess;
    default:  // kWriteRegister
      card.registers[argument] = value;
      return kSuccess;
  }
}

// The window behind a map answer, for as long as the handle has it mapped.
std::uint8_t* PciDriver::MapWindow(void* context, platform::pci::Device device,
                                   std::uint32_t answer, std::size_t size) {
  auto* driver = static_cast<PciDriver*>(context);
  std::lock_guard<std::mutex> hold(driver->lock_);
  auto* handle = static_cast<Handle*>(device);
  const std::uint32_t index = answer / kWindowStride;
  if (driver->handles_.count(handle) == 0 || answer % kWindowStride != 0 || index >= kWindows ||
      !handle->mapped[index] || size > kWindowSize)
    return nullptr;
  Card& card = driver->cards_[static_cast<std::size_t>(handle->card)];
  if (card.options.systemCannotMap) return nullptr;
  return card.memory.get() + index * kWindowSize;
}

// The card's memory stays where it is; the unmap request is what lets the window go.
void PciDriver::UnmapWindow(void*, platform::pci::Device, std::uint8_t*, std::size_t) {}

std::uint64_t PciDriver::Requests(std::uint32_t code) const {
  std::lock_guard<std::mutex> hold(lock_);
  const auto found = requests_.find(code);
  return found == requests_.end() ? 0 : found->second;
}

int PciDriver::OpenAttempts() const {
  std::lock_guard<std::mutex> hold(lock_);
  return openAttempts_;
}

int PciDriver::OpenHandles() const {
  std::lock_guard<std::mutex> hold(lock_);
  return static_cast<int>(handles_.size());
}

int PciDriver::MappedWindows() const {
  std::lock_guard<std::mutex> hold(lock_);
  int mapped = 0;
  for (const Handle* handle : handles_) {
    for (bool window : handle->mapped) mapped += window ? 1 : 0;
  }
  return mapped;
}

int PciDriver::EventsMade() const {
  std::lock_guard<std::mutex> hold(lock_);
  return eventsMade_;
}

int PciDriver::LiveEvents() const {
  std::lock_guard<std::mutex> hold(lock_);
  return static_cast<int>(events_.size());
}

std::optional<std::uint32_t> PciDriver::Register(int card, std::uint32_t offset) const {
  std::lock_guard<std::mutex> hold(lock_);
  const Card& found = cards_.at(static_cast<std::size_t>(card));
  const auto value = found.registers.find(offset);
  if (value == found.registers.end()) return std::nullopt;
  return value->second;
}

}  // namespace sim
