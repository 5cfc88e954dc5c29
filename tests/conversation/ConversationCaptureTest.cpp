// Pictures of the conversation view for a look by eye: run with QB_CAPTURE_DIR set to a folder and
// open the PNGs. Skipped otherwise; it checks only that each picture could be taken.
#include <QCheckBox>
#include <QDir>
#include <QListView>
#include <gtest/gtest.h>

#include "Quillobrandt/conversation/ConversationDisplayView.h"
#include "Quillobrandt/conversation/export/PDFGenerator.h"
#include "Quillobrandt/store/DatabaseManager.h"
#include "tests/conversation/ConversationViewFixture.h"

namespace {

using quillobrandt::Conversation;
using quillobrandt::ConversationDisplayView;
using quillobrandt::Message;

class ConversationCaptureTest : public ::testing::Test, protected qbtest::ConversationViewFixture {
protected:
    void SetUp() override {
        folder = qEnvironmentVariable("QB_CAPTURE_DIR");
        if (folder.isEmpty()) {
            GTEST_SKIP() << "set QB_CAPTURE_DIR to take pictures";
        }
        QDir().mkpath(folder);
    }

    std::unique_ptr<ConversationDisplayView> open(const Conversation& conversation, QSize size = {1125, 900}) {
        auto view = std::make_unique<ConversationDisplayView>(conversation, state.get(), nullptr, &analytics);
        view->resize(size);
        view->show();
        EXPECT_TRUE(qbtest::waitUntil([&] { return !view->isLoading(); }));
        return view;
    }

    void shoot(QWidget& view, const QString& name) {
        qbtest::waitUntil([] { return false; }, 200);
        const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".png");
        EXPECT_TRUE(view.grab().save(path)) << path.toStdString();
    }

    QString folder;
};

Conversation generated(int count, std::vector<std::string> participants) {
    Conversation conversation;
    conversation.id = "9";
    conversation.participants = participants;
    const QDateTime first(QDate(2024, 3, 1), QTime(8, 0), Qt::LocalTime);
    const std::vector<std::string> texts{
        "Morning! Are we still on for Saturday?",
        "Yes. I booked the table for seven, under \"Ann\".",
        "Supercalifragilisticexpialidocious-and-then-some-more-without-any-spaces-at-all-to-break-on-anywhere",
        "ok",
        "Here is a longer message that should wrap across several lines at word boundaries rather than in "
        "the middle of words, so that it reads naturally.",
    };
    for (int i = 0; i < count; ++i) {
        const QDateTime at = first.addSecs(3600LL * 5 * i);
        const bool mine = i % 3 == 0;
        Message message = qbtest::makeMessage(at.date(), at.time(), texts[static_cast<std::size_t>(i) % texts.size()],
                                              mine, participants[static_cast<std::size_t>(i) % participants.size()]);
        message.id = i + 1;
        if (i % 7 == 4) {
            message.associatedMessageGUID = "p:0/X";
        }
        conversation.messages.push_back(message);
    }
    conversation.messageCount = count;
    return conversation;
}

TEST_F(ConversationCaptureTest, RealDatabase) {
    const auto copy = file("capture/sms.db");
    // The real database is only ever read through a copy.
    const QString given = qEnvironmentVariable("QB_CAPTURE_SMS_DB");
    const std::filesystem::path original = given.isEmpty() ? std::filesystem::path(QB_SHARED_TESTDATA) / "ios-sms.db"
                                                           : std::filesystem::path(given.toStdString());
    std::filesystem::copy_file(original, copy, std::filesystem::copy_options::overwrite_existing);
    quillobrandt::DatabaseManager manager;
    auto conversations = manager.openDatabase(copy);
    ASSERT_FALSE(conversations.empty());
    state->setDatabaseURL(copy);
    std::sort(conversations.begin(), conversations.end(),
              [](const auto& a, const auto& b) { return a.messages.size() > b.messages.size(); });
    auto view = open(conversations[0]);
    shoot(*view, "real-largest");
    for (const auto& conversation : conversations) {
        const bool pictures = std::any_of(conversation.messages.begin(), conversation.messages.end(),
                                          [](const Message& m) { return m.hasImageAttachment(); });
        if (pictures) {
            auto withPictures = open(conversation);
            shoot(*withPictures, "real-pictures-" + QString::fromStdString(conversation.id));
        }
    }
}

TEST_F(ConversationCaptureTest, GroupOfThreeAndEditMode) {
    auto view = open(generated(40, {"+15551234567", "bob@example.com", "carol@example.com"}));
    state->setParticipantLabel("+15551234567", "Ann \"Nickname\" Smith");
    shoot(*view, "group-of-three");
    view->enterEditMode();
    shoot(*view, "edit-mode");
    view->cancelEdit();
    view->resize(700, 900);
    shoot(*view, "group-narrow");
}

TEST_F(ConversationCaptureTest, HundredThousandMessages) {
    auto view = open(generated(100000, {"+15551234567"}));
    shoot(*view, "hundred-thousand");
    view->jumpToOldest();
    ASSERT_TRUE(qbtest::waitUntil([&] { return view->showsPositionBanner(); }));
    shoot(*view, "hundred-thousand-oldest");
}

TEST_F(ConversationCaptureTest, JoinedEmojiOnScreenAndInThePdf) {
    const std::string shrug = "\xF0\x9F\xA4\xB7\xE2\x80\x8D\xE2\x99\x80\xEF\xB8\x8F";
    std::string shrugs;
    for (int i = 0; i < 120; ++i) {
        shrugs += shrug;
    }
    std::string tall;
    for (int i = 0; i < 1200; ++i) {
        tall += "w" + std::to_string(10000 + i) + (i % 40 == 39 ? "\n" : " ");
    }
    Conversation conversation;
    conversation.id = "7";
    conversation.participants = {"+15551234567"};
    const QDate day(2024, 3, 1);
    conversation.messages = {
        qbtest::makeMessage(day, QTime(9, 0), shrugs),
        qbtest::makeMessage(
            day, QTime(9, 1),
            "Pride \xF0\x9F\x8F\xB3\xEF\xB8\x8F\xE2\x80\x8D\xF0\x9F\x8C\x88 and 1\xEF\xB8\x8F\xE2\x83\xA3", true),
        qbtest::makeMessage(day, QTime(9, 2),
                            "\xF0\x9F\x8F\xB3\xEF\xB8\x8F\xE2\x80\x8D\xF0\x9F\x8C\x88 1\xEF\xB8\x8F\xE2\x83\xA3 "
                            "2\xEF\xB8\x8F\xE2\x83\xA3 #\xEF\xB8\x8F\xE2\x83\xA3"),
        qbtest::makeMessage(day, QTime(9, 3), tall),
    };
    for (std::size_t i = 0; i < conversation.messages.size(); ++i) {
        conversation.messages[i].id = static_cast<std::int64_t>(i) + 1;
    }
    conversation.messageCount = static_cast<std::int64_t>(conversation.messages.size());
    auto view = open(conversation, {900, 900});
    view->findChild<QListView*>("message_list")->scrollToTop();
    shoot(*view, "joined-emoji");
    // Export CSV from the keyboard while it writes: the button busy; then the focus back on it.
    fake.panels->answerNext(folder + QStringLiteral("/joined-emoji.csv"));
    view->activateWindow();
    view->findChild<QWidget*>(QStringLiteral("export_csv"))->setFocus(Qt::TabFocusReason);
    view->presentCSVPanel();
    EXPECT_TRUE(view->grab().save(folder + QStringLiteral("/csv-exporting.png")));
    EXPECT_TRUE(qbtest::finishCsvExport(*view));
    shoot(*view, "csv-exported");

    const QString pdf = folder + QStringLiteral("/joined-emoji.pdf");
    ASSERT_TRUE(
        quillobrandt::PDFGenerator::generatePDF(conversation.messages, conversation.participants, {}, {}, pdf).written);
    qbtest::runTool(QStringLiteral("pdftoppm"), {QStringLiteral("-r"), QStringLiteral("110"), QStringLiteral("-png"),
                                                 pdf, folder + QStringLiteral("/joined-emoji-pdf")});
}

} // namespace
