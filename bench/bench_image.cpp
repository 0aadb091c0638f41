// Reading and checking a full 256 KiB firmware file, as the window's load command does.
// "bench_image --write-srec FILE" only writes the file (for comparisons with other tools).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "loader/image.h"
#include "platform/bytes.h"

namespace {

using loader::FirmwareImage;

// A sound full-size image: kernel 0..0x8000, application 0x8000..0x38000 and the kernel
// copy after it, so that the checks run every step.
void BuildFullImage(std::vector<std::uint8_t>& m) {
  constexpr std::uint32_t kEnd = 0x8000, appEnd = 0x38000;
  std::minstd_rand random(2008);
  for (auto& b : m) b = static_cast<std::uint8_t>(random());
  auto block = [&m](std::uint32_t b, std::uint32_t end) {
    platform::WriteBE32(&m[b], loader::kBlockMagic);
    platform::WriteBE32(&m[b + 8], end);
    std::memset(&m[b + 16], 0, 32);
    std::memcpy(&m[b + 16], "Oct 10 2008", 11);
    std::memcpy(&m[b + 32], "15:16:35", 8);
  };
  block(0x1000, kEnd);
  block(0x8000, appEnd);
  platform::WriteBE32(&m[0x1004], loader::RegionChecksum(m.data(), 0, 0x1000, kEnd));
  platform::WriteBE32(&m[0x8004], loader::RegionChecksum(m.data(), 0x8000, 0x8000, appEnd));
  std::memcpy(&m[appEnd], &m[0], kEnd);
}

// S2 records of 32 data bytes between a header and an end record.
bool WriteSRecordFile(const std::string& path) {
  std::vector<std::uint8_t> m(loader::kImageSize);
  BuildFullImage(m);
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (!file) return false;
  auto record = [file](char type, std::uint32_t address, const std::uint8_t* data, unsigned size) {
    static const char kDigits[] = "0123456789ABCDEF";
    char line[96];
    std::size_t n = 0;
    auto put = [&](unsigned byte) {
      line[n++] = kDigits[byte >> 4];
      line[n++] = kDigits[byte & 0xF];
    };
    line[n++] = 'S';
    line[n++] = type;
    const unsigned count = 3 + size + 1;
    unsigned sum = count + (address >> 16) + ((address >> 8) & 0xFF) + (address & 0xFF);
    put(count);
    put(address >> 16);
    put((address >> 8) & 0xFF);
    put(address & 0xFF);
    for (unsigned i = 0; i < size; ++i) {
      put(data[i]);
      sum += data[i];
    }
    put(~sum & 0xFF);
    line[n++] = '\n';
    std::fwrite(line, 1, n, file);
  };
  record('0', 0, nullptr, 0);
  for (std::uint32_t a = 0; a < loader::kImageSize; a += 32) record('2', a, &m[a], 32);
  record('8', 0, nullptr, 0);
  return std::fclose(file) == 0;
}

std::string TempPath() {
  return (std::filesystem::temp_directory_path() /
          ("tarvex_bench_" + std::to_string(std::random_device{}()) + ".a37"))
      .string();
}

struct Fixture {
  Fixture() : path(TempPath()), ok(WriteSRecordFile(path)), null(std::fopen("/dev/null", "w")) {}
  ~Fixture() {
    if (null) std::fclose(null);
    std::filesystem::remove(path);
  }
  std::string path;
  bool ok;
  std::FILE* null;
  FirmwareImage image;
};

Fixture& Shared() {
  static Fixture fixture;
  return fixture;
}

void BM_LoadAndCheckSRecordFile(benchmark::State& state) {
  Fixture& f = Shared();
  if (!f.ok || !f.null) return state.SkipWithError("cannot write the firmware file");
  for (auto _ : state) {
    f.image.ImageLength = 0;
    f.image.ClearImage();
    const char* error = f.image.ReadSRecordFile(f.path.c_str());
    if (!error) error = f.image.CheckImage(f.null);
    if (error) return state.SkipWithError(error);
    benchmark::DoNotOptimize(f.image.ImageBuffer.data());
  }
  state.SetBytesProcessed(state.iterations() * std::filesystem::file_size(f.path));
}
BENCHMARK(BM_LoadAndCheckSRecordFile)->Unit(benchmark::kMillisecond);

void BM_ReadSRecordFile(benchmark::State& state) {
  Fixture& f = Shared();
  if (!f.ok) return state.SkipWithError("cannot write the firmware file");
  for (auto _ : state) {
    if (const char* error = f.image.ReadSRecordFile(f.path.c_str()))
      return state.SkipWithError(error);
    benchmark::DoNotOptimize(f.image.ImageBuffer.data());
  }
}
BENCHMARK(BM_ReadSRecordFile)->Unit(benchmark::kMillisecond);

void BM_CheckImage(benchmark::State& state) {
  Fixture& f = Shared();
  if (!f.ok || !f.null) return state.SkipWithError("cannot write the firmware file");
  f.image.ClearImage();
  if (const char* error = f.image.ReadSRecordFile(f.path.c_str()))
    return state.SkipWithError(error);
  for (auto _ : state) {
    if (const char* error = f.image.CheckImage(f.null)) return state.SkipWithError(error);
  }
}
BENCHMARK(BM_CheckImage)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--write-srec") == 0) {
    if (WriteSRecordFile(argv[2])) return 0;
    std::fprintf(stderr, "cannot write %s\n", argv[2]);
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
