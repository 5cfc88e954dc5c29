// Password entry, extraction into the working folder, the load reaching AppState and the saved extraction.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>

#include <nlohmann/json.hpp>

#include "Quillobrandt/store/Logger.h"
#include "Quillobrandt/wizard/SavedExtractions.h"
#include "Quillobrandt/wizard/iPhoneBackupWizardView.h"
#include "tests/support/BackupGenerator.h"
#include "tests/support/MessagesDatabaseBuilder.h"
#include "tests/support/qt/EventLoop.h"
#include "tests/wizard/WizardTestSupport.h"

namespace quillobrandt {
namespace {

namespace fs = std::filesystem;

// An encrypted backup holding a Messages database with one conversation of two messages.
fs::path writeEncryptedBackup(const std::string& password) {
    const fs::path phoneDb = qbtest::IsolatedHome::root() / "phone" / "sms.db";
    fs::create_directories(phoneDb.parent_path());
    {
        qbtest::MessagesDatabaseBuilder builder(phoneDb);
        const auto chat = builder.addOneToOneChat("+15557654321");
        for (const char* text : {"hello from the phone", "second message"}) {
            qbtest::MessageRow message;
            message.text = text;
            message.date = qbtest::storedNanoseconds(700'000'000);
            message.handleId = chat.handleId;
            builder.addMessageToChat(chat.chatId, message);
        }
        builder.finish();
    }
    qbtest::BackupGenerator::Options options;
    options.encrypted = true;
    options.password = password;
    qbtest::BackupGenerator generator(options);
    generator.addFile("HomeDomain", "Library/SMS/sms.db", qbtest::bytesOf(qbtest::readWholeFile(phoneDb)));
    return generator.write(qbtest::IsolatedHome::root() / "backup" / "00008120-001A2B3C4D5E6F70");
}

std::vector<fs::path> extractionFolders() {
    std::vector<fs::path> folders;
    for (const auto& entry : fs::directory_iterator(platform::cachesDir())) {
        if (entry.path().filename().string().rfind("Quillobrandt_", 0) == 0) {
            folders.push_back(entry.path());
        }
    }
    return folders;
}

class ExtractionTest : public ::testing::Test {
protected:
    wizardtest::WizardEnvironment env;
    wizardtest::FakeTools tools;
};

TEST_F(ExtractionTest, RightPasswordLoadsTheMessagesAndSavingRemembersTheExtraction) {
    const fs::path backup = writeEncryptedBackup("correct horse");
    const auto before = qbtest::snapshotFolder(backup);
    std::vector<QVariantMap> resizes;
    env.hub.addObserver(platform::notification::resizeWindow, &env.hub,
                        [&resizes](const QVariantMap& info) { resizes.push_back(info); });

    iPhoneBackupWizardView wizard(env.appState, nullptr, &env.hub);
    wizard.handleBackupFolderSelection(backup);
    wizard.findChild<QLineEdit*>("passwordField")->setText("correct horse");
    emit wizard.findChild<QLineEdit*>("passwordField")->textEdited("correct horse");
    wizard.findChild<QPushButton*>("extractButton")->click();
    EXPECT_EQ(wizard.currentStepNumber(), 4);
    EXPECT_TRUE(wizard.isExtracting());

    ASSERT_TRUE(wizard.waitForExtraction());
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return wizard.saveDialog() != nullptr; }));
    EXPECT_TRUE(env.fake.alerts->alerts().empty());

    // The conversations reached the application state from a private working folder.
    ASSERT_EQ(env.appState.conversations().size(), 1u);
    const auto folders = extractionFolders();
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_EQ(fs::status(folders[0]).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(env.appState.databaseURL(), folders[0] / "sms.db");
    EXPECT_FALSE(env.appState.isIPhoneBackup()); // no image attachments counts as extracted
    EXPECT_EQ(wizard.pendingExtractionPath(), folders[0] / "sms.db");
    ASSERT_EQ(resizes.size(), 1u);
    EXPECT_EQ(platform::resizeWindowSize(resizes[0]), QSizeF(810, 690));
    EXPECT_TRUE(wizard.isExtracting()); // the panel stays until the wizard closes
    EXPECT_TRUE(wizard.saveExtractionName().startsWith("iPhone Backup "));
    EXPECT_EQ(qbtest::snapshotFolder(backup), before); // the backup is only read
    EXPECT_FALSE(wizard.isAccessingBackupResource());
    EXPECT_EQ(Logger::shared().getAllLogs().find("correct horse"), std::string::npos);

    // Clearing the name disables Save; saving stores one entry and closes the wizard.
    auto* dialog = wizard.saveDialog();
    dialog->nameField()->setText("");
    EXPECT_FALSE(dialog->saveButton()->isEnabled());
    EXPECT_TRUE(dialog->skipButton()->isEnabled());
    dialog->nameField()->setText("Holiday phone");
    dialog->saveButton()->click();
    EXPECT_FALSE(wizard.isPresented());

    const auto stored = platform::UserDefaults::standard().data(kSavedExtractionsKey);
    ASSERT_TRUE(stored);
    const std::string text(stored->begin(), stored->end());
    EXPECT_NE(text.find("\\/sms.db"), std::string::npos);
    const auto json = nlohmann::json::parse(text);
    ASSERT_EQ(json.size(), 1u);
    EXPECT_EQ(json[0]["name"], "Holiday phone");
    EXPECT_EQ(json[0]["path"], (folders[0] / "sms.db").string());
    EXPECT_NEAR(json[0]["date"].get<double>(), platform::AbsoluteTime::now().secondsSinceReferenceDate, 60.0);
}

TEST_F(ExtractionTest, WrongPasswordShowsTheBackupErrorAndAllowsAnotherTry) {
    const fs::path backup = writeEncryptedBackup("correct horse");
    iPhoneBackupWizardView wizard(env.appState, nullptr, &env.hub);
    wizard.handleBackupFolderSelection(backup);
    wizard.setBackupPassword("wrong");
    wizard.extractMessagesAction();
    ASSERT_TRUE(wizard.waitForExtraction());
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return !env.fake.alerts->alerts().empty(); }));
    EXPECT_TRUE(env.fake.alerts->alerts()[0].informativeText.startsWith("Extraction failed: "));
    EXPECT_FALSE(wizard.isExtracting());
    EXPECT_TRUE(wizard.findChild<QPushButton*>("extractButton")->isVisibleTo(&wizard));
    EXPECT_TRUE(env.appState.conversations().empty());

    // A second try makes a second working folder.
    wizard.extractMessagesAction();
    ASSERT_TRUE(wizard.waitForExtraction());
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return env.fake.alerts->alerts().size() == 2; }));
    EXPECT_EQ(extractionFolders().size(), 2u);
}

TEST_F(ExtractionTest, SkippingStoresNothing) {
    const fs::path backup = writeEncryptedBackup("pw");
    platform::UserDefaults::standard().remove(kSavedExtractionsKey);
    iPhoneBackupWizardView wizard(env.appState, nullptr, &env.hub);
    wizard.handleBackupFolderSelection(backup);
    wizard.setBackupPassword("pw");
    wizard.extractMessagesAction();
    ASSERT_TRUE(wizard.waitForExtraction());
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return wizard.saveDialog() != nullptr; }));
    wizard.saveDialog()->skipButton()->click();
    EXPECT_FALSE(wizard.isPresented());
    EXPECT_FALSE(platform::UserDefaults::standard().value(kSavedExtractionsKey));
}

TEST_F(ExtractionTest, UnreadableMessagesDatabaseShowsTheLoadErrorAndKeepsThePanel) {
    qbtest::BackupGenerator generator;
    generator.addFile("HomeDomain", "Library/SMS/sms.db", std::string("this is not a database"));
    const fs::path backup = generator.write(qbtest::IsolatedHome::root() / "backup" / "PLAIN");
    iPhoneBackupWizardView wizard(env.appState, nullptr, &env.hub);
    wizard.handleBackupFolderSelection(backup);
    wizard.extractMessagesAction();
    ASSERT_TRUE(wizard.waitForExtraction());
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return !env.fake.alerts->alerts().empty(); }));
    EXPECT_TRUE(env.fake.alerts->alerts()[0].informativeText.startsWith("Failed to load messages: "));
    EXPECT_TRUE(wizard.isExtracting());
    EXPECT_TRUE(env.appState.isIPhoneBackup()); // the images could not be read from it either
    EXPECT_EQ(env.appState.databaseURL(), extractionFolders().at(0) / "sms.db");
    EXPECT_EQ(wizard.saveDialog(), nullptr);
}

TEST(SavedExtractionsTest, EncodesCompactJsonWithEscapedSlashes) {
    const std::vector<SavedExtraction> list = {
        {"ID", "A \"quoted\" name", "/home/u/.cache/Quillobrandt_X/sms.db", platform::AbsoluteTime{786000000.5}}};
    const std::string text = encodeSavedExtractions(list);
    EXPECT_EQ(text, R"([{"name":"A \"quoted\" name","path":"\/home\/u\/.cache\/Quillobrandt_X\/sms.db",)"
                    R"("date":786000000.5}])");
    EXPECT_EQ(nlohmann::json::parse(text)[0]["path"], "/home/u/.cache/Quillobrandt_X/sms.db");
    EXPECT_EQ(encodeSavedExtractions({}), "[]");
}

} // namespace
} // namespace quillobrandt
