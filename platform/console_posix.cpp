// Console, POSIX backend: a program's terminal is always its standard output, so
// there is nothing to attach.
#if !defined(_WIN32)
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/console.h"

namespace platform {

std::FILE* AttachParentConsole() {
  return nullptr;
}

bool StandardOutputIsTerminal() {
  return isatty(STDOUT_FILENO) == 1;
}

std::string CurrentDirectory() {
  std::vector<char> buffer(256);
  for (;;) {
    if (getcwd(buffer.data(), buffer.size()) != nullptr) return std::string(buffer.data());
    if (errno != ERANGE || buffer.size() >= (std::size_t{1} << 20)) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace platform
#endif  // !_WIN32
