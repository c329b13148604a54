// Boolean product A∘B, row by row: row i of the result is the OR of B's rows
// j for the set cells (i, j) of A. Sparse rows of A walk their set bits,
// O(ones(row) x words(B)) word ORs; dense rows go through the Four Russians
// tables, O(rows(B) / 8 x words(B)) word ORs per row plus the tables. When
// B is so sparse that the tables would do far more lookups than B has set
// cells, the product goes by columns instead: (A∘B)^T = B^T∘A^T, one row of
// A^T ORed per set cell of B, between two transpositions.
#include <algorithm>
#include <bit>
#include <cmath>
#include <vector>

#include "boolmat/bitmatrix.hpp"
#include "boolmat/detail/bits.hpp"
#include "boolmat/detail/popcount.hpp"
#include "boolmat/detail/product.hpp"
#include "boolmat/kernels.hpp"
#include "boolmat/memory.hpp"
#include "boolmat/precondition.hpp"

namespace boolmat {

namespace {

// Column of the first set cell of A at or beyond column `limit`, scanning rows
// in order; a.cols() when there is none.
std::size_t first_set_column_from(BitView a, std::size_t limit) {
    if (limit >= a.cols()) return a.cols();
    const std::size_t first_word = word_of(limit);
    const Word first_mask = limit % kWordBits == 0 ? ~Word{0} : ~row_mask(limit);
    for (std::size_t i = 0; i < a.rows(); ++i) {
        const std::span<const Word> row = a.row(i);
        for (std::size_t k = first_word; k < row.size(); ++k) {
            const Word bits = k == first_word ? row[k] & first_mask : row[k];
            if (bits != 0) return k * kWordBits + static_cast<std::size_t>(std::countr_zero(bits));
        }
    }
    return a.cols();
}

// Rough costs in nanoseconds, measured on 2048 x 2048 operands: one 64-byte
// table lookup by a dense row, one table entry built, one word transposed,
// one word ORed by the column walk.
constexpr double kLookupNs = 1.2;
constexpr double kEntryNs = 0.3;
constexpr double kTransposeNs = 1.8;
constexpr double kWalkWordNs = 0.1;

// Estimated time of the tables for `dense` rows of A holding `dense_ones` set
// cells, B holding b_ones: every row stops at a 512-column slice once it is
// all ones, which takes about ln(1024) / (-8 dA ln(1 - dB)) groups of 8 rows
// for a row of density dA (half a cell left unset on average), rounded up to
// the tables' blocks of 8 groups.
double tables_cost(std::size_t dense, std::size_t dense_ones, std::size_t groups,
                   std::size_t b_rows, std::size_t b_cols, std::size_t b_stride,
                   std::size_t b_ones) {
    const double slices = static_cast<double>((b_stride + 7) / 8);
    double used = static_cast<double>(groups);
    if (b_ones != 0 && dense != 0) {
        const double da = static_cast<double>(dense_ones) / static_cast<double>(dense * b_rows);
        const double db = static_cast<double>(b_ones) / static_cast<double>(b_rows * b_cols);
        const double per_group = db >= 1.0 ? 1e300 : -8.0 * da * std::log1p(-db);
        const double need = std::ceil(std::log(1024.0) / per_group / 8.0) * 8.0;
        used = std::min(used, need);
    }
    return slices * used * (kLookupNs * static_cast<double>(dense) + kEntryNs * 256.0);
}

// Estimated time of the product by columns.
double columns_cost(BitView a, BitView b, std::size_t b_ones) {
    const double a_rows_words = static_cast<double>((a.rows() + kWordBits - 1) / kWordBits);
    const double words = static_cast<double>(a.rows() * (a.row_words() + b.row_words())) +
                         a_rows_words * static_cast<double>(a.cols() + b.cols());
    return kTransposeNs * words + kWalkWordNs * a_rows_words * static_cast<double>(b_ones);
}

// ORs A∘B into out by columns: row c of (A∘B)^T is the OR of the rows j of
// A^T over the set cells (j, c) of B; B's rows past A's columns meet no set
// cell of A.
void or_by_columns(BitView a, BitView b, Word* out, const Kernels& k) {
    const BitMatrix at = transpose(a, k);
    BitMatrix ct = BitMatrix::zeros(b.cols(), a.rows());
    Word* const ct_words = ct.words_mut().data();
    const std::size_t ct_stride = ct.stride();
    const std::size_t rows = std::min(b.rows(), a.cols());
    for (std::size_t j = 0; j < rows; ++j) {
        const Word* const src = at.words().data() + j * at.stride();
        detail::for_each_set_bit(b.row(j).data(), b.row_words(), [&](std::size_t c) {
            kernels::or_words(ct_words + c * ct_stride, src, ct_stride);
        });
    }
    const BitMatrix c = transpose(ct, k);
    for (std::size_t i = 0; i < a.rows(); ++i)
        kernels::or_words(out + i * c.stride(), c.words().data() + i * c.stride(), c.stride());
}

}  // namespace

const detail::ProductKernels& detail::product_kernels(Isa isa) {
    static constexpr ProductKernels portable{or_selected_rows_portable, or_rows_by_tables_portable};
    static constexpr ProductKernels avx2{or_selected_rows_avx2, or_rows_by_tables_avx2};
    return isa == Isa::Avx2 ? avx2 : portable;
}

void accumulate_into(BitView a, BitView b, std::span<Word> out) {
    accumulate_into(a, b, out, default_kernels());
}

void accumulate_into(BitView a, BitView b, std::span<Word> out, const Kernels& k) {
    const std::size_t b_words = b.row_words();
    // Both range conditions are checked before out is touched.
    if (a.rows() > out.size() / b_words) {
        fail(FailKind::Shape, cat("tampon de ", out.size(), " mots trop court (", a.rows(),
                                  " lignes de ", b_words, " mots)"));
    }
    if (const std::size_t j = first_set_column_from(a, b.rows()); j < a.cols())
        fail(FailKind::Index, cat("ligne ", j, " de B hors limites (rows = ", b.rows(), ")"));

    const detail::ProductOperands p{a.data(),   a.stride(), a.row_words(),      b.data(),  b.rows(),
                                    b.stride(), b_words,    row_mask(b.cols()), out.data()};
    const std::size_t b_stride = p.b_stride;
    // A table entry stands for one group of 8 rows of B, a walk step for one
    // row: a row with more set bits than there are groups is cheaper through
    // the tables, which pay off once those rows save more steps than the 256
    // entries per group cost to build.
    const std::size_t groups = (b.rows() + 7) / 8;
    std::vector<std::size_t> dense, sparse;
    std::size_t saved_steps = 0;
    std::size_t dense_ones = 0;
    for (std::size_t i = 0; i < a.rows(); ++i) {
        const std::size_t ones = k.popcount->popcount(p.a + i * p.a_stride, p.a_words);
        if (ones > groups) {
            dense.push_back(i);
            saved_steps += ones - groups;
            dense_ones += ones;
        } else {
            sparse.push_back(i);
        }
    }
    const bool tables = saved_steps > 256 * groups;
    if (tables) {
        // The product by columns does every row at once; it is taken only
        // when it clearly beats the tables. B's set cells are counted only
        // while the columns can still win against the tables without any
        // saturation, so a dense B costs a few rows of counting.
        const double upper =
            tables_cost(dense.size(), dense_ones, groups, b.rows(), b.cols(), b_words, 0);
        std::size_t b_ones = 0;
        bool columns = 2.0 * columns_cost(a, b, 0) < upper;
        for (std::size_t j = 0; j < b.rows() && columns; ++j) {
            b_ones += k.popcount->popcount(p.b + j * b_stride, b_words);
            columns = 2.0 * columns_cost(a, b, b_ones) < upper;
        }
        if (columns &&
            2.0 * columns_cost(a, b, b_ones) < tables_cost(dense.size(), dense_ones, groups,
                                                           b.rows(), b.cols(), b_words, b_ones)) {
            or_by_columns(a, b, p.out, k);
            return;
        }
    }
    k.product->or_selected_rows(p, sparse);
    if (!tables) {
        k.product->or_selected_rows(p, dense);
        return;
    }
    if (dense.empty()) return;
    WordArray scratch = WordArray::line_aligned(detail::kTableScratchWords);
    k.product->or_rows_by_tables(p, dense, scratch.data());
}

BitMatrix product(BitView a, BitView b) { return product(a, b, default_kernels()); }

BitMatrix product(BitView a, BitView b, const Kernels& k) {
    assert_eq(a.cols(), b.rows(), [&] {
        return cat("dimensions incompatibles : A est ", a.rows(), "x", a.cols(), ", B est ",
                   b.rows(), "x", b.cols());
    });
    BitMatrix c = BitMatrix::zeros(a.rows(), b.cols());
    accumulate_into(a, b, c.words_mut(), k);
    return c;
}

}  // namespace boolmat
