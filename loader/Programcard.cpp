// The conversation with the unit on top of the link: replies and events as they
// arrive, and the programming worker that sends the image and waits on the unit.
#include "loader/Programcard.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "loader/startup.h"
#include "platform/bytes.h"
#include "platform/thread_name.h"

namespace loader {

namespace {

std::size_t ImageEnd(const LoaderState& state) {
  const std::size_t size = std::min<std::size_t>(state.Image.ImageBuffer.size(), kImageSize);
  return size - size % kProgramBlockSize;
}

bool BlockIsEmpty(const std::uint8_t* block) {
  return std::all_of(block, block + kProgramBlockSize, [](std::uint8_t b) { return b == 0xFF; });
}

std::int32_t CountBlocks(const LoaderState& state, std::uint32_t start) {
  const std::uint8_t* image = state.Image.ImageBuffer.data();
  std::int32_t count = 0;
  for (std::size_t address = start; address < ImageEnd(state); address += kProgramBlockSize) {
    if (!BlockIsEmpty(image + address)) ++count;
  }
  return count;
}

}  // namespace

void DispatchRecord(LoaderState& state, std::uint16_t code, std::uint32_t value) {
  const unsigned kind = code & link_code::kKindMask;
  const unsigned index = (code & link_code::kIndexMask) >> link_code::kIndexShift;
  const auto signedValue = static_cast<std::int32_t>(value);
  UsbLink& link = state.Link;
  UnitAnswers& unit = state.Unit;

  if (kind == link_code::kEnquiryReply) {
    switch (index) {
      case command::kEnquireIdentity: break;  // accepted, not used
      case command::kEnquireFirmwareVersion: unit.CardFirmwareVersion = signedValue; break;
      case command::kEnquireStatus: unit.CardStatus = signedValue; break;
      case command::kEnquireApplicationChecksum: unit.CardApplicationChecksum = signedValue; break;
      case command::kEnquireKernelVersion: unit.CardKernelVersion = signedValue; break;
      default: link.TraceLine("Invalid Enquiry Reply %x\r\n", index); break;
    }
    return;
  }
  if (kind == link_code::kExtendedCommand) {
    if (index != 0) {
      link.TraceLine("Extended Code flag with non zero Index %x\r\n", index);
      return;
    }
    switch (value) {
      case event::kNone:
      case event::kIdle: break;
      case event::kKernelQuery:
        // Only a unit running its kernel expects the answer.
        if (unit.CardKernelVersion > 0) {
          link.QueueRecord(link_code::kExtendedCommand, command::kKernelAnswer);
          link.FlushRecords();
        }
        break;
      case event::kBlockAcknowledged:
        ++unit.Acknowledgements;
        unit.BlockAcknowledged = true;
        break;
      default:
        link.TraceLine("Unexpected extended code %x received\r\n", static_cast<unsigned>(value));
        break;
    }
    return;
  }
  link.TraceLine("Unexpected code %x received\r\n", kind);
}

std::uint32_t StartAddress(const LoaderState& state) {
  const auto& image = state.Image.ImageBuffer;
  const bool imageHasKernel = image.size() >= kKernelBlockAddress + 4 &&
                              platform::ReadBE32(image.data() + kKernelBlockAddress) == kBlockMagic;
  if (state.Unit.CardKernelVersion > 0 && !state.Options.ForceKernelUpdate && imageHasKernel) {
    return kApplicationStart;
  }
  return 0;
}

ProgramCard::ProgramCard(LoaderState& state) : state_(state), startAddress_(StartAddress(state)) {
  TotalBlocks = CountBlocks(state_, startAddress_);
  thread_ = std::thread([this] { Execute(); });
}

ProgramCard::~ProgramCard() {
  if (thread_.joinable()) thread_.join();
}

void ProgramCard::Execute() {
  platform::NameCurrentThread("Talk to Card");  // for debuggers only
  // Nothing may leave a thread: an owner waiting on Running must see it clear.
  try {
    // The worker looks for each acknowledgement every few milliseconds: on a coarse
    // system timer each look would last a whole tick.
    const platform::FineTiming fine(state_.Clock());
    Program();
  } catch (const std::exception& failure) {
    state_.Link.TraceLine(kWorkerFailedTrace, failure.what());
  } catch (...) {
    state_.Link.TraceLine(kWorkerFailedTrace, "unknown failure");
  }
  Running = false;
  NotifyProgress();
}

// The lock orders the change before a waiter's check of it: no wake-up is lost.
void ProgramCard::NotifyProgress() {
  { std::lock_guard<std::mutex> hold(progressLock_); }
  progress_.notify_all();
}

void ProgramCard::WaitForProgress(std::int32_t seen) {
  std::unique_lock<std::mutex> hold(progressLock_);
  progress_.wait(hold, [&] { return BlocksProgrammed != seen || !Running; });
}

std::int64_t ProgramCard::Elapsed(std::int64_t since) const {
  platform::Clock& clock = state_.Clock();
  return (clock.Counter() - since) * 1000 / clock.Frequency();
}

void ProgramCard::Program() {
  UsbLink& link = state_.Link;

  link.QueueRecord(kFillerCode, kFillerValue);
  link.QueueRecord(link_code::kExtendedCommand, command::kBeginProgramming);
  link.FlushRecords();

  const std::uint8_t* image = state_.Image.ImageBuffer.data();
  const std::size_t end = ImageEnd(state_);
  for (std::size_t address = startAddress_; address < end; address += kProgramBlockSize) {
    if (BlockIsEmpty(image + address)) continue;
    state_.Unit.BlockAcknowledged = false;
    if (!AwaitAcknowledgement(static_cast<std::uint32_t>(address))) {
      // A unit that stopped acknowledging is not told that the image is complete.
      TimedOut = true;
      return;
    }
    ++BlocksProgrammed;
    NotifyProgress();
  }

  link.QueueRecord(link_code::kExtendedCommand, command::kProgrammingFinished);
  link.FlushRecords();
  if (!AwaitStatus()) TimedOut = true;
}

void ProgramCard::SendBlock(std::uint32_t address) {
  UsbLink& link = state_.Link;
  const std::uint8_t* block = state_.Image.ImageBuffer.data() + address;
  link.QueueRecord(link_code::kAddressRecord, address);
  CurrentAddress = static_cast<std::int32_t>(address);
  for (std::uint32_t offset = 0; offset < kProgramBlockSize; offset += 4) {
    link.QueueRecord(link_code::kDataRecord, platform::ReadLE32(block + offset));
  }
  link.FlushRecords();
}

// Sends the block and looks for its acknowledgement every pause. The unit is asked
// for its status as it always was: once before the first look and once more for
// every further enquiry period without an acknowledgement; those enquiries leave
// ahead of the next block. Acknowledgements are counted, not flagged, so that one
// for a copy sent after a recovery is not taken for the next block's.
bool ProgramCard::AwaitAcknowledgement(std::uint32_t address) {
  UsbLink& link = state_.Link;
  UnitAnswers& unit = state_.Unit;
  platform::Clock& clock = state_.Clock();
  const std::uint32_t pause = state_.Options.PollPauseMs;

  const std::uint32_t acknowledgedBefore = unit.Acknowledgements;
  SendBlock(address);
  const std::int64_t start = clock.Counter();
  std::uint32_t recoveries = link.Recoveries();
  std::uint32_t copies = 1;
  std::int64_t enquiries = 1;
  link.QueueRecord(link_code::kExtendedCommand, command::kEnquireStatus);
  for (;;) {
    clock.Sleep(pause);
    link.PollUnit();
    if (unit.Acknowledgements != acknowledgedBefore) break;
    const std::int64_t waited = Elapsed(start);
    // A link that could not be recovered is closed for good: nothing can come.
    if (waited >= kAckWaitMs || !link.IsOpen()) {
      link.TraceLine(kAckTimeoutTrace, static_cast<unsigned>(address));
      return false;
    }
    if (link.Recoveries() != recoveries) {
      // Only after a recovery, never on time alone: a slow unit's acknowledgement
      // must not meet a second copy. The unit rewrites the same 128 bytes.
      if (copies <= static_cast<std::uint32_t>(kMaxBlockResends)) {
        link.TraceLine(kResendTrace, static_cast<unsigned>(address));
        SendBlock(address);
        ++copies;
      }
      recoveries = link.Recoveries();
      continue;
    }
    if (waited >= enquiries * kEnquiryPeriodMs) {
      link.QueueRecord(link_code::kExtendedCommand, command::kEnquireStatus);
      ++enquiries;
    }
  }

  const std::int64_t firstAcknowledgement = Elapsed(start);
  if (copies == 1) {
    slowestAckMs_ = std::max(slowestAckMs_, firstAcknowledgement);
    return true;
  }
  // Each copy the unit took is acknowledged, the lost ones excepted: give the
  // others time to arrive before the next block counts from here. This block may
  // take the unit longer than any before it: its own wait, which is never shorter
  // than the unit's time for it, counts too.
  const std::int64_t ackMs = std::max(slowestAckMs_, firstAcknowledgement);
  const std::int64_t settle = 2 * ackMs + kDuplicateAckMarginMs;
  while (unit.Acknowledgements - acknowledgedBefore < copies && link.IsOpen() &&
         Elapsed(start) - firstAcknowledgement < settle && Elapsed(start) < kAckWaitMs) {
    clock.Sleep(pause);
    link.PollUnit();
  }
  return true;
}

// The unit restarts into the new firmware and answers the status enquiry once it
// runs; it is asked once per enquiry period, looked for every pause.
bool ProgramCard::AwaitStatus() {
  UsbLink& link = state_.Link;
  platform::Clock& clock = state_.Clock();
  const std::uint32_t pause = state_.Options.PollPauseMs;

  state_.Unit.CardStatus = unit_status::kNoAnswerYet;
  const std::int64_t start = clock.Counter();
  std::int64_t enquiries = 0;
  for (;;) {
    if (Elapsed(start) >= enquiries * kEnquiryPeriodMs) {
      link.QueueRecord(kFillerCode, kFillerValue);
      link.QueueRecord(link_code::kExtendedCommand, command::kEnquireStatus);
      link.FlushRecords();
      ++enquiries;
    }
    clock.Sleep(pause);
    link.PollUnit();
    if (state_.Unit.CardStatus != unit_status::kNoAnswerYet) return true;
    if (Elapsed(start) >= kStatusWaitMs || !link.IsOpen()) {
      link.TraceLine("%s", kStatusTimeoutTrace);
      return false;
    }
  }
}

}  // namespace loader
