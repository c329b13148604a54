#include "boolmat/words.hpp"

#include "boolmat/precondition.hpp"

namespace boolmat {

std::size_t checked_word_count(std::size_t rows, std::size_t stride) {
    // rows * stride > kMaxWords  <=>  rows > floor(kMaxWords / stride); testing
    // it this way also rules out a product that wraps around.
    if (stride != 0 && rows > kMaxWords / stride) fail(FailKind::Capacity, "capacity overflow");
    return rows * stride;
}

}  // namespace boolmat
