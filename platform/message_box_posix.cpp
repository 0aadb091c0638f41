// Message box, POSIX backend: one line on standard error until a window toolkit
// view exists.
#if !defined(_WIN32)
#include <cstdio>

#include "platform/message_box.h"

namespace platform {

void ShowNotificationBox(const char* text, const char* caption) {
  std::fprintf(stderr, "%s: %s\n", caption, text);
}

}  // namespace platform
#endif  // !_WIN32
