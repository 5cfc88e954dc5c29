#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <thread>

#include "Corvantesk/core/DeviceInfo.h"
#include "platform/core/AtomicFile.h"
#include "tests/corvantesk/core/SdkTestSupport.h"
#include "tests/support/FsyncProbe.h"

using namespace corvantesk;
using sdktest::TestEvent;
namespace fs = std::filesystem;

TEST(Storage, IdentifiersAreMadeOnceAndSurviveClearing) {
    sdktest::TestStorage test;
    EXPECT_FALSE(test.storage.deviceId());
    const std::string id = test.storage.getOrCreateDeviceId();
    EXPECT_EQ(id.size(), 36u);
    EXPECT_EQ(test.storage.getOrCreateDeviceId(), id);
    test.storage.saveLaunchId();
    test.storage.setUserId("someone");
    test.storage.clearAll();
    EXPECT_EQ(test.storage.getOrCreateDeviceId(), id);
    EXPECT_EQ(test.storage.storedLaunchId(), Storage::currentLaunchId());
    EXPECT_FALSE(test.storage.userId());

    // A new process (a new Storage on the same defaults file) sees the same id.
    ASSERT_TRUE(test.storage.waitForWrites());
    platform::UserDefaults reopened(test.defaults.file());
    Storage again(reopened, test.storage.directory());
    EXPECT_EQ(again.deviceId(), id);
}

// An error report asks for the device id on the caller's thread, often while the queue's writer is saving a
// queue file: making the id waits neither for that write nor for its own.
TEST(Storage, TheDeviceIdIsMadeWithoutWaitingForTheDisk) {
    sdktest::TestStorage test;
    qbtest::FsyncProbe disk;
    disk.hold();
    std::thread saver([&] { test.storage.saveOfflineJson(nlohmann::json::array({1, 2}), "health"); });
    ASSERT_TRUE(disk.waitForHeldCall(std::chrono::seconds(5)));
    auto made = std::async(std::launch::async, [&] { return test.storage.getOrCreateDeviceId(); });
    EXPECT_EQ(made.wait_for(std::chrono::seconds(2)), std::future_status::ready) << "the device id waited";
    disk.release();
    saver.join();
    EXPECT_EQ(test.storage.getOrCreateDeviceId(), made.get());
}

TEST(Storage, LaunchIdentity) {
    sdktest::TestStorage test;
    EXPECT_TRUE(test.storage.isNewLaunch());
    test.defaults.setString(storage_keys::launchId, "FROM-AN-EARLIER-PROCESS");
    EXPECT_TRUE(test.storage.isNewLaunch());
    test.storage.saveLaunchId();
    EXPECT_FALSE(test.storage.isNewLaunch());
}

TEST(Storage, ConsentAndSessionState) {
    sdktest::TestStorage test;
    test.defaults.setBool(storage_keys::consentState, true);
    EXPECT_FALSE(test.storage.consent()) << "no choice made yet";
    test.storage.setConsent(false);
    EXPECT_EQ(test.storage.consent(), false);
    test.storage.setConsent(true);
    EXPECT_EQ(test.storage.consent(), true);
    test.storage.clearConsent();
    EXPECT_FALSE(test.storage.consent());

    test.defaults.setDouble(storage_keys::sessionStart, 0.0);
    EXPECT_FALSE(test.storage.sessionStart());
    const auto start = platform::AbsoluteTime::fromUnixSeconds(1700000000.5);
    test.storage.setSessionStart(start);
    EXPECT_EQ(test.defaults.number(storage_keys::sessionStart), 1700000000.5);
    EXPECT_EQ(test.storage.sessionStart(), start);
    test.storage.setLastActivity(start);
    test.storage.setSessionId("S");
    EXPECT_EQ(test.storage.sessionId(), "S");
    test.storage.clearAll();
    EXPECT_FALSE(test.storage.sessionId());
    EXPECT_FALSE(test.storage.sessionStart());
    EXPECT_FALSE(test.storage.lastActivity());
}

TEST(Storage, QueueFilesRoundTripAndEmptyIsBrackets) {
    sdktest::TestStorage test;
    const std::vector<TestEvent> events{sdktest::event(1), sdktest::event(2)};
    test.storage.saveOfflineEvents(events, "analytics");
    const fs::path file = test.storage.directory() / "corvantesk_offline_analytics.json";
    EXPECT_TRUE(fs::exists(file));
    EXPECT_EQ((fs::status(test.storage.directory()).permissions() & fs::perms::all), fs::perms::owner_all);
    EXPECT_EQ(test.storage.loadOfflineEvents<TestEvent>("analytics"), events);
    test.storage.saveOfflineEvents(std::vector<TestEvent>{}, "analytics");
    EXPECT_EQ(platform::readFile(file), "[]");
    test.storage.clearOfflineEvents("analytics");
    EXPECT_FALSE(fs::exists(file));
    test.storage.clearOfflineEvents("analytics"); // a missing file is fine
}

// A queue file that does not parse is set aside, as it was, and never overwritten by the next save.
TEST(Storage, UnparsableQueueFilesAreSetAsideAsTheyWere) {
    sdktest::TestStorage test;
    const fs::path file = test.storage.offlineFilePath("health");
    const fs::path aside = file.string() + ".bad";
    for (const std::string broken : {"", "[", "{}", "null", "\xff\xfe"}) {
        ASSERT_TRUE(platform::writeFileAtomically(file, broken));
        EXPECT_TRUE(test.storage.loadOfflineEvents<TestEvent>("health").empty()) << broken;
        EXPECT_FALSE(fs::exists(file)) << broken;
        EXPECT_EQ(platform::readFile(aside), broken) << "kept as it was";
    }
    test.storage.saveOfflineEvents(std::vector<TestEvent>{sdktest::event(1)}, "health");
    EXPECT_EQ(platform::readFile(aside), "\xff\xfe");
}

// Elements decode one by one: a bad one is skipped and counted, the others load.
TEST(Storage, OneUndecodableElementCostsOnlyItself) {
    sdktest::TestStorage test;
    nlohmann::json array = nlohmann::json::array();
    for (int i = 0; i < 50; ++i) {
        array.push_back(sdktest::event(i));
    }
    array[7]["sequence"] = "seven";
    array[30] = 42;
    ASSERT_TRUE(platform::writeFileAtomically(test.storage.offlineFilePath("health"), array.dump()));
    std::size_t skipped = 0;
    const auto events = test.storage.loadOfflineEvents<TestEvent>("health", &skipped);
    EXPECT_EQ(events.size(), 48u);
    EXPECT_EQ(skipped, 2u);
    EXPECT_EQ(events[7], sdktest::event(8));
}

TEST(Storage, OversizedQueueFileIsSetAsideUnread) {
    sdktest::TestStorage test;
    const fs::path file = test.storage.offlineFilePath("health");
    {
        std::ofstream out(file);
        out << "[";
    }
    fs::resize_file(file, Storage::kMaxQueueFileBytes + 1); // sparse: cheap to make
    EXPECT_TRUE(test.storage.loadOfflineJson("health").empty());
    EXPECT_FALSE(fs::exists(file));
    EXPECT_TRUE(fs::exists(file.string() + ".bad"));
}

TEST(Storage, UpdateRewritesUnderTheLock) {
    sdktest::TestStorage test;
    test.storage.saveOfflineEvents(std::vector<TestEvent>{sdktest::event(1)}, "health");
    test.storage.updateOfflineJson("health", [](nlohmann::json& events) { events.push_back(sdktest::event(2)); });
    EXPECT_EQ(test.storage.loadOfflineEvents<TestEvent>("health"),
              (std::vector<TestEvent>{sdktest::event(1), sdktest::event(2)}));
}

TEST(Storage, ClearAllRemovesTheFolderAndTheNextSaveMakesItAgain) {
    sdktest::TestStorage test;
    test.storage.saveOfflineEvents(std::vector<TestEvent>{sdktest::event(1)}, "health");
    auto writer = test.storage.makeCrashMarkerWriter();
    ASSERT_TRUE(writer.write(CrashMarker::make("SIGSEGV", "Process received SIGSEGV", std::nullopt)));
    test.storage.clearAll();
    EXPECT_FALSE(fs::exists(qbtest::IsolatedHome::root() / "cache" / "Corvantesk"));
    EXPECT_FALSE(test.storage.hasCrashMarker());
    test.storage.saveOfflineEvents(std::vector<TestEvent>{sdktest::event(3)}, "health");
    EXPECT_EQ(test.storage.loadOfflineEvents<TestEvent>("health").size(), 1u);
}

TEST(Storage, SharedStorageUsesTheCachesFolderOfTheMoment) {
    const fs::path expected = qbtest::IsolatedHome::root() / "cache" / "Corvantesk";
    EXPECT_EQ(Storage::shared().directory(), expected);
    EXPECT_EQ(Storage::shared().offlineFilePath("analytics"), expected / "corvantesk_offline_analytics.json");
    EXPECT_EQ(Storage::shared().crashMarkerPath(), expected / "corvantesk_crash_marker.json");
}

// Temporary files of writes cut short by a kill are cleared the first time the folder (or the settings file)
// is used; young ones, which may belong to a write in progress elsewhere, and other files stay.
TEST(Storage, StaleTemporaryFilesOfKilledWritesAreRemovedOnFirstUse) {
    const fs::path folder = qbtest::IsolatedHome::root() / "cache" / "Corvantesk";
    const fs::path config = qbtest::IsolatedHome::root() / "config";
    fs::create_directories(folder);
    fs::create_directories(config);
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(1);
    auto touch = [&](const fs::path& file, bool stale) {
        std::ofstream(file) << "[partial";
        if (stale) {
            fs::last_write_time(file, old);
        }
    };
    touch(folder / ".corvantesk_offline_health.json.tmp-a1B2c3", true);
    touch(folder / ".corvantesk_offline_analytics.json.tmp-Zz9yY8", true);
    touch(folder / ".corvantesk_offline_health.json.tmp-young1", false);
    touch(folder / "keep.tmp-a1B2c3", true);
    touch(config / ".defaults.json.tmp-q1w2e3", true);
    touch(config / ".other.json.tmp-q1w2e3", true);

    sdktest::TestStorage test;
    (void)test.storage.loadOfflineJson("health");
    EXPECT_FALSE(fs::exists(folder / ".corvantesk_offline_health.json.tmp-a1B2c3"));
    EXPECT_FALSE(fs::exists(folder / ".corvantesk_offline_analytics.json.tmp-Zz9yY8"));
    EXPECT_TRUE(fs::exists(folder / ".corvantesk_offline_health.json.tmp-young1"));
    EXPECT_TRUE(fs::exists(folder / "keep.tmp-a1B2c3"));
    EXPECT_FALSE(fs::exists(config / ".defaults.json.tmp-q1w2e3"));
    EXPECT_TRUE(fs::exists(config / ".other.json.tmp-q1w2e3"));
}

// Files set aside are not kept for ever: a head of at most 1 MiB of each, none once set aside a week ago, and the
// same for those an earlier run left.
TEST(Storage, SetAsideFilesKeepABoundedHeadAndGoAfterAWeek) {
    const fs::path folder = qbtest::IsolatedHome::root() / "cache" / "Corvantesk";
    fs::create_directories(folder);
    const auto aWeekAgo = fs::file_time_type::clock::now() - std::chrono::hours(24 * 7 + 1);
    std::ofstream(folder / "corvantesk_offline_health.journal.bad") << "old";
    fs::last_write_time(folder / "corvantesk_offline_health.journal.bad", aWeekAgo);
    const std::string large(3 * 1024 * 1024, 'x');
    std::ofstream(folder / "corvantesk_offline_analytics.json.bad") << large;
    std::ofstream(folder / "keep.bad") << "old";
    fs::last_write_time(folder / "keep.bad", aWeekAgo);

    sdktest::TestStorage test;
    ASSERT_TRUE(platform::writeFileAtomically(test.storage.offlineFilePath("health"), "[" + large));
    EXPECT_TRUE(test.storage.loadOfflineJson("health").empty());
    EXPECT_FALSE(fs::exists(folder / "corvantesk_offline_health.journal.bad"));
    EXPECT_EQ(fs::file_size(folder / "corvantesk_offline_analytics.json.bad"), 1024u * 1024);
    EXPECT_TRUE(fs::exists(folder / "keep.bad")) << "not the SDK's";
    const auto head = platform::readFile(folder / "corvantesk_offline_health.json.bad");
    ASSERT_TRUE(head.has_value());
    EXPECT_EQ(head->size(), 1024u * 1024);
    EXPECT_TRUE(*head == ("[" + large).substr(0, 1024 * 1024)) << "the file's own first bytes";
}
