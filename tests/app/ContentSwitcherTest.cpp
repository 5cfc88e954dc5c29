#include "Quillobrandt/app/ContentSwitcher.h"

#include <QPushButton>

#include "Quillobrandt/app/ContactsRequestView.h"
#include "Quillobrandt/app/SplashScreenView.h"
#include "tests/app/ShellFixture.h"

namespace {

using platform::ContactAuthorizationStatus;
using quillobrandt::ContentSwitcher;
using quillobrandt::Screen;

TEST(ScreenChoice, SplashHidesEverythingAndFullDiskAccessHidesContacts) {
    using quillobrandt::chooseScreen;
    EXPECT_EQ(chooseScreen(true, false, true), Screen::splash);
    EXPECT_EQ(chooseScreen(true, true, false), Screen::splash);
    EXPECT_EQ(chooseScreen(false, false, true), Screen::fullDiskAccess);
    EXPECT_EQ(chooseScreen(false, true, true), Screen::contacts);
    EXPECT_EQ(chooseScreen(false, true, false), Screen::main);
}

TEST(ScreenChoice, EachScreenAsksForItsOwnContentSize) {
    using quillobrandt::contentSize;
    EXPECT_EQ(contentSize(Screen::splash, true), QSize(550, 450));
    EXPECT_EQ(contentSize(Screen::fullDiskAccess, false), QSize(600, 450));
    EXPECT_EQ(contentSize(Screen::contacts, false), QSize(600, 500));
    EXPECT_EQ(contentSize(Screen::main, false), QSize(550, 380));
    EXPECT_EQ(contentSize(Screen::main, true), QSize(810, 690));
}

class ContentSwitcherTest : public qbtest::ShellTest {
protected:
    explicit ContentSwitcherTest(bool gate = false) : ShellTest(gate) {}

    std::unique_ptr<ContentSwitcher> makeSwitcher(quillobrandt::AppState& state) {
        return std::make_unique<ContentSwitcher>(state, [this](QWidget* parent) {
            ++mainBuilt;
            auto* widget = new QWidget(parent);
            widget->setObjectName(QStringLiteral("FakeMainView"));
            return widget;
        }, &hub);
    }

    int mainBuilt = 0;
};

TEST_F(ContentSwitcherTest, LinuxStartGoesSplashThenContactsThenMain) {
    auto state = makeState();
    auto switcher = makeSwitcher(*state);
    EXPECT_EQ(switcher->currentScreen(), Screen::splash);
    EXPECT_NE(qobject_cast<quillobrandt::SplashScreenView*>(switcher->currentWidget()), nullptr);

    state->dismissSplash();
    EXPECT_EQ(switcher->currentScreen(), Screen::contacts);
    auto* contacts = qobject_cast<quillobrandt::ContactsRequestView*>(switcher->currentWidget());
    ASSERT_NE(contacts, nullptr);

    contacts->skipButton()->click();
    EXPECT_EQ(switcher->currentScreen(), Screen::main);
    EXPECT_EQ(switcher->currentWidget()->objectName(), QStringLiteral("FakeMainView"));
    EXPECT_EQ(switcher->currentWidget()->parentWidget(), switcher.get());
    EXPECT_EQ(mainBuilt, 1);
    EXPECT_FALSE(state->hasContactsAccess()) << "skipping decides nothing";
    EXPECT_EQ(qbtest::postedSizes(recorder), (std::vector<QSize>{{550, 450}, {600, 500}, {550, 380}}));
    flushDeletes();
}

TEST_F(ContentSwitcherTest, DecidedContactsSkipTheQuestion) {
    fake.contacts->setStatus(ContactAuthorizationStatus::denied);
    auto state = makeState();
    auto switcher = makeSwitcher(*state);
    state->dismissSplash();
    EXPECT_EQ(switcher->currentScreen(), Screen::main);
    EXPECT_EQ(qbtest::postedSizes(recorder), (std::vector<QSize>{{550, 450}, {550, 380}}));
}

TEST_F(ContentSwitcherTest, UnchangedFlagsKeepTheSameScreenWidget) {
    auto state = makeState();
    auto switcher = makeSwitcher(*state);
    QWidget* splash = switcher->currentWidget();
    state->setHasContactsAccess(true);
    state->setShowContactsRequest(false); // no change
    EXPECT_EQ(switcher->currentWidget(), splash);
    EXPECT_EQ(qbtest::postedSizes(recorder).size(), 1U);
}

TEST_F(ContentSwitcherTest, SplashHandsOverAfterItsDelayWhenShown) {
    auto state = makeState();
    auto switcher = makeSwitcher(*state);
    switcher->show();
    auto* splash = qobject_cast<quillobrandt::SplashScreenView*>(switcher->currentWidget());
    ASSERT_NE(splash, nullptr);
    QTest::qWait(1000);
    EXPECT_TRUE(state->showSplash()) << "the splash stays for 1.5 s";
    EXPECT_NEAR(splash->opacity(), 1.0, 1e-6) << "faded in after 0.5 s";
    EXPECT_TRUE(QTest::qWaitFor([&] { return !state->showSplash(); }, 1500));
    EXPECT_EQ(switcher->currentScreen(), Screen::contacts);
}

TEST_F(ContentSwitcherTest, SplashStartsTransparent) {
    auto state = makeState();
    quillobrandt::SplashScreenView splash(*state);
    EXPECT_EQ(splash.opacity(), 0.0);
    EXPECT_EQ(splash.size(), QSize(550, 450));
}

class GatedContentSwitcherTest : public ContentSwitcherTest {
protected:
    GatedContentSwitcherTest() : ContentSwitcherTest(true) {}
};

TEST_F(GatedContentSwitcherTest, WithoutFullDiskAccessTheAccessScreenComesAfterTheSplash) {
    auto state = makeState();
    ASSERT_FALSE(state->hasFullDiskAccess());
    auto switcher = makeSwitcher(*state);
    state->dismissSplash();
    EXPECT_EQ(switcher->currentScreen(), Screen::fullDiskAccess);
    EXPECT_EQ(qbtest::postedSizes(recorder), (std::vector<QSize>{{550, 450}, {600, 450}}));
    state->setShowContactsRequest(true);
    EXPECT_EQ(switcher->currentScreen(), Screen::fullDiskAccess) << "access hides the Contacts question";
    state->setHasFullDiskAccess(true);
    EXPECT_EQ(switcher->currentScreen(), Screen::contacts);
    EXPECT_EQ(qbtest::postedSizes(recorder).back(), QSize(600, 500));
}

} // namespace
