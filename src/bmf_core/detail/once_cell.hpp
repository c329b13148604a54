// A value computed on first use, at most once, by whichever thread asks
// first; later readers share it. Moving the cell moves the value; copying it
// gives an empty cell, so a copy recomputes on its own first use.
#pragma once

#include <memory>
#include <mutex>
#include <optional>

namespace bmf::detail {

template <class T>
class OnceCell {
public:
    OnceCell() : state_(std::make_unique<State>()) {}
    OnceCell(const OnceCell&) : OnceCell() {}
    OnceCell& operator=(const OnceCell&) {
        state_ = std::make_unique<State>();
        return *this;
    }
    OnceCell(OnceCell&&) noexcept = default;
    OnceCell& operator=(OnceCell&&) noexcept = default;

    // The value, made by make() on the first call.
    template <class Make>
    const T& get(Make&& make) const {
        std::call_once(state_->once, [&] { state_->value.emplace(make()); });
        return *state_->value;
    }

private:
    struct State {
        std::once_flag once;
        std::optional<T> value;
    };
    std::unique_ptr<State> state_;  // null only once moved from
};

}  // namespace bmf::detail
