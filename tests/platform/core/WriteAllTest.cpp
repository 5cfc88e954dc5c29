#include "platform/core/WriteAll.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <string>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {

std::string patterned(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>('a' + (i * 7) % 26);
    }
    return bytes;
}

// A blocking write into a pipe that a signal interrupts returns what it had written so far, or fails with EINTR
// when it had written nothing: the reader below keeps interrupting the writer, so both cases come up.
TEST(WriteAll, GoesOnAfterPartialAndInterruptedWrites) {
    struct sigaction interrupt {};
    interrupt.sa_handler = [](int) {};
    sigemptyset(&interrupt.sa_mask);
    interrupt.sa_flags = 0; // no SA_RESTART
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR2, &interrupt, &previous), 0);

    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const std::string bytes = patterned(4 * 1024 * 1024);
    std::atomic<bool> done{false};
    bool ok = false;
    std::thread writer([&] {
        ok = platform::writeAll(ends[1], bytes);
        ::close(ends[1]);
        done = true;
    });
    std::string received;
    char buffer[16 * 1024];
    for (;;) {
        if (!done) {
            ::pthread_kill(writer.native_handle(), SIGUSR2);
        }
        const ssize_t n = ::read(ends[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        received.append(buffer, static_cast<std::size_t>(n));
    }
    writer.join();
    ::close(ends[0]);
    ::sigaction(SIGUSR2, &previous, nullptr);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(received == bytes) << received.size() << " of " << bytes.size() << " bytes, or out of order";
}

TEST(WriteAll, FailureKeepsItsCauseInErrno) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[0]);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    ::sigaction(SIGPIPE, &ignore, &previous);
    errno = 0;
    EXPECT_FALSE(platform::writeAll(ends[1], "lost", 4));
    EXPECT_EQ(errno, EPIPE);
    ::sigaction(SIGPIPE, &previous, nullptr);
    ::close(ends[1]);

    errno = 0;
    EXPECT_FALSE(platform::writeAll(-1, "x", 1));
    EXPECT_EQ(errno, EBADF);
    EXPECT_TRUE(platform::writeAll(-1, "", 0)); // nothing to write is no failure
}

} // namespace
