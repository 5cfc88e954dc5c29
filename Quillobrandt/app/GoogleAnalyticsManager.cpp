#include "Quillobrandt/app/GoogleAnalyticsManager.h"

#include "platform/core/BundleInfo.h"
#include "platform/core/Console.h"
#include "platform/core/SignalStack.h"
#include "platform/core/UserDefaults.h"
#include "platform/core/Uuid.h"

namespace quillobrandt {

GoogleAnalyticsConfiguration GoogleAnalyticsConfiguration::fromBundle() {
    GoogleAnalyticsConfiguration configuration;
    configuration.measurementId = platform::bundleInfoValue("GAMeasurementId").value_or("");
    configuration.apiSecret = platform::bundleInfoValue("GAApiSecret").value_or("");
    return configuration;
}

GoogleAnalyticsManager& GoogleAnalyticsManager::shared() {
    static auto* instance =
        new GoogleAnalyticsManager(GoogleAnalyticsConfiguration::fromBundle(), std::make_shared<CurlHttpSender>(),
                                   platform::UserDefaults::standard());
    return *instance;
}

GoogleAnalyticsManager::GoogleAnalyticsManager(GoogleAnalyticsConfiguration configuration,
                                               std::shared_ptr<HttpSender> sender, platform::UserDefaults& defaults)
    : configuration_(std::move(configuration)),
      enabled_(!configuration_.measurementId.empty() && !configuration_.apiSecret.empty()), sender_(std::move(sender)),
      defaults_(defaults) {
    if (!enabled_) {
        platform::consoleLine(
            "⚠️ Google Analytics not configured - missing GAMeasurementId or GAApiSecret in Info.plist");
    }
}

GoogleAnalyticsManager::~GoogleAnalyticsManager() {
    if (worker_.joinable()) {
        worker_.request_stop();
        wake_.notify_all();
        worker_.join();
    }
}

void GoogleAnalyticsManager::trackEvent(const std::string& name, const nlohmann::json& parameters) {
    if (!enabled_) {
        platform::consoleLine("📊 GA4 [disabled]: " + name);
        return;
    }
    nlohmann::json params = parameters.is_object() ? parameters : nlohmann::json::object();
    params["app_version"] = appVersion();
    params["platform"] = platformName;
    nlohmann::json event = {{"name", name}, {"params", std::move(params)}};
    nlohmann::json body = {{"client_id", clientId()}, {"events", nlohmann::json::array({std::move(event)})}};
    send(body, name);
}

void GoogleAnalyticsManager::trackConversationOpened(std::int64_t messageCount, bool isGroupChat, bool hasMedia) {
    trackEvent("conversation_opened",
               {{"message_count", messageCount}, {"is_group_chat", isGroupChat}, {"has_media", hasMedia}});
}

void GoogleAnalyticsManager::trackPDFExportStarted(std::int64_t messageCount, bool includeImages, bool isUltraDense) {
    trackEvent("pdf_export_started",
               {{"message_count", messageCount}, {"include_images", includeImages}, {"is_ultra_dense", isUltraDense}});
}

std::string GoogleAnalyticsManager::clientId() {
    if (auto stored = defaults_.string(clientIdKey)) {
        return *stored;
    }
    std::string made = platform::makeUuidString();
    defaults_.setString(clientIdKey, made);
    return made;
}

std::string GoogleAnalyticsManager::formatAppVersion(const std::optional<std::string>& shortVersion,
                                                     const std::optional<std::string>& build) {
    return shortVersion.value_or("unknown") + " (" + build.value_or("unknown") + ")";
}

std::string GoogleAnalyticsManager::appVersion() {
    return formatAppVersion(platform::bundleInfoValue("CFBundleShortVersionString"),
                            platform::bundleInfoValue("CFBundleVersion"));
}

void GoogleAnalyticsManager::send(const nlohmann::json& body, const std::string& eventName) {
    // Joined as they are: an id or secret that breaks the URL drops the event rather than being escaped.
    const std::string url = configuration_.endpoint + "?measurement_id=" + configuration_.measurementId +
                            "&api_secret=" + configuration_.apiSecret;
    if (!isValidUrl(url)) {
        platform::consoleLine("❌ GA4: Invalid URL");
        return;
    }
    PendingSend pending{eventName, {}};
    pending.request.method = "POST";
    pending.request.url = url;
    pending.request.headers = {{"Content-Type", "application/json"}};
    pending.request.timeout = std::chrono::seconds(60);
    try {
        pending.request.body = body.dump();
    } catch (const nlohmann::json::exception& error) {
        platform::consoleLine(std::string("❌ GA4: Failed to serialize event - ") + error.what());
        return;
    }
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(pending));
    if (!worker_.joinable()) {
        worker_ = std::jthread([this](std::stop_token stop) {
            platform::ThreadSignalStack signalStack;
            runWorker(stop);
        });
    }
    wake_.notify_one();
}

void GoogleAnalyticsManager::handleResponse(const std::string& eventName, const HttpResponse& response) {
    if (response.error) {
        platform::consoleLine("❌ GA4: Network error - " + *response.error);
    } else if (response.statusCode) {
        if (*response.statusCode == 204) {
            platform::consoleLine("📊 GA4: " + eventName + " ✓");
        } else {
            platform::consoleLine("⚠️ GA4: " + eventName + " returned " + std::to_string(*response.statusCode));
        }
    }
}

void GoogleAnalyticsManager::runWorker(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, stop, [this] { return !queue_.empty(); });
        if (queue_.empty()) {
            return; // stop requested and nothing left to send
        }
        PendingSend pending = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        const HttpResponse response = sender_->send(pending.request);
        handleResponse(pending.eventName, response);
        lock.lock();
        busy_ = false;
        if (queue_.empty()) {
            idle_.notify_all();
        }
    }
}

void GoogleAnalyticsManager::waitUntilIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

} // namespace quillobrandt
