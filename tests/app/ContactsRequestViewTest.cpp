#include "Quillobrandt/app/ContactsRequestView.h"

#include <QPushButton>
#include <QVBoxLayout>

#include "platform/qt/LinuxContactStore.h"
#include "platform/qt/PlatformServices.h"

#include "tests/app/ShellFixture.h"
#include "tests/support/qt/DarkPalette.h"
#include "tests/support/qt/FocusVisibility.h"

namespace {

using quillobrandt::ContactsRequestView;

class ContactsRequestViewTest : public qbtest::ShellTest {
protected:
    ContactsRequestViewTest() {
        state = makeState();
        state->dismissSplash();
    }
    std::unique_ptr<quillobrandt::AppState> state;
};

TEST_F(ContactsRequestViewTest, StartsIdleWithTheEnableButton) {
    ASSERT_TRUE(state->showContactsRequest());
    ContactsRequestView view(*state);
    EXPECT_FALSE(view.isRequesting());
    EXPECT_TRUE(view.enableButton()->isEnabled());
    EXPECT_EQ(view.enableButton()->text(), QStringLiteral("Enable Contacts"));
    EXPECT_EQ(view.skipButton()->text(), QStringLiteral("Skip"));
}

TEST_F(ContactsRequestViewTest, GrantingRecordsAccessAtOnceAndLeavesHalfASecondLater) {
    fake.contacts->answerNextRequest(true);
    ContactsRequestView view(*state);
    testing::internal::CaptureStdout();
    view.enableButton()->click();
    EXPECT_TRUE(view.isRequesting());
    EXPECT_FALSE(view.enableButton()->isEnabled());
    EXPECT_EQ(view.enableButton()->text(), QStringLiteral("Requesting..."));
    view.requestAccess(); // a second press while the first is pending
    EXPECT_TRUE(QTest::qWaitFor([&] { return !view.isRequesting(); }, 1000));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("✅ Contacts permission granted"), std::string::npos);
    EXPECT_EQ(fake.contacts->requestCount(), 1);
    EXPECT_TRUE(state->hasContactsAccess());
    EXPECT_TRUE(state->showContactsRequest()) << "the screen lingers briefly";
    EXPECT_TRUE(QTest::qWaitFor([&] { return !state->showContactsRequest(); }, 1500));
}

TEST_F(ContactsRequestViewTest, DenyingLeavesAtOnce) {
    fake.contacts->answerNextRequest(false);
    ContactsRequestView view(*state);
    view.requestAccess();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !view.isRequesting(); }, 1000));
    EXPECT_FALSE(state->hasContactsAccess());
    EXPECT_FALSE(state->showContactsRequest());
}

TEST_F(ContactsRequestViewTest, EscapeOnThePromptLeavesTheQuestionOpen) {
    platform::setContactStore(std::make_shared<platform::LinuxContactStore>(defaults)); // our own prompt
    fake.alerts->answerNext(-1);                                                        // closed with Escape
    ContactsRequestView view(*state);
    view.enableButton()->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !view.isRequesting(); }, 1000));
    EXPECT_TRUE(state->showContactsRequest()) << "the screen stays until the user answers";
    EXPECT_FALSE(state->hasContactsAccess());
    EXPECT_TRUE(view.enableButton()->isEnabled());

    fake.alerts->answerNext(0); // "Don't Allow", chosen this time
    view.enableButton()->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !state->showContactsRequest(); }, 1000));
    EXPECT_EQ(defaults.integer("contacts_authorization"), 2);
    EXPECT_EQ(fake.alerts->alerts().size(), 2u);
}

TEST_F(ContactsRequestViewTest, SkipLeavesWithoutAsking) {
    ContactsRequestView view(*state);
    view.skipButton()->click();
    EXPECT_FALSE(state->showContactsRequest());
    EXPECT_FALSE(state->hasContactsAccess());
    EXPECT_EQ(fake.contacts->requestCount(), 0);
}

// The screen under the keyboard, as it comes into the main window after the splash: the keyboard starts on the
// default, Enable, where Return asks; Tab reaches Skip, where Return skips; where the keyboard is shows on both,
// in a light and a dark palette.
TEST_F(ContactsRequestViewTest, TheKeyboardStartsOnEnableAndItsFocusShowsOnBothButtons) {
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    auto* view = new ContactsRequestView(*state, &window);
    layout->addWidget(view);
    view->show();
    QCoreApplication::processEvents();
    EXPECT_EQ(QApplication::focusWidget(), view->enableButton());

    const QPalette light = window.palette();
    for (const bool dark : {false, true}) {
        window.setPalette(dark ? qbtest::darkPalette() : light);
        for (QPushButton* button : {view->enableButton(), view->skipButton()}) {
            EXPECT_GE(qbtest::focusVisibility(*button), 3.0)
                << button->text().toStdString() << (dark ? " (dark)" : " (light)");
        }
    }

    view->enableButton()->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(qbtest::tabTo(*view->skipButton()));
    QTest::keyClick(view->skipButton(), Qt::Key_Return);
    EXPECT_FALSE(state->showContactsRequest()) << "Return on Skip skips";
    EXPECT_EQ(fake.contacts->requestCount(), 0);

    state->setShowContactsRequest(true);
    fake.contacts->answerNextRequest(false);
    view->enableButton()->setFocus(Qt::TabFocusReason);
    QTest::keyClick(view->enableButton(), Qt::Key_Return);
    EXPECT_EQ(fake.contacts->requestCount(), 1) << "Return on Enable asks";
}

} // namespace
