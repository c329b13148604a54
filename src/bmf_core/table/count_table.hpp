// CountTable: 2^r counters indexed by r-bit row patterns. A solver keeps one
// (the subset sums of its row-pattern counts) for its lifetime; a "zeta"
// solve counts a vector's rows into one of its own, in its Scratch, block
// by block. The memory promise that covers both is in boolmat/memory.hpp.
#pragma once

#include <cstdint>

#include "boolmat/memory.hpp"

namespace bmf {

using CountTable = boolmat::OwnedArray<std::uint32_t>;

}  // namespace bmf
