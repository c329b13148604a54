// Whole half-steps of the alternating factorisation solved exactly two ways:
// by the branch and bound (ExactSearch) and by the "zeta" table, in the same
// run, on the same factors and vectors, with identical answers asserted.
// Prints, per half-step, both times and their ratio (table / search).
//
// Built on demand, against the libraries of the C++ suite's build:
//   cmake --build build/core-tests -j2
//   g++ -O2 -std=c++20 -Isrc benchmarks/exact_bench.cpp -o build/exact_bench
//       build/core-tests/src/bmf_core/libbmf_core.a build/core-tests/src/boolmat/libboolmat.a
//   build/exact_bench [--mushroom FILE] [--only mushroom,planted24,planted26,random] [--full]
//
// FILE holds the Mushroom table one-hot encoded, one row of '0'/'1' per line
// (8124 x 118); without it a categorical table of the same shape is
// synthesised. At ranks 24 and 26 the table takes 10 to 40 ms a vector, so it
// is timed on an evenly spread sample of 100 of the distinct vectors and its
// half-step time extrapolated (--full times it on all of them).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "boolmat/bitmatrix.hpp"
#include "boolmat/words.hpp"
#include "bmf_core/ao_bmf.hpp"
#include "bmf_core/boolls.hpp"
#include "bmf_core/exact_search.hpp"
#include "bmf_core/zeta_solve.hpp"

using boolmat::BitMatrix;
using boolmat::Word;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::span<const Word> row_of(const BitMatrix& m, std::size_t i) {
    return m.row(i).first(boolmat::words_for(m.cols()));
}

// A categorical table one-hot encoded like Mushroom: 23 attributes with
// Mushroom's numbers of values (118 items), rows drawn from 30 latent kinds
// that each prefer one value per attribute.
BitMatrix synthetic_mushroom(std::uint64_t seed) {
    const std::vector<int> levels{2, 6, 4, 10, 2, 9, 2, 2, 2, 12, 2, 4,
                                  4, 4, 9, 9, 1, 4, 3, 5, 9, 6, 7};
    std::mt19937_64 g(seed);
    const int kinds = 30;
    std::vector<std::vector<int>> preferred(kinds);
    for (auto& p : preferred)
        for (const int l : levels) p.push_back(static_cast<int>(g() % static_cast<unsigned>(l)));
    const std::size_t items = std::accumulate(levels.begin(), levels.end(), std::size_t{0});
    BitMatrix x = BitMatrix::zeros(8124, items);
    for (std::size_t i = 0; i < x.rows(); ++i) {
        const auto& p = preferred[g() % kinds];
        std::size_t offset = 0;
        for (std::size_t a = 0; a < levels.size(); ++a) {
            const auto l = static_cast<unsigned>(levels[a]);
            const unsigned v = g() % 100 < 85 ? static_cast<unsigned>(p[a]) : g() % l;
            x.set(i, offset + v, true);
            offset += l;
        }
    }
    return x;
}

BitMatrix read_bits(const char* path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    if (lines.empty()) {
        std::fprintf(stderr, "%s: no rows\n", path);
        std::exit(1);
    }
    BitMatrix x = BitMatrix::zeros(lines.size(), lines[0].size());
    for (std::size_t i = 0; i < lines.size(); ++i)
        for (std::size_t j = 0; j < lines[i].size(); ++j) x.set(i, j, lines[i][j] == '1');
    return x;
}

// W∘H for random W (m x r) and H (r x n) of the given densities, with a
// fraction `noise` of the cells flipped.
BitMatrix planted(std::size_t m, std::size_t n, unsigned r, double density, double noise,
                  std::uint64_t seed) {
    std::mt19937_64 g(seed);
    std::bernoulli_distribution pick(density), flip(noise);
    std::vector<std::uint64_t> w(m), h(n);
    for (auto& p : w)
        for (unsigned c = 0; c < r; ++c) p |= std::uint64_t{pick(g)} << c;
    for (auto& p : h)
        for (unsigned c = 0; c < r; ++c) p |= std::uint64_t{pick(g)} << c;
    BitMatrix x = BitMatrix::zeros(m, n);
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < n; ++j) x.set(i, j, ((w[i] & h[j]) != 0) != flip(g));
    return x;
}

BitMatrix random_dense(std::size_t m, std::size_t n, double density, std::uint64_t seed) {
    std::mt19937_64 g(seed);
    std::bernoulli_distribution pick(density);
    BitMatrix x = BitMatrix::zeros(m, n);
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < n; ++j) x.set(i, j, pick(g));
    return x;
}

// The distinct rows of a matrix: the first row of each class, and the
// class of every row.
struct Classes {
    std::vector<std::size_t> first;
    std::vector<std::size_t> class_of;
};

Classes classes_of(const BitMatrix& v) {
    std::vector<std::size_t> order(v.rows());
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto less = [&](std::size_t a, std::size_t b) {
        const auto ra = row_of(v, a), rb = row_of(v, b);
        const int c = std::memcmp(ra.data(), rb.data(), ra.size_bytes());
        return c != 0 ? c < 0 : a < b;
    };
    std::sort(order.begin(), order.end(), less);
    Classes d;
    d.class_of.resize(v.rows());
    for (std::size_t k = 0; k < order.size(); ++k) {
        const std::size_t i = order[k];
        if (k == 0 || !std::ranges::equal(row_of(v, i), row_of(v, order[k - 1]))) d.first.push_back(i);
        d.class_of[i] = d.first.size() - 1;
    }
    return d;
}

std::vector<std::uint64_t> patterns_of(const BitMatrix& factor) {
    std::vector<std::uint64_t> p(factor.rows());
    for (std::size_t i = 0; i < p.size(); ++i) p[i] = factor.row(i)[0];
    return p;
}

struct Timed {
    std::vector<std::uint64_t> h;      // by class; only the timed classes for the table
    std::vector<std::uint64_t> error;  // by class
    double seconds = 0;                // for the whole half-step (extrapolated when sampled)
    std::uint64_t nodes = 0, most_nodes = 0, unfinished = 0;
};

Timed by_search(const BitMatrix& factor, const BitMatrix& vectors, const Classes& classes) {
    Timed t;
    const auto t0 = Clock::now();
    const bmf::ExactSearch search(patterns_of(factor), static_cast<unsigned>(factor.cols()));
    bmf::ExactScratch scratch;
    for (const std::size_t i : classes.first) {
        const bmf::ExactResult got = search.solve(row_of(vectors, i), scratch);
        t.h.push_back(got.h);
        t.error.push_back(got.error);
        t.nodes += got.nodes;
        t.most_nodes = std::max(t.most_nodes, got.nodes);
        t.unfinished += !got.finished;
    }
    t.seconds = seconds_since(t0);
    return t;
}

// The search where ExactChooser expects it to be cheaper, the table for the
// other vectors and for those whose search ran out of budget.
Timed by_choice(const BitMatrix& factor, const BitMatrix& vectors, const Classes& classes,
                std::uint64_t& tabled) {
    Timed t;
    const auto t0 = Clock::now();
    const bmf::ExactSearch search(patterns_of(factor), static_cast<unsigned>(factor.cols()));
    bmf::ExactChooser chooser(search);
    bmf::ExactScratch scratch;
    std::unique_ptr<bmf::BoolLs> table;  // built on first need
    bmf::ZetaScratch zeta_scratch;
    tabled = 0;
    for (const std::size_t i : classes.first) {
        const auto x = row_of(vectors, i);
        const std::uint64_t budget = chooser.budget(vectors.row_count_ones(i));
        if (budget > 0) {
            const bmf::ExactResult got = search.solve(x, scratch, budget);
            chooser.record(got);
            t.nodes += got.nodes;
            if (got.finished) {
                t.h.push_back(got.h);
                t.error.push_back(got.error);
                continue;
            }
        }
        if (!table) table = std::make_unique<bmf::BoolLs>(factor);
        const bmf::Solution s = bmf::zeta_solve(table->zeta_table(), x, zeta_scratch);
        t.h.push_back(s.h);
        t.error.push_back(s.error);
        ++tabled;
    }
    t.seconds = seconds_since(t0);
    return t;
}

// Every `step`-th class (all of them for step 1), the others left at 0.
Timed by_table(const BitMatrix& factor, const BitMatrix& vectors, const Classes& classes,
               std::size_t step) {
    Timed t;
    const std::size_t n = classes.first.size();
    t.h.assign(n, 0);
    t.error.assign(n, 0);
    const auto t0 = Clock::now();
    const bmf::BoolLs solver(factor);
    const double built = seconds_since(t0);
    const auto t1 = Clock::now();
    bmf::ZetaScratch scratch;
    std::size_t timed = 0;
    for (std::size_t c = 0; c < n; c += step, ++timed) {
        const bmf::Solution s = bmf::zeta_solve(solver.zeta_table(), row_of(vectors, classes.first[c]), scratch);
        t.h[c] = s.h;
        t.error[c] = s.error;
    }
    t.seconds = built + seconds_since(t1) * static_cast<double>(n) / static_cast<double>(timed);
    return t;
}

// The factor whose rows are the solutions of `vectors`' classes.
BitMatrix factor_from(const std::vector<std::uint64_t>& h, const Classes& classes, unsigned r) {
    BitMatrix f = BitMatrix::zeros(classes.class_of.size(), r);
    for (std::size_t i = 0; i < classes.class_of.size(); ++i) {
        const Word w = h[classes.class_of[i]];
        f.set_row(i, std::span<const Word>(&w, 1));
    }
    return f;
}

struct Totals {
    double search = 0, table = 0, chosen = 0;
};

// One half-step both ways; returns the search's solutions (identical to the
// table's wherever the table ran, which is checked).
std::vector<std::uint64_t> half_step(const char* name, const BitMatrix& factor,
                                     const BitMatrix& vectors, const Classes& classes, bool full,
                                     Totals& totals, std::uint64_t& total_error) {
    const unsigned r = static_cast<unsigned>(factor.cols());
    const std::size_t n = classes.first.size();
    const std::size_t step = full || r < 24 ? 1 : std::max<std::size_t>(1, n / 100);
    const Timed s = by_search(factor, vectors, classes);
    const Timed z = by_table(factor, vectors, classes, step);
    std::uint64_t tabled = 0;
    const Timed a = by_choice(factor, vectors, classes, tabled);
    std::size_t compared = 0;
    for (std::size_t c = 0; c < n; c += step, ++compared) {
        if (s.h[c] != z.h[c] || s.error[c] != z.error[c] || a.h[c] != s.h[c]) {
            std::fprintf(stderr, "%s: class %zu differs: search (%llu, %llu), table (%llu, %llu)\n", name, c,
                         (unsigned long long)s.h[c], (unsigned long long)s.error[c],
                         (unsigned long long)z.h[c], (unsigned long long)z.error[c]);
            std::exit(1);
        }
    }
    total_error = 0;
    for (std::size_t i = 0; i < classes.class_of.size(); ++i) total_error += s.error[classes.class_of[i]];
    const bmf::ExactSearch probe(patterns_of(factor), r);
    std::printf("  %-7s %5zu vectors, %5zu patterns | search %9.4f s (nodes: mean %.0f, max %llu) | "
                "table %9.4f s%s | ratio %7.1fx | chosen %9.4f s, %llu by the table, ratio %7.1fx | "
                "%zu answers equal\n",
                name, n, probe.distinct_patterns(), s.seconds, static_cast<double>(s.nodes) / static_cast<double>(n),
                (unsigned long long)s.most_nodes, z.seconds, step > 1 ? " (sampled)" : "",
                z.seconds / s.seconds, a.seconds, (unsigned long long)tabled, z.seconds / a.seconds, compared);
    totals.search += s.seconds;
    totals.table += z.seconds;
    totals.chosen += a.seconds;
    return s.h;
}

// `iterations` alternating iterations from the usual initial factor, each
// half-step timed both ways.
void workload(const char* title, const BitMatrix& x, unsigned r, int iterations, bool full) {
    std::printf("%s: %zu x %zu, %zu ones, rank %u\n", title, x.rows(), x.cols(), x.count_ones(), r);
    const BitMatrix xt = x.transpose();
    const Classes columns = classes_of(xt), rows = classes_of(x);
    BitMatrix w = bmf::initial_factor(xt, r, 1);
    Totals totals;
    for (int it = 1; it <= iterations; ++it) {
        std::uint64_t error = 0;
        std::printf(" iteration %d\n", it);
        const auto hs = half_step("H-step", w, xt, columns, full, totals, error);
        const BitMatrix ht = factor_from(hs, columns, r);
        const auto ws = half_step("W-step", ht, x, rows, full, totals, error);
        w = factor_from(ws, rows, r);
        std::printf("  error after the iteration: %llu\n", (unsigned long long)error);
    }
    std::printf(" total: search %.3f s, table %.3f s, ratio %.1fx; chosen %.3f s, ratio %.1fx\n\n",
                totals.search, totals.table, totals.table / totals.search, totals.chosen,
                totals.table / totals.chosen);
}

}  // namespace

int main(int argc, char** argv) {
    const char* mushroom = nullptr;
    std::string only = "mushroom,planted24,planted26,random";
    bool full = false;
    for (int a = 1; a < argc; ++a) {
        if (!std::strcmp(argv[a], "--mushroom") && a + 1 < argc) mushroom = argv[++a];
        else if (!std::strcmp(argv[a], "--only") && a + 1 < argc) only = argv[++a];
        else if (!std::strcmp(argv[a], "--full")) full = true;
        else {
            std::fprintf(stderr, "usage: %s [--mushroom FILE] [--only LIST] [--full]\n", argv[0]);
            return 2;
        }
    }
    const auto wanted = [&](const char* name) { return only.find(name) != std::string::npos; };
    if (wanted("mushroom")) {
        const BitMatrix x = mushroom ? read_bits(mushroom) : synthetic_mushroom(7);
        workload(mushroom ? "Mushroom" : "Mushroom-like (synthetic)", x, 20, 2, full);
    }
    if (wanted("planted24")) workload("planted", planted(5000, 1000, 24, 0.1, 0.02, 11), 24, 2, full);
    if (wanted("planted26")) workload("planted", planted(5000, 1000, 26, 0.1, 0.02, 13), 26, 1, full);
    if (wanted("random")) workload("random dense", random_dense(2000, 500, 0.5, 17), 20, 1, full);
    return 0;
}
