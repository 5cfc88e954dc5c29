#include "platform/qt/VCardParser.h"

#include <gtest/gtest.h>

namespace {

using platform::ContactRecord;
using platform::parseVCards;

TEST(VCardParser, Version30WithFoldedLinesEscapesAndGroups) {
    const auto cards = parseVCards("BEGIN:VCARD\r\n"
                                   "VERSION:3.0\r\n"
                                   "N:O'Brien\\;Smith;Mar\r\n"
                                   " y Ann;;;\r\n"
                                   "FN:Should Not Matter\r\n"
                                   "item1.TEL;type=CELL;type=pref:+1 (555) 123-4567\r\n"
                                   "TEL;TYPE=HOME:555.987\r\n"
                                   "\t.6543\r\n"
                                   "END:VCARD\r\n");
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].familyName, "O'Brien;Smith");
    EXPECT_EQ(cards[0].givenName, "Mary Ann");
    EXPECT_EQ(cards[0].phoneNumbers, (std::vector<std::string>{"+1 (555) 123-4567", "555.987.6543"}));
}

TEST(VCardParser, Version21QuotedPrintableWithSoftBreaksAndCharsets) {
    const auto cards = parseVCards("BEGIN:VCARD\n"
                                   "VERSION:2.1\n"
                                   "N;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:M=C3=BCller;J=C3=BCr=\n"
                                   "gen;;;\n"
                                   "TEL;CELL;PREF:0176 1234567\n"
                                   "TEL;HOME;QUOTED-PRINTABLE:+49=2030=20=\n"
                                   "1234=205678\n"
                                   "END:VCARD\n"
                                   "BEGIN:VCARD\n"
                                   "VERSION:2.1\n"
                                   "N;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:Gar=E7on;Ren=E9\n"
                                   "END:VCARD\n");
    ASSERT_EQ(cards.size(), 2u);
    EXPECT_EQ(cards[0].familyName, "Müller");
    EXPECT_EQ(cards[0].givenName, "Jürgen");
    EXPECT_EQ(cards[0].phoneNumbers, (std::vector<std::string>{"0176 1234567", "+49 30 1234 5678"}));
    EXPECT_EQ(cards[1].familyName, "Garçon");
    EXPECT_EQ(cards[1].givenName, "René");
    EXPECT_TRUE(cards[1].phoneNumbers.empty());
}

TEST(VCardParser, Version40TelUrisAndQuotedParameters) {
    const auto cards =
        parseVCards("BEGIN:VCARD\nVERSION:4.0\n"
                    "N:Stevenson;John;Philip,Paul;Dr.;Jr.,M.D.\n"
                    "TEL;VALUE=uri;PREF=1;TYPE=\"voice,home\";LABEL=\"a:b\":tel:+1-555-555-5555;ext=5555\n"
                    "TEL;VALUE=uri;TYPE=cell:TEL:+44 20 7946 0958\n"
                    "END:VCARD\n");
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].givenName, "John");
    EXPECT_EQ(cards[0].familyName, "Stevenson");
    EXPECT_EQ(cards[0].phoneNumbers, (std::vector<std::string>{"+1-555-555-5555;ext=5555", "+44 20 7946 0958"}));
}

TEST(VCardParser, SeveralCardsNestedAgentsAndTruncation) {
    const auto cards = parseVCards("\xEF\xBB\xBF"
                                   "BEGIN:VCARD\nN:One;A\nTEL:111\n"
                                   "AGENT:\nBEGIN:VCARD\nN:Agent;Secret\nTEL:999\nEND:VCARD\n"
                                   "TEL:112\nEND:VCARD\n"
                                   "begin:vcard\nn:Two;B\ntel:222\nend:vcard\n"
                                   "BEGIN:VCARD\nN:Three;C\nTEL:333\n");
    ASSERT_EQ(cards.size(), 3u);
    EXPECT_EQ(cards[0], (ContactRecord{"A", "One", {"111", "112"}}));
    EXPECT_EQ(cards[1], (ContactRecord{"B", "Two", {"222"}}));
    EXPECT_EQ(cards[2], (ContactRecord{"C", "Three", {"333"}}));
}

TEST(VCardParser, GarbageAndPartialInputGiveNoCrash) {
    EXPECT_TRUE(parseVCards("").empty());
    EXPECT_TRUE(parseVCards("not a vcard at all\n:::\n;;;").empty());
    EXPECT_TRUE(parseVCards("TEL:123\nN:Outside;Card\n").empty());
    // The last line's soft break swallows END:VCARD; the cut-off card still counts.
    const auto cards = parseVCards("BEGIN:VCARD\nN\nTEL;QUOTED-PRINTABLE:=4\nTEL:\nN:\\\n"
                                   "N;ENCODING=QUOTED-PRINTABLE:=\nEND:VCARD");
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].phoneNumbers, (std::vector<std::string>{"=4"}));
}

TEST(VCardParser, OnlyFamilyOrOnlyGivenName) {
    const auto cards = parseVCards("BEGIN:VCARD\nN:Plumber;;;;\nTEL:1\nEND:VCARD\n"
                                   "BEGIN:VCARD\nN:;Cher\nTEL:2\nEND:VCARD\n"
                                   "BEGIN:VCARD\nFN:Nameless\nTEL:3\nEND:VCARD\n");
    ASSERT_EQ(cards.size(), 3u);
    EXPECT_EQ(cards[0].familyName, "Plumber");
    EXPECT_EQ(cards[0].givenName, "");
    EXPECT_EQ(cards[1].givenName, "Cher");
    EXPECT_EQ(cards[1].familyName, "");
    EXPECT_EQ(cards[2].givenName, "");
    EXPECT_EQ(cards[2].familyName, "");
}

} // namespace
