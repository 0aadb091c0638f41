// Qmxzelti's exports against a served block, through the built library as a host
// loads it: single reads, PayOut, NextEvent, ReadAcceptorDetails over 8 acceptors
// of 16 coins each, the consistency check over them and the barcode escrow poll; with the unit quiet (Arg 0) and with the unit side updating its
// area at 10 kHz (Arg 1).
// "bench_interface --syscall-loop N" only opens and calls each export N times, for
// counting system calls with strace (bench/interface_syscalls.sh).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>

#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/dynamic_library.h"
#include "platform/shared_memory.h"
#include "qmxzelti.h"
#include "sim/block_server.h"

#if defined(_WIN32)
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace {

struct Api {
  int(QMX_CALL* OpenSpecificVODVersion)(const char*, int) = nullptr;
  int(QMX_CALL* CurrentValue)() = nullptr;
  int(QMX_CALL* LastPayStatus)() = nullptr;
  void(QMX_CALL* PayOut)(int) = nullptr;
  int(QMX_CALL* NextEvent)(QmxEventDetails*) = nullptr;
  int(QMX_CALL* ReadAcceptorDetails)(int, void*) = nullptr;
  const char*(QMX_CALL* ZELTIConsistencyError)(int, int) = nullptr;
  int(QMX_CALL* BarcodeInEscrow)(char*) = nullptr;
};

// The unit's side: the block, set up by the simulator's server (one tick, no
// serving thread, so nothing else touches the block), and the library opened on it.
class ServedBlock {
 public:
  static ServedBlock& Get() {
    static ServedBlock block;
    return block;
  }
  const Api& api() const { return api_; }
  bool ready() const { return ready_; }
  const std::string& error() const { return error_; }

  // The unit updating its area: a value and a coin count of the last acceptor
  // change inside the counter pair, `hz` times a second, until StopUpdates().
  void StartUpdates(int hz) {
    running_ = true;
    updates_ = 0;
    updater_ = std::thread([this, hz] {
      const auto period = std::chrono::nanoseconds(1000000000 / hz);
      auto next = std::chrono::steady_clock::now();
      while (running_.load(std::memory_order_relaxed)) {
        Update();
        next += period;
        std::this_thread::sleep_until(next);
      }
    });
  }
  std::uint64_t StopUpdates() {
    running_ = false;
    if (updater_.joinable()) updater_.join();
    return updates_;
  }

 private:
  ServedBlock() {
    serial_ = "BENCH" + std::to_string(static_cast<unsigned>(getpid()) % 1000000);
    platform::SharedMemoryError shmError;
    memory_ = platform::SharedMemory::CreateOrOpen("QMXZELTI mapped file" + serial_, 0xB000,
                                                   &shmError);
    if (!memory_.valid()) {
      error_ = std::string(shmError.call) + ": " + shmError.text;
      return;
    }
    sim::BlockOptions options;
    options.level = 7;
    options.acceptors.clear();
    for (int a = 0; a < 8; ++a) {
      sim::AcceptorConfig acceptor;
      acceptor.unitCode = a < 4 ? 0x02000001 : 0x01000001;
      acceptor.address = static_cast<std::uint32_t>(2 + a);
      for (int c = 0; c < 16; ++c) acceptor.values.push_back(5 * (c + 1));
      acceptor.description = "Acceptor " + std::to_string(a);
      options.acceptors.push_back(acceptor);
    }
    server_ = std::make_unique<sim::BlockServer>(memory_.data(), memory_.size(), options,
                                                  platform::SystemClock());
    if (!server_->Check(&error_)) return;
    server_->Tick();
    server_->Tick();

    library_ = platform::DynamicLibrary::Load(QMXZELTI_PATH, &error_);
    if (!library_.loaded()) return;
    auto bind = [this](const char* name, int bytes, auto* slot) {
      auto entry = library_.Find(platform::StdcallExportName(name, bytes));
      if (entry == nullptr) error_ = std::string("no export ") + name;
      *slot = reinterpret_cast<std::remove_pointer_t<decltype(slot)>>(entry);
    };
    bind("OpenSpecificVODVersion", 8, &api_.OpenSpecificVODVersion);
    bind("CurrentValue", 0, &api_.CurrentValue);
    bind("LastPayStatus", 0, &api_.LastPayStatus);
    bind("PayOut", 4, &api_.PayOut);
    bind("NextEvent", 4, &api_.NextEvent);
    bind("ReadAcceptorDetails", 8, &api_.ReadAcceptorDetails);
    bind("ZELTIConsistencyError", 8, &api_.ZELTIConsistencyError);
    bind("BarcodeInEscrow", 4, &api_.BarcodeInEscrow);
    if (!error_.empty()) return;
    const int opened = api_.OpenSpecificVODVersion(serial_.c_str(), QMX_VERSION_5);
    if (opened != 0) {
      error_ = "open answered " + std::to_string(opened);
      return;
    }
    std::uint8_t* base = memory_.data();
    status_ = platform::LoadSharedWord(base + 16);
    // The last acceptor's first coin entry: its count changes with every update.
    std::uint32_t entry = platform::LoadSharedWord(base + status_ + 868);
    for (int a = 0; a < 7 && entry != 0; ++a) entry = platform::LoadSharedWord(base + entry);
    coin_ = entry == 0 ? 0 : platform::LoadSharedWord(base + entry + 40);
    ready_ = coin_ != 0;
    if (!ready_) error_ = "the served block has no acceptor list";
  }

  void Update() {
    std::uint8_t* base = memory_.data();
    const std::uint32_t start = platform::LoadSharedWord(base + status_) + 1;
    platform::StoreSharedWord(base + status_, start);
    platform::StoreSharedWord(base + status_ + 848, start);  // CurrentValueWord
    platform::StoreSharedWord(base + coin_ + 16, start);     // number accepted
    platform::StoreSharedWord(base + status_ + 4, start);
    updates_.fetch_add(1, std::memory_order_relaxed);
  }

  std::string serial_, error_;
  platform::SharedMemory memory_;
  std::unique_ptr<sim::BlockServer> server_;
  platform::DynamicLibrary library_;
  Api api_;
  bool ready_ = false;
  std::uint32_t status_ = 0, coin_ = 0;
  std::atomic<bool> running_{false};
  std::atomic<std::uint64_t> updates_{0};
  std::thread updater_;
};

// Runs `body` for the benchmark, with the unit updating at 10 kHz when Arg is 1;
// reports the update rate reached.
template <typename Body>
void Measure(benchmark::State& state, Body body) {
  ServedBlock& block = ServedBlock::Get();
  if (!block.ready()) {
    state.SkipWithError(block.error().c_str());
    return;
  }
  const bool updating = state.range(0) == 1;
  const auto began = std::chrono::steady_clock::now();
  if (updating) block.StartUpdates(10000);
  for (auto _ : state) body(block.api());
  if (updating) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    state.counters["unit_updates_per_s"] = static_cast<double>(block.StopUpdates()) / seconds;
  }
}

void BM_CurrentValue(benchmark::State& state) {
  Measure(state, [](const Api& api) { benchmark::DoNotOptimize(api.CurrentValue()); });
}
void BM_LastPayStatus(benchmark::State& state) {
  Measure(state, [](const Api& api) { benchmark::DoNotOptimize(api.LastPayStatus()); });
}
void BM_PayOut(benchmark::State& state) {
  Measure(state, [](const Api& api) { api.PayOut(1); });
}
// No event pending: the call every host makes in its poll loop.
void BM_NextEvent(benchmark::State& state) {
  Measure(state, [](const Api& api) {
    QmxEventDetails details;
    benchmark::DoNotOptimize(api.NextEvent(&details));
  });
}
// The last of 8 acceptors (the longest walk), 16 coins with texts.
void BM_ReadAcceptorDetails(benchmark::State& state) {
  auto record = std::make_unique<QmxAcceptorDetails5>();
  Measure(state, [&record](const Api& api) {
    benchmark::DoNotOptimize(api.ReadAcceptorDetails(7, record.get()));
    benchmark::ClobberMemory();
  });
}
// All 8 acceptors, as a host enumerates them.
void BM_ReadAllAcceptors(benchmark::State& state) {
  auto record = std::make_unique<QmxAcceptorDetails5>();
  Measure(state, [&record](const Api& api) {
    for (int index = 0; index < 8; ++index)
      benchmark::DoNotOptimize(api.ReadAcceptorDetails(index, record.get()));
    benchmark::ClobberMemory();
  });
}

// The consistency check: one walk of all 8 acceptors' coins and a clock reading.
void BM_ZELTIConsistencyError(benchmark::State& state) {
  Measure(state, [](const Api& api) { benchmark::DoNotOptimize(api.ZELTIConsistencyError(1, 1)); });
}
// A host polling for a barcode ticket in escrow.
void BM_BarcodeInEscrow(benchmark::State& state) {
  Measure(state, [](const Api& api) {
    char text[QMX_BARCODE_TEXT];
    benchmark::DoNotOptimize(api.BarcodeInEscrow(text));
  });
}

BENCHMARK(BM_CurrentValue)->Arg(0)->Arg(1);
BENCHMARK(BM_ZELTIConsistencyError)->Arg(0)->Arg(1);
BENCHMARK(BM_BarcodeInEscrow)->Arg(0)->Arg(1);
BENCHMARK(BM_LastPayStatus)->Arg(0)->Arg(1);
BENCHMARK(BM_PayOut)->Arg(0)->Arg(1);
BENCHMARK(BM_NextEvent)->Arg(0)->Arg(1);
BENCHMARK(BM_ReadAcceptorDetails)->Arg(0)->Arg(1);
BENCHMARK(BM_ReadAllAcceptors)->Arg(0)->Arg(1);

// Every benchmarked export, `count` times each, with nothing else going on.
int SyscallLoop(long count) {
  ServedBlock& block = ServedBlock::Get();
  if (!block.ready()) {
    std::fprintf(stderr, "bench_interface: %s\n", block.error().c_str());
    return 1;
  }
  const Api& api = block.api();
  auto record = std::make_unique<QmxAcceptorDetails5>();
  long sum = 0;
  for (long i = 0; i < count; ++i) {
    QmxEventDetails details;
    sum += api.CurrentValue() + api.LastPayStatus() + api.NextEvent(&details);
    api.PayOut(1);
    sum += api.ReadAcceptorDetails(static_cast<int>(i % 8), record.get());
  }
  std::printf("calls: %ld, checksum %ld\n", count * 5, sum);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--syscall-loop") == 0)
    return SyscallLoop(std::strtol(argv[2], nullptr, 10));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
