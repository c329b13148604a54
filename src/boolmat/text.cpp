// Text form of a BitMatrix. Everything goes through the sink one piece at a
// time (one cell, one separator, one header or elision line); nothing the
// size of the matrix is ever buffered.
#include "boolmat/text.hpp"

#include <charconv>

namespace boolmat {

namespace {

constexpr std::size_t kFullWidth = 128;  // widest row shown whole
constexpr std::size_t kShownEdge = 64;   // cells shown at each end of a wider row
constexpr std::size_t kFullHeight = 20;  // tallest matrix shown whole
constexpr std::size_t kShownRows = 10;   // rows shown at each end of a taller one

// Small fixed buffer for the header and the elision line; numbers are plain
// decimal.
class Line {
public:
    Line& operator<<(std::string_view s) {
        len_ += s.copy(buf_ + len_, sizeof buf_ - len_);
        return *this;
    }
    Line& operator<<(std::size_t n) {
        const auto [end, ec] = std::to_chars(buf_ + len_, buf_ + sizeof buf_, n);
        if (ec == std::errc()) len_ = static_cast<std::size_t>(end - buf_);
        return *this;
    }
    std::string_view view() const { return {buf_, len_}; }

private:
    char buf_[96];  // the longest line, with three 20-digit numbers, fits
    std::size_t len_ = 0;
};

bool write_cell(const BitMatrix& m, std::size_t i, std::size_t j, TextSink& sink) {
    return sink.write(m.get(i, j) ? "1" : "0");
}

// Writes the separator that precedes column j (none for j = 0 or off-group).
bool write_separator(std::size_t j, TextSink& sink) {
    if (j % 64 == 0) return sink.write("|");
    if (j % 8 == 0) return sink.write("_");
    return true;
}

// Writes cells [from, to) of row i, each preceded by its separator except
// the first.
bool write_cells(const BitMatrix& m, std::size_t i, std::size_t from, std::size_t to,
                 TextSink& sink) {
    if (!write_cell(m, i, from, sink)) return false;
    for (std::size_t j = from + 1; j < to; ++j)
        if (!write_separator(j, sink) || !write_cell(m, i, j, sink)) return false;
    return true;
}

// Writes rows [from, to), separated by "\n", none after the last.
bool write_rows(const BitMatrix& m, std::size_t from, std::size_t to, TextSink& sink) {
    for (std::size_t i = from; i < to; ++i) {
        if (i != from && !sink.write("\n")) return false;
        if (!fmt_row(m, i, sink)) return false;
    }
    return true;
}

}  // namespace

bool StringSink::write(std::string_view piece) {
    text.append(piece);
    return true;
}

bool fmt_row(const BitMatrix& m, std::size_t i, TextSink& sink) {
    const std::size_t c = m.cols();
    if (c <= kFullWidth) return write_cells(m, i, 0, c, sink);
    // The tail's separators follow the real column numbers, so the first
    // tail cell has none and the rest fall where they would in a full row.
    return write_cells(m, i, 0, kShownEdge, sink) && sink.write(" ... ") &&
           write_cells(m, i, c - kShownEdge, c, sink);
}

bool display(const BitMatrix& m, TextSink& sink) {
    const std::size_t rows = m.rows();
    Line header;
    header << rows << "x" << m.cols() << " (" << m.count_ones() << " bits a 1)\n";
    if (!sink.write(header.view())) return false;
    if (rows <= kFullHeight) return write_rows(m, 0, rows, sink);

    Line omitted;
    omitted << "... (" << rows - 2 * kShownRows << " lignes omises) ...\n";
    return write_rows(m, 0, kShownRows, sink) && sink.write("\n") && sink.write(omitted.view()) &&
           write_rows(m, rows - kShownRows, rows, sink);
}

std::string to_string(const BitMatrix& m) {
    StringSink sink;
    display(m, sink);
    return std::move(sink.text);
}

}  // namespace boolmat
