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

constexpr FatalSignals::Texts kTexts[] = {
    {SIGABRT, "SIGABRT", "Process received SIGABRT"}, {SIGSEGV, "SIGSEGV", "Process received SIGSEGV"},
    {SIGBUS, "SIGBUS", "Process received SIGBUS"},    {SIGFPE, "SIGFPE", "Process received SIGFPE"},
    {SIGILL, "SIGILL", "Process received SIGILL"},    {SIGTRAP, "SIGTRAP", "Process received SIGTRAP"},
};
static_assert(std::size(kTexts) == FatalSignals::kSignals.size());

// The action the signal had before install(); nullptr for a signal we do not handle.
const struct sigaction* previousAction(int signalNumber) noexcept {
    for (std::size_t i = 0; i < FatalSignals::kSignals.size(); ++i) {
        if (FatalSignals::kSignals[i] == signalNumber) {
            return &g_previousActions[i];
        }
    }
    return nullptr;
}

bool isIgnored(const struct sigaction& action) noexcept {
    return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_IGN;
}

// Sent by kill(), raise() and the like rather than raised by the kernel for a fault of the thread.
bool wasSent(const siginfo_t* info) noexcept {
    return info != nullptr && info->si_code <= 0;
}

// Puts back the action found at install time and lets the signal take its course under it: the earlier handler
// is called with what we were given; the default action is taken by raising the signal again (it is blocked
// while we run, so it stays pending and acts as soon as this handler returns; a fault from the instruction itself
// would recur on return anyway). A fault ends the process even where it was ignored: the kernel puts the default
// action back for it, which we do too.
void passOn(int signalNumber, siginfo_t* info, void* context) noexcept {
    struct sigaction previous {};
    sigemptyset(&previous.sa_mask);
    previous.sa_handler = SIG_DFL;
    if (const struct sigaction* saved = previousAction(signalNumber); saved != nullptr && !isIgnored(*saved)) {
        previous = *saved;
    }
    struct sigaction restored = previous;
    if ((previous.sa_flags & SA_RESETHAND) != 0) {
        // A one-shot handler expects the default action to be back while it runs.
        restored.sa_handler = SIG_DFL;
        restored.sa_flags &= ~(SA_SIGINFO | SA_RESETHAND);
    }
    sigaction(signalNumber, &restored, nullptr);
    if ((previous.sa_flags & SA_SIGINFO) != 0) {
        if (previous.sa_sigaction != nullptr) {
            previous.sa_sigaction(signalNumber, info, context);
        }
    } else if (previous.sa_handler == SIG_DFL) {
        raise(signalNumber);
    } else {
        previous.sa_handler(signalNumber);
    }
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

void onFatalSignal(int signalNumber, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    const struct sigaction* previous = previousAction(signalNumber);
    if (previous != nullptr && isIgnored(*previous) && wasSent(info)) {
        // Without us this signal would have changed nothing; no crash to report.
        errno = savedErrno;
        return;
    }
    if (FatalSignals::claimCrash()) {
        if (auto writer = g_writer.load(std::memory_order_acquire)) {
            writer(signalNumber);
        }
        FatalSignals::markCrashRecorded();
    } else {
        waitBrieflyForFirstCrash();
    }
    errno = savedErrno;
    passOn(signalNumber, info, context);
    errno = savedErrno;
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

const FatalSignals::Texts* FatalSignals::texts(int signalNumber) noexcept {
    for (const auto& texts : kTexts) {
        if (texts.number == signalNumber) {
            return &texts;
        }
    }
    return nullptr;
}

std::string signalName(int signalNumber) {
    if (const auto* known = FatalSignals::texts(signalNumber)) {
        return std::string(known->name);
    }
    return "SIGNAL_" + std::to_string(signalNumber);
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
