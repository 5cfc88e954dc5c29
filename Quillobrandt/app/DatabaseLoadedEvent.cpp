#include "Quillobrandt/app/DatabaseLoadedEvent.h"

#include "Quillobrandt/app/GoogleAnalyticsManager.h"

namespace quillobrandt {

void recordDatabaseLoaded(GoogleAnalyticsManager& analytics, const DatabaseLoadStatistics& stats,
                          std::int64_t loadTimeMs, const std::string& source) {
    analytics.trackEvent("database_loaded", {{"message_count", stats.totalMessages},
                                             {"conversation_count", stats.conversationCount},
                                             {"load_time_ms", loadTimeMs},
                                             {"source", source}});
}

} // namespace quillobrandt
