// The conversation with the unit on top of the link: replies and events as they
// arrive, and the programming worker that sends the image and waits on the unit.
#include "loader/Programcard.h"

#include <algorithm>
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

  if (kind == link_code::kEnquiryReply) {
    switch (index) {
      case command::kEnquireIdentity: break;  // accepted, not used
      case command::kEnquireFirmwareVersion: state.CardFirmwareVersion = signedValue; break;
      case command::kEnquireStatus: state.CardStatus = signedValue; break;
      case command::kEnquireApplicationChecksum: state.CardApplicationChecksum = signedValue; break;
      case command::kEnquireKernelVersion: state.CardKernelVersion = signedValue; break;
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
      case 0:
      case 2: break;
      case event::kKernelQuery:
        // Only a unit running its kernel expects the answer.
        if (state.CardKernelVersion > 0) {
          link.QueueRecord(link_code::kExtendedCommand, command::kKernelAnswer);
          link.FlushRecords();
        }
        break;
      case event::kBlockAcknowledged: link.BlockAcknowledged = true; break;
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
  if (state.CardKernelVersion > 0 && !state.ForceKernelUpdate && imageHasKernel) {
    return kApplicationStart;
  }
  return 0;
}

ProgramCard::ProgramCard(LoaderState& state) : state_(state) {
  TotalBlocks = CountBlocks(state_, StartAddress(state_));
  thread_ = std::thread([this] { Execute(); });
}

ProgramCard::~ProgramCard() {
  if (thread_.joinable()) thread_.join();
}

void ProgramCard::Execute() {
  platform::NameCurrentThread("Talk to Card");  // for debuggers only
  // Nothing may leave a thread: an owner waiting on Running must see it clear.
  try {
    Program();
  } catch (const std::exception& failure) {
    state_.Link.TraceLine(kWorkerFailedTrace, failure.what());
  } catch (...) {
    state_.Link.TraceLine(kWorkerFailedTrace, "unknown failure");
  }
  Running = false;
}

void ProgramCard::Program() {
  UsbLink& link = state_.Link;
  platform::Clock& clock = *state_.Clock;

  link.QueueRecord(kFillerCode, kFillerValue);
  link.QueueRecord(link_code::kExtendedCommand, command::kBeginProgramming);
  link.FlushRecords();

  const std::uint8_t* image = state_.Image.ImageBuffer.data();
  const std::size_t end = ImageEnd(state_);
  for (std::size_t address = StartAddress(state_); address < end; address += kProgramBlockSize) {
    const std::uint8_t* block = image + address;
    if (BlockIsEmpty(block)) continue;

    link.BlockAcknowledged = false;
    link.QueueRecord(link_code::kAddressRecord, static_cast<std::uint32_t>(address));
    CurrentAddress = static_cast<std::int32_t>(address);
    for (std::uint32_t offset = 0; offset < kProgramBlockSize; offset += 4) {
      link.QueueRecord(link_code::kDataRecord, platform::ReadLE32(block + offset));
    }
    link.FlushRecords();

    // The acknowledgement can only come with a poll after a pause; the status
    // enquiries queued meanwhile leave ahead of the next block.
    int pauses = 0;
    while (!link.BlockAcknowledged) {
      if (pauses == kAckWaitPauses) {
        // A unit that stopped acknowledging is not told that the image is complete.
        link.TraceLine(kAckTimeoutTrace, static_cast<unsigned>(address));
        TimedOut = true;
        return;
      }
      link.QueueRecord(link_code::kExtendedCommand, command::kEnquireStatus);
      clock.Sleep(kPollPauseMs);
      ++pauses;
      link.PollUnit();
    }
    ++BlocksProgrammed;
  }

  link.QueueRecord(link_code::kExtendedCommand, command::kProgrammingFinished);
  link.FlushRecords();

  // The unit restarts into the new firmware and answers the status enquiry once it runs.
  state_.CardStatus = 0;
  int pauses = 0;
  while (state_.CardStatus == 0) {
    if (pauses == kStatusWaitPauses) {
      link.TraceLine("%s", kStatusTimeoutTrace);
      TimedOut = true;
      return;
    }
    link.QueueRecord(kFillerCode, kFillerValue);
    link.QueueRecord(link_code::kExtendedCommand, command::kEnquireStatus);
    link.FlushRecords();
    clock.Sleep(kPollPauseMs);
    ++pauses;
    link.PollUnit();
  }
}

}  // namespace loader
