// Fuzzes the S-Record reader and the integrity checks behind it. An input that starts
// with 'S' is an S-Record file, read from memory and, when the reader takes it,
// checked. Any other input reaches the checks directly: byte 1 to 3 an address
// (big-endian), 4 to 7 the length read (little-endian), the rest the bytes stored
// there in a cleared image; the checks must then answer without reading outside the
// image. Regression inputs live in corpus/srecord/.
//
// One image serves every input: after each, only what the input changed is cleared
// again, so an input costs what it reads, not a 256 KiB clear.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "loader/image.h"
#include "platform/bytes.h"

namespace {

using loader::kImageSize;

loader::FirmwareImage& ClearedImage() {
  static loader::FirmwareImage* const image = [] {
    auto* made = new loader::FirmwareImage;
    made->ClearImage();
    return made;
  }();
  return *image;
}

// ClearImage's content again over [from, to).
void Reclear(loader::FirmwareImage& image, std::uint32_t from, std::uint32_t to) {
  to = std::min(to, kImageSize);
  if (from >= to) return;
  std::memset(image.ImageBuffer.data() + from, 0xFF, to - from);
  for (std::uint32_t page = from & ~0xFFFu; page < std::min(to, loader::kApplicationBlockAddress);
       page += 0x1000)
    if (page >= from) image.ImageBuffer[page] = 0;
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_srecord: %s\n", what);
  std::abort();
}

void Check(loader::FirmwareImage& image) {
  static std::FILE* const notes = std::fopen("/dev/null", "w");
  const char* problem = image.CheckImage(notes);
  if (problem != nullptr && *problem == '\0') Fail("an empty problem text");
  // A sound image's stated length is what was read, and lies inside the image.
  if (problem == nullptr && (image.ImageLength == 0 || image.ImageLength > kImageSize))
    Fail("a sound image of impossible length");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  loader::FirmwareImage& image = ClearedImage();
  std::uint32_t from = kImageSize, to = 0;
  if (size > 0 && data[0] == 'S') {
    const char* error = image.ReadSRecord(data, size, "fuzz.a37");
    from = image.ReadFrom;
    to = image.ImageLength;
    if (to > kImageSize || (from < kImageSize && from >= to)) Fail("a read extent out of order");
    if (error == nullptr) {
      Check(image);
    } else if (std::strstr(error, "fuzz.a37") == nullptr) {
      Fail("a reader's text that does not name the file");
    }
  } else if (size >= 8) {
    from = (std::uint32_t{data[1]} << 16 | std::uint32_t{data[2]} << 8 | data[3]) % kImageSize;
    const std::size_t count = std::min<std::size_t>(size - 8, kImageSize - from);
    std::copy_n(data + 8, count, image.ImageBuffer.begin() + from);
    to = from + static_cast<std::uint32_t>(count);
    image.ImageLength = platform::ReadLE32(data + 4);
    Check(image);
  }
  Reclear(image, from, to);
  return 0;
}
