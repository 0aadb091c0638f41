// The shared interface block's layout as Flashwright, Qmxzelti and the tools see it:
// name, size, magic, the header's fields and the driver area. Header only, so the
// loader includes it without linking the library.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvex::block_layout {

// The mapping is this name followed by the unit's serial number ("" for the first unit).
inline constexpr const char* kMappingName = "QMXZELTI mapped file";
inline constexpr std::size_t kMappingSize = 0xB000;
// BlockMagic. The firmware image marks its checksum blocks and trailer with the same word.
inline constexpr std::uint32_t kBlockMagic = 0xAA8D4A8C;

// Byte offsets of the header and the driver area, from the start of the block.
namespace header {
inline constexpr std::uint32_t kBlockMagic = 0;
inline constexpr std::uint32_t kBlockFormat = 4;
inline constexpr std::uint32_t kFirmwareLevel = 8;
inline constexpr std::uint32_t kFirmwareVersionWord = 12;
inline constexpr std::uint32_t kStatusAreaOffset = 16;
inline constexpr std::uint32_t kCommandAreaOffset = 20;
inline constexpr std::uint32_t kUnitSerialNumber = 36;
inline constexpr std::uint32_t kPayoutBase = 44;
inline constexpr std::uint32_t kCompileDate = 48;
inline constexpr std::uint32_t kCompileTime = 64;
inline constexpr std::uint32_t kTextSize = 16;  // each compile text, zero-padded
inline constexpr std::uint32_t kDriverAreaMagic = 0x2000;
inline constexpr std::uint32_t kDriverState = 0x2004;
}  // namespace header

// The StatusArea words the tools read directly (offsets from StatusAreaOffset): the
// counter pair and the unit's own payout state.
namespace status {
inline constexpr std::uint32_t kStartCount = 0;
inline constexpr std::uint32_t kEndCount = 4;
inline constexpr std::uint32_t kPayStatus = 856;
}  // namespace status

// DriverState while Flashwright holds the unit (0: the driver runs it).
inline constexpr std::uint32_t kDriverStateFlashwright = 2;

}  // namespace tarvex::block_layout
