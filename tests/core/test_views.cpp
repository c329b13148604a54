// Views over foreign buffers: every operation that reads a view gives, on a
// copy whose rows are farther apart than their words (gap words all ones),
// what it gives on the owning matrix.
#include <gtest/gtest.h>

#include <random>

#include "bmf_core/alternating/ao_bmf.hpp"
#include "bmf_core/table/boolls.hpp"
#include "boolmat/bitmatrix.hpp"
#include "matrices.hpp"
#include "padded.hpp"
#include "random_vectors.hpp"

namespace {

using boolmat::BitMatrix;
using boolmat::BitView;

TEST(Views, OwningMatricesAndVectorsConvert) {
    const BitMatrix m = BitMatrix::ones(3, 70);
    const BitView v = m;
    EXPECT_EQ(v.data(), m.words().data());
    EXPECT_EQ(v.rows(), 3u);
    EXPECT_EQ(v.cols(), 70u);
    EXPECT_EQ(v.stride(), 2u);
    EXPECT_TRUE(v.contiguous());
    EXPECT_EQ(v.rows(1, 3).row(0).data(), m.row(1).data());
    const boolmat::BitVec x = boolmat::BitVec::zeros(65);
    const boolmat::VecView xv = x;
    EXPECT_EQ(xv.len, 65u);
    EXPECT_EQ(xv.words.data(), x.words().data());
}

TEST(Views, TransposeProductAndCountsReadOnlyTheCells) {
    std::mt19937_64 g(71);
    for (auto [r, c] :
         {std::pair<std::size_t, std::size_t>{1, 1}, {65, 130}, {200, 64}, {7, 700}}) {
        for (const unsigned sparsity : {2u, 40u}) {
            const BitMatrix a = random_matrix(g, r, c, one_in(sparsity));
            const BitMatrix b = random_matrix(g, c, 90, one_in(sparsity));
            const Padded pa(a, 3), pb(b, 1);
            EXPECT_EQ(boolmat::transpose(pa.view()), a.transpose());
            EXPECT_EQ(boolmat::count_ones(pa.view()), a.count_ones());
            EXPECT_EQ(boolmat::product(pa.view(), pb.view()), product(a, b));
            // A view of some rows is a matrix of those rows.
            const BitView middle = pa.view().rows(r / 3, r);
            BitMatrix copy = BitMatrix::zeros(middle.rows(), c);
            for (std::size_t i = 0; i < middle.rows(); ++i) copy.set_row(i, a.row(r / 3 + i));
            EXPECT_EQ(boolmat::transpose(middle), copy.transpose());
        }
    }
}

TEST(Views, SolversAndInitialFactorReadForeignBuffers) {
    std::mt19937_64 g(72);
    const BitMatrix w = random_matrix(g, 150, 5, one_in(3));
    const bmf::BoolLs owned(w), foreign(Padded(w, 2).view());
    const Padded px(random_matrix(g, 150, 40, one_in(2)), 2);
    const BitMatrix x = boolmat::transpose(boolmat::transpose(px.view()));
    for (const bmf::Method method :
         {bmf::Method::Naive, bmf::Method::Zeta, bmf::Method::Greedy, bmf::Method::GreedyLs}) {
        EXPECT_EQ(foreign.solve_all(px.view(), method, 3), owned.solve_all(x, method, 3));
        const boolmat::BitVec v = random_x(g, 150);
        EXPECT_EQ(foreign.solve_seeded(v, method, 9), owned.solve_seeded(v, method, 9));
    }
    const BitMatrix xt = x.transpose();
    EXPECT_EQ(bmf::initial_factor(Padded(xt, 1).view(), 4, 11), bmf::initial_factor(xt, 4, 11));
    const bmf::BmfResult a = bmf::ao_bmf(px.view(), 4, bmf::Method::Zeta, 5, 2);
    const bmf::BmfResult b = bmf::ao_bmf(x, 4, bmf::Method::Zeta, 5, 2);
    EXPECT_EQ(a.w, b.w);
    EXPECT_EQ(a.h, b.h);
    EXPECT_EQ(a.iterations, b.iterations);
}

}  // namespace
