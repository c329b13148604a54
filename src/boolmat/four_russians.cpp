// The Four Russians product for dense rows: for each group of 8 consecutive
// rows of B, a table of the 256 ORs of its subsets, so a row of A ORs one
// table entry per byte instead of one row of B per set bit. Tables cover 8
// groups and an 8-word (one cache line) slice of the columns at a time, 128
// KiB that stay in L2: O(groups x 256 x b_words) words to build and
// O(rows x groups x b_words) word ORs to apply, less once rows saturate.
// Written once over 2-word (SSE2) or 4-word (AVX2) vectors.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "boolmat/detail/bits.hpp"
#include "boolmat/detail/lanes.hpp"
#include "boolmat/detail/product.hpp"

namespace boolmat::detail {

static_assert(std::endian::native == std::endian::little,
              "byte g of a row's words must hold its columns 8g to 8g + 7");

namespace {

constexpr std::size_t kGroupRows = 8;
constexpr std::size_t kEntries = std::size_t{1} << kGroupRows;
constexpr std::size_t kEntryWords = 8;  // one 64-byte line per table entry
constexpr std::size_t kGroupsPerBlock = 8;
constexpr std::size_t kTableWords = kEntries * kEntryWords;
static_assert(kGroupsPerBlock * kTableWords == kTableScratchWords);

// The tables of groups g0 .. g0 + gn - 1 over the column slice of cw words at
// c0 go to tables[g * kTableWords ...]; entry s of a table is the OR of the
// group's rows whose bit is set in s, zero-padded to kEntryWords. `full`
// marks the bits of an entry that are cells of the output.
struct Slice {
    std::size_t g0, gn, c0, cw;
    Word full[kEntryWords];
};

// B's row j restricted to the slice, zero-padded; zero when j is past B.
BOOLMAT_INLINE void slice_row(const ProductOperands& p, std::size_t j, const Slice& s,
                              Word row[kEntryWords]) {
    std::fill(row, row + kEntryWords, Word{0});
    if (j < p.b_rows) std::memcpy(row, p.b + j * p.b_stride + s.c0, s.cw * sizeof(Word));
}

template <class V>
BOOLMAT_INLINE void build_tables(const ProductOperands& p, const Slice& s, Word* tables) {
    constexpr std::size_t kVectors = kEntryWords / V::kWords;
    for (std::size_t g = 0; g < s.gn; ++g) {
        Word* table = tables + g * kTableWords;
        std::fill(table, table + kEntryWords, Word{0});
        for (std::size_t bit = 0; bit < kGroupRows; ++bit) {
            Word words[kEntryWords];
            slice_row(p, (s.g0 + g) * kGroupRows + bit, s, words);
            typename V::Vec row[kVectors];
            for (std::size_t v = 0; v < kVectors; ++v) row[v] = V::load(words + v * V::kWords);
            const std::size_t half = std::size_t{1} << bit;
            for (std::size_t e = 0; e < half; ++e) {
                const Word* from = table + e * kEntryWords;
                Word* to = table + (half + e) * kEntryWords;
                for (std::size_t v = 0; v < kVectors; ++v)
                    V::store(to + v * V::kWords, V::bit_or(V::load(from + v * V::kWords), row[v]));
            }
        }
    }
}

// ORs into acc the entries picked by bytes[0 .. n); Groups, when not 0, is
// n as a constant, so the loop of a full block unrolls.
template <class V, std::size_t Groups>
BOOLMAT_INLINE void or_entries(const std::uint8_t* bytes, std::size_t n, const Word* tables,
                               typename V::Vec* acc) {
    constexpr std::size_t kVectors = kEntryWords / V::kWords;
    const std::size_t count = Groups != 0 ? Groups : n;
    for (std::size_t g = 0; g < count; ++g) {
        const Word* entry = tables + g * kTableWords + std::size_t{bytes[g]} * kEntryWords;
        for (std::size_t v = 0; v < kVectors; ++v)
            acc[v] = V::bit_or(acc[v], V::load(entry + v * V::kWords));
    }
}

// Applies the slice's tables to rows[0 .. n) and keeps, in order, the rows
// whose slice of the output is not yet all ones; returns how many.
template <class V>
BOOLMAT_INLINE std::size_t apply_tables(const ProductOperands& p, std::size_t* rows, std::size_t n,
                                        const Slice& s, const Word* tables) {
    constexpr std::size_t kVectors = kEntryWords / V::kWords;
    // A lane is saturated when every cell bit is set: (acc | ~full) all ones.
    typename V::Vec spare[kVectors];
    for (std::size_t v = 0; v < kVectors; ++v)
        spare[v] = V::bit_xor(V::load(s.full + v * V::kWords), V::splat(~Word{0}));
    std::size_t kept = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t i = rows[k];
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(p.a + i * p.a_stride) + s.g0;
        Word* out = p.out + i * p.b_words + s.c0;
        // The last slice of a row narrower than an entry goes through a
        // zero-padded copy.
        Word padded[kEntryWords] = {};
        Word* at = out;
        if (s.cw != kEntryWords) {
            std::memcpy(padded, out, s.cw * sizeof(Word));
            at = padded;
        }
        typename V::Vec acc[kVectors];
        for (std::size_t v = 0; v < kVectors; ++v) acc[v] = V::load(at + v * V::kWords);
        if (s.gn == kGroupsPerBlock)
            or_entries<V, kGroupsPerBlock>(bytes, s.gn, tables, acc);
        else
            or_entries<V, 0>(bytes, s.gn, tables, acc);
        bool saturated = true;
        for (std::size_t v = 0; v < kVectors; ++v) {
            V::store(at + v * V::kWords, acc[v]);
            saturated = saturated && V::all_ones(V::bit_or(acc[v], spare[v]));
        }
        if (at == padded) std::memcpy(out, padded, s.cw * sizeof(Word));
        if (!saturated) rows[kept++] = i;
    }
    return kept;
}

// Slices of columns outermost, then blocks of groups, tables rebuilt for
// each pair. A row whose slice of the output has every cell set cannot
// change any more and leaves the slice's list of rows; when the list is
// empty the slice is done. Dense random products saturate within the first
// block or two.
template <class V>
BOOLMAT_INLINE void by_tables(const ProductOperands& p, std::span<const std::size_t> rows,
                              Word* tables) {
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
            build_tables<V>(p, s, tables);
            active.resize(apply_tables<V>(p, active.data(), active.size(), s, tables));
        }
    }
}

}  // namespace

void or_rows_by_tables_portable(const ProductOperands& p, std::span<const std::size_t> rows,
                                Word* scratch) {
    by_tables<Sse2Words>(p, rows, scratch);
}

BOOLMAT_TARGET_AVX2 void or_rows_by_tables_avx2(const ProductOperands& p,
                                                std::span<const std::size_t> rows, Word* scratch) {
    by_tables<Avx2Words>(p, rows, scratch);
}

}  // namespace boolmat::detail
