// The loader's firmware image: a flat copy of the unit's 256 KiB program memory,
// the S-Record reader that fills it, the image appended to a program file, and the
// integrity checks run before an image is sent to the unit.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "interface/block_layout.h"
#include "platform/format.h"

namespace loader {

// Marks checksum blocks and the trailer; the shared block's magic is the same word.
using tarvex::block_layout::kBlockMagic;
inline constexpr std::uint32_t kImageSize = 0x40000;
inline constexpr std::uint32_t kKernelBlockAddress = 0x1000;
inline constexpr std::uint32_t kApplicationBlockAddress = 0x8000;
inline constexpr std::uint32_t kTrailerSize = 12;

// ChecksumBlock: 48 bytes, numbers big-endian.
namespace checksum_block {
inline constexpr std::uint32_t kSize = 48;
inline constexpr std::uint32_t kMagic = 0;
inline constexpr std::uint32_t kChecksum = 4;
inline constexpr std::uint32_t kEndAddress = 8;
inline constexpr std::uint32_t kVersion =
    12;  // release type (or kernel part 1), major, minor, build
inline constexpr std::uint32_t kCompileDate = 16;
inline constexpr std::uint32_t kCompileTime = 32;
inline constexpr std::uint32_t kTextSize = 16;
}  // namespace checksum_block

// printf into a string sized to fit (paths of any length).
std::string FormatTextV(const char* format, std::va_list args);
TARVEX_PRINTF(1, 2) std::string FormatText(const char* format, ...);

// "Special", "Development", "Alpha Test", "Beta Test", "Full Release", else "Unknown".
const char* ReleaseTypeName(int value);

// The reader's value of one hexadecimal character; other characters are not
// rejected and give whatever the rule yields.
int HexDigitValue(char c);

// What a checksum block says, texts cut at their first zero or at 16 characters.
struct VersionRecord {
  std::uint32_t magic = 0;
  std::uint32_t checksum = 0;
  std::uint32_t endAddress = 0;
  std::uint8_t version[4] = {};  // application: release type, major, minor, build
  std::string compileDate;
  std::string compileTime;
};
VersionRecord ReadVersionRecord(const std::uint8_t* block);

// Sum of the big-endian signed 16-bit words at s, s+2, ... while below e (an odd e
// takes the byte just past it). Requires e <= kImageSize.
std::uint32_t WordSum(const std::uint8_t* image, std::uint32_t s, std::uint32_t e);
// Checksum of a region with its checksum block at b, code from s (s <= b) to e: the
// block's version bytes count, its magic, stored checksum, end address and texts
// do not. Requires e <= kImageSize and b + 48 <= kImageSize.
std::uint32_t RegionChecksum(const std::uint8_t* image, std::uint32_t s, std::uint32_t b,
                             std::uint32_t e);
// Checksum of an image without a kernel: everything from 0 to the application's end,
// less the stored checksum's own two words. Requires appEnd <= kImageSize.
std::uint32_t NoKernelChecksum(const std::uint8_t* image, std::uint32_t appEnd);

class FirmwareImage {
 public:
  FirmwareImage();

  std::vector<std::uint8_t> ImageBuffer;  // always kImageSize bytes, 0xFF = empty
  std::uint32_t ImageLength = 0;
  std::optional<std::uint32_t> ApplicationBlock;  // address of the version record
  std::optional<std::uint32_t> KernelBlock;
  std::uint32_t TrailerMagic = 0;
  // The lowest address the latest S-Record read stored a byte at (kImageSize when it
  // stored none); with ImageLength it bounds what the read changed.
  std::uint32_t ReadFrom = kImageSize;

  // The version record the image carries, when an image is loaded.
  std::optional<VersionRecord> Version() const;

  // All 0xFF, then 0x00 at the first byte of each 4 KiB page below 0x8000.
  void ClearImage();

  // Reads an S-Record file into the buffer. Returns nullptr on success, else the
  // error text, valid until the next call. Bytes stored before an error stay.
  const char* ReadSRecordFile(const char* path);
  // The same over a file's content already in memory (as read in text mode);
  // `name` stands for the file in the texts.
  const char* ReadSRecord(const std::uint8_t* data, std::size_t size, const char* name);

  // Verifies checksum blocks, checksums, kernel copy and length. Writes its progress
  // notes to `notes` (the process's standard output by default; null: none). Returns nullptr
  // when sound, else the first problem, valid until the next call.
  const char* CheckImage(std::FILE* notes = stdout);

 private:
  std::string readerError_;
  std::string checkError_;
};

// The image carried at the end of a program file: L image bytes, then a 12-byte
// trailer of three little-endian words (magic, L, application block offset V).
enum class AppendedImageStatus {
  Loaded,      // image read into the buffer
  NoImage,     // the file ends without a trailer; ApplicationBlock stays empty
  CannotOpen,  // the file could not be opened
  Invalid,     // trailer present but its length or offset is impossible (error text)
};
struct AppendedImageResult {
  AppendedImageStatus status = AppendedImageStatus::NoImage;
  std::string error;         // for Invalid: a text for the user
  std::uint32_t length = 0;  // L
  std::uint32_t offset = 0;  // V
};

// Fills the buffer with 0xFF, then loads the appended image: ImageLength = L,
// ApplicationBlock = V, KernelBlock = 0x1000, TrailerMagic = the trailer's first word.
AppendedImageResult LoadAppendedImage(const char* path, FirmwareImage& image);
// The same over a file's content in memory: all of it, or at least its last
// kImageSize + kTrailerSize bytes (an image cannot start before them). Nothing here
// can fail to read, so Invalid always carries a length or offset text.
AppendedImageResult LoadAppendedImage(const std::uint8_t* data, std::size_t size,
                                      FirmwareImage& image);

// Loading an S-Record file as the window does: a cleared image, the reader, then the
// integrity checks with their notes to `notes`.
enum class SRecordLoadStatus {
  Loaded,       // read and sound
  ReaderError,  // the reader refused the file
  CheckError,   // read, but the checks refused the image
};
struct SRecordLoadResult {
  SRecordLoadStatus status = SRecordLoadStatus::Loaded;
  const char* error = nullptr;  // the reader's or the checks' text, valid until the next load
};
SRecordLoadResult LoadSRecordFile(const char* path, FirmwareImage& image,
                                  std::FILE* notes = stdout);

}  // namespace loader
