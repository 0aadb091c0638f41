// A modal message with a single OK button. Win32: MessageBoxA raised as a service
// notification (shows even when the program has no window). POSIX: one line on
// standard error until a window toolkit view exists.
#pragma once

namespace platform {

void ShowNotificationBox(const char* text, const char* caption);

}  // namespace platform
