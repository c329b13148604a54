// Classes of equal rows: a hash per row, then a sort that compares words
// only between rows of equal hash. O(rows x words) hashing plus the sort.
#include "bmf_core/vector_block.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "boolmat/precondition.hpp"

namespace bmf {

using boolmat::BitView;
using boolmat::BitViewMut;
using boolmat::Word;

RowClasses RowClasses::of(BitView m) {
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
                          std::ranges::equal(m.row(i), m.row(order[k - 1]));
        if (!same) {
            d.first.push_back(i);
            d.size.push_back(0);
        }
        d.class_of[i] = d.first.size() - 1;
        ++d.size.back();
    }
    return d;
}

VectorBlock::VectorBlock(BitView vectors) : vectors_(vectors), classes_(RowClasses::of(vectors)) {}

VectorBlock::VectorBlock(BitView vectors, BitView transposed)
    : vectors_(vectors), transposed_(transposed) {
    if (transposed.rows() != vectors.cols() || transposed.cols() != vectors.rows()) {
        boolmat::fail(boolmat::FailKind::Shape,
                      boolmat::cat("la transposée a ", transposed.rows(), "x", transposed.cols(),
                                   " cellules, le bloc ", vectors.rows(), "x", vectors.cols()));
    }
    classes_ = RowClasses::of(vectors);
}

void check_half_step_shapes(std::size_t rows, std::size_t bits, std::uint64_t m, std::uint64_t r,
                            BitViewMut out) {
    boolmat::assert_eq(bits, m, [&] {
        return boolmat::cat("les vecteurs ont ", bits, " bits, W a ", m, " lignes");
    });
    if (out.rows() != rows || out.cols() != r) {
        boolmat::fail(boolmat::FailKind::Shape,
                      boolmat::cat("la sortie est ", out.rows(), "x", out.cols(), ", il faut ",
                                   rows, "x", r));
    }
}

}  // namespace bmf
