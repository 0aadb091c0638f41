// Flashwright's link to the unit: the FTDI D2XX device found and opened, six-byte
// link records queued and written, the unit's bytes read and cut into records, the
// recovery ladder after a failed call, and the trace lines for the trace window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/d2xx.h"
#include "platform/format.h"
#include "platform/trace_window.h"

namespace loader {

// LinkRecord: a 16-bit code and a 32-bit value, little-endian, six bytes on the wire.
inline constexpr std::size_t kLinkRecordSize = 6;
inline constexpr std::uint16_t kFillerCode = 0xFFFF;
inline constexpr std::uint32_t kFillerValue = 0xFFFFFFFF;

// The product the unit's USB chip identifies itself with.
inline constexpr std::uint16_t kUnitProductId = 0xDE50;
inline constexpr const char* kUnitName = "Valdren";

// Pending output is flushed once it passes this; the buffer holds one record more.
inline constexpr std::size_t kOutThreshold = 12288;
inline constexpr std::size_t kOutBufferSize = kOutThreshold + kLinkRecordSize;
// One read asks for at most this many of the bytes waiting.
inline constexpr std::size_t kReadChunk = 4096;

// The open scan stops at the first index the library reports as "no device". A
// library that never says so (a broken or hostile one) must not make the scan
// endless, and no PC carries this many FTDI devices.
inline constexpr int kMaxDeviceIndexes = 64;

// The recovery ladder: reopen attempts after reset and close & open have failed,
// and the pause before each (together at least five seconds, for a re-enumeration).
inline constexpr int kRecoveryAttempts = 50;
inline constexpr std::uint32_t kRecoveryPauseMs = 100;
// The attempts also end once the ladder has run this long: with a unit that hangs
// instead of failing, each call waits out the library's own timeout, and 50 of them
// would keep a technician waiting for minutes.
inline constexpr std::uint32_t kRecoveryWindowMs = 8000;

// A call that fails again right after every successful recovery is not retried for
// ever: the operation gives up after this many recoveries.
inline constexpr int kMaxRecoveriesPerCall = 5;
// Writes that report success but take no bytes, in a row, before a flush gives up.
inline constexpr int kMaxEmptyWrites = 16;

// Trace texts for the faults we bound ourselves.
inline constexpr char kRecoveriesExhaustedTrace[] =
    "Link keeps failing: gave up after %d recoveries";
inline constexpr char kWriteStalledTrace[] = "Write stalled: %d bytes not taken";
inline constexpr char kRecordDroppedTrace[] = "Output buffer full: record %04x %08x dropped";
inline constexpr char kSerialTooLongTrace[] =
    "Serial number <%s> is too long: a serial number has at most 11 characters";

// The serial numbers of the units of our product the library can open now, in
// device order. A device another program holds cannot be asked and is passed over.
std::vector<std::string> ListUnitSerials(const platform::d2xx::Api& library);

class UsbLink {
 public:
  // Where each complete record from the unit goes, and where each trace line goes.
  using RecordHandler = std::function<void(std::uint16_t code, std::uint32_t value)>;
  using TraceHandler = std::function<void(const char* line)>;

  UsbLink(platform::Clock& clock, TraceHandler sink) : clock_(clock), sink_(std::move(sink)) {}
  UsbLink(const UsbLink&) = delete;
  UsbLink& operator=(const UsbLink&) = delete;

  // The bound D2XX library; null until bound (then nothing can be opened).
  void SetApi(const platform::d2xx::Api* api) { api_ = api; }
  // Set by the owner before the link is used; records arriving without one are dropped.
  void SetRecordHandler(RecordHandler handler) { onRecord_ = std::move(handler); }

  // Open the unit with this EEPROM serial number (at most 11 characters), or the
  // first unit of our product. True when a unit is open.
  bool OpenUnitBySerial(const char* serial);
  bool OpenFirstUnit();
  // Scans the device indexes for the unit WantedSerial names (any, when empty).
  bool OpenUnit();

  // Closes the unit, records the status, traces "Device Closed" and forgets the
  // handle; harmless when no unit is open (the exit path calls it unconditionally).
  void CloseUnit();
  bool IsOpen() const { return handle_ != nullptr; }

  // Appends one record; flushes when the output passes the threshold.
  void QueueRecord(std::uint16_t code, std::uint32_t value);
  // Writes all pending output. False when the link failed and could not be
  // recovered: the output is then kept whole, to go with a later flush.
  bool FlushRecords();
  // Reads what the unit has sent and dispatches each complete record. False only
  // when a failed call could not be recovered.
  bool PollUnit();

  // After a failed call: reset, close and reopen, then reopen attempts 100 ms apart.
  // True when the link works again.
  bool RecoverLink();
  // How many recoveries have succeeded: what the unit was sent or was sending
  // meanwhile may be lost, and a caller waiting on it can tell by this count.
  std::uint32_t Recoveries() const { return recoveries_; }

  // Formats a line of at most 2047 characters and hands it to the owner's sink.
  void TraceLine(const char* format, ...) TARVEX_PRINTF(2, 3);
  // Formats at most 511 characters (a longer text is cut) and sends them to the
  // trace window; dropped while there is none.
  void SendToTraceWindow(const char* format, ...) TARVEX_PRINTF(2, 3);

  // Sees every line TraceLine produces, on the tracing thread, before it goes to
  // TraceSink. For diagnostics and tests; set it while no worker uses the link.
  void SetTraceTap(std::function<void(const std::string& line)> tap) { traceTap_ = std::move(tap); }

  std::int32_t LastStatus = 0;  // status of the last library call recorded
  char WantedSerial[12] = {};   // empty: the first unit of our product

  // The EEPROM program-data record and the string buffers it points at.
  platform::d2xx::ProgramData ProgramRecord;
  char Manufacturer[32] = {};
  char ManufacturerId[16] = {};
  char Description[64] = {};
  char SerialNumber[16] = {};

  std::uint8_t OutBuffer[kOutBufferSize] = {};
  std::int16_t OutLength = 0;
  std::uint8_t ReplyAssembly[kLinkRecordSize] = {};
  std::uint16_t ReplyCount = 0;

 private:
  // The bound library, or a stand-in without devices while none is bound.
  const platform::d2xx::Api& Library() const;
  bool CheckRecovered(const char* label);
  bool Recovered();  // counts a recovery that worked
  platform::d2xx::Status DeviceStatus();  // GetStatus on the current handle
  void ForgetDevice();                    // closes a device the scan rejected, status not recorded

  platform::Clock& clock_;
  TraceHandler sink_;
  RecordHandler onRecord_;
  std::uint32_t recoveries_ = 0;
  const platform::d2xx::Api* api_ = nullptr;
  platform::d2xx::Handle handle_ = nullptr;
  platform::TraceWindow traceWindow_;
  std::function<void(const std::string&)> traceTap_;
};

}  // namespace loader
