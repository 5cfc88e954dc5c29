// The conversation sheet on the screen it opens on. CTest also runs these on a 1366 by 768 screen at scales 1.5
// and 2 (see this folder's CMakeLists.txt), where the free area is about 910 by 512 and 683 by 384 logical pixels.
#include <QAbstractButton>
#include <QDialog>
#include <QListView>
#include <QScreen>
#include <gtest/gtest.h>

#include "Quillobrandt/app/ScreenFit.h"
#include "tests/conversation/ConversationViewFixture.h"

namespace {

class ConversationSheetFit : public ::testing::Test, protected qbtest::ConversationViewFixture {};

// Every control of the header shows its whole title (the room its style leaves for the text holds the text's
// full width), lies inside the sheet and overlaps no other control.
void expectHeaderReadable(const QWidget& sheet, const QWidget& view, const std::string& context) {
    const auto* header = view.findChild<QWidget*>("conversation_header");
    ASSERT_NE(header, nullptr);
    std::vector<std::pair<QString, QRect>> placed;
    for (const QWidget* part : header->findChildren<QWidget*>()) {
        if (!part->isVisibleTo(&sheet) || part->findChildren<QWidget*>().size() > 0) {
            continue; // containers hold the controls checked here
        }
        const QString name =
            part->objectName().isEmpty() ? QString::fromLatin1(part->metaObject()->className()) : part->objectName();
        const QRect inSheet(part->mapTo(&sheet, QPoint(0, 0)), part->size());
        EXPECT_TRUE(sheet.rect().contains(inSheet)) << name.toStdString() << " " << context;
        if (const auto* button = qobject_cast<const QAbstractButton*>(part); button && !button->text().isEmpty()) {
            const int textWidth = button->fontMetrics().horizontalAdvance(button->text());
            const int room = button->width() - (button->sizeHint().width() - textWidth);
            EXPECT_GE(room, textWidth) << "'" << button->text().toStdString() << "' cut short, " << context;
            EXPECT_GE(button->height(), button->sizeHint().height()) << button->text().toStdString() << " " << context;
        }
        for (const auto& [other, rect] : placed) {
            EXPECT_FALSE(rect.intersects(inSheet))
                << name.toStdString() << " overlaps " << other.toStdString() << ", " << context;
        }
        placed.emplace_back(name, inSheet);
    }
}

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
    const QSize room = available.size() - quillobrandt::frameExtent(*sheet);
    const auto describe = [&] {
        return std::to_string(sheet->width()) + "x" + std::to_string(sheet->height()) + " (least " +
               std::to_string(sheet->minimumSizeHint().width()) + "x" +
               std::to_string(sheet->minimumSizeHint().height()) + ") on " + std::to_string(available.width()) + "x" +
               std::to_string(available.height());
    };
    EXPECT_LE(sheet->width(), room.width()) << describe();
    EXPECT_LE(sheet->height(), room.height()) << describe();
    EXPECT_LE(sheet->minimumSize().expandedTo(sheet->minimumSizeHint()).height(), room.height()) << describe();
    EXPECT_TRUE(available.contains(sheet->frameGeometry().topLeft())) << describe();
    if (room.width() >= 1125 && room.height() >= 1000) {
        EXPECT_EQ(sheet->size(), QSize(1125, 1000)) << "the designed size where the screen has room";
    }

    expectHeaderReadable(*sheet, *view, describe());
    view->enterEditMode();
    QCoreApplication::processEvents();
    expectHeaderReadable(*sheet, *view, describe() + " in edit mode");
    view->cancelEdit();
    QCoreApplication::processEvents();
    auto* list = view->findChild<QListView*>("message_list");
    ASSERT_NE(list, nullptr);
    EXPECT_GT(list->viewport()->height(), 100) << describe();
    sheet->close();
    QCoreApplication::processEvents();
}

// Narrower still than the toolbar's titles need: its controls show their symbols alone, each named by its
// tooltip and accessible name, and still overlap nothing; given the room again, the titles come back.
TEST_F(ConversationSheetFit, ATooNarrowToolbarShowsItsSymbolsNamedByTheirTooltips) {
    quillobrandt::Conversation conversation;
    conversation.participants = {"+15551234567"};
    conversation.messages.push_back(qbtest::makeMessage(QDate(2024, 3, 9), QTime(9, 0), "Hello", true));
    conversation.messageCount = 1;
    auto view = openView(conversation, {420, 500});
    QCoreApplication::processEvents();
    const QStringList titles = {"Show Media", "Edit Name", "Edit Messages", "Export CSV", "Export PDF"};
    const auto control = [&](const QString& title) {
        for (auto* button : view->findChildren<QAbstractButton*>()) {
            if (button->text() == title) {
                return button;
            }
        }
        return static_cast<QAbstractButton*>(nullptr);
    };
    for (const QString& title : titles) {
        QAbstractButton* button = control(title);
        ASSERT_NE(button, nullptr) << title.toStdString();
        EXPECT_TRUE(button->isVisible()) << title.toStdString();
        EXPECT_TRUE(button->property("compact").toBool()) << title.toStdString();
        EXPECT_EQ(button->toolTip(), title);
        EXPECT_EQ(button->accessibleName().isEmpty() ? button->text() : button->accessibleName(), title);
        EXPECT_GE(button->width(), button->minimumSizeHint().width()) << title.toStdString();
    }
    const auto* header = view->findChild<QWidget*>("conversation_header");
    ASSERT_NE(header, nullptr);
    std::vector<QRect> placed;
    for (const QString& title : titles) {
        const QAbstractButton* button = control(title);
        const QRect inView(button->mapTo(view.get(), QPoint(0, 0)), button->size());
        EXPECT_TRUE(view->rect().contains(inView)) << title.toStdString();
        for (const QRect& other : placed) {
            EXPECT_FALSE(other.intersects(inView)) << title.toStdString();
        }
        placed.push_back(inView);
    }

    view->resize(1125, 700);
    QCoreApplication::processEvents();
    for (const QString& title : titles) {
        EXPECT_FALSE(control(title)->property("compact").toBool()) << title.toStdString();
        EXPECT_TRUE(control(title)->toolTip().isEmpty()) << title.toStdString();
    }
    expectHeaderReadable(*view, *view, "at 1125 wide");
}

} // namespace
