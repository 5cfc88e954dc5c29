#pragma once

#include <filesystem>
#include <string>

#include "tests/support/MessagesSchema.h"

namespace qbtest {

// What a sample history holds, as the builder wrote it.
struct LayoutSample {
    double firstDate = 0; // seconds since 2001 of the oldest message of the one-to-one chat
    std::string firstText;
    std::string attachmentName; // attachment.filename as the layout's release stores it
    bool reactions = false;     // the layout has associated messages, and the sample one
};

// A small history in one layout, with what that release could hold: a one-to-one chat with an attachment (and a
// reaction where the layout has them), a named group chat, a chat nobody takes part in and one without messages;
// for macOS 13 and later, texts kept only in attributedBody, an edited, a retracted and a recently deleted message.
// Dates in seconds or nanoseconds as the release stored them.
LayoutSample buildLayoutSample(const std::filesystem::path& file, SchemaLayout layout);

// An iPhone's sms.db of iOS 5 (messagesSchemaBeforeIos6) with one conversation of two messages, an SMS and an
// iMessage.
void buildIos5Sample(const std::filesystem::path& file);

} // namespace qbtest
