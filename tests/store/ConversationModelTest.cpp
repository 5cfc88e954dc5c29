#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "Quillobrandt/store/Conversation.h"
#include "Quillobrandt/store/ConversationCopy.h"
#include "Quillobrandt/store/Message.h"

using quillobrandt::Attachment;
using quillobrandt::ConversationCopy;
using quillobrandt::Message;

namespace {

Attachment attachment(const std::string& filename, std::optional<std::string> mimeType) {
    return Attachment{.id = 1, .filename = filename, .mimeType = std::move(mimeType), .filePath = "/x/" + filename};
}

Message messageWith(std::vector<Attachment> attachments, std::int64_t id = 1) {
    return Message{.id = id,
                   .text = "hi",
                   .date = {700'000'000.0},
                   .sender = "+15550001111",
                   .attachments = std::move(attachments)};
}

} // namespace

TEST(AttachmentKind, TheMimeTypeWinsOverTheExtension) {
    EXPECT_FALSE(attachment("clip.JPG", "video/mp4").isImage());
    EXPECT_FALSE(attachment("photo.jpeg", "IMAGE/JPEG").isImage()); // the prefix test is case-sensitive
    EXPECT_TRUE(attachment("noextension", "image/heic").isImage());
    const auto video = messageWith({attachment("clip.JPG", "video/mp4")});
    EXPECT_FALSE(video.hasImageAttachment());
    EXPECT_TRUE(video.hasNonImageAttachment());
}

TEST(AttachmentKind, WithoutMimeTypeTheLowerCasedExtensionDecides) {
    for (const char* name : {"IMG_1.HEIC", "a.heif", "b.Jpg", "c.jpeg", "d.png", "e.GIF", "~/Library/x.y/f.jpg"}) {
        EXPECT_TRUE(attachment(name, std::nullopt).isImage()) << name;
    }
    for (const char* name : {"noextension", "doc.pdf", "dir.jpg/file", "jpg", "archive.jpg.zip", ""}) {
        EXPECT_FALSE(attachment(name, std::nullopt).isImage()) << name;
    }
}

TEST(AttachmentKind, MixedAndMissingAttachments) {
    const auto mixed = messageWith({attachment("a.jpg", "image/jpeg"), attachment("b.pdf", "application/pdf")});
    EXPECT_TRUE(mixed.hasImageAttachment());
    EXPECT_TRUE(mixed.hasNonImageAttachment());
    const auto none = messageWith({});
    EXPECT_FALSE(none.hasImageAttachment());
    EXPECT_FALSE(none.hasNonImageAttachment());
}

TEST(ModelEquality, EveryFieldTakesPart) {
    const auto a = messageWith({attachment("a.jpg", "image/jpeg")});
    auto b = a;
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<Message>{}(a), std::hash<Message>{}(b));
    b.associatedMessageType = 5;
    EXPECT_NE(a, b);
    EXPECT_NE(std::hash<Message>{}(a), std::hash<Message>{}(b));
    auto emptyText = a;
    emptyText.text = "";
    auto noText = a;
    noText.text.reset();
    EXPECT_NE(emptyText, noText);
    EXPECT_NE(std::hash<Message>{}(emptyText), std::hash<Message>{}(noText));

    quillobrandt::Conversation first{.id = "942+17", .participants = {"x"}, .messageCount = 1, .messages = {a}};
    auto second = first;
    second.id = "17+942";
    EXPECT_NE(first, second);
}

TEST(ModelEquality, CompactFieldsCopyDeeplyAndCompareByValue) {
    Message original = messageWith({attachment("a.jpg", "image/jpeg")});
    original.associatedMessageGUID = std::string("p:0/GUID");
    Message copy = original;
    EXPECT_EQ(copy, original);
    copy.attachments.push_back(attachment("b.mov", "video/quicktime"));
    copy.associatedMessageGUID->append("-changed");
    EXPECT_EQ(original.attachments.size(), 1u); // the copy's list and GUID are its own
    EXPECT_EQ(original.associatedMessageGUID, "p:0/GUID");
    EXPECT_NE(copy, original);
    copy = original;
    EXPECT_EQ(copy, original);
    copy.attachments.clear();
    copy.associatedMessageGUID = std::nullopt;
    EXPECT_TRUE(copy.attachments.empty());
    EXPECT_EQ(copy.attachments, std::vector<Attachment>{});
    EXPECT_FALSE(copy.associatedMessageGUID.has_value());
    EXPECT_NE(std::hash<Message>{}(copy), std::hash<Message>{}(original));
    Message sameSender = messageWith({});
    sameSender.sender = std::string("+15550001111");
    EXPECT_EQ(sameSender.sender, original.sender); // equal texts compare equal whether or not they share a buffer
}

TEST(ConversationCopy, RemainingMessagesDropOnlyMarkedIds) {
    const auto original = std::make_shared<const quillobrandt::Conversation>(quillobrandt::Conversation{
        .id = "1",
        .participants = {"x"},
        .messageCount = 4,
        .messages = {messageWith({}, 1), messageWith({}, 2), messageWith({}, 3), messageWith({}, 4)}});
    // The working copy names the original's messages by position; the original is shared, not copied.
    ConversationCopy copy{.originalConversation = original, .editedMessages = {0, 1, 3}};
    EXPECT_EQ(&copy.editedMessage(2), &original->messages[3]);
    EXPECT_EQ(copy.remainingMessages().size(), 3u);
    copy.deletedMessageIDs = {99};
    EXPECT_EQ(copy.remainingMessages(), (std::vector<quillobrandt::Message>{
                                            original->messages[0], original->messages[1], original->messages[3]}));
    copy.deletedMessageIDs = {2, 99};
    const auto remaining = copy.remainingMessages();
    ASSERT_EQ(remaining.size(), 2u);
    EXPECT_EQ(remaining[0].id, 1);
    EXPECT_EQ(remaining[1].id, 4);

    // Positions past the end (or no original at all) name nothing; they are skipped, never read.
    copy.editedMessages = {3, 4, 400};
    copy.deletedMessageIDs = {};
    ASSERT_EQ(copy.remainingMessages().size(), 1u);
    EXPECT_EQ(copy.remainingMessages()[0].id, 4);
    EXPECT_TRUE(ConversationCopy{.editedMessages = {0}}.remainingMessages().empty());
}
