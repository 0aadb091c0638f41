// Helpers for the firmware image suites: temporary files, S-Record lines, test images
// laid out like the unit's, and checksums worked out independently of the loader.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "loader/image.h"

namespace image_test {

using Bytes = std::vector<std::uint8_t>;

// A file in the temporary folder under a name no other test uses; removed at the end.
class TempFile {
 public:
  explicit TempFile(const std::string& content = {}) {
    static unsigned serial = 0;
    static const unsigned run = std::random_device{}();
    path_ = (std::filesystem::temp_directory_path() /
             ("tarvex_image_" + std::to_string(run) + "_" + std::to_string(++serial) + ".tmp"))
                .string();
    Write(content);
  }
  ~TempFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  void Write(const std::string& content) const {
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << content;
  }
  void Write(const Bytes& content) const { Write(std::string(content.begin(), content.end())); }
  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

// Collects what CheckImage writes as notes.
class Notes {
 public:
  Notes() : file_(std::tmpfile()) {}
  ~Notes() {
    if (file_) std::fclose(file_);
  }
  Notes(const Notes&) = delete;
  Notes& operator=(const Notes&) = delete;

  std::FILE* file() const { return file_; }
  std::string Text() const {
    std::fflush(file_);
    std::rewind(file_);
    std::string text;
    for (int c; (c = std::fgetc(file_)) != EOF;) text += static_cast<char>(c);
    return text;
  }

 private:
  std::FILE* file_;
};

inline std::string Hex(unsigned value, int digits) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text(static_cast<std::size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i, value >>= 4)
    text[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
  return text;
}

// One S-Record line with its line feed: count, address, data and a correct checksum.
inline std::string SRecord(char type, std::uint32_t address, const Bytes& data = {}) {
  const int addressBytes = (type == '2' || type == '8') ? 3 : (type == '3' || type == '7') ? 4 : 2;
  const unsigned count = static_cast<unsigned>(addressBytes + data.size() + 1);
  unsigned sum = count;
  std::string line = std::string("S") + type + Hex(count, 2) + Hex(address, 2 * addressBytes);
  for (int i = 0; i < addressBytes; ++i) sum += (address >> (8 * i)) & 0xFF;
  for (std::uint8_t b : data) {
    line += Hex(b, 2);
    sum += b;
  }
  return line + Hex(~sum & 0xFF, 2) + "\n";
}

// The reader's and the check's texts, built the way a user would read them.
[[gnu::format(printf, 1, 2)]] inline std::string Printf(const char* format, ...) {
  char text[1024];
  std::va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// Checksum rule, written out plainly: big-endian words taken as signed 16-bit.
inline std::uint32_t RefWord(const Bytes& m, std::uint32_t a) {
  int value = m[a] * 256 + m[a + 1];
  if (value >= 0x8000) value -= 0x10000;
  return static_cast<std::uint32_t>(value);
}
inline std::uint32_t RefSum(const Bytes& m, std::uint32_t s, std::uint32_t e) {
  std::uint32_t sum = 0;
  for (std::uint32_t a = s; a < e; a += 2) sum += RefWord(m, a);
  return sum;
}
inline std::uint32_t RefRegion(const Bytes& m, std::uint32_t s, std::uint32_t b, std::uint32_t e) {
  return RefSum(m, s, b) + RefWord(m, b + 12) + RefWord(m, b + 14) + RefSum(m, b + 48, e);
}
inline std::uint32_t RefNoKernel(const Bytes& m, std::uint32_t appEnd) {
  return RefSum(m, 0, appEnd) - RefWord(m, 0x8004) - RefWord(m, 0x8006);
}

inline void PutBE32(Bytes& m, std::uint32_t a, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) m[a + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}
inline std::uint32_t GetBE32(const Bytes& m, std::uint32_t a) {
  return (std::uint32_t{m[a]} << 24) | (std::uint32_t{m[a + 1]} << 16) |
         (std::uint32_t{m[a + 2]} << 8) | m[a + 3];
}

// Code bytes that cover every sign case of the words.
inline void FillCode(Bytes& m, std::uint32_t from, std::uint32_t to, std::uint32_t seed) {
  for (std::uint32_t a = from; a < to; ++a) {
    seed = seed * 1103515245u + 12345u;
    m[a] = static_cast<std::uint8_t>(seed >> 16);
  }
}

// A checksum block (stored checksum left 0 until SealApplication/SealKernel).
inline void PutBlock(Bytes& m, std::uint32_t b, std::uint32_t end, const std::uint8_t (&version)[4],
                     const char* date = "Oct 10 2008", const char* time = "15:16:35") {
  PutBE32(m, b, 0xAA8D4A8C);
  PutBE32(m, b + 4, 0);
  PutBE32(m, b + 8, end);
  std::memcpy(&m[b + 12], version, 4);
  std::memset(&m[b + 16], 0, 32);
  std::memcpy(&m[b + 16], date, std::strlen(date));
  std::memcpy(&m[b + 32], time, std::strlen(time));
}

struct Layout {
  std::uint32_t kEnd = 0x2400;
  std::uint32_t appEnd = 0xA000;
  bool kernel = true;
  bool copy = true;
};

// An image as the unit's firmware lays it out: kernel from 0 (block at 0x1000),
// application from 0x8000, and the kernel copy from the application's end. Without
// a kernel it is an S-Record style image: cleared buffer, application only.
inline void BuildImage(loader::FirmwareImage& image, const Layout& layout = {}) {
  Bytes& m = image.ImageBuffer;
  image.ClearImage();
  FillCode(m, 0x8000, layout.appEnd, 7);
  PutBlock(m, 0x8000, layout.appEnd, {4, 1, 2, 3});
  if (!layout.kernel) {
    PutBE32(m, 0x8004, RefNoKernel(m, layout.appEnd));
    image.ImageLength = layout.appEnd;
    return;
  }
  FillCode(m, 0, layout.kEnd, 3);
  PutBlock(m, 0x1000, layout.kEnd, {1, 0, 4, 9});
  PutBE32(m, 0x1004, RefRegion(m, 0, 0x1000, layout.kEnd));
  PutBE32(m, 0x8004, RefRegion(m, 0x8000, 0x8000, layout.appEnd));
  image.ImageLength = layout.appEnd;
  if (layout.copy) {
    std::memcpy(&m[layout.appEnd], &m[0], layout.kEnd);
    image.ImageLength += layout.kEnd;
  }
}

}  // namespace image_test
