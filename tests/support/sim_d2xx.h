// A D2XX function table whose devices are simulated units in this process: the
// loader's real link code talks to sim::UsbUnit without sockets, on a virtual clock.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/d2xx.h"
#include "sim/usb_unit.h"

namespace sim_d2xx {

using platform::d2xx::Dword;
using platform::d2xx::Handle;
using platform::d2xx::Status;

// The units at device indexes 0, 1, ...; the scan ends after the last.
inline std::vector<sim::UsbUnit*> units;

inline sim::UsbUnit* UnitOf(Handle handle) {
  const auto index = reinterpret_cast<std::intptr_t>(handle) - 1;
  if (index < 0 || index >= static_cast<std::intptr_t>(units.size())) return nullptr;
  return units[static_cast<std::size_t>(index)];
}

inline Status D2XX_CALL Open(int index, Handle* handle) {
  if (index < 0 || index >= static_cast<int>(units.size())) return platform::d2xx::kDeviceNotFound;
  const Status status = units[static_cast<std::size_t>(index)]->Open();
  if (status == platform::d2xx::kOk) *handle = reinterpret_cast<Handle>(std::intptr_t{index} + 1);
  return status;
}
inline Status D2XX_CALL Close(Handle handle) {
  sim::UsbUnit* unit = UnitOf(handle);
  return unit ? unit->Close() : platform::d2xx::kInvalidHandle;
}
inline Status D2XX_CALL Read(Handle handle, void* buffer, Dword count, Dword* read) {
  sim::UsbUnit* unit = UnitOf(handle);
  return unit ? unit->Read(static_cast<std::uint8_t*>(buffer), count, read)
              : platform::d2xx::kInvalidHandle;
}
inline Status D2XX_CALL Write(Handle handle, void* buffer, Dword count, Dword* written) {
  sim::UsbUnit* unit = UnitOf(handle);
  return unit ? unit->Write(static_cast<const std::uint8_t*>(buffer), count, written)
              : platform::d2xx::kInvalidHandle;
}
inline Status D2XX_CALL ResetDevice(Handle handle) {
  sim::UsbUnit* unit = UnitOf(handle);
  return unit ? unit->Reset() : platform::d2xx::kInvalidHandle;
}
inline Status D2XX_CALL GetQueueStatus(Handle handle, Dword* receiveBytes) {
  sim::UsbUnit* unit = UnitOf(handle);
  return unit ? unit->QueueStatus(receiveBytes) : platform::d2xx::kInvalidHandle;
}
inline Status D2XX_CALL GetStatus(Handle handle, Dword* receiveBytes, Dword* transmitBytes,
                                  Dword* eventStatus) {
  sim::UsbUnit* unit = UnitOf(handle);
  return unit ? unit->GetStatus(receiveBytes, transmitBytes, eventStatus)
              : platform::d2xx::kInvalidHandle;
}
inline Status D2XX_CALL SetLatencyTimer(Handle handle, std::uint8_t milliseconds) {
  sim::UsbUnit* unit = UnitOf(handle);
  return unit ? unit->SetLatency(milliseconds) : platform::d2xx::kInvalidHandle;
}
inline Status D2XX_CALL EeRead(Handle handle, platform::d2xx::ProgramData* data) {
  sim::UsbUnit* unit = UnitOf(handle);
  return unit ? unit->EeRead(data) : platform::d2xx::kInvalidHandle;
}

inline platform::d2xx::Api Table() {
  return {Open, Close, Read, Write, ResetDevice, GetQueueStatus, GetStatus, SetLatencyTimer,
          EeRead};
}

}  // namespace sim_d2xx
