// System clock, POSIX backend: CLOCK_MONOTONIC in nanoseconds and nanosleep. There
// is no coarse timer to ask a finer one of; fine-timing requests only count, for the
// timer model.
#if !defined(_WIN32)
#include <atomic>
#include <cerrno>
#include <ctime>
#include <new>

#include "platform/clock.h"

namespace platform {
namespace {

class PosixClock final : public Clock {
 public:
  std::int64_t Counter() override {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
  }
  std::int64_t Frequency() override { return 1'000'000'000; }
  void Sleep(std::uint32_t milliseconds) override {
    const std::int64_t us = ModelledSleepUs(milliseconds, model_, fine_.load() > 0);
    timespec remaining{};
    remaining.tv_sec = static_cast<time_t>(us / 1'000'000);
    remaining.tv_nsec = static_cast<long>(us % 1'000'000) * 1000;
    // A signal cuts the sleep short; sleep on for what is left.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
  }
  bool BeginFineTiming() override {
    fine_.fetch_add(1);
    return true;
  }
  void EndFineTiming() override { fine_.fetch_sub(1); }

 private:
  const TimerModel model_ = TimerModelFromEnvironment();
  std::atomic<int> fine_{0};
};

}  // namespace

// Never destroyed: a library's worker thread may still read the clock while the
// process runs its static destructors on the way out. Built in static storage, not
// on the heap, so a library unloaded with it leaves nothing behind.
Clock& SystemClock() {
  alignas(PosixClock) static unsigned char storage[sizeof(PosixClock)];
  static PosixClock* const clock = new (storage) PosixClock;
  return *clock;
}

}  // namespace platform
#endif  // !_WIN32
