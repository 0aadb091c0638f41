// Byte-order helpers, in one place: numbers inside firmware images are big-endian,
// everything the PC side exchanges (trailer, shared block, link records) is
// little-endian. Also the atomic word access for memory shared with another process.
#pragma once

#include <atomic>
#include <cassert>
#include <cstdint>

namespace platform {

inline std::uint16_t ReadBE16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t ReadBE32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}
inline std::uint16_t ReadLE16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t ReadLE32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}
inline void WriteBE16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
inline void WriteBE32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}
inline void WriteLE16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void WriteLE32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

// A 32-bit word in memory that another process reads and writes at the same time:
// always one atomic access, never a plain load or store the compiler may split or
// cache. Both our platforms are little-endian, so the native word is the block's.
inline std::uint32_t LoadSharedWord(const std::uint8_t* p) {
  assert(reinterpret_cast<std::uintptr_t>(p) % 4 == 0);
  std::atomic_ref<const std::uint32_t> word(*reinterpret_cast<const std::uint32_t*>(p));
  return word.load(std::memory_order_acquire);
}
inline void StoreSharedWord(std::uint8_t* p, std::uint32_t v) {
  assert(reinterpret_cast<std::uintptr_t>(p) % 4 == 0);
  std::atomic_ref<std::uint32_t> word(*reinterpret_cast<std::uint32_t*>(p));
  word.store(v, std::memory_order_release);
}
// Counters that several processes change: one atomic read-modify-write, so neither
// side loses the other's update. Returns the word as it was before.
inline std::uint32_t FetchAddSharedWord(std::uint8_t* p, std::uint32_t delta) {
  assert(reinterpret_cast<std::uintptr_t>(p) % 4 == 0);
  std::atomic_ref<std::uint32_t> word(*reinterpret_cast<std::uint32_t*>(p));
  return word.fetch_add(delta, std::memory_order_acq_rel);
}
// Stores `desired` only while the word still holds `*expected`; otherwise leaves the
// word and puts what it holds into `*expected`.
inline bool CompareExchangeSharedWord(std::uint8_t* p, std::uint32_t* expected,
                                      std::uint32_t desired) {
  assert(reinterpret_cast<std::uintptr_t>(p) % 4 == 0);
  std::atomic_ref<std::uint32_t> word(*reinterpret_cast<std::uint32_t*>(p));
  return word.compare_exchange_strong(*expected, desired, std::memory_order_acq_rel,
                                      std::memory_order_acquire);
}
// One byte of shared memory (texts the other side may be rewriting). Acquire, as the
// word loads are: a counter pair read after byte copies must not overtake them.
inline std::uint8_t LoadSharedByte(const std::uint8_t* p) {
  std::atomic_ref<const std::uint8_t> byte(*p);
  return byte.load(std::memory_order_acquire);
}

}  // namespace platform
