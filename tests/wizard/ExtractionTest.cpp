// Password entry, extraction into the working folder, the load reaching AppState and the saved extraction.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>

#include <future>

#include <nlohmann/json.hpp>

#include "Quillobrandt/backup/ManifestIndex.h"
#include "Quillobrandt/store/Logger.h"
#include "Quillobrandt/store/WorkingFilesLock.h"
#include "Quillobrandt/wizard/ExtractionPipeline.h"
#include "Quillobrandt/wizard/SavedExtractions.h"
#include "Quillobrandt/wizard/UnsavedExtractions.h"
#include "Quillobrandt/wizard/iPhoneBackupWizardView.h"
#include "tests/support/BackupGenerator.h"
#include "tests/support/MessagesDatabaseBuilder.h"
#include "tests/support/MountNamespace.h"
#include "tests/support/qt/EventLoop.h"
#include "tests/wizard/WizardTestSupport.h"

namespace quillobrandt {
namespace {

namespace fs = std::filesystem;

std::string picturePath(int i) {
    return "Library/SMS/Attachments/" + std::to_string(i % 100) + "/IMG_" + std::to_string(i) + ".jpg";
}

// An encrypted backup holding a Messages database with one conversation of two messages, and `pictures`
// image attachments. `dpic` sets the cost of the slow key-derivation stage.
fs::path writeEncryptedBackup(const std::string& password, int pictures = 0, std::uint32_t dpic = 1) {
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
        for (int i = 0; i < pictures; ++i) {
            qbtest::MessageRow message;
            message.text = "\xEF\xBF\xBC";
            message.handleId = chat.handleId;
            const auto messageId = builder.addMessageToChat(chat.chatId, message);
            qbtest::AttachmentRow attachment;
            attachment.filename = "~/" + picturePath(i);
            builder.addMessageAttachment(messageId, builder.addAttachment(attachment));
        }
        builder.finish();
    }
    qbtest::BackupGenerator::Options options;
    options.encrypted = true;
    options.password = password;
    options.dpic = dpic;
    qbtest::BackupGenerator generator(options);
    generator.addFile("HomeDomain", "Library/SMS/sms.db", qbtest::bytesOf(qbtest::readWholeFile(phoneDb)));
    for (int i = 0; i < pictures; ++i) {
        generator.addFile("MediaDomain", picturePath(i), qbtest::BackupGenerator::randomBytes(20000));
    }
    return generator.write(qbtest::IsolatedHome::root() / "backup" / "00008120-001A2B3C4D5E6F70");
}

std::vector<fs::path> cacheEntries(const std::string& prefix) {
    std::vector<fs::path> entries;
    for (const auto& entry : fs::directory_iterator(platform::cachesDir())) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0) {
            entries.push_back(entry.path());
        }
    }
    return entries;
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

// Pixels of a one-line label's box, past the end of its text, that differ from the card's tint just before the
// label: a label that fills its own background shows there as a block of another colour.
int stainsBesideText(const QLabel& label) {
    const QImage card = label.parentWidget()->grab().toImage();
    const qreal scale = card.devicePixelRatio();
    const QRect box = label.geometry();
    const auto at = [&](int x, int y) { return card.pixelColor(QPoint(x, y) * scale); };
    const QColor tint = at(box.left() - 2, box.center().y());
    const int textEnd = box.left() + label.contentsRect().left() + label.fontMetrics().horizontalAdvance(label.text());
    int stains = 0;
    for (int y = box.top(); y <= box.bottom(); ++y) {
        for (int x = textEnd + 2; x <= box.right(); ++x) {
            const QColor pixel = at(x, y);
            stains += std::max({std::abs(pixel.red() - tint.red()), std::abs(pixel.green() - tint.green()),
                                std::abs(pixel.blue() - tint.blue())}) > 2;
        }
    }
    return stains;
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
    // The key derivation's late reminder never outlives the derivation.
    EXPECT_NE(wizard.extractionMessage(), "Deriving encryption keys (this may take a minute)...");
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

// A Mac database already loaded before the wizard opens.
const fs::path kLoadedBefore = "/home/user/Library/Messages/chat.db";

TEST_F(ExtractionTest, WrongPasswordShowsTheBackupErrorKeepsTheSourceAndAllowsAnotherTry) {
    const fs::path backup = writeEncryptedBackup("correct horse");
    env.appState.setDatabaseURL(kLoadedBefore);
    std::vector<bool> backupFlags;
    QObject::connect(&env.appState, &AppState::isIPhoneBackupChanged,
                     [&backupFlags](bool value) { backupFlags.push_back(value); });
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
    // The loaded Mac database kept its source all along, and no empty working folder is left behind.
    EXPECT_TRUE(backupFlags.empty());
    EXPECT_FALSE(env.appState.isIPhoneBackup());
    EXPECT_EQ(env.appState.databaseURL(), kLoadedBefore);
    EXPECT_TRUE(extractionFolders().empty());

    // A second try works in a folder of its own, and leaves nothing behind either.
    wizard.extractMessagesAction();
    ASSERT_TRUE(wizard.waitForExtraction());
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return env.fake.alerts->alerts().size() == 2; }));
    EXPECT_TRUE(extractionFolders().empty());
    EXPECT_TRUE(cacheEntries("DecryptedManifest-").empty());
}

TEST_F(ExtractionTest, ABackupWithoutItsMessagesDatabaseSaysSo) {
    // Encrypted backups, one whose index lacks the database, one whose index lists it without its file.
    const auto failureOf = [this](bool listed, const std::string& name) {
        qbtest::BackupGenerator::Options options;
        options.encrypted = true;
        options.password = "pw";
        qbtest::BackupGenerator generator(options);
        generator.addFile("HomeDomain", "Library/AddressBook/AddressBook.sqlitedb", std::string("x"));
        if (listed) {
            generator.addFile("HomeDomain", "Library/SMS/sms.db", std::string("x")).storedFile = false;
        }
        iPhoneBackupWizardView wizard(env.appState, nullptr, &env.hub);
        wizard.handleBackupFolderSelection(generator.write(qbtest::IsolatedHome::root() / name));
        wizard.setBackupPassword("pw");
        wizard.extractMessagesAction();
        EXPECT_TRUE(wizard.waitForExtraction());
        const std::size_t before = env.fake.alerts->alerts().size();
        EXPECT_TRUE(qbtest::processEventsUntil([&] { return env.fake.alerts->alerts().size() > before; }));
        return env.fake.alerts->alerts().back().informativeText.toStdString();
    };
    EXPECT_EQ(failureOf(false, "unlisted"),
              "Extraction failed: This backup holds no Messages database (Library/SMS/sms.db is not in it).");
    const std::string missingFile = failureOf(true, "listed");
    EXPECT_EQ(missingFile.rfind("Extraction failed: This backup holds no Messages database: it lists "
                                "Library/SMS/sms.db, but that file is missing",
                                0),
              0u)
        << missingFile;
    EXPECT_EQ(missingFile.find(qbtest::BackupGenerator::fileID("HomeDomain", "Library/SMS/sms.db")), std::string::npos);
    EXPECT_TRUE(extractionFolders().empty());
}

TEST_F(ExtractionTest, APlainBackupNeedsNoPassword) {
    qbtest::BackupGenerator generator;
    generator.addFile("HomeDomain", "Library/SMS/sms.db", qbtest::bytesOf(wizardtest::oneMessageDatabase("plain")));
    iPhoneBackupWizardView wizard(env.appState, nullptr, &env.hub);
    wizard.handleBackupFolderSelection(generator.write(qbtest::IsolatedHome::root() / "plain"));
    EXPECT_FALSE(wizard.backupNeedsPassword());
    EXPECT_FALSE(wizard.findChild<QLineEdit*>("passwordField")->isVisibleTo(&wizard));
    EXPECT_TRUE(wizard.findChild<QWidget*>("plainBackupNote")->isVisibleTo(&wizard));
    auto* extract = wizard.findChild<QPushButton*>("extractButton");
    EXPECT_TRUE(extract->isEnabled()) << "no password to wait for";
    extract->click();
    EXPECT_TRUE(wizard.isExtracting());
    ASSERT_TRUE(wizard.waitForExtraction());
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return wizard.saveDialog() != nullptr; }));
    EXPECT_EQ(env.appState.conversations().size(), 1u);
    EXPECT_TRUE(env.fake.alerts->alerts().empty());

    // The finished card: a full bar over "Complete", the line standing on the card's tint.
    auto* bar = wizard.findChild<QProgressBar*>("progressBar");
    auto* line = wizard.findChild<QLabel*>("progressMessage");
    EXPECT_EQ(line->text(), "Complete");
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_EQ(stainsBesideText(*line), 0);
}

TEST_F(ExtractionTest, QuittingDuringKeyDerivationEndsTheRunAtOnce) {
    // A key derivation slow enough to be still running when the program quits: the quit used to wait for it.
    const fs::path backup = writeEncryptedBackup("pw", 0, 2'000'000);
    env.appState.setDatabaseURL(kLoadedBefore);
    QWidget window;
    window.show();
    QPointer<iPhoneBackupWizardView> wizard = iPhoneBackupWizardView::present(env.appState, &window, &env.hub);
    wizard->handleBackupFolderSelection(backup);
    wizard->setBackupPassword("pw");
    wizard->extractMessagesAction();
    // A derivation that takes its time says so.
    ASSERT_TRUE(qbtest::processEventsUntil(
        [&] { return wizard->extractionMessage() == "Deriving encryption keys (this may take a minute)..."; }));

    QElapsedTimer closing;
    closing.start();
    QApplication::closeAllWindows(); // what File > Quit does
    EXPECT_LT(closing.elapsed(), 300);
    // The application waits for its workers as it ends; the derivation alone takes seconds more.
    EXPECT_TRUE(iPhoneBackupWizardView::waitForExtractionWorkers(1500));
    EXPECT_LT(closing.elapsed(), 1500);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(wizard.isNull());

    ASSERT_TRUE(iPhoneBackupWizardView::waitForExtractionWorkers());
    qbtest::drainEvents();
    // Nothing of the run reached the state, and it cleaned up after itself.
    EXPECT_TRUE(env.appState.conversations().empty());
    EXPECT_FALSE(env.appState.isIPhoneBackup());
    EXPECT_EQ(env.appState.databaseURL(), kLoadedBefore);
    EXPECT_FALSE(env.appState.hasOutstandingLoads());
    EXPECT_TRUE(extractionFolders().empty());
    EXPECT_TRUE(cacheEntries("DecryptedManifest-").empty());
    EXPECT_TRUE(env.fake.alerts->alerts().empty());
}

TEST_F(ExtractionTest, ClosingDuringThePicturesStopsBeforeTheNextOne) {
    const fs::path backup = writeEncryptedBackup("pw", 400);
    iPhoneBackupWizardView wizard(env.appState, nullptr, &env.hub);
    wizard.handleBackupFolderSelection(backup);
    wizard.setBackupPassword("pw");
    testing::internal::CaptureStdout();
    wizard.extractMessagesAction();
    const bool reachedPictures =
        qbtest::processEventsUntil([&] { return wizard.extractionMessage().startsWith("Extracting image "); });
    wizard.dismissWizard();
    ASSERT_TRUE(iPhoneBackupWizardView::waitForExtractionWorkers());
    qbtest::drainEvents();
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(reachedPictures);
    EXPECT_NE(out.find("🛑 Image extraction stopped after "), std::string::npos);
    EXPECT_EQ(out.find("ATTACHMENT EXTRACTION SUCCEEDED"), std::string::npos);
    EXPECT_TRUE(extractionFolders().empty());
    EXPECT_TRUE(env.appState.conversations().empty());
    EXPECT_FALSE(env.appState.isIPhoneBackup());
    EXPECT_EQ(env.appState.databaseURL(), std::nullopt);

    // A handed-over backup whose list of pictures never ends (its attachment table made an endless view) is
    // stopped inside that list.
    const fs::path phoneDb = qbtest::IsolatedHome::root() / "endless" / "sms.db";
    fs::create_directories(phoneDb.parent_path());
    fs::copy_file(qbtest::IsolatedHome::root() / "phone" / "sms.db", phoneDb);
    platform::SqliteDatabase::open(phoneDb, SQLITE_OPEN_READWRITE)
        .exec("PRAGMA legacy_alter_table=ON; ALTER TABLE attachment RENAME TO attachment_rows; CREATE VIEW "
              "attachment AS WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT 'IMG.png' AS "
              "filename FROM n");
    qbtest::BackupGenerator endless;
    endless.addFile("HomeDomain", "Library/SMS/sms.db", qbtest::bytesOf(qbtest::readWholeFile(phoneDb)));
    iPhoneBackupWizardView second(env.appState, nullptr, &env.hub);
    second.handleBackupFolderSelection(endless.write(qbtest::IsolatedHome::root() / "endless-backup"));
    second.extractMessagesAction();
    // The pictures' pass works on a copy of the database of its own: once it is there, the pass has begun.
    const auto copyOfDatabase = [] {
        for (const auto& entry : fs::directory_iterator(platform::privateTempDir())) {
            if (entry.path().filename().string().rfind("sms_temp_", 0) == 0) {
                return true;
            }
        }
        return false;
    };
    const bool readingPictures = qbtest::processEventsUntil(copyOfDatabase, std::chrono::seconds(30));
    second.dismissWizard();
    EXPECT_TRUE(iPhoneBackupWizardView::waitForExtractionWorkers()) << "the list of pictures went on";
    qbtest::drainEvents();
    ASSERT_TRUE(readingPictures);
    EXPECT_TRUE(extractionFolders().empty());
    EXPECT_EQ(env.appState.databaseURL(), std::nullopt);
}

TEST_F(ExtractionTest, TheLoadWaitsForTheLoaderThreadAndClosingStopsIt) {
    const fs::path backup = writeEncryptedBackup("pw");
    const auto stopLines = [] {
        const std::string logs = Logger::shared().getAllLogs();
        std::size_t count = 0;
        for (auto at = logs.find("⏹️ Load stopped"); at != std::string::npos;
             at = logs.find("⏹️ Load stopped", at + 1)) {
            ++count;
        }
        return count;
    };
    const std::size_t before = stopLines();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    ASSERT_TRUE(env.appState.historyLoader().post([released](std::stop_token) { released.wait(); }));

    iPhoneBackupWizardView wizard(env.appState, nullptr, &env.hub);
    wizard.handleBackupFolderSelection(backup);
    wizard.setBackupPassword("pw");
    wizard.extractMessagesAction();
    ASSERT_TRUE(qbtest::processEventsUntil(
        [&] { return wizard.extractionMessage().startsWith("Loading conversations"); }, std::chrono::seconds(30)));
    EXPECT_FALSE(qbtest::processEventsUntil([&] { return !env.appState.conversations().empty(); },
                                            std::chrono::milliseconds(300)))
        << "the load ran beside the busy loader thread";

    wizard.dismissWizard();
    release.set_value();
    ASSERT_TRUE(iPhoneBackupWizardView::waitForExtractionWorkers());
    qbtest::drainEvents();
    EXPECT_GT(stopLines(), before) << "closing reaches the load itself";
    EXPECT_TRUE(env.appState.conversations().empty());
    EXPECT_TRUE(extractionFolders().empty());
    EXPECT_EQ(env.appState.databaseURL(), std::nullopt);
}

TEST_F(ExtractionTest, ALoadAskedForDuringTheExtractionWinsOverIt) {
    // Asked for later, finished first: the wizard's older load must not replace it when it ends.
    const fs::path backup = writeEncryptedBackup("pw", 0, 20'000);
    const fs::path menuFile = qbtest::IsolatedHome::root() / "exports" / "chat.db";
    fs::create_directories(menuFile.parent_path());
    {
        qbtest::MessagesDatabaseBuilder builder(menuFile);
        for (const char* handle : {"+15550000001", "+15550000002", "+15550000003"}) {
            const auto chat = builder.addOneToOneChat(handle);
            builder.addMessageToChat(chat.chatId, {.text = "from the menu", .handleId = chat.handleId});
        }
        builder.finish();
    }
    iPhoneBackupWizardView wizard(env.appState, nullptr, &env.hub);
    wizard.handleBackupFolderSelection(backup);
    wizard.setBackupPassword("pw");
    wizard.extractMessagesAction();
    env.appState.loadCustomDatabase(menuFile);
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return env.appState.conversations().size() == 3; }));
    ASSERT_TRUE(wizard.waitForExtraction());
    ASSERT_TRUE(env.appState.waitForBackgroundLoads());
    qbtest::processEventsUntil([&] { return wizard.saveDialog() != nullptr; }, std::chrono::milliseconds(800));

    EXPECT_EQ(env.appState.conversations().size(), 3u);
    EXPECT_EQ(env.appState.databaseURL(), menuFile);
    EXPECT_FALSE(env.appState.isIPhoneBackup());
    EXPECT_EQ(wizard.saveDialog(), nullptr) << "nothing of the extraction is shown, so there is nothing to save";
    EXPECT_TRUE(extractionFolders().empty());
    EXPECT_FALSE(env.appState.hasOutstandingLoads());
}

TEST_F(ExtractionTest, SavesOfLaterWizardsAreAddedToEarlierOnes) {
    const fs::path backup = writeEncryptedBackup("pw");
    // A value that does not decode is replaced, not an obstacle.
    const std::string garbage = "not json";
    platform::UserDefaults::standard().setData(kSavedExtractionsKey,
                                               std::vector<std::uint8_t>(garbage.begin(), garbage.end()));
    for (const char* name : {"First", "Second"}) {
        iPhoneBackupWizardView wizard(env.appState, nullptr, &env.hub);
        wizard.handleBackupFolderSelection(backup);
        wizard.setBackupPassword("pw");
        wizard.extractMessagesAction();
        ASSERT_TRUE(wizard.waitForExtraction());
        ASSERT_TRUE(qbtest::processEventsUntil([&] { return wizard.saveDialog() != nullptr; }));
        wizard.saveDialog()->nameField()->setText(name);
        wizard.saveDialog()->saveButton()->click();
        EXPECT_FALSE(wizard.isPresented());
    }
    const auto stored = platform::UserDefaults::standard().data(kSavedExtractionsKey);
    ASSERT_TRUE(stored);
    const auto saved = decodeSavedExtractions(std::string(stored->begin(), stored->end()));
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_EQ(saved[0].name, "First");
    EXPECT_EQ(saved[1].name, "Second");
    EXPECT_NE(saved[0].path, saved[1].path);
    EXPECT_EQ(extractionFolders().size(), 2u); // both kept: they are saved
}

TEST_F(ExtractionTest, AnExtractionNobodySavedIsRemovedWhenTheProgramEndsAndASavedOneStays) {
    // Every extraction used to stay under the caches folder for good, a decrypted copy of the phone's messages.
    const fs::path backup = writeEncryptedBackup("pw");
    const auto extract = [&](const std::function<void(iPhoneBackupWizardView&)>& decide) {
        iPhoneBackupWizardView wizard(env.appState, nullptr, &env.hub);
        wizard.handleBackupFolderSelection(backup);
        wizard.setBackupPassword("pw");
        wizard.extractMessagesAction();
        EXPECT_TRUE(wizard.waitForExtraction());
        EXPECT_TRUE(qbtest::processEventsUntil([&] { return wizard.saveDialog() != nullptr; }));
        const fs::path folder = wizard.pendingExtractionPath().value_or(fs::path()).parent_path();
        decide(wizard);
        return folder;
    };
    const fs::path saved = extract([](auto& wizard) {
        wizard.saveDialog()->nameField()->setText("Keep me");
        wizard.saveDialog()->saveButton()->click();
    });
    const fs::path skipped = extract([](auto& wizard) { wizard.saveDialog()->skipButton()->click(); });
    const fs::path closed = extract([](auto& wizard) { wizard.dismissWizard(); });
    // While the program runs, the last one is what it shows.
    EXPECT_EQ(extractionFolders().size(), 3u);
    EXPECT_EQ(env.appState.databaseURL(), closed / "sms.db");
    // Only the unsaved ones carry the marker by which a start after a crash removes them.
    EXPECT_FALSE(fs::exists(saved / WorkingFilesLock::unsavedExtractionMarker));
    EXPECT_TRUE(fs::exists(skipped / WorkingFilesLock::unsavedExtractionMarker));
    EXPECT_TRUE(fs::exists(closed / WorkingFilesLock::unsavedExtractionMarker));

    removeUnsavedExtractions();
    EXPECT_EQ(extractionFolders(), std::vector<fs::path>{saved});
    EXPECT_TRUE(fs::exists(saved / "sms.db"));
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

TEST_F(ExtractionTest, UnreadableMessagesDatabaseShowsTheLoadErrorAndKeepsTheSource) {
    qbtest::BackupGenerator generator;
    generator.addFile("HomeDomain", "Library/SMS/sms.db", std::string("this is not a database"));
    const fs::path backup = generator.write(qbtest::IsolatedHome::root() / "backup" / "PLAIN");
    env.appState.setDatabaseURL(kLoadedBefore);
    iPhoneBackupWizardView wizard(env.appState, nullptr, &env.hub);
    wizard.handleBackupFolderSelection(backup);
    wizard.setBackupPassword("unused");
    wizard.extractMessagesAction();
    ASSERT_TRUE(wizard.waitForExtraction());
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return !env.fake.alerts->alerts().empty(); }));
    EXPECT_TRUE(env.fake.alerts->alerts()[0].informativeText.startsWith("Failed to load messages: "));
    // Back on the extract screen, as after an extraction error: another backup or another try is one click away.
    EXPECT_FALSE(wizard.isExtracting());
    EXPECT_TRUE(wizard.findChild<QPushButton*>("extractButton")->isVisibleTo(&wizard));
    // "Save Copy" and the pictures work from the database loaded before, not from the broken one.
    EXPECT_FALSE(env.appState.isIPhoneBackup());
    EXPECT_EQ(env.appState.databaseURL(), kLoadedBefore);
    EXPECT_TRUE(extractionFolders().empty());
    EXPECT_EQ(wizard.saveDialog(), nullptr);
}

// A full caches folder: the extraction is refused before it writes anything, naming the folder and the room it needs
// (the pictures counted too, each file at its stored size, whatever its record states). A write that still finds its
// folder full (the pictures' copy of the database in a full temporary folder) says the same of that folder, never
// the file system's raw text.
TEST_F(ExtractionTest, AFullFolderIsNamedWithTheRoomNeeded) {
    const std::uint64_t mib = 1024 * 1024;
    const auto backupWith = [](const std::string& name, const std::string& relativePath, std::uint64_t bytes,
                               std::optional<std::uint64_t> statedSize, const std::string& database) {
        qbtest::BackupGenerator generator;
        generator.addFile("HomeDomain", "Library/SMS/sms.db", qbtest::bytesOf(database));
        auto& big = generator.addFile(backupDomainOf(relativePath), relativePath, std::string());
        big.streamedSize = bytes;
        big.streamByte = [](std::uint64_t offset) { return static_cast<std::uint8_t>(offset * 7); };
        big.sizeOverride = statedSize;
        return generator.write(qbtest::IsolatedHome::root() / name);
    };
    const std::string small = wizardtest::oneMessageDatabase("hi");
    const fs::path picture =
        backupWith("picture", "Library/SMS/Attachments/0a/IMG_1.jpg", 6 * mib, std::nullopt, small);
    const fs::path understated =
        backupWith("understated", "Library/AddressBook/AddressBook.sqlitedb", 16 * mib, 1000, small);
    const fs::path phoneDb = qbtest::IsolatedHome::root() / "phone" / "sms.db";
    platform::SqliteDatabase::open(phoneDb, SQLITE_OPEN_READWRITE)
        .exec("CREATE TABLE padding (bytes BLOB); INSERT INTO padding VALUES (zeroblob(2000000))");
    const fs::path largeDatabase =
        backupWith("large", "Library/SMS/Attachments/0a/IMG_2.jpg", 1000, std::nullopt, qbtest::readWholeFile(phoneDb));
    // A record may state any size: what is written is what the backup stores.
    const fs::path overstated =
        backupWith("overstated", "Library/SMS/Attachments/0a/IMG_3.jpg", 1000, std::uint64_t{1} << 40, small);
    const fs::path temporary = platform::privateTempDir();

    const auto answer = qbtest::inOwnMountNamespace([&] {
        qbtest::mountTmpfs(platform::cachesDir(), "size=12m");
        qbtest::mountTmpfs(temporary, "size=1m,mode=0700");
        std::string outcome;
        for (const auto& backup : {picture, understated, largeDatabase, overstated}) {
            ExtractionReport report;
            report.progress = [](const std::string&, double) {};
            report.delayedProgress = [](const std::string&, double, int) {};
            report.setIsIPhoneBackup = [](bool) {};
            report.extractionFailed = [&outcome](const std::string& text) { outcome += text + "\n"; };
            report.loadFailed = [&outcome](const std::string& text) { outcome += "load failed: " + text + "\n"; };
            report.loaded = [&outcome](std::vector<Conversation>, const fs::path&) { outcome += "loaded\n"; };
            report.loadFinished = [] {};
            performExtraction(backup, "", report);
            outcome += std::to_string(extractionFolders().size()) + " folders left\n";
        }
        return outcome;
    });
    if (!answer) {
        GTEST_SKIP() << "no mount namespace on this machine";
    }
    const auto lines = QString::fromStdString(*answer).split('\n');
    ASSERT_EQ(lines.size(), 9) << *answer;
    const auto full = [](const fs::path& folder) {
        return QString::fromStdString("There is not enough free space in \"" + folder.string() +
                                      "\" to extract the backup: it needs ");
    };
    EXPECT_EQ(lines[0], full(platform::cachesDir()) + "15 MB, 12 MB are free.") << "the picture counted";
    EXPECT_EQ(lines[2], full(platform::cachesDir()) + "25 MB, 12 MB are free.") << "the stored size counted";
    EXPECT_EQ(lines[4], full(temporary) + "11 MB, 1 MB are free.");
    for (int i : {1, 3, 5}) {
        EXPECT_EQ(lines[i], "0 folders left");
    }
    EXPECT_EQ(lines[6].toStdString(), "loaded") << "a terabyte stated for a picture of a kilobyte";
}

TEST(SavedExtractionsTest, EncodesCompactJsonWithEscapedSlashes) {
    const std::vector<SavedExtraction> list = {
        {"ID", "A \"quoted\" name", "/home/u/.cache/Quillobrandt_X/sms.db", platform::AbsoluteTime{786000000.5}}};
    const std::string text = encodeSavedExtractions(list);
    EXPECT_EQ(text, R"([{"name":"A \"quoted\" name","path":"\/home\/u\/.cache\/Quillobrandt_X\/sms.db",)"
                    R"("date":786000000.5}])");
    EXPECT_EQ(nlohmann::json::parse(text)[0]["path"], "/home/u/.cache/Quillobrandt_X/sms.db");
    EXPECT_EQ(encodeSavedExtractions({}), "[]");

    const auto decoded = decodeSavedExtractions(text);
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(decoded[0].name, "A \"quoted\" name");
    EXPECT_EQ(decoded[0].path, "/home/u/.cache/Quillobrandt_X/sms.db");
    EXPECT_EQ(decoded[0].date.secondsSinceReferenceDate, 786000000.5);
}

TEST(SavedExtractionsTest, DecodingSkipsWhatIsNotAnEntry) {
    for (const char* text : {"", "not json", "{}", "\"text\"", "[", "null"}) {
        EXPECT_TRUE(decodeSavedExtractions(text).empty()) << text;
    }
    const auto decoded = decodeSavedExtractions(
        R"([1, {"name":"no path","date":1}, {"name":"ok","path":"\/p","date":2}, {"name":3,"path":"x","date":1},)"
        R"( {"name":"bad date","path":"x","date":"soon"}])");
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(decoded[0].name, "ok");
    EXPECT_EQ(decoded[0].path, "/p");
}

} // namespace
} // namespace quillobrandt
