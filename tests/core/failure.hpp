// Test helper: the message of the PreconditionError that f throws.
#pragma once

#include <string>

#include "boolmat/precondition.hpp"

template <class F>
std::string failure_of(F&& f) {
    try {
        f();
    } catch (const boolmat::PreconditionError& e) {
        return e.what();
    }
    return "<no failure>";
}
