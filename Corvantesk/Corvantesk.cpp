#include "Corvantesk/Corvantesk.h"

#include <mutex>
#include <utility>

#include "Corvantesk/core/HttpTransport.h"
#include "Corvantesk/health/FatalSignals.h"
#include "platform/core/Console.h"
#include "platform/core/UserDefaults.h"

namespace corvantesk {
namespace {

struct FacadeState {
    std::mutex slotMutex;      // guards client and hooks
    std::mutex lifecycleMutex; // serialises initialize, start and shutdown, so a replaced client's shutdown
                               // never overlaps the new one's start
    std::shared_ptr<CorvanteskClient> client;
    std::shared_ptr<PlatformHooks> hooks;
};

FacadeState& state() {
    // Never destroyed: SDK threads may still call the facade while the process exits.
    static FacadeState* instance = new FacadeState();
    return *instance;
}

std::shared_ptr<CorvanteskClient> current() {
    auto& facade = state();
    std::lock_guard lock(facade.slotMutex);
    return facade.client;
}

// Answers every feedback submission with the same failure, so an uninitialised SDK never sends anything.
class UnconfiguredTransport : public HttpTransport {
public:
    UnconfiguredTransport() : HttpTransport("", "", "", false) {}
    FeedbackResult submitFeedback(const FeedbackPayload&, std::stop_token) const override {
        return FeedbackResult::failed("The feedback service is not configured.");
    }
};

std::shared_ptr<FeedbackClient> unconfiguredFeedback() {
    // Settings that are never written anywhere: an uninitialised SDK leaves no trace on disk.
    static auto* defaults = new platform::UserDefaults(std::filesystem::path());
    static auto* storage = new Storage(*defaults, std::filesystem::path());
    static auto* client = new std::shared_ptr<FeedbackClient>(std::make_shared<FeedbackClient>(
        CorvanteskOptions::make("", ""), std::make_shared<UnconfiguredTransport>(), *storage));
    return *client;
}

} // namespace

void Corvantesk::initialize(const CorvanteskOptions& options) {
    initialize(options, ClientEnvironment{});
}

void Corvantesk::initialize(const CorvanteskOptions& options, ClientEnvironment environment) {
    // The application initialises on its main thread and may start the SDK from another; the crash handler can
    // report a stack overflow only on threads with an alternate signal stack, so the main thread gets one here.
    FatalSignals::installAlternateStack();
    auto& facade = state();
    std::lock_guard lifecycle(facade.lifecycleMutex);
    if (!environment.hooks) {
        std::lock_guard lock(facade.slotMutex);
        environment.hooks = facade.hooks;
    }
    // The old client leaves the slot, stops and writes its queue files before the new one reads them: two live
    // queues on one file would overwrite each other's events or send them twice. Calls made during the switch
    // find no client and do nothing, as before the first initialisation.
    std::shared_ptr<CorvanteskClient> previous;
    {
        std::lock_guard lock(facade.slotMutex);
        previous = std::exchange(facade.client, nullptr);
    }
    if (previous) {
        previous->retire(); // a call that still holds it now records nothing
        previous.reset();
    }
    auto client = std::make_shared<CorvanteskClient>(options, std::move(environment));
    std::lock_guard lock(facade.slotMutex);
    facade.client = std::move(client);
}

void Corvantesk::initialize(const std::string& appId, const std::string& apiKey,
                            const std::optional<std::string>& baseUrl, bool isTest) {
    auto options = CorvanteskOptions::make(appId, apiKey);
    if (baseUrl) {
        options.baseUrl = *baseUrl;
    }
    options.isTest = isTest;
    initialize(options);
}

void Corvantesk::setPlatformHooks(std::shared_ptr<PlatformHooks> hooks) {
    auto& facade = state();
    std::lock_guard lock(facade.slotMutex);
    facade.hooks = std::move(hooks);
}

bool Corvantesk::isInitialized() {
    return current() != nullptr;
}

std::shared_ptr<CorvanteskClient> Corvantesk::sharedOrNil() {
    return current();
}

void Corvantesk::start() {
    auto& facade = state();
    std::lock_guard lifecycle(facade.lifecycleMutex);
    if (auto client = current()) {
        client->start();
    }
}

void Corvantesk::shutdown(std::chrono::milliseconds deadline) {
    auto& facade = state();
    std::lock_guard lifecycle(facade.lifecycleMutex);
    std::shared_ptr<CorvanteskClient> client;
    {
        std::lock_guard lock(facade.slotMutex);
        client = std::exchange(facade.client, nullptr);
    }
    if (client) {
        client->shutdown(deadline);
    }
}

bool Corvantesk::isTest() {
    auto client = current();
    return client && client->isTest();
}

void Corvantesk::setTestMode() {
    platform::consoleLine("[Corvantesk] Warning: setTestMode() should be called before initialization. "
                          "Set isTest in CorvanteskOptions instead.");
}

void Corvantesk::setUserId(const std::optional<std::string>& userId) {
    if (auto client = current()) {
        client->setUserId(userId);
    }
}

std::optional<std::string> Corvantesk::userId() {
    auto client = current();
    return client ? client->userId() : std::nullopt;
}

std::string Corvantesk::sessionId() {
    auto client = current();
    return client ? client->sessionId() : std::string();
}

void Corvantesk::setConsent(bool granted) {
    if (auto client = current()) {
        client->setConsent(granted);
    }
}

bool Corvantesk::consent() {
    auto client = current();
    return client && client->consent().value_or(false);
}

bool Corvantesk::hasMadeConsentChoice() {
    auto client = current();
    return client && client->analytics().hasMadeConsentChoice();
}

void Corvantesk::addBreadcrumb(const Breadcrumb& breadcrumb) {
    if (auto client = current()) {
        client->health().addBreadcrumb(breadcrumb);
    }
}

void Corvantesk::addNavigationBreadcrumb(const std::string& from, const std::string& to) {
    if (auto client = current()) {
        client->health().addNavigationBreadcrumb(from, to);
    }
}

void Corvantesk::captureError(const std::exception& error, const std::optional<AnyMap>& metadata) {
    if (auto client = current()) {
        client->health().captureError(error, metadata);
    }
}

void Corvantesk::captureError(const std::string& message, const std::optional<AnyMap>& metadata) {
    if (auto client = current()) {
        client->health().captureError(message, nullptr, metadata);
    }
}

void Corvantesk::log(const std::string& message, LogLevel level, const std::optional<std::string>& tag) {
    if (auto client = current()) {
        client->health().log(level, message, tag);
    }
}

void Corvantesk::logInfo(const std::string& message, const std::optional<std::string>& tag) {
    log(message, LogLevel::info, tag);
}

void Corvantesk::logWarning(const std::string& message, const std::optional<std::string>& tag) {
    log(message, LogLevel::warning, tag);
}

void Corvantesk::logError(const std::string& message, const std::optional<std::string>& tag) {
    log(message, LogLevel::error, tag);
}

void Corvantesk::trackScreen(const std::string& screen, const std::optional<std::string>& label,
                             const std::optional<AnyMap>& properties) {
    if (auto client = current()) {
        client->analytics().trackScreenView(screen, label, properties);
    }
}

void Corvantesk::trackClick(const std::string& elementId, const std::optional<std::string>& label,
                            const std::optional<std::string>& screen, const std::optional<AnyMap>& properties) {
    if (auto client = current()) {
        client->analytics().trackButtonClick(elementId, label, screen, properties);
    }
}

void Corvantesk::track(const std::string& eventType, const std::string& category,
                       const std::optional<AnyMap>& properties) {
    if (auto client = current()) {
        client->analytics().track(eventType, category, std::nullopt, properties);
    }
}

std::shared_ptr<FeedbackClient> Corvantesk::feedback() {
    auto client = current();
    return client ? client->feedback() : unconfiguredFeedback();
}

} // namespace corvantesk
