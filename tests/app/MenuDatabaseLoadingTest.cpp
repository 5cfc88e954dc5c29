#include <QSignalSpy>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "Corvantesk/Corvantesk.h"
#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/DatabaseLoadStatistics.h"
#include "Quillobrandt/app/GoogleAnalyticsManager.h"
#include "Quillobrandt/app/LoadProgressLog.h"
#include "Quillobrandt/store/DatabaseError.h"
#include "Quillobrandt/store/Logger.h"
#include "platform/core/Paths.h"
#include "platform/core/UserDefaults.h"
#include "platform/qt/FakePlatform.h"
#include "platform/qt/NotificationHub.h"
#include "platform/qt/NotificationRecorder.h"
#include "tests/app/RecordingHttpSender.h"
#include "tests/support/AnalyticsRequests.h"
#include "tests/support/LoopbackHttpServer.h"
#include "tests/support/MessagesDatabaseBuilder.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/qt/EventLoop.h"

namespace fs = std::filesystem;

namespace {

using quillobrandt::AppState;
using quillobrandt::Conversation;
using quillobrandt::GoogleAnalyticsManager;
namespace notification = platform::notification;

// Two chats: a one-to-one chat of three messages (one with a picture) and a group of three with two.
void writeSmallDatabase(const fs::path& file) {
    fs::create_directories(file.parent_path());
    qbtest::MessagesDatabaseBuilder builder(file);
    const auto direct = builder.addOneToOneChat("+15551234567");
    builder.addMessageToChat(direct.chatId,
                             {.text = "Hi", .date = qbtest::storedNanoseconds(1000), .handleId = direct.handleId});
    builder.addMessageToChat(direct.chatId, {.text = "Hello", .date = qbtest::storedNanoseconds(1001), .isFromMe = 1});
    const auto withPicture = builder.addMessageToChat(
        direct.chatId, {.text = "\xEF\xBF\xBC", .date = qbtest::storedNanoseconds(1002), .handleId = direct.handleId});
    const auto picture = builder.addAttachment({.filename = "~/Library/Messages/Attachments/ab/cd/IMG_1.jpeg",
                                                .mimeType = "image/jpeg",
                                                .transferName = "IMG_1.jpeg"});
    builder.addMessageAttachment(withPicture, picture);

    const auto group = builder.addChat({.chatIdentifier = "chat123456", .displayName = "Family", .style = 43});
    const auto a = builder.addHandle("+15550000001");
    const auto b = builder.addHandle("+15550000002");
    const auto c = builder.addHandle("family@example.com");
    for (auto handle : {a, b, c}) {
        builder.addChatHandle(group, handle);
    }
    builder.addMessageToChat(group, {.text = "Dinner?", .date = qbtest::storedNanoseconds(2000), .handleId = a});
    builder.addMessageToChat(group, {.text = "Yes", .date = qbtest::storedNanoseconds(2001), .handleId = c});
    builder.finish();
}

void writeEmptyDatabase(const fs::path& file) {
    fs::create_directories(file.parent_path());
    qbtest::MessagesDatabaseBuilder builder(file);
    builder.finish();
}

class MenuLoadingTest : public ::testing::Test {
protected:
    explicit MenuLoadingTest(bool gate = false) : fake(gate) {}

    void SetUp() override { state = std::make_unique<AppState>(&hub, &analytics); }

    // Runs the event loop until the started loads have all reported back.
    void finishLoads(int expectedCompletions) {
        ASSERT_TRUE(state->waitForBackgroundLoads());
        ASSERT_TRUE(qbtest::processEventsUntil([&] { return completions() >= expectedCompletions; }));
        qbtest::drainEvents();
        analytics.waitUntilIdle();
    }

    int completions() const { return static_cast<int>(recorder.names().count(notification::databaseLoadingCompleted)); }

    nlohmann::json sentEvent(std::size_t index) const {
        return nlohmann::json::parse(sender->requests().at(index).body)["events"][0];
    }

    fs::path dataFile(const std::string& relative) const { return platform::homeDir() / relative; }

    platform::FakePlatform fake;
    platform::NotificationHub hub;
    platform::NotificationRecorder recorder{hub};
    platform::UserDefaults defaults{platform::configDir() / "Quillobrandt" / "defaults.json"};
    std::shared_ptr<qbtest::RecordingHttpSender> sender = std::make_shared<qbtest::RecordingHttpSender>();
    GoogleAnalyticsManager analytics{{"G-TEST", "secret"}, sender, defaults};
    std::unique_ptr<AppState> state;
};

class GatedMenuLoadingTest : public MenuLoadingTest {
protected:
    GatedMenuLoadingTest() : MenuLoadingTest(true) {}
};

TEST_F(MenuLoadingTest, CustomLoadCommitsConversationsWithTheirSource) {
    const fs::path file = dataFile("exports/chat.db");
    writeSmallDatabase(file);
    QSignalSpy changed(state.get(), &AppState::conversationsChanged);

    state->loadCustomDatabase(file);
    EXPECT_FALSE(state->databaseURL().has_value()) << "nothing is committed before the load succeeds";
    finishLoads(1);

    ASSERT_EQ(state->conversations().size(), 2u);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(state->databaseURL(), file);
    EXPECT_EQ(state->attachmentBaseURL(), file.parent_path());
    EXPECT_FALSE(state->isIPhoneBackup());

    EXPECT_EQ(recorder.names(), QStringList({notification::databaseLoadingStarted,
                                             notification::databaseLoadingCompleted, notification::resizeWindow}));
    EXPECT_EQ(platform::resizeWindowSize(recorder.posted().back().second), QSizeF(810, 690));

    ASSERT_EQ(sender->requests().size(), 1u);
    const auto event = sentEvent(0);
    EXPECT_EQ(event["name"], "database_loaded");
    EXPECT_EQ(event["params"]["message_count"], 5);
    EXPECT_EQ(event["params"]["conversation_count"], 2);
    EXPECT_EQ(event["params"]["source"], "custom_file");
    EXPECT_TRUE(event["params"]["load_time_ms"].is_number_integer());
    EXPECT_GE(event["params"]["load_time_ms"].get<int>(), 0);
    EXPECT_TRUE(fake.alerts->alerts().empty());

    const std::string logs = quillobrandt::Logger::shared().getAllLogs();
    EXPECT_NE(logs.find("Loading: Complete - 100%"), std::string::npos);
    EXPECT_NE(logs.find("✅ Loaded 2 conversations"), std::string::npos);
}

TEST_F(MenuLoadingTest, ALargeLoadLogsAFewProgressLinesAndTheLogsKeepTheBannerAndTheFileRead) {
    // One chat large enough to report its rows hundreds of times at one and the same overall fraction, and enough
    // chats that the chat counter moves: once, each report became a line, and the 4 KB log rotated during the
    // load until neither file held the start banner or the name of the file being read.
    const fs::path file = dataFile("large/chat.db");
    fs::create_directories(file.parent_path());
    qbtest::buildBulkMessagesDatabase(file, {.chats = 60, .messagesPerChat = 1500});
    // The process's logger may hold what earlier tests of this process logged (their loads' progress lines), in
    // a folder of theirs that may be gone with its banner. This test reads a log of its own run alone, begun with
    // the banner as at start-up.
    auto& logger = quillobrandt::Logger::shared();
    logger.flush();
    fs::remove(logger.logFileURL());
    fs::remove(logger.oldLogFileURL());
    logger.logStartupInfo();

    state->loadCustomDatabase(file);
    finishLoads(1);
    ASSERT_EQ(state->conversations().size(), 60u);

    const std::string logs = quillobrandt::Logger::shared().getAllLogs();
    std::vector<std::string> progressLines;
    std::istringstream lines(logs);
    for (std::string line; std::getline(lines, line);) {
        if (const auto at = line.find("] Loading: "); at != std::string::npos) {
            progressLines.push_back(line.substr(at + 2));
        }
    }
    EXPECT_LE(progressLines.size(), 16u) << logs;
    EXPECT_EQ(std::set<std::string>(progressLines.begin(), progressLines.end()).size(), progressLines.size())
        << "no line twice";
    ASSERT_FALSE(progressLines.empty());
    EXPECT_EQ(progressLines.back(), "Loading: Complete - 100%");
    EXPECT_NE(logs.find("[INFO] === Quillobrandt Started ==="), std::string::npos) << logs;
    EXPECT_NE(logs.find("Opening database at: " + file.string() + "\n"), std::string::npos) << logs;
}

// Opening a database from the menu while the first start asks about Contacts shows the list, not a load hidden
// behind the question: the question is left for the next start, as Skip leaves it.
TEST_F(MenuLoadingTest, ALoadAskedForOnTheContactsQuestionLeavesTheQuestionForLater) {
    const fs::path file = dataFile("exports/chat.db");
    writeSmallDatabase(file);
    state->setShowContactsRequest(true);
    state->loadCustomDatabase(file);
    EXPECT_FALSE(state->showContactsRequest());
    finishLoads(1);
    EXPECT_EQ(state->conversations().size(), 2u);
    EXPECT_FALSE(state->hasContactsAccess());
}

TEST_F(MenuLoadingTest, ProvidedAttachmentBaseAndBackupDetectionAreCommitted) {
    const fs::path file = dataFile("Backup/extracted/sms.db");
    writeSmallDatabase(file);
    state->loadCustomDatabase(file, platform::homeDir() / "Pictures");
    finishLoads(1);
    EXPECT_TRUE(state->isIPhoneBackup());
    EXPECT_EQ(state->attachmentBaseURL(), platform::homeDir() / "Pictures");
    EXPECT_EQ(sentEvent(0)["params"]["source"], "iphone_backup");
}

TEST_F(MenuLoadingTest, ASavedExtractionOpenedFromTheMenuShowsThePicturesInItsFolder) {
    // An "sms.db" in one of the program's own extraction folders had its pictures extracted beside it.
    const fs::path folder = platform::cachesDir() / "Quillobrandt_0F8E2C1A-3B4D-4E5F-8A9B-0C1D2E3F4A5B";
    const fs::path file = folder / "sms.db";
    writeSmallDatabase(file);
    const fs::path picture = folder / "Attachments/ab/cd/IMG_1.jpeg";
    fs::create_directories(picture.parent_path());
    std::ofstream(picture) << "jpeg";

    state->loadCustomDatabase(file);
    finishLoads(1);
    EXPECT_FALSE(state->isIPhoneBackup());
    EXPECT_EQ(state->attachmentBaseURL(), folder);
    ASSERT_EQ(state->conversations().size(), 2u);
    std::vector<std::string> paths;
    for (const auto& conversation : state->conversations()) {
        for (const auto& message : conversation.messages) {
            for (const auto& attachment : message.attachments) {
                paths.push_back(attachment.filePath);
            }
        }
    }
    EXPECT_EQ(paths, std::vector<std::string>{picture.string()});
}

TEST_F(MenuLoadingTest, EmptyDatabaseStillSucceedsAndKeepsTheStartScreensSize) {
    const fs::path file = dataFile("empty/chat.db");
    writeEmptyDatabase(file);
    state->loadCustomDatabase(file);
    finishLoads(1);
    EXPECT_TRUE(state->conversations().empty());
    EXPECT_EQ(state->databaseURL(), file);
    // Nothing to list: the window keeps the start screen's size rather than growing around empty space.
    EXPECT_EQ(recorder.names().count(notification::resizeWindow), 0);
    ASSERT_EQ(sender->requests().size(), 1u);
    EXPECT_EQ(sentEvent(0)["params"]["message_count"], 0);
    EXPECT_EQ(sentEvent(0)["params"]["conversation_count"], 0);
}

TEST_F(MenuLoadingTest, FailureKeepsThePreviousStateAndShowsTheCriticalAlert) {
    const fs::path good = dataFile("good/chat.db");
    writeSmallDatabase(good);
    state->loadCustomDatabase(good);
    finishLoads(1);
    const auto before = state->conversations();
    recorder.clear();

    const fs::path broken = dataFile("broken/sms.db");
    fs::create_directories(broken.parent_path());
    std::ofstream(broken) << "this file is no database, whatever its name says; it is long enough to fill a header";
    state->loadCustomDatabase(broken);
    finishLoads(1);

    EXPECT_EQ(recorder.names(),
              QStringList({notification::databaseLoadingStarted, notification::databaseLoadingCompleted}));
    EXPECT_EQ(state->conversations(), before);
    EXPECT_EQ(state->databaseURL(), good) << "the URL still names the file the list came from";
    EXPECT_EQ(state->attachmentBaseURL(), good.parent_path());
    EXPECT_FALSE(state->isIPhoneBackup()) << "the failed file's backup guess is not committed";

    ASSERT_EQ(fake.alerts->alerts().size(), 1u);
    const auto& alert = fake.alerts->alerts()[0];
    EXPECT_EQ(alert.messageText, "Failed to Load Database");
    EXPECT_EQ(alert.style, platform::AlertStyle::critical);
    EXPECT_EQ(alert.buttons, QStringList({"OK"}));
    const QString prefix = "An error occurred while loading the database:\n\n";
    const QString suffix = "\n\nPlease check the logs and try again.";
    ASSERT_TRUE(alert.informativeText.startsWith(prefix));
    ASSERT_TRUE(alert.informativeText.endsWith(suffix));
    const QString description =
        alert.informativeText.mid(prefix.size(), alert.informativeText.size() - prefix.size() - suffix.size());
    // The alert says what the file is, not merely that a query failed.
    EXPECT_EQ(description, quillobrandt::DatabaseError::notMessagesDatabase().description());
    EXPECT_EQ(sender->requests().size(), 1u) << "no event for a failed load";
}

TEST_F(MenuLoadingTest, MissingFileFailsWithTheAlert) {
    state->loadCustomDatabase(dataFile("nowhere/chat.db"));
    finishLoads(1);
    ASSERT_EQ(fake.alerts->alerts().size(), 1u);
    EXPECT_EQ(fake.alerts->alerts()[0].messageText, "Failed to Load Database");
    EXPECT_FALSE(state->databaseURL().has_value());
}

TEST_F(MenuLoadingTest, OvertakenSuccessIsDropped) {
    const fs::path first = dataFile("first/chat.db");
    const fs::path second = dataFile("second/chat.db");
    writeSmallDatabase(first);
    writeEmptyDatabase(second);
    state->loadCustomDatabase(first);
    state->loadCustomDatabase(second);
    finishLoads(1);
    EXPECT_TRUE(state->conversations().empty());
    EXPECT_EQ(state->databaseURL(), second);
    EXPECT_EQ(recorder.names().count(notification::databaseLoadingStarted), 2);
    EXPECT_EQ(recorder.names().count(notification::databaseLoadingCompleted), 1)
        << "the loading face comes down once, when no load is outstanding";
    EXPECT_FALSE(state->hasOutstandingLoads());
    EXPECT_EQ(recorder.names().count(notification::resizeWindow), 0) << "the newest load found nothing to list";
    EXPECT_EQ(sender->requests().size(), 1u);
}

TEST_F(MenuLoadingTest, OvertakenFailureShowsNoAlert) {
    const fs::path good = dataFile("good/chat.db");
    writeSmallDatabase(good);
    state->loadCustomDatabase(dataFile("missing/chat.db"));
    state->loadCustomDatabase(good);
    finishLoads(1);
    EXPECT_TRUE(fake.alerts->alerts().empty());
    EXPECT_EQ(state->conversations().size(), 2u);
    EXPECT_EQ(state->databaseURL(), good);
}

TEST_F(MenuLoadingTest, FailureOfTheNewestLoadWinsOverAnOlderSuccess) {
    const fs::path good = dataFile("good/chat.db");
    writeSmallDatabase(good);
    state->loadCustomDatabase(good);
    state->loadCustomDatabase(dataFile("missing/chat.db"));
    finishLoads(1);
    EXPECT_TRUE(state->conversations().empty());
    EXPECT_FALSE(state->databaseURL().has_value());
    EXPECT_EQ(fake.alerts->alerts().size(), 1u);
}

TEST_F(MenuLoadingTest, DefaultDatabaseLoadsFromTheMacMessagesFolder) {
    const fs::path file = platform::homeDir() / "Library/Messages/chat.db";
    writeSmallDatabase(file);
    state->setIsIPhoneBackup(true);
    state->setAttachmentBaseURL(fs::path("/kept"));
    state->loadDefaultDatabase();
    finishLoads(1);
    EXPECT_EQ(state->conversations().size(), 2u);
    EXPECT_EQ(state->databaseURL(), file);
    EXPECT_FALSE(state->isIPhoneBackup());
    EXPECT_EQ(state->attachmentBaseURL(), fs::path("/kept"));
    EXPECT_EQ(sentEvent(0)["params"]["source"], "mac_messages");
}

TEST_F(MenuLoadingTest, MissingDefaultDatabaseSaysWhereItLooked) {
    state->loadDefaultDatabase();
    qbtest::drainEvents();
    EXPECT_TRUE(recorder.names().isEmpty()) << "no load starts";
    ASSERT_EQ(fake.alerts->alerts().size(), 1u);
    const auto& alert = fake.alerts->alerts()[0];
    const QString path = QString::fromStdString((platform::homeDir() / "Library/Messages/chat.db").string());
    EXPECT_TRUE(alert.informativeText.contains(path));
    EXPECT_TRUE(alert.informativeText.contains("Messages folder"));
    EXPECT_TRUE(alert.informativeText.contains("File → Open Database…"));
    EXPECT_TRUE(alert.informativeText.contains("\"chat.db\" or \"sms.db\""));
    EXPECT_FALSE(state->databaseURL().has_value());
}

TEST_F(GatedMenuLoadingTest, WithoutFullDiskAccessThePermissionAlertOffersTheSettings) {
    ASSERT_FALSE(state->hasFullDiskAccess());
    state->setIsIPhoneBackup(true);
    fake.alerts->answerNext(0);
    state->loadDefaultDatabase();
    EXPECT_TRUE(fake.alerts->alerts().empty()) << "the alert comes from the event loop";
    qbtest::drainEvents();
    ASSERT_EQ(fake.alerts->alerts().size(), 1u);
    const auto& alert = fake.alerts->alerts()[0];
    EXPECT_EQ(alert.messageText, "Permission Required");
    EXPECT_EQ(alert.informativeText, "Quillobrandt needs Full Disk Access to read your Messages database.\n\n"
                                     "Please grant permission in System Settings and try again.");
    EXPECT_EQ(alert.style, platform::AlertStyle::warning);
    EXPECT_EQ(alert.buttons, QStringList({"Open System Settings", "Cancel"}));
    ASSERT_EQ(fake.desktop->openedUrls.size(), 1u);
    EXPECT_TRUE(recorder.names().isEmpty());
    EXPECT_TRUE(state->isIPhoneBackup()) << "nothing changes";

    fake.alerts->answerNext(1);
    state->loadDefaultDatabase();
    qbtest::drainEvents();
    EXPECT_EQ(fake.desktop->openedUrls.size(), 1u) << "Cancel opens nothing";
}

TEST_F(MenuLoadingTest, DestroyingTheStateDuringALoadStopsTheReader) {
    // Enough chats that the reader is still at work when the state goes.
    const fs::path file = dataFile("many/chat.db");
    {
        fs::create_directories(file.parent_path());
        qbtest::MessagesDatabaseBuilder builder(file);
        for (int i = 0; i < 400; ++i) {
            const auto chat = builder.addOneToOneChat("+1555000" + std::to_string(1000 + i));
            builder.addMessageToChat(chat.chatId, {.text = "x", .date = qbtest::storedNanoseconds(i)});
        }
        builder.finish();
    }
    const auto stopLines = [] {
        const std::string logs = quillobrandt::Logger::shared().getAllLogs();
        int count = 0;
        for (auto at = logs.find("⏹️ Load stopped"); at != std::string::npos;
             at = logs.find("⏹️ Load stopped", at + 1)) {
            ++count;
        }
        return count;
    };
    const int before = stopLines();
    state->loadCustomDatabase(file);
    state.reset(); // asks the reader to stop and waits for it; its hop back is dropped
    EXPECT_GT(stopLines(), before) << "the loader thread has ended the load before the state is gone";
    qbtest::drainEvents();
    EXPECT_EQ(completions(), 0);
    EXPECT_TRUE(fake.alerts->alerts().empty()) << "a stop is no failure to report";
}

TEST_F(MenuLoadingTest, DestroyingTheStateDuringALoadDropsTheResult) {
    const fs::path file = dataFile("exports/chat.db");
    writeSmallDatabase(file);
    state->loadCustomDatabase(file);
    state.reset(); // waits for the worker; its hop back is dropped
    qbtest::drainEvents();
    EXPECT_EQ(completions(), 0);
}

// Where a thread of this process runs, and the name Linux shows for it.
struct ThreadSeen {
    std::thread::id id;
    pid_t tid = 0;
};

ThreadSeen currentThread() {
    return {std::this_thread::get_id(), ::gettid()};
}

std::string threadName(pid_t tid) {
    std::ifstream comm("/proc/self/task/" + std::to_string(tid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

TEST_F(MenuLoadingTest, LoadsRunOneAfterAnotherOnTheOneLoaderThread) {
    const fs::path first = dataFile("first/chat.db");
    const fs::path second = dataFile("second/chat.db");
    writeSmallDatabase(first);
    writeSmallDatabase(second);

    // While the loader thread is busy, a load waits for it: no other thread picks it up.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    ThreadSeen before;
    ThreadSeen after;
    ASSERT_TRUE(state->historyLoader().post([&before, released](std::stop_token) {
        before = currentThread();
        released.wait();
    }));
    state->loadCustomDatabase(first);
    EXPECT_FALSE(qbtest::processEventsUntil([&] { return completions() > 0; }, std::chrono::milliseconds(300)))
        << "the load ran beside the busy loader thread";
    release.set_value();
    finishLoads(1);
    EXPECT_EQ(state->databaseURL(), first);

    state->loadCustomDatabase(second);
    finishLoads(2);
    ASSERT_TRUE(state->historyLoader().post([&after](std::stop_token) { after = currentThread(); }));
    ASSERT_TRUE(state->waitForBackgroundLoads());
    EXPECT_EQ(state->databaseURL(), second);
    EXPECT_EQ(before.id, after.id) << "the same thread, load after load";
    EXPECT_NE(before.id, std::this_thread::get_id()) << "never the GUI thread";
    EXPECT_EQ(threadName(before.tid), "HistoryLoader") << "the loader's own thread, not a pool's";
}

TEST_F(MenuLoadingTest, AReplacedOrClearedHistoryIsLetGo) {
    const fs::path first = dataFile("first/chat.db");
    const fs::path second = dataFile("second/chat.db");
    writeSmallDatabase(first);
    writeSmallDatabase(second);
    state->loadCustomDatabase(first);
    finishLoads(1);
    const std::weak_ptr<const std::vector<Conversation>> firstHistory = state->history();
    ASSERT_FALSE(firstHistory.expired());
    ASSERT_EQ(firstHistory.lock()->size(), 2u);
    EXPECT_EQ(&state->conversations(), firstHistory.lock().get()) << "the list on show is the shared history";

    state->loadCustomDatabase(second);
    finishLoads(2);
    EXPECT_TRUE(firstHistory.expired()) << "a new load lets the old history go";
    const std::weak_ptr<const std::vector<Conversation>> secondHistory = state->history();
    state->setConversations({});
    EXPECT_TRUE(secondHistory.expired());
    EXPECT_TRUE(state->conversations().empty());
    EXPECT_TRUE(state->waitForBackgroundLoads());
}

TEST_F(MenuLoadingTest, InitialisedSdkReceivesTheNineFigures) {
    qbtest::LoopbackHttpServer server;
    platform::UserDefaults sdkDefaults{qbtest::IsolatedHome::root() / "sdk-defaults.json"};
    corvantesk::Storage storage{sdkDefaults, qbtest::IsolatedHome::root() / "Corvantesk"};
    auto options = corvantesk::CorvanteskOptions::make("app.test", "secret");
    options.baseUrl = server.baseUrl();
    options.flushInterval = 3600;
    options.health.enableHeartbeat = false;
    options.health.captureDeviceState = false;
    corvantesk::ClientEnvironment environment;
    environment.storage = &storage;
    corvantesk::Corvantesk::initialize(options, environment);
    corvantesk::Corvantesk::start();

    const fs::path file = dataFile("exports/chat.db");
    writeSmallDatabase(file);
    state->loadCustomDatabase(file);
    finishLoads(1);
    corvantesk::Corvantesk::sharedOrNil()->flush();
    corvantesk::Corvantesk::shutdown(std::chrono::seconds(1));

    const nlohmann::json loaded = qbtest::lastAnalyticsEvent(server, "database_loaded");
    ASSERT_FALSE(loaded.is_null());
    EXPECT_EQ(loaded["category"], "scaling");
    const auto& properties = loaded["properties"];
    EXPECT_EQ(properties["total_messages"], 5);
    EXPECT_EQ(properties["conversation_count"], 2);
    EXPECT_EQ(properties["source"], "custom_file");
    EXPECT_EQ(properties["max_messages_in_conversation"], 3);
    EXPECT_EQ(properties["avg_messages_per_conversation"], 2);
    EXPECT_EQ(properties["group_chat_count"], 1);
    EXPECT_EQ(properties["largest_group_size"], 3);
    EXPECT_EQ(properties["total_attachments"], 1);
    EXPECT_TRUE(properties["load_time_ms"].is_number_integer());
}

TEST(DatabaseLoadStatistics, FiguresOverTheList) {
    auto conversation = [](std::size_t messages, std::size_t participants, std::size_t attachmentsEach) {
        Conversation c;
        c.participants.assign(participants, "p");
        c.messages.resize(messages);
        for (auto& m : c.messages) {
            m.attachments.resize(attachmentsEach);
        }
        c.messageCount = static_cast<std::int64_t>(messages);
        return c;
    };
    const auto stats =
        quillobrandt::computeLoadStatistics({conversation(10, 2, 1), conversation(0, 1, 0), conversation(5, 4, 2)});
    EXPECT_EQ(stats, (quillobrandt::DatabaseLoadStatistics{15, 3, 10, 5, 1, 4, 20}));
    const auto single = quillobrandt::computeLoadStatistics({conversation(3, 2, 0)});
    EXPECT_EQ(single.groupChatCount, 0);
    EXPECT_EQ(single.largestGroupSize, 2);
    EXPECT_EQ(quillobrandt::computeLoadStatistics({}), quillobrandt::DatabaseLoadStatistics{});
}

TEST(DatabaseLoadStatistics, BackupDetectionAndSource) {
    using quillobrandt::databaseLoadSource;
    using quillobrandt::looksLikeIPhoneBackup;
    EXPECT_TRUE(looksLikeIPhoneBackup("/home/u/SMS.DB"));
    EXPECT_TRUE(looksLikeIPhoneBackup("/home/u/old-Sms.Db.copy"));
    EXPECT_TRUE(looksLikeIPhoneBackup("/home/u/extracted_sms/chat.db"));
    EXPECT_TRUE(looksLikeIPhoneBackup("/home/u/Backup/chat.db"));
    EXPECT_FALSE(looksLikeIPhoneBackup("/home/u/backup/chat.db"));
    EXPECT_FALSE(looksLikeIPhoneBackup("/home/u/Extracted_SMS/chat.db"));
    // The program's own extraction folders hold extracted backups; a look-alike elsewhere is a backup's file.
    const fs::path extraction = platform::cachesDir() / "Quillobrandt_0F8E2C1A-3B4D-4E5F-8A9B-0C1D2E3F4A5B";
    EXPECT_FALSE(looksLikeIPhoneBackup(extraction / "sms.db"));
    EXPECT_FALSE(looksLikeIPhoneBackup(extraction / "Library/SMS/sms.db"));
    EXPECT_TRUE(looksLikeIPhoneBackup(platform::cachesDir() / "Quillobrandt_not-a-uuid" / "sms.db"));
    EXPECT_TRUE(
        looksLikeIPhoneBackup(platform::homeDir() / "Quillobrandt_0F8E2C1A-3B4D-4E5F-8A9B-0C1D2E3F4A5B/sms.db"));
    EXPECT_EQ(databaseLoadSource(false, "/home/u/Library/Messages/chat.db"), "mac_messages");
    EXPECT_EQ(databaseLoadSource(true, "/home/u/Library/Messages/sms.db"), "iphone_backup");
    EXPECT_EQ(databaseLoadSource(false, "/home/u/Library/Messages.db"), "custom_file");
    EXPECT_EQ(quillobrandt::progressPercent(0.957), 95);
    EXPECT_EQ(quillobrandt::progressPercent(1.0), 100);
    EXPECT_EQ(quillobrandt::progressPercent(0.0), 0);
}

TEST(LoadProgressLog, TheFirstReportOfEachStepThenEveryTenPointsAndTheEnd) {
    quillobrandt::LoadProgressLog log;
    std::vector<std::string> lines;
    const auto report = [&](const std::string& message, double fraction) {
        if (auto line = log.lineFor(message, fraction)) {
            lines.push_back(*line);
        }
    };
    report("Copying database...", 0.0);
    report("Copying database...", 0.0);
    report("Copying database...", 0.5);
    report("Copying database...", 1.0); // then the reading starts again from 0
    report("Loading conversations 1 of 300...", 0.0);
    report("Loading conversations 2 of 300...", 0.003);
    for (int row = 0; row < 500; ++row) {
        report("Loading conversation...", 0.131);
    }
    report("Loading conversations 290 of 300...", 0.59);
    report("Loading conversations 299 of 300...", 0.601);
    report("Loading conversations 300 of 300...", 0.89);
    report("Merging duplicate conversations...", 0.95);
    report("Complete", 1.0);
    report("Complete", 1.0);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Loading: Copying database... - 0%",
                         "Loading: Copying database... - 50%",
                         "Loading: Copying database... - 100%",
                         "Loading: Loading conversations 1 of 300... - 0%",
                         "Loading: Loading conversation... - 13%",
                         "Loading: Loading conversations 290 of 300... - 59%",
                         "Loading: Loading conversations 300 of 300... - 89%",
                         "Loading: Merging duplicate conversations... - 95%",
                         "Loading: Complete - 100%",
                     }));
}

} // namespace
