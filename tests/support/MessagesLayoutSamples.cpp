#include "tests/support/MessagesLayoutSamples.h"

#include <optional>
#include <vector>

#include "tests/support/ArchiveBlobBuilder.h"
#include "tests/support/MessagesDatabaseBuilder.h"

namespace qbtest {
namespace {

// A day in the years each release was current, as seconds since 2001.
double sampleStart(SchemaLayout layout) {
    switch (layout) {
    case SchemaLayout::iPhoneIos6:
        return 380'000'000.0; // January 2013
    case SchemaLayout::macYosemite:
        return 440'000'000.0; // December 2014
    case SchemaLayout::macHighSierra:
        return 540'000'000.0; // February 2018
    case SchemaLayout::iPhoneIos13:
        return 600'000'000.0; // January 2020
    case SchemaLayout::macVentura:
        return 700'000'000.0; // March 2023
    }
    return 0;
}

std::string attachmentName(SchemaLayout layout) {
    switch (layout) {
    case SchemaLayout::iPhoneIos6: // iOS 6 stored the device's absolute path
        return "/var/mobile/Library/SMS/Attachments/0c/12/5D1F0E2A-7C39-4F0B-9C1C-2E7A1B3C4D5E/IMG_0001.JPG";
    case SchemaLayout::iPhoneIos13:
        return "~/Library/SMS/Attachments/0c/12/5D1F0E2A-7C39-4F0B-9C1C-2E7A1B3C4D5E/IMG_0001.JPG";
    default:
        return "~/Library/Messages/Attachments/ab/11/5D1F0E2A-7C39-4F0B-9C1C-2E7A1B3C4D5E/IMG_0001.jpeg";
    }
}

} // namespace

LayoutSample buildLayoutSample(const std::filesystem::path& file, SchemaLayout layout) {
    MessagesDatabaseBuilder builder(file, JournalMode::rollback, layout);
    const bool seconds = storesDatesInSeconds(layout);
    const bool ventura = layout == SchemaLayout::macVentura;
    const double start = sampleStart(layout);
    LayoutSample sample{start, "Are we still on for Saturday?", attachmentName(layout),
                        layout != SchemaLayout::iPhoneIos6 && layout != SchemaLayout::macYosemite};
    const auto date = [&](double offset) {
        return seconds ? storedSeconds(start + offset) : storedNanoseconds(start + offset);
    };
    // macOS 13 and later keep most texts only in the archived body.
    const auto message = [&](const std::string& text, double offset, std::int64_t handle) {
        MessageRow row{.date = date(offset), .isFromMe = handle == 0 ? 1 : 0, .handleId = handle};
        if (ventura) {
            row.attributedBody = typedStreamAttributedString(text);
        } else {
            row.text = text;
            row.attributedBody = typedStreamAttributedString(text);
        }
        return row;
    };

    const auto alice = builder.addOneToOneChat("+15550001001", "SMS");
    const auto first = builder.addMessageToChat(alice.chatId, message(sample.firstText, 0, alice.handleId));
    builder.addMessageToChat(alice.chatId, message("Yes, see you at ten", 60, 0));
    const auto photo = builder.addMessageToChat(alice.chatId, message("\xEF\xBF\xBC", 120, alice.handleId));
    builder.addMessageAttachment(photo,
                                 builder.addAttachment({.filename = sample.attachmentName, .mimeType = "image/jpeg"}));
    if (sample.reactions) {
        auto reaction = message("Loved \xE2\x80\x9CYes, see you at ten\xE2\x80\x9D", 180, alice.handleId);
        reaction.associatedMessageGuid = "p:0/" + std::to_string(first);
        reaction.associatedMessageType = 2000;
        builder.addMessageToChat(alice.chatId, reaction);
    }

    const auto group = builder.addChat({.chatIdentifier = "chat771203", .displayName = "Weekend", .style = 43});
    const auto bob = builder.addHandle("bob@example.com");
    const auto carol = builder.addHandle("+15550001003");
    builder.addChatHandle(group, bob);
    builder.addChatHandle(group, carol);
    builder.addMessageToChat(group, message("Who brings the tent?", 3600, bob));
    builder.addMessageToChat(group, message("I can", 3660, carol));
    const auto edited = builder.addMessageToChat(group, message("I'll bring the stove", 3720, 0));

    // Kept by the file, left out by design: a chat nobody takes part in, and one without messages.
    const auto nobody = builder.addChat({.chatIdentifier = "+15550001099"});
    builder.addMessageToChat(nobody, message("Your code is 482913", 7200, 0));
    builder.addOneToOneChat("+15550001004");

    if (ventura) {
        builder.database().exec("UPDATE message SET date_edited = " + std::to_string(date(3780)) +
                                " WHERE ROWID = " + std::to_string(edited));
        // A retracted message keeps its row and loses its text; a recently deleted one leaves the chat.
        auto retracted = message("never mind", 3840, 0);
        retracted.attributedBody.reset();
        const auto unsent = builder.addMessageToChat(group, retracted);
        builder.database().exec("UPDATE message SET date_retracted = " + std::to_string(date(3900)) +
                                " WHERE ROWID = " + std::to_string(unsent));
        const auto deleted = builder.addMessage(message("deleted a minute later", 3960, bob));
        builder.database().exec(
            "INSERT INTO chat_recoverable_message_join (chat_id, message_id, delete_date) VALUES (" +
            std::to_string(group) + ", " + std::to_string(deleted) + ", " + std::to_string(date(4020)) + ")");
    }
    builder.finish();
    return sample;
}

void buildIos5Sample(const std::filesystem::path& file) {
    auto db = platform::SqliteDatabase::open(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    for (const auto& statement : messagesSchemaBeforeIos6()) {
        db.exec(statement);
    }
    db.exec("INSERT INTO msg_group (ROWID, type, newest_message, unread_count) VALUES (1, 0, 2, 0);"
            "INSERT INTO group_member (group_id, address, country) VALUES (1, '+15550001001', 'us');"
            "INSERT INTO message (ROWID, address, date, text, flags, group_id, is_madrid) VALUES"
            " (1, '+15550001001', 1325412000, 'Back from the lake', 2, 1, 0);"
            "INSERT INTO message (ROWID, date, text, group_id, madrid_handle, madrid_flags, is_madrid) VALUES"
            " (2, 1325412060, 'Pictures please', 1, '+15550001001', 36869, 1)");
}

} // namespace qbtest
