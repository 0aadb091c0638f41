// The simulated unit's flash and what its firmware derives from it: versions, the
// application checksum and the start-up self-check, worked out the way the unit does.
#include "sim/firmware.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

#include "platform/bytes.h"

namespace sim {
namespace {

constexpr std::uint32_t kBlockMagic = 0xAA8D4A8C;
constexpr std::uint32_t kKernelBlock = 0x1000;
constexpr std::uint32_t kApplicationBlock = 0x8000;
// ChecksumBlock fields (big-endian numbers).
constexpr std::uint32_t kChecksumField = 4;
constexpr std::uint32_t kEndField = 8;
constexpr std::uint32_t kVersionField = 12;
constexpr std::uint32_t kDateField = 16;
constexpr std::uint32_t kTimeField = 32;
constexpr std::uint32_t kTextSize = 16;
constexpr std::uint32_t kBlockSize = 48;

// A file larger than this cannot be an S-Record file of a 256 KiB flash.
constexpr long kMaxSRecordFile = 64L * 1024 * 1024;

// The unit sums big-endian 16-bit words, each taken as signed. A byte past the end of
// the flash reads as erased.
std::uint32_t SignedWord(const std::vector<std::uint8_t>& flash, std::uint32_t a) {
  const std::uint8_t hi = a < flash.size() ? flash[a] : 0xFF;
  const std::uint8_t lo = a + 1 < flash.size() ? flash[a + 1] : 0xFF;
  const auto word = static_cast<std::int16_t>(static_cast<std::uint16_t>((hi << 8) | lo));
  return static_cast<std::uint32_t>(static_cast<std::int32_t>(word));
}

// Words at s, s+2, ... while below e; an odd e takes the byte just past it.
std::uint32_t WordSum(const std::vector<std::uint8_t>& flash, std::uint32_t s, std::uint32_t e) {
  std::uint32_t sum = 0;
  for (std::uint32_t a = s; a < e; a += 2) sum += SignedWord(flash, a);
  return sum;
}

// A region's checksum: its code around the checksum block at b, plus the block's four
// version bytes; the magic, stored checksum, end address and texts stay out.
std::uint32_t RegionSum(const std::vector<std::uint8_t>& flash, std::uint32_t s, std::uint32_t b,
                        std::uint32_t e) {
  return WordSum(flash, s, b) + SignedWord(flash, b + kVersionField) +
         SignedWord(flash, b + kVersionField + 2) + WordSum(flash, b + kBlockSize, e);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string LineError(const std::string& path, unsigned line, const char* what) {
  char number[16];
  std::snprintf(number, sizeof number, "%u", line);
  return path + " line " + number + ": " + what;
}

}  // namespace

Firmware::Firmware() : flash_(kFlashSize, 0xFF) {}

void Firmware::Load(const std::vector<std::uint8_t>& image) {
  std::fill(flash_.begin(), flash_.end(), std::uint8_t{0xFF});
  const std::size_t n = std::min<std::size_t>(image.size(), kFlashSize);
  std::copy(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(n), flash_.begin());
  ++generation_;
}

void Firmware::WriteFlash(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t count) {
  if (address >= kFlashSize || bytes == nullptr) return;
  const std::uint32_t n = std::min(count, kFlashSize - address);
  std::copy(bytes, bytes + n, flash_.begin() + address);
  ++generation_;
}

void Firmware::Erase(std::uint32_t begin, std::uint32_t end) {
  end = std::min(end, kFlashSize);
  if (begin >= end) return;
  std::fill(flash_.begin() + begin, flash_.begin() + end, std::uint8_t{0xFF});
  ++generation_;
}

// The flash as an erased unit holds it after the loader has programmed the file: the
// loader prepares its image with a zero byte at the start of each 4 KiB page below the
// application, and those blocks are sent like any other. Only a whole good file
// replaces the flash.
bool Firmware::LoadSRecordFile(const std::string& path, std::string* error) {
  auto fail = [error](std::string text) {
    if (error) *error = std::move(text);
    return false;
  };
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return fail("cannot open " + path + ": " + std::strerror(errno));
  std::string text;
  char chunk[65536];
  std::size_t got;
  bool tooLarge = false;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
    text.append(chunk, got);
    if (text.size() > static_cast<std::size_t>(kMaxSRecordFile)) {
      tooLarge = true;
      break;
    }
  }
  const bool readError = std::ferror(f) != 0;
  std::fclose(f);
  if (readError) return fail("cannot read " + path);
  if (tooLarge) return fail(path + ": too large for an S-Record file of the unit's flash");

  std::vector<std::uint8_t> image(kFlashSize, 0xFF);
  for (std::uint32_t page = 0; page < kApplicationBlock; page += 0x1000) image[page] = 0x00;

  std::size_t pos = 0;
  unsigned lineNumber = 0;
  bool anyData = false;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNumber;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.pop_back();
    if (line.empty()) continue;

    if (line.size() < 4 || line[0] != 'S')
      return fail(LineError(path, lineNumber, "not an S-Record line"));
    const char type = line[1];
    // Hex pairs after "S<type>": count, then count bytes (address, data, checksum).
    const std::size_t pairs = (line.size() - 2) / 2;
    if ((line.size() - 2) % 2 != 0)
      return fail(LineError(path, lineNumber, "odd number of digits"));
    std::vector<std::uint8_t> bytes(pairs);
    for (std::size_t i = 0; i < pairs; ++i) {
      const int hi = HexValue(line[2 + 2 * i]);
      const int lo = HexValue(line[3 + 2 * i]);
      if (hi < 0 || lo < 0) return fail(LineError(path, lineNumber, "not a hexadecimal digit"));
      bytes[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    const std::size_t count = bytes[0];
    if (count + 1 != pairs)
      return fail(LineError(path, lineNumber, "byte count does not match the line"));
    unsigned sum = 0;
    for (std::uint8_t b : bytes) sum += b;
    if ((sum & 0xFF) != 0xFF) return fail(LineError(path, lineNumber, "checksum wrong"));

    std::size_t addressBytes = 0;
    switch (type) {
      case '0':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9': continue;  // header, counts and start addresses carry no flash bytes
      case '1': addressBytes = 2; break;
      case '2': addressBytes = 3; break;
      default:
        return fail(LineError(path, lineNumber, "record type not supported (S1 and S2 only)"));
    }
    if (count < addressBytes + 1) return fail(LineError(path, lineNumber, "record too short"));
    std::uint32_t address = 0;
    for (std::size_t i = 0; i < addressBytes; ++i) address = (address << 8) | bytes[1 + i];
    const std::size_t dataBytes = count - addressBytes - 1;
    if (address + dataBytes > kFlashSize)
      return fail(LineError(path, lineNumber, "data beyond the end of the flash"));
    std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(1 + addressBytes),
              bytes.begin() + static_cast<std::ptrdiff_t>(1 + addressBytes + dataBytes),
              image.begin() + address);
    anyData = anyData || dataBytes > 0;
  }
  if (!anyData) return fail(path + ": no data records");
  flash_ = std::move(image);
  ++generation_;
  return true;
}

std::uint32_t Firmware::Word32(std::uint32_t address) const {
  if (address > kFlashSize - 4) return 0xFFFFFFFF;
  return platform::ReadBE32(flash_.data() + address);
}

bool Firmware::HasApplication() const {
  return Word32(kApplicationBlock) == kBlockMagic;
}

bool Firmware::HasKernel() const {
  return Word32(kKernelBlock) == kBlockMagic;
}

std::uint32_t Firmware::VersionWord() const {
  return HasApplication() ? Word32(kApplicationBlock + kVersionField) : 0;
}

// With a kernel the application is summed on its own; without one the whole flash up
// to the application's end counts, less the stored checksum's own two words.
std::uint32_t Firmware::ApplicationChecksum() const {
  if (!HasApplication()) return 0;
  const std::uint32_t appEnd = std::min(Word32(kApplicationBlock + kEndField), kFlashSize);
  if (HasKernel()) return RegionSum(flash_, kApplicationBlock, kApplicationBlock, appEnd);
  return WordSum(flash_, 0, appEnd) - SignedWord(flash_, kApplicationBlock + kChecksumField) -
         SignedWord(flash_, kApplicationBlock + kChecksumField + 2);
}

std::uint32_t Firmware::StoredApplicationChecksum() const {
  return HasApplication() ? Word32(kApplicationBlock + kChecksumField) : 0;
}

std::uint32_t Firmware::KernelChecksum() const {
  const std::uint32_t kernelEnd = std::min(Word32(kKernelBlock + kEndField), kFlashSize);
  return RegionSum(flash_, 0, kKernelBlock, kernelEnd);
}

std::int32_t Firmware::KernelVersion() const {
  return HasKernel() ? static_cast<std::int32_t>(Word32(kKernelBlock + kVersionField)) : -1;
}

bool Firmware::ChecksumsGood() const {
  if (!HasApplication()) return false;
  if (Word32(kApplicationBlock + kEndField) > kFlashSize) return false;
  if (ApplicationChecksum() != StoredApplicationChecksum()) return false;
  if (!HasKernel()) return true;
  if (Word32(kKernelBlock + kEndField) > kFlashSize) return false;
  return KernelChecksum() == Word32(kKernelBlock + kChecksumField);
}

std::string Firmware::BlockText(std::uint32_t address) const {
  std::string text;
  for (std::uint32_t i = 0; i < kTextSize && flash_[address + i] != 0; ++i) {
    const char c = static_cast<char>(flash_[address + i]);
    text += (c >= 0x20 && c < 0x7F) ? c : '?';  // shown on a console: printable only
  }
  return text;
}

std::string Firmware::CompileDate() const {
  return HasApplication() ? BlockText(kApplicationBlock + kDateField) : std::string();
}

std::string Firmware::CompileTime() const {
  return HasApplication() ? BlockText(kApplicationBlock + kTimeField) : std::string();
}

std::string Firmware::VersionText() const {
  if (!HasApplication()) return "none";
  const std::uint32_t v = VersionWord();
  char text[64];
  std::snprintf(text, sizeof text, "%s %u.%u.%u", ReleaseName(v >> 24), (v >> 16) & 0xFFu,
                (v >> 8) & 0xFFu, v & 0xFFu);
  return text;
}

const char* Firmware::ReleaseName(unsigned releaseType) {
  static const char* const kNames[] = {"Special", "Development", "Alpha Test", "Beta Test",
                                       "Full Release"};
  return releaseType < std::size(kNames) ? kNames[releaseType] : "Unknown";
}

}  // namespace sim
