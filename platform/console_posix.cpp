// Console, POSIX backend: a program's terminal is always its standard output, so
// there is nothing to attach.
#if !defined(_WIN32)
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/console.h"

namespace platform {

std::FILE* AttachParentConsole() {
  return nullptr;
}

bool StandardOutputIsTerminal() {
  return isatty(STDOUT_FILENO) == 1;
}

bool EnableLineRedraw() {
  const char* term = std::getenv("TERM");
  return StandardOutputIsTerminal() && term != nullptr && *term != '\0' &&
         std::strcmp(term, "dumb") != 0;
}

std::string CurrentDirectory() {
  std::vector<char> buffer(256);
  for (;;) {
    if (getcwd(buffer.data(), buffer.size()) != nullptr) return std::string(buffer.data());
    if (errno != ERANGE || buffer.size() >= (std::size_t{1} << 20)) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

// A handler may only do async-signal-safe work; handing a unit back is more than
// that. So the signals are held back from every thread and one watcher takes them
// with sigwait, as ordinary code.
void OnEndRequest(void (*onEnd)()) {
  sigset_t requests;
  sigemptyset(&requests);
  for (int number : {SIGINT, SIGHUP, SIGTERM}) {
    // One the parent told us to ignore (nohup) stays ignored.
    struct sigaction current {};
    if (sigaction(number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    sigaddset(&requests, number);
  }
  if (pthread_sigmask(SIG_BLOCK, &requests, nullptr) != 0) return;
  std::thread([requests, onEnd] {
    int number = 0;
    while (sigwait(&requests, &number) != 0) {
    }
    onEnd();
    // Ended by the signal itself, so that the parent sees how the program ended.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(number, &fallback, nullptr);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, number);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(number);
    _exit(128 + number);  // not reached: the default action ends the process
  }).detach();
}

}  // namespace platform
#endif  // !_WIN32
