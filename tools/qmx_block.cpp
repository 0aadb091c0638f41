// qmx's own reads of the unit's shared block: the header words no export of the
// library gives yet, and the unit's PayStatus word beside the library's answer.
#include <cstdint>
#include <string>

#include "interface/block_layout.h"
#include "platform/bytes.h"
#include "platform/shared_memory.h"
#include "tools/qmx.h"

namespace qmx_tool {

Header ReadHeader(const Options& options) {
  namespace layout = tarvex::block_layout;
  Header header;
  platform::SharedMemoryError error;
  const std::string name =
      std::string(layout::kMappingName) + (options.bySerial ? options.serial : "");
  platform::SharedMemory block =
      platform::SharedMemory::OpenExisting(name, layout::kMappingSize, &error);
  if (!block.valid()) {
    if (error.accessDenied) {
      header.refused = "the unit's block \"" + name + "\" is not open to this account (" +
                       error.text + "): the account must be in the block's group";
    }
    return header;
  }
  const std::uint8_t* base = block.data();
  header.mapped = true;
  header.level =
      static_cast<std::int32_t>(platform::LoadSharedWord(base + layout::header::kFirmwareLevel));
  header.versionWord = platform::LoadSharedWord(base + layout::header::kFirmwareVersionWord);
  auto text = [&](std::size_t at) {
    std::string out;
    for (std::size_t i = 0; i < layout::header::kTextSize; ++i) {
      const char c = static_cast<char>(platform::LoadSharedByte(base + at + i));
      if (c == '\0') break;
      out.push_back(c);
    }
    return out;
  };
  header.compileDate = text(layout::header::kCompileDate);
  header.compileTime = text(layout::header::kCompileTime);
  header.driverState = platform::LoadSharedWord(base + layout::header::kDriverState);
  return header;
}

// The unit's own PayStatus word, read from its block: the library's LastPayStatus
// also answers 0 ("under way") while the unit is idle short of a target, which
// cannot tell a running payout from a stale target. False when the block cannot be
// read (no mapping, no magic, areas outside it, or a unit that never settles).
bool ReadUnitPayStatus(const Options& options, std::uint32_t* payStatus) {
  namespace layout = tarvex::block_layout;
  using layout::status::kEndCount, layout::status::kPayStatus, layout::status::kStartCount;
  platform::SharedMemoryError error;
  const std::string name =
      std::string(layout::kMappingName) + (options.bySerial ? options.serial : "");
  platform::SharedMemory block =
      platform::SharedMemory::OpenExisting(name, layout::kMappingSize, &error);
  if (!block.valid()) return false;
  const std::uint8_t* base = block.data();
  if (platform::LoadSharedWord(base + layout::header::kBlockMagic) != layout::kBlockMagic)
    return false;
  const std::uint32_t area = platform::LoadSharedWord(base + layout::header::kStatusAreaOffset);
  if (area == 0 || area % 4 != 0 || std::uint64_t{area} + kPayStatus + 4 > block.size())
    return false;
  // End count, the word, start count: again while the unit is mid-update, a bounded
  // number of times.
  for (int round = 0; round < 100000; ++round) {
    const std::uint32_t end = platform::LoadSharedWord(base + area + kEndCount);
    *payStatus = platform::LoadSharedWord(base + area + kPayStatus);
    if (platform::LoadSharedWord(base + area + kStartCount) == end) return true;
  }
  return false;
}

}  // namespace qmx_tool
