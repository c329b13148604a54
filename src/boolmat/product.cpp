// Boolean product A∘B, row by row: row i of the result is the OR of B's rows
// j for the set cells (i, j) of A. Sparse rows of A walk their set bits,
// O(ones(row) x stride(B)) word ORs; dense rows go through the Four Russians
// tables, O(rows(B) / 8 x stride(B)) word ORs per row plus the tables.
#include <bit>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "bitmatrix.hpp"
#include "kernels.hpp"
#include "precondition.hpp"
#include "product_kernels.hpp"

namespace boolmat {

namespace {

// Column of the first set cell of A at or beyond column `limit`, scanning rows
// in order; a.cols() when there is none.
std::size_t first_set_column_from(const BitMatrix& a, std::size_t limit) {
    if (limit >= a.cols()) return a.cols();
    const std::size_t first_word = word_of(limit);
    const Word first_mask = limit % kWordBits == 0 ? ~Word{0} : ~row_mask(limit);
    for (std::size_t i = 0; i < a.rows(); ++i) {
        const std::span<const Word> row = a.words().subspan(i * a.stride(), a.stride());
        for (std::size_t k = first_word; k < row.size(); ++k) {
            const Word bits = k == first_word ? row[k] & first_mask : row[k];
            if (bits != 0) return k * kWordBits + static_cast<std::size_t>(std::countr_zero(bits));
        }
    }
    return a.cols();
}

}  // namespace

void accumulate_into(const BitMatrix& a, const BitMatrix& b, std::span<Word> out) {
    const std::size_t b_stride = b.stride();
    // Both range conditions are checked before out is touched.
    if (a.rows() > out.size() / b_stride)
        fail(cat("tampon de ", out.size(), " mots trop court (", a.rows(), " lignes de ", b_stride,
                 " mots)"));
    if (const std::size_t j = first_set_column_from(a, b.rows()); j < a.cols())
        fail(cat("ligne ", j, " de B hors limites (rows = ", b.rows(), ")"));

    const kernels::ProductOperands p{a.words().data(), a.stride(), b.words().data(), b.rows(),
                                     b_stride,          row_mask(b.cols()), out.data()};
    // A table entry stands for one group of 8 rows of B, a walk step for one
    // row: a row with more set bits than there are groups is cheaper through
    // the tables, which pay off once those rows save more steps than the 256
    // entries per group cost to build.
    const std::size_t groups = (b.rows() + 7) / 8;
    std::vector<std::size_t> dense;
    std::size_t saved_steps = 0;
    for (std::size_t i = 0; i < a.rows(); ++i) {
        const std::size_t ones = kernels::popcount_words(p.a + i * p.a_stride, p.a_stride);
        if (ones > groups) {
            dense.push_back(i);
            saved_steps += ones - groups;
        } else {
            kernels::or_selected_rows(p.out + i * b_stride, p.a + i * p.a_stride, p.a_stride, p.b,
                                      b_stride);
        }
    }
    if (dense.empty()) return;
    if (saved_steps > 256 * groups) {
        const std::size_t bytes = kernels::table_scratch_words() * sizeof(Word);
        const std::unique_ptr<Word[], decltype(&std::free)> tables(
            static_cast<Word*>(std::aligned_alloc(64, bytes)), &std::free);
        if (!tables) throw std::bad_alloc();
        kernels::or_rows_by_tables(p, dense, tables.get());
        return;
    }
    for (const std::size_t i : dense)
        kernels::or_selected_rows(p.out + i * b_stride, p.a + i * p.a_stride, p.a_stride, p.b,
                                  b_stride);
}

BitMatrix product(const BitMatrix& a, const BitMatrix& b) {
    assert_eq(a.cols(), b.rows(), [&] {
        return cat("dimensions incompatibles : A est ", a.rows(), "x", a.cols(), ", B est ",
                   b.rows(), "x", b.cols());
    });
    BitMatrix c = BitMatrix::zeros(a.rows(), b.cols());
    accumulate_into(a, b, c.words_mut());
    return c;
}

}  // namespace boolmat
