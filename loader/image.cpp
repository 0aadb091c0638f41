// The firmware image: S-Record reader, the image appended to a program file, and
// the integrity checks that run before an image goes to the unit.
#include "loader/image.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fstream>
#include <memory>

#include "platform/bytes.h"

namespace loader {

namespace {

// The reader's digit values for every character, so decoding a record is one table
// look-up per digit. The low four bits of a char are the same signed or unsigned, so
// indexing by the unsigned byte gives exactly the signed-character rule.
constexpr std::array<std::uint8_t, 256> kHexValue = [] {
  std::array<std::uint8_t, 256> table{};
  for (int c = 0; c < 256; ++c) {
    table[c] = static_cast<std::uint8_t>(c >= '0' && c <= '9' ? (c & 0x0F) : (c & 0x0F) + 9);
  }
  return table;
}();

// Two digits; with characters other than hex digits the value can exceed 0xFF.
inline unsigned HexByte(const char* p) {
  return 16u * kHexValue[static_cast<unsigned char>(p[0])] +
         kHexValue[static_cast<unsigned char>(p[1])];
}

// Formats into `out`, sized to fit whatever path or line the text carries.
[[gnu::format(printf, 2, 3)]] const char* Format(std::string& out, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  out = FormatTextV(format, args);
  va_end(args);
  return out.c_str();
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// Characters of a line up to its line feed (and a carriage return just before it),
// or up to an embedded zero.
std::size_t ContentLength(const char* line) {
  std::size_t length = std::strlen(line);
  if (length > 0 && line[length - 1] == '\n') {
    --length;
    if (length > 0 && line[length - 1] == '\r') --length;
  }
  return length;
}

inline std::int32_t ChecksumWord(const std::uint8_t* image, std::uint32_t a) {
  return static_cast<std::int16_t>(platform::ReadBE16(image + a));
}

}  // namespace

std::string FormatTextV(const char* format, std::va_list args) {
  std::va_list again;
  va_copy(again, args);
  const int size = std::vsnprintf(nullptr, 0, format, args);
  std::string out(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
  if (size > 0) std::vsnprintf(out.data(), out.size() + 1, format, again);
  va_end(again);
  return out;
}

std::string FormatText(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::string out = FormatTextV(format, args);
  va_end(args);
  return out;
}

const char* ReleaseTypeName(int value) {
  static constexpr const char* kNames[] = {"Special", "Development", "Alpha Test", "Beta Test",
                                           "Full Release"};
  return value >= 0 && value < 5 ? kNames[value] : "Unknown";
}

int HexDigitValue(char c) {
  return kHexValue[static_cast<unsigned char>(c)];
}

VersionRecord ReadVersionRecord(const std::uint8_t* block) {
  namespace cb = checksum_block;
  auto text = [block](std::uint32_t offset) {
    const std::uint8_t* start = block + offset;
    return std::string(start, std::find(start, start + cb::kTextSize, 0));
  };
  VersionRecord record;
  record.magic = platform::ReadBE32(block + cb::kMagic);
  record.checksum = platform::ReadBE32(block + cb::kChecksum);
  record.endAddress = platform::ReadBE32(block + cb::kEndAddress);
  std::copy_n(block + cb::kVersion, 4, record.version);
  record.compileDate = text(cb::kCompileDate);
  record.compileTime = text(cb::kCompileTime);
  return record;
}

std::uint32_t WordSum(const std::uint8_t* image, std::uint32_t s, std::uint32_t e) {
  // Each word needs its second byte inside the image, whatever s and e say.
  const std::uint32_t end = std::min(e, kImageSize - 1);
  std::uint32_t sum = 0;
  for (std::uint32_t a = s; a < end; a += 2)
    sum += static_cast<std::uint32_t>(ChecksumWord(image, a));
  return sum;
}

std::uint32_t RegionChecksum(const std::uint8_t* image, std::uint32_t s, std::uint32_t b,
                             std::uint32_t e) {
  const std::uint32_t version = b + checksum_block::kVersion;
  return WordSum(image, s, b) + static_cast<std::uint32_t>(ChecksumWord(image, version)) +
         static_cast<std::uint32_t>(ChecksumWord(image, version + 2)) +
         WordSum(image, b + checksum_block::kSize, e);
}

std::uint32_t NoKernelChecksum(const std::uint8_t* image, std::uint32_t appEnd) {
  const std::uint32_t stored = kApplicationBlockAddress + checksum_block::kChecksum;
  return WordSum(image, 0, appEnd) - static_cast<std::uint32_t>(ChecksumWord(image, stored)) -
         static_cast<std::uint32_t>(ChecksumWord(image, stored + 2));
}

FirmwareImage::FirmwareImage() : ImageBuffer(kImageSize, 0xFF) {}

std::optional<VersionRecord> FirmwareImage::Version() const {
  if (!ApplicationBlock || *ApplicationBlock > kImageSize - checksum_block::kSize) {
    return std::nullopt;
  }
  return ReadVersionRecord(ImageBuffer.data() + *ApplicationBlock);
}

void FirmwareImage::ClearImage() {
  // One memset rather than a byte loop: an unoptimised or instrumented build (the
  // fuzz targets') would otherwise pay per byte.
  std::memset(ImageBuffer.data(), 0xFF, ImageBuffer.size());
  for (std::uint32_t page = 0; page < kApplicationBlockAddress; page += 0x1000)
    ImageBuffer[page] = 0;
}

const char* FirmwareImage::ReadSRecordFile(const char* path) {
  ImageLength = 0;
  ReadFrom = kImageSize;
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "r"));
  if (!file) return Format(readerError_, "Could not open <%s> - %s\n", path, std::strerror(errno));
  // Text mode, as the lines were always read: the same line ends on every platform.
  std::vector<std::uint8_t> content;
  std::uint8_t chunk[16384];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0;)
    content.insert(content.end(), chunk, chunk + got);
  return ReadSRecord(content.data(), content.size(), path);
}

const char* FirmwareImage::ReadSRecord(const std::uint8_t* data, std::size_t size,
                                       const char* name) {
  ImageLength = 0;
  ReadFrom = kImageSize;
  std::uint8_t* const image = ImageBuffer.data();
  char line[256];
  std::size_t next = 0;
  while (next < size) {
    // One line as a 256-byte line buffer takes it: up to and with its line feed, a
    // longer one in pieces of 255 characters.
    std::size_t taken = std::min(sizeof line - 1, size - next);
    if (const void* end = std::memchr(data + next, '\n', taken))
      taken = static_cast<std::size_t>(static_cast<const std::uint8_t*>(end) - (data + next)) + 1;
    std::memcpy(line, data + next, taken);
    line[taken] = '\0';
    next += taken;

    // Everything the record's byte count and address field call for must lie within
    // the line's characters: the count itself, the address, up to the checksum at 2n+2.
    const std::size_t length = ContentLength(line);
    const char type = line[1];
    const std::size_t addressDigits = type == '1' ? 4 : type == '2' ? 6 : 0;
    const unsigned count = length >= 4 ? HexByte(line + 2) : 0;
    if (line[0] != 'S' || length < std::max<std::size_t>(2 * count + 4, 4 + addressDigits)) {
      return Format(readerError_, "Invalid line in <%s>:\n%s\n", name, line);
    }

    std::uint32_t sum = 0;
    for (unsigned p = 2; p <= 2 * count + 2; p += 2) sum += HexByte(line + p);
    if ((sum & 0xFF) != 0xFF) {
      return Format(readerError_, "Checksum fail in <%s> (%x):\n%s\n", name, sum, line);
    }

    if (type == '0' || type == '8' || type == '9') continue;
    if (addressDigits == 0)
      return Format(readerError_, "Unrecognised line in <%s>:\n%s\n", name, line);

    std::uint32_t address = 0;
    for (std::size_t p = 4; p < 4 + addressDigits; ++p) {
      address = address * 16 + kHexValue[static_cast<unsigned char>(line[p])];
    }
    for (std::size_t p = 4 + addressDigits; p < 2 * count + 2; p += 2) {
      if (address >= kImageSize) {
        return Format(readerError_, "Illegal address in <%s> (%x):\n%s\n", name, address, line);
      }
      ReadFrom = std::min(ReadFrom, address);
      image[address++] = static_cast<std::uint8_t>(HexByte(line + p));
      ImageLength = std::max(ImageLength, address);
    }
  }
  return nullptr;
}

const char* FirmwareImage::CheckImage(std::FILE* notes) {
  const std::uint8_t* const image = ImageBuffer.data();
  constexpr std::uint32_t appBlock = kApplicationBlockAddress;
  constexpr std::uint32_t kernelBlock = kKernelBlockAddress;
  const auto be32 = [image](std::uint32_t a) { return platform::ReadBE32(image + a); };

  if (be32(appBlock) != kBlockMagic) return Format(checkError_, "No checksum block found\n");
  const std::uint32_t appEnd = be32(appBlock + checksum_block::kEndAddress);
  const std::uint32_t appStored = be32(appBlock + checksum_block::kChecksum);

  if (be32(kernelBlock) != kBlockMagic) {
    if (notes != nullptr) std::fputs("Kernel Not Present\n", notes);
    if (appEnd > kImageSize) {
      return Format(checkError_, "Application end address out of range: 0x%X\n", appEnd);
    }
    const std::uint32_t sum = NoKernelChecksum(image, appEnd);
    if (sum != appStored) {
      return Format(checkError_,
                    "Checksum error: Generated = %08x, Stored = %08x, Checksum address = 0x%X\n",
                    sum, appStored, appBlock + checksum_block::kChecksum);
    }
    if (appEnd != ImageLength) {
      return Format(checkError_, "Length mismatch: Read = %d, Stored = %d\n",
                    static_cast<int>(ImageLength), static_cast<int>(appEnd));
    }
    return nullptr;
  }

  if (notes != nullptr) std::fputs("Kernel Present\n", notes);
  if (appEnd > kImageSize) {
    return Format(checkError_, "Application end address out of range: 0x%X\n", appEnd);
  }
  const std::uint32_t appSum = RegionChecksum(image, appBlock, appBlock, appEnd);
  if (appSum != appStored) {
    return Format(checkError_,
                  "Application Checksum error: Generated = %08x, Stored = %08x, Checksum address = "
                  "0x%X\n",
                  appSum, appStored, appBlock + checksum_block::kChecksum);
  }

  const std::uint32_t kEnd = be32(kernelBlock + checksum_block::kEndAddress);
  if (kEnd > kImageSize)
    return Format(checkError_, "Kernel end address out of range: 0x%X\n", kEnd);
  const std::uint32_t kernelSum = RegionChecksum(image, 0, kernelBlock, kEnd);
  const std::uint32_t kernelStored = be32(kernelBlock + checksum_block::kChecksum);
  if (kernelSum != kernelStored) {
    return Format(checkError_,
                  "Checksum error: Generated = %08x, Stored = %08x, Checksum address = 0x%X\n",
                  kernelSum, kernelStored, kernelBlock + checksum_block::kChecksum);
  }

  // Both ends are at most kImageSize here, so these sums cannot wrap.
  const std::uint32_t copyBlock = appEnd + kernelBlock;
  if (copyBlock + 4 <= kImageSize && be32(copyBlock) == kBlockMagic) {
    if (notes != nullptr) std::fputs("Kernel Copy present\n", notes);
    const std::uint32_t copyEnd = appEnd + kEnd;
    if (copyEnd > kImageSize)
      return Format(checkError_, "Kernel Copy out of range: 0x%X\n", copyEnd);
    if (std::memcmp(image, image + appEnd, kEnd) != 0) {
      return Format(checkError_, "Kernel Copy does not match the Kernel\n");
    }
    if (copyEnd != ImageLength) {
      return Format(checkError_, "Length mismatch (with Kernel Copy): Read = 0x%X, Stored = 0x%X\n",
                    ImageLength, copyEnd);
    }
    return nullptr;
  }
  if (notes != nullptr) std::fputs("Kernel Copy not found\n", notes);
  if (appEnd != ImageLength) {
    return Format(checkError_, "Length mismatch: Read = 0x%X, Stored = 0x%X\n", ImageLength,
                  appEnd);
  }
  return nullptr;
}

namespace {

void ForgetAppendedImage(FirmwareImage& image) {
  std::memset(image.ImageBuffer.data(), 0xFF, image.ImageBuffer.size());  // as ClearImage
  image.ImageLength = 0;
  image.ApplicationBlock.reset();
  image.KernelBlock.reset();
  image.TrailerMagic = 0;
}

}  // namespace

AppendedImageResult LoadAppendedImage(const char* path, FirmwareImage& image) {
  AppendedImageResult result;
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    ForgetAppendedImage(image);
    result.status = AppendedImageStatus::CannotOpen;
    return result;
  }
  auto readError = [&result, &image, path] {
    ForgetAppendedImage(image);
    result.status = AppendedImageStatus::Invalid;
    Format(result.error, "Could not read the image in <%s>", path);
    return result;
  };

  // Only the end can hold the image and its trailer: a program file of any size
  // costs one read of at most kImageSize + kTrailerSize bytes. A stream offset is
  // 64-bit on every platform we build for, unlike ftell's long.
  file.seekg(0, std::ios::end);
  const std::streamoff size = file.tellg();
  if (size < 0) return readError();
  const std::streamoff tail = std::min<std::streamoff>(size, kImageSize + kTrailerSize);
  std::vector<std::uint8_t> content(static_cast<std::size_t>(tail));
  file.seekg(size - tail);
  if (!file.read(reinterpret_cast<char*>(content.data()), tail)) return readError();
  return LoadAppendedImage(content.data(), content.size(), image);
}

AppendedImageResult LoadAppendedImage(const std::uint8_t* data, std::size_t size,
                                      FirmwareImage& image) {
  ForgetAppendedImage(image);
  AppendedImageResult result;
  if (size < kTrailerSize) return result;  // too short to carry a trailer

  const std::uint8_t* const trailer = data + size - kTrailerSize;
  image.TrailerMagic = platform::ReadLE32(trailer);
  if (image.TrailerMagic != kBlockMagic) return result;

  const std::uint32_t length = platform::ReadLE32(trailer + 4);
  const std::uint32_t offset = platform::ReadLE32(trailer + 8);
  const std::size_t present = size - kTrailerSize;
  result.length = length;
  result.offset = offset;
  result.status = AppendedImageStatus::Invalid;
  if (length > kImageSize) {
    Format(result.error, "Image in file is too long: %u bytes (at most 262144)", length);
    return result;
  }
  if (length > present) {
    // present < length <= kImageSize here, so it fits the field.
    Format(result.error, "Image in file is incomplete: %u bytes announced, %u present", length,
           static_cast<unsigned>(present));
    return result;
  }
  if (std::uint64_t{offset} + checksum_block::kSize > length) {
    Format(result.error, "Image in file has no room for its version record at 0x%X (length %u)",
           offset, length);
    return result;
  }

  std::copy_n(trailer - length, length, image.ImageBuffer.begin());
  image.ImageLength = length;
  image.ApplicationBlock = offset;
  image.KernelBlock = kKernelBlockAddress;
  result.status = AppendedImageStatus::Loaded;
  return result;
}

SRecordLoadResult LoadSRecordFile(const char* path, FirmwareImage& image, std::FILE* notes) {
  image.ImageLength = 0;
  image.ClearImage();
  if (const char* e = image.ReadSRecordFile(path)) return {SRecordLoadStatus::ReaderError, e};
  image.ApplicationBlock = kApplicationBlockAddress;
  image.KernelBlock = kKernelBlockAddress;
  if (const char* e = image.CheckImage(notes)) return {SRecordLoadStatus::CheckError, e};
  return {};
}

}  // namespace loader
