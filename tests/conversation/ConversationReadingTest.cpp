// What a reader of an opened conversation sees, measured on the drawn pixels and the list's geometry.
#include <QApplication>
#include <QLabel>
#include <QListView>
#include <QMouseEvent>
#include <QPalette>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <functional>
#include <gtest/gtest.h>

#include "Quillobrandt/conversation/ConversationDisplayView.h"
#include "Quillobrandt/conversation/MessageList.h"
#include "Quillobrandt/conversation/ParticipantLabelsView.h"
#include "tests/conversation/ConversationViewFixture.h"
#include "tests/support/qt/DarkPalette.h"
#include "tests/support/qt/FocusVisibility.h"

namespace {

using quillobrandt::AppTheme;
using quillobrandt::Conversation;
using quillobrandt::ConversationDisplayView;
using quillobrandt::Message;

class ConversationReadingTest : public ::testing::Test, protected qbtest::ConversationViewFixture {
protected:
    // The list as the user sees it once the event loop has run: rows laid out after a change.
    static QListView* listOf(QWidget& view) {
        auto* list = view.findChild<QListView*>("message_list");
        list->doItemsLayout();
        QCoreApplication::processEvents();
        return list;
    }

    // The text of row `row`'s bubble as drawn on the list.
    static qbtest::TextSample bubbleText(ConversationDisplayView& view, int row) {
        QListView* list = listOf(view);
        const QImage shot = list->viewport()->grab().toImage();
        const QRect rowRect = list->visualRect(list->model()->index(row, 0));
        const auto geometry = quillobrandt::layoutMessageRow(view.rows().rowAt(row), list->viewport()->width());
        return qbtest::sampleText(shot, geometry.textArea.translated(rowRect.topLeft()).toAlignedRect());
    }

    // Presses and releases the mouse on row `row`'s trash (or undo) button.
    static void clickRowButton(ConversationDisplayView& view, int row) {
        QListView* list = listOf(view);
        const QRect rowRect = list->visualRect(list->model()->index(row, 0));
        const auto geometry = quillobrandt::layoutMessageRow(view.rows().rowAt(row), list->viewport()->width());
        ASSERT_FALSE(geometry.deleteButton.isNull());
        const QPoint at = rowRect.topLeft() + geometry.deleteButton.center().toPoint();
        const QPoint global = list->viewport()->mapToGlobal(at);
        QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(list->viewport(), &press);
        QCoreApplication::sendEvent(list->viewport(), &release);
    }

    // Whether a line drawn in the text's colour runs across (nearly) the whole width of row `row`'s text.
    static bool textIsStruckThrough(ConversationDisplayView& view, int row) {
        QListView* list = listOf(view);
        const QImage shot = list->viewport()->grab().toImage();
        const QRect rowRect = list->visualRect(list->model()->index(row, 0));
        const auto geometry = quillobrandt::layoutMessageRow(view.rows().rowAt(row), list->viewport()->width());
        const QRect text = geometry.textArea.translated(rowRect.topLeft()).toAlignedRect() & shot.rect();
        const qbtest::TextSample sample = qbtest::sampleText(shot, text);
        for (int y = text.top(); y <= text.bottom(); ++y) {
            int inked = 0;
            for (int x = text.left(); x <= text.right(); ++x) {
                inked += qbtest::pixelContrast(shot.pixel(x, y) | 0xFF000000u, sample.background) > 1.5 ? 1 : 0;
            }
            if (inked >= text.width() * 9 / 10) {
                return true;
            }
        }
        return false;
    }
};

TEST_F(ConversationReadingTest, BubbleTextReachesFourAndAHalfToOneInEveryThemeAndPalette) {
    Conversation conversation;
    conversation.participants = {"+15551234567"};
    conversation.messages = {
        qbtest::makeMessage(QDate(2024, 3, 9), QTime(9, 0), "HHHHHHHHHHHH received", false),
        qbtest::makeMessage(QDate(2024, 3, 9), QTime(9, 1), "NNNNNNNNNNNN sent", true),
    };
    conversation.messageCount = 2;
    auto view = openView(conversation);
    const QPalette light = view->palette();
    for (const bool dark : {false, true}) {
        view->setPalette(dark ? qbtest::darkPalette() : light);
        for (const AppTheme theme : {AppTheme::quillobrandt, AppTheme::professional}) {
            state->setAppTheme(theme);
            for (const int row : {0, 1}) {
                const qbtest::TextSample sample = bubbleText(*view, row);
                EXPECT_GE(sample.ratio, 4.5)
                    << (dark ? "dark" : "light") << " palette, theme " << static_cast<int>(theme) << ", "
                    << (row == 1 ? "sent" : "received") << ": text " << QColor(sample.text).name().toStdString()
                    << " on " << QColor(sample.background).name().toStdString();
            }
        }
    }
}

// The quieter texts are read too: sender names in the hues that read worst (yellow on a light list, purple on a
// dark one), times, a file's name on its chip, the unsupported-message placeholder and the backup's note on a
// picture it lacks reach 4.5:1 on the drawn pixels, in a light and a dark palette.
TEST_F(ConversationReadingTest, NamesTimesChipsAndNotesReachFourAndAHalfToOneInBothPalettes) {
    const auto senderOfHue = [](int from, int to) {
        for (int i = 0; i < 100000; ++i) {
            const std::string handle = "+1555010" + std::to_string(1000 + i);
            const int hue = quillobrandt::senderNameColor(handle).hsvHue();
            if (hue >= from && hue <= to) {
                return handle;
            }
        }
        return std::string();
    };
    const std::string yellow = senderOfHue(52, 62);
    const std::string purple = senderOfHue(265, 280);
    ASSERT_FALSE(yellow.empty() || purple.empty());
    const QDate day(2024, 3, 9);
    Conversation conversation;
    conversation.participants = {yellow, purple, "+15550000003"};
    Message named = qbtest::makeMessage(day, QTime(9, 0), "hi", false, yellow);
    Message other = qbtest::makeMessage(day, QTime(9, 1), "hello", false, purple);
    Message file = qbtest::makeMessage(day, QTime(9, 2), "\xEF\xBF\xBC", false, yellow);
    file.attachments = {{1, "plan.pdf", std::nullopt, "/nowhere/plan.pdf"}};
    Message empty = qbtest::makeMessage(day, QTime(9, 3), std::nullopt, false, purple);
    Message picture = qbtest::makeMessage(day, QTime(9, 4), "\xEF\xBF\xBC", false, yellow);
    picture.attachments = {{2, "IMG_0001.HEIC", std::string("image/heic"), "/nowhere/IMG_0001.HEIC"}};
    conversation.messages = {named, other, file, empty, picture};
    for (std::size_t i = 0; i < conversation.messages.size(); ++i) {
        conversation.messages[i].id = static_cast<std::int64_t>(i) + 1;
    }
    conversation.messageCount = 5;
    state->setIsIPhoneBackup(true);
    auto view = openView(conversation);
    ASSERT_EQ(view->rows().rowCount(), 5);
    ASSERT_TRUE(view->rows().rowAt(4).content.pictures.at(0).failureNoteIsBackup);

    const QPalette light = view->palette();
    for (const bool dark : {false, true}) {
        view->setPalette(dark ? qbtest::darkPalette() : light);
        QListView* list = listOf(*view);
        const QImage shot = list->viewport()->grab().toImage();
        const auto expectReadable = [&](int row,
                                        const std::function<QRectF(const quillobrandt::MessageRowGeometry&)>& piece,
                                        const char* what) {
            const QRect rowRect = list->visualRect(list->model()->index(row, 0));
            const auto geometry = quillobrandt::layoutMessageRow(view->rows().rowAt(row), list->viewport()->width());
            const QRectF area = piece(geometry);
            ASSERT_FALSE(area.isEmpty()) << what;
            const qbtest::TextSample sample =
                qbtest::sampleText(shot, area.translated(rowRect.topLeft()).toAlignedRect());
            EXPECT_GE(sample.ratio, 4.5) << what << (dark ? " (dark)" : " (light)") << ": "
                                         << QColor(sample.text).name().toStdString() << " on "
                                         << QColor(sample.background).name().toStdString();
        };
        expectReadable(
            0, [](const auto& g) { return g.senderName; }, "a yellow sender name");
        expectReadable(
            1, [](const auto& g) { return g.senderName; }, "a purple sender name");
        expectReadable(
            0, [](const auto& g) { return g.time; }, "the time");
        expectReadable(
            2, [](const auto& g) { return g.attachmentLines.at(0); }, "the file name on its chip");
        expectReadable(
            3, [](const auto& g) { return g.unsupported; }, "the unsupported-message placeholder");
        expectReadable(
            4, [](const auto& g) { return g.pictures.at(0).adjusted(0, 60, 0, 0); }, "the backup's note");
    }
}

TEST_F(ConversationReadingTest, EditModeShowsTheMarksAndTheirButtonUndoesThem) {
    Conversation conversation;
    conversation.participants = {"+15551234567"};
    for (int i = 0; i < 4; ++i) {
        Message message =
            qbtest::makeMessage(QDate(2024, 3, 9), QTime(9, i), "HHHHHHHH words " + std::to_string(i), i % 2 == 1);
        message.id = i + 1;
        conversation.messages.push_back(message);
    }
    quillobrandt::Attachment picture{1, "p.jpg", std::string("image/jpeg"), "/nowhere/p.jpg"};
    conversation.messages[3].attachments = {picture};
    conversation.messageCount = 4;
    auto view = openView(conversation);
    view->enterEditMode();
    auto* apply = view->findChild<QPushButton*>("edit_apply");
    auto* save = view->findChild<QPushButton*>("edit_save_copy");
    EXPECT_EQ(apply->text(), "Apply Changes");
    EXPECT_EQ(save->text(), "Save Copy...");
    const qbtest::TextSample before = bubbleText(*view, 1);
    EXPECT_FALSE(textIsStruckThrough(*view, 1));

    clickRowButton(*view, 1);
    EXPECT_TRUE(view->model().isMarkedDeleted(2));
    EXPECT_TRUE(view->rows().rowAt(1).marked);
    EXPECT_EQ(view->rows().rowCount(), 4) << "a marked message stays until applied";
    EXPECT_TRUE(textIsStruckThrough(*view, 1)) << "the marked text is struck through";
    EXPECT_FALSE(textIsStruckThrough(*view, 0)) << "the others are not";
    const QColor list = listOf(*view)->palette().color(QPalette::Base);
    const qbtest::TextSample marked = bubbleText(*view, 1);
    EXPECT_LT(qbtest::pixelContrast(marked.background, list.rgb()),
              qbtest::pixelContrast(before.background, list.rgb()))
        << "the marked bubble is dimmed towards the list";
    clickRowButton(*view, 2);
    EXPECT_EQ(apply->text(), "Apply Changes (2)");
    EXPECT_EQ(save->text(), "Save Copy (2)...");

    // Refiltering keeps the marked rows, marked, until Apply or Cancel.
    view->setShowMedia(false);
    view->setShowMedia(true);
    EXPECT_EQ(view->rows().rowCount(), 4);
    EXPECT_TRUE(view->rows().rowAt(1).marked);

    clickRowButton(*view, 1);
    EXPECT_FALSE(view->model().isMarkedDeleted(2)) << "the undo button unmarks";
    EXPECT_FALSE(view->rows().rowAt(1).marked);
    EXPECT_FALSE(textIsStruckThrough(*view, 1));
    EXPECT_EQ(bubbleText(*view, 1).background, before.background);
    EXPECT_EQ(apply->text(), "Apply Changes (1)");
    EXPECT_EQ(save->text(), "Save Copy (1)...");

    apply->click();
    EXPECT_EQ(view->rows().rowCount(), 3);
    EXPECT_EQ(view->model().permanentlyDeletedMessageIDs(), (std::unordered_set<std::int64_t>{3}));
    view->enterEditMode();
    EXPECT_EQ(apply->text(), "Apply Changes") << "a new round starts with nothing marked";
    EXPECT_FALSE(view->rows().rowAt(1).marked);
}

// Messages that carry a video, a voice message or another file are part of the conversation: they were
// once filtered out whole, text and all.
TEST_F(ConversationReadingTest, MessagesWithAVideoAVoiceMessageOrAFileAreShownWithTheirText) {
    const QString picturePath = QString::fromStdString(file("pictures/p.png").string());
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    ASSERT_TRUE(image.save(picturePath));
    const QDate day(2024, 3, 9);
    Conversation conversation;
    conversation.participants = {"+15550000001", "+15550000002", "family@example.com"};
    Message video = qbtest::makeMessage(day, QTime(9, 0), "look at this \xEF\xBF\xBC", false, "+15550000001");
    video.attachments = {{1, "clip.mov", std::string("video/quicktime"), "/nowhere/clip.mov"}};
    Message voice = qbtest::makeMessage(day, QTime(9, 1), "\xEF\xBF\xBC", false, "+15550000002");
    voice.attachments = {{2, "Audio Message.caf", std::string("audio/x-caf"), "/nowhere/Audio Message.caf"}};
    Message document = qbtest::makeMessage(day, QTime(9, 2), "the plan", true);
    document.attachments = {{3, "plan.pdf", std::nullopt, "/nowhere/plan.pdf"}};
    Message captioned = qbtest::makeMessage(day, QTime(9, 3), "\xEF\xBF\xBCMe", true);
    captioned.attachments = {{4, "p.png", std::string("image/png"), picturePath.toStdString()}};
    conversation.messages = {video, voice, document, captioned};
    conversation.messageCount = 4;
    auto view = openView(conversation);

    ASSERT_EQ(view->rows().rowCount(), 4) << "no message is left out";
    const auto& videoRow = view->rows().rowAt(0).content;
    ASSERT_TRUE(videoRow.text);
    EXPECT_EQ(*videoRow.text, "look at this ");
    EXPECT_EQ(videoRow.attachmentNames, (std::vector<QString>{"clip.mov"}));
    EXPECT_EQ(videoRow.senderName, "+15550000001");
    const auto& voiceRow = view->rows().rowAt(1).content;
    EXPECT_FALSE(voiceRow.text) << "the attachment mark alone draws no empty bubble";
    EXPECT_EQ(voiceRow.attachmentNames, (std::vector<QString>{"Audio Message.caf"}));
    EXPECT_FALSE(voiceRow.unsupported);
    EXPECT_EQ(view->rows().rowAt(2).content.attachmentNames, (std::vector<QString>{"plan.pdf"}));

    // A picture with a text shows both, the text under the picture.
    const auto& captionedRow = view->rows().rowAt(3);
    ASSERT_TRUE(captionedRow.content.text);
    EXPECT_EQ(*captionedRow.content.text, "Me");
    ASSERT_EQ(captionedRow.content.pictures.size(), 1u);
    QListView* list = listOf(*view);
    const auto geometry = quillobrandt::layoutMessageRow(captionedRow, list->viewport()->width());
    EXPECT_GT(geometry.textBubble.top(), geometry.pictures[0].bottom());
    EXPECT_LT(geometry.textBubble.bottom(), geometry.time.top());
    EXPECT_EQ(bubbleText(*view, 3).ratio >= 4.5, true) << "the caption is drawn";

    // "Show Media" unticked hides the picture's message, and only that one.
    view->setShowMedia(false);
    ASSERT_EQ(view->rows().rowCount(), 3);
    EXPECT_EQ(view->rows().rowAt(2).message.id, document.id);
    view->setShowMedia(true);
    EXPECT_EQ(view->rows().rowCount(), 4);
}

Conversation minutesApart(int count) {
    Conversation conversation;
    conversation.participants = {"+15551234567"};
    for (int i = 0; i < count; ++i) {
        Message message =
            qbtest::makeMessage(QDate(2024, 3, 1), QTime(8, 0).addSecs(60 * i), "m" + std::to_string(i), i % 2 == 0);
        message.id = i + 1;
        conversation.messages.push_back(message);
    }
    conversation.messageCount = count;
    return conversation;
}

// The drawn pieces of row `row` (bubble, pictures, files, time) in the coordinates of the message area.
std::vector<QRect> drawnPieces(ConversationDisplayView& view, QListView& list, int row) {
    const QRect rowRect = list.visualRect(list.model()->index(row, 0));
    const auto g = quillobrandt::layoutMessageRow(view.rows().rowAt(row), list.viewport()->width());
    std::vector<QRect> pieces;
    for (const QRectF& piece : {g.textBubble, g.attachmentList, g.unsupported, g.time}) {
        if (!piece.isNull()) {
            const QRect inList = piece.translated(rowRect.topLeft()).toAlignedRect();
            pieces.push_back(inList.translated(list.viewport()->mapTo(list.parentWidget(), QPoint(0, 0))));
        }
    }
    return pieces;
}

TEST_F(ConversationReadingTest, TheJumpedToMessageIsReadableWhole) {
    auto view = openView(minutesApart(61)); // the newest is mine, on the discs' side
    QListView* list = listOf(*view);
    auto* discs = view->findChild<QWidget*>("jump_newest")->parentWidget();
    ASSERT_TRUE(discs->isVisible());
    const QRect viewport(list->viewport()->mapTo(list->parentWidget(), QPoint(0, 0)), list->viewport()->size());
    // Wherever the list is scrolled, no message passes under the discs: the bubbles' column keeps clear of theirs.
    for (int row = 0; row < view->rows().rowCount(); ++row) {
        for (const QRect& piece : drawnPieces(*view, *list, row)) {
            EXPECT_LT(piece.right(), discs->geometry().left()) << "row " << row << " runs under the jump discs";
        }
    }

    view->jumpToNewest();
    ASSERT_TRUE(qbtest::waitUntil([&] { return view->showsPositionBanner(); }));
    ASSERT_TRUE(qbtest::waitUntil([&] { return !view->showsPositionBanner(); }, 4000));
    list = listOf(*view);
    const int last = view->rows().rowCount() - 1;
    for (const QRect& piece : drawnPieces(*view, *list, last)) {
        EXPECT_TRUE(viewport.contains(piece)) << "the newest message is on screen whole";
        EXPECT_FALSE(piece.intersects(discs->geometry())) << "and clear of the jump discs";
    }
    EXPECT_GE(list->verticalScrollBar()->value(), list->verticalScrollBar()->maximum());
    const int clearance = viewport.bottom() - drawnPieces(*view, *list, last).back().bottom();
    EXPECT_GE(clearance, discs->height() + 8);

    // The banner floats over the top of the list for its few seconds; the list is at the oldest message.
    view->jumpToOldest();
    ASSERT_TRUE(qbtest::waitUntil([&] { return view->showsPositionBanner(); }));
    list = listOf(*view);
    EXPECT_EQ(list->verticalScrollBar()->value(), 0);
    for (const QRect& piece : drawnPieces(*view, *list, 0)) {
        EXPECT_TRUE(viewport.contains(piece)) << "the oldest message is on screen whole";
    }
}

// The first row's ink (its day header's plate) starts a small padding below the list's top edge, with or
// without jump buttons: only the end the buttons float over keeps clear of them.
TEST_F(ConversationReadingTest, TheListOpensWithItsFirstDayHeaderNearTheTop) {
    for (const int count : {5, 61}) {
        auto view = openView(minutesApart(count));
        QListView* list = listOf(*view);
        ASSERT_EQ(view->findChild<QWidget*>("jump_newest")->parentWidget()->isVisible(), count > 10);
        const QImage shot = list->viewport()->grab().toImage();
        const QRgb background = shot.pixel(1, 1);
        int firstInk = -1;
        for (int y = 0; y < shot.height() && firstInk < 0; ++y) {
            for (int x = 0; x < shot.width(); ++x) {
                if (qAbs(qGray(shot.pixel(x, y)) - qGray(background)) > 8) {
                    firstInk = y;
                    break;
                }
            }
        }
        const int scale = qRound(list->viewport()->devicePixelRatioF());
        EXPECT_GE(firstInk, 8 * scale) << count << " messages";
        EXPECT_LE(firstInk, 28 * scale) << count << " messages";
    }
}

TEST_F(ConversationReadingTest, ADateRangeWithoutMessagesSaysSo) {
    auto view = openView(minutesApart(30));
    auto* empty = view->findChild<QLabel*>("empty_range");
    ASSERT_NE(empty, nullptr);
    EXPECT_FALSE(empty->isVisible());
    view->setDateRange(QDate(2025, 1, 1), QDate(2025, 2, 1));
    view->setEnableDateFilter(true);
    ASSERT_EQ(view->rows().rowCount(), 0);
    EXPECT_TRUE(empty->isVisible());
    EXPECT_EQ(empty->text(), "No messages between Jan 1, 2025 and Feb 1, 2025");
    view->setDateRange(QDate(2024, 3, 1), QDate(2024, 3, 1));
    EXPECT_EQ(view->rows().rowCount(), 30);
    EXPECT_FALSE(empty->isVisible());
    view->setDateRange(QDate(2024, 3, 2), QDate(2024, 3, 2));
    EXPECT_TRUE(empty->isVisible());
    EXPECT_EQ(empty->text(), "No messages between Mar 2, 2024 and Mar 2, 2024");
    view->setEnableDateFilter(false);
    EXPECT_FALSE(empty->isVisible());
}

// The toolbar's borderless buttons show where the keyboard is: a ring that stands out from the window.
TEST_F(ConversationReadingTest, KeyboardFocusIsVisibleOnTheToolbarButtons) {
    auto view = openView(minutesApart(3));
    view->activateWindow();
    QApplication::setActiveWindow(view.get());
    const QPalette light = view->palette();
    for (const bool dark : {false, true}) {
        view->setPalette(dark ? qbtest::darkPalette() : light);
        for (const char* name : {"edit_name", "edit_messages", "export_csv", "export_pdf"}) {
            auto* button = view->findChild<QPushButton*>(name);
            ASSERT_NE(button, nullptr) << name;
            EXPECT_GE(qbtest::focusVisibility(*button), 3.0)
                << name << (dark ? " (dark)" : "") << ": the focus does not show";
        }
    }
}

// Tab shows where it is at every stop of the sheet, in both palettes, reading and in edit mode: on the list's
// current message, the paging buttons and the default Save Copy; the jump buttons, a keyboard user's only way to the
// oldest and newest messages, are stops too. The labels sheet opened from the keyboard shows its focus as well.
TEST_F(ConversationReadingTest, EveryTabStopOfTheSheetShowsTheFocus) {
    auto view = openView(minutesApart(1200)); // a window of 500 in the middle: both paging buttons
    view->loadEarlierMessages();
    QApplication::setActiveWindow(view.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
    auto* oldest = view->findChild<QAbstractButton*>("jump_oldest");
    auto* newest = view->findChild<QAbstractButton*>("jump_newest");
    ASSERT_TRUE(oldest != nullptr && newest != nullptr);
    EXPECT_TRUE(qbtest::tabTo(*oldest)) << "Tab never reaches the jump to the oldest message";
    EXPECT_TRUE(qbtest::tabTo(*newest)) << "Tab never reaches the jump to the newest message";
    const QPalette light = QApplication::palette();
    for (const bool dark : {false, true}) {
        QApplication::setPalette(dark ? qbtest::darkPalette() : light);
        const char* palette = dark ? " (dark)" : " (light)";
        EXPECT_EQ(qbtest::unseenTabStops(*view), "") << "reading" << palette;
        view->enterEditMode();
        EXPECT_EQ(qbtest::unseenTabStops(*view), "") << "edit mode" << palette;
        view->cancelEdit();
        view->findChild<QPushButton*>("edit_name")->click();
        auto* labels = view->findChild<quillobrandt::ParticipantLabelsView*>();
        ASSERT_NE(labels, nullptr);
        QApplication::setActiveWindow(labels);
        ASSERT_TRUE(QTest::qWaitForWindowActive(labels));
        EXPECT_EQ(qbtest::unseenTabStops(*labels), "") << "labels sheet" << palette;
        labels->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QApplication::setActiveWindow(view.get());
    }
    QApplication::setPalette(light);
}

} // namespace
