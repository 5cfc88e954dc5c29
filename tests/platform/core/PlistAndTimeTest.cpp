#include "platform/core/AbsoluteTime.h"
#include "platform/core/Plist.h"
#include "platform/core/PlistValues.h"
#include "platform/core/SystemInfo.h"
#include "platform/core/Uuid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <regex>

#include <dlfcn.h>

using platform::Plist;

TEST(Plist, BinaryRoundTripKeepsTypesAndChecksThemOnRead) {
    Plist root = Plist::dict();
    root.root().set("name", Plist::string("Manifest"));
    root.root().set("count", Plist::integer(-5));
    root.root().set("encrypted", Plist::boolean(true));
    root.root().set("key", Plist::data({1, 2, 3}));
    Plist list = Plist::array();
    list.root().append(Plist::uid(7));
    list.root().append(Plist::real(2.5));
    root.root().set("list", std::move(list));

    auto parsed = Plist::parse(root.toBinary());
    ASSERT_TRUE(parsed.has_value());
    auto node = parsed->root();
    EXPECT_EQ(node.get("name").string(), "Manifest");
    EXPECT_EQ(node.get("count").integer(), -5);
    EXPECT_EQ(node.get("encrypted").boolean(), true);
    EXPECT_EQ(node.get("key").data(), (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(node.get("list").at(0).uid(), 7u);
    EXPECT_EQ(node.get("list").at(1).real(), 2.5);
    EXPECT_FALSE(node.get("list").at(2).valid());
    EXPECT_FALSE(node.get("name").integer().has_value());
    EXPECT_FALSE(node.get("missing").valid());
    EXPECT_FALSE(node.get("name").get("x").valid());
    EXPECT_EQ(node.keys().size(), 5u);

    auto fromXml = Plist::parse(root.toXml());
    ASSERT_TRUE(fromXml.has_value());
    EXPECT_EQ(fromXml->root().get("name").string(), "Manifest");
}

TEST(Plist, RejectsBytesThatAreNotAPropertyList) {
    EXPECT_FALSE(Plist::parse(std::string()).has_value());
    EXPECT_FALSE(Plist::parse(std::string("bplist00")).has_value());
    EXPECT_FALSE(Plist::parse(std::string("hello world")).has_value());
    auto good = Plist::dict();
    good.root().set("a", Plist::string("b"));
    auto bytes = good.toBinary();
    for (std::size_t cut = 1; cut < bytes.size(); ++cut) {
        auto truncated = std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(cut));
        auto parsed = Plist::parse(truncated); // must not crash; any answer is fine
        (void)parsed;
    }
}

namespace {

// A binary property list holding one dictionary: "Mode" = 5, a UTF-16 key "a<U+0000>b" = 7, "x<&>y" = 9.
std::vector<std::uint8_t> dictionaryWithZeroByteKey() {
    std::vector<std::uint8_t> bytes = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::vector<std::vector<std::uint8_t>> objects = {
        {0xD3, 1, 2, 3, 4, 5, 6},
        {0x54, 'M', 'o', 'd', 'e'},
        {0x63, 0, 'a', 0, 0, 0, 'b'},
        {0x55, 'x', '<', '&', '>', 'y'},
        {0x10, 5},
        {0x10, 7},
        {0x10, 9},
    };
    std::vector<std::uint8_t> offsets;
    for (const auto& object : objects) {
        offsets.push_back(static_cast<std::uint8_t>(bytes.size()));
        bytes.insert(bytes.end(), object.begin(), object.end());
    }
    const auto tableOffset = static_cast<std::uint8_t>(bytes.size());
    bytes.insert(bytes.end(), offsets.begin(), offsets.end());
    const std::vector<std::uint8_t> trailer = {0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 7,
                                               0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, tableOffset};
    bytes.insert(bytes.end(), trailer.begin(), trailer.end());
    return bytes;
}

} // namespace

TEST(Plist, KeysOfUntrustedDictionaryWithZeroByteKeyDoNotAbort) {
    const auto parsed = Plist::parse(dictionaryWithZeroByteKey());
    ASSERT_TRUE(parsed.has_value());
    const auto node = parsed->root();
    ASSERT_EQ(node.size(), 3u);
    EXPECT_EQ(node.keys(), (std::vector<std::string>{"Mode", "a", "x<&>y"}));
    EXPECT_EQ(node.get("Mode").integer(), 5);
    EXPECT_EQ(node.get(node.keys()[2]).integer(), 9);
    // The key node itself, read as a string, goes the same safe way.
    const auto keyNode = platform::PlistNode(plist_dict_item_get_key(node.get("Mode").raw()));
    EXPECT_EQ(keyNode.string(), "Mode");
}

TEST(Plist, KeysOfRecordFromFuzzCorpusWithZeroBytesInKeys) {
    std::ifstream in(QB_SOURCE_DIR "/tests/fuzz/corpus/fuzz_mbfile/nul-in-key.bplist", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto parsed = Plist::parse(bytes);
    ASSERT_TRUE(parsed.has_value());
    const auto record = parsed->root().get("$objects").at(1);
    ASSERT_TRUE(record.isDict());
    const auto keys = record.keys();
    EXPECT_EQ(keys.size(), record.size());
    EXPECT_NE(std::find(keys.begin(), keys.end(), "ProtectionClasS"), keys.end());
    for (const auto& key : keys) {
        EXPECT_EQ(key.find('\0'), std::string::npos);
    }
}

// Stand-ins for libplist's iterator makers, so a test can see what happens when one hands out no iterator (as
// when its allocation fails); otherwise they pass the call on.
namespace {

std::atomic<bool> g_noIterators{false};

void makeIterator(const char* name, plist_t node, void** iter) {
    if (g_noIterators) {
        *iter = nullptr;
        return;
    }
    using Real = void (*)(plist_t, void**);
    reinterpret_cast<Real>(::dlsym(RTLD_NEXT, name))(node, iter);
}

} // namespace

extern "C" void plist_array_new_iter(plist_t node, plist_array_iter* iter) {
    makeIterator("plist_array_new_iter", node, iter);
}

extern "C" void plist_dict_new_iter(plist_t node, plist_dict_iter* iter) {
    makeIterator("plist_dict_new_iter", node, iter);
}

TEST(Plist, ValuesOfArraysAndDictionariesInOrderAndNothingForOtherNodes) {
    Plist array = Plist::array();
    array.root().append(Plist::integer(1));
    array.root().append(Plist::string("two"));
    Plist dict = Plist::dict();
    dict.root().set("b", Plist::integer(2));
    dict.root().set("a", Plist::integer(1));

    const auto elements = platform::arrayValues(array.root());
    ASSERT_EQ(elements.size(), 2u);
    EXPECT_EQ(elements[0].integer(), 1);
    EXPECT_EQ(elements[1].string(), "two");
    const auto values = platform::dictionaryValues(dict.root());
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].integer(), 2);
    EXPECT_EQ(values[1].integer(), 1);

    EXPECT_TRUE(platform::arrayValues(Plist::array().root()).empty());
    EXPECT_TRUE(platform::dictionaryValues(Plist::dict().root()).empty());
    EXPECT_TRUE(platform::arrayValues(dict.root()).empty());
    EXPECT_TRUE(platform::dictionaryValues(array.root()).empty());
    EXPECT_TRUE(platform::arrayValues(platform::PlistNode()).empty());
}

// libplist's next-item calls read through the iterator unchecked: without one, a walk must find nothing rather
// than crash.
TEST(Plist, ValuesWithoutAnIteratorAreEmpty) {
    Plist array = Plist::array();
    array.root().append(Plist::integer(1));
    Plist dict = Plist::dict();
    dict.root().set("a", Plist::integer(1));
    g_noIterators = true;
    const auto elements = platform::arrayValues(array.root());
    const auto values = platform::dictionaryValues(dict.root());
    const auto keys = dict.root().keys();
    g_noIterators = false;
    EXPECT_TRUE(elements.empty());
    EXPECT_TRUE(values.empty());
    EXPECT_TRUE(keys.empty());
    EXPECT_EQ(platform::dictionaryValues(dict.root()).size(), 1u);
}

TEST(AbsoluteTime, FormatsAndParsesIso8601InWholeSeconds) {
    const auto t = platform::AbsoluteTime::fromUnixSeconds(1772719629.75); // 2026-03-05T14:07:09.75Z
    EXPECT_EQ(platform::formatIso8601(t), "2026-03-05T14:07:09Z");
    EXPECT_EQ(platform::formatIso8601(platform::AbsoluteTime{0}), "2001-01-01T00:00:00Z");
    EXPECT_EQ(platform::parseIso8601("2026-03-05T14:07:09Z")->unixSeconds(), 1772719629.0);
    EXPECT_EQ(platform::parseIso8601("2026-03-05T16:07:09+02:00")->unixSeconds(), 1772719629.0);
    EXPECT_FALSE(platform::parseIso8601("2026-03-05 14:07:09").has_value());
    EXPECT_FALSE(platform::parseIso8601("2026-13-05T14:07:09Z").has_value());
}

TEST(SystemInfo, ReadsOsReleaseValuesQuotedOrNot) {
    const std::string text = "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nPRETTY_NAME='Debian 12'\nID=debian\n";
    EXPECT_EQ(platform::osReleaseValue(text, "PRETTY_NAME"), "Debian 12");
    EXPECT_EQ(platform::osReleaseValue(text, "VERSION_ID"), "12");
    EXPECT_EQ(platform::osReleaseValue(text, "ID"), "debian");
    EXPECT_EQ(platform::osReleaseValue(text, "MISSING"), "");
    EXPECT_FALSE(platform::osPrettyName().empty());
}

TEST(Uuid, IsUpperCaseVersionFourAndUnique) {
    const std::regex shape("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    const auto a = platform::makeUuidString();
    EXPECT_TRUE(std::regex_match(a, shape)) << a;
    EXPECT_NE(a, platform::makeUuidString());
    // Every byte in its place, the version and variant bits set over whatever the random bytes held.
    EXPECT_EQ(platform::uuidStringFromRandomBytes(
                  {0x00, 0x1F, 0xA2, 0xB3, 0xC4, 0xD5, 0xFF, 0x67, 0x08, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0}),
              "001FA2B3-C4D5-4F67-8899-AABBCCDDEEF0");
}
