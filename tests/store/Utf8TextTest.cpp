#include "Quillobrandt/store/Utf8Text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using quillobrandt::toValidUtf8;
using quillobrandt::utf8Prefix;

const std::string fffd = "\xEF\xBF\xBD";

TEST(Utf8TextTest, ValidTextIsKeptAsItIs) {
    const std::string text = std::string("plain ascii that is longer than a block, ") + "caf\xC3\xA9 \xE2\x82\xAC " +
                             "\xF0\x9F\x98\x80 \xEF\xBF\xBC" + std::string("\0end", 4);
    EXPECT_EQ(toValidUtf8(text), text);
    EXPECT_EQ(toValidUtf8(""), "");
}

TEST(Utf8TextTest, EachMaximalIllFormedPartBecomesOneReplacement) {
    EXPECT_EQ(toValidUtf8("a\xFF" "b"), "a" + fffd + "b");
    EXPECT_EQ(toValidUtf8("\xC0\xAF"), fffd + fffd);                 // overlong lead, stray continuation
    EXPECT_EQ(toValidUtf8("\xE0\x80\x80"), fffd + fffd + fffd);      // overlong three-byte form
    EXPECT_EQ(toValidUtf8("\xED\xA0\x80"), fffd + fffd + fffd);      // surrogate
    EXPECT_EQ(toValidUtf8("\xF4\x90\x80\x80"), fffd + fffd + fffd + fffd); // above U+10FFFF
    EXPECT_EQ(toValidUtf8("x\xE2\x82"), "x" + fffd);                 // cut off at the end
    EXPECT_EQ(toValidUtf8("\xF0\x9F\x98" "ok"), fffd + "ok");        // cut off before ASCII
    EXPECT_EQ(toValidUtf8("0123456789abcdef\x80"), "0123456789abcdef" + fffd);
}

TEST(Utf8TextTest, PrefixCountsCharactersNotBytes) {
    const std::string text = "\xF0\x9F\x98\x80" "ab\xC3\xA9";
    EXPECT_EQ(utf8Prefix(text, 2), "\xF0\x9F\x98\x80" "a");
    EXPECT_EQ(utf8Prefix(text, 50), text);
    EXPECT_EQ(utf8Prefix(text, 0), "");
}

} // namespace
