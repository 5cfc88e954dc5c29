#include <gtest/gtest.h>

#include <thread>

#include "Corvantesk/core/HttpTransport.h"
#include "Corvantesk/core/OptionLimits.h"
#include "tests/corvantesk/core/SdkTestSupport.h"
#include "tests/support/LoopbackHttpServer.h"

using namespace corvantesk;
using qbtest::LoopbackHttpServer;
using qbtest::ScriptedReply;
using namespace std::chrono_literals;

namespace {

class Transport : public ::testing::Test {
protected:
    void SetUp() override { sdktest::withoutProxies(); }

    HttpTransport transport(const std::string& base, bool debug = false,
                            std::chrono::milliseconds timeout = 5000ms) const {
        return HttpTransport(base, "com.example.app", "secret-key", debug, HttpTransport::Settings{timeout, timeout});
    }

    static AnalyticsBatchPayload batch() {
        AnalyticsBatchPayload payload;
        payload.batchId = "B";
        payload.appIdentifier = "com.example.app";
        payload.events.push_back(AnalyticsEventPayload{"E", platform::AbsoluteTime::fromUnixSeconds(1714564800),
                                                       "app_launched", "S", "lifecycle", std::nullopt, std::nullopt,
                                                       std::nullopt, std::nullopt, std::nullopt});
        return payload;
    }

    // Posts once and returns the error it throws.
    static TransportError errorOf(const HttpTransport& t) {
        try {
            t.post("/api/v1/health/events", "{}");
        } catch (const TransportError& error) {
            return error;
        }
        ADD_FAILURE() << "expected a TransportError";
        return TransportError::invalidResponse();
    }

    LoopbackHttpServer server;
};

} // namespace

TEST_F(Transport, PostsJsonWithTheSdkHeadersToTheJoinedPath) {
    const auto t = transport(server.baseUrl() + "/");
    EXPECT_TRUE(t.sendAnalyticsEvents(batch()));
    ASSERT_EQ(server.requestCount(), 1u);
    const auto request = server.requests()[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/api/v1/analytics/events");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.header("X-API-Key"), "secret-key");
    EXPECT_EQ(request.header("X-App-Identifier"), "com.example.app");
    EXPECT_EQ(request.header("X-SDK-Version"), "cpp-1.0.0");
    EXPECT_EQ(request.body, nlohmann::ordered_json(batch()).dump());

    EXPECT_EQ(transport(server.baseUrl() + "//").baseURL(), server.baseUrl() + "/");
    EXPECT_TRUE(t.sendHealthEvents(HealthBatchPayload{}));
    EXPECT_TRUE(t.sendHeartbeat(HeartbeatPayload{}));
    t.submitFeedback(FeedbackPayload{});
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[1].path, "/api/v1/health/events");
    EXPECT_EQ(requests[2].path, "/api/v1/health/heartbeat");
    EXPECT_EQ(requests[3].path, "/api/v1/feedback");
}

TEST_F(Transport, EveryStatusClass) {
    const auto t = transport(server.baseUrl());
    server.pushReply({201, {}, "", "text/plain"});
    EXPECT_TRUE(t.post("/p", "{}").success);

    server.pushReply({204, {}, "", "text/plain"});
    auto error = errorOf(t);
    EXPECT_EQ(error.kind(), TransportError::Kind::httpError);
    EXPECT_EQ(error.statusCode(), 204);

    server.pushReply({500, {}, R"({"error":"database down"})"});
    error = errorOf(t);
    EXPECT_EQ(error.description(), "HTTP error 500: database down");

    server.pushReply({400, {}, R"({"message":"bad batch","error":"ignored"})"});
    EXPECT_EQ(errorOf(t).description(), "HTTP error 400: bad batch");

    server.pushReply({503, {}, "", "text/plain"});
    error = errorOf(t);
    EXPECT_FALSE(error.message());
    EXPECT_EQ(error.description(), "HTTP error 503: Unknown error");
    EXPECT_EQ(error.debugDescription(), "httpError(statusCode: 503, message: nil)");

    server.pushReply({401, {}, "{}"});
    EXPECT_EQ(errorOf(t).description(), "Unauthorized: Invalid API key");
    server.pushReply({403, {}, "{}"});
    EXPECT_EQ(errorOf(t).description(), "Forbidden: Access denied");
    server.pushReply({404, {}, R"(["message"])"});
    EXPECT_EQ(errorOf(t).description(), "HTTP error 404: Unknown error");
}

// Only an answer about the body itself refuses it for good; answers about the key, the address or the service's
// set-up hold for every request alike, and a retry later may succeed.
TEST_F(Transport, OnlyAnswersAboutTheBodyRefuseItForGood) {
    const auto t = transport(server.baseUrl());
    for (const int status : {400, 409, 413, 422}) {
        server.pushReply({status, {}, "{}"});
        const auto error = errorOf(t);
        EXPECT_TRUE(error.isRefusedForGood()) << status;
        EXPECT_FALSE(error.isAccepted()) << status;
    }
    for (const int status : {401, 402, 403, 404, 405, 407, 408, 410, 411, 415, 418, 421,
                             425, 426, 429, 431, 451, 499, 500, 502, 503, 504, 300, 304}) {
        server.pushReply({status, {}, "{}"});
        const auto error = errorOf(t);
        EXPECT_FALSE(error.isRefusedForGood()) << status;
        EXPECT_FALSE(error.isAccepted()) << status;
    }
    for (const int status : {202, 204}) {
        server.pushReply({status, {}, "", "text/plain"});
        EXPECT_TRUE(errorOf(t).isAccepted()) << status;
    }
    EXPECT_TRUE(TransportError::encodingError("bad").isRefusedForGood());
    EXPECT_FALSE(TransportError::invalidURL().isRefusedForGood());
    EXPECT_FALSE(TransportError::networkError("reset").isRefusedForGood());
}

TEST_F(Transport, RedirectsAreErrorsAndTheKeyStaysHome) {
    LoopbackHttpServer elsewhere;
    server.setDefaultReply({302, {{"Location", elsewhere.baseUrl() + "/steal"}}, ""});
    const auto error = errorOf(transport(server.baseUrl()));
    EXPECT_EQ(error.kind(), TransportError::Kind::httpError);
    EXPECT_EQ(error.statusCode(), 302);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(elsewhere.requestCount(), 0u);
}

TEST_F(Transport, RateLimitedWithBothRetryAfterForms) {
    const auto t = transport(server.baseUrl());
    server.pushReply({429, {{"Retry-After", "120"}}});
    auto error = errorOf(t);
    EXPECT_EQ(error.kind(), TransportError::Kind::rateLimited);
    EXPECT_EQ(error.retryAfter(), 120.0);
    EXPECT_EQ(error.description(), "Rate limited. Retry after 120 seconds");

    server.pushReply({429, {{"Retry-After", LoopbackHttpServer::httpDateFromNow(90)}}});
    error = errorOf(t);
    ASSERT_TRUE(error.retryAfter());
    EXPECT_NEAR(*error.retryAfter(), 90.0, 3.0);

    server.pushReply({429, {{"Retry-After", "soon"}}});
    EXPECT_EQ(errorOf(t).description(), "Rate limited");
    server.pushReply({429, {{"Retry-After", "-5"}}});
    EXPECT_FALSE(errorOf(t).retryAfter());
    server.pushReply({429, {}, "{}"});
    error = errorOf(t);
    EXPECT_FALSE(error.retryAfter());
    EXPECT_EQ(error.debugDescription(), "rateLimited(retryAfter: nil)");
}

// A Retry-After too large for any clock still says "wait": it is kept as the longest pause, one hour.
TEST_F(Transport, HugeRetryAfterIsCappedAtTheHour) {
    const auto t = transport(server.baseUrl());
    for (const std::string huge : {"9e15", "9000000000000000", "1e300"}) {
        server.pushReply({429, {{"Retry-After", huge}}});
        const auto error = errorOf(t);
        EXPECT_EQ(error.retryAfter(), kMaxRetryAfterSeconds) << huge;
        EXPECT_EQ(error.description(), "Rate limited. Retry after 3600 seconds") << huge;
    }
}

TEST_F(Transport, TimeoutsRefusalsAndCancellationAreNetworkErrors) {
    server.pushReply({200, {}, "{}", "application/json", 1500ms});
    const auto start = std::chrono::steady_clock::now();
    auto error = errorOf(transport(server.baseUrl(), false, 200ms));
    EXPECT_EQ(error.kind(), TransportError::Kind::networkError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    EXPECT_TRUE(error.description().starts_with("Network error: ")) << error.description();

    error = errorOf(transport("http://127.0.0.1:" + std::to_string(LoopbackHttpServer::unusedPort())));
    EXPECT_EQ(error.kind(), TransportError::Kind::networkError);

    server.pushReply({200, {}, "{}", "application/json", 1500ms});
    std::stop_source cancel;
    std::jthread canceller([&] {
        std::this_thread::sleep_for(100ms);
        cancel.request_stop();
    });
    const auto t = transport(server.baseUrl());
    const auto cancelStart = std::chrono::steady_clock::now();
    try {
        t.post("/p", "{}", cancel.get_token());
        ADD_FAILURE() << "expected a cancellation";
    } catch (const TransportError& cancelled) {
        EXPECT_EQ(cancelled.kind(), TransportError::Kind::networkError);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - cancelStart, 1000ms);
}

TEST_F(Transport, OversizedRepliesAreCutNotBuffered) {
    const std::string huge(3 * 1024 * 1024, 'x');
    const auto t = transport(server.baseUrl());
    server.pushReply({200, {}, huge, "text/plain"});
    const auto response = t.post("/p", "{}");
    EXPECT_TRUE(response.success);
    EXPECT_LE(response.data->size(), 1024u * 1024u);

    server.pushReply({500, {}, R"({"message":")" + huge + R"("})"});
    const auto error = errorOf(t);
    EXPECT_EQ(error.statusCode(), 500);
    EXPECT_FALSE(error.message()) << "a cut reply is not JSON";
}

TEST_F(Transport, FeedbackReplies) {
    const auto t = transport(server.baseUrl());
    server.pushReply({201, {}, R"({"feedbackId":42})"});
    EXPECT_EQ(t.submitFeedback(FeedbackPayload{}), FeedbackResult::succeeded(42));
    server.pushReply({200, {}, R"({"feedbackId":"42"})"});
    EXPECT_EQ(t.submitFeedback(FeedbackPayload{}), FeedbackResult::succeeded(std::nullopt));
    server.pushReply({200, {}, R"({"feedbackId":7.0})"});
    EXPECT_EQ(t.submitFeedback(FeedbackPayload{}).feedbackId, 7);
    server.pushReply({200, {}, R"({"feedbackId":7.5})"});
    EXPECT_FALSE(t.submitFeedback(FeedbackPayload{}).feedbackId);
    server.pushReply({200, {}, "not json", "text/plain"});
    EXPECT_EQ(t.submitFeedback(FeedbackPayload{}), FeedbackResult::succeeded(std::nullopt));
}

TEST_F(Transport, BadAddressesSendNothingAndInvalidUtf8IsReplaced) {
    EXPECT_EQ(errorOf(transport("not a url")).kind(), TransportError::Kind::invalidURL);
    EXPECT_EQ(errorOf(transport("ftp://127.0.0.1:" + std::to_string(server.port()))).kind(),
              TransportError::Kind::invalidURL);
    EXPECT_EQ(server.requestCount(), 0u);

    // A text that is not UTF-8 must not keep the payload from going out: each bad byte becomes U+FFFD.
    FeedbackPayload broken;
    broken.message = "\xff\xfe not text";
    EXPECT_TRUE(transport(server.baseUrl()).submitFeedback(broken).success);
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(server.requests()[0].json()["message"], "\uFFFD\uFFFD not text");
}

TEST_F(Transport, DebugLinesShowRequestAndResponse) {
    server.pushReply({200, {}, R"({"ok":true})"});
    const auto t = transport(server.baseUrl(), true);
    ::testing::internal::CaptureStdout();
    t.post("/api/v1/feedback", "0123456789");
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[Corvantesk] → POST " + server.baseUrl() + "/api/v1/feedback\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[Corvantesk] Body: 0123456789...\n"), std::string::npos);
    EXPECT_NE(out.find("[Corvantesk] ← 200\n"), std::string::npos);
    EXPECT_NE(out.find("[Corvantesk] Response: {\"ok\":true}\n"), std::string::npos);

    ::testing::internal::CaptureStdout();
    transport(server.baseUrl()).post("/api/v1/feedback", "{}");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}
