// When the alternating loop stops, the same rule for ao_bmf and for any
// caller that runs the loop itself over blocks of rows.
#pragma once

#include <cstdint>

namespace bmf {

// The number of improving iterations a run may do for `max_iter`: 0 counts
// as 1, in every layer.
constexpr std::uint64_t iteration_limit(std::uint64_t max_iter) {
    return max_iter == 0 ? 1 : max_iter;
}

// When the alternating loop stops: at the first iteration whose error is not
// strictly below the best so far (its factors are discarded), or once
// iteration_limit(max_iter) improving iterations are done. O(1) per record.
class StopRule {
public:
    enum class Verdict {
        Continue,       // improved: keep this iteration's factors, go on
        KeepAndStop,    // improved and the limit is reached: keep them, stop
        DiscardAndStop  // not improved: keep the previous best, stop
    };

    StopRule(std::uint64_t initial_error, std::uint64_t max_iter);
    // Records the error of the iteration just run and says what to do.
    Verdict record(std::uint64_t error);
    std::uint64_t best_error() const { return best_error_; }
    // Iterations run so far, counting a final one that did not improve.
    std::uint64_t iterations() const { return iterations_; }

private:
    std::uint64_t best_error_;
    std::uint64_t limit_;
    std::uint64_t iterations_ = 0;
};

}  // namespace bmf
