#include <QPushButton>
#include <QTimer>

#include "Quillobrandt/app/AboutView.h"
#include "Quillobrandt/app/PermissionRequestView.h"
#include "Quillobrandt/app/SymbolIcon.h"
#include "Quillobrandt/app/UpdateChecking.h"
#include "platform/core/BundleInfo.h"
#include "platform/qt/PrivacyGate.h"
#include "tests/app/ShellFixture.h"
#include "tests/support/MessagesDatabaseBuilder.h"
#include "tests/support/qt/DarkPalette.h"
#include "tests/support/qt/FocusVisibility.h"

namespace {

using quillobrandt::PermissionRequestView;

TEST(AboutVersion, JoinsTheBundleValuesAsStoredWithFallbacks) {
    EXPECT_EQ(quillobrandt::aboutVersionLine(std::nullopt, std::nullopt), QStringLiteral("Version 1.0 (Build 1)"));
    EXPECT_EQ(quillobrandt::aboutVersionLine(" 2.3 ", "45b"), QStringLiteral("Version  2.3  (Build 45b)"));
}

class SmallViewsTest : public qbtest::ShellTest {};

TEST_F(SmallViewsTest, AboutShowsTheBuildVersionAndOpensTheWebsite) {
    quillobrandt::AboutView about;
    EXPECT_EQ(about.appVersion().toStdString(), platform::bundleInfoValue("CFBundleShortVersionString").value());
    EXPECT_EQ(about.buildNumber().toStdString(), platform::bundleInfoValue("CFBundleVersion").value());
    about.websiteButton()->click();
    ASSERT_EQ(fake.desktop->openedUrls.size(), 1U);
    EXPECT_EQ(fake.desktop->openedUrls[0].toString().toStdString(), platform::bundleWebsite());
}

// The flat links of the small screens, the website in About and "Why is this needed?" on the disk-access screen,
// show where the keyboard is, and the website's accent text reads 4.5:1 on the window, light and dark.
TEST_F(SmallViewsTest, FlatLinksShowTheFocusAndTheWebsiteReads) {
    const QPalette light = QApplication::palette();
    for (const bool dark : {false, true}) {
        QApplication::setPalette(dark ? qbtest::darkPalette() : light);
        const char* palette = dark ? " (dark)" : " (light)";
        quillobrandt::AboutView about;
        about.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&about));
        EXPECT_GE(qbtest::focusVisibility(*about.websiteButton()), 3.0) << "website" << palette;
        const QColor window = about.palette().color(QPalette::Window);
        EXPECT_GE(
            quillobrandt::contrastOver(about.websiteButton()->palette().color(QPalette::ButtonText), window, window),
            quillobrandt::readableContrast)
            << "website" << palette;
        auto state = makeState();
        PermissionRequestView access(*state);
        access.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&access));
        EXPECT_GE(qbtest::focusVisibility(*access.disclosureButton()), 3.0) << "Why is this needed?" << palette;
    }
    QApplication::setPalette(light);
}

TEST_F(SmallViewsTest, EverySymbolTheScreensUseIsDrawn) {
    for (const char* name :
         {"AppIcon", "key.fill", "person.crop.circle.fill", "person.crop.circle", "bubble.left.and.bubble.right.fill",
          "gear", "chevron.right", "chevron.down", "doc.text.fill", "lock.fill", "checkmark.shield.fill"}) {
        EXPECT_TRUE(quillobrandt::isKnownSymbol(QString::fromUtf8(name))) << name;
        const QImage image = quillobrandt::symbolPixmap(QString::fromUtf8(name), 24, Qt::black).toImage();
        bool drawn = false;
        for (int y = 0; y < image.height() && !drawn; ++y) {
            for (int x = 0; x < image.width() && !drawn; ++x) {
                drawn = qAlpha(image.pixel(x, y)) > 0;
            }
        }
        EXPECT_TRUE(drawn) << name;
    }
    EXPECT_FALSE(quillobrandt::isKnownSymbol(QStringLiteral("no.such.symbol")));
}

class FakeUpdater final : public quillobrandt::UpdaterBackend {
public:
    void startUpdater() override { started = true; }
    void observeCanCheckForUpdates(std::function<void(bool)> observer) override {
        observer_ = std::move(observer);
        observer_(initial);
    }
    void checkForUpdates() override { ++checks; }
    void report(bool value) { observer_(value); }
    bool initial = true;
    bool started = false;
    int checks = 0;

private:
    std::function<void(bool)> observer_;
};

TEST(UpdateChecking, ModelStartsTheUpdaterAndMirrorsItsInitialAndLaterValues) {
    EXPECT_EQ(quillobrandt::makePlatformUpdater(), nullptr);
    auto updater = std::make_shared<FakeUpdater>();
    quillobrandt::CheckForUpdatesViewModel model(updater);
    EXPECT_TRUE(updater->started);
    EXPECT_TRUE(model.canCheckForUpdates()) << "the initial value is delivered at once";
    updater->report(false);
    EXPECT_FALSE(model.canCheckForUpdates());
    model.checkForUpdates();
    EXPECT_EQ(updater->checks, 1);
    quillobrandt::CheckForUpdatesViewModel empty(nullptr);
    EXPECT_FALSE(empty.canCheckForUpdates());
}

// The access screen exists for platforms with a Full Disk Access gate.
class PermissionRequestViewTest : public qbtest::ShellTest {
protected:
    PermissionRequestViewTest() : ShellTest(true) {}
};

TEST_F(PermissionRequestViewTest, PollsUntilTheDatabaseBecomesReadableThenAsksAboutContacts) {
    auto state = makeState();
    state->setShowSplash(false);
    ASSERT_FALSE(state->hasFullDiskAccess());
    auto* view = new PermissionRequestView(*state);
    view->show();
    EXPECT_TRUE(view->isMonitoring());
    EXPECT_EQ(view->size(), QSize(600, 450));
    QTest::qWait(1200);
    EXPECT_FALSE(state->hasFullDiskAccess()) << "still waiting";

    const auto path = platform::homeDir() / "Library/Messages/chat.db";
    std::filesystem::create_directories(path.parent_path());
    qbtest::MessagesDatabaseBuilder(path).finish();
    EXPECT_TRUE(QTest::qWaitFor([&] { return state->hasFullDiskAccess(); }, 2500));
    EXPECT_FALSE(view->isMonitoring());
    EXPECT_TRUE(state->showContactsRequest()) << "Contacts undecided: that question comes next, nothing loads";
    delete view;
}

TEST_F(PermissionRequestViewTest, AccessAlreadyThereAdvancesAtOnceWithoutATimer) {
    auto state = makeState();
    platform::overrideFullDiskAccessGate(false);
    fake.contacts->setStatus(platform::ContactAuthorizationStatus::denied);
    PermissionRequestView view(*state);
    view.show();
    EXPECT_TRUE(state->hasFullDiskAccess());
    EXPECT_FALSE(view.isMonitoring());
    EXPECT_FALSE(state->showContactsRequest());
    state->waitForBackgroundLoads();
    QCoreApplication::processEvents();
    platform::overrideFullDiskAccessGate(true);
}

TEST_F(PermissionRequestViewTest, HidingStopsThePollAndDetailsGrowTheScreen) {
    auto state = makeState();
    PermissionRequestView view(*state);
    view.show();
    EXPECT_TRUE(view.isMonitoring());
    view.disclosureButton()->click();
    EXPECT_TRUE(view.showDetails());
    EXPECT_EQ(view.size(), QSize(600, 650));
    view.disclosureButton()->click();
    EXPECT_EQ(view.size(), QSize(600, 450));
    view.hide();
    EXPECT_FALSE(view.isMonitoring());
    view.openSettingsButton()->click();
    ASSERT_EQ(fake.desktop->openedUrls.size(), 1U);
}

} // namespace
