#include "Corvantesk/health/CrashHandler.h"
#include "Corvantesk/core/Storage.h"
#include "Corvantesk/health/FatalSignals.h"
#include "tests/corvantesk/health/ChildProcess.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace corvantesk {
namespace {

using testing::runInChild;

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

class CrashHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        defaults_ = std::make_unique<platform::UserDefaults>(qbtest::IsolatedHome::root() / "defaults.json");
        storage_ = std::make_unique<Storage>(*defaults_, qbtest::IsolatedHome::root() / "Corvantesk");
    }
    void TearDown() override { CrashHandler::shared().uninstall(this); }

    CrashHandler::Settings settingsSavingTo(const std::string& queueName) {
        CrashHandler::Settings settings;
        settings.breadcrumbs = std::make_shared<BreadcrumbBuffer>(10);
        settings.logs = std::make_shared<LogBuffer>(10);
        settings.captureDeviceState = false;
        settings.onCrash = [this, queueName](const HealthEvent& event) {
            storage_->updateOfflineJson(queueName, [&event](nlohmann::json& events) { events.push_back(event); });
        };
        return settings;
    }

    std::unique_ptr<platform::UserDefaults> defaults_;
    std::unique_ptr<Storage> storage_;
};

TEST_F(CrashHandlerTest, EachFatalSignalEndsTheChildAndLeavesExactlyTheMarker) {
    for (int signalNumber : FatalSignals::kSignals) {
        std::filesystem::remove(storage_->crashMarkerPath());
        const double before = CrashMarkerWriter::currentUnixTime();
        auto outcome = runInChild([&] {
            CrashSessionSlot::publish("SESSION-" + std::to_string(signalNumber));
            CrashHandler::shared().install(this, settingsSavingTo("health"), storage_->makeCrashMarkerWriter());
            ::raise(signalNumber);
        });
        const double after = CrashMarkerWriter::currentUnixTime();
        ASSERT_TRUE(outcome.signaled) << signalName(signalNumber);
        EXPECT_EQ(outcome.signal, signalNumber);

        const std::string marker = readAll(storage_->crashMarkerPath());
        const std::string name = signalName(signalNumber);
        std::smatch match;
        const std::regex shape("\\{\"timestamp\":([0-9]+\\.[0-9]+),\"signalOrException\":\"" + name +
                               "\",\"message\":\"Process received " + name + "\",\"sessionId\":\"SESSION-" +
                               std::to_string(signalNumber) + "\"\\}");
        ASSERT_TRUE(std::regex_match(marker, match, shape)) << marker;
        const double stamp = std::stod(match[1]);
        EXPECT_GE(stamp, before - 1);
        EXPECT_LE(stamp, after + 1);
        // The signal path builds no event: nothing went to the queue file.
        EXPECT_TRUE(storage_->loadOfflineJson("health").empty());
    }
}

TEST_F(CrashHandlerTest, UncaughtExceptionSavesOneEventAndWritesNoMarker) {
    auto outcome = runInChild([&] {
        auto settings = settingsSavingTo("health");
        settings.breadcrumbs->add(Breadcrumb::navigation("Inbox", "Export"));
        settings.logs->error("export failed");
        settings.captureDeviceState = true;
        CrashHandler::shared().install(this, settings, storage_->makeCrashMarkerWriter());
        std::thread([] { throw std::runtime_error("kaputt"); }).join();
    });
    ASSERT_TRUE(outcome.signaled);
    EXPECT_EQ(outcome.signal, SIGABRT);
    EXPECT_FALSE(std::filesystem::exists(storage_->crashMarkerPath()));

    const auto events = storage_->loadOfflineEvents<HealthEvent>("health");
    ASSERT_EQ(events.size(), 1u);
    const auto& crash = events.front();
    EXPECT_EQ(crash.eventType, "crash");
    EXPECT_EQ(crash.message, "std::runtime_error: kaputt");
    EXPECT_EQ(crash.exceptionType, "std::runtime_error");
    ASSERT_TRUE(crash.stackTrace);
    EXPECT_FALSE(crash.stackTrace->empty());
    ASSERT_TRUE(crash.breadcrumbs);
    EXPECT_EQ(crash.breadcrumbs->front().message, "Navigated from Inbox to Export");
    ASSERT_TRUE(crash.logs);
    EXPECT_EQ(crash.logs->front().message, "export failed");
    EXPECT_TRUE(crash.deviceState);
}

TEST_F(CrashHandlerTest, SignalWhileTheStorageLockIsHeldStillEndsTheProcessPromptly) {
    // The crashing thread holds the lock itself.
    auto own = runInChild(
        [&] {
            CrashSessionSlot::publish("S");
            CrashHandler::shared().install(this, settingsSavingTo("health"), storage_->makeCrashMarkerWriter());
            storage_->updateOfflineJson("health", [](nlohmann::json&) { ::raise(SIGSEGV); });
        },
        std::chrono::milliseconds(3000));
    ASSERT_FALSE(own.timedOut);
    EXPECT_TRUE(own.signaled);
    EXPECT_TRUE(std::filesystem::exists(storage_->crashMarkerPath()));

    // Another thread holds it for good.
    std::filesystem::remove(storage_->crashMarkerPath());
    auto other = runInChild(
        [&] {
            CrashHandler::shared().install(this, settingsSavingTo("health"), storage_->makeCrashMarkerWriter());
            std::promise<void> holding;
            std::thread holder([&] {
                storage_->updateOfflineJson("health", [&](nlohmann::json&) {
                    holding.set_value();
                    std::this_thread::sleep_for(std::chrono::hours(1));
                });
            });
            holding.get_future().wait();
            ::raise(SIGBUS);
        },
        std::chrono::milliseconds(3000));
    ASSERT_FALSE(other.timedOut);
    EXPECT_TRUE(other.signaled);
    EXPECT_EQ(other.signal, SIGBUS);
    EXPECT_TRUE(std::filesystem::exists(storage_->crashMarkerPath()));
}

TEST_F(CrashHandlerTest, SignalWhileOtherThreadsHammerTheBuffersEndsTheProcessPromptly) {
    auto outcome = runInChild(
        [&] {
            auto settings = settingsSavingTo("health");
            auto breadcrumbs = settings.breadcrumbs;
            auto logs = settings.logs;
            CrashHandler::shared().install(this, settings, storage_->makeCrashMarkerWriter());
            std::atomic<bool> busy{false};
            for (int i = 0; i < 2; ++i) {
                std::thread([&] {
                    for (;;) {
                        breadcrumbs->add(Breadcrumb::user("tap"));
                        logs->info("line");
                        (void)breadcrumbs->all();
                        busy = true;
                    }
                }).detach();
            }
            while (!busy) {
                std::this_thread::yield();
            }
            ::raise(SIGTRAP);
        },
        std::chrono::milliseconds(3000));
    ASSERT_FALSE(outcome.timedOut);
    EXPECT_TRUE(outcome.signaled);
    EXPECT_EQ(outcome.signal, SIGTRAP);
    EXPECT_TRUE(std::filesystem::exists(storage_->crashMarkerPath()));
}

TEST_F(CrashHandlerTest, UncaughtExceptionWhileHoldingTheStorageLockDoesNotHang) {
    auto outcome = runInChild(
        [&] {
            CrashHandler::shared().install(this, settingsSavingTo("health"), storage_->makeCrashMarkerWriter());
            storage_->updateOfflineJson(
                "health", [](nlohmann::json&) { std::thread([] { throw std::logic_error("inside"); }).join(); });
        },
        std::chrono::milliseconds(4000));
    ASSERT_FALSE(outcome.timedOut);
    EXPECT_TRUE(outcome.signaled);
    EXPECT_FALSE(std::filesystem::exists(storage_->crashMarkerPath()));
}

TEST_F(CrashHandlerTest, InstallKeepsTheFirstOwnerAndOnlyThatOwnerUninstalls) {
    auto& handler = CrashHandler::shared();
    const auto previousTerminate = std::get_terminate();
    int firstCalls = 0;
    CrashHandler::Settings first;
    first.captureDeviceState = false;
    first.onCrash = [&firstCalls](const HealthEvent&) { ++firstCalls; };
    ASSERT_TRUE(handler.install(this, first, storage_->makeCrashMarkerWriter()));
    EXPECT_NE(std::get_terminate(), previousTerminate);

    int other = 0;
    CrashHandler::Settings second;
    second.includeStackTrace = false;
    EXPECT_FALSE(handler.install(&other, second, storage_->makeCrashMarkerWriter()));
    // The first settings stay: a simulated crash still carries a trace.
    EXPECT_TRUE(handler.simulateCrash("x").stackTrace);

    handler.uninstall(&other);
    EXPECT_TRUE(handler.isInstalledBy(this));
    handler.uninstall(this);
    EXPECT_FALSE(handler.isInstalled());
    EXPECT_FALSE(FatalSignals::isInstalled());
    EXPECT_EQ(std::get_terminate(), previousTerminate);
    handler.uninstall(this); // nothing to do
    EXPECT_EQ(firstCalls, 0);
}

TEST_F(CrashHandlerTest, SimulatedCrashIsEnrichedAndLeavesNoMarker) {
    auto settings = settingsSavingTo("health");
    settings.includeStackTrace = false;
    CrashHandler::shared().install(this, settings, storage_->makeCrashMarkerWriter());
    auto event = CrashHandler::shared().simulateCrash("pretend");
    EXPECT_EQ(event.exceptionType, "SimulatedCrash");
    EXPECT_EQ(event.eventType, "crash");
    EXPECT_EQ(event.level, "crash");
    EXPECT_EQ(event.message, "pretend");
    EXPECT_FALSE(event.stackTrace);
    EXPECT_FALSE(event.breadcrumbs); // empty buffers add nothing
    EXPECT_FALSE(event.logs);
    EXPECT_FALSE(std::filesystem::exists(storage_->crashMarkerPath()));
    EXPECT_TRUE(storage_->loadOfflineJson("health").empty());
}

} // namespace
} // namespace corvantesk
