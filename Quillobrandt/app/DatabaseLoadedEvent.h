#pragma once

#include <cstdint>
#include <string>

#include "Quillobrandt/app/DatabaseLoadStatistics.h"

namespace quillobrandt {

class GoogleAnalyticsManager;

// Reports one successful load as "database_loaded": to Google Analytics 4 (message and conversation
// counts, load time, source), then to the telemetry SDK when it is initialised (category "scaling",
// all nine figures).
void recordDatabaseLoaded(GoogleAnalyticsManager& analytics, const DatabaseLoadStatistics& stats,
                          std::int64_t loadTimeMs, const std::string& source);

} // namespace quillobrandt
