#include "Quillobrandt/conversation/export/PDFSettingsView.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <sys/resource.h>

#include "Quillobrandt/conversation/ConversationDisplayView.h"
#include "Quillobrandt/conversation/MessageBubble.h"
#include "Quillobrandt/conversation/MessageList.h"
#include "Quillobrandt/conversation/export/PdfExportJobs.h"
#include "platform/core/Paths.h"
#include "tests/conversation/ConversationViewFixture.h"
#include "tests/support/qt/DarkPalette.h"
#include "tests/support/qt/FocusVisibility.h"

namespace {

using quillobrandt::Conversation;
using quillobrandt::Message;
using quillobrandt::PdfExportJobs;
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

// A conversation whose first message is so long that laying it out keeps the render busy for a while
// before its first page ends, followed by ordinary ones.
Conversation longRender() {
    Conversation conversation = smallConversation();
    std::string text;
    text.reserve(4'500'000);
    for (int i = 0; text.size() < 4'000'000; ++i) {
        text += "word" + std::to_string(i) + (i % 16 == 15 ? "\n" : " ");
    }
    Message huge = qbtest::makeMessage(QDate(2024, 1, 31), QTime(9, 0), text);
    huge.id = 1000;
    conversation.messages.insert(conversation.messages.begin(), huge);
    for (int i = 0; i < 2000; ++i) {
        Message message = qbtest::makeMessage(QDate(2024, 2, 3), QTime(9, 0).addSecs(i), "after " + std::to_string(i));
        message.id = 2000 + i;
        conversation.messages.push_back(message);
    }
    conversation.messageCount = static_cast<std::int64_t>(conversation.messages.size());
    return conversation;
}

// PDF files left in the private temporary folder.
QStringList temporaryPdfs() {
    return QDir(QString::fromStdString(platform::privateTempDir().string()))
        .entryList({QStringLiteral("*.pdf")}, QDir::Files);
}

class PdfDialogTest : public ::testing::Test, protected qbtest::ConversationViewFixture {
protected:
    std::unique_ptr<PDFSettingsView> dialog(const Conversation& c) {
        return std::make_unique<PDFSettingsView>(c, c.messages, state.get(), nullptr, &analytics);
    }
    // Runs an export started by `start` (the sheet's own call when none); whether the PDF was saved.
    bool runExport(PDFSettingsView& view, const std::function<void()>& start = {}) {
        bool finished = false;
        bool saved = false;
        QObject::connect(&view, &PDFSettingsView::exportFinished, [&](bool ok) {
            finished = true;
            saved = ok;
        });
        start ? start() : view.startGeneration();
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

// Tab shows where it is at every stop, in both palettes: Generate PDF, drawn as the default whether or not the
// keyboard is on it, too.
TEST_F(PdfDialogTest, EveryTabStopShowsTheFocus) {
    auto view = dialog(smallConversation());
    view->show();
    QApplication::setActiveWindow(view.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
    const QPalette light = QApplication::palette();
    for (const bool dark : {false, true}) {
        QApplication::setPalette(dark ? qbtest::darkPalette() : light);
        EXPECT_EQ(qbtest::unseenTabStops(*view), "") << (dark ? "dark" : "light");
    }
    QApplication::setPalette(light);
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
    // Started from the keyboard: Generate PDF, disabled while it renders, sent the keyboard on to the colour scheme,
    // where an arrow key changes it. The sheet stays once the panel is cancelled, with the keyboard back on the button.
    view->show();
    QApplication::setActiveWindow(view.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
    auto* generate = view->findChild<QPushButton*>("pdf_generate");
    generate->setFocus(Qt::TabFocusReason);
    EXPECT_FALSE(runExport(*view, [&] { QTest::keyClick(generate, Qt::Key_Space); }));
    EXPECT_FALSE(view->temporaryFile().isEmpty());
    EXPECT_FALSE(QFile::exists(view->temporaryFile()));
    EXPECT_FALSE(view->isGenerating());
    EXPECT_TRUE(generate->hasFocus()) << "focus is on "
                                      << (QApplication::focusWidget()
                                              ? QApplication::focusWidget()->metaObject()->className()
                                              : "nothing");
}

TEST_F(PdfDialogTest, AFailedMoveIsShownAndRemovesTheTemporaryFile) {
    auto view = dialog(smallConversation());
    fake.panels->answerNext(QString::fromStdString(file("x").parent_path().string()) + "/missing-folder/chat.pdf");
    EXPECT_FALSE(runExport(*view));
    ASSERT_EQ(fake.alerts->alerts().size(), 1u);
    EXPECT_EQ(fake.alerts->alerts()[0].messageText, "Failed to Save PDF");
    EXPECT_TRUE(fake.alerts->alerts()[0].informativeText.contains("missing-folder"));
    EXPECT_TRUE(fake.alerts->alerts()[0].informativeText.contains("No such file or directory"));
    EXPECT_FALSE(QFile::exists(view->temporaryFile()));
    EXPECT_FALSE(view->isGenerating());
    EXPECT_TRUE(temporaryPdfs().isEmpty());
}

TEST_F(PdfDialogTest, AFailedRenderIsShownWithoutASavePanel) {
    auto view = dialog(smallConversation());
    // Files may grow to 4 KB only: the render's writes fail as on a full disk.
    rlimit previous{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = previous;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    bool finished = false;
    QObject::connect(view.get(), &PDFSettingsView::exportFinished, [&](bool) { finished = true; });
    view->startGeneration();
    const bool done = view->waitForGeneration() && qbtest::waitUntil([&] { return finished; }, 10000);
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);
    ASSERT_TRUE(done);
    EXPECT_TRUE(fake.panels->saveRequests().empty()) << "nothing was written: nothing to save";
    ASSERT_EQ(fake.alerts->alerts().size(), 1u);
    EXPECT_EQ(fake.alerts->alerts()[0].messageText, "Failed to Save PDF");
    EXPECT_TRUE(fake.alerts->alerts()[0].informativeText.contains("File too large"))
        << fake.alerts->alerts()[0].informativeText.toStdString();
    EXPECT_FALSE(QFile::exists(view->temporaryFile()));
    EXPECT_TRUE(temporaryPdfs().isEmpty());
}

TEST_F(PdfDialogTest, AnExportOfNothingSaysSoAndWritesNoFile) {
    Conversation empty = smallConversation();
    // Only a reaction and an empty message: nothing the PDF would print.
    empty.messages.resize(2);
    empty.messages[0].associatedMessageGUID = "p:0/A";
    empty.messages[1].text.reset();
    empty.messages[1].attachments.clear();
    bool finished = false;
    bool saved = true;
    for (const auto& messages : {empty.messages, std::vector<Message>{}}) {
        PDFSettingsView view(empty, messages, state.get(), nullptr, &analytics);
        QObject::connect(&view, &PDFSettingsView::exportFinished, [&](bool ok) {
            finished = true;
            saved = ok;
        });
        view.startGeneration();
        EXPECT_TRUE(finished);
        EXPECT_FALSE(saved);
        EXPECT_FALSE(view.isGenerating());
        EXPECT_TRUE(view.temporaryFile().isEmpty());
    }
    EXPECT_TRUE(fake.panels->saveRequests().empty()) << "no save panel for an empty file";
    ASSERT_EQ(fake.alerts->alerts().size(), 2u);
    EXPECT_EQ(fake.alerts->alerts()[0].messageText, "Nothing to Export");
    EXPECT_EQ(fake.alerts->alerts()[0].informativeText, "There are no messages to export.");
    EXPECT_TRUE(temporaryPdfs().isEmpty());
}

TEST_F(PdfDialogTest, AMissingTemporaryFolderIsShown) {
    auto view = dialog(smallConversation());
    // A temporary folder below a plain file can be neither found nor made.
    const auto blocker = file("blocker");
    { QFile(QString::fromStdString(blocker.string())).open(QIODevice::WriteOnly); }
    const QByteArray previous = qgetenv("TMPDIR");
    qputenv("TMPDIR", QByteArray::fromStdString((blocker / "tmp").string()));
    bool finished = false;
    bool saved = true;
    QObject::connect(view.get(), &PDFSettingsView::exportFinished, [&](bool ok) {
        finished = true;
        saved = ok;
    });
    view->startGeneration();
    qputenv("TMPDIR", previous);
    EXPECT_TRUE(finished);
    EXPECT_FALSE(saved);
    EXPECT_FALSE(view->isGenerating());
    EXPECT_TRUE(fake.panels->saveRequests().empty());
    ASSERT_EQ(fake.alerts->alerts().size(), 1u);
    EXPECT_EQ(fake.alerts->alerts()[0].messageText, "Failed to Save PDF");
    EXPECT_TRUE(fake.alerts->alerts()[0].informativeText.contains("temporary folder"));
}

TEST_F(PdfDialogTest, ClosingTheConversationMidRenderNeitherWaitsNorLeavesAFile) {
    quillobrandt::installConversationExport(&analytics);
    const Conversation conversation = longRender();
    QPointer<QDialog> conversationSheet =
        quillobrandt::ConversationDisplayView::openAsSheet(conversation, state.get(), nullptr);
    conversationSheet->findChild<QPushButton*>("export_pdf")->click();
    auto* sheet = conversationSheet->findChild<PDFSettingsView*>();
    ASSERT_NE(sheet, nullptr);
    sheet->startGeneration();
    ASSERT_TRUE(qbtest::waitUntil([&] { return sheet->progressMessage() == "Preparing PDF..."; }, 20000));
    const auto job = sheet->currentJob();
    ASSERT_NE(job, nullptr);
    const QString temporary = sheet->temporaryFile();

    // The window manager closes the conversation; it goes, and takes the PDF sheet with it.
    conversationSheet->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_TRUE(conversationSheet.isNull());
    EXPECT_FALSE(job->isFinished()) << "the GUI thread did not wait for the render";
    EXPECT_TRUE(job->isCancelled());

    ASSERT_TRUE(qbtest::waitUntil([] { return PdfExportJobs::shared().activeJobs() == 0; }, 60000));
    EXPECT_TRUE(job->stoppedEarly());
    EXPECT_FALSE(QFile::exists(temporary));
    EXPECT_TRUE(temporaryPdfs().isEmpty());
    EXPECT_TRUE(fake.panels->saveRequests().empty());
    EXPECT_TRUE(fake.alerts->alerts().empty());
    quillobrandt::ConversationDisplayView::setPdfSheetFactory({});
    quillobrandt::setPictureReader({});
}

TEST_F(PdfDialogTest, CancelStopsTheRenderAndClosesTheSheet) {
    QWidget conversationWindow;
    const Conversation conversation = longRender();
    QPointer<PDFSettingsView> sheet =
        PDFSettingsView::openAsSheet(conversation, conversation.messages, state.get(), &conversationWindow, &analytics);
    sheet->startGeneration();
    ASSERT_TRUE(qbtest::waitUntil([&] { return sheet->progressMessage() == "Preparing PDF..."; }, 20000));
    const auto job = sheet->currentJob();
    ASSERT_NE(job, nullptr);
    const QString temporary = sheet->temporaryFile();
    bool finished = false;
    QObject::connect(sheet, &PDFSettingsView::exportFinished, [&](bool) { finished = true; });

    sheet->findChild<QPushButton*>("pdf_cancel")->click();
    EXPECT_FALSE(job->isFinished());
    EXPECT_TRUE(job->isCancelled());
    ASSERT_TRUE(qbtest::waitUntil([&] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return sheet.isNull();
    }));
    ASSERT_TRUE(qbtest::waitUntil([] { return PdfExportJobs::shared().activeJobs() == 0; }, 60000));
    EXPECT_TRUE(job->stoppedEarly());
    EXPECT_FALSE(finished);
    EXPECT_FALSE(QFile::exists(temporary));
    EXPECT_TRUE(temporaryPdfs().isEmpty());
    EXPECT_TRUE(fake.panels->saveRequests().empty());
}

namespace {

// Every control that shows is at least as large as it asks to be (word-wrapped text: as tall as
// its width needs), and the sheet is on the screen.
void expectEverythingWhole(PDFSettingsView& view, const std::string& state) {
    const QRect screen = view.screen()->availableGeometry();
    EXPECT_LE(view.height(), screen.height()) << state;
    EXPECT_LE(view.width(), screen.width()) << state;
    QScrollArea* area = view.optionsArea();
    for (QWidget* widget : view.findChildren<QWidget*>()) {
        if (!widget->isVisibleTo(&view) || widget == area || widget == area->viewport() ||
            qobject_cast<QScrollBar*>(widget) || widget->parentWidget() == area) {
            continue;
        }
        const QString name = widget->metaObject()->className() + QStringLiteral(" ") + widget->objectName();
        if (widget->hasHeightForWidth()) {
            EXPECT_GE(widget->height(), widget->heightForWidth(widget->width())) << state << " " << name.toStdString();
            continue;
        }
        const QSize hint = widget->sizeHint();
        if (hint.isValid()) {
            EXPECT_GE(widget->width(), hint.width()) << state << " " << name.toStdString();
            EXPECT_GE(widget->height(), hint.height()) << state << " " << name.toStdString();
        }
    }
    // The options only scroll when the screen is too short for them.
    if (view.height() < screen.height() - 60) {
        EXPECT_EQ(area->verticalScrollBar()->maximum(), 0) << state;
    }
}

} // namespace

TEST_F(PdfDialogTest, EveryOptionCombinationShowsEveryControlWhole) {
    const Conversation conversation = longRender();
    auto view = dialog(conversation);
    view->show();
    const auto check = [&](bool generating) {
        for (const auto scheme : {quillobrandt::PDFColorScheme::quillobrandt,
                                  quillobrandt::PDFColorScheme::professional, quillobrandt::PDFColorScheme::custom}) {
            for (int flags = 0; flags < 8; ++flags) {
                quillobrandt::PDFSettings settings;
                settings.colorScheme = scheme;
                settings.includePageNumbers = flags & 1;
                settings.addBindingMargin = flags & 2;
                settings.ultraDenseMode = flags & 4;
                view->setSettings(settings);
                QCoreApplication::processEvents();
                const std::string state = "scheme " + std::to_string(static_cast<int>(scheme)) + ", flags " +
                                          std::to_string(flags) + (generating ? ", generating" : "");
                ASSERT_EQ(view->isGenerating(), generating) << state;
                expectEverythingWhole(*view, state);
            }
        }
    };
    check(false);
    view->startGeneration();
    check(true);
    view->reject();
    EXPECT_FALSE(view->isGenerating());
    expectEverythingWhole(*view, "after cancel");
    ASSERT_TRUE(qbtest::waitUntil([] { return PdfExportJobs::shared().activeJobs() == 0; }, 60000));
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
    EXPECT_EQ(sheet->conversation().get(), &view.model().conversation()) << "the sheet reads the view's messages";
    sheet->reject();

    // Messages deleted in edit mode and applied are left out of the next export, wherever they were.
    view.enterEditMode();
    view.deleteMessage(big.messages[1]);
    view.deleteMessage(big.messages[300]);
    view.applyChanges();
    view.findChild<QPushButton*>("export_pdf")->click();
    const auto sheets = view.findChildren<PDFSettingsView*>();
    ASSERT_FALSE(sheets.isEmpty());
    const auto& exported = sheets.back()->messages();
    ASSERT_EQ(exported.size(), 604u);
    EXPECT_EQ(exported[1].id, big.messages[2].id);
    EXPECT_TRUE(
        std::none_of(exported.begin(), exported.end(), [&](const Message& m) { return m.id == big.messages[300].id; }));
    sheets.back()->reject();
    quillobrandt::ConversationDisplayView::setPdfSheetFactory({});
    quillobrandt::setPictureReader({});
}

} // namespace
