#include "Quillobrandt/app/DatabaseLoadedEvent.h"

#include "Corvantesk/Corvantesk.h"
#include "Quillobrandt/app/GoogleAnalyticsManager.h"

namespace quillobrandt {

void recordDatabaseLoaded(GoogleAnalyticsManager& analytics, const DatabaseLoadStatistics& stats,
                          std::int64_t loadTimeMs, const std::string& source) {
    analytics.trackEvent("database_loaded", {{"message_count", stats.totalMessages},
                                             {"conversation_count", stats.conversationCount},
                                             {"load_time_ms", loadTimeMs},
                                             {"source", source}});
    if (!corvantesk::Corvantesk::isInitialized()) {
        return;
    }
    corvantesk::Corvantesk::track(
        "database_loaded", "scaling",
        corvantesk::AnyMap{{"total_messages", stats.totalMessages},
                           {"conversation_count", stats.conversationCount},
                           {"load_time_ms", loadTimeMs},
                           {"source", source},
                           {"max_messages_in_conversation", stats.maxMessagesInConversation},
                           {"avg_messages_per_conversation", stats.avgMessagesPerConversation},
                           {"group_chat_count", stats.groupChatCount},
                           {"largest_group_size", stats.largestGroupSize},
                           {"total_attachments", stats.totalAttachments}});
}

} // namespace quillobrandt
