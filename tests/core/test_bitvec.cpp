// BitVec: construction, bit access at word boundaries, index and length
// failures, and or_assign / hamming against a std::vector<bool> model.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "boolmat/bitvec.hpp"
#include "boolmat/precondition.hpp"
#include "failure.hpp"

using boolmat::BitVec;
using boolmat::Word;

namespace {

std::vector<bool> random_bits(std::mt19937_64& rng, std::size_t n) {
    std::vector<bool> bits(n);
    for (std::size_t k = 0; k < n; ++k) bits[k] = rng() & 1;
    return bits;
}

BitVec to_bitvec(const std::vector<bool>& bits) {
    std::unique_ptr<bool[]> raw(new bool[bits.size()]);
    std::copy(bits.begin(), bits.end(), raw.get());
    return BitVec::from_bools({raw.get(), bits.size()});
}

TEST(BitVec, ConstructionAcrossWordBoundaries) {
    std::mt19937_64 rng(11);
    for (std::size_t n : {1, 2, 63, 64, 65, 127, 128, 129, 200}) {
        EXPECT_EQ(BitVec::zeros(n).words().size(), (n + 63) / 64);
        EXPECT_EQ(BitVec::zeros(n).count_ones(), 0u);
        const std::vector<bool> model = random_bits(rng, n);
        const BitVec v = to_bitvec(model);
        EXPECT_EQ(v.len(), n);
        for (std::size_t k = 0; k < n; ++k)
            ASSERT_EQ((v.words()[k / 64] >> (k % 64)) & 1, Word{model[k]}) << n << " " << k;
        EXPECT_EQ(v.count_ones(), std::size_t(std::count(model.begin(), model.end(), true)));
    }
    const bool bits[] = {true, false, true};
    EXPECT_EQ(BitVec::from_bools(bits).words()[0], 5u);
    // Excess bits of the caller's last word are dropped.
    const BitVec w = BitVec::from_words(std::vector<Word>{~Word{0}}, 3);
    EXPECT_EQ(w.words()[0], 7u);
    EXPECT_EQ(w.len(), 3u);
}

TEST(BitVec, ConstructionFailures) {
    EXPECT_EQ(failure_of([] { BitVec::zeros(0); }), "n égale à 0");
    EXPECT_EQ(failure_of([] { BitVec::from_bools({}); }), "n égale à 0");
    EXPECT_EQ(
        failure_of([] {
            BitVec::from_words(std::vector<Word>{1, 2}, 64);
        }),
        "assertion `left == right` failed: 2 mots fournis pour 64 bits\n  left: 2\n right: 1");
    // The length is checked before the word count.
    EXPECT_EQ(failure_of([] { BitVec::from_words(std::vector<Word>{1, 2, 3}, 0); }), "n égale à 0");
}

TEST(BitVec, GetSetAndIndexFailures) {
    BitVec v = BitVec::zeros(200);
    for (std::size_t k : {0, 63, 64, 127, 128, 199}) {
        v.set(k, true);
        EXPECT_TRUE(v.get(k));
        EXPECT_EQ(v.count_ones(), 1u) << k;
        v.set(k, false);
        EXPECT_EQ(v.count_ones(), 0u) << k;
    }
    BitVec s = BitVec::from_words(std::vector<Word>{5}, 3);
    EXPECT_EQ(failure_of([&] { s.get(64); }), "index 64 hors limites (1 mots)");
    EXPECT_EQ(failure_of([&] { s.set(64, true); }), "index 64 hors limites (1 mots)");
    EXPECT_EQ(failure_of([&] { s.get(3); }), "index 3 hors limites (len = 3)");
    EXPECT_EQ(failure_of([&] { s.set(63, true); }), "index 63 hors limites (len = 3)");
    EXPECT_EQ(s.words()[0], 5u);
}

TEST(BitVec, OrAssignAndHamming) {
    std::mt19937_64 rng(12);
    for (std::size_t n : {1, 64, 65, 200}) {
        const std::vector<bool> a = random_bits(rng, n), b = random_bits(rng, n);
        BitVec va = to_bitvec(a);
        std::size_t diff = 0;
        for (std::size_t k = 0; k < n; ++k) diff += a[k] != b[k];
        EXPECT_EQ(va.hamming(to_bitvec(b)), diff);
        va.or_assign(to_bitvec(b));
        for (std::size_t k = 0; k < n; ++k) ASSERT_EQ(va.get(k), a[k] || b[k]);
    }
    BitVec a = BitVec::from_words(std::vector<Word>{3, 1}, 65);
    const std::string report = "assertion `left == right` failed\n  left: 65\n right: 64";
    EXPECT_EQ(failure_of([&] { a.or_assign(BitVec::zeros(64)); }), report);
    EXPECT_EQ(failure_of([&] { a.hamming(BitVec::zeros(64)); }), report);
    // Same word count, different lengths: still refused, self unchanged.
    EXPECT_EQ(failure_of([&] {
                  a.or_assign(BitVec::from_words(std::vector<Word>{8, 2}, 66));
              }),
              "assertion `left == right` failed\n  left: 65\n right: 66");
    EXPECT_EQ(a.words()[0], 3u);
    EXPECT_EQ(a.words()[1], 1u);
}

}  // namespace
