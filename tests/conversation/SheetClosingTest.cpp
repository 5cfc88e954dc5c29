// The keyboard once a sheet has closed, however it was closed: the window under it takes the keys again, so its
// menu shortcuts work without a click.
#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QListView>
#include <QMainWindow>
#include <QPointer>
#include <QPushButton>
#include <QTest>

#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "Quillobrandt/app/AppDelegate.h"
#include "tests/conversation/ConversationViewFixture.h"

namespace {

using quillobrandt::ConversationDisplayView;

class SheetClosing : public ::testing::Test, protected qbtest::ConversationViewFixture {
protected:
    SheetClosing() {
        delegate.applicationDidFinishLaunching();
        conversation.participants = {"+15551234567"};
        for (int i = 0; i < 3; ++i) {
            conversation.messages.push_back(qbtest::makeMessage(QDate(2024, 3, 9), QTime(9, i), "Hello", i == 0));
        }
        conversation.messageCount = conversation.messages.size();
    }
    ~SheetClosing() override {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            widget->close();
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // A key as the desktop delivers it: to the focus of the active window, or with none active to the window
    // under the pointer (the main window here), where no shortcut of the program answers.
    void press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QWidget* target = QApplication::focusWidget();
        if (target == nullptr) {
            target = QApplication::activeWindow() != nullptr ? QApplication::activeWindow() : delegate.window();
        }
        QTest::keyClick(target, static_cast<Qt::Key>(key), modifiers);
    }

    QDialog* openConversation() {
        QDialog* sheet = ConversationDisplayView::openAsSheet(conversation, &delegate.appState(), delegate.window());
        EXPECT_TRUE(QTest::qWaitForWindowActive(sheet));
        auto* view = sheet->findChild<ConversationDisplayView*>();
        EXPECT_TRUE(qbtest::waitUntil([&] { return !view->isLoading(); }));
        return sheet;
    }

    quillobrandt::AppDelegate delegate{[](QWidget* parent) { return new QWidget(parent); }, &hub, &analytics};
    quillobrandt::Conversation conversation;
};

// Every way of closing the conversation sheet: the mouse on its close button, Space or Return on that button
// when the keyboard has put the focus there, and the window's own close (its title bar's button).
TEST_F(SheetClosing, MenuShortcutsWorkAgainHoweverTheConversationWasClosed) {
    ASSERT_TRUE(QTest::qWaitForWindowActive(delegate.window()));
    const std::vector<std::pair<std::string, std::function<void(QDialog&)>>> closings = {
        {"mouse",
         [](QDialog& sheet) {
             QTest::mouseClick(sheet.findChild<QPushButton*>("close_conversation"), Qt::LeftButton);
         }},
        {"space",
         [this](QDialog& sheet) {
             sheet.findChild<QPushButton*>("close_conversation")->setFocus(Qt::TabFocusReason);
             press(Qt::Key_Space);
         }},
        {"return",
         [this](QDialog& sheet) {
             sheet.findChild<QPushButton*>("close_conversation")->setFocus(Qt::TabFocusReason);
             press(Qt::Key_Return);
         }},
        {"window close", [](QDialog& sheet) { sheet.close(); }},
    };
    for (const auto& [how, closeIt] : closings) {
        const std::size_t asked = fake.panels->openRequests().size();
        QPointer<QDialog> sheet = openConversation();
        ASSERT_TRUE(sheet);
        press(Qt::Key_O, Qt::ControlModifier);
        EXPECT_EQ(fake.panels->openRequests().size(), asked) << "the main window is blocked while the sheet is open";
        closeIt(*sheet);
        ASSERT_TRUE(qbtest::waitUntil([&] { return sheet.isNull(); })) << how;
        QTest::qWait(50);
        EXPECT_EQ(QApplication::activeWindow(), delegate.window()) << how;
        press(Qt::Key_O, Qt::ControlModifier);
        EXPECT_EQ(fake.panels->openRequests().size(), asked + 1) << "Ctrl+O after closing with " << how;
    }
}

// The labels sheet over the conversation: Escape (Cancel), Return (Save) or the mouse on Cancel hand the
// keyboard back to the conversation, not to nowhere.
TEST_F(SheetClosing, TheConversationTakesTheKeysAgainAfterTheLabelsSheet) {
    QPointer<QDialog> sheet = openConversation();
    auto* view = sheet->findChild<ConversationDisplayView*>();
    const std::vector<std::pair<std::string, std::function<void(QDialog&)>>> closings = {
        {"escape", [this](QDialog&) { press(Qt::Key_Escape); }},
        {"return", [this](QDialog&) { press(Qt::Key_Return); }},
        {"mouse on Cancel",
         [](QDialog& labels) { QTest::mouseClick(labels.findChild<QPushButton*>("labels_cancel"), Qt::LeftButton); }},
    };
    for (const auto& [how, closeIt] : closings) {
        view->editParticipantNames();
        QDialog* labels = nullptr;
        ASSERT_TRUE(qbtest::waitUntil([&] {
            labels = qobject_cast<QDialog*>(QApplication::activeWindow());
            return labels != nullptr && labels != sheet;
        })) << how;
        QPointer<QDialog> guard = labels;
        closeIt(*labels);
        ASSERT_TRUE(qbtest::waitUntil([&] { return guard.isNull() || !guard->isVisible(); })) << how;
        QTest::qWait(50);
        EXPECT_EQ(QApplication::activeWindow(), sheet.data()) << how;
        ASSERT_NE(QApplication::focusWidget(), nullptr) << how;
        EXPECT_TRUE(QApplication::focusWidget()->isVisible()) << how;
        EXPECT_EQ(QApplication::focusWidget()->window(), sheet.data()) << how;
    }
    EXPECT_TRUE(sheet->isVisible()) << "Escape and Return in the labels sheet never close the conversation";
}

} // namespace
