#include "boolmat/cpu.hpp"

namespace boolmat::cpu {

namespace {

struct Features {
    bool avx2;
    bool bits;
};

const Features& features() {
    // __builtin_cpu_supports checks the OS's saving of the ymm state too.
    static const Features f = [] {
        __builtin_cpu_init();
        return Features{__builtin_cpu_supports("avx2") != 0,
                        __builtin_cpu_supports("popcnt") != 0 &&
                            __builtin_cpu_supports("bmi") != 0 &&
                            __builtin_cpu_supports("bmi2") != 0};
    }();
    return f;
}

}  // namespace

bool has_avx2() { return features().avx2; }

bool has_bit_instructions() { return features().bits; }

bool supports(Isa isa) { return isa == Isa::Portable || (features().avx2 && features().bits); }

Isa best_isa() { return supports(Isa::Avx2) ? Isa::Avx2 : Isa::Portable; }

}  // namespace boolmat::cpu
