// The bench station's own cost, without the virtual library's process round trips:
// one and eight units simulated in this process (each D2XX call runs the unit's
// model in the caller's thread, as a driver would serve it) on the machine's clock,
// each programmed with a full-size image. Reports the median wall time and the
// process's CPU time as a share of one core, the units' simulation included.
//   bench_station_core [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "loader/station.h"
#include "sim/usb_unit.h"
#include "tests/support/sim_d2xx.h"
#include "tools/image_builder.h"

namespace {

struct Figures {
  double wall = 0;
  double core = 0;  // CPU seconds over wall seconds, in %
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Programs `count` units once; every unit starts out running the image itself, so
// that --force sends the whole of it.
Figures ProgramOnce(int count, const std::string& image, std::FILE* sink) {
  std::vector<std::unique_ptr<sim::UsbUnit>> units;
  sim_d2xx::units.clear();
  for (int i = 0; i < count; ++i) {
    sim::UnitOptions options;
    options.serial = "CORE" + std::to_string(i);
    units.push_back(std::make_unique<sim::UsbUnit>(options, platform::SystemClock()));
    std::string error;
    if (!units.back()->firmware().LoadSRecordFile(image, &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      std::exit(1);
    }
    sim_d2xx::units.push_back(units.back().get());
  }
  const platform::d2xx::Api table = sim_d2xx::Table();
  loader::station::StationOptions options;
  options.imagePath = image;
  options.force = true;
  loader::station::StationServices services;
  services.d2xx = &table;
  services.out = sink;
  services.err = stderr;
  loader::station::Station station(options, services);
  const auto start = std::chrono::steady_clock::now();
  const std::clock_t cpuStart = std::clock();
  const int code = station.Run();
  const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (code != loader::station::kExitAllDone) {
    std::fprintf(stderr, "the station ended with %d\n", code);
    std::exit(1);
  }
  sim_d2xx::units.clear();
  return {wall, 100 * cpu / wall};
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const auto dir = std::filesystem::temp_directory_path() /
                   ("bench-station-" + std::to_string(std::time(nullptr)));
  std::filesystem::create_directories(dir);
  const std::string image = (dir / "full.a37").string();
  tools::ImageDescription desc;  // as bench_programming.sh: kernel kept, 1536 blocks sent
  desc.kernelSize = 0x8000;
  desc.appSize = 0x30000;
  desc.seed = 5;
  if (tools::WriteImageFile(desc, image, "full")) return 1;
  std::FILE* sink = std::tmpfile();
  for (int count : {1, 8}) {
    std::vector<double> walls, cores;
    for (int run = 0; run < runs; ++run) {
      const Figures figures = ProgramOnce(count, image, sink);
      walls.push_back(figures.wall);
      cores.push_back(figures.core);
    }
    std::printf("%d unit%s in process: median wall %.2f s (%.2f..%.2f), median CPU %.2f%% of "
                "one core (%.2f..%.2f)\n",
                count, count == 1 ? "" : "s", Median(walls),
                *std::min_element(walls.begin(), walls.end()),
                *std::max_element(walls.begin(), walls.end()), Median(cores),
                *std::min_element(cores.begin(), cores.end()),
                *std::max_element(cores.begin(), cores.end()));
  }
  std::fclose(sink);
  std::filesystem::remove_all(dir);
  return 0;
}
