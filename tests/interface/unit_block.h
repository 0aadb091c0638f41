// The unit's side of the shared block for the interface tests: buffers and named
// mappings, and a block set up as a unit sets it up. Offsets are written here from
// the block's layout table, not taken from the library, so a wrong constant there
// shows up as a failing test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "interface/library.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/shared_memory.h"

namespace qmx_test {

constexpr std::size_t kBlockBytes = 0xB000;
constexpr std::uint32_t kMagic = 0xAA8D4A8C;

// Where the test unit places its areas.
constexpr std::uint32_t kStatusAt = 0x100;
constexpr std::uint32_t kCommandAt = 0x800;

// Header and driver area.
constexpr std::uint32_t kBlockMagicAt = 0;
constexpr std::uint32_t kBlockFormatAt = 4;
constexpr std::uint32_t kFirmwareLevelAt = 8;
constexpr std::uint32_t kStatusAreaOffsetAt = 16;
constexpr std::uint32_t kCommandAreaOffsetAt = 20;
constexpr std::uint32_t kPayoutBaseAt = 44;
constexpr std::uint32_t kDriverAreaMagicAt = 0x2000;
constexpr std::uint32_t kDriverStateAt = 0x2004;
// StatusArea fields.
constexpr std::uint32_t kStatusStart = 0;
constexpr std::uint32_t kStatusEnd = 4;
constexpr std::uint32_t kOpenInhibit = 8;
constexpr std::uint32_t kCurrentValue = 848;
constexpr std::uint32_t kPaidTotal = 852;
constexpr std::uint32_t kPayStatus = 856;
constexpr std::uint32_t kAvailableValue = 860;
constexpr std::uint32_t kBlockAckField = 12;
constexpr std::uint32_t kReplyLengthField = 16;
// CommandArea fields.
constexpr std::uint32_t kBlockSequenceField = 12;
constexpr std::uint32_t kBlockAreaField = 16;  // type word, length word, data
constexpr std::uint32_t kCommandStart = 0;
constexpr std::uint32_t kCommandEnd = 4;
constexpr std::uint32_t kHostOpen = 8;
constexpr std::uint32_t kInterfaceEnabled = 336;
constexpr std::uint32_t kIndicatorSlot0 = 340;
constexpr std::uint32_t kPayoutTarget = 596;
constexpr std::uint32_t kValueNeeded = 600;
constexpr std::uint32_t kSettingsChangeCount = 604;
constexpr std::uint32_t kBasedPayoutTarget = 1412;
constexpr std::uint32_t kAttachCount = 1416;

// A test buffer of exactly `size` bytes on the heap (so AddressSanitizer sees any
// access past it), zeroed, on a 16-byte boundary.
class Buffer {
 public:
  explicit Buffer(std::size_t size)
      : bytes_(new std::uint8_t[size == 0 ? 1 : size]()), size_(size) {}
  std::uint8_t* data() { return bytes_.get(); }
  std::size_t size() const { return size_; }
  std::vector<std::uint8_t> Snapshot() const { return {bytes_.get(), bytes_.get() + size_}; }

 private:
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t size_;
};

// Word access as the unit makes it: atomic, at a byte offset.
inline std::uint32_t WordAt(const std::uint8_t* base, std::size_t offset) {
  return platform::LoadSharedWord(base + offset);
}
inline void SetWordAt(std::uint8_t* base, std::size_t offset, std::uint32_t value) {
  platform::StoreSharedWord(base + offset, value);
}

// What a unit writes before a host may open: header, areas, driver area.
struct UnitSetup {
  bool magic = true;
  std::uint32_t format = 1;
  std::int32_t level = 5;
  std::uint32_t statusAt = kStatusAt;
  std::uint32_t commandAt = kCommandAt;
  std::uint32_t openInhibit = 0;
  std::uint32_t payoutBase = 0;
  std::uint32_t driverState = 0;
};

inline void SetUpBlock(std::uint8_t* base, const UnitSetup& setup) {
  SetWordAt(base, kBlockFormatAt, setup.format);
  SetWordAt(base, kFirmwareLevelAt, static_cast<std::uint32_t>(setup.level));
  SetWordAt(base, kStatusAreaOffsetAt, setup.statusAt);
  SetWordAt(base, kCommandAreaOffsetAt, setup.commandAt);
  SetWordAt(base, kPayoutBaseAt, setup.payoutBase);
  if (setup.statusAt == kStatusAt) SetWordAt(base, kStatusAt + kOpenInhibit, setup.openInhibit);
  SetWordAt(base, kDriverAreaMagicAt, kMagic);
  SetWordAt(base, kDriverStateAt, setup.driverState);
  // Last, as the unit does: the magic says the rest is in place.
  SetWordAt(base, kBlockMagicAt, setup.magic ? kMagic : 0);
}

// Names no other test run uses: a serial of 11 characters (the most a mapping name
// takes) and a base name standing in for "QMXZELTI mapped file".
inline std::string RandomText(std::size_t length) {
  static std::mt19937_64 generator(
      std::random_device{}() ^
      static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()));
  static const char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string text;
  for (std::size_t i = 0; i < length; ++i) text += kDigits[generator() % 36];
  return text;
}
inline std::string UniqueSerial() {
  return "T" + RandomText(10);
}
inline std::string UniqueBaseName() {
  return "QmxTest " + RandomText(12) + " mapped file";
}

// A named block the test owns as the driver process would (removed when it goes).
class UnitMapping {
 public:
  explicit UnitMapping(const std::string& name, std::size_t size = kBlockBytes) {
    platform::SharedMemoryError error;
    memory_ = platform::SharedMemory::CreateOrOpen(name, size, &error);
    EXPECT_TRUE(memory_.valid()) << name << ": " << error.call << " " << error.code << " "
                                 << error.text;
  }
  std::uint8_t* data() { return memory_.data(); }
  std::uint32_t Word(std::size_t offset) { return WordAt(memory_.data(), offset); }
  void SetWord(std::size_t offset, std::uint32_t value) {
    SetWordAt(memory_.data(), offset, value);
  }
  std::uint32_t Command(std::uint32_t field) { return Word(kCommandAt + field); }
  std::vector<std::uint8_t> Snapshot() { return {memory_.data(), memory_.data() + memory_.size()}; }

 private:
  platform::SharedMemory memory_;
};

// A test buffer set up as a unit sets it up and held open by a fresh library state
// on a virtual clock: the fixture of the families' tests.
class OpenBlock : public ::testing::Test {
 public:
  void Open(std::int32_t level, std::uint32_t payoutBase = 0) {
    UnitSetup setup;
    setup.level = level;
    setup.payoutBase = payoutBase;
    SetUpBlock(block_.data(), setup);
    library_.Block = qmx::SharedBlock(block_.data(), block_.size());
    library_.Clock = &clock_;
    ASSERT_TRUE(library_.Block.TakeAreas());
  }
  std::uint32_t Word(std::uint32_t at) { return WordAt(block_.data(), at); }
  void Set(std::uint32_t at, std::uint32_t value) { SetWordAt(block_.data(), at, value); }
  std::uint32_t Status(std::uint32_t field) { return Word(kStatusAt + field); }
  void SetStatus(std::uint32_t field, std::uint32_t value) { Set(kStatusAt + field, value); }
  std::uint32_t Command(std::uint32_t field) { return Word(kCommandAt + field); }
  void SetCommand(std::uint32_t field, std::uint32_t value) { Set(kCommandAt + field, value); }
  void SetBytes(std::uint32_t at, const void* bytes, std::size_t count) {
    std::memcpy(block_.data() + at, bytes, count);
  }
  // The unit in the middle of an update it never finishes.
  void StallUnit() {
    SetStatus(kStatusStart, 8);
    SetStatus(kStatusEnd, 7);
  }
  // Offsets whose bytes differ from `before`, word by word.
  std::vector<std::uint32_t> ChangedWords(const std::vector<std::uint8_t>& before) {
    std::vector<std::uint32_t> changed;
    const std::vector<std::uint8_t> after = block_.Snapshot();
    for (std::uint32_t at = 0; at + 4 <= after.size(); at += 4) {
      if (WordAt(after.data(), at) != WordAt(before.data(), at)) changed.push_back(at);
    }
    return changed;
  }

  // The unit's side of the message channel: takes a block sent since the last
  // answer (its type, length word and data bytes into `message`) and answers it with
  // a reply of `replyLength`. False when nothing new was sent.
  struct Message {
    std::uint32_t type = 0, length = 0;
    std::vector<std::uint8_t> data;
  };
  bool AnswerMessage(std::int32_t replyLength, Message* message = nullptr) {
    const std::uint32_t sequence = Command(kBlockSequenceField);
    if (sequence == Status(kBlockAckField)) return false;
    if (message != nullptr) {
      message->type = Command(kBlockAreaField);
      message->length = Command(kBlockAreaField + 4);
      const std::uint8_t* data = block_.data() + kCommandAt + kBlockAreaField + 8;
      message->data.assign(data, data + (message->length < 312 ? message->length : 312));
    }
    SetStatus(kReplyLengthField, static_cast<std::uint32_t>(replyLength));
    SetStatus(kBlockAckField, sequence);
    return true;
  }

  Buffer block_{kBlockBytes};
  platform::VirtualClock clock_;
  qmx::LibraryState library_{"QmxTest never opened"};
};

}  // namespace qmx_test
