// Test helper: random solver inputs of varied density.
#pragma once

#include <random>

#include "boolmat/bitvec.hpp"

// A vector of m bits whose density is drawn from {0, 1/4, 1/2, 3/4, 1}.
inline boolmat::BitVec random_x(std::mt19937_64& g, std::size_t m) {
    boolmat::BitVec x = boolmat::BitVec::zeros(m);
    const unsigned density = g() % 5;
    for (std::size_t i = 0; i < m; ++i) x.set(i, g() % 4 < density);
    return x;
}
