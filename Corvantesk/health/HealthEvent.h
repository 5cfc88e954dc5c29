#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Corvantesk/core/AnyCodable.h"
#include "Corvantesk/core/DeviceState.h"
#include "Corvantesk/core/WirePayloads.h"
#include "Corvantesk/health/Breadcrumb.h"
#include "Corvantesk/health/LogEntry.h"
#include "platform/core/AbsoluteTime.h"

namespace corvantesk {

// One health occurrence: a crash, an error, a warning, an informational message, a failed request or a
// heartbeat. A plain value; the factories set id, time, type, level and message, the health client and the
// crash handler add device facts, breadcrumbs, logs and a device snapshot.
struct HealthEvent {
    std::string id;
    platform::AbsoluteTime eventTimestamp;
    std::string eventType; // "crash", "error", "warning", "info", "networkError", "heartbeat"
    std::string level;     // "crash", "error", "warning", "info"
    std::string message;
    std::optional<std::string> stackTrace; // frames separated by "\n"
    std::optional<std::string> exceptionType;
    std::optional<std::string> source;
    std::optional<std::string> deviceId;
    std::optional<std::string> appVersion;
    std::optional<std::string> osVersion;
    std::optional<std::string> deviceModel;
    std::optional<std::vector<Breadcrumb>> breadcrumbs;
    std::optional<std::vector<LogEntry>> logs;
    std::optional<DeviceState> deviceState;
    std::optional<AnyMap> metadata;

    // An uncaught C++ exception: "<type>: <reason>" ("Unknown reason" without one).
    static HealthEvent crash(const std::string& exceptionName, const std::optional<std::string>& reason,
                             std::optional<std::string> stackTrace);
    // "Signal SIGSEGV (11)".
    static HealthEvent crash(int signalNumber, std::optional<std::string> stackTrace = std::nullopt);
    // The error's text as message, its type as exceptionType, its domain as source.
    static HealthEvent error(const std::exception& error, std::optional<AnyMap> metadata = std::nullopt);
    static HealthEvent error(std::string message, std::optional<AnyMap> metadata = std::nullopt);
    static HealthEvent warning(std::string message, std::optional<AnyMap> metadata = std::nullopt);
    static HealthEvent info(std::string message, std::optional<AnyMap> metadata = std::nullopt);
    // "Network error (HTTP 404): <url>" or "Network error: <url>", with "url", "statusCode" and
    // "errorDescription" added to the metadata.
    static HealthEvent networkError(const std::string& url, std::optional<std::int64_t> statusCode = std::nullopt,
                                    const std::exception* error = nullptr,
                                    std::optional<AnyMap> metadata = std::nullopt);
    static HealthEvent heartbeat(std::optional<AnyMap> metadata = std::nullopt);
    // The shared body of error(message), warning and info: `level` is both type and level.
    static HealthEvent makeMessage(std::string message, std::optional<AnyMap> metadata, const std::string& level);

    // The wire form: breadcrumbs, logs, device state, exception type and source folded into the metadata; a
    // trace longer than maxStackTraceLength characters cut and marked; the trace split into lines.
    HealthEventPayload toPayload(std::int64_t maxStackTraceLength) const;

    bool operator==(const HealthEvent&) const = default;
};

// Cuts a trace longer than `maxLength` characters to that many plus "\n... (truncated)".
std::string truncateStackTrace(const std::string& trace, std::int64_t maxLength);

// The offline-file form: keys are the field names, absent optionals left out, dates as seconds since 2001.
void to_json(nlohmann::json& json, const HealthEvent& event);
void from_json(const nlohmann::json& json, HealthEvent& event); // throws on missing or mistyped keys

} // namespace corvantesk
