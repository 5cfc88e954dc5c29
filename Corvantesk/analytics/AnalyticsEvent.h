#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Corvantesk/core/AnyCodable.h"
#include "Corvantesk/core/WirePayloads.h"
#include "platform/core/AbsoluteTime.h"

namespace corvantesk {

// One usage event. A plain value. The factories set a fresh id, the current time and the fixed type and
// category of their kind; the analytics client builds the same fields and adds the user id.
struct AnalyticsEvent {
    std::string id;
    platform::AbsoluteTime timestamp;
    std::string eventType;
    std::string sessionId;
    std::optional<std::string> category;
    std::optional<std::string> screen;
    std::optional<std::string> screenLabel;
    std::optional<std::string> element;
    std::optional<std::string> elementLabel;
    std::optional<AnyMap> properties;
    std::optional<std::string> userId;    // kept on the device, never sent per event
    std::optional<std::int64_t> duration; // milliseconds
    std::optional<std::string> referrer;

    // An event with a fresh id, stamped now.
    static AnalyticsEvent make(std::string eventType, std::string sessionId);

    static AnalyticsEvent screenView(const std::string& screen, const std::optional<std::string>& screenLabel,
                                     const std::string& sessionId, const std::optional<std::string>& referrer,
                                     std::optional<AnyMap> properties = std::nullopt);
    static AnalyticsEvent buttonClick(const std::string& elementId, const std::optional<std::string>& elementLabel,
                                      const std::optional<std::string>& screen, const std::string& sessionId,
                                      std::optional<AnyMap> properties = std::nullopt);
    // Category "feature" when none is given.
    static AnalyticsEvent featureUsed(const std::string& featureName, const std::optional<std::string>& category,
                                      const std::string& sessionId, std::optional<AnyMap> properties = std::nullopt);
    static AnalyticsEvent custom(const std::string& eventType, const std::optional<std::string>& category,
                                 const std::string& sessionId, const std::optional<std::string>& screen = std::nullopt,
                                 const std::optional<std::string>& element = std::nullopt,
                                 std::optional<AnyMap> properties = std::nullopt);
    static AnalyticsEvent timed(const std::string& eventType, std::int64_t durationMilliseconds,
                                const std::optional<std::string>& category, const std::string& sessionId,
                                const std::optional<std::string>& screen = std::nullopt,
                                std::optional<AnyMap> properties = std::nullopt);
    // Properties "query" and, when given, "resultsCount".
    static AnalyticsEvent search(const std::string& query, std::optional<std::int64_t> resultsCount,
                                 const std::string& sessionId, const std::optional<std::string>& screen = std::nullopt);
    // Properties always present: the given map, then "value" and "currency" when given (overwriting).
    static AnalyticsEvent conversion(const std::string& name, std::optional<double> value,
                                     const std::optional<std::string>& currency, const std::string& sessionId,
                                     std::optional<AnyMap> properties = std::nullopt);
    static AnalyticsEvent error(const std::string& message, const std::optional<std::string>& code,
                                const std::string& sessionId, const std::optional<std::string>& screen = std::nullopt);

    // The wire form: every field but the two labels and the user id.
    AnalyticsEventPayload toPayload() const;

    bool operator==(const AnalyticsEvent&) const = default;
};

// The offline-file form: keys are the field names, absent optionals left out, dates as seconds since 2001.
void to_json(nlohmann::json& json, const AnalyticsEvent& event);
void from_json(const nlohmann::json& json, AnalyticsEvent& event); // throws on missing or mistyped keys

} // namespace corvantesk
