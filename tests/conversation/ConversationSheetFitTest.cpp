// The conversation sheet on the screen it opens on. CTest also runs these on a 1366 by 768 screen at scale 1.5
// (see this folder's CMakeLists.txt), where the free area is about 910 by 512 logical pixels.
#include <QDialog>
#include <QListView>
#include <QScreen>
#include <QToolButton>
#include <gtest/gtest.h>

#include "Quillobrandt/app/ScreenFit.h"
#include "tests/conversation/ConversationViewFixture.h"

namespace {

class ConversationSheetFit : public ::testing::Test, protected qbtest::ConversationViewFixture {};

TEST_F(ConversationSheetFit, TheSheetFitsTheFreeAreaWithItsToolbarWholeAndTheListShrinking) {
    quillobrandt::Conversation conversation;
    conversation.participants = {"+15551234567"};
    for (int i = 0; i < 30; ++i) {
        conversation.messages.push_back(
            qbtest::makeMessage(QDate(2024, 3, 9), QTime(9, i), "Message " + std::to_string(i), i % 2 == 0));
    }
    conversation.messageCount = conversation.messages.size();
    QWidget window;
    window.resize(400, 300);
    window.show();
    QDialog* sheet = quillobrandt::ConversationDisplayView::openAsSheet(conversation, state.get(), &window);
    auto* view = sheet->findChild<quillobrandt::ConversationDisplayView*>();
    ASSERT_NE(view, nullptr);
    ASSERT_TRUE(qbtest::waitUntil([&] { return !view->isLoading(); }));
    QCoreApplication::processEvents();

    const QRect available = sheet->screen()->availableGeometry();
    // The offscreen platform makes a window one pixel larger each way than it was asked to be.
    const QSize room = available.size() - quillobrandt::frameExtent(*sheet) + QSize(1, 1);
    const auto describe = [&] {
        return std::to_string(sheet->width()) + "x" + std::to_string(sheet->height()) + " (least " +
               std::to_string(sheet->minimumSizeHint().width()) + "x" +
               std::to_string(sheet->minimumSizeHint().height()) + ") on " + std::to_string(available.width()) +
               "x" + std::to_string(available.height());
    };
    EXPECT_LE(sheet->width(), room.width()) << describe();
    EXPECT_LE(sheet->height(), room.height()) << describe();
    EXPECT_LE(sheet->minimumSize().expandedTo(sheet->minimumSizeHint()).height(), room.height()) << describe();
    EXPECT_TRUE(available.contains(sheet->frameGeometry().topLeft())) << describe();
    if (room.width() >= 1125 && room.height() >= 1000) {
        EXPECT_EQ(sheet->size(), QSize(1125, 1000)) << "the designed size where the screen has room";
    }

    // Every toolbar button keeps its own width and height inside the sheet; the list takes what is left.
    for (const QToolButton* button : view->findChildren<QToolButton*>()) {
        if (!button->isVisibleTo(sheet)) {
            continue;
        }
        EXPECT_GE(button->width(), button->minimumSizeHint().width()) << button->objectName().toStdString();
        EXPECT_GE(button->height(), button->minimumSizeHint().height()) << button->objectName().toStdString();
        const QRect inSheet(button->mapTo(sheet, QPoint(0, 0)), button->size());
        EXPECT_TRUE(sheet->rect().contains(inSheet)) << button->objectName().toStdString() << " " << describe();
    }
    auto* list = view->findChild<QListView*>("message_list");
    ASSERT_NE(list, nullptr);
    EXPECT_GT(list->viewport()->height(), 100) << describe();
    sheet->close();
    QCoreApplication::processEvents();
}

} // namespace
