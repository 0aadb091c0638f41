// Time as a service: the high-resolution counter, its frequency, and sleeping.
// Everything that waits takes a Clock&, so a test can pass a VirtualClock whose
// sleeps advance time at once and let a simulated peer run in between.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

namespace platform {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::int64_t Counter() = 0;    // performance counter, monotonic
  virtual std::int64_t Frequency() = 0;  // counts per second
  virtual void Sleep(std::uint32_t milliseconds) = 0;
};

// The machine's own clock (QueryPerformanceCounter/Sleep, CLOCK_MONOTONIC/nanosleep).
Clock& SystemClock();

// A clock that only moves when told to or when someone sleeps on it. Counts are
// microseconds. The sleep hook runs after time has advanced, on the sleeping
// thread; it is where a test lets the simulated world catch up.
class VirtualClock final : public Clock {
 public:
  static constexpr std::int64_t kFrequency = 1'000'000;

  std::int64_t Counter() override { return now_.load(); }
  std::int64_t Frequency() override { return kFrequency; }
  void Sleep(std::uint32_t milliseconds) override;

  void Advance(std::int64_t microseconds) { now_ += microseconds; }
  void SetSleepHook(std::function<void(std::uint32_t milliseconds)> hook);
  std::uint64_t Sleeps() const { return sleeps_.load(); }

 private:
  std::atomic<std::int64_t> now_{1'000'000};
  std::atomic<std::uint64_t> sleeps_{0};
  std::mutex hookLock_;
  std::function<void(std::uint32_t)> hook_;
};

}  // namespace platform
