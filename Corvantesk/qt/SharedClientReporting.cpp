#include "Corvantesk/qt/SharedClientReporting.h"

#include "Corvantesk/Corvantesk.h"

namespace corvantesk {

TimedActionTracker startTimedAction(std::string eventType, std::optional<std::string> category) {
    return TimedActionTracker(std::move(eventType), std::move(category),
                              [](const std::string& type, std::int64_t durationMilliseconds,
                                 const std::optional<std::string>& cat, std::optional<AnyMap> properties) {
                                  if (auto client = Corvantesk::sharedOrNil()) {
                                      client->analytics().trackTimed(type, durationMilliseconds, cat,
                                                                     std::move(properties));
                                  }
                              });
}

void trackFeatureFlag(const std::string& flagName, bool value, const std::optional<std::string>& source) {
    if (auto client = Corvantesk::sharedOrNil()) {
        trackFeatureFlag(client->analytics(), flagName, value, source);
    }
}

} // namespace corvantesk
