// System clock, Win32 backend: the performance counter and Sleep.
#if defined(_WIN32)
#include <windows.h>

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

Clock& SystemClock() {
  static Win32Clock clock;
  return clock;
}

}  // namespace platform
#endif  // _WIN32
