// Half-steps solved by the exact search: the Search and Auto strategies of a
// "zeta" half-step, and a half-step without any table that runs at every
// rank up to 64 under a node budget per vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "boolmat/view.hpp"
#include "bmf_core/table/boolls.hpp"
#include "bmf_core/exact/exact_search.hpp"
#include "bmf_core/alternating/half_step.hpp"

namespace bmf {

// What a half-step by search alone found.
struct SearchStep {
    std::uint64_t total = 0;              // error summed over all rows
    std::vector<std::size_t> unfinished;  // classes of the block whose search ran out
};

// Solves every row of `block` (each of search.m() bits) by the search, at
// most `node_budget` nodes per class, writes row i's combination as the one
// word of row i of `out` (block rows x search.r()) and returns the total
// error with the classes whose search ran out: their rows hold the best
// combination met, whose exact error the total counts. Checks the shapes
// first.
SearchStep search_half_step(const ExactSearch& search, const VectorBlock& block,
                            std::uint64_t node_budget, boolmat::BitViewMut out);

// Fills solutions[c] with the lowest optimal combination of class c of
// `block` under `strategy` (Search, or Auto with the table of `solver` for
// what the chooser leaves to it) and returns the total error over all rows.
// The unchecked room behind half_step.
std::uint64_t solve_classes_exactly(const BoolLs& solver, const VectorBlock& block,
                                    ExactStrategy strategy, std::span<std::uint64_t> solutions);

}  // namespace bmf
