// The running program's own file, POSIX backend: the kernel's link /proc/self/exe.
#if !defined(_WIN32)
#include <unistd.h>

#include <vector>

#include "platform/program_path.h"

namespace platform {

std::string OwnProgramPath() {
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return std::string();
    // readlink does not say when it cut the path: a full buffer may be a cut one.
    if (static_cast<std::size_t>(length) < buffer.size())
      return std::string(buffer.data(), static_cast<std::size_t>(length));
    if (buffer.size() >= (std::size_t{1} << 20)) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

const char* ProgramFileSuffix() {
  return "";
}

}  // namespace platform
#endif  // !_WIN32
