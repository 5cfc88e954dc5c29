#include "Quillobrandt/conversation/export/PDFSettingsView.h"

#include <QFile>
#include <QPushButton>
#include <gtest/gtest.h>

#include "Quillobrandt/conversation/ConversationDisplayView.h"
#include "Quillobrandt/conversation/MessageBubble.h"
#include "Quillobrandt/conversation/MessageList.h"
#include "tests/conversation/ConversationViewFixture.h"

namespace {

using quillobrandt::Conversation;
using quillobrandt::Message;
using quillobrandt::PDFSettingsView;

Conversation smallConversation(std::vector<std::string> participants = {"A/B", "C:D"}) {
    Conversation conversation;
    conversation.id = "3";
    conversation.participants = std::move(participants);
    for (int i = 0; i < 5; ++i) {
        Message message = qbtest::makeMessage(QDate(2024, 2, 1), QTime(10, i), "hello " + std::to_string(i), i % 2);
        message.id = i + 1;
        conversation.messages.push_back(message);
    }
    Message reaction = qbtest::makeMessage(QDate(2024, 2, 1), QTime(11, 0), "Liked");
    reaction.associatedMessageGUID = "p:0/X";
    conversation.messages.push_back(reaction);
    conversation.messageCount = 6;
    return conversation;
}

class PdfDialogTest : public ::testing::Test, protected qbtest::ConversationViewFixture {
protected:
    std::unique_ptr<PDFSettingsView> dialog(const Conversation& c) {
        return std::make_unique<PDFSettingsView>(c, c.messages, state.get(), nullptr, &analytics);
    }
    bool runExport(PDFSettingsView& view) {
        bool finished = false;
        bool saved = false;
        QObject::connect(&view, &PDFSettingsView::exportFinished, [&](bool ok) {
            finished = true;
            saved = ok;
        });
        view.startGeneration();
        EXPECT_TRUE(view.isGenerating());
        EXPECT_TRUE(view.waitForGeneration());
        EXPECT_TRUE(qbtest::waitUntil([&] { return finished; }, 10000));
        return saved;
    }
};

TEST_F(PdfDialogTest, ControlsAndExportName) {
    auto view = dialog(smallConversation());
    EXPECT_EQ(view->exportName(), "A-B, C-D");
    EXPECT_FALSE(view->isCustomColorPickerShown());
    EXPECT_FALSE(view->isBindingCaptionShown());
    quillobrandt::PDFSettings settings;
    settings.colorScheme = quillobrandt::PDFColorScheme::custom;
    settings.addBindingMargin = true;
    settings.ultraDenseMode = true;
    view->setSettings(settings);
    EXPECT_TRUE(view->isCustomColorPickerShown());
    EXPECT_TRUE(view->isBindingCaptionShown());
    EXPECT_TRUE(view->isUltraDenseCaptionShown());
    EXPECT_EQ(view->settings().fontSize, 8.0);
    EXPECT_EQ(view->percentText(), "0%");

    auto group = dialog(smallConversation({"a", "b", "c", "d", "e"}));
    EXPECT_EQ(group->exportName(), "a, b, c, d, e");
}

TEST_F(PdfDialogTest, GeneratesAndMovesTheFileToTheChosenPlace) {
    auto view = dialog(smallConversation());
    const auto target = file("out/chat.pdf");
    {
        QFile old(QString::fromStdString(target.string()));
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("old");
    }
    fake.panels->answerNext(QString::fromStdString(target.string()));
    EXPECT_TRUE(runExport(*view));
    ASSERT_EQ(fake.panels->saveRequests().size(), 1u);
    EXPECT_EQ(fake.panels->saveRequests()[0].suggestedName, "A-B, C-D.pdf");
    EXPECT_EQ(view->percentText(), "100%");
    const QString text = qbtest::pdfText(QString::fromStdString(target.string()));
    EXPECT_TRUE(text.contains("hello 4"));
    EXPECT_FALSE(text.contains("Liked")) << "reactions are left out";
    EXPECT_FALSE(QFile::exists(view->temporaryFile()));
}

TEST_F(PdfDialogTest, CancelledPanelRemovesTheTemporaryFile) {
    auto view = dialog(smallConversation());
    EXPECT_FALSE(runExport(*view));
    EXPECT_FALSE(view->temporaryFile().isEmpty());
    EXPECT_FALSE(QFile::exists(view->temporaryFile()));
    EXPECT_FALSE(view->isGenerating());
}

TEST_F(PdfDialogTest, ToolbarButtonOpensTheSheetWithTheFilteredMessages) {
    quillobrandt::installConversationExport(&analytics);
    Conversation big = smallConversation();
    for (int i = 0; i < 600; ++i) {
        Message message = qbtest::makeMessage(QDate(2024, 2, 2), QTime(9, 0).addSecs(i), "more");
        message.id = 100 + i;
        big.messages.push_back(message);
    }
    quillobrandt::ConversationDisplayView view(big, state.get(), nullptr, &analytics);
    view.show();
    view.findChild<QPushButton*>("export_pdf")->click();
    auto* sheet = view.findChild<PDFSettingsView*>();
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
    EXPECT_EQ(view.rows().rowCount(), 500);
    EXPECT_EQ(sheet->messages().size(), 606u) << "every filtered message, not only the shown window";
    sheet->reject();
    quillobrandt::ConversationDisplayView::setPdfSheetFactory({});
    quillobrandt::setPictureReader({});
}

} // namespace
