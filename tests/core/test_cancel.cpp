// Stopping the classic covers on request: a flag set before the call stops
// it at once, a flag set from another thread stops a long call within a
// fraction of a second, and a flag never set changes nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "bmf_core/cancel.hpp"
#include "bmf_core/covers/asso.hpp"
#include "bmf_core/covers/grecond.hpp"
#include "matrices.hpp"

namespace bmf {
namespace {

using boolmat::BitMatrix;
using Clock = std::chrono::steady_clock;
using Cover = std::function<CoverResult(const BitMatrix&, Cancel)>;

struct Case {
    std::string name;
    Cover run;
};

std::vector<Case> covers() {
    return {{"grecond",
             [](const BitMatrix& x, Cancel c) { return grecond(x, 8, default_kernels(), c); }},
            {"asso", [](const BitMatrix& x, Cancel c) {
                 return asso(x, 8, {0.4, 1.0, 1.0}, default_kernels(), c);
             }}};
}

// Seconds from `since` to now.
double seconds_since(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

TEST(Cancel, DefaultIsNeverRequested) {
    std::atomic<bool> flag{false};
    const Cancel never, later(flag);
    EXPECT_FALSE(never.requested());
    EXPECT_FALSE(later.requested());
    flag = true;
    EXPECT_TRUE(later.requested());
    EXPECT_THROW(later.check(), Cancelled);
    EXPECT_NO_THROW(never.check());
}

TEST(Cancel, AFlagAlreadySetStopsACoverAtOnce) {
    std::mt19937_64 g(5);
    // Several seconds of work each when run to the end.
    const BitMatrix x = random_matrix(g, 300, 6000, percent(50));
    std::atomic<bool> flag{true};
    for (const Case& c : covers()) {
        const Clock::time_point begin = Clock::now();
        EXPECT_THROW(c.run(x, Cancel(flag)), Cancelled) << c.name;
        EXPECT_LT(seconds_since(begin), 0.1) << c.name;
    }
}

TEST(Cancel, AFlagSetFromAnotherThreadStopsALongCoverQuickly) {
    std::mt19937_64 g(6);
    // GreConD tests every column for every candidate; Asso's association
    // matrix alone is 20000² column pairs.
    const BitMatrix wide = random_matrix(g, 300, 20000, percent(50));
    for (const Case& c : covers()) {
        std::atomic<bool> flag{false};
        Clock::time_point set_at{};
        std::thread setter([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            set_at = Clock::now();
            flag = true;
        });
        bool stopped = false;
        try {
            c.run(wide, Cancel(flag));
        } catch (const Cancelled&) {
            stopped = true;
        }
        const double late = seconds_since(set_at);
        setter.join();
        EXPECT_TRUE(stopped) << c.name << " ended before the flag was set";
        // Polls come every few milliseconds of work; the rest is a loaded machine.
        EXPECT_LT(late, 1.0) << c.name;
    }
}

TEST(Cancel, AFlagNeverSetGivesTheSameCover) {
    std::mt19937_64 g(7);
    std::atomic<bool> flag{false};
    for (const std::size_t m : {1, 63, 130})
        for (const std::size_t n : {1, 64, 200})
            for (const unsigned pct : {10u, 50u, 90u}) {
                const BitMatrix x = random_matrix(g, m, n, percent(pct));
                for (const Case& c : covers()) {
                    const CoverResult plain = c.run(x, Cancel());
                    const CoverResult flagged = c.run(x, Cancel(flag));
                    EXPECT_EQ(flagged.w, plain.w) << c.name << " " << m << "x" << n;
                    EXPECT_EQ(flagged.h, plain.h) << c.name;
                    EXPECT_EQ(flagged.errors, plain.errors) << c.name;
                }
            }
}

}  // namespace
}  // namespace bmf
