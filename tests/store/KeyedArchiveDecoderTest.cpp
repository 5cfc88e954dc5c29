#include "Quillobrandt/store/KeyedArchiveDecoder.h"

#include "tests/support/ArchiveBlobBuilder.h"

#include "platform/core/Plist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using quillobrandt::decodeKeyedArchiveString;
using quillobrandt::KeyedArchivePass;
using platform::Plist;

std::optional<std::string> textOf(const std::vector<std::uint8_t>& bytes) {
    auto decoded = decodeKeyedArchiveString(bytes);
    return decoded ? std::optional<std::string>(decoded->text) : std::nullopt;
}

std::optional<KeyedArchivePass> passOf(const std::vector<std::uint8_t>& bytes) {
    auto decoded = decodeKeyedArchiveString(bytes);
    return decoded ? std::optional<KeyedArchivePass>(decoded->pass) : std::nullopt;
}

std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

TEST(KeyedArchiveDecoderTest, AttributedStringsAndTheirPass) {
    EXPECT_EQ(textOf(qbtest::keyedArchiveAttributedString("Hello")), "Hello");
    EXPECT_EQ(passOf(qbtest::keyedArchiveAttributedString("Hello")), KeyedArchivePass::secureAttributedString);

    // A number among the attributes is refused by the secure pass; the next pass reads the same text.
    EXPECT_EQ(textOf(qbtest::keyedArchiveAttributedStringWithNumber("Hello")), "Hello");
    EXPECT_EQ(passOf(qbtest::keyedArchiveAttributedStringWithNumber("Hello")), KeyedArchivePass::attributedString);
}

TEST(KeyedArchiveDecoderTest, StringRoots) {
    EXPECT_EQ(textOf(qbtest::keyedArchiveString("plain")), "plain");
    EXPECT_EQ(passOf(qbtest::keyedArchiveString("plain")), KeyedArchivePass::topLevelString);
    EXPECT_EQ(textOf(qbtest::keyedArchiveMutableString("mutable")), "mutable");
    EXPECT_EQ(textOf(qbtest::keyedArchiveStringBytes({'u', 't', 'f', 0xC3, 0xA9, 0xFF})), "utf\xC3\xA9\xEF\xBF\xBD");
}

TEST(KeyedArchiveDecoderTest, EmptyLongAndNonAsciiStrings) {
    EXPECT_EQ(textOf(qbtest::keyedArchiveAttributedString("")), "");
    const std::string longText(5000, 'k');
    EXPECT_EQ(textOf(qbtest::keyedArchiveAttributedString(longText)), longText);
    const std::string astral = "\xF0\x9F\x98\x80 caf\xC3\xA9 \xEF\xBF\xBC";
    EXPECT_EQ(textOf(qbtest::keyedArchiveAttributedString(astral)), astral);
}

TEST(KeyedArchiveDecoderTest, ZeroBytesInsideStringsAreKept) {
    // Non-ASCII strings are stored as UTF-16: turn "éX" into "é" followed by U+0000.
    auto body = qbtest::keyedArchiveString("\xC3\xA9X");
    const std::vector<std::uint8_t> utf16 = {0x00, 0xE9, 0x00, 'X'};
    const auto at = std::search(body.begin(), body.end(), utf16.begin(), utf16.end());
    ASSERT_NE(at, body.end());
    *(at + 3) = 0;
    EXPECT_EQ(textOf(body), std::string("\xC3\xA9\0", 3));
}

TEST(KeyedArchiveDecoderTest, ZeroBytesInsideKeysAreHarmless) {
    // A key stored as UTF-16 with a zero unit; reading such keys aborts inside the property-list library.
    qbtest::KeyedArchiveBuilder b;
    Plist attributed = b.object({"NSAttributedString", "NSObject"});
    attributed.root().set("NSString", Plist::uid(b.add(Plist::string("Hello"))));
    attributed.root().set("\xC3\xA9X", Plist::uid(b.add(Plist::string("other"))));
    auto body = b.binary(b.add(std::move(attributed)));
    const std::vector<std::uint8_t> utf16 = {0x00, 0xE9, 0x00, 'X'};
    const auto at = std::search(body.begin(), body.end(), utf16.begin(), utf16.end());
    ASSERT_NE(at, body.end());
    *(at + 3) = 0;
    EXPECT_EQ(textOf(body), "Hello");
}

TEST(KeyedArchiveDecoderTest, XmlArchivesAreRead) {
    qbtest::KeyedArchiveBuilder b;
    Plist attributed = b.object({"NSAttributedString", "NSObject"});
    attributed.root().set("NSString", Plist::uid(b.add(Plist::string("from xml"))));
    const std::string xml = b.xml(b.add(std::move(attributed)));
    EXPECT_EQ(textOf(bytesOf(xml)), "from xml");
    EXPECT_EQ(textOf(bytesOf("\xEF\xBB\xBF\n  " + xml)), "from xml");
}

TEST(KeyedArchiveDecoderTest, RootsWithoutAStringGiveNothing) {
    EXPECT_EQ(textOf(qbtest::keyedArchiveArray({"a", "b"})), std::nullopt);

    qbtest::KeyedArchiveBuilder nilRoot;
    EXPECT_EQ(textOf(nilRoot.binary(0)), std::nullopt);

    qbtest::KeyedArchiveBuilder numberRoot;
    EXPECT_EQ(textOf(numberRoot.binary(numberRoot.add(Plist::integer(7)))), std::nullopt);
}

TEST(KeyedArchiveDecoderTest, BrokenReferencesGiveNothing) {
    {
        qbtest::KeyedArchiveBuilder b; // root beyond the object table
        EXPECT_EQ(textOf(b.binary(99)), std::nullopt);
    }
    {
        qbtest::KeyedArchiveBuilder b; // the string reference points nowhere
        Plist attributed = b.object({"NSAttributedString", "NSObject"});
        attributed.root().set("NSString", Plist::uid(1000));
        EXPECT_EQ(textOf(b.binary(b.add(std::move(attributed)))), std::nullopt);
    }
    {
        qbtest::KeyedArchiveBuilder b; // an attribute refers beyond the table
        Plist attributed = b.object({"NSAttributedString", "NSObject"});
        attributed.root().set("NSString", Plist::uid(b.add(Plist::string("text"))));
        attributed.root().set("NSAttributes", Plist::uid(4000000000ULL));
        EXPECT_EQ(textOf(b.binary(b.add(std::move(attributed)))), std::nullopt);
    }
    {
        qbtest::KeyedArchiveBuilder b; // an object without a class
        Plist attributed = Plist::dict();
        attributed.root().set("NSString", Plist::uid(b.add(Plist::string("text"))));
        EXPECT_EQ(textOf(b.binary(b.add(std::move(attributed)))), std::nullopt);
    }
    {
        qbtest::KeyedArchiveBuilder b; // a class reference that is no class description
        Plist attributed = Plist::dict();
        const auto text = b.add(Plist::string("text"));
        attributed.root().set("NSString", Plist::uid(text));
        attributed.root().set("$class", Plist::uid(text));
        EXPECT_EQ(textOf(b.binary(b.add(std::move(attributed)))), std::nullopt);
    }
    {
        qbtest::KeyedArchiveBuilder b; // objects referring to each other in a cycle
        Plist attributed = b.object({"NSAttributedString", "NSObject"});
        attributed.root().set("NSString", Plist::uid(2));
        attributed.root().set("NSAttributes", Plist::uid(2));
        EXPECT_EQ(b.add(std::move(attributed)), 2u);
        EXPECT_EQ(textOf(b.binary(2)), std::nullopt); // its string is itself, not a string
    }
    {
        qbtest::KeyedArchiveBuilder b; // a nil string: uid 0 is the table's "$null", which is no text
        Plist attributed = b.object({"NSAttributedString", "NSObject"});
        attributed.root().set("NSString", Plist::uid(0));
        EXPECT_EQ(textOf(b.binary(b.add(std::move(attributed)))), std::nullopt);
        EXPECT_EQ(textOf(qbtest::KeyedArchiveBuilder().binary(0)), std::nullopt);
    }
}

TEST(KeyedArchiveDecoderTest, OtherArchiversAndOtherBytesGiveNothing) {
    Plist notAnArchive = Plist::dict();
    notAnArchive.root().set("$archiver", Plist::string("SomethingElse"));
    EXPECT_EQ(textOf(notAnArchive.toBinary()), std::nullopt);
    EXPECT_EQ(textOf(Plist::string("just a string").toBinary()), std::nullopt);
    EXPECT_EQ(textOf(qbtest::typedStreamAttributedString("Hello")), std::nullopt);
    EXPECT_EQ(textOf({}), std::nullopt);
    EXPECT_EQ(textOf(bytesOf("<not a plist")), std::nullopt);
}

TEST(KeyedArchiveDecoderTest, EveryTruncationGivesNothing) {
    for (const auto& body : {qbtest::keyedArchiveAttributedString("Hello"),
                             qbtest::keyedArchiveAttributedStringWithNumber("Hello, world")}) {
        for (std::size_t size = 0; size < body.size(); ++size) {
            const std::vector<std::uint8_t> prefix(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(size));
            EXPECT_EQ(textOf(prefix), std::nullopt) << "prefix of " << size << " bytes";
        }
    }
}

} // namespace

TEST(KeyedArchiveDecoderTest, LargeHostileArchivesAreWalkedInLinearTime) {
    // Forty thousand objects in one megabyte, all named by the root's array and all of one class whose
    // "$classes" list is as long: measuring the class anew for each object, or indexing the lists element by
    // element (a walk from the start each time), took quadratic time, seconds to minutes per message.
    constexpr std::uint64_t kObjects = 40000;
    Plist archive = Plist::dict();
    archive.root().set("$archiver", Plist::string("NSKeyedArchiver"));
    Plist top = Plist::dict();
    top.root().set("root", Plist::uid(1));
    archive.root().set("$top", std::move(top));
    Plist objects = Plist::array();
    objects.root().append(Plist::string("$null"));
    Plist root = Plist::dict();
    root.root().set("$class", Plist::uid(2));
    Plist members = Plist::array();
    for (std::uint64_t i = 0; i < kObjects; ++i) {
        members.root().append(Plist::uid(3 + i));
    }
    root.root().set("NS.objects", std::move(members));
    objects.root().append(std::move(root));
    Plist description = Plist::dict();
    description.root().set("$classname", Plist::string("Widget"));
    Plist hierarchy = Plist::array();
    for (std::uint64_t i = 0; i < kObjects; ++i) {
        hierarchy.root().append(Plist::string("Widget"));
    }
    description.root().set("$classes", std::move(hierarchy));
    objects.root().append(std::move(description));
    for (std::uint64_t i = 0; i < kObjects; ++i) {
        Plist member = Plist::dict();
        member.root().set("$class", Plist::uid(2));
        objects.root().append(std::move(member));
    }
    archive.root().set("$objects", std::move(objects));
    EXPECT_EQ(textOf(archive.toBinary()), std::nullopt); // no string at the root: no text, and soon
}
