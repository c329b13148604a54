// The one place that asks what the processor can do. Kernels never test the
// processor themselves: each kernel family has a single dispatch function that
// reads use_avx2() and calls its `_avx2` or `_portable` variant.
#pragma once

namespace boolmat::cpu {

// True when the processor and the operating system support AVX2 (checked
// once, on first use).
bool has_avx2();
// True when the processor has POPCNT, BMI1 and BMI2, which every AVX2
// processor has in practice (checked once).
bool has_bit_instructions();

// Makes every dispatcher pick its portable variant while `on` is true, so
// tests can run both variants on one machine. Process-wide; takes effect for
// the next kernel call.
void force_portable(bool on);

// True when the AVX2 variants may run: AVX2 and the bit instructions
// present and the portable variants not forced.
bool use_avx2();

}  // namespace boolmat::cpu

// Function attribute for the AVX2 variants: the 256-bit integer
// instructions plus POPCNT and TZCNT (BMI1), tested together by use_avx2().
#define BOOLMAT_TARGET_AVX2 __attribute__((target("avx2,popcnt,bmi,bmi2")))
