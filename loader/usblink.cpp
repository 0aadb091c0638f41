// The USB link to the unit over the D2XX library: finding and opening the unit,
// record output and input, the recovery ladder, and the trace output.
#include "loader/usblink.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/bytes.h"

namespace loader {

namespace d2xx = platform::d2xx;

namespace {

// Stands in while no library is bound: no device to open, and every call on a
// handle answers as the library does for one that is not open.
d2xx::Status D2XX_CALL AbsentOpen(int, d2xx::Handle*) {
  return d2xx::kDeviceNotFound;
}
d2xx::Status D2XX_CALL AbsentClose(d2xx::Handle) {
  return d2xx::kInvalidHandle;
}
d2xx::Status D2XX_CALL AbsentRead(d2xx::Handle, void*, d2xx::Dword, d2xx::Dword*) {
  return d2xx::kInvalidHandle;
}
d2xx::Status D2XX_CALL AbsentWrite(d2xx::Handle, void*, d2xx::Dword, d2xx::Dword*) {
  return d2xx::kInvalidHandle;
}
d2xx::Status D2XX_CALL AbsentReset(d2xx::Handle) {
  return d2xx::kInvalidHandle;
}
d2xx::Status D2XX_CALL AbsentQueueStatus(d2xx::Handle, d2xx::Dword*) {
  return d2xx::kInvalidHandle;
}
d2xx::Status D2XX_CALL AbsentStatus(d2xx::Handle, d2xx::Dword*, d2xx::Dword*, d2xx::Dword*) {
  return d2xx::kInvalidHandle;
}
d2xx::Status D2XX_CALL AbsentLatency(d2xx::Handle, std::uint8_t) {
  return d2xx::kInvalidHandle;
}
d2xx::Status D2XX_CALL AbsentEeRead(d2xx::Handle, d2xx::ProgramData*) {
  return d2xx::kInvalidHandle;
}

const d2xx::Api kAbsentLibrary = {AbsentOpen,   AbsentClose,   AbsentRead,
                                  AbsentWrite,  AbsentReset,   AbsentQueueStatus,
                                  AbsentStatus, AbsentLatency, AbsentEeRead};

std::int32_t AsRecorded(d2xx::Status status) {
  return static_cast<std::int32_t>(status);
}

// The library fills the strings; one that leaves a buffer unterminated must not
// make us read past it.
template <std::size_t N>
void Terminate(char (&text)[N]) {
  text[N - 1] = '\0';
}

}  // namespace

const d2xx::Api& UsbLink::Library() const {
  return api_ != nullptr ? *api_ : kAbsentLibrary;
}

std::vector<std::string> ListUnitSerials(const d2xx::Api& library) {
  std::vector<std::string> serials;
  for (int index = 0; index < kMaxDeviceIndexes; ++index) {
    d2xx::Handle handle = nullptr;
    const d2xx::Status opened = library.Open(index, &handle);
    if (opened == d2xx::kDeviceNotFound) break;
    if (opened != d2xx::kOk) continue;
    char manufacturer[32] = {}, manufacturerId[16] = {}, description[64] = {}, serial[16] = {};
    d2xx::ProgramData data;
    data.Manufacturer = manufacturer;
    data.ManufacturerId = manufacturerId;
    data.Description = description;
    data.SerialNumber = serial;
    const bool read = library.EeRead(handle, &data) == d2xx::kOk;
    library.Close(handle);
    Terminate(serial);
    if (read && data.ProductId == kUnitProductId && serial[0] != '\0') serials.push_back(serial);
  }
  return serials;
}

bool UsbLink::OpenUnitBySerial(const char* serial) {
  const std::size_t length = std::strlen(serial);
  if (length >= sizeof WantedSerial) {
    // Cut short it would select another unit.
    TraceLine(kSerialTooLongTrace, serial);
    return false;
  }
  std::memset(WantedSerial, 0, sizeof WantedSerial);
  std::memcpy(WantedSerial, serial, length);
  return OpenUnit();
}

bool UsbLink::OpenFirstUnit() {
  std::memset(WantedSerial, 0, sizeof WantedSerial);
  return OpenUnit();
}

bool UsbLink::OpenUnit() {
  if (IsOpen()) CloseUnit();
  const d2xx::Api& library = Library();
  for (int index = 0; index < kMaxDeviceIndexes; ++index) {
    d2xx::Handle handle = nullptr;
    LastStatus = AsRecorded(library.Open(index, &handle));
    if (LastStatus == AsRecorded(d2xx::kDeviceNotFound)) {
      TraceLine("%s not found", kUnitName);
      return false;
    }
    if (LastStatus != AsRecorded(d2xx::kOk)) {
      // While we look for one particular unit, a device answering 1 is passed by
      // without a line.
      if (LastStatus != AsRecorded(d2xx::kInvalidHandle) || WantedSerial[0] == '\0') {
        TraceLine("Device %d Open failed %d", index, LastStatus);
      }
      continue;
    }
    handle_ = handle;

    std::memset(Manufacturer, 0, sizeof Manufacturer);
    std::memset(ManufacturerId, 0, sizeof ManufacturerId);
    std::memset(Description, 0, sizeof Description);
    std::memset(SerialNumber, 0, sizeof SerialNumber);
    ProgramRecord.Signature1 = 0x00000000;
    ProgramRecord.Signature2 = 0xFFFFFFFF;
    ProgramRecord.Manufacturer = Manufacturer;
    ProgramRecord.ManufacturerId = ManufacturerId;
    ProgramRecord.Description = Description;
    ProgramRecord.SerialNumber = SerialNumber;
    LastStatus = AsRecorded(library.EeRead(handle_, &ProgramRecord));
    Terminate(Manufacturer);
    Terminate(ManufacturerId);
    Terminate(Description);
    Terminate(SerialNumber);
    const unsigned vendorId = ProgramRecord.VendorId;
    const unsigned productId = ProgramRecord.ProductId;

    if (LastStatus != AsRecorded(d2xx::kOk)) {
      TraceLine("Failed to read EEPROM %d!", LastStatus);
      ForgetDevice();
      continue;
    }
    if (productId != kUnitProductId) {
      TraceLine("Unit %d Not %s, ID: 0x%04x 0x%04x", index, kUnitName, vendorId, productId);
      ForgetDevice();
      TraceLine("%s", "");
      continue;
    }
    if (WantedSerial[0] != '\0' && std::strcmp(SerialNumber, WantedSerial) != 0) {
      TraceLine("Serial number <%s> not <%s>", SerialNumber, WantedSerial);
      ForgetDevice();
      continue;
    }

    library.SetLatencyTimer(handle_, 1);  // the unit's short replies arrive at once
    TraceLine("Unit %d OK, ID: 0x%04x 0x%04x", index, vendorId, productId);
    TraceLine("  Description: %s", Description);
    TraceLine(" Manufacturer: %s (%s)", Manufacturer, ManufacturerId);
    TraceLine("    Serial No: %s", SerialNumber);
    return true;
  }
  TraceLine("%s not found", kUnitName);
  return false;
}

void UsbLink::ForgetDevice() {
  Library().Close(handle_);
  handle_ = nullptr;
}

void UsbLink::CloseUnit() {
  // Called on the exit path whether or not a unit is open: the library is asked
  // to close whatever handle we hold, none included.
  if (api_ != nullptr) LastStatus = AsRecorded(api_->Close(handle_));
  TraceLine("Device Closed");
  handle_ = nullptr;
}

void UsbLink::QueueRecord(std::uint16_t code, std::uint32_t value) {
  if (static_cast<std::size_t>(OutLength) + kLinkRecordSize > kOutBufferSize) {
    // Only a flush that failed leaves the buffer this full: try once more, and
    // rather lose the record than write past the buffer.
    FlushRecords();
    if (static_cast<std::size_t>(OutLength) + kLinkRecordSize > kOutBufferSize) {
      TraceLine(kRecordDroppedTrace, static_cast<unsigned>(code), static_cast<unsigned>(value));
      return;
    }
  }
  platform::WriteLE16(OutBuffer + OutLength, code);
  OutLength = static_cast<std::int16_t>(OutLength + 2);
  platform::WriteLE32(OutBuffer + OutLength, value);
  OutLength = static_cast<std::int16_t>(OutLength + 4);
  if (static_cast<std::size_t>(OutLength) > kOutThreshold) {
    TraceLine(" ******   Buffer overflow ******");
    FlushRecords();
  }
}

bool UsbLink::FlushRecords() {
  const d2xx::Api& library = Library();
  LastStatus = AsRecorded(DeviceStatus());
  if (LastStatus != AsRecorded(d2xx::kOk)) {
    TraceLine("Get Queue Status failed %d!", LastStatus);
    if (!RecoverLink()) return false;
  }
  // On failure the whole buffer stays, bytes already written included: a short
  // write may have ended inside a record, and the unit takes a record twice more
  // gracefully than half of one.
  const std::size_t length = static_cast<std::size_t>(OutLength);
  std::size_t sent = 0;
  int recoveries = 0;
  int emptyWrites = 0;
  while (sent < length) {
    const auto remaining = static_cast<d2xx::Dword>(length - sent);
    d2xx::Dword written = 0;
    LastStatus = AsRecorded(library.Write(handle_, OutBuffer + sent, remaining, &written));
    if (LastStatus != AsRecorded(d2xx::kOk)) {
      TraceLine("Write failed %d!", LastStatus);
      if (++recoveries > kMaxRecoveriesPerCall) {
        TraceLine(kRecoveriesExhaustedTrace, kMaxRecoveriesPerCall);
        return false;
      }
      if (!RecoverLink()) return false;
      continue;  // the same remaining bytes again
    }
    if (written == 0) {
      if (++emptyWrites >= kMaxEmptyWrites) {
        TraceLine(kWriteStalledTrace, static_cast<int>(remaining));
        return false;
      }
      continue;
    }
    emptyWrites = 0;
    sent += std::min(written, remaining);
  }
  OutLength = 0;
  return true;
}

bool UsbLink::PollUnit() {
  const d2xx::Api& library = Library();
  d2xx::Dword waiting = 0;
  LastStatus = AsRecorded(library.GetQueueStatus(handle_, &waiting));
  if (LastStatus != AsRecorded(d2xx::kOk)) {
    TraceLine("Get Queue Status failed %d!", LastStatus);
    if (!RecoverLink()) return false;
    waiting = 0;
    LastStatus = AsRecorded(library.GetQueueStatus(handle_, &waiting));
    if (LastStatus != AsRecorded(d2xx::kOk)) waiting = 0;
  }
  if (waiting == 0) return true;

  std::uint8_t received[kReadChunk];
  const auto count = static_cast<d2xx::Dword>(std::min<std::size_t>(waiting, kReadChunk));
  d2xx::Dword got = 0;
  LastStatus = AsRecorded(library.Read(handle_, received, count, &got));
  int recoveries = 0;
  while (LastStatus != AsRecorded(d2xx::kOk)) {
    TraceLine("Read returned error status %d!", LastStatus);
    if (++recoveries > kMaxRecoveriesPerCall) {
      TraceLine(kRecoveriesExhaustedTrace, kMaxRecoveriesPerCall);
      return false;
    }
    if (!RecoverLink()) return false;
    got = 0;
    LastStatus = AsRecorded(library.Read(handle_, received, count, &got));
  }
  got = std::min(got, count);

  bool fillerAnswered = false;
  for (d2xx::Dword i = 0; i < got; ++i) {
    const std::uint8_t byte = received[i];
    if (ReplyCount == 0 && byte == 0xFF) {
      // Idle fill between records: answered once per poll, with the next flush.
      if (!fillerAnswered) {
        QueueRecord(kFillerCode, kFillerValue);
        fillerAnswered = true;
      }
      continue;
    }
    ReplyAssembly[ReplyCount++] = byte;
    if (ReplyCount == kLinkRecordSize) {
      ReplyCount = 0;
      if (onRecord_) {
        onRecord_(platform::ReadLE16(ReplyAssembly), platform::ReadLE32(ReplyAssembly + 2));
      }
    }
  }
  return true;
}

bool UsbLink::RecoverLink() {
  if (!IsOpen()) {
    TraceLine("USB Closed");
    return false;
  }
  TraceLine("FTDI Chip recovery");
  const std::int64_t end =
      clock_.Counter() + clock_.Frequency() * std::int64_t{kRecoveryWindowMs} / 1000;
  LastStatus = AsRecorded(Library().ResetDevice(handle_));
  if (CheckRecovered("Reset Device")) return Recovered();

  CloseUnit();
  if (OpenUnit()) {
    if (CheckRecovered("close & open")) return Recovered();
    CloseUnit();
  }
  for (int attempt = 0; attempt < kRecoveryAttempts && clock_.Counter() < end; ++attempt) {
    clock_.Sleep(kRecoveryPauseMs);
    if (OpenUnit()) {
      if (CheckRecovered("Opened")) return Recovered();
      CloseUnit();
    } else {
      TraceLine("Resetting USB Device (XP only)");
    }
  }
  TraceLine("Recovery: *** Failed! ***");
  return false;
}

bool UsbLink::Recovered() {
  ++recoveries_;
  return true;
}

bool UsbLink::CheckRecovered(const char* label) {
  const std::int32_t status = AsRecorded(DeviceStatus());
  TraceLine("Recovery: %s %d/%d", label, LastStatus, status);
  if (LastStatus != 0 || status != 0) return false;
  TraceLine("Recovery: Fixed!");
  return true;
}

d2xx::Status UsbLink::DeviceStatus() {
  d2xx::Dword receiveBytes = 0;
  d2xx::Dword transmitBytes = 0;
  d2xx::Dword eventStatus = 0;
  return Library().GetStatus(handle_, &receiveBytes, &transmitBytes, &eventStatus);
}

void UsbLink::TraceLine(const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (traceTap_) traceTap_(text);
  if (sink_) sink_(text);
}

void UsbLink::SendToTraceWindow(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  traceWindow_.Send(text);
}

}  // namespace loader
