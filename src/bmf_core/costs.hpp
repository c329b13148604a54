// Costs: what one wrong observed cell costs when a solver compares
// combinations. A false one is a cell where the product W∘H is 1 and X is 0,
// a false zero one where W∘H is 0 and X is 1. Each cost is an integer from 0
// to kMaxCost, or kInfiniteCost for at most one of the two: such errors are
// avoided before anything else ("from below" when false ones are infinite,
// since the combination 0 makes none). The default, 1 and 1, is the plain
// error, and every solver keeps its unweighted code path for it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace bmf {

inline constexpr std::uint64_t kMaxCost = std::uint64_t{1} << 24;
inline constexpr std::uint64_t kInfiniteCost = ~std::uint64_t{0};

// The weights one solve compares combinations with: the cost of a false one
// and of a false zero as integers, each at most max(kMaxCost, length + 1)
// for a vector of `length` positions, so that a vector's weighted error
// (at most 2^55 below 2^31 positions) and a half-step's total over fewer
// than 2^39 cells fit in 64 bits.
struct Weights {
    std::uint64_t false_one = 1;
    std::uint64_t false_zero = 1;

    bool operator==(const Weights&) const = default;
    // The weighted error of `false_ones` and `false_zeros` wrong cells.
    std::uint64_t of(std::uint64_t false_ones, std::uint64_t false_zeros) const {
        return false_one * false_ones + false_zero * false_zeros;
    }
};

class Costs {
public:
    // 1 and 1: the number of wrong cells.
    constexpr Costs() = default;

    // Checked: nullopt when both costs are 0, both infinite, or one is
    // neither in 0..kMaxCost nor kInfiniteCost (see problem()). Finite costs
    // are divided by their greatest common divisor (equal costs give 1 and
    // 1); next to an infinite cost a positive finite one becomes 1. O(log).
    static std::optional<Costs> of(std::uint64_t false_one, std::uint64_t false_zero);
    // Why of() refuses the pair, in words ("les couts ..."); empty when it
    // accepts it.
    static std::string problem(std::uint64_t false_one, std::uint64_t false_zero);
    // False ones forbidden, false zeros cost 1.
    static constexpr Costs from_below() { return Costs(kInfiniteCost, 1); }

    std::uint64_t false_one() const { return false_one_; }
    std::uint64_t false_zero() const { return false_zero_; }
    // True for the plain error (1 and 1), which the unweighted paths solve.
    bool unit() const { return false_one_ == 1 && false_zero_ == 1; }
    bool infinite() const { return false_one_ == kInfiniteCost || false_zero_ == kInfiniteCost; }

    // The weights of a vector of `length` positions: the costs themselves
    // when finite; an infinite cost becomes length + 1 times the other
    // (which is then 0 or 1), so that one such error outweighs every error
    // of the other kind the vector can hold and the order of combinations
    // is that of the infinite cost. O(1).
    Weights weights(std::uint64_t length) const;

    bool operator==(const Costs&) const = default;

private:
    constexpr Costs(std::uint64_t false_one, std::uint64_t false_zero)
        : false_one_(false_one), false_zero_(false_zero) {}

    std::uint64_t false_one_ = 1;
    std::uint64_t false_zero_ = 1;
};

}  // namespace bmf
