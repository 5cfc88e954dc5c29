#pragma once

// The telemetry SDK as the application sees it: one header, one process-wide client behind static members.
//
// Contract for every member: callable from any thread at any time, never throws, never ends the process.
// Without an initialised SDK (before initialize(), after shutdown()) the recording members do nothing,
// sessionId() is empty, userId() and consent are absent or false, and feedback() returns a client whose
// submissions fail with "The feedback service is not configured.".
// The facade's lock guards only the client slot; no client work runs under it.
//
// Threads: a stack overflow is reported only from a thread that has an alternate signal stack of its own. The SDK
// gives one to every thread it starts and to the thread that calls initialize(). Every other thread of the
// application declares a ThreadSignalStack as the first statement of its function, and of every task it runs on a
// thread pool (the pool thread keeps the stack of its first task):
//     corvantesk::ThreadSignalStack signalStack;

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "Corvantesk/CorvanteskClient.h"
#include "Corvantesk/analytics/PlatformHooks.h"
#include "Corvantesk/core/AnyCodable.h"
#include "Corvantesk/core/CorvanteskOptions.h"
#include "Corvantesk/core/FeedbackCategory.h"
#include "Corvantesk/core/FeedbackClient.h"
#include "Corvantesk/core/WirePayloads.h"
#include "Corvantesk/health/Breadcrumb.h"
#include "Corvantesk/health/LogLevel.h"
#include "platform/core/SignalStack.h"

namespace corvantesk {

// Gives the thread that declares it an alternate signal stack for the rest of its life (see Threads above).
using ThreadSignalStack = platform::ThreadSignalStack;

class Corvantesk {
public:
    Corvantesk() = delete;

    // Builds a client from the options and makes it the shared one. A client made before is shut down first
    // (its threads joined, its crash handler and observers removed; its queued events stay in their files).
    // Starts nothing; waits for no write to the disk (the new session goes to the settings file from Storage's
    // own thread). Blocks for at most a few seconds while an old client finishes. Gives the calling thread (the
    // main thread) an alternate signal stack, so a stack overflow there is still reported.
    static void initialize(const CorvanteskOptions& options);
    // The same on another environment (tests, or an application with its own UI hooks).
    static void initialize(const CorvanteskOptions& options, ClientEnvironment environment);
    // Default options with these credentials; `baseUrl` replaces the default address when given.
    static void initialize(const std::string& appId, const std::string& apiKey,
                           const std::optional<std::string>& baseUrl = std::nullopt, bool isTest = false);

    // The UI layer's hooks (automatic tracker, life-cycle, screen) for clients made by later initialize() calls.
    static void setPlatformHooks(std::shared_ptr<PlatformHooks> hooks);

    static bool isInitialized();
    // The shared client, or null.
    static std::shared_ptr<CorvanteskClient> sharedOrNil();

    // Starts the shared client: blocks briefly (a crash left by the previous run is queued first), so call it
    // off the UI thread. Nothing without a client.
    static void start();
    // Shuts the shared client down within `deadline` and empties the slot.
    static void shutdown(std::chrono::milliseconds deadline = std::chrono::seconds(3));

    static bool isTest();
    // Changes nothing; prints a warning that test mode belongs in the options.
    static void setTestMode();

    static void setUserId(const std::optional<std::string>& userId);
    static std::optional<std::string> userId();
    static std::string sessionId();
    static void setConsent(bool granted);
    static bool consent();
    static bool hasMadeConsentChoice();

    static void addBreadcrumb(const Breadcrumb& breadcrumb);
    static void addNavigationBreadcrumb(const std::string& from, const std::string& to);
    static void captureError(const std::exception& error, const std::optional<AnyMap>& metadata = std::nullopt);
    static void captureError(const std::string& message, const std::optional<AnyMap>& metadata = std::nullopt);
    static void log(const std::string& message, LogLevel level = LogLevel::info,
                    const std::optional<std::string>& tag = std::nullopt);
    static void logInfo(const std::string& message, const std::optional<std::string>& tag = std::nullopt);
    static void logWarning(const std::string& message, const std::optional<std::string>& tag = std::nullopt);
    static void logError(const std::string& message, const std::optional<std::string>& tag = std::nullopt);

    static void trackScreen(const std::string& screen, const std::optional<std::string>& label = std::nullopt,
                            const std::optional<AnyMap>& properties = std::nullopt);
    static void trackClick(const std::string& elementId, const std::optional<std::string>& label = std::nullopt,
                           const std::optional<std::string>& screen = std::nullopt,
                           const std::optional<AnyMap>& properties = std::nullopt);
    // An analytics event with no screen: the application's "app_launched", "database_loaded", ...
    static void track(const std::string& eventType, const std::string& category,
                      const std::optional<AnyMap>& properties = std::nullopt);

    // The shared client's feedback client, or one that fails every submission when there is none. Its
    // submit calls block for the network round trip; a UI uses submitAsync().
    static std::shared_ptr<FeedbackClient> feedback();
};

} // namespace corvantesk
