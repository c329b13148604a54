// The search's pieces against a brute-force recount of the error, cell by
// cell, on random small cases (m and n up to 70 so that rows span two
// words, ranks 1 to 6, planted, random, all-zero and all-one X, with no
// mask, a random mask with rows left unobserved, and all-zero and all-one
// masks; duplicated tiles and rows make ties):
//   Polisher    error_of is the recount; polish never raises the error,
//               leaves W optimal for its Hᵀ (every row over all 2^r
//               combinations), is a fixed point once converged, splits over
//               max_iters, and leaves its solution when cancelled;
//               refit_tiles leaves the other columns alone and the block's
//               rows of W optimal for the new Hᵀ (brute force over 2^b);
//   TilePool    deduplication, empty tiles, eviction of the oldest, the
//               tiles of add_factors, failures;
//   SearchChain the polished start is move 0, errors are right, events
//               strictly improve, every solution it keeps is a fixed point
//               of the polish, runs are deterministic for a seed and
//               split freely, hand_over feeds another chain, a cancel or a
//               past deadline runs no move;
//   Costs       error_of and counts_of are the weighted recount; a weighted
//               polish never raises the weighted error and leaves W's rows
//               optimal under the row weights; weighted chains never end
//               worse than their start, are deterministic, and from below
//               keep no false one after any move (a pool full of tiles
//               that cover zeros included). The polish and chain tests run
//               the engine's weighted half-steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string_view>
#include <thread>
#include <vector>

#include "bmf_core/cancel.hpp"
#include "bmf_core/search/chain.hpp"
#include "bmf_core/search/polish.hpp"
#include "boolmat/bitvec.hpp"
#include "failure.hpp"
#include "matrices.hpp"

namespace bmf {
namespace {

using boolmat::BitMatrix;
using boolmat::BitVec;
using boolmat::BitView;
using Clock = std::chrono::steady_clock;

PolishStep step_of(std::string_view name, std::size_t refit_width = 0) {
    return {*MethodChoice::parse(name), refit_width};
}

// X, its observed cells (none: every cell) and the rank of the factors.
struct Case {
    BitMatrix x;
    std::optional<BitMatrix> mask;
    std::size_t r = 1;

    std::size_t m() const { return x.rows(); }
    std::size_t n() const { return x.cols(); }
    std::optional<BitView> mask_view() const {
        if (!mask) return std::nullopt;
        return mask->view();
    }
    bool seen(std::size_t i, std::size_t j) const { return !mask || mask->get(i, j); }
};

std::size_t random_size(std::mt19937_64& g) {
    const std::size_t edges[] = {1, 2, 63, 64, 65};
    return g() % 3 == 0 ? edges[g() % 5] : 1 + g() % 70;
}

// Kinds of X by trial % 5 (random, planted with noise, all 0, all 1, sparse
// with repeated rows) and of mask by (trial / 5) % 4 (none, random with
// unobserved rows, all 0, all 1).
Case random_case(std::mt19937_64& g, int trial) {
    const std::size_t m = random_size(g), n = random_size(g), r = 1 + g() % 6;
    Case c{BitMatrix::zeros(m, n), std::nullopt, r};
    switch (trial % 5) {
        case 0: c.x = random_matrix(g, m, n, percent(static_cast<unsigned>(g() % 101))); break;
        case 1: {
            const BitMatrix w =
                random_matrix(g, m, r, percent(static_cast<unsigned>(20 + g() % 30)));
            const BitMatrix h =
                random_matrix(g, r, n, percent(static_cast<unsigned>(20 + g() % 30)));
            c.x = boolmat::product(w.view(), h.view());
            for (std::size_t i = 0; i < m; ++i)
                for (std::size_t j = 0; j < n; ++j)
                    if (g() % 20 == 0) c.x.set(i, j, !c.x.get(i, j));
            break;
        }
        case 2: break;
        case 3: c.x = BitMatrix::ones(m, n); break;
        default:
            c.x = random_matrix(g, m, n, percent(8));
            for (std::size_t i = 2; i < m; i += 2) c.x.set_row(i, c.x.row(g() % i));
            break;
    }
    switch ((trial / 5) % 4) {
        case 0: break;
        case 1: {
            BitMatrix mask = random_matrix(g, m, n, percent(static_cast<unsigned>(40 + g() % 56)));
            for (std::size_t i = 0; i < m; ++i)
                if (g() % 6 == 0)
                    for (std::size_t j = 0; j < n; ++j) mask.set(i, j, false);
            c.mask = mask;
            break;
        }
        case 2: c.mask = BitMatrix::zeros(m, n); break;
        default: c.mask = BitMatrix::ones(m, n); break;
    }
    return c;
}

// Row i of a factor as a mask of its (at most 64) columns.
std::vector<std::uint64_t> rows_of(const BitMatrix& f) {
    std::vector<std::uint64_t> out(f.rows(), 0);
    for (std::size_t i = 0; i < f.rows(); ++i)
        for (std::size_t t = 0; t < f.cols(); ++t)
            if (f.get(i, t)) out[i] |= std::uint64_t{1} << t;
    return out;
}

// The observed cells of row i where X differs from the row of W∘H given by
// the combination `wi` of the columns of Hᵀ (hr: rows_of(Hᵀ)).
std::uint64_t row_error(const Case& c, const std::vector<std::uint64_t>& hr, std::size_t i,
                        std::uint64_t wi) {
    std::uint64_t e = 0;
    for (std::size_t j = 0; j < c.n(); ++j)
        e += c.seen(i, j) && (((wi & hr[j]) != 0) != c.x.get(i, j));
    return e;
}

// The observed cells where X differs from W∘H, W∘H computed bit by bit.
std::uint64_t recount(const Case& c, const BitMatrix& w, const BitMatrix& ht) {
    const std::vector<std::uint64_t> wr = rows_of(w), hr = rows_of(ht);
    std::uint64_t e = 0;
    for (std::size_t i = 0; i < c.m(); ++i) e += row_error(c, hr, i, wr[i]);
    return e;
}

// Random W and Hᵀ of rank c.r, the last tile sometimes a copy of the first.
Factors random_start(std::mt19937_64& g, const Case& c) {
    Factors f{random_matrix(g, c.m(), c.r, percent(static_cast<unsigned>(5 + g() % 60))),
              random_matrix(g, c.n(), c.r, percent(static_cast<unsigned>(5 + g() % 60))), 0};
    if (c.r > 1 && g() % 4 == 0) {
        for (std::size_t i = 0; i < c.m(); ++i) f.w.set(i, c.r - 1, f.w.get(i, 0));
        for (std::size_t j = 0; j < c.n(); ++j) f.ht.set(j, c.r - 1, f.ht.get(j, 0));
    }
    f.error = recount(c, f.w, f.ht);
    return f;
}

// Whether no row of W lowers its error by any other combination of its
// columns begin .. end - 1, Hᵀ fixed: the brute force over 2^(end-begin).
::testing::AssertionResult rows_optimal(const Case& c, const Factors& f, std::size_t begin,
                                        std::size_t end) {
    const std::vector<std::uint64_t> wr = rows_of(f.w), hr = rows_of(f.ht);
    const std::uint64_t block = ((std::uint64_t{1} << (end - begin)) - 1) << begin;
    for (std::size_t i = 0; i < c.m(); ++i) {
        const std::uint64_t own = row_error(c, hr, i, wr[i]);
        for (std::uint64_t s = 0; s < (std::uint64_t{1} << (end - begin)); ++s) {
            const std::uint64_t other = (wr[i] & ~block) | (s << begin);
            if (row_error(c, hr, i, other) < own)
                return ::testing::AssertionFailure()
                       << "row " << i << " does better with " << other << " than " << wr[i];
        }
    }
    return ::testing::AssertionSuccess();
}

bool same(const Factors& a, const Factors& b) {
    return a.w == b.w && a.ht == b.ht && a.error == b.error;
}

// ---------------------------------------------------------------------------
// Polisher

TEST(Polisher, ErrorOfIsTheRecount) {
    std::mt19937_64 g(41);
    for (int trial = 0; trial < 120; ++trial) {
        const Case c = random_case(g, trial);
        const Polisher polisher(c.x.view(), c.mask_view(), step_of("zeta"));
        const Factors f = random_start(g, c);
        SCOPED_TRACE(testing::Message()
                     << "trial " << trial << " " << c.m() << "x" << c.n() << " r=" << c.r);
        ASSERT_EQ(polisher.error_of(f.w.view(), f.ht.view()), f.error);
    }
}

TEST(Polisher, PolishConvergesToARecountedFixedPointAndSplitsOverMaxIters) {
    std::mt19937_64 g(42);
    for (int trial = 0; trial < 80; ++trial) {
        const Case c = random_case(g, trial);
        const Polisher polisher(c.x.view(), c.mask_view(), step_of("zeta"));
        const Factors start = random_start(g, c);
        SCOPED_TRACE(testing::Message() << "trial " << trial << " " << c.m() << "x" << c.n()
                                        << " r=" << c.r << " masked=" << c.mask.has_value());
        Factors done = start;
        const std::size_t total = polisher.polish(done, 1000);
        ASSERT_GE(total, 1U);
        ASSERT_LT(total, 1000U);
        ASSERT_EQ(done.error, recount(c, done.w, done.ht));
        ASSERT_LE(done.error, start.error);
        if (same(done, start)) {
            ASSERT_EQ(total, 1U);
        } else {
            // The kept iteration ended with an exact W step against its Hᵀ.
            ASSERT_LT(done.error, start.error);
            ASSERT_TRUE(rows_optimal(c, done, 0, c.r));
        }
        // Converged: one more polish runs one iteration and keeps it all.
        Factors again = done;
        ASSERT_EQ(polisher.polish(again, 1000), 1U);
        ASSERT_TRUE(same(again, done));

        // k iterations then the rest give the same result as one call.
        for (const std::size_t k : {0U, 1U, 2U, 3U}) {
            Factors part = start;
            const std::size_t first = polisher.polish(part, k);
            const std::size_t allowed = k == 0 ? 1 : k;
            ASSERT_EQ(first, std::min(allowed, total)) << "k=" << k;
            ASSERT_EQ(part.error, recount(c, part.w, part.ht));
            const std::size_t rest = polisher.polish(part, 1000);
            ASSERT_EQ(rest, allowed < total ? total - allowed : 1U) << "k=" << k;
            ASSERT_TRUE(same(part, done)) << "k=" << k;
        }
    }
}

TEST(Polisher, ACancelledPolishLeavesItsSolution) {
    std::mt19937_64 g(43);
    std::atomic<bool> flag{true};
    for (int trial = 0; trial < 20; ++trial) {
        const Case c = random_case(g, trial);
        const Polisher polisher(c.x.view(), c.mask_view(), step_of("zeta"));
        const Factors start = random_start(g, c);
        Factors f = start;
        EXPECT_THROW(polisher.polish(f, 100, Cancel(flag)), Cancelled);
        EXPECT_TRUE(same(f, start));
        EXPECT_EQ(f.error, recount(c, f.w, f.ht));
    }
}

TEST(Polisher, GreedyWithBlockRefitsNeverRaisesTheError) {
    std::mt19937_64 g(44);
    for (int trial = 0; trial < 40; ++trial) {
        const Case c = random_case(g, trial);
        const std::size_t width = 1 + g() % 3;
        const Polisher polisher(c.x.view(), c.mask_view(), step_of("greedy", width));
        const Factors start = random_start(g, c);
        SCOPED_TRACE(testing::Message() << "trial " << trial << " " << c.m() << "x" << c.n()
                                        << " r=" << c.r << " width=" << width);
        Factors done = start;
        polisher.polish(done, 1000);
        ASSERT_EQ(done.error, recount(c, done.w, done.ht));
        ASSERT_LE(done.error, start.error);
        Factors again = done;
        ASSERT_EQ(polisher.polish(again, 1000), 1U);
        ASSERT_TRUE(same(again, done));
    }
}

TEST(Polisher, RefitTilesIsExactOnItsColumnsAndLeavesTheOthers) {
    std::mt19937_64 g(45);
    for (int trial = 0; trial < 120; ++trial) {
        const Case c = random_case(g, trial);
        const Polisher polisher(c.x.view(), c.mask_view(), step_of("zeta"));
        const Factors start = random_start(g, c);
        const std::size_t width = 1 + g() % std::min<std::size_t>(c.r, 3);
        const std::size_t begin = g() % (c.r - width + 1), end = begin + width;
        const std::size_t iters = 1 + g() % 2;
        SCOPED_TRACE(testing::Message() << "trial " << trial << " " << c.m() << "x" << c.n()
                                        << " r=" << c.r << " columns " << begin << ".." << end);
        Factors f = start;
        const std::uint64_t error = polisher.refit_tiles(f, begin, end, iters);
        ASSERT_EQ(error, f.error);
        ASSERT_EQ(f.error, recount(c, f.w, f.ht));
        ASSERT_LE(f.error, start.error);
        for (std::size_t t = 0; t < c.r; ++t) {
            if (t >= begin && t < end) continue;
            for (std::size_t i = 0; i < c.m(); ++i) ASSERT_EQ(f.w.get(i, t), start.w.get(i, t));
            for (std::size_t j = 0; j < c.n(); ++j) ASSERT_EQ(f.ht.get(j, t), start.ht.get(j, t));
        }
        // The last half-step refits W's block against the final Hᵀ: every
        // row's choice is the best of all 2^width (for one column, the best
        // of all 2^m row sets, the rows being independent).
        ASSERT_TRUE(rows_optimal(c, f, begin, end));
        // No round leaves the solution.
        Factors none = start;
        ASSERT_EQ(polisher.refit_tiles(none, begin, end, 0), start.error);
        ASSERT_TRUE(same(none, start));
    }
}

TEST(Polisher, Failures) {
    const BitMatrix x = BitMatrix::zeros(3, 5);
    const PolishStep zeta = step_of("zeta");
    EXPECT_EQ(failure_of([&] { Polisher(BitView(), std::nullopt, zeta); }), "X n'a aucune cellule");
    EXPECT_EQ(failure_of([&] {
                  Polisher(x.view(), std::optional<BitView>(BitMatrix::zeros(3, 4).view()), zeta);
              }),
              "le masque a 3x4 cellules, X 3x5");
    EXPECT_EQ(failure_of([&] { Polisher(x.view(), std::nullopt, step_of("zeta", 25)); }),
              "largeur de bloc 25 hors de 0..24");

    const Polisher polisher(x.view(), std::nullopt, zeta);
    const BitMatrix w = BitMatrix::zeros(3, 2), ht = BitMatrix::zeros(5, 2);
    EXPECT_EQ(failure_of([&] { polisher.error_of(BitMatrix::zeros(4, 2).view(), ht.view()); }),
              "W est 4x2, il faut 3x2");
    EXPECT_EQ(failure_of([&] { polisher.error_of(w.view(), BitMatrix::zeros(5, 3).view()); }),
              "W est 3x2, il faut 3x3");
    EXPECT_EQ(failure_of([&] { polisher.error_of(w.view(), BitMatrix::zeros(6, 2).view()); }),
              "Hᵀ est 6x2, il faut 5x2");
    Factors f{w, ht, 0};
    EXPECT_EQ(failure_of([&] { polisher.refit_tiles(f, 1, 1, 1); }), "colonnes 1..1 hors de 0..2");
    EXPECT_EQ(failure_of([&] { polisher.refit_tiles(f, 1, 3, 1); }), "colonnes 1..3 hors de 0..2");
    Factors wide{BitMatrix::zeros(3, 30), BitMatrix::zeros(5, 30), 0};
    EXPECT_EQ(failure_of([&] { polisher.refit_tiles(wide, 0, 25, 1); }),
              "colonnes 0..25 hors de 0..30");
    Factors short_w{BitMatrix::zeros(2, 2), ht, 0};
    EXPECT_EQ(failure_of([&] { polisher.polish(short_w, 1); }), "W est 2x2, il faut 3x2");
}

// ---------------------------------------------------------------------------
// TilePool

BitVec random_vec(std::mt19937_64& g, std::size_t len) {
    BitVec v = BitVec::zeros(len);
    for (std::size_t k = 0; k < len; ++k) v.set(k, g() % 3 == 0);
    v.set(g() % len, true);  // never empty
    return v;
}

bool equal_bits(boolmat::VecView a, const BitVec& b) {
    if (a.len != b.len()) return false;
    for (std::size_t k = 0; k < a.len; ++k)
        if ((((a.words[k / 64] >> (k % 64)) & 1) != 0) != b.get(k)) return false;
    return true;
}

TEST(TilePool, KeepsDistinctNonEmptyTilesAndEvictsTheOldest) {
    std::mt19937_64 g(46);
    const std::size_t m = 65, n = 64;
    TilePool pool(m, n, 3);
    EXPECT_EQ(pool.capacity(), 3U);
    EXPECT_EQ(pool.rows(), m);
    EXPECT_EQ(pool.cols(), n);
    std::vector<BitVec> rows, cols;
    for (int t = 0; t < 5; ++t) {
        rows.push_back(random_vec(g, m));
        cols.push_back(random_vec(g, n));
    }
    // Tiles that differ on one side only are distinct.
    cols[1] = cols[0];
    EXPECT_FALSE(pool.add(BitVec::zeros(m), cols[0]));
    EXPECT_FALSE(pool.add(rows[0], BitVec::zeros(n)));
    EXPECT_EQ(pool.size(), 0U);
    EXPECT_TRUE(pool.add(rows[0], cols[0]));
    EXPECT_FALSE(pool.add(rows[0], cols[0]));
    EXPECT_TRUE(pool.add(rows[1], cols[1]));
    EXPECT_TRUE(pool.add(rows[2], cols[2]));
    EXPECT_EQ(pool.size(), 3U);
    EXPECT_TRUE(pool.add(rows[3], cols[3]));
    EXPECT_TRUE(pool.add(rows[4], cols[4]));
    ASSERT_EQ(pool.size(), 3U);
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_TRUE(equal_bits(pool.tile_rows(k), rows[k + 2])) << k;
        EXPECT_TRUE(equal_bits(pool.tile_cols(k), cols[k + 2])) << k;
    }
    // A tile still held is refused; an evicted one is forgotten and comes
    // back as the newest, evicting tile 2.
    EXPECT_FALSE(pool.add(rows[3], cols[3]));
    EXPECT_TRUE(pool.add(rows[0], cols[0]));
    EXPECT_TRUE(equal_bits(pool.tile_rows(0), rows[3]));
    EXPECT_TRUE(equal_bits(pool.tile_rows(2), rows[0]));
    EXPECT_TRUE(equal_bits(pool.tile_cols(2), cols[0]));
    EXPECT_EQ(failure_of([&] { pool.tile_rows(3); }), "tuile 3 hors limites (taille = 3)");
    EXPECT_EQ(failure_of([&] { pool.tile_cols(7); }), "tuile 7 hors limites (taille = 3)");
}

TEST(TilePool, AddFactorsTakesTheTilesInColumnOrder) {
    std::mt19937_64 g(47);
    for (const std::size_t m : {1U, 64U, 70U}) {
        const std::size_t n = 1 + g() % 70, r = 5;
        BitMatrix w = random_matrix(g, m, r, percent(50)), ht = random_matrix(g, n, r, percent(50));
        for (std::size_t i = 0; i < m; ++i) w.set(i, 0, true);
        for (std::size_t j = 0; j < n; ++j) ht.set(j, 0, true);
        // Tile 3 repeats tile 0, tile 1 has no row.
        for (std::size_t i = 0; i < m; ++i) {
            w.set(i, 3, w.get(i, 0));
            w.set(i, 1, false);
        }
        for (std::size_t j = 0; j < n; ++j) ht.set(j, 3, ht.get(j, 0));
        TilePool pool(m, n, 16);
        pool.add_factors(w.view(), ht.view());
        // The shadow: the non-empty tiles of columns 0, 2 and 4 not seen before.
        std::vector<std::pair<BitVec, BitVec>> kept;
        for (const std::size_t t : {0U, 2U, 4U}) {
            BitVec rows = BitVec::zeros(m), cols = BitVec::zeros(n);
            for (std::size_t i = 0; i < m; ++i) rows.set(i, w.get(i, t));
            for (std::size_t j = 0; j < n; ++j) cols.set(j, ht.get(j, t));
            const bool seen = std::any_of(kept.begin(), kept.end(), [&](const auto& tile) {
                return equal_bits(tile.first, rows) && equal_bits(tile.second, cols);
            });
            if (rows.count_ones() != 0 && cols.count_ones() != 0 && !seen)
                kept.emplace_back(rows, cols);
        }
        ASSERT_EQ(pool.size(), kept.size()) << "m=" << m << " n=" << n;
        for (std::size_t k = 0; k < kept.size(); ++k) {
            EXPECT_TRUE(equal_bits(pool.tile_rows(k), kept[k].first)) << "m=" << m << " k=" << k;
            EXPECT_TRUE(equal_bits(pool.tile_cols(k), kept[k].second)) << "m=" << m << " k=" << k;
        }
    }
}

TEST(TilePool, Failures) {
    EXPECT_EQ(failure_of([] { TilePool(3, 4, 0); }), "capacité 0");
    EXPECT_EQ(failure_of([] { TilePool(0, 4, 2); }), "X n'a aucune cellule");
    EXPECT_EQ(failure_of([] { TilePool(3, 0, 2); }), "X n'a aucune cellule");
    TilePool pool(3, 65, 4);
    const BitVec rows = BitVec::zeros(3), cols = BitVec::zeros(65);
    EXPECT_EQ(failure_of([&] { pool.add(BitVec::zeros(2), cols); }),
              "l'ensemble de lignes a 2 bits, X a 3 lignes");
    EXPECT_EQ(failure_of([&] { pool.add(rows, BitVec::zeros(64)); }),
              "l'ensemble de colonnes a 64 bits, X a 65 colonnes");
    BitVec spare_rows = BitVec::zeros(3);
    spare_rows.words_mut()[0] = 0b1001;  // bit 3 is beyond 3 rows
    EXPECT_EQ(failure_of([&] { pool.add(spare_rows, cols); }),
              "bits de réserve non nuls dans la tuile candidate");
    BitVec spare_cols = BitVec::zeros(65);
    spare_cols.words_mut()[1] = 0b11;  // bit 65
    EXPECT_EQ(failure_of([&] { pool.add(rows, spare_cols); }),
              "bits de réserve non nuls dans la tuile candidate");
    EXPECT_EQ(failure_of([&] {
                  pool.add_factors(BitMatrix::zeros(2, 2).view(), BitMatrix::zeros(65, 2).view());
              }),
              "W est 2x2, il faut 3x2");
    EXPECT_EQ(failure_of([&] {
                  pool.add_factors(BitMatrix::zeros(3, 2).view(), BitMatrix::zeros(64, 2).view());
              }),
              "Hᵀ est 64x2, il faut 65x2");
    EXPECT_EQ(pool.size(), 0U);
}

// ---------------------------------------------------------------------------
// SearchChain

// The checks every run must pass: right errors, a best no worse than the
// current nor than `floor` (the polished start), and events that strictly
// improve from `before` (the best error before the run) to best().
void expect_consistent(const Case& c, const SearchChain& chain, std::uint64_t floor,
                       std::uint64_t before, std::uint64_t moves_before,
                       const std::vector<SearchEvent>& events) {
    ASSERT_EQ(chain.best().error, recount(c, chain.best().w, chain.best().ht));
    ASSERT_EQ(chain.current().error, recount(c, chain.current().w, chain.current().ht));
    ASSERT_LE(chain.best().error, chain.current().error);
    ASSERT_LE(chain.current().error, floor);
    ASSERT_EQ(chain.best().w.cols(), c.r);
    std::uint64_t last_error = before, last_move = moves_before;
    for (const SearchEvent& e : events) {
        ASSERT_LT(e.error, last_error);
        ASSERT_GT(e.move, last_move);
        ASSERT_LE(e.move, chain.moves());
        ASSERT_NE(e.kind, Move::Start);
        ASSERT_GE(e.tiles, 1U);
        ASSERT_LE(e.tiles, std::min<std::size_t>(4, c.r));
        last_error = e.error;
        last_move = e.move;
    }
    ASSERT_EQ(last_error, chain.best().error);
}

void expect_same_events(const std::vector<SearchEvent>& a, const std::vector<SearchEvent>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t k = 0; k < a.size(); ++k) {
        EXPECT_EQ(a[k].move, b[k].move);
        EXPECT_EQ(a[k].error, b[k].error);
        EXPECT_EQ(a[k].kind, b[k].kind);
        EXPECT_EQ(a[k].tiles, b[k].tiles);
    }
}

void run_chains(const char* method, std::size_t refit_width, std::uint64_t seed, int trials) {
    std::mt19937_64 g(seed);
    for (int trial = 0; trial < trials; ++trial) {
        const Case c = random_case(g, trial);
        const Polisher polisher(c.x.view(), c.mask_view(), step_of(method, refit_width));
        const Factors start = random_start(g, c);
        SCOPED_TRACE(testing::Message()
                     << method << " trial " << trial << " " << c.m() << "x" << c.n() << " r=" << c.r
                     << " masked=" << c.mask.has_value());
        Factors polished = start;
        polisher.polish(polished, ChainOptions{}.polish_iters);
        TilePool pool(c.m(), c.n(), 64);
        // Half the chains start with an empty pool (no swap), half with the
        // tiles of another polished start.
        if (trial % 2 == 1) {
            Factors other = random_start(g, c);
            polisher.polish(other, 50);
            pool.add_factors(other.w.view(), other.ht.view());
        }
        SearchChain chain(polisher, start, g());
        ASSERT_TRUE(same(chain.current(), polished));
        ASSERT_TRUE(same(chain.best(), polished));
        ASSERT_EQ(chain.moves(), 0U);
        const std::vector<SearchEvent> events = chain.run(25, pool);
        ASSERT_EQ(chain.moves(), 25U);
        expect_consistent(c, chain, polished.error, polished.error, 0, events);

        // Its tiles feed a second chain from another start.
        const std::size_t size_before = pool.size();
        chain.hand_over(pool);
        ASSERT_GE(pool.size(), std::min<std::size_t>(pool.capacity(), size_before));
        const std::uint64_t best_before = chain.best().error;
        const std::vector<SearchEvent> more = chain.run(10, pool);
        expect_consistent(c, chain, polished.error, best_before, 25, more);

        const Factors second_start = random_start(g, c);
        SearchChain second(polisher, second_start, g());
        const std::uint64_t second_polished = second.best().error;
        ASSERT_LE(second_polished, second_start.error);
        const std::vector<SearchEvent> second_events = second.run(20, pool);
        expect_consistent(c, second, second_polished, second_polished, 0, second_events);
    }
}

TEST(SearchChain, ErrorsAreRightAndEventsImproveStrictly) { run_chains("zeta", 0, 48, 60); }

TEST(SearchChain, GreedyPolishWithBlockRefits) { run_chains("greedy", 2, 49, 20); }

TEST(SearchChain, EveryMoveEndsPolished) {
    // A move's polish runs to convergence here, so that the solution the
    // chain keeps is one a further polish leaves as it is.
    std::mt19937_64 g(61);
    ChainOptions options;
    options.polish_iters = 1000;
    for (int trial = 0; trial < 120; ++trial) {
        const Case c = random_case(g, trial);
        const Polisher polisher(c.x.view(), c.mask_view(), step_of("zeta"));
        TilePool pool(c.m(), c.n(), 16);
        if (trial % 2 == 1) {
            Factors other = random_start(g, c);
            polisher.polish(other, 50);
            pool.add_factors(other.w.view(), other.ht.view());
        }
        SearchChain chain(polisher, random_start(g, c), g(), options);
        SCOPED_TRACE(testing::Message() << "trial " << trial);
        for (int step = 0; step < 6; ++step) {
            chain.run(3, pool);
            Factors again = chain.current();
            ASSERT_EQ(polisher.polish(again, 1000), 1U) << "after move " << chain.moves();
            ASSERT_TRUE(same(again, chain.current())) << "after move " << chain.moves();
        }
    }
}

TEST(SearchChain, DeterministicForASeedWhateverTheSplitOfTheMoves) {
    std::mt19937_64 g(50);
    for (int trial = 0; trial < 20; ++trial) {
        const Case c = random_case(g, trial);
        const Polisher polisher(c.x.view(), c.mask_view(), step_of("zeta"));
        const Factors start = random_start(g, c);
        TilePool pool(c.m(), c.n(), 32);
        Factors other = random_start(g, c);
        polisher.polish(other, 50);
        pool.add_factors(other.w.view(), other.ht.view());
        SCOPED_TRACE(testing::Message() << "trial " << trial);
        const std::uint64_t seed = g();
        SearchChain a(polisher, start, seed), b(polisher, start, seed),
            split(polisher, start, seed);
        const std::vector<SearchEvent> ea = a.run(30, pool), eb = b.run(30, pool);
        expect_same_events(ea, eb);
        ASSERT_TRUE(same(a.best(), b.best()));
        ASSERT_TRUE(same(a.current(), b.current()));
        ASSERT_EQ(a.polish_iterations(), b.polish_iterations());
        std::vector<SearchEvent> es = split.run(11, pool);
        const std::vector<SearchEvent> tail = split.run(19, pool);
        es.insert(es.end(), tail.begin(), tail.end());
        expect_same_events(ea, es);
        ASSERT_TRUE(same(a.best(), split.best()));
        ASSERT_TRUE(same(a.current(), split.current()));
        // Handing over in the same order fills two pools alike.
        TilePool pa(c.m(), c.n(), 256), pb(c.m(), c.n(), 256);
        a.hand_over(pa);
        b.hand_over(pb);
        ASSERT_EQ(pa.size(), pb.size());
        for (std::size_t k = 0; k < pa.size(); ++k) {
            ASSERT_TRUE(std::equal(pa.tile_rows(k).words.begin(), pa.tile_rows(k).words.end(),
                                   pb.tile_rows(k).words.begin()));
            ASSERT_TRUE(std::equal(pa.tile_cols(k).words.begin(), pa.tile_cols(k).words.end(),
                                   pb.tile_cols(k).words.begin()));
        }
        // A second hand_over has nothing left to add.
        const std::size_t size = pa.size();
        a.hand_over(pa);
        ASSERT_EQ(pa.size(), size);
    }
}

TEST(SearchChain, TheSeedChangesThePath) {
    // A planted case with noise where moves have room: not every seed may
    // walk the same way.
    std::mt19937_64 g(51);
    Case c{BitMatrix::zeros(1, 1), std::nullopt, 5};
    const BitMatrix w = random_matrix(g, 60, 5, percent(30)),
                    h = random_matrix(g, 5, 50, percent(30));
    c.x = boolmat::product(w.view(), h.view());
    for (std::size_t i = 0; i < 60; ++i)
        for (std::size_t j = 0; j < 50; ++j)
            if (g() % 8 == 0) c.x.set(i, j, !c.x.get(i, j));
    const Polisher polisher(c.x.view(), std::nullopt, step_of("zeta"));
    const Factors start = random_start(g, c);
    const TilePool pool(60, 50, 8);
    SearchChain first(polisher, start, 1);
    first.run(20, pool);
    bool differs = false;
    for (std::uint64_t seed = 2; seed < 8 && !differs; ++seed) {
        SearchChain other(polisher, start, seed);
        other.run(20, pool);
        differs = !same(other.current(), first.current()) ||
                  other.polish_iterations() != first.polish_iterations();
    }
    EXPECT_TRUE(differs);
}

TEST(SearchChain, ACancelOrAPastDeadlineRunsNoMove) {
    std::mt19937_64 g(52);
    std::atomic<bool> flag{true};
    for (int trial = 0; trial < 20; ++trial) {
        const Case c = random_case(g, trial);
        const Polisher polisher(c.x.view(), c.mask_view(), step_of("zeta"));
        SearchChain chain(polisher, random_start(g, c), g());
        const TilePool pool(c.m(), c.n(), 8);
        chain.run(5, pool);
        const Factors best = chain.best(), current = chain.current();
        const std::uint64_t moves = chain.moves();
        EXPECT_THROW(chain.run(10, pool, Cancel(flag)), Cancelled);
        EXPECT_TRUE(same(chain.best(), best));
        EXPECT_TRUE(same(chain.current(), current));
        EXPECT_EQ(chain.moves(), moves);
        EXPECT_TRUE(chain.run(10, pool, {}, Clock::now() - std::chrono::seconds(1)).empty());
        EXPECT_TRUE(same(chain.best(), best));
        EXPECT_TRUE(same(chain.current(), current));
        EXPECT_EQ(chain.moves(), moves);
    }
}

TEST(SearchChain, ACancelDuringARunLeavesRightErrors) {
    std::mt19937_64 g(53);
    Case c{random_matrix(g, 70, 70, percent(35)), random_matrix(g, 70, 70, percent(80)), 6};
    const Polisher polisher(c.x.view(), c.mask_view(), step_of("zeta"));
    SearchChain chain(polisher, random_start(g, c), 7);
    const TilePool pool(70, 70, 8);
    std::atomic<bool> flag{false};
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        flag = true;
    });
    EXPECT_THROW(chain.run(100000000, pool, Cancel(flag)), Cancelled);
    stopper.join();
    EXPECT_EQ(chain.best().error, recount(c, chain.best().w, chain.best().ht));
    EXPECT_EQ(chain.current().error, recount(c, chain.current().w, chain.current().ht));
    EXPECT_LE(chain.best().error, chain.current().error);
}

// ---------------------------------------------------------------------------
// Costs

// The costs the weighted tests run: finite, 0 on either side, the largest
// finite cost, and infinite on either side.
std::vector<Costs> test_costs() {
    const std::uint64_t inf = kInfiniteCost;
    const std::pair<std::uint64_t, std::uint64_t> pairs[] = {
        {1, 4}, {3, 2}, {0, 1}, {1, 0}, {kMaxCost, 1}, {1, kMaxCost}, {inf, 1}, {1, inf}};
    std::vector<Costs> out;
    for (const auto& [one, zero] : pairs) out.push_back(*Costs::of(one, zero));
    return out;
}

// The observed false ones and false zeros of W∘H, bit by bit.
std::pair<std::uint64_t, std::uint64_t> recount_kinds(const Case& c, const BitMatrix& w,
                                                      const BitMatrix& ht) {
    const std::vector<std::uint64_t> wr = rows_of(w), hr = rows_of(ht);
    std::uint64_t ones = 0, zeros = 0;
    for (std::size_t i = 0; i < c.m(); ++i) {
        for (std::size_t j = 0; j < c.n(); ++j) {
            if (!c.seen(i, j)) continue;
            const bool on = (wr[i] & hr[j]) != 0;
            ones += on && !c.x.get(i, j);
            zeros += !on && c.x.get(i, j);
        }
    }
    return {ones, zeros};
}

std::uint64_t weighted_recount(const Case& c, const Factors& f, const Costs& costs) {
    const auto [ones, zeros] = recount_kinds(c, f.w, f.ht);
    return costs.weights(c.m() * c.n()).of(ones, zeros);
}

// Whether no row of W lowers its weighted error (row weights: those of a
// vector of n positions, as the W step weighs it) by another combination.
::testing::AssertionResult rows_optimal_weighted(const Case& c, const Factors& f,
                                                 const Costs& costs) {
    const Weights wts = costs.weights(c.n());
    const std::vector<std::uint64_t> wr = rows_of(f.w), hr = rows_of(f.ht);
    const auto row_cost = [&](std::size_t i, std::uint64_t wi) {
        std::uint64_t ones = 0, zeros = 0;
        for (std::size_t j = 0; j < c.n(); ++j) {
            if (!c.seen(i, j)) continue;
            const bool on = (wi & hr[j]) != 0;
            ones += on && !c.x.get(i, j);
            zeros += !on && c.x.get(i, j);
        }
        return wts.of(ones, zeros);
    };
    for (std::size_t i = 0; i < c.m(); ++i) {
        const std::uint64_t own = row_cost(i, wr[i]);
        for (std::uint64_t s = 0; s < (std::uint64_t{1} << c.r); ++s)
            if (row_cost(i, s) < own)
                return ::testing::AssertionFailure()
                       << "row " << i << " does better with " << s << " than " << wr[i];
    }
    return ::testing::AssertionSuccess();
}

TEST(PolisherCosts, ErrorOfIsTheWeightedRecount) {
    std::mt19937_64 g(61);
    for (const Costs& costs : test_costs()) {
        for (int trial = 0; trial < 20; ++trial) {
            const Case c = random_case(g, trial);
            const Polisher polisher(c.x.view(), c.mask_view(), step_of("zeta"), costs);
            EXPECT_EQ(polisher.weights(), costs.weights(c.m() * c.n()));
            const Factors f = random_start(g, c);
            EXPECT_EQ(polisher.counts_of(f.w.view(), f.ht.view()), recount_kinds(c, f.w, f.ht));
            EXPECT_EQ(polisher.error_of(f.w.view(), f.ht.view()), weighted_recount(c, f, costs));
        }
    }
}

TEST(PolisherCosts, XTooLargeForTheCostsFails) {
    const std::vector<boolmat::Word> words(512, 0);
    const BitView x(words.data(), std::size_t{1} << 16, std::size_t{1} << 15, 0);
    EXPECT_EQ(failure_of([&] { Polisher(x, std::nullopt, step_of("zeta"), Costs::from_below()); }),
              "X a 65536x32768 cellules : avec un cout infini il en faut moins de 2^31");
}

// Needs the engine's weighted half-steps ("zeta" on BoolLs, masked or not).
TEST(PolisherCosts, AWeightedPolishNeverRaisesTheWeightedErrorAndEndsOptimal) {
    std::mt19937_64 g(62);
    for (const Costs& costs : test_costs()) {
        for (int trial = 0; trial < 20; ++trial) {
            const Case c = random_case(g, trial);
            SCOPED_TRACE(testing::Message() << "costs " << costs.false_one() << ","
                                            << costs.false_zero() << " trial " << trial);
            const Polisher polisher(c.x.view(), c.mask_view(), step_of("zeta"), costs);
            Factors f = random_start(g, c);
            f.error = weighted_recount(c, f, costs);
            const std::uint64_t before = f.error;
            polisher.polish(f, 50);
            ASSERT_LE(f.error, before);
            ASSERT_EQ(f.error, weighted_recount(c, f, costs));
            if (f.error < before) {
                ASSERT_TRUE(rows_optimal_weighted(c, f, costs));
            }
            if (costs.false_one() == kInfiniteCost) {
                ASSERT_EQ(recount_kinds(c, f.w, f.ht).first, 0U);
            }
            Factors tiles = f;
            const std::uint64_t refitted = polisher.refit_tiles(tiles, 0, c.r, 1);
            ASSERT_LE(refitted, f.error);
            ASSERT_EQ(refitted, weighted_recount(c, tiles, costs));
        }
    }
}

// Needs the engine's weighted half-steps.
TEST(SearchChainCosts, NeverWorseThanTheStartDeterministicAndFromBelowWithoutFalseOnes) {
    std::mt19937_64 g(63);
    for (const Costs& costs : test_costs()) {
        const bool below = costs.false_one() == kInfiniteCost;
        for (int trial = 0; trial < 10; ++trial) {
            const Case c = random_case(g, trial);
            SCOPED_TRACE(testing::Message() << "costs " << costs.false_one() << ","
                                            << costs.false_zero() << " trial " << trial);
            const Polisher polisher(c.x.view(), c.mask_view(), step_of("zeta"), costs);
            Factors start = random_start(g, c);
            start.error = weighted_recount(c, start, costs);
            // A pool of tiles that cover zeros: the whole of X and random
            // tiles.
            TilePool pool(c.m(), c.n(), 16);
            BitVec all_rows = BitVec::zeros(c.m()), all_cols = BitVec::zeros(c.n());
            for (std::size_t i = 0; i < c.m(); ++i) all_rows.set(i, true);
            for (std::size_t j = 0; j < c.n(); ++j) all_cols.set(j, true);
            pool.add(all_rows, all_cols);
            const Factors noise = random_start(g, c);
            pool.add_factors(noise.w.view(), noise.ht.view());
            const std::uint64_t seed = g();
            SearchChain chain(polisher, start, seed), twin(polisher, start, seed);
            ASSERT_LE(chain.best().error, start.error);
            for (int step = 0; step < 12; ++step) {
                chain.run(1, pool);
                for (const Factors* f : {&chain.current(), &chain.best()}) {
                    ASSERT_EQ(f->error, weighted_recount(c, *f, costs));
                    if (below) {
                        ASSERT_EQ(recount_kinds(c, f->w, f->ht).first, 0U) << "move " << step;
                    }
                }
                ASSERT_LE(chain.best().error, chain.current().error);
            }
            ASSERT_LE(chain.best().error, start.error);
            twin.run(12, pool);
            ASSERT_TRUE(same(chain.best(), twin.best()));
            ASSERT_TRUE(same(chain.current(), twin.current()));
        }
    }
}

TEST(SearchChain, APoolOfAnotherShapeFails) {
    const BitMatrix x = BitMatrix::ones(5, 6);
    const Polisher polisher(x.view(), std::nullopt, step_of("zeta"));
    SearchChain chain(polisher, Factors{BitMatrix::zeros(5, 2), BitMatrix::zeros(6, 2), 30}, 1);
    TilePool pool(3, 4, 2);
    EXPECT_EQ(failure_of([&] { chain.run(1, pool); }), "le réservoir est 3x4, X 5x6");
    EXPECT_EQ(failure_of([&] { chain.hand_over(pool); }), "le réservoir est 3x4, X 5x6");
    EXPECT_EQ(chain.moves(), 0U);
}

}  // namespace
}  // namespace bmf
