// Thread names, POSIX backend: pthread_setname_np on the calling thread.
#if !defined(_WIN32)
#include <pthread.h>

#include <cstdio>

#include "platform/thread_name.h"

namespace platform {

void NameCurrentThread(const char* name) {
  // Linux refuses a name longer than 15 characters outright: cut it instead.
  char shortName[16];
  std::snprintf(shortName, sizeof shortName, "%s", name);
  pthread_setname_np(pthread_self(), shortName);
}

}  // namespace platform
#endif
