// Fuzzes the reader of the image appended to a program file, over the file's bytes in
// memory. Whatever the trailer says, a loaded image lies inside the buffer with room
// for its version record, and a refused one says why and leaves nothing loaded. The
// integrity checks on any image content are fuzz_srecord's: summing a loaded image
// here would cost up to 128K words an input. Regression inputs live in
// corpus/appended_image/.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "loader/image.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_appended_image: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static loader::FirmwareImage* const image = new loader::FirmwareImage;
  const loader::AppendedImageResult result = loader::LoadAppendedImage(data, size, *image);
  switch (result.status) {
    case loader::AppendedImageStatus::Loaded: {
      if (image->ImageLength != result.length || image->ImageLength > loader::kImageSize ||
          !image->ApplicationBlock ||
          std::uint64_t{*image->ApplicationBlock} + loader::checksum_block::kSize >
              image->ImageLength)
        Fail("a loaded image outside its bounds");
      if (!image->Version()) Fail("a loaded image without a version record");
      break;
    }
    case loader::AppendedImageStatus::Invalid:
      if (result.error.empty()) Fail("a refused image without a text");
      [[fallthrough]];
    case loader::AppendedImageStatus::NoImage:
      if (image->ImageLength != 0 || image->ApplicationBlock) Fail("a refused image kept");
      break;
    case loader::AppendedImageStatus::CannotOpen:
      Fail("memory that cannot be opened");
  }
  return 0;
}
