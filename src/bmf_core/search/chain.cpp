// A chain's moves work on a copy of its current solution with the changed
// tiles moved to the last columns (a permutation of the tiles changes no
// error), so that one exact block refit over those columns finishes every
// move before the polish.
#include "bmf_core/search/chain.hpp"

#include <algorithm>
#include <bit>
#include <utility>

#include "bmf_core/lcg.hpp"
#include "bmf_core/search/tiles.hpp"
#include "boolmat/precondition.hpp"

namespace bmf {

using boolmat::BitMatrix;
using boolmat::BitView;
using boolmat::FailKind;
using boolmat::VecView;
using boolmat::Word;

namespace {

// Pool tiles scored for one swapped tile.
constexpr std::size_t kSwapCandidates = 64;

std::uint64_t mix(std::uint64_t h) {
    h ^= h >> 30;
    h *= 0xbf58476d1ce4e5b9ULL;
    h ^= h >> 27;
    h *= 0x94d049bb133111ebULL;
    return h ^ (h >> 31);
}

std::uint64_t hash_tile(const Word* rows, std::size_t mw, const Word* cols, std::size_t nw) {
    std::uint64_t h = 0x9e3779b97f4a7c15ULL;
    for (std::size_t k = 0; k < mw; ++k) h = mix(h ^ rows[k]);
    h = mix(h ^ 0x632be59bd9b4e019ULL);
    for (std::size_t k = 0; k < nw; ++k) h = mix(h ^ cols[k]);
    return h;
}

bool bit(const Word* words, std::size_t k) {
    return ((words[boolmat::word_of(k)] >> boolmat::bit_of(k)) & 1U) != 0;
}

void put_bit(Word* words, std::size_t k, bool value) {
    const Word b = Word{1} << boolmat::bit_of(k);
    words[boolmat::word_of(k)] =
        value ? (words[boolmat::word_of(k)] | b) : (words[boolmat::word_of(k)] & ~b);
}

bool empty(const Word* words, std::size_t count) {
    return std::all_of(words, words + count, [](Word w) { return w == 0; });
}

// Column c of m (its rows as bits) into `out`, words_for(m.rows()) words.
void column_of(BitView m, std::size_t c, Word* out) {
    std::fill(out, out + boolmat::words_for(m.rows()), Word{0});
    for (std::size_t i = 0; i < m.rows(); ++i)
        if (bit(m.row(i).data(), c)) out[boolmat::word_of(i)] |= Word{1} << boolmat::bit_of(i);
}

void set_column(BitMatrix& m, std::size_t c, const Word* bits) {
    Word* words = m.words_mut().data();
    for (std::size_t i = 0; i < m.rows(); ++i) put_bit(words + i * m.stride(), c, bit(bits, i));
}

void clear_column(BitMatrix& m, std::size_t c) {
    Word* words = m.words_mut().data();
    for (std::size_t i = 0; i < m.rows(); ++i) put_bit(words + i * m.stride(), c, false);
}

void swap_columns(BitMatrix& m, std::size_t a, std::size_t b) {
    if (a == b) return;
    Word* words = m.words_mut().data();
    for (std::size_t i = 0; i < m.rows(); ++i) {
        Word* row = words + i * m.stride();
        const bool va = bit(row, a);
        put_bit(row, a, bit(row, b));
        put_bit(row, b, va);
    }
}

void check_lengths(VecView rows, VecView cols, std::size_t m, std::size_t n) {
    if (rows.len != m || rows.words.size() < boolmat::words_for(m)) {
        boolmat::fail(FailKind::Shape, boolmat::cat("l'ensemble de lignes a ", rows.len,
                                                    " bits, X a ", m, " lignes"));
    }
    if (cols.len != n || cols.words.size() < boolmat::words_for(n)) {
        boolmat::fail(FailKind::Shape, boolmat::cat("l'ensemble de colonnes a ", cols.len,
                                                    " bits, X a ", n, " colonnes"));
    }
    if ((rows.words[boolmat::words_for(m) - 1] & ~boolmat::row_mask(m)) != 0 ||
        (cols.words[boolmat::words_for(n) - 1] & ~boolmat::row_mask(n)) != 0) {
        boolmat::fail(FailKind::Value, "bits de réserve non nuls dans la tuile candidate");
    }
}

void check_pool(const TilePool& pool, const Polisher& polisher) {
    if (pool.rows() != polisher.rows() || pool.cols() != polisher.cols()) {
        boolmat::fail(FailKind::Shape,
                      boolmat::cat("le réservoir est ", pool.rows(), "x", pool.cols(), ", X ",
                                   polisher.rows(), "x", polisher.cols()));
    }
}

// The tiles of columns begin .. r - 1 of f, each as its row set then its
// column set.
std::vector<Word> tiles_of(const Factors& f, std::size_t begin) {
    const std::size_t mw = boolmat::words_for(f.w.rows());
    const std::size_t nw = boolmat::words_for(f.ht.rows());
    std::vector<Word> out((f.w.cols() - begin) * (mw + nw));
    for (std::size_t c = begin; c < f.w.cols(); ++c) {
        Word* at = out.data() + (c - begin) * (mw + nw);
        column_of(f.w, c, at);
        column_of(f.ht, c, at + mw);
    }
    return out;
}

// Whether the k tiles of `a` are those of `b`, in any order.
bool same_tiles(const std::vector<Word>& a, const std::vector<Word>& b, std::size_t k) {
    const std::size_t size = a.size() / k;
    std::vector<bool> used(k, false);
    for (std::size_t s = 0; s < k; ++s) {
        bool found = false;
        for (std::size_t t = 0; t < k && !found; ++t) {
            if (used[t] || !std::equal(a.begin() + static_cast<std::ptrdiff_t>(s * size),
                                       a.begin() + static_cast<std::ptrdiff_t>((s + 1) * size),
                                       b.begin() + static_cast<std::ptrdiff_t>(t * size)))
                continue;
            used[t] = found = true;
        }
        if (!found) return false;
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// TilePool

TilePool::TilePool(std::size_t m, std::size_t n, std::size_t capacity)
    : m_(m), n_(n), mw_(boolmat::words_for(m)), nw_(boolmat::words_for(n)), capacity_(capacity) {
    if (capacity == 0) boolmat::fail(FailKind::Value, "capacité 0");
    if (m == 0 || n == 0) boolmat::fail(FailKind::Shape, "X n'a aucune cellule");
    rows_.assign(capacity * mw_, 0);
    cols_.assign(capacity * nw_, 0);
    hashes_.assign(capacity, 0);
}

VecView TilePool::tile_rows(std::size_t k) const {
    if (k >= count_)
        boolmat::fail(FailKind::Index,
                      boolmat::cat("tuile ", k, " hors limites (taille = ", count_, ")"));
    return {std::span<const Word>(rows_.data() + slot(k) * mw_, mw_), m_};
}

VecView TilePool::tile_cols(std::size_t k) const {
    if (k >= count_)
        boolmat::fail(FailKind::Index,
                      boolmat::cat("tuile ", k, " hors limites (taille = ", count_, ")"));
    return {std::span<const Word>(cols_.data() + slot(k) * nw_, nw_), n_};
}

bool TilePool::add(VecView rows, VecView cols) {
    check_lengths(rows, cols, m_, n_);
    if (empty(rows.words.data(), mw_) || empty(cols.words.data(), nw_)) return false;
    const std::uint64_t h = hash_tile(rows.words.data(), mw_, cols.words.data(), nw_);
    if (known_.count(h) != 0) return false;
    std::size_t s = 0;
    if (count_ < capacity_) {
        s = slot(count_);
        ++count_;
    } else {
        s = first_;
        known_.erase(hashes_[s]);
        first_ = (first_ + 1) % capacity_;
    }
    std::copy(rows.words.begin(), rows.words.begin() + static_cast<std::ptrdiff_t>(mw_),
              rows_.begin() + static_cast<std::ptrdiff_t>(s * mw_));
    std::copy(cols.words.begin(), cols.words.begin() + static_cast<std::ptrdiff_t>(nw_),
              cols_.begin() + static_cast<std::ptrdiff_t>(s * nw_));
    hashes_[s] = h;
    known_.insert(h);
    return true;
}

void TilePool::add_factors(BitView w, BitView ht) {
    if (w.rows() != m_ || w.cols() != ht.cols()) {
        boolmat::fail(FailKind::Shape, boolmat::cat("W est ", w.rows(), "x", w.cols(), ", il faut ",
                                                    m_, "x", ht.cols()));
    }
    if (ht.rows() != n_) {
        boolmat::fail(FailKind::Shape, boolmat::cat("Hᵀ est ", ht.rows(), "x", ht.cols(),
                                                    ", il faut ", n_, "x", w.cols()));
    }
    std::vector<Word> rows(mw_), cols(nw_);
    for (std::size_t c = 0; c < w.cols(); ++c) {
        column_of(w, c, rows.data());
        column_of(ht, c, cols.data());
        add({rows, m_}, {cols, n_});
    }
}

// ---------------------------------------------------------------------------
// SearchChain

std::string_view move_name(Move move) {
    switch (move) {
        case Move::Resolve: return "re-solve";
        case Move::Swap: return "swap";
        case Move::Reseed: return "re-seed";
        case Move::Start: break;
    }
    return "start";
}

SearchChain::SearchChain(const Polisher& polisher, Factors start, std::uint64_t seed,
                         ChainOptions options, const Cancel& cancel)
    : polisher_(&polisher),
      options_(options),
      state_(mix(seed ^ 0x5851f42d4c957f2dULL)),
      current_(std::move(start)),
      best_(current_) {
    options_.max_perturb = std::max<std::size_t>(1, options_.max_perturb);
    options_.patience = std::max<std::size_t>(1, options_.patience);
    options_.rounds = std::max<std::size_t>(1, options_.rounds);
    options_.starts = std::max<std::size_t>(1, options_.starts);
    polish_iterations_ += polisher.polish(current_, options_.polish_iters, cancel);
    best_ = current_;
    keep_tiles(current_);
}

std::uint64_t SearchChain::draw(std::uint64_t bound) {
    const std::uint64_t hi = lcg_draw(state_);
    const std::uint64_t value =
        bound <= (std::uint64_t{1} << 31) ? hi : (hi << 31) | lcg_draw(state_);
    return value % bound;
}

std::vector<SearchEvent> SearchChain::run(
    std::size_t moves, const TilePool& pool, const Cancel& cancel,
    std::optional<std::chrono::steady_clock::time_point> deadline) {
    check_pool(pool, *polisher_);
    std::vector<SearchEvent> events;
    const std::size_t r = current_.w.cols();
    for (std::size_t s = 0; s < moves; ++s) {
        if (deadline && std::chrono::steady_clock::now() >= *deadline) break;
        cancel.check();
        const std::size_t k =
            std::min({options_.max_perturb, r,
                      static_cast<std::size_t>(1 + since_best_ / options_.patience)});
        // The move by its weight; no swap from an empty pool.
        const std::size_t swap = pool.size() != 0 ? options_.swap_weight : 0;
        const std::uint64_t u = draw(
            std::max<std::uint64_t>(1, options_.resolve_weight + swap + options_.reseed_weight));
        Move kind = Move::Reseed;
        if (u < options_.resolve_weight)
            kind = Move::Resolve;
        else if (u < options_.resolve_weight + swap)
            kind = Move::Swap;
        Factors candidate = propose(kind, k, pool, cancel);
        ++moves_;
        if (acceptable(candidate)) current_ = std::move(candidate);
        if (current_.error < best_.error) {
            best_ = current_;
            since_best_ = 0;
            events.push_back({moves_, best_.error, kind, k});
        } else {
            ++since_best_;
        }
    }
    return events;
}

bool SearchChain::acceptable(const Factors& candidate) const {
    if (candidate.error > current_.error) return false;
    // From below, error / w.false_one is the number of false ones (the false
    // zeros weigh at most m × n < w.false_one together).
    const bool from_below = polisher_->costs().false_one() == kInfiniteCost;
    return !from_below || candidate.error < polisher_->weights().false_one;
}

Factors SearchChain::propose(Move kind, std::size_t k, const TilePool& pool, const Cancel& cancel) {
    Factors f = current_;
    const std::size_t r = f.w.cols();
    // k distinct tiles drawn into the last k columns.
    for (std::size_t j = 0; j < k; ++j) {
        const std::size_t last = r - 1 - j;
        const auto pick = static_cast<std::size_t>(draw(last + 1));
        swap_columns(f.w, pick, last);
        swap_columns(f.ht, pick, last);
    }
    const std::size_t begin = r - k;
    const std::vector<Word> before = tiles_of(f, begin);
    if (kind == Move::Swap) {
        swap_in(f, begin, pool);
    } else {
        for (std::size_t c = begin; c < r; ++c) {
            if (kind == Move::Resolve)
                resolve(f, c);
            else
                reseed(f, c);
        }
    }
    // A single re-solved tile has had its refits already.
    if (kind != Move::Resolve || k > 1) polisher_->refit_tiles(f, begin, r, options_.rounds);
    // A move that gives back the tiles it took proposes the polished
    // solution it started from, in its own column order: the permuted copy
    // has the same error but is not always a fixed point of the polish (the
    // half-steps break ties by column), so it is not what the move returns.
    if (same_tiles(before, tiles_of(f, begin), k)) return current_;
    polish_iterations_ += polisher_->polish(f, options_.polish_iters, cancel);
    keep_tiles(f);
    return f;
}

void SearchChain::resolve(Factors& f, std::size_t c) {
    clear_column(f.w, c);
    clear_column(f.ht, c);
    // The error with tile c empty is counted by the first refit below.
    std::optional<Factors> best;
    for (std::size_t s = 0; s < options_.starts; ++s) {
        const auto cell = uncovered_one(f);
        if (!cell) return;
        Factors trial = f;
        std::vector<Word> rows(boolmat::words_for(f.w.rows()), 0);
        if (s % 2 == 0) {
            put_bit(rows.data(), cell->first, true);
        } else {
            const std::span<const Word> column = polisher_->xt().row(cell->second);
            std::copy(column.begin(), column.end(), rows.begin());
            if (auto maskt = polisher_->maskt()) {
                const std::span<const Word> seen = maskt->row(cell->second);
                for (std::size_t w = 0; w < rows.size(); ++w) rows[w] &= seen[w];
            }
        }
        set_column(trial.w, c, rows.data());
        polisher_->refit_tiles(trial, c, c + 1, options_.rounds);
        if (!best || trial.error < best->error) best = std::move(trial);
    }
    if (best) f = std::move(*best);
}

void SearchChain::swap_in(Factors& f, std::size_t begin, const TilePool& pool) {
    const std::size_t r = f.w.cols();
    const BitMatrix h = boolmat::transpose(f.ht.view());
    const BitView x = polisher_->x();
    const Costs& costs = polisher_->costs();
    TileState tiles = polisher_->mask()
                          ? TileState(x, *polisher_->mask(), f.w.view(), h.view(), costs)
                          : TileState(x, f.w.view(), h.view(), costs);
    const std::size_t mw = boolmat::words_for(f.w.rows());
    const std::size_t nw = boolmat::words_for(f.ht.rows());
    for (std::size_t c = begin; c < r; ++c) {
        std::optional<std::pair<std::int64_t, std::size_t>> chosen;
        const VecView own_rows = tiles.tile_rows(c);
        const VecView own_cols = tiles.tile_cols(c);
        // Every tile of a small pool, a draw of kSwapCandidates of a large one.
        const std::size_t tries = std::min(pool.size(), kSwapCandidates);
        for (std::size_t d = 0; d < tries; ++d) {
            const std::size_t p =
                pool.size() <= kSwapCandidates ? d : static_cast<std::size_t>(draw(pool.size()));
            const VecView rows = pool.tile_rows(p);
            const VecView cols = pool.tile_cols(p);
            if (std::equal(rows.words.begin(), rows.words.begin() + static_cast<std::ptrdiff_t>(mw),
                           own_rows.words.begin()) &&
                std::equal(cols.words.begin(), cols.words.begin() + static_cast<std::ptrdiff_t>(nw),
                           own_cols.words.begin()))
                continue;
            const std::int64_t delta = tiles.delta_replace(c, rows, cols);
            if (!chosen || delta < chosen->first) chosen = {delta, p};
        }
        if (!chosen) continue;
        const VecView rows = pool.tile_rows(chosen->second);
        const VecView cols = pool.tile_cols(chosen->second);
        tiles.replace(c, rows, cols);
        set_column(f.w, c, rows.words.data());
        set_column(f.ht, c, cols.words.data());
    }
    f.error = tiles.error();
}

void SearchChain::reseed(Factors& f, std::size_t c) {
    const BitView x = polisher_->x();
    const BitView xt = polisher_->xt();
    const auto mask = polisher_->mask();
    const auto maskt = polisher_->maskt();
    const bool by_column = draw(2) == 0;
    const BitView side = by_column ? xt : x;
    const auto side_mask = by_column ? maskt : mask;
    const std::size_t count = side.rows();
    const std::size_t words = side.row_words();
    std::vector<Word> line(words);
    const std::size_t first = static_cast<std::size_t>(draw(count));
    for (std::size_t step = 0; step < count; ++step) {
        const std::size_t at = (first + step) % count;
        const std::span<const Word> v = side.row(at);
        for (std::size_t w = 0; w < words; ++w)
            line[w] = v[w] & (side_mask ? side_mask->row(at)[w] : ~Word{0});
        if (empty(line.data(), words)) continue;
        // The line (a column of X as rows, or a row as columns) on one side,
        // its own index alone on the other.
        std::vector<Word> single(boolmat::words_for(count), 0);
        put_bit(single.data(), at, true);
        set_column(f.w, c, by_column ? line.data() : single.data());
        set_column(f.ht, c, by_column ? single.data() : line.data());
        return;
    }
}

std::optional<std::pair<std::size_t, std::size_t>> SearchChain::uncovered_one(const Factors& f) {
    const BitView x = polisher_->x();
    const auto mask = polisher_->mask();
    const std::size_t m = x.rows();
    const std::size_t nw = x.row_words();
    const std::size_t r = f.w.cols();
    const BitMatrix h = boolmat::transpose(f.ht.view());
    std::vector<Word> left(nw);
    // The observed ones of row i that W∘H leaves at 0 (or all of them).
    const auto ones_of = [&](std::size_t i, bool uncovered) {
        const Word* xi = x.row(i).data();
        for (std::size_t w = 0; w < nw; ++w) left[w] = xi[w] & (mask ? mask->row(i)[w] : ~Word{0});
        if (!uncovered) return !empty(left.data(), nw);
        const Word* wi = f.w.row(i).data();
        for (std::size_t t = 0; t < r; ++t) {
            if (!bit(wi, t)) continue;
            const Word* ht = h.row(t).data();
            for (std::size_t w = 0; w < nw; ++w) left[w] &= ~ht[w];
        }
        return !empty(left.data(), nw);
    };
    const auto pick = [&](std::size_t i) {
        std::uint64_t ones = 0;
        for (std::size_t w = 0; w < nw; ++w)
            ones += static_cast<std::uint64_t>(std::popcount(left[w]));
        std::uint64_t target = draw(ones);
        for (std::size_t w = 0; w < nw; ++w) {
            for (Word b = left[w]; b != 0; b &= b - 1) {
                if (target-- == 0)
                    return std::make_pair(
                        i, w * boolmat::kWordBits + static_cast<std::size_t>(std::countr_zero(b)));
            }
        }
        return std::make_pair(i, std::size_t{0});
    };
    for (int attempt = 0; attempt < 32; ++attempt) {
        const auto i = static_cast<std::size_t>(draw(m));
        if (ones_of(i, true)) return pick(i);
    }
    for (const bool uncovered : {true, false}) {
        const auto first = static_cast<std::size_t>(draw(m));
        for (std::size_t step = 0; step < m; ++step) {
            const std::size_t i = (first + step) % m;
            if (ones_of(i, uncovered)) return pick(i);
        }
    }
    return std::nullopt;
}

void SearchChain::keep_tiles(const Factors& f) {
    const std::size_t mw = boolmat::words_for(f.w.rows());
    const std::size_t nw = boolmat::words_for(f.ht.rows());
    std::vector<Word> rows(mw), cols(nw);
    for (std::size_t c = 0; c < f.w.cols(); ++c) {
        column_of(f.w, c, rows.data());
        column_of(f.ht, c, cols.data());
        if (empty(rows.data(), mw) || empty(cols.data(), nw)) continue;
        if (!found_known_.insert(hash_tile(rows.data(), mw, cols.data(), nw)).second) continue;
        found_rows_.insert(found_rows_.end(), rows.begin(), rows.end());
        found_cols_.insert(found_cols_.end(), cols.begin(), cols.end());
    }
}

void SearchChain::hand_over(TilePool& pool) {
    check_pool(pool, *polisher_);
    const std::size_t m = polisher_->rows();
    const std::size_t n = polisher_->cols();
    const std::size_t mw = boolmat::words_for(m);
    const std::size_t nw = boolmat::words_for(n);
    const std::size_t count = found_rows_.size() / mw;
    for (std::size_t t = 0; t < count; ++t) {
        pool.add({std::span<const Word>(found_rows_.data() + t * mw, mw), m},
                 {std::span<const Word>(found_cols_.data() + t * nw, nw), n});
    }
    found_rows_.clear();
    found_cols_.clear();
    found_known_.clear();
}

}  // namespace bmf
