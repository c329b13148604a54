#include "batch.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <span>

#include "../boolmat/bitvec.hpp"
#include "zeta_solve.hpp"

namespace bmf {

using boolmat::BitMatrix;
using boolmat::BitVec;
using boolmat::Word;

RowClasses RowClasses::of(const BitMatrix& m) {
    const std::size_t rows = m.rows();
    std::vector<std::uint64_t> hash(rows);
    for (std::size_t i = 0; i < rows; ++i) {
        std::uint64_t h = 0;
        for (const Word w : m.row(i)) h = (h ^ w) * 0x9E3779B97F4A7C15ull + (h >> 29);
        hash[i] = h;
    }
    // Equal rows end up adjacent, in increasing row order within a run.
    std::vector<std::size_t> order(rows);
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto less = [&](std::size_t a, std::size_t b) {
        if (hash[a] != hash[b]) return hash[a] < hash[b];
        const auto ra = m.row(a), rb = m.row(b);
        const int cmp = std::memcmp(ra.data(), rb.data(), ra.size_bytes());
        return cmp != 0 ? cmp < 0 : a < b;
    };
    std::sort(order.begin(), order.end(), less);
    RowClasses d;
    d.class_of.resize(rows);
    for (std::size_t k = 0; k < rows; ++k) {
        const std::size_t i = order[k];
        const bool same = k > 0 && hash[i] == hash[order[k - 1]] &&
                          std::equal(m.row(i).begin(), m.row(i).end(), m.row(order[k - 1]).begin());
        if (!same) {
            d.first.push_back(i);
            d.size.push_back(0);
        }
        d.class_of[i] = d.first.size() - 1;
        ++d.size.back();
    }
    return d;
}

namespace {

// `vectors` with its columns reordered: column k of the result is column
// order[k] of `vectors`, computed from its transpose by moving whole rows.
BitMatrix columns_in_order(const BitMatrix& vectors_t, std::span<const std::size_t> order) {
    BitMatrix moved = BitMatrix::zeros(vectors_t.rows(), vectors_t.cols());
    for (std::size_t k = 0; k < order.size(); ++k) moved.set_row(k, vectors_t.row(order[k]));
    return moved.transpose();
}

}  // namespace

BatchResult solve_classes(const BoolLs& solver, Method method, std::uint64_t seed,
                          const BitMatrix& vectors, const BitMatrix& vectors_t,
                          const RowClasses& classes) {
    const std::size_t n = classes.first.size();
    std::vector<std::uint64_t> solutions(n);
    std::uint64_t total = 0;
    const auto keep = [&](std::size_t c, const Solution& s) {
        solutions[c] = s.h;
        total += s.error * classes.size[c];
    };
    if (method != Method::Zeta) {
        for (std::size_t c = 0; c < n; ++c)
            keep(c, solver.solve_seeded(BitVec::from_words(vectors.row(classes.first[c]), solver.m()),
                                        method, seed));
        return {std::move(solutions), total};
    }
    const ZetaTable table = solver.zeta_table();
    ZetaScratch scratch;
    // With few distinct patterns among many rows, a vector laid out in
    // pattern order gives each pattern's count by one population count.
    if (table.r <= kZetaBlockBits) {
        const PatternGroups groups = PatternGroups::of(table.row_patterns);
        if (groups.patterns.size() * 4 <= solver.m()) {
            const BitMatrix ordered = columns_in_order(vectors_t, groups.order);
            for (std::size_t c = 0; c < n; ++c)
                keep(c, zeta_solve_grouped(table, groups, ordered.row(classes.first[c]), scratch));
            return {std::move(solutions), total};
        }
    }
    for (std::size_t c = 0; c < n; ++c)
        keep(c, zeta_solve(table, vectors.row(classes.first[c]), scratch));
    return {std::move(solutions), total};
}

void store_solutions(const BatchResult& solved, const RowClasses& classes, BitMatrix& out) {
    for (std::size_t i = 0; i < classes.class_of.size(); ++i) {
        const Word word = solved.solutions[classes.class_of[i]];
        out.set_row(i, std::span<const Word>(&word, 1));
    }
}

}  // namespace bmf
