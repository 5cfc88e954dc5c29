// Pictures of the conversation view for a look by eye: run with QB_CAPTURE_DIR set to a folder and
// open the PNGs. Skipped otherwise; it checks only that each picture could be taken.
#include <QCheckBox>
#include <QDir>
#include <QListView>
#include <gtest/gtest.h>

#include "Quillobrandt/conversation/ConversationDisplayView.h"
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

} // namespace
