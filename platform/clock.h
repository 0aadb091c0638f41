// Time as a service: the high-resolution counter, its frequency, and sleeping.
// Everything that waits takes a Clock&, so a test can pass a VirtualClock whose
// sleeps advance time at once and let a simulated peer run in between.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

namespace platform {

// How long a sleep really lasts on a coarse system timer: Windows wakes sleepers on
// its timer tick, 15.6 ms by default, so Sleep(1) lasts a whole tick unless the
// process asked for a fine timer. A model for measuring the programs' pace (tests and
// benchmarks), not a feature: with a tick of 0, sleeps last what they ask.
struct TimerModel {
  std::int64_t tickUs = 0;
  bool honoursFineTiming = true;  // false: as if the program had never asked
};

// The microseconds a sleep of `milliseconds` lasts under the model: whole ticks, at
// least one, unless fine timing is held (and honoured). Sleep(0) stays 0.
std::int64_t ModelledSleepUs(std::uint32_t milliseconds, const TimerModel& model,
                             bool fineTimingHeld);

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::int64_t Counter() = 0;    // performance counter, monotonic
  virtual std::int64_t Frequency() = 0;  // counts per second
  virtual void Sleep(std::uint32_t milliseconds) = 0;
  // While a program waits on a peer in short pauses it holds fine timing: a 1 ms
  // system timer (Windows: timeBeginPeriod), given back as soon as the wait ends.
  // Counted: every granted Begin has its End. Use FineTiming rather than these.
  virtual bool BeginFineTiming() { return false; }
  virtual void EndFineTiming() {}
};

// Holds fine timing on a clock for its own lifetime, so every path gives it back.
class FineTiming {
 public:
  explicit FineTiming(Clock& clock) : clock_(clock), granted_(clock.BeginFineTiming()) {}
  ~FineTiming() {
    if (granted_) clock_.EndFineTiming();
  }
  FineTiming(const FineTiming&) = delete;
  FineTiming& operator=(const FineTiming&) = delete;

 private:
  Clock& clock_;
  const bool granted_;
};

// The machine's own clock (QueryPerformanceCounter/Sleep, CLOCK_MONOTONIC/nanosleep).
// For measurement, TARVEX_TIMER_TICK_MS (e.g. 15.6) makes its sleeps follow the timer
// model, and TARVEX_FINE_TIMING=off makes it ignore fine-timing requests (on Windows
// the timer is then never asked for).
Clock& SystemClock();

// The model the system clock takes from the environment; a value that is not a
// number from 0 to 1000 leaves the model off.
TimerModel TimerModelFromEnvironment();

// A clock that only moves when told to or when someone sleeps on it. Counts are
// microseconds. The sleep hook runs after time has advanced, on the sleeping
// thread; it is where a test lets the simulated world catch up.
class VirtualClock final : public Clock {
 public:
  static constexpr std::int64_t kFrequency = 1'000'000;

  std::int64_t Counter() override { return now_.load(); }
  std::int64_t Frequency() override { return kFrequency; }
  void Sleep(std::uint32_t milliseconds) override;

  bool BeginFineTiming() override {
    fine_.fetch_add(1);
    return true;
  }
  void EndFineTiming() override { fine_.fetch_sub(1); }

  void Advance(std::int64_t microseconds) { now_ += microseconds; }
  void SetSleepHook(std::function<void(std::uint32_t milliseconds)> hook);
  std::uint64_t Sleeps() const { return sleeps_.load(); }
  // Sleeps last what the model says (the hook still sees the milliseconds asked).
  void SetTimerModel(const TimerModel& model);
  int FineTimingHolds() const { return fine_.load(); }

 private:
  std::atomic<std::int64_t> now_{1'000'000};
  std::atomic<std::uint64_t> sleeps_{0};
  std::atomic<int> fine_{0};
  std::atomic<std::int64_t> tickUs_{0};
  std::atomic<bool> honoursFine_{true};
  std::mutex hookLock_;
  std::function<void(std::uint32_t)> hook_;
};

}  // namespace platform
