// The virtual clock used by tests; the system clock lives in clock_win32.cpp /
// clock_posix.cpp.
#include "platform/clock.h"

#include <cstdlib>
#include <string>
#include <utility>

namespace platform {

std::int64_t ModelledSleepUs(std::uint32_t milliseconds, const TimerModel& model,
                             bool fineTimingHeld) {
  const std::int64_t asked = std::int64_t{milliseconds} * 1000;
  if (milliseconds == 0 || model.tickUs <= 0 || (fineTimingHeld && model.honoursFineTiming))
    return asked;
  return (asked + model.tickUs - 1) / model.tickUs * model.tickUs;
}

TimerModel TimerModelFromEnvironment() {
  TimerModel model;
  if (const char* tick = std::getenv("TARVEX_TIMER_TICK_MS")) {
    char* end = nullptr;
    const double ms = std::strtod(tick, &end);
    if (end != tick && *end == '\0' && ms >= 0 && ms <= 1000)
      model.tickUs = static_cast<std::int64_t>(ms * 1000 + 0.5);
  }
  if (const char* fine = std::getenv("TARVEX_FINE_TIMING"))
    model.honoursFineTiming = std::string(fine) != "off";
  return model;
}

void VirtualClock::SetTimerModel(const TimerModel& model) {
  tickUs_ = model.tickUs;
  honoursFine_ = model.honoursFineTiming;
}

void VirtualClock::Sleep(std::uint32_t milliseconds) {
  sleeps_.fetch_add(1);
  now_.fetch_add(ModelledSleepUs(milliseconds, {tickUs_.load(), honoursFine_.load()},
                                 fine_.load() > 0));
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
