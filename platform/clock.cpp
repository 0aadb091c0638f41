// The virtual clock used by tests; the system clock lives in clock_win32.cpp /
// clock_posix.cpp.
#include "platform/clock.h"

#include <utility>

namespace platform {

void VirtualClock::Sleep(std::uint32_t milliseconds) {
  sleeps_.fetch_add(1);
  now_.fetch_add(std::int64_t{milliseconds} * 1000);
  // Copy the hook and call it outside the lock: the hook may run the simulated
  // world, which may sleep on this clock again or replace the hook.
  std::function<void(std::uint32_t)> hook;
  {
    std::lock_guard<std::mutex> lock(hookLock_);
    hook = hook_;
  }
  if (hook) hook(milliseconds);
}

void VirtualClock::SetSleepHook(std::function<void(std::uint32_t milliseconds)> hook) {
  std::lock_guard<std::mutex> lock(hookLock_);
  hook_ = std::move(hook);
}

}  // namespace platform
