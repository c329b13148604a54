// Costs: the checks, the reduction to lowest terms and the weights of one
// solve, whose order of combinations must be that of the costs.
#include <gtest/gtest.h>

#include <cstdint>

#include "bmf_core/costs.hpp"

namespace bmf {
namespace {

TEST(Costs, RefusesWhatNoSolveCanCompare) {
    const std::uint64_t refused[][2] = {{0, 0},
                                        {kInfiniteCost, kInfiniteCost},
                                        {kMaxCost + 1, 1},
                                        {1, kMaxCost + 1},
                                        {kInfiniteCost - 1, 0}};
    for (const auto& c : refused) {
        EXPECT_FALSE(Costs::of(c[0], c[1])) << c[0] << " " << c[1];
        EXPECT_FALSE(Costs::problem(c[0], c[1]).empty());
    }
    EXPECT_TRUE(Costs::problem(kMaxCost, 0).empty());
}

TEST(Costs, ReducesToLowestTerms) {
    EXPECT_TRUE(Costs::of(7, 7)->unit());
    EXPECT_EQ(*Costs::of(6, 4), *Costs::of(3, 2));
    EXPECT_EQ(Costs::of(0, 5)->false_zero(), 1u);
    EXPECT_EQ(Costs::of(kInfiniteCost, 9)->false_zero(), 1u);
    EXPECT_EQ(*Costs::of(kInfiniteCost, 3), Costs::from_below());
    EXPECT_TRUE(Costs().unit());
    EXPECT_FALSE(Costs::from_below().unit());
    EXPECT_TRUE(Costs::from_below().infinite());
}

// Over every split of a vector's errors, an infinite cost's weights order
// (false ones, false zeros) as the costs do: the infinite kind first.
TEST(Costs, InfiniteWeightsOutweighEveryErrorOfTheOtherKind) {
    for (const std::uint64_t length : {0u, 1u, 5u, 17u}) {
        const Weights below = Costs::from_below().weights(length);
        const Weights above = Costs::of(1, kInfiniteCost)->weights(length);
        for (std::uint64_t a = 0; a <= length; ++a)
            for (std::uint64_t b = 0; a + b <= length; ++b)
                for (std::uint64_t c = 0; c <= length; ++c)
                    for (std::uint64_t d = 0; c + d <= length; ++d) {
                        const bool fewer_ones = a < c || (a == c && b < d);
                        EXPECT_EQ(below.of(a, b) < below.of(c, d), fewer_ones);
                        const bool fewer_zeros = b < d || (b == d && a < c);
                        EXPECT_EQ(above.of(a, b) < above.of(c, d), fewer_zeros);
                    }
    }
    EXPECT_EQ(Costs::of(kInfiniteCost, 0)->weights(9), (Weights{1, 0}));
    EXPECT_EQ(Costs::of(3, 5)->weights(1000), (Weights{3, 5}));
}

}  // namespace
}  // namespace bmf
