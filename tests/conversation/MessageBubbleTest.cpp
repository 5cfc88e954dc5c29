#include "Quillobrandt/conversation/MessageBubble.h"

#include <QImage>
#include <gtest/gtest.h>

#include "Quillobrandt/conversation/MessageList.h"
#include "tests/conversation/ConversationTestSupport.h"
#include "tests/support/TestEnvironment.h"

namespace {

using quillobrandt::Attachment;
using quillobrandt::BubbleContext;
using quillobrandt::Message;
using quillobrandt::makeBubbleContent;

Attachment attachment(const std::string& name, const std::string& path, std::optional<std::string> mime = {}) {
    Attachment a;
    a.filename = name;
    a.filePath = path;
    a.mimeType = std::move(mime);
    return a;
}

BubbleContext contextWithLabel() {
    BubbleContext context;
    context.namer = quillobrandt::makeParticipantNamer({{"+1555", "Ann"}});
    return context;
}

TEST(MessageBubble, TextSenderAndTimeOfAReceivedMessage) {
    qbtest::ScopedTimeZone zone("Europe/Berlin");
    Message message = qbtest::makeMessage(QDate(2024, 5, 1), QTime(15, 7), "Hi\xEF\xBF\xBC there", false, "+1555");
    const auto content = makeBubbleContent(message, true, contextWithLabel());
    ASSERT_TRUE(content.senderName);
    EXPECT_EQ(*content.senderName, "Ann");
    EXPECT_EQ(content.senderColor, quillobrandt::senderNameColor("+1555")) << "colour follows the handle";
    ASSERT_TRUE(content.text);
    EXPECT_EQ(*content.text, "Hi there") << "the attachment marker is not drawn";
    EXPECT_EQ(content.time, "3:07 PM");
    EXPECT_FALSE(content.unsupported);

    Message mine = message;
    mine.isFromMe = true;
    EXPECT_FALSE(makeBubbleContent(mine, true, contextWithLabel()).senderName);
}

TEST(MessageBubble, PicturesReplaceTextAndOtherFilesAreListed) {
    const auto dir = qbtest::IsolatedHome::root();
    const QString picturePath = QString::fromStdString((dir / "p.png").string());
    QImage image(40, 20, QImage::Format_RGB32);
    image.fill(Qt::red);
    ASSERT_TRUE(image.save(picturePath));

    Message message = qbtest::makeMessage(QDate(2024, 5, 1), QTime(9, 0), "caption");
    message.attachments = {attachment("p.png", picturePath.toStdString()),
                           attachment("doc.pdf", "/nowhere/doc.pdf", "application/pdf")};
    const auto content = makeBubbleContent(message, false, {});
    EXPECT_FALSE(content.text);
    ASSERT_EQ(content.pictures.size(), 1u);
    EXPECT_TRUE(content.pictures[0].loadable);
    ASSERT_EQ(content.attachmentNames.size(), 1u);
    EXPECT_EQ(content.attachmentNames[0], "doc.pdf");

    Message textAndFile = qbtest::makeMessage(QDate(2024, 5, 1), QTime(9, 0), "see file");
    textAndFile.attachments = {attachment("doc.pdf", "/nowhere/doc.pdf", "application/pdf")};
    const auto both = makeBubbleContent(textAndFile, false, {});
    EXPECT_TRUE(both.text);
    EXPECT_EQ(both.attachmentNames.size(), 1u);

    // Drawing the rows must not fail on any of the pieces.
    quillobrandt::MessageRow row;
    row.message = message;
    row.content = content;
    row.layout.showDateHeader = true;
    row.showDelete = true;
    const auto geometry = quillobrandt::layoutMessageRow(row, 600);
    EXPECT_FALSE(geometry.deleteButton.isNull());
    EXPECT_LT(geometry.deleteButton.right(), geometry.pictures[0].left()) << "trash stands left of the column";
    EXPECT_LE(geometry.pictures[0].width(), 300);
}

TEST(MessageBubble, MissingPictureAndEmptyMessagePlaceholders) {
    Message message = qbtest::makeMessage(QDate(2024, 5, 1), QTime(9, 0), std::nullopt);
    message.attachments = {attachment("IMG_1.HEIC", "/nowhere/IMG_1.HEIC")};
    const auto missing = makeBubbleContent(message, false, {});
    ASSERT_EQ(missing.pictures.size(), 1u);
    EXPECT_FALSE(missing.pictures[0].loadable);
    EXPECT_EQ(missing.pictures[0].failureNote, "Path: /nowhere/IMG_1.HEIC");
    EXPECT_FALSE(missing.unsupported) << "an attachment is content";

    BubbleContext backup;
    backup.isIPhoneBackup = true;
    EXPECT_EQ(makeBubbleContent(message, false, backup).pictures[0].failureNote,
              "Attachments not extracted from backup");

    const Message empty = qbtest::makeMessage(QDate(2024, 5, 1), QTime(9, 0), "");
    EXPECT_TRUE(makeBubbleContent(empty, false, {}).unsupported);
}

TEST(MessageBubble, ThemeColours) {
    using quillobrandt::AppTheme;
    using quillobrandt::bubblePalette;
    EXPECT_EQ(bubblePalette(true, AppTheme::quillobrandt).background, quillobrandt::ConversationStyle::gold());
    EXPECT_EQ(bubblePalette(true, AppTheme::professional).background, QColor(0x00, 0x7A, 0xFF));
    EXPECT_EQ(bubblePalette(false, AppTheme::quillobrandt).background, QColor(0xFF, 0x8C, 0x78));
    EXPECT_EQ(bubblePalette(false, AppTheme::quillobrandt).text, QColor(Qt::white));
    EXPECT_FALSE(bubblePalette(false, AppTheme::professional).text.isValid()) << "primary label colour";
}

} // namespace
