// The seeded generator shared by the "greedy-ls" local search and the initial
// column choice of ao_bmf: Knuth's MMIX 64-bit linear congruential step, each
// draw yielding the top 31 bits of the new state.
#pragma once

#include <cstdint>

namespace bmf {

inline constexpr std::uint64_t kLcgMultiplier = 6364136223846793005ULL;
inline constexpr std::uint64_t kLcgIncrement = 1442695040888963407ULL;

// Advances `state` once and returns state >> 33.
inline std::uint64_t lcg_draw(std::uint64_t& state) {
    state = state * kLcgMultiplier + kLcgIncrement;
    return state >> 33;
}

}  // namespace bmf
