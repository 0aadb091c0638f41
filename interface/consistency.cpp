// ZELTIConsistencyError: one snapshot per call (the accepted value, and per acceptor
// kind the coins counted and their value), compared with the previous call's.
// Totals are the unit's 32-bit words: differences wrap rather than overflow.
#include "interface/consistency.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace qmx {
namespace {

constexpr const char* kNotInitialised = "Interface not initialised";
// A unit whose counts never settle gives no snapshot to compare.
constexpr const char* kNotFunctional = "ZELTI not functional";
constexpr std::uint32_t kCoinAcceptorCode = 0x02;  // top byte of the unit code

std::int32_t Signed(std::uint32_t word) {
  return static_cast<std::int32_t>(word);
}

// The acceptor lists walked: every list bounded by what the block can hold, and an
// acceptor's coins by its own count. The coins of all acceptors together are bounded
// by what the block can hold too: each acceptor's own bound alone lets circular lists
// cost the product of the two (some 800,000 entries a look in a whole block), and a
// stalled unit repeats the look 100,000 times.
void Walk(const SharedBlock& block, ConsistencySnapshot* shot) {
  shot->CurrentValue = block.LoadStatus(status::kCurrentValueWord);
  shot->AcceptorCount = shot->Coins = shot->Notes = shot->TotalValue = 0;
  const std::uint32_t acceptors = block.MaxEntries(acceptor::kSize);
  std::uint32_t coinsLeft = block.MaxEntries(coin::kSize);
  std::uint32_t entry = block.Link(block.LoadStatus(status::kAcceptorListOffset), acceptor::kSize);
  for (std::uint32_t n = 0; n < acceptors && entry != 0; ++n) {
    ++shot->AcceptorCount;
    const bool coins = (block.Load(std::uint64_t{entry} + acceptor::kUnitCode) >> 24) ==
                       kCoinAcceptorCode;
    const std::int32_t count = Signed(block.Load(std::uint64_t{entry} + acceptor::kCoinCount));
    const std::uint32_t limit =
        count <= 0 ? 0 : std::min<std::uint32_t>(static_cast<std::uint32_t>(count), coinsLeft);
    std::uint32_t at = block.Link(block.Load(std::uint64_t{entry} + acceptor::kFirstCoin), coin::kSize);
    for (std::uint32_t c = 0; c < limit && at != 0; ++c, --coinsLeft) {
      const std::uint32_t accepted = block.Load(std::uint64_t{at} + coin::kCount);
      shot->TotalValue += accepted * block.Load(std::uint64_t{at} + coin::kValue);
      (coins ? shot->Coins : shot->Notes) += accepted;
      at = block.Link(block.Load(at), coin::kSize);
    }
    entry = block.Link(block.Load(entry), acceptor::kSize);
  }
}

// elapsed / per + 1, as the text's number; a time of 0 or less counts as 1 ms.
std::int64_t Allowed(std::int64_t elapsedMs, std::int32_t perItemMs) {
  return elapsedMs / (perItemMs > 0 ? perItemMs : 1) + 1;
}

long AsLong(std::int64_t value) {
  // "%ld" is 32 bits wide on Windows: clamp rather than print a wrapped number.
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<long>(value);
}

}  // namespace

const char* ZELTIConsistencyError(LibraryState& library, std::int32_t coinMilliseconds,
                                  std::int32_t noteMilliseconds) {
  if (!library.IsOpen()) return kNotInitialised;
  ConsistencyState& state = library.Consistency;
  char* text = state.Text;
  text[0] = '\0';
  ConsistencySnapshot now;
  if (!library.Block.ConsistentRead([&] { Walk(library.Block, &now); })) return kNotFunctional;

  platform::Clock& clock = *library.Clock;
  if (state.TicksPerMs == 0) {
    state.TicksPerMs = clock.Frequency() / 1000;
    if (state.TicksPerMs <= 0) state.TicksPerMs = 1;
  }
  now.Time = clock.Counter();
  now.Valid = true;
  const ConsistencySnapshot& before = state.Previous;
  if (before.Valid && before.AcceptorCount == now.AcceptorCount) {
    std::int64_t elapsed = (now.Time - before.Time) / state.TicksPerMs;
    if (elapsed < 0) elapsed = 0;
    const std::int32_t d = Signed(now.CurrentValue - before.CurrentValue);
    const std::int32_t t = Signed(now.TotalValue - before.TotalValue);
    const std::int32_t c = Signed(now.Coins - before.Coins);
    const std::int32_t n = Signed(now.Notes - before.Notes);
    const std::int64_t coins = Allowed(elapsed, coinMilliseconds);
    const std::int64_t notes = Allowed(elapsed, noteMilliseconds);
    const std::size_t room = sizeof state.Text;
    if (d < 0)
      std::snprintf(text, room, "CurrentValue decremented by %ld", AsLong(-std::int64_t{d}));
    else if (d != t)
      std::snprintf(text, room, "CurrentValue increment %ld, but acceptors show %ld", AsLong(d),
                    AsLong(t));
    else if (c > coins)
      std::snprintf(text, room, "%ld coins read, but only time for %ld", AsLong(c), AsLong(coins));
    else if (n > notes)
      std::snprintf(text, room, "%ld notes read, but only time for %ld", AsLong(n), AsLong(notes));
  }
  state.Previous = now;
  return text[0] != '\0' ? text : nullptr;
}

}  // namespace qmx
