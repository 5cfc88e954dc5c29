#include "platform/core/XmlPlistLimits.h"
#include "platform/core/Plist.h"

#include <gtest/gtest.h>

#include <string>

using platform::Plist;
using platform::xmlPlistWithinLimits;

namespace {

constexpr const char* kHeader = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                                "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";

std::string repeated(const std::string& piece, std::size_t count) {
    std::string out;
    out.reserve(piece.size() * count);
    for (std::size_t i = 0; i < count; ++i) {
        out += piece;
    }
    return out;
}

// Arrays nested `depth` deep around one string, inside a <plist>.
std::string nested(std::size_t depth, const std::string& between = "") {
    return std::string(kHeader) + "<plist version=\"1.0\">" + repeated("<array>" + between, depth) +
           "<string>deep</string>" + repeated("</array>", depth) + "</plist>";
}

bool parses(const std::string& document) {
    return Plist::parse(document).has_value();
}

} // namespace

TEST(XmlPlistLimits, ADeeplyNestedListIsRefusedBeforeItReachesTheParser) {
    const auto hostile = nested(300000); // 4.5 MB; libplist alone dies freeing it
    EXPECT_FALSE(xmlPlistWithinLimits(hostile.data(), hostile.size()));
    EXPECT_FALSE(parses(hostile));
    EXPECT_FALSE(parses(nested(platform::kMaxBinaryPlistDepth + 1)));

    const auto deepest = nested(platform::kMaxBinaryPlistDepth);
    const auto parsed = Plist::parse(deepest);
    ASSERT_TRUE(parsed.has_value());
    auto node = parsed->root();
    for (std::size_t i = 0; i < platform::kMaxBinaryPlistDepth; ++i) {
        ASSERT_TRUE(node.isArray());
        node = node.at(0);
    }
    EXPECT_EQ(node.string(), "deep");
}

TEST(XmlPlistLimits, CommentsCdataAndQuotedTextDoNotFoolTheCount) {
    // Closing tags inside comments, CDATA sections, processing instructions and attribute values close nothing.
    for (const std::string& hiding : {std::string("<!-- </array></array> -->"), std::string("<![CDATA[</array>]]>"),
                                      std::string("<?pi </array> ?>")}) {
        const auto document = nested(300000, hiding);
        EXPECT_FALSE(xmlPlistWithinLimits(document.data(), document.size())) << hiding;
    }
    const auto inAttribute = nested(300000, "<x a=\"></array>\"/>");
    EXPECT_FALSE(xmlPlistWithinLimits(inAttribute.data(), inAttribute.size()));

    // Markup left open is no property list.
    for (const std::string open : {"<plist><!-- never closed", "<plist><![CDATA[ never closed", "<plist><array"}) {
        EXPECT_FALSE(xmlPlistWithinLimits(open.data(), open.size())) << open;
    }

    // Ordinary documents with all of these still parse, and siblings do not add up to depth.
    const std::string ordinary = std::string(kHeader) +
                                 "<!-- a comment with <array> in it -->\n<plist version=\"1.0\"><dict>"
                                 "<key>a</key><string><![CDATA[<b>bold</b>]]></string>"
                                 "<key>flag</key><true/>" +
                                 repeated("<key>k</key><array><integer>1</integer></array>", 5000) + "</dict></plist>";
    EXPECT_TRUE(xmlPlistWithinLimits(ordinary.data(), ordinary.size()));
    const auto parsed = Plist::parse(ordinary);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->root().get("a").string(), "<b>bold</b>");
    const std::string subset = "<!DOCTYPE plist [ <!ENTITY x \"a>b\"> ]><plist><string>s</string></plist>";
    EXPECT_TRUE(xmlPlistWithinLimits(subset.data(), subset.size()));
}
