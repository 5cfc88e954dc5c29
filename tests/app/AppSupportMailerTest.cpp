#include <gtest/gtest.h>

#include <QUrl>

#include <filesystem>

#include "Quillobrandt/app/AppSupportMailer.h"
#include "Quillobrandt/store/Logger.h"
#include "platform/core/Paths.h"
#include "platform/qt/FakePlatform.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/qt/EventLoop.h"

namespace fs = std::filesystem;

namespace {

using quillobrandt::AppSupportMailer;

class AppSupportMailerTest : public ::testing::Test {
protected:
    AppSupportMailerTest() { fake.desktop->result = false; } // no handler for mailto links either

    const platform::AlertRequest* waitForAlert() {
        if (!qbtest::processEventsUntil([this] { return !fake.alerts->alerts().empty(); })) {
            return nullptr;
        }
        return &fake.alerts->alerts().front();
    }

    platform::FakePlatform fake;
    const fs::path log = platform::privateTempDir() / "Quillobrandt-Logs.txt";
};

TEST_F(AppSupportMailerTest, AMailProgramEndingInFailureShowsTheBoxAtOnce) {
    // xdg-email exits 3 when the desktop has no mail program. A mailto link would go to xdg-open, whose start Qt
    // reports as success although it fails the same way, and nothing would show.
    fake.desktop->result = true;
    AppSupportMailer mailer(QStringLiteral("/bin/false"));
    EXPECT_TRUE(mailer.composeWithAttachment("help@example.org", "Quillobrandt Logs", "Please review.", log))
        << "started; its failure comes later";
    const auto* alert = waitForAlert();
    ASSERT_NE(alert, nullptr) << "a non-zero exit must not count as success";
    EXPECT_TRUE(fake.desktop->openedUrls.empty());
    EXPECT_TRUE(alert->informativeText.contains(QStringLiteral("help@example.org")));
    EXPECT_TRUE(alert->informativeText.contains(QString::fromStdString(log.string())));
    EXPECT_TRUE(alert->selectableText) << "the path must be selectable, to copy it";
    EXPECT_EQ(alert->buttons, QStringList{QStringLiteral("OK")});
}

TEST_F(AppSupportMailerTest, AMailProgramThatCannotStartFallsBackAndOneThatWorksDoesNot) {
    AppSupportMailer missing(QString::fromStdString((qbtest::IsolatedHome::root() / "no-such-program").string()));
    missing.composeWithAttachment("help@example.org", "Quillobrandt Logs", "b", log);
    ASSERT_NE(waitForAlert(), nullptr);
    EXPECT_TRUE(fake.desktop->openedUrls.empty());

    AppSupportMailer working(QStringLiteral("/bin/true"));
    EXPECT_TRUE(working.composeWithAttachment("help@example.org", "Quillobrandt Logs", "b", log));
    qbtest::processEventsUntil([] { return false; }, std::chrono::milliseconds(500));
    EXPECT_EQ(fake.alerts->alerts().size(), 1u) << "a zero exit is success";
    EXPECT_TRUE(fake.desktop->openedUrls.empty());
}

TEST_F(AppSupportMailerTest, WithoutXdgEmailTheLoggerEndsAtTheBox) {
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QByteArray::fromStdString(qbtest::IsolatedHome::root().string())); // no xdg-email anywhere
    quillobrandt::Logger logger(qbtest::IsolatedHome::root() / "logs");
    logger.setSupportAddress("help@example.org");
    logger.setSupportMailer(std::make_unique<AppSupportMailer>());
    logger.log("something happened");
    logger.emailLogsToSupport();
    qputenv("PATH", path);
    const auto* alert = waitForAlert();
    ASSERT_NE(alert, nullptr);
    EXPECT_TRUE(alert->informativeText.contains(QString::fromStdString(log.string())));
    EXPECT_TRUE(fs::exists(log));
}

} // namespace
