#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "Quillobrandt/store/Conversation.h"

namespace quillobrandt {

// Figures of one loaded database, all whole numbers; every one is 0 for an empty list.
struct DatabaseLoadStatistics {
    std::int64_t totalMessages = 0; // counted from the message lists
    std::int64_t conversationCount = 0;
    std::int64_t maxMessagesInConversation = 0;
    std::int64_t avgMessagesPerConversation = 0; // integer division
    std::int64_t groupChatCount = 0;             // more than two participants
    std::int64_t largestGroupSize = 0;           // largest participant count of any conversation
    std::int64_t totalAttachments = 0;

    bool operator==(const DatabaseLoadStatistics&) const = default;
};

DatabaseLoadStatistics computeLoadStatistics(const std::vector<Conversation>& conversations);

// A chosen file counts as an iPhone backup when its name, lower-cased, contains "sms.db", or its path
// contains "extracted_sms" or "Backup" (both case-sensitive); never when it lies in one of the program's own
// extraction folders, whose pictures were extracted with it.
bool looksLikeIPhoneBackup(const std::filesystem::path& file);

// "iphone_backup", "mac_messages" (the path contains "/Library/Messages/") or "custom_file".
std::string databaseLoadSource(bool isIPhoneBackup, const std::filesystem::path& file);

// A progress fraction as a whole percent, cut towards zero (0.957 gives 95).
int progressPercent(double fraction);

} // namespace quillobrandt
