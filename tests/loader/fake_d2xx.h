// A scripted D2XX library for in-process tests of the USB link and the programming
// worker: devices per index with their EEPROM data, bytes arriving per poll, every
// written byte and every call recorded, and failures injected on the Nth call.
// Written from the library's documented call contract, not from the link's code.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/d2xx.h"

namespace fake_d2xx {

namespace d2xx = platform::d2xx;

enum class Call { Open, Close, Read, Write, Reset, QueueStatus, GetStatus, Latency, EeRead, Count };

// One device at an index, as the library enumerates it.
struct Device {
  d2xx::Status openStatus = d2xx::kOk;
  d2xx::Status eeStatus = d2xx::kOk;
  std::uint16_t vendorId = 0x0403;
  std::uint16_t productId = 0xDE50;
  std::string manufacturer = "Tarvex";
  std::string manufacturerId = "TV";
  std::string description = "Tarvex USB";
  std::string serial = "TV000001";
};

// Fails calls of one kind: the `nth` call from now and `times` calls from there
// (0: every one from there on).
struct Fault {
  Call call;
  int nth = 1;
  int times = 1;
  d2xx::Status status = d2xx::kIoError;
};

// What the EEPROM read was handed.
struct EeRequest {
  d2xx::Dword signature1 = 0;
  d2xx::Dword signature2 = 0;
  bool stringsGiven = false;
};

// The library. One exists at a time; the static entry points reach it.
class FakeLibrary {
 public:
  // The newest library is the one the entry points reach, until it goes.
  FakeLibrary() : previous_(current_) { current_ = this; }
  ~FakeLibrary() { current_ = previous_; }
  FakeLibrary(const FakeLibrary&) = delete;
  FakeLibrary& operator=(const FakeLibrary&) = delete;

  static const d2xx::Api* Api() {
    static const d2xx::Api api = {OpenEntry,      CloseEntry,   ReadEntry,
                                  WriteEntry,     ResetEntry,   QueueStatusEntry,
                                  GetStatusEntry, LatencyEntry, EeReadEntry};
    return &api;
  }

  // --- scripting (test thread, before the link runs or between its calls)
  void AddDevice(Device device) {
    Lock lock(mutex_);
    devices_.push_back(std::move(device));
  }
  Device& DeviceAt(std::size_t index) { return devices_.at(index); }
  // Every Open beyond the devices answers this (a library that never says "none").
  void SetOpenBeyondDevices(d2xx::Status status) { beyond_ = status; }
  void Inject(Fault fault) {
    Lock lock(mutex_);
    faults_.push_back({fault, calls_[Index(fault.call)]});
  }
  void ClearFaults() {
    Lock lock(mutex_);
    faults_.clear();
  }
  // Bytes that the next queue-status query finds waiting, after those already there.
  void Arrive(std::vector<std::uint8_t> bytes) {
    Lock lock(mutex_);
    chunks_.push_back(std::move(bytes));
  }
  // A record the unit sends: joins the bytes already waiting.
  void Reply(std::uint16_t code, std::uint32_t value) {
    Lock lock(mutex_);
    const std::uint8_t bytes[6] = {
        static_cast<std::uint8_t>(code),        static_cast<std::uint8_t>(code >> 8),
        static_cast<std::uint8_t>(value),       static_cast<std::uint8_t>(value >> 8),
        static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    if (chunks_.empty()) chunks_.emplace_back();
    chunks_.back().insert(chunks_.back().end(), bytes, bytes + 6);
  }
  // At most this many bytes taken per write (0: all).
  void SetShortWrites(std::uint32_t maxBytes) {
    Lock lock(mutex_);
    maxWrite_ = maxBytes;
  }
  // Reads report this many bytes more than they delivered (a misbehaving library).
  void SetReadOverReport(d2xx::Dword extra) {
    Lock lock(mutex_);
    readOverReport_ = extra;
  }
  // Writes report success but take nothing.
  void SetWritesTakeNothing(bool nothing) {
    Lock lock(mutex_);
    takeNothing_ = nothing;
  }
  // Sees each complete six-byte record written, in order (code, value), on the
  // writing thread. May call Reply.
  void OnRecord(std::function<void(std::uint16_t, std::uint32_t)> handler) {
    Lock lock(mutex_);
    onRecord_ = std::move(handler);
  }

  // --- observation
  std::vector<std::uint8_t> Written() const {
    Lock lock(mutex_);
    return written_;
  }
  void ClearWritten() {
    Lock lock(mutex_);
    written_.clear();
    writeRequests_.clear();
  }
  std::vector<d2xx::Dword> WriteRequests() const {  // byte counts asked, in order
    Lock lock(mutex_);
    return writeRequests_;
  }
  std::vector<d2xx::Dword> ReadRequests() const {
    Lock lock(mutex_);
    return readRequests_;
  }
  int Calls(Call call) const {
    Lock lock(mutex_);
    return calls_[Index(call)];
  }
  // Every call as "Open(0)", "Close(1)", "Write(1,198)", ...: handles show as the
  // device index plus one, 0 for none.
  std::vector<std::string> Log() const {
    Lock lock(mutex_);
    return log_;
  }
  std::vector<std::string> LogOf(std::initializer_list<const char*> names) const {
    Lock lock(mutex_);
    std::vector<std::string> picked;
    for (const std::string& entry : log_) {
      for (const char* name : names) {
        if (entry.rfind(std::string(name) + "(", 0) == 0) picked.push_back(entry);
      }
    }
    return picked;
  }
  void ClearLog() {
    Lock lock(mutex_);
    log_.clear();
  }
  std::vector<std::uint8_t> LatencySet() const {
    Lock lock(mutex_);
    return latency_;
  }
  std::vector<EeRequest> EeRequests() const {
    Lock lock(mutex_);
    return eeRequests_;
  }
  int OpenIndex() const {
    Lock lock(mutex_);
    return openIndex_;
  }
  std::size_t BytesWaiting() const {
    Lock lock(mutex_);
    std::size_t total = 0;
    for (const auto& chunk : chunks_) total += chunk.size();
    return total;
  }

 private:
  using Lock = std::lock_guard<std::recursive_mutex>;
  struct ActiveFault {
    Fault fault;
    int base;  // calls of that kind made before it was injected
  };

  static constexpr std::size_t Index(Call call) { return static_cast<std::size_t>(call); }
  static FakeLibrary& Current() { return *current_; }

  static std::uintptr_t HandleValue(d2xx::Handle handle) {
    return reinterpret_cast<std::uintptr_t>(handle);
  }

  // Counts the call, logs it, and returns the injected failure, or kOk.
  d2xx::Status Enter(Call call, const std::string& entry) {
    const int number = ++calls_[Index(call)];
    log_.push_back(entry);
    for (const ActiveFault& active : faults_) {
      if (active.fault.call != call) continue;
      const int relative = number - active.base;
      if (relative >= active.fault.nth &&
          (active.fault.times == 0 || relative < active.fault.nth + active.fault.times)) {
        return active.fault.status;
      }
    }
    return d2xx::kOk;
  }
  bool Valid(d2xx::Handle handle) const {
    return openIndex_ >= 0 && HandleValue(handle) == static_cast<std::uintptr_t>(openIndex_) + 1;
  }
  std::string Shown(d2xx::Handle handle) const { return std::to_string(HandleValue(handle)); }

  static d2xx::Status D2XX_CALL OpenEntry(int index, d2xx::Handle* handle) {
    FakeLibrary& self = Current();
    Lock lock(self.mutex_);
    if (d2xx::Status fault = self.Enter(Call::Open, "Open(" + std::to_string(index) + ")")) {
      return fault;
    }
    if (index < 0 || static_cast<std::size_t>(index) >= self.devices_.size()) return self.beyond_;
    const Device& device = self.devices_[static_cast<std::size_t>(index)];
    if (device.openStatus != d2xx::kOk) return device.openStatus;
    if (self.openIndex_ >= 0) return d2xx::kDeviceNotOpened;  // one device open at a time here
    self.openIndex_ = index;
    *handle = reinterpret_cast<d2xx::Handle>(static_cast<std::uintptr_t>(index) + 1);
    return d2xx::kOk;
  }
  static d2xx::Status D2XX_CALL CloseEntry(d2xx::Handle handle) {
    FakeLibrary& self = Current();
    Lock lock(self.mutex_);
    if (d2xx::Status fault = self.Enter(Call::Close, "Close(" + self.Shown(handle) + ")")) {
      return fault;
    }
    if (!self.Valid(handle)) return d2xx::kInvalidHandle;
    self.openIndex_ = -1;
    return d2xx::kOk;
  }
  static d2xx::Status D2XX_CALL ReadEntry(d2xx::Handle handle, void* buffer, d2xx::Dword count,
                                          d2xx::Dword* read) {
    FakeLibrary& self = Current();
    Lock lock(self.mutex_);
    *read = 0;
    self.readRequests_.push_back(count);
    const std::string entry = "Read(" + self.Shown(handle) + "," + std::to_string(count) + ")";
    if (d2xx::Status fault = self.Enter(Call::Read, entry)) return fault;
    if (!self.Valid(handle)) return d2xx::kInvalidHandle;
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (*read < count && !self.chunks_.empty()) {
      auto& chunk = self.chunks_.front();
      const std::size_t take = std::min<std::size_t>(count - *read, chunk.size());
      std::copy_n(chunk.begin(), take, out + *read);
      chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(take));
      *read += static_cast<d2xx::Dword>(take);
      if (chunk.empty())
        self.chunks_.pop_front();
      else
        break;
    }
    *read += self.readOverReport_;
    return d2xx::kOk;
  }
  static d2xx::Status D2XX_CALL WriteEntry(d2xx::Handle handle, void* buffer, d2xx::Dword count,
                                           d2xx::Dword* written) {
    FakeLibrary& self = Current();
    std::function<void(std::uint16_t, std::uint32_t)> handler;
    std::vector<std::pair<std::uint16_t, std::uint32_t>> records;
    {
      Lock lock(self.mutex_);
      *written = 0;
      self.writeRequests_.push_back(count);
      const std::string entry = "Write(" + self.Shown(handle) + "," + std::to_string(count) + ")";
      if (d2xx::Status fault = self.Enter(Call::Write, entry)) return fault;
      if (!self.Valid(handle)) return d2xx::kInvalidHandle;
      d2xx::Dword taken = self.maxWrite_ != 0 ? std::min(count, self.maxWrite_) : count;
      if (self.takeNothing_) taken = 0;
      const auto* in = static_cast<const std::uint8_t*>(buffer);
      self.written_.insert(self.written_.end(), in, in + taken);
      *written = taken;
      for (d2xx::Dword i = 0; i < taken; ++i) {
        self.assembly_.push_back(in[i]);
        if (self.assembly_.size() == 6) {
          const auto& a = self.assembly_;
          records.emplace_back(static_cast<std::uint16_t>(a[0] | (a[1] << 8)),
                               std::uint32_t{a[2]} | (std::uint32_t{a[3]} << 8) |
                                   (std::uint32_t{a[4]} << 16) | (std::uint32_t{a[5]} << 24));
          self.assembly_.clear();
        }
      }
      handler = self.onRecord_;
    }
    if (handler) {
      for (const auto& [code, value] : records) handler(code, value);
    }
    return d2xx::kOk;
  }
  static d2xx::Status D2XX_CALL ResetEntry(d2xx::Handle handle) {
    FakeLibrary& self = Current();
    Lock lock(self.mutex_);
    if (d2xx::Status fault = self.Enter(Call::Reset, "Reset(" + self.Shown(handle) + ")")) {
      return fault;
    }
    return self.Valid(handle) ? d2xx::kOk : d2xx::kInvalidHandle;
  }
  static d2xx::Status D2XX_CALL QueueStatusEntry(d2xx::Handle handle, d2xx::Dword* waiting) {
    FakeLibrary& self = Current();
    Lock lock(self.mutex_);
    *waiting = 0;
    const std::string entry = "QueueStatus(" + self.Shown(handle) + ")";
    if (d2xx::Status fault = self.Enter(Call::QueueStatus, entry)) return fault;
    if (!self.Valid(handle)) return d2xx::kInvalidHandle;
    if (!self.chunks_.empty()) *waiting = static_cast<d2xx::Dword>(self.chunks_.front().size());
    return d2xx::kOk;
  }
  static d2xx::Status D2XX_CALL GetStatusEntry(d2xx::Handle handle, d2xx::Dword* receive,
                                               d2xx::Dword* transmit, d2xx::Dword* events) {
    FakeLibrary& self = Current();
    Lock lock(self.mutex_);
    *receive = *transmit = *events = 0;
    const std::string entry = "GetStatus(" + self.Shown(handle) + ")";
    if (d2xx::Status fault = self.Enter(Call::GetStatus, entry)) return fault;
    return self.Valid(handle) ? d2xx::kOk : d2xx::kInvalidHandle;
  }
  static d2xx::Status D2XX_CALL LatencyEntry(d2xx::Handle handle, std::uint8_t milliseconds) {
    FakeLibrary& self = Current();
    Lock lock(self.mutex_);
    const std::string entry =
        "Latency(" + self.Shown(handle) + "," + std::to_string(milliseconds) + ")";
    if (d2xx::Status fault = self.Enter(Call::Latency, entry)) return fault;
    if (!self.Valid(handle)) return d2xx::kInvalidHandle;
    self.latency_.push_back(milliseconds);
    return d2xx::kOk;
  }
  // The library copies each string into the caller's buffer of the documented
  // size (32, 16, 64, 16), terminated when it fits; an over-long one fills the
  // buffer without its zero.
  static void CopyString(char* to, std::size_t size, const std::string& text) {
    const std::size_t length = std::min(size, text.size());
    std::memcpy(to, text.data(), length);
    if (length < size) to[length] = '\0';
  }
  static d2xx::Status D2XX_CALL EeReadEntry(d2xx::Handle handle, d2xx::ProgramData* data) {
    FakeLibrary& self = Current();
    Lock lock(self.mutex_);
    self.eeRequests_.push_back({data->Signature1, data->Signature2,
                                data->Manufacturer != nullptr && data->ManufacturerId != nullptr &&
                                    data->Description != nullptr && data->SerialNumber != nullptr});
    if (d2xx::Status fault = self.Enter(Call::EeRead, "EeRead(" + self.Shown(handle) + ")")) {
      return fault;
    }
    if (!self.Valid(handle)) return d2xx::kInvalidHandle;
    const Device& device = self.devices_[static_cast<std::size_t>(self.openIndex_)];
    if (device.eeStatus != d2xx::kOk) return device.eeStatus;
    if (!self.eeRequests_.back().stringsGiven) return d2xx::kIoError;
    data->VendorId = device.vendorId;
    data->ProductId = device.productId;
    CopyString(data->Manufacturer, 32, device.manufacturer);
    CopyString(data->ManufacturerId, 16, device.manufacturerId);
    CopyString(data->Description, 64, device.description);
    CopyString(data->SerialNumber, 16, device.serial);
    // The library owns the whole record while it reads: nothing in it, the
    // signature words included, can be taken as still set for the next read.
    data->Signature1 = 0x5A5A5A5A;
    data->Signature2 = 0x00000000;
    return d2xx::kOk;
  }

  static inline FakeLibrary* current_ = nullptr;
  FakeLibrary* previous_;

  mutable std::recursive_mutex mutex_;
  std::vector<Device> devices_;
  d2xx::Status beyond_ = d2xx::kDeviceNotFound;
  int openIndex_ = -1;
  std::vector<ActiveFault> faults_;
  int calls_[static_cast<std::size_t>(Call::Count)] = {};
  std::deque<std::vector<std::uint8_t>> chunks_;
  d2xx::Dword readOverReport_ = 0;
  std::uint32_t maxWrite_ = 0;
  bool takeNothing_ = false;
  std::vector<std::uint8_t> written_;
  std::vector<std::uint8_t> assembly_;
  std::vector<d2xx::Dword> writeRequests_;
  std::vector<d2xx::Dword> readRequests_;
  std::vector<std::string> log_;
  std::vector<std::uint8_t> latency_;
  std::vector<EeRequest> eeRequests_;
  std::function<void(std::uint16_t, std::uint32_t)> onRecord_;
};

// Six bytes of one record, built byte by byte from the wire rule.
inline std::vector<std::uint8_t> RecordBytes(std::uint16_t code, std::uint32_t value) {
  return {static_cast<std::uint8_t>(code & 0xFF),
          static_cast<std::uint8_t>(code >> 8),
          static_cast<std::uint8_t>(value & 0xFF),
          static_cast<std::uint8_t>((value >> 8) & 0xFF),
          static_cast<std::uint8_t>((value >> 16) & 0xFF),
          static_cast<std::uint8_t>(value >> 24)};
}

// Collects trace lines from any thread.
class TraceLog {
 public:
  std::function<void(const std::string&)> Tap() {
    return [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    };
  }
  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }
  int Count(const std::string& line) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::count(lines_.begin(), lines_.end(), line));
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

inline void Append(std::vector<std::uint8_t>& to, const std::vector<std::uint8_t>& bytes) {
  to.insert(to.end(), bytes.begin(), bytes.end());
}

}  // namespace fake_d2xx
