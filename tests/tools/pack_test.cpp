// Packing an image behind a program file and describing files: the result reads back
// through the loader's own appended-image code and passes its check; packing again
// replaces the image; refusals leave the output as it was.
#include <gtest/gtest.h>

#include <memory>

#include "tests/tools/tool_test_support.h"
#include "tools/image_builder.h"

namespace {

using namespace tools_test;
using tools::ImageDescription;
using tools::PackStatus;

// Stands in for an executable: any bytes that do not end with a trailer.
std::vector<std::uint8_t> ProgramBytes() {
  std::vector<std::uint8_t> bytes = {'M', 'Z'};
  for (int i = 0; i < 5000; ++i) bytes.push_back(static_cast<std::uint8_t>(i * 7 + 3));
  return bytes;
}

ImageDescription Form(bool kernel, bool copy) {
  ImageDescription d;
  d.releaseType = 3;
  d.appVersion[0] = 2;
  d.appVersion[1] = 3;
  d.appVersion[2] = 4;
  d.kernelVersion[0] = 5;
  d.kernelVersion[1] = 6;
  d.kernelVersion[2] = 7;
  d.kernelVersion[3] = 8;
  d.compileDate = "Jan  2 2024";
  d.compileTime = "01:02:03";
  d.appSize = 0x6000;
  d.kernelSize = 0x3000;
  d.includeKernel = kernel;
  d.includeKernelCopy = copy;
  return d;
}

// A scratch folder holding prog.exe and image.a37 made from the description.
struct PackFixture {
  TempDir dir;
  std::string program = dir.File("prog.exe");
  std::string srec = dir.File("image.a37");
  std::string out = dir.File("out.exe");
  std::vector<std::uint8_t> programBytes = ProgramBytes();
  std::unique_ptr<loader::FirmwareImage> built = std::make_unique<loader::FirmwareImage>();

  explicit PackFixture(const ImageDescription& d) {
    WriteBytes(program, programBytes);
    EXPECT_EQ(tools::BuildImage(d, *built), std::nullopt);
    EXPECT_EQ(tools::WriteSRecord(*built, tools::DefinedRanges(d), srec, "image"), std::nullopt);
  }
  tools::PackResult Pack(const std::string& from, const std::string& to, std::string* notes) {
    NotesFile file(dir.File("notes.txt"));
    tools::PackResult r = tools::PackProgram(from, srec, to, file.Get());
    if (notes) *notes = file.Text();
    return r;
  }
};

struct PackCase {
  const char* name;
  bool kernel;
  bool copy;
  const char* srecNotes;    // the check of the S-Record file
  const char* packedNotes;  // the check of the packed image
};

const PackCase kPackCases[] = {
    {"KernelNoCopy", true, false, "Kernel Present\nKernel Copy not found\n",
     "Kernel Present\nKernel Copy present\n"},
    {"KernelOwnCopy", true, true, "Kernel Present\nKernel Copy present\n",
     "Kernel Present\nKernel Copy present\n"},
    {"NoKernel", false, false, "Kernel Not Present\n", "Kernel Not Present\n"},
};

void PrintTo(const PackCase& c, std::ostream* os) {
  *os << c.name;
}

class PackForm : public ::testing::TestWithParam<PackCase> {};

TEST_P(PackForm, ReadsBackThroughTheLoaderAndPassesItsCheck) {
  const PackCase& c = GetParam();
  PackFixture f(Form(c.kernel, c.copy));
  std::string notes;
  const tools::PackResult r = f.Pack(f.program, f.out, &notes);
  ASSERT_EQ(r.status, PackStatus::Packed) << r.error;
  EXPECT_EQ(notes, c.srecNotes);

  const std::uint32_t appEnd = 0xE000;
  const std::uint32_t kEnd = c.kernel ? 0x3000 : 0;
  const std::uint32_t length = appEnd + kEnd;  // the own copy is carried once, never twice
  const std::vector<std::uint8_t> file = ReadBytes(f.out);
  ASSERT_EQ(file.size(), f.programBytes.size() + length + 12);
  EXPECT_TRUE(std::equal(f.programBytes.begin(), f.programBytes.end(), file.begin()));
  // Trailer, little-endian: magic 8C 4A 8D AA, L, V.
  const std::size_t t = file.size() - 12;
  EXPECT_EQ(file[t], 0x8C);
  EXPECT_EQ(file[t + 3], 0xAA);
  EXPECT_EQ(LE32(file, t), 0xAA8D4A8Cu);
  EXPECT_EQ(LE32(file, t + 4), length);
  EXPECT_EQ(LE32(file, t + 8), 0x8000u);

  auto back = std::make_unique<loader::FirmwareImage>();
  const loader::AppendedImageResult loaded = loader::LoadAppendedImage(f.out.c_str(), *back);
  ASSERT_EQ(loaded.status, loader::AppendedImageStatus::Loaded) << loaded.error;
  EXPECT_EQ(loaded.length, length);
  EXPECT_EQ(loaded.offset, 0x8000u);
  EXPECT_EQ(back->TrailerMagic, loader::kBlockMagic);
  EXPECT_EQ(back->ImageLength, length);
  const std::vector<std::uint8_t>& got = back->ImageBuffer;
  const std::vector<std::uint8_t>& want = f.built->ImageBuffer;
  // Kernel, gap (page-start zeros included) and application as the file defined them,
  // then the kernel again.
  EXPECT_TRUE(std::equal(want.begin(), want.begin() + appEnd, got.begin()));
  EXPECT_TRUE(std::equal(want.begin(), want.begin() + kEnd, got.begin() + appEnd));
  EXPECT_TRUE(
      std::all_of(got.begin() + length, got.end(), [](std::uint8_t b) { return b == 0xFF; }));

  NotesFile packedNotes(f.dir.File("packed-notes.txt"));
  const char* problem = back->CheckImage(packedNotes.Get());
  EXPECT_EQ(problem, nullptr) << problem;
  EXPECT_EQ(packedNotes.Text(), c.packedNotes);

  // Only the inputs, the output and the notes: no scratch files left behind.
  EXPECT_EQ(f.dir.Names(), std::vector<std::string>({"image.a37", "notes.txt", "out.exe",
                                                     "packed-notes.txt", "prog.exe"}));
}

INSTANTIATE_TEST_SUITE_P(Forms, PackForm, ::testing::ValuesIn(kPackCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(PackProgram, PackingAgainReplacesTheImage) {
  PackFixture f(Form(true, false));
  ASSERT_EQ(f.Pack(f.program, f.out, nullptr).status, PackStatus::Packed);

  // A second, smaller image into a packed program: the old image goes.
  ImageDescription small = Form(false, false);
  small.appSize = 0x100;
  small.releaseType = 1;
  ASSERT_EQ(tools::WriteImageFile(small, f.srec, "small"), std::nullopt);
  const std::string again = f.dir.File("again.exe");
  const tools::PackResult r = f.Pack(f.out, again, nullptr);
  ASSERT_EQ(r.status, PackStatus::Packed) << r.error;
  const std::vector<std::uint8_t> file = ReadBytes(again);
  EXPECT_EQ(file.size(), f.programBytes.size() + 0x8100 + 12);
  EXPECT_TRUE(std::equal(f.programBytes.begin(), f.programBytes.end(), file.begin()));

  // In place, program and output the same file.
  const tools::PackResult inPlace = f.Pack(again, again, nullptr);
  ASSERT_EQ(inPlace.status, PackStatus::Packed) << inPlace.error;
  EXPECT_EQ(fs::file_size(again), f.programBytes.size() + 0x8100 + 12);
  auto back = std::make_unique<loader::FirmwareImage>();
  ASSERT_EQ(loader::LoadAppendedImage(again.c_str(), *back).status,
            loader::AppendedImageStatus::Loaded);
  ASSERT_TRUE(back->Version().has_value());
  EXPECT_EQ(back->Version()->version[0], 1);
}

TEST(PackProgram, OutputKeepsTheProgramsPermissions) {
  PackFixture f(Form(true, false));
  const fs::perms perms = fs::perms::owner_read | fs::perms::owner_write | fs::perms::owner_exec |
                          fs::perms::group_read | fs::perms::group_exec;
  fs::permissions(f.program, perms);
  ASSERT_EQ(f.Pack(f.program, f.out, nullptr).status, PackStatus::Packed);
  EXPECT_EQ(fs::status(f.out).permissions(), fs::status(f.program).permissions());
}

struct RefusalCase {
  const char* name;
  ImageDescription desc;
  void (*spoil)(PackFixture&);  // after the files are written
  PackStatus status;
  const char* error;  // the start of the expected text, "<srec>" standing for its path
};

ImageDescription OddApplicationEnd() {
  ImageDescription d = Form(true, false);
  d.appSize = 0x6001;  // its last word takes the byte where the packed copy will start
  return d;
}

const RefusalCase kRefusals[] = {
    {"RecordChecksumWrong", Form(true, false),
     [](PackFixture& f) { ASSERT_TRUE(ChangeByteInFile(f.srec, 0x8100, false)); },
     PackStatus::ReaderError, "Checksum fail in <<srec>> ("},
    {"ApplicationByteChanged", Form(true, false),
     [](PackFixture& f) { ASSERT_TRUE(ChangeByteInFile(f.srec, 0x8100, true)); },
     PackStatus::CheckError, "Application Checksum error: Generated = "},
    {"KernelByteChanged", Form(true, true),
     [](PackFixture& f) { ASSERT_TRUE(ChangeByteInFile(f.srec, 0x0100, true)); },
     PackStatus::CheckError, "Checksum error: Generated = "},
    {"NoKernelByteChanged", Form(false, false),
     [](PackFixture& f) { ASSERT_TRUE(ChangeByteInFile(f.srec, 0x9000, true)); },
     PackStatus::CheckError, "Checksum error: Generated = "},
    {"PackedFormFailsItsCheck", OddApplicationEnd(), [](PackFixture&) {}, PackStatus::CheckError,
     "The packed image fails its check: Application Checksum error"},
    {"NoSRecordFile", Form(true, false), [](PackFixture& f) { fs::remove(f.srec); },
     PackStatus::ReaderError, "Could not open <<srec>> - "},
    {"NoProgram", Form(true, false), [](PackFixture& f) { fs::remove(f.program); },
     PackStatus::IoError, "Could not open <"},
    {"DamagedTrailerOnProgram", Form(true, false),
     [](PackFixture& f) {
       std::vector<std::uint8_t> bytes = f.programBytes;
       const std::uint8_t trailer[12] = {0x8C, 0x4A, 0x8D, 0xAA, 0x00, 0x00,
                                         0x10, 0x00, 0,    0x80, 0,    0};
       bytes.insert(bytes.end(), trailer, trailer + 12);
       WriteBytes(f.program, bytes);
     },
     PackStatus::IoError, "Image trailer of <"},
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
  *os << c.name;
}

class PackRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(PackRefusal, GivesTheTextAndLeavesTheOutputAsItWas) {
  const RefusalCase& c = GetParam();
  PackFixture f(c.desc);
  c.spoil(f);
  const std::vector<std::string> before = f.dir.Names();

  std::string expected = c.error;
  const std::size_t at = expected.find("<srec>");
  if (at != std::string::npos) expected.replace(at, 6, f.srec);

  // No output yet: none afterwards.
  tools::PackResult r = f.Pack(f.program, f.out, nullptr);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.error.compare(0, expected.size(), expected), 0) << r.error;
  EXPECT_FALSE(fs::exists(f.out));

  // An earlier output stays byte for byte.
  WriteText(f.out, "previous contents");
  r = f.Pack(f.program, f.out, nullptr);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(ReadText(f.out), "previous contents");
  std::vector<std::string> after = before;
  for (const char* name : {"notes.txt", "out.exe"}) {
    if (std::find(after.begin(), after.end(), name) == after.end()) after.push_back(name);
  }
  std::sort(after.begin(), after.end());
  EXPECT_EQ(f.dir.Names(), after);
}

INSTANTIATE_TEST_SUITE_P(Inputs, PackRefusal, ::testing::ValuesIn(kRefusals),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(Describe, SRecordFileShowsVersionsTextsAndLength) {
  PackFixture f(Form(true, false));
  const tools::InfoResult r = tools::Describe(f.srec);
  ASSERT_EQ(r.status, tools::InfoStatus::Described) << r.text;
  EXPECT_EQ(r.text, "File: " + f.srec +
                        "\n"
                        "Form: S-Record file\n"
                        "Release: Beta Test 2.3.4\n"
                        "Kernel: 5.6.7.8\n"
                        "Compile date: Jan  2 2024\n"
                        "Compile time: 01:02:03\n"
                        "Image length: 0xE000 (57344 bytes)\n");
}

TEST(Describe, ProgramFileShowsOffsetAndKernelCopy) {
  const struct {
    bool kernel;
    const char* kernelLine;
    const char* length;
    const char* copyLine;
  } cases[] = {
      {true, "Kernel: 5.6.7.8\n", "Image length: 0x11000 (69632 bytes)\n",
       "Kernel copy: present\n"},
      {false, "Kernel: none\n", "Image length: 0xE000 (57344 bytes)\n",
       "Kernel copy: not present\n"},
  };
  for (const auto& c : cases) {
    PackFixture f(Form(c.kernel, false));
    ASSERT_EQ(f.Pack(f.program, f.out, nullptr).status, PackStatus::Packed);
    const tools::InfoResult r = tools::Describe(f.out);
    ASSERT_EQ(r.status, tools::InfoStatus::Described) << r.text;
    EXPECT_EQ(r.text, "File: " + f.out + "\nForm: program file\nRelease: Beta Test 2.3.4\n" +
                          c.kernelLine + "Compile date: Jan  2 2024\nCompile time: 01:02:03\n" +
                          c.length + "Application block offset: 0x8000\n" + c.copyLine);
  }
}

TEST(Describe, FilesWithoutImage) {
  TempDir dir;
  const std::string program = dir.File("plain.exe");
  WriteBytes(program, ProgramBytes());
  EXPECT_EQ(tools::Describe(program).status, tools::InfoStatus::NoImage);
  EXPECT_EQ(tools::Describe(program).text, "no image\n");

  const std::string missing = dir.File("missing.a37");
  EXPECT_EQ(tools::Describe(missing).status, tools::InfoStatus::IoError);

  const std::string broken = dir.File("broken.a37");
  WriteText(broken, "S00600004844521B\nnot a record\n");
  const tools::InfoResult r = tools::Describe(broken);
  EXPECT_EQ(r.status, tools::InfoStatus::Unreadable);
  EXPECT_EQ(r.text.rfind("Invalid line in <" + broken + ">:\n", 0), 0u) << r.text;
}

}  // namespace
