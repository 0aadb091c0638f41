// Helpers for the image tool's tests: scratch folders, whole-file reads and writes,
// check notes captured from a file, S-Record lines taken apart by hand and the
// checksum rules written out as plain loops, independent of the loader's code.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "loader/image.h"

namespace tools_test {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::random_device random;
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = fs::temp_directory_path() /
            ("fwimage-test-" + std::to_string(random()) + "-" + std::to_string(now));
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string File(const std::string& name) const { return (path_ / name).string(); }
  const fs::path& Path() const { return path_; }

  // The names of the files in the folder, sorted.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  fs::path path_;
};

inline std::vector<std::uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadText(const std::string& path) {
  const std::vector<std::uint8_t> bytes = ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

inline void WriteText(const std::string& path, const std::string& text) {
  WriteBytes(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

// A stream for CheckImage's notes, read back as written (binary: no line-end changes).
class NotesFile {
 public:
  explicit NotesFile(const std::string& path) : file_(std::fopen(path.c_str(), "w+b")) {}
  ~NotesFile() {
    if (file_) std::fclose(file_);
  }
  NotesFile(const NotesFile&) = delete;
  NotesFile& operator=(const NotesFile&) = delete;
  std::FILE* Get() const { return file_; }
  std::string Text() const {
    std::fflush(file_);
    std::rewind(file_);
    std::string text;
    int c;
    while ((c = std::fgetc(file_)) != EOF) text += static_cast<char>(c);
    return text;
  }

 private:
  std::FILE* file_;
};

// The checksum rules, spelled out: big-endian signed 16-bit words, 32-bit wrapping sums.
inline std::uint32_t RefWord(const std::vector<std::uint8_t>& image, std::uint32_t a) {
  const int word = (image[a] << 8) | image[a + 1];
  const int value = word >= 0x8000 ? word - 0x10000 : word;
  return static_cast<std::uint32_t>(value);
}
inline std::uint32_t RefSum(const std::vector<std::uint8_t>& image, std::uint32_t s,
                            std::uint32_t e) {
  std::uint32_t sum = 0;
  for (std::uint32_t a = s; a < e; a += 2) sum += RefWord(image, a);
  return sum;
}
inline std::uint32_t RefRegion(const std::vector<std::uint8_t>& image, std::uint32_t s,
                               std::uint32_t b, std::uint32_t e) {
  return RefSum(image, s, b) + RefWord(image, b + 12) + RefWord(image, b + 14) +
         RefSum(image, b + 48, e);
}
inline std::uint32_t RefNoKernel(const std::vector<std::uint8_t>& image, std::uint32_t appEnd) {
  return RefSum(image, 0, appEnd) - RefWord(image, 0x8004) - RefWord(image, 0x8006);
}
inline std::uint32_t BE32(const std::vector<std::uint8_t>& image, std::uint32_t a) {
  return (std::uint32_t{image[a]} << 24) | (std::uint32_t{image[a + 1]} << 16) |
         (std::uint32_t{image[a + 2]} << 8) | image[a + 3];
}
inline std::uint32_t LE32(const std::vector<std::uint8_t>& bytes, std::size_t p) {
  return std::uint32_t{bytes[p]} | (std::uint32_t{bytes[p + 1]} << 8) |
         (std::uint32_t{bytes[p + 2]} << 16) | (std::uint32_t{bytes[p + 3]} << 24);
}

// S-Record lines taken apart by hand.
inline int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
inline int ByteAt(const std::string& line, std::size_t p) {
  if (p + 1 >= line.size() || HexValue(line[p]) < 0 || HexValue(line[p + 1]) < 0) return -1;
  return HexValue(line[p]) * 16 + HexValue(line[p + 1]);
}
inline std::string HexByte(int value) {
  static const char kDigits[] = "0123456789ABCDEF";
  return {kDigits[(value >> 4) & 0xF], kDigits[value & 0xF]};
}
// The checksum a record line (without its line feed) should end with: ones'
// complement of the low byte of the sum of count, address and data bytes.
inline int RecordChecksum(const std::string& line) {
  int sum = 0;
  for (std::size_t p = 2; p + 2 < line.size(); p += 2) sum += ByteAt(line, p);
  return ~sum & 0xFF;
}
inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}
inline std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// Changes the data byte at card address `address` in an S2 file; with `fixChecksum`
// the record's checksum is made right again, so only the image check can notice.
// Returns false when no record holds the address.
inline bool ChangeByteInFile(const std::string& path, std::uint32_t address, bool fixChecksum) {
  std::vector<std::string> lines = SplitLines(ReadText(path));
  for (std::string& line : lines) {
    if (line.size() < 12 || line[0] != 'S' || line[1] != '2') continue;
    const std::uint32_t start = (static_cast<std::uint32_t>(ByteAt(line, 4)) << 16) |
                                (static_cast<std::uint32_t>(ByteAt(line, 6)) << 8) |
                                static_cast<std::uint32_t>(ByteAt(line, 8));
    const std::uint32_t count = static_cast<std::uint32_t>(ByteAt(line, 2)) - 4;
    if (address < start || address >= start + count) continue;
    const std::size_t p = 10 + 2 * (address - start);
    line.replace(p, 2, HexByte(ByteAt(line, p) ^ 0x01));
    if (fixChecksum) line.replace(line.size() - 2, 2, HexByte(RecordChecksum(line)));
    WriteText(path, JoinLines(lines));
    return true;
  }
  return false;
}

}  // namespace tools_test
