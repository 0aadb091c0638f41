// System clock, Win32 backend: the performance counter and Sleep. Fine timing asks
// for a 1 ms system timer with timeBeginPeriod: it exists on every Windows the unit
// runs beside, unlike the high-resolution waitable timer (Windows 10 1803 on), and
// since Windows 10 2004 it no longer speeds up other processes' timers. winmm is
// looked up when first needed, so no program or library gains an import by it.
#if defined(_WIN32)
#include <windows.h>

#include <atomic>
#include <new>

#include "platform/clock.h"

namespace platform {
namespace {

class Win32Clock final : public Clock {
 public:
  std::int64_t Counter() override {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
  }
  std::int64_t Frequency() override {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
  }
  void Sleep(std::uint32_t milliseconds) override {
    if (model_.tickUs <= 0) {
      ::Sleep(milliseconds);
      return;
    }
    const std::int64_t us = ModelledSleepUs(milliseconds, model_, fine_.load() > 0);
    ::Sleep(static_cast<DWORD>((us + 999) / 1000));
  }
  bool BeginFineTiming() override {
    if (!model_.honoursFineTiming) return false;
    const TimerCall begin = Winmm("timeBeginPeriod");
    if (begin == nullptr || begin(1) != 0) return false;  // TIMERR_NOERROR is 0
    fine_.fetch_add(1);
    return true;
  }
  void EndFineTiming() override {
    fine_.fetch_sub(1);
    if (const TimerCall end = Winmm("timeEndPeriod")) end(1);
  }

 private:
  using TimerCall = UINT(WINAPI*)(UINT);
  static TimerCall Winmm(const char* name) {
    static const HMODULE winmm = LoadLibraryA("winmm.dll");
    if (winmm == nullptr) return nullptr;
    return reinterpret_cast<TimerCall>(reinterpret_cast<void*>(GetProcAddress(winmm, name)));
  }

  const TimerModel model_ = TimerModelFromEnvironment();
  std::atomic<int> fine_{0};
};

}  // namespace

// Never destroyed: a library's worker thread may still read the clock while the
// process runs its static destructors on the way out. Built in static storage, not
// on the heap, so a library unloaded with it leaves nothing behind.
Clock& SystemClock() {
  alignas(Win32Clock) static unsigned char storage[sizeof(Win32Clock)];
  static Win32Clock* const clock = new (storage) Win32Clock;
  return *clock;
}

}  // namespace platform
#endif  // _WIN32
