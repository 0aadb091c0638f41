// The S-Record reader: records stored by address, every error text with its file and
// line, lines that are too short for their byte count, and the small lookup tables.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "loader/image.h"
#include "tests/loader/image_test_support.h"

namespace {

using image_test::Bytes;
using image_test::Printf;
using image_test::SRecord;
using image_test::TempFile;
using loader::FirmwareImage;

TEST(HexDigitValue, FollowsTheSignedCharacterRuleForEveryCharacter) {
  for (int c = CHAR_MIN; c <= CHAR_MAX; ++c) {
    const int code = static_cast<signed char>(c);
    const int lowNibble = ((code % 16) + 16) % 16;  // of the two's complement byte
    const int expected = (code >= '0' && code <= '9') ? code - '0' : lowNibble + 9;
    EXPECT_EQ(loader::HexDigitValue(static_cast<char>(c)), expected) << "character " << code;
  }
}

TEST(HexDigitValue, HandWorkedValues) {
  const struct {
    char c;
    int value;
  } cases[] = {{'0', 0},  {'7', 7},   {'9', 9},    {'A', 10},    {'F', 15},   {'a', 10},
               {'f', 15}, {'G', 16},  {'g', 16},   {'Z', 19},    {':', 19},   {' ', 9},
               {'\0', 9}, {'\n', 19}, {'\x80', 9}, {'\xFF', 24}, {'\xB5', 14}};
  for (const auto& test : cases) {
    EXPECT_EQ(loader::HexDigitValue(test.c), test.value) << "character " << int{test.c};
  }
}

TEST(ReleaseTypeName, NamesTheFiveTypesAndCallsEverythingElseUnknown) {
  const struct {
    int value;
    const char* name;
  } cases[] = {{0, "Special"},      {1, "Development"},   {2, "Alpha Test"},   {3, "Beta Test"},
               {4, "Full Release"}, {5, "Unknown"},       {255, "Unknown"},    {-1, "Unknown"},
               {256, "Unknown"},    {INT_MIN, "Unknown"}, {INT_MAX, "Unknown"}};
  for (const auto& test : cases) EXPECT_STREQ(loader::ReleaseTypeName(test.value), test.name);
}

TEST(ClearImage, FillsWithFFAndZeroesTheFirstByteOfEachPageBelowTheApplication) {
  FirmwareImage image;
  std::fill(image.ImageBuffer.begin(), image.ImageBuffer.end(), 0x5A);
  image.ClearImage();
  ASSERT_EQ(image.ImageBuffer.size(), loader::kImageSize);
  for (std::uint32_t a = 0; a < loader::kImageSize; ++a) {
    const bool pageStart = a < 0x8000 && a % 0x1000 == 0;
    ASSERT_EQ(image.ImageBuffer[a], pageStart ? 0x00 : 0xFF) << "address " << a;
  }
}

class SRecordReader : public ::testing::Test {
 protected:
  SRecordReader() { image.ClearImage(); }

  // Reads `content` as a file; nullptr or the reader's text.
  const char* Read(const std::string& content) {
    file.Write(content);
    return image.ReadSRecordFile(file.path());
  }
  std::string Expected(const char* what, const std::string& line, long value = -1) const {
    std::string text = std::string(what) + " in <" + file.path() + ">";
    if (value >= 0) text += Printf(" (%lx)", value);
    return text + ":\n" + line + "\n";
  }
  std::uint8_t At(std::uint32_t a) const { return image.ImageBuffer[a]; }

  FirmwareImage image;
  TempFile file;
};

TEST_F(SRecordReader, StoresASixteenByteS1RecordAndSetsTheLength) {
  ASSERT_EQ(Read("S1130000000102030405060708090A0B0C0D0E0F74\n"), nullptr);
  for (std::uint32_t a = 0; a < 16; ++a) EXPECT_EQ(At(a), a);
  EXPECT_EQ(At(0x10), 0xFF);
  EXPECT_EQ(image.ImageLength, 0x10u);
}

TEST_F(SRecordReader, SkipsHeaderAndEndRecordsAndReadsOnToTheEndOfTheFile) {
  const std::string content = SRecord('0', 0, {'H', 'D', 'R'}) +
                              SRecord('1', 0x0100, {0x11, 0x22}) + SRecord('9', 0) +
                              SRecord('8', 0) + SRecord('2', 0x012345, {0x33});
  ASSERT_EQ(Read(content), nullptr);
  EXPECT_EQ(At(0x0100), 0x11);
  EXPECT_EQ(At(0x0101), 0x22);
  EXPECT_EQ(At(0x012345), 0x33);
  EXPECT_EQ(At(0x0000), 0x00);  // the header's address 0 stores nothing
  EXPECT_EQ(image.ImageLength, 0x012346u);
}

TEST_F(SRecordReader, LengthIsTheHighestAddressWrittenPlusOneInAnyOrder) {
  const std::string content = SRecord('2', 0x020000, {1, 2, 3}) + SRecord('1', 0x0010, {4}) +
                              SRecord('2', 0x01FFFF, {5}) + SRecord('1', 0x1000, {6});
  ASSERT_EQ(Read(content), nullptr);
  EXPECT_EQ(image.ImageLength, 0x020003u);
  EXPECT_EQ(At(0x01FFFF), 5);
  EXPECT_EQ(At(0x020002), 3);
  EXPECT_EQ(At(0x0010), 4);
  EXPECT_EQ(At(0x1000), 6);
  EXPECT_EQ(At(0x2000), 0x00);  // untouched bytes keep what ClearImage left
  EXPECT_EQ(At(0x020003), 0xFF);
}

TEST_F(SRecordReader, LowerCaseDigitsReadLikeUpperCase) {
  const std::string upper = SRecord('2', 0x03ABCD, {0xAB, 0xCD, 0xEF, 0xFA});
  std::string lower = upper;
  for (char& c : lower) c = c == 'S' ? c : static_cast<char>(std::tolower(c));
  ASSERT_NE(lower, upper);
  ASSERT_EQ(Read(lower), nullptr);
  EXPECT_EQ(At(0x03ABCD), 0xAB);
  EXPECT_EQ(At(0x03ABD0), 0xFA);
  EXPECT_EQ(image.ImageLength, 0x03ABD1u);
}

TEST_F(SRecordReader, OtherCharactersTakeTheRulesValue) {
  // "GG" is 16 * 16 + 16 = 272; the checksum counts 272, the buffer keeps its low byte.
  // 04 + 00 + 00 + 272 + EB = 0x1FF.
  ASSERT_EQ(Read("S1040000GGEB\n"), nullptr);
  EXPECT_EQ(At(0), 0x10);
  EXPECT_EQ(image.ImageLength, 1u);
}

TEST_F(SRecordReader, ReadsALastLineWithoutLineFeedAndWindowsLineEnds) {
  ASSERT_EQ(Read("S1040000AA51\r\nS1040001BB3F"), nullptr);
  EXPECT_EQ(At(0), 0xAA);
  EXPECT_EQ(At(1), 0xBB);
  EXPECT_EQ(image.ImageLength, 2u);
}

TEST_F(SRecordReader, EmptyFileReadsNothing) {
  image.ImageLength = 1234;
  ASSERT_EQ(Read(""), nullptr);
  EXPECT_EQ(image.ImageLength, 0u);
}

TEST_F(SRecordReader, RecordWithoutDataAboveTheImageStoresNothing) {
  ASSERT_EQ(Read(SRecord('2', 0x050000)), nullptr);
  EXPECT_EQ(image.ImageLength, 0u);
}

TEST_F(SRecordReader, EachReadStartsItsLengthAfresh) {
  ASSERT_EQ(Read(SRecord('2', 0x030000, {1})), nullptr);
  ASSERT_EQ(Read(SRecord('1', 0x0020, {1})), nullptr);
  EXPECT_EQ(image.ImageLength, 0x21u);
}

TEST_F(SRecordReader, S2RecordCrossingTheImageEndStoresItsFirstByteThenFails) {
  const std::string line = SRecord('2', 0x03FFFF, {0x12, 0x34});
  EXPECT_EQ(Read(line), Expected("Illegal address", line, 0x40000));
  EXPECT_EQ(At(0x03FFFF), 0x12);
  EXPECT_EQ(image.ImageLength, 0x40000u);
}

TEST_F(SRecordReader, BytesStoredBeforeAnErrorStay) {
  const std::string bad = "S1040001BB40\n";
  EXPECT_EQ(Read(SRecord('1', 0x0000, {0xAA}) + bad + SRecord('1', 0x0002, {0xCC})),
            Expected("Checksum fail", bad, 0x100));
  EXPECT_EQ(At(0), 0xAA);
  EXPECT_EQ(At(1), 0xFF);
  EXPECT_EQ(At(2), 0xFF);  // nothing after the bad line is read
  EXPECT_EQ(image.ImageLength, 1u);
}

TEST_F(SRecordReader, MissingFileNamesTheFileAndTheSystemsReason) {
  const std::string missing = std::string(file.path()) + ".missing";
  image.ImageLength = 99;
  const char* error = image.ReadSRecordFile(missing.c_str());
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error),
            "Could not open <" + missing + "> - " + std::strerror(ENOENT) + "\n");
  EXPECT_EQ(image.ImageLength, 0u);
}

struct BadLine {
  const char* name;
  std::string content;
  const char* what;
  std::string shown;  // the line as the text shows it
  long value = -1;    // the number in brackets, if the text has one
};

class SRecordReaderErrors : public SRecordReader, public ::testing::WithParamInterface<BadLine> {};

TEST_P(SRecordReaderErrors, ReportTheFirstBadLineExactly) {
  const BadLine& test = GetParam();
  const char* error = Read(test.content);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error), Expected(test.what, test.shown, test.value));
}

const std::string kGood = SRecord('1', 0x0000, {0xAA});
const std::string kPadded254 = "S1040000AA51" + std::string(254 - 12, '0');

INSTANTIATE_TEST_SUITE_P(
    Lines, SRecordReaderErrors,
    ::testing::Values(
        BadLine{"NotAnS", kGood + "X1040000AA51\n", "Invalid line", "X1040000AA51\n"},
        BadLine{"LeadingSpace", " S1040000AA51\n", "Invalid line", " S1040000AA51\n"},
        BadLine{"BlankLine", kGood + "\n" + kGood, "Invalid line", "\n"},
        BadLine{"ChecksumWrong", "S1030000FD\n", "Checksum fail", "S1030000FD\n", 0x100},
        BadLine{"ChecksumOffByOne", "S1040000AA50\n", "Checksum fail", "S1040000AA50\n", 0xFE},
        BadLine{"ChecksumSumInLowerCase", "S1040000FFAC\n", "Checksum fail", "S1040000FFAC\n",
                0x1AF},
        BadLine{"S3", SRecord('3', 0x1000, {1, 2}), "Unrecognised line",
                SRecord('3', 0x1000, {1, 2})},
        BadLine{"S5", SRecord('5', 3), "Unrecognised line", SRecord('5', 3)},
        BadLine{"S7", SRecord('7', 0x8000), "Unrecognised line", SRecord('7', 0x8000)},
        BadLine{"S6ShortNeedsNoAddress", "S601FE\n", "Unrecognised line", "S601FE\n"},
        BadLine{"IllegalAddress", SRecord('2', 0x040000, {1}), "Illegal address",
                SRecord('2', 0x040000, {1}), 0x40000},
        BadLine{"IllegalAddressFarAbove", SRecord('2', 0xFFFFFF, {1}), "Illegal address",
                SRecord('2', 0xFFFFFF, {1}), 0xFFFFFF},
        // Records that call for more characters than their line has.
        BadLine{"SAlone", "S", "Invalid line", "S"},
        BadLine{"NoByteCount", "S1\n", "Invalid line", "S1\n"},
        BadLine{"HalfAByteCount", "S1F\n", "Invalid line", "S1F\n"},
        BadLine{"CountFarPastTheLine", "S1FF0000\n", "Invalid line", "S1FF0000\n"},
        BadLine{"ChecksumDigitsMissing", "S1040000AA\n", "Invalid line", "S1040000AA\n"},
        BadLine{"OneChecksumDigitMissing", "S1040000AA5\n", "Invalid line", "S1040000AA5\n"},
        BadLine{"S1AddressPastTheLine", "S101FE\n", "Invalid line", "S101FE\n"},
        BadLine{"S2AddressPastTheLine", "S201FE\n", "Invalid line", "S201FE\n"},
        BadLine{"S2AddressOneDigitShort", "S202FE00F\n", "Invalid line", "S202FE00F\n"},
        BadLine{"EmbeddedZeroEndsTheLine", std::string("S1040000\0AA51\n", 14), "Invalid line",
                "S1040000"},
        // A line longer than 255 characters is read in pieces, each taken as a line.
        BadLine{"LongLineRest", "S1040000AA51" + std::string(300, '0') + "\n", "Invalid line",
                std::string(300 + 12 - 255, '0') + "\n"},
        BadLine{"LineFeedAfter255Characters", kPadded254 + "0\n", "Invalid line", "\n"}),
    [](const ::testing::TestParamInfo<BadLine>& param) { return std::string(param.param.name); });

TEST_F(SRecordReader, ShortRecordsNeedNoMoreThanTheirOwnCharacters) {
  // Byte count 1: the count and the checksum only. An end record needs no address.
  EXPECT_EQ(Read("S901FE\n"), nullptr);
  // 254 characters and the line feed still make one line; extra characters after the
  // checksum are not looked at.
  EXPECT_EQ(Read(kPadded254 + "\n"), nullptr);
  EXPECT_EQ(At(0), 0xAA);
}

TEST_F(SRecordReader, CarriageReturnDoesNotCountAsACharacterOfTheRecord) {
  // Text mode keeps the carriage return on Linux and drops it on Windows.
  const char* error = Read("S1040000AA5\r\n");
  ASSERT_NE(error, nullptr);
  const std::string text = error;
  const std::string start = std::string("Invalid line in <") + file.path() + ">:\nS1040000AA5";
  EXPECT_TRUE(text == start + "\r\n\n" || text == start + "\n\n") << text;
}

TEST_F(SRecordReader, ALongLinesFirstPieceIsStoredBeforeTheRestFails) {
  EXPECT_NE(Read("S1040000AA51" + std::string(300, '0') + "\n"), nullptr);
  EXPECT_EQ(At(0), 0xAA);
  EXPECT_EQ(image.ImageLength, 1u);
}

// The reader over bytes in memory is the file reader's whole work: for the same bytes
// the same text (naming what it was given), the same image, the same extent.
TEST(SRecordInMemory, ReadsAsTheFileDoes) {
  const std::string longLine = "S1040000AA51" + std::string(300, '0') + "\n";
  const std::string contents[] = {
      SRecord('1', 0x0100, {0x11, 0x22}) + SRecord('1', 0x0050, {0x33}) + SRecord('9', 0),
      SRecord('2', 0x012345, {1, 2, 3}) + "S1040000AA5",  // no line feed at the end
      "S1050010AABB85\nS10400200\n",  // a record, then a line too short for its count
      longLine,                                             // cut in 255-character pieces
      std::string("S1040000AA51\n") + '\0' + "S1040001BB3F\n",  // a zero ends a line's text
      "",
      "X\n",
  };
  for (const std::string& content : contents) {
    SCOPED_TRACE(content);
    TempFile file(content);
    FirmwareImage fromFile, fromMemory;
    fromFile.ClearImage();
    fromMemory.ClearImage();
    const char* fileError = fromFile.ReadSRecordFile(file.path());
    const std::string fileText = fileError != nullptr ? fileError : "(none)";
    const char* memoryError = fromMemory.ReadSRecord(
        reinterpret_cast<const std::uint8_t*>(content.data()), content.size(), file.path());
    EXPECT_EQ(memoryError != nullptr ? memoryError : "(none)", fileText);
    EXPECT_EQ(fromMemory.ImageBuffer, fromFile.ImageBuffer);
    EXPECT_EQ(fromMemory.ImageLength, fromFile.ImageLength);
    EXPECT_EQ(fromMemory.ReadFrom, fromFile.ReadFrom);
  }
}

TEST(SRecordInMemory, ReadFromIsTheLowestAddressStored) {
  const struct {
    std::string content;
    std::uint32_t readFrom;
  } cases[] = {
      {SRecord('1', 0x0100, {1}) + SRecord('1', 0x0050, {2, 3}) + SRecord('1', 0x0200, {4}), 0x50},
      {SRecord('2', 0x03FFFF, {9}), 0x03FFFF},
      {SRecord('0', 0, {'H'}) + SRecord('9', 0), loader::kImageSize},  // nothing stored
      {"", loader::kImageSize},
  };
  FirmwareImage image;
  for (const auto& test : cases) {
    SCOPED_TRACE(test.content);
    ASSERT_EQ(image.ReadSRecord(reinterpret_cast<const std::uint8_t*>(test.content.data()),
                                test.content.size(), "x"),
              nullptr);
    EXPECT_EQ(image.ReadFrom, test.readFrom);
  }
}

}  // namespace
