// Byte-order helpers and the shared-word access: fixed byte patterns read and
// written in both orders, high bits included (no sign extension).
#include "platform/bytes.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace {

using Bytes = std::array<std::uint8_t, 4>;

struct OrderCase {
  Bytes bytes;
  std::uint16_t be16, le16;
  std::uint32_t be32, le32;
};

const OrderCase kOrderCases[] = {
    {{0x12, 0x34, 0x56, 0x78}, 0x1234, 0x3412, 0x12345678u, 0x78563412u},
    {{0xFF, 0x80, 0x01, 0xFE}, 0xFF80, 0x80FF, 0xFF8001FEu, 0xFE0180FFu},
    {{0x8C, 0x4A, 0x8D, 0xAA}, 0x8C4A, 0x4A8C, 0x8C4A8DAAu, 0xAA8D4A8Cu},
    {{0x00, 0x00, 0x00, 0x80}, 0x0000, 0x0000, 0x00000080u, 0x80000000u},
    {{0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFF, 0xFFFF, 0xFFFFFFFFu, 0xFFFFFFFFu},
};

TEST(Bytes, ReadsBothOrders) {
  for (const OrderCase& c : kOrderCases) {
    SCOPED_TRACE(c.be32);
    EXPECT_EQ(platform::ReadBE16(c.bytes.data()), c.be16);
    EXPECT_EQ(platform::ReadLE16(c.bytes.data()), c.le16);
    EXPECT_EQ(platform::ReadBE32(c.bytes.data()), c.be32);
    EXPECT_EQ(platform::ReadLE32(c.bytes.data()), c.le32);
  }
}

// Writes land on exactly their bytes: a guard byte on each side stays untouched.
TEST(Bytes, WritesBothOrdersWithinTheirBytes) {
  for (const OrderCase& c : kOrderCases) {
    SCOPED_TRACE(c.be32);
    using Buffer = std::array<std::uint8_t, 6>;
    const Buffer want32{0xA5, c.bytes[0], c.bytes[1], c.bytes[2], c.bytes[3], 0xA5};
    const Buffer want16{0xA5, c.bytes[0], c.bytes[1], 0xA5, 0xA5, 0xA5};

    Buffer buffer;
    buffer.fill(0xA5);
    platform::WriteBE32(buffer.data() + 1, c.be32);
    EXPECT_EQ(buffer, want32);
    buffer.fill(0xA5);
    platform::WriteLE32(buffer.data() + 1, c.le32);
    EXPECT_EQ(buffer, want32);
    buffer.fill(0xA5);
    platform::WriteBE16(buffer.data() + 1, c.be16);
    EXPECT_EQ(buffer, want16);
    buffer.fill(0xA5);
    platform::WriteLE16(buffer.data() + 1, c.le16);
    EXPECT_EQ(buffer, want16);
  }
}

TEST(Bytes, RoundTrips) {
  const std::uint32_t values[] = {0u,       1u,          0x7Fu,       0x80u,       0xFFFFu,
                                  0x10000u, 0x7FFFFFFFu, 0x80000000u, 0xAA8D4A8Cu, 0xFFFFFFFFu};
  for (std::uint32_t v : values) {
    SCOPED_TRACE(v);
    std::uint8_t buffer[4];
    platform::WriteBE32(buffer, v);
    EXPECT_EQ(platform::ReadBE32(buffer), v);
    platform::WriteLE32(buffer, v);
    EXPECT_EQ(platform::ReadLE32(buffer), v);
    const auto low = static_cast<std::uint16_t>(v);
    platform::WriteBE16(buffer, low);
    EXPECT_EQ(platform::ReadBE16(buffer), low);
    platform::WriteLE16(buffer, low);
    EXPECT_EQ(platform::ReadLE16(buffer), low);
  }
}

// The shared block is little-endian: a word stored through the shared access reads
// back byte by byte in that order, and the other way round.
TEST(Bytes, SharedWordIsLittleEndian) {
  alignas(4) std::uint8_t word[8] = {};
  platform::StoreSharedWord(word + 4, 0xAA8D4A8Cu);
  EXPECT_EQ(word[4], 0x8C);
  EXPECT_EQ(word[5], 0x4A);
  EXPECT_EQ(word[6], 0x8D);
  EXPECT_EQ(word[7], 0xAA);
  EXPECT_EQ(word[0] | word[1] | word[2] | word[3], 0);

  platform::WriteLE32(word, 0x01020304u);
  EXPECT_EQ(platform::LoadSharedWord(word), 0x01020304u);
}

}  // namespace
