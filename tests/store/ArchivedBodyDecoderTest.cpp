#include "Quillobrandt/store/ArchivedBodyDecoder.h"

#include "tests/support/ArchiveBlobBuilder.h"
#include "tests/support/TestEnvironment.h"

#include "platform/core/Plist.h"
#include "platform/core/Sqlite.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using quillobrandt::ArchivedBodyStep;
using quillobrandt::decodeArchivedBody;
using quillobrandt::decodeAttributedBody;

struct RealMessage {
    std::int64_t rowId;
    std::string text;
    std::vector<std::uint8_t> body;
};

std::vector<RealMessage> realMessages() {
    const auto path = qbtest::copySharedTestData("ios-sms.db");
    auto db = platform::SqliteDatabase::open(path, SQLITE_OPEN_READWRITE);
    auto statement = db.prepare("SELECT ROWID, text, attributedBody FROM message ORDER BY ROWID");
    std::vector<RealMessage> messages;
    while (statement.next()) {
        messages.push_back({statement.columnInt64(0), statement.columnText(1).value_or("<NULL>"),
                            statement.columnBlob(2).value_or(std::vector<std::uint8_t>())});
    }
    return messages;
}

TEST(ArchivedBodyDecoderTest, EveryRealBodyDecodesToItsTextColumn) {
    const auto messages = realMessages();
    ASSERT_EQ(messages.size(), 105u);
    int withObjectReplacement = 0;
    for (const RealMessage& message : messages) {
        ASSERT_FALSE(message.body.empty()) << "message " << message.rowId;
        const auto decoded = decodeArchivedBody(message.body);
        EXPECT_EQ(decoded.text, message.text) << "message " << message.rowId;
        EXPECT_EQ(decoded.decidedBy, ArchivedBodyStep::typedStream) << "message " << message.rowId;
        EXPECT_EQ(decodeAttributedBody(message.body, message.rowId), message.text);
        if (message.text.find("\xEF\xBF\xBC") != std::string::npos) {
            ++withObjectReplacement;
        }
    }
    EXPECT_GT(withObjectReplacement, 0); // attachment messages hold U+FFFC
}

TEST(ArchivedBodyDecoderTest, EveryTruncatedRealBodyGivesNothing) {
    const auto messages = realMessages();
    // A handful of different shapes is enough; every offset of each.
    for (std::size_t index = 0; index < messages.size(); index += 13) {
        const auto& body = messages[index].body;
        for (std::size_t size = 0; size < body.size(); ++size) {
            const std::span<const std::uint8_t> prefix(body.data(), size);
            EXPECT_EQ(decodeArchivedBody(prefix).decidedBy, std::nullopt)
                << "message " << messages[index].rowId << " cut to " << size << " bytes";
        }
    }
}

// Message 12 carries, inside its attributes, a keyed archive written by the platform (a data-detector
// result): a real object graph with class descriptions, arrays and numbers.
std::vector<std::uint8_t> realKeyedArchive(const std::vector<RealMessage>& messages) {
    // The archive is the value of a "[<n>c]" byte array: n bytes starting at the property-list magic.
    const std::string magic = "bplist00";
    for (const RealMessage& message : messages) {
        const std::string body(message.body.begin(), message.body.end());
        const std::size_t start = body.find(magic);
        const std::size_t bracket = body.rfind('[', start);
        if (start == std::string::npos || bracket == std::string::npos) {
            continue;
        }
        const std::size_t length = std::stoul(body.substr(bracket + 1, start - bracket));
        if (start + length <= body.size()) {
            return {message.body.begin() + static_cast<std::ptrdiff_t>(start),
                    message.body.begin() + static_cast<std::ptrdiff_t>(start + length)};
        }
    }
    return {};
}

TEST(ArchivedBodyDecoderTest, RealKeyedArchiveIsWalkedAndItsRootJudged) {
    const auto archive = realKeyedArchive(realMessages());
    ASSERT_FALSE(archive.empty());
    // Its root is no string: no step decides.
    EXPECT_EQ(decodeArchivedBody(archive).decidedBy, std::nullopt);

    // The same graph with the root moved to one of its strings is decided by the top-level pass.
    auto plist = platform::Plist::parse(archive);
    ASSERT_TRUE(plist);
    const auto objects = plist->root().get("$objects");
    std::optional<std::uint64_t> stringUid;
    for (std::size_t i = 1; i < objects.size() && !stringUid; ++i) {
        if (objects.at(i).isString()) {
            stringUid = i;
        }
    }
    ASSERT_TRUE(stringUid);
    plist->root().get("$top").set("root", platform::Plist::uid(*stringUid));
    const auto decoded = decodeArchivedBody(plist->toBinary());
    EXPECT_EQ(decoded.decidedBy, ArchivedBodyStep::keyedTopLevelObject);
    EXPECT_EQ(decoded.text, objects.at(*stringUid).string());
}

TEST(ArchivedBodyDecoderTest, StepsInTheirOrder) {
    EXPECT_EQ(decodeArchivedBody(qbtest::keyedArchiveAttributedString("Hello")).decidedBy,
              ArchivedBodyStep::secureKeyedArchive);
    EXPECT_EQ(decodeArchivedBody(qbtest::keyedArchiveAttributedStringWithNumber("Hello")).decidedBy,
              ArchivedBodyStep::keyedAttributedString);
    EXPECT_EQ(decodeArchivedBody(qbtest::keyedArchiveString("Hello")).decidedBy,
              ArchivedBodyStep::keyedTopLevelObject);
    EXPECT_EQ(decodeArchivedBody(qbtest::typedStreamAttributedString("Hello")).decidedBy,
              ArchivedBodyStep::typedStream);
    EXPECT_EQ(decodeArchivedBody(qbtest::typedStreamString("Hello")).text, "Hello");

    for (const auto& body : {qbtest::keyedArchiveAttributedString("Hello"), qbtest::keyedArchiveString("Hello"),
                             qbtest::typedStreamAttributedString("Hello"), qbtest::typedStreamMutableString("Hello")}) {
        EXPECT_EQ(decodeAttributedBody(body, 7), "Hello");
    }
}

// The reader collects the console lines and writes them per chat; the line quotes at most 50 characters.
TEST(ArchivedBodyDecoderTest, ConsoleLineGoesToTheCallersLinesOnlyWhenAskedFor) {
    const std::string longText = std::string(60, 'a') + "\xC3\xA9";
    std::string lines = "earlier\n";
    EXPECT_EQ(decodeAttributedBody(qbtest::typedStreamAttributedString(longText), 42, &lines), longText);
    EXPECT_EQ(decodeAttributedBody(qbtest::typedStreamAttributedString(""), 43, &lines), std::nullopt);
    EXPECT_EQ(decodeAttributedBody(std::vector<std::uint8_t>{1, 2, 3}, 44, &lines), std::nullopt);
    EXPECT_EQ(lines, "earlier\n"
                     "✅ Decoded attributedBody of message 42 at step 4 (typedstream): " +
                         std::string(50, 'a') +
                         "\n"
                         "✅ Decoded attributedBody of message 43 at step 4 (typedstream): (empty, no text)\n");
}

TEST(ArchivedBodyDecoderTest, EmptyDecidedStringGivesAbsentText) {
    for (const auto& body : {qbtest::keyedArchiveAttributedString(""), qbtest::keyedArchiveString(""),
                             qbtest::typedStreamAttributedString(""), qbtest::typedStreamString("")}) {
        const auto decoded = decodeArchivedBody(body);
        EXPECT_TRUE(decoded.decidedBy.has_value());
        EXPECT_EQ(decoded.text, std::nullopt);
        EXPECT_EQ(decodeAttributedBody(body, 1), std::nullopt);
    }
}

TEST(ArchivedBodyDecoderTest, BodiesNoStepUnderstandsGiveNothing) {
    EXPECT_EQ(decodeAttributedBody({}, 1), std::nullopt);
    EXPECT_EQ(decodeArchivedBody({}).decidedBy, std::nullopt);
    EXPECT_EQ(decodeAttributedBody(std::vector<std::uint8_t>{'h', 'e', 'l', 'l', 'o'}, 2), std::nullopt);
    EXPECT_EQ(decodeAttributedBody(qbtest::keyedArchiveArray({"x"}), 3), std::nullopt);
    EXPECT_EQ(decodeAttributedBody(qbtest::typedStreamArray({"x"}), 4), std::nullopt);
    EXPECT_EQ(decodeAttributedBody(platform::Plist::string("bare").toBinary(), 5), std::nullopt);
}

TEST(ArchivedBodyDecoderTest, ABodyOfDeeplyNestedXmlGivesNothing) {
    // One crafted row must not take the whole load down: 300,000 nested arrays, 4.5 MB.
    std::string xml = "<plist>";
    for (int i = 0; i < 300000; ++i) {
        xml += "<array>";
    }
    for (int i = 0; i < 300000; ++i) {
        xml += "</array>";
    }
    xml += "</plist>";
    EXPECT_EQ(decodeAttributedBody(std::vector<std::uint8_t>(xml.begin(), xml.end()), 6), std::nullopt);
}

} // namespace
