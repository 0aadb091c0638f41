// Fuzzes the firmware file readers and the checks behind them: each input is read as
// an S-Record file and as a program file with an appended image, and each result is
// checked. Regression inputs live in corpus/srecord/.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "loader/image.h"

namespace {

const std::string& InputPath() {
  static const std::string path =
      (std::filesystem::temp_directory_path() /
       ("tarvex_fuzz_srecord_" + std::to_string(std::random_device{}()) + ".a37"))
          .string();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static loader::FirmwareImage image;
  static std::FILE* const null = std::fopen("/dev/null", "w");

  const std::string& path = InputPath();
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);

  image.ImageLength = 0;
  image.ClearImage();
  if (!image.ReadSRecordFile(path.c_str())) image.CheckImage(null);

  if (loader::LoadAppendedImage(path.c_str(), image).status ==
      loader::AppendedImageStatus::Loaded) {
    image.CheckImage(null);
    (void)image.Version();
  }
  std::remove(path.c_str());
  return 0;
}
