// The simulated unit's flash: what it reports about the firmware it holds, checked
// against hand-worked sums and against images whose checksums the image tool computed.
#include "sim/firmware.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/sim/sim_test_support.h"

namespace {

using sim::Firmware;
using sim_test::BigEndian32;
using sim_test::BuildImage;
using sim_test::Bytes;

void PutBE32(Bytes& image, std::uint32_t a, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) image[a + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// A tiny application: block at 0x8000 (version 4.1.2.3, zero texts), end 0x8034, and
// the code words 0x0005 and 0xFFFE behind the block.
Bytes TinyImage(bool withKernel) {
  Bytes image(Firmware::kFlashSize, 0xFF);
  PutBE32(image, 0x8000, 0xAA8D4A8C);
  PutBE32(image, 0x8004, 0x12345678);
  PutBE32(image, 0x8008, 0x8034);
  PutBE32(image, 0x800C, 0x04010203);
  std::memset(image.data() + 0x8010, 0, 32);
  PutBE32(image, 0x8030, 0x0005FFFE);
  if (withKernel) PutBE32(image, 0x1000, 0xAA8D4A8C);
  return image;
}

TEST(FirmwareTest, ErasedFlashHoldsNothing) {
  Firmware fw;
  EXPECT_FALSE(fw.HasApplication());
  EXPECT_FALSE(fw.HasKernel());
  EXPECT_EQ(fw.VersionWord(), 0u);
  EXPECT_EQ(fw.KernelVersion(), -1);
  EXPECT_FALSE(fw.ChecksumsGood());
  EXPECT_EQ(fw.VersionText(), "none");
  EXPECT_EQ(fw.CompileDate(), "");
}

// Sums worked out by hand from the rules.
TEST(FirmwareTest, ChecksumRulesOnATinyImage) {
  Firmware fw;
  fw.Load(TinyImage(true));
  // With a kernel: version words 0x0401 + 0x0203, code 0x0005 + (-2).
  EXPECT_EQ(fw.ApplicationChecksum(), 0x0401u + 0x0203u + 5u - 2u);

  fw.Load(TinyImage(false));
  // Without one: 0x4000 erased words below 0x8000 (-1 each), magic 0xAA8D (-21875) and
  // 0x4A8C, end address words 0x0000 and 0x8034 (-32716), version words, code words;
  // the stored checksum's two words are left out.
  const std::int32_t expected = -0x4000 - 21875 + 0x4A8C + 0 - 32716 + 0x0401 + 0x0203 + 5 - 2;
  EXPECT_EQ(fw.ApplicationChecksum(), static_cast<std::uint32_t>(expected));
  EXPECT_EQ(fw.ApplicationChecksum(), 0xFFFF3B54u);
  EXPECT_EQ(fw.StoredApplicationChecksum(), 0x12345678u);
  EXPECT_FALSE(fw.ChecksumsGood());
  EXPECT_EQ(fw.VersionWord(), 0x04010203u);
  EXPECT_EQ(fw.VersionText(), "Full Release 1.2.3");
}

struct BuiltCase {
  const char* name;
  tools::ImageDescription desc;
};

tools::ImageDescription Desc(bool kernel, bool copy, std::uint32_t appSize, unsigned release,
                             std::uint64_t seed) {
  tools::ImageDescription d;
  d.includeKernel = kernel;
  d.includeKernelCopy = copy;
  d.appSize = appSize;
  d.releaseType = release;
  d.appVersion[0] = 2;
  d.appVersion[1] = 7;
  d.appVersion[2] = 31;
  d.kernelVersion[0] = 3;
  d.kernelVersion[1] = 1;
  d.kernelVersion[2] = 4;
  d.kernelVersion[3] = 1;
  d.seed = seed;
  return d;
}

class BuiltImageTest : public ::testing::TestWithParam<BuiltCase> {};

// The unit's own checksum code agrees with the image tool's on images of every layout.
TEST_P(BuiltImageTest, UnitAgreesWithTheImageTool) {
  const tools::ImageDescription& d = GetParam().desc;
  const Bytes image = BuildImage(d);
  Firmware fw;
  fw.Load(image);
  EXPECT_TRUE(fw.HasApplication());
  EXPECT_EQ(fw.HasKernel(), d.includeKernel);
  EXPECT_EQ(fw.ApplicationChecksum(), BigEndian32(image, 0x8004));
  EXPECT_EQ(fw.StoredApplicationChecksum(), BigEndian32(image, 0x8004));
  EXPECT_TRUE(fw.ChecksumsGood());
  EXPECT_EQ(fw.VersionWord(), (d.releaseType << 24) | (2u << 16) | (7u << 8) | 31u);
  EXPECT_EQ(fw.KernelVersion(), d.includeKernel ? 0x03010401 : -1);
  EXPECT_EQ(fw.CompileDate(), "Oct 10 2008");
  EXPECT_EQ(fw.CompileTime(), "15:16:35");
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, BuiltImageTest,
    ::testing::Values(BuiltCase{"KernelAndApplication", Desc(true, false, 0x6000, 4, 1)},
                      BuiltCase{"WithKernelCopy", Desc(true, true, 0x5000, 3, 2)},
                      BuiltCase{"NoKernel", Desc(false, false, 0x4000, 1, 3)},
                      BuiltCase{"OddApplicationEnd", Desc(true, false, 0x2001, 0, 4)},
                      BuiltCase{"NoKernelOddEnd", Desc(false, false, 0x1235, 2, 5)},
                      BuiltCase{"LargeApplication", Desc(true, true, 0x30000, 4, 6)}),
    sim_test::ByName());

struct Corruption {
  const char* name;
  bool kernel;
  std::uint32_t address;  // byte changed
  bool stillGood;
};

class CorruptionTest : public ::testing::TestWithParam<Corruption> {};

TEST_P(CorruptionTest, OnlyCountedBytesBreakTheChecksums) {
  const Corruption& c = GetParam();
  Bytes image = BuildImage(Desc(c.kernel, false, 0x3000, 4, 9));
  image[c.address] ^= 0x21;
  Firmware fw;
  fw.Load(image);
  EXPECT_EQ(fw.ChecksumsGood(), c.stillGood);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, CorruptionTest,
    ::testing::Values(Corruption{"ApplicationCode", true, 0x9000, false},
                      Corruption{"ApplicationVersion", true, 0x800F, false},
                      Corruption{"KernelCode", true, 0x0100, false},
                      Corruption{"KernelVersion", true, 0x100D, false},
                      Corruption{"ApplicationDateWithKernel", true, 0x8012, true},
                      Corruption{"KernelTimeWithKernel", true, 0x1021, true},
                      Corruption{"ApplicationDateWithoutKernel", false, 0x8012, false},
                      Corruption{"FillerWithoutKernel", false, 0x0400, false},
                      Corruption{"BeyondApplicationEnd", true, 0xB100, true}),
    sim_test::ByName());

TEST(FirmwareTest, EndAddressBeyondTheFlashIsNotSound) {
  for (std::uint32_t block : {0x8008u, 0x1008u}) {
    Bytes image = BuildImage(Desc(true, false, 0x2000, 4, 11));
    PutBE32(image, block, 0x40002);
    Firmware fw;
    fw.Load(image);
    EXPECT_FALSE(fw.ChecksumsGood()) << std::hex << block;
  }
}

TEST(FirmwareTest, WriteAndEraseStayInsideTheFlash) {
  Firmware fw;
  const std::uint8_t bytes[4] = {1, 2, 3, 4};
  fw.WriteFlash(Firmware::kFlashSize - 2, bytes, 4);
  EXPECT_EQ(fw.flash()[Firmware::kFlashSize - 2], 1);
  EXPECT_EQ(fw.flash()[Firmware::kFlashSize - 1], 2);
  fw.WriteFlash(Firmware::kFlashSize, bytes, 4);
  fw.Erase(Firmware::kFlashSize - 1, Firmware::kFlashSize + 100);
  EXPECT_EQ(fw.flash()[Firmware::kFlashSize - 2], 1);
  EXPECT_EQ(fw.flash()[Firmware::kFlashSize - 1], 0xFF);
  EXPECT_EQ(fw.flash().size(), Firmware::kFlashSize);
}

TEST(FirmwareTest, ReleaseNames) {
  const std::pair<unsigned, const char*> names[] = {
      {0, "Special"},      {1, "Development"}, {2, "Alpha Test"}, {3, "Beta Test"},
      {4, "Full Release"}, {5, "Unknown"},     {255, "Unknown"}};
  for (const auto& [value, name] : names) EXPECT_STREQ(Firmware::ReleaseName(value), name);
}

// --- S-Record files ------------------------------------------------------------------

std::string SLine(char type, std::uint32_t address, int addressBytes, const Bytes& data) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string line = "S";
  line += type;
  unsigned sum = 0;
  auto put = [&](std::uint8_t b) {
    sum += b;
    line += kDigits[b >> 4];
    line += kDigits[b & 15];
  };
  put(static_cast<std::uint8_t>(addressBytes + data.size() + 1));
  for (int i = addressBytes - 1; i >= 0; --i) put(static_cast<std::uint8_t>(address >> (8 * i)));
  for (std::uint8_t b : data) put(b);
  const auto check = static_cast<std::uint8_t>(~sum);
  line += kDigits[check >> 4];
  line += kDigits[check & 15];
  return line + "\n";
}

TEST(FirmwareSRecordTest, FileFromTheImageToolLoadsAsProgrammed) {
  sim_test::TempDir dir;
  for (bool kernel : {true, false}) {
    const tools::ImageDescription d = Desc(kernel, kernel, 0x2400, 3, 21);
    const std::string path = dir.File(kernel ? "k.a37" : "nk.a37");
    ASSERT_FALSE(tools::WriteImageFile(d, path, "test").has_value());
    Firmware fw;
    std::string error;
    ASSERT_TRUE(fw.LoadSRecordFile(path, &error)) << error;
    // The image tool's buffer is the loader's prepared image, which is what an erased
    // unit holds once the loader has programmed it.
    EXPECT_EQ(fw.flash(), BuildImage(d));
    EXPECT_TRUE(fw.ChecksumsGood());
  }
}

TEST(FirmwareSRecordTest, RecordsLandAtTheirAddresses) {
  sim_test::TempDir dir;
  const std::string text = SLine('0', 0, 2, {'h', 'd', 'r'}) + SLine('1', 0x9000, 2, {1, 2, 3}) +
                           "\r\n" + SLine('2', 0x3FFFE, 3, {0xAB, 0xCD}) + SLine('9', 0, 2, {});
  // Lower-case digits read the same.
  std::string lower = SLine('1', 0x0010, 2, {0xEF});
  for (char& c : lower)
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  const std::string path = dir.Write("ok.a37", text + lower);
  Firmware fw;
  std::string error;
  ASSERT_TRUE(fw.LoadSRecordFile(path, &error)) << error;
  EXPECT_EQ(fw.flash()[0x9000], 1);
  EXPECT_EQ(fw.flash()[0x9002], 3);
  EXPECT_EQ(fw.flash()[0x9003], 0xFF);
  EXPECT_EQ(fw.flash()[0x3FFFF], 0xCD);
  EXPECT_EQ(fw.flash()[0x0010], 0xEF);
  EXPECT_EQ(fw.flash()[0x1000], 0x00);  // page start, as the loader prepares it
  EXPECT_EQ(fw.flash()[0x8000], 0xFF);
}

struct BadFile {
  const char* name;
  std::string text;
  const char* says;
};

class FirmwareBadSRecordTest : public ::testing::TestWithParam<BadFile> {};

TEST_P(FirmwareBadSRecordTest, RefusedWithATextAndFlashKept) {
  sim_test::TempDir dir;
  const std::string good = SLine('1', 0x8000, 2, {0x11, 0x22});
  const std::string path = dir.Write("bad.a37", good + GetParam().text);
  Firmware fw;
  const Bytes before = BuildImage(Desc(true, false, 0x1000, 4, 31));
  fw.Load(before);
  std::string error;
  EXPECT_FALSE(fw.LoadSRecordFile(path, &error));
  EXPECT_NE(error.find(GetParam().says), std::string::npos) << error;
  EXPECT_EQ(fw.flash(), before);
}

std::string BadChecksum() {
  std::string line = SLine('1', 0x8010, 2, {1, 2});
  line[line.size() - 2] = line[line.size() - 2] == '0' ? '1' : '0';
  return line;
}

INSTANTIATE_TEST_SUITE_P(
    Files, FirmwareBadSRecordTest,
    ::testing::Values(BadFile{"Checksum", BadChecksum(), "line 2: checksum"},
                      BadFile{"NotS", "X1030000FC\n", "line 2: not an S-Record"},
                      BadFile{"NonHex", "S1050000GG11E9\n", "line 2: not a hexadecimal"},
                      BadFile{"CountTooLong", "S1090000AABB99\n", "line 2: byte count"},
                      BadFile{"S3", SLine('3', 0x9000, 4, {1}), "line 2: record type"},
                      BadFile{"BeyondFlash", SLine('2', 0x3FFFF, 3, {1, 2}), "line 2: data beyond"},
                      BadFile{"Truncated", "S1\n", "line 2: not an S-Record"}),
    sim_test::ByName());

TEST(FirmwareSRecordTest, MissingOrEmptyFile) {
  sim_test::TempDir dir;
  Firmware fw;
  std::string error;
  EXPECT_FALSE(fw.LoadSRecordFile(dir.File("absent.a37"), &error));
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
  EXPECT_FALSE(fw.LoadSRecordFile(dir.Write("empty.a37", ""), &error));
  EXPECT_NE(error.find("no data"), std::string::npos) << error;
}

}  // namespace
