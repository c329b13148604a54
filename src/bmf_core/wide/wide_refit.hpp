// Exact refit of a block of b columns of every combination, the other
// columns held fixed. Rows that the fixed columns already cover are
// predicted 1 whatever the block does, so they add a constant (their zeros
// of x); over the uncovered rows the block is an exact table problem: with
// D[p] = (ones - zeros of x among uncovered rows of block pattern p), the
// error of block combination g is zeros(uncovered) + Σ_{p ∩ g = ∅} D[p],
// read off the subset sums of D at the complement of g. Only the block's
// columns that meet an uncovered one of x can help, so the table is built
// over those a <= b columns alone.
//
// With weights, a false one costs false_one and a false zero false_zero:
// the constant is false_one x the covered zeros, D[p] becomes false_zero x
// ones - false_one x zeros, and the table holds 64-bit sums when
// max(false_one, false_zero) x m reaches 2^31 (32-bit ones otherwise).
//
// Under a mask only the observed positions (mask bit 1) count: covered
// observed zeros are the constant, the table runs over the observed
// uncovered rows, and a vector with no observed position has error 0 and
// takes block combination 0.
//
// Cost per vector: popcount(fixed) + a word-ORs of m/64 words, at most eight
// table adds per uncovered row that meets the block, and a·2^a additions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bmf_core/wide/wide.hpp"

namespace bmf {

// Widest block an exact refit takes: a table of 2^24 32-bit entries (64 MiB).
inline constexpr std::size_t kMaxRefitBlock = 24;

// Replaces bits begin .. end - 1 of row v of `combinations` (vectors.rows()
// x solver.k()) by the block combination that minimises row v of `vectors`
// against W with the other bits fixed, the lowest such on ties (so no
// vector's error grows), and returns the total error of the new combinations.
std::uint64_t refit_block(const WideLs& solver, BitView vectors, std::size_t begin, std::size_t end,
                          BitViewMut combinations);

// The same counting only the positions where row v of `masks` (the shape of
// `vectors`, 1 = observed) has a 1; with every mask bit 1 it gives the
// unmasked refit's combinations and total bit for bit. Fails with "les
// masques ont {}x{} cellules, les vecteurs {}x{}" when the shapes differ,
// then as the unmasked refit_block. Costs as the unmasked refit plus three
// word passes per vector.
std::uint64_t refit_block(const WideLs& solver, BitView vectors, BitView masks, std::size_t begin,
                          std::size_t end, BitViewMut combinations);

// Both refits minimising the weighted error instead, each vector with
// costs.weights(solver.m()) (the lowest block combination of least weighted
// error), returning the total weighted error; unit costs give the refits
// above.
std::uint64_t refit_block(const WideLs& solver, BitView vectors, std::size_t begin, std::size_t end,
                          BitViewMut combinations, const Costs& costs);
std::uint64_t refit_block(const WideLs& solver, BitView vectors, BitView masks, std::size_t begin,
                          std::size_t end, BitViewMut combinations, const Costs& costs);

}  // namespace bmf
