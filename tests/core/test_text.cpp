// Text form: exact output for small matrices, the separator and elision rules
// at the widths and heights where they change, and sinks that fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "boolmat/text.hpp"
#include "matrices.hpp"

using boolmat::BitMatrix;

namespace {

// Accepts the first `budget` writes and refuses every later one.
struct FailingSink final : boolmat::TextSink {
    explicit FailingSink(std::size_t b) : budget(b) {}
    bool write(std::string_view piece) override {
        if (++calls > budget) return false;
        text.append(piece);
        return true;
    }
    std::size_t budget, calls = 0;
    std::string text;
};

// Row i written the plain way: the full row with a separator before each
// column, then for rows wider than 128 the first 64 cells, " ... " and the
// last 64 cells (without the separator before cell cols - 64).
std::string expected_row(const BitMatrix& m, std::size_t i) {
    std::string full;
    std::vector<std::size_t> cell_at(m.cols());
    for (std::size_t j = 0; j < m.cols(); ++j) {
        if (j > 0 && j % 8 == 0) full += j % 64 == 0 ? '|' : '_';
        cell_at[j] = full.size();
        full += m.get(i, j) ? '1' : '0';
    }
    if (m.cols() <= 128) return full;
    return full.substr(0, cell_at[63] + 1) + " ... " + full.substr(cell_at[m.cols() - 64]);
}

std::size_t count(const std::string& s, char ch) { return std::count(s.begin(), s.end(), ch); }

TEST(TextForm, SmallMatricesExactly) {
    EXPECT_EQ(boolmat::to_string(BitMatrix::ones(1, 1)), "1x1 (1 bits a 1)\n1");
    EXPECT_EQ(boolmat::to_string(BitMatrix::zeros(2, 10)),
              "2x10 (0 bits a 1)\n00000000_00\n00000000_00");
    BitMatrix m = BitMatrix::zeros(2, 17);
    m.set(0, 0, true), m.set(1, 8, true), m.set(1, 16, true);
    EXPECT_EQ(boolmat::to_string(m), "2x17 (3 bits a 1)\n10000000_00000000_0\n00000000_10000000_1");
}

TEST(TextForm, RowWidths) {
    std::mt19937_64 rng(61);
    // cols, length of the row text, number of "_", number of "|"
    const std::size_t cases[][4] = {
        {64, 71, 7, 0}, {65, 73, 7, 1}, {128, 143, 14, 1}, {129, 148, 14, 1}, {200, 147, 13, 1}};
    for (const auto& c : cases) {
        const BitMatrix m = random_matrix(rng, 1, c[0]);
        boolmat::StringSink sink;
        ASSERT_TRUE(boolmat::fmt_row(m, 0, sink));
        EXPECT_EQ(sink.text, expected_row(m, 0)) << c[0];
        EXPECT_EQ(sink.text.size(), c[1]) << c[0];
        EXPECT_EQ(count(sink.text, '_'), c[2]) << c[0];
        EXPECT_EQ(count(sink.text, '|'), c[3]) << c[0];
    }
    // The tail keeps the separators of its real column numbers.
    BitMatrix m = BitMatrix::zeros(1, 129);
    m.set(0, 65, true), m.set(0, 128, true), m.set(0, 64, true) /* elided */;
    boolmat::StringSink sink;
    boolmat::fmt_row(m, 0, sink);
    EXPECT_EQ(sink.text.substr(71),
              " ... 1000000_00000000_00000000_00000000_00000000_00000000_00000000_00000000|1");
}

TEST(TextForm, RowsElidedByHeight) {
    std::mt19937_64 rng(62);
    for (std::size_t rows : {1, 20, 21, 1000}) {
        for (std::size_t cols : {64, 65, 128, 129, 200}) {
            const BitMatrix m = random_matrix(rng, rows, cols);
            std::string expected = std::to_string(rows) + "x" + std::to_string(cols) + " (" +
                                   std::to_string(m.count_ones()) + " bits a 1)\n";
            for (std::size_t i = 0; i < rows; ++i) {
                if (rows > 20 && i >= 10 && i < rows - 10) continue;
                if (i > 0) expected += "\n";
                if (rows > 20 && i == rows - 10)
                    expected += "... (" + std::to_string(rows - 20) + " lignes omises) ...\n";
                expected += expected_row(m, i);
            }
            EXPECT_EQ(boolmat::to_string(m), expected) << rows << "x" << cols;
        }
    }
    EXPECT_NE(
        boolmat::to_string(BitMatrix::zeros(21, 2)).find("\n00\n... (1 lignes omises) ...\n00\n"),
        std::string::npos);
}

TEST(TextForm, HeaderCountsElidedCells) {
    BitMatrix m = BitMatrix::zeros(42, 300);  // "22 lignes omises": no digit 1
    m.set(15, 5, true), m.set(0, 100, true), m.set(41, 299, true);  // only the last is shown
    const std::string text = boolmat::to_string(m);
    const std::size_t body = text.find('\n') + 1;
    EXPECT_EQ(text.substr(0, body), "42x300 (3 bits a 1)\n");
    EXPECT_EQ(count(text.substr(body), '1'), 1u);
}

TEST(TextForm, StopsAtFirstFailedWrite) {
    std::mt19937_64 rng(63);
    for (auto [rows, cols] : {std::pair<std::size_t, std::size_t>{3, 70}, {25, 200}}) {
        const BitMatrix m = random_matrix(rng, rows, cols);
        FailingSink all(SIZE_MAX);
        ASSERT_TRUE(boolmat::display(m, all));
        EXPECT_EQ(all.text, boolmat::to_string(m));
        for (std::size_t budget :
             {std::size_t{0}, std::size_t{1}, std::size_t{2}, all.calls / 2, all.calls - 1}) {
            FailingSink sink(budget);
            EXPECT_FALSE(boolmat::display(m, sink)) << budget;
            EXPECT_EQ(sink.calls, budget + 1) << budget;  // no write after the failure
            EXPECT_EQ(all.text.compare(0, sink.text.size(), sink.text), 0);
        }
        FailingSink row_sink(8);  // the 9th write is the "_" before column 8
        EXPECT_FALSE(boolmat::fmt_row(m, rows - 1, row_sink));
        EXPECT_EQ(row_sink.calls, 9u);
    }
}

}  // namespace
