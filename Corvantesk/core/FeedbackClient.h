#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "Corvantesk/core/AnyCodable.h"
#include "Corvantesk/core/CorvanteskOptions.h"
#include "Corvantesk/core/FeedbackCategory.h"
#include "Corvantesk/core/HttpTransport.h"
#include "Corvantesk/core/Storage.h"
#include "Corvantesk/core/WirePayloads.h"

namespace corvantesk {

// One piece of user feedback as the client sends it. The named builders fill it as the submit variants do.
struct FeedbackRequest {
    std::string message; // sent as given; must not be blank
    FeedbackCategory category = FeedbackCategory::general;
    std::optional<std::int64_t> rating; // 1 to 5 when given
    std::optional<std::string> email;
    std::optional<std::string> userId; // the stored user id when absent
    std::optional<std::string> screen;
    std::optional<AnyMap> metadata;
    bool attachDeviceState = false; // adds "deviceState" to the metadata (bug reports)

    static FeedbackRequest general(std::string message, std::optional<std::string> email = {},
                                   std::optional<AnyMap> metadata = {});
    static FeedbackRequest bugReport(std::string message, std::optional<std::string> email = {},
                                     std::optional<std::string> screen = {}, std::optional<AnyMap> metadata = {});
    static FeedbackRequest featureRequest(std::string message, std::optional<std::string> email = {},
                                          std::optional<AnyMap> metadata = {});
    static FeedbackRequest praise(std::string message, std::optional<std::int64_t> rating = {},
                                  std::optional<AnyMap> metadata = {});
    static FeedbackRequest support(std::string message, std::optional<std::string> email = {},
                                   std::optional<std::string> screen = {}, std::optional<AnyMap> metadata = {});
};

// Sends user feedback to the service and reports the outcome as a FeedbackResult; never throws.
// Validation comes first and sends nothing: a rating outside 1 to 5 gives "Rating must be between 1 and 5", then
// a message blank after trimming gives "Message cannot be empty", then one over kMaxMessageBytes is refused. A
// transport failure becomes a failed result whose error is the failure's description().
//
// The blocking calls may run on any thread, several at once; they block for the network round trip, so a UI
// calls submitAsync() instead, whose completion runs on a thread of the client (not the UI thread). The
// destructor cancels and joins submissions still running; their completions then report a network error.
class FeedbackClient {
public:
    using Completion = std::function<void(const FeedbackResult&)>;

    // Longer messages (in bytes, as given) are refused with "Message is too long (at most 64 KB)": each goes out
    // as one request, held in memory whole.
    static constexpr std::size_t kMaxMessageBytes = 64 * 1024;

    // `transport` is shared with the other clients; `storage` must outlive the client.
    FeedbackClient(CorvanteskOptions options, std::shared_ptr<const HttpTransport> transport,
                   Storage& storage = Storage::shared());
    ~FeedbackClient();

    FeedbackClient(const FeedbackClient&) = delete;
    FeedbackClient& operator=(const FeedbackClient&) = delete;

    FeedbackResult submit(const std::string& message, FeedbackCategory category,
                          std::optional<std::int64_t> rating = {}, std::optional<std::string> email = {},
                          std::optional<std::string> userId = {}, std::optional<std::string> screen = {},
                          std::optional<AnyMap> metadata = {});
    // Category bug; the metadata (or an empty map) gets the current DeviceState under "deviceState".
    FeedbackResult submitBugReport(const std::string& message, std::optional<std::string> email = {},
                                   std::optional<std::string> screen = {}, std::optional<AnyMap> metadata = {});
    FeedbackResult submitFeatureRequest(const std::string& message, std::optional<std::string> email = {},
                                        std::optional<AnyMap> metadata = {});
    // No e-mail and no screen are ever sent with praise.
    FeedbackResult submitPraise(const std::string& message, std::optional<std::int64_t> rating = {},
                                std::optional<AnyMap> metadata = {});
    FeedbackResult submitGeneralFeedback(const std::string& message, std::optional<std::string> email = {},
                                         std::optional<AnyMap> metadata = {});
    FeedbackResult submitSupportRequest(const std::string& message, std::optional<std::string> email = {},
                                        std::optional<std::string> screen = {}, std::optional<AnyMap> metadata = {});

    FeedbackResult submit(const FeedbackRequest& request);
    // Runs submit(request) on a thread of the client and hands the result to `completion` there.
    void submitAsync(FeedbackRequest request, Completion completion);

    // The payload submit() would send now (validation not included). Any thread.
    FeedbackPayload makePayload(const FeedbackRequest& request) const;

private:
    struct Job {
        std::jthread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    FeedbackResult submit(const FeedbackRequest& request, std::stop_token cancel);

    const CorvanteskOptions options_;
    const std::shared_ptr<const HttpTransport> transport_;
    Storage& storage_;
    std::mutex jobsMutex_;
    std::list<Job> jobs_;
};

} // namespace corvantesk
