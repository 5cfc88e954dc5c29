#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "Corvantesk/core/EventQueue.h"
#include "Corvantesk/core/QueueDiskMirror.h"
#include "Corvantesk/core/QueueJournal.h"
#include "platform/core/AtomicFile.h"
#include "tests/corvantesk/core/SdkTestSupport.h"
#include "tests/corvantesk/health/ChildProcess.h"

using namespace corvantesk;
using namespace std::chrono_literals;
using sdktest::TestEvent;
using Queue = EventQueue<TestEvent>;
namespace fs = std::filesystem;

namespace {

bool offline(const std::vector<TestEvent>&, std::stop_token, std::chrono::steady_clock::time_point) {
    throw TransportError::networkError("The Internet connection appears to be offline.");
}

// Bytes this process has handed to write() so far (the "wchar" line of /proc/self/io).
std::uint64_t bytesWrittenByProcess() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "wchar:") {
            return value;
        }
    }
    return 0;
}

std::uint64_t folderBytes(const fs::path& folder) {
    std::uint64_t total = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        if (entry.is_regular_file()) {
            total += entry.file_size();
        }
    }
    return total;
}

std::vector<TestEvent> tagged(const std::string& tag, int count) {
    std::vector<TestEvent> list;
    for (int i = 0; i < count; ++i) {
        list.push_back(TestEvent{tag + std::to_string(i), i});
    }
    return list;
}

} // namespace

// Two instances of the program share one folder. Offline, each keeps its own events; the next instance that
// owns the queue adopts the file the other left and delivers every event of both, once.
TEST(QueueFiles, TwoInstancesOfflineThenOneOnlineDeliverEveryEventOnce) {
    sdktest::TestStorage test;
    int ready[2];
    int proceed[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(proceed), 0);
    // The first instance holds the queue file from here on. Its threads start only after the fork: a fork while
    // other threads allocate can leave the child's allocator locked.
    auto first = std::make_unique<Queue>("analytics", 20, 3600.0, 1000, false, offline, test.storage);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        ::close(proceed[1]);
        {
            // The second instance starts while the first runs, and records its own events.
            sdktest::TestStorage other;
            Queue second("analytics", 20, 3600.0, 1000, false, offline, other.storage);
            second.startAutoFlush();
            for (const auto& event : tagged("B", 197)) {
                second.enqueue(event);
            }
            second.flush();
            (void)!::write(ready[1], "d", 1);
            char go = 0;
            (void)!::read(proceed[0], &go, 1); // the first instance records more meanwhile
        }
        ::_exit(0);
    }
    first->startAutoFlush();
    ::close(ready[1]);
    ::close(proceed[0]);
    char done = 0;
    ASSERT_EQ(::read(ready[0], &done, 1), 1);
    for (const auto& event : tagged("A", 150)) {
        first->enqueue(event);
    }
    first->flush();
    (void)!::write(proceed[1], "g", 1);
    ::close(proceed[1]);
    ::close(ready[0]);
    first.reset();
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::multiset<std::string> delivered;
    Queue online(
        "analytics", 20, 3600.0, 1000, false,
        [&](const std::vector<TestEvent>& batch, std::stop_token, std::chrono::steady_clock::time_point) {
            for (const auto& event : batch) {
                delivered.insert(event.id);
            }
            return true;
        },
        test.storage);
    EXPECT_EQ(online.count(), 347u);
    online.flush();
    EXPECT_EQ(delivered.size(), 347u);
    for (const auto& event : tagged("A", 150)) {
        EXPECT_EQ(delivered.count(event.id), 1u) << event.id;
    }
    for (const auto& event : tagged("B", 197)) {
        EXPECT_EQ(delivered.count(event.id), 1u) << event.id;
    }
    // Nothing is left to be delivered a second time.
    Queue after("analytics", 20, 3600.0, 1000, false, offline, test.storage);
    EXPECT_EQ(after.count(), 0u);
}

// Events tracked before the writer runs stay in memory: the caller's thread never writes the file.
TEST(QueueFiles, EventsBeforeStartWaitInMemoryForTheWriter) {
    sdktest::TestStorage test;
    Queue queue("q", 100, 3600.0, 100, false, offline, test.storage);
    for (int i = 0; i < 5; ++i) {
        queue.enqueue(sdktest::event(i));
    }
    EXPECT_TRUE(test.storage.loadOfflineEvents<TestEvent>("q").empty());
    queue.startAutoFlush();
    std::vector<TestEvent> expected;
    for (int i = 0; i < 5; ++i) {
        expected.push_back(sdktest::event(i));
    }
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (test.storage.loadOfflineEvents<TestEvent>("q") != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(test.storage.loadOfflineEvents<TestEvent>("q"), expected);
    queue.stopAutoFlush();
}

// With events arriving a few milliseconds apart, the writer's disk work follows what changed, not the size of
// the whole queue.
TEST(QueueFiles, BytesWrittenFollowWhatChanged) {
    sdktest::TestStorage test;
    Queue queue("q", 100000, 3600.0, 100000, false, offline, test.storage);
    queue.startAutoFlush();
    queue.enqueue(sdktest::event(0));
    queue.persist();
    const std::uint64_t before = bytesWrittenByProcess();
    std::uint64_t eventBytes = 0;
    for (int i = 1; i <= 400; ++i) {
        const TestEvent event = sdktest::event(i);
        eventBytes += nlohmann::json(event).dump().size();
        queue.enqueue(event);
        std::this_thread::sleep_for(1ms);
    }
    queue.stopAutoFlush();
    const std::uint64_t written = bytesWrittenByProcess() - before;
    EXPECT_LE(written, 4 * eventBytes) << "events " << eventBytes << " bytes";
    EXPECT_EQ(test.storage.loadOfflineEvents<TestEvent>("q").size(), 401u);
}

// However large its events, the queue stays within its byte budget, so what it wrote loads again at the next start.
TEST(QueueFiles, TheQueueIsBoundedInBytesAndLoadsAgain) {
    sdktest::TestStorage test;
    {
        Queue queue("q", 1000, 3600.0, 500, false, offline, test.storage);
        for (int i = 0; i < 48; ++i) {
            queue.enqueue(TestEvent{std::to_string(i) + std::string(450 * 1024, 'x'), i});
            if (i % 8 == 0) {
                queue.persist();
            }
        }
        queue.persist();
        EXPECT_LT(queue.count(), 48u);
    }
    EXPECT_LE(folderBytes(test.storage.directory()), 2 * Queue::kMaxQueueBytes);
    Queue next("q", 1000, 3600.0, 500, false, offline, test.storage);
    const auto loaded = next.events();
    ASSERT_GT(loaded.size(), 20u) << "the newest events survive";
    EXPECT_EQ(loaded.back().sequence, 47);
    for (std::size_t i = 1; i < loaded.size(); ++i) {
        EXPECT_EQ(loaded[i].sequence, loaded[i - 1].sequence + 1);
    }
}

// A queue file whose events were all delivered is written anew, not read again at every launch.
TEST(QueueFiles, AFileOfDeliveredEventsIsWrittenAnew) {
    sdktest::TestStorage test;
    {
        Queue queue(
            "q", 100000, 3600.0, 100000, false,
            [](const std::vector<TestEvent>&, std::stop_token, std::chrono::steady_clock::time_point) { return true; },
            test.storage);
        // About 230 KB: the journal outgrows 64 KiB, so the queue file is written whole with them.
        for (auto& event : tagged(std::string(200, 'x'), 1000)) {
            queue.enqueue(std::move(event));
        }
        queue.persist();
        ASSERT_GT(fs::file_size(test.storage.offlineFilePath("q")), 200u * 1000);
        queue.flush();
        ASSERT_EQ(queue.count(), 0u);
    }
    EXPECT_LT(fs::file_size(test.storage.offlineFilePath("q")), 64u * 1024);
    EXPECT_TRUE(test.storage.loadOfflineEvents<TestEvent>("q").empty());
}

// One event that could never fit a request is dropped with a line instead of blocking the queue.
TEST(QueueFiles, AnEventTooLargeForAnyRequestIsDropped) {
    sdktest::TestStorage test;
    std::vector<std::vector<TestEvent>> sent;
    Queue queue(
        "q", 100, 3600.0, 100, true,
        [&](const std::vector<TestEvent>& batch, std::stop_token, std::chrono::steady_clock::time_point) {
            sent.push_back(batch);
            return true;
        },
        test.storage);
    queue.enqueue(sdktest::event(0));
    queue.enqueue(TestEvent{std::string(Queue::kMaxEventBytes + 1, 'x'), 1});
    queue.enqueue(sdktest::event(2));
    ::testing::internal::CaptureStdout();
    queue.flush();
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[Corvantesk] Dropped a q event of "), std::string::npos) << out;
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], (std::vector<TestEvent>{sdktest::event(0), sdktest::event(2)}));
    EXPECT_EQ(queue.count(), 0u);
}

// Nothing at the queue's paths can make starting wait: a FIFO at the queue file, its journal or its lock is
// passed over.
TEST(QueueFiles, AFifoAtAQueuePathDoesNotHang) {
    const auto outcome = corvantesk::testing::runInChild(
        [] {
            sdktest::TestStorage test;
            const fs::path folder = test.storage.directory();
            ::mkfifo((folder / "corvantesk_offline_q.json").c_str(), 0600);
            ::mkfifo((folder / "corvantesk_offline_r.journal").c_str(), 0600);
            ::mkfifo((folder / "corvantesk_offline_s.lock").c_str(), 0600);
            for (const char* name : {"q", "r", "s"}) {
                Queue queue(name, 100, 3600.0, 100, false, offline, test.storage);
                queue.enqueue(sdktest::event(1));
                if (!queue.persist() || queue.count() != 1) {
                    ::_exit(3);
                }
            }
        },
        5000ms);
    EXPECT_FALSE(outcome.timedOut);
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 0);
}

// A lock file no instance can take (a FIFO or a folder here; another user's file alike) is set aside and made
// afresh: the queue file is owned again, instead of every launch leaving files of its own nobody could adopt.
TEST(QueueFiles, AnUnusableLockIsMadeAfreshAndTheQueueFileOwnedAgain) {
    sdktest::TestStorage test;
    const fs::path folder = test.storage.directory();
    ASSERT_EQ(::mkfifo((folder / "corvantesk_offline_q.lock").c_str(), 0600), 0);
    fs::create_directory(folder / "corvantesk_offline_r.lock");
    for (const std::string name : {"q", "r"}) {
        for (int launch = 0; launch < 3; ++launch) {
            Queue queue(name, 100, 3600.0, 100, false, offline, test.storage);
            queue.enqueue(sdktest::event(launch));
            queue.persist();
        }
        EXPECT_EQ(test.storage.loadOfflineEvents<TestEvent>(name),
                  (std::vector<TestEvent>{sdktest::event(0), sdktest::event(1), sdktest::event(2)}))
            << name;
    }
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string file = entry.path().filename().string();
        EXPECT_FALSE(file.size() > 40 &&
                     (file.starts_with("corvantesk_offline_q.") || file.starts_with("corvantesk_offline_r.")))
            << "a launch's own file is left: " << file;
    }
}

// A kill while a rewritten queue file is put in place can leave two journals that both follow the file on disk
// (the new file's bytes equal the old one's): the later generation holds the latest changes and is the one read.
TEST(QueueFiles, OfTwoJournalsThatFollowTheFileTheLaterOneIsRead) {
    sdktest::TestStorage test;
    namespace journal = corvantesk::queue_journal;
    const auto text = [](const TestEvent& event) { return nlohmann::json(event).dump(); };
    ASSERT_TRUE(platform::writeFileAtomically(test.storage.offlineFilePath("q"), "[]"));
    std::ofstream(test.storage.offlineJournalPath("q", 0))
        << journal::header("[]", 1) << journal::addRecord(text(sdktest::event(0))) << journal::dropRecord(0, 1);
    std::ofstream(test.storage.offlineJournalPath("q", 1))
        << journal::header("[]", 2) << journal::addRecord(text(sdktest::event(1)));
    EXPECT_EQ(test.storage.loadOfflineEvents<TestEvent>("q"), std::vector<TestEvent>{sdktest::event(1)});
    Queue queue("q", 100, 3600.0, 100, false, offline, test.storage);
    queue.enqueue(sdktest::event(2));
    queue.persist();
    EXPECT_EQ(test.storage.loadOfflineEvents<TestEvent>("q"),
              (std::vector<TestEvent>{sdktest::event(1), sdktest::event(2)}));
}

// While a queue file is written anew on the disk thread, events leave and arrive: the journal that follows the new
// file starts with the records that bring it to the events on disk, drops at the positions they stand at as the
// records apply, then the newer events.
TEST(QueueFiles, ARewrittenFileIsBroughtUpToWhatChangedWhileItWasWritten) {
    const auto text = [](int n) { return std::make_shared<const std::string>(R"({"n":)" + std::to_string(n) + "}"); };
    const auto replayed = [](const nlohmann::json& file, const QueueDiskMirror& mirror) {
        nlohmann::json events = file;
        const auto skipped = queue_journal::replay(events, queue_journal::header("", 1) + mirror.changesSinceRewrite());
        return skipped == 0 ? events : nlohmann::json();
    };
    const auto held = [](const QueueDiskMirror& mirror) {
        nlohmann::json events = nlohmann::json::array();
        for (const auto& event : mirror.texts()) {
            events.push_back(nlohmann::json::parse(*event));
        }
        return events;
    };
    QueueDiskMirror mirror;
    for (int n = 1; n <= 6; ++n) {
        mirror.append(static_cast<std::uint64_t>(n), text(n));
    }
    mirror.noteRewrite();
    const nlohmann::json file = held(mirror);
    EXPECT_EQ(replayed(file, mirror), file) << "nothing changed, nothing to bring";
    for (const SeqRange gone : {SeqRange{1, 1}, SeqRange{3, 4}, SeqRange{6, 6}}) {
        EXPECT_TRUE(mirror.remove(gone).has_value());
    }
    for (int n = 7; n <= 9; ++n) {
        mirror.append(static_cast<std::uint64_t>(n), text(n));
    }
    EXPECT_EQ(mirror.remove(SeqRange{8, 8}), std::make_optional(std::make_pair(std::size_t{3}, std::size_t{1})));
    EXPECT_FALSE(mirror.remove(SeqRange{3, 4}).has_value()) << "already gone";
    EXPECT_EQ(held(mirror), nlohmann::json::parse(R"([{"n":2},{"n":5},{"n":7},{"n":9}])"));
    EXPECT_EQ(mirror.bytes(), 4 * text(0)->size());
    EXPECT_EQ(replayed(file, mirror), held(mirror));
    for (const SeqRange gone : {SeqRange{2, 2}, SeqRange{5, 9}}) {
        mirror.remove(gone);
    }
    EXPECT_EQ(replayed(file, mirror), nlohmann::json::array()) << "every event of the file gone";
}
