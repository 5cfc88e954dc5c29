// What a reader of an opened conversation sees, measured on the drawn pixels and the list's geometry.
#include <QListView>
#include <QPalette>
#include <gtest/gtest.h>

#include "Quillobrandt/conversation/ConversationDisplayView.h"
#include "Quillobrandt/conversation/MessageList.h"
#include "tests/conversation/ConversationViewFixture.h"

namespace {

using quillobrandt::AppTheme;
using quillobrandt::Conversation;
using quillobrandt::ConversationDisplayView;
using quillobrandt::Message;

QPalette darkPalette(QPalette palette) {
    for (const auto role : {QPalette::Window, QPalette::Button}) {
        palette.setColor(role, QColor(0x2B, 0x2B, 0x2B));
    }
    palette.setColor(QPalette::Base, QColor(0x1E, 0x1E, 0x1E));
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        palette.setColor(role, QColor(0xEE, 0xEE, 0xEE));
    }
    return palette;
}

class ConversationReadingTest : public ::testing::Test, protected qbtest::ConversationViewFixture {
protected:
    static QListView* listOf(QWidget& view) { return view.findChild<QListView*>("message_list"); }

    // The text of row `row`'s bubble as drawn on the list.
    static qbtest::TextSample bubbleText(ConversationDisplayView& view, int row) {
        QListView* list = listOf(view);
        QCoreApplication::processEvents(); // the rows are laid out again after a theme or palette change
        const QImage shot = list->viewport()->grab().toImage();
        const QRect rowRect = list->visualRect(list->model()->index(row, 0));
        const auto geometry = quillobrandt::layoutMessageRow(view.rows().rowAt(row), list->viewport()->width());
        return qbtest::sampleText(shot, geometry.textArea.translated(rowRect.topLeft()).toAlignedRect());
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
        view->setPalette(dark ? darkPalette(light) : light);
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

} // namespace
