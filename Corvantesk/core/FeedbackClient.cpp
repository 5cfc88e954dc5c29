#include "Corvantesk/core/FeedbackClient.h"

#include "Corvantesk/core/DebugConsole.h"
#include "Corvantesk/core/DeviceInfo.h"
#include "Corvantesk/core/DeviceState.h"
#include "platform/core/SignalStack.h"
#include "platform/core/Utf8Text.h"

namespace corvantesk {

std::string rawValue(FeedbackCategory category) {
    switch (category) {
    case FeedbackCategory::general:
        return "general";
    case FeedbackCategory::bug:
        return "bug";
    case FeedbackCategory::featureRequest:
        return "feature-request";
    case FeedbackCategory::praise:
        return "praise";
    case FeedbackCategory::support:
        return "support";
    }
    return "general";
}

std::optional<FeedbackCategory> feedbackCategoryFromRaw(const std::string& raw) {
    for (auto category : {FeedbackCategory::general, FeedbackCategory::bug, FeedbackCategory::featureRequest,
                          FeedbackCategory::praise, FeedbackCategory::support}) {
        if (rawValue(category) == raw) {
            return category;
        }
    }
    return std::nullopt;
}

FeedbackRequest FeedbackRequest::general(std::string message, std::optional<std::string> email,
                                         std::optional<AnyMap> metadata) {
    return {std::move(message), FeedbackCategory::general, std::nullopt, std::move(email), std::nullopt,
            std::nullopt,       std::move(metadata),       false};
}

FeedbackRequest FeedbackRequest::bugReport(std::string message, std::optional<std::string> email,
                                           std::optional<std::string> screen, std::optional<AnyMap> metadata) {
    return {std::move(message), FeedbackCategory::bug, std::nullopt,        std::move(email),
            std::nullopt,       std::move(screen),     std::move(metadata), true};
}

FeedbackRequest FeedbackRequest::featureRequest(std::string message, std::optional<std::string> email,
                                                std::optional<AnyMap> metadata) {
    return {std::move(message),  FeedbackCategory::featureRequest,
            std::nullopt,        std::move(email),
            std::nullopt,        std::nullopt,
            std::move(metadata), false};
}

FeedbackRequest FeedbackRequest::praise(std::string message, std::optional<std::int64_t> rating,
                                        std::optional<AnyMap> metadata) {
    return {std::move(message), FeedbackCategory::praise, rating, std::nullopt, std::nullopt,
            std::nullopt,       std::move(metadata),      false};
}

FeedbackRequest FeedbackRequest::support(std::string message, std::optional<std::string> email,
                                         std::optional<std::string> screen, std::optional<AnyMap> metadata) {
    return {std::move(message), FeedbackCategory::support, std::nullopt,        std::move(email),
            std::nullopt,       std::move(screen),         std::move(metadata), false};
}

FeedbackClient::FeedbackClient(CorvanteskOptions options, std::shared_ptr<const HttpTransport> transport,
                               Storage& storage)
    : options_(std::move(options)), transport_(std::move(transport)), storage_(storage) {}

FeedbackClient::~FeedbackClient() {
    std::list<Job> jobs;
    {
        std::lock_guard lock(jobsMutex_);
        jobs.swap(jobs_);
    }
    for (auto& job : jobs) {
        job.thread.request_stop();
    }
    // The jthreads join as the list goes.
}

FeedbackResult FeedbackClient::submit(const std::string& message, FeedbackCategory category,
                                      std::optional<std::int64_t> rating, std::optional<std::string> email,
                                      std::optional<std::string> userId, std::optional<std::string> screen,
                                      std::optional<AnyMap> metadata) {
    return submit(FeedbackRequest{message, category, rating, std::move(email), std::move(userId), std::move(screen),
                                  std::move(metadata), false});
}

FeedbackResult FeedbackClient::submitBugReport(const std::string& message, std::optional<std::string> email,
                                               std::optional<std::string> screen, std::optional<AnyMap> metadata) {
    return submit(FeedbackRequest::bugReport(message, std::move(email), std::move(screen), std::move(metadata)));
}

FeedbackResult FeedbackClient::submitFeatureRequest(const std::string& message, std::optional<std::string> email,
                                                    std::optional<AnyMap> metadata) {
    return submit(FeedbackRequest::featureRequest(message, std::move(email), std::move(metadata)));
}

FeedbackResult FeedbackClient::submitPraise(const std::string& message, std::optional<std::int64_t> rating,
                                            std::optional<AnyMap> metadata) {
    return submit(FeedbackRequest::praise(message, rating, std::move(metadata)));
}

FeedbackResult FeedbackClient::submitGeneralFeedback(const std::string& message, std::optional<std::string> email,
                                                     std::optional<AnyMap> metadata) {
    return submit(FeedbackRequest::general(message, std::move(email), std::move(metadata)));
}

FeedbackResult FeedbackClient::submitSupportRequest(const std::string& message, std::optional<std::string> email,
                                                    std::optional<std::string> screen, std::optional<AnyMap> metadata) {
    return submit(FeedbackRequest::support(message, std::move(email), std::move(screen), std::move(metadata)));
}

FeedbackResult FeedbackClient::submit(const FeedbackRequest& request) {
    return submit(request, std::stop_token());
}

void FeedbackClient::submitAsync(FeedbackRequest request, Completion completion) {
    std::lock_guard lock(jobsMutex_);
    jobs_.remove_if([](const Job& job) { return job.done->load(); }); // joins finished ones at once
    auto done = std::make_shared<std::atomic<bool>>(false);
    jobs_.push_back(Job{std::jthread([this, request = std::move(request), completion = std::move(completion),
                                      done](std::stop_token cancel) {
                            platform::ThreadSignalStack signalStack;
                            const FeedbackResult result = submit(request, cancel);
                            if (completion) {
                                completion(result);
                            }
                            done->store(true);
                        }),
                        done});
}

FeedbackPayload FeedbackClient::makePayload(const FeedbackRequest& request) const {
    const DeviceInfo device = DeviceInfo::current(true, options_.deviceId, options_.appVersion, storage_);
    FeedbackPayload payload;
    payload.appIdentifier = options_.appId;
    payload.message = request.message;
    payload.category = rawValue(request.category);
    payload.rating = request.rating;
    payload.email = request.email;
    payload.userId = request.userId ? request.userId : storage_.userId();
    payload.deviceId = device.deviceId;
    payload.sessionId = storage_.sessionId();
    payload.screen = request.screen;
    payload.deviceInfo = FeedbackDeviceInfo{device.platform, device.osVersion, device.appVersion};
    payload.metadata = request.metadata;
    if (request.attachDeviceState) {
        if (!payload.metadata) {
            payload.metadata = AnyMap{};
        }
        (*payload.metadata)["deviceState"] = AnyCodable(DeviceState::capture().toDictionary());
    }
    payload.isTest = options_.isTest;
    return payload;
}

FeedbackResult FeedbackClient::submit(const FeedbackRequest& request, std::stop_token cancel) {
    if (request.rating && (*request.rating < 1 || *request.rating > 5)) {
        return FeedbackResult::failed("Rating must be between 1 and 5");
    }
    if (platform::utf8::trimWhitespace(request.message).empty()) {
        return FeedbackResult::failed("Message cannot be empty");
    }
    if (request.message.size() > kMaxMessageBytes) {
        return FeedbackResult::failed("Message is too long (at most 64 KB)");
    }
    try {
        FeedbackResult result = transport_->submitFeedback(makePayload(request), cancel);
        if (result.success) {
            debugLine(options_.debug,
                      "Feedback submitted successfully (id: " + std::to_string(result.feedbackId.value_or(0)) + ")");
        } else {
            debugLine(options_.debug, "Feedback submission failed: " + result.error.value_or("Unknown error"));
        }
        return result;
    } catch (const TransportError& error) {
        debugLine(options_.debug, "Feedback submission error: " + error.debugDescription());
        return FeedbackResult::failed(error.description());
    } catch (const std::exception& error) {
        debugLine(options_.debug, std::string("Feedback submission error: ") + error.what());
        return FeedbackResult::failed(error.what());
    }
}

} // namespace corvantesk
