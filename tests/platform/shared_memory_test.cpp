// Named shared memory against the real system: two views of one block, creating
// versus opening, the errors the loader and the interface library report, and the
// name's end with its creator.
#include "platform/shared_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>

#include "test_names.h"

namespace {

constexpr std::size_t kSize = 0xB000;

std::string BlockName() {
  return platform_test::UniqueName("TarvexTest mapped file ");
}

void Fill(std::uint8_t* data, std::size_t size, std::uint8_t seed) {
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(seed + i * 7);
}

bool Holds(const std::uint8_t* data, std::size_t size, std::uint8_t seed) {
  for (std::size_t i = 0; i < size; ++i)
    if (data[i] != static_cast<std::uint8_t>(seed + i * 7)) return false;
  return true;
}

TEST(SharedMemory, TwoViewsOfOneBlock) {
  const std::string name = BlockName();
  platform::SharedMemoryError error;
  platform::SharedMemory created = platform::SharedMemory::CreateOrOpen(name, kSize, &error);
  ASSERT_TRUE(created.valid()) << error.call << " " << error.code << " " << error.text;
  EXPECT_EQ(created.size(), kSize);
  // A new block starts as zeros, to its last byte.
  std::size_t nonZero = 0;
  for (std::size_t i = 0; i < kSize; ++i) nonZero += created.data()[i] != 0;
  EXPECT_EQ(nonZero, 0u);
  Fill(created.data(), kSize, 3);

  platform::SharedMemory opened = platform::SharedMemory::OpenExisting(name, kSize, &error);
  ASSERT_TRUE(opened.valid()) << error.call << " " << error.code << " " << error.text;
  EXPECT_EQ(opened.size(), kSize);
  EXPECT_NE(opened.data(), created.data());
  EXPECT_TRUE(Holds(opened.data(), kSize, 3));

  // And back: what the second view writes, the first sees.
  opened.data()[kSize - 1] = 0x5A;
  opened.data()[0] = 0xA5;
  EXPECT_EQ(created.data()[kSize - 1], 0x5A);
  EXPECT_EQ(created.data()[0], 0xA5);

  // Opening a smaller part of an existing block is fine.
  platform::SharedMemory part = platform::SharedMemory::OpenExisting(name, 0x1000, &error);
  ASSERT_TRUE(part.valid()) << error.call << " " << error.code << " " << error.text;
  EXPECT_EQ(part.data()[0], 0xA5);
}

TEST(SharedMemory, SecondCreateOpensTheSameBlock) {
  const std::string name = BlockName();
  platform::SharedMemoryError error;
  platform::SharedMemory first = platform::SharedMemory::CreateOrOpen(name, kSize, &error);
  ASSERT_TRUE(first.valid()) << error.call << " " << error.text;
  Fill(first.data(), kSize, 11);

  platform::SharedMemory second = platform::SharedMemory::CreateOrOpen(name, kSize, &error);
  ASSERT_TRUE(second.valid()) << error.call << " " << error.text;
  EXPECT_TRUE(Holds(second.data(), kSize, 11));
  second.data()[100] = 0xEE;
  EXPECT_EQ(first.data()[100], 0xEE);
}

TEST(SharedMemory, OpeningAMissingBlockFailsWithTheSystemText) {
  platform::SharedMemoryError error;
  platform::SharedMemory block = platform::SharedMemory::OpenExisting(BlockName(), kSize, &error);
  EXPECT_FALSE(block.valid());
  EXPECT_EQ(block.data(), nullptr);
  EXPECT_EQ(std::string(error.call), "CreateFileMapping");
  // Both systems number "not found" 2 (ENOENT, ERROR_FILE_NOT_FOUND).
  EXPECT_EQ(error.code, 2);
  ASSERT_FALSE(error.text.empty());
  EXPECT_NE(error.text.back(), '\n');
  EXPECT_NE(error.text.back(), '\r');
}

// A block smaller than asked for is refused, never mapped past its end.
TEST(SharedMemory, OpeningTooSmallABlockFails) {
  const std::string name = BlockName();
  platform::SharedMemoryError error;
  platform::SharedMemory created = platform::SharedMemory::CreateOrOpen(name, 0x1000, &error);
  ASSERT_TRUE(created.valid()) << error.call << " " << error.text;

  platform::SharedMemory opened = platform::SharedMemory::OpenExisting(name, 0x10000, &error);
  EXPECT_FALSE(opened.valid());
  EXPECT_EQ(std::string(error.call), "MapViewOfFile");
  EXPECT_NE(error.code, 0);
  EXPECT_FALSE(error.text.empty());
}

// The block goes with the one who made it (the last holder, on Windows): nothing
// is left behind for a later open to find.
TEST(SharedMemory, CreatedNameVanishesWithItsCreator) {
  const std::string closed = BlockName();
  const std::string destroyed = BlockName();
  platform::SharedMemoryError error;
  platform::SharedMemory block = platform::SharedMemory::CreateOrOpen(closed, kSize, &error);
  ASSERT_TRUE(block.valid()) << error.call << " " << error.text;
  block.Close();
  EXPECT_FALSE(block.valid());
  {
    platform::SharedMemory scoped = platform::SharedMemory::CreateOrOpen(destroyed, kSize, &error);
    ASSERT_TRUE(scoped.valid()) << error.call << " " << error.text;
  }
  for (const std::string& name : {closed, destroyed}) {
    error = {};
    EXPECT_FALSE(platform::SharedMemory::OpenExisting(name, kSize, &error).valid()) << name;
    EXPECT_EQ(std::string(error.call), "CreateFileMapping") << name;
  }
  block.Close();  // closing twice is harmless
}

TEST(SharedMemory, MovesHandOverTheBlock) {
  const std::string firstName = BlockName();
  const std::string secondName = BlockName();
  platform::SharedMemoryError error;
  platform::SharedMemory first = platform::SharedMemory::CreateOrOpen(firstName, kSize, &error);
  platform::SharedMemory second = platform::SharedMemory::CreateOrOpen(secondName, kSize, &error);
  ASSERT_TRUE(first.valid() && second.valid()) << error.call << " " << error.text;
  first.data()[0] = 1;
  second.data()[0] = 2;

  platform::SharedMemory moved(std::move(first));
  EXPECT_FALSE(
      first.valid());  // NOLINT(bugprone-use-after-move): the moved-from state is the point
  ASSERT_TRUE(moved.valid());
  EXPECT_EQ(moved.data()[0], 1);
  EXPECT_EQ(moved.size(), kSize);

  // Taking over another block lets go of the one held before.
  moved = std::move(second);
  EXPECT_FALSE(second.valid());  // NOLINT(bugprone-use-after-move)
  ASSERT_TRUE(moved.valid());
  EXPECT_EQ(moved.data()[0], 2);
  EXPECT_FALSE(platform::SharedMemory::OpenExisting(firstName, kSize, &error).valid());
  EXPECT_TRUE(platform::SharedMemory::OpenExisting(secondName, kSize, &error).valid());

  moved.Close();
  EXPECT_FALSE(platform::SharedMemory::OpenExisting(secondName, kSize, &error).valid());
}

}  // namespace
