#include "cpu.hpp"

#include <atomic>

namespace boolmat::cpu {

namespace {

std::atomic<bool> forced{false};

struct Features {
    bool avx2;
    bool bits;
};

const Features& features() {
    // __builtin_cpu_supports checks the OS's saving of the ymm state too.
    static const Features f = [] {
        __builtin_cpu_init();
        return Features{__builtin_cpu_supports("avx2") != 0,
                        __builtin_cpu_supports("popcnt") != 0 && __builtin_cpu_supports("bmi") != 0 &&
                            __builtin_cpu_supports("bmi2") != 0};
    }();
    return f;
}

}  // namespace

bool has_avx2() { return features().avx2; }

bool has_bit_instructions() { return features().bits; }

void force_portable(bool on) { forced.store(on, std::memory_order_relaxed); }

bool use_avx2() {
    return !forced.load(std::memory_order_relaxed) && features().avx2 && features().bits;
}

}  // namespace boolmat::cpu
