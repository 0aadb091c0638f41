// Record file, POSIX backend: O_APPEND makes each write land at the end whoever else
// appends; fdatasync puts it on disk before the call returns.
#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/record_file.h"

namespace platform {

namespace {

std::string ErrnoText(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": " + std::strerror(errno);
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t done = write(fd, data, size);
    if (done < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += done;
    size -= static_cast<std::size_t>(done);
  }
  return true;
}

}  // namespace

RecordFile RecordFile::Open(const std::string& path, std::string* error) {
  RecordFile file;
  const int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = ErrnoText("cannot open", path);
    return file;
  }
  file.handle_ = fd;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    *error = "not a regular file: " + path;
    file.Close();
    return file;
  }
  if (info.st_size > 0) {
    char last = '\n';
    if (pread(fd, &last, 1, info.st_size - 1) != 1) {
      *error = ErrnoText("cannot read", path);
      file.Close();
      return file;
    }
    if (last != '\n' && !file.Append("\n", error)) file.Close();
  }
  return file;
}

bool RecordFile::Append(const std::string& line, std::string* error) {
  const int fd = static_cast<int>(handle_);
  if (!WriteAll(fd, line.data(), line.size()) || fdatasync(fd) != 0) {
    *error = std::string("cannot write the record: ") + std::strerror(errno);
    return false;
  }
  return true;
}

void RecordFile::Close() {
  if (handle_ == kNone) return;
  close(static_cast<int>(handle_));
  handle_ = kNone;
}

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return std::string();
  return name;
}

}  // namespace platform
#endif  // !_WIN32
