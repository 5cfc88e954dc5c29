#pragma once

#include <array>
#include <csignal>
#include <string>
#include <string_view>

namespace corvantesk {

// The process-wide half of crash capture that runs inside a signal handler.
//
// A handler for SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGTRAP runs on an alternate signal stack where
// the crashing thread has one (so a stack overflow can still be reported; see installAlternateStack()). It does only
// async-signal-safe work: it calls the writer given at install (which must itself be async-signal-safe) once per
// process, then puts back the action the signal had before install() and lets the signal take its course as it
// would have without us: a handler installed before ours (another crash reporter, a runtime's own) is called, in
// either of its forms; the default action is taken by raising the signal again. A signal that was ignored before
// install() and was sent rather than caused by a fault is ignored still, and reported by no one.
//
// install() and uninstall() may be called from any thread; they are serialised internally. The handlers
// that were in place before install() are saved and put back by uninstall().
class FatalSignals {
public:
    // Called from the signal handler with the signal number. Must be async-signal-safe.
    using CrashWriter = void (*)(int signalNumber) noexcept;

    // The handled signals, in the order they are installed.
    static constexpr std::array<int, 6> kSignals = {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};

    // A handled signal's name ("SIGSEGV") and the crash marker's message for it, as literals.
    struct Texts {
        int number;
        std::string_view name;
        std::string_view message;
    };
    // The texts of a handled signal; nullptr for any other. Async-signal-safe.
    static const Texts* texts(int signalNumber) noexcept;

    // Installs the handlers (or, when already installed, only replaces the writer).
    static void install(CrashWriter writer);
    // Puts back the handlers found at install time. Does nothing when not installed. Alternate stacks stay.
    static void uninstall();
    // Gives the calling thread an alternate signal stack, unless it has a large enough one
    // (platform::ensureAlternateSignalStack()). A stack is per thread: install() gives one only to the thread
    // calling it; every other thread declares a platform::ThreadSignalStack at its start. Returns false when none
    // could be set.
    static bool installAlternateStack();
    static bool isInstalled();

    // Marks the process as crashing. Returns true for the first caller only: the one crash that gets a
    // report. The uncaught-exception path claims it before the abort that follows, so that abort's
    // SIGABRT writes no second marker. Async-signal-safe.
    static bool claimCrash() noexcept;
    static bool crashClaimed() noexcept;
    // Tells a second crashing thread that the first one has finished recording, so it may end the
    // process now. Async-signal-safe.
    static void markCrashRecorded() noexcept;

    // For tests of a process that survives a simulated crash path: forgets the claim.
    static void resetClaimForTesting() noexcept;
};

// "SIGSEGV" and the like for Linux's numbers; "SIGNAL_<n>" for any other number.
std::string signalName(int signalNumber);

// The session id the crash marker names, kept where a signal handler can read it without a lock.
// publish() may be called from any thread; read() is async-signal-safe and returns a NUL-terminated
// text that stays valid (possibly replaced by a newer one) for the life of the process.
class CrashSessionSlot {
public:
    static void publish(std::string_view sessionId);
    static const char* read() noexcept;
};

} // namespace corvantesk
