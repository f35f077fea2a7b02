#include <gtest/gtest.h>

#include "base/text.h"

TEST(Text, RoundTripsAndEmptyInput) {
    const std::string samples[] = {"", "plain", "caf\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC",
                                   "\xF0\x9F\x98\x80 smile", std::string("nul\0inside", 10)};
    for (const auto& s : samples) {
        EXPECT_EQ(text_narrow_utf8(text_widen_utf8(s)), s);
        EXPECT_EQ(text_narrow_acp(text_widen_acp(s)), s);
    }
    EXPECT_EQ(text_widen_utf8("\xF0\x9F\x98\x80"), std::u16string(u"\U0001F600"));
    EXPECT_TRUE(text_widen_utf8("").empty());
}

TEST(Text, InvalidInputBecomesReplacementNotEmpty) {
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {"caf\xE9", "caf\xEF\xBF\xBD"},                        // a single-byte code page byte
        {"a\xC3", "a\xEF\xBF\xBD"},                            // cut-off sequence
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},              // overlong
        {"\xED\xA0\x80x", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDx"},  // encoded surrogate
        {"\xE2\x82", "\xEF\xBF\xBD"},                          // truncated three-byte sequence
    };
    for (const auto& c : cases) EXPECT_EQ(text_sanitize_utf8(c.in), c.out) << c.in;
    EXPECT_EQ(text_narrow_utf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(Text, CompletePrefixKeepsSequencesWhole) {
    struct Case {
        std::string in;
        size_t prefix;
    } cases[] = {
        {"abc", 3}, {"ab\xC3", 2}, {"ab\xC3\xA9", 4}, {"a\xE6\x97", 1}, {"a\xF0\x9F\x98", 1},
        {"a\xF0\x9F\x98\x80", 5},
    };
    for (const auto& c : cases) EXPECT_EQ(text_utf8_complete_prefix(c.in.data(), c.in.size()), c.prefix);
}
