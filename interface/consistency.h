// The consistency check: the unit's money reports between two calls compared with
// what its acceptor lists and the time passed allow.
#pragma once

#include <cstdint>

#include "interface/library.h"

namespace qmx {

// Null when nothing implausible happened since the previous call; else the text of
// the first rule broken, in library.Consistency (overwritten by the next call).
const char* ZELTIConsistencyError(LibraryState& library, std::int32_t coinMilliseconds,
                                  std::int32_t noteMilliseconds);

}  // namespace qmx
