// The one place that asks what the processor can do. Kernels never test the
// processor themselves: every kernel family has one table of entry points
// per instruction set, and callers receive the table (boolmat/kernels.hpp).
#pragma once

namespace boolmat {

// The instruction sets the kernels are written for: every x86-64 processor
// (SSE2), and AVX2 with POPCNT, BMI1 and BMI2.
enum class Isa { Portable, Avx2 };

namespace cpu {

// True when the processor and the operating system support AVX2 (checked
// once, on first use).
bool has_avx2();
// True when the processor has POPCNT, BMI1 and BMI2, which every AVX2
// processor has in practice (checked once).
bool has_bit_instructions();
// True when the kernels of `isa` may run here.
bool supports(Isa isa);
// The fastest instruction set the processor supports.
Isa best_isa();

}  // namespace cpu

}  // namespace boolmat
