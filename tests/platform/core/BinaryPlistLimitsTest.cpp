#include "platform/core/BinaryPlistLimits.h"
#include "platform/core/Plist.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using platform::Plist;

namespace {

void appendBigEndian(std::vector<std::uint8_t>& out, std::uint64_t value, std::size_t width) {
    for (std::size_t i = width; i > 0; --i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * (i - 1))));
    }
}

// A binary property list of the given objects (object 0 on top), references and offsets four bytes wide.
std::vector<std::uint8_t> binaryPlist(const std::vector<std::vector<std::uint8_t>>& objects) {
    std::vector<std::uint8_t> out = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::vector<std::uint64_t> offsets;
    for (const auto& object : objects) {
        offsets.push_back(out.size());
        out.insert(out.end(), object.begin(), object.end());
    }
    const std::uint64_t tableOffset = out.size();
    for (const auto offset : offsets) {
        appendBigEndian(out, offset, 4);
    }
    out.insert(out.end(), {0, 0, 0, 0, 0, 0, 4, 4});
    appendBigEndian(out, objects.size(), 8);
    appendBigEndian(out, 0, 8);
    appendBigEndian(out, tableOffset, 8);
    return out;
}

// An array of `count` references, each to `target`.
std::vector<std::uint8_t> arrayOf(std::size_t count, std::uint32_t target) {
    std::vector<std::uint8_t> object = {0xAF, 0x12};
    appendBigEndian(object, count, 4);
    for (std::size_t i = 0; i < count; ++i) {
        appendBigEndian(object, target, 4);
    }
    return object;
}

} // namespace

TEST(BinaryPlistLimits, ReferencesFanningOutAgainAndAgainAreRefusedBeforeParsing) {
    // 40 levels of arrays whose two elements are the next level: 150 bytes standing for 2^40 nodes.
    std::vector<std::vector<std::uint8_t>> objects;
    for (std::uint32_t level = 0; level < 40; ++level) {
        objects.push_back(arrayOf(2, level + 1));
    }
    objects.push_back({0x10, 0x01});
    const auto bytes = binaryPlist(objects);
    EXPECT_FALSE(platform::binaryPlistWithinLimits(bytes.data(), bytes.size()));
    EXPECT_FALSE(Plist::parse(bytes).has_value());
}

TEST(BinaryPlistLimits, DeepNestingIsRefusedInsteadOfOverflowingTheStack) {
    std::vector<std::vector<std::uint8_t>> objects;
    for (std::uint32_t level = 0; level < 100000; ++level) {
        objects.push_back(arrayOf(1, level + 1));
    }
    objects.push_back({0x10, 0x01});
    const auto bytes = binaryPlist(objects);
    EXPECT_FALSE(Plist::parse(bytes).has_value());

    // Nesting within the bound still parses.
    objects.resize(100);
    objects.back() = {0x10, 0x01};
    const auto shallow = binaryPlist(objects);
    ASSERT_TRUE(Plist::parse(shallow).has_value());
}

TEST(BinaryPlistLimits, SharedObjectsOfRealListsAreAccepted) {
    // One string referred to by every element, as writers that merge equal objects produce.
    const auto bytes = binaryPlist({arrayOf(5000, 1), {0x55, 'h', 'e', 'l', 'l', 'o'}});
    EXPECT_TRUE(platform::binaryPlistWithinLimits(bytes.data(), bytes.size()));
    const auto parsed = Plist::parse(bytes);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->root().size(), 5000u);
    EXPECT_EQ(parsed->root().at(4999).string(), "hello");

    // What our own writer produces.
    Plist root = Plist::dict();
    root.root().set("name", Plist::string("Manifest"));
    Plist list = Plist::array();
    list.root().append(Plist::uid(7));
    list.root().append(Plist::data({1, 2, 3}));
    root.root().set("list", std::move(list));
    const auto written = root.toBinary();
    EXPECT_TRUE(platform::binaryPlistWithinLimits(written.data(), written.size()));
}

TEST(BinaryPlistLimits, BrokenTablesAreRefusedWithoutReadingOutside) {
    const auto good = binaryPlist({arrayOf(2, 1), {0x10, 0x01}});
    ASSERT_TRUE(platform::binaryPlistWithinLimits(good.data(), good.size()));
    for (std::size_t cut = 0; cut < good.size(); ++cut) {
        EXPECT_FALSE(platform::binaryPlistWithinLimits(good.data(), cut)) << cut;
    }
    auto cycle = binaryPlist({arrayOf(1, 1), arrayOf(1, 0)});
    EXPECT_FALSE(platform::binaryPlistWithinLimits(cycle.data(), cycle.size()));
    auto outside = binaryPlist({arrayOf(1, 9)});
    EXPECT_FALSE(platform::binaryPlistWithinLimits(outside.data(), outside.size()));
    auto hugeCount = binaryPlist({{0x5F, 0x13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}});
    EXPECT_FALSE(platform::binaryPlistWithinLimits(hugeCount.data(), hugeCount.size()));
    auto badTrailer = good;
    badTrailer[badTrailer.size() - 26] = 0; // offset width 0
    EXPECT_FALSE(platform::binaryPlistWithinLimits(badTrailer.data(), badTrailer.size()));
    // Every single-byte change of a valid list is measured without a crash; the answer may be either.
    for (std::size_t i = 8; i < good.size(); ++i) {
        for (const std::uint8_t value : {0x00, 0x0F, 0x7F, 0x80, 0xFF}) {
            auto changed = good;
            changed[i] = value;
            (void)platform::binaryPlistWithinLimits(changed.data(), changed.size());
        }
    }
}
