#include "Corvantesk/health/HealthEvent.h"

#include "Corvantesk/core/JsonOptional.h"
#include "Corvantesk/health/ErrorDescription.h"
#include "Corvantesk/health/FatalSignals.h"
#include "platform/core/Utf8Text.h"
#include "platform/core/Uuid.h"

namespace corvantesk {
namespace {

HealthEvent newEvent(std::string eventType, std::string level, std::string message) {
    HealthEvent event;
    event.id = platform::makeUuidString();
    event.eventTimestamp = platform::AbsoluteTime::now();
    event.eventType = std::move(eventType);
    event.level = std::move(level);
    event.message = std::move(message);
    return event;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const auto end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            return lines;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

} // namespace

HealthEvent HealthEvent::crash(const std::string& exceptionName, const std::optional<std::string>& reason,
                               std::optional<std::string> stackTrace) {
    auto event = newEvent("crash", "crash", exceptionName + ": " + reason.value_or("Unknown reason"));
    event.stackTrace = std::move(stackTrace);
    event.exceptionType = exceptionName;
    return event;
}

HealthEvent HealthEvent::crash(int signalNumber, std::optional<std::string> stackTrace) {
    const auto name = signalName(signalNumber);
    auto event = newEvent("crash", "crash", "Signal " + name + " (" + std::to_string(signalNumber) + ")");
    event.stackTrace = std::move(stackTrace);
    event.exceptionType = name;
    return event;
}

HealthEvent HealthEvent::error(const std::exception& error, std::optional<AnyMap> metadata) {
    auto event = newEvent("error", "error", errorDescription(error));
    event.exceptionType = errorTypeName(error);
    event.source = errorDomain(error);
    event.metadata = std::move(metadata);
    return event;
}

HealthEvent HealthEvent::makeMessage(std::string message, std::optional<AnyMap> metadata, const std::string& level) {
    auto event = newEvent(level, level, std::move(message));
    event.metadata = std::move(metadata);
    return event;
}

HealthEvent HealthEvent::error(std::string message, std::optional<AnyMap> metadata) {
    return HealthEvent::makeMessage(std::move(message), std::move(metadata), "error");
}

HealthEvent HealthEvent::warning(std::string message, std::optional<AnyMap> metadata) {
    return HealthEvent::makeMessage(std::move(message), std::move(metadata), "warning");
}

HealthEvent HealthEvent::info(std::string message, std::optional<AnyMap> metadata) {
    return HealthEvent::makeMessage(std::move(message), std::move(metadata), "info");
}

HealthEvent HealthEvent::networkError(const std::string& url, std::optional<std::int64_t> statusCode,
                                      const std::exception* error, std::optional<AnyMap> metadata) {
    std::string text = "Network error";
    if (statusCode) {
        text += " (HTTP " + std::to_string(*statusCode) + ")";
    }
    text += ": " + url;
    auto event = newEvent("networkError", "error", std::move(text));
    AnyMap merged = metadata.value_or(AnyMap{});
    merged["url"] = url;
    if (statusCode) {
        merged["statusCode"] = *statusCode;
    }
    if (error != nullptr) {
        merged["errorDescription"] = errorDescription(*error);
    }
    event.metadata = std::move(merged);
    return event;
}

HealthEvent HealthEvent::heartbeat(std::optional<AnyMap> metadata) {
    auto event = newEvent("heartbeat", "info", "Heartbeat");
    event.metadata = std::move(metadata);
    return event;
}

std::string truncateStackTrace(const std::string& trace, std::int64_t maxLength) {
    const auto limit = static_cast<std::size_t>(maxLength < 0 ? 0 : maxLength);
    const std::string_view cut = platform::utf8::prefix(trace, limit);
    if (cut.size() == trace.size()) {
        return trace;
    }
    return std::string(cut) + "\n... (truncated)";
}

HealthEventPayload HealthEvent::toPayload(std::int64_t maxStackTraceLength) const {
    AnyMap merged = metadata.value_or(AnyMap{});
    if (breadcrumbs && !breadcrumbs->empty()) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& breadcrumb : *breadcrumbs) {
            list.push_back(toJson(breadcrumb, JsonDates::iso8601));
        }
        try {
            merged["breadcrumbs"] = AnyCodable::fromJson(list);
        } catch (const std::exception&) {
            // Left out, as a list that cannot be represented would be.
        }
    }
    if (logs && !logs->empty()) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& entry : *logs) {
            list.push_back(toJson(entry, JsonDates::iso8601));
        }
        try {
            merged["logs"] = AnyCodable::fromJson(list);
        } catch (const std::exception&) {
        }
    }
    if (deviceState) {
        merged["deviceState"] = deviceState->toDictionary();
    }
    if (exceptionType) {
        merged["exceptionType"] = *exceptionType;
    }
    if (source) {
        merged["source"] = *source;
    }

    HealthEventPayload payload;
    payload.id = id;
    payload.timestamp = eventTimestamp;
    payload.level = level;
    payload.message = message;
    if (!merged.empty()) {
        payload.metadata = std::move(merged);
    }
    if (stackTrace) {
        payload.stackTrace = splitLines(truncateStackTrace(*stackTrace, maxStackTraceLength));
    }
    return payload;
}

void to_json(nlohmann::json& json, const HealthEvent& event) {
    json = nlohmann::json::object();
    json["id"] = event.id;
    json["eventTimestamp"] = encodeDate(event.eventTimestamp, JsonDates::referenceSeconds);
    json["eventType"] = event.eventType;
    json["level"] = event.level;
    json["message"] = event.message;
    putOptional(json, "stackTrace", event.stackTrace);
    putOptional(json, "exceptionType", event.exceptionType);
    putOptional(json, "source", event.source);
    putOptional(json, "deviceId", event.deviceId);
    putOptional(json, "appVersion", event.appVersion);
    putOptional(json, "osVersion", event.osVersion);
    putOptional(json, "deviceModel", event.deviceModel);
    putOptional(json, "breadcrumbs", event.breadcrumbs);
    putOptional(json, "logs", event.logs);
    putOptional(json, "deviceState", event.deviceState);
    if (event.metadata) {
        json["metadata"] = toJson(*event.metadata);
    }
}

void from_json(const nlohmann::json& json, HealthEvent& event) {
    event.id = json.at("id").get<std::string>();
    event.eventTimestamp = decodeReferenceDate(json.at("eventTimestamp"));
    event.eventType = json.at("eventType").get<std::string>();
    event.level = json.at("level").get<std::string>();
    event.message = json.at("message").get<std::string>();
    readOptional(json, "stackTrace", event.stackTrace);
    readOptional(json, "exceptionType", event.exceptionType);
    readOptional(json, "source", event.source);
    readOptional(json, "deviceId", event.deviceId);
    readOptional(json, "appVersion", event.appVersion);
    readOptional(json, "osVersion", event.osVersion);
    readOptional(json, "deviceModel", event.deviceModel);
    readOptional(json, "breadcrumbs", event.breadcrumbs);
    readOptional(json, "logs", event.logs);
    readOptional(json, "deviceState", event.deviceState);
    event.metadata.reset();
    if (auto it = json.find("metadata"); it != json.end() && !it->is_null()) {
        event.metadata = anyMapFromJson(*it);
    }
}

} // namespace corvantesk
