// A caller's request that a long call stop early: a view of a flag that any
// thread may set at any time. A call that takes one polls it between
// bounded amounts of work (its header says how often) and, once the flag is
// set, throws Cancelled: it returns nothing and leaves its arguments as
// they were. A poll is one relaxed load, so polling costs nothing next to
// the work between two polls.
#pragma once

#include <atomic>
#include <exception>

namespace bmf {

// What a call throws when it stops because its Cancel was requested.
class Cancelled : public std::exception {
public:
    const char* what() const noexcept override { return "calcul interrompu par l'appelant"; }
};

// Whether the caller wants a call to stop; by default never.
class Cancel {
public:
    constexpr Cancel() = default;
    // Requested once `flag` is true; the flag must outlive every call given this.
    explicit constexpr Cancel(const std::atomic<bool>& flag) : flag_(&flag) {}

    // Returns whether the stop has been requested.
    bool requested() const { return flag_ != nullptr && flag_->load(std::memory_order_relaxed); }
    // Throws Cancelled when the stop has been requested.
    void check() const {
        if (requested()) throw Cancelled{};
    }

private:
    const std::atomic<bool>* flag_ = nullptr;
};

}  // namespace bmf
