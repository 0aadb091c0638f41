// The simulated unit on its USB programming link: assembles the host's records, answers
// enquiries, writes programmed blocks to flash and restarts. Time is the Clock's. The
// FTDI device's part (D2XX calls, receive queue, idle fill, plugging, injected faults)
// is in usb_unit_d2xx.cpp.
//
// Timing, in milliseconds of the clock:
//   enquiry answer       1 after the enquiry is handled
//   block acknowledgement (event 202)  2 + ackDelayMs after the block's last data record;
//                        the unit handles nothing else meanwhile
//   restart              restartMs from command 203; then event 11 at once when the
//                        flash holds a kernel
//   loader silence       loaderSilenceMs (default 2500; 0 never) in programming mode
//                        without an address or data record or command 201/203, counted
//                        from the later of the last one and the end of the unit's own
//                        work (busyUntil_): the unit falls back to its kernel and runs
//                        what the flash holds now (no restart, no event 11). Enquiries
//                        and fillers do not count: a new loader's search must find the
//                        unit answering.
//   idle fill            6 bytes 0xFF when the host looks, no record bytes wait, the last
//                        fill was 50 or more ago and under 4096 fill bytes wait
//   USB frames           with usbFrameMs, written bytes reach the unit at the next frame
//                        boundary (everything above counts from there) and records are
//                        readable from the first boundary at or after they are due
// Flash: command 201 erases the application area (0x8000 up); the kernel area below it
// is erased when the session's first block there arrives, so a kept kernel survives.
// Records the unit does not act on are counted in Report::ignoredRecords: enquiries
// while programming, numbers it does not know, address and data records out of place
// or with a bad address, and anything received while it restarts (those are lost).
#include "sim/usb_unit.h"

#include <algorithm>
#include <utility>

#include "platform/bytes.h"

namespace sim {
namespace {

constexpr std::uint16_t kFillerCode = 0xFFFF;
constexpr std::uint16_t kEnquiryReplyKind = 0xE000;
constexpr std::uint16_t kExtendedCommand = 0xE003;
constexpr std::uint16_t kAddressRecord = 0xE001;
constexpr std::uint16_t kDataRecord = 0xE005;

constexpr std::uint32_t kBeginProgramming = 201;
constexpr std::uint32_t kBlockAcknowledged = 202;
constexpr std::uint32_t kProgrammingFinished = 203;
constexpr std::uint32_t kKernelEvent = 11;
constexpr std::uint32_t kKernelHandshake = 10;

constexpr std::uint32_t kProtocolLevel = 1;  // the answer to enquiry 100
constexpr std::uint32_t kChecksumFailure = 0x200;
constexpr std::uint32_t kCannotReprogram = 0xFFFFFFFE;  // -2

constexpr std::uint32_t kBlockSize = 128;
constexpr std::uint32_t kWordsPerBlock = kBlockSize / 4;
constexpr std::uint32_t kApplicationStart = 0x8000;

constexpr std::uint32_t kEnquiryReplyMs = 1;
constexpr std::uint32_t kBlockWriteMs = 2;

}  // namespace

UsbUnit::UsbUnit(UnitOptions options, platform::Clock& clock)
    : options_(std::move(options)), clock_(clock) {
  frequency_ = clock_.Frequency() > 0 ? clock_.Frequency() : 1000;
}

std::int64_t UsbUnit::Counts(std::uint32_t milliseconds) const {
  return std::int64_t{milliseconds} * frequency_ / 1000;
}

std::int64_t UsbUnit::FrameAtOrAfter(std::int64_t t) const {
  const std::int64_t frame = Counts(options_.usbFrameMs);
  if (frame <= 0) return t;
  std::int64_t boundaries = t / frame;  // rounds toward zero: up below zero, down above
  if (t > 0 && boundaries * frame != t) ++boundaries;
  return boundaries * frame;
}

// Lets the world catch up with the clock: a timed unplug ends, the unit boots after a
// restart, and answers fall due. What falls due while the link is down is lost.
void UsbUnit::Update(std::int64_t now) {
  if (!plugged_ && unplugTimed_ && replugAt_ <= now) {
    AdvanceTo(replugAt_);
    plugged_ = true;
    unplugTimed_ = false;
  }
  AdvanceTo(now);
}

// Written bytes reach the unit at their frame, in turn with what the unit does
// meanwhile.
void UsbUnit::AdvanceTo(std::int64_t t) {
  while (!inbound_.empty() && inbound_.front().at <= t) {
    const Inbound in = std::move(inbound_.front());
    inbound_.pop_front();
    RunTo(in.at);
    Receive(in.bytes.data(), static_cast<std::uint32_t>(in.bytes.size()), in.at);
  }
  RunTo(t);
}

void UsbUnit::RunTo(std::int64_t t) {
  if (mode_ == Mode::Restarting && restartEnd_ <= t) Boot();
  if (mode_ == Mode::Programming && options_.loaderSilenceMs != 0 &&
      std::max(lastLoaderRecord_, busyUntil_) + Counts(options_.loaderSilenceMs) <= t)
    FallBack();
  while (!outgoing_.empty() && FrameAtOrAfter(outgoing_.front().due) <= t) {
    if (LinkUp()) {
      const Outgoing& o = outgoing_.front();
      receive_.insert(receive_.end(), o.bytes, o.bytes + sizeof o.bytes);
    }
    outgoing_.pop_front();
  }
}

// The new firmware starts: everything it reports now comes from the flash.
void UsbUnit::Boot() {
  mode_ = Mode::Running;
  busyUntil_ = std::max(busyUntil_, restartEnd_);
  if (firmware_.HasKernel()) Send(kExtendedCommand, kKernelEvent, restartEnd_);
}

// The loader went away mid-programming (killed, link lost): the kernel stops waiting
// for it, answers enquiries again and takes a new command 201. What it reports comes
// from the partly written flash, so the application checksum fails.
void UsbUnit::FallBack() {
  if (blockOpen_) ++ignoredRecords_;  // the unfinished block is dropped
  blockOpen_ = false;
  mode_ = Mode::Running;
}

bool UsbUnit::LinkUp() const {
  return plugged_ && open_ && !dead_;
}

void UsbUnit::Receive(const std::uint8_t* bytes, std::uint32_t count, std::int64_t now) {
  for (std::uint32_t i = 0; i < count; ++i) {
    assembly_[assembled_++] = bytes[i];
    if (assembled_ == sizeof assembly_) {
      assembled_ = 0;
      HandleRecord(platform::ReadLE16(assembly_), platform::ReadLE32(assembly_ + 2), now);
    }
  }
}

void UsbUnit::HandleRecord(std::uint16_t code, std::uint32_t value, std::int64_t now) {
  if (mode_ == Mode::Restarting) {
    ++ignoredRecords_;  // nobody listens while the unit boots
    return;
  }
  if (code == kFillerCode) return;
  switch (code) {
    case kExtendedCommand: HandleCommand(value, now); return;
    case kAddressRecord:
      if (mode_ != Mode::Programming) break;
      lastLoaderRecord_ = now;
      if (blockOpen_) ++ignoredRecords_;  // the unfinished block is dropped
      blockOpen_ = false;
      if (value % kBlockSize != 0 || value >= Firmware::kFlashSize) break;
      blockOpen_ = true;
      blockAddress_ = value;
      blockWords_ = 0;
      return;
    case kDataRecord:
      if (mode_ != Mode::Programming) break;
      lastLoaderRecord_ = now;
      if (!blockOpen_) break;
      platform::WriteLE32(block_ + 4 * blockWords_, value);
      if (++blockWords_ == kWordsPerBlock) CommitBlock(now);
      return;
    default: break;
  }
  ++ignoredRecords_;
}

void UsbUnit::HandleCommand(std::uint32_t command, std::int64_t now) {
  const std::int64_t at = std::max(now, busyUntil_);
  switch (command) {
    case 100:
    case 101:
    case 102:
    case 109:
    case 111: {
      // The unit's loader is busy while programming and answers no enquiries.
      if (mode_ == Mode::Programming) break;
      const Reported& r = Running();
      std::uint32_t answer = 0;
      switch (command) {
        case 100: answer = kProtocolLevel; break;
        case 101: answer = r.versionWord; break;
        case 102: answer = r.status; break;
        case 109: answer = r.checksum; break;
        default: answer = static_cast<std::uint32_t>(r.kernel); break;
      }
      Send(static_cast<std::uint16_t>(kEnquiryReplyKind | (command << 2)), answer,
           at + Counts(kEnquiryReplyMs));
      return;
    }
    case kBeginProgramming:
      // The application area is erased at once; the kernel area only when a block
      // below the application arrives, so that a kernel nobody rewrites survives.
      if (mode_ == Mode::Running) beforeProgramming_ = Running();
      mode_ = Mode::Programming;
      lastLoaderRecord_ = now;
      blockOpen_ = false;
      programmedBlocks_ = 0;
      kernelAreaErased_ = false;
      firmware_.Erase(kApplicationStart, Firmware::kFlashSize);
      return;
    case kProgrammingFinished:
      if (mode_ != Mode::Programming) break;
      if (blockOpen_) ++ignoredRecords_;
      blockOpen_ = false;
      mode_ = Mode::Restarting;
      restartEnd_ = at + Counts(options_.restartMs);
      return;
    case kKernelHandshake: ++kernelHandshakes_; return;
    default: break;
  }
  ++ignoredRecords_;
}

void UsbUnit::CommitBlock(std::int64_t now) {
  blockOpen_ = false;
  if (blockAddress_ < kApplicationStart && !kernelAreaErased_) {
    firmware_.Erase(0, kApplicationStart);
    kernelAreaErased_ = true;
  }
  firmware_.WriteFlash(blockAddress_, block_, kBlockSize);
  ++programmedBlocks_;
  const std::int64_t done =
      std::max(now, busyUntil_) + Counts(kBlockWriteMs) + Counts(options_.ackDelayMs);
  busyUntil_ = done;
  Send(kExtendedCommand, kBlockAcknowledged, done);
}

// Queues one record for the host; the link is a byte stream, so a record never
// overtakes one queued before it.
void UsbUnit::Send(std::uint16_t code, std::uint32_t value, std::int64_t due) {
  Outgoing o;
  o.due = std::max(due, lastDue_);
  lastDue_ = o.due;
  platform::WriteLE16(o.bytes, code);
  platform::WriteLE32(o.bytes + 2, value);
  outgoing_.push_back(o);
}

const UsbUnit::Reported& UsbUnit::Running() {
  if (cacheValid_ && cacheGeneration_ == firmware_.generation()) return cache_;
  Reported r;
  r.firmware = firmware_.VersionText();
  r.versionWord = firmware_.VersionWord();
  r.checksum = options_.cannotReprogram ? kCannotReprogram : firmware_.ApplicationChecksum();
  if (!firmware_.ChecksumsGood())
    r.status = kChecksumFailure;
  else
    r.status = options_.selfTestError != 0 ? options_.selfTestError : 1;
  r.kernel = options_.reportNoKernel ? -1 : firmware_.KernelVersion();
  r.hasKernel = firmware_.HasKernel();
  r.compileDate = firmware_.CompileDate();
  r.compileTime = firmware_.CompileTime();
  cache_ = std::move(r);
  cacheGeneration_ = firmware_.generation();
  cacheValid_ = true;
  return cache_;
}

UsbUnit::Report UsbUnit::Status() {
  std::lock_guard<std::mutex> hold(lock_);
  Update(clock_.Counter());
  const Reported& r = mode_ == Mode::Running ? Running() : beforeProgramming_;
  Report report;
  report.firmware = r.firmware;
  report.checksum = r.checksum;
  report.status = static_cast<std::int32_t>(r.status);
  report.kernel = r.kernel;
  report.serial = options_.serial;
  report.open = open_;
  report.plugged = plugged_;
  report.programming = mode_ == Mode::Programming;
  report.restarting = mode_ == Mode::Restarting;
  report.programmedBlocks = programmedBlocks_;
  report.kernelHandshakes = kernelHandshakes_;
  report.ignoredRecords = ignoredRecords_;
  report.compileDate = r.compileDate;
  report.compileTime = r.compileTime;
  return report;
}

}  // namespace sim
