// System clock, Win32 backend: the performance counter and Sleep.
#if defined(_WIN32)
#include <windows.h>

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
  void Sleep(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }
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
