// A file that only grows by whole lines, each on disk before the next is written:
// a power cut loses at most the line being written. Several processes may append to
// one file at once: each line goes in one write at the end of the file.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace platform {

class RecordFile {
 public:
  RecordFile() = default;
  RecordFile(RecordFile&& other) noexcept : handle_(std::exchange(other.handle_, kNone)) {}
  RecordFile& operator=(RecordFile&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, kNone);
    }
    return *this;
  }
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;
  ~RecordFile() { Close(); }

  // Opens the file for appending, creating it when missing. A last line cut short
  // (the file does not end in a line break) is ended first, so that the next line
  // starts clean. Invalid with the reason on failure.
  static RecordFile Open(const std::string& path, std::string* error);
  bool valid() const { return handle_ != kNone; }

  // Appends `line` (which ends in its line break) and waits until it is on disk.
  bool Append(const std::string& line, std::string* error);
  void Close();

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;  // descriptor (POSIX) or file handle (Win32)
};

// The machine's name, as the network knows it; "" when the system will not say.
std::string HostName();

}  // namespace platform
