#include "Quillobrandt/app/DatabaseLoadStatistics.h"

#include <algorithm>
#include <cctype>

#include "Quillobrandt/store/DatabaseLocation.h"

namespace quillobrandt {

DatabaseLoadStatistics computeLoadStatistics(const std::vector<Conversation>& conversations) {
    DatabaseLoadStatistics stats;
    stats.conversationCount = static_cast<std::int64_t>(conversations.size());
    for (const Conversation& conversation : conversations) {
        const auto messages = static_cast<std::int64_t>(conversation.messages.size());
        const auto participants = static_cast<std::int64_t>(conversation.participants.size());
        stats.totalMessages += messages;
        stats.maxMessagesInConversation = std::max(stats.maxMessagesInConversation, messages);
        stats.largestGroupSize = std::max(stats.largestGroupSize, participants);
        if (participants > 2) {
            ++stats.groupChatCount;
        }
        for (const Message& message : conversation.messages) {
            stats.totalAttachments += static_cast<std::int64_t>(message.attachments.size());
        }
    }
    if (stats.conversationCount > 0) {
        stats.avgMessagesPerConversation = stats.totalMessages / stats.conversationCount;
    }
    return stats;
}

bool looksLikeIPhoneBackup(const std::filesystem::path& file) {
    if (extractionFolderContaining(file)) {
        return false; // extracted by the program, pictures and all
    }
    std::string name = file.filename().string();
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::string path = file.string();
    return name.find("sms.db") != std::string::npos || path.find("extracted_sms") != std::string::npos ||
           path.find("Backup") != std::string::npos;
}

std::string databaseLoadSource(bool isIPhoneBackup, const std::filesystem::path& file) {
    if (isIPhoneBackup) {
        return "iphone_backup";
    }
    if (file.string().find("/Library/Messages/") != std::string::npos) {
        return "mac_messages";
    }
    return "custom_file";
}

int progressPercent(double fraction) {
    return static_cast<int>(fraction * 100.0);
}

} // namespace quillobrandt
