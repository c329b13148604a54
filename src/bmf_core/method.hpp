// The four solving methods and the one routine that parses their names.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace bmf {

// A name that matched no method: a byte-for-byte copy of the caller's text.
struct InvalidMethod {
    std::string name;
    // "methode inconnue : '{name}'. Valeurs acceptees : naive, zeta, greedy, greedy-ls"
    std::string message() const;
};

class Method {
public:
    enum Value : std::uint8_t { Naive = 0, Zeta = 1, Greedy = 2, GreedyLs = 3 };

    constexpr Method(Value v) : value_(v) {}
    constexpr operator Value() const { return value_; }

    // Parses a UTF-8 name: surrounding Unicode white space ignored, ASCII
    // letters compared case-insensitively, everything else byte for byte.
    static std::variant<Method, InvalidMethod> from_str(std::string_view name);
    // The canonical name ("naive", "zeta", "greedy", "greedy-ls").
    std::string_view name() const;

private:
    Value value_;
};

// The canonical names in ordinal order.
inline constexpr std::array<std::string_view, 4> kMethodNames{"naive", "zeta", "greedy",
                                                              "greedy-ls"};
// The names joined by ", ".
std::string joined_method_names();

// Largest rank a factorisation is offered at. The heuristics and the block
// refits work at any rank; this bound keeps a fit's factors (ceil(r / 64)
// words a row) within reason. The table methods stop at kMaxRank (26) and
// the exact search at kMaxSearchRank (64).
inline constexpr std::uint64_t kMaxFitRank = 1024;

}  // namespace bmf
