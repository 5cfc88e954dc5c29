#include "Quillobrandt/store/TypedStreamDecoder.h"

#include "tests/support/ArchiveBlobBuilder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using quillobrandt::decodeTypedStreamString;
using qbtest::TypedStreamWriter;

std::optional<std::string> decode(const std::vector<std::uint8_t>& bytes) { return decodeTypedStreamString(bytes); }

std::vector<std::uint8_t>::iterator find(std::vector<std::uint8_t>& bytes, const std::vector<std::uint8_t>& needle) {
    return std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end());
}

// The bytes Messages wrote for a one-word body, kept verbatim so the builder cannot drift from the format.
const std::vector<std::uint8_t> recordedHello = {
    0x04, 0x0b, 's', 't', 'r', 'e', 'a', 'm', 't', 'y', 'p', 'e', 'd', 0x81, 0xe8, 0x03, 0x84, 0x01, 0x40,
    0x84, 0x84, 0x84, 0x19, 'N', 'S', 'M', 'u', 't', 'a', 'b', 'l', 'e', 'A', 't', 't', 'r', 'i', 'b', 'u',
    't', 'e', 'd', 'S', 't', 'r', 'i', 'n', 'g', 0x00, 0x84, 0x84, 0x12, 'N', 'S', 'A', 't', 't', 'r', 'i',
    'b', 'u', 't', 'e', 'd', 'S', 't', 'r', 'i', 'n', 'g', 0x00, 0x84, 0x84, 0x08, 'N', 'S', 'O', 'b', 'j',
    'e', 'c', 't', 0x00, 0x85, 0x92, 0x84, 0x84, 0x84, 0x0f, 'N', 'S', 'M', 'u', 't', 'a', 'b', 'l', 'e',
    'S', 't', 'r', 'i', 'n', 'g', 0x01, 0x84, 0x84, 0x08, 'N', 'S', 'S', 't', 'r', 'i', 'n', 'g', 0x01,
    0x95, 0x84, 0x01, 0x2b, 0x05, 'H', 'e', 'l', 'l', 'o', 0x86, 0x84, 0x02, 0x69, 0x49, 0x01, 0x05, 0x92,
    0x84, 0x84, 0x84, 0x0c, 'N', 'S', 'D', 'i', 'c', 't', 'i', 'o', 'n', 'a', 'r', 'y', 0x00, 0x95, 0x84,
    0x01, 0x69, 0x01, 0x92, 0x84, 0x98, 0x98, 0x1d, '_', '_', 'k', 'I', 'M', 'M', 'e', 's', 's', 'a', 'g',
    'e', 'P', 'a', 'r', 't', 'A', 't', 't', 'r', 'i', 'b', 'u', 't', 'e', 'N', 'a', 'm', 'e', 0x86, 0x92,
    0x84, 0x84, 0x84, 0x08, 'N', 'S', 'N', 'u', 'm', 'b', 'e', 'r', 0x00, 0x84, 0x84, 0x07, 'N', 'S', 'V',
    'a', 'l', 'u', 'e', 0x00, 0x95, 0x84, 0x01, 0x2a, 0x84, 0x9b, 0x9b, 0x00, 0x86, 0x86, 0x86};

TEST(TypedStreamDecoderTest, BuilderWritesTheSameBytesAsMessages) {
    EXPECT_EQ(qbtest::typedStreamAttributedString("Hello"), recordedHello);
    EXPECT_EQ(decode(recordedHello), "Hello");
}

TEST(TypedStreamDecoderTest, RootsThatHoldAString) {
    EXPECT_EQ(decode(qbtest::typedStreamAttributedString("Hello")), "Hello");
    EXPECT_EQ(decode(qbtest::typedStreamString("plain root")), "plain root");
    EXPECT_EQ(decode(qbtest::typedStreamMutableString("mutable root")), "mutable root");
    // An empty string is still a string: the caller turns it into an absent text.
    EXPECT_EQ(decode(qbtest::typedStreamAttributedString("")), "");
}

TEST(TypedStreamDecoderTest, RootsWithoutAStringGiveNothing) {
    EXPECT_EQ(decode(qbtest::typedStreamArray({"one", "two"})), std::nullopt);

    TypedStreamWriter nilRoot;
    nilRoot.types("@");
    nilRoot.nil();
    EXPECT_EQ(decode(nilRoot.bytes()), std::nullopt);

    TypedStreamWriter integerRoot;
    integerRoot.types("i");
    integerRoot.integer(5);
    EXPECT_EQ(decode(integerRoot.bytes()), std::nullopt);
}

TEST(TypedStreamDecoderTest, LengthsBeyondOneByteAndNonAsciiText) {
    const std::string longText(300, 'x'); // length written with the two-byte tag
    auto longBody = qbtest::typedStreamAttributedString(longText);
    EXPECT_NE(find(longBody, {0x2b, 0x81, 0x2c, 0x01}), longBody.end());
    EXPECT_EQ(decode(longBody), longText);

    const std::string big(70000, 'y'); // four-byte length
    EXPECT_EQ(decode(qbtest::typedStreamString(big)), big);

    // UTF-8 byte counts differ from the UTF-16 run lengths: é is 2 bytes / 1 unit, 😀 is 4 bytes / 2 units.
    const std::string mixed = "caf\xC3\xA9 \xF0\x9F\x98\x80 \xEF\xBF\xBC end";
    EXPECT_EQ(qbtest::utf16Length(mixed), 13u);
    EXPECT_EQ(decode(qbtest::typedStreamAttributedString(mixed)), mixed);

    const std::string withZero("a\0b", 3);
    EXPECT_EQ(decode(qbtest::typedStreamAttributedString(withZero)), withZero);
}

TEST(TypedStreamDecoderTest, IllFormedUtf8IsReplaced) {
    const std::string broken = "ok \xFF\xFE then \xE2\x82 cut and \xED\xA0\x80 surrogate";
    EXPECT_EQ(decode(qbtest::typedStreamAttributedString(broken)),
              "ok \xEF\xBF\xBD\xEF\xBF\xBD then \xEF\xBF\xBD cut and \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD surrogate");
}

TEST(TypedStreamDecoderTest, ReferencesToEarlierObjectsAreFollowed) {
    // An attributed string whose string object is a reference to a string read before it (inside an array).
    TypedStreamWriter w;
    w.types("@");
    w.beginObject({{"NSAttributedString", 0}, {"NSObject", 0}});
    w.types("@");
    w.beginObject({{"NSArray", 0}, {"NSObject", 0}}); // an odd first value: not a string
    w.types("i");
    w.integer(0);
    w.endObject();
    w.endObject();
    EXPECT_EQ(decode(w.bytes()), std::nullopt);

    TypedStreamWriter selfReference;
    selfReference.types("@");
    const int root = selfReference.beginObject({{"NSAttributedString", 0}, {"NSObject", 0}});
    selfReference.types("@");
    selfReference.objectReference(root); // the root's string is the root itself
    selfReference.endObject();
    EXPECT_EQ(decode(selfReference.bytes()), std::nullopt);

    // A reference one past the end of the object table. The decoder's table starts with room for 32 entries; the
    // root and a chain of 31 classes fill it exactly, so reading the missing 33rd would leave the allocation.
    std::vector<TypedStreamWriter::ClassInfo> chain;
    for (int i = 0; i < 28; ++i) {
        chain.push_back({"QbSubclass" + std::to_string(i), 0});
    }
    chain.insert(chain.end(), {{"NSMutableAttributedString", 0}, {"NSAttributedString", 0}, {"NSObject", 0}});
    TypedStreamWriter pastTheEnd;
    pastTheEnd.types("@");
    const int first = pastTheEnd.beginObject(chain);
    pastTheEnd.types("@");
    pastTheEnd.objectReference(first + static_cast<int>(chain.size()) + 1);
    pastTheEnd.endObject();
    EXPECT_EQ(decode(pastTheEnd.bytes()), std::nullopt);
}

TEST(TypedStreamDecoderTest, BigEndianStreamsAreRead) {
    auto body = qbtest::typedStreamString("big end");
    std::copy_n("typedstream", 11, body.begin() + 2);
    body[13] = 0x81; // system version 1000, big-endian
    body[14] = 0x03;
    body[15] = 0xe8;
    EXPECT_EQ(decode(body), "big end");
}

TEST(TypedStreamDecoderTest, EveryTruncationGivesNothing) {
    for (const auto& body : {recordedHello, qbtest::typedStreamAttributedString(std::string(200, 'z')),
                             qbtest::typedStreamString("abc"), qbtest::typedStreamAttributedString("")}) {
        for (std::size_t size = 0; size < body.size(); ++size) {
            const std::vector<std::uint8_t> prefix(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(size));
            EXPECT_EQ(decode(prefix), std::nullopt) << "prefix of " << size << " bytes";
        }
        EXPECT_NE(decode(body), std::nullopt);
    }
}

TEST(TypedStreamDecoderTest, BrokenHeadersAndLengthsGiveNothing) {
    auto wrongVersion = recordedHello;
    wrongVersion[0] = 3;
    EXPECT_EQ(decode(wrongVersion), std::nullopt);

    auto wrongSignature = recordedHello;
    wrongSignature[2] = 'S';
    EXPECT_EQ(decode(wrongSignature), std::nullopt);

    // The text's length byte (5 for "Hello") raised to run past the end.
    auto pastEnd = recordedHello;
    const auto lengthAt = find(pastEnd, {0x2b, 0x05});
    ASSERT_NE(lengthAt, pastEnd.end());
    *(lengthAt + 1) = 0x7f;
    EXPECT_EQ(decode(pastEnd), std::nullopt);

    // A four-byte length near 4 GiB.
    TypedStreamWriter huge;
    huge.types("@");
    huge.beginObject({{"NSString", 1}, {"NSObject", 0}});
    huge.types("+");
    huge.raw({0x82, 0xf0, 0xff, 0xff, 0xff, 'a'});
    EXPECT_EQ(decode(huge.bytes()), std::nullopt);

    // A reference to a shared string that does not exist.
    TypedStreamWriter badReference;
    badReference.raw({0x9f});
    EXPECT_EQ(decode(badReference.bytes()), std::nullopt);

    EXPECT_EQ(decode({}), std::nullopt);
    EXPECT_EQ(decode(std::vector<std::uint8_t>(64, 0x84)), std::nullopt);
}

TEST(TypedStreamDecoderTest, HostileNestingAndCountsAreBounded) {
    // Objects nested far deeper than any real body.
    TypedStreamWriter deep;
    deep.types("@");
    for (int i = 0; i < 500; ++i) {
        deep.beginObject({{"NSArray", 0}, {"NSObject", 0}});
        deep.types("@");
    }
    EXPECT_EQ(decode(deep.bytes()), std::nullopt);

    // An array type promising a billion empty structures.
    TypedStreamWriter empties;
    empties.types("@");
    empties.beginObject({{"NSValue", 0}, {"NSObject", 0}});
    empties.types("[1000000000{e=}]");
    EXPECT_EQ(decode(empties.bytes()), std::nullopt);

    // A class chain as long as the input.
    TypedStreamWriter chain;
    chain.types("@");
    std::vector<TypedStreamWriter::ClassInfo> classes;
    for (int i = 0; i < 2000; ++i) {
        classes.push_back({std::string("C").append(std::to_string(i)), 0});
    }
    classes.push_back({"NSString", 1});
    chain.beginObject(classes);
    chain.types("+");
    chain.byteString("deep class");
    chain.endObject();
    EXPECT_EQ(decode(chain.bytes()), "deep class");
}

TEST(TypedStreamDecoderTest, GenericValuesInsideObjectsAreSkipped) {
    TypedStreamWriter w;
    w.types("@");
    w.beginObject({{"NSMutableAttributedString", 0}, {"NSAttributedString", 0}, {"NSObject", 0}});
    w.types("@");
    w.stringObject("values", false);
    w.types("@");
    w.beginObject({{"NSValue", 0}, {"NSObject", 0}});
    w.types("{CGPoint=dd}");
    w.raw({0x83, 0, 0, 0, 0, 0, 0, 0xf0, 0x3f}); // 1.0 as a double
    w.integer(2);                                 // 2.0 as an integer
    w.types("[3c]");
    w.raw(std::string_view("abc"));
    w.types("fqS:#*");
    w.raw({0x83, 0, 0, 0x80, 0x3f});
    w.integer(-5);
    w.integer(40000);
    w.sharedString("selector:");
    w.nil();
    w.cString("i");
    w.endObject();
    w.endObject();
    EXPECT_EQ(decode(w.bytes()), "values");
}

} // namespace

TEST(TypedStreamDecoderTest, ALongTypeEncodingReusedByReferenceIsNotRescannedWithoutBound) {
    // An empty array of a structure with a very long field list: no value to read, but the whole encoding
    // is scanned for its brackets on every use, and each further use costs one byte of input.
    std::string encoding = "[0{x=";
    encoding.append(200000, 'i');
    encoding += "}]";
    TypedStreamWriter writer;
    writer.types("@");
    writer.beginObject({{"NSString", 1}});
    writer.types("+");
    writer.byteString("first value");
    writer.types(encoding);
    const std::size_t before = writer.bytes().size();
    writer.types(encoding); // now a reference: the bytes of one further use
    const auto all = writer.bytes();
    const std::string reference(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    for (int use = 0; use < 200000; ++use) {
        writer.raw(reference);
    }
    writer.endObject();
    // Refused (the scanning is budgeted) instead of taking many minutes; modest reuse stays readable.
    EXPECT_EQ(decode(writer.bytes()), std::nullopt);

    TypedStreamWriter modest;
    modest.types("@");
    modest.beginObject({{"NSString", 1}});
    modest.types("+");
    modest.byteString("first value");
    for (int use = 0; use < 100; ++use) {
        modest.types("[0{x=iiii}]");
    }
    modest.endObject();
    EXPECT_EQ(decode(modest.bytes()), "first value");
}
