#include "Corvantesk/analytics/AnalyticsEvent.h"

#include "Corvantesk/core/EventIds.h"
#include "Corvantesk/core/JsonOptional.h"

namespace corvantesk {

AnalyticsEvent AnalyticsEvent::make(std::string eventType, std::string sessionId) {
    AnalyticsEvent event;
    event.id = makeEventId(); // on the tracking caller's thread: no system call
    event.timestamp = platform::AbsoluteTime::now();
    event.eventType = std::move(eventType);
    event.sessionId = std::move(sessionId);
    return event;
}

AnalyticsEvent AnalyticsEvent::screenView(const std::string& screen, const std::optional<std::string>& screenLabel,
                                          const std::string& sessionId, const std::optional<std::string>& referrer,
                                          std::optional<AnyMap> properties) {
    auto event = make("screen_viewed", sessionId);
    event.category = "navigation";
    event.screen = screen;
    event.screenLabel = screenLabel;
    event.referrer = referrer;
    event.properties = std::move(properties);
    return event;
}

AnalyticsEvent AnalyticsEvent::buttonClick(const std::string& elementId, const std::optional<std::string>& elementLabel,
                                           const std::optional<std::string>& screen, const std::string& sessionId,
                                           std::optional<AnyMap> properties) {
    auto event = make("button_clicked", sessionId);
    event.category = "interaction";
    event.element = elementId;
    event.elementLabel = elementLabel;
    event.screen = screen;
    event.properties = std::move(properties);
    return event;
}

AnalyticsEvent AnalyticsEvent::featureUsed(const std::string& featureName, const std::optional<std::string>& category,
                                           const std::string& sessionId, std::optional<AnyMap> properties) {
    auto event = make("feature_used", sessionId);
    event.category = category.value_or("feature");
    event.element = featureName;
    event.properties = std::move(properties);
    return event;
}

AnalyticsEvent AnalyticsEvent::custom(const std::string& eventType, const std::optional<std::string>& category,
                                      const std::string& sessionId, const std::optional<std::string>& screen,
                                      const std::optional<std::string>& element, std::optional<AnyMap> properties) {
    auto event = make(eventType, sessionId);
    event.category = category;
    event.screen = screen;
    event.element = element;
    event.properties = std::move(properties);
    return event;
}

AnalyticsEvent AnalyticsEvent::timed(const std::string& eventType, std::int64_t durationMilliseconds,
                                     const std::optional<std::string>& category, const std::string& sessionId,
                                     const std::optional<std::string>& screen, std::optional<AnyMap> properties) {
    auto event = make(eventType, sessionId);
    event.category = category;
    event.screen = screen;
    event.duration = durationMilliseconds;
    event.properties = std::move(properties);
    return event;
}

AnalyticsEvent AnalyticsEvent::search(const std::string& query, std::optional<std::int64_t> resultsCount,
                                      const std::string& sessionId, const std::optional<std::string>& screen) {
    auto event = make("search", sessionId);
    event.category = "search";
    event.screen = screen;
    AnyMap properties{{"query", query}};
    if (resultsCount) {
        properties["resultsCount"] = *resultsCount;
    }
    event.properties = std::move(properties);
    return event;
}

AnalyticsEvent AnalyticsEvent::conversion(const std::string& name, std::optional<double> value,
                                          const std::optional<std::string>& currency, const std::string& sessionId,
                                          std::optional<AnyMap> properties) {
    auto event = make("conversion", sessionId);
    event.category = "conversion";
    event.element = name;
    AnyMap merged = properties.value_or(AnyMap{});
    if (value) {
        merged["value"] = *value;
    }
    if (currency) {
        merged["currency"] = *currency;
    }
    event.properties = std::move(merged);
    return event;
}

AnalyticsEvent AnalyticsEvent::error(const std::string& message, const std::optional<std::string>& code,
                                     const std::string& sessionId, const std::optional<std::string>& screen) {
    auto event = make("error", sessionId);
    event.category = "error";
    event.screen = screen;
    AnyMap properties{{"message", message}};
    if (code) {
        properties["code"] = *code;
    }
    event.properties = std::move(properties);
    return event;
}

AnalyticsEventPayload AnalyticsEvent::toPayload() const {
    AnalyticsEventPayload payload;
    payload.id = id;
    payload.timestamp = timestamp;
    payload.eventType = eventType;
    payload.sessionId = sessionId;
    payload.category = category;
    payload.screen = screen;
    payload.element = element;
    payload.properties = properties;
    payload.duration = duration;
    payload.referrer = referrer;
    return payload;
}

void to_json(nlohmann::json& json, const AnalyticsEvent& event) {
    json = nlohmann::json::object();
    json["id"] = event.id;
    json["timestamp"] = event.timestamp.secondsSinceReferenceDate;
    json["eventType"] = event.eventType;
    json["sessionId"] = event.sessionId;
    putOptional(json, "category", event.category);
    putOptional(json, "screen", event.screen);
    putOptional(json, "screenLabel", event.screenLabel);
    putOptional(json, "element", event.element);
    putOptional(json, "elementLabel", event.elementLabel);
    if (event.properties) {
        json["properties"] = toJson(*event.properties);
    }
    putOptional(json, "userId", event.userId);
    putOptional(json, "duration", event.duration);
    putOptional(json, "referrer", event.referrer);
}

void from_json(const nlohmann::json& json, AnalyticsEvent& event) {
    event.id = json.at("id").get<std::string>();
    event.timestamp = platform::AbsoluteTime{dateSecondsFrom(json.at("timestamp"))};
    event.eventType = json.at("eventType").get<std::string>();
    event.sessionId = json.at("sessionId").get<std::string>();
    readOptional(json, "category", event.category);
    readOptional(json, "screen", event.screen);
    readOptional(json, "screenLabel", event.screenLabel);
    readOptional(json, "element", event.element);
    readOptional(json, "elementLabel", event.elementLabel);
    event.properties.reset();
    if (auto it = json.find("properties"); it != json.end() && !it->is_null()) {
        event.properties = anyMapFromJson(*it);
    }
    readOptional(json, "userId", event.userId);
    readOptional(json, "duration", event.duration);
    readOptional(json, "referrer", event.referrer);
}

} // namespace corvantesk
