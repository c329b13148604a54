// Every precondition failure of the core carries the kind a front end maps
// to its own error: shapes, indices, values out of their domain, sizes that
// cannot exist.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "bmf_core/alternating/ao_bmf.hpp"
#include "bmf_core/alternating/half_step.hpp"
#include "bmf_core/table/boolls.hpp"
#include "boolmat/bitmatrix.hpp"
#include "boolmat/bitvec.hpp"
#include "boolmat/precondition.hpp"

namespace {

using boolmat::BitMatrix;
using boolmat::BitVec;
using boolmat::FailKind;
using boolmat::Word;

FailKind kind_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const boolmat::PreconditionError& e) {
        return e.kind();
    }
    ADD_FAILURE() << "no failure";
    return FailKind::Internal;
}

TEST(FailKinds, StorageAndAlgebra) {
    BitMatrix m = BitMatrix::zeros(2, 70);
    const std::vector<Word> one{1};
    EXPECT_EQ(kind_of([] { BitMatrix::zeros(0, 5); }), FailKind::Value);
    EXPECT_EQ(kind_of([] { BitMatrix::ones(5, 0); }), FailKind::Value);
    EXPECT_EQ(kind_of([] { BitVec::zeros(0); }), FailKind::Value);
    EXPECT_EQ(kind_of([] { BitMatrix::zeros(std::size_t{1} << 60, 64); }), FailKind::Capacity);
    EXPECT_EQ(kind_of([&] { m.get(2, 0); }), FailKind::Index);
    EXPECT_EQ(kind_of([&] { m.set(0, 70, true); }), FailKind::Index);
    EXPECT_EQ(kind_of([&] { m.set_row(2, one); }), FailKind::Index);
    EXPECT_EQ(kind_of([&] { m.set_row(0, one); }), FailKind::Shape);
    EXPECT_EQ(kind_of([&] { BitVec::zeros(3).get(64); }), FailKind::Index);
    EXPECT_EQ(kind_of([&] { BitVec::from_words(one, 65); }), FailKind::Shape);
    EXPECT_EQ(kind_of([&] { m.or_assign(BitMatrix::zeros(2, 69)); }), FailKind::Shape);
    EXPECT_EQ(kind_of([&] { boolmat::product(m, m); }), FailKind::Shape);
    std::vector<Word> out(1);
    EXPECT_EQ(kind_of([&] { boolmat::accumulate_into(m, BitMatrix::zeros(70, 3), out); }),
              FailKind::Shape);
    BitMatrix wide = BitMatrix::zeros(1, 70);
    wide.set(0, 69, true);
    EXPECT_EQ(kind_of([&] { boolmat::accumulate_into(wide, BitMatrix::zeros(64, 3), out); }),
              FailKind::Index);
}

TEST(FailKinds, Solvers) {
    const BitMatrix x = BitMatrix::ones(4, 5);
    const bmf::BoolLs solver(BitMatrix::ones(4, 3));
    std::uint64_t state = 0;
    EXPECT_EQ(kind_of([&] { bmf::BoolLs(BitMatrix::zeros(2, 27)); }), FailKind::Value);
    EXPECT_EQ(kind_of([&] { bmf::BoolLs(BitMatrix::zeros(2, 65)); }), FailKind::Value);
    EXPECT_EQ(kind_of([&] { bmf::ao_bmf(x, 0, bmf::Method::Zeta, 1, 0); }), FailKind::Value);
    EXPECT_EQ(kind_of([&] { solver.solve_seeded(BitVec::zeros(5), bmf::Method::Zeta, 0); }),
              FailKind::Shape);
    EXPECT_EQ(kind_of([&] { solver.local_search(BitVec::zeros(4), 0, 0, 1, 4, state); }),
              FailKind::Value);
    EXPECT_EQ(kind_of([&] { solver.solve_all(BitMatrix::zeros(5, 2), bmf::Method::Naive, 0); }),
              FailKind::Shape);
}

}  // namespace
