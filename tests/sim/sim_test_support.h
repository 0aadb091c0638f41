// Helpers for the simulated unit's suites: a host end that speaks raw link records to
// a UsbUnit on a virtual clock, a record encoder of its own, images built with the
// image tool, and scratch files.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "loader/image.h"
#include "platform/clock.h"
#include "platform/d2xx.h"
#include "sim/usb_unit.h"
#include "tools/image_builder.h"

namespace sim_test {

using Bytes = std::vector<std::uint8_t>;
namespace d2xx = platform::d2xx;

inline constexpr std::uint16_t kFiller = 0xFFFF;
inline constexpr std::uint16_t kCommand = 0xE003;
inline constexpr std::uint16_t kAddress = 0xE001;
inline constexpr std::uint16_t kData = 0xE005;
inline constexpr std::uint16_t kReplyKind = 0xE000;

struct Record {
  std::uint16_t code = 0;
  std::uint32_t value = 0;
  bool operator==(const Record&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Record& r) {
  char text[40];
  std::snprintf(text, sizeof text, "{%04x, %08x}", static_cast<unsigned>(r.code),
                static_cast<unsigned>(r.value));
  return out << text;
}

inline std::uint16_t ReplyCode(std::uint32_t enquiry) {
  return static_cast<std::uint16_t>(kReplyKind | (enquiry << 2));
}
inline Record Reply(std::uint32_t enquiry, std::uint32_t value) {
  return {ReplyCode(enquiry), value};
}
inline Record Event(std::uint32_t value) {
  return {kCommand, value};
}

// Names parameterised cases after their `name` field.
struct ByName {
  template <class P>
  std::string operator()(const ::testing::TestParamInfo<P>& info) const {
    return info.param.name;
  }
};

// Six bytes on the wire: code and value, little-endian, written out by hand.
inline void Encode(Bytes& out, std::uint16_t code, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(code & 0xFF));
  out.push_back(static_cast<std::uint8_t>(code >> 8));
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}
inline Bytes Records(std::initializer_list<Record> records) {
  Bytes out;
  for (const Record& r : records) Encode(out, r.code, r.value);
  return out;
}
inline Bytes Filler() {
  return Records({{kFiller, 0xFFFFFFFF}});
}
inline Bytes Command(std::uint32_t number) {
  return Records({{kCommand, number}});
}

// The burst the loader sends while it searches for the unit.
inline Bytes EnquiryBurst() {
  Bytes out = Filler();
  for (std::uint32_t n : {100u, 109u, 102u, 111u, 101u}) Encode(out, kCommand, n);
  return out;
}

// One programmed block: its address record and 32 data records, image bytes in order.
inline Bytes Block(const Bytes& image, std::uint32_t address) {
  Bytes out;
  Encode(out, kAddress, address);
  for (std::uint32_t i = 0; i < 128; i += 4) {
    const std::uint8_t* p = image.data() + address + i;
    Encode(out, kData,
           std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
               (std::uint32_t{p[3]} << 24));
  }
  return out;
}

// Addresses of the non-empty 128-byte blocks from `start` on.
inline std::vector<std::uint32_t> UsedBlocks(const Bytes& image, std::uint32_t start) {
  std::vector<std::uint32_t> blocks;
  for (std::uint32_t a = start; a < image.size(); a += 128) {
    for (std::uint32_t i = 0; i < 128; ++i) {
      if (image[a + i] != 0xFF) {
        blocks.push_back(a);
        break;
      }
    }
  }
  return blocks;
}

inline std::uint32_t BigEndian32(const Bytes& image, std::uint32_t a) {
  return (std::uint32_t{image[a]} << 24) | (std::uint32_t{image[a + 1]} << 16) |
         (std::uint32_t{image[a + 2]} << 8) | std::uint32_t{image[a + 3]};
}

// An image made by the image tool (its checksums come from the loader's code, written
// apart from the unit's).
inline Bytes BuildImage(const tools::ImageDescription& desc) {
  loader::FirmwareImage image;
  const auto error = tools::BuildImage(desc, image);
  EXPECT_FALSE(error.has_value()) << *error;
  return image.ImageBuffer;
}

// The host end of the link: writes raw bytes, reads what is waiting, and cuts it into
// records as the loader does (0xFF bytes between records are idle fill).
class Host {
 public:
  explicit Host(sim::UnitOptions options = {}, bool open = true) : unit(std::move(options), clock) {
    if (open) {
      EXPECT_EQ(unit.Open(), d2xx::kOk);
    }
  }

  void AdvanceMs(std::int64_t ms) { clock.Advance(ms * 1000); }

  void Send(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      std::uint32_t written = 0;
      ASSERT_EQ(unit.Write(bytes.data() + done, static_cast<std::uint32_t>(bytes.size() - done),
                           &written),
                d2xx::kOk);
      ASSERT_GT(written, 0u);
      done += written;
    }
  }

  // Everything waiting, read as the loader reads: ask the queue, then read that much.
  Bytes ReadWaiting() {
    std::uint32_t waiting = 0;
    EXPECT_EQ(unit.QueueStatus(&waiting), d2xx::kOk);
    Bytes bytes(waiting);
    if (waiting == 0) return bytes;
    std::uint32_t got = 0;
    EXPECT_EQ(unit.Read(bytes.data(), waiting, &got), d2xx::kOk);
    bytes.resize(got);
    return bytes;
  }

  std::vector<Record> Take(const Bytes& bytes) {
    std::vector<Record> records;
    for (std::uint8_t b : bytes) {
      if (count_ == 0 && b == 0xFF) {
        ++fillBytes;
        continue;
      }
      part_[count_++] = b;
      if (count_ == 6) {
        count_ = 0;
        records.push_back({static_cast<std::uint16_t>(part_[0] | (part_[1] << 8)),
                           std::uint32_t{part_[2]} | (std::uint32_t{part_[3]} << 8) |
                               (std::uint32_t{part_[4]} << 16) | (std::uint32_t{part_[5]} << 24)});
      }
    }
    return records;
  }

  std::vector<Record> Receive() { return Take(ReadWaiting()); }
  bool PartialRecord() const { return count_ != 0; }

  platform::VirtualClock clock;
  sim::UsbUnit unit;
  std::size_t fillBytes = 0;

 private:
  std::uint8_t part_[6] = {};
  int count_ = 0;
};

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::random_device random;
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() /
            ("sim-unit-test-" + std::to_string(random()) + "-" + std::to_string(now));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string Write(const std::string& name, const std::string& text) const {
    const std::string path = (path_ / name).string();
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    return path;
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace sim_test
