// The record protocol spoken with the unit (enquiries, events, programming records)
// and the ProgramCard worker thread that writes a firmware image into the unit
// block by block, then waits for the restarted unit's status.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "loader/usblink.h"

namespace loader {

class LoaderState;

// A record code is a kind and an index: kind = code & 0xE003, index = bits 12..2.
namespace link_code {
inline constexpr std::uint16_t kKindMask = 0xE003;
inline constexpr std::uint16_t kIndexMask = 0x1FFC;
inline constexpr int kIndexShift = 2;

inline constexpr std::uint16_t kEnquiryReply = 0xE000;  // kind: value of enquiry <index>
inline constexpr std::uint16_t kExtendedCommand = 0xE003;  // index 0: command or event
inline constexpr std::uint16_t kAddressRecord = 0xE001;  // address of the block that follows
inline constexpr std::uint16_t kDataRecord = 0xE005;     // four image bytes, in image order
}  // namespace link_code

// Command numbers the loader sends in an ExtendedCommand; enquiries are answered
// with an EnquiryReply of the same number.
namespace command {
inline constexpr std::uint32_t kKernelAnswer = 10;  // answers the unit's event 11
inline constexpr std::uint32_t kEnquireIdentity = 100;
inline constexpr std::uint32_t kEnquireFirmwareVersion = 101;
inline constexpr std::uint32_t kEnquireStatus = 102;
inline constexpr std::uint32_t kEnquireApplicationChecksum = 109;
inline constexpr std::uint32_t kEnquireKernelVersion = 111;
inline constexpr std::uint32_t kBeginProgramming = 201;
inline constexpr std::uint32_t kProgrammingFinished = 203;
}  // namespace command

// Events the unit sends in an ExtendedCommand with index 0.
namespace event {
inline constexpr std::uint32_t kNone = 0;
inline constexpr std::uint32_t kIdle = 2;
inline constexpr std::uint32_t kKernelQuery = 11;
inline constexpr std::uint32_t kBlockAcknowledged = 202;
}  // namespace event

// What the unit answers to the status enquiry.
namespace unit_status {
inline constexpr std::int32_t kNoAnswerYet = 0;
inline constexpr std::int32_t kHealthy = 1;
inline constexpr std::int32_t kChecksumFailure = 0x200;  // a bit: the image in flash is bad
}  // namespace unit_status

inline constexpr std::uint32_t kProgramBlockSize = 128;
// Where programming starts when the unit's kernel is kept.
inline constexpr std::uint32_t kApplicationStart = 0x8000;

// Neither wait of the worker may hang on a unit that stopped answering; both are
// bounds in time, whatever the pace of the looks. A block is acknowledged within
// milliseconds and a restart takes about a second, so 10 s and 30 s are generous.
inline constexpr std::uint32_t kAckWaitMs = 10000;
inline constexpr std::uint32_t kStatusWaitMs = 30000;
// While it waits, the worker asks for the unit's status once per this period, as
// the unit has always been asked: what the unit receives does not depend on how
// often the worker looks.
inline constexpr std::uint32_t kEnquiryPeriodMs = 100;
// A block in flight when the link had to be recovered may be lost with the link's
// buffers: it is sent again, at most this many times.
inline constexpr int kMaxBlockResends = 2;
// After a resent block's first acknowledgement, a second one (for the other copy)
// is waited for this long beyond twice the unit's acknowledgement time, so that it
// is not taken for the next block's.
inline constexpr std::uint32_t kDuplicateAckMarginMs = 100;

inline constexpr char kAckTimeoutTrace[] = "Timeout: no acknowledgement for block 0x%X";
inline constexpr char kStatusTimeoutTrace[] = "Timeout: no status from the unit after programming";
inline constexpr char kWorkerFailedTrace[] = "Programming stopped: %s";
inline constexpr char kResendTrace[] = "Link recovered: block 0x%X sent again";

// Acts on one record received from the unit: stores enquiry replies in the
// LoaderState, handles events, traces anything it rejects.
void DispatchRecord(LoaderState& state, std::uint16_t code, std::uint32_t value);

// 0x8000 when the unit has a kernel, no kernel update is forced and the image
// carries a kernel block of its own (BlockMagic at 0x1000); else 0.
std::uint32_t StartAddress(const LoaderState& state);

// Programs the unit from the loader's image on a thread of its own, created
// running. The owner watches the counters and Running from its own thread; when
// Running has cleared it reads CardStatus (and TimedOut) and destroys the worker,
// which waits for the thread to end. The worker looks for the unit's answers every
// Options.PollPauseMs.
class ProgramCard {
 public:
  explicit ProgramCard(LoaderState& state);
  ~ProgramCard();
  ProgramCard(const ProgramCard&) = delete;
  ProgramCard& operator=(const ProgramCard&) = delete;

  std::atomic<std::int32_t> TotalBlocks{0};       // non-empty blocks from the start address
  std::atomic<std::int32_t> BlocksProgrammed{0};  // blocks acknowledged so far
  std::atomic<std::int32_t> CurrentAddress{0};    // block being sent, once the first has begun
  std::atomic<bool> Running{true};                // until the unit has reported its status
  // A wait ran out (the trace says which): the worker ended early, and after a
  // missing acknowledgement it did not tell the unit that programming finished.
  std::atomic<bool> TimedOut{false};

  // For an owner with nothing else to do meanwhile (the console): returns once
  // BlocksProgrammed differs from `seen` or the worker has ended. The worker's own
  // waits are bounded, so this one is too.
  void WaitForProgress(std::int32_t seen);

 private:
  void Execute();
  void Program();
  void SendBlock(std::uint32_t address);
  bool AwaitAcknowledgement(std::uint32_t address);
  bool AwaitStatus();
  void NotifyProgress();
  std::int64_t Elapsed(std::int64_t since) const;  // in ms of the clock

  LoaderState& state_;
  // Decided once, on the owner's thread: the window's check box may change
  // ForceKernelUpdate while the worker runs, and the count must match what is sent.
  std::uint32_t startAddress_ = 0;
  std::int64_t slowestAckMs_ = -1;  // of the blocks sent once; -1: none yet
  std::mutex progressLock_;
  std::condition_variable progress_;
  std::thread thread_;  // last: started once everything above is set
};

}  // namespace loader
