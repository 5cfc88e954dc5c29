#include <gtest/gtest.h>

#include <future>

#include "Corvantesk/core/FeedbackClient.h"
#include "tests/corvantesk/core/SdkTestSupport.h"
#include "tests/support/LoopbackHttpServer.h"

using namespace corvantesk;
using namespace std::chrono_literals;

namespace {

class Feedback : public ::testing::Test {
protected:
    void SetUp() override { sdktest::withoutProxies(); }

    FeedbackClient client(bool debug = false, std::string base = {}) {
        auto options = CorvanteskOptions::make("com.example.app", "key");
        options.baseUrl = base.empty() ? server.baseUrl() : base;
        options.debug = debug;
        options.isTest = true;
        return FeedbackClient(options,
                              std::make_shared<HttpTransport>(options.baseUrl, options.appId, options.apiKey, debug),
                              test.storage);
    }

    nlohmann::json lastBody() const { return server.requests().back().json(); }

    sdktest::TestStorage test;
    qbtest::LoopbackHttpServer server;
};

} // namespace

TEST_F(Feedback, RatingIsCheckedBeforeTheMessageAndNothingIsSent) {
    auto feedback = client();
    EXPECT_EQ(feedback.submit("", FeedbackCategory::praise, 0),
              FeedbackResult::failed("Rating must be between 1 and 5"));
    EXPECT_EQ(feedback.submitPraise("great", 6).error, "Rating must be between 1 and 5");
    EXPECT_EQ(feedback.submitGeneralFeedback(" \n\t \r\n").error, "Message cannot be empty");
    EXPECT_EQ(feedback.submitBugReport("\u2028\u00a0").error, "Message cannot be empty");
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_TRUE(feedback.submitPraise("great", 1).success);
    EXPECT_TRUE(feedback.submitPraise("great", 5).success);
    EXPECT_TRUE(feedback.submitPraise("great").success);
}

// A message is one request: one of many megabytes would go out whole. The limit counts bytes of the message as
// given, so one just under it is sent.
TEST_F(Feedback, MessagesOverTheSizeLimitAreRefusedAndNothingIsSent) {
    auto feedback = client();
    const std::string tooLong(FeedbackClient::kMaxMessageBytes + 1, 'x');
    EXPECT_EQ(feedback.submitGeneralFeedback(tooLong), FeedbackResult::failed("Message is too long (at most 64 KB)"));
    EXPECT_EQ(feedback.submitBugReport(std::string(20 * 1024 * 1024, 'y')).error,
              "Message is too long (at most 64 KB)");
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_TRUE(feedback.submitGeneralFeedback(std::string(FeedbackClient::kMaxMessageBytes, 'z')).success);
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(Feedback, PayloadCarriesWhatTheSdkKnows) {
    server.pushReply({201, {}, R"({"feedbackId":42})"});
    test.storage.setUserId("user-7");
    test.storage.setSessionId("SESSION");
    auto feedback = client();
    const auto result = feedback.submitGeneralFeedback("  keep my spaces  ", std::string("me@example.com"));
    EXPECT_EQ(result, FeedbackResult::succeeded(42));
    const auto body = lastBody();
    EXPECT_EQ(body.at("appIdentifier"), "com.example.app");
    EXPECT_EQ(body.at("message"), "  keep my spaces  ");
    EXPECT_EQ(body.at("category"), "general");
    EXPECT_EQ(body.at("email"), "me@example.com");
    EXPECT_EQ(body.at("userId"), "user-7");
    EXPECT_EQ(body.at("sessionId"), "SESSION");
    EXPECT_EQ(body.at("deviceId"), *test.storage.deviceId());
    EXPECT_EQ(body.at("deviceInfo").at("platform"), "linux");
    EXPECT_EQ(body.at("isTest"), true);
    EXPECT_FALSE(body.contains("metadata"));
    EXPECT_FALSE(body.contains("rating"));

    feedback.submit("support please", FeedbackCategory::support, std::nullopt, std::nullopt, std::string("given"));
    EXPECT_EQ(lastBody().at("category"), "support");
    EXPECT_EQ(lastBody().at("userId"), "given");
}

TEST_F(Feedback, AbsentUserAndSessionLeaveTheirKeysOut) {
    auto feedback = client();
    feedback.submitFeatureRequest("dark mode");
    const auto body = lastBody();
    EXPECT_EQ(body.at("category"), "feature-request");
    EXPECT_FALSE(body.contains("userId"));
    EXPECT_FALSE(body.contains("sessionId"));
    EXPECT_FALSE(body.contains("screen"));
}

TEST_F(Feedback, PraiseNeverSendsAnAddressOrScreen) {
    auto feedback = client();
    feedback.submitPraise("lovely", 4, AnyMap{{"k", "v"}});
    const auto body = lastBody();
    EXPECT_EQ(body.at("rating"), 4);
    EXPECT_FALSE(body.contains("email"));
    EXPECT_FALSE(body.contains("screen"));
    EXPECT_EQ(body.at("metadata"), (nlohmann::json{{"k", "v"}}));
}

TEST_F(Feedback, BugReportsCarryTheDeviceState) {
    auto feedback = client();
    feedback.submitBugReport("it broke", std::nullopt, std::string("FeedbackView"));
    auto body = lastBody();
    EXPECT_EQ(body.at("category"), "bug");
    EXPECT_EQ(body.at("screen"), "FeedbackView");
    ASSERT_EQ(body.at("metadata").size(), 1u);
    const auto& state = body.at("metadata").at("deviceState");
    for (const char* key : {"memoryTotal", "memoryUsagePercent", "diskAvailable", "diskTotal", "diskUsagePercent",
                            "threadCount", "uptimeSeconds", "processorCount", "architecture"}) {
        EXPECT_TRUE(state.contains(key)) << key;
    }
    EXPECT_FALSE(state.contains("batteryLevel"));
    EXPECT_GE(state.at("threadCount").get<int>(), 2) << "the server's threads at least";

    feedback.submitBugReport("again", std::nullopt, std::nullopt, AnyMap{{"deviceState", "mine"}, {"extra", 1}});
    body = lastBody();
    EXPECT_TRUE(body.at("metadata").at("deviceState").is_object()) << "the caller's value is replaced";
    EXPECT_EQ(body.at("metadata").at("extra"), 1);
}

TEST_F(Feedback, TransportFailuresBecomeFailedResults) {
    server.pushReply({500, {}, R"({"message":"try later"})"});
    auto feedback = client(true);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(feedback.submitGeneralFeedback("hello"), FeedbackResult::failed("HTTP error 500: try later"));
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[Corvantesk] Feedback submission error: httpError(statusCode: 500, message: \"try later\")"),
              std::string::npos)
        << out;

    // A refused key or a wrong address is the same for feedback as for events: nothing is lost, since the window
    // keeps the message for another try, and the result names the cause.
    server.pushReply({401, {}, "{}"});
    EXPECT_EQ(feedback.submitGeneralFeedback("hello"), FeedbackResult::failed("Unauthorized: Invalid API key"));
    server.pushReply({404, {}, R"({"error":"no such route"})"});
    EXPECT_EQ(feedback.submitGeneralFeedback("hello"), FeedbackResult::failed("HTTP error 404: no such route"));

    auto offline = client(false, "http://127.0.0.1:" + std::to_string(qbtest::LoopbackHttpServer::unusedPort()));
    const auto result = offline.submitGeneralFeedback("hello");
    EXPECT_FALSE(result.success);
    EXPECT_FALSE(result.feedbackId);
    EXPECT_TRUE(result.error->starts_with("Network error: ")) << *result.error;
}

TEST_F(Feedback, SuccessWithoutIdIsLoggedAsZero) {
    auto feedback = client(true);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(feedback.submitGeneralFeedback("hello"), FeedbackResult::succeeded(std::nullopt));
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("[Corvantesk] Feedback submitted successfully (id: 0)\n"),
              std::string::npos);
}

TEST_F(Feedback, AsyncSubmissionCompletesOnAnotherThread) {
    server.pushReply({201, {}, R"({"feedbackId":5})"});
    auto feedback = client();
    std::promise<std::pair<FeedbackResult, std::thread::id>> done;
    feedback.submitAsync(FeedbackRequest::support("help", std::string("a@b.c")), [&](const FeedbackResult& result) {
        done.set_value({result, std::this_thread::get_id()});
    });
    auto future = done.get_future();
    ASSERT_EQ(future.wait_for(2s), std::future_status::ready);
    const auto [result, thread] = future.get();
    EXPECT_EQ(result, FeedbackResult::succeeded(5));
    EXPECT_NE(thread, std::this_thread::get_id());
    EXPECT_EQ(lastBody().at("category"), "support");
}

TEST_F(Feedback, DestroyingTheClientCancelsSubmissionsInFlight) {
    server.setDefaultReply({200, {}, "{}", "application/json", 1500ms});
    std::promise<FeedbackResult> done;
    const auto start = std::chrono::steady_clock::now();
    {
        auto feedback = client();
        feedback.submitAsync(FeedbackRequest::general("slow"), [&](const FeedbackResult& r) { done.set_value(r); });
        server.waitForRequests(1, 1000ms);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1200ms);
    const auto result = done.get_future().get();
    EXPECT_FALSE(result.success);
}
