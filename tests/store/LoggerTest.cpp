#include "Quillobrandt/store/Logger.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "platform/core/FileDescriptor.h"
#include "platform/core/Paths.h"
#include "tests/support/TestEnvironment.h"

namespace fs = std::filesystem;
using quillobrandt::Logger;

namespace {

std::string readAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

struct RecordingMailer : quillobrandt::SupportMailer {
    struct Calls {
        std::vector<std::string> composed;
        std::vector<std::string> opened;
        std::vector<std::string> manual;
    };
    explicit RecordingMailer(Calls& calls, bool canCompose, bool canOpen)
        : calls(calls), canCompose(canCompose), canOpen(canOpen) {}
    bool composeWithAttachment(const std::string& recipient, const std::string& subject, const std::string& body,
                               const fs::path& attachment) override {
        calls.composed.push_back(recipient + "|" + subject + "|" + body + "|" + attachment.string());
        return canCompose;
    }
    bool openUrl(const std::string& url) override {
        calls.opened.push_back(url);
        return canOpen;
    }
    void showManualInstructions(const std::string& address, const fs::path& file) override {
        calls.manual.push_back(address + "|" + file.string());
    }
    Calls& calls;
    bool canCompose;
    bool canOpen;
};

class LoggerTest : public ::testing::Test {
protected:
    fs::path folder = qbtest::IsolatedHome::root() / "data" / "Quillobrandt";
    Logger logger{folder};
};

} // namespace

TEST_F(LoggerTest, FirstLineCreatesFolderAndFileWithTheLineFormat) {
    EXPECT_FALSE(fs::exists(folder));
    logger.log("hello", Logger::Level::warning);
    logger.flush();
    const auto lines = linesOf(readAll(folder / "quillobrandt.log"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] \[WARNING\] hello)")))
        << lines[0];
}

TEST_F(LoggerTest, LevelsAreWrittenAsTextAndUnknownLevelsAsError) {
    logger.log("a", Logger::Level::info);
    logger.log("b", Logger::Level::error);
    logger.log("c", 7);
    logger.flush();
    const auto text = readAll(folder / "quillobrandt.log");
    EXPECT_NE(text.find("] [INFO] a\n"), std::string::npos);
    EXPECT_NE(text.find("] [ERROR] b\n"), std::string::npos);
    EXPECT_NE(text.find("] [ERROR] c\n"), std::string::npos);
}

TEST_F(LoggerTest, ALongMessageIsCutToOneBoundedLineOnACharacterBoundary) {
    // A tool's answer of megabytes once became one line as long as the answer.
    std::string huge;
    for (int i = 0; i < 2'000'000; ++i) {
        huge += "é"; // two bytes each: a cut in the middle of one would leave the log unreadable
    }
    logger.log("idevice_id failed: " + huge, Logger::Level::warning);
    logger.flush();
    const auto text = readAll(folder / "quillobrandt.log");
    const auto lines = linesOf(text);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_LE(lines[0].size(), Logger::maxLineLength + 100);
    EXPECT_NE(lines[0].find("[WARNING] idevice_id failed: éé"), std::string::npos);
    EXPECT_TRUE(std::regex_search(lines[0], std::regex(R"(é… \(\d+ more bytes\)$)"))) << lines[0].substr(0, 80);
    EXPECT_NE(logger.getAllLogs(), "No logs available"); // still valid UTF-8

    // A message within the limit is written as it stands.
    const std::string fits(Logger::maxLineLength, 'y');
    logger.log(fits);
    logger.flush();
    EXPECT_NE(readAll(folder / "quillobrandt.log").find("] " + fits + "\n"), std::string::npos);

    // Bytes that are no UTF-8 (a Latin-1 folder name, an error text out of a hostile database) once made the whole
    // file unreadable, and the logs mailed to support empty.
    logger.log("📂 Opening database at: /home/someone/Mus\xE9"
               "e/chat.db");
    const std::string logs = logger.getAllLogs();
    EXPECT_NE(logs.find("=== Current Log ==="), std::string::npos) << logs.substr(0, 80);
    EXPECT_NE(logs.find("] 📂 Opening database at: /home/someone/Mus\xEF\xBF\xBD"
                        "e/chat.db\n"),
              std::string::npos);
}

TEST_F(LoggerTest, RotatesOnlyOnceTheFileReachedTheLimit) {
    fs::create_directories(folder);
    const std::string filler(4095, 'x');
    std::ofstream(folder / "quillobrandt.log", std::ios::binary) << filler;

    logger.log("first"); // 4095 bytes: appended, the file passes the limit
    logger.flush();
    EXPECT_FALSE(fs::exists(folder / "quillobrandt.old.log"));
    const auto grown = readAll(folder / "quillobrandt.log");
    EXPECT_EQ(grown.substr(0, 4095), filler);

    logger.log("second"); // now rotates
    logger.flush();
    EXPECT_EQ(readAll(folder / "quillobrandt.old.log"), grown);
    const auto lines = linesOf(readAll(folder / "quillobrandt.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("[INFO] Log rotated - previous log saved as quillobrandt.old.log"), std::string::npos);
    EXPECT_NE(lines[1].find("[INFO] second"), std::string::npos);
}

// What the calling thread has written to files so far, by the kernel's own count (0 where it keeps none).
std::optional<long long> bytesWrittenByThisThread() {
    std::ifstream io("/proc/thread-self/io");
    for (std::string key; io >> key;) {
        long long value = 0;
        io >> value;
        if (key == "wchar:") {
            return value;
        }
    }
    return std::nullopt;
}

TEST_F(LoggerTest, TheCallersThreadNeverWritesOrRotatesTheLog) {
    // Logged from the GUI thread, each line once opened, appended to and (every 40 lines) rotated the file there,
    // which held the window up to a quarter of a second on a busy disk.
    const auto before = bytesWrittenByThisThread();
    if (!before) {
        GTEST_SKIP() << "the kernel keeps no per-thread write count here";
    }
    std::size_t logged = 0;
    for (int i = 0; i < 200; ++i) {
        const std::string line = "line " + std::to_string(i) + std::string(60, '.');
        logger.log(line);
        logged += line.size();
    }
    // Sanitizers probe memory through writes of a few bytes to a pipe of their own; the lines are 13 KB.
    EXPECT_LT(*bytesWrittenByThisThread() - *before, static_cast<long long>(logged / 10))
        << "the calling thread wrote to the log itself";
    // Reading the logs sees every line logged before it.
    const std::string logs = logger.getAllLogs();
    EXPECT_NE(logs.find("] line 199...."), std::string::npos);
    EXPECT_NE(logs.find("Log rotated - previous log saved as quillobrandt.old.log"), std::string::npos);
    EXPECT_LT(*bytesWrittenByThisThread() - *before, static_cast<long long>(logged / 10));
}

TEST_F(LoggerTest, TheFileIsOpenedOnceForManyLines) {
    // Each line once opened the file anew: where opening it waits on a busy disk (50 ms, say), "Email Logs to
    // Support" right after a burst of 50 lines held the window for seconds while the writer caught up.
    logger.log("first");
    logger.flush();
    const platform::FileDescriptor watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_TRUE(watch);
    // Closes are watched too: the kernel folds repeated events that follow one another into one.
    ASSERT_GE(::inotify_add_watch(watch.get(), folder.c_str(), IN_OPEN | IN_CLOSE), 0);
    for (int i = 0; i < 30; ++i) {
        logger.log("burst " + std::to_string(i));
    }
    logger.flush();
    int opened = 0;
    alignas(inotify_event) char events[64 * 1024];
    for (ssize_t n; (n = ::read(watch.get(), events, sizeof events)) > 0;) {
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            const bool log = event->len > 0 && std::string(event->name) == "quillobrandt.log";
            opened += log && (event->mask & IN_OPEN) != 0 ? 1 : 0;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    EXPECT_LE(opened, 1) << "times the log was opened for 30 lines";
    EXPECT_NE(readAll(folder / "quillobrandt.log").find("] burst 29\n"), std::string::npos);

    // A file moved away by someone else is let go of: the next line starts the log anew where it belongs.
    fs::rename(folder / "quillobrandt.log", folder / "moved.log");
    logger.log("after the move");
    logger.flush();
    EXPECT_EQ(linesOf(readAll(folder / "quillobrandt.log")).size(), 1u);
    EXPECT_EQ(readAll(folder / "moved.log").find("after the move"), std::string::npos);
}

TEST_F(LoggerTest, EveryNewFileCarriesTheBannerAndTheFileBeingRead) {
    // The log keeps two files of about 4 KB; a long session or a large load rolls its start out of both, and
    // support then cannot tell which version ran or what it read.
    logger.logStartupInfo();
    logger.log("before any load");
    logger.logCurrentFile("📂 Opening database at: /home/someone/first/chat.db");
    logger.logCurrentFile("📂 Opening database at: /home/someone/second/chat.db");
    for (int i = 0; i < 500; ++i) {
        logger.log("busy " + std::to_string(i) + std::string(40, '.'));
    }
    logger.flush();
    const auto current = linesOf(readAll(folder / "quillobrandt.log"));
    ASSERT_GE(current.size(), 7u);
    EXPECT_NE(current[0].find("[INFO] Log rotated - previous log saved as quillobrandt.old.log"), std::string::npos);
    EXPECT_NE(current[1].find("] [INFO] === Quillobrandt Started ==="), std::string::npos);
    EXPECT_NE(current[2].find("] [INFO] App Version: "), std::string::npos);
    EXPECT_NE(current[3].find("] [INFO] OS Version: "), std::string::npos);
    EXPECT_TRUE(current[4].ends_with("] [INFO] " + std::string(27, '=')));
    EXPECT_TRUE(current[5].ends_with("] [INFO] 📂 Opening database at: /home/someone/second/chat.db")) << current[5];
    EXPECT_NE(current[6].find("] [INFO] busy "), std::string::npos);
    const auto previous = readAll(folder / "quillobrandt.old.log");
    EXPECT_NE(previous.find("] [INFO] === Quillobrandt Started ===\n"), std::string::npos);
    EXPECT_EQ(previous.find("first/chat.db"), std::string::npos) << "only the latest file read is carried";
    EXPECT_EQ(previous.find("before any load"), std::string::npos) << "nor any other line";
    EXPECT_LE(fs::file_size(folder / "quillobrandt.log"), 4096u + 200u);
}

TEST_F(LoggerTest, BannerHasFourLines) {
    logger.logStartupInfo();
    logger.flush();
    const auto lines = linesOf(readAll(folder / "quillobrandt.log"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].find("] [INFO] === Quillobrandt Started ==="), std::string::npos);
    EXPECT_TRUE(std::regex_search(lines[1], std::regex(R"(\] \[INFO\] App Version: \S+ \(\S+\)$)"))) << lines[1];
    EXPECT_NE(lines[2].find("] [INFO] OS Version: "), std::string::npos);
    EXPECT_TRUE(lines[3].ends_with("] [INFO] " + std::string(27, '=')));
}

TEST_F(LoggerTest, GetAllLogsInItsFourCases) {
    EXPECT_EQ(logger.getAllLogs(), "No logs available");

    fs::create_directories(folder);
    std::ofstream(folder / "quillobrandt.old.log") << "old\n";
    EXPECT_EQ(logger.getAllLogs(), "\n=== Previous Log ===\nold\n\n");

    std::ofstream(folder / "quillobrandt.log") << "new\n";
    EXPECT_EQ(logger.getAllLogs(), "=== Current Log ===\nnew\n\n\n=== Previous Log ===\nold\n\n");

    fs::remove(folder / "quillobrandt.old.log");
    EXPECT_EQ(logger.getAllLogs(), "=== Current Log ===\nnew\n\n");
}

TEST_F(LoggerTest, ConcurrentWritersNeverSplitOrLoseALine) {
    constexpr int kThreads = 8;
    constexpr int kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < kLines; ++i) {
                logger.log("thread " + std::to_string(t) + " line " + std::to_string(i));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    logger.flush();
    // Rotation keeps only two files, so check the lines that are there: each is whole, and each thread's
    // lines appear in the order it wrote them, old file before current one.
    std::map<int, int> lastLineOfThread;
    std::size_t count = 0;
    const std::regex shape(
        R"(\[[^\]]+\] \[INFO\] (thread (\d) line (\d+)|Log rotated - previous log saved as quillobrandt\.old\.log))");
    for (const auto* name : {"quillobrandt.old.log", "quillobrandt.log"}) {
        for (const auto& line : linesOf(readAll(folder / name))) {
            std::smatch match;
            ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
            ++count;
            if (match[2].matched) {
                const int thread = std::stoi(match[2]);
                const int number = std::stoi(match[3]);
                auto it = lastLineOfThread.find(thread);
                EXPECT_TRUE(it == lastLineOfThread.end() || it->second < number) << line;
                lastLineOfThread[thread] = number;
            }
        }
    }
    EXPECT_GT(count, 50u);
    EXPECT_LE(fs::file_size(folder / "quillobrandt.log"), 4096u + 200u);
}

TEST_F(LoggerTest, UnwritableFolderDropsLinesWithoutFailing) {
    fs::create_directories(folder.parent_path());
    std::ofstream(folder) << "a file where the folder should be";
    logger.log("dropped");
    EXPECT_EQ(logger.getAllLogs(), "No logs available");
}

TEST_F(LoggerTest, MailsTheLogFileAsAnAttachment) {
    RecordingMailer::Calls calls;
    logger.setSupportMailer(std::make_unique<RecordingMailer>(calls, true, true));
    logger.setSupportAddress("help@example.org");
    logger.log("something happened");
    logger.emailLogsToSupport();
    ASSERT_EQ(calls.composed.size(), 1u);
    const fs::path attachment = platform::privateTempDir() / "Quillobrandt-Logs.txt";
    EXPECT_NE(calls.composed[0].find("help@example.org|Quillobrandt Logs|User "), std::string::npos);
    EXPECT_TRUE(
        calls.composed[0].ends_with(" is having some issues. Please review the attached logs.|" + attachment.string()));
    EXPECT_EQ(readAll(attachment), logger.getAllLogs());
    EXPECT_EQ(fs::status(attachment).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_FALSE(fs::exists(platform::tempDir() / "Quillobrandt-Logs.txt")) << "never in the shared folder";
    EXPECT_TRUE(calls.opened.empty());
}

TEST_F(LoggerTest, FallsBackToAMailtoLinkEncodingEveryReservedCharacter) {
    RecordingMailer::Calls calls;
    logger.setSupportMailer(std::make_unique<RecordingMailer>(calls, true, true));
    logger.setSupportAddress("help@example.org");
    logger.log("a&b=c+d?e");
    // The attachment cannot be written: a folder stands in its place.
    fs::create_directories(platform::privateTempDir() / "Quillobrandt-Logs.txt");
    logger.emailLogsToSupport();
    EXPECT_TRUE(calls.composed.empty());
    ASSERT_EQ(calls.opened.size(), 1u);
    const auto& url = calls.opened[0];
    EXPECT_TRUE(url.starts_with("mailto:help@example.org?subject=Quillobrandt%20Logs&body=User%20")) << url;
    EXPECT_NE(url.find("a%26b%3Dc%2Bd%3Fe"), std::string::npos);
    EXPECT_EQ(url.find('&', url.find("&body=") + 1), std::string::npos) << "the body must not be cut at '&'";
}

TEST_F(LoggerTest, TellsTheUserWhereTheFileIsWhenNothingCanSendIt) {
    RecordingMailer::Calls calls;
    logger.setSupportMailer(std::make_unique<RecordingMailer>(calls, false, false));
    logger.setSupportAddress("help@example.org");
    logger.emailLogsToSupport();
    ASSERT_EQ(calls.manual.size(), 1u);
    EXPECT_EQ(calls.manual[0], "help@example.org|" + (platform::privateTempDir() / "Quillobrandt-Logs.txt").string());
}

TEST(PercentEncoding, KeepsOnlyUnreservedCharacters) {
    EXPECT_EQ(quillobrandt::percentEncodeUnreserved("aZ09-._~ &=+?/\n\xC3\xA9"), "aZ09-._~%20%26%3D%2B%3F%2F%0A%C3%A9");
}

TEST_F(LoggerTest, AMailerReplacedWhileItIsSendingStaysAliveUntilTheMailIsDone) {
    // The mailer is used outside the logger's lock, so another thread (here: the mailer itself) may install a
    // new one meanwhile; the one in use must not be destroyed under the running call.
    struct ReplacingMailer : RecordingMailer {
        ReplacingMailer(Calls& calls, Logger& logger, Calls& replacementCalls)
            : RecordingMailer(calls, false, true), logger(logger), replacementCalls(replacementCalls) {}
        bool composeWithAttachment(const std::string& recipient, const std::string& subject, const std::string& body,
                                   const fs::path& attachment) override {
            logger.setSupportMailer(std::make_unique<RecordingMailer>(replacementCalls, true, true));
            return RecordingMailer::composeWithAttachment(recipient, subject, body, attachment);
        }
        Logger& logger;
        Calls& replacementCalls;
    };
    RecordingMailer::Calls calls;
    RecordingMailer::Calls replacementCalls;
    logger.setSupportMailer(std::make_unique<ReplacingMailer>(calls, logger, replacementCalls));
    logger.setSupportAddress("help@example.org");
    logger.emailLogsToSupport();
    EXPECT_EQ(calls.composed.size(), 1u);
    EXPECT_EQ(calls.opened.size(), 1u); // the fallback link went through the mailer that began the mail
    EXPECT_TRUE(replacementCalls.composed.empty());
}

TEST_F(LoggerTest, AFullLogThatCannotBeRotatedStopsGrowing) {
    // The rename fails as in a folder the program cannot write (tests may run as root, who can write
    // anywhere): a non-empty folder stands where the old log would go.
    fs::create_directories(folder / "quillobrandt.old.log" / "inside");
    const std::string filler(5000, 'x');
    std::ofstream(folder / "quillobrandt.log", std::ios::binary) << filler;

    logger.logStartupInfo();
    for (int i = 0; i < 1000; ++i) {
        logger.log("after the banner " + std::to_string(i));
    }
    logger.flush();
    EXPECT_EQ(fs::file_size(folder / "quillobrandt.log"), filler.size());
    EXPECT_TRUE(fs::is_directory(folder / "quillobrandt.old.log" / "inside"));

    // Once the way is clear again, rotation and appending resume.
    fs::remove_all(folder / "quillobrandt.old.log");
    logger.log("resumed");
    logger.flush();
    EXPECT_EQ(readAll(folder / "quillobrandt.old.log"), filler);
    EXPECT_NE(readAll(folder / "quillobrandt.log").find("] resumed\n"), std::string::npos);
}

TEST_F(LoggerTest, SomethingOtherThanAFileAtTheLogsPathIsLeftAloneWithoutWaiting) {
    fs::create_directories(folder);
    const fs::path log = folder / "quillobrandt.log";
    ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
    // Opening a FIFO for writing or reading waits for the other end: run the logger aside and, should it wait,
    // open the other end ourselves so the test ends.
    auto calls = std::async(std::launch::async, [this] {
        logger.logStartupInfo();
        logger.log("not into a pipe");
        return logger.getAllLogs();
    });
    const bool finished = calls.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!finished) {
        const int writer = ::open(log.c_str(), O_RDWR | O_NONBLOCK);
        for (int round = 0; round < 100 && calls.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready;
             ++round) {
            char drained[4096];
            while (::read(writer, drained, sizeof drained) > 0) {
            }
        }
        ::close(writer);
    }
    EXPECT_TRUE(finished) << "the logger waited on a FIFO";
    EXPECT_EQ(calls.get(), "No logs available");
    EXPECT_EQ(fs::status(log).type(), fs::file_type::fifo);

    // A link at the log's path is not followed either.
    fs::remove(log);
    std::ofstream(folder / "elsewhere.txt") << "someone else's\n";
    fs::create_symlink(folder / "elsewhere.txt", log);
    logger.log("not through a link");
    logger.flush();
    EXPECT_EQ(readAll(folder / "elsewhere.txt"), "someone else's\n");
}
