// The host's end of the shared block for the block server's suites, written here
// from the block's layout tables (not from the server's constants): a word-aligned
// test block, the host's consistent read and guarded write, the message channel,
// and small waits for a server that runs on its own thread.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/bytes.h"
#include "sim/block_server.h"

namespace block_test {

inline constexpr std::uint32_t kBlockMagic = 0xAA8D4A8C;
inline constexpr std::size_t kBlockSize = 0xB000;

// Header and driver area.
namespace header {
inline constexpr std::uint32_t kMagic = 0, kFormat = 4, kLevel = 8, kVersion = 12, kStatusArea = 16,
                               kCommandArea = 20, kSerial = 36, kPayoutBase = 44, kCompileDate = 48,
                               kCompileTime = 64;
inline constexpr std::uint32_t kDriverAreaMagic = 0x2000, kDriverState = 0x2004;
}  // namespace header

// StatusArea fields.
namespace status {
inline constexpr std::uint32_t kStart = 0, kEnd = 4, kOpenInhibit = 8, kBlockAck = 12,
                               kReplyLength = 16, kReplyData = 20, kCloseCounts = 336,
                               kOpenCounts = 592, kCurrentValue = 848, kPaidTotal = 852,
                               kPayStatus = 856, kAvailable = 860, kAcceptorList = 868,
                               kDispenserList = 872, kEscrowThroughput = 884, kEventSequence = 888,
                               kEventWord = 892, kCheckResult = 948, kMeterStatus = 876,
                               kMeterSerial = 880, kEscrowBarcode = 896, kBarcodeEscrowCount = 916,
                               kBarcodeStackedCount = 920, kStackedBarcode = 924,
                               kPrinterStatus = 944;
inline constexpr std::uint32_t kSize = 952;
}  // namespace status

// CommandArea fields.
namespace command {
inline constexpr std::uint32_t kStart = 0, kEnd = 4, kHostOpen = 8, kBlockSequence = 12,
                               kBlockType = 16, kBlockLength = 20, kBlockData = 24,
                               kInterfaceEnabled = 336, kPayoutTarget = 596, kEscrowEnabled = 1384,
                               kEscrowAccept = 1388, kEscrowReturn = 1392, kEventAck = 1408,
                               kBasedPayoutTarget = 1412, kAttachCount = 1416, kCheckA = 1420,
                               kCheckB = 1424, kCounterValues = 608, kCounterCaptions = 736,
                               kCounterDisplay = 1120, kE2PromRowChanges = 1124,
                               kE2PromImage = 1128, kBarcodeEnabled = 1396, kBarcodeAccept = 1400,
                               kBarcodeReturn = 1404;
inline constexpr std::uint32_t kSize = 1428;
}  // namespace command

// A block the size of the mapping, aligned to whole words.
class TestBlock {
 public:
  explicit TestBlock(std::uint32_t fill = 0) : words_(kBlockSize / 4, fill) {}
  std::uint8_t* data() { return reinterpret_cast<std::uint8_t*>(words_.data()); }
  std::uint32_t Word(std::uint32_t offset) { return platform::LoadSharedWord(data() + offset); }
  void Set(std::uint32_t offset, std::uint32_t value) {
    platform::StoreSharedWord(data() + offset, value);
  }
  std::int32_t Signed(std::uint32_t offset) { return static_cast<std::int32_t>(Word(offset)); }
  // A zero-terminated text at `offset`, read no further than `limit` bytes and never
  // past the block; "<unterminated>" when no zero comes.
  std::string Text(std::uint32_t offset, std::size_t limit) {
    std::string text;
    for (std::size_t i = 0; i < limit && offset + i < kBlockSize; ++i) {
      const std::uint32_t at = static_cast<std::uint32_t>(offset + i);
      const std::uint8_t byte = static_cast<std::uint8_t>(Word(at & ~3u) >> (8 * (at & 3)));
      if (byte == 0) return text;
      text += static_cast<char>(byte);
    }
    return "<unterminated>";
  }

 private:
  std::vector<std::uint32_t> words_;
};

// The host: finds the areas through the header, reads the unit's area with the
// end-fields-start rule and writes its own with the start-fields-end rule.
class Host {
 public:
  explicit Host(TestBlock& block) : block_(block) {}

  std::uint32_t statusArea() { return block_.Word(header::kStatusArea); }
  std::uint32_t commandArea() { return block_.Word(header::kCommandArea); }

  // Runs `read` until the unit's counts agree around it; false (with the last
  // values read) when they never do within `tries`.
  bool Consistent(const std::function<void()>& read, int tries = 1000000) {
    const std::uint32_t s = statusArea();
    for (int i = 0; i < tries; ++i) {
      const std::uint32_t end = block_.Word(s + status::kEnd);
      read();
      if (block_.Word(s + status::kStart) == end) return true;
    }
    return false;
  }
  std::uint32_t Status(std::uint32_t field) {
    std::uint32_t value = 0;
    EXPECT_TRUE(Consistent([&] { value = block_.Word(statusArea() + field); }));
    return value;
  }
  std::int32_t SignedStatus(std::uint32_t field) {
    return static_cast<std::int32_t>(Status(field));
  }

  // One bracketed change of the CommandArea.
  void Guarded(const std::function<void()>& write) {
    const std::uint32_t c = commandArea();
    const std::uint32_t count = block_.Word(c + command::kStart) + 1;
    block_.Set(c + command::kStart, count);
    write();
    block_.Set(c + command::kEnd, count);
  }
  void SetCommand(std::uint32_t field, std::uint32_t value) {
    Guarded([&] { block_.Set(commandArea() + field, value); });
  }
  std::uint32_t Command(std::uint32_t field) { return block_.Word(commandArea() + field); }

  // Places a message block (type, data) and moves BlockSequence.
  void Send(std::uint32_t type, const std::vector<std::uint8_t>& data) {
    const std::uint32_t c = commandArea();
    block_.Set(c + command::kBlockType, type);
    block_.Set(c + command::kBlockLength, static_cast<std::uint32_t>(data.size()));
    Guarded([&] {
      std::vector<std::uint8_t> padded(data);
      padded.resize((data.size() + 3) & ~std::size_t{3}, 0);
      for (std::size_t i = 0; i < padded.size(); i += 4)
        block_.Set(c + command::kBlockData + static_cast<std::uint32_t>(i),
                   platform::ReadLE32(padded.data() + i));
      block_.Set(c + command::kBlockSequence, block_.Word(c + command::kBlockSequence) + 1);
    });
  }
  bool Answered() { return Status(status::kBlockAck) == Command(command::kBlockSequence); }
  // The reply: its length, and up to `maximum` bytes of it.
  std::int32_t Reply(std::vector<std::uint8_t>* bytes, std::size_t maximum = 316) {
    std::int32_t length = 0;
    Consistent([&] {
      const std::uint32_t s = statusArea();
      length = block_.Signed(s + status::kReplyLength);
      bytes->clear();
      for (std::int32_t i = 0; i < length && static_cast<std::size_t>(i) < maximum; ++i) {
        const std::uint32_t at = s + status::kReplyData + static_cast<std::uint32_t>(i);
        bytes->push_back(static_cast<std::uint8_t>(block_.Word(at & ~3u) >> (8 * (at & 3))));
      }
    });
    return length;
  }

 private:
  TestBlock& block_;
};

// Waits, in real time and at most `ms`, until `done` holds.
inline bool Eventually(const std::function<bool()>& done, int ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// Options with every header field non-zero, so a zero read means "not yet written".
inline sim::BlockOptions FullOptions(std::int32_t level = 7) {
  sim::BlockOptions options;
  options.level = level;
  options.unitSerialNumber = 424242;
  options.payoutBase = 1000;
  options.firmware = [] {
    sim::FirmwareInfo info;
    info.versionWord = 0x04020304;
    info.compileDate = "Jan  2 2024";
    info.compileTime = "01:02:03";
    return info;
  };
  return options;
}

}  // namespace block_test
