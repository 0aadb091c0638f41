// Thread names, POSIX backend: pthread_setname_np on the calling thread.
#if !defined(_WIN32)
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>

#include "platform/thread_name.h"

namespace platform {

void NameCurrentThread(const char* name) {
  // Linux refuses a name longer than 15 characters outright: cut it instead.
  char shortName[16];
  std::snprintf(shortName, sizeof shortName, "%s", name);
  pthread_setname_np(pthread_self(), shortName);
}

void RaiseCurrentThreadPriority() {
  // Linux keeps a nice value per thread, addressed by its kernel thread id.
  const auto thread = static_cast<id_t>(syscall(SYS_gettid));
  const int now = getpriority(PRIO_PROCESS, thread);
  (void)setpriority(PRIO_PROCESS, thread, now - 5);
}

}  // namespace platform
#endif
