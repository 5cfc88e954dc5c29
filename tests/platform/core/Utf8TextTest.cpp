#include "platform/core/Utf8Text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

namespace utf8 = platform::utf8;

const std::string fffd = "\xEF\xBF\xBD";

TEST(Utf8TextTest, ValidTextIsKeptAsItIs) {
    const std::string text = std::string("plain ascii that is longer than a block, ") + "caf\xC3\xA9 \xE2\x82\xAC " +
                             "\xF0\x9F\x98\x80 \xEF\xBF\xBC" + std::string("\0end", 4);
    EXPECT_EQ(utf8::toValid(text), text);
    EXPECT_EQ(utf8::toValid(""), "");
    EXPECT_TRUE(utf8::isValid(text));
}

TEST(Utf8TextTest, EachMaximalIllFormedPartBecomesOneReplacement) {
    EXPECT_EQ(utf8::toValid("a\xFF"
                            "b"),
              "a" + fffd + "b");
    EXPECT_EQ(utf8::toValid("\xC0\xAF"), fffd + fffd);                       // overlong lead, stray continuation
    EXPECT_EQ(utf8::toValid("\xE0\x80\x80"), fffd + fffd + fffd);            // overlong three-byte form
    EXPECT_EQ(utf8::toValid("\xED\xA0\x80"), fffd + fffd + fffd);            // surrogate
    EXPECT_EQ(utf8::toValid("\xF4\x90\x80\x80"), fffd + fffd + fffd + fffd); // above U+10FFFF
    EXPECT_EQ(utf8::toValid("x\xE2\x82"), "x" + fffd);                       // cut off at the end
    EXPECT_EQ(utf8::toValid("\xF0\x9F\x98"
                            "ok"),
              fffd + "ok"); // cut off before ASCII
    EXPECT_EQ(utf8::toValid("0123456789abcdef\x80"), "0123456789abcdef" + fffd);
    for (const char* bad :
         {"a\xFF", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "x\xE2\x82", "0123456789abcdef\x80"}) {
        EXPECT_FALSE(utf8::isValid(bad)) << bad;
    }
}

TEST(Utf8TextTest, PrefixCountsCharactersNotBytes) {
    const std::string text = "\xF0\x9F\x98\x80"
                             "ab\xC3\xA9";
    EXPECT_EQ(utf8::prefix(text, 2), "\xF0\x9F\x98\x80"
                                     "a");
    EXPECT_EQ(utf8::prefix(text, 50), text);
    EXPECT_EQ(utf8::prefix(text, 0), "");
    EXPECT_EQ(utf8::prefix("\x80\x80"
                           "a",
                           1),
              "\x80"); // a stray byte counts as one character
    EXPECT_EQ(utf8::prefixBytes(text, 5), "\xF0\x9F\x98\x80"
                                          "a");
    EXPECT_EQ(utf8::prefixBytes(text, 6 + 1), "\xF0\x9F\x98\x80"
                                              "ab"); // never half of the last character
    EXPECT_EQ(utf8::prefixBytes(text, 3), "");
}

TEST(Utf8TextTest, TrimRemovesUnicodeSpacesAndLineBreaksAtBothEnds) {
    EXPECT_EQ(utf8::trimWhitespace(" \t\n\xE3\x80\x80 caf\xC3\xA9 \xC2\xA0\xE2\x80\xA8\r\n"), "caf\xC3\xA9");
    EXPECT_EQ(utf8::trimWhitespace("\xE2\x80\xA9 \xC2\x85"), "");
    EXPECT_EQ(utf8::trimWhitespace("a b"), "a b");
}

} // namespace
