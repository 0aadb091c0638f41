// The simulated unit as the D2XX library reaches it: the FTDI device's calls, its
// receive queue and idle fill, plugging, and the faults tests and `tarvex-sim ctl`
// inject (the Nth call of a kind failed, short writes, unplugs).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "sim/usb_unit.h"

namespace sim {
namespace {

using platform::d2xx::Status;
namespace d2xx = platform::d2xx;

// FT_INVALID_PARAMETER, for null pointers the library would refuse.
constexpr Status kInvalidParameter = 6;
constexpr std::uint32_t kFillPeriodMs = 50;
constexpr std::size_t kFillBytes = 6;
constexpr std::size_t kMaxFillBytes = 4096;

void CopyText(char* destination, std::size_t size, const std::string& text) {
  if (destination == nullptr || size == 0) return;
  const std::size_t n = std::min(text.size(), size - 1);
  std::memcpy(destination, text.data(), n);
  destination[n] = '\0';
}

}  // namespace

// Counts the call against every armed fault of its kind; the first that fires decides.
bool UsbUnit::FaultHits(Call call, d2xx::Status* status) {
  bool hit = false;
  for (auto it = faults_.begin(); it != faults_.end();) {
    if (it->fault.call != call) {
      ++it;
      continue;
    }
    ++it->calls;
    const std::uint32_t nth = std::max<std::uint32_t>(it->fault.nth, 1);
    const bool fires = it->fault.persistent ? it->calls >= nth : it->calls == nth;
    if (fires && !hit) {
      hit = true;
      *status = it->fault.status;
    }
    if (fires && !it->fault.persistent) {
      it = faults_.erase(it);
    } else {
      ++it;
    }
  }
  return hit;
}

d2xx::Status UsbUnit::CheckHandle() const {
  if (!open_) return d2xx::kInvalidHandle;
  if (dead_ || !plugged_) return d2xx::kIoError;
  return d2xx::kOk;
}

// The FTDI chip's buffers: what the host has not read and a partly received record.
void UsbUnit::ClearLink() {
  receive_.clear();
  fillAhead_ = 0;
  assembled_ = 0;
}

void UsbUnit::OfferIdleFill(std::int64_t now) {
  if (!options_.idleFill || !LinkUp() || mode_ == Mode::Restarting) return;
  if (receive_.size() > fillAhead_) return;  // record bytes wait: the unit is not idle
  if (fillAhead_ + kFillBytes > kMaxFillBytes) return;
  if (filledOnce_ && now - lastFill_ < Counts(kFillPeriodMs)) return;
  // receive_ holds only fill here, so the new fill joins a record boundary.
  receive_.insert(receive_.end(), kFillBytes, std::uint8_t{0xFF});
  fillAhead_ += kFillBytes;
  filledOnce_ = true;
  lastFill_ = now;
}

Status UsbUnit::Open() {
  std::lock_guard<std::mutex> hold(lock_);
  const std::int64_t now = clock_.Counter();
  Update(now);
  d2xx::Status status;
  if (FaultHits(Call::Open, &status)) return status;
  if (!plugged_) return d2xx::kDeviceNotFound;
  if (open_) return d2xx::kDeviceNotOpened;
  open_ = true;
  dead_ = false;
  ClearLink();
  return d2xx::kOk;
}

Status UsbUnit::Close() {
  std::lock_guard<std::mutex> hold(lock_);
  Update(clock_.Counter());
  d2xx::Status status;
  if (FaultHits(Call::Close, &status)) return status;
  if (!open_) return d2xx::kInvalidHandle;
  open_ = false;
  dead_ = false;
  ClearLink();
  return d2xx::kOk;
}

void UsbUnit::Release() {
  std::lock_guard<std::mutex> hold(lock_);
  Update(clock_.Counter());
  if (!open_) return;
  open_ = false;
  dead_ = false;
  ClearLink();
}

Status UsbUnit::Read(std::uint8_t* buffer, std::uint32_t count, std::uint32_t* read) {
  std::lock_guard<std::mutex> hold(lock_);
  const std::int64_t now = clock_.Counter();
  Update(now);
  d2xx::Status status;
  if (FaultHits(Call::Read, &status)) return status;
  if ((status = CheckHandle()) != d2xx::kOk) return status;
  if (read == nullptr || (buffer == nullptr && count > 0)) return kInvalidParameter;
  OfferIdleFill(now);
  const std::size_t n = std::min<std::size_t>(count, receive_.size());
  std::copy(receive_.begin(), receive_.begin() + static_cast<std::ptrdiff_t>(n), buffer);
  receive_.erase(receive_.begin(), receive_.begin() + static_cast<std::ptrdiff_t>(n));
  fillAhead_ -= std::min(n, fillAhead_);
  *read = static_cast<std::uint32_t>(n);
  return d2xx::kOk;
}

Status UsbUnit::Write(const std::uint8_t* buffer, std::uint32_t count, std::uint32_t* written) {
  std::lock_guard<std::mutex> hold(lock_);
  const std::int64_t now = clock_.Counter();
  Update(now);
  d2xx::Status status;
  if (FaultHits(Call::Write, &status)) return status;
  if ((status = CheckHandle()) != d2xx::kOk) return status;
  if (written == nullptr || (buffer == nullptr && count > 0)) return kInvalidParameter;
  const std::uint32_t take = shortWrites_ != 0 ? std::min(count, shortWrites_) : count;
  if (options_.usbFrameMs != 0 && take > 0)
    inbound_.push_back({FrameAtOrAfter(now + 1), std::vector<std::uint8_t>(buffer, buffer + take)});
  else
    Receive(buffer, take, now);
  *written = take;
  return d2xx::kOk;
}

Status UsbUnit::Reset() {
  std::lock_guard<std::mutex> hold(lock_);
  Update(clock_.Counter());
  d2xx::Status status;
  if (FaultHits(Call::Reset, &status)) return status;
  if ((status = CheckHandle()) != d2xx::kOk) return status;
  // A device reset sets the port up anew; it purges nothing (that is a call of its
  // own the loader never makes), so no answer or half-sent record is lost by it.
  return d2xx::kOk;
}

Status UsbUnit::QueueStatus(std::uint32_t* receiveBytes) {
  std::lock_guard<std::mutex> hold(lock_);
  const std::int64_t now = clock_.Counter();
  Update(now);
  d2xx::Status status;
  if (FaultHits(Call::QueueStatus, &status)) return status;
  if ((status = CheckHandle()) != d2xx::kOk) return status;
  if (receiveBytes == nullptr) return kInvalidParameter;
  OfferIdleFill(now);
  *receiveBytes = static_cast<std::uint32_t>(receive_.size());
  return d2xx::kOk;
}

Status UsbUnit::GetStatus(std::uint32_t* receiveBytes, std::uint32_t* transmitBytes,
                          std::uint32_t* eventStatus) {
  std::lock_guard<std::mutex> hold(lock_);
  const std::int64_t now = clock_.Counter();
  Update(now);
  d2xx::Status status;
  if (FaultHits(Call::GetStatus, &status)) return status;
  if ((status = CheckHandle()) != d2xx::kOk) return status;
  if (receiveBytes == nullptr || transmitBytes == nullptr || eventStatus == nullptr)
    return kInvalidParameter;
  OfferIdleFill(now);
  *receiveBytes = static_cast<std::uint32_t>(receive_.size());
  std::size_t inFlight = 0;  // written, still on their way to the unit
  for (const Inbound& in : inbound_) inFlight += in.bytes.size();
  *transmitBytes = static_cast<std::uint32_t>(inFlight);
  *eventStatus = 0;
  return d2xx::kOk;
}

Status UsbUnit::SetLatency(std::uint8_t milliseconds) {
  std::lock_guard<std::mutex> hold(lock_);
  Update(clock_.Counter());
  d2xx::Status status;
  if (FaultHits(Call::Latency, &status)) return status;
  if ((status = CheckHandle()) != d2xx::kOk) return status;
  latency_ = milliseconds;
  return d2xx::kOk;
}

Status UsbUnit::EeRead(d2xx::ProgramData* data) {
  std::lock_guard<std::mutex> hold(lock_);
  Update(clock_.Counter());
  d2xx::Status status;
  if (FaultHits(Call::EeRead, &status)) return status;
  if ((status = CheckHandle()) != d2xx::kOk) return status;
  if (data == nullptr) return kInvalidParameter;
  data->VendorId = options_.vendorId;
  data->ProductId = options_.productId;
  CopyText(data->Manufacturer, 32, options_.manufacturer);
  CopyText(data->ManufacturerId, 16, options_.manufacturerId);
  CopyText(data->Description, 64, options_.description);
  CopyText(data->SerialNumber, 16, options_.serial);
  return d2xx::kOk;
}

void UsbUnit::InjectFault(const Fault& fault) {
  std::lock_guard<std::mutex> hold(lock_);
  faults_.push_back(ArmedFault{fault, 0});
}

void UsbUnit::ClearFaults() {
  std::lock_guard<std::mutex> hold(lock_);
  faults_.clear();
}

void UsbUnit::SetShortWrites(std::uint32_t maxBytesPerWrite) {
  std::lock_guard<std::mutex> hold(lock_);
  shortWrites_ = maxBytesPerWrite;
}

void UsbUnit::Unplug(std::uint32_t forMs) {
  std::lock_guard<std::mutex> hold(lock_);
  const std::int64_t now = clock_.Counter();
  Update(now);
  plugged_ = false;
  unplugTimed_ = forMs != 0;
  replugAt_ = now + Counts(forMs);
  if (open_) dead_ = true;
  ClearLink();
  inbound_.clear();  // what was on its way is lost with the link
}

void UsbUnit::Replug() {
  std::lock_guard<std::mutex> hold(lock_);
  Update(clock_.Counter());
  plugged_ = true;
  unplugTimed_ = false;
}

bool UsbUnit::Plugged() {
  std::lock_guard<std::mutex> hold(lock_);
  Update(clock_.Counter());
  return plugged_;
}

}  // namespace sim
