// What a one-word solve returns: the answer of BoolLs, of the "zeta" kernels
// and of the masked solves, for ranks up to 64.
#pragma once

#include <cstdint>

namespace bmf {

// A combination and its exact error popcount(x XOR W∘h).
struct Solution {
    std::uint64_t h = 0;
    std::uint64_t error = 0;
    bool operator==(const Solution&) const = default;
};

}  // namespace bmf
