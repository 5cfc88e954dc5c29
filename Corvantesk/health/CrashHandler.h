#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Corvantesk/core/CrashMarker.h"
#include "Corvantesk/health/BreadcrumbBuffer.h"
#include "Corvantesk/health/HealthEvent.h"
#include "Corvantesk/health/LogBuffer.h"

namespace corvantesk {

// Catches the two kinds of fatal failure the SDK reports, once per process (shared()).
//
// A fatal signal (SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP) writes only the crash marker, from a
// writer prepared at install and the session id published in CrashSessionSlot, then hands the signal to the
// handler installed before ours, or ends the process by the signal's default action where there was none
// (FatalSignals). The next start turns the marker into the crash event (HealthClient).
//
// An uncaught C++ exception (std::terminate) builds the crash event on the failing thread, enriches it with
// the breadcrumbs, logs and device state, and hands it to the callback, which persists it; the abort that
// follows then writes no second marker. The terminate handler found at install is called afterwards.
//
// install() and uninstall() are thread-safe and remember who installed: only that owner's uninstall()
// removes the handlers, so a client being replaced cannot take them away from the one that replaced it.
class CrashHandler {
public:
    using CrashCallback = std::function<void(const HealthEvent&)>;

    struct Settings {
        std::shared_ptr<BreadcrumbBuffer> breadcrumbs;
        std::shared_ptr<LogBuffer> logs;
        bool captureDeviceState = true;
        bool includeStackTrace = true;
        std::int64_t maxStackTraceLength = 10000;
        CrashCallback onCrash;
    };

    static CrashHandler& shared();

    // Installs the signal and terminate handlers for `owner`. When already installed, nothing changes
    // (the earlier settings and callback stay) and false is returned.
    bool install(const void* owner, Settings settings, CrashMarkerWriter markerWriter);
    // Puts back the handlers found at install time, if `owner` installed them; otherwise does nothing.
    void uninstall(const void* owner);
    bool isInstalled() const;
    bool isInstalledBy(const void* owner) const;

    // The uncaught-exception path (std::terminate calls it): builds, enriches and hands over the event for the
    // exception in flight, once per process. Returns without ending the process.
    void handleUncaughtException();

    // A crash event built without crashing: "SimulatedCrash", enriched, no marker, no callback.
    HealthEvent simulateCrash(const std::string& message) const;

    // Adds the buffers' contents (when not empty) and, if enabled, the device state.
    void enrich(HealthEvent& event) const;

    // The current thread's call stack, one frame a line.
    static std::string currentStackTrace();

private:
    CrashHandler() = default;
    Settings settingsCopy() const;

    mutable std::mutex mutex_;
    bool installed_ = false;
    const void* owner_ = nullptr;
    Settings settings_;
    // Writers stay alive for the life of the process: a signal handler may be using one while another
    // thread uninstalls. One per marker path.
    std::vector<std::unique_ptr<CrashMarkerWriter>> writers_;
};

} // namespace corvantesk
