// Building images and writing them as S-Record files: every form passes the loader's
// check, the stored checksums follow the rules, the file reads back to the same buffer
// and its records are well formed; descriptions that cannot be built are refused.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "tests/tools/tool_test_support.h"
#include "tools/image_builder.h"

namespace {

using namespace tools_test;
using tools::ImageDescription;

constexpr std::uint32_t kApp = 0x8000;

struct FormCase {
  const char* name;
  bool kernel;
  bool copy;
  std::uint32_t appSize;
  std::uint32_t kernelSize;
  const char* notes;
};

const FormCase kForms[] = {
    {"KernelNoCopy", true, false, 0x6000, 0x3000, "Kernel Present\nKernel Copy not found\n"},
    {"KernelWithCopy", true, true, 0x6000, 0x3000, "Kernel Present\nKernel Copy present\n"},
    {"NoKernel", false, false, 0x6000, 0, "Kernel Not Present\n"},
    {"OddEndsWithCopy", true, true, 0x4321, 0x2345, "Kernel Present\nKernel Copy present\n"},
    {"OddEndsNoCopy", true, false, 0x4321, 0x2345, "Kernel Present\nKernel Copy not found\n"},
    {"OddEndNoKernel", false, false, 0x1235, 0, "Kernel Not Present\n"},
    {"SmallestRegions", true, false, 48, 0x1031, "Kernel Present\nKernel Copy not found\n"},
    {"LargestWithCopy", true, true, 0x30000, 0x8000, "Kernel Present\nKernel Copy present\n"},
    {"LargestNoKernel", false, false, 0x38000, 0, "Kernel Not Present\n"},
};

void PrintTo(const FormCase& c, std::ostream* os) {
  *os << c.name;
}

ImageDescription Describing(const FormCase& c) {
  ImageDescription d;
  d.releaseType = 3;
  d.appVersion[0] = 2;
  d.appVersion[1] = 3;
  d.appVersion[2] = 4;
  const std::uint8_t kernel[4] = {5, 6, 7, 8};
  std::memcpy(d.kernelVersion, kernel, 4);
  d.compileDate = "Jan  2 2024";
  d.compileTime = "01:02:03";
  d.includeKernel = c.kernel;
  d.includeKernelCopy = c.copy;
  d.appSize = c.appSize;
  if (c.kernel) d.kernelSize = c.kernelSize;
  d.seed = 42;
  return d;
}

// Checks the image as the loader's window does, with the notes captured.
std::string CheckNotes(loader::FirmwareImage& image, const TempDir& dir, std::string& problem) {
  NotesFile notes(dir.File("notes.txt"));
  const char* text = image.CheckImage(notes.Get());
  problem = text ? text : "";
  return notes.Text();
}

class BuiltForm : public ::testing::TestWithParam<FormCase> {};

TEST_P(BuiltForm, PassesTheLoadersCheckWithChecksumsByTheRules) {
  const FormCase& c = GetParam();
  const ImageDescription d = Describing(c);
  auto image = std::make_unique<loader::FirmwareImage>();
  ASSERT_EQ(tools::BuildImage(d, *image), std::nullopt);
  const std::vector<std::uint8_t>& buf = image->ImageBuffer;
  const std::uint32_t appEnd = kApp + c.appSize;
  const std::uint32_t kEnd = c.kernel ? c.kernelSize : 0;

  TempDir dir;
  std::string problem;
  EXPECT_EQ(CheckNotes(*image, dir, problem), c.notes);
  EXPECT_EQ(problem, "");
  EXPECT_EQ(image->ImageLength, c.copy ? appEnd + kEnd : appEnd);

  // Application block: magic bytes, end, release and version, NUL-padded texts.
  const std::uint8_t appHead[] = {0xAA, 0x8D, 0x4A, 0x8C};
  EXPECT_EQ(0, std::memcmp(&buf[kApp], appHead, 4));
  EXPECT_EQ(BE32(buf, kApp + 8), appEnd);
  EXPECT_EQ(BE32(buf, kApp + 12), 0x03020304u);
  const char date[16] = "Jan  2 2024";
  const char time[16] = "01:02:03";
  EXPECT_EQ(0, std::memcmp(&buf[kApp + 16], date, 16));
  EXPECT_EQ(0, std::memcmp(&buf[kApp + 32], time, 16));

  if (c.kernel) {
    EXPECT_EQ(0, std::memcmp(&buf[0x1000], appHead, 4));
    EXPECT_EQ(BE32(buf, 0x1008), kEnd);
    EXPECT_EQ(BE32(buf, 0x100C), 0x05060708u);
    EXPECT_EQ(BE32(buf, 0x1004), RefRegion(buf, 0, 0x1000, kEnd));
    EXPECT_EQ(BE32(buf, kApp + 4), RefRegion(buf, kApp, kApp, appEnd));
  } else {
    // Below the application exactly what the clearing step leaves.
    for (std::uint32_t a = 0; a < kApp; ++a) {
      ASSERT_EQ(buf[a], a % 0x1000 == 0 ? 0x00 : 0xFF) << "address " << a;
    }
    EXPECT_EQ(BE32(buf, kApp + 4), RefNoKernel(buf, appEnd));
  }
  if (c.copy) {
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + kEnd, buf.begin() + appEnd));
  }
  // Nothing written past the image, nor in the gap above the kernel (bar page starts).
  for (std::uint32_t a = image->ImageLength; a < loader::kImageSize; ++a) {
    ASSERT_EQ(buf[a], 0xFF) << "address " << a;
  }
  for (std::uint32_t a = kEnd; c.kernel && a < kApp; ++a) {
    ASSERT_EQ(buf[a], a % 0x1000 == 0 ? 0x00 : 0xFF) << "address " << a;
  }
}

TEST_P(BuiltForm, SRecordFileReadsBackToTheSameImage) {
  const ImageDescription d = Describing(GetParam());
  auto built = std::make_unique<loader::FirmwareImage>();
  ASSERT_EQ(tools::BuildImage(d, *built), std::nullopt);
  TempDir dir;
  const std::string path = dir.File("image.a37");
  ASSERT_EQ(tools::WriteSRecord(*built, tools::DefinedRanges(d), path, "image.a37"), std::nullopt);

  auto read = std::make_unique<loader::FirmwareImage>();
  read->ImageLength = 0;
  read->ClearImage();
  const char* error = read->ReadSRecordFile(path.c_str());
  ASSERT_EQ(error, nullptr) << error;
  EXPECT_EQ(read->ImageLength, built->ImageLength);
  EXPECT_TRUE(read->ImageBuffer == built->ImageBuffer);
  std::string problem;
  EXPECT_EQ(CheckNotes(*read, dir, problem), GetParam().notes);
  EXPECT_EQ(problem, "");
  EXPECT_EQ(dir.Names(), std::vector<std::string>({"image.a37", "notes.txt"}));
}

INSTANTIATE_TEST_SUITE_P(Forms, BuiltForm, ::testing::ValuesIn(kForms),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(BuildImage, SameSeedSameBytesOtherSeedOtherCode) {
  ImageDescription d;
  d.includeKernelCopy = true;
  auto a = std::make_unique<loader::FirmwareImage>();
  auto b = std::make_unique<loader::FirmwareImage>();
  ASSERT_EQ(tools::BuildImage(d, *a), std::nullopt);
  ASSERT_EQ(tools::BuildImage(d, *b), std::nullopt);
  EXPECT_TRUE(a->ImageBuffer == b->ImageBuffer);

  d.seed = 2;
  ASSERT_EQ(tools::BuildImage(d, *b), std::nullopt);
  // Code bytes differ, the layout does not.
  EXPECT_FALSE(std::equal(a->ImageBuffer.begin() + 0x8030, a->ImageBuffer.begin() + 0x8100,
                          b->ImageBuffer.begin() + 0x8030));
  EXPECT_EQ(BE32(a->ImageBuffer, 0x8008), BE32(b->ImageBuffer, 0x8008));
  EXPECT_EQ(a->ImageLength, b->ImageLength);
}

TEST(BuildImage, FullLengthTextsFillTheirFieldsWithoutTerminator) {
  ImageDescription d;
  d.compileDate = "ABCDEFGHIJKLMNOP";
  d.compileTime = "0123456789abcdef";
  auto image = std::make_unique<loader::FirmwareImage>();
  ASSERT_EQ(tools::BuildImage(d, *image), std::nullopt);
  EXPECT_EQ(0, std::memcmp(&image->ImageBuffer[kApp + 16], "ABCDEFGHIJKLMNOP0123456789abcdef", 32));
  const auto version = image->Version();
  ASSERT_TRUE(version.has_value());
  EXPECT_EQ(version->compileDate, "ABCDEFGHIJKLMNOP");
  EXPECT_EQ(version->compileTime, "0123456789abcdef");
}

struct InvalidCase {
  const char* name;
  void (*change)(ImageDescription&);
  const char* error;  // a part of the expected text
};

const InvalidCase kInvalid[] = {
    {"ReleaseAbove255", [](ImageDescription& d) { d.releaseType = 256; }, "release type 256"},
    {"LongDate", [](ImageDescription& d) { d.compileDate = "ABCDEFGHIJKLMNOPQ"; }, "compile date"},
    {"LongTime", [](ImageDescription& d) { d.compileTime = "12:34:56.7890123456"; },
     "compile time"},
    {"AppSmallerThanItsBlock", [](ImageDescription& d) { d.appSize = 47; }, "at least 48"},
    {"AppBeyondImage", [](ImageDescription& d) { d.appSize = 0x38001; }, "beyond the image"},
    {"AppSizeWraps", [](ImageDescription& d) { d.appSize = 0xFFFFF000; }, "beyond the image"},
    {"KernelWithoutRoomForBlock", [](ImageDescription& d) { d.kernelSize = 0x1030; },
     "must be above 0x1030"},
    {"KernelIntoApplication", [](ImageDescription& d) { d.kernelSize = 0x8001; },
     "overlaps the application"},
    {"CopyBeyondImage",
     [](ImageDescription& d) {
       d.includeKernelCopy = true;
       d.appSize = 0x38000 - 0x3000 + 1;
     },
     "kernel copy"},
    {"CopyWithoutKernel",
     [](ImageDescription& d) {
       d.includeKernel = false;
       d.includeKernelCopy = true;
     },
     "needs a kernel"},
};

void PrintTo(const InvalidCase& c, std::ostream* os) {
  *os << c.name;
}

class InvalidDescription : public ::testing::TestWithParam<InvalidCase> {};

TEST_P(InvalidDescription, IsRefusedAndTheImageIsLeftAlone) {
  ImageDescription d;
  GetParam().change(d);
  const auto problem = tools::ValidateDescription(d);
  ASSERT_TRUE(problem.has_value());
  EXPECT_NE(problem->find(GetParam().error), std::string::npos) << *problem;

  auto image = std::make_unique<loader::FirmwareImage>();
  image->ImageBuffer.assign(loader::kImageSize, 0x5A);
  image->ImageLength = 1234;
  EXPECT_EQ(tools::BuildImage(d, *image), problem);
  EXPECT_EQ(image->ImageLength, 1234u);
  EXPECT_TRUE(std::all_of(image->ImageBuffer.begin(), image->ImageBuffer.end(),
                          [](std::uint8_t b) { return b == 0x5A; }));
  EXPECT_TRUE(tools::DefinedRanges(d).empty());
}

INSTANTIATE_TEST_SUITE_P(Descriptions, InvalidDescription, ::testing::ValuesIn(kInvalid),
                         [](const auto& param) { return std::string(param.param.name); });

// The file's records, checked character by character without the loader's reader.
TEST(WriteSRecord, RecordsAreWellFormedAndCoverExactlyTheRegions) {
  ImageDescription d;
  d.kernelSize = 0x1041;  // odd: the kernel's last record is short
  d.appSize = 0x70;
  d.includeKernelCopy = true;
  auto image = std::make_unique<loader::FirmwareImage>();
  ASSERT_EQ(tools::BuildImage(d, *image), std::nullopt);
  TempDir dir;
  const std::string path = dir.File("records.a37");
  ASSERT_EQ(tools::WriteSRecord(*image, tools::DefinedRanges(d), path, "HDR"), std::nullopt);

  const std::string text = ReadText(path);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find('\r'), std::string::npos);
  const std::vector<std::string> lines = SplitLines(text);
  ASSERT_GE(lines.size(), 3u);

  // S0: count 06 = two address bytes, "HDR", checksum; 06+48+44+52 = 0xE4, ~ = 0x1B.
  EXPECT_EQ(lines.front(), "S00600004844521B");
  // S8 with address 0: 04, ~0x04 = 0xFB.
  EXPECT_EQ(lines.back(), "S804000000FB");

  std::vector<std::uint32_t> covered;  // every data address, in file order
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    const std::string& line = lines[i];
    SCOPED_TRACE(line);
    ASSERT_EQ(line.substr(0, 2), "S2");
    for (std::size_t p = 2; p < line.size(); ++p) {
      ASSERT_TRUE((line[p] >= '0' && line[p] <= '9') || (line[p] >= 'A' && line[p] <= 'F'));
    }
    const int count = ByteAt(line, 2);
    ASSERT_EQ(line.size(), 4u + 2u * static_cast<unsigned>(count));
    ASSERT_GE(count, 5);
    ASSERT_LE(count, 4 + 32);
    EXPECT_EQ(ByteAt(line, line.size() - 2), RecordChecksum(line));
    const std::uint32_t address = (static_cast<std::uint32_t>(ByteAt(line, 4)) << 16) |
                                  (static_cast<std::uint32_t>(ByteAt(line, 6)) << 8) |
                                  static_cast<std::uint32_t>(ByteAt(line, 8));
    for (int k = 0; k < count - 4; ++k) {
      ASSERT_EQ(ByteAt(line, 10 + 2 * static_cast<std::size_t>(k)),
                image->ImageBuffer[address + static_cast<std::uint32_t>(k)]);
      covered.push_back(address + static_cast<std::uint32_t>(k));
    }
  }
  // Kernel [0, 0x1041), application [0x8000, 0x8070), copy [0x8070, 0x90B1), each once,
  // in 32-byte records from each range's start.
  std::vector<std::uint32_t> expected;
  for (std::uint32_t a = 0; a < 0x1041; ++a) expected.push_back(a);
  for (std::uint32_t a = 0x8000; a < 0x8070 + 0x1041; ++a) expected.push_back(a);
  EXPECT_TRUE(covered == expected);
  EXPECT_EQ(lines.size(), 2u + (0x1041 + 31) / 32 + 0x70 / 32 + 1 + (0x1041 + 31) / 32);
}

TEST(WriteSRecord, RefusesBadRangesAndLongHeadersAndLeavesNoFile) {
  auto image = std::make_unique<loader::FirmwareImage>();
  TempDir dir;
  const std::string path = dir.File("x.a37");
  const std::vector<tools::ByteRange> beyond = {{0x3FFF0, 0x40001}};
  const std::vector<tools::ByteRange> reversed = {{0x100, 0x80}};
  EXPECT_NE(tools::WriteSRecord(*image, beyond, path, ""), std::nullopt);
  EXPECT_NE(tools::WriteSRecord(*image, reversed, path, ""), std::nullopt);
  EXPECT_NE(tools::WriteSRecord(*image, {}, path, std::string(65, 'h')), std::nullopt);
  EXPECT_TRUE(dir.Names().empty());
  // A folder that does not exist: an error, nothing created.
  const auto e = tools::WriteSRecord(*image, {}, dir.File("missing/x.a37"), "");
  ASSERT_TRUE(e.has_value());
  EXPECT_NE(e->find("missing"), std::string::npos) << *e;
  EXPECT_TRUE(dir.Names().empty());
}

TEST(ParseReleaseType, NumbersNamesAndShortForms) {
  const struct {
    const char* text;
    std::optional<unsigned> value;
  } cases[] = {
      {"0", 0u},          {"4", 4u},     {"255", 255u},   {"0xFF", 255u},      {"256", {}},
      {"-1", {}},         {"", {}},      {"Special", 0u}, {"development", 1u}, {"DEV", 1u},
      {"Alpha Test", 2u}, {"alpha", 2u}, {"beta", 3u},    {"Beta Test", 3u},   {"Full Release", 4u},
      {"full", 4u},       {"gamma", {}}, {"beta ", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tools::ParseReleaseType(c.text), c.value) << '"' << c.text << '"';
  }
}

TEST(ParseNumber, DecimalAndHexOnly) {
  const struct {
    const char* text;
    std::optional<std::uint64_t> value;
  } cases[] = {
      {"0", 0u},
      {"12345", 12345u},
      {"0x6000", 0x6000u},
      {"0XaBc", 0xABCu},
      {"0x", {}},
      {"", {}},
      {" 1", {}},
      {"1 ", {}},
      {"+1", {}},
      {"-1", {}},
      {"12a", {}},
      {"0x1g", {}},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", {}},
      {"0xFFFFFFFFFFFFFFFF", UINT64_MAX},
      {"0x10000000000000000", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tools::ParseNumber(c.text), c.value) << '"' << c.text << '"';
  }
}

}  // namespace
