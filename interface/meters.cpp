// The housekeeping family: counters, captions and the E2Prom image live in the
// CommandArea and are written by the host in guarded writes; the meter's words come
// from the unit; the E2Prom reset and the device key travel as message blocks.
#include "interface/meters.h"

#include <cstring>

#include "interface/details.h"
#include "platform/bytes.h"

namespace qmx {
namespace {

constexpr std::int32_t kCounterLevel = 3;  // also captions, the display and the meter
constexpr std::int32_t kE2PromLevel = 4;
constexpr std::uint32_t kE2PromRows = 8;
constexpr std::uint32_t kE2PromRowBytes = 32;
constexpr std::uint32_t kE2PromResetType = 4;
constexpr std::uint32_t kDeviceKeyType = 5;
constexpr std::int32_t kReplyMaximum = 128;
constexpr std::uint32_t kDriverExitState = 4;

// Counter k (its low 8 bits, 1 to 32) as its word's index, or -1 for none.
std::int32_t CounterIndex(std::int32_t counter) {
  const std::uint32_t number = static_cast<std::uint32_t>(counter) & 0xFFu;
  if (number < 1 || number > command::kCounterCount) return -1;
  return static_cast<std::int32_t>(number - 1);
}

std::uint64_t CounterWord(const LibraryState& library, std::int32_t index) {
  return library.CommandField(command::kCounterValues + 4 * static_cast<std::uint32_t>(index));
}

std::uint64_t CaptionField(const LibraryState& library, std::int32_t index) {
  return library.CommandField(command::kCounterCaptions +
                                   command::kCounterCaptionSize * static_cast<std::uint32_t>(index));
}

// One StatusArea word of the meter; the closed interface's 0 when the counts never settle.
std::int32_t MeterWord(const LibraryState& library, std::uint32_t field, std::int32_t belowLevel) {
  if (!library.IsOpen()) return 0;
  if (library.FirmwareLevel() < kCounterLevel) return belowLevel;
  std::uint32_t value = 0;
  if (!library.Block.ConsistentRead([&] { value = library.Block.LoadStatus(field); })) return 0;
  return static_cast<std::int32_t>(value);
}

bool PastDeadline(const LibraryState& library, std::int64_t deadline) {
  return library.Clock->Counter() >= deadline;
}

// Sends a message block and waits for the unit's reply, each step paced by 1 ms
// sleeps, the whole bounded by kUnitAnswerMs: a unit that never answers must not
// hold the host for ever.
std::int32_t Exchange(LibraryState& library, const std::uint8_t* message, std::int32_t length) {
  platform::Clock& clock = *library.Clock;
  const std::int64_t deadline =
      clock.Counter() + clock.Frequency() * static_cast<std::int64_t>(kUnitAnswerMs) / 1000;
  WriteInterfaceBlock(library, library.Channel, -1, message, length);
  while (library.Channel.WriteStatus == kBlockUnanswered) {
    if (PastDeadline(library, deadline)) return kUnitNoAnswer;
    clock.Sleep(1);
    WriteInterfaceBlock(library, library.Channel, -1, message, length);
  }
  std::uint8_t reply[kReplyMaximum];
  for (;;) {
    const std::int32_t result = ReadInterfaceBlock(library, library.Channel, reply, kReplyMaximum);
    if (result != 0) return result;
    if (PastDeadline(library, deadline)) return kUnitNoAnswer;
    clock.Sleep(1);
  }
}

}  // namespace

void CounterIncrement(LibraryState& library, std::int32_t counter, std::int32_t amount) {
  const std::int32_t index = CounterIndex(counter);
  if (index < 0 || !library.Offers(kCounterLevel)) return;
  const std::uint64_t at = CounterWord(library, index);
  library.Block.GuardedWrite(
      [&] {
        // The unit's words wrap; so does the sum, without signed overflow.
        library.Block.VerifiedStore(at, library.Block.Load(at) + static_cast<std::uint32_t>(amount));
      },
      Settings::kChanged);
}

void CounterCaption(LibraryState& library, std::int32_t counter, const char* caption) {
  const std::int32_t index = CounterIndex(counter);
  if (index < 0 || caption == nullptr || !library.Offers(kCounterLevel)) return;
  std::uint8_t bytes[command::kCounterCaptionSize];
  std::memcpy(bytes, caption, sizeof bytes);
  const std::uint64_t at = CaptionField(library, index);
  library.Block.GuardedWrite(
      [&] {
        for (std::uint32_t word = 0; word < sizeof bytes / 4; ++word)
          library.Block.VerifiedStore(at + 4 * word, platform::ReadLE32(bytes + 4 * word));
      },
      Settings::kChanged);
}

std::int32_t CounterRead(const LibraryState& library, std::int32_t counter) {
  const std::int32_t index = CounterIndex(counter);
  if (index < 0 || !library.Offers(kCounterLevel)) return 0;
  return static_cast<std::int32_t>(library.Block.Load(CounterWord(library, index)));
}

const char* ReadCounterCaption(LibraryState& library, std::int32_t counter) {
  char* text = library.Meters.Caption;
  std::memset(text, 0, sizeof library.Meters.Caption);
  const std::int32_t index = CounterIndex(counter);
  if (index < 0 || !library.Offers(kCounterLevel)) return text;
  // The field need not hold a zero: the buffer's thirteenth byte ends the text.
  library.Block.CopyOut(CaptionField(library, index), text, command::kCounterCaptionSize);
  return text;
}

void CounterDisplay(LibraryState& library, std::int32_t code) {
  if (!library.Offers(kCounterLevel)) return;
  library.Block.GuardedWrite(
      [&] {
        library.Block.VerifiedStore(library.CommandField(command::kCounterDisplayCode),
                                    static_cast<std::uint32_t>(code));
      },
      Settings::kChanged);
}

std::int32_t MeterStatus(const LibraryState& library) {
  return MeterWord(library, status::kMeterStatusWord, 1);
}

std::int32_t MeterSerialNo(const LibraryState& library) {
  return MeterWord(library, status::kMeterSerialWord, 0);
}

void E2PromWrite(LibraryState& library, const std::uint8_t* data, std::int32_t length) {
  if (!library.Offers(kE2PromLevel)) return;
  if (data == nullptr && length > 0) return;
  SharedBlock& block = library.Block;
  const std::uint64_t image = library.CommandField(command::kE2PromImage);
  std::uint8_t working[command::kE2PromImageSize];
  block.CopyOut(image, working, sizeof working);
  if (length > 0) {
    const std::size_t count = static_cast<std::size_t>(length) < sizeof working
                                  ? static_cast<std::size_t>(length)
                                  : sizeof working;
    std::memcpy(working, data, count);
  }
  const std::uint64_t changesField = library.CommandField(command::kE2PromRowChanges);
  block.GuardedWrite(
      [&] {
        std::uint32_t changes = block.Load(changesField);
        for (std::uint32_t row = 0; row < kE2PromRows; ++row) {
          bool stored = false;
          for (std::uint32_t word = 0; word < kE2PromRowBytes / 4; ++word) {
            const std::uint32_t at = row * kE2PromRowBytes + 4 * word;
            const std::uint32_t wanted = platform::ReadLE32(working + at);
            if (block.Load(image + at) == wanted) continue;
            block.VerifiedStore(image + at, wanted);
            stored = true;
          }
          if (!stored) continue;
          // The row's 4-bit counter moves on, modulo 16; its neighbours stay.
          const std::uint32_t shift = 4 * row;
          const std::uint32_t counter = ((changes >> shift) + 1) & 0xFu;
          changes = (changes & ~(0xFu << shift)) | (counter << shift);
        }
        block.VerifiedStore(changesField, changes);
      },
      Settings::kChanged);
}

void E2PromRead(const LibraryState& library, std::uint8_t* buffer, std::int32_t length) {
  if (buffer == nullptr || length <= 0 || !library.Offers(kE2PromLevel)) return;
  const std::size_t count = static_cast<std::size_t>(length) < command::kE2PromImageSize
                                ? static_cast<std::size_t>(length)
                                : command::kE2PromImageSize;
  library.Block.CopyOut(library.CommandField(command::kE2PromImage), buffer, count);
}

std::int32_t E2PromReset(LibraryState& library, std::int32_t flag) {
  std::uint8_t message[kMessageHeader + 2] = {};
  platform::WriteLE32(message, kE2PromResetType);
  platform::WriteLE32(message + 4, 2);
  message[kMessageHeader] = flag != 0 ? 1 : 0;
  return Exchange(library, message, sizeof message);
}

std::int32_t SetDeviceKey(LibraryState& library, std::int32_t key) {
  std::uint8_t message[kMessageHeader + 4] = {};
  platform::WriteLE32(message, kDeviceKeyType);
  platform::WriteLE32(message + 4, 4);
  platform::WriteLE32(message + kMessageHeader, static_cast<std::uint32_t>(key));
  return Exchange(library, message, sizeof message);
}

std::int32_t USBDriverStatus(const LibraryState& library) {
  if (!library.MappingHeld()) return -1;
  return static_cast<std::int32_t>(library.DriverState());
}

void USBDriverExit(LibraryState& library) {
  library.SetDriverState(kDriverExitState);
}

std::int32_t FirmwareVersion(const LibraryState& library, char* date, char* time) {
  const SharedBlock& block = library.Block;
  if (!block.mapped()) return 0;
  if (date != nullptr) block.CopyOut(header::kCompileDate, date, header::kTextSize);
  if (time != nullptr) block.CopyOut(header::kCompileTime, time, header::kTextSize);
  return static_cast<std::int32_t>(block.Load(header::kFirmwareVersionWord));
}

}  // namespace qmx
