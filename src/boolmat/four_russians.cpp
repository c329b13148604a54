// The Four Russians product for dense rows: for each group of 8 consecutive
// rows of B, a table of the 256 ORs of its subsets, so a row of A ORs one
// table entry per byte instead of one row of B per set bit. Tables cover 8
// groups and an 8-word (one cache line) slice of the columns at a time, 128
// KiB that stay in L2: O(groups x 256 x b_stride) words to build and
// O(rows x groups x b_stride) word ORs to apply, less once rows saturate.
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "cpu.hpp"
#include "product_kernels.hpp"

namespace boolmat::kernels {

static_assert(std::endian::native == std::endian::little,
              "byte g of a row's words must hold its columns 8g to 8g + 7");

namespace {

constexpr std::size_t kGroupRows = 8;
constexpr std::size_t kEntries = std::size_t{1} << kGroupRows;
constexpr std::size_t kEntryWords = 8;  // one 64-byte line per table entry
constexpr std::size_t kGroupsPerBlock = 8;
constexpr std::size_t kTableWords = kEntries * kEntryWords;

// The tables of groups g0 .. g0 + gn - 1 over the column slice of cw words at
// c0 go to tables[g * kTableWords ...]; entry s of a table is the OR of the
// group's rows whose bit is set in s, zero-padded to kEntryWords. `full`
// marks the bits of an entry that are cells of the output.
struct Slice {
    std::size_t g0, gn, c0, cw;
    Word full[kEntryWords];
};

// B's row j restricted to the slice, zero-padded; zero when j is past B.
void slice_row(const ProductOperands& p, std::size_t j, const Slice& s, Word row[kEntryWords]) {
    std::fill(row, row + kEntryWords, Word{0});
    if (j < p.b_rows) std::memcpy(row, p.b + j * p.b_stride + s.c0, s.cw * sizeof(Word));
}

void build_tables_portable(const ProductOperands& p, const Slice& s, Word* tables) {
    for (std::size_t g = 0; g < s.gn; ++g) {
        Word* table = tables + g * kTableWords;
        std::fill(table, table + kEntryWords, Word{0});
        for (std::size_t bit = 0; bit < kGroupRows; ++bit) {
            Word row[kEntryWords];
            slice_row(p, (s.g0 + g) * kGroupRows + bit, s, row);
            const std::size_t half = std::size_t{1} << bit;
            for (std::size_t e = 0; e < half; ++e) {
                const Word* from = table + e * kEntryWords;
                Word* to = table + (half + e) * kEntryWords;
                for (std::size_t w = 0; w < kEntryWords; ++w) to[w] = from[w] | row[w];
            }
        }
    }
}

std::size_t apply_tables_portable(const ProductOperands& p, std::size_t* rows, std::size_t n,
                                  const Slice& s, const Word* tables) {
    std::size_t kept = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t i = rows[k];
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(p.a + i * p.a_stride) + s.g0;
        Word* out = p.out + i * p.b_words + s.c0;
        Word acc[kEntryWords] = {};
        std::memcpy(acc, out, s.cw * sizeof(Word));
        for (std::size_t g = 0; g < s.gn; ++g) {
            const Word* entry = tables + g * kTableWords + bytes[g] * kEntryWords;
            for (std::size_t w = 0; w < kEntryWords; ++w) acc[w] |= entry[w];
        }
        std::memcpy(out, acc, s.cw * sizeof(Word));
        bool saturated = true;
        for (std::size_t w = 0; w < kEntryWords; ++w) saturated &= (acc[w] & s.full[w]) == s.full[w];
        if (!saturated) rows[kept++] = i;
    }
    return kept;
}

BOOLMAT_TARGET_AVX2 void build_tables_avx2(const ProductOperands& p, const Slice& s, Word* tables) {
    for (std::size_t g = 0; g < s.gn; ++g) {
        auto* table = reinterpret_cast<__m256i*>(tables + g * kTableWords);
        table[0] = _mm256_setzero_si256();
        table[1] = _mm256_setzero_si256();
        for (std::size_t bit = 0; bit < kGroupRows; ++bit) {
            Word row[kEntryWords];
            slice_row(p, (s.g0 + g) * kGroupRows + bit, s, row);
            const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row));
            const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 4));
            const std::size_t half = std::size_t{1} << bit;
            for (std::size_t e = 0; e < half; ++e) {
                table[2 * (half + e)] = _mm256_or_si256(table[2 * e], lo);
                table[2 * (half + e) + 1] = _mm256_or_si256(table[2 * e + 1], hi);
            }
        }
    }
}

// ORs the entries picked by bytes[0 .. gn) into (lo, hi); the full block
// count is a constant so the loop unrolls to four instructions per entry.
template <std::size_t Groups>
BOOLMAT_TARGET_AVX2 inline __attribute__((always_inline)) void or_entries_avx2(
    const std::uint8_t* bytes, std::size_t gn, const __m256i* t, __m256i& lo, __m256i& hi) {
    constexpr std::size_t kTableVectors = kTableWords / 4;
    const std::size_t n = Groups != 0 ? Groups : gn;
    for (std::size_t g = 0; g < n; ++g) {
        const __m256i* entry = t + g * kTableVectors + 2 * std::size_t{bytes[g]};
        lo = _mm256_or_si256(lo, entry[0]);
        hi = _mm256_or_si256(hi, entry[1]);
    }
}

BOOLMAT_TARGET_AVX2 std::size_t apply_tables_avx2(const ProductOperands& p, std::size_t* rows,
                                                  std::size_t n, const Slice& s,
                                                  const Word* tables) {
    const auto* t = reinterpret_cast<const __m256i*>(tables);
    const bool full_block = s.gn == kGroupsPerBlock;
    // A lane is saturated when every cell bit is set: (acc | ~full) all ones.
    const __m256i spare_lo = _mm256_xor_si256(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s.full)), _mm256_set1_epi64x(-1));
    const __m256i spare_hi = _mm256_xor_si256(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s.full + 4)), _mm256_set1_epi64x(-1));
    const __m256i ones = _mm256_set1_epi64x(-1);
    std::size_t kept = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t i = rows[k];
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(p.a + i * p.a_stride) + s.g0;
        Word* out = p.out + i * p.b_words + s.c0;
        // The last slice of a row narrower than an entry goes through a
        // zero-padded copy.
        Word padded[kEntryWords] = {};
        Word* acc_at = out;
        if (s.cw != kEntryWords) {
            std::memcpy(padded, out, s.cw * sizeof(Word));
            acc_at = padded;
        }
        auto* o = reinterpret_cast<__m256i*>(acc_at);
        __m256i lo = _mm256_loadu_si256(o), hi = _mm256_loadu_si256(o + 1);
        if (full_block)
            or_entries_avx2<kGroupsPerBlock>(bytes, s.gn, t, lo, hi);
        else
            or_entries_avx2<0>(bytes, s.gn, t, lo, hi);
        _mm256_storeu_si256(o, lo);
        _mm256_storeu_si256(o + 1, hi);
        if (acc_at == padded) std::memcpy(out, padded, s.cw * sizeof(Word));
        const bool saturated = _mm256_testc_si256(_mm256_or_si256(lo, spare_lo), ones) &&
                               _mm256_testc_si256(_mm256_or_si256(hi, spare_hi), ones);
        if (!saturated) rows[kept++] = i;
    }
    return kept;
}

// The blocking shared by both variants: slices of columns outermost, then
// blocks of groups, tables rebuilt for each pair. A row whose slice of the
// output has every cell set cannot change any more and leaves the slice's
// list of rows; when the list is empty the slice is done. Dense random
// products saturate within the first block or two.
template <auto Build, auto Apply>
void by_tables(const ProductOperands& p, std::span<const std::size_t> rows, Word* tables) {
    // Bytes of A beyond its rows or past B's last group hold no set bit.
    const std::size_t groups =
        std::min((p.b_rows + kGroupRows - 1) / kGroupRows, p.a_words * sizeof(Word));
    std::vector<std::size_t> active;
    for (std::size_t c0 = 0; c0 < p.b_words; c0 += kEntryWords) {
        Slice s{0, 0, c0, std::min(kEntryWords, p.b_words - c0), {}};
        for (std::size_t w = 0; w < s.cw; ++w) s.full[w] = ~Word{0};
        if (c0 + s.cw == p.b_words) s.full[s.cw - 1] = p.b_last_mask;
        active.assign(rows.begin(), rows.end());
        for (std::size_t g0 = 0; g0 < groups && !active.empty(); g0 += kGroupsPerBlock) {
            s.g0 = g0;
            s.gn = std::min(kGroupsPerBlock, groups - g0);
            Build(p, s, tables);
            active.resize(Apply(p, active.data(), active.size(), s, tables));
        }
    }
}

}  // namespace

std::size_t table_scratch_words() { return kGroupsPerBlock * kTableWords; }

void or_rows_by_tables_portable(const ProductOperands& p, std::span<const std::size_t> rows,
                                Word* scratch) {
    by_tables<build_tables_portable, apply_tables_portable>(p, rows, scratch);
}

void or_rows_by_tables_avx2(const ProductOperands& p, std::span<const std::size_t> rows,
                            Word* scratch) {
    by_tables<build_tables_avx2, apply_tables_avx2>(p, rows, scratch);
}

void or_rows_by_tables(const ProductOperands& p, std::span<const std::size_t> rows, Word* scratch) {
    if (cpu::use_avx2())
        or_rows_by_tables_avx2(p, rows, scratch);
    else
        or_rows_by_tables_portable(p, rows, scratch);
}

}  // namespace boolmat::kernels
