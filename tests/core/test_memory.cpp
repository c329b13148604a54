// The allocation layer: owned arrays (zeroed, aligned, copied, moved), the
// scratch that only grows, and the size limit.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "boolmat/memory.hpp"
#include "boolmat/precondition.hpp"
#include "failure.hpp"

namespace {

using boolmat::OwnedArray;
using boolmat::Scratch;
using boolmat::Word;

TEST(OwnedArray, ZeroedAlignedCopiedAndMoved) {
    for (const std::size_t n : {1u, 7u, 64u, 100000u}) {
        const auto zero = OwnedArray<std::uint32_t>::zeroed(n);
        ASSERT_EQ(zero.size(), n);
        for (std::size_t k = 0; k < n; ++k) ASSERT_EQ(zero[k], 0u) << n;
        auto aligned = OwnedArray<Word>::line_aligned(n);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(aligned.data()) % 64, 0u) << n;
        for (std::size_t k = 0; k < n; ++k) aligned[k] = k * 3;
        const OwnedArray<Word> copy = aligned;
        aligned[0] = 99;
        EXPECT_EQ(copy[0], 0u);
        EXPECT_EQ(copy[n - 1], (n - 1) * 3);
        OwnedArray<Word> moved = std::move(aligned);
        EXPECT_EQ(moved[0], 99u);
        EXPECT_EQ(aligned.size(), 0u);
        EXPECT_TRUE(aligned.span().empty());
    }
    EXPECT_EQ(OwnedArray<Word>::zeroed(0).size(), 0u);
}

TEST(Scratch, ReusesItsBlockAndGrowsAligned) {
    Scratch s;
    std::uint16_t* small = s.get<std::uint16_t>(10);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(small) % 64, 0u);
    small[9] = 7;
    // A request that fits reuses the block, contents and all.
    EXPECT_EQ(s.get<std::uint16_t>(5), small);
    EXPECT_EQ(reinterpret_cast<std::uint16_t*>(s.get<std::uint32_t>(5))[9], 7u);
    std::uint32_t* big = s.get<std::uint32_t>(1 << 20);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(big) % 64, 0u);
    big[(1 << 20) - 1] = 1;
}

TEST(OwnedArray, SizesBeyondTheLimitAreCapacityFailures) {
    const auto kind_of = [](auto&& f) {
        try {
            f();
        } catch (const boolmat::PreconditionError& e) {
            return e.kind();
        }
        return boolmat::FailKind::Internal;
    };
    const std::size_t huge = std::numeric_limits<std::size_t>::max() / 4;
    EXPECT_EQ(failure_of([&] { OwnedArray<Word>::zeroed(huge); }), "capacity overflow");
    EXPECT_EQ(kind_of([&] { OwnedArray<Word>::uninitialised(huge); }), boolmat::FailKind::Capacity);
    Scratch s;
    EXPECT_EQ(kind_of([&] { s.get<std::uint32_t>(huge); }), boolmat::FailKind::Capacity);
}

}  // namespace
