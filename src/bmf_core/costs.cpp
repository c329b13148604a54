// Costs: the checks and the weights of one solve.
#include "bmf_core/costs.hpp"

#include <numeric>

namespace bmf {
namespace {

bool valid_cost(std::uint64_t c) { return c <= kMaxCost || c == kInfiniteCost; }

}  // namespace

std::string Costs::problem(std::uint64_t false_one, std::uint64_t false_zero) {
    if (!valid_cost(false_one) || !valid_cost(false_zero)) {
        return "les couts vont de 0 a " + std::to_string(kMaxCost) +
               ", ou l'infini pour l'un des deux";
    }
    if (false_one == 0 && false_zero == 0) return "les deux couts sont nuls";
    if (false_one == kInfiniteCost && false_zero == kInfiniteCost)
        return "les deux couts sont infinis";
    return {};
}

std::optional<Costs> Costs::of(std::uint64_t false_one, std::uint64_t false_zero) {
    if (!problem(false_one, false_zero).empty()) return std::nullopt;
    if (false_one == kInfiniteCost) return Costs(kInfiniteCost, false_zero == 0 ? 0 : 1);
    if (false_zero == kInfiniteCost) return Costs(false_one == 0 ? 0 : 1, kInfiniteCost);
    const std::uint64_t g = std::gcd(false_one, false_zero);
    return Costs(false_one / g, false_zero / g);
}

Weights Costs::weights(std::uint64_t length) const {
    if (false_one_ == kInfiniteCost)
        return false_zero_ == 0 ? Weights{1, 0} : Weights{length + 1, 1};
    if (false_zero_ == kInfiniteCost)
        return false_one_ == 0 ? Weights{0, 1} : Weights{1, length + 1};
    return Weights{false_one_, false_zero_};
}

}  // namespace bmf
