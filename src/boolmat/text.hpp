// Text form of a BitMatrix: a header with the shape and the number of ones,
// then one line per row with "_" every 8 and "|" every 64 columns, the middle
// of rows wider than 128 columns and the middle rows of matrices taller than
// 20 rows elided. Written piece by piece to a caller's sink.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "boolmat/bitmatrix.hpp"

namespace boolmat {

// A character stream accepting string pieces; write returns false when the
// piece could not be written.
class TextSink {
public:
    virtual ~TextSink() = default;
    virtual bool write(std::string_view piece) = 0;
};

// A sink appending to a std::string; never fails.
class StringSink final : public TextSink {
public:
    bool write(std::string_view piece) override;
    std::string text;
};

// Writes row i (no newline); returns false at the first failed write.
bool fmt_row(const BitMatrix& m, std::size_t i, TextSink& sink);
// Writes the whole text form; returns false at the first failed write.
bool display(const BitMatrix& m, TextSink& sink);
// The whole text form as a string.
std::string to_string(const BitMatrix& m);

}  // namespace boolmat
