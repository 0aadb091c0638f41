// The image integrity checks: the checksum sums, every result text in the order the
// checks run, the notes written on the way, and end addresses that point outside.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "loader/image.h"
#include "tests/loader/image_test_support.h"

namespace {

using image_test::BuildImage;
using image_test::Bytes;
using image_test::GetBE32;
using image_test::Layout;
using image_test::Notes;
using image_test::Printf;
using image_test::PutBE32;
using image_test::PutBlock;
using image_test::RefNoKernel;
using image_test::RefRegion;
using image_test::SRecord;
using image_test::TempFile;
using loader::FirmwareImage;

constexpr const char* kChecksumError =
    "Checksum error: Generated = %08x, Stored = %08x, Checksum address = 0x%X\n";
constexpr const char* kNoKernel = "Kernel Not Present\n";
constexpr const char* kKernel = "Kernel Present\n";
constexpr const char* kWithCopy = "Kernel Present\nKernel Copy present\n";
constexpr const char* kWithoutCopy = "Kernel Present\nKernel Copy not found\n";

TEST(ChecksumSums, HandWorkedWords) {
  Bytes m(loader::kImageSize, 0xFF);
  const std::uint8_t words[] = {0x00, 0x01, 0x00, 0x02, 0x80, 0x00, 0x7F, 0xFF};
  std::copy(std::begin(words), std::end(words), m.begin());
  EXPECT_EQ(loader::WordSum(m.data(), 0, 2), 1u);
  EXPECT_EQ(loader::WordSum(m.data(), 0, 3), 3u);           // odd end: the last word takes byte 3
  EXPECT_EQ(loader::WordSum(m.data(), 4, 6), 0xFFFF8000u);  // 0x8000 is -32768
  EXPECT_EQ(loader::WordSum(m.data(), 0, 8), 0x00000002u);  // 1 + 2 - 32768 + 32767
  EXPECT_EQ(loader::WordSum(m.data(), 8, 8 + 2 * 5), 0xFFFFFFFBu);  // five words of -1
  EXPECT_EQ(loader::WordSum(m.data(), 8, 8), 0u);
  EXPECT_EQ(loader::WordSum(m.data(), 0x3FFFE, 0x40000), 0xFFFFFFFFu);
}

TEST(ChecksumSums, RegionCountsOnlyTheVersionBytesOfItsBlock) {
  Bytes m(loader::kImageSize, 0x00);
  PutBlock(m, 0x8000, 0x8030, {0x01, 0x02, 0x80, 0x00});
  PutBE32(m, 0x8004, 0x12345678);
  // 0x0102 + (-32768); magic, checksum, end address and texts do not count.
  EXPECT_EQ(loader::RegionChecksum(m.data(), 0x8000, 0x8000, 0x8030), 0xFFFF8102u);
  m[0x8030] = 0x00;
  m[0x8031] = 0x05;
  EXPECT_EQ(loader::RegionChecksum(m.data(), 0x8000, 0x8000, 0x8032), 0xFFFF8107u);
}

TEST(ChecksumSums, NoKernelFormCountsEverythingButTheStoredChecksum) {
  FirmwareImage image;
  image.ClearImage();
  Bytes& m = image.ImageBuffer;
  PutBlock(m, 0x8000, 0x8030, {4, 1, 2, 3}, "", "");
  PutBE32(m, 0x8004, 0x12345678);
  // 8 words 0x00FF and 0x3FF8 words -1 below 0x8000, then AA8D, 4A8C, 0000, 8030,
  // 0401, 0203: 2040 - 16376 - 21875 + 19084 - 32720 + 1025 + 515 = -48307.
  EXPECT_EQ(loader::NoKernelChecksum(m.data(), 0x8030), 0xFFFF434Du);
}

class CheckImageTest : public ::testing::Test {
 protected:
  // CheckImage's text ("" for none); its notes go to `notes`.
  std::string Check() {
    const char* text = image.CheckImage(notes.file());
    return text ? text : "";
  }
  Bytes& m() { return image.ImageBuffer; }

  FirmwareImage image;
  Notes notes;
};

TEST_F(CheckImageTest, WithoutApplicationBlockNothingElseIsLookedAt) {
  image.ClearImage();
  EXPECT_EQ(Check(), "No checksum block found\n");
  EXPECT_EQ(notes.Text(), "");

  BuildImage(image);
  std::reverse(m().begin() + 0x8000, m().begin() + 0x8004);  // magic in the wrong byte order
  EXPECT_EQ(Check(), "No checksum block found\n");
  EXPECT_EQ(notes.Text(), "");
}

TEST_F(CheckImageTest, SoundImagesPass) {
  const struct {
    const char* name;
    Layout layout;
    const char* notes;
  } cases[] = {
      {"no kernel", {.kernel = false}, kNoKernel},
      {"kernel and copy", {}, kWithCopy},
      {"kernel without copy", {.copy = false}, kWithoutCopy},
      {"odd kernel end with copy", {.kEnd = 0x2401}, kWithCopy},
      {"odd application end", {.appEnd = 0x9FFF, .copy = false}, kWithoutCopy},
      {"no kernel up to the image end", {.appEnd = 0x40000, .kernel = false}, kNoKernel},
      {"kernel and copy up to the image end", {.kEnd = 0x7000, .appEnd = 0x39000}, kWithCopy},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    Notes caseNotes;
    BuildImage(image, test.layout);
    const char* text = image.CheckImage(caseNotes.file());
    EXPECT_EQ(text ? text : "", std::string());
    EXPECT_EQ(caseNotes.Text(), test.notes);
  }
}

TEST_F(CheckImageTest, ImageFromAnSRecordFileWithoutKernelCountsTheClearedBytes) {
  // The stored checksum is worked out over a buffer cleared the way the loader clears
  // it: 0xFF filler and a zero byte at each page start below the application.
  Bytes expected(loader::kImageSize, 0xFF);
  for (std::uint32_t page = 0; page < 0x8000; page += 0x1000) expected[page] = 0x00;
  const std::uint32_t appEnd = 0x8000 + 0x60 * 32 + 5;
  image_test::FillCode(expected, 0x8000, appEnd, 11);
  PutBlock(expected, 0x8000, appEnd, {3, 2, 0, 17});
  PutBE32(expected, 0x8004, RefNoKernel(expected, appEnd));

  std::string content = SRecord('0', 0, {'a', '3', '7'});
  for (std::uint32_t a = 0x8000; a < appEnd; a += 32) {
    content += SRecord('2', a, Bytes(&expected[a], &expected[std::min(a + 32, appEnd)]));
  }
  TempFile file(content + SRecord('8', 0x8000));
  image.ImageLength = 0;
  image.ClearImage();
  ASSERT_EQ(image.ReadSRecordFile(file.path()), nullptr);
  EXPECT_EQ(Check(), "");
  EXPECT_EQ(notes.Text(), kNoKernel);
}

TEST_F(CheckImageTest, NoKernelChecksumErrorNamesBothSums) {
  BuildImage(image, {.kernel = false});
  const std::uint32_t stored = GetBE32(m(), 0x8004);
  // Filler, cleared page starts, the texts and the version: all of it counts here.
  for (std::uint32_t address : {0x0000u, 0x4321u, 0x800Cu, 0x8010u, 0x802Fu, 0x9FFFu}) {
    SCOPED_TRACE(address);
    BuildImage(image, {.kernel = false});
    m()[address] ^= 0x40;
    EXPECT_EQ(Check(), Printf(kChecksumError, RefNoKernel(m(), 0xA000), stored, 0x8004));
  }
  EXPECT_EQ(notes.Text(),
            std::string(kNoKernel) + kNoKernel + kNoKernel + kNoKernel + kNoKernel + kNoKernel);
}

TEST_F(CheckImageTest, NoKernelLengthMismatchIsInDecimal) {
  BuildImage(image, {.kernel = false});
  image.ImageLength = 100;
  EXPECT_EQ(Check(), "Length mismatch: Read = 100, Stored = 40960\n");
  image.ImageLength = 0x80000000;
  EXPECT_EQ(Check(), "Length mismatch: Read = -2147483648, Stored = 40960\n");
  EXPECT_EQ(notes.Text(), std::string(kNoKernel) + kNoKernel);
}

TEST_F(CheckImageTest, ApplicationWordsOfFFFFCountMinusOneEach) {
  BuildImage(image, {.copy = false});
  // Application from 0x8000 to 0x8130, version bytes and code all 0xFF: 2 + 0x80 words
  // of -1.
  std::fill(m().begin() + 0x8000, m().begin() + 0x8130, 0xFF);
  PutBlock(m(), 0x8000, 0x8130, {0xFF, 0xFF, 0xFF, 0xFF}, "", "");
  PutBE32(m(), 0x8004, 0xFFFFFF7E);
  image.ImageLength = 0x8130;
  EXPECT_EQ(Check(), "");
  EXPECT_EQ(notes.Text(), kWithoutCopy);
}

TEST_F(CheckImageTest, ChecksumErrorsComeApplicationFirst) {
  BuildImage(image);
  const std::uint32_t appStored = GetBE32(m(), 0x8004);
  const std::uint32_t kernelStored = GetBE32(m(), 0x1004);
  m()[0x0200] ^= 0x01;  // kernel
  m()[0x9000] ^= 0x01;  // application
  EXPECT_EQ(Check(), Printf("Application Checksum error: Generated = %08x, Stored = %08x, "
                            "Checksum address = 0x%X\n",
                            RefRegion(m(), 0x8000, 0x8000, 0xA000), appStored, 0x8004));
  EXPECT_EQ(notes.Text(), kKernel);

  m()[0x9000] ^= 0x01;
  EXPECT_EQ(Check(),
            Printf(kChecksumError, RefRegion(m(), 0, 0x1000, 0x2400), kernelStored, 0x1004));
  EXPECT_EQ(notes.Text(), std::string(kKernel) + kKernel);
}

TEST_F(CheckImageTest, TextsDoNotCountWithAKernelButVersionBytesDo) {
  enum Result { kPasses, kApplicationFails, kKernelFails };
  const struct {
    const char* name;
    std::uint32_t address;
    Result result;
  } cases[] = {
      {"application date", 0x8010, kPasses},
      {"application time", 0x802F, kPasses},
      {"kernel date", 0x1015, kPasses},
      {"kernel time", 0x1020, kPasses},
      {"application release type", 0x800C, kApplicationFails},
      {"application build", 0x800F, kApplicationFails},
      {"kernel version part 1", 0x100C, kKernelFails},
      {"kernel version part 4", 0x100F, kKernelFails},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    BuildImage(image, {.copy = false});
    const std::uint32_t appStored = GetBE32(m(), 0x8004);
    const std::uint32_t kernelStored = GetBE32(m(), 0x1004);
    m()[test.address] ^= 0x21;
    std::string expected;
    if (test.result == kApplicationFails) {
      expected = Printf(
          "Application Checksum error: Generated = %08x, Stored = %08x, "
          "Checksum address = 0x%X\n",
          RefRegion(m(), 0x8000, 0x8000, 0xA000), appStored, 0x8004);
    } else if (test.result == kKernelFails) {
      expected = Printf(kChecksumError, RefRegion(m(), 0, 0x1000, 0x2400), kernelStored, 0x1004);
    }
    EXPECT_EQ(Check(), expected);
  }
}

TEST_F(CheckImageTest, OddKernelEndTakesTheBytePastTheEnd) {
  BuildImage(image, {.kEnd = 0x2401, .copy = false});
  m()[0x2402] ^= 0xFF;  // outside the last word
  EXPECT_EQ(Check(), "");
  const std::uint32_t stored = GetBE32(m(), 0x1004);
  m()[0x2401] ^= 0xFF;  // second byte of the last word
  EXPECT_EQ(Check(), Printf(kChecksumError, RefRegion(m(), 0, 0x1000, 0x2401), stored, 0x1004));
  EXPECT_NE(RefRegion(m(), 0, 0x1000, 0x2401), stored);
}

TEST_F(CheckImageTest, KernelCopyMustMatchTheKernel) {
  for (std::uint32_t address : {0x0000u, 0x1010u /* copy's date text */, 0x23FFu}) {
    SCOPED_TRACE(address);
    BuildImage(image);
    m()[0xA000 + address] ^= 0x08;
    EXPECT_EQ(Check(), "Kernel Copy does not match the Kernel\n");
  }
  EXPECT_EQ(notes.Text(), std::string(kWithCopy) + kWithCopy + kWithCopy);
}

TEST_F(CheckImageTest, LengthMismatchesAreInHexadecimalWithAKernel) {
  BuildImage(image);
  image.ImageLength = 0xC401;
  EXPECT_EQ(Check(), "Length mismatch (with Kernel Copy): Read = 0xC401, Stored = 0xC400\n");
  image.ImageLength = 0xA000;
  EXPECT_EQ(Check(), "Length mismatch (with Kernel Copy): Read = 0xA000, Stored = 0xC400\n");
  EXPECT_EQ(notes.Text(), std::string(kWithCopy) + kWithCopy);

  Notes withoutCopy;
  BuildImage(image, {.copy = false});
  image.ImageLength = 0xC400;
  const char* text = image.CheckImage(withoutCopy.file());
  EXPECT_STREQ(text, "Length mismatch: Read = 0xC400, Stored = 0xA000\n");
  EXPECT_EQ(withoutCopy.Text(), kWithoutCopy);
}

TEST_F(CheckImageTest, EndAddressesOutsideTheImageAreRefused) {
  const struct {
    const char* name;
    Layout layout;
    std::uint32_t address;  // end address field to overwrite
    std::uint32_t value;
    const char* notes;
    const char* text;
  } cases[] = {
      {"application, no kernel",
       {.kernel = false},
       0x8008,
       0x40001,
       kNoKernel,
       "Application end address out of range: 0x40001\n"},
      {"application far out, no kernel",
       {.kernel = false},
       0x8008,
       0xFFFFFFFF,
       kNoKernel,
       "Application end address out of range: 0xFFFFFFFF\n"},
      {"application, kernel",
       {},
       0x8008,
       0x40001,
       kKernel,
       "Application end address out of range: 0x40001\n"},
      {"application far out, kernel",
       {},
       0x8008,
       0xFFFFF000,
       kKernel,
       "Application end address out of range: 0xFFFFF000\n"},
      {"kernel", {}, 0x1008, 0x40002, kKernel, "Kernel end address out of range: 0x40002\n"},
      {"kernel far out",
       {},
       0x1008,
       0xFFFFFFFF,
       kKernel,
       "Kernel end address out of range: 0xFFFFFFFF\n"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    Notes caseNotes;
    BuildImage(image, test.layout);
    PutBE32(m(), test.address, test.value);
    EXPECT_STREQ(image.CheckImage(caseNotes.file()), test.text);
    EXPECT_EQ(caseNotes.Text(), test.notes);
  }
}

TEST_F(CheckImageTest, KernelCopyBlockBeyondTheImageIsNotFound) {
  // From 0x3EFFD on, the copy's block has no room for a whole magic word: the three
  // bytes that fit look like its start but must not be read past.
  for (std::uint32_t appEnd : {0x3EFFDu, 0x3F000u, 0x40000u}) {
    SCOPED_TRACE(appEnd);
    Notes caseNotes;
    BuildImage(image, {.appEnd = appEnd, .copy = false});
    if (appEnd == 0x3EFFD) std::copy_n("\xAA\x8D\x4A", 3, m().begin() + 0x3FFFD);
    const char* text = image.CheckImage(caseNotes.file());
    EXPECT_EQ(text ? text : "", std::string());
    EXPECT_EQ(caseNotes.Text(), kWithoutCopy);
  }
}

TEST_F(CheckImageTest, KernelCopyReachingPastTheImageIsRefused) {
  BuildImage(image, {.appEnd = 0x3EFFC, .copy = false});
  PutBE32(m(), 0x3FFFC, loader::kBlockMagic);
  EXPECT_EQ(Check(), "Kernel Copy out of range: 0x413FC\n");
  EXPECT_EQ(notes.Text(), kWithCopy);
}

}  // namespace
