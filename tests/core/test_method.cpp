// Method names: the canonical list and the parser's trimming and case rules.
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "bmf_core/method.hpp"

namespace bmf {
namespace {

TEST(MethodNames, CanonicalNamesInOrdinalOrder) {
    EXPECT_EQ(Method(Method::Naive).name(), "naive");
    EXPECT_EQ(Method(Method::Zeta).name(), "zeta");
    EXPECT_EQ(Method(Method::Greedy).name(), "greedy");
    EXPECT_EQ(Method(Method::GreedyLs).name(), "greedy-ls");
    EXPECT_EQ(joined_method_names(), "naive, zeta, greedy, greedy-ls");
}

struct Accepted {
    const char* text;
    Method::Value want;
};

TEST(MethodParse, AcceptsCanonicalNamesCaseAndSurroundingWhiteSpace) {
    const Accepted cases[] = {
        {"naive", Method::Naive},
        {"zeta", Method::Zeta},
        {"greedy", Method::Greedy},
        {"greedy-ls", Method::GreedyLs},
        {"ZETA", Method::Zeta},
        {" zeta ", Method::Zeta},
        {"\tgreedy-LS\n", Method::GreedyLs},
        {"zeta\u3000", Method::Zeta},
        {"\u00a0NaIvE\u00a0", Method::Naive},
        {"\u0085\u1680\u2000\u200a\v\f\r greedy \u2028\u2029\u202f\u205f", Method::Greedy},
    };
    for (const Accepted& c : cases) {
        const auto parsed = Method::from_str(c.text);
        ASSERT_TRUE(std::holds_alternative<Method>(parsed)) << c.text;
        EXPECT_EQ(std::get<Method>(parsed), c.want) << c.text;
    }
}

TEST(MethodParse, RejectsOtherNamesEchoingTheInputVerbatim) {
    const std::string cases[] = {
        "greedy_ls",    "",        "   ",      "na\u00cfve",  // capital I with diaeresis
        "gree dy",      " ZETA_ ", "greedyls", "greedy-ls-",
        "\u200bzeta",    // zero-width space is not white space
        "zeta\u180e",    // nor is the Mongolian vowel separator
        "zeta\xc2",      // truncated sequence at the end
        "\xc0\xa0zeta",  // overlong encoding of a space
    };
    for (const std::string& text : cases) {
        const auto parsed = Method::from_str(text);
        ASSERT_TRUE(std::holds_alternative<InvalidMethod>(parsed)) << text;
        const InvalidMethod& error = std::get<InvalidMethod>(parsed);
        EXPECT_EQ(error.name, text);
        EXPECT_EQ(error.message(), "methode inconnue : '" + text +
                                       "'. Valeurs acceptees : naive, zeta, greedy, greedy-ls");
    }
    EXPECT_EQ(std::get<InvalidMethod>(Method::from_str("")).message(),
              "methode inconnue : ''. Valeurs acceptees : naive, zeta, greedy, greedy-ls");
}

}  // namespace
}  // namespace bmf
