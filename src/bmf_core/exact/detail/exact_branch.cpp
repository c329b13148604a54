// Greedy selection and branch and bound over bit-sliced pattern gains.
// Cost: one node is one pass over the alive words of its prefix, with
// 2 x planes population counts per non-empty word; greedy is r^2 such passes.
#include "bmf_core/exact/detail/exact_branch.hpp"

#include <bit>

#include "boolmat/detail/bits.hpp"

namespace bmf::detail::exact {

namespace {

constexpr std::uint64_t bit(int c) { return std::uint64_t{1} << c; }

// The summed |gain| of the patterns of `set`, one word of them whose planes
// start at `plane`.
[[gnu::always_inline]] inline std::int64_t weight(Word set, const Word* plane, unsigned bits) {
    std::int64_t sum = 0;
    for (unsigned b = 0; b < bits; ++b)
        sum += static_cast<std::int64_t>(std::popcount(set & plane[b])) << b;
    return sum;
}

// The summed |gain| of the patterns lo .. hi - 1 that are in `set`.
[[gnu::always_inline]] inline std::int64_t range_weight(const Problem& p, const Word* set,
                                                        std::size_t lo, std::size_t hi) {
    if (lo >= hi) return 0;
    const std::size_t first = boolmat::word_of(lo), last = boolmat::word_of(hi - 1);
    std::int64_t sum = 0;
    for (std::size_t k = first; k <= last; ++k) {
        Word w = set[k];
        if (k == first) w &= ~Word{0} << boolmat::bit_of(lo);
        if (k == last) w &= boolmat::row_mask(hi - k * boolmat::kWordBits);
        if (w != 0) sum += weight(w, p.planes + k * p.bits, p.bits);
    }
    return sum;
}

// The gains of the alive patterns that contain a column: what putting it in
// wins (positive patterns) and loses (negative ones).
struct Cover {
    std::int64_t won;
    std::int64_t lost;
};

// Sums the cover of column c over the first `words` words of the alive sets;
// when `out_words` > 0 also writes the sets without that cover (the alive
// sets after putting c in) to out_pos and out_neg, over out_words words.
[[gnu::always_inline]] inline Cover cover_of(const Problem& p, int c, const Word* pos,
                                             const Word* neg, std::size_t words, Word* out_pos,
                                             Word* out_neg, std::size_t out_words) {
    const Word* column = p.cover + static_cast<std::size_t>(c) * p.words;
    Cover sum{0, 0};
    for (std::size_t k = 0; k < words; ++k) {
        const Word a = pos[k], b = neg[k], v = column[k];
        const Word* plane = p.planes + k * p.bits;
        if ((a & v) != 0) sum.won += weight(a & v, plane, p.bits);
        if ((b & v) != 0) sum.lost += weight(b & v, plane, p.bits);
        if (k < out_words) {
            out_pos[k] = a & ~v;
            out_neg[k] = b & ~v;
        }
    }
    return sum;
}

[[gnu::always_inline]] inline Incumbent greedy_body(const Problem& p, Word* work) {
    Word* pos = work;
    Word* neg = work + p.words;
    for (std::size_t k = 0; k < p.words; ++k) {
        pos[k] = p.pos[k];
        neg[k] = p.neg[k];
    }
    std::uint64_t h = 0;
    std::int64_t gain = 0;
    for (;;) {
        int chosen = -1;
        std::int64_t best = 0;
        for (int c = 0; c < static_cast<int>(p.r); ++c) {
            if ((p.allowed & ~h & bit(c)) == 0) continue;
            const std::size_t words = boolmat::words_for(p.ends[c]);
            const Cover cover = cover_of(p, c, pos, neg, words, nullptr, nullptr, 0);
            if (cover.won - cover.lost > best) {
                best = cover.won - cover.lost;
                chosen = c;
            }
        }
        if (chosen < 0) return {h, p.base - gain};
        const std::size_t words = boolmat::words_for(p.ends[chosen]);
        cover_of(p, chosen, pos, neg, words, pos, neg, words);
        h |= bit(chosen);
        gain += best;
    }
}

// A node: the columns above c are decided (h holds those put in), gain is
// what the patterns covered by h win, and bound adds the gains of the alive
// positive patterns that some column up to c still can cover. Every
// combination of the node's subtree is at least h and has an error of at
// least base - bound; h itself has base - gain.
struct Node {
    int c;
    std::int64_t gain;
    std::int64_t bound;
    std::uint64_t h;
    const Word* pos;  // alive patterns: not covered by h
    const Word* neg;
};

// Alive patterns whose lowest column is above c can no longer be covered, so
// a node only reads its prefix of ends[c] patterns. A node's alive sets are
// its parent's when c was left out, and level c - 1's buffers when c was put
// in: a subtree writes only to the buffers below its own level, so the
// levels pending on the stack are never overwritten.
[[gnu::always_inline]] inline Outcome search_body(const Problem& p, Incumbent& best, Word* levels,
                                                  std::uint64_t budget) {
    Word* level_pos[kMaxColumns];
    Word* level_neg[kMaxColumns];
    for (unsigned c = 0; c < p.r; ++c) {
        const std::size_t words = boolmat::words_for(p.ends[c]);
        level_pos[c] = levels;
        level_neg[c] = levels + words;
        levels += 2 * words;
    }
    const int top_column = static_cast<int>(p.r) - 1;
    Node stack[kMaxColumns];
    int depth = 0;
    Node node{top_column, 0, range_weight(p, p.pos, 0, p.ends[top_column]), 0, p.pos, p.neg};
    std::uint64_t nodes = 0;
    for (;;) {
        if (nodes == budget) return {nodes, false};
        ++nodes;
        const std::int64_t error = p.base - node.gain;
        if (error < best.error || (error == best.error && node.h < best.h)) best = {node.h, error};
        // The rest of the subtree lies above node.h, so an equal error there
        // never beats best, which is at most node.h by now.
        const std::int64_t lower = p.base - node.bound;
        if (node.c >= 0 && (lower < best.error || (lower == best.error && node.h < best.h))) {
            const int c = node.c;
            const std::size_t lo = c > 0 ? p.ends[c - 1] : 0;
            // Leaving c out loses the alive positive patterns whose last
            // chance c was.
            const std::int64_t stranded = range_weight(p, node.pos, lo, p.ends[c]);
            Cover in{0, 0};
            if ((p.allowed & bit(c)) != 0) {
                Word* out_pos = c > 0 ? level_pos[c - 1] : nullptr;
                Word* out_neg = c > 0 ? level_neg[c - 1] : nullptr;
                in = cover_of(p, c, node.pos, node.neg, boolmat::words_for(p.ends[c]), out_pos,
                              out_neg, boolmat::words_for(lo));
            }
            // Putting c in without winning anything only raises h; leaving it
            // out when putting it in loses nothing and saves a stranded
            // pattern always costs error.
            const bool put_in = in.won > 0;
            const bool leave_out = !(put_in && in.lost == 0 && stranded > 0);
            if (put_in) {
                stack[depth++] = Node{c - 1,
                                      node.gain + in.won - in.lost,
                                      node.bound - in.lost,
                                      node.h | bit(c),
                                      c > 0 ? level_pos[c - 1] : nullptr,
                                      c > 0 ? level_neg[c - 1] : nullptr};
            }
            if (leave_out) {
                node = Node{c - 1, node.gain, node.bound - stranded, node.h, node.pos, node.neg};
                continue;
            }
        }
        if (depth == 0) return {nodes, true};
        node = stack[--depth];
    }
}

}  // namespace

std::size_t level_words(const Problem& p) {
    std::size_t total = 0;
    for (unsigned c = 0; c < p.r; ++c) total += 2 * boolmat::words_for(p.ends[c]);
    return total;
}

Incumbent greedy_portable(const Problem& p, Word* work) { return greedy_body(p, work); }

BOOLMAT_TARGET_AVX2 Incumbent greedy_avx2(const Problem& p, Word* work) {
    return greedy_body(p, work);
}

Outcome branch_and_bound_portable(const Problem& p, Incumbent& best, Word* levels,
                                  std::uint64_t budget) {
    return search_body(p, best, levels, budget);
}

BOOLMAT_TARGET_AVX2 Outcome branch_and_bound_avx2(const Problem& p, Incumbent& best, Word* levels,
                                                  std::uint64_t budget) {
    return search_body(p, best, levels, budget);
}

const ExactKernels& exact_kernels(boolmat::Isa isa) {
    static constexpr ExactKernels portable{greedy_portable, branch_and_bound_portable};
    static constexpr ExactKernels avx2{greedy_avx2, branch_and_bound_avx2};
    return isa == boolmat::Isa::Avx2 ? avx2 : portable;
}

}  // namespace bmf::detail::exact
