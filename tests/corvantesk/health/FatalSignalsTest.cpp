#include "Corvantesk/health/FatalSignals.h"
#include "tests/corvantesk/health/ChildProcess.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace corvantesk {
namespace {

using testing::runInChild;

// Prepared before the fork, as the real writer prepares its path at install.
char g_recordPath[4096];

// Appends "<tag><signal number>;" to the record file, async-signal-safely.
void appendRecord(char tag, int signalNumber) noexcept {
    const int fd = ::open(g_recordPath, O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd < 0) {
        return;
    }
    char text[16];
    int length = 0;
    char digits[8];
    int count = 0;
    for (int n = signalNumber; n > 0 || count == 0; n /= 10) {
        digits[count++] = static_cast<char>('0' + n % 10);
    }
    text[length++] = tag;
    while (count > 0) {
        text[length++] = digits[--count];
    }
    text[length++] = ';';
    [[maybe_unused]] auto written = ::write(fd, text, static_cast<std::size_t>(length));
    ::close(fd);
}

void recordSignal(int signalNumber) noexcept {
    appendRecord('S', signalNumber);
}

// Handlers another crash reporter or a runtime put in place before ours, in both forms.
void earlierPlainHandler(int signalNumber) {
    appendRecord('P', signalNumber);
    ::_exit(40);
}

void earlierInfoHandler(int signalNumber, siginfo_t* info, void* context) {
    appendRecord(info != nullptr && info->si_signo == signalNumber && context != nullptr ? 'I' : 'X', signalNumber);
    ::_exit(41);
}

void setAction(int signalNumber, void (*plain)(int), void (*withInfo)(int, siginfo_t*, void*) = nullptr) {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    if (withInfo != nullptr) {
        action.sa_sigaction = withInfo;
        action.sa_flags = SA_SIGINFO;
    } else {
        action.sa_handler = plain;
    }
    ::sigaction(signalNumber, &action, nullptr);
}

void touchAProtectedPage() {
    auto* page = static_cast<volatile int*>(::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    *page = 1;
}

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

class FatalSignalsTest : public ::testing::Test {
protected:
    void SetUp() override {
        record_ = qbtest::IsolatedHome::root() / "signals.txt";
        std::snprintf(g_recordPath, sizeof g_recordPath, "%s", record_.c_str());
    }
    std::filesystem::path record_;
};

TEST_F(FatalSignalsTest, EachHandledSignalEndsTheChildByThatSignalAfterOneRecord) {
    for (int signalNumber : FatalSignals::kSignals) {
        std::filesystem::remove(record_);
        auto outcome = runInChild([signalNumber] {
            FatalSignals::install(&recordSignal);
            ::raise(signalNumber);
        });
        ASSERT_TRUE(outcome.signaled) << signalName(signalNumber);
        EXPECT_EQ(outcome.signal, signalNumber);
        EXPECT_EQ(readAll(record_), "S" + std::to_string(signalNumber) + ";");
    }
}

TEST_F(FatalSignalsTest, RealFaultsAreCaught) {
    auto protectedWrite = runInChild([] {
        FatalSignals::install(&recordSignal);
        touchAProtectedPage();
    });
    ASSERT_TRUE(protectedWrite.signaled);
    EXPECT_EQ(protectedWrite.signal, SIGSEGV);

    const auto mapped = qbtest::IsolatedHome::root() / "shrinking.bin";
    auto busError = runInChild([&mapped] {
        FatalSignals::install(&recordSignal);
        const int fd = ::open(mapped.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || ::ftruncate(fd, 8192) != 0) {
            ::_exit(3);
        }
        auto* bytes = static_cast<volatile char*>(::mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        if (::ftruncate(fd, 0) != 0) {
            ::_exit(4);
        }
        bytes[4096] = 1; // beyond the end of the file now
    });
    ASSERT_TRUE(busError.signaled) << busError.exitCode;
    EXPECT_EQ(busError.signal, SIGBUS);
    EXPECT_EQ(readAll(record_), "S11;S7;");
}

// A handler that was there before ours (another crash reporter, a runtime's own) still gets the signal, after the
// record is written, whichever form it has; the process then ends as that handler decides.
TEST_F(FatalSignalsTest, TheHandlerInstalledBeforeOursIsCalledAfterTheRecord) {
    auto plain = runInChild([] {
        setAction(SIGSEGV, &earlierPlainHandler);
        FatalSignals::install(&recordSignal);
        touchAProtectedPage();
    });
    ASSERT_TRUE(plain.exited) << "ended by signal " << plain.signal;
    EXPECT_EQ(plain.exitCode, 40);
    EXPECT_EQ(readAll(record_), "S11;P11;");

    std::filesystem::remove(record_);
    auto withInfo = runInChild([] {
        setAction(SIGABRT, nullptr, &earlierInfoHandler);
        FatalSignals::install(&recordSignal);
        std::abort();
    });
    ASSERT_TRUE(withInfo.exited) << "ended by signal " << withInfo.signal;
    EXPECT_EQ(withInfo.exitCode, 41);
    EXPECT_EQ(readAll(record_), "S6;I6;");
}

// Ignored before ours, a signal sent to the process changes nothing, as it did without us; a fault still ends the
// process (the kernel does not let a fault be ignored) and is reported.
TEST_F(FatalSignalsTest, ASignalIgnoredBeforeOursStaysIgnoredUnlessItIsAFault) {
    auto sent = runInChild([] {
        setAction(SIGTRAP, SIG_IGN);
        FatalSignals::install(&recordSignal);
        ::raise(SIGTRAP);
        ::_exit(FatalSignals::crashClaimed() ? 2 : 0);
    });
    ASSERT_TRUE(sent.exited) << "ended by signal " << sent.signal;
    EXPECT_EQ(sent.exitCode, 0);
    EXPECT_FALSE(std::filesystem::exists(record_));

    auto fault = runInChild([] {
        setAction(SIGSEGV, SIG_IGN);
        FatalSignals::install(&recordSignal);
        touchAProtectedPage();
    });
    ASSERT_TRUE(fault.signaled);
    EXPECT_EQ(fault.signal, SIGSEGV);
    EXPECT_EQ(readAll(record_), "S11;");
}

TEST_F(FatalSignalsTest, StackOverflowIsReportedFromTheAlternateStack) {
    auto outcome = runInChild([] {
        FatalSignals::install(&recordSignal);
        testing::overflowTheStack();
    });
    ASSERT_TRUE(outcome.signaled);
    EXPECT_EQ(outcome.signal, SIGSEGV);
    EXPECT_EQ(readAll(record_), "S11;");
}

// The alternate stack is per thread: handlers installed from a short-lived thread still report an overflow on
// the main thread once it has asked for its own stack.
TEST_F(FatalSignalsTest, StackOverflowOnAnotherThreadThanTheInstallerIsReported) {
    auto outcome = runInChild([] {
        ASSERT_TRUE(FatalSignals::installAlternateStack());
        std::thread([] { FatalSignals::install(&recordSignal); }).join();
        testing::overflowTheStack();
    });
    ASSERT_TRUE(outcome.signaled);
    EXPECT_EQ(outcome.signal, SIGSEGV);
    EXPECT_EQ(readAll(record_), "S11;");
}

TEST_F(FatalSignalsTest, AClaimedCrashWritesNoSecondRecord) {
    auto outcome = runInChild([] {
        FatalSignals::install(&recordSignal);
        ASSERT_TRUE(FatalSignals::claimCrash());
        FatalSignals::markCrashRecorded();
        std::abort();
    });
    ASSERT_TRUE(outcome.signaled);
    EXPECT_EQ(outcome.signal, SIGABRT);
    EXPECT_FALSE(std::filesystem::exists(record_));
}

TEST_F(FatalSignalsTest, TwoThreadsCrashingTogetherLeaveOneRecord) {
    auto outcome = runInChild([] {
        FatalSignals::install(&recordSignal);
        std::thread other([] { ::raise(SIGFPE); });
        ::raise(SIGILL);
        other.join();
    });
    ASSERT_TRUE(outcome.signaled);
    const std::string record = readAll(record_);
    EXPECT_TRUE(record == "S4;" || record == "S8;") << record;
}

TEST_F(FatalSignalsTest, UninstallPutsBackThePreviousHandlers) {
    static std::atomic<int> seen{0};
    struct sigaction mine {};
    mine.sa_handler = [](int) { seen.fetch_add(1); };
    sigemptyset(&mine.sa_mask);
    struct sigaction saved {};
    ASSERT_EQ(::sigaction(SIGTRAP, &mine, &saved), 0);

    FatalSignals::install(&recordSignal);
    EXPECT_TRUE(FatalSignals::isInstalled());
    struct sigaction during {};
    ::sigaction(SIGTRAP, nullptr, &during);
    EXPECT_NE(during.sa_handler, mine.sa_handler);
    EXPECT_NE(during.sa_flags & SA_ONSTACK, 0);

    FatalSignals::uninstall();
    EXPECT_FALSE(FatalSignals::isInstalled());
    ::raise(SIGTRAP);
    EXPECT_EQ(seen.load(), 1);
    EXPECT_FALSE(std::filesystem::exists(record_));
    FatalSignals::uninstall(); // a second uninstall does nothing
    ::sigaction(SIGTRAP, &saved, nullptr);
}

TEST(SignalNames, LinuxNumbersHaveTheirNames) {
    EXPECT_EQ(signalName(SIGSEGV), "SIGSEGV");
    EXPECT_EQ(signalName(SIGBUS), "SIGBUS");
    EXPECT_EQ(signalName(7), "SIGBUS");
    EXPECT_EQ(signalName(SIGABRT), "SIGABRT");
    EXPECT_EQ(signalName(SIGFPE), "SIGFPE");
    EXPECT_EQ(signalName(SIGILL), "SIGILL");
    EXPECT_EQ(signalName(SIGTRAP), "SIGTRAP");
    EXPECT_EQ(signalName(15), "SIGNAL_15");
}

TEST(CrashSessionSlot, PublishedIdsAreReadBackWhole) {
    CrashSessionSlot::publish("first");
    EXPECT_STREQ(CrashSessionSlot::read(), "first");
    for (int i = 0; i < 20; ++i) {
        CrashSessionSlot::publish("session-" + std::to_string(i));
    }
    EXPECT_STREQ(CrashSessionSlot::read(), "session-19");
    CrashSessionSlot::publish(std::string(200, 'x'));
    EXPECT_EQ(std::strlen(CrashSessionSlot::read()), 63u);
}

} // namespace
} // namespace corvantesk
