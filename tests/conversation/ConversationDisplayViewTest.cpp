#include "Quillobrandt/conversation/ConversationDisplayView.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QToolTip>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <future>
#include <map>
#include <thread>

#include "Quillobrandt/app/PermissionManager.h"
#include "Quillobrandt/conversation/EditedCopySaver.h"
#include "Quillobrandt/conversation/JumpButton.h"
#include "Quillobrandt/conversation/MessageList.h"
#include "Quillobrandt/conversation/ParticipantLabelsView.h"
#include "Quillobrandt/store/DatabaseManager.h"
#include "Quillobrandt/store/Logger.h"
#include "platform/core/AtomicFile.h"
#include "platform/core/Sqlite.h"
#include "tests/conversation/ConversationViewFixture.h"
#include "tests/support/MessagesDatabaseBuilder.h"
#include "tests/support/qt/DarkPalette.h"

namespace {

using quillobrandt::Conversation;
using quillobrandt::ConversationDisplayView;
using quillobrandt::Message;

Conversation conversationOf(int count, std::vector<std::string> participants = {"+15551234567"}) {
    Conversation conversation;
    conversation.id = "7";
    conversation.participants = std::move(participants);
    const QDateTime first(QDate(2024, 3, 1), QTime(8, 0), Qt::LocalTime);
    for (int i = 0; i < count; ++i) {
        const QDateTime at = first.addSecs(60LL * i);
        Message message = qbtest::makeMessage(at.date(), at.time(), "m" + std::to_string(i), i % 2 == 0);
        message.id = i + 1;
        conversation.messages.push_back(message);
    }
    conversation.messageCount = count;
    return conversation;
}

std::int64_t messageRows(const std::filesystem::path& file) {
    const auto db = platform::SqliteDatabase::open(file, SQLITE_OPEN_READONLY);
    auto statement = db.prepare("SELECT COUNT(*) FROM message");
    statement.next();
    return statement.columnInt64(0);
}

class ConversationViewTest : public ::testing::Test, protected qbtest::ConversationViewFixture {
protected:
    std::unique_ptr<ConversationDisplayView> open(const Conversation& conversation) {
        auto view = openView(conversation);
        EXPECT_FALSE(view->isLoading());
        return view;
    }
    QAbstractButton* button(QWidget& view, const char* name) { return view.findChild<QAbstractButton*>(name); }
    static std::string focusName() {
        return QApplication::focusWidget() ? QApplication::focusWidget()->objectName().toStdString() : "nothing";
    }
};

TEST_F(ConversationViewTest, OpensOnTheNewestWindowOfFiveHundredAndPages) {
    auto view = open(conversationOf(1234));
    EXPECT_EQ(view->rows().rowCount(), 500);
    EXPECT_EQ(view->rows().data(view->rows().index(0)).toString(), "m734");
    QAbstractButton* earlier = button(*view, "load-earlier-button");
    ASSERT_NE(earlier, nullptr);
    EXPECT_TRUE(earlier->isVisible());
    EXPECT_TRUE(earlier->text().endsWith("Load Earlier Messages (734 more)"));
    EXPECT_FALSE(button(*view, "load-newer-button")->isVisible());
    earlier->click();
    EXPECT_EQ(view->model().windowStart(), 234);
    EXPECT_TRUE(button(*view, "load-newer-button")->isVisible());
    EXPECT_TRUE(button(*view, "jump_oldest")->isVisible());
}

TEST_F(ConversationViewTest, PaintsEveryKindOfRowAndDeletesFromTheTrashButton) {
    Conversation conversation = conversationOf(4, {"a", "b", "c"});
    quillobrandt::Attachment picture;
    picture.filename = "gone.jpg";
    picture.filePath = "/nowhere/gone.jpg";
    quillobrandt::Attachment document;
    document.filename = "doc.pdf";
    document.mimeType = "application/pdf";
    conversation.messages[1].attachments = {picture};
    conversation.messages[2].text.reset();
    conversation.messages[3].associatedMessageGUID = "p:0/X";
    auto view = open(conversation);
    view->enterEditMode();
    EXPECT_FALSE(view->grab().isNull());
    if (qEnvironmentVariableIsSet("QB_SHOT")) { // a picture of the view, for a look by eye
        QCoreApplication::processEvents();
        qbtest::waitUntil([] { return false; }, 300);
        view->grab().save(qEnvironmentVariable("QB_SHOT"));
    }
    state->setAppTheme(quillobrandt::AppTheme::professional);
    EXPECT_FALSE(view->grab().isNull());

    auto* list = view->findChild<QListView*>("message_list");
    const QRect rowRect = list->visualRect(list->model()->index(0, 0));
    const auto geometry = quillobrandt::layoutMessageRow(view->rows().rowAt(0), list->viewport()->width());
    ASSERT_FALSE(geometry.deleteButton.isNull());
    const QPoint at = rowRect.topLeft() + geometry.deleteButton.center().toPoint();
    QMouseEvent press(QEvent::MouseButtonPress, at, list->viewport()->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, list->viewport()->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(list->viewport(), &press);
    QCoreApplication::sendEvent(list->viewport(), &release);
    EXPECT_TRUE(view->model().isMarkedDeleted(conversation.messages[0].id));
}

TEST_F(ConversationViewTest, JumpShowsThePanelThenTheBanner) {
    auto view = open(conversationOf(1234));
    view->jumpToOldest();
    EXPECT_TRUE(view->isJumping());
    EXPECT_FALSE(button(*view, "jump_oldest")->isVisible()) << "jump buttons hide while jumping";
    EXPECT_EQ(view->model().windowStart(), 0);
    ASSERT_TRUE(qbtest::waitUntil([&] { return view->showsPositionBanner(); }));
    EXPECT_FALSE(view->isJumping());
    EXPECT_EQ(view->positionBannerMessage(), "Viewing Oldest Messages");
    // Its words read 4.5:1 on the banner from end to end, over a light list or a dark one.
    auto* banner = view->findChild<QWidget*>("position_banner");
    auto* words = banner->findChild<QLabel*>();
    ASSERT_NE(words, nullptr);
    const QPalette light = view->palette();
    for (const bool dark : {false, true}) {
        view->setPalette(dark ? qbtest::darkPalette() : light);
        const QRect area(words->mapTo(view.get(), QPoint()), words->size());
        const QImage shot = view->grab(area).toImage();
        for (const QRect half : {QRect(0, 0, shot.width() / 2, shot.height()),
                                 QRect(shot.width() / 2, 0, shot.width() - shot.width() / 2, shot.height())}) {
            const qbtest::TextSample sample = qbtest::sampleText(shot, half);
            EXPECT_GE(sample.ratio, 4.5) << (dark ? "dark" : "light") << ": "
                                         << QColor(sample.text).name().toStdString() << " on "
                                         << QColor(sample.background).name().toStdString();
        }
    }
    view->setPalette(light);
    view->jumpToNewest();
    EXPECT_EQ(view->model().windowStart(), 734);
    ASSERT_TRUE(qbtest::waitUntil([&] { return !view->showsPositionBanner(); }, 4000));
}

TEST_F(ConversationViewTest, DateFilterRefiltersOnlyWhileOn) {
    auto view = open(conversationOf(1234));
    view->setDateRange(QDate(2024, 3, 2), QDate(2024, 3, 2));
    EXPECT_EQ(view->model().filteredCount(), 1234);
    view->findChild<QCheckBox*>("filter_by_date")->setChecked(true);
    EXPECT_EQ(view->model().filteredCount(), 274);
    EXPECT_EQ(view->rows().rowCount(), 274);
    view->setDateRange(QDate(2024, 3, 3), QDate(2024, 3, 2));
    EXPECT_EQ(view->model().filteredCount(), 0);
    EXPECT_EQ(view->rows().rowCount(), 0);
}

TEST_F(ConversationViewTest, HeaderTitleSourceAndLabels) {
    auto view = open(conversationOf(3, {"+1555", "bob@example.com", "carol@example.com"}));
    const auto* title = view->findChild<QLabel*>("conversation_title");
    const auto* source = view->findChild<QLabel*>("conversation_source");
    EXPECT_EQ(title->text(), "+1555, bob@example.com, and 1 other");
    EXPECT_EQ(source->text(), "No database loaded");
    state->setParticipantLabel("+1555", "Ann");
    EXPECT_EQ(title->text(), "Ann, bob@example.com, and 1 other");
    state->setDatabaseURL(platform::homeDir() / "Library/Messages/chat.db");
    EXPECT_EQ(source->text(), "Viewing: Mac Messages (read-only)");

    button(*view, "edit_name")->click();
    auto* labels = view->findChild<quillobrandt::ParticipantLabelsView*>();
    ASSERT_NE(labels, nullptr);
    EXPECT_EQ(labels->windowModality(), Qt::WindowModal);
    EXPECT_EQ(labels->fieldFor("+1555")->text(), "Ann");
    labels->reject();

    // Contact names turned on in Preferences while the conversation is open: once the main window has matched
    // the address book again, the title and the senders are named as its list names them, a label still first.
    quillobrandt::PermissionManager::resetContactCache();
    fake.contacts->setContacts({{"Bob", "Stone", {"+1 (555) 010-2030"}}});
    auto group = conversationOf(4, {"+1555", "+15550102030", "carol@example.com"});
    for (auto& message : group.messages) {
        message.sender = message.isFromMe ? "Me" : "+15550102030";
    }
    auto second = open(group);
    const auto* secondTitle = second->findChild<QLabel*>("conversation_title");
    const auto senderName = [&](int row) {
        return second->rows().rowAt(row).content.senderName.value_or(QString()).toStdString();
    };
    EXPECT_EQ(secondTitle->text().toStdString(), "Ann, +15550102030, and 1 other");
    state->setContactsAllowed(true);
    ASSERT_TRUE(state->hasContactsAccess());
    quillobrandt::PermissionManager::buildContactCache(); // the main window's matching, off the GUI thread there
    state->announceContactCacheBuilt();
    EXPECT_EQ(secondTitle->text().toStdString(), "Ann, Bob Stone, and 1 other");
    EXPECT_EQ(senderName(1), "Bob Stone");
    state->setContactsAllowed(false);
    EXPECT_EQ(secondTitle->text().toStdString(), "Ann, +15550102030, and 1 other");
    EXPECT_EQ(senderName(1), "+15550102030");
    quillobrandt::PermissionManager::resetContactCache();
}

TEST_F(ConversationViewTest, EditModeDeletesForTheSessionOnly) {
    auto view = open(conversationOf(20));
    button(*view, "edit_messages")->click();
    EXPECT_TRUE(view->model().isEditMode());
    EXPECT_TRUE(button(*view, "edit_apply")->isVisible());
    EXPECT_FALSE(button(*view, "export_csv")->isVisible());
    EXPECT_TRUE(view->rows().rowAt(0).showDelete);
    view->deleteMessage(view->rows().rowAt(0).message);
    EXPECT_EQ(view->rows().rowCount(), 20) << "marked messages stay until applied";
    button(*view, "edit_apply")->click();
    EXPECT_FALSE(view->model().isEditMode());
    EXPECT_EQ(view->rows().rowCount(), 19);
    button(*view, "edit_messages")->click();
    view->deleteMessage(view->rows().rowAt(0).message);
    button(*view, "edit_cancel")->click();
    EXPECT_EQ(view->rows().rowCount(), 19);
}

// A row's trash and undo buttons are named for assistive tools and their tooltips, and are reached without a
// mouse: Tab into the list, the arrow keys to a message, Space presses its button, Delete marks it, and Ctrl+Z
// takes back the latest mark still standing.
TEST_F(ConversationViewTest, TheRowButtonsHaveNamesAndAKeyboardPath) {
    auto view = open(conversationOf(6));
    view->show();
    view->activateWindow();
    button(*view, "edit_messages")->click();
    auto* list = view->findChild<QListView*>("message_list");
    ASSERT_NE(list, nullptr);
    view->deleteMessage(view->rows().rowAt(1).message);
    QCoreApplication::processEvents();

    const auto buttonName = [&](int row) {
        QAccessibleInterface* table = QAccessible::queryAccessibleInterface(list);
        EXPECT_NE(table, nullptr);
        QAccessibleInterface* cell = table ? table->child(row) : nullptr;
        EXPECT_NE(cell, nullptr);
        return cell ? cell->text(QAccessible::Description) : QString();
    };
    EXPECT_EQ(buttonName(1), "Undo Delete");
    EXPECT_EQ(buttonName(0), "Delete Message");
    const auto tooltipOver = [&](int row) {
        const QRect rowRect = list->visualRect(list->model()->index(row, 0));
        const auto geometry = quillobrandt::layoutMessageRow(view->rows().rowAt(row), list->viewport()->width());
        const QPoint at = rowRect.topLeft() + geometry.deleteButton.center().toPoint();
        QHelpEvent help(QEvent::ToolTip, at, list->viewport()->mapToGlobal(at));
        QCoreApplication::sendEvent(list->viewport(), &help);
        return QToolTip::text();
    };
    EXPECT_EQ(tooltipOver(1), "Undo Delete");

    // Tab reaches the list from the edit controls.
    button(*view, "edit_cancel")->setFocus(Qt::TabFocusReason);
    for (int i = 0; i < 10 && !list->hasFocus(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    ASSERT_TRUE(list->hasFocus()) << "Tab never reached the message list";
    list->setCurrentIndex(list->model()->index(0, 0));
    QTest::keyClick(list, Qt::Key_Down);
    EXPECT_EQ(list->currentIndex().row(), 1);
    const std::int64_t second = view->rows().rowAt(1).message.id;
    QTest::keyClick(list, Qt::Key_Space); // the undo button
    EXPECT_FALSE(view->model().isMarkedDeleted(second));
    QTest::keyClick(list, Qt::Key_Space); // the trash button again
    EXPECT_TRUE(view->model().isMarkedDeleted(second));
    QTest::keyClick(list, Qt::Key_Down);
    const std::int64_t third = view->rows().rowAt(2).message.id;
    QTest::keyClick(list, Qt::Key_Delete);
    EXPECT_TRUE(view->model().isMarkedDeleted(third));
    EXPECT_EQ(buttonName(2), "Undo Delete");

    // Ctrl+Z takes the marks back, latest first, from anywhere in the view.
    QTest::keySequence(list, QKeySequence::Undo);
    EXPECT_FALSE(view->model().isMarkedDeleted(third));
    EXPECT_TRUE(view->model().isMarkedDeleted(second));
    button(*view, "edit_apply")->setFocus(Qt::TabFocusReason);
    QTest::keySequence(QApplication::focusWidget(), QKeySequence::Undo);
    EXPECT_FALSE(view->model().isMarkedDeleted(second));
    EXPECT_EQ(view->model().markedCount(), 0);
    QTest::keySequence(list, QKeySequence::Undo); // nothing left to take back
    EXPECT_TRUE(view->model().isEditMode());
    EXPECT_EQ(view->rows().rowCount(), 6);

    // Outside edit mode the keys change nothing.
    button(*view, "edit_cancel")->click();
    list->setFocus(Qt::TabFocusReason);
    QTest::keyClick(list, Qt::Key_Delete);
    QTest::keyClick(list, Qt::Key_Space);
    EXPECT_FALSE(view->model().isEditMode());
    EXPECT_EQ(view->rows().rowCount(), 6);
}

// Edit mode entered or left from the keyboard leaves the focus where the work goes on, not on the next control
// along (the close button, which a second Space would press).
TEST_F(ConversationViewTest, EditModeFromTheKeyboardKeepsTheFocusInTheView) {
    auto view = open(conversationOf(6));
    view->show();
    view->activateWindow();
    auto* list = view->findChild<QListView*>("message_list");
    ASSERT_NE(list, nullptr);
    const auto press = [&](const char* name) {
        QAbstractButton* control = button(*view, name);
        control->setFocus(Qt::TabFocusReason);
        QTest::keyClick(control, Qt::Key_Space);
    };
    const auto focusName = []() -> std::string {
        return QApplication::focusWidget() ? QApplication::focusWidget()->objectName().toStdString() : "(none)";
    };
    press("edit_messages");
    ASSERT_TRUE(view->model().isEditMode());
    EXPECT_TRUE(list->hasFocus()) << "focus went to " << focusName();
    QTest::keyClick(list, Qt::Key_Delete); // a row is current, as after Tab
    EXPECT_EQ(view->model().markedCount(), 1);
    press("edit_cancel");
    ASSERT_FALSE(view->model().isEditMode());
    EXPECT_EQ(focusName(), "edit_messages");
    press("edit_messages");
    press("edit_apply");
    EXPECT_EQ(focusName(), "edit_messages");
}

class SavedCopyTest : public ConversationViewTest {
protected:
    void SetUp() override {
        source = file("picked/sms.db");
        qbtest::MessagesDatabaseBuilder builder(source);
        const auto chat = builder.addOneToOneChat("+15551234567");
        for (int i = 0; i < 4; ++i) {
            qbtest::MessageRow row;
            row.text = "row " + std::to_string(i);
            row.handleId = chat.handleId;
            ids.push_back(builder.addMessageToChat(chat.chatId, row));
        }
        builder.finish();
        conversation = conversationOf(4);
        for (int i = 0; i < 4; ++i) {
            conversation.messages[static_cast<std::size_t>(i)].id = ids[static_cast<std::size_t>(i)];
        }
        state->setDatabaseURL(source);
    }

    std::filesystem::path source;
    std::vector<std::int64_t> ids;
    Conversation conversation;
};

// Names and contents of every file in a folder.
std::map<std::string, std::string> folderListing(const std::filesystem::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        files[entry.path().filename().string()] = platform::readFile(entry.path()).value_or("<unreadable>");
    }
    return files;
}

TEST_F(SavedCopyTest, WritesTheCopyThenLoadsIt) {
    auto view = open(conversation);
    const auto before = platform::readFile(source);
    const auto folderBefore = folderListing(source.parent_path());
    view->enterEditMode();
    view->deleteMessage(conversation.messages[1]);
    const auto target = file("out/edited.db");
    fake.panels->answerNext(QString::fromStdString(target.string()));
    view->activateWindow();
    button(*view, "edit_save_copy")->setFocus(Qt::TabFocusReason);
    QTest::keyClick(button(*view, "edit_save_copy"), Qt::Key_Space);
    ASSERT_EQ(fake.panels->saveRequests().size(), 1u);
    EXPECT_EQ(fake.panels->saveRequests()[0].suggestedName, "quillobrandt_+15551234567_edited.db");
    ASSERT_TRUE(view->waitForBackgroundWork());
    ASSERT_TRUE(qbtest::waitUntil([&] { return !view->isSaving(); }));
    EXPECT_FALSE(view->model().isEditMode());
    EXPECT_TRUE(fake.alerts->alerts().empty());
    EXPECT_EQ(messageRows(target), 3);
    EXPECT_EQ(messageRows(source), 4);
    EXPECT_EQ(platform::readFile(source), before) << "the source is never changed";
    EXPECT_EQ(folderListing(source.parent_path()), folderBefore) << "nothing is written beside it";
    // The saved deletion stays out of sight: the view now speaks for the copy.
    EXPECT_EQ(view->rows().rowCount(), 3);
    EXPECT_EQ(view->rows().rowOf(conversation.messages[1].id), -1);
    EXPECT_TRUE(view->model().permanentlyDeletedMessageIDs().contains(conversation.messages[1].id));
    // The application continues on the copy.
    ASSERT_TRUE(qbtest::waitUntil([&] {
        state->waitForBackgroundLoads(100);
        return state->databaseURL() == target;
    }));
    EXPECT_EQ(view->findChild<QLabel*>("conversation_source")->text(), "Editing: edited.db");
    // Save Copy hid with edit mode; the keyboard goes on to Edit Messages, not to where the busy button sent it.
    EXPECT_TRUE(button(*view, "edit_messages")->hasFocus()) << "focus is on " << focusName();
    view->enterEditMode();
    EXPECT_EQ(view->rows().rowCount(), 3) << "edit mode starts without the saved deletion too";
}

// A copy of an iPhone backup's database is still the backup's: its pictures keep the backup's note rather than a
// red path, whatever the copy is called, also when it is opened again later; and a copy of a database whose
// pictures are there stays one, even under a name with "sms.db" in it.
TEST_F(SavedCopyTest, ACopyKeepsWhetherItsSourceWasABackupWithoutItsPictures) {
    for (const bool backup : {true, false}) {
        state->commitLoad({source, std::nullopt, backup}, {conversation});
        auto view = open(conversation);
        view->enterEditMode();
        view->deleteMessage(conversation.messages[0]);
        const auto target = file(backup ? "out/edited.db" : "out/edited sms.db");
        fake.panels->answerNext(QString::fromStdString(target.string()));
        view->presentSaveCopyPanel();
        ASSERT_TRUE(view->waitForBackgroundWork());
        ASSERT_TRUE(qbtest::waitUntil([&] {
            state->waitForBackgroundLoads(100);
            return !view->isSaving() && state->databaseURL() == target;
        }));
        EXPECT_EQ(state->isIPhoneBackup(), backup) << target.filename().string();

        state->loadCustomDatabase(target); // opened again from the menu
        ASSERT_TRUE(state->waitForBackgroundLoads());
        ASSERT_TRUE(qbtest::waitUntil([&] { return !state->hasOutstandingLoads(); }));
        EXPECT_EQ(state->isIPhoneBackup(), backup) << target.filename().string() << " opened again";
        view.reset();
    }
}

TEST_F(SavedCopyTest, ASecondSaveIsMadeFromTheOriginalAndNeverOverwritesIt) {
    state->commitLoad({source, std::nullopt, false}, {conversation}); // the session read the original
    auto view = open(conversation);
    const auto before = platform::readFile(source);
    view->enterEditMode();
    view->deleteMessage(conversation.messages[0]);
    const auto first = file("out/first.db");
    fake.panels->answerNext(QString::fromStdString(first.string()));
    view->presentSaveCopyPanel();
    ASSERT_TRUE(view->waitForBackgroundWork());
    ASSERT_TRUE(qbtest::waitUntil([&] {
        state->waitForBackgroundLoads(100);
        return !view->isSaving() && state->databaseURL() == first;
    }));

    // The copy is loaded now; the view still belongs to the original, and the original is no target.
    EXPECT_EQ(view->sourceDatabase(), source);
    view->enterEditMode();
    view->deleteMessage(conversation.messages[1]);
    fake.panels->answerNext(QString::fromStdString(source.string()));
    view->presentSaveCopyPanel();
    EXPECT_FALSE(view->isSaving()) << "refused before anything runs";
    ASSERT_EQ(fake.alerts->alerts().size(), 1u);
    EXPECT_EQ(fake.alerts->alerts()[0].messageText, "Failed to Save Copy");
    EXPECT_TRUE(view->model().isEditMode());
    EXPECT_EQ(platform::readFile(source), before);

    // Nor under another name: a hard link, a path through "..", a companion file.
    const auto link = file("elsewhere/link.db");
    std::filesystem::create_hard_link(source, link);
    for (const auto& target : {link, source.parent_path() / ".." / "picked" / "sms.db"}) {
        fake.panels->answerNext(QString::fromStdString(target.string()));
        view->presentSaveCopyPanel();
        EXPECT_FALSE(view->isSaving()) << target;
    }
    EXPECT_EQ(fake.alerts->alerts().size(), 3u);
    EXPECT_EQ(platform::readFile(source), before);
    EXPECT_TRUE(view->targetIsSource(source.string() + "-wal"));
    EXPECT_TRUE(view->targetIsSource(source.string() + "-journal"));
    EXPECT_FALSE(view->targetIsSource(first));

    // Elsewhere the second copy is made from the original, without both deletions.
    const auto second = file("out/second.db");
    fake.panels->answerNext(QString::fromStdString(second.string()));
    view->presentSaveCopyPanel();
    ASSERT_TRUE(view->waitForBackgroundWork());
    ASSERT_TRUE(qbtest::waitUntil([&] {
        state->waitForBackgroundLoads(100);
        return !view->isSaving() && state->databaseURL() == second;
    }));
    EXPECT_EQ(fake.alerts->alerts().size(), 3u);
    EXPECT_EQ(messageRows(second), 2);
    EXPECT_EQ(messageRows(first), 3);
    EXPECT_EQ(messageRows(source), 4);

    // Reopened from the list, the conversation comes from the copy loaded last; the original the session read is
    // still no target, and a copy moved away meanwhile is named as such, never as a raw file system error.
    auto reopened = open(conversation);
    ASSERT_EQ(reopened->sourceDatabase(), second);
    reopened->enterEditMode();
    reopened->deleteMessage(conversation.messages[2]);
    fake.panels->answerNext(QString::fromStdString(source.string()));
    reopened->presentSaveCopyPanel();
    EXPECT_FALSE(reopened->isSaving()) << "refused before anything runs";
    ASSERT_EQ(fake.alerts->alerts().size(), 4u);
    EXPECT_TRUE(fake.alerts->alerts()[3].informativeText.contains("must not replace"));
    EXPECT_EQ(platform::readFile(source), before);
    std::filesystem::rename(second, file("out/moved.db"));
    fake.panels->answerNext(QString::fromStdString(file("out/third.db").string()));
    reopened->presentSaveCopyPanel();
    ASSERT_TRUE(reopened->waitForBackgroundWork());
    ASSERT_TRUE(qbtest::waitUntil([&] { return !reopened->isSaving(); }));
    ASSERT_EQ(fake.alerts->alerts().size(), 5u);
    const QString moved = fake.alerts->alerts()[4].informativeText;
    EXPECT_TRUE(moved.contains("The database the conversation came from is no longer there.")) << moved.toStdString();
    EXPECT_FALSE(moved.contains("filesystem error")) << moved.toStdString();
}

TEST_F(SavedCopyTest, AMissingDestinationFolderIsNamedAsSuch) {
    auto view = open(conversation);
    view->enterEditMode();
    view->deleteMessage(conversation.messages[0]);
    const auto target = file("out/x").parent_path() / "no-such-folder" / "edited.db";
    fake.panels->answerNext(QString::fromStdString(target.string()));
    view->activateWindow();
    button(*view, "edit_save_copy")->setFocus(Qt::TabFocusReason);
    QTest::keyClick(button(*view, "edit_save_copy"), Qt::Key_Space);
    ASSERT_TRUE(view->waitForBackgroundWork());
    ASSERT_TRUE(qbtest::waitUntil([&] { return !view->isSaving(); }));
    // The busy button passed the keyboard on to the close button; a second Space must not close the conversation.
    EXPECT_TRUE(button(*view, "edit_save_copy")->hasFocus()) << "focus is on " << focusName();
    ASSERT_EQ(fake.alerts->alerts().size(), 1u);
    const QString text = fake.alerts->alerts()[0].informativeText;
    EXPECT_TRUE(text.contains("cannot be written to")) << text.toStdString();
    EXPECT_TRUE(text.contains("no-such-folder")) << text.toStdString();
    EXPECT_FALSE(text.contains("Cannot open database")) << text.toStdString();
    EXPECT_TRUE(view->model().isEditMode());
    EXPECT_FALSE(std::filesystem::exists(target.parent_path()));
}

TEST_F(SavedCopyTest, ClosingDuringASaveNeitherWaitsNorStopsIt) {
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    std::atomic<bool> writerRan{false};
    auto* saver = quillobrandt::EditedCopySaver::forState(state.get());
    saver->setWriter([&, opened](const std::filesystem::path& from, const std::filesystem::path& to,
                                 const std::unordered_set<std::int64_t>& ids, const quillobrandt::EditedCopyStop&) {
        opened.wait();
        quillobrandt::DatabaseManager::saveEditedCopy(from, to, ids);
        writerRan = true;
    });
    auto view = open(conversation);
    view->enterEditMode();
    view->deleteMessage(conversation.messages[0]);
    const auto target = file("out/late.db");
    fake.panels->answerNext(QString::fromStdString(target.string()));
    view->presentSaveCopyPanel();
    EXPECT_TRUE(view->isSaving());
    const auto* busy = view->findChild<QWidget*>("saving_indicator");
    ASSERT_NE(busy, nullptr);
    EXPECT_TRUE(busy->isVisible());
    EXPECT_FALSE(button(*view, "edit_save_copy")->isEnabled());

    // Closing while the writer is held: if the view waited for it, this would never return.
    std::atomic<bool> releasedByWatchdog{false};
    std::thread watchdog([&] {
        if (opened.wait_for(std::chrono::seconds(20)) == std::future_status::timeout) {
            releasedByWatchdog = true;
            gate.set_value();
        }
    });
    view.reset();
    if (!releasedByWatchdog) {
        gate.set_value();
    }
    watchdog.join();
    EXPECT_FALSE(releasedByWatchdog) << "closing the view waited for the save";
    ASSERT_TRUE(saver->waitForDone(30000));
    EXPECT_TRUE(writerRan);
    EXPECT_EQ(messageRows(target), 3);
    QCoreApplication::processEvents();
    const std::string log = quillobrandt::Logger::shared().getAllLogs();
    EXPECT_NE(log.find("Saved edited copy to: " + target.string()), std::string::npos);
    EXPECT_TRUE(fake.alerts->alerts().empty());
}

// A save of a crafted database runs until its work budget is spent; the user need not wait for that. Cancel stops
// the running save (editing goes on, nothing is reported as failed), and so does quitting.
TEST_F(SavedCopyTest, CancelAndQuitStopARunningSave) {
    std::atomic<int> stopped{0};
    auto* saver = quillobrandt::EditedCopySaver::forState(state.get());
    saver->setWriter([&stopped](const std::filesystem::path&, const std::filesystem::path&,
                                const std::unordered_set<std::int64_t>&, const quillobrandt::EditedCopyStop& stop) {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20); // never stopped: fails
        while (!stop()) {
            if (std::chrono::steady_clock::now() > giveUp) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ++stopped;
        throw quillobrandt::DatabaseError::stopped();
    });
    auto view = open(conversation);
    view->enterEditMode();
    view->deleteMessage(conversation.messages[0]);
    const auto target = file("out/endless.db");
    fake.panels->answerNext(QString::fromStdString(target.string()));
    view->presentSaveCopyPanel();
    ASSERT_TRUE(view->isSaving());
    auto* cancel = button(*view, "edit_cancel");
    EXPECT_TRUE(cancel->isEnabled()) << "the one way to stop the save";
    EXPECT_FALSE(button(*view, "edit_save_copy")->isEnabled());
    cancel->click();
    ASSERT_TRUE(qbtest::waitUntil([&] { return !view->isSaving(); }, 30000));
    EXPECT_EQ(stopped, 1);
    EXPECT_TRUE(fake.alerts->alerts().empty()) << "stopped by the user, not failed";
    EXPECT_TRUE(view->model().isEditMode()) << "the marks stay, to be saved again";
    EXPECT_EQ(view->model().markedCount(), 1);
    EXPECT_FALSE(std::filesystem::exists(target));

    // Quitting while a save runs: the saver goes with the application state, stopping the save first.
    fake.panels->answerNext(QString::fromStdString(target.string()));
    view->presentSaveCopyPanel();
    ASSERT_TRUE(view->isSaving());
    view.reset();
    state.reset();
    EXPECT_EQ(stopped, 2);
    EXPECT_TRUE(fake.alerts->alerts().empty());
}

TEST_F(SavedCopyTest, FailureIsReportedAndEditingContinues) {
    auto view = open(conversation);
    view->enterEditMode();
    view->deleteMessage(conversation.messages[0]);
    std::vector<bool> finished;
    QObject::connect(view.get(), &ConversationDisplayView::editedCopySaveFinished,
                     [&finished](bool saved) { finished.push_back(saved); });
    fake.panels->answerNext(QString::fromStdString(source.string())); // the source itself
    view->presentSaveCopyPanel();
    ASSERT_TRUE(view->waitForBackgroundWork());
    EXPECT_EQ(finished, std::vector<bool>{false}) << "a refused save ends as every other ending does";
    ASSERT_TRUE(qbtest::waitUntil([&] { return !view->isSaving(); }));
    ASSERT_EQ(fake.alerts->alerts().size(), 1u);
    const auto& alert = fake.alerts->alerts()[0];
    EXPECT_EQ(alert.messageText, "Failed to Save Copy");
    EXPECT_TRUE(alert.informativeText.startsWith("An error occurred while saving the edited database:\n\n"));
    EXPECT_EQ(alert.style, platform::AlertStyle::critical);
    EXPECT_TRUE(view->model().isEditMode());
    EXPECT_EQ(messageRows(source), 4);
    EXPECT_EQ(state->databaseURL(), source);
}

TEST_F(SavedCopyTest, CancelledPanelAndMissingDatabaseChangeNothing) {
    auto view = open(conversation);
    view->enterEditMode();
    view->presentSaveCopyPanel(); // no scripted answer: cancelled
    EXPECT_TRUE(view->model().isEditMode());
    EXPECT_FALSE(view->isSaving());
    state->setDatabaseURL(std::nullopt);
    auto unsourced = open(conversation);
    unsourced->enterEditMode();
    unsourced->presentSaveCopyPanel();
    EXPECT_EQ(fake.panels->saveRequests().size(), 1u) << "no panel for a conversation without a database";
}

TEST_F(ConversationViewTest, CsvButtonWritesTheFilteredMessages) {
    auto view = open(conversationOf(3));
    const auto target = file("out/chat.csv");
    fake.panels->answerNext(QString::fromStdString(target.string()));
    view->activateWindow();
    button(*view, "export_csv")->setFocus(Qt::TabFocusReason);
    QTest::keyClick(button(*view, "export_csv"), Qt::Key_Space);
    ASSERT_EQ(fake.panels->saveRequests().size(), 1u);
    EXPECT_EQ(fake.panels->saveRequests()[0].suggestedName, "+15551234567.csv");
    // Written on a worker (a million rows froze the window for seconds), with the button busy meanwhile.
    EXPECT_FALSE(button(*view, "export_csv")->isEnabled()) << "the export ran on the GUI thread";
    EXPECT_TRUE(view->isExportingCsv());
    const QIcon busy = button(*view, "export_csv")->icon();
    const QSize size = button(*view, "export_csv")->iconSize();
    EXPECT_EQ(busy.pixmap(size, QIcon::Disabled).toImage(), busy.pixmap(size, QIcon::Normal).toImage())
        << "the busy sign is drawn at full strength, not grayed with the disabled button";
    // In the text colour of an enabled button, not the gray the disabled one's palette gives.
    const QImage spinner = busy.pixmap(size, QIcon::Disabled).toImage();
    int darkest = 255;
    for (int y = 0; y < spinner.height(); ++y) {
        for (int x = 0; x < spinner.width(); ++x) {
            const QRgb pixel = spinner.pixel(x, y);
            darkest = qAlpha(pixel) > 200 ? std::min(darkest, qGray(pixel)) : darkest;
        }
    }
    const QColor buttonText = button(*view, "export_csv")->palette().color(QPalette::Active, QPalette::ButtonText);
    EXPECT_LE(darkest, qGray(buttonText.rgb()) + 40) << "its darkest spoke";
    ASSERT_TRUE(qbtest::finishCsvExport(*view));
    EXPECT_TRUE(button(*view, "export_csv")->isEnabled());
    // The keyboard left the busy button for the next one; it comes back to where the user was.
    EXPECT_TRUE(button(*view, "export_csv")->hasFocus()) << "focus is on " << focusName();
    const std::string text = platform::readFile(target).value_or("");
    EXPECT_EQ(text.rfind("person,datetime,message\n", 0), 0u);
    EXPECT_NE(text.find("\"Me\",\"2024-03-01 08:00:00\",\"m0\""), std::string::npos);
}

TEST_F(ConversationViewTest, TheLoadedConversationIsSharedAndExportsFollowTheEdits) {
    const auto loaded = std::make_shared<const Conversation>(conversationOf(6));
    auto view = std::make_unique<ConversationDisplayView>(loaded, state.get(), nullptr, &analytics);
    view->resize(900, 700);
    view->show();
    ASSERT_TRUE(qbtest::waitUntil([&] { return !view->isLoading(); }));
    EXPECT_EQ(&view->model().conversation(), loaded.get()) << "opened without a copy";

    button(*view, "edit_messages")->click();
    EXPECT_EQ(view->model().conversationCopy()->originalConversation, loaded);
    view->deleteMessage(view->rows().rowAt(1).message);
    view->deleteMessage(view->rows().rowAt(4).message);
    button(*view, "edit_apply")->click();
    ASSERT_EQ(view->rows().rowCount(), 4);
    EXPECT_EQ(view->rows().rowAt(1).message.text, "m2");
    EXPECT_EQ(view->rows().rowAt(3).message.text, "m5");
    EXPECT_EQ(loaded->messages.size(), 6u) << "the loaded history is never edited";

    const auto target = file("out/edited.csv");
    fake.panels->answerNext(QString::fromStdString(target.string()));
    button(*view, "export_csv")->click();
    ASSERT_TRUE(qbtest::finishCsvExport(*view));
    const std::string text = platform::readFile(target).value_or("");
    EXPECT_EQ(text, "person,datetime,message\n"
                    "\"Me\",\"2024-03-01 08:00:00\",\"m0\"\n"
                    "\"Me\",\"2024-03-01 08:02:00\",\"m2\"\n"
                    "\"+15551234567\",\"2024-03-01 08:03:00\",\"m3\"\n"
                    "\"+15551234567\",\"2024-03-01 08:05:00\",\"m5\"\n");
    EXPECT_EQ(view->model().idsToDeleteInCopy(), (std::unordered_set<std::int64_t>{2, 5}));
}

TEST_F(ConversationViewTest, RowsFitTheListWithAndWithoutTheScrollBar) {
    Conversation conversation = conversationOf(80, {"+15551234567", "bob@example.com"});
    for (auto& message : conversation.messages) {
        message.text = std::string(240, 'w') + " and some words that wrap " + *message.text;
    }
    auto view = open(conversation);
    auto* list = view->findChild<QListView*>("message_list");
    const auto check = [&](const char* when) {
        QCoreApplication::processEvents();
        const int width = list->viewport()->width();
        ASSERT_TRUE(list->verticalScrollBar()->isVisible()) << when;
        EXPECT_FALSE(list->horizontalScrollBar()->isVisible()) << when;
        EXPECT_EQ(list->horizontalScrollBar()->maximum(), 0) << when;
        for (int i = 0; i < view->rows().rowCount(); ++i) {
            const QRect rect = list->visualRect(list->model()->index(i, 0));
            const auto geometry = quillobrandt::layoutMessageRow(view->rows().rowAt(i), width);
            EXPECT_LE(rect.right(), width) << when << " row " << i;
            EXPECT_EQ(rect.height(), static_cast<int>(std::ceil(geometry.height))) << when << " row " << i;
            EXPECT_LE(geometry.textBubble.right(), width - 12 + 0.5) << when << " row " << i;
        }
    };
    check("opened");
    view->resize(620, 700);
    check("narrower");
    view->resize(1100, 700);
    check("wider");
}

TEST_F(ConversationViewTest, GroupsOfTwoOthersNameTheSenders) {
    auto view = open(conversationOf(4, {"+15551234567", "bob@example.com"}));
    const auto& received = view->rows().rowAt(1);
    ASSERT_FALSE(received.message.isFromMe);
    ASSERT_TRUE(received.content.senderName);
    EXPECT_EQ(*received.content.senderName, "+15551234567");
    EXPECT_FALSE(view->rows().rowAt(0).content.senderName) << "own messages never";
}

TEST_F(ConversationViewTest, HidingMediaOnAHundredThousandMessagesShowsFiveHundredRows) {
    Conversation conversation = conversationOf(100000);
    for (std::size_t i = 0; i < conversation.messages.size(); i += 10) {
        quillobrandt::Attachment picture;
        picture.filename = "p.jpg";
        picture.mimeType = "image/jpeg";
        picture.filePath = "/nowhere/p.jpg";
        conversation.messages[i].attachments = {picture};
    }
    auto view = open(conversation);
    view->findChild<QCheckBox*>("show_media")->setChecked(false);
    EXPECT_EQ(view->model().filteredCount(), 90000);
    EXPECT_EQ(view->rows().rowCount(), 500);
    EXPECT_TRUE(button(*view, "load-earlier-button")->text().endsWith("Load Earlier Messages (89500 more)"));
    EXPECT_FALSE(button(*view, "load-newer-button")->isVisible());
    view->findChild<QCheckBox*>("show_media")->setChecked(true);
    EXPECT_EQ(view->rows().rowCount(), 500);
}

TEST_F(ConversationViewTest, JumpArrowsSitOnADiscOfTheWindowColour) {
    auto view = open(conversationOf(60));
    auto* oldest = view->findChild<quillobrandt::JumpButton*>("jump_oldest");
    auto* newest = view->findChild<quillobrandt::JumpButton*>("jump_newest");
    ASSERT_NE(oldest, nullptr);
    ASSERT_NE(newest, nullptr);
    EXPECT_EQ(oldest->symbolName(), "arrow.up.circle.fill");
    EXPECT_EQ(newest->symbolName(), "arrow.down.circle.fill");
    EXPECT_EQ(oldest->toolTip(), "Jump to oldest message");
    EXPECT_EQ(oldest->size(), QSize(40, 40));
    const QImage shot = oldest->grab().toImage();
    const QColor window = oldest->palette().color(QPalette::Window);
    EXPECT_EQ(shot.pixelColor(2, 20).rgb(), window.rgb()) << "the disc's ring";
    EXPECT_EQ(shot.pixelColor(20, 20 + 12).rgb(), QColor(0xFF, 0x8C, 0x78).rgb()) << "the symbol's fill";
    // The arrow is cut out of the filled symbol, so the disc shows through it.
    const QColor arrow = shot.pixelColor(20, 20);
    EXPECT_LE(std::abs(arrow.lightness() - window.lightness()), 8) << "the arrow shows the disc";
    EXPECT_GT(std::abs(arrow.green() - 0x8C), 64) << "not the symbol's fill";
    // Bottom-trailing, 16 points in from both edges of the message area.
    auto* list = view->findChild<QListView*>("message_list");
    const QPoint corner = newest->mapTo(list->parentWidget(), QPoint(newest->width(), newest->height()));
    EXPECT_EQ(list->parentWidget()->width() - corner.x(), 16);
    EXPECT_EQ(list->parentWidget()->height() - corner.y(), 16);
}

TEST_F(ConversationViewTest, EndingEditModeKeepsTheSheetsWidth) {
    QWidget parent;
    parent.resize(1200, 900);
    parent.show();
    QPointer<QDialog> sheet =
        ConversationDisplayView::openAsSheet(conversationOf(30, {"a-very-long-participant-handle@example.com",
                                                                 "another.long.handle@example.com", "+15551234567"}),
                                             state.get(), &parent);
    ASSERT_TRUE(qbtest::waitUntil([&] { return sheet->isVisible(); }));
    auto* view = sheet->findChild<ConversationDisplayView*>();
    QCoreApplication::processEvents();
    const QSize size = sheet->size();
    const QRect screen = sheet->screen()->availableGeometry();
    EXPECT_LE(size.width(), screen.width());
    for (int i = 0; i < 3; ++i) {
        button(*view, "edit_messages")->click();
        QCoreApplication::processEvents();
        EXPECT_EQ(sheet->size(), size) << "entering, round " << i;
        button(*view, i == 1 ? "edit_apply" : "edit_cancel")->click();
        QCoreApplication::processEvents();
        EXPECT_EQ(sheet->size(), size) << "leaving, round " << i;
    }
    state->setParticipantLabel("a-very-long-participant-handle@example.com", QString(300, QChar('L')).toStdString());
    QCoreApplication::processEvents();
    EXPECT_EQ(sheet->size(), size) << "a long title does not push the sheet wider";
    EXPECT_LE(sheet->minimumSizeHint().width(), screen.width());
    sheet->findChild<QPushButton*>("close_conversation")->click();
}

TEST_F(ConversationViewTest, LabelsSheetWritesOnlyOnSave) {
    state->setParticipantLabel("other", "Kept");
    state->setParticipantLabel("a", "Old");
    quillobrandt::ParticipantLabelsView sheet({"a", "b"}, state.get());
    EXPECT_EQ(sheet.fieldFor("a")->text(), "Old");
    EXPECT_EQ(sheet.fieldFor("b")->placeholderText(), "Label");
    sheet.setLabel("a", "");
    sheet.setLabel("b", "  Bea ");
    EXPECT_EQ(state->participantLabels().at("a"), "Old") << "nothing is written before Save";
    sheet.reject();
    EXPECT_EQ(state->participantLabels().size(), 2u);

    quillobrandt::ParticipantLabelsView second({"a", "b"}, state.get());
    second.setLabel("a", "");
    second.setLabel("b", "  Bea ");
    second.findChild<QPushButton*>("labels_save")->click();
    const std::map<std::string, std::string> expected{{"b", "  Bea "}, {"other", "Kept"}};
    EXPECT_EQ(state->participantLabels(), expected);
}

TEST_F(ConversationViewTest, SheetIgnoresEscapeAndClosesFromItsButton) {
    QWidget parent;
    parent.show();
    QPointer<QDialog> sheet = ConversationDisplayView::openAsSheet(conversationOf(2), state.get(), &parent);
    ASSERT_TRUE(sheet);
    ASSERT_TRUE(qbtest::waitUntil([&] { return sheet->isVisible(); }));
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(sheet, &escape);
    EXPECT_TRUE(sheet->isVisible());
    sheet->findChild<QPushButton*>("close_conversation")->click();
    EXPECT_TRUE(qbtest::waitUntil([&] { return sheet.isNull(); }));
}

} // namespace
