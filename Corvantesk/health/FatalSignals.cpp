#include "Corvantesk/health/FatalSignals.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include <signal.h>
#include <unistd.h>

#include "platform/core/SignalStack.h"

namespace corvantesk {
namespace {

std::mutex g_installMutex;
bool g_installed = false;
std::array<struct sigaction, FatalSignals::kSignals.size()> g_previousActions{};

std::atomic<FatalSignals::CrashWriter> g_writer{nullptr};
std::atomic<bool> g_crashClaimed{false};
std::atomic<bool> g_crashRecorded{false};

void restoreDefaultAndRaise(int signalNumber) noexcept {
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    sigaction(signalNumber, &defaultAction, nullptr);
    // The signal is blocked while we run, so this stays pending and ends the process as soon as the
    // handler returns. A fault from the instruction itself would recur on return anyway.
    raise(signalNumber);
}

void waitBrieflyForFirstCrash() noexcept {
    // Another thread is writing the one report; give it up to two seconds before ending the process.
    for (int i = 0; i < 200 && !g_crashRecorded.load(std::memory_order_acquire); ++i) {
        struct timespec pause {
            0, 10'000'000
        };
        nanosleep(&pause, nullptr);
    }
}

void onFatalSignal(int signalNumber, siginfo_t*, void*) {
    const int savedErrno = errno;
    if (FatalSignals::claimCrash()) {
        if (auto writer = g_writer.load(std::memory_order_acquire)) {
            writer(signalNumber);
        }
        FatalSignals::markCrashRecorded();
    } else {
        waitBrieflyForFirstCrash();
    }
    errno = savedErrno;
    restoreDefaultAndRaise(signalNumber);
}

// Session ids rotate through a few fixed slots so that a reader in a signal handler never sees a slot
// being written, short of several rotations during its single read.
constexpr std::size_t kSlotCount = 8;
constexpr std::size_t kSlotSize = 64;
char g_sessionSlots[kSlotCount][kSlotSize] = {};
std::atomic<std::size_t> g_sessionSlotIndex{0};
std::mutex g_sessionPublishMutex;

} // namespace

void FatalSignals::install(CrashWriter writer) {
    std::lock_guard lock(g_installMutex);
    g_writer.store(writer, std::memory_order_release);
    if (g_installed) {
        return;
    }
    installAlternateStack();
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        struct sigaction action {};
        action.sa_sigaction = &onFatalSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigaction(kSignals[i], &action, &g_previousActions[i]);
    }
    g_installed = true;
}

void FatalSignals::uninstall() {
    std::lock_guard lock(g_installMutex);
    if (!g_installed) {
        return;
    }
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        sigaction(kSignals[i], &g_previousActions[i], nullptr);
    }
    g_writer.store(nullptr, std::memory_order_release);
    g_installed = false;
}

bool FatalSignals::installAlternateStack() {
    return platform::ensureAlternateSignalStack();
}

bool FatalSignals::isInstalled() {
    std::lock_guard lock(g_installMutex);
    return g_installed;
}

bool FatalSignals::claimCrash() noexcept {
    return !g_crashClaimed.exchange(true, std::memory_order_acq_rel);
}

bool FatalSignals::crashClaimed() noexcept {
    return g_crashClaimed.load(std::memory_order_acquire);
}

void FatalSignals::markCrashRecorded() noexcept {
    g_crashRecorded.store(true, std::memory_order_release);
}

void FatalSignals::resetClaimForTesting() noexcept {
    g_crashClaimed.store(false, std::memory_order_release);
    g_crashRecorded.store(false, std::memory_order_release);
}

std::string signalName(int signalNumber) {
    switch (signalNumber) {
    case SIGABRT:
        return "SIGABRT";
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGFPE:
        return "SIGFPE";
    case SIGILL:
        return "SIGILL";
    case SIGTRAP:
        return "SIGTRAP";
    default:
        return "SIGNAL_" + std::to_string(signalNumber);
    }
}

void CrashSessionSlot::publish(std::string_view sessionId) {
    std::lock_guard lock(g_sessionPublishMutex);
    const std::size_t next = (g_sessionSlotIndex.load(std::memory_order_relaxed) + 1) % kSlotCount;
    const std::size_t length = std::min(sessionId.size(), kSlotSize - 1);
    std::memcpy(g_sessionSlots[next], sessionId.data(), length);
    g_sessionSlots[next][length] = '\0';
    g_sessionSlotIndex.store(next, std::memory_order_release);
}

const char* CrashSessionSlot::read() noexcept {
    return g_sessionSlots[g_sessionSlotIndex.load(std::memory_order_acquire)];
}

} // namespace corvantesk
