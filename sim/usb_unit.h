// One simulated unit on USB, as the D2XX library reaches it: its EEPROM strings,
// the byte streams of the programming link, the unit's answers and its timing, and
// injectable faults. The virtual D2XX library (over a socket) and in-process tests
// (through a D2XX function table) both drive this class; time comes from a Clock, so
// with a virtual clock a whole reprogramming runs in milliseconds.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/d2xx.h"
#include "sim/firmware.h"

namespace sim {

// In programming mode, this long without a programming record (counted from the
// later of the last one and the end of the unit's own work) means the loader has gone:
// the unit falls back to its kernel. Below the loader's 5 s search, so that a run
// started right after a killed one finds the unit answering.
inline constexpr std::uint32_t kLoaderSilenceMs = 2500;

struct UnitOptions {
  std::string serial = "TV000001";
  std::string description = "Tarvex USB";
  std::string manufacturer = "Tarvex";
  std::string manufacturerId = "TV";
  std::uint16_t vendorId = 0x0403;
  std::uint16_t productId = 0xDE50;

  bool reportNoKernel = false;      // enquiry 111 answers -1 whatever the flash holds
  bool cannotReprogram = false;     // enquiry 109 answers -2 (a unit without a loader)
  std::uint32_t selfTestError = 0;  // non-zero: status after a restart with a sound image
  std::uint32_t ackDelayMs = 0;     // extra time before each block's acknowledgement
  std::uint32_t restartMs = 500;    // from command 203 until the new firmware answers
  bool idleFill = false;            // sends 0xFF bytes while it has nothing to say
  // 0: the unit waits for its loader for ever (for a clock that says nothing about
  // the loader's pace).
  std::uint32_t loaderSilenceMs = kLoaderSilenceMs;
  // USB full-speed frames of this many ms (boundaries at its multiples on the clock):
  // what the host writes reaches the unit at the next boundary, and what the unit
  // sends can be read from the first boundary at or after it is due. 0: no frames.
  std::uint32_t usbFrameMs = 0;
};

// The kinds of D2XX call a fault can hit.
enum class Call { Open, Close, Read, Write, Reset, QueueStatus, GetStatus, Latency, EeRead };

struct Fault {
  Call call;
  std::uint32_t nth = 1;    // the Nth call of that kind from now (1 = the next one)
  bool persistent = false;  // fail that one and every later one
  platform::d2xx::Status status = platform::d2xx::kIoError;
};

class UsbUnit {
 public:
  UsbUnit(UnitOptions options, platform::Clock& clock);

  // D2XX calls on this unit. Each returns the library's status. Open fails while the
  // unit is unplugged (kDeviceNotFound) or open already (kDeviceNotOpened); calls on
  // a handle opened before an unplug fail until it is opened again.
  platform::d2xx::Status Open();
  platform::d2xx::Status Close();
  // The handle let go of without a library call, as the system lets go of the
  // handles of a process that ended: no fault hits it and it counts as no call.
  void Release();
  platform::d2xx::Status Read(std::uint8_t* buffer, std::uint32_t count, std::uint32_t* read);
  platform::d2xx::Status Write(const std::uint8_t* buffer, std::uint32_t count,
                               std::uint32_t* written);
  platform::d2xx::Status Reset();
  platform::d2xx::Status QueueStatus(std::uint32_t* receiveBytes);
  platform::d2xx::Status GetStatus(std::uint32_t* receiveBytes, std::uint32_t* transmitBytes,
                                   std::uint32_t* eventStatus);
  platform::d2xx::Status SetLatency(std::uint8_t milliseconds);
  // Fills the head of the record; the four strings are copied into the buffers the
  // record points at (32, 16, 64 and 16 bytes, as the library's callers size them).
  platform::d2xx::Status EeRead(platform::d2xx::ProgramData* data);

  // Faults and plugging, for tests and `tarvex-sim ctl`.
  void InjectFault(const Fault& fault);
  void ClearFaults();
  void SetShortWrites(std::uint32_t maxBytesPerWrite);  // 0: whole writes
  void Unplug(std::uint32_t forMs);                     // 0: until Replug
  void Replug();
  // On the USB now (a timed unplug ends on its own); the driver process asks.
  bool Plugged();

  // The state `tarvex-sim status` shows.
  struct Report {
    std::string firmware;        // "<release name> x.y.z"
    std::uint32_t checksum = 0;  // application checksum the unit reports
    std::int32_t status = 0;     // status the unit reports
    std::int32_t kernel = -1;
    std::string serial;
    bool open = false, plugged = true, programming = false;
    bool restarting = false;             // after command 203, until the new firmware runs
    std::uint32_t programmedBlocks = 0;  // blocks written since the last command 201
    std::uint32_t kernelHandshakes = 0;  // commands 10 received
    std::uint32_t ignoredRecords = 0;    // records the unit did not act on (see usb_unit.cpp)
    std::string compileDate, compileTime;
  };
  Report Status();

  // Set up before the unit is used: neither accessor takes the lock.
  Firmware& firmware() { return firmware_; }
  const UnitOptions& options() const { return options_; }

 private:
  enum class Mode { Running, Programming, Restarting };

  // What the running firmware reports; derived from the flash and the options.
  struct Reported {
    std::string firmware;
    std::uint32_t versionWord = 0;
    std::uint32_t checksum = 0;
    std::uint32_t status = 0;
    std::int32_t kernel = -1;
    bool hasKernel = false;
    std::string compileDate, compileTime;
  };

  // One record on its way to the host, released to the receive queue when due.
  struct Outgoing {
    std::int64_t due = 0;
    std::uint8_t bytes[6] = {};
  };

  // Bytes the host wrote, on their way to the unit until their frame.
  struct Inbound {
    std::int64_t at = 0;
    std::vector<std::uint8_t> bytes;
  };

  struct ArmedFault {
    Fault fault;
    std::uint32_t calls = 0;  // calls of its kind since it was injected
  };

  std::int64_t Counts(std::uint32_t milliseconds) const;
  // The first frame boundary at or after `t` (`t` itself without frames).
  std::int64_t FrameAtOrAfter(std::int64_t t) const;
  void Update(std::int64_t now);
  void AdvanceTo(std::int64_t t);
  void RunTo(std::int64_t t);
  void Boot();
  void FallBack();
  bool LinkUp() const;
  bool FaultHits(Call call, platform::d2xx::Status* status);
  platform::d2xx::Status CheckHandle() const;
  void ClearLink();
  void OfferIdleFill(std::int64_t now);
  void Receive(const std::uint8_t* bytes, std::uint32_t count, std::int64_t now);
  void HandleRecord(std::uint16_t code, std::uint32_t value, std::int64_t now);
  void HandleCommand(std::uint32_t command, std::int64_t now);
  void CommitBlock(std::int64_t now);
  void Send(std::uint16_t code, std::uint32_t value, std::int64_t due);
  const Reported& Running();

  std::mutex lock_;
  UnitOptions options_;
  platform::Clock& clock_;
  Firmware firmware_;
  std::int64_t frequency_ = 1000;

  // USB side.
  bool plugged_ = true;
  bool unplugTimed_ = false;
  std::int64_t replugAt_ = 0;
  bool open_ = false;
  bool dead_ = false;  // opened before an unplug: fails until closed and opened again
  std::uint32_t shortWrites_ = 0;
  std::uint8_t latency_ = 16;
  std::vector<ArmedFault> faults_;
  std::uint8_t assembly_[6] = {};  // host record being assembled
  std::uint32_t assembled_ = 0;
  std::deque<std::uint8_t> receive_;  // bytes the host can read now
  std::deque<Inbound> inbound_;       // written, not yet at the unit (frames only)
  std::size_t fillAhead_ = 0;         // idle fill bytes at the front of receive_
  bool filledOnce_ = false;
  std::int64_t lastFill_ = 0;

  // Unit side.
  Mode mode_ = Mode::Running;
  std::deque<Outgoing> outgoing_;
  std::int64_t lastDue_ = 0;
  std::int64_t busyUntil_ = 0;  // the unit handles one thing at a time
  std::int64_t restartEnd_ = 0;
  std::int64_t lastLoaderRecord_ = 0;  // the last programming record, while programming
  Reported beforeProgramming_;
  bool blockOpen_ = false;
  std::uint32_t blockAddress_ = 0;
  std::uint32_t blockWords_ = 0;
  std::uint8_t block_[128] = {};
  bool kernelAreaErased_ = false;
  std::uint32_t programmedBlocks_ = 0;
  std::uint32_t kernelHandshakes_ = 0;
  std::uint32_t ignoredRecords_ = 0;
  bool cacheValid_ = false;
  std::uint64_t cacheGeneration_ = 0;
  Reported cache_;
};

}  // namespace sim
