// The image appended to a program file: the trailer, the bytes before it, files
// without an image, and trailers whose length or offset cannot be right.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "loader/image.h"
#include "tests/loader/image_test_support.h"

namespace {

using image_test::BuildImage;
using image_test::Bytes;
using image_test::Notes;
using image_test::TempFile;
using loader::AppendedImageStatus;
using loader::FirmwareImage;

void PutLE32(Bytes& file, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) file.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A program file: some program bytes, then `image`, then the trailer.
Bytes ProgramFile(const Bytes& image, std::uint32_t length, std::uint32_t offset,
                  std::uint32_t magic = loader::kBlockMagic, std::size_t programBytes = 3000) {
  Bytes file(programBytes);
  for (std::size_t i = 0; i < programBytes; ++i) file[i] = static_cast<std::uint8_t>(i * 7 + 1);
  file.insert(file.end(), image.begin(), image.end());
  PutLE32(file, magic);
  PutLE32(file, length);
  PutLE32(file, offset);
  return file;
}

bool AllFF(const Bytes& m, std::size_t from = 0) {
  return std::all_of(m.begin() + static_cast<std::ptrdiff_t>(from), m.end(),
                     [](std::uint8_t b) { return b == 0xFF; });
}

class AppendedImage : public ::testing::Test {
 protected:
  AppendedImage() {
    // Whatever an earlier load left must not survive.
    std::fill(image.ImageBuffer.begin(), image.ImageBuffer.end(), 0x11);
    image.ImageLength = 77;
    image.ApplicationBlock = 0x8000;
    image.KernelBlock = 0x1000;
    image.TrailerMagic = 5;
  }
  loader::AppendedImageResult Load(const Bytes& content) {
    file.Write(content);
    return loader::LoadAppendedImage(file.path(), image);
  }
  void ExpectNothingLoaded() const {
    EXPECT_TRUE(AllFF(image.ImageBuffer));
    EXPECT_EQ(image.ImageLength, 0u);
    EXPECT_FALSE(image.ApplicationBlock.has_value());
    EXPECT_FALSE(image.KernelBlock.has_value());
    EXPECT_FALSE(image.Version().has_value());
  }

  FirmwareImage image;
  TempFile file;
};

TEST_F(AppendedImage, LoadsKernelApplicationAndCopyFromBeforeTheTrailer) {
  FirmwareImage built;
  BuildImage(built);
  const std::uint32_t length = built.ImageLength;  // 0xA000 + 0x2400
  const Bytes bytes(built.ImageBuffer.begin(), built.ImageBuffer.begin() + length);

  const auto result = Load(ProgramFile(bytes, length, 0x8000));
  EXPECT_EQ(result.status, AppendedImageStatus::Loaded);
  EXPECT_EQ(result.error, "");
  EXPECT_EQ(result.length, length);
  EXPECT_EQ(result.offset, 0x8000u);
  EXPECT_EQ(image.ImageLength, length);
  EXPECT_EQ(image.ApplicationBlock, 0x8000u);
  EXPECT_EQ(image.KernelBlock, 0x1000u);
  EXPECT_EQ(image.TrailerMagic, loader::kBlockMagic);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), image.ImageBuffer.begin()));
  EXPECT_TRUE(AllFF(image.ImageBuffer, length));

  Notes notes;
  EXPECT_EQ(image.CheckImage(notes.file()), nullptr);
  EXPECT_EQ(notes.Text(), "Kernel Present\nKernel Copy present\n");

  const auto version = image.Version();
  ASSERT_TRUE(version.has_value());
  EXPECT_EQ(version->magic, loader::kBlockMagic);
  EXPECT_EQ(version->endAddress, 0xA000u);
  EXPECT_EQ(version->version[0], 4);
  EXPECT_EQ(version->version[3], 3);
  EXPECT_EQ(version->compileDate, "Oct 10 2008");
  EXPECT_EQ(version->compileTime, "15:16:35");
}

TEST(VersionRecord, ReadsBigEndianNumbersAndTextsUpToZeroOrSixteenCharacters) {
  Bytes block(48 + 8, 'x');
  image_test::PutBlock(block, 0, 0x00012345, {4, 10, 255, 0}, "Oct 10 2008XYZWV", "9:05:01");
  block[40] = 'j';  // after the time text's zero
  image_test::PutBE32(block, 4, 0xFEDCBA98);
  const loader::VersionRecord record = loader::ReadVersionRecord(block.data());
  EXPECT_EQ(record.magic, 0xAA8D4A8Cu);
  EXPECT_EQ(record.checksum, 0xFEDCBA98u);
  EXPECT_EQ(record.endAddress, 0x00012345u);
  EXPECT_EQ(record.version[0], 4);
  EXPECT_EQ(record.version[1], 10);
  EXPECT_EQ(record.version[2], 255);
  EXPECT_EQ(record.version[3], 0);
  EXPECT_EQ(record.compileDate, "Oct 10 2008XYZWV");
  EXPECT_EQ(record.compileTime, "9:05:01");

  std::fill(block.begin() + 32, block.begin() + 48, 'T');  // no zero: 16 characters only
  EXPECT_EQ(loader::ReadVersionRecord(block.data()).compileTime, std::string(16, 'T'));
}

TEST_F(AppendedImage, FillsAroundTheImageWithFFOnly) {
  // A short image whose version record is at 0: the page starts after it stay 0xFF.
  Bytes bytes(0x100);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
  const auto result = Load(ProgramFile(bytes, 0x100, 0));
  ASSERT_EQ(result.status, AppendedImageStatus::Loaded);
  EXPECT_EQ(image.ApplicationBlock, 0u);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), image.ImageBuffer.begin()));
  EXPECT_TRUE(AllFF(image.ImageBuffer, 0x100));
}

TEST_F(AppendedImage, ImageFittingExactlyIsLoaded) {
  const struct {
    const char* name;
    std::uint32_t length;
    std::uint32_t offset;
    std::size_t programBytes;
  } cases[] = {
      {"whole file is image and trailer", 0x2000, 0x1000, 0},
      {"version record ends the image", 0x8030, 0x8000, 10},
      {"full size", 0x40000, 0x8000, 1},
      {"program much longer than an image", 0x100, 0, 0x50000},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    Bytes bytes(test.length);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i >> 4);
    const auto result =
        Load(ProgramFile(bytes, test.length, test.offset, loader::kBlockMagic, test.programBytes));
    EXPECT_EQ(result.status, AppendedImageStatus::Loaded);
    EXPECT_EQ(image.ImageLength, test.length);
    EXPECT_EQ(image.ApplicationBlock, test.offset);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), image.ImageBuffer.begin()));
    EXPECT_TRUE(AllFF(image.ImageBuffer, test.length));
  }
}

TEST_F(AppendedImage, FileWithoutTrailerHasNoImage) {
  const struct {
    const char* name;
    Bytes content;
    std::uint32_t trailerMagic;
  } cases[] = {
      {"empty file", {}, 0},
      {"eleven bytes", {0x8C, 0x4A, 0x8D, 0xAA, 0, 1, 0, 0, 0, 0x80, 0}, 0},
      {"other last words", ProgramFile({}, 0, 0, 0x01020304), 0x01020304},
      {"magic in the wrong byte order", ProgramFile(Bytes(0x30), 0x30, 0, 0x8C4A8DAA), 0x8C4A8DAA},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    const auto result = Load(test.content);
    EXPECT_EQ(result.status, AppendedImageStatus::NoImage);
    EXPECT_EQ(image.TrailerMagic, test.trailerMagic);
    ExpectNothingLoaded();
  }
}

TEST_F(AppendedImage, MissingFileCannotBeOpened) {
  const std::string missing = std::string(file.path()) + ".missing";
  const auto result = loader::LoadAppendedImage(missing.c_str(), image);
  EXPECT_EQ(result.status, AppendedImageStatus::CannotOpen);
  ExpectNothingLoaded();
}

TEST_F(AppendedImage, ImpossibleTrailersAreRefusedWithTheirReason) {
  const struct {
    const char* name;
    std::uint32_t length;
    std::uint32_t offset;
    std::size_t present;  // bytes before the trailer
    const char* error;
  } cases[] = {
      {"one byte too long", 0x40001, 0x8000, 0x40001,
       "Image in file is too long: 262145 bytes (at most 262144)"},
      {"far too long", 0xFFFFFFFF, 0x8000, 100,
       "Image in file is too long: 4294967295 bytes (at most 262144)"},
      {"incomplete", 100, 0, 50, "Image in file is incomplete: 100 bytes announced, 50 present"},
      {"only a trailer", 0x40000, 0x8000, 0,
       "Image in file is incomplete: 262144 bytes announced, 0 present"},
      {"one byte missing", 0x8030, 0x8000, 0x802F,
       "Image in file is incomplete: 32816 bytes announced, 32815 present"},
      {"record cut short", 0x8020, 0x8000, 0x9000,
       "Image in file has no room for its version record at 0x8000 (length 32800)"},
      {"record one byte short", 0x8030, 0x8001, 0x8030,
       "Image in file has no room for its version record at 0x8001 (length 32816)"},
      {"offset wraps", 0x100, 0xFFFFFFF0, 0x100,
       "Image in file has no room for its version record at 0xFFFFFFF0 (length 256)"},
      {"empty image", 0, 0, 0,
       "Image in file has no room for its version record at 0x0 (length 0)"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    const auto result = Load(
        ProgramFile(Bytes(test.present, 0x00), test.length, test.offset, loader::kBlockMagic, 0));
    EXPECT_EQ(result.status, AppendedImageStatus::Invalid);
    EXPECT_EQ(result.error, test.error);
    EXPECT_EQ(result.length, test.length);
    EXPECT_EQ(result.offset, test.offset);
    EXPECT_EQ(image.TrailerMagic, loader::kBlockMagic);
    ExpectNothingLoaded();
  }
}

// The file form reads the file's end and hands it to the form over bytes: both give
// the same result, status and text alike, and the same image.
TEST_F(AppendedImage, FromMemoryAsFromTheFile) {
  Bytes image8k(0x2000, 0x5A);
  const Bytes files[] = {
      ProgramFile(image8k, 0x2000, 0x1000),
      ProgramFile(image8k, 0x2000, 0x1000, loader::kBlockMagic, 0x48000),
      ProgramFile(image8k, 0x3000, 0x1000, loader::kBlockMagic, 0),  // incomplete
      ProgramFile(image8k, 0x2000, 0x1FF0),                          // no room for the record
      ProgramFile(image8k, 0x50000, 0),                              // too long
      ProgramFile(image8k, 0x2000, 0, 0x12345678),                   // no trailer
      Bytes(11, 0xAA),
  };
  for (const Bytes& content : files) {
    SCOPED_TRACE(content.size());
    const loader::AppendedImageResult fromFile = Load(content);
    const Bytes fileImage = image.ImageBuffer;
    const std::uint32_t fileLength = image.ImageLength;
    const auto fileBlock = image.ApplicationBlock;
    FirmwareImage other;
    const loader::AppendedImageResult fromMemory =
        loader::LoadAppendedImage(content.data(), content.size(), other);
    EXPECT_EQ(fromMemory.status, fromFile.status);
    EXPECT_EQ(fromMemory.error, fromFile.error);
    EXPECT_EQ(fromMemory.length, fromFile.length);
    EXPECT_EQ(fromMemory.offset, fromFile.offset);
    EXPECT_EQ(other.ImageBuffer, fileImage);
    EXPECT_EQ(other.ImageLength, fileLength);
    EXPECT_EQ(other.ApplicationBlock, fileBlock);
  }
}

}  // namespace
