// Clocks: the virtual clock tests rely on (sleeps advance time at once and run the
// hook) and the system clock (monotonic, and its counts really are per second).
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <utility>
#include <thread>
#include <vector>

namespace {

TEST(VirtualClock, SleepAdvancesByTheMillisecondsAndCounts) {
  platform::VirtualClock clock;
  EXPECT_EQ(clock.Frequency(), 1'000'000);
  const std::int64_t start = clock.Counter();
  clock.Sleep(250);
  EXPECT_EQ(clock.Counter() - start, 250'000);
  clock.Sleep(0);
  clock.Sleep(4'000'000);  // past 32 bits of microseconds
  EXPECT_EQ(clock.Counter() - start, 250'000 + std::int64_t{4'000'000} * 1000);
  EXPECT_EQ(clock.Sleeps(), 3u);

  clock.Advance(17);
  EXPECT_EQ(clock.Counter() - start, 250'000 + std::int64_t{4'000'000} * 1000 + 17);
  EXPECT_EQ(clock.Sleeps(), 3u);  // advancing is not sleeping
}

TEST(VirtualClock, HookSeesTheSleepAfterTimeHasMoved) {
  platform::VirtualClock clock;
  const std::int64_t start = clock.Counter();
  std::vector<std::uint32_t> calls;
  std::vector<std::int64_t> seenAt;
  clock.SetSleepHook([&](std::uint32_t ms) {
    calls.push_back(ms);
    seenAt.push_back(clock.Counter() - start);
  });
  clock.Sleep(10);
  clock.Sleep(5);
  EXPECT_EQ(calls, (std::vector<std::uint32_t>{10, 5}));
  EXPECT_EQ(seenAt, (std::vector<std::int64_t>{10'000, 15'000}));

  clock.SetSleepHook(nullptr);
  clock.Sleep(1);
  EXPECT_EQ(calls.size(), 2u);
  EXPECT_EQ(clock.Sleeps(), 3u);
}

// The hook is where a simulated peer runs, and a peer may itself sleep on the clock
// or change the hook: neither may deadlock.
TEST(VirtualClock, HookMaySleepAndReplaceTheHook) {
  platform::VirtualClock clock;
  int outer = 0, inner = 0;
  clock.SetSleepHook([&](std::uint32_t) {
    ++outer;
    clock.SetSleepHook([&](std::uint32_t) { ++inner; });
    clock.Sleep(3);
  });
  const std::int64_t start = clock.Counter();
  clock.Sleep(7);
  EXPECT_EQ(outer, 1);
  EXPECT_EQ(inner, 1);
  EXPECT_EQ(clock.Counter() - start, 10'000);
  EXPECT_EQ(clock.Sleeps(), 2u);
}

TEST(VirtualClock, SleepsFromSeveralThreadsAllCount) {
  platform::VirtualClock clock;
  std::atomic<int> hookCalls{0};
  clock.SetSleepHook([&](std::uint32_t) { hookCalls.fetch_add(1); });
  const std::int64_t start = clock.Counter();
  constexpr int kThreads = 4, kSleeps = 1000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < kSleeps; ++i) clock.Sleep(2);
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(clock.Counter() - start, std::int64_t{kThreads} * kSleeps * 2000);
  EXPECT_EQ(clock.Sleeps(), std::uint64_t{kThreads} * kSleeps);
  EXPECT_EQ(hookCalls.load(), kThreads * kSleeps);
}

// A coarse system timer rounds every sleep up to whole ticks, at least one; a fine
// timer held (and honoured) lets sleeps last what they ask.
TEST(TimerModel, SleepsLastWholeTicksUnlessFineTimingIsHeld) {
  struct Row {
    std::uint32_t ms;
    platform::TimerModel model;
    bool fine;
    std::int64_t us;
  } const rows[] = {
      {0, {15'600, true}, false, 0},          {1, {15'600, true}, false, 15'600},
      {15, {15'600, true}, false, 15'600},    {16, {15'600, true}, false, 31'200},
      {1, {15'600, true}, true, 1'000},       {1, {15'600, false}, true, 15'600},
      {1, {0, true}, false, 1'000},           {4'000'000, {15'600, true}, false, 4'000'011'600},
  };
  for (const Row& row : rows)
    EXPECT_EQ(platform::ModelledSleepUs(row.ms, row.model, row.fine), row.us)
        << row.ms << " ms, tick " << row.model.tickUs << ", fine " << row.fine;

  platform::VirtualClock clock;
  clock.SetTimerModel({15'600, true});
  const std::int64_t start = clock.Counter();
  clock.Sleep(2);
  {
    const platform::FineTiming fine(clock);
    EXPECT_EQ(clock.FineTimingHolds(), 1);
    clock.Sleep(2);
  }
  EXPECT_EQ(clock.FineTimingHolds(), 0);
  clock.Sleep(2);
  EXPECT_EQ(clock.Counter() - start, 15'600 + 2'000 + 15'600);
}

void SetEnvironment(const char* name, const char* value) {
#if defined(_WIN32)
  _putenv_s(name, value == nullptr ? "" : value);
#else
  if (value == nullptr)
    unsetenv(name);
  else
    setenv(name, value, 1);
#endif
}

// Benchmarks set the model for a whole program through the environment; anything
// but a number of milliseconds from 0 to 1000 leaves it off.
TEST(TimerModel, TakenFromTheEnvironment) {
  const std::pair<const char*, std::int64_t> ticks[] = {
      {"15.6", 15'600}, {"1000", 1'000'000}, {"0", 0},      {"1000.1", 0},
      {"-1", 0},        {"15.6ms", 0},       {"", 0},       {nullptr, 0},
  };
  for (const auto& [text, us] : ticks) {
    SetEnvironment("TARVEX_TIMER_TICK_MS", text);
    EXPECT_EQ(platform::TimerModelFromEnvironment().tickUs, us) << (text ? text : "unset");
  }
  for (const auto& [text, honoured] :
       {std::pair{"off", false}, {"on", true}, {"", true}, {nullptr, true}}) {
    SetEnvironment("TARVEX_FINE_TIMING", text);
    EXPECT_EQ(platform::TimerModelFromEnvironment().honoursFineTiming, honoured)
        << (text ? text : "unset");
  }
  SetEnvironment("TARVEX_TIMER_TICK_MS", nullptr);
  SetEnvironment("TARVEX_FINE_TIMING", nullptr);
}

TEST(SystemClock, CounterIsMonotonic) {
  platform::Clock& clock = platform::SystemClock();
  EXPECT_GT(clock.Frequency(), 0);
  std::int64_t last = clock.Counter();
  for (int i = 0; i < 10000; ++i) {
    const std::int64_t now = clock.Counter();
    ASSERT_GE(now, last);
    last = now;
  }
}

// Only a lower bound: a loaded machine may sleep longer, never shorter. The bound
// is a little under 20 ms for the system timer's granularity; it still tells
// counts per second from counts per millisecond or microsecond.
TEST(SystemClock, SleepMovesTheCounterByAtLeastTheTime) {
  platform::Clock& clock = platform::SystemClock();
  const std::int64_t frequency = clock.Frequency();
  ASSERT_GT(frequency, 0);
  const std::int64_t start = clock.Counter();
  clock.Sleep(20);
  const std::int64_t elapsed = clock.Counter() - start;
  EXPECT_GE(static_cast<double>(elapsed) / static_cast<double>(frequency), 0.015);
}

}  // namespace
