// Precondition failures of the core.
//
// Core code (boolmat, bmf_core) never returns error values for violated
// preconditions: it throws `PreconditionError` carrying a French message.
// The Python layer turns it into its internal-error exception.
#pragma once

#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace boolmat {

// What a violated precondition was about, so that a front end can map a
// failure to its own error type once instead of re-checking the inputs:
// shapes and lengths that do not fit, an index out of range, a value out of
// its domain (a rank, a count), a size that cannot be represented, or an
// internal invariant (a caller's fault that no user input can cause).
enum class FailKind { Shape, Index, Value, Capacity, Internal };

// The one exception type for violated preconditions of the core.
class PreconditionError : public std::logic_error {
public:
    PreconditionError(FailKind kind, const std::string& message)
        : std::logic_error(message), kind_(kind) {}
    FailKind kind() const { return kind_; }

private:
    FailKind kind_;
};

// Throws a PreconditionError of kind `kind` with `message`.
[[noreturn]] void fail(FailKind kind, const std::string& message);
// Throws a PreconditionError of kind Internal with `message`: an invariant
// that no caller's input can break.
[[noreturn]] void fail(const std::string& message);

// Throws the equality report "assertion `left == right` failed: {custom}\n
// left: {left}\n right: {right}" (without ": {custom}" when custom is empty),
// of kind Shape: equality checks compare lengths and shapes.
[[noreturn]] void fail_eq(const std::string& left, const std::string& right,
                          const std::string& custom);

// Concatenates the decimal/text forms of its arguments.
template <class... Ts>
std::string cat(const Ts&... parts) {
    std::ostringstream out;
    (out << ... << parts);
    return out.str();
}

// Checks left == right; on failure reports both values and the custom
// message, which `make_message()` builds only when the check fails.
template <class L, class R, class MakeMessage>
void assert_eq(const L& left, const R& right, MakeMessage&& make_message) {
    if (!(left == right)) fail_eq(cat(left), cat(right), make_message());
}

// Checks left == right; the report carries no custom message.
template <class L, class R>
void assert_eq(const L& left, const R& right) {
    if (!(left == right)) fail_eq(cat(left), cat(right), std::string());
}

}  // namespace boolmat
