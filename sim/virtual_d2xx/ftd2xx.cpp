// The virtual FTDI D2XX library: the nine calls the loader uses, each a round trip
// to the tarvex-sim process that plays the unit. Device index K is the K-th slot with
// a unit listening, as the library numbers the attached devices 0 to n-1. One
// connection per open handle; every wait is bounded, so a simulator that dies or
// hangs shows up as a failed call (FT_IO_ERROR), never as a caller that hangs.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/bytes.h"
#include "platform/d2xx.h"
#include "sim/virtual_d2xx/sim_link.h"

#if defined(_WIN32)
// Exported through the .def file, which gives each call its ordinal.
#define FTD2XX_API
#else
#define FTD2XX_API __attribute__((visibility("default")))
#endif

namespace {

namespace d2xx = platform::d2xx;
using sim::link::Op;

constexpr d2xx::Status kInvalidParameter = 6;  // FT_INVALID_PARAMETER

// One open handle: its connection to the simulator, used by one caller at a time.
struct Device {
  std::mutex lock;
  sim::link::Client client;
};

// The handles given out and not yet closed, so a stale or foreign handle is
// refused rather than followed. A call in progress keeps its device alive.
class Handles {
 public:
  d2xx::Handle Add(std::shared_ptr<Device> device) {
    std::lock_guard<std::mutex> hold(lock_);
    Device* key = device.get();
    live_.emplace(key, std::move(device));
    return key;
  }
  // The device behind a live handle, or null.
  std::shared_ptr<Device> Find(d2xx::Handle handle) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = live_.find(static_cast<Device*>(handle));
    return it == live_.end() ? nullptr : it->second;
  }
  std::shared_ptr<Device> Remove(d2xx::Handle handle) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = live_.find(static_cast<Device*>(handle));
    if (it == live_.end()) return nullptr;
    std::shared_ptr<Device> device = std::move(it->second);
    live_.erase(it);
    return device;
  }

 private:
  std::mutex lock_;
  std::map<Device*, std::shared_ptr<Device>> live_;
};

Handles& AllHandles() {
  static Handles* handles = new Handles;  // never destroyed: calls may come late in exit
  return *handles;
}

// One call on an open handle: the simulator's status, or FT_IO_ERROR when the link
// to it failed.
d2xx::Status Call(Device& device, Op op, const std::uint8_t* payload, std::uint32_t size,
                  std::vector<std::uint8_t>* answer) {
  std::uint32_t status = d2xx::kIoError;
  if (!device.client.Exchange(op, payload, size, &status, answer)) return d2xx::kIoError;
  return status;
}

d2xx::Status SimpleCall(d2xx::Handle handle, Op op) {
  std::shared_ptr<Device> device = AllHandles().Find(handle);
  if (device == nullptr) return d2xx::kInvalidHandle;
  std::lock_guard<std::mutex> hold(device->lock);
  return Call(*device, op, nullptr, 0, nullptr);
}

// Opens the index-th unit on the USB: the slots are looked at in order and a unit
// that is unplugged is not counted, as the library numbers only the devices attached
// (the units above one unplugged move down). The units below are only asked whether
// they are attached, never opened. An empty slot refuses at once; one whose listener
// neither takes nor refuses the connection is passed over. The whole scan shares one
// connection bound, so a hung slot cannot hold the loader's device scan up for longer.
// FT_DEVICE_NOT_FOUND when there are fewer units, else the unit's answer to the open.
d2xx::Status OpenUnit(int index, sim::link::Client* client) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(sim::link::kConnectTimeoutMs);
  int found = 0;
  for (int slot = 0; slot < sim::link::kMaxSlots; ++slot) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return d2xx::kDeviceNotFound;
    if (client->Connect(slot, static_cast<int>(left)) != platform::SocketResult::kOk) continue;
    std::uint32_t status = d2xx::kDeviceNotOpened;
    if (found < index) {
      // A unit that cannot say is counted, as one that is attached.
      const bool asked = client->Exchange(Op::kPresence, nullptr, 0, &status, nullptr);
      client->Close();
      if (!asked || status == d2xx::kOk) ++found;
      continue;
    }
    if (!client->Exchange(Op::kOpen, nullptr, 0, &status, nullptr)) return d2xx::kDeviceNotOpened;
    if (status != d2xx::kDeviceNotFound) return status;  // open, or open elsewhere
    client->Close();  // unplugged: the next unit has this index
  }
  return d2xx::kDeviceNotFound;
}

// Copies a zero-padded text field into a caller's buffer of `size` bytes.
void CopyText(char* target, const std::uint8_t* field, std::uint32_t size) {
  if (target == nullptr) return;
  std::uint32_t length = 0;
  while (length + 1 < size && field[length] != 0) ++length;
  std::memcpy(target, field, length);
  target[length] = '\0';
}

}  // namespace

extern "C" {

FTD2XX_API d2xx::Status D2XX_CALL FT_Open(int index, d2xx::Handle* handle) {
  if (handle == nullptr) return kInvalidParameter;
  *handle = nullptr;
  if (index < 0) return d2xx::kDeviceNotFound;
  auto device = std::make_shared<Device>();
  // Fewer units than index + 1 is a machine without that device; the loader's scan
  // ends only at "not found".
  const d2xx::Status status = OpenUnit(index, &device->client);
  if (status != d2xx::kOk) return status;  // no such unit, or open elsewhere
  *handle = AllHandles().Add(std::move(device));
  return d2xx::kOk;
}

FTD2XX_API d2xx::Status D2XX_CALL FT_Close(d2xx::Handle handle) {
  std::shared_ptr<Device> device = AllHandles().Remove(handle);
  if (device == nullptr) return d2xx::kInvalidHandle;
  std::lock_guard<std::mutex> hold(device->lock);
  // The handle is gone whatever the simulator answers.
  const d2xx::Status status = Call(*device, Op::kClose, nullptr, 0, nullptr);
  device->client.Close();
  return status;
}

FTD2XX_API d2xx::Status D2XX_CALL FT_Read(d2xx::Handle handle, void* buffer, d2xx::Dword count,
                                          d2xx::Dword* read) {
  std::shared_ptr<Device> device = AllHandles().Find(handle);
  if (device == nullptr) return d2xx::kInvalidHandle;
  if (read == nullptr || (buffer == nullptr && count > 0)) return kInvalidParameter;
  std::lock_guard<std::mutex> hold(device->lock);
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  *read = 0;
  // In pieces the link carries; a piece that comes back short ends the read.
  do {
    const std::uint32_t piece = std::min<std::uint32_t>(count - *read, sim::link::kMaxPayload);
    std::uint8_t request[4];
    platform::WriteLE32(request, piece);
    std::vector<std::uint8_t> answer;
    const d2xx::Status status = Call(*device, Op::kRead, request, sizeof request, &answer);
    if (status != d2xx::kOk) return status;
    if (answer.size() > piece) return d2xx::kIoError;
    if (!answer.empty()) std::memcpy(bytes + *read, answer.data(), answer.size());
    *read += static_cast<d2xx::Dword>(answer.size());
    if (answer.size() < piece) break;
  } while (*read < count);
  return d2xx::kOk;
}

FTD2XX_API d2xx::Status D2XX_CALL FT_Write(d2xx::Handle handle, void* buffer, d2xx::Dword count,
                                           d2xx::Dword* written) {
  std::shared_ptr<Device> device = AllHandles().Find(handle);
  if (device == nullptr) return d2xx::kInvalidHandle;
  if (written == nullptr || (buffer == nullptr && count > 0)) return kInvalidParameter;
  std::lock_guard<std::mutex> hold(device->lock);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  *written = 0;
  do {
    const std::uint32_t piece = std::min<std::uint32_t>(count - *written, sim::link::kMaxPayload);
    std::vector<std::uint8_t> answer;
    const d2xx::Status status = Call(*device, Op::kWrite, bytes + *written, piece, &answer);
    if (status != d2xx::kOk) return status;
    if (answer.size() != 4) return d2xx::kIoError;
    const std::uint32_t taken = platform::ReadLE32(answer.data());
    if (taken > piece) return d2xx::kIoError;
    *written += taken;
    if (taken < piece) break;  // a short write: the caller sends the rest
  } while (*written < count);
  return d2xx::kOk;
}

FTD2XX_API d2xx::Status D2XX_CALL FT_ResetDevice(d2xx::Handle handle) {
  return SimpleCall(handle, Op::kReset);
}

FTD2XX_API d2xx::Status D2XX_CALL FT_GetQueueStatus(d2xx::Handle handle,
                                                    d2xx::Dword* receiveBytes) {
  std::shared_ptr<Device> device = AllHandles().Find(handle);
  if (device == nullptr) return d2xx::kInvalidHandle;
  if (receiveBytes == nullptr) return kInvalidParameter;
  std::lock_guard<std::mutex> hold(device->lock);
  std::vector<std::uint8_t> answer;
  const d2xx::Status status = Call(*device, Op::kQueueStatus, nullptr, 0, &answer);
  if (status != d2xx::kOk) return status;
  if (answer.size() != 4) return d2xx::kIoError;
  *receiveBytes = platform::ReadLE32(answer.data());
  return d2xx::kOk;
}

FTD2XX_API d2xx::Status D2XX_CALL FT_GetStatus(d2xx::Handle handle, d2xx::Dword* receiveBytes,
                                               d2xx::Dword* transmitBytes,
                                               d2xx::Dword* eventStatus) {
  std::shared_ptr<Device> device = AllHandles().Find(handle);
  if (device == nullptr) return d2xx::kInvalidHandle;
  if (receiveBytes == nullptr || transmitBytes == nullptr || eventStatus == nullptr)
    return kInvalidParameter;
  std::lock_guard<std::mutex> hold(device->lock);
  std::vector<std::uint8_t> answer;
  const d2xx::Status status = Call(*device, Op::kGetStatus, nullptr, 0, &answer);
  if (status != d2xx::kOk) return status;
  if (answer.size() != 12) return d2xx::kIoError;
  *receiveBytes = platform::ReadLE32(answer.data());
  *transmitBytes = platform::ReadLE32(answer.data() + 4);
  *eventStatus = platform::ReadLE32(answer.data() + 8);
  return d2xx::kOk;
}

FTD2XX_API d2xx::Status D2XX_CALL FT_SetLatencyTimer(d2xx::Handle handle,
                                                     std::uint8_t milliseconds) {
  std::shared_ptr<Device> device = AllHandles().Find(handle);
  if (device == nullptr) return d2xx::kInvalidHandle;
  std::lock_guard<std::mutex> hold(device->lock);
  return Call(*device, Op::kSetLatency, &milliseconds, 1, nullptr);
}

FTD2XX_API d2xx::Status D2XX_CALL FT_EE_Read(d2xx::Handle handle, d2xx::ProgramData* data) {
  std::shared_ptr<Device> device = AllHandles().Find(handle);
  if (device == nullptr) return d2xx::kInvalidHandle;
  if (data == nullptr) return kInvalidParameter;
  std::lock_guard<std::mutex> hold(device->lock);
  std::uint8_t request[12];
  platform::WriteLE32(request, data->Signature1);
  platform::WriteLE32(request + 4, data->Signature2);
  platform::WriteLE32(request + 8, data->Version);
  std::vector<std::uint8_t> answer;
  const d2xx::Status status = Call(*device, Op::kEeRead, request, sizeof request, &answer);
  if (status != d2xx::kOk) return status;
  if (answer.size() != sim::link::kEepromAnswerSize) return d2xx::kIoError;
  const std::uint8_t* field = answer.data();
  data->Version = platform::ReadLE32(field);
  data->VendorId = platform::ReadLE16(field + 4);
  data->ProductId = platform::ReadLE16(field + 6);
  field += 8;
  CopyText(data->Manufacturer, field, sim::link::kManufacturerSize);
  field += sim::link::kManufacturerSize;
  CopyText(data->ManufacturerId, field, sim::link::kManufacturerIdSize);
  field += sim::link::kManufacturerIdSize;
  CopyText(data->Description, field, sim::link::kDescriptionSize);
  field += sim::link::kDescriptionSize;
  CopyText(data->SerialNumber, field, sim::link::kSerialNumberSize);
  return d2xx::kOk;
}

}  // extern "C"
