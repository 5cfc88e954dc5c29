#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <memory>

#include "Corvantesk/Corvantesk.h"
#include "Corvantesk/core/Storage.h"
#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/GoogleAnalyticsManager.h"
#include "Quillobrandt/app/HttpSender.h"
#include "Quillobrandt/main/MainView.h"
#include "platform/core/Paths.h"
#include "platform/core/UserDefaults.h"
#include "platform/qt/FakePlatform.h"
#include "tests/support/AnalyticsRequests.h"
#include "tests/support/LoopbackHttpServer.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/qt/EventLoop.h"

namespace {

class QuietSender final : public quillobrandt::HttpSender {
public:
    quillobrandt::HttpResponse send(const quillobrandt::HttpRequest&) override { return {204, std::nullopt}; }
};

TEST(MainViewSdkTest, OpeningAfterTheWarningReportsItToTheInitialisedSdk) {
    platform::FakePlatform fake;
    platform::UserDefaults defaults{platform::configDir() / "Quillobrandt" / "defaults.json"};
    quillobrandt::GoogleAnalyticsManager analytics{{}, std::make_shared<QuietSender>(), defaults};
    quillobrandt::AppState state{nullptr, &analytics};
    quillobrandt::MainView view{&state};
    view.setAnalyticsManager(&analytics);

    qbtest::LoopbackHttpServer server;
    platform::UserDefaults sdkDefaults{qbtest::IsolatedHome::root() / "sdk-defaults.json"};
    corvantesk::Storage storage{sdkDefaults, qbtest::IsolatedHome::root() / "Corvantesk"};
    auto options = corvantesk::CorvanteskOptions::make("app.test", "secret");
    options.baseUrl = server.baseUrl();
    options.flushInterval = 3600;
    options.health.enableHeartbeat = false;
    options.health.captureDeviceState = false;
    corvantesk::ClientEnvironment environment;
    environment.storage = &storage;
    corvantesk::Corvantesk::initialize(options, environment);
    corvantesk::Corvantesk::start();

    quillobrandt::Conversation big{"9", {"a", "b", "c"}, 20000, {}};
    big.messages.resize(20000);
    big.messages[5].attachments.resize(2);
    state.setConversations({big});
    view.setSelectedConversationID("9");
    fake.alerts->answerNext(0); // Proceed
    view.displaySelectedConversation();
    qbtest::drainEvents();

    corvantesk::Corvantesk::sharedOrNil()->flush();
    corvantesk::Corvantesk::shutdown(std::chrono::seconds(1));

    const nlohmann::json opened = qbtest::lastAnalyticsEvent(server, "conversation_opened");
    ASSERT_FALSE(opened.is_null());
    EXPECT_EQ(opened["category"], "scaling");
    const auto& properties = opened["properties"];
    EXPECT_EQ(properties["message_count"], 20000);
    EXPECT_EQ(properties["participant_count"], 3);
    EXPECT_EQ(properties["attachment_count"], 2);
    EXPECT_EQ(properties["is_group_chat"], true);
    EXPECT_EQ(properties["large_conversation_warning_shown"], true);
}

} // namespace
