// A small PNG writer for the windows' pictures: 8-bit RGB, no compression (stored
// deflate blocks), so it needs no zlib and runs the same on every platform.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace loader::forms {

// Writes `rgb` (height rows of width pixels, three bytes each, top row first) to
// `path` as a PNG file. False when the size does not match the buffer or the file
// cannot be written.
bool WritePng(const std::string& path, std::uint32_t width, std::uint32_t height,
              std::span<const std::uint8_t> rgb);

}  // namespace loader::forms
