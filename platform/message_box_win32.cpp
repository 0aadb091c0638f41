// Message box, Win32 backend: raised as a service notification so it shows even
// when the program has no window of its own.
#if defined(_WIN32)
#include <windows.h>

#include "platform/message_box.h"

namespace platform {

void ShowNotificationBox(const char* text, const char* caption) {
  MessageBoxA(nullptr, text, caption, MB_OK | MB_SERVICE_NOTIFICATION);
}

}  // namespace platform
#endif  // _WIN32
