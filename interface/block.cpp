// SharedBlock: bounded, atomic access to the shared interface block, and the store
// and attach rules. Nothing here trusts a number read from the block.
#include "interface/block.h"

#include <cstdint>
#include <limits>

#include "platform/bytes.h"

namespace qmx {

SharedBlock::SharedBlock(std::uint8_t* base, std::size_t size) {
  if (base == nullptr || reinterpret_cast<std::uintptr_t>(base) % 4 != 0) return;
  base_ = base;
  size_ = size;
}

bool SharedBlock::TakeAreas() {
  status_ = Link(Load(header::kStatusAreaOffset), status::kSize);
  command_ = Link(Load(header::kCommandAreaOffset), command::kSize);
  if (HasAreas()) return true;
  ForgetAreas();
  return false;
}

bool SharedBlock::WordInside(std::uint64_t offset) const {
  return base_ != nullptr && offset % 4 == 0 && size_ >= 4 && offset <= size_ - 4;
}

std::uint32_t SharedBlock::Load(std::uint64_t offset) const {
  if (!WordInside(offset)) return 0;
  return platform::LoadSharedWord(base_ + static_cast<std::size_t>(offset));
}

void SharedBlock::Store(std::uint64_t offset, std::uint32_t value) {
  if (!WordInside(offset)) return;
  platform::StoreSharedWord(base_ + static_cast<std::size_t>(offset), value);
}

std::uint32_t SharedBlock::LoadStatus(std::uint32_t field) const {
  return status_ == 0 ? 0 : Load(std::uint64_t{status_} + field);
}

std::uint32_t SharedBlock::LoadCommand(std::uint32_t field) const {
  return command_ == 0 ? 0 : Load(std::uint64_t{command_} + field);
}

std::uint32_t SharedBlock::Link(std::uint32_t stored, std::uint32_t span) const {
  if (base_ == nullptr || stored == 0 || stored % 4 != 0) return 0;
  if (std::uint64_t{stored} + span > size_) return 0;
  return stored;
}

std::uint32_t SharedBlock::MaxEntries(std::uint32_t span) const {
  if (span == 0) return 0;
  const std::uint64_t fit = size_ / span;
  return fit > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                         : static_cast<std::uint32_t>(fit);
}

std::uint32_t SharedBlock::EntryAt(std::uint32_t first, std::int32_t index,
                                   std::uint32_t span) const {
  std::uint32_t entry = Link(first, span);
  if (entry == 0 || index <= 0) return entry;
  // A list longer than the block can hold has run into a circle: there is no such entry.
  if (static_cast<std::uint32_t>(index) >= MaxEntries(span)) return 0;
  for (std::int32_t step = 0; step < index && entry != 0; ++step) entry = Link(Load(entry), span);
  return entry;
}

const char* SharedBlock::Text(std::uint32_t stored) const {
  if (base_ == nullptr || stored == 0 || stored >= size_) return nullptr;
  for (std::size_t at = stored; at < size_; ++at) {
    if (platform::LoadSharedByte(base_ + at) == 0)
      return reinterpret_cast<const char*>(base_ + stored);
  }
  return nullptr;
}

std::size_t SharedBlock::CopyOut(std::uint64_t offset, void* out, std::size_t count) const {
  if (base_ == nullptr || offset >= size_) return 0;
  const std::size_t start = static_cast<std::size_t>(offset);
  const std::size_t available = size_ - start;
  const std::size_t copied = count < available ? count : available;
  auto* bytes = static_cast<std::uint8_t*>(out);
  for (std::size_t i = 0; i < copied; ++i) bytes[i] = platform::LoadSharedByte(base_ + start + i);
  return copied;
}

bool SharedBlock::VerifiedStore(std::uint64_t offset, std::uint32_t value) {
  if (!WordInside(offset)) return false;
  for (std::uint32_t attempt = 0; attempt < kVerifiedStoreLimit; ++attempt) {
    Store(offset, value);
    if (observer_ != nullptr) observer_(observerContext_, *this, offset);
    if (Load(offset) == value) return true;
  }
  SwitchOff();
  return false;
}

bool SharedBlock::StoreIfUnchanged(std::uint64_t offset, std::uint32_t expected,
                                   std::uint32_t value) {
  if (!WordInside(offset)) return false;
  return platform::CompareExchangeSharedWord(base_ + static_cast<std::size_t>(offset), &expected,
                                             value);
}

void SharedBlock::SwitchOff() {
  if (command_ == 0) return;
  const std::uint64_t enabled = std::uint64_t{command_} + command::kInterfaceEnabled;
  for (std::uint32_t attempt = 0; attempt < kVerifiedStoreLimit; ++attempt) {
    Store(enabled, 0);
    if (observer_ != nullptr) observer_(observerContext_, *this, enabled);
    if (Load(enabled) == 0) return;
  }
}

std::int32_t SharedBlock::AddAttachment() {
  if (command_ == 0) return 0;
  std::uint8_t* word = base_ + command_ + command::kAttachCount;
  return static_cast<std::int32_t>(platform::FetchAddSharedWord(word, 1) + 1);
}

std::int32_t SharedBlock::DropAttachment() {
  if (command_ == 0) return 0;
  std::uint8_t* word = base_ + command_ + command::kAttachCount;
  std::uint32_t seen = platform::LoadSharedWord(word);
  // The exchange fails only when another process changed the count in between; it
  // then holds the newer count and the next round decides again.
  for (std::uint32_t attempt = 0; attempt < kVerifiedStoreLimit; ++attempt) {
    // A count at 0 or below (the unit set its block up again) has nobody left to
    // count: the count stays, and this detach is not taken for the last one.
    if (static_cast<std::int32_t>(seen) <= 0) return -1;
    if (platform::CompareExchangeSharedWord(word, &seen, seen - 1))
      return static_cast<std::int32_t>(seen - 1);
  }
  return static_cast<std::int32_t>(seen);
}

}  // namespace qmx
