#include "bmf_core/alternating/stop_rule.hpp"

namespace bmf {

StopRule::StopRule(std::uint64_t initial_error, std::uint64_t max_iter)
    : best_error_(initial_error), limit_(iteration_limit(max_iter)) {}

StopRule::Verdict StopRule::record(std::uint64_t error) {
    ++iterations_;
    if (error >= best_error_) return Verdict::DiscardAndStop;
    best_error_ = error;
    return iterations_ == limit_ ? Verdict::KeepAndStop : Verdict::Continue;
}

}  // namespace bmf
