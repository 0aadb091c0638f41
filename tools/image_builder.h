// Building firmware images for tests and tooling: deterministic images laid out as the
// unit expects, written as S-Record files and packed behind a program file. Reading and
// checking always goes through the loader's own image code.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "loader/image.h"

namespace tools {

// What to build. Defaults give a kernel and an application, no kernel copy.
struct ImageDescription {
  unsigned releaseType = 4;                      // 0..255; 4 is "Full Release"
  std::uint8_t appVersion[3] = {1, 0, 0};        // major, minor, build
  std::uint8_t kernelVersion[4] = {1, 0, 0, 0};  // the kernel's four version parts
  std::string compileDate = "Oct 10 2008";       // at most 16 characters
  std::string compileTime = "15:16:35";          // at most 16 characters
  // Application end address = 0x8000 + appSize. With a kernel, an odd end makes the
  // application's last word take the byte after it, which the packed kernel copy
  // changes: such an image checks as a file only with its own kernel copy.
  std::uint32_t appSize = 0x6000;
  std::uint32_t kernelSize = 0x3000;  // kernel end address; above 0x1030, at most 0x8000
  bool includeKernel = true;
  bool includeKernelCopy = false;  // a byte copy of the kernel at the application's end
  std::uint64_t seed = 1;          // the code bytes are pseudo-random from this seed
};

// A run of card addresses [begin, end).
struct ByteRange {
  std::uint32_t begin = 0;
  std::uint32_t end = 0;
};

// None when the description can be built, else what is wrong with it.
std::optional<std::string> ValidateDescription(const ImageDescription& desc);

// Builds the image into `image` exactly as the window's load of its S-Record file
// would leave it (cleared buffer, regions, checksum blocks with their checksums,
// ImageLength, ApplicationBlock and KernelBlock). None on success, else the
// description's problem and `image` is left untouched.
std::optional<std::string> BuildImage(const ImageDescription& desc, loader::FirmwareImage& image);

// The address ranges an S-Record file of the description carries: kernel,
// application, kernel copy (those present). Empty for an invalid description.
std::vector<ByteRange> DefinedRanges(const ImageDescription& desc);

// Writes the ranges of the image as an S-Record file: an S0 header record holding
// `header` (at most 64 characters), S2 data records of up to 32 bytes, an S8 end
// record. Goes through a temporary file beside `path`, so a failed write leaves no
// partial file. None on success, else the error text.
std::optional<std::string> WriteSRecord(const loader::FirmwareImage& image,
                                        const std::vector<ByteRange>& ranges,
                                        const std::string& path, const std::string& header);

// BuildImage followed by WriteSRecord of its DefinedRanges.
std::optional<std::string> WriteImageFile(const ImageDescription& desc, const std::string& path,
                                          const std::string& header);

enum class PackStatus {
  Packed,
  ReaderError,  // the S-Record reader refused the file (its text)
  CheckError,   // the image, as read or as packed, fails the integrity checks
  IoError,      // a file could not be read or written, or the program is unusable
};
struct PackResult {
  PackStatus status = PackStatus::Packed;
  std::string error;
};

// Reads the S-Record file as the window's load does and checks it (notes to `notes`),
// then writes `outPath` = the program's own bytes (any image it already carries
// removed) + kernel, gap, application and kernel copy + the 12-byte trailer. The
// result is read back and checked before it replaces `outPath`; on any failure
// `outPath` is left as it was.
PackResult PackProgram(const std::string& programPath, const std::string& srecPath,
                       const std::string& outPath, std::FILE* notes = stdout);

enum class InfoStatus {
  Described,   // text: "Key: value" lines
  NoImage,     // text: "no image\n"
  Unreadable,  // the reader's text, or what is wrong with the image or trailer
  IoError,     // the file could not be opened
};
struct InfoResult {
  InfoStatus status = InfoStatus::NoImage;
  std::string text;
};

// Describes a program file that carries an image, or an S-Record file.
InfoResult Describe(const std::string& path);

// A number as the command line gives it: decimal, or hexadecimal after "0x"; nothing
// else (no sign, no spaces), and no more than 64 bits.
std::optional<std::uint64_t> ParseNumber(const std::string& text);

// A release type from its number (0..255), its name ("Beta Test") or a short form
// ("special", "development"/"dev", "alpha", "beta", "full"/"release"), any case.
std::optional<unsigned> ParseReleaseType(const std::string& text);

}  // namespace tools
