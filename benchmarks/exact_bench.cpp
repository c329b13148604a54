// Whole half-steps of the alternating factorisation solved exactly three
// ways in the same run, on the same factors and vectors, with identical
// answers asserted: by the branch and bound alone (search_half_step), by the
// "zeta" table (half_step as ao_bmf runs it), and by half_step's Auto
// strategy, which picks per vector by the cost estimates. Prints, per
// half-step, the times and the ratios table / search and table / auto.
//
// Built by CMake with -DQUORBMF_BENCHMARKS=ON; `python benchmarks/exact.py
// --core` builds it in build/benchmarks and runs it on the real Mushroom table:
//   build/benchmarks/benchmarks/exact_bench [--mushroom FILE]
//       [--only mushroom,planted24,planted26,random] [--full]
//
// The vectors' classes and transposes are prepared once per run, as ao_bmf
// does, and are not timed; building each solver is.
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
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "bmf_core/alternating/ao_bmf.hpp"
#include "bmf_core/alternating/half_step.hpp"
#include "bmf_core/exact/exact_half_step.hpp"
#include "bmf_core/exact/exact_search.hpp"
#include "bmf_core/table/boolls.hpp"
#include "boolmat/bitmatrix.hpp"
#include "boolmat/words.hpp"

using boolmat::BitMatrix;
using boolmat::Word;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// A categorical table one-hot encoded like Mushroom: 23 attributes with
// Mushroom's numbers of values (118 items), rows drawn from 30 latent kinds
// that each prefer one value per attribute.
BitMatrix synthetic_mushroom(std::uint64_t seed) {
    const std::vector<int> levels{2, 6, 4, 10, 2, 9, 2, 2, 2, 12, 2, 4,
                                  4, 4, 9, 9,  1, 4, 3, 5, 9, 6,  7};
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

std::vector<std::uint64_t> patterns_of(const BitMatrix& factor) {
    std::vector<std::uint64_t> p(factor.rows());
    for (std::size_t i = 0; i < p.size(); ++i) p[i] = factor.row(i)[0];
    return p;
}

struct Totals {
    double search = 0, table = 0, chosen = 0;
};

// One half-step three ways: by the search alone (no table built), by the
// "zeta" table as half_step does it (building the solver included), and by
// half_step's Auto strategy. The table runs on every vector, or at ranks 24
// and up on a sample of the distinct vectors with its time extrapolated.
// Returns the solutions, row by row, after checking that all three agree.
BitMatrix timed_half_step(const char* name, const BitMatrix& factor, const bmf::VectorBlock& block,
                          bool full, Totals& totals, std::uint64_t& total_error) {
    const unsigned r = static_cast<unsigned>(factor.cols());
    const bmf::RowClasses& classes = block.classes();
    const std::size_t rows = block.vectors().rows(), n = classes.first.size();

    BitMatrix by_search = BitMatrix::zeros(rows, r);
    auto t0 = Clock::now();
    const bmf::ExactSearch search(patterns_of(factor), r);
    const bmf::SearchStep step =
        bmf::search_half_step(search, block, bmf::kUnlimitedNodes, by_search.view_mut());
    const double search_s = seconds_since(t0);

    const std::size_t stride = full || r < 24 ? 1 : std::max<std::size_t>(1, n / 100);
    BitMatrix sample = BitMatrix::zeros((n + stride - 1) / stride, block.vectors().cols());
    for (std::size_t c = 0, k = 0; c < n; c += stride, ++k)
        sample.set_row(k, block.vectors().row(classes.first[c]));
    const bmf::VectorBlock sampled(sample);
    BitMatrix by_table = BitMatrix::zeros(sample.rows(), r);
    t0 = Clock::now();
    const bmf::BoolLs solver(factor);
    const double built_s = seconds_since(t0);
    t0 = Clock::now();
    bmf::half_step(solver, sampled, bmf::Method::Zeta, 0, by_table.view_mut());
    const double table_s =
        built_s + seconds_since(t0) * static_cast<double>(n) / static_cast<double>(sample.rows());

    BitMatrix by_choice = BitMatrix::zeros(rows, r);
    t0 = Clock::now();
    const bmf::BoolLs chooser_solver(factor);
    const std::uint64_t chosen_total =
        bmf::half_step(chooser_solver, block, bmf::Method::Zeta, 0, by_choice.view_mut(),
                       bmf::ExactStrategy::Auto);
    const double chosen_s = seconds_since(t0);

    bool same = by_choice == by_search && chosen_total == step.total;
    for (std::size_t c = 0, k = 0; c < n; c += stride, ++k)
        same = same && by_table.row(k)[0] == by_search.row(classes.first[c])[0];
    if (!same) {
        std::fprintf(stderr, "%s: the three half-steps differ\n", name);
        std::exit(1);
    }
    total_error = step.total;
    std::printf(
        "  %-7s %5zu vectors, %5zu patterns | search %8.4f s | table %8.4f s%s | ratio %6.1fx | "
        "auto %8.4f s, ratio %6.1fx | %zu answers compared with the table\n",
        name, n, search.distinct_patterns(), search_s, table_s, stride > 1 ? " (sampled)" : "",
        table_s / search_s, chosen_s, table_s / chosen_s, sample.rows());
    totals.search += search_s;
    totals.table += table_s;
    totals.chosen += chosen_s;
    return by_search;
}

// `iterations` alternating iterations from the usual initial factor, each
// half-step timed three ways.
void workload(const char* title, const BitMatrix& x, unsigned r, int iterations, bool full) {
    std::printf("%s: %zu x %zu, %zu ones, rank %u\n", title, x.rows(), x.cols(), x.count_ones(), r);
    const BitMatrix xt = x.transpose();
    const bmf::VectorBlock columns(xt, x), rows(x, xt);
    BitMatrix w = bmf::initial_factor(xt, r, 1);
    Totals totals;
    for (int it = 1; it <= iterations; ++it) {
        std::uint64_t error = 0;
        std::printf(" iteration %d\n", it);
        const BitMatrix ht = timed_half_step("H-step", w, columns, full, totals, error);
        w = timed_half_step("W-step", ht, rows, full, totals, error);
        std::printf("  error after the iteration: %llu\n", (unsigned long long)error);
    }
    std::printf(" total: search %.3f s, table %.3f s, ratio %.1fx; auto %.3f s, ratio %.1fx\n\n",
                totals.search, totals.table, totals.table / totals.search, totals.chosen,
                totals.table / totals.chosen);
}

}  // namespace

int main(int argc, char** argv) {
    const char* mushroom = nullptr;
    std::string only = "mushroom,planted24,planted26,random";
    bool full = false;
    for (int a = 1; a < argc; ++a) {
        if (!std::strcmp(argv[a], "--mushroom") && a + 1 < argc)
            mushroom = argv[++a];
        else if (!std::strcmp(argv[a], "--only") && a + 1 < argc)
            only = argv[++a];
        else if (!std::strcmp(argv[a], "--full"))
            full = true;
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
    if (wanted("planted24"))
        workload("planted", planted(5000, 1000, 24, 0.1, 0.02, 11), 24, 2, full);
    if (wanted("planted26"))
        workload("planted", planted(5000, 1000, 26, 0.1, 0.02, 13), 26, 1, full);
    if (wanted("random")) workload("random dense", random_dense(2000, 500, 0.5, 17), 20, 1, full);
    return 0;
}
