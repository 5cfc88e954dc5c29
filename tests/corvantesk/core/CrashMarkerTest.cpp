#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/core/AtomicFile.h"
#include "platform/core/Utf8Text.h"
#include "tests/corvantesk/core/SdkTestSupport.h"
#include "tests/corvantesk/health/ChildProcess.h"

using namespace corvantesk;
namespace fs = std::filesystem;

TEST(CrashMarker, WrittenTextIsExactAndReadsBack) {
    sdktest::TestStorage test;
    auto writer = test.storage.makeCrashMarkerWriter();
    ASSERT_TRUE(writer.write(1700000000.0, "SIGSEGV", "Process received SIGSEGV", ""));
    EXPECT_EQ(
        platform::readFile(test.storage.crashMarkerPath()),
        R"({"timestamp":1700000000.0,"signalOrException":"SIGSEGV","message":"Process received SIGSEGV","sessionId":""})");
    const auto marker = test.storage.consumeCrashMarker();
    ASSERT_TRUE(marker);
    EXPECT_EQ(*marker, (CrashMarker{1700000000.0, "SIGSEGV", "Process received SIGSEGV", std::string()}));
    EXPECT_FALSE(test.storage.hasCrashMarker());
    EXPECT_FALSE(test.storage.consumeCrashMarker());
}

TEST(CrashMarker, EscapesAsJsonRequiresAndKeepsTheTimeExactly) {
    sdktest::TestStorage test;
    const CrashMarker marker{1714564800.123456, "NSInvalidArgument\"Exception",
                             "say \"hi\"\\ then\nnew line\ttab\x01 bell é", std::string("S-1")};
    auto writer = test.storage.makeCrashMarkerWriter();
    ASSERT_TRUE(writer.write(marker));
    const auto text = *platform::readFile(test.storage.crashMarkerPath());
    EXPECT_NE(text.find(R"(say \"hi\"\\ then\nnew line\ttab\u0001 bell é)"), std::string::npos) << text;
    EXPECT_EQ(test.storage.consumeCrashMarker(), marker);
}

TEST(CrashMarker, OverlongTextsAreCutAtACharacterBoundary) {
    sdktest::TestStorage test;
    std::string message;
    for (int i = 0; i < 20000; ++i) {
        message += "é";
    }
    auto writer = test.storage.makeCrashMarkerWriter();
    ASSERT_TRUE(writer.write(1.5, "SIGABRT", message, "SESSION"));
    EXPECT_LE(writer.lastText().size(), CrashMarkerWriter::kBufferSize);
    const auto marker = test.storage.consumeCrashMarker();
    ASSERT_TRUE(marker);
    EXPECT_TRUE(platform::utf8::isValid(marker->message));
    EXPECT_TRUE(message.starts_with(marker->message));
    EXPECT_GT(marker->message.size(), 10000u);
    EXPECT_EQ(marker->sessionId, "SESSION");
}

TEST(CrashMarker, UndecodableMarkerIsSetAsideOnce) {
    sdktest::TestStorage test;
    const fs::path file = test.storage.crashMarkerPath();
    ASSERT_TRUE(
        platform::writeFileAtomically(file, R"({"timestamp":"yesterday","signalOrException":"X","message":"Y"})"));
    EXPECT_TRUE(test.storage.hasCrashMarker());
    EXPECT_FALSE(test.storage.consumeCrashMarker());
    EXPECT_FALSE(test.storage.hasCrashMarker());
    EXPECT_TRUE(fs::exists(file.string() + ".bad"));
}

namespace {
CrashMarkerWriter* g_writer = nullptr;

void onSegv(int signal) {
    g_writer->write(CrashMarkerWriter::currentUnixTime(), "SIGSEGV", "Process received SIGSEGV", "S");
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}
} // namespace

TEST(CrashMarker, WriterWorksInsideASignalHandler) {
    sdktest::TestStorage test;
    auto writer = test.storage.makeCrashMarkerWriter();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        g_writer = &writer;
        struct sigaction action {};
        action.sa_handler = onSegv;
        ::sigaction(SIGSEGV, &action, nullptr);
        ::raise(SIGSEGV);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);
    const auto marker = test.storage.consumeCrashMarker();
    ASSERT_TRUE(marker);
    EXPECT_EQ(marker->signalOrException, "SIGSEGV");
    EXPECT_EQ(marker->sessionId, "S");
    EXPECT_NEAR(marker->timestamp, CrashMarkerWriter::currentUnixTime(), 60.0);
}

// A FIFO at the marker's path makes neither the writer (in a signal handler) nor the reader at start wait: the
// writer gives up, the reader sets it aside.
TEST(CrashMarker, AFifoAtTheMarkerPathNeverHangs) {
    const auto outcome = corvantesk::testing::runInChild(
        [] {
            sdktest::TestStorage test;
            const fs::path marker = test.storage.crashMarkerPath();
            if (::mkfifo(marker.c_str(), 0600) != 0) {
                ::_exit(2);
            }
            auto writer = test.storage.makeCrashMarkerWriter();
            if (writer.write(1700000000.0, "SIGSEGV", "Process received SIGSEGV", "")) {
                ::_exit(3);
            }
            if (test.storage.readCrashMarker() || fs::exists(fs::symlink_status(marker))) {
                ::_exit(4);
            }
        },
        std::chrono::milliseconds(5000));
    EXPECT_FALSE(outcome.timedOut);
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 0);
}
